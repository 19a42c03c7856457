// IRPs: completion routines and their order, STATUS_MORE_PROCESSING_REQUIRED, pending
// propagation, threaded requests, cancel, and the I/O rules that stop the machine.
#include "tests/kernel/kernel_test.hpp"

#include <thread>
#include <vector>

using namespace ktest;

namespace {

constexpr ULONG kIoctlBuffered =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

// Completes an IRP from another thread at DISPATCH_LEVEL, as a host controller does.
void completeLater(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    std::thread([=] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        complete(irp, status, information);
        KeLowerIrql(old);
    }).join();
}

struct Trace {
    std::vector<std::string> calls;
    std::vector<PDEVICE_OBJECT> devices;
    std::vector<bool> pendingReturned;
};

NTSTATUS NTAPI recordingRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* entry = static_cast<std::pair<Trace*, const char*>*>(context);
    entry->first->calls.push_back(entry->second);
    entry->first->devices.push_back(device);
    entry->first->pendingReturned.push_back(irp->PendingReturned != FALSE);
    // A routine that lets the completion go on propagates the pending state (not at the top of
    // an IRP its own driver allocated: that location does not exist).
    if (device && irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI stopRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    recordingRoutine(device, irp, context);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A driver's own IRP sent to the lower device `sends` times in all. Nested: each completion
// routine sends the next (one frame deeper each time when the lower device completes inline).
// Looped: the completion routine only stops the walk, and the sender sends again.
struct Resender {
    PDEVICE_OBJECT lower;
    int sends;
    static void prepare(PIRP irp, Resender* self) {
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, nested, self, TRUE, TRUE, TRUE);
    }
    static NTSTATUS NTAPI nested(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* self = static_cast<Resender*>(context);
        if (--self->sends > 0) {
            prepare(irp, self);
            IoCallDriver(self->lower, irp);
        }
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    static NTSTATUS NTAPI stop(PDEVICE_OBJECT, PIRP, PVOID) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
};

// An upper driver attached to a lower one; the lower completes what it is told to.
class IrpTest : public KernelTest {
  protected:
    void SetUp() override {
        lower_ = std::make_unique<TestDriver>(*kernel_, u"Lower");
        upper_ = std::make_unique<TestDriver>(*kernel_, u"Upper");
        lowerDevice_ = lower_->createDevice();
        upperDevice_ = upper_->createDevice();
        ASSERT_EQ(IoAttachDeviceToDeviceStack(upperDevice_, lowerDevice_), lowerDevice_);
        ASSERT_EQ(upperDevice_->StackSize, 2);
    }
    void TearDown() override {
        IoDetachDevice(lowerDevice_);
        upper_.reset();
        lower_.reset();
        KernelTest::TearDown();
    }
    // The upper driver passes requests down with its own completion routine.
    void upperPassesDownWithRoutine(Trace* trace, UCHAR control) {
        upperEntry_ = {trace, "upper"};
        upper_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL, [this, control](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(
                irp, recordingRoutine, &upperEntry_, (control & SL_INVOKE_ON_SUCCESS) != 0,
                (control & SL_INVOKE_ON_ERROR) != 0, (control & SL_INVOKE_ON_CANCEL) != 0);
            return IoCallDriver(lowerDevice_, irp);
        });
    }
    PIRP driverIrp(Trace* trace, PIO_COMPLETION_ROUTINE routine = stopRoutine) {
        PIRP irp = IoAllocateIrp(upperDevice_->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        topEntry_ = {trace, "top"};
        IoSetCompletionRoutine(irp, routine, &topEntry_, TRUE, TRUE, TRUE);
        return irp;
    }

    std::unique_ptr<TestDriver> lower_, upper_;
    PDEVICE_OBJECT lowerDevice_ = nullptr, upperDevice_ = nullptr;
    std::pair<Trace*, const char*> upperEntry_, topEntry_;
    Trace* trace_ = nullptr;
};
using IrpDeathTest = IrpTest;

TEST_F(IrpTest, NewIrpLocations) {
    PIRP irp = IoAllocateIrp(3, FALSE);
    EXPECT_EQ(irp->StackCount, 3);
    EXPECT_EQ(irp->CurrentLocation, 4);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp), reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 2);
    EXPECT_EQ(irp->Size, IoSizeOfIrp(3));
    IoFreeIrp(irp);
}

