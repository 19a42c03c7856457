// Bug checks: the model stops the machine as the platform does when kernel code breaks a rule,
// with the platform's code and parameters, a reason a developer can act on, the last lines of
// debug output and the host backtrace.
#include "sim/kernel/internal.hpp"

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace sim {

std::string hex(uint64_t value) {
    char text[24];
    snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string describeIrql(KIRQL irql) {
    switch (irql) {
        case PASSIVE_LEVEL:
            return "PASSIVE_LEVEL";
        case APC_LEVEL:
            return "APC_LEVEL";
        case DISPATCH_LEVEL:
            return "DISPATCH_LEVEL";
        default:
            return "IRQL " + std::to_string(irql);
    }
}

std::string majorFunctionName(UCHAR major) {
    static const char* const names[] = {"IRP_MJ_CREATE",
                                        "IRP_MJ_CREATE_NAMED_PIPE",
                                        "IRP_MJ_CLOSE",
                                        "IRP_MJ_READ",
                                        "IRP_MJ_WRITE",
                                        "IRP_MJ_QUERY_INFORMATION",
                                        "IRP_MJ_SET_INFORMATION",
                                        "IRP_MJ_QUERY_EA",
                                        "IRP_MJ_SET_EA",
                                        "IRP_MJ_FLUSH_BUFFERS",
                                        "IRP_MJ_QUERY_VOLUME_INFORMATION",
                                        "IRP_MJ_SET_VOLUME_INFORMATION",
                                        "IRP_MJ_DIRECTORY_CONTROL",
                                        "IRP_MJ_FILE_SYSTEM_CONTROL",
                                        "IRP_MJ_DEVICE_CONTROL",
                                        "IRP_MJ_INTERNAL_DEVICE_CONTROL",
                                        "IRP_MJ_SHUTDOWN",
                                        "IRP_MJ_LOCK_CONTROL",
                                        "IRP_MJ_CLEANUP",
                                        "IRP_MJ_CREATE_MAILSLOT",
                                        "IRP_MJ_QUERY_SECURITY",
                                        "IRP_MJ_SET_SECURITY",
                                        "IRP_MJ_POWER",
                                        "IRP_MJ_SYSTEM_CONTROL",
                                        "IRP_MJ_DEVICE_CHANGE",
                                        "IRP_MJ_QUERY_QUOTA",
                                        "IRP_MJ_SET_QUOTA",
                                        "IRP_MJ_PNP"};
    if (major <= IRP_MJ_MAXIMUM_FUNCTION)
        return names[major];
    return "major function " + hex(major);
}

void requirePassive(const char* routine, const void* caller) {
    if (currentIrql() != PASSIVE_LEVEL)
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kVerifierApiAtWrongIrql, currentIrql(), 0, 0,
                 std::string(routine) + " at " + describeIrql(currentIrql()) +
                     " (PASSIVE_LEVEL only), called by " + describeCode(caller));
}

namespace {

const char* bugCheckName(ULONG code) {
    switch (code) {
        case IRQL_NOT_GREATER_OR_EQUAL:
            return "IRQL_NOT_GREATER_OR_EQUAL";
        case IRQL_NOT_LESS_OR_EQUAL:
            return "IRQL_NOT_LESS_OR_EQUAL";
        case UNEXPECTED_KERNEL_MODE_TRAP:
            return "UNEXPECTED_KERNEL_MODE_TRAP";
        case NO_MORE_IRP_STACK_LOCATIONS:
            return "NO_MORE_IRP_STACK_LOCATIONS";
        case MULTIPLE_IRP_COMPLETE_REQUESTS:
            return "MULTIPLE_IRP_COMPLETE_REQUESTS";
        case PAGE_FAULT_IN_NONPAGED_AREA:
            return "PAGE_FAULT_IN_NONPAGED_AREA";
        case BAD_POOL_CALLER:
            return "BAD_POOL_CALLER";
        case DRIVER_VERIFIER_DETECTED_VIOLATION:
            return "DRIVER_VERIFIER_DETECTED_VIOLATION";
        case DRIVER_CORRUPTED_EXPOOL:
            return "DRIVER_CORRUPTED_EXPOOL";
        case DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS:
            return "DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS";
        case DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS:
            return "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS";
        case DRIVER_VERIFIER_IOMANAGER_VIOLATION:
            return "DRIVER_VERIFIER_IOMANAGER_VIOLATION";
        case DRIVER_POWER_STATE_FAILURE:
            return "DRIVER_POWER_STATE_FAILURE";
        case MANUALLY_INITIATED_CRASH:
            return "MANUALLY_INITIATED_CRASH";
        case THREAD_STUCK_IN_DEVICE_DRIVER:
            return "THREAD_STUCK_IN_DEVICE_DRIVER";
        case SPIN_LOCK_ALREADY_OWNED:
            return "SPIN_LOCK_ALREADY_OWNED";
        case SPIN_LOCK_NOT_OWNED:
            return "SPIN_LOCK_NOT_OWNED";
        default:
            return "";
    }
}

// The last lines of debug output, without waiting for a lock another thread may hold while it
// crashed.
std::string recentDebugOutput() {
    Kernel::Impl* impl = kernelImplOrNull();
    if (!impl)
        return {};
    std::unique_lock lock(impl->debugMutex, std::try_to_lock);
    if (!lock.owns_lock())
        return {};
    std::string out;
    size_t n = impl->debugLines.size();
    for (size_t i = n > 8 ? n - 8 : 0; i < n; ++i)
        out += "  | " + impl->debugLines[i] + "\n";
    if (!impl->partialLine.empty())
        out += "  | " + impl->partialLine + "\n";
    return out;
}

std::atomic<bool> g_stopping{false};

}  // namespace

[[noreturn]] void bugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                           std::string_view reason) {
    // A second bug check while the first is being reported (another thread) waits for the end.
    if (g_stopping.exchange(true)) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    std::string text;
    char head[160];
    snprintf(head, sizeof head, "\n*** STOP: 0x%08X (0x%016llX, 0x%016llX, 0x%016llX, 0x%016llX)\n",
             code, static_cast<unsigned long long>(p1), static_cast<unsigned long long>(p2),
             static_cast<unsigned long long>(p3), static_cast<unsigned long long>(p4));
    text += head;
    if (const char* name = bugCheckName(code); *name)
        text += std::string("*** ") + name + "\n";
    text += "*** ";
    text += reason;
    text += "\n";
    if (std::string recent = recentDebugOutput(); !recent.empty())
        text += "Last debug output:\n" + recent;
    text += "Host backtrace:\n" + hostBacktrace(2);
    fputs(text.c_str(), stderr);
    fflush(stderr);
    std::abort();
}

}  // namespace sim

using namespace sim;

extern "C" VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                                   ULONG_PTR P4) {
    bugCheck(BugCheckCode, P1, P2, P3, P4,
             "KeBugCheckEx called by kernel code at " + describeCode(__builtin_return_address(0)));
}
