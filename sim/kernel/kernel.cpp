// The Kernel object: one per test, found by the exported routines through Kernel::current().
// Allocation sites, the low-resource policy, counters, leak reports and the end-of-test check.
#include "sim/kernel/internal.hpp"

#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

std::atomic<Kernel*> g_current{nullptr};

std::mutex& reporterMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}
std::function<void(std::string_view)>& reporter() {
    static auto* r = new std::function<void(std::string_view)>;
    return *r;
}

#ifdef VAVEDU_SANITIZED
constexpr size_t kQuarantineEntries = 64;  // the sanitizer keeps its own quarantine
#else
constexpr size_t kQuarantineEntries = 1024;
#endif

}  // namespace

// ---------------------------------------------------------------- text helpers

const char* toString(AllocationKind kind) {
    switch (kind) {
        case AllocationKind::Pool:
            return "pool";
        case AllocationKind::Irp:
            return "IRP";
        case AllocationKind::Mdl:
            return "MDL";
        case AllocationKind::DeviceObject:
            return "device object";
        case AllocationKind::UsbdRequest:
            return "USBD request";
    }
    return "?";
}

std::string AllocationSite::describe() const {
    std::string place = where.empty() ? describeCode(caller) : where;
    return place + " (" + toString(kind) + ")";
}

bool AllocationSite::operator==(const AllocationSite& other) const {
    if (kind != other.kind)
        return false;
    if (!image.empty() && !other.image.empty())
        return image == other.image && offset == other.offset;
    return caller == other.caller;
}

std::string Leak::describe() const {
    std::string out;
    switch (kind) {
        case AllocationKind::Pool:
        case AllocationKind::UsbdRequest: {
            char tagText[5] = {};
            for (int i = 0; i < 4; ++i) {
                char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
                tagText[i] = (c >= 0x20 && c < 0x7F) ? c : '.';
            }
            out = std::string(kind == AllocationKind::Pool ? "pool block" : "USBD request") +
                  " of " + std::to_string(size) + " bytes (" +
                  ((poolType & 1) ? "PagedPool" : "NonPagedPool") + ", tag '" + tagText + "')";
            break;
        }
        case AllocationKind::Irp:
            out = "IRP";
            break;
        case AllocationKind::Mdl:
            out = "MDL";
            break;
        case AllocationKind::DeviceObject:
            out = "device object";
            break;
    }
    return out + " allocated at " + (site.where.empty() ? describeCode(site.caller) : site.where);
}

