// Carrying out a selection the bus has checked (select_validation.cpp): the device gets the
// configuration or alternate setting, and the client gets the handles of the configuration, its
// interfaces and their pipes in the URB. Pipes of a setting that is replaced are closed: their
// handles are invalid from then on; a transfer still at the bus on such a pipe fails when it
// comes to run, with USBD_STATUS_INVALID_PIPE_HANDLE.
#include "sim/usb/bus/bus_state.hpp"

namespace sim::usb {

using namespace detail;

namespace detail {

void unconfigure(Port& port) {
    port.configIndex = -1;
    port.configHandle = nullptr;
    port.alternates.clear();
    port.interfaceHandles.clear();
    port.pipes.clear();
    port.endpoints.clear();
    port.model->configurationChanged(0);
}

}  // namespace detail

namespace {

// The packet size a pipe is opened with: the endpoint's, or the client's when it asks to change
// it (USBD_PF_CHANGE_MAX_PACKET); reported with the extra transactions of a high-bandwidth
// endpoint counted in.
EndpointInfo pipeEndpoint(const EndpointInfo& e, const USBD_PIPE_INFORMATION& asked) {
    EndpointInfo opened = e;
    if ((asked.PipeFlags & USBD_PF_CHANGE_MAX_PACKET) != 0)
        opened.maxPacketSize = asked.MaximumPacketSize;
    return opened;
}

}  // namespace

// Opens the interface's setting: a new interface handle, and a pipe (with its handle) for each
// endpoint, described in `info` as the client reads it. Each endpoint starts over: no halt on
// either side, DATA0 next. MaximumTransferSize stays as the client wrote it: the stack neither
// uses nor reports a value of its own there.
void UsbBus::openInterface(Port& port, const InterfaceSetting& setting,
                           USBD_INTERFACE_INFORMATION& info) {
    void* handle = newHandle();
    port.interfaceHandles[setting.number] = handle;
    info.Length = static_cast<USHORT>(kInterfaceRecordHead +
                                      sizeof(USBD_PIPE_INFORMATION) * setting.endpoints.size());
    info.InterfaceHandle = handle;
    info.Class = setting.interfaceClass;
    info.SubClass = setting.subClass;
    info.Protocol = setting.protocol;
    info.Reserved = 0;
    info.NumberOfPipes = static_cast<ULONG>(setting.endpoints.size());
    for (size_t j = 0; j < setting.endpoints.size(); ++j) {
        auto& pipe = info.Pipes[j];
        const EndpointInfo e = pipeEndpoint(setting.endpoints[j], pipe);
        pipe.MaximumPacketSize = static_cast<USHORT>(e.maxPacketSize * (1 + e.extraTransactions));
        pipe.EndpointAddress = e.address;
        pipe.Interval = e.interval;
        pipe.PipeType = static_cast<USBD_PIPE_TYPE>(e.type);
        pipe.PipeHandle = newHandle();
        port.pipes[pipe.PipeHandle] = {setting.number, e};
        port.endpoints[e.address] = {};
    }
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

    // The interface records where validation found them: opening one rewrites its Length.
    for (size_t offset : t.recordOffsets) {
        auto* iface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(
            reinterpret_cast<uint8_t*>(t.urb) + offset);
        const InterfaceSetting* setting =
            info.find(iface->InterfaceNumber, iface->AlternateSetting);
        port.alternates[setting->number] = setting->alternate;
        if (setting->alternate != 0)
            port.model->interfaceChanged(setting->number, setting->alternate);
        openInterface(port, *setting, *iface);
    }
    return {};
}

UsbBus::Outcome UsbBus::selectInterface(Transfer& t) {
    Port& port = *t.port;
    auto& select = t.urb->UrbSelectInterface;
    if (auto status = faultStatus(t.fault))
        return failure(*status);
    // Checked at submission; a held or delayed selection finds the configuration as it is now.
    if (select.ConfigurationHandle != port.configHandle || port.active() == nullptr)
        return failure(USBD_STATUS_INVALID_PARAMETER);
    auto& iface = select.Interface;
    const InterfaceSetting* setting =
        port.active()->find(iface.InterfaceNumber, iface.AlternateSetting);
    if (setting == nullptr)
        return failure(USBD_STATUS_INTERFACE_NOT_FOUND);
    // The old setting's pipes are closed: their handles are invalid from now on.
    std::erase_if(port.pipes, [&](const auto& entry) {
        if (entry.second.interfaceNumber != setting->number)
            return false;
        port.endpoints.erase(entry.second.endpoint.address);
        return true;
    });
    port.alternates[setting->number] = setting->alternate;
    port.model->interfaceChanged(setting->number, setting->alternate);
    openInterface(port, *setting, iface);
    return {};
}

}  // namespace sim::usb
