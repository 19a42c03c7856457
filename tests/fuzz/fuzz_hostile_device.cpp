// The hostile-device fuzz target (see hostile_device.hpp).
#include "tests/fuzz/fuzz_target.hpp"
#include "tests/fuzz/hostile_device.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vavedu::fuzz::hostile_device::prepare();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return vavedu::fuzz::hostile_device::run(data, size);
}

std::string vavedu::fuzz::finishTarget() {
    return hostile_device::finish();
}
