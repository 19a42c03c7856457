// `bench`: the throughput of bulk transfers, in named steps: choose and open the pipes, run the
// requests, report what they moved.
#include "tools/vavedu/commands.hpp"

#include "tools/vavedu/machine.hpp"

#include <chrono>
#include <cstdio>

namespace vavedu::tool {

namespace {

using Clock = std::chrono::steady_clock;

// The pipes a benchmark uses: without --pipe a loopback round trip through pipes 0 (OUT) and 1
// (IN) of the interface; with --pipe that pipe alone, read or written as its direction says.
struct BenchPipes {
    bool loopback = true;
    bool inOnly = false;  // --pipe names an IN pipe
    Device out, in;

    bool writes() const { return loopback || !inOnly; }
    bool reads() const { return loopback || inOnly; }
    const char* mode() const { return loopback ? "loopback" : (inOnly ? "read" : "write"); }
};

// What the requests of a benchmark did.
struct BenchTally {
    uint64_t moved = 0;
    uint64_t requests = 0;
    bool verified = true;  // loopback: every read gave back what was written
    bool timedOut = false;
    double seconds = 0;
    uint64_t chunks = 0;  // bulk URBs on the bus
};

// The endpoint behind pipe `pipe` of interface `interface` in the current configuration and
// alternate setting, as the descriptors say.
std::optional<EndpointDescriptor> pipeEndpoint(Device& device, uint8_t interface, uint8_t pipe) {
    const Reply<DescriptorSet> set = device.descriptors();
    const Reply<uint8_t> configuration = device.configuration();
    const Reply<uint8_t> alternate = device.alternateSetting(interface);
    if (!set.ok() || !configuration.ok())
        return std::nullopt;
    for (const ConfigurationDescriptor& c : set.value.configurations) {
        if (c.configurationValue != configuration.value)
            continue;
        const InterfaceDescriptor* i = c.find(interface, alternate.ok() ? alternate.value : 0);
        if (i && pipe < i->endpoints.size())
            return i->endpoints[pipe];
    }
    return std::nullopt;
}

bool openBenchPipes(Executor& executor, const Step& step, BenchPipes& pipes, StepResult& r) {
    const uint8_t interface = step.interface.value_or(0);
    pipes.loopback = !step.pipe;
    {
        Device d;
        if (!executor.openInstrument("", d, r))
            return false;
        if (step.pipe) {
            const auto e = pipeEndpoint(d, interface, *step.pipe);
            pipes.inOnly = !e || e->in();
        }
    }
    if (!pipes.loopback) {
        return executor.openInstrument(pipeName(*step.pipe, interface),
                                       pipes.inOnly ? pipes.in : pipes.out, r);
    }
    return executor.openInstrument(pipeName(0, interface), pipes.out, r) &&
           executor.openInstrument(pipeName(1, interface), pipes.in, r);
}

// Waits for one request of the benchmark and counts it.
Completion finishRequest(Executor& executor, const Step& step, AsyncTransfer& transfer,
                         ProgressBar& bar, uint64_t busBase, BenchTally& tally, StepResult& r) {
    const Completion c = executor.finishTransfer(transfer, step, bar, busBase, tally.timedOut);
    ++tally.requests;
    tally.moved += c.information;
    takeOutcome(r, c);
    return c;
}

void runRequests(Executor& executor, const Step& step, BenchPipes& pipes, uint64_t length,
                 BenchTally& tally, StepResult& r) {
    const Bytes pattern = testPattern(length);
    const uint64_t total = length * step.iterations * (pipes.loopback ? 2 : 1);
    ProgressBar bar = executor.progressBar("bench", total);
    Session& session = executor.session();
    const uint64_t busBase = session.bulkBytes();
    const uint64_t chunksBase = session.bulkTransfers();
    const auto started = Clock::now();
    for (uint64_t i = 0; i < step.iterations && r.ok(); ++i) {
        tally.timedOut = false;
        if (pipes.writes()) {
            AsyncTransfer w = pipes.out.writeAsync(pattern);
            if (!finishRequest(executor, step, w, bar, busBase, tally, r).ok())
                break;
        }
        if (pipes.reads()) {
            AsyncTransfer rd = pipes.in.readAsync(length);
            const Completion c = finishRequest(executor, step, rd, bar, busBase, tally, r);
            if (pipes.loopback && c.ok())
                tally.verified = tally.verified && rd.data() == pattern;
        }
        if (tally.timedOut)
            r.note = "a request was cancelled after its time-out";
    }
    tally.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    bar.finish();
    tally.chunks = session.bulkTransfers() - chunksBase;
}

void reportBench(const BenchPipes& pipes, const BenchTally& tally, StepResult& r) {
    const double rate =
        tally.seconds > 0 ? static_cast<double>(tally.moved) / tally.seconds / 1e6 : 0;
    r.information = tally.moved;
    char line[160];
    // Only the model sees the bus, so only there are the chunks counted.
    const char* format =
        kToolRunsOnModel ? "%.1f MB/s: %llu bytes in %.3f s, %llu requests, %llu chunks on the bus"
                         : "%.1f MB/s: %llu bytes in %.3f s, %llu requests";
    std::snprintf(line, sizeof line, format, rate, static_cast<unsigned long long>(tally.moved),
                  tally.seconds, static_cast<unsigned long long>(tally.requests),
                  static_cast<unsigned long long>(tally.chunks));
    r.lines.push_back(line);
    if (pipes.loopback) {
        r.lines.push_back(tally.verified ? "every byte came back as sent" : "DATA MISMATCH");
        if (!tally.verified) {
            r.failed = true;
            r.note = "the data read back differs from what was written";
        }
        r.data.add("verified", tally.verified);
    }
    r.data.add("mode", pipes.mode())
        .add("bytes", tally.moved)
        .add("seconds", tally.seconds)
        .add("mb_per_s", rate)
        .add("requests", tally.requests)
        .add("chunks", tally.chunks);
}

}  // namespace

void command::bench(Executor& executor, const Step& step, StepResult& r) {
    if (step.bus) {
        // The command line runs it before any session (tool.cpp): the model holds one machine
        // at a time, and a script's session is one.
        r.failed = true;
        r.note =
            "bench --bus builds machines of its own: give it on the command line, not in a "
            "script";
        return;
    }
    BenchPipes pipes;
    if (!openBenchPipes(executor, step, pipes, r))
        return;
    BenchTally tally;
    runRequests(executor, step, pipes, step.bytes.value_or(uint64_t{1} << 20), tally, r);
    reportBench(pipes, tally, r);
}

}  // namespace vavedu::tool
