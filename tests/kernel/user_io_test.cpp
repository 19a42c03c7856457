// The application side of the I/O manager: file objects and the buffers of reads, writes and
// device I/O control, built as the platform builds them.
#include "tests/kernel/kernel_test.hpp"

#include <thread>
#include <vector>

using namespace ktest;
using namespace std::chrono_literals;

namespace {

ULONG ioctl(ULONG method) {
    return CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, method, FILE_ANY_ACCESS);
}

// What a dispatch routine saw of a request.
struct Seen {
    PMDL mdl = nullptr;
    void* mdlAddress = nullptr;
    ULONG mdlBytes = 0;
    void* systemBuffer = nullptr;
    void* userBuffer = nullptr;
    void* type3 = nullptr;
    ULONG inputLength = 0, outputLength = 0;
    std::u16string fileName;
    bool nameHadBuffer = false;
};

class UserIoTest : public KernelTest {
  protected:
    void SetUp() override {
        driver_ = std::make_unique<TestDriver>(*kernel_, u"App");
        device_ = driver_->createDevice(0, DO_DIRECT_IO);
        driver_->on(IRP_MJ_CREATE, [this](PDEVICE_OBJECT, PIRP irp) {
            PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
            seen_.nameHadBuffer = file->FileName.Buffer != nullptr;
            // Exactly Length bytes: reading them is fine, a terminator is not there.
            seen_.fileName.assign(reinterpret_cast<char16_t*>(file->FileName.Buffer),
                                  file->FileName.Length / 2);
            return complete(irp,
                            seen_.fileName == u"\\REFUSE" ? STATUS_ACCESS_DENIED : STATUS_SUCCESS);
        });
        driver_->on(IRP_MJ_CLOSE,
                    [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); });
        auto record = [this](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
            seen_.mdl = irp->MdlAddress;
            if (irp->MdlAddress) {
                seen_.mdlAddress = MmGetMdlVirtualAddress(irp->MdlAddress);
                seen_.mdlBytes = MmGetMdlByteCount(irp->MdlAddress);
            }
            seen_.systemBuffer = irp->AssociatedIrp.SystemBuffer;
            seen_.userBuffer = irp->UserBuffer;
            seen_.type3 = location->Parameters.DeviceIoControl.Type3InputBuffer;
            seen_.inputLength = location->Parameters.DeviceIoControl.InputBufferLength;
            seen_.outputLength = location->Parameters.DeviceIoControl.OutputBufferLength;
            bool buffered =
                location->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
                METHOD_FROM_CTL_CODE(location->Parameters.DeviceIoControl.IoControlCode) ==
                    METHOD_BUFFERED;
            if (buffered && seen_.outputLength)
                memset(seen_.systemBuffer, 'R', seen_.outputLength);
            return complete(irp, STATUS_SUCCESS, information_);
        };
        driver_->on(IRP_MJ_READ, record);
        driver_->on(IRP_MJ_WRITE, record);
        driver_->on(IRP_MJ_DEVICE_CONTROL, record);
    }
    void TearDown() override {
        driver_.reset();
        KernelTest::TearDown();
    }
    PFILE_OBJECT open(std::u16string_view name = u"") {
        PFILE_OBJECT file = nullptr;
        EXPECT_EQ(kernel_->createFile(device_, name, &file), STATUS_SUCCESS);
        return file;
    }

    std::unique_ptr<TestDriver> driver_;
    PDEVICE_OBJECT device_ = nullptr;
    Seen seen_;
    ULONG_PTR information_ = 0;
};
using UserIoDeathTest = UserIoTest;

TEST_F(UserIoTest, CreateSeesTheNameWithoutTerminator) {
    PFILE_OBJECT file = open(u"\\PIPE_1");
    EXPECT_EQ(seen_.fileName, u"\\PIPE_1");
    EXPECT_EQ(file->FileName.MaximumLength, file->FileName.Length);
    EXPECT_EQ(file->DeviceObject, device_);
    EXPECT_EQ(kernel_->closeFile(file), STATUS_INVALID_DEVICE_REQUEST)
        << "no cleanup routine: the default fails it, the close follows";
    PFILE_OBJECT unnamed = open();
    EXPECT_FALSE(seen_.nameHadBuffer) << "an empty name has no buffer";
    kernel_->closeFile(unnamed);
}

TEST_F(UserIoTest, FailedCreateLeavesNoFileObject) {
    PFILE_OBJECT file = reinterpret_cast<PFILE_OBJECT>(1);
    EXPECT_EQ(kernel_->createFile(device_, u"\\REFUSE", &file), STATUS_ACCESS_DENIED);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(kernel_->checkClean().find("file object"), std::string::npos)
        << kernel_->checkClean();
    EXPECT_EQ(kernel_->counters().outstandingOf(sim::AllocationKind::Irp), 0u);
}