std::u16string toU16(std::string_view utf8) {
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        uint32_t c = static_cast<unsigned char>(utf8[i]);
        int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        if (extra < 0 || i + extra >= utf8.size() + (extra == 0)) {
            out.push_back(u'?');
            ++i;
            continue;
        }
        if (extra > 0)
            c &= (0x3F >> extra);
        for (int k = 1; k <= extra; ++k)
            c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += extra + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

std::string toUtf8(std::u16string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::string statusName(NTSTATUS status) {
    switch (status) {
#define NAME(s) \
    case s:     \
        return #s;
        NAME(STATUS_SUCCESS)
        NAME(STATUS_TIMEOUT)
        NAME(STATUS_PENDING)
        NAME(STATUS_REPARSE)
        NAME(STATUS_MORE_ENTRIES)
        NAME(STATUS_OBJECT_NAME_EXISTS)
        NAME(STATUS_BUFFER_OVERFLOW)
        NAME(STATUS_NO_MORE_ENTRIES)
        NAME(STATUS_DEVICE_BUSY)
        NAME(STATUS_UNSUCCESSFUL)
        NAME(STATUS_NOT_IMPLEMENTED)
        NAME(STATUS_INVALID_INFO_CLASS)
        NAME(STATUS_INFO_LENGTH_MISMATCH)
        NAME(STATUS_ACCESS_VIOLATION)
        NAME(STATUS_INVALID_HANDLE)
        NAME(STATUS_INVALID_PARAMETER)
        NAME(STATUS_NO_SUCH_DEVICE)
        NAME(STATUS_NO_SUCH_FILE)
        NAME(STATUS_INVALID_DEVICE_REQUEST)
        NAME(STATUS_END_OF_FILE)
        NAME(STATUS_MORE_PROCESSING_REQUIRED)
        NAME(STATUS_NO_MEMORY)
        NAME(STATUS_ACCESS_DENIED)
        NAME(STATUS_BUFFER_TOO_SMALL)
        NAME(STATUS_OBJECT_TYPE_MISMATCH)
        NAME(STATUS_OBJECT_NAME_INVALID)
        NAME(STATUS_OBJECT_NAME_NOT_FOUND)
        NAME(STATUS_OBJECT_NAME_COLLISION)
        NAME(STATUS_OBJECT_PATH_NOT_FOUND)
        NAME(STATUS_SHARING_VIOLATION)
        NAME(STATUS_DELETE_PENDING)
        NAME(STATUS_INSUFFICIENT_RESOURCES)
        NAME(STATUS_DEVICE_DATA_ERROR)
        NAME(STATUS_DEVICE_NOT_CONNECTED)
        NAME(STATUS_DEVICE_POWER_FAILURE)
        NAME(STATUS_DEVICE_NOT_READY)
        NAME(STATUS_IO_TIMEOUT)
        NAME(STATUS_NOT_SUPPORTED)
        NAME(STATUS_DEVICE_DOES_NOT_EXIST)
        NAME(STATUS_INVALID_USER_BUFFER)
        NAME(STATUS_INVALID_PARAMETER_1)
        NAME(STATUS_INVALID_PARAMETER_2)
        NAME(STATUS_CANCELLED)
        NAME(STATUS_DEVICE_CONFIGURATION_ERROR)
        NAME(STATUS_DRIVER_INTERNAL_ERROR)
        NAME(STATUS_INVALID_DEVICE_STATE)
        NAME(STATUS_IO_DEVICE_ERROR)
        NAME(STATUS_DEVICE_PROTOCOL_ERROR)
        NAME(STATUS_INVALID_BUFFER_SIZE)
        NAME(STATUS_NOT_FOUND)
        NAME(STATUS_DRIVER_UNABLE_TO_LOAD)
        NAME(STATUS_DEVICE_REMOVED)
        NAME(STATUS_NOINTERFACE)
        NAME(STATUS_POWER_STATE_INVALID)
#undef NAME
        default: {
            char text[16];
            snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
            return text;
        }
    }
}

std::u16string upcase(std::u16string_view text) {
    std::u16string out(text);
    for (auto& c : out) {
        if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
            c = static_cast<char16_t>(c - 0x20);
        else if (c == 0xFF)
            c = 0x178;
    }
    return out;
}

std::u16string fromWide(PCWSTR text) {
    std::u16string out;
    if (text)
        for (; *text; ++text)
            out.push_back(*text);
    return out;
}

std::string guidText(const GUID& g) {
    char text[40];
    snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
             g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
             g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

// ---------------------------------------------------------------- the fault policy

struct FaultPolicy::State {
    enum class Mode { None, Nth, Site, Random } mode = Mode::None;
    std::optional<AllocationKind> kind;
    uint64_t n = 0;
    uint64_t seen = 0;
    AllocationSite site;
    uint64_t times = 0;
    double probability = 0;
    std::mt19937_64 random;
};

FaultPolicy FaultPolicy::none() {
    FaultPolicy p;
    p.state_ = std::make_shared<State>();
    return p;
}

FaultPolicy FaultPolicy::failNth(uint64_t n, std::optional<AllocationKind> kind) {
    FaultPolicy p = none();
    p.state_->mode = State::Mode::Nth;
    p.state_->n = n;
    p.state_->kind = kind;
    return p;
}

FaultPolicy FaultPolicy::failSite(AllocationSite site, uint64_t times) {
    FaultPolicy p = none();
    p.state_->mode = State::Mode::Site;
    p.state_->site = std::move(site);
    p.state_->times = times;
    return p;
}

FaultPolicy FaultPolicy::random(double probability, uint64_t seed,
                                std::optional<AllocationKind> kind) {
    FaultPolicy p = none();
    p.state_->mode = State::Mode::Random;
    p.state_->probability = probability;
    p.state_->random.seed(seed);
    p.state_->kind = kind;
    return p;
}

bool FaultPolicy::shouldFail(const AllocationSite& site) {
    if (!state_)
        return false;
    State& s = *state_;
    switch (s.mode) {
        case State::Mode::None:
            return false;
        case State::Mode::Nth:
            if (s.kind && *s.kind != site.kind)
                return false;
            return ++s.seen == s.n;
        case State::Mode::Site:
            if (!(s.site == site) || s.times == 0)
                return false;
            --s.times;
            return true;
        case State::Mode::Random: {
            if (s.kind && *s.kind != site.kind)
                return false;
            std::uniform_real_distribution<double> d(0.0, 1.0);
            return d(s.random) < s.probability;
        }
    }
    return false;
}

// ---------------------------------------------------------------- Impl helpers

const AllocationSite& Kernel::Impl::siteFor(AllocationKind kind, const void* caller) {
    auto& known = knownSites[static_cast<int>(kind)];
    auto it = known.find(caller);
    if (it != known.end())
        return it->second;
    AllocationSite site;
    site.caller = caller;
    site.kind = kind;
    CodeLocation where = locateCode(caller);
    site.image = where.image;
    site.offset = where.offset;
    site.where = where.describe();
    return known.emplace(caller, std::move(site)).first->second;
}

bool Kernel::Impl::decideFailure(AllocationKind kind, const void* caller) {
    const AllocationSite& site = siteFor(kind, caller);
    auto key = reinterpret_cast<uint64_t>(&site);
    if (sitesReachedKeys.insert(key).second)
        sitesInOrder.push_back(site);
    if (!policy.shouldFail(site))
        return false;
    ++counters.failed[static_cast<int>(kind)];
    return true;
}

void Kernel::Impl::noteAllocated(AllocationKind kind, bool counted) {
    if (!counted)
        return;
    ++counters.allocated[static_cast<int>(kind)];
    ++counters.outstanding[static_cast<int>(kind)];
}

void Kernel::Impl::noteFreed(AllocationKind kind, bool counted) {
    if (!counted)
        return;
    --counters.outstanding[static_cast<int>(kind)];
}

void Kernel::Impl::retire(void* address, void* hostBlock) {
#ifdef VAVEDU_SANITIZED
    // Given back at once, so that the sanitizer reports any later use of it.
    free(hostBlock);
    hostBlock = nullptr;
#endif
    quarantine.emplace_back(address, hostBlock);
    if (quarantine.size() > kQuarantineEntries) {
        free(quarantine.front().second);
        quarantine.pop_front();
    }
}

bool Kernel::Impl::wasFreedRecently(void* address) const {
    for (const auto& entry : quarantine)
        if (entry.first == address)
            return true;
    return false;
}

IrpShadow* Kernel::Impl::findIrp(PIRP irp) const {
    auto it = irps.find(irp);
    if (it == irps.end() || it->second->freed)
        return nullptr;
    return it->second;
}

Kernel::Impl& kernelImpl() {
    Kernel* k = g_current.load(std::memory_order_acquire);
    if (!k)
        bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kModelCheckInvalidObject, 0, 0, 0,
                 "a kernel routine was called while no sim::Kernel exists");
    return k->impl();
}

Kernel::Impl* kernelImplOrNull() {
    Kernel* k = g_current.load(std::memory_order_acquire);
    return k ? &k->impl() : nullptr;
}

// ---------------------------------------------------------------- Kernel

Kernel::Kernel(KernelOptions options) : impl_(std::make_unique<Impl>(options)) {
    Kernel* expected = nullptr;
    if (!g_current.compare_exchange_strong(expected, this)) {
        fputs("sim::Kernel: a second kernel was created while another one exists\n", stderr);
        std::abort();
    }
}

Kernel::~Kernel() {
    discardQueuedApcs();
    std::string report = impl_->findings(false);
    if (!report.empty())
        fprintf(stderr, "sim::Kernel destroyed with kernel objects left:\n%s", report.c_str());
    impl_->freeEverything();
    g_current.store(nullptr, std::memory_order_release);
}

Kernel& Kernel::current() {
    Kernel* k = g_current.load(std::memory_order_acquire);
    if (!k) {
        fputs("sim::Kernel::current(): no kernel exists\n", stderr);
        std::abort();
    }
    return *k;
}

Kernel* Kernel::currentOrNull() {
    return g_current.load(std::memory_order_acquire);
}

const KernelOptions& Kernel::options() const {
    return impl_->options;
}

void Kernel::setHangLimit(std::chrono::milliseconds limit) {
    std::lock_guard lock(impl_->mutex);
    impl_->options.hangLimit = limit;
}

void Kernel::setWaitHook(std::function<bool()> hook) {
    std::lock_guard lock(impl_->mutex);
    impl_->waitHook =
        hook ? std::make_shared<const std::function<bool()>>(std::move(hook)) : nullptr;
}

void Kernel::setWdmVersion(UCHAR major, UCHAR minor) {
    std::lock_guard lock(impl_->mutex);
    impl_->options.wdmMajor = major;
    impl_->options.wdmMinor = minor;
}

void Kernel::setFaultPolicy(FaultPolicy policy) {
    std::lock_guard lock(impl_->mutex);
    impl_->policy = std::move(policy);
}

bool Kernel::injectFailure(AllocationKind kind, const void* caller) {
    std::lock_guard lock(impl_->mutex);
    return impl_->decideFailure(kind, caller);
}

AllocationCounters Kernel::counters() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->counters;
}

std::vector<AllocationSite> Kernel::sitesReached() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->sitesInOrder;
}

