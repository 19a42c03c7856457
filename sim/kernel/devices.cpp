// Driver and device objects, device stacks, device interfaces, remove locks and the small
// Plug and Play and power services drivers call.
#include "sim/kernel/internal.hpp"

#include <cstdlib>

namespace sim {

namespace {

constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeDriver = 4;
constexpr size_t kDeviceObjectBytes = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};

std::string deviceText(PDEVICE_OBJECT device) {
    return "device object " + hex(reinterpret_cast<ULONG_PTR>(device));
}

[[noreturn]] void ioViolation(ULONG_PTR sub, const void* object, const std::string& why) {
    bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, sub, reinterpret_cast<ULONG_PTR>(object), 0, 0,
             why);
}

// An object that is not what the routine takes, or was freed: the model's own check.
[[noreturn]] void invalidObject(const void* object, const std::string& why) {
    bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kModelCheckInvalidObject,
             reinterpret_cast<ULONG_PTR>(object), 0, 0, why);
}

// The device record of a live device (deleted ones included when `allowDeleted`).
DeviceRecord& requireDevice(Kernel::Impl& impl, std::unique_lock<std::mutex>& lock,
                            PDEVICE_OBJECT device, const char* routine, const void* caller,
                            bool allowDeleted = false) {
    auto it = impl.devices.find(device);
    if (it != impl.devices.end() && (allowDeleted || !it->second.deleted))
        return it->second;
    bool deleted = it != impl.devices.end() || (device && impl.wasFreedRecently(device));
    lock.unlock();
    invalidObject(
        device,
        std::string(routine) + " by " + describeCode(caller) + " on " + deviceText(device) +
            (deleted ? ", which was deleted (IoDeleteDevice)" : ", which is not a device object"));
}

std::u16string counted(PCUNICODE_STRING s) {
    if (!s || !s->Buffer)
        return {};
    return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / sizeof(WCHAR));
}

}  // namespace

PDEVICE_OBJECT Kernel::Impl::topOfStackLocked(PDEVICE_OBJECT device) const {
    while (device && device->AttachedDevice)
        device = device->AttachedDevice;
    return device;
}

void Kernel::Impl::releaseDeviceIfUnused(PDEVICE_OBJECT device) {
    auto it = devices.find(device);
    if (it == devices.end() || !it->second.deleted || it->second.references > 0)
        return;
    noteFreed(AllocationKind::DeviceObject, it->second.counted);
    void* memory = it->second.memory;
    devices.erase(it);
    memset(memory, 0xDD, sizeof(DEVICE_OBJECT));
    retire(device, memory);
}

// ---------------------------------------------------------------- Kernel's device API

PDRIVER_OBJECT Kernel::createDriverObject(std::u16string_view name,
                                          std::u16string_view serviceKey) {
    std::u16string driverName = u"\\Driver\\" + std::u16string(name);
    size_t nameBytes = driverName.size() * sizeof(WCHAR);
    size_t keyBytes = serviceKey.size() * sizeof(WCHAR);
    size_t bytes = sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION) + nameBytes + keyBytes + 4;
    auto* memory = static_cast<uint8_t*>(calloc(1, bytes));
    auto driver = reinterpret_cast<PDRIVER_OBJECT>(memory);
    auto extension = reinterpret_cast<PDRIVER_EXTENSION>(memory + sizeof(DRIVER_OBJECT));
    auto* nameBuffer =
        reinterpret_cast<PWSTR>(memory + sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION));
    auto* keyBuffer =
        reinterpret_cast<PWSTR>(reinterpret_cast<uint8_t*>(nameBuffer) + nameBytes + 2);
    memcpy(nameBuffer, driverName.data(), nameBytes);
    memcpy(keyBuffer, serviceKey.data(), keyBytes);
    driver->Type = kIoTypeDriver;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = extension;
    driver->DriverName = {static_cast<USHORT>(nameBytes), static_cast<USHORT>(nameBytes + 2),
                          nameBuffer};
    extension->DriverObject = driver;
    extension->ServiceKeyName = {static_cast<USHORT>(keyBytes), static_cast<USHORT>(keyBytes + 2),
                                 keyBuffer};
    for (auto& entry : driver->MajorFunction)
        entry = defaultDispatch;
    std::lock_guard lock(impl_->mutex);
    impl_->drivers[driver] = DriverRecord{std::u16string(driverName), false};
    return driver;
}

