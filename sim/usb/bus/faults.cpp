// Faults the test injects: into the next transfers of an endpoint, the next control requests with
// a request code, or the n-th URB of the bus. Each request a fault hits uses one of its count up.
#include "sim/usb/bus/bus_state.hpp"

namespace sim::usb {

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
    ordinalFault_.reset();
}

void UsbBus::failUrb(unsigned ordinal, Fault fault) {
    std::lock_guard lock(mutex_);
    ordinalFault_ = std::pair(urbsAccepted_ + ordinal, fault);
}

unsigned UsbBus::urbsAccepted() const {
    std::lock_guard lock(mutex_);
    return urbsAccepted_;
}

void UsbBus::takeOrdinalFault(Transfer& t) {
    const unsigned ordinal = urbsAccepted_++;
    if (ordinalFault_ && ordinalFault_->first == ordinal) {
        t.fault = ordinalFault_->second;
        ordinalFault_.reset();
    }
}

namespace detail {

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
        case Fault::Kind::Cancelled:
            return USBD_STATUS_CANCELED;
        default:
            return std::nullopt;
    }
}

}  // namespace detail
}  // namespace sim::usb
