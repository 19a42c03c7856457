// The in-memory registry and RtlQueryRegistryValues for what drivers use: absolute and
// service-relative paths, the optional flag, direct queries with defaults, required values,
// query routines, subkeys, and the type check (a stored value of another type than the entry's
// default type is not written).
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

// A direct query writes the value into EntryContext: strings into a UNICODE_STRING (allocated
// from PagedPool when its buffer is null), a value of up to four bytes in place, a longer one
// into a buffer whose first LONG holds its negated size.
NTSTATUS writeDirect(const RTL_QUERY_REGISTRY_TABLE& entry, const ValueView& v,
                     const void* caller) {
    if (!entry.EntryContext)
        return STATUS_INVALID_PARAMETER;
    if (isString(v.type)) {
        auto* s = static_cast<PUNICODE_STRING>(entry.EntryContext);
        ULONG bytes = v.length;
        // The stored string's terminating NUL is not part of the counted string.
        while (bytes >= sizeof(WCHAR) && v.data[bytes - 1] == 0 && v.data[bytes - 2] == 0 &&
               v.type != REG_MULTI_SZ)
            bytes -= sizeof(WCHAR);
        if (bytes > 0xFFFC)
            return STATUS_BUFFER_TOO_SMALL;
        if (!s->Buffer) {
            std::u16string text(bytes / sizeof(WCHAR), u'\0');
            memcpy(text.data(), v.data, bytes);
            return allocateUnicodeString(s, text, caller);
        }
        if (bytes + sizeof(WCHAR) > s->MaximumLength)
            return STATUS_BUFFER_TOO_SMALL;
        memcpy(s->Buffer, v.data, bytes);
        s->Buffer[bytes / sizeof(WCHAR)] = 0;
        s->Length = static_cast<USHORT>(bytes);
        return STATUS_SUCCESS;
    }
    if (v.length <= sizeof(ULONG)) {
        memcpy(entry.EntryContext, v.data, v.length);
        return STATUS_SUCCESS;
    }
    LONG room = *static_cast<LONG*>(entry.EntryContext);
    if (room >= 0 || static_cast<ULONG>(-room) < v.length)
        return STATUS_BUFFER_TOO_SMALL;
    memcpy(entry.EntryContext, v.data, v.length);
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
    if (currentIrql() > PASSIVE_LEVEL)
        bugCheck(IRQL_NOT_LESS_OR_EQUAL, currentIrql(), 0, 0, 0,
                 "RtlQueryRegistryValues at " + describeIrql(currentIrql()) +
                     " (it runs at PASSIVE_LEVEL only), called by " + describeCode(caller));
    if (!QueryTable)
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0, 0, 0, 0,
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
        NTSTATUS status = STATUS_SUCCESS;
        if (stored) {
            if (entry->DefaultType != REG_NONE && stored->type != entry->DefaultType)
                return STATUS_OBJECT_TYPE_MISMATCH;
            ValueView v{stored->type, stored->data.data(), static_cast<ULONG>(stored->data.size())};
            status = deliver(*entry, entry->Name, v, Context, caller);
        } else if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        } else if (entry->DefaultType != REG_NONE && entry->DefaultData) {
            ULONG length = entry->DefaultLength;
            if (length == 0 && isString(entry->DefaultType)) {
                auto* w = static_cast<const WCHAR*>(entry->DefaultData);
                size_t n = 0;
                while (w[n])
                    ++n;
                length = static_cast<ULONG>((n + 1) * sizeof(WCHAR));
            }
            ValueView v{entry->DefaultType, static_cast<const uint8_t*>(entry->DefaultData),
                        length};
            status = deliver(*entry, entry->Name, v, Context, caller);
        }
        if (!NT_SUCCESS(status))
            return status;
        if (stored && (entry->Flags & RTL_QUERY_REGISTRY_DELETE))
            registry.deleteValue(key, name);
    }
    return STATUS_SUCCESS;
}