void Kernel::deleteDriverObject(PDRIVER_OBJECT driver) {
    std::unique_lock lock(impl_->mutex);
    auto it = impl_->drivers.find(driver);
    if (it == impl_->drivers.end()) {
        lock.unlock();
        invalidObject(driver, "deleteDriverObject on something that is not a driver object");
    }
    for (auto& [device, record] : impl_->devices) {
        if (device->DriverObject != driver)
            continue;
        std::string why = toUtf8(it->second.name) + " is unloaded while its " + deviceText(device) +
                          (record.deleted ? " (deleted, still referenced " +
                                                std::to_string(record.references) + " times)"
                                          : " still exists (not deleted with IoDeleteDevice)");
        lock.unlock();
        bugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
                 reinterpret_cast<ULONG_PTR>(driver), reinterpret_cast<ULONG_PTR>(device), 0, 0,
                 why);
    }
    impl_->drivers.erase(it);
    free(driver);
}

void Kernel::markPhysicalDeviceObject(PDEVICE_OBJECT pdo, std::u16string_view instancePath) {
    std::unique_lock lock(impl_->mutex);
    DeviceRecord& r = requireDevice(*impl_, lock, pdo, "markPhysicalDeviceObject", nullptr);
    r.physical = true;
    r.instancePath = instancePath;
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
}

void Kernel::refuseAttachTo(PDEVICE_OBJECT device) {
    std::unique_lock lock(impl_->mutex);
    requireDevice(*impl_, lock, device, "refuseAttachTo", nullptr, true).refuseAttach = true;
}

PDEVICE_OBJECT Kernel::topOfStack(PDEVICE_OBJECT device) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->topOfStackLocked(device);
}

bool Kernel::deviceObjectExists(PDEVICE_OBJECT device) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->devices.count(device) != 0;
}

bool Kernel::deviceObjectDeleted(PDEVICE_OBJECT device) const {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->devices.find(device);
    return it == impl_->devices.end() || it->second.deleted;
}

std::vector<DeviceInterfaceRecord> Kernel::deviceInterfaces(const GUID& interfaceClass,
                                                            bool enabledOnly) const {
    std::lock_guard lock(impl_->mutex);
    std::vector<DeviceInterfaceRecord> out;
    for (const auto& r : impl_->interfaces)
        if (memcmp(&r.interfaceClass, &interfaceClass, sizeof(GUID)) == 0 &&
            (r.enabled || !enabledOnly))
            out.push_back(r);
    return out;
}

std::vector<std::pair<PDEVICE_OBJECT, DEVICE_RELATION_TYPE>> Kernel::invalidatedDeviceRelations()
    const {
    std::lock_guard lock(impl_->mutex);
    return impl_->invalidatedRelations;
}

}  // namespace sim

using namespace sim;

// ---------------------------------------------------------------- device objects

extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                         PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                         ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                         PDEVICE_OBJECT* DeviceObject) {
    const void* caller = __builtin_return_address(0);
    requirePassive("IoCreateDevice", caller);
    Kernel::Impl& impl = kernelImpl();
    std::unique_lock lock(impl.mutex);
    if (!DriverObject || !impl.drivers.count(DriverObject)) {
        lock.unlock();
        invalidObject(DriverObject,
                    "IoCreateDevice by " + describeCode(caller) + " with " +
                        hex(reinterpret_cast<ULONG_PTR>(DriverObject)) +
                        ", which is not a driver object");
    }
    std::u16string name = counted(DeviceName);
    if (!name.empty())
        for (auto& [device, record] : impl.devices)
            if (!record.deleted && upcase(record.name) == upcase(name))
                return STATUS_OBJECT_NAME_COLLISION;
    if (impl.decideFailure(AllocationKind::DeviceObject, caller))
        return STATUS_INSUFFICIENT_RESOURCES;
    void* memory = calloc(1, kDeviceObjectBytes + DeviceExtensionSize);
    if (!memory)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto device = static_cast<PDEVICE_OBJECT>(memory);
    device->Type = kIoTypeDevice;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->ReferenceCount = 0;
    device->DriverObject = DriverObject;
    device->DeviceExtension =
        DeviceExtensionSize ? static_cast<uint8_t*>(memory) + kDeviceObjectBytes : nullptr;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) |
                    (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
    device->StackSize = 1;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    DeviceRecord record;
    record.caller = caller;
    record.name = name;
    record.memory = memory;
    impl.devices[device] = std::move(record);
    impl.noteAllocated(AllocationKind::DeviceObject, true);
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    const void* caller = __builtin_return_address(0);
    requirePassive("IoDeleteDevice", caller);
    Kernel::Impl& impl = kernelImpl();
    std::unique_lock lock(impl.mutex);
    auto it = impl.devices.find(DeviceObject);
    if (it == impl.devices.end() || it->second.deleted) {
        bool twice = it != impl.devices.end() || impl.wasFreedRecently(DeviceObject);
        lock.unlock();
        ioViolation(kIoVerifierDeleteDeletedDevice, DeviceObject,
                    "IoDeleteDevice by " + describeCode(caller) + " on " +
                        deviceText(DeviceObject) +
                        (twice ? ", which was already deleted (deleted twice)"
                               : ", which is not a device object"));
    }
    DeviceRecord& record = it->second;
    if (record.lower) {
        PDEVICE_OBJECT lower = record.lower;
        lock.unlock();
        ioViolation(kIoVerifierDeleteWhileAttached, DeviceObject,
                    "IoDeleteDevice by " + describeCode(caller) + " on " +
                        deviceText(DeviceObject) + ", which is still attached to " +
                        deviceText(lower) + " (IoDetachDevice first)");
    }
    if (DeviceObject->AttachedDevice) {
        PDEVICE_OBJECT upper = DeviceObject->AttachedDevice;
        lock.unlock();
        ioViolation(kIoVerifierUnknown, DeviceObject,
                    "IoDeleteDevice by " + describeCode(caller) + " on " +
                        deviceText(DeviceObject) + " while " + deviceText(upper) +
                        " is still attached on top of it");
    }
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
        if (*link == DeviceObject) {
            *link = DeviceObject->NextDevice;
            break;
        }
    }
    DeviceObject->NextDevice = nullptr;
    record.deleted = true;
    std::erase_if(impl.interfaces,
                  [&](const DeviceInterfaceRecord& r) { return r.pdo == DeviceObject; });
    impl.releaseDeviceIfUnused(DeviceObject);
}

extern "C" PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                            PDEVICE_OBJECT TargetDevice) {
    const void* caller = __builtin_return_address(0);
    requirePassive("IoAttachDeviceToDeviceStack", caller);
    Kernel::Impl& impl = kernelImpl();
    std::unique_lock lock(impl.mutex);
    DeviceRecord& source =
        requireDevice(impl, lock, SourceDevice, "IoAttachDeviceToDeviceStack", caller);
    auto target = impl.devices.find(TargetDevice);
    if (target == impl.devices.end() || target->second.deleted)
        return nullptr;
    if (source.lower || SourceDevice->AttachedDevice) {
        lock.unlock();
        ioViolation(kIoVerifierUnknown, SourceDevice,
                    "IoAttachDeviceToDeviceStack by " + describeCode(caller) + ": " +
                        deviceText(SourceDevice) + " is already part of a device stack");
    }
    PDEVICE_OBJECT bottom = TargetDevice;
    while (bottom && impl.devices.count(bottom) && impl.devices[bottom].lower)
        bottom = impl.devices[bottom].lower;
    for (PDEVICE_OBJECT d = bottom; d; d = d->AttachedDevice) {
        auto r = impl.devices.find(d);
        if (r != impl.devices.end() && (r->second.refuseAttach || r->second.deleted))
            return nullptr;
    }
    PDEVICE_OBJECT top = impl.topOfStackLocked(TargetDevice);
    top->AttachedDevice = SourceDevice;
    source.lower = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    if (top->AlignmentRequirement > SourceDevice->AlignmentRequirement)
        SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->SectorSize = top->SectorSize;
    return top;
}