void Kernel::resetSitesReached() {
    std::lock_guard lock(impl_->mutex);
    impl_->sitesInOrder.clear();
    impl_->sitesReachedKeys.clear();
}

void* Kernel::allocatePool(POOL_TYPE type, size_t bytes, ULONG tag, AllocationKind kind,
                           const void* caller) {
    return impl_->poolAllocate(type, bytes, tag, kind, caller, true);
}

std::vector<Leak> Kernel::leaks() const {
    std::lock_guard lock(impl_->mutex);
    std::vector<Leak> out;
    auto site = [&](AllocationKind kind, const void* caller) {
        return impl_->siteFor(kind, caller);
    };
    for (auto& [p, b] : impl_->pool)
        out.push_back({b.kind, b.size, b.type, b.tag, site(b.kind, b.caller)});
    for (auto& [irp, s] : impl_->irps)
        if (!s->freed && s->origin != IrpOrigin::External)
            out.push_back({AllocationKind::Irp, 0, NonPagedPool, 0, *s->site});
    for (auto& [mdl, r] : impl_->mdls)
        out.push_back(
            {AllocationKind::Mdl, r.bytes, NonPagedPool, 0, site(AllocationKind::Mdl, r.caller)});
    for (auto& [dev, r] : impl_->devices)
        out.push_back({AllocationKind::DeviceObject, 0, NonPagedPool, 0,
                       site(AllocationKind::DeviceObject, r.caller)});
    return out;
}

