#include "tools/vavedu/cli.hpp"

#include "client/client.hpp"
#include "tools/vavedu/machine.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
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
};

const char* kDescription =
    kToolRunsOnModel
        ? "vavedu: the instrument's tool. Runs the model of the machine (the platform, the USB bus "
          "and the instrument) with the VaVedu driver and talks to the instrument through the "
          "client library.\nNumbers are decimal or 0x hex."
        : "vavedu: the instrument's tool. Talks to the instrument plugged into this machine "
          "through the VaVedu driver and the client library.\nNumbers are decimal or 0x hex.";

void addTransferOptions(CLI::App* c, RawValues& raw, bool withName) {
    c->add_option("--interface", raw.interface, "interface index I (default 0)");
    CLI::Option* pipe = c->add_option("--pipe", raw.pipe, "pipe index P within the interface");
    if (withName) {
        CLI::Option* name =
            c->add_option("--name", raw.name, "file name after the device path, e.g. '\\PIPE_1'");
        pipe->excludes(name);
    }
}

struct Commands {
    std::map<std::string, CLI::App*> byName;
};

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

// The script steps that change the model's machine.
template <typename Add>
void defineModelSteps(Add& add, Step& step, RawValues& raw) {
    add("unplug", "remove the instrument in order (query-remove, remove), then detach it");
    add("surprise-remove", "pull the cable: the instrument goes without warning");
    add("plug", "plug in a fresh instrument");
    add("stop", "stop the instrument (query-stop, stop)");
    add("start", "start the instrument again");
    add("stall", "halt an endpoint until it is reset")
        ->add_option("EP", raw.endpoint, "endpoint address, e.g. 0x81")
        ->required();
    CLI::App* fault = add("fault", "inject a device fault into the next transfers of an endpoint");
    fault->add_option("EP", raw.endpoint, "endpoint address (0 for the default pipe)")->required();
    fault->add_option("KIND", step.faultKind, "stall, crc, timeout, not-responding, gone, delay")
        ->required()
        ->check(CLI::IsMember(
            std::vector<std::string>(std::begin(kFaultKinds), std::end(kFaultKinds))));
    fault->add_option("--count", raw.faultCount, "transfers it hits (1)");
    fault->add_option("--delay", raw.delay, "for delay: milliseconds (100)");
    fault->add_option("--request", raw.faultRequest,
                      "for EP 0: the bRequest of the control requests it hits");
}

Commands defineCommands(CLI::App& app, Step& step, RawValues& raw, bool script) {
    Commands commands;
    auto add = [&](const char* name, const char* help) {
        CLI::App* c = app.add_subcommand(name, help);
        commands.byName[name] = c;
        return c;
    };
    if (!script && kToolRunsOnModel)
        add("demo", "show what the driver does, step by step, on the model");
    add("info", "driver version, banner, USBDI version and the instrument's identity");
    add("descriptors", "the instrument's descriptors, decoded")
        ->add_flag("--raw", step.raw, "also the raw bytes");
    add("list", "the interface paths of the instruments present");

    CLI::App* read = add("read", "read bulk data from a pipe");
    addTransferOptions(read, raw, true);
    read->add_option("--bytes", raw.bytes, "bytes to read")->required();
    read->add_option("--out", raw.outFile, "write the data to FILE");
    read->add_flag("--hex", step.hex, "print all the data as hex");
    read->add_option("--timeout", raw.timeout, "cancel the read after MS milliseconds (5000)");

    CLI::App* write = add("write", "write bulk data to a pipe");
    addTransferOptions(write, raw, true);
    CLI::Option* bytes = write->add_option("--bytes", raw.bytes, "write N bytes of a test pattern");
    CLI::Option* in = write->add_option("--in", raw.inFile, "write the contents of FILE");
    CLI::Option* data = write->add_option("--data", raw.data, "write these bytes (hex)");
    bytes->excludes(in)->excludes(data);
    in->excludes(data);
    write->add_option("--timeout", raw.timeout, "cancel the write after MS milliseconds (5000)");

    CLI::App* control = add("control", "one control transfer on the default pipe");
    control->add_option("BMREQUESTTYPE", raw.requestType, "bmRequestType")->required();
    control->add_option("BREQUEST", raw.request, "bRequest")->required();
    control->add_option("WVALUE", raw.value, "wValue")->required();
    control->add_option("WINDEX", raw.index, "wIndex")->required();
    control->add_option("WLENGTH", raw.length, "wLength")->required();
    control->add_option("--data", raw.data, "data stage of an OUT transfer (hex)");

    CLI::App* ioctl = add("ioctl", "any device-control request, raw");
    ioctl->add_option("CODE", raw.ioctl, "IOCTL name (GET_BANNER) or code (0x22001C)")->required();
    ioctl->add_option("--in", raw.ioctlIn, "input bytes (hex)");
    ioctl->add_option("--out-len", raw.outLength, "output buffer length");

    CLI::App* selectConfig = add("select-config", "select a configuration (0 unconfigures)");
    selectConfig->add_option("VALUE", raw.first, "bConfigurationValue")->required();
    CLI::App* selectInterface = add("select-interface", "select an alternate setting");
    selectInterface->add_option("INTERFACE", raw.first, "interface number")->required();
    selectInterface->add_option("ALTERNATE", raw.second, "alternate setting")->required();
    CLI::App* resetPipe = add("reset-pipe", "reset a pipe and clear its stall");
    resetPipe->add_option("PIPE", raw.first, "pipe index")->required();
    resetPipe->add_option("INTERFACE", raw.second, "interface index")->required();
    add("reset-port",
        "cycle the instrument's port: it leaves and comes back as a new device, so every open "
        "handle ends (open the instrument again afterwards)");
    add("zlp", "zero-length packets after OUT transfers")
        ->add_option("MODE", step.zlp, "on, off or query")
        ->required()
        ->check(CLI::IsMember({"on", "off", "query"}));
    add("last-status", "the USBD status of the driver's last request block");
    add("version", "the driver's version");
    add("banner", "the driver's banner");
    add("usbdi-version", "the USB driver interface's version");

    CLI::App* bench = add("bench", "throughput of bulk transfers");
    addTransferOptions(bench, raw, false);
    bench->add_option("--bytes", raw.bytes, "bytes per request (1 MiB)");
    bench->add_option("--iterations", raw.iterations, "requests (8)");

    if (!script) {
        add("script", "run the steps of FILE (- for standard input) in one session")
            ->add_option("FILE", step.scriptFile, "script file, or - for standard input")
            ->required();
        return commands;
    }
    if (kToolRunsOnModel)
        defineModelSteps(add, step, raw);
    add("expect-status", "the step before ended with STATUS")
        ->add_option("STATUS", raw.expected, "a name (STATUS_SUCCESS, cancelled) or a number")
        ->required();
    add("expect-bytes", "the step before moved N bytes")
        ->add_option("N", raw.expected, "byte count")
        ->required();
    return commands;
}

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