TEST_F(UserIoTest, CreateOnADeletedDevice) {
    PFILE_OBJECT file = open();
    IoDeleteDevice(device_);  // the open file keeps the object
    PFILE_OBJECT second = nullptr;
    EXPECT_EQ(kernel_->createFile(device_, u"", &second), STATUS_DELETE_PENDING);
    kernel_->closeFile(file);
    EXPECT_FALSE(kernel_->deviceObjectExists(device_));
    EXPECT_EQ(kernel_->createFile(device_, u"", &second), STATUS_NO_SUCH_DEVICE);
}

TEST_F(UserIoTest, DirectIoDescribesTheCallersBuffer) {
    PFILE_OBJECT file = open();
    std::vector<char> buffer(10000);
    information_ = 10000;
    auto result = kernel_->read(file, buffer.data(), 10000)->wait();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 10000u);
    ASSERT_NE(seen_.mdl, nullptr);
    EXPECT_EQ(seen_.mdlAddress, buffer.data());
    EXPECT_EQ(seen_.mdlBytes, 10000u);
    information_ = 0;
    kernel_->write(file, buffer.data(), 0)->wait();
    EXPECT_EQ(seen_.mdl, nullptr) << "no MDL for a zero-length transfer";
    kernel_->closeFile(file);
}

TEST_F(UserIoTest, BufferedReadGoesThroughASystemBuffer) {
    device_->Flags = (device_->Flags & ~DO_DIRECT_IO) | DO_BUFFERED_IO;
    PFILE_OBJECT file = open();
    char buffer[16] = {};
    information_ = 0;
    driver_->on(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) {
        memcpy(irp->AssociatedIrp.SystemBuffer, "data", 4);
        return complete(irp, STATUS_SUCCESS, 4);
    });
    auto result = kernel_->read(file, buffer, sizeof buffer)->wait();
    EXPECT_EQ(result.information, 4u);
    EXPECT_EQ(std::string(buffer), "data");
    kernel_->closeFile(file);
}

TEST_F(UserIoTest, DeviceControlBuffersByMethod) {
    PFILE_OBJECT file = open();
    char input[8] = "input", output[16] = {};
    struct Case {
        const char* name;
        ULONG method;
        bool withOutput;
        bool systemBuffer, mdl, type3;
        ULONG_PTR information;
        const char* outputAfter;
    } cases[] = {
        {"buffered", METHOD_BUFFERED, true, true, false, false, 3, "RRR"},
        {"buffered without output buffer", METHOD_BUFFERED, false, true, false, false, 0, ""},
        {"in direct", METHOD_IN_DIRECT, true, true, true, false, 0, ""},
        {"out direct", METHOD_OUT_DIRECT, true, true, true, false, 0, ""},
        {"neither", METHOD_NEITHER, true, false, false, true, 0, ""},
    };
    for (const Case& c : cases) {
        memset(output, 0, sizeof output);
        seen_ = {};
        information_ = c.information;
        void* out = c.withOutput ? output : nullptr;
        ULONG outLength = c.withOutput ? 8 : 0;
        auto result =
            kernel_->deviceIoControl(file, ioctl(c.method), input, 6, out, outLength)->wait();
        EXPECT_EQ(result.status, STATUS_SUCCESS) << c.name;
        EXPECT_EQ(seen_.inputLength, 6u) << c.name;
        EXPECT_EQ(seen_.outputLength, outLength) << c.name;
        EXPECT_EQ(seen_.systemBuffer != nullptr, c.systemBuffer) << c.name;
        EXPECT_EQ(seen_.mdl != nullptr, c.mdl) << c.name;
        if (c.mdl) {
            EXPECT_EQ(seen_.mdlAddress, output) << c.name;
        }
        if (c.type3) {
            EXPECT_EQ(seen_.type3, input) << c.name;
            EXPECT_EQ(seen_.userBuffer, output) << c.name;
        }
        EXPECT_EQ(std::string(output), c.outputAfter) << c.name;
    }
    kernel_->closeFile(file);
}

TEST_F(UserIoTest, AsynchronousRequestAndCancel) {
    PFILE_OBJECT file = open();
    PIRP queued = nullptr;
    driver_->on(IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP irp) {
            IoReleaseCancelSpinLock(irp->CancelIrql);
            complete(irp, STATUS_CANCELLED);
        });
        queued = irp;
        return STATUS_PENDING;
    });
    char buffer[4];
    auto request = kernel_->read(file, buffer, sizeof buffer);
    EXPECT_FALSE(request->completed());
    EXPECT_FALSE(request->waitFor(10ms).has_value());
    EXPECT_TRUE(request->cancel());
    ASSERT_TRUE(request->completed());
    EXPECT_EQ(request->wait().status, STATUS_CANCELLED);
    EXPECT_FALSE(request->cancel()) << "nothing left to cancel";
    kernel_->closeFile(file);
}