std::string Kernel::leakReport() const {
    std::string out;
    for (const Leak& leak : leaks())
        out += leak.describe() + "\n";
    return out;
}

std::string Kernel::Impl::findings(bool includeIrql) const {
    std::string out;
    std::lock_guard lock(mutex);
    auto siteText = [&](AllocationKind kind, const void* caller) {
        return const_cast<Impl*>(this)->siteFor(kind, caller).where;
    };
    for (auto& [p, b] : pool) {
        Leak leak{b.kind, b.size, b.type, b.tag,
                  const_cast<Impl*>(this)->siteFor(b.kind, b.caller)};
        out += "leak: " + leak.describe() + "\n";
    }
    for (auto& [irp, s] : irps) {
        if (s->freed || s->origin == IrpOrigin::External)
            continue;
        std::string what = s->origin == IrpOrigin::Application ? "application request IRP"
                           : s->origin == IrpOrigin::Threaded
                               ? "IRP from IoBuildDeviceIoControlRequest"
                               : "IRP";
        out += "leak: " + what + " " + hex(reinterpret_cast<uintptr_t>(irp)) +
               (s->state == IrpState::Dispatched ? " (still pending in a driver)" : "") +
               " allocated at " + s->site->where + "\n";
    }
    for (auto& [mdl, r] : mdls)
        out += "leak: MDL " + hex(reinterpret_cast<uintptr_t>(mdl)) + " allocated at " +
               siteText(AllocationKind::Mdl, r.caller) + "\n";
    for (auto& [dev, r] : devices) {
        out += "leak: device object " + hex(reinterpret_cast<uintptr_t>(dev));
        if (r.deleted)
            out += " (deleted, still referenced " + std::to_string(r.references) + " times)";
        out += " created at " + siteText(AllocationKind::DeviceObject, r.caller) + "\n";
    }
    for (auto& [drv, r] : drivers)
        if (!r.deleted)
            out += "leak: driver object " + toUtf8(r.name) + "\n";
    for (auto& [file, r] : files)
        out += "leak: file object " + hex(reinterpret_cast<uintptr_t>(file)) + " still open\n";
    for (auto& [lock, held] : heldLocks)
        out += std::string("spin lock ") + hex(reinterpret_cast<uintptr_t>(lock)) +
               " still held (acquired by " + held.routine + " at " + describeCode(held.site) +
               ")\n";
    if (includeIrql && currentIrql() != PASSIVE_LEVEL)
        out += "the calling thread is at " + describeIrql(currentIrql()) + ", not PASSIVE_LEVEL\n";
    return out;
}

