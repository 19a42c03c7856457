// The in-memory registry and RtlQueryRegistryValues for what drivers use: absolute and
// service-relative paths, the optional flag, direct queries with defaults, required values,
// query routines, subkeys, and the type check a caller asks for with RTL_QUERY_REGISTRY_TYPECHECK.
// Without it a direct query writes the stored value by its own type, whatever the target is, as
// the platform does; where that would write beyond the target, the model stops.
#include "sim/kernel/internal.hpp"

namespace sim {

namespace {

const std::u16string kMachineSystem = u"\\Registry\\Machine\\System\\CurrentControlSet";

std::u16string normalise(std::u16string_view path) {
    std::u16string out;
    for (char16_t c : path) {
        if (c == u'\\' && !out.empty() && out.back() == u'\\')
            continue;
        out.push_back(c);
    }
    while (!out.empty() && out.back() == u'\\')
        out.pop_back();
    return out;
}

std::u16string keyOf(std::u16string_view path) {
    return upcase(normalise(path));
}

}  // namespace

struct Registry::Impl {
    struct Key {
        std::u16string path;                                                // as first written
        std::map<std::u16string, std::pair<std::u16string, Value>> values;  // by upcased name
    };
    mutable std::mutex mutex;
    std::map<std::u16string, Key> keys;  // by upcased normalised path

    Key& create(std::u16string_view path) {
        std::u16string full = normalise(path);
        // Parents exist whenever a child does.
        for (size_t i = 1; i <= full.size(); ++i) {
            if (i == full.size() || full[i] == u'\\') {
                std::u16string part = full.substr(0, i);
                auto& key = keys[upcase(part)];
                if (key.path.empty())
                    key.path = part;
            }
        }
        return keys[upcase(full)];
    }
    const Key* find(std::u16string_view path) const {
        auto it = keys.find(keyOf(path));
        return it == keys.end() ? nullptr : &it->second;
    }
};

Registry::Registry() : impl_(std::make_unique<Impl>()) {}
Registry::~Registry() = default;

void Registry::setValue(std::u16string_view keyPath, std::u16string_view name, ULONG type,
                        std::vector<uint8_t> data) {
    std::lock_guard lock(impl_->mutex);
    auto& key = impl_->create(keyPath);
    key.values[upcase(name)] = {std::u16string(name), Value{type, std::move(data)}};
}

void Registry::setDword(std::u16string_view keyPath, std::u16string_view name, ULONG value) {
    std::vector<uint8_t> data(4);
    memcpy(data.data(), &value, 4);
    setValue(keyPath, name, REG_DWORD, std::move(data));
}

void Registry::setString(std::u16string_view keyPath, std::u16string_view name,
                         std::u16string_view value) {
    std::vector<uint8_t> data((value.size() + 1) * sizeof(char16_t), 0);
    memcpy(data.data(), value.data(), value.size() * sizeof(char16_t));
    setValue(keyPath, name, REG_SZ, std::move(data));
}

void Registry::createKey(std::u16string_view keyPath) {
    std::lock_guard lock(impl_->mutex);
    impl_->create(keyPath);
}

void Registry::deleteKey(std::u16string_view keyPath) {
    std::lock_guard lock(impl_->mutex);
    std::u16string prefix = keyOf(keyPath);
    for (auto it = impl_->keys.begin(); it != impl_->keys.end();) {
        bool inside = it->first == prefix || (it->first.size() > prefix.size() &&
                                              it->first.compare(0, prefix.size(), prefix) == 0 &&
                                              it->first[prefix.size()] == u'\\');
        it = inside ? impl_->keys.erase(it) : std::next(it);
    }
}

void Registry::deleteValue(std::u16string_view keyPath, std::u16string_view name) {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->keys.find(keyOf(keyPath));
    if (it != impl_->keys.end())
        it->second.values.erase(upcase(name));
}

bool Registry::keyExists(std::u16string_view keyPath) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->find(keyPath) != nullptr;
}

