#include "sim/usb/usb_bus.hpp"

#include <usbioctl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cstdio>
#include <deque>
#include <map>
#include <set>
#include <stdexcept>

namespace sim::usb {

// ---------------------------------------------------------------- state

struct UsbBus::Port {
    UsbBus* bus = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    std::unique_ptr<DeviceModel> model;
    uint8_t address = 0;
    std::u16string instancePath;
    Bytes device;
    std::vector<Bytes> configs;
    std::vector<ConfigurationInfo> infos;  // parsed configs, same order
    bool connected = true;
    bool pnpRemoved = false;
    bool deleted = false;

    // The device's configuration as the host set it, and the handles of its pipes.
    int configIndex = -1;
    void* configHandle = nullptr;
    std::map<uint8_t, uint8_t> alternates;  // interface number -> alternate setting
    std::map<uint8_t, void*> interfaceHandles;
    struct Pipe {
        uint8_t interfaceNumber;
        EndpointInfo endpoint;
        uint32_t maxTransfer;
    };
    std::map<void*, Pipe> pipes;
    std::set<uint8_t> halted;  // endpoint addresses
    bool remoteWakeup = false;
    unsigned resets = 0;

    std::map<uint8_t, std::deque<Fault>> endpointFaults;
    std::map<uint8_t, std::deque<Fault>> controlFaults;  // by bRequest
    std::map<uint8_t, CompletionMode> modes;             // by endpoint address, 0 control
    std::map<uint8_t, std::deque<std::unique_ptr<Transfer>>> queues;  // by endpoint, 0 control
    std::atomic<uint64_t> dataEpoch{0};

    const ConfigurationInfo* active() const {
        return configIndex >= 0 ? &infos[static_cast<size_t>(configIndex)] : nullptr;
    }
    uint8_t configValue() const { return active() != nullptr ? active()->value : 0; }
    const EndpointInfo* endpoint(uint8_t address) const {
        for (const auto& [handle, pipe] : pipes) {
            if (pipe.endpoint.address == address)
                return &pipe.endpoint;
        }
        return nullptr;
    }
};

struct UsbBus::Outcome {
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    NTSTATUS nt = STATUS_SUCCESS;
    uint32_t moved = 0;
};

struct UsbBus::Transfer {
    uint64_t id = 0;
    PIRP irp = nullptr;
    PURB urb = nullptr;
    Port* port = nullptr;
    uint16_t function = 0;
    uint8_t queueKey = 0;  // endpoint address; 0 for the default pipe
    TransferKind kind = TransferKind::None;
    uint8_t endpoint = 0;
    uint32_t flags = 0;
    uint32_t length = 0;
    uint8_t* buffer = nullptr;
    bool in = false;
    bool dataKind = false;  // TransferBufferLength is rewritten on completion
    std::optional<SetupPacket> setup;
    std::optional<Fault> fault;
    // bulk progress
    uint16_t maxPacket = 0;
    bool shortOk = false;
    uint32_t moved = 0;
    bool naked = false;
    uint64_t nakEpoch = 0;
    // selections and pipe requests
    int configIndex = -1;
    size_t records = 0;
    void* pipeHandle = nullptr;
    std::vector<std::unique_ptr<Transfer>> aborted;
    std::chrono::steady_clock::time_point notBefore{};
    bool cancelling = false;
    bool held = false;
};

namespace {

HeldUrb heldView(const UsbBus::Transfer& t, PDEVICE_OBJECT pdo) {
    return {t.id, t.irp, pdo, t.function, t.endpoint, t.length, t.in, t.setup};
}

constexpr uint64_t kPdoMagic = 0x5553425055534250ull;  // "PBSUPBSU"
constexpr size_t kSelectConfigurationHead =
    FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
constexpr size_t kSelectInterfaceHead = FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface);
constexpr size_t kInterfaceRecordHead = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
constexpr uint32_t kPoolTag = 0x42425355;  // 'USBB'

struct PdoExtension {
    uint64_t magic;
    UsbBus::Port* port;
};

UsbBus::Port* portFromDevice(PDEVICE_OBJECT device) {
    auto* ext = static_cast<PdoExtension*>(device->DeviceExtension);
    if (ext == nullptr || ext->magic != kPdoMagic) {
        bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, reinterpret_cast<ULONG_PTR>(device), 0, 0, 0,
                 "a request reached the USB bus driver for a device object it does not own");
    }
    return ext->port;
}

// Raises the calling thread to DISPATCH_LEVEL for the life of the object, as a host
// controller's completion does (no-op when already there).
class AtDispatch {
  public:
    AtDispatch() : old_(KfRaiseIrql(DISPATCH_LEVEL)) {}
    ~AtDispatch() { KeLowerIrql(old_); }

  private:
    KIRQL old_;
};

std::u16string hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return std::u16string(text, text + 4);
}

}  // namespace

struct BusDispatch {
    static NTSTATUS pnp(PDEVICE_OBJECT device, PIRP irp) {
        auto* port = portFromDevice(device);
        return port->bus->dispatchPnp(*port, irp);
    }
    static NTSTATUS power(PDEVICE_OBJECT device, PIRP irp) {
        auto* port = portFromDevice(device);
        return port->bus->dispatchPower(*port, irp);
    }
    static NTSTATUS internal(PDEVICE_OBJECT device, PIRP irp) {
        auto* port = portFromDevice(device);
        return port->bus->dispatchInternal(*port, irp);
    }
    static VOID cancel(PDEVICE_OBJECT device, PIRP irp) {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        portFromDevice(device)->bus->cancel(irp);
    }
};

NTSTATUS ntStatusForUsbd(USBD_STATUS status) {
    switch (status) {
        case USBD_STATUS_SUCCESS:
            return STATUS_SUCCESS;
        case USBD_STATUS_INVALID_URB_FUNCTION:
        case USBD_STATUS_INVALID_PARAMETER:
        case USBD_STATUS_INVALID_PIPE_HANDLE:
        case USBD_STATUS_INTERFACE_NOT_FOUND:
        case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR:
        case USBD_STATUS_BUFFER_TOO_SMALL:
            return STATUS_INVALID_PARAMETER;
        case USBD_STATUS_INSUFFICIENT_RESOURCES:
            return STATUS_INSUFFICIENT_RESOURCES;
        case USBD_STATUS_DEVICE_GONE:
            return STATUS_DEVICE_NOT_CONNECTED;
        case USBD_STATUS_CANCELED:
            return STATUS_CANCELLED;
        case USBD_STATUS_TIMEOUT:
            return STATUS_IO_TIMEOUT;
        case USBD_STATUS_NOT_SUPPORTED:
            return STATUS_NOT_SUPPORTED;
        case USBD_STATUS_ERROR_BUSY:
            return STATUS_DEVICE_BUSY;
        default:
            return STATUS_UNSUCCESSFUL;
    }
}

namespace {
UsbBus::Outcome failure(USBD_STATUS status) {
    return {status, ntStatusForUsbd(status), 0};
}
}  // namespace

// ---------------------------------------------------------------- bus and devices

UsbBus::UsbBus(Kernel& kernel, uint16_t busNumber) : kernel_(kernel), busNumber_(busNumber) {
    driver_ = kernel_.createDriverObject(
        u"usbbus", u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\usbbus");
    driver_->MajorFunction[IRP_MJ_PNP] = &BusDispatch::pnp;
    driver_->MajorFunction[IRP_MJ_POWER] = &BusDispatch::power;
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &BusDispatch::internal;
    controller_ = std::thread([this] { controllerLoop(); });
}

UsbBus::~UsbBus() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    controller_.join();
    stopCapture();
    std::vector<std::unique_ptr<Transfer>> pending;
    {
        std::lock_guard lock(mutex_);
        for (auto& port : ports_) {
            for (auto& t : takePending(*port, true))
                pending.push_back(std::move(t));
        }
    }
    {
        AtDispatch dispatch;
        for (auto& t : pending)
            finish(std::move(t), failure(USBD_STATUS_CANCELED));
    }
    for (auto& port : ports_) {
        if (!port->deleted)
            deletePdo(*port);
    }
    kernel_.deleteDriverObject(driver_);
}