TEST_F(IrpTest, CompletionRoutinesRunBottomUpWithTheDeviceAbove) {
    Trace trace;
    upperPassesDownWithRoutine(&trace, SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR);
    lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL,
               [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS, 7); });
    PIRP irp = driverIrp(&trace);
    EXPECT_EQ(IoCallDriver(upperDevice_, irp), STATUS_SUCCESS);
    EXPECT_EQ(trace.calls, (std::vector<std::string>{"upper", "top"}));
    EXPECT_EQ(trace.devices, (std::vector<PDEVICE_OBJECT>{upperDevice_, nullptr}));
    EXPECT_EQ(irp->IoStatus.Information, 7u);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, InvokeFlagsChooseWhichRoutinesRun) {
    struct Case {
        const char* name;
        UCHAR control;
        NTSTATUS status;
        bool cancel;
        bool upperRuns;
    } cases[] = {
        {"success, on success", SL_INVOKE_ON_SUCCESS, STATUS_SUCCESS, false, true},
        {"error, on success only", SL_INVOKE_ON_SUCCESS, STATUS_UNSUCCESSFUL, false, false},
        {"error, on error", SL_INVOKE_ON_ERROR, STATUS_UNSUCCESSFUL, false, true},
        {"success, on error only", SL_INVOKE_ON_ERROR, STATUS_SUCCESS, false, false},
        {"cancelled, on cancel", SL_INVOKE_ON_CANCEL, STATUS_CANCELLED, true, true},
        {"cancelled, on success only", SL_INVOKE_ON_SUCCESS, STATUS_CANCELLED, true, false},
    };
    for (const Case& c : cases) {
        Trace trace;
        upperPassesDownWithRoutine(&trace, c.control);
        lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
            if (c.cancel)
                irp->Cancel = TRUE;
            return complete(irp, c.status);
        });
        PIRP irp = driverIrp(&trace);
        IoCallDriver(upperDevice_, irp);
        std::vector<std::string> expected = c.upperRuns ? std::vector<std::string>{"upper", "top"}
                                                        : std::vector<std::string>{"top"};
        EXPECT_EQ(trace.calls, expected) << c.name;
        IoFreeIrp(irp);
    }
}

TEST_F(IrpTest, MoreProcessingRequiredStopsTheWalk) {
    Trace trace;
    upperEntry_ = {&trace, "upper"};
    // The upper driver takes the IRP back, then finishes it itself later.
    upper_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL, [this](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, stopRoutine, &upperEntry_, TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(lowerDevice_, irp);
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(trace_->calls.size(), 1u) << "the walk stopped at the upper routine";
        irp->IoStatus.Information = 99;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    trace_ = &trace;
    lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL,
               [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); });
    PIRP irp = driverIrp(&trace);
    IoCallDriver(upperDevice_, irp);
    EXPECT_EQ(trace.calls, (std::vector<std::string>{"upper", "top"}));
    EXPECT_EQ(irp->IoStatus.Information, 99u);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, PendingPropagatesThroughALocationWithoutRoutine) {
    Trace trace;
    PIRP held = nullptr;
    upper_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL, [this](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);  // no completion routine of its own
        return IoCallDriver(lowerDevice_, irp);
    });
    lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    PIRP irp = driverIrp(&trace);
    EXPECT_EQ(IoCallDriver(upperDevice_, irp), STATUS_PENDING);
    completeLater(held, STATUS_SUCCESS);
    ASSERT_EQ(trace.pendingReturned.size(), 1u);
    EXPECT_TRUE(trace.pendingReturned[0]) << "the mark reached the upper driver's location";
    IoFreeIrp(irp);
}

