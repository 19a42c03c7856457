// The System: the driver's load and unload as the I/O manager does them, and the Plug and Play
// manager's side of every device node.
#include "sim/system/system.hpp"

#include "sim/system/plug_and_play.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace sim {

namespace {

constexpr std::u16string_view kServicesKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

// A request of the Plug and Play or power manager, built as they build it (one stack location per
// device of the stack, STATUS_NOT_SUPPORTED until a driver handles it), sent to the top of the
// stack of `pdo` and waited for. It is the system's own request: outside the fault policy and the
// allocation counters, so low-resource tests fail only what kernel code allocates.
template <class Fill>
NTSTATUS sendToStack(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor, Fill fill) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    std::unique_ptr<UserRequest> request =
        Kernel::current().systemRequest(top, [&](PIRP, PIO_STACK_LOCATION stack) {
            stack->MajorFunction = major;
            stack->MinorFunction = minor;
            fill(stack);
        });
    const NTSTATUS status = request->wait().status;
    ObDereferenceObject(top);
    return status;
}

bool isOneOf(DeviceState state, std::initializer_list<DeviceState> states) {
    return std::find(states.begin(), states.end(), state) != states.end();
}

char16_t lower(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? c + (u'a' - u'A') : c;
}

bool startsWithIgnoringCase(std::u16string_view text, std::u16string_view prefix) {
    if (prefix.size() > text.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (lower(text[i]) != lower(prefix[i])) {
            return false;
        }
    }
    return true;
}

int hexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    c = lower(c);
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    return -1;
}

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" at the start of `text`.
std::optional<GUID> parseGuid(std::u16string_view text) {
    static constexpr std::string_view kShape = "{........-....-....-....-............}";
    if (text.size() < kShape.size()) {
        return std::nullopt;
    }
    std::vector<int> digits;
    for (size_t i = 0; i < kShape.size(); ++i) {
        if (kShape[i] != '.') {
            if (text[i] != static_cast<char16_t>(kShape[i]))
                return std::nullopt;
            continue;
        }
        const int digit = hexDigit(text[i]);
        if (digit < 0)
            return std::nullopt;
        digits.push_back(digit);
    }
    auto take = [&](size_t first, size_t count) {
        uint64_t value = 0;
        for (size_t i = first; i < first + count; ++i)
            value = value * 16 + digits[i];
        return value;
    };
    GUID guid{};
    guid.Data1 = static_cast<ULONG>(take(0, 8));
    guid.Data2 = static_cast<USHORT>(take(8, 4));
    guid.Data3 = static_cast<USHORT>(take(12, 4));
    for (size_t i = 0; i < 8; ++i)
        guid.Data4[i] = static_cast<UCHAR>(take(16 + 2 * i, 2));
    return guid;
}

// Every interface class named in a path: symbolic links carry their class GUID in braces.
std::vector<GUID> guidsIn(std::u16string_view path) {
    std::vector<GUID> guids;
    for (size_t at = path.find(u'{'); at != std::u16string_view::npos;
         at = path.find(u'{', at + 1)) {
        if (auto guid = parseGuid(path.substr(at)))
            guids.push_back(*guid);
    }
    return guids;
}

}  // namespace

const char* toString(DeviceState state) {
    switch (state) {
        case DeviceState::Added:
            return "Added";
        case DeviceState::Started:
            return "Started";
        case DeviceState::StopPending:
            return "StopPending";
        case DeviceState::Stopped:
            return "Stopped";
        case DeviceState::RemovePending:
            return "RemovePending";
        case DeviceState::SurpriseRemoved:
            return "SurpriseRemoved";
        case DeviceState::Removed:
            return "Removed";
        case DeviceState::StartFailed:
            return "StartFailed";
        case DeviceState::AddFailed:
            return "AddFailed";
    }
    return "?";
}

struct System::Node {
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    DeviceState state = DeviceState::Added;
    DeviceState beforeQueryRemove = DeviceState::Added;
    NTSTATUS addStatus = STATUS_SUCCESS;
    NTSTATUS startStatus = STATUS_PENDING;
};

System::System(SystemOptions options)
    : kernel_(options.kernel), pnpThread_(std::make_unique<PlugAndPlayThread>()) {}

System::~System() {
    // A destructor must not throw: anything the shutdown throws (it allocates) ends the test
    // process with its message, as a failed check would.
    try {
        const std::string findings = shutdown();
        if (!findings.empty())
            reportCheckFailure(findings);
    } catch (const std::exception& e) {
        fprintf(stderr, "System shutdown failed: %s\n", e.what());
        std::abort();
    }
}

std::string System::shutdown() {
    if (shutDown_) {
        return {};
    }
    stopPlugAndPlay();
    removeAllDevices();
    if (driver_ != nullptr) {
        unloadDriver();
    }
    destroyBuses();
    shutDown_ = true;
    return kernel_.checkClean();
}