PDEVICE_OBJECT UsbBus::attach(std::unique_ptr<DeviceModel> model) {
    auto port = std::make_unique<Port>();
    port->bus = this;
    port->device = model->deviceDescriptor();
    if (port->device.size() < 18)
        throw std::invalid_argument("device model without a device descriptor");
    for (uint8_t i = 0; i < port->device[17]; ++i) {
        Bytes config = model->configurationDescriptor(i);
        auto info = parseConfiguration(config);
        if (!info)
            break;
        port->configs.push_back(std::move(config));
        port->infos.push_back(std::move(*info));
    }
    PDEVICE_OBJECT pdo = nullptr;
    if (IoCreateDevice(driver_, sizeof(PdoExtension), nullptr, FILE_DEVICE_UNKNOWN,
                       FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo) < 0) {
        return nullptr;
    }
    auto* ext = static_cast<PdoExtension*>(pdo->DeviceExtension);
    ext->magic = kPdoMagic;
    ext->port = port.get();
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;

    std::unique_lock lock(mutex_);
    const uint8_t address = freeAddress();
    if (address == 0) {
        lock.unlock();
        IoDeleteDevice(pdo);
        return nullptr;
    }
    port->pdo = pdo;
    port->address = address;
    const uint16_t vendor = static_cast<uint16_t>(port->device[8] | (port->device[9] << 8));
    const uint16_t product = static_cast<uint16_t>(port->device[10] | (port->device[11] << 8));
    port->instancePath = u"USB\\VID_" + hex4(vendor) + u"&PID_" + hex4(product) + u"\\" +
                         toU16(std::to_string(port->address));
    Port* raw = port.get();
    model->setDataAvailableCallback([this, raw] {
        raw->dataEpoch.fetch_add(1);
        changed_.notify_all();
    });
    port->model = std::move(model);
    ports_.push_back(std::move(port));
    kernel_.markPhysicalDeviceObject(pdo, raw->instancePath);
    return pdo;
}

UsbBus::Port& UsbBus::portOf(PDEVICE_OBJECT pdo) const {
    // Newest first: a device object given back may come again from IoCreateDevice for a later
    // device, while the bus still keeps the record of the one that had it before.
    for (auto it = ports_.rbegin(); it != ports_.rend(); ++it) {
        if ((*it)->pdo == pdo)
            return **it;
    }
    throw std::invalid_argument("not a device of this USB bus");
}

uint8_t UsbBus::freeAddress() {
    constexpr unsigned kAddresses = 127;
    auto lowestFree = [&]() -> uint8_t {
        bool taken[kAddresses + 1] = {};
        for (const auto& port : ports_)
            taken[port->address] = true;
        for (unsigned address = 1; address <= kAddresses; ++address) {
            if (!taken[address])
                return static_cast<uint8_t>(address);
        }
        return 0;
    };
    if (const uint8_t address = lowestFree(); address != 0)
        return address;
    // Every address has been handed out: forget the devices that are gone for good (their
    // physical device objects deleted and released, so no request can reach them any more).
    std::erase_if(ports_, [&](const std::unique_ptr<Port>& port) {
        return port->deleted && !kernel_.deviceObjectExists(port->pdo);
    });
    return lowestFree();
}

void UsbBus::unplug(PDEVICE_OBJECT pdo) {
    std::vector<std::unique_ptr<Transfer>> pending;
    bool removeNow = false;
    {
        std::lock_guard lock(mutex_);
        Port& port = portOf(pdo);
        if (!port.connected)
            return;
        port.connected = false;
        pending = takePending(port, true);
        removeNow = port.pnpRemoved && !port.deleted;
    }
    {
        AtDispatch dispatch;
        for (auto& t : pending)
            finish(std::move(t), failure(USBD_STATUS_DEVICE_GONE));
    }
    if (onUnplug_)
        onUnplug_(pdo);
    if (removeNow)
        deletePdo(portOf(pdo));
    changed_.notify_all();
}

void UsbBus::onUnplug(std::function<void(PDEVICE_OBJECT)> callback) {
    std::lock_guard lock(mutex_);
    onUnplug_ = std::move(callback);
}

bool UsbBus::connected(PDEVICE_OBJECT pdo) const {
    std::lock_guard lock(mutex_);
    return portOf(pdo).connected;
}

std::vector<PDEVICE_OBJECT> UsbBus::devices() const {
    std::lock_guard lock(mutex_);
    std::vector<PDEVICE_OBJECT> out;
    for (const auto& port : ports_) {
        if (!port->deleted)
            out.push_back(port->pdo);
    }
    return out;
}

DeviceModel& UsbBus::model(PDEVICE_OBJECT pdo) {
    std::lock_guard lock(mutex_);
    return *portOf(pdo).model;
}

uint8_t UsbBus::address(PDEVICE_OBJECT pdo) const {
    std::lock_guard lock(mutex_);
    return portOf(pdo).address;
}

std::u16string UsbBus::instancePath(PDEVICE_OBJECT pdo) const {
    std::lock_guard lock(mutex_);
    return portOf(pdo).instancePath;
}

uint8_t UsbBus::configuration(PDEVICE_OBJECT pdo) const {
    std::lock_guard lock(mutex_);
    return portOf(pdo).configValue();
}

uint8_t UsbBus::alternateSetting(PDEVICE_OBJECT pdo, uint8_t interfaceNumber) const {
    std::lock_guard lock(mutex_);
    const auto& alternates = portOf(pdo).alternates;
    auto it = alternates.find(interfaceNumber);
    return it != alternates.end() ? it->second : 0;
}

bool UsbBus::halted(PDEVICE_OBJECT pdo, uint8_t endpoint) const {
    std::lock_guard lock(mutex_);
    return portOf(pdo).halted.count(endpoint) != 0;
}

void UsbBus::setHalted(PDEVICE_OBJECT pdo, uint8_t endpoint, bool halted) {
    std::lock_guard lock(mutex_);
    if (halted) {
        portOf(pdo).halted.insert(endpoint);
    } else {
        portOf(pdo).halted.erase(endpoint);
    }
}

unsigned UsbBus::portResets(PDEVICE_OBJECT pdo) const {
    std::lock_guard lock(mutex_);
    return portOf(pdo).resets;
}

void UsbBus::dataAvailable(PDEVICE_OBJECT pdo) {
    {
        std::lock_guard lock(mutex_);
        portOf(pdo).dataEpoch.fetch_add(1);
    }
    changed_.notify_all();
}

void UsbBus::deletePdo(Port& port) {
    port.deleted = true;
    IoDeleteDevice(port.pdo);
}

void* UsbBus::newHandle() {
    return reinterpret_cast<void*>(0x5EB000000000ull + (++nextHandle_ << 6));
}

// ---------------------------------------------------------------- modes, held URBs, faults

void UsbBus::setBulkCompletionMode(CompletionMode mode) {
    std::lock_guard lock(mutex_);
    bulkMode_ = mode;
}

void UsbBus::setControlCompletionMode(CompletionMode mode) {
    std::lock_guard lock(mutex_);
    controlMode_ = mode;
}

void UsbBus::setEndpointCompletionMode(PDEVICE_OBJECT pdo, uint8_t endpoint, CompletionMode mode) {
    std::lock_guard lock(mutex_);
    portOf(pdo).modes[endpoint] = mode;
}

CompletionMode UsbBus::modeFor(const Port& port, uint8_t endpoint) const {
    auto it = port.modes.find(endpoint);
    if (it != port.modes.end())
        return it->second;
    return endpoint == 0 ? controlMode_ : bulkMode_;
}

std::vector<HeldUrb> UsbBus::heldUrbs() const {
    std::lock_guard lock(mutex_);
    std::vector<HeldUrb> out;
    for (const auto& t : held_) {
        out.push_back(heldView(*t, t->port->pdo));
    }
    return out;
}

bool UsbBus::waitForHeld(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return held_.size() >= count; });
}

std::vector<HeldUrb> UsbBus::waitForHeld(const std::function<bool(const HeldUrb&)>& match,
                                         std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    std::vector<HeldUrb> out;
    changed_.wait_for(lock, timeout, [&] {
        out.clear();
        for (const auto& t : held_) {
            HeldUrb view = heldView(*t, t->port->pdo);
            if (!t->cancelling && match(view))
                out.push_back(std::move(view));
        }
        return !out.empty();
    });
    return out;
}