extern "C" VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    const void* caller = __builtin_return_address(0);
    requirePassive("IoDetachDevice", caller);
    Kernel::Impl& impl = kernelImpl();
    std::unique_lock lock(impl.mutex);
    requireDevice(impl, lock, TargetDevice, "IoDetachDevice", caller, true);
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    if (!upper) {
        lock.unlock();
        ioViolation(kIoVerifierDetachUnattached, TargetDevice,
                    "IoDetachDevice by " + describeCode(caller) + " on " +
                        deviceText(TargetDevice) + ", which has nothing attached to it");
    }
    auto it = impl.devices.find(upper);
    if (it != impl.devices.end())
        it->second.lower = nullptr;
    TargetDevice->AttachedDevice = nullptr;
}

extern "C" PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    const void* caller = __builtin_return_address(0);
    Kernel::Impl& impl = kernelImpl();
    std::unique_lock lock(impl.mutex);
    requireDevice(impl, lock, DeviceObject, "IoGetAttachedDeviceReference", caller, true);
    PDEVICE_OBJECT top = impl.topOfStackLocked(DeviceObject);
    ++impl.devices[top].references;
    return top;
}

extern "C" LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
    const void* caller = __builtin_return_address(0);
    Kernel::Impl& impl = kernelImpl();
    std::unique_lock lock(impl.mutex);
    DeviceRecord& r = requireDevice(impl, lock, static_cast<PDEVICE_OBJECT>(Object),
                                    "ObfReferenceObject", caller, true);
    return ++r.references;
}

extern "C" LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
    const void* caller = __builtin_return_address(0);
    Kernel::Impl& impl = kernelImpl();
    std::unique_lock lock(impl.mutex);
    auto device = static_cast<PDEVICE_OBJECT>(Object);
    DeviceRecord& r = requireDevice(impl, lock, device, "ObfDereferenceObject", caller, true);
    if (r.references <= 0) {
        lock.unlock();
        invalidObject(Object,
                    "ObfDereferenceObject by " + describeCode(caller) + " on " +
                        deviceText(device) + ", which holds no reference");
    }
    LONG_PTR left = --r.references;
    impl.releaseDeviceIfUnused(device);
    return left;
}

// ---------------------------------------------------------------- device interfaces

extern "C" NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                                    const GUID* InterfaceClassGuid,
                                                    PUNICODE_STRING ReferenceString,
                                                    PUNICODE_STRING SymbolicLinkName) {
    const void* caller = __builtin_return_address(0);
    requirePassive("IoRegisterDeviceInterface", caller);
    Kernel::Impl& impl = kernelImpl();
    std::u16string link;
    {
        std::unique_lock lock(impl.mutex);
        auto it = impl.devices.find(PhysicalDeviceObject);
        if (it == impl.devices.end() || it->second.deleted || !it->second.physical)
            return STATUS_INVALID_DEVICE_REQUEST;
        std::u16string path = it->second.instancePath;
        for (auto& c : path)
            if (c == u'\\')
                c = u'#';
        link = u"\\??\\" + path + u"#" + toU16(guidText(*InterfaceClassGuid));
        if (std::u16string ref = counted(ReferenceString); !ref.empty())
            link += u"\\" + ref;
        bool known = false;
        for (const auto& r : impl.interfaces)
            if (upcase(r.symbolicLink) == upcase(link))
                known = true;
        if (!known)
            impl.interfaces.push_back({*InterfaceClassGuid, link, PhysicalDeviceObject, false});
    }
    return allocateUnicodeString(SymbolicLinkName, link, caller);
}

