// The tool's entry point, callable from tests: parses the command line, runs the session and
// returns the exit status (0 every step succeeded, 1 a step failed, 2 usage error).
#pragma once

#include "tools/vavedu/cli.hpp"
#include "tools/vavedu/commands.hpp"
#include "tools/vavedu/report.hpp"
#include "tools/vavedu/session.hpp"

#include <istream>
#include <ostream>

namespace vavedu::tool {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// `terminal`: standard output is a terminal (progress bars are drawn there unless --json).
int runTool(int argc, const char* const* argv, std::istream& in, std::ostream& out,
            std::ostream& err, bool terminal);

// The steps of a script, one per line, in one session. Every line is parsed before the first
// runs, so a usage error runs nothing.
int runScript(std::istream& script, Session& session, Executor& executor, Reporter& reporter,
              std::ostream& err);

// The demo: the product's main job, narrated for someone who has never seen it.
int runDemo(const GlobalOptions& options, std::ostream& out, std::ostream& err, bool terminal);

}  // namespace vavedu::tool
