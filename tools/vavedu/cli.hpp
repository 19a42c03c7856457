// The command line of the tool, parsed with CLI11 into plain values: the session's options and
// one step (a command with its arguments). Script lines are parsed by the same definitions, with
// the model's steps and the expectations added and demo and script left out.
#pragma once

#include "client/status.hpp"
#include "pcdriver/bulk/vavedu_ioctl.h"
#include "tools/vavedu/text.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vavedu::tool {

struct GlobalOptions {
    std::string device = "instrument";  // a built-in model name or a raw descriptor file
    std::vector<std::pair<std::string, uint32_t>> registry;  // REG_DWORD values, in order
    std::optional<std::string> capture;
    bool trace = false;
    bool log = false;
    bool json = false;
};

// Fault kinds a script can inject with `fault EP KIND`.
inline constexpr const char* kFaultKinds[] = {"stall",          "crc",  "timeout",
                                              "not-responding", "gone", "delay"};

struct Step {
    Step() = default;
    explicit Step(std::string name) : command(std::move(name)) {}

    std::string command;
    std::string text;  // the words as typed, for messages

    // read, write, bench
    std::optional<uint8_t> interface;
    std::optional<uint8_t> pipe;
    std::optional<std::string> name;
    std::optional<uint64_t> bytes;
    std::optional<std::string> outFile;
    std::optional<std::string> inFile;
    std::optional<std::vector<uint8_t>> data;  // write --data, control --data
    bool hex = false;
    uint64_t timeoutMs = 5000;
    uint64_t iterations = 8;
    // bench on a timed bus (the model's build): its speed, the completion latency, one maximum
    // transfer size instead of all, a paced stream (samples per second)
    std::optional<std::string> bus;
    uint64_t latencyUs = 125;
    std::optional<uint32_t> maxTransfer;
    std::optional<uint64_t> pace;

    bool raw = false;  // descriptors --raw

    SETUP_PACKET setup{};  // control

    uint32_t ioctlCode = 0;  // ioctl
    std::vector<uint8_t> ioctlInput;
    std::optional<uint32_t> outLength;

    uint8_t first = 0;   // select-config VALUE, select-interface INTERFACE, reset-pipe PIPE
    uint8_t second = 0;  // select-interface ALTERNATE, reset-pipe INTERFACE
    std::string zlp;     // on, off, query
    std::string scriptFile;

    // model steps of scripts
    uint8_t endpoint = 0;
    std::string faultKind;
    uint32_t faultCount = 1;
    std::optional<uint8_t> faultRequest;  // fault 0 ...: the control request code it hits
    uint64_t delayMs = 100;

    // expectations of scripts
    NtStatus expectStatus = 0;
    uint64_t expectBytes = 0;
};

struct Invocation {
    GlobalOptions options;
    Step step;
    bool help = false;  // --help was asked for: print helpText and exit 0
    std::string helpText;
};

// argv as the program got it. Throws UsageError with a clear message.
Invocation parseCommandLine(int argc, const char* const* argv);
// One script line split into words (not empty). Throws UsageError.
Step parseScriptStep(const std::vector<std::string>& words);

bool isModelStep(const std::string& command);    // unplug, plug, stall, ...
bool isExpectation(const std::string& command);  // expect-status, expect-bytes

class Executor;
struct StepResult;
// The routine that runs a command; null for an unknown command and for those the tool runs
// itself (demo, script, the expectations).
using CommandRoutine = void (*)(Executor& executor, const Step& step, StepResult& result);
CommandRoutine commandRoutine(std::string_view command);

}  // namespace vavedu::tool
