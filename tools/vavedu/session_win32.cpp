// The tool's session on Windows: the instrument as it is plugged in, through the installed driver.
// There is no model to set up, so the driver's load status is its own business (the device just
// is, or is not, present) and nothing is left to check at the end. The model's steps are not
// commands on Windows; should one be asked for, it changes nothing and says why.
#include "tools/vavedu/session.hpp"

namespace vavedu::tool {

namespace {

const ModelStepResult kNoModel{static_cast<NtStatus>(0xC00000BBu),  // STATUS_NOT_SUPPORTED
                               "only the model's machine can be changed by the tool"};

}  // namespace

Session::Session(const GlobalOptions& options, std::ostream& echo)
    : options_(options), echo_(echo), platform_(win32Platform()) {}

Session::~Session() = default;

std::string Session::deviceName() const {
    return "instrument";
}

std::optional<std::string> Session::instrumentPath() {
    const std::vector<std::string> paths = platform_->interfacePaths();
    if (paths.empty())
        return std::nullopt;
    return paths.front();
}

ModelStepResult Session::plug() {
    return kNoModel;
}
ModelStepResult Session::unplug() {
    return kNoModel;
}
ModelStepResult Session::surpriseRemove() {
    return kNoModel;
}
ModelStepResult Session::stop() {
    return kNoModel;
}
ModelStepResult Session::start() {
    return kNoModel;
}
ModelStepResult Session::stall(uint8_t) {
    return kNoModel;
}
ModelStepResult Session::fault(const Step&) {
    return kNoModel;
}

Verdict Session::finish() {
    finished_ = true;
    platform_.reset();
    return {};
}

}  // namespace vavedu::tool