bool UsbBus::completeHeld(uint64_t id, const HeldCompletion& completion) {
    std::unique_ptr<Transfer> t;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(held_.begin(), held_.end(), [id](auto& h) { return h->id == id; });
        if (it == held_.end() || (*it)->cancelling)
            return false;
        if (IoSetCancelRoutine((*it)->irp, nullptr) == nullptr) {
            (*it)->cancelling = true;  // its cancel routine is on the way
            return false;
        }
        t = std::move(*it);
        held_.erase(it);
    }
    Outcome outcome{completion.status, ntStatusForUsbd(completion.status), 0};
    if (t->in) {
        const uint32_t copied =
            std::min<uint32_t>(t->length, static_cast<uint32_t>(completion.data.size()));
        if (copied != 0 && t->buffer != nullptr)
            std::memcpy(t->buffer, completion.data.data(), copied);
        outcome.moved = std::min(completion.bytes.value_or(copied), t->length);
    } else {
        outcome.moved = std::min(completion.bytes.value_or(t->length), t->length);
    }
    AtDispatch dispatch;
    finish(std::move(t), outcome);
    return true;
}

bool UsbBus::releaseHeld(uint64_t id) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(held_.begin(), held_.end(), [id](auto& h) { return h->id == id; });
    if (it == held_.end() || (*it)->cancelling)
        return false;
    (*it)->held = false;
    Port& port = *(*it)->port;
    port.queues[(*it)->queueKey].push_back(std::move(*it));
    held_.erase(it);
    changed_.notify_all();
    return true;
}

bool UsbBus::waitIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        for (const auto& port : ports_) {
            for (const auto& [key, queue] : port->queues) {
                for (const auto& t : queue) {
                    if (!t->naked)
                        return false;
                }
            }
        }
        return true;
    });
}

size_t UsbBus::pendingCount() const {
    std::lock_guard lock(mutex_);
    size_t n = held_.size();
    for (const auto& port : ports_) {
        for (const auto& [key, queue] : port->queues)
            n += queue.size();
    }
    return n;
}

void UsbBus::injectFault(PDEVICE_OBJECT pdo, uint8_t endpoint, Fault fault) {
    std::lock_guard lock(mutex_);
    portOf(pdo).endpointFaults[endpoint].push_back(fault);
}

void UsbBus::injectControlFault(PDEVICE_OBJECT pdo, uint8_t request, Fault fault) {
    std::lock_guard lock(mutex_);
    portOf(pdo).controlFaults[request].push_back(fault);
}

void UsbBus::clearFaults(PDEVICE_OBJECT pdo) {
    std::lock_guard lock(mutex_);
    portOf(pdo).endpointFaults.clear();
    portOf(pdo).controlFaults.clear();
}

namespace {
std::optional<Fault> takeFault(std::map<uint8_t, std::deque<Fault>>& faults, uint8_t key) {
    auto it = faults.find(key);
    if (it == faults.end() || it->second.empty())
        return std::nullopt;
    Fault fault = it->second.front();
    if (it->second.front().count != Fault::kForever && --it->second.front().count == 0) {
        it->second.pop_front();
    }
    return fault;
}

std::optional<USBD_STATUS> faultStatus(const std::optional<Fault>& fault) {
    if (!fault)
        return std::nullopt;
    switch (fault->kind) {
        case Fault::Kind::Stall:
            return USBD_STATUS_STALL_PID;
        case Fault::Kind::Crc:
            return USBD_STATUS_CRC;
        case Fault::Kind::Timeout:
            return USBD_STATUS_TIMEOUT;
        case Fault::Kind::NotResponding:
            return USBD_STATUS_DEV_NOT_RESPONDING;
        case Fault::Kind::DeviceGone:
            return USBD_STATUS_DEVICE_GONE;
        default:
            return std::nullopt;
    }
}
}  // namespace

// ---------------------------------------------------------------- Plug and Play and power

