#include "tools/vavedu/cli.hpp"

#include "tools/vavedu/command_table.hpp"
#include "tools/vavedu/machine.hpp"

#include <CLI/CLI.hpp>

#include <map>

namespace vavedu::tool {

namespace {

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
    for (const CommandRow& row : commandTable()) {
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

}  // namespace vavedu::tool
