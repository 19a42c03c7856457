// The client's platform on Linux: the application calls of the model's machine.
#include "client/platform.hpp"

#include "pcdriver/bulk/vavedu_ioctl.h"
#include "sim/system/system.hpp"

namespace vavedu {

namespace {

IoCompletion fromModel(const sim::IoResult& result) {
    return {static_cast<NtStatus>(result.status), static_cast<uint64_t>(result.information)};
}

IoCompletion fromModel(const sim::AppResult& result) {
    return {static_cast<NtStatus>(result.status), static_cast<uint64_t>(result.information)};
}

class ModelRequest final : public PlatformRequest {
  public:
    explicit ModelRequest(std::unique_ptr<sim::UserRequest> request)
        : request_(std::move(request)) {}
    bool completed() const override { return request_->completed(); }
    IoCompletion wait() override { return fromModel(request_->wait()); }
    std::optional<IoCompletion> waitFor(std::chrono::milliseconds timeout) override {
        auto result = request_->waitFor(timeout);
        if (!result)
            return std::nullopt;
        return fromModel(*result);
    }
    bool cancel() override { return request_->cancel(); }

  private:
    std::unique_ptr<sim::UserRequest> request_;
};

class ModelFile final : public PlatformFile {
  public:
    explicit ModelFile(sim::Handle handle) : handle_(std::move(handle)) {}
    IoCompletion read(void* buffer, uint32_t length) override {
        return fromModel(handle_.read(buffer, length));
    }
    IoCompletion write(const void* buffer, uint32_t length) override {
        return fromModel(handle_.write(buffer, length));
    }
    IoCompletion deviceIoControl(uint32_t code, const void* input, uint32_t inputLength,
                                 void* output, uint32_t outputLength) override {
        return fromModel(handle_.deviceIoControl(code, input, inputLength, output, outputLength));
    }
    std::unique_ptr<PlatformRequest> readAsync(void* buffer, uint32_t length) override {
        return std::make_unique<ModelRequest>(handle_.readAsync(buffer, length));
    }
    std::unique_ptr<PlatformRequest> writeAsync(const void* buffer, uint32_t length) override {
        return std::make_unique<ModelRequest>(handle_.writeAsync(buffer, length));
    }
    NtStatus close() override { return handle_.valid() ? handle_.close() : kStatusSuccess; }

  private:
    sim::Handle handle_;
};

class ModelPlatform final : public Platform {
  public:
    explicit ModelPlatform(sim::System& system) : system_(system) {}
    std::vector<std::string> interfacePaths() override {
        const GUID guid = VAVEDU_INTERFACE_GUID_INIT;
        std::vector<std::string> paths;
        for (const std::u16string& path : system_.interfacePaths(guid)) {
            paths.push_back(sim::toUtf8(path));
        }
        return paths;
    }
    NtStatus open(const std::string& path, std::unique_ptr<PlatformFile>* file) override {
        sim::Handle handle;
        const NTSTATUS status = system_.open(sim::toU16(path), &handle);
        if (status >= 0 && handle.valid())
            *file = std::make_unique<ModelFile>(std::move(handle));
        return static_cast<NtStatus>(status);
    }

  private:
    sim::System& system_;
};

}  // namespace

std::unique_ptr<Platform> modelPlatform(sim::System& system) {
    return std::make_unique<ModelPlatform>(system);
}

}  // namespace vavedu
