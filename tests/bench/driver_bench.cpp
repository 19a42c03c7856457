// What the driver costs on the model: bulk throughput through the whole stack (application call,
// I/O manager, driver, bus model, device) against a plain memcpy of the same bytes, latency of
// the control path, two endpoints at once against one, and the allocations of each operation.
#include "tests/bench/bench_machine.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vavedu::bench {
namespace {

using Clock = std::chrono::steady_clock;
using sim::AllocationKind;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of every thread of the process (the application's and the host controller's), in
// seconds: what a transfer costs in processor time, whatever else the machine is doing.
double processCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec * 1e-9;
}

// The plain memcpy bandwidth (bytes per second) of `bytes` between two buffers of that size,
// measured now: the best of several rounds of at least 20 ms each.
double memcpyBandwidth(size_t bytes) {
    std::vector<uint8_t> from(bytes, 0x5A), to(bytes, 0);
    double best = 0;
    for (int round = 0; round < 3; ++round) {
        const auto start = Clock::now();
        uint64_t copied = 0;
        do {
            std::memcpy(to.data(), from.data(), bytes);
            benchmark::ClobberMemory();
            copied += bytes;
        } while (secondsSince(start) < 0.02);
        best = std::max(best, copied / secondsSince(start));
    }
    return best;
}

void check(const sim::AppResult& result, size_t bytes, const char* what) {
    if (result.status != STATUS_SUCCESS || result.information != bytes) {
        throw std::runtime_error(std::string(what) + " failed: " + sim::statusName(result.status) +
                                 ", " + std::to_string(result.information) + " bytes");
    }
}

void perOperation(benchmark::State& state, const sim::AllocationCounters& before,
                  const sim::AllocationCounters& after, double operations) {
    const double n = std::max(operations, 1.0);
    state.counters["pool_per_op"] = grown(before, after, AllocationKind::Pool) / n;
    state.counters["mdl_per_op"] = grown(before, after, AllocationKind::Mdl) / n;
    state.counters["irp_per_op"] = grown(before, after, AllocationKind::Irp) / n;
}

// ---- bulk throughput: args are the request size and the maximum transfer size

void bulk(benchmark::State& state, bool read) {
    const size_t bytes = static_cast<size_t>(state.range(0));
    const uint32_t maxTransfer = static_cast<uint32_t>(state.range(1));
    BenchMachine machine(maxTransfer, bytes);  // the device's rings are as large as a request
    std::vector<uint8_t> buffer(bytes, 0xA5);
    const double memcpyRate = memcpyBandwidth(bytes);
    machine.resetChunks();
    const auto before = machine.counters();
    const double cpuStart = processCpuSeconds();
    const auto start = Clock::now();
    for (auto _ : state) {
        if (read) {
            check(machine.reader().read(buffer.data(), static_cast<ULONG>(bytes)), bytes, "read");
        } else {
            check(machine.writer().write(buffer.data(), static_cast<ULONG>(bytes)), bytes, "write");
        }
        machine.trimTrace();
    }
    const double seconds = secondsSince(start);
    const double cpuSeconds = processCpuSeconds() - cpuStart;
    const auto after = machine.counters();
    const double requests = static_cast<double>(state.iterations());
    const double chunks = static_cast<double>(machine.chunks());
    const double rate = requests * bytes / seconds;
    state.SetBytesProcessed(static_cast<int64_t>(requests * bytes));
    state.counters["MB/s"] = rate / 1e6;
    state.counters["requests/s"] = requests / seconds;
    state.counters["chunks/s"] = chunks / seconds;
    state.counters["chunks_per_request"] = chunks / requests;
    state.counters["memcpy_MB/s"] = memcpyRate / 1e6;
    state.counters["ratio_to_memcpy"] = rate / memcpyRate;
    // The same ratio in processor time: bytes per CPU-second of the whole process.
    state.counters["cpu_ratio_to_memcpy"] = requests * bytes / cpuSeconds / memcpyRate;
    perOperation(state, before, after, requests);
}

void BM_BulkRead(benchmark::State& state) {
    bulk(state, true);
}
void BM_BulkWrite(benchmark::State& state) {
    bulk(state, false);
}

void bulkArguments(benchmark::internal::Benchmark* b) {
    for (int64_t maxTransfer : {16384, 65536, 1 << 20}) {
        for (int64_t bytes : {512, 4096, 16384, 65536, 1 << 20, 16 << 20})
            b->Args({bytes, maxTransfer});
    }
    b->ArgNames({"bytes", "max_transfer"})->UseRealTime()->Unit(benchmark::kMicrosecond);
}
BENCHMARK(BM_BulkRead)->Apply(bulkArguments);
BENCHMARK(BM_BulkWrite)->Apply(bulkArguments);

