// Support for the kernel model's tests: a fixture with a fresh kernel, and small test drivers
// whose dispatch routines are C++ lambdas registered on a driver object.
#pragma once

#include "sim/kernel/kernel.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace ktest {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// A driver object whose major functions call the lambdas set with on(); the others keep the
// I/O manager's default routine.
class TestDriver {
  public:
    TestDriver(sim::Kernel& kernel, std::u16string_view name);
    ~TestDriver();
    TestDriver(const TestDriver&) = delete;
    TestDriver& operator=(const TestDriver&) = delete;

    PDRIVER_OBJECT object() const { return driver_; }
    void on(UCHAR major, Dispatch dispatch);
    // A device object of this driver with `extension` bytes; DO_DEVICE_INITIALIZING cleared.
    PDEVICE_OBJECT createDevice(ULONG extension = 0, ULONG flags = 0);
    // Deletes every device of the driver still present (detaching them first).
    void deleteDevices();

  private:
    static NTSTATUS NTAPI trampoline(PDEVICE_OBJECT device, PIRP irp);
    sim::Kernel& kernel_;
    PDRIVER_OBJECT driver_;
    std::map<UCHAR, Dispatch> routines_;
};

// Completes the IRP with a status and byte count, as a dispatch routine does.
inline NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

class KernelTest : public ::testing::Test {
  protected:
    KernelTest();
    ~KernelTest() override;
    void TearDown() override;
    // Skips the end-of-test check (a test that leaves something on purpose).
    void expectUnclean() { checkAtEnd_ = false; }

    std::unique_ptr<sim::Kernel> kernel_;
    bool checkAtEnd_ = true;
};

std::u16string u16(const char* text);

// A pool tag as it reads in a memory dump: poolTag("Leak") is the platform's 'kaeL'.
constexpr ULONG poolTag(const char (&text)[5]) {
    return static_cast<ULONG>(text[0]) | static_cast<ULONG>(text[1]) << 8 |
           static_cast<ULONG>(text[2]) << 16 | static_cast<ULONG>(text[3]) << 24;
}

}  // namespace ktest
