// The tool's session on Linux: one machine of the model with the driver and one instrument.
#include "tools/vavedu/session.hpp"

#include "sim/system/system.hpp"
#include "sim/usb/usb_bus.hpp"

#include <fstream>

namespace vavedu::tool {

namespace {

constexpr std::u16string_view kService = u"VaVedu";

std::unique_ptr<sim::usb::DeviceModel> makeModel(const std::string& device) {
    if (auto model = sim::usb::makeDeviceModel(device))
        return model;
    if (std::filesystem::is_regular_file(device)) {
        try {
            return sim::usb::RawDescriptorModel::fromFile(device);
        } catch (const std::exception& e) {
            throw UsageError("--device " + device + ": " + e.what());
        }
    }
    std::string names;
    for (const std::string& name : sim::usb::deviceModelNames()) {
        names += (names.empty() ? "" : ", ") + name;
    }
    throw UsageError("--device: '" + device + "' is neither a built-in model (" + names +
                     ") nor a file of raw descriptors");
}

sim::usb::Fault::Kind faultKind(const std::string& kind) {
    using K = sim::usb::Fault::Kind;
    if (kind == "stall")
        return K::Stall;
    if (kind == "crc")
        return K::Crc;
    if (kind == "timeout")
        return K::Timeout;
    if (kind == "not-responding")
        return K::NotResponding;
    if (kind == "gone")
        return K::DeviceGone;
    return K::Delay;
}

const ModelStepResult kNoInstrument{kStatusNoSuchDevice, "no instrument is plugged in"};

}  // namespace

Session::Session(const GlobalOptions& options, std::ostream& echo)
    : options_(options), echo_(echo) {
    makeModel(options_.device);  // a bad --device is a usage error before anything starts
    system_ = std::make_shared<sim::System>();
    if (options_.log) {
        system_->kernel().onDebugLine([this](std::string_view line) {
            echo_ << "[debug] " << line << "\n" << std::flush;
        });
    }
    bus_ = &system_->addBus(std::make_unique<sim::usb::UsbBus>(system_->kernel()));
    listener_ = bus_->trace().addListener(
        [this](const sim::usb::TraceRecord& record, std::span<const uint8_t>) {
            if (record.completion && record.kind == sim::usb::TransferKind::Bulk) {
                bulkTransfers_ += 1;
                bulkBytes_ += record.actualLength;
            }
        });
    if (options_.trace)
        bus_->trace().setEcho(&echo_);
    if (options_.capture) {
        capture_ = std::filesystem::absolute(*options_.capture);
        try {
            bus_->startCapture(*capture_);
        } catch (const std::exception& e) {
            throw SessionError("cannot write the capture " + capture_->string() + ": " + e.what());
        }
    }
    for (const auto& [name, value] : options_.registry) {
        system_->registry().setDword(sim::System::serviceKeyPath(kService), sim::toU16(name),
                                     value);
    }
    try {
        loadStatus_ = system_->loadDriver(sim::imageDirectory() / "libVaVedu.so", kService);
    } catch (const std::exception& e) {
        throw SessionError(std::string("the driver image could not be loaded: ") + e.what());
    }
    platform_ = modelPlatform(*system_);
    if (succeeded(loadStatus_))
        plug();
}

Session::~Session() {
    if (!finished_)
        finish();
}

std::string Session::deviceName() const {
    return options_.device;
}

// A port cycle takes the instrument away and brings it back as a new device: the session
// follows it to its new node once the Plug and Play manager has re-enumerated it.
void Session::followInstrument() {
    system_->waitForPlugAndPlay();
    if (node_ < 0 || system_->state(node_) != sim::DeviceState::Removed)
        return;
    for (int i = system_->nodeCount() - 1; i > node_; --i) {
        if (system_->state(i) != sim::DeviceState::Removed) {
            node_ = i;
            pdo_ = system_->pdo(i);
            return;
        }
    }
}

bool Session::present() {
    followInstrument();
    if (node_ < 0)
        return false;
    const sim::DeviceState state = system_->state(node_);
    return state != sim::DeviceState::Removed;
}

std::optional<std::string> Session::instrumentPath() {
    const std::vector<std::string> paths = platform_->interfacePaths();
    if (paths.empty())
        return std::nullopt;
    return paths.front();
}

ModelStepResult Session::plug() {
    if (!system_->driverLoaded())
        return {kStatusUnsuccessful, "the driver is not loaded"};
    if (present())
        return {static_cast<NtStatus>(0xC0000184u), "an instrument is plugged in already"};
    PDEVICE_OBJECT pdo = bus_->attach(makeModel(options_.device));
    if (pdo == nullptr)
        return {static_cast<NtStatus>(0xC000009Au), "the bus could not attach it"};
    pdo_ = pdo;
    node_ = system_->plugIn(pdo);
    const NTSTATUS add = system_->lastAddStatus(node_);
    if (add < 0)
        return {add, "AddDevice failed"};
    const NTSTATUS start = system_->lastStartStatus(node_);
    return {start, start < 0 ? "the device did not start" : "plugged in and started"};
}

void Session::removeNode() {
    if (!present())
        return;
    if (system_->remove(node_) < 0) {
        // Refused (no handle is open between steps, but a driver may say no): it goes anyway.
        system_->surpriseRemove(node_);
        system_->remove(node_);
    }
}

ModelStepResult Session::unplug() {
    if (!present())
        return kNoInstrument;
    const NTSTATUS status = system_->remove(node_);
    if (status < 0)
        return {status, "the removal was refused"};
    bus_->unplug(static_cast<PDEVICE_OBJECT>(pdo_));
    return {status, "removed and unplugged"};
}

ModelStepResult Session::surpriseRemove() {
    if (!present())
        return kNoInstrument;
    // The Plug and Play side goes first and the port is emptied last: the bus deletes the
    // physical device object at IRP_MN_REMOVE_DEVICE when the device is already gone, before
    // the function driver has detached from it, which the model rightly refuses.
    try {
        const NTSTATUS status = system_->surpriseRemove(node_);
        system_->remove(node_);
        bus_->unplug(static_cast<PDEVICE_OBJECT>(pdo_));
        return {status, "the instrument was pulled out"};
    } catch (const std::logic_error& e) {
        return {static_cast<NtStatus>(0xC0000184u), e.what()};
    }
}

ModelStepResult Session::stop() {
    if (!present())
        return kNoInstrument;
    try {
        const NTSTATUS status = system_->stop(node_);
        return {status, status < 0 ? "the stop was refused" : "stopped"};
    } catch (const std::logic_error& e) {
        return {static_cast<NtStatus>(0xC0000184u), e.what()};
    }
}

ModelStepResult Session::start() {
    if (!present())
        return kNoInstrument;
    try {
        const NTSTATUS status = system_->start(node_);
        return {status, status < 0 ? "the start failed" : "started"};
    } catch (const std::logic_error& e) {
        return {static_cast<NtStatus>(0xC0000184u), e.what()};
    }
}

ModelStepResult Session::stall(uint8_t endpoint) {
    if (!present() || !bus_->connected(static_cast<PDEVICE_OBJECT>(pdo_)))
        return kNoInstrument;
    bus_->injectFault(static_cast<PDEVICE_OBJECT>(pdo_), endpoint,
                      sim::usb::Fault::of(sim::usb::Fault::Kind::Stall));
    return {kStatusSuccess, "the next transfer stalls; the endpoint stays halted until reset"};
}

ModelStepResult Session::fault(const Step& step) {
    if (!present() || !bus_->connected(static_cast<PDEVICE_OBJECT>(pdo_)))
        return kNoInstrument;
    sim::usb::Fault fault = sim::usb::Fault::of(faultKind(step.faultKind), step.faultCount);
    if (step.faultKind == "delay") {
        fault = sim::usb::Fault::delayed(std::chrono::milliseconds(step.delayMs), step.faultCount);
    }
    auto* pdo = static_cast<PDEVICE_OBJECT>(pdo_);
    if (step.endpoint == 0) {
        bus_->injectControlFault(pdo, *step.faultRequest, fault);
    } else {
        bus_->injectFault(pdo, step.endpoint, fault);
    }
    return {kStatusSuccess,
            step.faultKind + " on the next " + std::to_string(step.faultCount) + " transfer(s)"};
}

std::vector<sim::usb::TraceRecord> Session::traceRecords() const {
    return bus_->trace().records();
}

std::vector<std::string> Session::debugOutput() const {
    return system_->kernel().debugOutput();
}

Verdict Session::finish() {
    if (verdict_)
        return *verdict_;
    finished_ = true;
    Verdict verdict;
    try {
        removeNode();
    } catch (const std::exception& e) {
        verdict.findings += std::string("removal at the end failed: ") + e.what() + "\n";
    }
    bus_->trace().setEcho(nullptr);
    bus_->trace().removeListener(listener_);
    bus_->stopCapture();
    platform_.reset();
    const sim::AllocationCounters before = system_->kernel().counters();
    verdict.findings += system_->shutdown();
    const sim::AllocationCounters after = system_->kernel().counters();
    using K = sim::AllocationKind;
    verdict.poolBlocks = before.allocatedOf(K::Pool);
    verdict.irps = before.allocatedOf(K::Irp);
    verdict.mdls = before.allocatedOf(K::Mdl);
    verdict.poolLeft = after.outstandingOf(K::Pool);
    verdict.irpsLeft = after.outstandingOf(K::Irp);
    verdict.mdlsLeft = after.outstandingOf(K::Mdl);
    verdict_ = verdict;
    return verdict;
}

}  // namespace vavedu::tool
