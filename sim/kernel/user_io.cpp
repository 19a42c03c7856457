// The application side of the I/O manager: file objects, and the requests a Win32 program's
// CreateFile, ReadFile, WriteFile, DeviceIoControl and CloseHandle turn into, with their buffers
// built as the platform builds them. The calling thread is the application's thread at
// PASSIVE_LEVEL; the dispatch routines run in it.
#include "sim/kernel/internal.hpp"

#include <cstdlib>

namespace sim {

namespace {

constexpr CSHORT kIoTypeFile = 5;
constexpr ULONG kSystemBufferTag = 0x42536F49;  // 'IoSB'

class AppRequest final : public UserRequest {
  public:
    // What the request is, named only when a report needs it (requests must stay cheap).
    struct Description {
        UCHAR major;
        PFILE_OBJECT file;
        ULONG length = 0;
        ULONG code = 0;
    };
    AppRequest(Kernel::Impl& impl, Description what) : impl_(impl), what_(what) {
        KeInitializeEvent(&event_, NotificationEvent, FALSE);
    }
    ~AppRequest() override {
        if (sent_)
            wait();
    }

    bool completed() const override {
        return std::atomic_ref<LONG>(const_cast<LONG&>(event_.Header.SignalState)).load() != 0;
    }
    IoResult wait() override {
        waitForEventWithWatchdog(&event_, [this] {
            return "the application request " + describe() + " was never completed by the driver";
        });
        return result();
    }
    std::optional<IoResult> waitFor(std::chrono::milliseconds timeout) override {
        if (!waitForEventUntil(&event_, std::chrono::steady_clock::now() + timeout))
            return std::nullopt;
        return result();
    }
    bool cancel() override {
        IrpShadow* s;
        {
            std::lock_guard lock(impl_.mutex);
            if (completed())
                return false;
            s = impl_.findIrp(irp_);
            if (!s || s->serial != serial_)
                return false;
            ++s->pins;
        }
        return cancelPinnedIrp(impl_, s, currentIrql()) != FALSE;
    }

    // Builds the IRP for this request; null when the I/O manager has no memory for it.
    PIRP build(PDEVICE_OBJECT top, PFILE_OBJECT file, UCHAR major) {
        irp_ = impl_.allocateIrp(top->StackSize, IrpOrigin::Application,
                                 __builtin_return_address(0), false);
        if (!irp_)
            return nullptr;
        {
            std::lock_guard lock(impl_.mutex);
            shadow_ = impl_.irps[irp_];
            serial_ = shadow_->serial;
        }
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
        next->MajorFunction = major;
        next->FileObject = file;
        irp_->Tail.Overlay.OriginalFileObject = file;
        irp_->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(threadToken());
        irp_->RequestorMode = UserMode;
        irp_->UserIosb = &iosb_;
        irp_->UserEvent = &event_;
        return irp_;
    }
    IrpShadow& shadow() { return *shadow_; }
    void setMajor(UCHAR major) { what_.major = major; }
    PIRP irp() { return irp_; }

    // A system buffer of `length` bytes, freed when the request completes.
    bool systemBuffer(ULONG length, const void* input, ULONG inputLength) {
        if (!length)
            return true;
        void* buffer = impl_.poolAllocate(NonPagedPool, length, kSystemBufferTag,
                                          AllocationKind::Pool, __builtin_return_address(0), false);
        if (!buffer)
            return false;
        if (input && inputLength)
            memcpy(buffer, input, inputLength);
        shadow_->systemBuffer = buffer;
        irp_->AssociatedIrp.SystemBuffer = buffer;
        irp_->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        return true;
    }
    // An MDL over the caller's buffer, its pages locked for the transfer's direction.
    bool mdlOver(void* buffer, ULONG length, LOCK_OPERATION operation) {
        if (!length)
            return true;
        PMDL mdl = impl_.allocateMdl(buffer, length, __builtin_return_address(0), false);
        if (!mdl)
            return false;
        MmProbeAndLockPages(mdl, UserMode, operation);
        irp_->MdlAddress = mdl;
        return true;
    }