std::optional<Registry::Value> Registry::value(std::u16string_view keyPath,
                                               std::u16string_view name) const {
    std::lock_guard lock(impl_->mutex);
    const auto* key = impl_->find(keyPath);
    if (!key)
        return std::nullopt;
    auto it = key->values.find(upcase(name));
    if (it == key->values.end())
        return std::nullopt;
    return it->second.second;
}

namespace {

struct ValueView {
    ULONG type;
    const uint8_t* data;
    ULONG length;
};

bool isString(ULONG type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

std::string typeName(ULONG type) {
    static const char* const names[] = {"REG_NONE",      "REG_SZ",       "REG_EXPAND_SZ",
                                        "REG_BINARY",    "REG_DWORD",    "REG_DWORD_BIG_ENDIAN",
                                        "REG_LINK",      "REG_MULTI_SZ", "REG_RESOURCE_LIST"};
    return type < std::size(names) ? names[type] : "type " + std::to_string(type);
}

// The type a caller declared for an entry: with the type check, DefaultType carries the expected
// type in its top byte and the default's type below it.
ULONG expectedType(const RTL_QUERY_REGISTRY_TABLE& entry) {
    return entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
}
ULONG defaultType(const RTL_QUERY_REGISTRY_TABLE& entry) {
    if (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK)
        return entry.DefaultType & ((1u << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) - 1);
    return entry.DefaultType;
}

// How many bytes a direct query stores at EntryContext for `v`, as the platform writes it: a
// string into the UNICODE_STRING there (16 bytes), a value of up to four bytes in place, a longer
// one into a buffer whose first LONG gives its size (negative: the data alone; positive: length,
// type, then the data; nothing when it is too small).
size_t directWriteBytes(const ValueView& v, const void* target) {
    if (isString(v.type))
        return sizeof(UNICODE_STRING);
    if (v.length <= sizeof(ULONG))
        return v.length;
    LONG room;
    memcpy(&room, target, sizeof room);
    size_t written = 0;
    if (room < 0 && static_cast<ULONG>(-room) >= v.length)
        written = v.length;
    else if (room >= 0 && static_cast<ULONG>(room) >= 2 * sizeof(ULONG) + v.length)
        written = 2 * sizeof(ULONG) + v.length;
    return std::max(written, sizeof(LONG));  // the LONG is read in any case
}

// Where the model can tell how large the target of a direct query is: a pool block, a global of
// a loaded image, or what the entry itself declares (a REG_DWORD default names a ULONG).
std::optional<std::pair<size_t, std::string>> targetRoom(const RTL_QUERY_REGISTRY_TABLE& entry) {
    Kernel::Impl& impl = kernelImpl();
    {
        std::lock_guard lock(impl.mutex);
        if (auto block = impl.poolBlockContaining(entry.EntryContext)) {
            size_t offset = static_cast<const uint8_t*>(entry.EntryContext) -
                            static_cast<const uint8_t*>(block->first);
            return std::make_pair(block->second - offset,
                                  "a pool block of " + std::to_string(block->second) + " bytes");
        }
    }
    if (auto global = locateData(entry.EntryContext))
        return std::make_pair(global->size - global->offset,
                              global->name + " (" + std::to_string(global->size) + " bytes)");
    if (defaultType(entry) == REG_DWORD)
        return std::make_pair(sizeof(ULONG), std::string("a ULONG (the entry's default type is "
                                                         "REG_DWORD)"));
    return std::nullopt;
}

// The platform writes the stored value by its type without looking at the target: a REG_SZ
// into a ULONG takes the ULONG and its neighbours for a UNICODE_STRING. It does not stop there;
// memory is corrupted and the machine fails later, somewhere else. The model stops at once.
void checkDirectTarget(const RTL_QUERY_REGISTRY_TABLE& entry, const ValueView& v,
                       const void* caller) {
    auto room = targetRoom(entry);
    if (!room)
        return;
    size_t needed = directWriteBytes(v, entry.EntryContext);
    if (needed <= room->first)
        return;
    bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kModelCheckMemoryCorruption,
             reinterpret_cast<ULONG_PTR>(entry.EntryContext), needed, room->first,
             "RtlQueryRegistryValues, called by " + describeCode(caller) +
                 ", direct query of \"" + toUtf8(fromWide(entry.Name)) + "\" without "
                 "RTL_QUERY_REGISTRY_TYPECHECK: the stored value is " + typeName(v.type) + " (" +
                 std::to_string(v.length) + " bytes), which the platform writes by its own type " +
                 (isString(v.type) ? "into a UNICODE_STRING"
                                   : "with a length header") +
                 " at EntryContext: " + std::to_string(needed) + " bytes into " + room->second +
                 " with room for " + std::to_string(room->first) +
                 ". Memory beyond the target is overwritten. Ask for the type check "
                 "(RTL_QUERY_REGISTRY_TYPECHECK, expected type in DefaultType's top byte)");
}

// A direct query writes the value into EntryContext: strings into a UNICODE_STRING (allocated
// from PagedPool when its buffer is null), a value of up to four bytes in place, a longer one
// into a buffer whose first LONG holds its size. A target too small for the data is left alone
// and the query goes on as if it had succeeded, as the platform does.
NTSTATUS writeDirect(const RTL_QUERY_REGISTRY_TABLE& entry, const ValueView& v,
                     const void* caller) {
    if (!entry.EntryContext)
        return STATUS_INVALID_PARAMETER;
    checkDirectTarget(entry, v, caller);
    if (isString(v.type)) {
        auto* s = static_cast<PUNICODE_STRING>(entry.EntryContext);
        ULONG bytes = v.length;
        // The stored string's terminating NUL is not part of the counted string.
        while (bytes >= sizeof(WCHAR) && v.data[bytes - 1] == 0 && v.data[bytes - 2] == 0 &&
               v.type != REG_MULTI_SZ)
            bytes -= sizeof(WCHAR);
        if (bytes > 0xFFFC)
            return STATUS_SUCCESS;
        if (!s->Buffer) {
            std::u16string text(bytes / sizeof(WCHAR), u'\0');
            memcpy(text.data(), v.data, bytes);
            return allocateUnicodeString(s, text, caller);
        }
        if (bytes + sizeof(WCHAR) > s->MaximumLength)
            return STATUS_SUCCESS;
        memcpy(s->Buffer, v.data, bytes);
        s->Buffer[bytes / sizeof(WCHAR)] = 0;
        s->Length = static_cast<USHORT>(bytes);
        return STATUS_SUCCESS;
    }
    if (v.length <= sizeof(ULONG)) {
        memcpy(entry.EntryContext, v.data, v.length);
        return STATUS_SUCCESS;
    }
    auto* target = static_cast<uint8_t*>(entry.EntryContext);
    LONG room;
    memcpy(&room, target, sizeof room);
    if (room < 0 && static_cast<ULONG>(-room) >= v.length) {
        memcpy(target, v.data, v.length);
    } else if (room >= 0 && static_cast<ULONG>(room) >= 2 * sizeof(ULONG) + v.length) {
        ULONG header[2] = {v.length, v.type};
        memcpy(target, header, sizeof header);
        memcpy(target + sizeof header, v.data, v.length);
    }
    return STATUS_SUCCESS;
}

NTSTATUS deliver(const RTL_QUERY_REGISTRY_TABLE& entry, PCWSTR name, const ValueView& v,
                 PVOID context, const void* caller) {
    if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT)
        return writeDirect(entry, v, caller);
    if (!entry.QueryRoutine)
        return STATUS_INVALID_PARAMETER;
    return entry.QueryRoutine(const_cast<PWSTR>(name), v.type, const_cast<uint8_t*>(v.data),
                              v.length, context, entry.EntryContext);
}