TEST_F(IrpTest, ThreadedRequestSetsStatusBlockEventAndCopiesOutput) {
    lower_->on(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(location->Parameters.DeviceIoControl.IoControlCode, kIoctlBuffered);
        EXPECT_EQ(location->Parameters.DeviceIoControl.InputBufferLength, 4u);
        EXPECT_EQ(location->Parameters.DeviceIoControl.OutputBufferLength, 8u);
        auto* buffer = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(memcmp(buffer, "abcd", 4), 0);
        memcpy(buffer, "ANSWER!!", 8);
        IoMarkIrpPending(irp);
        completeLater(irp, STATUS_SUCCESS, 6);
        return STATUS_PENDING;
    });
    char input[4] = {'a', 'b', 'c', 'd'};
    char output[8] = {};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(kIoctlBuffered, lowerDevice_, input, 4, output, 8,
                                             FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(IoCallDriver(lowerDevice_, irp), STATUS_PENDING);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 6u);
    EXPECT_EQ(std::string(output, 8), std::string("ANSWER\0\0", 8))
        << "Information bytes copied back";
}

TEST_F(IrpTest, DirectControlRequestDescribesTheOutputWithAnMdl) {
    char output[32] = {};
    lower_->on(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
        EXPECT_NE(irp->MdlAddress, nullptr);
        EXPECT_EQ(MmGetMdlVirtualAddress(irp->MdlAddress), output);
        auto* mapped =
            static_cast<char*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        memcpy(mapped, "direct", 6);
        return complete(irp, STATUS_SUCCESS, 6);
    });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
    PIRP irp = IoBuildDeviceIoControlRequest(code, lowerDevice_, nullptr, 0, output, sizeof output,
                                             FALSE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(lowerDevice_, irp), STATUS_SUCCESS);
    EXPECT_EQ(std::string(output), "direct");
    EXPECT_EQ(iosb.Information, 6u);
}

TEST_F(IrpTest, InternalRequestCarriesItsArgument) {
    int urb = 0;
    lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1, &urb);
        return complete(irp, STATUS_SUCCESS);
    });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, lowerDevice_, nullptr, 0, nullptr, 0, TRUE,
                                             &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    EXPECT_EQ(IoCallDriver(lowerDevice_, irp), STATUS_SUCCESS);
}

// The status block and event of a request from IoBuildDeviceIoControlRequest are set by the
// building thread's APC, and only when the request succeeded or had been pended.
TEST_F(IrpTest, ThreadedRequestReportsOnlySuccessOrAPendedResult) {
    struct Case {
        const char* name;
        NTSTATUS status;
        bool pend;
        bool reported;
    } cases[] = {
        {"success at once", STATUS_SUCCESS, false, true},
        {"failure at once", STATUS_DEVICE_NOT_CONNECTED, false, false},
        {"failure after pending", STATUS_DEVICE_NOT_CONNECTED, true, true},
    };
    for (const Case& c : cases) {
        lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL, [&c](PDEVICE_OBJECT, PIRP irp) {
            if (!c.pend)
                return complete(irp, c.status, 3);
            IoMarkIrpPending(irp);
            completeLater(irp, c.status, 3);
            return STATUS_PENDING;
        });
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{{STATUS_PENDING}, 99};
        PIRP irp = IoBuildDeviceIoControlRequest(0x220003, lowerDevice_, nullptr, 0, nullptr, 0,
                                                 TRUE, &event, &iosb);
        NTSTATUS sent = IoCallDriver(lowerDevice_, irp);
        EXPECT_EQ(sent, c.pend ? STATUS_PENDING : c.status) << c.name;
        if (c.pend)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(KeReadStateEvent(&event) != 0, c.reported) << c.name;
        EXPECT_EQ(iosb.Status, c.reported ? c.status : STATUS_PENDING) << c.name;
        EXPECT_EQ(iosb.Information, c.reported ? 3u : 99u) << c.name;
    }
}

VOID NTAPI cancelQueued(PDEVICE_OBJECT, PIRP irp) {
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_TRUE(irp->Cancel);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    complete(irp, STATUS_CANCELLED);
}