// Converts the typed values of the command that was given.
void convert(const std::string& command, RawValues& raw, Step& step) {
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
    if (!raw.iterations.empty()) {
        step.iterations = requireNumber("--iterations", raw.iterations, 1000000);
    }
    if (command == "read" || command == "write" || command == "bench") {
        if (step.interface && !step.pipe && !step.name) {
            throw UsageError(command +
                             ": --interface needs --pipe P (the pipe indices are those "
                             "'descriptors' lists for the interface)");
        }
    }
    if (command == "write" && !step.bytes && !step.inFile && !step.data) {
        throw UsageError("write: give one of --bytes N, --in FILE or --data HEX");
    }
    if (command == "control") {
        step.setup = makeSetupPacket(byte("BMREQUESTTYPE", raw.requestType),
                                     byte("BREQUEST", raw.request), word("WVALUE", raw.value),
                                     word("WINDEX", raw.index), word("WLENGTH", raw.length));
    }
    if (command == "ioctl") {
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
    }
    if (command == "select-config")
        step.first = byte("VALUE", raw.first);
    if (command == "select-interface") {
        step.first = byte("INTERFACE", raw.first);
        step.second = byte("ALTERNATE", raw.second);
    }
    if (command == "reset-pipe") {
        step.first = byte("PIPE", raw.first);
        step.second = byte("INTERFACE", raw.second);
    }
    if (command == "stall" || command == "fault")
        step.endpoint = byte("EP", raw.endpoint);
    if (!raw.faultCount.empty()) {
        step.faultCount = static_cast<uint32_t>(requireNumber("--count", raw.faultCount, 1000000));
    }
    if (!raw.delay.empty())
        step.delayMs = requireNumber("--delay", raw.delay, 60000);
    if (!raw.faultRequest.empty())
        step.faultRequest = byte("--request", raw.faultRequest);
    if (command == "fault" && step.endpoint == 0 && !step.faultRequest) {
        throw UsageError("fault 0: give --request R, the bRequest of the control requests to hit");
    }
    if (command == "expect-status") {
        auto status = parseNtStatus(raw.expected);
        if (!status) {
            throw UsageError("expect-status: '" + raw.expected +
                             "' is neither a status name (STATUS_SUCCESS) nor a number");
        }
        step.expectStatus = *status;
    }
    if (command == "expect-bytes")
        step.expectBytes = requireNumber("expect-bytes", raw.expected);
}

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
    if (words.front() == "demo" || words.front() == "script") {
        throw UsageError("'" + words.front() + "' cannot run inside a script");
    }
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
    static const char* const kSteps[] = {"unplug", "surprise-remove", "plug", "stop",
                                         "start",  "stall",           "fault"};
    return std::find(std::begin(kSteps), std::end(kSteps), command) != std::end(kSteps);
}

bool isExpectation(const std::string& command) {
    return command == "expect-status" || command == "expect-bytes";
}

}  // namespace vavedu::tool
