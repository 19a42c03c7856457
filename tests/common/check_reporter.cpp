// Makes the model's end-of-test findings (leaks, held locks, images that stayed mapped) fail the
// GoogleTest test that caused them, instead of aborting the process.
#include "sim/kernel/kernel.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

void failCurrentTest(std::string_view findings) {
    ADD_FAILURE() << "the platform model found problems at the end of the test:\n"
                  << std::string(findings);
}

struct InstallReporter {
    InstallReporter() { sim::setCheckFailureReporter(failCurrentTest); }
};

const InstallReporter installReporter;

}  // namespace

// Every executable that links vavedu_testing asks the linker for this symbol, so this object
// (and the reporter it installs at start-up) is never dropped from the archive.
extern "C" __attribute__((visibility("default"))) const int vavedu_testing_check_reporter = 1;
