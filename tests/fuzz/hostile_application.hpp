// The hostile-application fuzz target: the input is an application working against the standard
// instrument. It opens names (pipe and interface names valid and invalid, arbitrary suffixes),
// sends device-control codes (the driver's, their neighbours with one bit changed, random ones)
// with input and output lengths and buffers of its choice, stores and runs setup packets, reads
// and writes (synchronous and asynchronous, cancelled, waited for or left pending), closes
// handles, and now and then the device stops and starts again or goes away, or an allocation of
// kernel code fails.
//
// Input layout (every read past the end gives 0):
//   u8 flags       bit 0 bulk completion (0 inline, 1 asynchronous: by the host controller when
//                  the input steps it or the thread waits); bits 2-3 how the input ends
//                  (Session::Ending); bit 4 low resources
//   [u8 n]         with bit 4: the n-th allocation of kernel code from the plug-in on fails
//   operations     until the input ends (at most kMaxOperations): the shared ones of
//                  fuzz_actions.hpp, then Operation in the source
#pragma once

#include "tests/fuzz/fuzz_input.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vavedu::fuzz::hostile_application {

// Makes the machine of the process (LLVMFuzzerInitialize), so that the
// images are loaded before libFuzzer counts its modules.
void prepare();
int run(const uint8_t* data, size_t size);
// The seeds of the corpus: typical application sessions.
std::vector<Seed> seeds();
// The end of a replay outside libFuzzer: shuts the machine down; the kernel's findings.
std::string finish();

}  // namespace vavedu::fuzz::hostile_application
