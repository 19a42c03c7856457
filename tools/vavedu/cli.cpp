// The tool's commands, in one table (kCommands): each command's name, its help, where it can be
// given, its arguments and options with their conversion, and the routine that runs it. The
// command line and script lines are parsed from the table with CLI11, and the executor finds the
// routines there (commandRoutine).
#include "tools/vavedu/cli.hpp"

#include "tools/vavedu/commands.hpp"
#include "tools/vavedu/machine.hpp"

#include <CLI/CLI.hpp>

#include <map>

namespace vavedu::tool {

namespace {

// Option values as typed; converted after parsing so every number accepts decimal and 0x hex.
struct RawValues {
    std::string interface, pipe, name, bytes, outFile, inFile, data, timeout, iterations;
    std::string requestType, request, value, index, length;
    std::string ioctl, ioctlIn, outLength;
    std::string first, second;
    std::string endpoint, faultKind, faultCount, delay, faultRequest;
    std::string expected;
    std::vector<std::string> registry;
    std::string bus, latency, maxTransfer, pace;
};

enum class CommandKind {
    Instrument,   // works on the instrument: on the command line and in scripts
    ModelStep,    // changes the model's machine: in scripts, where the tool runs the model
    Expectation,  // checks the step before it: in scripts
    Demo,         // the narrated demo: on the command line, where the tool runs the model
    Script,       // runs a script: on the command line
};

// One command: everything the command line, scripts and the executor need of it.
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

using Kind = CommandKind;

// ---- typed values, converted

uint8_t byte(std::string_view what, const std::string& text) {
    return static_cast<uint8_t>(requireNumber(what, text, 0xFF));
}

uint16_t word(std::string_view what, const std::string& text) {
    return static_cast<uint16_t>(requireNumber(what, text, 0xFFFF));
}

std::vector<uint8_t> hexBytes(std::string_view what, const std::string& text) {
    auto bytes = parseHex(text);
    if (!bytes) {
        throw UsageError(std::string(what) + ": '" + text +
                         "' is not hex data (pairs of hex digits, e.g. 01020a or '01 02 0a')");
    }
    return *bytes;
}

// ---- options several commands share

void addTransferOptions(CLI::App& c, RawValues& raw, bool withName) {
    c.add_option("--interface", raw.interface, "interface index I (default 0)");
    CLI::Option* pipe = c.add_option("--pipe", raw.pipe, "pipe index P within the interface");
    if (withName) {
        CLI::Option* name =
            c.add_option("--name", raw.name, "file name after the device path, e.g. '\\PIPE_1'");
        pipe->excludes(name);
    }
}

void addTimeout(CLI::App& c, RawValues& raw, const char* help) {
    c.add_option("--timeout", raw.timeout, help);
}

// read, write and bench: an interface alone names no pipe.
void requirePipeWithInterface(const char* command, const Step& step) {
    if (step.interface && !step.pipe && !step.name) {
        throw UsageError(std::string(command) +
                         ": --interface needs --pipe P (the pipe indices are those "
                         "'descriptors' lists for the interface)");
    }
}

// bench --bus: machines of their own on a timed bus (the model's build only).
void addBusBenchOptions(CLI::App& c, RawValues& raw) {
    c.add_option("--bus", raw.bus,
                 "high-speed or full-speed: measure on a timed bus of that speed, every request "
                 "size from 64 KiB to 16 MiB at every MaximumTransferSize from 4 KiB to 4 MiB");
    c.add_option("--latency", raw.latency,
                 "with --bus: the host controller's completion latency in us (125, at most 1000)");
    c.add_option("--max-transfer", raw.maxTransfer, "with --bus: this MaximumTransferSize only");
    c.add_option("--pace", raw.pace,
                 "with --bus high-speed: read the instrument's stream paced at N samples/s");
}

void convertBench(RawValues& raw, Step& step) {
    requirePipeWithInterface("bench", step);
    if (raw.bus.empty()) {
        if (!raw.latency.empty() || !raw.maxTransfer.empty() || !raw.pace.empty())
            throw UsageError("bench: --latency, --max-transfer and --pace need --bus");
        return;
    }
    if (raw.bus != "high-speed" && raw.bus != "full-speed")
        throw UsageError("bench: --bus is high-speed or full-speed, not '" + raw.bus + "'");
    if (step.pipe || step.name)
        throw UsageError("bench: --bus measures the loopback (or the stream) itself: no --pipe");
    step.bus = raw.bus;
    if (!raw.latency.empty())
        step.latencyUs = requireNumber("--latency", raw.latency, 1000);
    if (!raw.maxTransfer.empty()) {
        step.maxTransfer =
            static_cast<uint32_t>(requireNumber("--max-transfer", raw.maxTransfer, 4u << 20));
        if (*step.maxTransfer == 0)
            throw UsageError("bench: --max-transfer must be at least 1");
    }
    if (!raw.pace.empty()) {
        step.pace = requireNumber("--pace", raw.pace, 1000000000);
        if (*step.pace == 0 || raw.bus != "high-speed")
            throw UsageError("bench: --pace is 1 or more samples/s, on --bus high-speed");
    }
    if (step.bytes && *step.bytes == 0)
        throw UsageError("bench: --bytes must be at least 1 with --bus");
    if (raw.iterations.empty())
        step.iterations = 2;
    if (step.iterations == 0)
        throw UsageError("bench: --iterations must be at least 1 with --bus");
}

// ---- how the table runs a command

// A command on the device itself: it runs with a handle opened without a file name.
template <void (*Run)(Device&, const Step&, StepResult&)>
void onDevice(Executor& executor, const Step& step, StepResult& r) {
    Device d;
    if (executor.openInstrument("", d, r))
        Run(d, step, r);
}

void report(const ModelStepResult& m, StepResult& r) {
    r.status = m.status;
    r.note = m.note;
}

// A change of the model's machine that needs nothing from the step.
template <ModelStepResult (Session::*Change)()>
void modelStep(Executor& executor, const Step&, StepResult& r) {
    report((executor.session().*Change)(), r);
}

// ---- the table: the order of the help

const CommandRow kCommands[] = {
    {.name = "demo",
     .help = "show what the driver does, step by step, on the model",
     .kind = Kind::Demo},
    {.name = "info",
     .help = "driver version, banner, USBDI version and the instrument's identity",
     .kind = Kind::Instrument,
     .run = onDevice<command::info>},
    {.name = "descriptors",
     .help = "the instrument's descriptors, decoded",
     .kind = Kind::Instrument,
     .options = [](CLI::App& c, Step& step,
                   RawValues&) { c.add_flag("--raw", step.raw, "also the raw bytes"); },
     .run = onDevice<command::descriptors>},
    {.name = "list",
     .help = "the interface paths of the instruments present",
     .kind = Kind::Instrument,
     .run = command::list},
    {.name = "read",
     .help = "read bulk data from a pipe",
     .kind = Kind::Instrument,
     .options =
         [](CLI::App& c, Step& step, RawValues& raw) {
             addTransferOptions(c, raw, true);
             c.add_option("--bytes", raw.bytes, "bytes to read")->required();
             c.add_option("--out", raw.outFile, "write the data to FILE");
             c.add_flag("--hex", step.hex, "print all the data as hex");
             addTimeout(c, raw, "cancel the read after MS milliseconds (5000)");
         },
     .convert = [](RawValues&, Step& step) { requirePipeWithInterface("read", step); },
     .run = command::read},
    {.name = "write",
     .help = "write bulk data to a pipe",
     .kind = Kind::Instrument,
     .options =
         [](CLI::App& c, Step&, RawValues& raw) {
             addTransferOptions(c, raw, true);
             CLI::Option* bytes =
                 c.add_option("--bytes", raw.bytes, "write N bytes of a test pattern");
             CLI::Option* in = c.add_option("--in", raw.inFile, "write the contents of FILE");
             CLI::Option* data = c.add_option("--data", raw.data, "write these bytes (hex)");
             bytes->excludes(in)->excludes(data);
             in->excludes(data);
             addTimeout(c, raw, "cancel the write after MS milliseconds (5000)");
         },
     .convert =
         [](RawValues&, Step& step) {
             requirePipeWithInterface("write", step);
             if (!step.bytes && !step.inFile && !step.data)
                 throw UsageError("write: give one of --bytes N, --in FILE or --data HEX");
         },
     .run = command::write},
    {.name = "control",
     .help = "one control transfer on the default pipe",
     .kind = Kind::Instrument,
     .options =
         [](CLI::App& c, Step&, RawValues& raw) {
             c.add_option("BMREQUESTTYPE", raw.requestType, "bmRequestType")->required();
             c.add_option("BREQUEST", raw.request, "bRequest")->required();
             c.add_option("WVALUE", raw.value, "wValue")->required();
             c.add_option("WINDEX", raw.index, "wIndex")->required();
             c.add_option("WLENGTH", raw.length, "wLength")->required();
             c.add_option("--data", raw.data, "data stage of an OUT transfer (hex)");
         },
     .convert =
         [](RawValues& raw, Step& step) {
             step.setup = makeSetupPacket(byte("BMREQUESTTYPE", raw.requestType),
                                          byte("BREQUEST", raw.request), word("WVALUE", raw.value),
                                          word("WINDEX", raw.index), word("WLENGTH", raw.length));
         },
     .run = onDevice<command::control>},
    {.name = "ioctl",
     .help = "any device-control request, raw",
     .kind = Kind::Instrument,
     .options =
         [](CLI::App& c, Step&, RawValues& raw) {
             c.add_option("CODE", raw.ioctl, "IOCTL name (GET_BANNER) or code (0x22001C)")
                 ->required();
             c.add_option("--in", raw.ioctlIn, "input bytes (hex)");
             c.add_option("--out-len", raw.outLength, "output buffer length");
         },
     .convert =
         [](RawValues& raw, Step& step) {
             auto code = parseIoctl(raw.ioctl);
             if (!code || *code > UINT32_MAX) {
                 throw UsageError("ioctl: '" + raw.ioctl +
                                  "' is neither an IOCTL name (GET_BANNER) nor a number");
             }
             step.ioctlCode = *code;
             if (!raw.ioctlIn.empty())
                 step.ioctlInput = hexBytes("--in", raw.ioctlIn);
             if (!raw.outLength.empty()) {
                 step.outLength =
                     static_cast<uint32_t>(requireNumber("--out-len", raw.outLength, 16u << 20));
             }
         },
     .run = onDevice<command::ioctl>},
    {.name = "select-config",
     .help = "select a configuration (0 unconfigures)",
     .kind = Kind::Instrument,
     .options =
         [](CLI::App& c, Step&, RawValues& raw) {
             c.add_option("VALUE", raw.first, "bConfigurationValue")->required();
         },
     .convert = [](RawValues& raw, Step& step) { step.first = byte("VALUE", raw.first); },
     .run = onDevice<command::selectConfig>},
    {.name = "select-interface",
     .help = "select an alternate setting",
     .kind = Kind::Instrument,
     .options =
         [](CLI::App& c, Step&, RawValues& raw) {
             c.add_option("INTERFACE", raw.first, "interface number")->required();
             c.add_option("ALTERNATE", raw.second, "alternate setting")->required();
         },
     .convert =
         [](RawValues& raw, Step& step) {
             step.first = byte("INTERFACE", raw.first);
             step.second = byte("ALTERNATE", raw.second);
         },
     .run = onDevice<command::selectInterface>},
    {.name = "reset-pipe",
     .help = "reset a pipe and clear its stall",
     .kind = Kind::Instrument,
     .options =
         [](CLI::App& c, Step&, RawValues& raw) {
             c.add_option("PIPE", raw.first, "pipe index")->required();
             c.add_option("INTERFACE", raw.second, "interface index")->required();
         },
     .convert =
         [](RawValues& raw, Step& step) {
             step.first = byte("PIPE", raw.first);
             step.second = byte("INTERFACE", raw.second);
         },
     .run = onDevice<command::resetPipe>},
    {.name = "reset-port",
     .help = "cycle the instrument's port: it leaves and comes back as a new device, so every "
             "open handle ends (open the instrument again afterwards)",
     .kind = Kind::Instrument,
     .run = onDevice<command::resetPort>},
    {.name = "zlp",
     .help = "zero-length packets after OUT transfers",
     .kind = Kind::Instrument,
     .options =
         [](CLI::App& c, Step& step, RawValues&) {
             c.add_option("MODE", step.zlp, "on, off or query")
                 ->required()
                 ->check(CLI::IsMember({"on", "off", "query"}));
         },
     .run = onDevice<command::zlp>},
    {.name = "last-status",
     .help = "the USBD status of the driver's last request block",
     .kind = Kind::Instrument,
     .run = onDevice<command::lastStatus>},
    {.name = "version",
     .help = "the driver's version",
     .kind = Kind::Instrument,
     .run = onDevice<command::version>},
    {.name = "banner",
     .help = "the driver's banner",
     .kind = Kind::Instrument,
     .run = onDevice<command::banner>},
    {.name = "usbdi-version",
     .help = "the USB driver interface's version",
     .kind = Kind::Instrument,
     .run = onDevice<command::usbdiVersion>},
    {.name = "bench",
     .help = "throughput of bulk transfers",
     .kind = Kind::Instrument,
     .options =
         [](CLI::App& c, Step&, RawValues& raw) {
             addTransferOptions(c, raw, false);
             c.add_option("--bytes", raw.bytes, "bytes per request (1 MiB; with --bus all sizes)");
             c.add_option("--iterations", raw.iterations, "requests (8; with --bus 2 per size)");
             if (kToolRunsOnModel)
                 addBusBenchOptions(c, raw);
         },
     .convert = convertBench,
     .run = command::bench},
    {.name = "script",
     .help = "run the steps of FILE (- for standard input) in one session",
     .kind = Kind::Script,
     .options =
         [](CLI::App& c, Step& step, RawValues&) {
             c.add_option("FILE", step.scriptFile, "script file, or - for standard input")
                 ->required();
         }},
    {.name = "unplug",
     .help = "remove the instrument in order (query-remove, remove), then detach it",
     .kind = Kind::ModelStep,
     .run = modelStep<&Session::unplug>},
    {.name = "surprise-remove",
     .help = "pull the cable: the instrument goes without warning",
     .kind = Kind::ModelStep,
     .run = modelStep<&Session::surpriseRemove>},
    {.name = "plug",
     .help = "plug in a fresh instrument",
     .kind = Kind::ModelStep,
     .run = modelStep<&Session::plug>},
    {.name = "stop",
     .help = "stop the instrument (query-stop, stop)",
     .kind = Kind::ModelStep,
     .run = modelStep<&Session::stop>},
    {.name = "start",
     .help = "start the instrument again",
     .kind = Kind::ModelStep,
     .run = modelStep<&Session::start>},
    {.name = "stall",
     .help = "halt an endpoint until it is reset",
     .kind = Kind::ModelStep,
     .options =
         [](CLI::App& c, Step&, RawValues& raw) {
             c.add_option("EP", raw.endpoint, "endpoint address, e.g. 0x81")->required();
         },
     .convert = [](RawValues& raw, Step& step) { step.endpoint = byte("EP", raw.endpoint); },
     .run = [](Executor& executor, const Step& step,
               StepResult& r) { report(executor.session().stall(step.endpoint), r); }},
    {.name = "fault",
     .help = "inject a device fault into the next transfers of an endpoint",
     .kind = Kind::ModelStep,
     .options =
         [](CLI::App& c, Step& step, RawValues& raw) {
             c.add_option("EP", raw.endpoint, "endpoint address (0 for the default pipe)")
                 ->required();
             c.add_option("KIND", step.faultKind,
                          "stall, crc, timeout, not-responding, gone, delay")
                 ->required()
                 ->check(CLI::IsMember(
                     std::vector<std::string>(std::begin(kFaultKinds), std::end(kFaultKinds))));
             c.add_option("--count", raw.faultCount, "transfers it hits (1)");
             c.add_option("--delay", raw.delay, "for delay: milliseconds (100)");
             c.add_option("--request", raw.faultRequest,
                          "for EP 0: the bRequest of the control requests it hits");
         },
     .convert =
         [](RawValues& raw, Step& step) {
             step.endpoint = byte("EP", raw.endpoint);
             if (!raw.faultCount.empty()) {
                 step.faultCount =
                     static_cast<uint32_t>(requireNumber("--count", raw.faultCount, 1000000));
             }
             if (!raw.delay.empty())
                 step.delayMs = requireNumber("--delay", raw.delay, 60000);
             if (!raw.faultRequest.empty())
                 step.faultRequest = byte("--request", raw.faultRequest);
             if (step.endpoint == 0 && !step.faultRequest) {
                 throw UsageError(
                     "fault 0: give --request R, the bRequest of the control requests to hit");
             }
         },
     .run = [](Executor& executor, const Step& step,
               StepResult& r) { report(executor.session().fault(step), r); }},
    {.name = "expect-status",
     .help = "the step before ended with STATUS",
     .kind = Kind::Expectation,
     .options =
         [](CLI::App& c, Step&, RawValues& raw) {
             c.add_option("STATUS", raw.expected, "a name (STATUS_SUCCESS, cancelled) or a number")
                 ->required();
         },
     .convert =
         [](RawValues& raw, Step& step) {
             auto status = parseNtStatus(raw.expected);
             if (!status) {
                 throw UsageError("expect-status: '" + raw.expected +
                                  "' is neither a status name (STATUS_SUCCESS) nor a number");
             }
             step.expectStatus = *status;
         }},
    {.name = "expect-bytes",
     .help = "the step before moved N bytes",
     .kind = Kind::Expectation,
     .options = [](CLI::App& c, Step&,
                   RawValues& raw) { c.add_option("N", raw.expected, "byte count")->required(); },
     .convert = [](RawValues& raw,
                   Step& step) { step.expectBytes = requireNumber("expect-bytes", raw.expected); }},
};

const CommandRow* findCommand(std::string_view name) {
    for (const CommandRow& row : kCommands) {
        if (row.name == name)
            return &row;
    }
    return nullptr;
}

// Whether a command of this kind exists on the command line (or in scripts) of this build.
bool offered(CommandKind kind, bool inScript) {
    switch (kind) {
        case Kind::Instrument:
            return true;
        case Kind::ModelStep:
            return inScript && kToolRunsOnModel;
        case Kind::Expectation:
            return inScript;
        case Kind::Demo:
            return !inScript && kToolRunsOnModel;
        case Kind::Script:
            return !inScript;
    }
    return false;
}

// The values several commands have (transfer options, data, time-out), converted.
void convertCommonValues(RawValues& raw, Step& step) {
    if (!raw.interface.empty())
        step.interface = byte("--interface", raw.interface);
    if (!raw.pipe.empty())
        step.pipe = byte("--pipe", raw.pipe);
    if (!raw.name.empty())
        step.name = raw.name;
    if (!raw.bytes.empty())
        step.bytes = requireNumber("--bytes", raw.bytes, UINT32_MAX);
    if (!raw.outFile.empty())
        step.outFile = raw.outFile;
    if (!raw.inFile.empty())
        step.inFile = raw.inFile;
    if (!raw.data.empty())
        step.data = hexBytes("--data", raw.data);
    if (!raw.timeout.empty())
        step.timeoutMs = requireNumber("--timeout", raw.timeout, 3600000);
    if (!raw.iterations.empty())
        step.iterations = requireNumber("--iterations", raw.iterations, 1000000);
}

// ---- the command line

const char* kDescription =
    kToolRunsOnModel
        ? "vavedu: the instrument's tool. Runs the model of the machine (the platform, the USB bus "
          "and the instrument) with the VaVedu driver and talks to the instrument through the "
          "client library.\nNumbers are decimal or 0x hex."
        : "vavedu: the instrument's tool. Talks to the instrument plugged into this machine "
          "through the VaVedu driver and the client library.\nNumbers are decimal or 0x hex.";

struct Commands {
    std::map<std::string, CLI::App*> byName;
};

// The commands the command line (or a script line) offers, as subcommands in the table's order.
Commands defineCommands(CLI::App& app, Step& step, RawValues& raw, bool script) {
    Commands commands;
    for (const CommandRow& row : kCommands) {
        if (!offered(row.kind, script))
            continue;
        const std::string name(row.name);
        CLI::App* command = app.add_subcommand(name, row.help);
        commands.byName[name] = command;
        if (row.options)
            row.options(*command, step, raw);
    }
    return commands;
}

// Converts the typed values of the command that was given.
void convert(const std::string& command, RawValues& raw, Step& step) {
    convertCommonValues(raw, step);
    const CommandRow* row = findCommand(command);
    if (row && row->convert)
        row->convert(raw, step);
}

// The options that set up the model's machine.
void defineModelOptions(CLI::App& app, GlobalOptions& o, RawValues& raw) {
    app.add_option("--device", o.device,
                   "built-in model (instrument, loopback) or a file of raw descriptors "
                   "(the format of sysfs 'descriptors')")
        ->type_name("NAME|FILE");
    app.add_option("--registry", raw.registry,
                   "NAME=VALUE: a REG_DWORD under the service key before the driver loads")
        ->allow_extra_args(false)
        ->type_name("NAME=VALUE");
    app.add_option("--capture", o.capture, "write a USBPcap capture of the session to FILE.pcap")
        ->type_name("FILE");
    app.add_flag("--trace", o.trace, "print every URB as it is submitted and completed");
    app.add_flag("--log", o.log, "print the driver's debug output as it happens");
}

const char* kModelFooter =
    "Scripts: one step per line, split into words as a POSIX shell does (quotes, backslash, "
    "no expansion), # starts a comment. Steps: every command but demo and script, and\n"
    "  unplug | surprise-remove | plug | stop | start      Plug and Play of the instrument\n"
    "  stall EP | fault EP KIND [--count N] [--delay MS] [--request R]\n"
    "                                                      device faults (KIND: stall, crc, "
    "timeout, not-responding, gone, delay)\n"
    "  expect-status STATUS | expect-bytes N              checks of the step before\n"
    "Exit status: 0 every step succeeded, 1 a step failed, 2 usage error.";

const char* kFooter =
    "Scripts: one step per line, split into words as a POSIX shell does (quotes, backslash, "
    "no expansion), # starts a comment. Steps: every command but script, and\n"
    "  expect-status STATUS | expect-bytes N              checks of the step before\n"
    "Exit status: 0 every step succeeded, 1 a step failed, 2 usage error.";

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& w : words) {
        if (!text.empty())
            text += ' ';
        text += w;
    }
    return text;
}

