// A fixed workload for counting the driver's own instructions under callgrind: loads the driver
// with a maximum transfer size, plugs in the benchmark device and reads (or writes) a number of
// requests of one size. scripts/callgrind-driver-cost.py runs it with two request counts and two
// chunk counts and takes the differences, so start-up and shut-down cancel out.
//
//   vavedu_driver_cost read|write BYTES MAX_TRANSFER REQUESTS
#include "tests/bench/bench_machine.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s read|write BYTES MAX_TRANSFER REQUESTS\n", argv[0]);
        return 2;
    }
    const bool read = std::string(argv[1]) == "read";
    const auto bytes = static_cast<ULONG>(std::strtoul(argv[2], nullptr, 0));
    const auto maxTransfer = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 0));
    const unsigned long requests = std::strtoul(argv[4], nullptr, 0);

    vavedu::bench::BenchMachine machine(maxTransfer);
    std::vector<uint8_t> buffer(bytes, 0x5A);
    for (unsigned long i = 0; i < requests; ++i) {
        const sim::AppResult result = read ? machine.reader().read(buffer.data(), bytes)
                                           : machine.writer().write(buffer.data(), bytes);
        if (result.status != STATUS_SUCCESS || result.information != bytes) {
            std::fprintf(stderr, "request %lu: %s, %lu bytes\n", i,
                         sim::statusName(result.status).c_str(),
                         static_cast<unsigned long>(result.information));
            return 1;
        }
        machine.trimTrace();
    }
    std::printf("%lu requests, %llu chunks\n", requests,
                static_cast<unsigned long long>(machine.chunks()));
    return 0;
}
