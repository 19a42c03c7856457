// The hostile-device fuzz target: the input is a device. It decides the device descriptor and the
// configuration descriptor sets (built from a compact description, then mutated, so most of them
// are nearly well formed and the driver gets past its start), how the device answers each
// control request (the bus holds every request of the default pipe and the target answers it
// while the driver waits for it: let the device carry it out, fail it with a USBD status, return the descriptor
// short or with a byte changed, return bytes of the input, claim another byte count), how bulk
// transfers end (held and completed with a USBD status, data and byte count from the input, or
// carried out by the device), which faults the bus injects, and what an application and the Plug
// and Play manager do meanwhile (with one allocation failing, if it says so): start, configuration
// and interface selection, reads, writes, control transfers, resets, stop and restart, then
// surprise removal or removal.
//
// Input layout (every read past the end gives 0):
//   u8 flags       bits 0-1 bulk completion (0, 1 held, 2 inline, 3 asynchronous: by the host
//                  controller when the input steps it or the thread waits); bit 2 the
//                  input answers the default pipe; bits 3-4 how the input ends (Session::Ending);
//                  bit 5 replay the descriptors through the model's raw-descriptor device;
//                  bit 6 low resources
//   u8 behaviour   how the device itself answers bulk IN and vendor requests
//   [u8 n]         with bit 6: the n-th allocation of kernel code from the plug-in on fails
//   device         u8 bNumConfigurations, u8 n (mod 4) then n x (u8 offset, u8 value)
//   u8 count (mod 5) configuration sets, each as hostile_descriptors.hpp reads it
//   u8 count       answers for the default pipe, in order (see Answer in the source)
//   operations     until the input ends (at most kMaxOperations): the shared ones of
//                  fuzz_actions.hpp, then Operation in the source
#pragma once

#include "tests/fuzz/fuzz_input.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vavedu::fuzz::hostile_device {

// Makes the machine of the process and the answering thread (LLVMFuzzerInitialize), so that the
// images are loaded before libFuzzer counts its modules.
void prepare();
int run(const uint8_t* data, size_t size);
// The seeds of the corpus: the built-in devices with typical sessions.
std::vector<Seed> seeds();
// The end of a replay outside libFuzzer: stops the answering thread and shuts the machine down;
// the kernel's findings (empty when clean).
std::string finish();

}  // namespace vavedu::fuzz::hostile_device
