// The application side under random input: device-control codes, lengths and buffers, setup
// packets and control transfers, open names, interleaved with reads and writes. Whatever comes
// in, the driver answers every request once, nothing crashes or hangs, and nothing leaks (the
// model's end-of-test checks).
#include "tests/driver/driver_fixture.hpp"

#include <algorithm>
#include <chrono>
#include <random>

namespace vavedu::test {
namespace {

using namespace std::chrono_literals;

// Every code but the port cycle, which ends the handle (its own test covers it).
constexpr ULONG kCodes[] = {
    IOCTL_BULK_GET_DRIVER_VERSION,   IOCTL_BULK_GET_DESCRIPTOR,
    IOCTL_BULK_RESET_PIPE,           IOCTL_BULK_GET_LAST_USBD_STATUS,
    IOCTL_BULK_GET_RESERVED_VALUE,   IOCTL_BULK_ZERO_LENGTH_PACKET_MODE,
    IOCTL_BULK_GET_BANNER,           IOCTL_BULK_GET_USBDI_VERSION,
    IOCTL_BULK_SELECT_CONFIGURATION, IOCTL_BULK_SELECT_INTERFACE,
    IOCTL_BULK_SET_SETUP_PACKET,     IOCTL_BULK_CONTROL_TRANSFER,
};

const char16_t* const kNameParts[] = {
    u"\\PIPE_",    u"\\INTERFACE_",
    u"\\pipe_",    u"0x",
    u"0o",         u"0b",
    u"-",          u"+",
    u" ",          u"1",
    u"0",          u"31",
    u"32",         u"9",
    u"10",         u"F",
    u"\\",         u"abc",
    u"4294967297",
};

class Fuzz : public DriverTest {
  protected:
    uint32_t next() { return static_cast<uint32_t>(random()); }
    uint32_t below(uint32_t n) { return n == 0 ? 0 : next() % n; }
    // Lengths cluster around the small values the length rules care about.
    ULONG length() {
        switch (below(4)) {
            case 0:
                return below(10);
            case 1:
                return below(64);
            case 2:
                return below(600);
            default:
                return below(4096);
        }
    }
    Bytes bytes(size_t n) {
        Bytes b(n);
        for (auto& v : b)
            v = static_cast<uint8_t>(next());
        return b;
    }

    ULONG code() {
        ULONG code = kCodes[below(std::size(kCodes))];
        switch (below(6)) {
            case 0:
                return code ^ (1u << below(32));  // a neighbour: method, access, type bits
            case 1:
                return next();
            default:
                return code;
        }
    }

    void randomIoctl(sim::Handle& handle) {
        ULONG c = code();
        if (c == IOCTL_BULK_RESET_PORT)
            c = IOCTL_BULK_GET_DRIVER_VERSION;
        Bytes input = bytes(length());
        // Small values for the selections and the mode, so that they do something.
        if (!input.empty() && below(2) == 0)
            input[0] = static_cast<uint8_t>(below(4));
        ULONG output = length();
        Bytes out(output);
        sim::AppResult result = handle.deviceIoControl(c, input.empty() ? nullptr : input.data(),
                                                       static_cast<ULONG>(input.size()),
                                                       out.empty() ? nullptr : out.data(), output);
        if (result.ok()) {
            EXPECT_LE(result.information, output) << "code " << c;
        }
    }

    SETUP_PACKET setupPacket() {
        static const uint8_t types[] = {0x00, 0x01, 0x02, 0x20, 0xA0, 0x21, 0x40,
                                        0xC0, 0x80, 0x81, 0x82, 0xA1, 0x41};
        SETUP_PACKET p;
        p.bmRequestType =
            below(4) == 0 ? static_cast<uint8_t>(next()) : types[below(std::size(types))];
        p.bRequest = static_cast<uint8_t>(below(3) == 0 ? next() : below(13));
        p.wValue = static_cast<uint16_t>(below(2) == 0 ? next() : below(4) << (8 * below(2)));
        p.wIndex = static_cast<uint16_t>(below(2) == 0 ? next() : below(3));
        p.wLength = static_cast<uint16_t>(length());
        return p;
    }

    void randomControlTransfer(sim::Handle& handle) {
        SETUP_PACKET p = setupPacket();
        bool in = (p.bmRequestType & 0x80) != 0;
        // Mostly the lengths the packet asks for, sometimes others.
        ULONG input = in ? (below(4) == 0 ? length() : 0) : (below(4) == 0 ? length() : p.wLength);
        ULONG output = in ? (below(4) == 0 ? length() : p.wLength) : (below(3) == 0 ? length() : 0);
        Bytes data = bytes(input);
        Bytes out;
        sim::AppResult result = controlTransfer(handle, p, data, output, &out);
        if (result.ok()) {
            EXPECT_LE(result.information, std::max(output, input));
        }
    }

    std::u16string name() {
        std::u16string text;
        for (uint32_t parts = below(5); parts > 0; --parts)
            text += kNameParts[below(std::size(kNameParts))];
        return text;
    }

    void randomOpen() {
        sim::Handle handle;
        if (open(node, name(), &handle) == STATUS_SUCCESS)
            randomData(handle);
    }

    // A read or write that may wait for data the device never has: given up after a moment.
    void randomData(sim::Handle& handle) {
        Bytes buffer = bytes(below(3) == 0 ? length() * 16 : length());
        bool read = below(2) == 0;
        auto request = read ? handle.readAsync(buffer.data(), static_cast<ULONG>(buffer.size()))
                            : handle.writeAsync(buffer.data(), static_cast<ULONG>(buffer.size()));
        if (!request->waitFor(2ms))
            request->cancel();
        sim::IoResult result = request->wait();
        if (result.status >= 0) {
            EXPECT_LE(result.information, buffer.size());
        }
    }

    std::mt19937_64 random{20261208};
    int node = -1;
};

TEST_F(Fuzz, RandomRequestsOnTheApplicationSide) {
    ASSERT_EQ(loadDriver(), STATUS_SUCCESS);
    node = plugInstrument();
    sim::Handle control = open(node);
    std::vector<sim::Handle> pipes;
    for (const char16_t* name :
         {u"\\PIPE_0", u"\\PIPE_1", u"\\PIPE_0\\INTERFACE_1", u"\\PIPE_1\\INTERFACE_1", u""}) {
        pipes.push_back(open(node, name));
    }
    auto deadline = std::chrono::steady_clock::now() + 3s;
    int rounds = 0;
    for (; rounds < 20000 && std::chrono::steady_clock::now() < deadline; ++rounds) {
        switch (below(10)) {
            case 0:
            case 1:
            case 2:
                randomIoctl(control);
                break;
            case 3:
            case 4:
            case 5:
                randomControlTransfer(control);
                break;
            case 6:
                randomOpen();
                break;
            default:
                randomData(pipes[below(pipes.size())]);
                break;
        }
        if (HasFatalFailure())
            break;
    }
    EXPECT_GT(rounds, 100);
    bus.waitIdle();
}

}  // namespace
}  // namespace vavedu::test