    // Sends the request to the top of the stack. A dispatch routine that does not return
    // STATUS_PENDING must have completed the request.
    void send(PDEVICE_OBJECT top) {
        sent_ = true;
        NTSTATUS status = callDriver(top, irp_, __builtin_return_address(0), "IofCallDriver");
        deliverApcs();  // on its way back to user mode the thread takes its pending APCs
        if (status != STATUS_PENDING && !completed())
            bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                     kIoVerifierDispatchNeitherCompletedNorPending,
                     reinterpret_cast<ULONG_PTR>(irp_), static_cast<ULONG_PTR>(status), 0,
                     "the dispatch routine for the application request " + describe() +
                         " returned " + statusName(status) +
                         " without completing the request (a routine that keeps a request must "
                         "mark it pending and return STATUS_PENDING)");
    }
    // Frees a request that could not be built completely (never sent).
    void discard() {
        if (!irp_)
            return;
        for (PMDL mdl = irp_->MdlAddress; mdl;) {
            PMDL next = mdl->Next;
            impl_.freeMdl(mdl);
            mdl = next;
        }
        if (shadow_->systemBuffer)
            impl_.poolFree(shadow_->systemBuffer, std::nullopt, nullptr);
        shadow_->systemBuffer = nullptr;
        std::lock_guard lock(impl_.mutex);
        impl_.freeIrpMemory(shadow_);
        irp_ = nullptr;
    }
    // Completes the request with a failure of the I/O manager itself.
    void failWith(NTSTATUS status) {
        discard();
        iosb_.Status = status;
        iosb_.Information = 0;
        KeSetEvent(&event_, IO_NO_INCREMENT, FALSE);
    }

  private:
    IoResult result() const { return {iosb_.Status, iosb_.Information}; }
    std::string describe() const {
        std::string text = majorFunctionName(what_.major);
        if (what_.major == IRP_MJ_READ || what_.major == IRP_MJ_WRITE)
            text += " of " + std::to_string(what_.length) + " bytes";
        if (what_.code)
            text += " " + hex(what_.code);
        if (!what_.file)
            return text + " sent by the model";
        return text + " on file object " + hex(reinterpret_cast<ULONG_PTR>(what_.file));
    }

    Kernel::Impl& impl_;
    Description what_;
    KEVENT event_{};
    IO_STATUS_BLOCK iosb_{};
    PIRP irp_ = nullptr;
    IrpShadow* shadow_ = nullptr;
    uint64_t serial_ = 0;
    bool sent_ = false;
};

void requireApplicationThread(const char* call) {
    if (currentIrql() != PASSIVE_LEVEL)
        bugCheck(IRQL_NOT_LESS_OR_EQUAL, currentIrql(), 0, 0, 0,
                 std::string("the application call ") + call + " was made at " +
                     describeIrql(currentIrql()) + "; applications run at PASSIVE_LEVEL");
}

std::string fileText(PFILE_OBJECT file) {
    return "file object " + hex(reinterpret_cast<ULONG_PTR>(file));
}

// A reference the I/O manager holds on the device it sends a request to, from the moment it
// picks the device until the dispatch routine has returned. A removal on another thread may
// detach and delete that device meanwhile (a function driver's device, which no file object
// references); the reference keeps its memory, so the request still reaches it, as it does on
// the platform, instead of a freed object.
class DeviceReference {
  public:
    // Takes the reference; call with impl.mutex held.
    DeviceReference(Kernel::Impl& impl, PDEVICE_OBJECT device) : impl_(impl), device_(device) {
        ++impl_.devices[device_].references;
        ++device_->ReferenceCount;
    }
    ~DeviceReference() {
        std::lock_guard lock(impl_.mutex);
        auto it = impl_.devices.find(device_);
        if (it == impl_.devices.end())
            return;
        --it->second.references;
        --device_->ReferenceCount;
        impl_.releaseDeviceIfUnused(device_);
    }
    DeviceReference(const DeviceReference&) = delete;
    DeviceReference& operator=(const DeviceReference&) = delete;
    PDEVICE_OBJECT device() const { return device_; }

  private:
    Kernel::Impl& impl_;
    PDEVICE_OBJECT device_;
};

// The device requests on `file` go to: the top of the stack its device belongs to, referenced
// while the request is sent.
std::unique_ptr<DeviceReference> targetOf(Kernel::Impl& impl, PFILE_OBJECT file, const char* call) {
    std::lock_guard lock(impl.mutex);
    if (!impl.files.count(file))
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kModelCheckInvalidObject,
                 reinterpret_cast<ULONG_PTR>(file), 0, 0,
                 std::string("the application call ") + call + " on " + fileText(file) +
                     ", which is not an open file object");
    return std::make_unique<DeviceReference>(impl, impl.topOfStackLocked(file->DeviceObject));
}

std::unique_ptr<UserRequest> failed(Kernel::Impl& impl, AppRequest::Description what,
                                    NTSTATUS status) {
    auto request = std::make_unique<AppRequest>(impl, what);
    request->failWith(status);
    return request;
}

}  // namespace

