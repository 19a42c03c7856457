// The tool's commands: each Step runs against the session's instrument through the client
// library and gives a StepResult. Every command opens its own handle and closes it before it
// returns, as separate runs of the tool would, so Plug and Play steps between commands never
// meet an open handle.
#pragma once

#include "client/client.hpp"
#include "tools/vavedu/cli.hpp"
#include "tools/vavedu/report.hpp"
#include "tools/vavedu/session.hpp"

#include <ostream>

namespace vavedu::tool {

// The bytes `write --bytes N` sends: a pattern with a period (251) prime to every packet size,
// so a lost, repeated or reordered packet shows.
Bytes testPattern(size_t length);

// Decoded descriptors, as text lines and as JSON.
std::vector<std::string> describeDescriptors(const DescriptorSet& set, bool raw);
JsonObject descriptorsJson(const DescriptorSet& set, bool raw);
std::string describeEndpoint(const EndpointDescriptor& e);

class Executor {
  public:
    // `progress`: draw progress bars on `progressOut` (a terminal, not --json).
    Executor(Session& session, std::ostream& progressOut, bool progress)
        : session_(session), progressOut_(progressOut), progress_(progress) {}

    StepResult run(const Step& step);

    // Opens the instrument with a file name; on failure fills `result` and returns false.
    bool openInstrument(const std::string& name, Device& device, StepResult& result);

  private:
    StepResult list();
    StepResult info();
    StepResult descriptors(const Step& step);
    StepResult read(const Step& step);
    StepResult write(const Step& step);
    StepResult control(const Step& step);
    StepResult ioctl(const Step& step);
    StepResult selectConfig(const Step& step);
    StepResult selectInterface(const Step& step);
    StepResult resetPipe(const Step& step);
    StepResult simple(const Step& step);  // reset-port, zlp, last-status, version, banner, ...
    StepResult bench(const Step& step);
    StepResult modelStep(const Step& step);

    Session& session_;
    std::ostream& progressOut_;
    bool progress_;
};

}  // namespace vavedu::tool