std::string Kernel::checkClean() const {
    return impl_->findings(true);
}

void Kernel::Impl::freeEverything() {
    std::lock_guard lock(mutex);
    for (auto& [p, b] : pool)
        free(b.hostBlock);
    pool.clear();
    for (auto& [irp, s] : irps) {  // system buffers are pool blocks, freed above
        if (s->origin == IrpOrigin::External) {
            delete s;
        } else {
            s->~IrpShadow();
            free(s);
        }
    }
    irps.clear();
    for (auto& [mdl, r] : mdls)
        free(mdl);
    mdls.clear();
    for (auto& [dev, r] : devices)
        free(r.memory);
    devices.clear();
    for (auto& [file, r] : files) {
        free(file->FileName.Buffer);
        free(file);
    }
    files.clear();
    for (auto& [drv, r] : drivers)
        free(drv);
    drivers.clear();
    for (auto& [address, block] : quarantine)
        free(block);
    quarantine.clear();
}

// ---------------------------------------------------------------- debug output

std::vector<std::string> Kernel::debugOutput() const {
    std::lock_guard lock(impl_->debugMutex);
    return impl_->debugLines;
}

void Kernel::clearDebugOutput() {
    std::lock_guard lock(impl_->debugMutex);
    impl_->debugLines.clear();
    impl_->partialLine.clear();
}

void Kernel::setEchoDebugOutput(bool echo) {
    std::lock_guard lock(impl_->debugMutex);
    impl_->options.echoDebugOutput = echo;
}

void Kernel::onDebugLine(std::function<void(std::string_view)> sink) {
    std::lock_guard lock(impl_->debugMutex);
    impl_->debugSinks.push_back(std::move(sink));
}

Registry& Kernel::registry() {
    return impl_->registry;
}

// ---------------------------------------------------------------- check failures

void setCheckFailureReporter(std::function<void(std::string_view findings)> r) {
    std::lock_guard lock(reporterMutex());
    reporter() = std::move(r);
}

void reportCheckFailure(std::string_view findings) {
    std::function<void(std::string_view)> r;
    {
        std::lock_guard lock(reporterMutex());
        r = reporter();
    }
    if (r) {
        r(findings);
        return;
    }
    fprintf(stderr, "kernel check failed:\n%.*s\n", static_cast<int>(findings.size()),
            findings.data());
    std::abort();
}

}  // namespace sim
