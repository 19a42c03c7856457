// An application's handle: the Win32-shaped calls on one file object.
#include "sim/system/system.hpp"

#include <stdexcept>
#include <utility>

namespace sim {

namespace {
AppResult finish(std::unique_ptr<UserRequest> request) {
    const IoResult result = request->wait();
    return AppResult{result.status, result.information};
}
}  // namespace

Handle::Handle(Kernel& kernel, PFILE_OBJECT file) : kernel_(&kernel), file_(file) {}

Handle::Handle(Handle&& other) noexcept
    : kernel_(other.kernel_), file_(std::exchange(other.file_, nullptr)) {}

Handle& Handle::operator=(Handle&& other) noexcept {
    if (this != &other) {
        if (valid()) {
            close();
        }
        kernel_ = other.kernel_;
        file_ = std::exchange(other.file_, nullptr);
    }
    return *this;
}

Handle::~Handle() {
    if (valid()) {
        close();
    }
}

NTSTATUS Handle::close() {
    if (!valid()) {
        return STATUS_INVALID_HANDLE;
    }
    return kernel_->closeFile(std::exchange(file_, nullptr));
}

AppResult Handle::read(void* buffer, ULONG length) {
    return finish(readAsync(buffer, length));
}

AppResult Handle::write(const void* buffer, ULONG length) {
    return finish(writeAsync(buffer, length));
}

AppResult Handle::deviceIoControl(ULONG code, const void* input, ULONG inputLength, void* output,
                                  ULONG outputLength) {
    return finish(deviceIoControlAsync(code, input, inputLength, output, outputLength));
}

std::unique_ptr<UserRequest> Handle::readAsync(void* buffer, ULONG length) {
    if (!valid())
        throw std::logic_error("read on a closed handle");
    return kernel_->read(file_, buffer, length);
}

std::unique_ptr<UserRequest> Handle::writeAsync(const void* buffer, ULONG length) {
    if (!valid())
        throw std::logic_error("write on a closed handle");
    return kernel_->write(file_, buffer, length);
}

std::unique_ptr<UserRequest> Handle::deviceIoControlAsync(ULONG code, const void* input,
                                                          ULONG inputLength, void* output,
                                                          ULONG outputLength) {
    if (!valid())
        throw std::logic_error("device I/O control on a closed handle");
    return kernel_->deviceIoControl(file_, code, input, inputLength, output, outputLength);
}

}  // namespace sim