// The default value of an entry, for a value that is absent.
ValueView defaultValue(const RTL_QUERY_REGISTRY_TABLE& entry) {
    ULONG type = defaultType(entry);
    ULONG length = entry.DefaultLength;
    if (length == 0 && isString(type)) {
        auto* w = static_cast<const WCHAR*>(entry.DefaultData);
        size_t n = 0;
        while (w[n])
            ++n;
        length = static_cast<ULONG>((n + 1) * sizeof(WCHAR));
    }
    return {type, static_cast<const uint8_t*>(entry.DefaultData), length};
}

// One named entry: the stored value (null when absent), its type check, or the default.
NTSTATUS queryValue(const RTL_QUERY_REGISTRY_TABLE& entry, const Registry::Value* stored,
                    PVOID context, const void* caller) {
    // A value of type REG_NONE, or an empty one of the default's type, counts as absent.
    if (stored && (stored->type == REG_NONE ||
                   (stored->data.empty() && stored->type == defaultType(entry))))
        stored = nullptr;
    if (stored) {
        if ((entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) && expectedType(entry) != REG_NONE &&
            stored->type != expectedType(entry))
            return STATUS_OBJECT_TYPE_MISMATCH;
        ValueView v{stored->type, stored->data.data(), static_cast<ULONG>(stored->data.size())};
        return deliver(entry, entry.Name, v, context, caller);
    }
    if (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (defaultType(entry) != REG_NONE && entry.DefaultData)
        return deliver(entry, entry.Name, defaultValue(entry), context, caller);
    return STATUS_SUCCESS;
}

std::u16string basePath(ULONG relativeTo) {
    switch (relativeTo) {
        case RTL_REGISTRY_ABSOLUTE:
            return u"";
        case RTL_REGISTRY_SERVICES:
            return kMachineSystem + u"\\Services\\";
        case RTL_REGISTRY_CONTROL:
            return kMachineSystem + u"\\Control\\";
        case RTL_REGISTRY_DEVICEMAP:
            return u"\\Registry\\Machine\\Hardware\\DeviceMap\\";
        default:
            return u"?";
    }
}

}  // namespace

}  // namespace sim