TEST_F(IrpTest, CancelOfAQueuedRequest) {
    PIRP queued = nullptr;
    lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, cancelQueued);
        queued = irp;
        return STATUS_PENDING;
    });
    Trace trace;
    PIRP irp = driverIrp(&trace);
    EXPECT_EQ(IoCallDriver(lowerDevice_, irp), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(trace.calls, (std::vector<std::string>{"top"}));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, CancelOfARequestInFlight) {
    PIRP inFlight = nullptr;
    lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);  // handed to the hardware: no cancel routine
        inFlight = irp;
        return STATUS_PENDING;
    });
    Trace trace;
    upperPassesDownWithRoutine(&trace, SL_INVOKE_ON_CANCEL);
    PIRP irp = driverIrp(&trace);
    EXPECT_EQ(IoCallDriver(upperDevice_, irp), STATUS_PENDING);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    completeLater(inFlight, STATUS_CANCELLED);
    EXPECT_EQ(trace.calls, (std::vector<std::string>{"upper", "top"}));
    IoFreeIrp(irp);
}

TEST_F(IrpTest, DefaultRoutineFailsTheRequest) {
    Trace trace;
    PIRP irp = driverIrp(&trace);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    EXPECT_EQ(IoCallDriver(lowerDevice_, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_INVALID_DEVICE_REQUEST);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, ReusedIrpStartsAfresh) {
    lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL,
               [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); });
    Trace trace;
    PIRP irp = driverIrp(&trace);
    IoCallDriver(lowerDevice_, irp);
    IoReuseIrp(irp, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_UNSUCCESSFUL);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, stopRoutine, &topEntry_, TRUE, TRUE, TRUE);
    IoCallDriver(lowerDevice_, irp);
    EXPECT_EQ(trace.calls.size(), 2u);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, LeakedIrpIsReported) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_NE(kernel_->checkClean().find("leak: IRP"), std::string::npos);
    IoFreeIrp(irp);
}

// Each rule of the I/O manager that stops the machine.
// What the I/O manager allows: invoke flags without a routine call nothing, and a request it
// built may be completed without ever being sent (its final step frees it).
TEST_F(IrpTest, CompletionAtTheLimitsOfTheStack) {
    lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL,
               [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, lowerDevice_, nullptr, 0, nullptr, 0, TRUE,
                                             &event, &iosb);
    IoSetCompletionRoutine(irp, nullptr, nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(lowerDevice_, irp), STATUS_SUCCESS);
    PIRP unsent = IoBuildDeviceIoControlRequest(0x220003, lowerDevice_, nullptr, 0, nullptr, 0,
                                                TRUE, &event, &iosb);
    complete(unsent, STATUS_CANCELLED);
}

// A completion routine may hand its IRP to another thread, which completes it before the routine
// has returned STATUS_MORE_PROCESSING_REQUIRED.
TEST_F(IrpTest, AnotherThreadMayCompleteTheIrpBeforeItsRoutineReturns) {
    lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL,
               [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, lowerDevice_, nullptr, 0, nullptr, 0, TRUE,
                                             &event, &iosb);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP irp, PVOID) {
            std::thread([irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); }).join();
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(lowerDevice_, irp), STATUS_SUCCESS);
}