NTSTATUS Kernel::createFile(PDEVICE_OBJECT device, std::u16string_view fileName,
                            PFILE_OBJECT* file) {
    requireApplicationThread("createFile");
    Impl& impl = *impl_;
    *file = nullptr;
    std::unique_ptr<DeviceReference> target;
    {
        std::lock_guard lock(impl.mutex);
        auto it = impl.devices.find(device);
        if (it == impl.devices.end())
            return STATUS_NO_SUCH_DEVICE;
        if (it->second.deleted)
            return STATUS_DELETE_PENDING;
        PDEVICE_OBJECT top = impl.topOfStackLocked(device);
        if (top->Flags & DO_DEVICE_INITIALIZING)
            return STATUS_NO_SUCH_DEVICE;
        target = std::make_unique<DeviceReference>(impl, top);
    }
    PDEVICE_OBJECT top = target->device();
    auto object = static_cast<PFILE_OBJECT>(calloc(1, sizeof(FILE_OBJECT)));
    object->Type = kIoTypeFile;
    object->Size = sizeof(FILE_OBJECT);
    object->DeviceObject = device;
    size_t bytes = fileName.size() * sizeof(WCHAR);
    if (bytes) {
        // Exactly Length bytes, no terminator: a driver must not look for one.
        object->FileName.Buffer = static_cast<PWSTR>(malloc(bytes));
        memcpy(object->FileName.Buffer, fileName.data(), bytes);
        object->FileName.Length = object->FileName.MaximumLength = static_cast<USHORT>(bytes);
    }
    KeInitializeEvent(&object->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&object->Event, NotificationEvent, FALSE);
    {
        std::lock_guard lock(impl.mutex);
        impl.files[object] = FileRecord{device};
        ++impl.devices[device].references;
        ++device->ReferenceCount;
    }
    AppRequest request(impl, {IRP_MJ_CREATE, object});
    NTSTATUS status;
    if (!request.build(top, object, IRP_MJ_CREATE)) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        request.irp()->Flags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
        request.send(top);
        status = request.wait().status;
    }
    if (NT_SUCCESS(status)) {
        *file = object;
        return status;
    }
    std::lock_guard lock(impl.mutex);
    impl.files.erase(object);
    --impl.devices[device].references;
    --device->ReferenceCount;
    impl.releaseDeviceIfUnused(device);
    free(object->FileName.Buffer);
    free(object);
    return status;
}

NTSTATUS Kernel::closeFile(PFILE_OBJECT file) {
    requireApplicationThread("closeFile");
    Impl& impl = *impl_;
    NTSTATUS cleanupStatus = STATUS_SUCCESS;
    for (UCHAR major : {UCHAR{IRP_MJ_CLEANUP}, UCHAR{IRP_MJ_CLOSE}}) {
        auto target = targetOf(impl, file, "closeFile");
        PDEVICE_OBJECT top = target->device();
        AppRequest request(impl, {major, file});
        if (!request.build(top, file, major))
            continue;
        request.irp()->Flags =
            major == IRP_MJ_CLOSE ? IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API : IRP_SYNCHRONOUS_API;
        request.send(top);
        NTSTATUS status = request.wait().status;
        if (major == IRP_MJ_CLEANUP)
            cleanupStatus = status;
    }
    std::lock_guard lock(impl.mutex);
    PDEVICE_OBJECT device = file->DeviceObject;
    impl.files.erase(file);
    auto it = impl.devices.find(device);
    if (it != impl.devices.end()) {
        --it->second.references;
        --device->ReferenceCount;
        impl.releaseDeviceIfUnused(device);
    }
    free(file->FileName.Buffer);
    free(file);
    return cleanupStatus;
}

std::unique_ptr<UserRequest> Kernel::read(PFILE_OBJECT file, void* buffer, ULONG length) {
    requireApplicationThread("read");
    Impl& impl = *impl_;
    auto target = targetOf(impl, file, "read");
    PDEVICE_OBJECT top = target->device();
    AppRequest::Description what{IRP_MJ_READ, file, length};
    auto request = std::make_unique<AppRequest>(impl, what);
    if (!request->build(top, file, IRP_MJ_READ))
        return failed(impl, what, STATUS_INSUFFICIENT_RESOURCES);
    PIRP irp = request->irp();
    irp->Flags = IRP_READ_OPERATION;
    IoGetNextIrpStackLocation(irp)->Parameters.Read.Length = length;
    irp->UserBuffer = buffer;
    bool built = true;
    if (top->Flags & DO_DIRECT_IO) {
        built = request->mdlOver(buffer, length, IoWriteAccess);
    } else if (top->Flags & DO_BUFFERED_IO) {
        built = request->systemBuffer(length, nullptr, 0);
        irp->Flags |= IRP_INPUT_OPERATION;
        IrpShadow& s = request->shadow();
        s.copyBack = true;
        s.copyBackTo = buffer;
        s.copyBackLength = length;
        s.checkInformation = true;
        s.informationLimit = length;
    }
    if (!built) {
        request->failWith(STATUS_INSUFFICIENT_RESOURCES);
        return request;
    }
    request->send(top);
    return request;
}