NTSTATUS UsbBus::dispatchPnp(Port& port, PIRP irp) {
    auto* stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            std::lock_guard lock(mutex_);
            port.pnpRemoved = false;
            status = port.connected ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED;
            break;
        }
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_REMOVE_DEVICE: {
            // The function driver is gone. A device still on its port stays there, unconfigured,
            // and keeps its physical device object; an unplugged one loses it now.
            std::vector<std::unique_ptr<Transfer>> pending;
            {
                std::lock_guard lock(mutex_);
                pending = takePending(port, true);
                if (port.connected)
                    unconfigure(port);
                port.pnpRemoved = true;
            }
            for (auto& t : pending)
                finish(std::move(t), failure(USBD_STATUS_CANCELED));
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_QUERY_ID: {
            const auto type = stack->Parameters.QueryId.IdType;
            const std::u16string base = port.instancePath.substr(0, port.instancePath.rfind(u'\\'));
            std::u16string id;
            if (type == BusQueryDeviceID) {
                id = base + u'\0';
            } else if (type == BusQueryHardwareIDs) {
                const uint16_t rev =
                    static_cast<uint16_t>(port.device[12] | (port.device[13] << 8));
                id = base + u"&REV_" + hex4(rev) + u'\0' + base + u'\0' + u'\0';
            } else if (type == BusQueryInstanceID) {
                id = toU16(std::to_string(port.address)) + u'\0';
            } else {
                break;
            }
            auto* text = static_cast<char16_t*>(
                ExAllocatePoolWithTag(PagedPool, id.size() * sizeof(char16_t), kPoolTag));
            if (text == nullptr) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            std::copy(id.begin(), id.end(), text);
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(text);
            status = STATUS_SUCCESS;
            break;
        }
        default:
            break;  // not ours: the status stays as it came
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The removal has gone through the whole stack: every driver above has detached, so an unplugged
// device's physical device object can go now. Deleting it while the request was still on its way
// would leave the function driver attached to a deleted device.
void UsbBus::removed(PDEVICE_OBJECT pdo) {
    std::lock_guard lock(mutex_);
    for (auto& port : ports_) {
        if (port->pdo == pdo && port->pnpRemoved && !port->connected && !port->deleted) {
            deletePdo(*port);
        }
    }
}

NTSTATUS UsbBus::dispatchPower(Port&, PIRP irp) {
    auto* stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        status = STATUS_SUCCESS;
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS UsbBus::dispatchInternal(Port& port, PIRP irp) {
    auto* stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    switch (code) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            return submitUrb(port, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
        case IOCTL_INTERNAL_USB_RESET_PORT:
        case IOCTL_INTERNAL_USB_CYCLE_PORT:
            return resetPort(port, irp, code);
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
            auto* out = static_cast<ULONG*>(stack->Parameters.Others.Argument1);
            NTSTATUS status = STATUS_INVALID_PARAMETER;
            if (out != nullptr) {
                std::lock_guard lock(mutex_);
                *out = port.connected ? (USBD_PORT_CONNECTED | USBD_PORT_ENABLED) : 0;
                status = STATUS_SUCCESS;
            }
            irp->IoStatus.Status = status;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
        default:
            irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
            irp->IoStatus.Information = 0;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_INVALID_DEVICE_REQUEST;
    }
}

// Both the reset and the cycle request reset the device on its port. As the platform's hub does
// for a reset, the device then gets its address and configuration back, so the configuration,
// interface and pipe handles the client holds stay valid; halts are cleared and transfers that
// were in flight are cancelled.
NTSTATUS UsbBus::resetPort(Port& port, PIRP irp, ULONG code) {
    std::vector<std::unique_ptr<Transfer>> pending;
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard lock(mutex_);
        if (!port.connected) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else {
            pending = takePending(port, false);
            port.model->reset();
            port.halted.clear();
            port.remoteWakeup = false;
            if (port.active() != nullptr) {
                port.model->configurationChanged(port.configValue());
                for (auto [number, alternate] : port.alternates) {
                    if (alternate != 0)
                        port.model->interfaceChanged(number, alternate);
                }
            }
            ++port.resets;
        }
    }
    TraceRecord record;
    record.irpId = reinterpret_cast<uint64_t>(irp);
    record.busNumber = busNumber_;
    record.deviceAddress = port.address;
    record.ioctl = code;
    record.completion = true;
    record.usbdStatus = status == STATUS_SUCCESS ? USBD_STATUS_SUCCESS : USBD_STATUS_DEVICE_GONE;
    record.ntStatus = status;
    trace_.record(record, {});
    for (auto& t : pending)
        finish(std::move(t), failure(USBD_STATUS_CANCELED));
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// ---------------------------------------------------------------- submission and completion

NTSTATUS UsbBus::submitUrb(Port& port, PIRP irp, PURB urb) {
    if (urb == nullptr) {
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    auto t = std::make_unique<Transfer>();
    t->id = reinterpret_cast<uint64_t>(irp);
    t->irp = irp;
    t->urb = urb;
    t->port = &port;
    t->function = urb->UrbHeader.Function;

    std::unique_lock lock(mutex_);
    std::optional<Outcome> rejected;
    if (!port.connected) {
        rejected = failure(USBD_STATUS_DEVICE_GONE);
    } else {
        rejected = validate(port, urb, *t);
    }
    recordSubmission(*t);
    if (rejected) {
        lock.unlock();
        const NTSTATUS status = rejected->nt;
        finish(std::move(t), *rejected);
        return status;
    }
    if (t->fault && t->fault->kind == Fault::Kind::Delay) {
        t->notBefore = std::chrono::steady_clock::now() + t->fault->delay;
    }
    const CompletionMode mode = modeFor(port, t->queueKey);
    if (mode == CompletionMode::Inline && port.queues[t->queueKey].empty() &&
        t->notBefore == std::chrono::steady_clock::time_point{}) {
        Outcome outcome;
        const uint64_t epoch = port.dataEpoch.load();
        if (execute(*t, outcome)) {
            lock.unlock();
            finish(std::move(t), outcome);
            return outcome.nt;
        }
        t->naked = true;
        t->nakEpoch = epoch;
    }
    IoMarkIrpPending(irp);
    Transfer* raw = t.get();
    if (mode == CompletionMode::Held) {
        t->held = true;
        held_.push_back(std::move(t));
    } else {
        port.queues[raw->queueKey].push_back(std::move(t));
    }
    IoSetCancelRoutine(irp, &BusDispatch::cancel);
    if (cancelFlag(irp).load() && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before the cancel routine was in place: ours to finish.
        std::unique_ptr<Transfer> mine;
        auto take = [&](auto& list) {
            auto it =
                std::find_if(list.begin(), list.end(), [raw](auto& p) { return p.get() == raw; });
            if (it != list.end()) {
                mine = std::move(*it);
                list.erase(it);
            }
        };
        take(held_);
        if (!mine)
            take(port.queues[raw->queueKey]);
        lock.unlock();
        finish(std::move(mine), failure(USBD_STATUS_CANCELED));
        return STATUS_PENDING;
    }
    changed_.notify_all();
    return STATUS_PENDING;
}

void UsbBus::cancel(PIRP irp) {
    std::unique_ptr<Transfer> t;
    {
        std::lock_guard lock(mutex_);
        auto take = [&](auto& list) {
            auto it =
                std::find_if(list.begin(), list.end(), [irp](auto& p) { return p->irp == irp; });
            if (it != list.end()) {
                t = std::move(*it);
                list.erase(it);
            }
        };
        take(held_);
        for (auto& port : ports_) {
            for (auto& [key, queue] : port->queues) {
                if (!t)
                    take(queue);
            }
        }
    }
    if (t)
        finish(std::move(t), failure(USBD_STATUS_CANCELED));
    changed_.notify_all();
}

std::vector<std::unique_ptr<UsbBus::Transfer>> UsbBus::takePending(Port& port, bool includeHeld) {
    std::vector<std::unique_ptr<Transfer>> out;
    auto takeFrom = [&](auto& list) {
        for (auto it = list.begin(); it != list.end();) {
            if ((*it)->port == &port && !(*it)->cancelling &&
                IoSetCancelRoutine((*it)->irp, nullptr) != nullptr) {
                out.push_back(std::move(*it));
                it = list.erase(it);
            } else {
                if ((*it)->port == &port)
                    (*it)->cancelling = true;
                ++it;
            }
        }
    };
    for (auto& [key, queue] : port.queues)
        takeFrom(queue);
    if (includeHeld)
        takeFrom(held_);
    return out;
}

void UsbBus::recordSubmission(const Transfer& t) {
    TraceRecord record;
    record.irpId = t.id;
    record.busNumber = busNumber_;
    record.deviceAddress = t.port->address;
    record.function = t.function;
    record.endpoint = t.endpoint;
    record.kind = t.kind;
    record.transferFlags = t.flags;
    record.requestedLength = t.length;
    record.setup = t.setup;
    std::span<const uint8_t> data;
    if (!t.in && t.buffer != nullptr)
        data = {t.buffer, t.length};
    trace_.record(record, data);
}

void UsbBus::finish(std::unique_ptr<Transfer> t, const Outcome& outcome) {
    for (auto& aborted : t->aborted)
        finish(std::move(aborted), failure(USBD_STATUS_CANCELED));
    PURB urb = t->urb;
    urb->UrbHeader.Status = outcome.usbd;
    if (t->dataKind)
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = outcome.moved;

    TraceRecord record;
    record.completion = true;
    record.irpId = t->id;
    record.busNumber = busNumber_;
    record.deviceAddress = t->port->address;
    record.function = t->function;
    record.endpoint = t->endpoint;
    record.kind = t->kind;
    record.transferFlags = t->flags;
    record.requestedLength = t->length;
    record.actualLength = outcome.moved;
    record.setup = t->setup;
    record.usbdStatus = outcome.usbd;
    record.ntStatus = outcome.nt;
    std::span<const uint8_t> data;
    if (t->in && t->buffer != nullptr)
        data = {t->buffer, std::min(outcome.moved, t->length)};
    trace_.record(record, data);

    t->irp->IoStatus.Status = outcome.nt;
    t->irp->IoStatus.Information = 0;
    IofCompleteRequest(t->irp, IO_NO_INCREMENT);
}

// ---------------------------------------------------------------- the host controller

void UsbBus::controllerLoop() {
    KfRaiseIrql(DISPATCH_LEVEL);
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        std::vector<std::pair<std::unique_ptr<Transfer>, Outcome>> done;
        const auto now = std::chrono::steady_clock::now();
        auto wake = now + std::chrono::milliseconds(100);
        for (auto& port : ports_) {
            for (auto& [key, queue] : port->queues) {
                if (queue.empty())
                    continue;
                Transfer& t = *queue.front();
                if (t.cancelling)
                    continue;
                if (t.notBefore > now) {
                    wake = std::min(wake, t.notBefore);
                    continue;
                }
                const uint64_t epoch = port->dataEpoch.load();
                if (t.naked && t.nakEpoch == epoch)
                    continue;
                if (IoSetCancelRoutine(t.irp, nullptr) == nullptr) {
                    t.cancelling = true;  // its cancel routine takes it
                    continue;
                }
                Outcome outcome;
                if (execute(t, outcome)) {
                    done.emplace_back(std::move(queue.front()), outcome);
                    queue.pop_front();
                    continue;
                }
                t.naked = true;
                t.nakEpoch = epoch;
                IoSetCancelRoutine(t.irp, &BusDispatch::cancel);
                if (cancelFlag(t.irp).load() && IoSetCancelRoutine(t.irp, nullptr) != nullptr) {
                    done.emplace_back(std::move(queue.front()), failure(USBD_STATUS_CANCELED));
                    queue.pop_front();
                }
            }
        }
        if (done.empty()) {
            changed_.notify_all();  // idle waiters
            changed_.wait_until(lock, wake);
            continue;
        }
        lock.unlock();
        for (auto& [t, outcome] : done)
            finish(std::move(t), outcome);
        lock.lock();
        changed_.notify_all();
    }
    lock.unlock();
    KeLowerIrql(PASSIVE_LEVEL);
}

bool UsbBus::execute(Transfer& t, Outcome& outcome) {
    if (!t.port->connected) {
        outcome = failure(USBD_STATUS_DEVICE_GONE);
        return true;
    }
    if (t.kind == TransferKind::Bulk || t.kind == TransferKind::Interrupt) {
        return executeBulk(t, outcome);
    }
    outcome = executeControl(t);
    return true;
}

bool UsbBus::executeBulk(Transfer& t, Outcome& outcome) {
    Port& port = *t.port;
    if (port.pipes.count(t.pipeHandle) == 0) {  // its configuration or setting was replaced
        outcome = failure(USBD_STATUS_INVALID_PIPE_HANDLE);
        return true;
    }
    if (port.halted.count(t.endpoint) != 0) {
        outcome = failure(USBD_STATUS_STALL_PID);
        return true;
    }
    if (auto status = faultStatus(t.fault)) {
        if (*status == USBD_STATUS_STALL_PID)
            port.halted.insert(t.endpoint);
        outcome = failure(*status);
        return true;
    }
    DeviceModel& model = *port.model;
    if (!t.in) {
        if (t.length == 0)
            model.bulkOut(t.endpoint, {});
        for (uint32_t offset = 0; offset < t.length; offset += t.maxPacket) {
            const uint32_t n = std::min<uint32_t>(t.maxPacket, t.length - offset);
            model.bulkOut(t.endpoint, {t.buffer + offset, n});
        }
        outcome = {USBD_STATUS_SUCCESS, STATUS_SUCCESS, t.length};
        return true;
    }
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    if (t.moved == 0 && t.length != 0) {
        // A model that has the data at hand sends the whole transfer in one call.
        if (auto sent = model.bulkInTransfer(t.endpoint, t.maxPacket, {t.buffer, t.length})) {
            t.moved = static_cast<uint32_t>(std::min<size_t>(*sent, t.length));
            if (t.moved < t.length && !t.shortOk)
                status = USBD_STATUS_ERROR_SHORT_TRANSFER;
            outcome = {status, ntStatusForUsbd(status), t.moved};
            return true;
        }
    }
    while (t.moved < t.length) {
        InPacket packet = model.bulkIn(t.endpoint, t.maxPacket, t.moved > 0);
        if (!packet)
            return false;  // NAK: the transfer waits for data
        const uint32_t size = static_cast<uint32_t>(packet->size());
        const uint32_t room = t.length - t.moved;
        if (size > t.maxPacket) {
            status = USBD_STATUS_BABBLE_DETECTED;
            break;
        }
        if (size > room) {  // the device sent more than the buffer holds
            if (room != 0)
                std::memcpy(t.buffer + t.moved, packet->data(), room);
            t.moved += room;
            status = USBD_STATUS_DATA_OVERRUN;
            break;
        }
        if (size != 0)
            std::memcpy(t.buffer + t.moved, packet->data(), size);
        t.moved += size;
        if (size < t.maxPacket) {
            if (!t.shortOk && t.moved < t.length)
                status = USBD_STATUS_ERROR_SHORT_TRANSFER;
            break;
        }
    }
    outcome = {status, ntStatusForUsbd(status), t.moved};
    return true;
}

void UsbBus::unconfigure(Port& port) {
    port.configIndex = -1;
    port.configHandle = nullptr;
    port.alternates.clear();
    port.interfaceHandles.clear();
    port.pipes.clear();
    port.halted.clear();
    port.model->configurationChanged(0);
}

UsbBus::Outcome UsbBus::selectConfiguration(Transfer& t) {
    Port& port = *t.port;
    auto& select = t.urb->UrbSelectConfiguration;
    if (auto status = faultStatus(t.fault))
        return failure(*status);
    if (t.configIndex < 0) {
        unconfigure(port);
        return {};
    }
    const ConfigurationInfo& info = port.infos[static_cast<size_t>(t.configIndex)];
    unconfigure(port);
    port.configIndex = t.configIndex;
    port.configHandle = newHandle();
    select.ConfigurationHandle = port.configHandle;
    for (uint8_t number : info.interfaceNumbers())
        port.alternates[number] = 0;
    port.model->configurationChanged(info.value);

    auto* record = reinterpret_cast<uint8_t*>(&select.Interface);
    for (size_t i = 0; i < t.records; ++i) {
        auto* iface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
        const InterfaceSetting* setting =
            info.find(iface->InterfaceNumber, iface->AlternateSetting);
        port.alternates[setting->number] = setting->alternate;
        if (setting->alternate != 0)
            port.model->interfaceChanged(setting->number, setting->alternate);
        void* handle = newHandle();
        port.interfaceHandles[setting->number] = handle;
        iface->InterfaceHandle = handle;
        iface->Class = setting->interfaceClass;
        iface->SubClass = setting->subClass;
        iface->Protocol = setting->protocol;
        iface->NumberOfPipes = static_cast<ULONG>(setting->endpoints.size());
        for (size_t j = 0; j < setting->endpoints.size(); ++j) {
            auto& pipe = iface->Pipes[j];
            const EndpointInfo& e = setting->endpoints[j];
            pipe.MaximumPacketSize = e.maxPacketSize;
            pipe.EndpointAddress = e.address;
            pipe.Interval = e.interval;
            pipe.PipeType = static_cast<USBD_PIPE_TYPE>(e.type);
            pipe.PipeHandle = newHandle();
            port.pipes[pipe.PipeHandle] = {setting->number, e, pipe.MaximumTransferSize};
        }
        record += iface->Length;
    }
    return {};
}

UsbBus::Outcome UsbBus::selectInterface(Transfer& t) {
    Port& port = *t.port;
    auto& select = t.urb->UrbSelectInterface;
    if (auto status = faultStatus(t.fault))
        return failure(*status);
    if (select.ConfigurationHandle != port.configHandle || port.active() == nullptr) {
        return failure(USBD_STATUS_INVALID_PARAMETER);
    }
    auto& iface = select.Interface;
    const InterfaceSetting* setting =
        port.active()->find(iface.InterfaceNumber, iface.AlternateSetting);
    if (setting == nullptr)
        return failure(USBD_STATUS_INTERFACE_NOT_FOUND);
    // The old setting's pipes are closed: their handles are invalid from now on.
    std::erase_if(port.pipes, [&](const auto& entry) {
        if (entry.second.interfaceNumber != setting->number)
            return false;
        port.halted.erase(entry.second.endpoint.address);
        return true;
    });
    port.alternates[setting->number] = setting->alternate;
    port.model->interfaceChanged(setting->number, setting->alternate);
    void* handle = newHandle();
    port.interfaceHandles[setting->number] = handle;
    iface.InterfaceHandle = handle;
    iface.Class = setting->interfaceClass;
    iface.SubClass = setting->subClass;
    iface.Protocol = setting->protocol;
    iface.NumberOfPipes = static_cast<ULONG>(setting->endpoints.size());
    for (size_t j = 0; j < setting->endpoints.size(); ++j) {
        auto& pipe = iface.Pipes[j];
        const EndpointInfo& e = setting->endpoints[j];
        pipe.MaximumPacketSize = e.maxPacketSize;
        pipe.EndpointAddress = e.address;
        pipe.Interval = e.interval;
        pipe.PipeType = static_cast<USBD_PIPE_TYPE>(e.type);
        pipe.PipeHandle = newHandle();
        port.pipes[pipe.PipeHandle] = {setting->number, e, pipe.MaximumTransferSize};
    }
    return {};
}

UsbBus::Outcome UsbBus::executeControl(Transfer& t) {
    Port& port = *t.port;
    switch (t.function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return selectConfiguration(t);
        case URB_FUNCTION_SELECT_INTERFACE:
            return selectInterface(t);
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL: {
            auto it = port.pipes.find(t.pipeHandle);
            if (it == port.pipes.end())
                return failure(USBD_STATUS_INVALID_PIPE_HANDLE);
            port.halted.erase(it->second.endpoint.address);
            return {};
        }
        case URB_FUNCTION_ABORT_PIPE: {
            auto it = port.pipes.find(t.pipeHandle);
            if (it == port.pipes.end())
                return failure(USBD_STATUS_INVALID_PIPE_HANDLE);
            auto& queue = port.queues[it->second.endpoint.address];
            for (auto q = queue.begin(); q != queue.end();) {
                if (!(*q)->cancelling && IoSetCancelRoutine((*q)->irp, nullptr) != nullptr) {
                    t.aborted.push_back(std::move(*q));
                    q = queue.erase(q);
                } else {
                    ++q;
                }
            }
            return {};
        }
        case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
            frameNumber_ += 8;
            t.urb->UrbGetCurrentFrameNumber.FrameNumber = static_cast<ULONG>(frameNumber_);
            return {};
        default:
            break;
    }
    if (auto status = faultStatus(t.fault))
        return failure(*status);
    const SetupPacket& setup = *t.setup;
    std::span<const uint8_t> out;
    if (!t.in && t.buffer != nullptr)
        out = {t.buffer, t.length};
    uint32_t moved = 0;
    Outcome outcome;
    if (setup.type() == 0) {
        outcome = standardRequest(port, setup, t.buffer, out, moved);
    } else {
        ControlReply reply = port.model->controlRequest(setup, out);
        outcome = {reply.status, ntStatusForUsbd(reply.status), 0};
        if (USBD_SUCCESS(reply.status)) {
            if (t.in) {
                moved = std::min<uint32_t>(
                    {static_cast<uint32_t>(reply.data.size()), t.length, setup.length});
                if (moved != 0)
                    std::memcpy(t.buffer, reply.data.data(), moved);
            } else {
                moved = t.length;
            }
        }
    }
    if (t.fault && t.fault->kind == Fault::Kind::ShortDescriptor && t.in) {
        moved = std::min(moved, t.fault->maxBytes);
    }
    outcome.moved = USBD_SUCCESS(outcome.usbd) ? moved : 0;
    return outcome;
}

UsbBus::Outcome UsbBus::standardRequest(Port& port, const SetupPacket& setup, uint8_t* buffer,
                                        std::span<const uint8_t>, uint32_t& moved) {
    const Outcome stall = failure(USBD_STATUS_STALL_PID);
    const uint8_t recipient = setup.recipient();
    auto interfaceExists = [&](uint16_t number) {
        return port.active() != nullptr && port.alternates.count(static_cast<uint8_t>(number)) != 0;
    };
    auto endpointExists = [&](uint16_t address) {
        return (address & 0x0F) == 0 || port.endpoint(static_cast<uint8_t>(address)) != nullptr;
    };
    Bytes reply;
    switch (setup.request) {
        case USB_REQUEST_GET_STATUS: {
            uint16_t bits = 0;
            if (recipient == BMREQUEST_TO_DEVICE) {
                const bool selfPowered =
                    port.active() != nullptr &&
                    (port.configs[static_cast<size_t>(port.configIndex)][7] & 0x40);
                bits = static_cast<uint16_t>((selfPowered ? 1 : 0) | (port.remoteWakeup ? 2 : 0));
            } else if (recipient == BMREQUEST_TO_INTERFACE) {
                if (!interfaceExists(setup.index))
                    return stall;
            } else if (recipient == BMREQUEST_TO_ENDPOINT) {
                if (!endpointExists(setup.index))
                    return stall;
                bits = port.halted.count(static_cast<uint8_t>(setup.index)) ? 1 : 0;
            } else {
                return stall;
            }
            reply = {static_cast<uint8_t>(bits & 0xFF), static_cast<uint8_t>(bits >> 8)};
            break;
        }
        case USB_REQUEST_CLEAR_FEATURE:
        case USB_REQUEST_SET_FEATURE: {
            const bool set = setup.request == USB_REQUEST_SET_FEATURE;
            if (recipient == BMREQUEST_TO_DEVICE) {
                if (setup.value == USB_FEATURE_REMOTE_WAKEUP) {
                    port.remoteWakeup = set;
                } else if (!(set && setup.value == USB_FEATURE_TEST_MODE)) {
                    return stall;
                }
            } else if (recipient == BMREQUEST_TO_ENDPOINT) {
                if (setup.value != USB_FEATURE_ENDPOINT_STALL || !endpointExists(setup.index)) {
                    return stall;
                }
                const auto address = static_cast<uint8_t>(setup.index);
                if ((address & 0x0F) != 0) {
                    if (set) {
                        port.halted.insert(address);
                    } else {
                        port.halted.erase(address);
                    }
                }
            } else {
                return stall;  // interfaces have no standard features
            }
            break;
        }
        case USB_REQUEST_GET_DESCRIPTOR: {
            const uint8_t type = static_cast<uint8_t>(setup.value >> 8);
            const uint8_t index = static_cast<uint8_t>(setup.value & 0xFF);
            if (type == USB_DEVICE_DESCRIPTOR_TYPE) {
                reply = port.device;
            } else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
                if (index >= port.configs.size())
                    return stall;
                reply = port.configs[index];
            } else if (type == USB_STRING_DESCRIPTOR_TYPE) {
                auto text = port.model->stringDescriptor(index, setup.index);
                if (!text)
                    return stall;
                reply = *text;
            } else if (type == USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE && port.device[3] >= 2) {
                reply = {10,
                         USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE,
                         port.device[2],
                         port.device[3],
                         port.device[4],
                         port.device[5],
                         port.device[6],
                         port.device[7],
                         port.device[17],
                         0};
            } else {
                return stall;
            }
            break;
        }
        case USB_REQUEST_GET_CONFIGURATION:
            reply = {port.configValue()};
            break;
        case USB_REQUEST_GET_INTERFACE:
            if (!interfaceExists(setup.index))
                return stall;
            reply = {port.alternates[static_cast<uint8_t>(setup.index)]};
            break;
        default:
            return stall;  // SET_DESCRIPTOR, SYNCH_FRAME: the device does not support them
    }
    if (setup.in()) {
        moved = std::min<uint32_t>(static_cast<uint32_t>(reply.size()), setup.length);
        if (moved != 0)
            std::memcpy(buffer, reply.data(), moved);
    }
    return {};
}

// ---------------------------------------------------------------- validation

namespace {

struct ControlShape {
    uint8_t requestType;
    bool standard;
};

// Resolves the data buffer of a URB: the MDL (mapped to system space) when there is one, else
// the buffer pointer. Nothing is needed for a length of 0.
std::optional<USBD_STATUS> resolveBuffer(PVOID buffer, PMDL mdl, uint32_t length, uint8_t*& out) {
    out = nullptr;
    if (length == 0)
        return std::nullopt;
    if (mdl != nullptr) {
        if (MmGetMdlByteCount(mdl) < length)
            return USBD_STATUS_INVALID_PARAMETER;
        void* va = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
        if (va == nullptr)
            return USBD_STATUS_INSUFFICIENT_RESOURCES;
        out = static_cast<uint8_t*>(va);
        return std::nullopt;
    }
    if (buffer == nullptr)
        return USBD_STATUS_INVALID_PARAMETER;
    out = static_cast<uint8_t*>(buffer);
    return std::nullopt;
}

bool isControlKind(uint16_t function) {
    switch (function) {
        case URB_FUNCTION_CONTROL_TRANSFER:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE:
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
        case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
        case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_CLASS_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_CLASS_ENDPOINT:
        case URB_FUNCTION_CLASS_OTHER:
        case URB_FUNCTION_VENDOR_OTHER:
        case URB_FUNCTION_GET_STATUS_FROM_OTHER:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
        case URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT:
        case URB_FUNCTION_GET_CONFIGURATION:
        case URB_FUNCTION_GET_INTERFACE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
        case URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE:
            return true;
        default:
            return false;
    }
}

}  // namespace

std::optional<UsbBus::Outcome> UsbBus::validate(Port& port, PURB urb, Transfer& t) {
    const auto& hdr = urb->UrbHeader;
    const uint16_t function = hdr.Function;
    auto bad = [](USBD_STATUS s) { return std::optional<Outcome>(failure(s)); };
    t.queueKey = 0;
    t.kind = TransferKind::None;

    switch (function) {
        case URB_FUNCTION_SELECT_CONFIGURATION: {
            t.kind = TransferKind::Control;
            // At least the head and one interface record without pipes (a request USBD built
            // for one interface without endpoints is 64 bytes); the records are checked below.
            if (hdr.Length < kSelectConfigurationHead + kInterfaceRecordHead) {
                return bad(USBD_STATUS_INVALID_PARAMETER);
            }
            auto& select = urb->UrbSelectConfiguration;
            t.fault = takeFault(port.controlFaults, USB_REQUEST_SET_CONFIGURATION);
            if (select.ConfigurationDescriptor == nullptr) {
                t.setup = SetupPacket{0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0};
                // The unconfigure form is a whole URB.
                if (hdr.Length < sizeof(URB))
                    return bad(USBD_STATUS_INVALID_PARAMETER);
                return std::nullopt;
            }
            const uint8_t value = select.ConfigurationDescriptor->bConfigurationValue;
            t.setup = SetupPacket{0x00, USB_REQUEST_SET_CONFIGURATION, value, 0, 0};
            int index = -1;
            for (size_t i = 0; i < port.infos.size(); ++i) {
                if (port.infos[i].value == value)
                    index = static_cast<int>(i);
            }
            if (index < 0 || value == 0)
                return bad(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
            const ConfigurationInfo& info = port.infos[static_cast<size_t>(index)];
            const size_t expected =
                std::min<size_t>(info.interfaceCount, info.interfaceNumbers().size());
            size_t offset = kSelectConfigurationHead;
            std::set<uint8_t> seen;
            size_t records = 0;
            while (records < expected && offset + kInterfaceRecordHead <= hdr.Length) {
                auto* iface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(
                    reinterpret_cast<uint8_t*>(urb) + offset);
                if (iface->Length < kInterfaceRecordHead || offset + iface->Length > hdr.Length) {
                    return bad(USBD_STATUS_INVALID_PARAMETER);
                }
                const InterfaceSetting* setting =
                    info.find(iface->InterfaceNumber, iface->AlternateSetting);
                if (setting == nullptr)
                    return bad(USBD_STATUS_INTERFACE_NOT_FOUND);
                if (!seen.insert(setting->number).second)
                    return bad(USBD_STATUS_INVALID_PARAMETER);
                if (iface->Length < kInterfaceRecordHead +
                                        sizeof(USBD_PIPE_INFORMATION) * setting->endpoints.size()) {
                    return bad(USBD_STATUS_INVALID_PARAMETER);
                }
                for (size_t j = 0; j < setting->endpoints.size(); ++j) {
                    if (iface->Pipes[j].MaximumTransferSize > kMaxTransferSize) {
                        return bad(USBD_STATUS_INVALID_PARAMETER);
                    }
                }
                ++records;
                offset += iface->Length;
            }
            if (records == 0)
                return bad(USBD_STATUS_INVALID_PARAMETER);
            t.configIndex = index;
            t.records = records;
            return std::nullopt;
        }
        case URB_FUNCTION_SELECT_INTERFACE: {
            t.kind = TransferKind::Control;
            if (hdr.Length < kSelectInterfaceHead + kInterfaceRecordHead) {
                return bad(USBD_STATUS_INVALID_PARAMETER);
            }
            auto& select = urb->UrbSelectInterface;
            auto& iface = select.Interface;
            t.setup = SetupPacket{0x01, USB_REQUEST_SET_INTERFACE, iface.AlternateSetting,
                                  iface.InterfaceNumber, 0};
            t.fault = takeFault(port.controlFaults, USB_REQUEST_SET_INTERFACE);
            if (port.active() == nullptr || select.ConfigurationHandle != port.configHandle) {
                return bad(USBD_STATUS_INVALID_PARAMETER);
            }
            const InterfaceSetting* setting =
                port.active()->find(iface.InterfaceNumber, iface.AlternateSetting);
            if (setting == nullptr)
                return bad(USBD_STATUS_INTERFACE_NOT_FOUND);
            const size_t n = setting->endpoints.size();
            if (hdr.Length < kSelectInterfaceHead + kInterfaceRecordHead +
                                 sizeof(USBD_PIPE_INFORMATION) * n ||
                iface.Length < kInterfaceRecordHead + sizeof(USBD_PIPE_INFORMATION) * n) {
                return bad(USBD_STATUS_INVALID_PARAMETER);
            }
            for (size_t j = 0; j < n; ++j) {
                if (iface.Pipes[j].MaximumTransferSize > kMaxTransferSize) {
                    return bad(USBD_STATUS_INVALID_PARAMETER);
                }
            }
            return std::nullopt;
        }
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
            auto& bulk = urb->UrbBulkOrInterruptTransfer;
            t.kind = TransferKind::Bulk;
            // Nothing past the header is read (or written back) before its length is known.
            if (hdr.Length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
                return bad(USBD_STATUS_INVALID_PARAMETER);
            }
            t.dataKind = true;
            t.flags = bulk.TransferFlags;
            t.length = bulk.TransferBufferLength;
            t.in = (t.flags & USBD_TRANSFER_DIRECTION_IN) != 0;
            auto pipe = port.pipes.find(bulk.PipeHandle);
            if (pipe == port.pipes.end())
                return bad(USBD_STATUS_INVALID_PIPE_HANDLE);
            const EndpointInfo& e = pipe->second.endpoint;
            t.endpoint = e.address;
            t.queueKey = e.address;
            t.pipeHandle = bulk.PipeHandle;
            t.maxPacket = e.maxPacketSize;
            t.shortOk = (t.flags & USBD_SHORT_TRANSFER_OK) != 0;
            if (e.type == EndpointType::Interrupt)
                t.kind = TransferKind::Interrupt;
            if ((e.type != EndpointType::Bulk && e.type != EndpointType::Interrupt) ||
                e.maxPacketSize == 0) {
                return bad(USBD_STATUS_INVALID_PIPE_HANDLE);
            }
            if (t.in != e.in())
                return bad(USBD_STATUS_INVALID_PARAMETER);
            if (t.length > pipe->second.maxTransfer)
                return bad(USBD_STATUS_INVALID_PARAMETER);
            if (auto status = resolveBuffer(bulk.TransferBuffer, bulk.TransferBufferMDL, t.length,
                                            t.buffer)) {
                return bad(*status);
            }
            t.fault = takeFault(port.endpointFaults, e.address);
            return std::nullopt;
        }
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL:
        case URB_FUNCTION_ABORT_PIPE: {
            if (hdr.Length < sizeof(struct _URB_PIPE_REQUEST))
                return bad(USBD_STATUS_INVALID_PARAMETER);
            auto pipe = port.pipes.find(urb->UrbPipeRequest.PipeHandle);
            if (pipe == port.pipes.end())
                return bad(USBD_STATUS_INVALID_PIPE_HANDLE);
            t.pipeHandle = urb->UrbPipeRequest.PipeHandle;
            t.endpoint = pipe->second.endpoint.address;
            return std::nullopt;
        }
        case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
            if (hdr.Length < sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER)) {
                return bad(USBD_STATUS_INVALID_PARAMETER);
            }
            return std::nullopt;
        default:
            break;
    }

    // Control transfers on the default pipe: the setup packet is formed from the URB's kind.
    // Every such kind is 136 bytes long; nothing past the header is read before that is known.
    if (isControlKind(function) && hdr.Length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)) {
        t.kind = TransferKind::Control;
        return bad(USBD_STATUS_INVALID_PARAMETER);
    }
    SetupPacket setup;
    PVOID buffer = nullptr;
    PMDL mdl = nullptr;
    bool in = false;
    bool hasData = true;
    const auto& descriptor = urb->UrbControlDescriptorRequest;
    const auto& vendor = urb->UrbControlVendorClassRequest;
    auto recipientOf = [](uint16_t f, uint16_t device, uint16_t iface, uint16_t endpoint) -> int {
        if (f == device)
            return BMREQUEST_TO_DEVICE;
        if (f == iface)
            return BMREQUEST_TO_INTERFACE;
        if (f == endpoint)
            return BMREQUEST_TO_ENDPOINT;
        return BMREQUEST_TO_OTHER;
    };
    switch (function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
        case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE:
        case URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE:
        case URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT: {
            in = function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
                 function == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ||
                 function == URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT;
            const int recipient =
                in ? recipientOf(function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                                 URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE,
                                 URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT)
                   : recipientOf(function, URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE,
                                 URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE,
                                 URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT);
            setup = {
                static_cast<uint8_t>((in ? 0x80 : 0x00) | recipient),
                static_cast<uint8_t>(in ? USB_REQUEST_GET_DESCRIPTOR : USB_REQUEST_SET_DESCRIPTOR),
                static_cast<uint16_t>((descriptor.DescriptorType << 8) | descriptor.Index),
                descriptor.LanguageId, 0};
            t.length = descriptor.TransferBufferLength;
            buffer = descriptor.TransferBuffer;
            mdl = descriptor.TransferBufferMDL;
            break;
        }
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
        case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: {
            const auto& feature = urb->UrbControlFeatureRequest;
            const bool set = function <= URB_FUNCTION_SET_FEATURE_TO_ENDPOINT;
            const int recipient = set ? recipientOf(function, URB_FUNCTION_SET_FEATURE_TO_DEVICE,
                                                    URB_FUNCTION_SET_FEATURE_TO_INTERFACE,
                                                    URB_FUNCTION_SET_FEATURE_TO_ENDPOINT)
                                      : recipientOf(function, URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE,
                                                    URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE,
                                                    URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT);
            setup = {
                static_cast<uint8_t>(recipient),
                static_cast<uint8_t>(set ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE),
                feature.FeatureSelector, feature.Index, 0};
            hasData = false;
            break;
        }
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
        case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
        case URB_FUNCTION_GET_STATUS_FROM_OTHER: {
            const auto& status = urb->UrbControlGetStatusRequest;
            in = true;
            setup = {static_cast<uint8_t>(0x80 |
                                          recipientOf(function, URB_FUNCTION_GET_STATUS_FROM_DEVICE,
                                                      URB_FUNCTION_GET_STATUS_FROM_INTERFACE,
                                                      URB_FUNCTION_GET_STATUS_FROM_ENDPOINT)),
                     USB_REQUEST_GET_STATUS, 0, status.Index, 2};
            t.length = status.TransferBufferLength;
            buffer = status.TransferBuffer;
            mdl = status.TransferBufferMDL;
            if (hdr.Length >= sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST) && t.length < 2) {
                t.kind = TransferKind::Control;
                return bad(USBD_STATUS_INVALID_PARAMETER);  // the status is 2 bytes
            }
            break;
        }
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_VENDOR_OTHER:
        case URB_FUNCTION_CLASS_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_CLASS_ENDPOINT:
        case URB_FUNCTION_CLASS_OTHER: {
            const bool isVendor = function == URB_FUNCTION_VENDOR_DEVICE ||
                                  function == URB_FUNCTION_VENDOR_INTERFACE ||
                                  function == URB_FUNCTION_VENDOR_ENDPOINT ||
                                  function == URB_FUNCTION_VENDOR_OTHER;
            const int recipient =
                isVendor ? recipientOf(function, URB_FUNCTION_VENDOR_DEVICE,
                                       URB_FUNCTION_VENDOR_INTERFACE, URB_FUNCTION_VENDOR_ENDPOINT)
                         : recipientOf(function, URB_FUNCTION_CLASS_DEVICE,
                                       URB_FUNCTION_CLASS_INTERFACE, URB_FUNCTION_CLASS_ENDPOINT);
            in = (vendor.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
            t.flags = vendor.TransferFlags;
            // Direction from the transfer flags, type and recipient from the kind; the reserved
            // bits the client gives are or-ed in, as the platform's stack does.
            const uint8_t type = isVendor ? BMREQUEST_VENDOR : BMREQUEST_CLASS;
            setup = {static_cast<uint8_t>((in ? 0x80 : 0x00) | (type << 5) | recipient |
                                          vendor.RequestTypeReservedBits),
                     vendor.Request, vendor.Value, vendor.Index, 0};
            t.length = vendor.TransferBufferLength;
            buffer = vendor.TransferBuffer;
            mdl = vendor.TransferBufferMDL;
            break;
        }
        case URB_FUNCTION_GET_CONFIGURATION: {
            const auto& get = urb->UrbControlGetConfigurationRequest;
            in = true;
            setup = {0x80, USB_REQUEST_GET_CONFIGURATION, 0, 0, 0};
            t.length = get.TransferBufferLength;
            buffer = get.TransferBuffer;
            mdl = get.TransferBufferMDL;
            break;
        }
        case URB_FUNCTION_GET_INTERFACE: {
            const auto& get = urb->UrbControlGetInterfaceRequest;
            in = true;
            setup = {0x81, USB_REQUEST_GET_INTERFACE, 0, get.Interface, 0};
            t.length = get.TransferBufferLength;
            buffer = get.TransferBuffer;
            mdl = get.TransferBufferMDL;
            break;
        }
        case URB_FUNCTION_CONTROL_TRANSFER: {
            const auto& control = urb->UrbControlTransfer;
            t.flags = control.TransferFlags;
            in = (control.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
            const UCHAR* s = control.SetupPacket;
            setup = {s[0], s[1], static_cast<uint16_t>(s[2] | (s[3] << 8)),
                     static_cast<uint16_t>(s[4] | (s[5] << 8)),
                     static_cast<uint16_t>(s[6] | (s[7] << 8))};
            t.length = control.TransferBufferLength;
            buffer = control.TransferBuffer;
            mdl = control.TransferBufferMDL;
            t.setup = setup;
            t.kind = TransferKind::Control;
            t.endpoint = in ? 0x80 : 0x00;
            t.in = in;
            t.dataKind = true;
            if (hdr.Length < sizeof(struct _URB_CONTROL_TRANSFER))
                return bad(USBD_STATUS_INVALID_PARAMETER);
            const bool defaultPipe = (control.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER) != 0 ||
                                     control.PipeHandle == nullptr;
            if (!defaultPipe)
                return bad(USBD_STATUS_INVALID_PIPE_HANDLE);  // no other control pipes
            if (setup.in() != in)
                return bad(USBD_STATUS_INVALID_PARAMETER);
            // Address, configuration and interface belong to the stack, not to a raw transfer.
            if (setup.type() == 0 && (setup.request == USB_REQUEST_SET_ADDRESS ||
                                      setup.request == USB_REQUEST_SET_CONFIGURATION ||
                                      setup.request == USB_REQUEST_SET_INTERFACE)) {
                return bad(USBD_STATUS_INVALID_PARAMETER);
            }
            t.length = std::min<uint32_t>(t.length, setup.length);
            if (auto status = resolveBuffer(buffer, mdl, t.length, t.buffer))
                return bad(*status);
            t.fault = takeFault(port.controlFaults, setup.request);
            return std::nullopt;
        }
        default:
            return bad(USBD_STATUS_INVALID_URB_FUNCTION);
    }
    if (!hasData)
        t.length = 0;
    if (setup.length == 0)
        setup.length = static_cast<uint16_t>(std::min<uint32_t>(t.length, 0xFFFF));
    t.setup = setup;
    t.kind = TransferKind::Control;
    t.endpoint = in ? 0x80 : 0x00;
    t.in = in;
    t.dataKind = true;  // feature requests report 0 bytes
    if (hdr.Length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST))
        return bad(USBD_STATUS_INVALID_PARAMETER);
    if (t.length > 0xFFFF)
        return bad(USBD_STATUS_INVALID_PARAMETER);
    if (hasData) {
        if (auto status = resolveBuffer(buffer, mdl, t.length, t.buffer))
            return bad(*status);
    }
    t.fault = takeFault(port.controlFaults, setup.request);
    return std::nullopt;
}

