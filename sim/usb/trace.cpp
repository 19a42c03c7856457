#include "sim/usb/trace.hpp"

#include <cstdio>
#include <sstream>

namespace sim::usb {

const char* urbFunctionName(uint16_t function) {
    switch (function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return "SELECT_CONFIGURATION";
        case URB_FUNCTION_SELECT_INTERFACE:
            return "SELECT_INTERFACE";
        case URB_FUNCTION_ABORT_PIPE:
            return "ABORT_PIPE";
        case URB_FUNCTION_CONTROL_TRANSFER:
            return "CONTROL_TRANSFER";
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return "BULK_OR_INTERRUPT_TRANSFER";
        case URB_FUNCTION_ISOCH_TRANSFER:
            return "ISOCH_TRANSFER";
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            return "GET_DESCRIPTOR_FROM_DEVICE";
        case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE:
            return "SET_DESCRIPTOR_TO_DEVICE";
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
            return "SET_FEATURE_TO_DEVICE";
        case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
            return "SET_FEATURE_TO_INTERFACE";
        case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
            return "SET_FEATURE_TO_ENDPOINT";
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
            return "CLEAR_FEATURE_TO_DEVICE";
        case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
            return "CLEAR_FEATURE_TO_INTERFACE";
        case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
            return "CLEAR_FEATURE_TO_ENDPOINT";
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
            return "GET_STATUS_FROM_DEVICE";
        case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
            return "GET_STATUS_FROM_INTERFACE";
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
            return "GET_STATUS_FROM_ENDPOINT";
        case URB_FUNCTION_VENDOR_DEVICE:
            return "VENDOR_DEVICE";
        case URB_FUNCTION_VENDOR_INTERFACE:
            return "VENDOR_INTERFACE";
        case URB_FUNCTION_VENDOR_ENDPOINT:
            return "VENDOR_ENDPOINT";
        case URB_FUNCTION_CLASS_DEVICE:
            return "CLASS_DEVICE";
        case URB_FUNCTION_CLASS_INTERFACE:
            return "CLASS_INTERFACE";
        case URB_FUNCTION_CLASS_ENDPOINT:
            return "CLASS_ENDPOINT";
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            return "SYNC_RESET_PIPE_AND_CLEAR_STALL";
        case URB_FUNCTION_CLASS_OTHER:
            return "CLASS_OTHER";
        case URB_FUNCTION_VENDOR_OTHER:
            return "VENDOR_OTHER";
        case URB_FUNCTION_GET_CONFIGURATION:
            return "GET_CONFIGURATION";
        case URB_FUNCTION_GET_INTERFACE:
            return "GET_INTERFACE";
        case URB_FUNCTION_SYNC_RESET_PIPE:
            return "SYNC_RESET_PIPE";
        case URB_FUNCTION_SYNC_CLEAR_STALL:
            return "SYNC_CLEAR_STALL";
        default:
            return "UNKNOWN";
    }
}

std::string usbdStatusName(USBD_STATUS status) {
    switch (status) {
        case USBD_STATUS_SUCCESS:
            return "ok";
        case USBD_STATUS_PENDING:
            return "pending";
        case USBD_STATUS_CRC:
            return "CRC";
        case USBD_STATUS_STALL_PID:
            return "STALL_PID";
        case USBD_STATUS_DEV_NOT_RESPONDING:
            return "DEV_NOT_RESPONDING";
        case USBD_STATUS_DATA_OVERRUN:
            return "DATA_OVERRUN";
        case USBD_STATUS_INVALID_URB_FUNCTION:
            return "INVALID_URB_FUNCTION";
        case USBD_STATUS_INVALID_PARAMETER:
            return "INVALID_PARAMETER";
        case USBD_STATUS_INVALID_PIPE_HANDLE:
            return "INVALID_PIPE_HANDLE";
        case USBD_STATUS_ERROR_SHORT_TRANSFER:
            return "ERROR_SHORT_TRANSFER";
        case USBD_STATUS_INSUFFICIENT_RESOURCES:
            return "INSUFFICIENT_RESOURCES";
        case USBD_STATUS_INTERFACE_NOT_FOUND:
            return "INTERFACE_NOT_FOUND";
        case USBD_STATUS_TIMEOUT:
            return "TIMEOUT";
        case USBD_STATUS_DEVICE_GONE:
            return "DEVICE_GONE";
        case USBD_STATUS_CANCELED:
            return "CANCELED";
        default: {
            char text[16];
            std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
            return text;
        }
    }
}

namespace {
const char* kindName(TransferKind kind) {
    switch (kind) {
        case TransferKind::Isochronous:
            return "iso";
        case TransferKind::Interrupt:
            return "interrupt";
        case TransferKind::Control:
            return "control";
        case TransferKind::Bulk:
            return "bulk";
        default:
            return "-";
    }
}
}  // namespace

std::string describe(const TraceRecord& r) {
    std::ostringstream out;
    char head[96];
    std::snprintf(head, sizeof head, "irp %llx %s dev %u ",
                  static_cast<unsigned long long>(r.irpId), r.completion ? "done" : "sent",
                  r.deviceAddress);
    if (r.ioctl != 0) {
        char reset[64];
        std::snprintf(reset, sizeof reset, "PORT_RESET ioctl 0x%X", r.ioctl);
        return out.str() + head + reset;
    }
    out << head << urbFunctionName(r.function);
    char ep[64];
    std::snprintf(ep, sizeof ep, " ep 0x%02X %s flags 0x%X", r.endpoint, kindName(r.kind),
                  r.transferFlags);
    out << ep;
    if (r.setup) {
        char setup[64];
        std::snprintf(setup, sizeof setup, " setup %02X %02X %04X %04X %04X", r.setup->requestType,
                      r.setup->request, r.setup->value, r.setup->index, r.setup->length);
        out << setup;
    }
    if (r.completion) {
        out << " len " << r.actualLength << "/" << r.requestedLength << " "
            << usbdStatusName(r.usbdStatus);
        char nt[24];
        std::snprintf(nt, sizeof nt, " 0x%08X", static_cast<unsigned>(r.ntStatus));
        out << nt;
    } else {
        out << " len " << r.requestedLength;
    }
    if (!r.data.empty()) {
        out << " data";
        for (size_t i = 0; i < r.data.size() && i < 16; ++i) {
            char byte[4];
            std::snprintf(byte, sizeof byte, " %02x", r.data[i]);
            out << byte;
        }
        if (r.dataLength > 16)
            out << " ...";
    }
    if (r.synthetic)
        out << " (replayed)";
    return out.str();
}

void UrbTrace::record(TraceRecord record, std::span<const uint8_t> data) {
    std::vector<Listener> listeners;
    {
        std::lock_guard lock(mutex_);
        record.dataLength = static_cast<uint32_t>(data.size());
        record.data.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(
                                                            std::min(data.size(), dataLimit_)));
        records_.push_back(record);
        if (echo_ != nullptr)
            *echo_ << describe(record) << '\n';
        for (auto& [id, listener] : listeners_)
            listeners.push_back(listener);
    }
    for (auto& listener : listeners)
        listener(record, data);
}

