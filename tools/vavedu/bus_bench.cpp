// `bench --bus`: what the driver reaches on a bus timed like USB 2.0, on machines of the model of
// their own (one per "MaximumTransferSize", since the driver reads it at load): reads and writes
// against the bus's bulk limit, the share of the time the bus waits between chunks, and the bound
// two chunks in flight per endpoint would reach. With --pace, a paced stream instead.
#include "tools/vavedu/commands.hpp"

#include "tools/throughput/throughput.hpp"
#include "tools/vavedu/progress.hpp"
#include "tools/vavedu/report.hpp"
#include "tools/vavedu/text.hpp"

#include <cstdio>
#include <exception>

namespace vavedu::tool::command {

namespace {

namespace tp = vavedu::throughput;

std::string percent(double share) {
    char text[16];
    std::snprintf(text, sizeof text, "%.1f%%", share * 100);
    return text;
}

std::string row(const tp::Measurement& m) {
    char line[200];
    std::snprintf(line, sizeof line,
                  "%-5s %8s  max %8s  %5.0f chunks  %6.2f MB/s  %6s  gaps %6s  "
                  "two in flight %6s",
                  m.read ? "read" : "write", humanBytes(m.requestBytes).c_str(),
                  humanBytes(m.maxTransferSize).c_str(), m.chunksPerRequest, m.bytesPerSecond / 1e6,
                  percent(m.shareOfLimit).c_str(), percent(m.gapShare).c_str(),
                  percent(m.twoInFlightShare).c_str());
    return line;
}

JsonObject json(const tp::Measurement& m) {
    JsonObject o;
    o.add("direction", m.read ? "read" : "write")
        .add("bytes", m.requestBytes)
        .add("max_transfer", uint64_t{m.maxTransferSize})
        .add("requests", m.requests)
        .add("chunks_per_request", m.chunksPerRequest)
        .add("mb_per_s", m.bytesPerSecond / 1e6)
        .add("share_of_limit", m.shareOfLimit)
        .add("gap_share", m.gapShare)
        .add("chunk_turnaround_us", double(m.chunkTurnaround.count()) / 1e3)
        .add("two_in_flight_share", m.twoInFlightShare);
    return o;
}

void pacedStream(const Step& step, const tp::BusSetup& setup, StepResult& r) {
    tp::TimedMachine machine(setup, static_cast<double>(*step.pace));
    const uint64_t bytes = step.bytes.value_or(1 << 20);
    const tp::StreamMeasurement m = machine.stream(bytes, static_cast<unsigned>(step.iterations));
    r.information = bytes * step.iterations;
    char line[200];
    std::snprintf(line, sizeof line,
                  "stream paced at %.3f MB/s: carried %.3f MB/s, %s made but not "
                  "yet read at the end",
                  m.pacedBytesPerSecond / 1e6, m.carriedBytesPerSecond / 1e6,
                  humanBytes(m.backlogBytes).c_str());
    r.lines.push_back(line);
    const bool carried = m.carriedBytesPerSecond >= 0.99 * m.pacedBytesPerSecond;
    r.lines.push_back(carried ? "the bus carries the stream"
                              : "the bus does not carry the stream: the instrument falls behind");
    r.data.add("paced_mb_per_s", m.pacedBytesPerSecond / 1e6)
        .add("carried_mb_per_s", m.carriedBytesPerSecond / 1e6)
        .add("backlog_bytes", m.backlogBytes)
        .add("carried", carried);
}

}  // namespace

StepResult busBench(const Step& step, std::ostream& progressOut, bool progress) {
    StepResult r{"bench"};
    const sim::usb::BusSpeed speed = *sim::usb::speedNamed(*step.bus);
    const auto latency = std::chrono::microseconds(step.latencyUs);
    char head[200];
    std::snprintf(head, sizeof head,
                  "%s bus, bulk limit %.3f MB/s, completion latency %llu us, %llu requests each",
                  step.bus->c_str(), sim::usb::bulkLimit(speed) / 1e6,
                  static_cast<unsigned long long>(step.latencyUs),
                  static_cast<unsigned long long>(step.iterations));
    r.lines.push_back(head);
    r.data.add("bus", *step.bus).add("latency_us", step.latencyUs);
    try {
        if (step.pace) {
            pacedStream(step, {speed, latency, step.maxTransfer.value_or(16384)}, r);
            return r;
        }
        const auto sizes =
            step.bytes ? std::vector<uint64_t>{*step.bytes} : tp::reportedRequestSizes();
        const auto maxTransfers = step.maxTransfer ? std::vector<uint32_t>{*step.maxTransfer}
                                                   : tp::reportedMaxTransferSizes();
        ProgressBar bar(progressOut, progress, "bench", 2 * sizes.size() * maxTransfers.size());
        JsonArray rows;
        uint64_t done = 0;
        tp::sweep(speed, latency, sizes, maxTransfers, static_cast<unsigned>(step.iterations),
                  [&](const tp::Measurement& m) {
                      r.information += m.requestBytes * m.requests;
                      r.lines.push_back(row(m));
                      rows.push(json(m));
                      bar.update(++done);
                  });
        bar.finish();
        r.data.add("measurements", rows);
    } catch (const std::exception& e) {
        r.failed = true;
        r.note = e.what();
    }
    return r;
}

}  // namespace vavedu::tool::command