TEST_F(UserIoTest, DestroyingAPendingRequestWaitsForIt) {
    PFILE_OBJECT file = open();
    PIRP held = nullptr;
    driver_->on(IRP_MJ_WRITE, [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    std::atomic<bool> completed{false};
    std::thread completer([&] {
        std::this_thread::sleep_for(30ms);
        completed = true;
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        complete(held, STATUS_SUCCESS, 2);
        KeLowerIrql(old);
    });
    {
        char data[2] = {1, 2};
        auto request = kernel_->write(file, data, 2);
    }
    EXPECT_TRUE(completed);
    completer.join();
    kernel_->closeFile(file);
}

TEST_F(UserIoTest, SystemRequestStaysOutsideTheCounters) {
    driver_->on(IRP_MJ_PNP, [](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
        return complete(irp, location->MinorFunction == IRP_MN_START_DEVICE ? STATUS_SUCCESS
                                                                            : irp->IoStatus.Status);
    });
    auto before = kernel_->counters();
    kernel_->setFaultPolicy(sim::FaultPolicy::failNth(1));
    auto start = kernel_->systemRequest(device_, [](PIRP, PIO_STACK_LOCATION location) {
        location->MinorFunction = IRP_MN_START_DEVICE;
    });
    EXPECT_EQ(start->wait().status, STATUS_SUCCESS);
    auto other = kernel_->systemRequest(device_, [](PIRP, PIO_STACK_LOCATION location) {
        location->MinorFunction = IRP_MN_QUERY_PNP_DEVICE_STATE;
    });
    EXPECT_EQ(other->wait().status, STATUS_NOT_SUPPORTED);
    auto after = kernel_->counters();
    EXPECT_EQ(after.allocatedOf(sim::AllocationKind::Irp),
              before.allocatedOf(sim::AllocationKind::Irp));
    EXPECT_EQ(after.failedOf(sim::AllocationKind::Irp), 0u);
    kernel_->setFaultPolicy(sim::FaultPolicy::none());
}

// The I/O manager copies Information bytes into any output pointer the caller gave, even one
// of length 0; without one nothing is copied and nothing can overrun.
TEST_F(UserIoDeathTest, BufferedInformationLargerThanTheOutput) {
    struct Case {
        ULONG outputLength;
        const char* expected;
    } cases[] = {
        {8, "Information 9, more than the 8 bytes of output"},
        {0, "Information 9, more than the 0 bytes of output"},
    };
    for (const Case& c : cases) {
        auto control = [&] {
            PFILE_OBJECT file = open();
            information_ = 9;
            char input[16] = {};
            char output[8];
            kernel_->deviceIoControl(file, ioctl(METHOD_BUFFERED), input, 16, output,
                                     c.outputLength)
                ->wait();
        };
        EXPECT_DEATH(control(), std::string("STOP: 0x000000C4 \\(0x0000000000050001.*") +
                                    c.expected);
    }
}

TEST_F(UserIoTest, BufferedOutputWithoutAnOutputPointerCopiesNothing) {
    PFILE_OBJECT file = open();
    information_ = 9;
    char input[16] = {};
    auto result = kernel_->deviceIoControl(file, ioctl(METHOD_BUFFERED), input, 16, nullptr, 0)
                      ->wait();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 9u);
    kernel_->closeFile(file);
}

TEST_F(UserIoDeathTest, DispatchThatNeitherCompletesNorPends) {
    EXPECT_DEATH(
        {
            PFILE_OBJECT file = open();
            driver_->on(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; });
            char buffer[4];
            kernel_->read(file, buffer, 4);
        },
        "STOP: 0x000000C9.*returned STATUS_SUCCESS without completing the request");
}

TEST_F(UserIoDeathTest, RequestNeverCompletedIsAHang) {
    EXPECT_DEATH(
        {
            kernel_->setHangLimit(50ms);
            PFILE_OBJECT file = open();
            driver_->on(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) {
                IoMarkIrpPending(irp);
                return STATUS_PENDING;
            });
            char buffer[4];
            kernel_->read(file, buffer, 4)->wait();
        },
        "STOP: 0x000000EA.*IRP_MJ_READ of 4 bytes .* was never completed");
}

#ifdef VAVEDU_SANITIZED
TEST_F(UserIoDeathTest, LookingForATerminatorInTheFileNameIsCaught) {
    EXPECT_DEATH(
        {
            driver_->on(IRP_MJ_CREATE, [](PDEVICE_OBJECT, PIRP irp) {
                PCWSTR name = IoGetCurrentIrpStackLocation(irp)->FileObject->FileName.Buffer;
                size_t n = 0;
                while (name[n])
                    ++n;
                return complete(irp, n ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
            });
            open(u"\\PIPE_1");
        },
        "heap-buffer-overflow");
}
#endif

}  // namespace
