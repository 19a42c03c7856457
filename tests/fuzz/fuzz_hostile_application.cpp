// The hostile-application fuzz target (see hostile_application.hpp).
#include "tests/fuzz/fuzz_target.hpp"
#include "tests/fuzz/hostile_application.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vavedu::fuzz::hostile_application::prepare();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return vavedu::fuzz::hostile_application::run(data, size);
}

std::string vavedu::fuzz::finishTarget() {
    return hostile_application::finish();
}