std::string commandList(const Commands& commands) {
    std::string list;
    for (const auto& [name, app] : commands.byName)
        list += (list.empty() ? "" : ", ") + name;
    return list;
}

// The word that names the command: the first one that is neither a global option nor its value.
std::string commandWord(const std::vector<std::string>& words) {
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w == "--device" || w == "--registry" || w == "--capture") {
            ++i;
        } else if (w.empty() || w[0] != '-') {
            return w;
        }
    }
    return {};
}

void refuseUnknown(const Commands& commands, const std::string& word) {
    if (!word.empty() && !commands.byName.contains(word)) {
        throw UsageError("unknown command '" + word + "' (commands: " + commandList(commands) +
                         ")");
    }
}

std::string commandGiven(const Commands& commands) {
    for (const auto& [name, app] : commands.byName) {
        if (app->parsed())
            return name;
    }
    return {};
}

}  // namespace

Invocation parseCommandLine(int argc, const char* const* argv) {
    Invocation invocation;
    RawValues raw;
    CLI::App app(kDescription, "vavedu");
    GlobalOptions& o = invocation.options;
    if (kToolRunsOnModel)
        defineModelOptions(app, o, raw);
    app.footer(kToolRunsOnModel ? kModelFooter : kFooter);
    app.add_flag("--json", o.json, "one JSON object per result, no decoration");
    app.require_subcommand(1);
    const Commands commands = defineCommands(app, invocation.step, raw, false);
    const std::vector<std::string> words(argv + 1, argv + argc);
    refuseUnknown(commands, commandWord(words));
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        invocation.help = true;
        invocation.helpText = app.help();
        return invocation;
    } catch (const CLI::ParseError& e) {
        // A subcommand's own --help ends up here as well.
        if (e.get_exit_code() == 0) {
            invocation.help = true;
            for (const auto& [name, c] : commands.byName) {
                if (c->parsed())
                    invocation.helpText = c->help();
            }
            if (invocation.helpText.empty())
                invocation.helpText = app.help();
            return invocation;
        }
        throw UsageError(e.what());
    }
    for (const std::string& entry : raw.registry) {
        const size_t equals = entry.find('=');
        if (equals == std::string::npos || equals == 0) {
            throw UsageError("--registry: '" + entry + "' is not NAME=VALUE");
        }
        const std::string name = entry.substr(0, equals);
        o.registry.emplace_back(
            name, static_cast<uint32_t>(
                      requireNumber("--registry " + name, entry.substr(equals + 1), UINT32_MAX)));
    }
    invocation.step.command = commandGiven(commands);
    invocation.step.text = joined(words);
    convert(invocation.step.command, raw, invocation.step);
    return invocation;
}