using namespace sim;

extern "C" NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                                 PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                 PVOID Context, PVOID) {
    const void* caller = __builtin_return_address(0);
    requirePassive("RtlQueryRegistryValues", caller);
    if (!QueryTable)
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kModelCheckInvalidObject, 0, 0, 0,
                 "RtlQueryRegistryValues without a query table, called by " + describeCode(caller));
    bool optional = (RelativeTo & RTL_REGISTRY_OPTIONAL) != 0;
    ULONG base = RelativeTo & ~(RTL_REGISTRY_OPTIONAL);
    if (base & RTL_REGISTRY_HANDLE)
        return STATUS_NOT_IMPLEMENTED;
    std::u16string prefix = basePath(base);
    if (prefix == u"?")
        return STATUS_INVALID_PARAMETER;
    std::u16string topKey = prefix + fromWide(Path);

    Registry& registry = kernelImpl().registry;
    if (!registry.keyExists(topKey))
        return optional ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;

    std::u16string key = topKey;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
         entry->QueryRoutine ||
         (entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DIRECT));
         ++entry) {
        if (entry->Flags & RTL_QUERY_REGISTRY_TOPKEY)
            key = topKey;
        if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
            if (!entry->Name)
                return STATUS_INVALID_PARAMETER;
            std::u16string sub = topKey + u"\\" + fromWide(entry->Name);
            if (!registry.keyExists(sub)) {
                if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED)
                    return STATUS_OBJECT_NAME_NOT_FOUND;
                continue;
            }
            key = sub;
            if (!entry->QueryRoutine)
                continue;
        }
        if (!entry->Name) {
            // No name: the query routine sees every value of the key. Not modelled beyond
            // telling the caller, so a driver relying on it fails a test visibly.
            if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT)
                return STATUS_INVALID_PARAMETER;
            return STATUS_NOT_IMPLEMENTED;
        }
        std::u16string name = fromWide(entry->Name);
        std::optional<Registry::Value> stored = registry.value(key, name);
        NTSTATUS status = queryValue(*entry, stored ? &*stored : nullptr, Context, caller);
        if (!NT_SUCCESS(status))
            return status;
        if (stored && (entry->Flags & RTL_QUERY_REGISTRY_DELETE))
            registry.deleteValue(key, name);
    }
    return STATUS_SUCCESS;
}
