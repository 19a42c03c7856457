#include "client/status.hpp"

#include <gtest/gtest.h>

namespace vavedu {
namespace {

struct NameCase {
    uint32_t value;
    const char* name;
};

TEST(StatusNames, DriverAndStackStatusesHaveTheirNames) {
    const NameCase cases[] = {
        {0x00000000, "STATUS_SUCCESS"},
        {0x00000103, "STATUS_PENDING"},
        {0xC0000001, "STATUS_UNSUCCESSFUL"},
        {0xC000000D, "STATUS_INVALID_PARAMETER"},
        {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
        {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
        {0xC000009D, "STATUS_DEVICE_NOT_CONNECTED"},
        {0xC0000120, "STATUS_CANCELLED"},
        {0xC0000182, "STATUS_DEVICE_CONFIGURATION_ERROR"},
        {0xC0000184, "STATUS_INVALID_DEVICE_STATE"},
        {0xC0000206, "STATUS_INVALID_BUFFER_SIZE"},
        {0xC00002B6, "STATUS_DEVICE_REMOVED"},
        {0xC00002B9, "STATUS_NOINTERFACE"},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_STREQ(ntStatusName(static_cast<NtStatus>(c.value)), c.name);
        EXPECT_EQ(ntStatusText(static_cast<NtStatus>(c.value)), c.name);
        EXPECT_EQ(parseNtStatus(c.name), static_cast<NtStatus>(c.value));
    }
}

TEST(StatusNames, UnknownValuesPrintAsHex) {
    EXPECT_EQ(ntStatusName(static_cast<NtStatus>(0xC0001234u)), nullptr);
    EXPECT_EQ(ntStatusText(static_cast<NtStatus>(0xC0001234u)), "0xC0001234");
    EXPECT_EQ(hexStatus(0x103), "0x00000103");
    EXPECT_EQ(usbdStatusText(0x12345678), "0x12345678");
}

TEST(StatusNames, UsbdStatusesHaveTheirNames) {
    const NameCase cases[] = {
        {0x00000000, "USBD_STATUS_SUCCESS"},
        {0xC0000004, "USBD_STATUS_STALL_PID"},
        {0xC0000005, "USBD_STATUS_DEV_NOT_RESPONDING"},
        {0xC0000001, "USBD_STATUS_CRC"},
        {0xC0006000, "USBD_STATUS_TIMEOUT"},
        {0xC0007000, "USBD_STATUS_DEVICE_GONE"},
        {0xC0010000, "USBD_STATUS_CANCELED"},
        {0x80000600, "USBD_STATUS_INVALID_PIPE_HANDLE"},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_STREQ(usbdStatusName(c.value), c.name);
        EXPECT_EQ(parseUsbdStatus(c.name), c.value);
    }
}

TEST(StatusNames, ParsingAcceptsShortNamesAnyCaseAndNumbers) {
    struct Case {
        const char* text;
        std::optional<NtStatus> expected;
    };
    const Case cases[] = {
        {"cancelled", static_cast<NtStatus>(0xC0000120u)},
        {"Invalid_Buffer_Size", static_cast<NtStatus>(0xC0000206u)},
        {"invalid-parameter", static_cast<NtStatus>(0xC000000Du)},
        {"STATUS_SUCCESS", 0},
        {"0", 0},
        {"0xC0000001", static_cast<NtStatus>(0xC0000001u)},
        {"0XC0000001", static_cast<NtStatus>(0xC0000001u)},
        {"259", 0x103},
        {"", std::nullopt},
        {"0x", std::nullopt},
        {"STATUS_NO_SUCH_THING", std::nullopt},
        {"0x1FFFFFFFF", std::nullopt},
        {"-1", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parseNtStatus(c.text), c.expected);
    }
}

TEST(StatusNames, TablesHaveNoDuplicateValues) {
    for (const auto* table : {&ntStatusTable(), &usbdStatusTable()}) {
        for (size_t i = 0; i < table->size(); ++i) {
            for (size_t j = i + 1; j < table->size(); ++j) {
                EXPECT_NE((*table)[i].value, (*table)[j].value) << (*table)[i].name;
            }
        }
    }
}

}  // namespace
}  // namespace vavedu