Step parseScriptStep(const std::vector<std::string>& words) {
    if (words.empty())
        throw UsageError("empty step");
    // The commands that run a whole session cannot run inside one.
    const CommandRow* row = findCommand(words.front());
    if (row && (row->kind == CommandKind::Demo || row->kind == CommandKind::Script))
        throw UsageError("'" + words.front() + "' cannot run inside a script");
    Step step;
    RawValues raw;
    CLI::App app("a step of a script", "vavedu script");
    app.require_subcommand(1);
    const Commands commands = defineCommands(app, step, raw, true);
    refuseUnknown(commands, words.front());
    std::vector<std::string> reversed(words.rbegin(), words.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        throw UsageError(e.get_exit_code() == 0 ? "--help is not a step" : e.what());
    }
    step.command = commandGiven(commands);
    step.text = joined(words);
    convert(step.command, raw, step);
    return step;
}

bool isModelStep(const std::string& command) {
    const CommandRow* row = findCommand(command);
    return row && row->kind == CommandKind::ModelStep;
}

bool isExpectation(const std::string& command) {
    const CommandRow* row = findCommand(command);
    return row && row->kind == CommandKind::Expectation;
}

CommandRoutine commandRoutine(std::string_view command) {
    const CommandRow* row = findCommand(command);
    return row ? row->run : nullptr;
}

}  // namespace vavedu::tool