void System::removeAllDevices() {
    for (int i = 0; i < nodeCount(); ++i) {
        const DeviceState state = nodes_[i]->state;
        if (state == DeviceState::Removed) {
            continue;
        }
        // As at shutdown: nothing is asked, a started device learns that it is gone, then every
        // device is removed.
        if (isOneOf(state, {DeviceState::Started, DeviceState::StopPending, DeviceState::Stopped,
                            DeviceState::RemovePending})) {
            callPnp(*nodes_[i], IRP_MN_SURPRISE_REMOVAL);
        }
        callPnp(*nodes_[i], IRP_MN_REMOVE_DEVICE);
    }
}

// The node of a device that left: removed as the platform removes a device that is gone (a
// surprise removal when it was started, then the removal).
void System::removeNodeOf(PDEVICE_OBJECT departed, bool* hadNode) {
    std::lock_guard lock(nodesMutex_);
    const int index = nodeOf(departed);
    if (index < 0)
        return;
    *hadNode = true;
    Node& n = *nodes_[index];
    if (n.state == DeviceState::Removed)
        return;
    if (isOneOf(n.state, {DeviceState::Started, DeviceState::StopPending, DeviceState::Stopped,
                          DeviceState::RemovePending})) {
        callPnp(n, IRP_MN_SURPRISE_REMOVAL);
    }
    callPnp(n, IRP_MN_REMOVE_DEVICE);
}

void System::destroyBuses() {
    while (!buses_.empty()) {
        buses_.pop_back();
    }
}

// ---------------------------------------------------------------- the function driver

std::u16string System::serviceKeyPath(std::u16string_view service) {
    return std::u16string(kServicesKey) + std::u16string(service);
}

NTSTATUS System::loadDriver(const std::filesystem::path& image, std::u16string_view service) {
    if (driver_ != nullptr) {
        throw std::logic_error("a driver is loaded already; unload it first");
    }
    auto loaded = loadKernelImage(image);
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(loaded->symbol("DriverEntry"));

    const std::u16string keyPath = serviceKeyPath(service);
    if (!registry().keyExists(keyPath)) {
        registry().createKey(keyPath);
    }
    PDRIVER_OBJECT driver = kernel_.createDriverObject(service, keyPath);
    driver->DriverInit = entry;

    // The path lives only for the call, in a buffer of exactly its length: a driver must copy
    // what it keeps and may not rely on a terminating NUL.
    std::vector<char16_t> pathBuffer(keyPath.begin(), keyPath.end());
    UNICODE_STRING registryPath;
    registryPath.Length = static_cast<USHORT>(pathBuffer.size() * sizeof(char16_t));
    registryPath.MaximumLength = registryPath.Length;
    registryPath.Buffer = pathBuffer.data();

    const NTSTATUS status = entry(driver, &registryPath);
    if (!NT_SUCCESS(status)) {
        kernel_.deleteDriverObject(driver);
        return status;  // `loaded` unloads the image
    }
    driver_ = driver;
    image_ = std::move(loaded);
    return status;
}

void System::unloadDriver() {
    if (driver_ == nullptr) {
        throw std::logic_error("no driver is loaded");
    }
    const auto live = std::count_if(nodes_.begin(), nodes_.end(), [](const auto& node) {
        return !isOneOf(node->state, {DeviceState::Removed, DeviceState::AddFailed});
    });
    if (live != 0 || driver_->DeviceObject != nullptr) {
        // Unloading code that device objects still point into crashes the platform as soon as
        // any request reaches them.
        bugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
                 reinterpret_cast<ULONG_PTR>(driver_),
                 reinterpret_cast<ULONG_PTR>(driver_->DeviceObject), static_cast<ULONG_PTR>(live),
                 0,
                 "driver unloaded while it still has device objects (remove every device "
                 "first)");
    }
    if (driver_->DriverUnload != nullptr) {
        driver_->DriverUnload(driver_);
    }
    kernel_.deleteDriverObject(driver_);
    driver_ = nullptr;
    image_.reset();
}

PDRIVER_OBJECT System::driverObject() const {
    return driver_;
}

bool System::driverLoaded() const {
    return driver_ != nullptr;
}

// ---------------------------------------------------------------- Plug and Play

System::Node& System::node(int index, const char* operation) {
    // The Plug and Play manager carries out one operation at a time: one asked for while it
    // re-enumerates a device waits until that is done, so it never meets a half-removed node.
    if (!onPlugAndPlayThread())
        waitForPlugAndPlay(kernel_.options().hangLimit);
    if (index < 0 || index >= nodeCount()) {
        throw std::out_of_range(std::string(operation) + ": no device node " +
                                std::to_string(index));
    }
    Node& n = *nodes_[index];
    if (n.state == DeviceState::Removed) {
        throw std::logic_error(std::string(operation) + ": device node " + std::to_string(index) +
                               " has been removed");
    }
    return n;
}