extern "C" NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName,
                                                    BOOLEAN Enable) {
    requirePassive("IoSetDeviceInterfaceState", __builtin_return_address(0));
    Kernel::Impl& impl = kernelImpl();
    std::u16string name = upcase(counted(SymbolicLinkName));
    std::lock_guard lock(impl.mutex);
    for (auto& r : impl.interfaces) {
        if (upcase(r.symbolicLink) != name)
            continue;
        if (Enable && r.enabled)
            return STATUS_OBJECT_NAME_EXISTS;
        r.enabled = Enable != FALSE;
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

extern "C" VOID NTAPI IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject,
                                                  DEVICE_RELATION_TYPE Type) {
    Kernel::Impl& impl = kernelImpl();
    std::lock_guard lock(impl.mutex);
    impl.invalidatedRelations.emplace_back(DeviceObject, Type);
}

extern "C" BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
    Kernel::Impl& impl = kernelImpl();
    std::lock_guard lock(impl.mutex);
    UCHAR major = impl.options.wdmMajor;
    UCHAR minor = impl.options.wdmMinor;
    return MajorVersion < major || (MajorVersion == major && MinorVersion <= minor);
}

// ---------------------------------------------------------------- remove locks (free-build form)

// Removed is set by the remover while other threads acquire and release the lock: accessed
// atomically, as the platform's interlocked counting around it assumes.
static std::atomic_ref<BOOLEAN> removedFlag(PIO_REMOVE_LOCK lock) {
    return std::atomic_ref<BOOLEAN>(lock->Common.Removed);
}

static void checkRemoveLockSize(ULONG size, const char* routine, const void* caller) {
    if (size != sizeof(IO_REMOVE_LOCK))
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kModelCheckMemoryCorruption, size,
                 sizeof(IO_REMOVE_LOCK), 0,
                 std::string(routine) + " by " + describeCode(caller) + " with a lock size of " +
                     std::to_string(size) + " bytes (the lock is " +
                     std::to_string(sizeof(IO_REMOVE_LOCK)) + ")");
}

extern "C" VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG, ULONG, ULONG,
                                               ULONG RemlockSize) {
    checkRemoveLockSize(RemlockSize, "IoInitializeRemoveLockEx", __builtin_return_address(0));
    Lock->Common.Removed = FALSE;
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
}

extern "C" NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID, PCSTR, ULONG,
                                                ULONG RemlockSize) {
    checkRemoveLockSize(RemlockSize, "IoAcquireRemoveLockEx", __builtin_return_address(0));
    InterlockedIncrement(&RemoveLock->Common.IoCount);
    if (removedFlag(RemoveLock).load()) {
        if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
            KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
        return STATUS_DELETE_PENDING;
    }
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID, ULONG RemlockSize) {
    const void* caller = __builtin_return_address(0);
    checkRemoveLockSize(RemlockSize, "IoReleaseRemoveLockEx", caller);
    LONG left = InterlockedDecrement(&RemoveLock->Common.IoCount);
    if (left < 0 || (left == 0 && !removedFlag(RemoveLock).load()))
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kModelCheckMisuse,
                 reinterpret_cast<ULONG_PTR>(RemoveLock), static_cast<ULONG_PTR>(left), 0,
                 "IoReleaseRemoveLockEx by " + describeCode(caller) +
                     " released a remove lock more often than it was acquired");
    if (left == 0)
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

extern "C" VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID,
                                                   ULONG RemlockSize) {
    const void* caller = __builtin_return_address(0);
    checkRemoveLockSize(RemlockSize, "IoReleaseRemoveLockAndWaitEx", caller);
    requirePassive("IoReleaseRemoveLockAndWaitEx", caller);
    removedFlag(RemoveLock).store(TRUE);
    LONG left = InterlockedDecrement(&RemoveLock->Common.IoCount);  // the caller's acquisition
    if (left <= 0)
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kModelCheckMisuse,
                 reinterpret_cast<ULONG_PTR>(RemoveLock), static_cast<ULONG_PTR>(left), 0,
                 "IoReleaseRemoveLockAndWaitEx by " + describeCode(caller) +
                     " without holding the remove lock (acquire it first)");
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0)  // the initial count
        waitForEventWithWatchdog(&RemoveLock->Common.RemoveEvent, [&] {
            return "IoReleaseRemoveLockAndWaitEx in " + describeCode(caller) +
                   " waiting for the remove lock's holders to release it";
        });
}
