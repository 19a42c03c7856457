#include "tools/vavedu/tool.hpp"

#include "tools/vavedu/machine.hpp"

#include <fstream>
#include <memory>

namespace vavedu::tool {

namespace {

struct ScriptLine {
    int number;
    Step step;
};

void usage(std::ostream& err, const std::string& message) {
    err << "vavedu: " << message
        << "\nRun 'vavedu --help' (or 'vavedu COMMAND --help') for usage.\n";
}

// The step an expectation looks at, and whether its failure was expected.
struct Checked {
    bool present = false;
    StepResult result;
    bool expectedFailure = false;
};

StepResult check(const Step& expectation, Checked& last) {
    StepResult r{expectation.command};
    r.status = last.result.status;
    r.information = last.result.information;
    std::string expected, got;
    bool met = false;
    if (expectation.command == "expect-status") {
        met = last.result.status == expectation.expectStatus && !last.result.failed;
        expected = statusWords(expectation.expectStatus);
        got = statusWords(last.result.status);
        if (met)
            last.expectedFailure = true;
        r.data.add("expected", hexStatus(static_cast<uint32_t>(expectation.expectStatus)));
    } else {
        met = last.result.information == expectation.expectBytes;
        expected = std::to_string(expectation.expectBytes) + " bytes";
        got = std::to_string(last.result.information) + " bytes";
        r.data.add("expected", expectation.expectBytes);
    }
    r.data.add("checked", last.result.command).add("met", met);
    r.passed = met;
    if (met) {
        r.note = last.result.command + ": " + expected + " as expected";
    } else {
        r.note = last.result.command + ": expected " + expected + ", got " + got;
    }
    return r;
}

}  // namespace

int runScript(std::istream& script, Session& session, Executor& executor, Reporter& reporter,
              std::ostream& err) {
    (void)session;
    std::vector<ScriptLine> lines;
    std::string text;
    int number = 0;
    bool usageFailed = false;
    while (std::getline(script, text)) {
        ++number;
        try {
            const std::vector<std::string> words = splitWords(text);
            if (words.empty())
                continue;
            Step step = parseScriptStep(words);
            if (isExpectation(step.command) && lines.empty()) {
                throw UsageError(step.command + " needs a step before it");
            }
            lines.push_back({number, std::move(step)});
        } catch (const UsageError& e) {
            err << "vavedu: script line " << number << ": " << e.what() << "\n";
            usageFailed = true;
        }
    }
    if (usageFailed)
        return kExitUsage;

    int steps = 0, failures = 0;
    Checked last;
    auto settle = [&] {
        if (last.present && !last.result.ok() && !last.expectedFailure)
            ++failures;
        last = Checked{};
    };
    for (const ScriptLine& line : lines) {
        if (isExpectation(line.step.command)) {
            const StepResult r = check(line.step, last);
            if (!r.ok())
                ++failures;
            reporter.print(r, line.number);
            continue;
        }
        settle();
        ++steps;
        StepResult r;
        try {
            r = executor.run(line.step);
        } catch (const UsageError& e) {
            err << "vavedu: script line " << line.number << ": " << e.what() << "\n";
            return kExitUsage;
        }
        reporter.print(r, line.number);
        last.present = true;
        last.result = r;
    }
    settle();
    StepResult summary{"script"};
    if (failures > 0)
        summary.status = kStatusUnsuccessful;
    summary.note = std::to_string(steps) + " steps, " + std::to_string(failures) + " failed";
    summary.data.add("steps", steps).add("failures", failures);
    reporter.print(summary);
    return failures > 0 ? kExitFailed : kExitOk;
}

int runTool(int argc, const char* const* argv, std::istream& in, std::ostream& out,
            std::ostream& err, bool terminal) {
    Invocation invocation;
    try {
        invocation = parseCommandLine(argc, argv);
    } catch (const UsageError& e) {
        usage(err, e.what());
        return kExitUsage;
    }
    if (invocation.help) {
        out << invocation.helpText;
        return kExitOk;
    }
    const GlobalOptions& options = invocation.options;
    const Step& step = invocation.step;
    if constexpr (kToolRunsOnModel) {
        if (step.command == "demo")
            return runDemo(options, out, err, terminal);
        if (step.command == "bench" && step.bus) {
            const StepResult result = command::busBench(step, out, terminal && !options.json);
            Reporter(out, options.json).print(result);
            return result.ok() ? kExitOk : kExitFailed;
        }
    }

    std::ifstream scriptFile;
    if (step.command == "script" && step.scriptFile != "-") {
        scriptFile.open(step.scriptFile);
        if (!scriptFile) {
            usage(err, "script: cannot read " + step.scriptFile);
            return kExitUsage;
        }
    }
    std::ostream& echo = options.json ? err : out;
    try {
        Session session(options, echo);
        Reporter reporter(out, options.json);
        if (!succeeded(session.driverLoadStatus())) {
            StepResult load{"load"};
            load.status = session.driverLoadStatus();
            load.note = "DriverEntry failed";
            reporter.print(load);
            session.finish();
            return kExitFailed;
        }
        Executor executor(session, out, terminal && !options.json);
        int code = kExitOk;
        if (step.command == "script") {
            code = runScript(step.scriptFile == "-" ? in : scriptFile, session, executor, reporter,
                             err);
        } else {
            const StepResult result = executor.run(step);
            reporter.print(result);
            code = result.ok() ? kExitOk : kExitFailed;
        }
        const Verdict verdict = session.finish();
        if (!verdict.clean()) {
            err << "vavedu: the model found faults at the end of the session:\n"
                << verdict.findings << "\n";
            if (code == kExitOk)
                code = kExitFailed;
        }
        return code;
    } catch (const UsageError& e) {
        usage(err, e.what());
        return kExitUsage;
    } catch (const std::exception& e) {
        err << "vavedu: " << e.what() << "\n";
        return kExitFailed;
    }
}

}  // namespace vavedu::tool