// ---------------------------------------------------------------- capture

void UsbBus::startCapture(const std::filesystem::path& path) {
    stopCapture();
    auto writer = std::make_shared<PcapWriter>(path);
    std::vector<std::pair<TraceRecord, Bytes>> replay;
    {
        std::lock_guard lock(mutex_);
        uint64_t id = 0xFFFF000000000000ull;
        for (const auto& port : ports_) {
            if (!port->connected || port->deleted)
                continue;
            auto request = [&](uint8_t type, uint8_t index, const Bytes& data) {
                TraceRecord record;
                record.irpId = ++id;
                record.busNumber = busNumber_;
                record.deviceAddress = port->address;
                record.function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
                record.endpoint = 0x80;
                record.kind = TransferKind::Control;
                record.requestedLength = static_cast<uint32_t>(data.size());
                record.setup = SetupPacket{0x80, USB_REQUEST_GET_DESCRIPTOR,
                                           static_cast<uint16_t>((type << 8) | index), 0,
                                           static_cast<uint16_t>(data.size())};
                record.synthetic = true;
                replay.emplace_back(record, Bytes{});
                record.completion = true;
                record.actualLength = record.requestedLength;
                record.usbdStatus = USBD_STATUS_SUCCESS;
                record.ntStatus = STATUS_SUCCESS;
                replay.emplace_back(record, data);
            };
            request(USB_DEVICE_DESCRIPTOR_TYPE, 0, port->device);
            for (size_t i = 0; i < port->configs.size(); ++i) {
                request(USB_CONFIGURATION_DESCRIPTOR_TYPE, static_cast<uint8_t>(i),
                        port->configs[i]);
            }
        }
    }
    for (const auto& [record, data] : replay)
        writer->write(record, data);
    captureListener_ =
        trace_.addListener([writer](const TraceRecord& record, std::span<const uint8_t> data) {
            if (record.ioctl == 0)
                writer->write(record, data);
        });
    capture_ = writer;
}

void UsbBus::stopCapture() {
    if (!capture_)
        return;
    trace_.removeListener(captureListener_);
    capture_->flush();
    capture_.reset();
}

}  // namespace sim::usb
