#include "tools/vavedu/report.hpp"

namespace vavedu::tool {

std::string statusWords(NtStatus status) {
    return ntStatusText(status) + " (" + hexStatus(static_cast<uint32_t>(status)) + ")";
}

void Reporter::print(const StepResult& result, std::optional<int> line) {
    if (json_) {
        JsonObject o;
        if (line)
            o.add("line", *line);
        o.add("command", result.command)
            .add("status", hexStatus(static_cast<uint32_t>(result.status)))
            .add("status_name", ntStatusText(result.status))
            .add("information", result.information)
            .add("ok", result.ok());
        if (!result.note.empty())
            o.add("note", result.note);
        o.merge(result.data);
        out_ << o.str() << "\n" << std::flush;
        return;
    }
    std::string head = line ? "[" + std::to_string(*line) + "] " : "";
    head += result.command + ": " + statusWords(result.status) + ", " +
            std::to_string(result.information) + (result.information == 1 ? " byte" : " bytes");
    if (!result.note.empty())
        head += " - " + result.note;
    out_ << head << "\n";
    for (const std::string& detail : result.lines)
        out_ << "  " << detail << "\n";
    out_ << std::flush;
}

}  // namespace vavedu::tool