// The plain memcpy of the same bytes, for the record.
void BM_Memcpy(benchmark::State& state) {
    const size_t bytes = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> from(bytes, 0x5A), to(bytes, 0);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["MB/s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * bytes) / 1e6, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Memcpy)
    ->ArgName("bytes")
    ->Arg(512)
    ->Arg(4096)
    ->Arg(16384)
    ->Arg(65536)
    ->Arg(1 << 20)
    ->Arg(16 << 20)
    ->UseRealTime();

// ---- control path latency: each call timed alone, so the median and the tail are reported

template <class Call>
void latency(benchmark::State& state, BenchMachine& machine, Call call) {
    std::vector<double> samples;
    samples.reserve(1 << 16);
    machine.resetChunks();
    const auto before = machine.counters();
    for (auto _ : state) {
        const auto start = Clock::now();
        call();
        const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        if (samples.size() < samples.capacity())
            samples.push_back(ns);
        machine.trimTrace();
    }
    const auto after = machine.counters();
    std::sort(samples.begin(), samples.end());
    if (!samples.empty()) {
        state.counters["median_us"] = samples[samples.size() / 2] / 1000;
        state.counters["p99_us"] = samples[samples.size() * 99 / 100] / 1000;
    }
    perOperation(state, before, after, static_cast<double>(state.iterations()));
}

void BM_IoctlDriverVersion(benchmark::State& state) {
    BenchMachine machine;
    ULONG version = 0;
    latency(state, machine, [&] {
        check(machine.device().deviceIoControl(IOCTL_BULK_GET_DRIVER_VERSION, nullptr, 0, &version,
                                               sizeof(version)),
              sizeof(version), "driver version");
    });
}
BENCHMARK(BM_IoctlDriverVersion)->Unit(benchmark::kMicrosecond);

void BM_IoctlGetDescriptor(benchmark::State& state) {
    BenchMachine machine;
    VAVEDU_GET_DESCRIPTOR_INPUT input{USB_DEVICE_DESCRIPTOR_TYPE, 0, 0};
    uint8_t descriptor[18] = {};
    latency(state, machine, [&] {
        check(machine.device().deviceIoControl(IOCTL_BULK_GET_DESCRIPTOR, &input, sizeof(input),
                                               descriptor, sizeof(descriptor)),
              sizeof(descriptor), "get descriptor");
    });
}
BENCHMARK(BM_IoctlGetDescriptor)->Unit(benchmark::kMicrosecond);

// IOCTL_BULK_SET_SETUP_PACKET then IOCTL_BULK_CONTROL_TRANSFER: a vendor IN request of 64 bytes.
void BM_ControlTransfer(benchmark::State& state) {
    BenchMachine machine;
    const SETUP_PACKET setup{0xC0, BenchDevice::kVendorRead, 0, 0, 64};
    uint8_t data[64] = {};
    latency(state, machine, [&] {
        check(machine.device().deviceIoControl(IOCTL_BULK_SET_SETUP_PACKET, &setup, sizeof(setup),
                                               nullptr, 0),
              0, "set setup packet");
        check(machine.device().deviceIoControl(IOCTL_BULK_CONTROL_TRANSFER, nullptr, 0, data,
                                               sizeof(data)),
              sizeof(data), "control transfer");
    });
}
BENCHMARK(BM_ControlTransfer)->Unit(benchmark::kMicrosecond);

// ---- two endpoints at once: a read on 0x81 and a write on 0x01 from two threads, against one
// endpoint alone; arg: the request size (maximum transfer size 64 KiB)

constexpr uint32_t kScalingMaxTransfer = 65536;

void BM_OneEndpoint(benchmark::State& state) {
    const size_t bytes = static_cast<size_t>(state.range(0));
    BenchMachine machine(kScalingMaxTransfer);
    std::vector<uint8_t> buffer(bytes);
    const auto start = Clock::now();
    for (auto _ : state) {
        check(machine.reader().read(buffer.data(), static_cast<ULONG>(bytes)), bytes, "read");
        machine.trimTrace();
    }
    const double seconds = secondsSince(start);
    state.counters["MB/s"] = state.iterations() * bytes / seconds / 1e6;
}
BENCHMARK(BM_OneEndpoint)->ArgName("bytes")->Arg(1 << 20)->UseRealTime();

void BM_TwoEndpoints(benchmark::State& state) {
    const size_t bytes = static_cast<size_t>(state.range(0));
    BenchMachine machine(kScalingMaxTransfer);
    std::vector<uint8_t> in(bytes), out(bytes, 0x3C);
    // The writing thread lives for the whole run; each iteration starts both requests together
    // and ends when both are done.
    std::barrier sync(2);
    std::atomic<bool> running{true};
    std::thread writer([&] {
        for (;;) {
            sync.arrive_and_wait();
            if (!running.load())
                return;
            check(machine.writer().write(out.data(), static_cast<ULONG>(bytes)), bytes, "write");
            sync.arrive_and_wait();
        }
    });
    const auto start = Clock::now();
    for (auto _ : state) {
        sync.arrive_and_wait();
        check(machine.reader().read(in.data(), static_cast<ULONG>(bytes)), bytes, "read");
        sync.arrive_and_wait();
        machine.trimTrace();
    }
    const double seconds = secondsSince(start);
    running.store(false);
    sync.arrive_and_wait();
    writer.join();
    state.counters["MB/s"] = 2.0 * state.iterations() * bytes / seconds / 1e6;
}
BENCHMARK(BM_TwoEndpoints)->ArgName("bytes")->Arg(1 << 20)->UseRealTime();

}  // namespace
}  // namespace vavedu::bench

BENCHMARK_MAIN();
