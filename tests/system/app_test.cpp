// The application side: finding the device, opening it with a file-name suffix, and the calls
// on a handle (synchronous, asynchronous, cancel, close).
#include "tests/system/probe_fixture.hpp"

#include <chrono>
#include <cstring>

namespace sim {
namespace {

using namespace std::chrono_literals;

std::u16string fileNameOf(Handle& handle) {
    char16_t name[64] = {};
    const AppResult r =
        handle.deviceIoControl(IOCTL_PROBE_GET_FILE_NAME, nullptr, 0, name, sizeof name);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    return std::u16string(name, r.information / sizeof(char16_t));
}

std::u16string withCase(std::u16string text, bool upper) {
    for (char16_t& c : text) {
        if (upper && c >= u'a' && c <= u'z')
            c -= u'a' - u'A';
        if (!upper && c >= u'A' && c <= u'Z')
            c += u'a' - u'A';
    }
    return text;
}

class Applications : public ProbeTest {
  protected:
    void SetUp() override {
        ProbeTest::SetUp();
        node = plugInStarted();
        path = onlyInterfacePath();
    }
    int node = -1;
    std::u16string path;
};

TEST_F(Applications, TheRestOfThePathReachesCreateAsTheFileName) {
    for (std::u16string suffix : {u"", u"\\PIPE_1", u"\\INTERFACE_0\\PIPE_3", u"\\"}) {
        SCOPED_TRACE(toUtf8(suffix));
        Handle handle;
        ASSERT_EQ(system.open(path + suffix, &handle), STATUS_SUCCESS);
        EXPECT_EQ(fileNameOf(handle), suffix);
    }
}

TEST_F(Applications, InterfacePathsMatchWithoutRegardToCase) {
    for (bool upper : {true, false}) {
        Handle handle;
        EXPECT_EQ(system.open(withCase(path, upper) + u"\\PIPE_0", &handle), STATUS_SUCCESS);
        EXPECT_EQ(fileNameOf(handle), u"\\PIPE_0");
    }
}

TEST_F(Applications, UnknownPathsAreNotFound) {
    for (std::u16string bad : {std::u16string(u"\\??\\NoSuchDevice"), std::u16string(), path + u"X",
                               path.substr(0, path.size() - 1)}) {
        SCOPED_TRACE(toUtf8(bad));
        Handle handle;
        EXPECT_EQ(system.open(bad, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_FALSE(handle.valid());
    }
    EXPECT_THROW(system.open(u"\\??\\NoSuchDevice"), std::runtime_error);
}

TEST_F(Applications, ADisabledInterfaceCannotBeOpened) {
    ASSERT_EQ(system.surpriseRemove(node), STATUS_SUCCESS);
    EXPECT_TRUE(system.interfacePaths(GUID_VAVEDU_PROBE_INTERFACE).empty());
    Handle handle;
    EXPECT_EQ(system.open(path, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Applications, ReadWriteAndDeviceControlReportStatusAndByteCount) {
    Handle handle = system.open(path);
    struct ReadCase {
        ULONG length;
        std::string expected;
    };
    for (const ReadCase& c : {ReadCase{16, "PROBE"}, ReadCase{3, "PRO"}, ReadCase{0, ""}}) {
        char buffer[16];
        std::memset(buffer, '-', sizeof buffer);
        const AppResult r = handle.read(buffer, c.length);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        ASSERT_EQ(r.information, c.expected.size());
        EXPECT_EQ(std::string(buffer, r.information), c.expected);
        EXPECT_EQ(buffer[r.information], '-') << "nothing written past the byte count";
    }
    const char data[100] = {};
    EXPECT_EQ(handle.write(data, sizeof data).information, sizeof data);
    const AppResult unknown = handle.deviceIoControl(0x00229FFC, nullptr, 0, nullptr, 0);
    EXPECT_EQ(unknown.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_FALSE(unknown.ok());
    EXPECT_EQ(ProbeTest::info(handle).RegistryValue, 7u);
}

TEST_F(Applications, AnAsynchronousRequestEndsWhenCancelled) {
    Handle handle = system.open(path);
    auto held = handle.deviceIoControlAsync(IOCTL_PROBE_HOLD, nullptr, 0, nullptr, 0);
    EXPECT_FALSE(held->waitFor(20ms).has_value());
    EXPECT_FALSE(held->completed());
    EXPECT_TRUE(held->cancel());
    EXPECT_EQ(held->wait().status, STATUS_CANCELLED);
}

TEST_F(Applications, AnAsynchronousRequestEndsWhenAnotherHandleReleasesIt) {
    Handle holder = system.open(path);
    Handle other = system.open(path + u"\\other");
    auto held = holder.deviceIoControlAsync(IOCTL_PROBE_HOLD, nullptr, 0, nullptr, 0);
    const AppResult busy = other.deviceIoControl(IOCTL_PROBE_HOLD, nullptr, 0, nullptr, 0);
    EXPECT_EQ(busy.status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(other.deviceIoControl(IOCTL_PROBE_RELEASE, nullptr, 0, nullptr, 0).status,
              STATUS_SUCCESS);
    EXPECT_EQ(held->wait().status, STATUS_SUCCESS);
    EXPECT_EQ(other.deviceIoControl(IOCTL_PROBE_RELEASE, nullptr, 0, nullptr, 0).status,
              STATUS_NOT_FOUND);
}

TEST_F(Applications, ClosingAHandleCleansUpItsPendingRequest) {
    Handle handle = system.open(path);
    auto held = handle.deviceIoControlAsync(IOCTL_PROBE_HOLD, nullptr, 0, nullptr, 0);
    EXPECT_EQ(handle.close(), STATUS_SUCCESS);
    EXPECT_FALSE(handle.valid());
    EXPECT_EQ(held->wait().status, STATUS_CANCELLED);
    EXPECT_EQ(handle.close(), STATUS_INVALID_HANDLE);
    EXPECT_THROW(handle.read(nullptr, 0), std::logic_error);
}

TEST_F(Applications, AMovedHandleKeepsTheFileOpenOnce) {
    Handle first = system.open(path + u"\\moved");
    const PFILE_OBJECT file = first.fileObject();
    Handle second = std::move(first);
    EXPECT_FALSE(first.valid());
    EXPECT_EQ(second.fileObject(), file);
    EXPECT_EQ(fileNameOf(second), u"\\moved");
    Handle third;
    third = std::move(second);
    EXPECT_EQ(fileNameOf(third), u"\\moved");
}

}  // namespace
}  // namespace sim