std::vector<TraceRecord> UrbTrace::records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

std::vector<TraceRecord> UrbTrace::completions() const {
    std::lock_guard lock(mutex_);
    std::vector<TraceRecord> out;
    for (const auto& r : records_) {
        if (r.completion)
            out.push_back(r);
    }
    return out;
}

size_t UrbTrace::size() const {
    std::lock_guard lock(mutex_);
    return records_.size();
}

void UrbTrace::clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
}

void UrbTrace::setDataLimit(size_t bytes) {
    std::lock_guard lock(mutex_);
    dataLimit_ = bytes;
}

size_t UrbTrace::dataLimit() const {
    std::lock_guard lock(mutex_);
    return dataLimit_;
}

int UrbTrace::addListener(Listener listener) {
    std::lock_guard lock(mutex_);
    listeners_.emplace_back(nextListener_, std::move(listener));
    return nextListener_++;
}

void UrbTrace::removeListener(int id) {
    std::lock_guard lock(mutex_);
    std::erase_if(listeners_, [id](const auto& entry) { return entry.first == id; });
}

void UrbTrace::print(std::ostream& out) const {
    for (const auto& r : records())
        out << describe(r) << '\n';
}

void UrbTrace::setEcho(std::ostream* out) {
    std::lock_guard lock(mutex_);
    echo_ = out;
}

}  // namespace sim::usb
