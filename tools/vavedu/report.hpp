// Results of the tool's steps and how they are printed: a status line with the NTSTATUS as
// 0x%08X and its name and the byte count, then the command's details; or, under --json, one
// object per line with command, status, status_name, information and the command's data.
#pragma once

#include "client/status.hpp"
#include "tools/vavedu/json.hpp"

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace vavedu::tool {

struct StepResult {
    StepResult() = default;
    explicit StepResult(std::string name) : command(std::move(name)) {}

    std::string command;
    NtStatus status = kStatusSuccess;
    uint64_t information = 0;
    std::string note;                // a short explanation on the status line
    std::vector<std::string> lines;  // details, printed indented below it
    JsonObject data;                 // the same details for --json
    bool failed = false;             // set for failures that are not in the status
    // For checks: whether the check held, whatever the status of the step it looked at.
    std::optional<bool> passed;

    bool ok() const { return passed ? *passed : succeeded(status) && !failed; }
};

class Reporter {
  public:
    Reporter(std::ostream& out, bool json) : out_(out), json_(json) {}
    // `line`: the script line the step came from.
    void print(const StepResult& result, std::optional<int> line = std::nullopt);
    bool json() const { return json_; }
    std::ostream& out() { return out_; }

  private:
    std::ostream& out_;
    bool json_;
};

// "STATUS_SUCCESS (0x00000000)"
std::string statusWords(NtStatus status);

}  // namespace vavedu::tool
