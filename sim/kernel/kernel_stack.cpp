// The kernel stack of each thread: what kernel code nests on it, charged frame by frame with the
// sizes such frames have on the platform, against the 24 KiB an x64 thread has (see
// KernelStackFrame in kernel.hpp).
#include "sim/kernel/internal.hpp"

#include <algorithm>
#include <map>

namespace sim {

namespace {

struct ChargedFrame {
    uint32_t bytes;
    const void* routine;
    const char* what;
};

struct ThreadStack {
    uint32_t used = kEntryFrames;
    std::vector<ChargedFrame> frames;
};

thread_local ThreadStack t_stack;

std::string frameText(const ChargedFrame& frame) {
    std::string text = frame.what;
    if (frame.routine)
        text += " " + describeCode(frame.routine);
    return text;
}

// The nested frames, outermost first: the first and last few in full, and how often each
// routine stands in the chain, so a recursion is plain to see.
std::string describeChain(const std::vector<ChargedFrame>& frames) {
    std::string text;
    const size_t n = frames.size();
    for (size_t i = 0; i < n; ++i) {
        if (i == 4 && n > 10) {
            text += "\n      ... " + std::to_string(n - 8) + " more ...";
            i = n - 4;
        }
        text += "\n      " + frameText(frames[i]) + " (" + std::to_string(frames[i].bytes) + ")";
    }
    std::map<std::string, size_t> counts;
    for (const ChargedFrame& frame : frames)
        ++counts[frameText(frame)];
    text += "\n    frames by routine:";
    for (const auto& [routine, count] : counts)
        text += "\n      " + std::to_string(count) + " x " + routine;
    return text;
}

}  // namespace

KernelStackFrame::KernelStackFrame(uint32_t bytes, const void* routine, const char* what) {
    ThreadStack& stack = t_stack;
    stack.frames.push_back({bytes, routine, what});
    stack.used += bytes;
    if (Kernel::Impl* impl = kernelImplOrNull()) {
        uint32_t peak = impl->kernelStackPeak.load(std::memory_order_relaxed);
        while (stack.used > peak && !impl->kernelStackPeak.compare_exchange_weak(peak, stack.used)) {
        }
    }
    if (stack.used > kKernelStackSize)
        bugCheck(UNEXPECTED_KERNEL_MODE_TRAP, EXCEPTION_DOUBLE_FAULT, stack.used, kKernelStackSize,
                 0,
                 "kernel stack overflow: kernel code nested " + std::to_string(stack.frames.size()) +
                     " frames on one thread, " + std::to_string(stack.used) + " bytes of its " +
                     std::to_string(kKernelStackSize) +
                     " (a routine that sends the next request from the completion routine of the "
                     "last one nests once per request when the lower driver completes inline)." +
                     "\n    nested frames, outermost first:" + describeChain(stack.frames));
}

KernelStackFrame::~KernelStackFrame() {
    ThreadStack& stack = t_stack;
    stack.used -= stack.frames.back().bytes;
    stack.frames.pop_back();
}

uint32_t kernelStackInUse() {
    return t_stack.used;
}

uint32_t kernelStackPeak() {
    Kernel::Impl* impl = kernelImplOrNull();
    return impl ? impl->kernelStackPeak.load() : kernelStackInUse();
}

void resetKernelStackPeak() {
    if (Kernel::Impl* impl = kernelImplOrNull())
        impl->kernelStackPeak.store(kernelStackInUse());
}

}  // namespace sim