std::unique_ptr<UserRequest> Kernel::write(PFILE_OBJECT file, const void* buffer, ULONG length) {
    requireApplicationThread("write");
    Impl& impl = *impl_;
    auto target = targetOf(impl, file, "write");
    PDEVICE_OBJECT top = target->device();
    AppRequest::Description what{IRP_MJ_WRITE, file, length};
    auto request = std::make_unique<AppRequest>(impl, what);
    if (!request->build(top, file, IRP_MJ_WRITE))
        return failed(impl, what, STATUS_INSUFFICIENT_RESOURCES);
    PIRP irp = request->irp();
    irp->Flags = IRP_WRITE_OPERATION;
    IoGetNextIrpStackLocation(irp)->Parameters.Write.Length = length;
    irp->UserBuffer = const_cast<void*>(buffer);
    bool built = true;
    if (top->Flags & DO_DIRECT_IO)
        built = request->mdlOver(const_cast<void*>(buffer), length, IoReadAccess);
    else if (top->Flags & DO_BUFFERED_IO)
        built = request->systemBuffer(length, buffer, length);
    if (!built) {
        request->failWith(STATUS_INSUFFICIENT_RESOURCES);
        return request;
    }
    request->send(top);
    return request;
}

std::unique_ptr<UserRequest> Kernel::deviceIoControl(PFILE_OBJECT file, ULONG code,
                                                     const void* input, ULONG inputLength,
                                                     void* output, ULONG outputLength,
                                                     bool internal) {
    requireApplicationThread("deviceIoControl");
    Impl& impl = *impl_;
    auto target = targetOf(impl, file, "deviceIoControl");
    PDEVICE_OBJECT top = target->device();
    UCHAR major = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    AppRequest::Description what{major, file, 0, code};
    auto request = std::make_unique<AppRequest>(impl, what);
    if (!request->build(top, file, major))
        return failed(impl, what, STATUS_INSUFFICIENT_RESOURCES);
    PIRP irp = request->irp();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    irp->UserBuffer = output;
    bool built = true;
    switch (METHOD_FROM_CTL_CODE(code)) {
        case METHOD_BUFFERED: {
            ULONG length = inputLength > outputLength ? inputLength : outputLength;
            built = request->systemBuffer(length, input, inputLength);
            // The I/O manager copies Information bytes back into the caller's output pointer
            // whenever there is one and a system buffer (IRP_INPUT_OPERATION), whatever the
            // output length: an Information larger than that length overruns the caller.
            if (output && length)
                irp->Flags |= IRP_INPUT_OPERATION;
            IrpShadow& s = request->shadow();
            s.copyBack = output != nullptr && length != 0;
            s.copyBackTo = output;
            s.copyBackLength = outputLength;
            s.checkInformation = s.copyBack;
            s.informationLimit = outputLength;
            break;
        }
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            built = request->systemBuffer(input ? inputLength : 0, input, inputLength) &&
                    (!output || request->mdlOver(output, outputLength,
                                                 METHOD_FROM_CTL_CODE(code) == METHOD_IN_DIRECT
                                                     ? IoReadAccess
                                                     : IoWriteAccess));
            break;
        case METHOD_NEITHER:
            next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
            break;
    }
    if (!built) {
        request->failWith(STATUS_INSUFFICIENT_RESOURCES);
        return request;
    }
    request->send(top);
    return request;
}

std::unique_ptr<UserRequest> Kernel::systemRequest(
    PDEVICE_OBJECT device, const std::function<void(PIRP, PIO_STACK_LOCATION)>& prepare) {
    requireApplicationThread("systemRequest");
    Impl& impl = *impl_;
    {
        std::lock_guard lock(impl.mutex);
        if (!impl.devices.count(device))
            bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, kIoVerifierInvalidDevice,
                     reinterpret_cast<ULONG_PTR>(device), 0, 0,
                     "systemRequest to " + hex(reinterpret_cast<ULONG_PTR>(device)) +
                         ", which is not a device object");
    }
    auto request = std::make_unique<AppRequest>(impl, AppRequest::Description{IRP_MJ_PNP, nullptr});
    if (!request->build(device, nullptr, IRP_MJ_PNP)) {
        request->failWith(STATUS_INSUFFICIENT_RESOURCES);
        return request;
    }
    PIRP irp = request->irp();
    irp->RequestorMode = KernelMode;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // what a request nobody handles reports
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    if (prepare)
        prepare(irp, next);
    request->setMajor(next->MajorFunction);
    request->send(device);
    return request;
}

}  // namespace sim
