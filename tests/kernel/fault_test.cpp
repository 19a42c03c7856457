// The low-resource policy: every allocation kind, every policy, and the run-once-per-site recipe.
#include "tests/kernel/kernel_test.hpp"

#include <vector>

using namespace ktest;
using sim::AllocationKind;
using sim::FaultPolicy;

namespace {

class FaultTest : public KernelTest {
  protected:
    void SetUp() override {
        driver_ = std::make_unique<TestDriver>(*kernel_, u"Fault");
        device_ = driver_->createDevice();
    }
    void TearDown() override {
        driver_.reset();
        KernelTest::TearDown();
    }
    std::unique_ptr<TestDriver> driver_;
    PDEVICE_OBJECT device_ = nullptr;
};

// A scenario with one allocation of each kind a driver sees fail; returns how many failed.
__attribute__((noinline)) int allocateOneOfEach(PDEVICE_OBJECT device) {
    int failures = 0;
    char buffer[64];
    void* pool = ExAllocatePool(NonPagedPool, 16);
    failures += pool == nullptr;
    if (pool)
        ExFreePool(pool);
    PIRP irp = IoAllocateIrp(2, FALSE);
    failures += irp == nullptr;
    if (irp)
        IoFreeIrp(irp);
    PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
    failures += mdl == nullptr;
    if (mdl)
        IoFreeMdl(mdl);
    PDEVICE_OBJECT extra = nullptr;
    NTSTATUS status =
        IoCreateDevice(device->DriverObject, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &extra);
    failures += status == STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(status))
        IoDeleteDevice(extra);
    return failures;
}

TEST_F(FaultTest, CountersPerKind) {
    EXPECT_EQ(allocateOneOfEach(device_), 0);
    auto c = kernel_->counters();
    EXPECT_EQ(c.allocatedOf(AllocationKind::Pool), 1u);
    EXPECT_EQ(c.allocatedOf(AllocationKind::Irp), 1u);
    EXPECT_EQ(c.allocatedOf(AllocationKind::Mdl), 1u);
    EXPECT_EQ(c.allocatedOf(AllocationKind::DeviceObject), 2u);  // with the fixture's device
    EXPECT_EQ(c.outstandingOf(AllocationKind::DeviceObject), 1u);
    for (int k = 0; k < sim::kAllocationKinds; ++k)
        EXPECT_EQ(c.failed[k], 0u);
}

TEST_F(FaultTest, FailNthCountsEveryKind) {
    for (uint64_t n = 1; n <= 4; ++n) {
        kernel_->setFaultPolicy(FaultPolicy::failNth(n));
        EXPECT_EQ(allocateOneOfEach(device_), 1) << "n = " << n;
    }
    kernel_->setFaultPolicy(FaultPolicy::failNth(5));
    EXPECT_EQ(allocateOneOfEach(device_), 0);
}

TEST_F(FaultTest, FailNthOfOneKind) {
    struct Case {
        AllocationKind kind;
    } cases[] = {{AllocationKind::Pool},
                 {AllocationKind::Irp},
                 {AllocationKind::Mdl},
                 {AllocationKind::DeviceObject}};
    for (const Case& c : cases) {
        auto before = kernel_->counters();
        kernel_->setFaultPolicy(FaultPolicy::failNth(1, c.kind));
        EXPECT_EQ(allocateOneOfEach(device_), 1) << sim::toString(c.kind);
        auto after = kernel_->counters();
        EXPECT_EQ(after.failedOf(c.kind) - before.failedOf(c.kind), 1u) << sim::toString(c.kind);
    }
}

TEST_F(FaultTest, EverySiteFailsInTurn) {
    kernel_->resetSitesReached();
    allocateOneOfEach(device_);
    std::vector<sim::AllocationSite> sites = kernel_->sitesReached();
    ASSERT_EQ(sites.size(), 4u);
    for (const auto& site : sites) {
        EXPECT_NE(site.describe().find("allocateOneOfEach"), std::string::npos) << site.describe();
        kernel_->setFaultPolicy(FaultPolicy::failSite(site));
        EXPECT_EQ(allocateOneOfEach(device_), 1) << site.describe();
        EXPECT_EQ(allocateOneOfEach(device_), 1) << "every time: " << site.describe();
    }
    kernel_->setFaultPolicy(FaultPolicy::failSite(sites[0], 1));
    EXPECT_EQ(allocateOneOfEach(device_), 1);
    EXPECT_EQ(allocateOneOfEach(device_), 0) << "only the first time";
}

TEST_F(FaultTest, RandomIsRepeatableForASeed) {
    auto run = [&](uint64_t seed) {
        kernel_->setFaultPolicy(FaultPolicy::random(0.5, seed, AllocationKind::Pool));
        std::vector<bool> outcome;
        for (int i = 0; i < 64; ++i) {
            void* p = ExAllocatePool(NonPagedPool, 8);
            outcome.push_back(p == nullptr);
            if (p)
                ExFreePool(p);
        }
        return outcome;
    };
    auto first = run(42);
    EXPECT_EQ(first, run(42));
    EXPECT_NE(first, run(43));
    size_t failures = std::count(first.begin(), first.end(), true);
    EXPECT_GT(failures, 10u);
    EXPECT_LT(failures, 54u);
    kernel_->setFaultPolicy(FaultPolicy::random(1.0, 1, AllocationKind::Irp));
    void* p = ExAllocatePool(NonPagedPool, 8);
    EXPECT_NE(p, nullptr) << "other kinds are not affected";
    ExFreePool(p);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
}

TEST_F(FaultTest, FailedBuildOfAControlRequest) {
    IO_STATUS_BLOCK iosb{};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    kernel_->setFaultPolicy(FaultPolicy::failNth(1, AllocationKind::Irp));
    EXPECT_EQ(IoBuildDeviceIoControlRequest(0x220003, device_, nullptr, 0, nullptr, 0, TRUE, &event,
                                            &iosb),
              nullptr);
    EXPECT_EQ(kernel_->counters().failedOf(AllocationKind::Irp), 1u);
}

}  // namespace
