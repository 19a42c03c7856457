// The tool's commands: each Step runs against the session's instrument through the client
// library and gives a StepResult. Every command opens its own handle and closes it before it
// returns, as separate runs of the tool would, so Plug and Play steps between commands never
// meet an open handle. The command table (cli.cpp) says which routine runs which command.
#pragma once

#include "client/client.hpp"
#include "tools/vavedu/cli.hpp"
#include "tools/vavedu/progress.hpp"
#include "tools/vavedu/report.hpp"
#include "tools/vavedu/session.hpp"

#include <ostream>

namespace vavedu::tool {

// The bytes `write --bytes N` sends: a pattern with a period (251) prime to every packet size,
// so a lost, repeated or reordered packet shows.
Bytes testPattern(size_t length);

// The status and byte count of a completed call, as the step's own.
void takeOutcome(StepResult& result, const Completion& c);

class Executor {
  public:
    // `progress`: draw progress bars on `progressOut` (a terminal, not --json).
    Executor(Session& session, std::ostream& progressOut, bool progress)
        : session_(session), progressOut_(progressOut), progress_(progress) {}

    // Runs the step's command as the command table says. Throws UsageError for a command it
    // cannot run.
    StepResult run(const Step& step);

    // Opens the instrument with a file name; on failure fills `result` and returns false.
    bool openInstrument(const std::string& name, Device& device, StepResult& result);

    Session& session() { return session_; }
    // Waits for a transfer, drawing progress from the bytes the bus moved since `busBase`;
    // cancels it after the step's time-out (and says so in `timedOut`), then waits for it to
    // finish.
    Completion finishTransfer(AsyncTransfer& transfer, const Step& step, ProgressBar& bar,
                              uint64_t busBase, bool& timedOut);
    // A progress bar for `total` bytes, drawn when bars are wanted and `total` is at least
    // `threshold` (smaller transfers finish too fast to watch).
    ProgressBar progressBar(std::string label, uint64_t total, uint64_t threshold = 0);

  private:
    Session& session_;
    std::ostream& progressOut_;
    bool progress_;
};

// The routines the command table runs. Those that take a Device get a handle on the device
// itself, opened without a file name; the others open what they need.
namespace command {

void list(Executor& executor, const Step& step, StepResult& r);
void read(Executor& executor, const Step& step, StepResult& r);
void write(Executor& executor, const Step& step, StepResult& r);
void bench(Executor& executor, const Step& step, StepResult& r);
// bench --bus, on machines of its own before any session (the model's build only:
// bus_bench.cpp); progress on `progressOut` when `progress`
StepResult busBench(const Step& step, std::ostream& progressOut, bool progress);

void info(Device& d, const Step& step, StepResult& r);
void descriptors(Device& d, const Step& step, StepResult& r);
void control(Device& d, const Step& step, StepResult& r);
void ioctl(Device& d, const Step& step, StepResult& r);
void selectConfig(Device& d, const Step& step, StepResult& r);
void selectInterface(Device& d, const Step& step, StepResult& r);
void resetPipe(Device& d, const Step& step, StepResult& r);
void resetPort(Device& d, const Step& step, StepResult& r);
void zlp(Device& d, const Step& step, StepResult& r);
void lastStatus(Device& d, const Step& step, StepResult& r);
void version(Device& d, const Step& step, StepResult& r);
void banner(Device& d, const Step& step, StepResult& r);
void usbdiVersion(Device& d, const Step& step, StepResult& r);

}  // namespace command

}  // namespace vavedu::tool
