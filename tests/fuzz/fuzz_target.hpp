// The entry points every fuzz target defines: libFuzzer's two, and the end of a replay.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace vavedu::fuzz {
// After the last input of a replay outside libFuzzer: stops the target's threads, removes what
// is left and unloads the driver; the kernel's findings (empty when clean).
std::string finishTarget();
// What the last input did (the bus trace and the requests' results, as Machine::runRecord).
std::string lastRunRecord();
}  // namespace vavedu::fuzz
