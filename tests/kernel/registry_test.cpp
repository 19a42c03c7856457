// The registry and RtlQueryRegistryValues as drivers use it.
#include "tests/kernel/kernel_test.hpp"

using namespace ktest;

namespace {

const std::u16string kService = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Test";

class RegistryTest : public KernelTest {
  protected:
    // Queries one DWORD directly, with a default, as a driver reads a setting.
    NTSTATUS queryDword(ULONG relativeTo, const std::u16string& path, const char16_t* name,
                        ULONG* value, ULONG flags = 0, ULONG defaultType = REG_DWORD) {
        ULONG fallback = 0x4000;
        RTL_QUERY_REGISTRY_TABLE table[2] = {};
        table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | flags;
        table[0].Name = const_cast<PWSTR>(reinterpret_cast<const WCHAR*>(name));
        table[0].EntryContext = value;
        table[0].DefaultType = (flags & RTL_QUERY_REGISTRY_TYPECHECK)
                                   ? (defaultType << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | defaultType
                                   : defaultType;
        table[0].DefaultData = &fallback;
        table[0].DefaultLength = sizeof fallback;
        return RtlQueryRegistryValues(relativeTo, reinterpret_cast<PCWSTR>(path.c_str()), table,
                                      nullptr, nullptr);
    }
};

TEST_F(RegistryTest, DirectDwordQueries) {
    auto& registry = kernel_->registry();
    registry.setDword(kService, u"MaximumTransferSize", 65536);
    registry.setString(kService, u"Text", u"not a number");
    registry.setValue(kService, u"Four", REG_BINARY, {1, 2, 3, 4});
    registry.createKey(kService + u"\\Empty");
    struct Case {
        const char* name;
        ULONG relativeTo;
        std::u16string path;
        const char16_t* value;
        ULONG flags;
        NTSTATUS status;
        ULONG result;
    } cases[] = {
        {"stored value", RTL_REGISTRY_ABSOLUTE, kService, u"MaximumTransferSize", 0, STATUS_SUCCESS,
         65536},
        {"names are case-insensitive", RTL_REGISTRY_ABSOLUTE, kService, u"maximumtransfersize", 0,
         STATUS_SUCCESS, 65536},
        {"paths are case-insensitive", RTL_REGISTRY_ABSOLUTE,
         u"\\REGISTRY\\machine\\System\\CurrentControlSet\\Services\\TEST", u"MaximumTransferSize",
         0, STATUS_SUCCESS, 65536},
        {"relative to the services key", RTL_REGISTRY_SERVICES, u"Test", u"MaximumTransferSize", 0,
         STATUS_SUCCESS, 65536},
        {"missing value takes the default", RTL_REGISTRY_ABSOLUTE, kService, u"Other", 0,
         STATUS_SUCCESS, 0x4000},
        {"missing required value", RTL_REGISTRY_ABSOLUTE, kService, u"Other",
         RTL_QUERY_REGISTRY_REQUIRED, STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {"with the type check", RTL_REGISTRY_ABSOLUTE, kService, u"MaximumTransferSize",
         RTL_QUERY_REGISTRY_TYPECHECK, STATUS_SUCCESS, 65536},
        {"value of another type with the type check is not written", RTL_REGISTRY_ABSOLUTE,
         kService, u"Text", RTL_QUERY_REGISTRY_TYPECHECK, STATUS_OBJECT_TYPE_MISMATCH, 0},
        {"four bytes of another type without the type check are written as they are",
         RTL_REGISTRY_ABSOLUTE, kService, u"Four", 0, STATUS_SUCCESS, 0x04030201},
        {"missing key", RTL_REGISTRY_ABSOLUTE, kService + u"\\Absent", u"X", 0,
         STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {"missing key, optional", RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
         kService + u"\\Absent", u"X", 0, STATUS_SUCCESS, 0},
        {"empty key", RTL_REGISTRY_ABSOLUTE, kService + u"\\Empty", u"X", 0, STATUS_SUCCESS,
         0x4000},
    };
    for (const Case& c : cases) {
        ULONG value = 0;
        EXPECT_EQ(queryDword(c.relativeTo, c.path, c.value, &value, c.flags), c.status) << c.name;
        EXPECT_EQ(value, c.result) << c.name;
    }
}

// Without the type check the platform writes a value by its own type: a string or a longer
// binary value into a ULONG overwrites what lies beyond it.
TEST_F(RegistryTest, DirectQueryOfAnotherTypeIntoAUlongCorruptsMemory) {
    auto& registry = kernel_->registry();
    registry.setString(kService, u"Text", u"not a number");
    registry.setValue(kService, u"Long", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8});
    struct Case {
        const char16_t* name;
        const char* expected;
    } cases[] = {
        {u"Text", "REG_SZ .*into a UNICODE_STRING at EntryContext: 16 bytes into a ULONG"},
        {u"Long", "REG_BINARY \\(8 bytes\\).*with a length header.*room for 4"},
    };
    for (const Case& c : cases) {
        ULONG value = 0x4000;
        EXPECT_DEATH(queryDword(RTL_REGISTRY_ABSOLUTE, kService, c.name, &value),
                     std::string("STOP: 0x000000C4 \\(0x0000000000050001.*without "
                                 "RTL_QUERY_REGISTRY_TYPECHECK.*") +
                         c.expected);
    }
}

TEST_F(RegistryTest, StringIntoANullBufferIsAllocated) {
    kernel_->registry().setString(kService, u"Name", u"Instrument");
    UNICODE_STRING value{};
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = (PWSTR)u"Name";
    table[0].EntryContext = &value;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, (PCWSTR)kService.c_str(), table,
                                     nullptr, nullptr),
              STATUS_SUCCESS);
    ASSERT_NE(value.Buffer, nullptr);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(value.Buffer), value.Length / 2),
              u"Instrument");
    EXPECT_NE(kernel_->checkClean().find("PagedPool"), std::string::npos) << "the caller owns it";
    RtlFreeUnicodeString(&value);
}

TEST_F(RegistryTest, QueryRoutineSeesTheValue) {
    kernel_->registry().setDword(kService, u"Count", 3);
    struct Seen {
        ULONG type = 0, length = 0, value = 0;
        void* context = nullptr;
    } seen;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].QueryRoutine = [](PWSTR, ULONG type, PVOID data, ULONG length, PVOID context,
                               PVOID entryContext) -> NTSTATUS {
        auto* s = static_cast<Seen*>(entryContext);
        s->type = type;
        s->length = length;
        memcpy(&s->value, data, 4);
        s->context = context;
        return STATUS_SUCCESS;
    };
    table[0].Name = (PWSTR)u"Count";
    table[0].EntryContext = &seen;
    int context = 0;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, (PCWSTR)kService.c_str(), table,
                                     &context, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(seen.type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(seen.length, 4u);
    EXPECT_EQ(seen.value, 3u);
    EXPECT_EQ(seen.context, &context);
}

TEST_F(RegistryTest, KeysAndValues) {
    auto& registry = kernel_->registry();
    registry.setDword(kService + u"\\Parameters", u"A", 1);
    EXPECT_TRUE(registry.keyExists(kService));
    EXPECT_TRUE(registry.keyExists(u"\\registry\\MACHINE"));
    ASSERT_TRUE(registry.value(kService + u"\\parameters", u"a").has_value());
    registry.deleteKey(kService);
    EXPECT_FALSE(registry.keyExists(kService + u"\\Parameters"));
    EXPECT_FALSE(registry.value(kService + u"\\Parameters", u"A").has_value());
}

}  // namespace