const System::Node& System::node(int index) const {
    if (index < 0 || index >= nodeCount()) {
        throw std::out_of_range("no device node " + std::to_string(index));
    }
    return *nodes_[index];
}

namespace {
void require(bool allowed, const char* operation, DeviceState state) {
    if (!allowed) {
        throw std::logic_error(std::string(operation) + " is not allowed in state " +
                               toString(state));
    }
}
}  // namespace

int System::plugIn(PDEVICE_OBJECT pdo) {
    int index = -1;
    if (NT_SUCCESS(addDevice(pdo, &index))) {
        start(index);
    }
    return index;
}

NTSTATUS System::addDevice(PDEVICE_OBJECT pdo, int* index) {
    std::lock_guard lock(nodesMutex_);
    if (driver_ == nullptr || driver_->DriverExtension->AddDevice == nullptr) {
        throw std::logic_error("addDevice: no loaded driver with an AddDevice routine");
    }
    auto created = std::make_unique<Node>();
    Node& n = *created;
    n.pdo = pdo;
    ObReferenceObject(pdo);  // the device node keeps its physical device object
    nodes_.push_back(std::move(created));
    if (index != nullptr) {
        *index = nodeCount() - 1;
    }
    n.addStatus = driver_->DriverExtension->AddDevice(driver_, pdo);
    if (!NT_SUCCESS(n.addStatus)) {
        n.state = DeviceState::AddFailed;
        return n.addStatus;
    }
    n.fdo = pdo->AttachedDevice;
    n.state = DeviceState::Added;
    return n.addStatus;
}

NTSTATUS System::callPnp(Node& n, UCHAR minor) {
    const NTSTATUS status = sendToStack(n.pdo, IRP_MJ_PNP, minor, [](PIO_STACK_LOCATION) {});
    const bool ok = NT_SUCCESS(status);
    switch (minor) {
        case IRP_MN_START_DEVICE:
            n.startStatus = status;
            n.state = ok ? DeviceState::Started : DeviceState::StartFailed;
            break;
        case IRP_MN_QUERY_STOP_DEVICE:
            if (ok)
                n.state = DeviceState::StopPending;
            break;
        case IRP_MN_CANCEL_STOP_DEVICE:
            if (n.state == DeviceState::StopPending)
                n.state = DeviceState::Started;
            break;
        case IRP_MN_STOP_DEVICE:
            n.state = DeviceState::Stopped;
            break;
        case IRP_MN_QUERY_REMOVE_DEVICE:
            if (ok) {
                n.beforeQueryRemove = n.state;
                n.state = DeviceState::RemovePending;
            }
            break;
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            if (n.state == DeviceState::RemovePending)
                n.state = n.beforeQueryRemove;
            break;
        case IRP_MN_SURPRISE_REMOVAL:
            n.state = DeviceState::SurpriseRemoved;
            break;
        case IRP_MN_REMOVE_DEVICE:
            n.state = DeviceState::Removed;
            // Newest first: a test's filter leaves the stack before the bus that made the
            // device deletes its physical device object (at once when the device has left).
            for (auto bus = buses_.rbegin(); bus != buses_.rend(); ++bus) {
                (*bus)->removed(n.pdo);
            }
            ObDereferenceObject(n.pdo);
            break;
        default:
            break;
    }
    return status;
}

NTSTATUS System::start(int index) {
    Node& n = node(index, "start");
    require(isOneOf(n.state, {DeviceState::Added, DeviceState::Stopped}), "start", n.state);
    return callPnp(n, IRP_MN_START_DEVICE);
}

NTSTATUS System::stop(int index) {
    Node& n = node(index, "stop");
    require(n.state == DeviceState::Started, "stop", n.state);
    const NTSTATUS query = callPnp(n, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(query)) {
        callPnp(n, IRP_MN_CANCEL_STOP_DEVICE);
        return query;
    }
    return callPnp(n, IRP_MN_STOP_DEVICE);
}

NTSTATUS System::queryStop(int index) {
    Node& n = node(index, "queryStop");
    require(n.state == DeviceState::Started, "queryStop", n.state);
    return callPnp(n, IRP_MN_QUERY_STOP_DEVICE);
}

NTSTATUS System::cancelStop(int index) {
    Node& n = node(index, "cancelStop");
    require(isOneOf(n.state, {DeviceState::StopPending, DeviceState::Started}), "cancelStop",
            n.state);
    return callPnp(n, IRP_MN_CANCEL_STOP_DEVICE);
}