TEST_F(IrpDeathTest, IoRules) {
    struct Case {
        const char* name;
        std::function<void()> body;
        const char* expected;
    };
    Trace trace;
    std::vector<Case> cases = {
        {"completed twice",
         [&] {
             lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) {
                 complete(irp, STATUS_SUCCESS);
                 return complete(irp, STATUS_SUCCESS);
             });
             IoCallDriver(lowerDevice_, driverIrp(&trace));
         },
         "STOP: 0x00000044.*completed twice"},
        {"completed with a cancel routine set",
         [&] {
             lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) {
                 IoSetCancelRoutine(irp, cancelQueued);
                 return complete(irp, STATUS_SUCCESS);
             });
             IoCallDriver(lowerDevice_, driverIrp(&trace));
         },
         "STOP: 0x000000C9.*cancel routine .* is still set"},
        {"completed with STATUS_PENDING",
         [&] {
             lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL,
                        [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_PENDING); });
             IoCallDriver(lowerDevice_, driverIrp(&trace));
         },
         "STOP: 0x000000C9.*IoStatus.Status is STATUS_PENDING"},
        {"STATUS_PENDING without IoMarkIrpPending, completed at once",
         [&] {
             lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) {
                 complete(irp, STATUS_SUCCESS);
                 return STATUS_PENDING;
             });
             IoCallDriver(lowerDevice_, driverIrp(&trace));
         },
         "STOP: 0x000000C9.*returned STATUS_PENDING without marking"},
        {"STATUS_PENDING without IoMarkIrpPending, completed later",
         [&] {
             PIRP held = nullptr;
             lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
                 held = irp;
                 return STATUS_PENDING;
             });
             IoCallDriver(lowerDevice_, driverIrp(&trace));
             completeLater(held, STATUS_SUCCESS);
         },
         "STOP: 0x000000C9.*returned STATUS_PENDING .*without marking it pending"},
        {"marked pending, returned success",
         [&] {
             lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) {
                 IoMarkIrpPending(irp);
                 return complete(irp, STATUS_SUCCESS);
             });
             IoCallDriver(lowerDevice_, driverIrp(&trace));
         },
         "STOP: 0x000000C9.*returned STATUS_SUCCESS .*marked pending"},
        {"no stack location left",
         [&] {
             // The sender allocated one location; the upper driver needs one for the lower.
             upper_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL, [this](PDEVICE_OBJECT, PIRP irp) {
                 return IoCallDriver(lowerDevice_, irp);
             });
             PIRP irp = IoAllocateIrp(1, FALSE);
             IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
             IoCallDriver(upperDevice_, irp);
         },
         "STOP: 0x00000035.*no stack location left"},
        {"a driver's own IRP completed to the top",
         [&] {
             lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL,
                        [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); });
             IoCallDriver(lowerDevice_, driverIrp(&trace, recordingRoutine));
         },
         "STOP: 0x000000C9.*completed to the top of its stack.*STATUS_MORE_PROCESSING_REQUIRED"},
        {"IoCallDriver above DISPATCH_LEVEL",
         [&] {
             PIRP irp = driverIrp(&trace);
             KIRQL old;
             KeRaiseIrql(HIGH_LEVEL, &old);
             IoCallDriver(lowerDevice_, irp);
         },
         "STOP: 0x000000C9 \\(0x0000000000000010.*IofCallDriver at IRQL 15"},
        {"cancel routine returns holding the cancel spin lock",
         [&] {
             lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) {
                 IoMarkIrpPending(irp);
                 IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
                 return STATUS_PENDING;
             });
             PIRP irp = driverIrp(&trace);
             IoCallDriver(lowerDevice_, irp);
             IoCancelIrp(irp);
         },
         "STOP: 0x000000C9.*returned still holding the cancel spin lock"},
        {"freeing an IRP a driver still holds",
         [&] {
             lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) {
                 IoMarkIrpPending(irp);
                 return STATUS_PENDING;
             });
             PIRP irp = driverIrp(&trace);
             IoCallDriver(lowerDevice_, irp);
             IoFreeIrp(irp);
         },
         "STOP: 0x000000C9.*has not been completed"},
        {"dispatch routine returning at another IRQL",
         [&] {
             lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) {
                 KIRQL old;
                 KeRaiseIrql(DISPATCH_LEVEL, &old);
                 return complete(irp, STATUS_SUCCESS);
             });
             IoCallDriver(lowerDevice_, driverIrp(&trace));
         },
         "STOP: 0x000000C9 \\(0x0000000000000005, .*, 0x0000000000000000, "
         "0x0000000000000002\\).*returned at DISPATCH_LEVEL"},
        {"completion routine returning at another IRQL",
         [&] {
             lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL,
                        [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); });
             IoCallDriver(lowerDevice_, driverIrp(&trace, [](PDEVICE_OBJECT, PIRP, PVOID) {
                              KIRQL old;
                              KeRaiseIrql(DISPATCH_LEVEL, &old);
                              return STATUS_MORE_PROCESSING_REQUIRED;
                          }));
         },
         "STOP: 0x000000C4 \\(0x00000000000000FA.*completion routine .* returned at "
         "DISPATCH_LEVEL"},
        {"completion routine leaving a critical region entered",
         [&] {
             lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL,
                        [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); });
             IoCallDriver(lowerDevice_, driverIrp(&trace, [](PDEVICE_OBJECT, PIRP, PVOID) {
                              KeEnterCriticalRegion();
                              return STATUS_MORE_PROCESSING_REQUIRED;
                          }));
         },
         "STOP: 0x000000C4 \\(0x00000000000000FB.*APC disable count"},
        {"a PASSIVE_LEVEL routine at DISPATCH_LEVEL",
         [&] {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             IoDetachDevice(lowerDevice_);
         },
         "STOP: 0x000000C4 \\(0x00000000000000E5.*IoDetachDevice at DISPATCH_LEVEL "
         "\\(PASSIVE_LEVEL only\\)"},
    };
    for (const auto& c : cases)
        EXPECT_DEATH(c.body(), c.expected) << c.name;
}

