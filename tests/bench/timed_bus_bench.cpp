// What reads and writes reach on a high-speed bus timed like USB 2.0 at the default completion
// latency, against its bulk limit of 53.248 MB/s (tools/throughput): the figures come from the
// bus's virtual clock, so they do not depend on this machine's speed beyond the driver's own time.
#include "tools/throughput/throughput.hpp"

#include <benchmark/benchmark.h>

namespace vavedu::bench {
namespace {

namespace tp = vavedu::throughput;

void timed(benchmark::State& state, bool read) {
    const uint64_t bytes = static_cast<uint64_t>(state.range(0));
    const uint32_t maxTransfer = static_cast<uint32_t>(state.range(1));
    tp::TimedMachine machine(
        {tp::BusSpeed::High, sim::usb::kDefaultCompletionLatency, maxTransfer});
    tp::Measurement m;
    for (auto _ : state) {
        auto [writes, reads] = machine.measure(bytes, 1);
        m = read ? reads : writes;
    }
    state.counters["bus_MB/s"] = m.bytesPerSecond / 1e6;
    state.counters["share_of_limit"] = m.shareOfLimit;
    state.counters["gap_share"] = m.gapShare;
    state.counters["two_in_flight_share"] = m.twoInFlightShare;
    state.counters["chunk_turnaround_us"] = double(m.chunkTurnaround.count()) / 1e3;
}

void BM_TimedBusRead(benchmark::State& state) {
    timed(state, true);
}
void BM_TimedBusWrite(benchmark::State& state) {
    timed(state, false);
}

// Every request size from 64 KiB to 16 MiB at every maximum transfer size from 4 KiB to 4 MiB.
void timedArguments(benchmark::internal::Benchmark* b) {
    for (const uint32_t maxTransfer : tp::reportedMaxTransferSizes()) {
        for (const uint64_t bytes : tp::reportedRequestSizes())
            b->Args({static_cast<int64_t>(bytes), static_cast<int64_t>(maxTransfer)});
    }
    b->ArgNames({"bytes", "max_transfer"})->Iterations(2)->Unit(benchmark::kMillisecond);
}
BENCHMARK(BM_TimedBusRead)->Apply(timedArguments);
BENCHMARK(BM_TimedBusWrite)->Apply(timedArguments);

}  // namespace
}  // namespace vavedu::bench