NTSTATUS System::queryRemove(int index) {
    Node& n = node(index, "queryRemove");
    require(isOneOf(n.state, {DeviceState::Added, DeviceState::Started, DeviceState::Stopped}),
            "queryRemove", n.state);
    return callPnp(n, IRP_MN_QUERY_REMOVE_DEVICE);
}

NTSTATUS System::cancelRemove(int index) {
    Node& n = node(index, "cancelRemove");
    require(n.state != DeviceState::SurpriseRemoved, "cancelRemove", n.state);
    return callPnp(n, IRP_MN_CANCEL_REMOVE_DEVICE);
}

NTSTATUS System::surpriseRemove(int index) {
    Node& n = node(index, "surpriseRemove");
    require(isOneOf(n.state, {DeviceState::Started, DeviceState::StopPending, DeviceState::Stopped,
                              DeviceState::RemovePending}),
            "surpriseRemove", n.state);
    return callPnp(n, IRP_MN_SURPRISE_REMOVAL);
}

NTSTATUS System::remove(int index) {
    Node& n = node(index, "remove");
    const bool queried = isOneOf(n.state, {DeviceState::SurpriseRemoved, DeviceState::StartFailed,
                                           DeviceState::AddFailed, DeviceState::RemovePending});
    if (!queried) {
        const NTSTATUS query = callPnp(n, IRP_MN_QUERY_REMOVE_DEVICE);
        if (!NT_SUCCESS(query)) {
            callPnp(n, IRP_MN_CANCEL_REMOVE_DEVICE);
            return query;
        }
    }
    return callPnp(n, IRP_MN_REMOVE_DEVICE);
}

NTSTATUS System::sendPnp(int index, UCHAR minorFunction) {
    return callPnp(node(index, "sendPnp"), minorFunction);
}

NTSTATUS System::sendPower(int index, UCHAR minorFunction, POWER_STATE_TYPE type,
                           POWER_STATE state) {
    Node& n = node(index, "sendPower");
    return sendToStack(n.pdo, IRP_MJ_POWER, minorFunction, [&](PIO_STACK_LOCATION stack) {
        stack->Parameters.Power.SystemContext = 0;
        stack->Parameters.Power.Type = type;
        stack->Parameters.Power.State = state;
        stack->Parameters.Power.ShutdownType = PowerActionNone;
    });
}

DeviceState System::state(int index) const {
    return node(index).state;
}
PDEVICE_OBJECT System::pdo(int index) const {
    return node(index).pdo;
}
PDEVICE_OBJECT System::functionalDevice(int index) const {
    return node(index).fdo;
}
NTSTATUS System::lastStartStatus(int index) const {
    return node(index).startStatus;
}
NTSTATUS System::lastAddStatus(int index) const {
    return node(index).addStatus;
}
int System::nodeCount() const {
    return static_cast<int>(nodes_.size());
}
int System::nodeOf(PDEVICE_OBJECT pdo) const {
    for (int i = nodeCount() - 1; i >= 0; --i) {
        if (nodes_[i]->pdo == pdo)
            return i;
    }
    return -1;
}

// ---------------------------------------------------------------- applications

std::vector<std::u16string> System::interfacePaths(const GUID& interfaceClass) {
    waitForPlugAndPlay(kernel_.options().hangLimit);
    std::vector<std::u16string> paths;
    for (const DeviceInterfaceRecord& record : kernel_.deviceInterfaces(interfaceClass, true)) {
        paths.push_back(record.symbolicLink);
    }
    return paths;
}

NTSTATUS System::open(std::u16string_view path, Handle* handle) {
    waitForPlugAndPlay(kernel_.options().hangLimit);
    const DeviceInterfaceRecord* best = nullptr;
    std::vector<DeviceInterfaceRecord> candidates;
    for (const GUID& guid : guidsIn(path)) {
        for (DeviceInterfaceRecord& record : kernel_.deviceInterfaces(guid, true)) {
            candidates.push_back(std::move(record));
        }
    }
    for (const DeviceInterfaceRecord& record : candidates) {
        const std::u16string_view link = record.symbolicLink;
        const bool atBoundary = path.size() == link.size() || path[link.size()] == u'\\';
        if (startsWithIgnoringCase(path, link) && atBoundary &&
            (best == nullptr || link.size() > best->symbolicLink.size())) {
            best = &record;
        }
    }
    if (best == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    PFILE_OBJECT file = nullptr;
    const NTSTATUS status =
        kernel_.createFile(best->pdo, path.substr(best->symbolicLink.size()), &file);
    if (NT_SUCCESS(status)) {
        *handle = Handle(kernel_, file);
    }
    return status;
}

Handle System::open(std::u16string_view path) {
    Handle handle;
    const NTSTATUS status = open(path, &handle);
    if (!NT_SUCCESS(status)) {
        throw std::runtime_error("cannot open " + toUtf8(path) + ": " + statusName(status));
    }
    return handle;
}

}  // namespace sim
