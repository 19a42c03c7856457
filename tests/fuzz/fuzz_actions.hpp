// The actions of an application and of the Plug and Play manager that both fuzz targets take from
// their inputs: closing handles, reads and writes (synchronous or not, cancelled, waited for or
// left in flight), control transfers through the driver's setup-packet requests, device-control
// requests with their results checked, steps of the host controller, stop and restart, queries,
// power and surprise removal.
//
// Each target reads one operation byte per action: the shared operations come first
// (SharedOperation), the target's own follow (kSharedOperations + its own number).
#pragma once

#include "tests/fuzz/fuzz_machine.hpp"

#include <span>
#include <string>

namespace vavedu::fuzz {

enum class SharedOperation : uint8_t {
    Close,            // u8 handle
    Read,             // u8 handle, length, u8 disposition
    Write,            // u8 handle, length, u8 disposition, data
    Cancel,           // u8 request
    Wait,             // u8 request: waits a little for it (a stepped bus runs what is queued)
    Step,             // u8 passes (0: until nothing more completes) of a stepped host controller
    ControlTransfer,  // u8 handle, setup packet, u8 shape, [length], data
    StopStart,        //
    SurpriseRemoval,  //
    QueryStop,        // query-stop, or cancel-stop when stop-pending
    QueryRemove,      // query-remove, or cancel-remove when remove-pending
    Power,            // u8 choice
    kCount
};
inline constexpr uint8_t kSharedOperations = static_cast<uint8_t>(SharedOperation::kCount);

// What becomes of an asynchronous read or write right after it was sent.
enum class Disposition : uint8_t { Leave, CancelNow, WaitThenCancel, Wait, Synchronous, kCount };

// Reads the operation byte: a shared operation (true), or the target's own one of `own` kinds
// in `ownOperation` (false).
bool readOperation(Input& in, uint8_t own, SharedOperation& shared, uint8_t& ownOperation);
// Carries out a shared operation with its arguments from the input.
void runShared(Session& session, SharedOperation op, Input& in);

// ---- pieces of the actions, for the targets' own operations
// A length from a list of the interesting ones (packet and page boundaries); choices from 0xF0
// read a u16.
ULONG length(Input& in);
// Data for a buffer of `n` bytes: the input's next bytes (u8 count first), then a pattern.
Bytes data(Input& in, size_t n);
std::u16string number(uint32_t n);
// An open handle (choices below 0xF0), or one for device control (opened without a name).
sim::Handle* handleFor(Session& session, uint8_t choice);
// A device-control request, synchronous or (with room) left in flight until the end of the
// input; the byte count must fit the output buffer.
void deviceControl(Session& session, sim::Handle* handle, ULONG code,
                   std::span<const uint8_t> input, ULONG outputLength, bool async);

// ---- seeds in the same layout
inline InputWriter& op(InputWriter& w, SharedOperation o) {
    return w.u8(static_cast<uint8_t>(o));
}
template <class Own>
InputWriter& ownOp(InputWriter& w, Own o) {
    return w.u8(kSharedOperations + static_cast<uint8_t>(o));
}
// Choices of length() for the lengths seeds use.
enum LengthChoice : uint8_t {
    kLen0 = 0,
    kLen1,
    kLen2,
    kLen4,
    kLen8,
    kLen18,
    kLen63,
    kLen64,
    kLen65,
    kLen255,
    kLen511,
    kLen512,
    kLen513,
    kLen1024,
    kLen4096,
    kLen4097,
    kLen8192,
    kLen16384,
    kLen16385,
    kLen40000,
};
// A read or write of the seeds: handle, length choice, disposition (and no data of the input).
InputWriter& transferOp(InputWriter& w, bool read, uint8_t handle, LengthChoice n,
                        Disposition disposition);
// A control transfer of the seeds on the device-control handle, buffers as the packet says.
InputWriter& controlOp(InputWriter& w, uint8_t requestType, uint8_t request, uint16_t value,
                       uint16_t index, LengthChoice n);

}  // namespace vavedu::fuzz