TEST_F(IrpDeathTest, BufferedOutputLargerThanTheCallersBuffer) {
    EXPECT_DEATH(
        {
            lower_->on(IRP_MJ_DEVICE_CONTROL,
                       [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS, 9); });
            char output[8];
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            IO_STATUS_BLOCK iosb;
            PIRP irp = IoBuildDeviceIoControlRequest(kIoctlBuffered, lowerDevice_, nullptr, 0,
                                                     output, 8, FALSE, &event, &iosb);
            IoCallDriver(lowerDevice_, irp);
        },
        "STOP: 0x000000C4 \\(0x0000000000050001.*Information 9, more than the 8 bytes of output");
}

// A driver that waits for the event of a request that failed at once waits for ever.
TEST_F(IrpDeathTest, WaitingForTheEventOfARequestThatFailedAtOnceHangs) {
    auto waitUnconditionally = [this] {
        kernel_->setHangLimit(std::chrono::milliseconds(300));
        lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL,
                   [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_UNSUCCESSFUL); });
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(0x220003, lowerDevice_, nullptr, 0, nullptr, 0,
                                                 TRUE, &event, &iosb);
        IoCallDriver(lowerDevice_, irp);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    };
    EXPECT_DEATH(waitUnconditionally(),
                 "STOP: 0x000000EA.*KeWaitForSingleObject without a time-out in .*the wait did "
                 "not end within the hang limit");
}

// A sender that loops keeps the kernel stack flat however many requests the lower driver
// completes inline; one that sends from each completion routine overflows it.
TEST_F(IrpTest, InlineCompletionsInALoopKeepTheKernelStackFlat) {
    lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL,
               [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); });
    PIRP irp = IoAllocateIrp(1, FALSE);
    sim::resetKernelStackPeak();
    for (int i = 0; i < 1000; ++i) {
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, Resender::stop, nullptr, TRUE, TRUE, TRUE);
        IoCallDriver(lowerDevice_, irp);
    }
    EXPECT_LT(sim::kernelStackPeak(), sim::kKernelStackSize / 4);
    IoFreeIrp(irp);
}

TEST_F(IrpDeathTest, SendsNestedInCompletionRoutinesOverflowTheKernelStack) {
    auto sendNested = [this] {
        lower_->on(IRP_MJ_INTERNAL_DEVICE_CONTROL,
                   [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); });
        Resender resender{lowerDevice_, 100};
        PIRP irp = IoAllocateIrp(1, FALSE);
        Resender::prepare(irp, &resender);
        IoCallDriver(lowerDevice_, irp);
    };
    EXPECT_DEATH(
        sendNested(),
        "STOP: 0x0000007F \\(0x0000000000000008.*kernel stack overflow.*frames by routine:"
        ".*20 x completion routine");
}

}  // namespace
