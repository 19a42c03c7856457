// Every command of the tool, in one table: its name, its help, where it can be given, its
// arguments and options, and what runs it. The command line, scripts and the executor all read
// this table; adding a command is adding a row.
#pragma once

#include "tools/vavedu/cli.hpp"

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}  // namespace CLI

namespace vavedu::tool {

class Executor;
struct StepResult;

// Option values as typed; converted after parsing so every number accepts decimal and 0x hex.
struct RawValues {
    std::string interface, pipe, name, bytes, outFile, inFile, data, timeout, iterations;
    std::string requestType, request, value, index, length;
    std::string ioctl, ioctlIn, outLength;
    std::string first, second;
    std::string endpoint, faultKind, faultCount, delay, faultRequest;
    std::string expected;
    std::vector<std::string> registry;
};

enum class CommandKind {
    Instrument,   // works on the instrument: on the command line and in scripts
    ModelStep,    // changes the model's machine: in scripts, where the tool runs the model
    Expectation,  // checks the step before it: in scripts
    Demo,         // the narrated demo: on the command line, where the tool runs the model
    Script,       // runs a script: on the command line
};

struct CommandRow {
    std::string_view name;
    const char* help;
    CommandKind kind;
    // Its arguments and options, on its subcommand.
    void (*options)(CLI::App& command, Step& step, RawValues& raw) = nullptr;
    // Turns its typed values into the step and checks them (throws UsageError).
    void (*convert)(RawValues& raw, Step& step) = nullptr;
    // Runs it; null for the commands the tool runs itself (demo, script, expectations).
    void (*run)(Executor& executor, const Step& step, StepResult& result) = nullptr;
};

std::span<const CommandRow> commandTable();
const CommandRow* findCommand(std::string_view name);  // null for an unknown name
// Whether a command of this kind exists on the command line (or in scripts) of this build.
bool offered(CommandKind kind, bool inScript);

// The values every command may have (transfer options, data, time-out), converted.
void convertCommonValues(RawValues& raw, Step& step);

}  // namespace vavedu::tool
