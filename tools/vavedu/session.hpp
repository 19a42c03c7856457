// One session of the tool: the machine it talks to. On Linux that is the model: a fresh kernel,
// the USB bus with one instrument, the driver loaded with the registry values asked for, and the
// capture, trace and debug log options. Commands reach the instrument through platform(); the
// model's own steps (Plug and Play, device faults) are here too.
#pragma once

#include "client/platform.hpp"
#include "tools/vavedu/cli.hpp"

#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {
class System;
namespace usb {
class UsbBus;
struct TraceRecord;
}  // namespace usb
}  // namespace sim

namespace vavedu::tool {

// The session could not be set up (the driver did not load, the capture file cannot be written).
class SessionError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// What the model says at the end: findings (empty when clean) and what was allocated.
struct Verdict {
    std::string findings;
    uint64_t poolBlocks = 0, irps = 0, mdls = 0;        // allocated during the session
    uint64_t poolLeft = 0, irpsLeft = 0, mdlsLeft = 0;  // still allocated at the end
    bool clean() const { return findings.empty(); }
};

// The outcome of a model step.
struct ModelStepResult {
    NtStatus status = kStatusSuccess;
    std::string note;  // what happened, in words
};

class Session {
  public:
    // `echo` receives the --trace and --log lines as they happen. Throws SessionError, or
    // UsageError for a --device that is neither a built-in model nor a readable file.
    Session(const GlobalOptions& options, std::ostream& echo);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    Platform& platform() { return *platform_; }
    // The interface path of the instrument, if one is present and started.
    std::optional<std::string> instrumentPath();
    NtStatus driverLoadStatus() const { return loadStatus_; }
    std::string deviceName() const;

    // ---- the model's steps
    ModelStepResult plug();            // a fresh instrument: AddDevice and start
    ModelStepResult unplug();          // removal in order (query-remove, remove), then detach
    ModelStepResult surpriseRemove();  // the cable is pulled: surprise removal, then removal
    ModelStepResult stop();
    ModelStepResult start();
    ModelStepResult stall(uint8_t endpoint);  // the next transfer stalls; the endpoint stays halted
    ModelStepResult fault(const Step& step);

    // ---- what the bus saw
    uint64_t bulkTransfers() const { return bulkTransfers_.load(); }  // completed bulk URBs
    uint64_t bulkBytes() const { return bulkBytes_.load(); }          // bytes they moved
    std::vector<sim::usb::TraceRecord> traceRecords() const;
    std::vector<std::string> debugOutput() const;
    std::optional<std::filesystem::path> capturePath() const { return capture_; }

    // Removes the instrument, unloads the driver and asks the model for its verdict. Afterwards
    // no step may be run.
    Verdict finish();

    sim::System& system() { return *system_; }
    sim::usb::UsbBus& bus() { return *bus_; }

  private:
    bool present();
    void followInstrument();
    void removeNode();

    GlobalOptions options_;
    std::ostream& echo_;
    // Shared only so that the Windows session, which has no model, needs no complete sim::System.
    std::shared_ptr<sim::System> system_;
    sim::usb::UsbBus* bus_ = nullptr;
    std::unique_ptr<Platform> platform_;
    std::optional<std::filesystem::path> capture_;
    NtStatus loadStatus_ = kStatusSuccess;
    int node_ = -1;
    void* pdo_ = nullptr;
    std::atomic<uint64_t> bulkTransfers_{0};
    std::atomic<uint64_t> bulkBytes_{0};
    int listener_ = 0;
    bool finished_ = false;
    std::optional<Verdict> verdict_;
};

}  // namespace vavedu::tool
