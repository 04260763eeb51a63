// kavlab torture, concurrent runs: the application threads, the checks of their requests, progress and
// the report (see torture_concurrent.h); what happens to the stick meanwhile is in torture_chaos.cpp.
#include "lab/torture_concurrent.h"

#include "driver/kavfiltr_public.h"
#include "lab/torture_hardening.h"

#include "winsim/usb/disk_class_driver.h"
#include "winsim/usb/mass_storage_driver.h"

#include "winsim/kernel/winsim_kernel.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <thread>
#include <unistd.h>

namespace kavlab
{
namespace
{
namespace wu = winsim::usb;

constexpr uint32_t kMiB = 1u << 20;
// The class driver's media-change poll: Windows' once a second, here often enough to meet every swap.
constexpr std::chrono::milliseconds kMediaPollInterval{25};

bool IsDeviceErrorCode(NTSTATUS status)
{
    return status == STATUS_DEVICE_DATA_ERROR || status == STATUS_MEDIA_WRITE_PROTECTED ||
           status == STATUS_NO_MEDIA_IN_DEVICE;
}

std::string Hex(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", unsigned(status));
    return text;
}

} // namespace

// Eight bytes per step of a SplitMix64 sequence: the data only has to differ from what the medium holds.
void FillPattern(std::vector<uint8_t>& buffer, uint64_t seed)
{
    const auto next = [&seed] {
        uint64_t word = (seed += 0x9E3779B97F4A7C15ULL);
        word = (word ^ (word >> 30)) * 0xBF58476D1CE4E5B9ULL;
        word = (word ^ (word >> 27)) * 0x94D049BB133111EBULL;
        return word ^ (word >> 31);
    };
    const size_t words = buffer.size() / sizeof(uint64_t);
    for (size_t index = 0; index < words; ++index)
    {
        const uint64_t word = next();
        std::memcpy(buffer.data() + index * sizeof(uint64_t), &word, sizeof(word));
    }
    if (buffer.size() % sizeof(uint64_t) != 0)
    {
        const uint64_t last = next();
        std::memcpy(buffer.data() + words * sizeof(uint64_t), &last, buffer.size() % sizeof(uint64_t));
    }
}

bool IsConcurrentOnlyKind(const std::string& name)
{
    return name == "swap" || name == "relations";
}

TortureFamilies FamiliesFor(const TortureOptions& options)
{
    TortureFamilies families;
    if (options.faults == 0)
    {
        return families;
    }
    const std::string& only = options.only;
    if (only.empty())
    {
        families.windowsStack = families.deviceFaults = families.globalFaults = true;
        families.writeProtect = families.pnp = families.relations = families.swaps = families.removal = true;
        families.onceKinds = OnceKinds("");
    }
    else if (only == kStackOnly)
    {
        families.windowsStack = families.deviceFaults = true;
    }
    else if (only == kPnpOnly)
    {
        families.pnp = true;
    }
    else if (only == "swap")
    {
        families.windowsStack = families.swaps = true;
    }
    else if (only == "relations")
    {
        families.relations = true;
    }
    else
    {
        // One once-only kind besides the plain device faults and pool exhaustion, as the sequential run.
        families.deviceFaults = families.globalFaults = true;
        families.onceKinds = OnceKinds(only);
    }
    return families;
}

ConcurrentTorture::ConcurrentTorture(const TortureOptions& options)
    : options_(options), families_(FamiliesFor(options)), threadCount_(options.threads * kTortureUnits),
      ledger_(std::vector<uint32_t>(std::begin(kTortureBlockLengths), std::end(kTortureBlockLengths)),
              kTortureUnitBytes,
              [this](unsigned unit, uint64_t offset, void* buffer, uint64_t length) {
                  rig_->Device().ReadMedium(uint8_t(unit), offset, buffer, length);
              }),
      traffic_(kTortureUnits), conditions_(ledger_)
{
    for (unsigned unit = 0; unit < kTortureUnits; ++unit)
    {
        images_[unit] = std::make_shared<wu::MemoryDiskImage>(kTortureUnitBytes);
    }
    if (families_.windowsStack)
    {
        winsim::SetDpcInterruptedThreads(wu::InterruptedThreadIdentities(), options_.seed);
    }
    Build();
    for (unsigned unit = 0; unit < kTortureUnits; ++unit)
    {
        for (unsigned slot = 0; slot < options_.threads; ++slot)
        {
            auto worker = std::make_unique<Worker>();
            worker->index = unit * options_.threads + slot;
            worker->unit = unit;
            worker->slot = slot;
            std::seed_seq seeds{uint32_t(options_.seed), uint32_t(options_.seed >> 32), worker->index};
            worker->random.seed(seeds);
            worker->randomIo = slot == 3 || (options_.threads == 2 && slot == 1);
            workers_.push_back(std::move(worker));
        }
    }
}

ConcurrentTorture::~ConcurrentTorture() = default;

void ConcurrentTorture::Build()
{
    wu::StorageRigOptions options;
    for (unsigned unit = 0; unit < kTortureUnits; ++unit)
    {
        wu::LunConfig config;
        config.image = images_[unit];
        config.blockLength = kTortureBlockLengths[unit];
        options.device.luns.push_back(config);
    }
    options.completion = wu::UrbCompletion::Deferred;
    if (families_.windowsStack)
    {
        Hardening::Configure(options);
    }
    options.disk.mediaPollInterval = kMediaPollInterval;
    options.filtered = options_.filtered;
    options.filterService = options_.filterEntry ? options_.filterService : KAVFILTR_SERVICE_NAME;
    options.filterEntry = options_.filterEntry ? options_.filterEntry : DriverEntry;
    rig_ = std::make_unique<wu::StorageRig>(options);
}

int ConcurrentTorture::Run()
{
    started_ = std::chrono::steady_clock::now();
    if (!options_.json)
    {
        std::fprintf(
            stderr,
            "kavlab torture: seed %" PRIu64 ", %" PRIu64 " operations, %u application threads per unit%s\n",
            options_.seed, options_.ops, options_.threads, options_.filtered ? "" : ", without the filter");
    }
    std::vector<std::thread> threads;
    for (const std::unique_ptr<Worker>& worker : workers_)
    {
        threads.emplace_back([this, &worker] { ApplicationThread(*worker); });
    }
    std::thread chaos;
    if (families_.pnp || families_.relations || families_.swaps || families_.writeProtect ||
        families_.deviceFaults || families_.globalFaults || families_.removal)
    {
        chaos = std::thread([this] { ChaosThread(); });
    }
    Watch();
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    chaosDone_ = true;
    if (chaos.joinable())
    {
        chaos.join();
    }
    Progress(true);
    if (!traffic_.Stopped())
    {
        for (unsigned unit = 0; unit < kTortureUnits; ++unit)
        {
            const Finding finding = ledger_.Verify(unit);
            if (finding)
            {
                Fail(totals_.mismatches, "at the end, " + finding.what, nullptr);
            }
        }
    }
    if (!traffic_.Stopped())
    {
        ReadBack();
    }
    const StackCounters counters = Counters(true);
    gone_ = counters;
    stackGone_ = true;
    rig_.reset();
    Report();
    return Clean() ? 0 : 1;
}

void ConcurrentTorture::ApplicationThread(Worker& worker)
{
    wu::ScopedApplicationThread identity(worker.index);
    while (issued_.fetch_add(1) < options_.ops)
    {
        Request request = NextRequest(worker);
        if (!Send(worker, request))
        {
            break;
        }
    }
    traffic_.Done();
    ++finished_;
}

ConcurrentTorture::Request ConcurrentTorture::NextRequest(Worker& worker)
{
    Request request;
    request.unit = worker.unit;
    const uint32_t blockLength = kTortureBlockLengths[worker.unit];
    const uint64_t blocks = kTortureUnitBytes / blockLength;
    // Two threads: the copy engine alone, with a random request now and then.
    if (worker.slot < 2 && (options_.threads > 2 || worker.random() % 4 != 0))
    {
        TakeCopyChunk(worker, request);
        return request;
    }
    if (worker.runLeft == 0)
    {
        worker.runLeft = 8 + worker.random() % 32;
        static const uint32_t kRunLengths[] = {65536, 131072, 262144, kMiB};
        worker.runLength = kRunLengths[worker.random() % 4];
        if (options_.threads == 3 && worker.slot == 2)
        {
            worker.randomIo = worker.random() % 2 == 0;
        }
        // A reader of the half of the unit the file being copied is not in.
        uint64_t copyAt = 0;
        {
            std::lock_guard<std::mutex> guard(jobLock_);
            copyAt = jobs_[worker.unit].start;
        }
        const uint64_t half = blocks / 2;
        const uint64_t base = copyAt < half ? half : 0;
        worker.next = base + worker.random() % (half - worker.runLength / blockLength);
    }
    --worker.runLeft;
    if (!worker.randomIo)
    {
        request.length = worker.runLength;
        if (worker.next + request.length / blockLength > blocks)
        {
            worker.next = 0;
        }
        request.offset = worker.next * blockLength;
        worker.next += request.length / blockLength;
        return request;
    }
    // Small requests mostly; now and then one of several buffers, or one that does not divide them.
    static const uint32_t kSmall[] = {512, 4096, 4096, 12288, 65536, 102400, 131072, 196608};
    static const uint32_t kLarge[] = {262144, kMiB, 1572864, 2097152, 4194304};
    uint32_t length = worker.random() % 10 == 0 ? kLarge[worker.random() % 5] : kSmall[worker.random() % 8];
    length = std::max(length / blockLength * blockLength, blockLength);
    const uint64_t lengthBlocks = length / blockLength;
    const uint32_t where = uint32_t(worker.random() % 10);
    uint64_t start = worker.random() % (blocks - lengthBlocks + 1);
    if (where < 3)
    {
        // Into the file being copied: overlapping requests in flight together.
        std::lock_guard<std::mutex> guard(jobLock_);
        const CopyJob& job = jobs_[worker.unit];
        start = job.end > job.start ? job.start + worker.random() % (job.end - job.start) : start;
    }
    else if (where < 5)
    {
        start = worker.lastStart; // data it just wrote, or cached data it just overwrote
    }
    start = std::min(start, blocks - lengthBlocks);
    worker.lastStart = start;
    request.write = worker.random() % 2 == 0;
    request.offset = start * blockLength;
    request.length = length;
    return request;
}

// The copy engine's next 1 MiB of the file; the first thread to find the file done starts the next one,
// right after it half the time, as files copied in a row lie.
void ConcurrentTorture::TakeCopyChunk(Worker& worker, Request& request)
{
    const uint32_t blockLength = kTortureBlockLengths[worker.unit];
    const uint64_t blocks = kTortureUnitBytes / blockLength;
    const uint64_t cluster = 4096 / blockLength > 0 ? 4096 / blockLength : 1;
    std::lock_guard<std::mutex> guard(jobLock_);
    CopyJob& job = jobs_[worker.unit];
    if (job.next >= job.end)
    {
        const uint64_t size = (2 + worker.random() % 7) * kMiB / blockLength;
        uint64_t start = worker.random() % (blocks - size + 1) / cluster * cluster;
        if (worker.random() % 2 == 0 && job.end + size <= blocks)
        {
            start = job.end;
        }
        job = CopyJob{start, start, start + size, worker.random() % 2 == 0};
    }
    const uint64_t chunk = std::min<uint64_t>(kMiB / blockLength, job.end - job.next);
    request.write = job.write;
    request.offset = job.next * blockLength;
    request.length = uint32_t(chunk * blockLength);
    job.next += chunk;
}

// An error every attempt meets on [first, last] of the request's blocks.
int ConcurrentTorture::ArmDeviceError(Request& request, uint64_t first, uint64_t last)
{
    wu::FaultRule rule;
    rule.persistent = true;
    rule.sense = request.write ? wu::sense::kWriteError : wu::sense::kUnrecoveredReadError;
    rule.when.lun = uint8_t(request.unit);
    rule.when.opcode = request.write ? 0x2A : 0x28;
    rule.when.firstLba = uint32_t(first);
    rule.when.lastLba = uint32_t(last);
    request.fault = request.write ? "write-error" : "read-error";
    return rig_->Device().AddFault(rule);
}

// A fault on the request's own blocks that retries must get past without a trace in the data.
int ConcurrentTorture::ArmTransient(Worker& worker, Request& request)
{
    const uint32_t blockLength = kTortureBlockLengths[request.unit];
    wu::FaultRule rule;
    rule.when.lun = uint8_t(request.unit);
    rule.when.opcode = request.write ? 0x2A : 0x28;
    rule.when.firstLba = uint32_t(request.offset / blockLength);
    rule.when.lastLba = uint32_t((request.offset + request.length) / blockLength - 1);
    std::vector<wu::FaultKind> kinds = {wu::FaultKind::FailCommand, wu::FaultKind::BadCswSignature,
                                        wu::FaultKind::BadCswTag,   wu::FaultKind::StallData,
                                        wu::FaultKind::StallStatus, wu::FaultKind::Choke};
    if (!request.write)
    {
        kinds.push_back(wu::FaultKind::ShortData);
    }
    for (wu::FaultKind kind : families_.onceKinds)
    {
        // While a medium change is watched, no command is to time out: the reset recovery may drop the
        // change's sense, and would excuse a change the class driver never hears of.
        if ((kind != wu::FaultKind::PaddedDataIn || !request.write) &&
            (kind != wu::FaultKind::PartialWrite || request.write) &&
            (kind != wu::FaultKind::Hang || !changeWatched_))
        {
            kinds.push_back(kind);
        }
    }
    rule.kind = kinds[worker.random() % kinds.size()];
    rule.bytes = rule.kind == wu::FaultKind::Choke ? 128 * 1024 : 4096;
    rule.claimFullLength = worker.random() % 2 == 0;
    request.fault = FaultName(rule.kind);
    return rig_->Device().AddFault(rule);
}

bool ConcurrentTorture::Send(Worker& worker, Request& request)
{
    const uint32_t blockLength = kTortureBlockLengths[request.unit];
    const uint64_t first = request.offset / blockLength;
    const uint64_t last = first + request.length / blockLength - 1;
    const uint32_t dice = uint32_t(worker.random() % 100);
    const bool persistent = families_.deviceFaults && dice < 5;
    bool reserved = false;
    if (!traffic_.Enter(worker.index, request.unit, first, last, persistent, reserved))
    {
        return false;
    }
    int faultId = -1;
    size_t own = Conditions::kNone;
    bool transient = false;
    if (reserved)
    {
        // A read's error covers all its blocks (a cached block would not reach the device); a write's, one.
        Condition condition;
        condition.kind = ConditionKind::DeviceError;
        condition.unit = request.unit;
        condition.write = request.write;
        condition.first = request.write ? first + worker.random() % (last - first + 1) : first;
        condition.last = request.write ? condition.first : last;
        bool retry = false;
        condition.code = wu::ClassStatusForSense(
            request.write ? wu::sense::kWriteError : wu::sense::kUnrecoveredReadError, false, &retry);
        own = conditions_.Open(condition);
        faultId = ArmDeviceError(request, condition.first, condition.last);
        conditions_.Set(own);
    }
    else if (families_.deviceFaults && dice >= 5 && dice < 14 && traffic_.TryArm(request.unit))
    {
        transient = true;
        faultId = ArmTransient(worker, request);
        ++totals_.transientFaults;
    }
    std::vector<uint8_t> buffer(request.length);
    if (request.write)
    {
        FillPattern(buffer, worker.random());
    }
    const uint64_t timeoutsBefore = Timeouts();
    request.commandsBefore = rig_->Device().Counters().commands;
    worker.inFlightSince = ledger_.Tick();
    request.status = STATUS_PENDING;
    Remember(worker, request, false);
    Finding finding;
    if (request.write)
    {
        const WriteHandle write = ledger_.BeginWrite(request.unit, request.offset, std::move(buffer));
        request.begun = write->begun;
        request.status = Bounded([&] {
            return rig_->Write(request.unit, write->data.data(), request.length, request.offset,
                               kTortureRequestLimit);
        });
        finding = ledger_.EndWrite(write, NT_SUCCESS(request.status));
        request.ended = write->ended;
    }
    else
    {
        const std::unique_ptr<LedgerRead> read =
            ledger_.BeginRead(request.unit, request.offset, request.length);
        request.begun = read->begun;
        request.status = Bounded([&] {
            return rig_->Read(request.unit, buffer.data(), request.length, request.offset,
                              kTortureRequestLimit);
        });
        finding = ledger_.EndRead(*read, NT_SUCCESS(request.status), buffer.data());
        request.ended = read->ended;
    }
    request.commandsAfter = rig_->Device().Counters().commands;
    const bool timedOut = Timeouts() != timeoutsBefore;
    if (own != Conditions::kNone)
    {
        conditions_.Clearing(own);
    }
    if (faultId >= 0 && !rig_->Device().RemoveFault(faultId))
    {
        request.fault += " (fired)";
    }
    if (own != Conditions::kNone)
    {
        conditions_.Close(own);
    }
    if (transient)
    {
        traffic_.Disarm(request.unit);
    }
    traffic_.Leave(worker.index);
    ++totals_.ops;
    totals_.bytesAsked[request.write ? 1 : 0] += request.length;
    Remember(worker, request, true);
    if (finding)
    {
        Fail(totals_.mismatches, finding.what, &request);
    }
    CheckOutcome(request, own, timedOut);
    worker.inFlightSince = kStillOpen;
    if (totals_.ops % 64 == 0)
    {
        uint64_t oldest = ledger_.Tick();
        for (const std::unique_ptr<Worker>& other : workers_)
        {
            oldest = std::min<uint64_t>(oldest, other->inFlightSince);
        }
        conditions_.Forget(oldest);
    }
    return true;
}

// The outcome the conditions the request met allow (see the file header of torture_concurrent.h).
void ConcurrentTorture::CheckOutcome(const Request& request, size_t own, bool timedOut)
{
    const uint32_t blockLength = kTortureBlockLengths[request.unit];
    const uint64_t first = request.offset / blockLength;
    const uint64_t last = first + request.length / blockLength - 1;
    Verdict verdict =
        conditions_.For(request.unit, request.write, first, last, request.begun, request.ended, own);
    if (timedOut)
    {
        // The command time-out runs on the host's clock: a busy host meets it too, and its code stands.
        verdict.codes.push_back(STATUS_IO_TIMEOUT);
    }
    const bool succeeded = NT_SUCCESS(request.status);
    if (!succeeded)
    {
        ++totals_.failedRequests;
    }
    if (verdict.anything)
    {
        return;
    }
    char what[320];
    const char* operation = request.write ? "write" : "read";
    if (verdict.mustFail)
    {
        if (succeeded)
        {
            // A read answered from data read before its error was armed never met it; one whose own
            // blocks' command failed at the device did.
            if (request.write || FailedReadInRange(request))
            {
                ++totals_.failuresInjected;
                std::snprintf(what, sizeof what,
                              "a %s of %u bytes on unit %u at %" PRIu64 " reported success despite %s",
                              operation, request.length, request.unit, request.offset,
                              own != Conditions::kNone ? request.fault.c_str() : "the unit's condition");
                Fail(totals_.failuresHidden, what, &request);
            }
            return;
        }
        ++totals_.failuresInjected;
        ++totals_.failuresReported;
        if (!verdict.Allows(request.status))
        {
            std::string expected;
            for (NTSTATUS code : verdict.codes)
            {
                expected += (expected.empty() ? "" : " or ") + Hex(code);
            }
            std::snprintf(what, sizeof what,
                          "error code mismatch: a %s of %u bytes on unit %u at %" PRIu64
                          " under %s ended with %s, the conditions it met mean %s",
                          operation, request.length, request.unit, request.offset,
                          request.fault.empty() ? "the unit's condition" : request.fault.c_str(),
                          Hex(request.status).c_str(), expected.c_str());
            Fail(totals_.errorCodeMismatches, what, &request);
        }
        return;
    }
    if (succeeded || verdict.Allows(request.status))
    {
        return;
    }
    // Every other failure needs a condition that fails requests of the stack without the filter too.
    std::snprintf(what, sizeof what,
                  "error code mismatch: a %s of %u bytes on unit %u at %" PRIu64 " ended with %s, %s",
                  operation, request.length, request.unit, request.offset, Hex(request.status).c_str(),
                  IsDeviceErrorCode(request.status)
                      ? "a device error that no condition it met gives: another request's error"
                      : "though no condition it met fails a request");
    Fail(totals_.errorCodeMismatches, what, &request);
}

// Whether a READ(10) that starts among the request's blocks failed at the device while the request ran.
// Another thread's requests keep off blocks that carry an error every attempt meets, and the filter's
// read-ahead starts at the command it stands for: such a command stood for this request.
bool ConcurrentTorture::FailedReadInRange(const Request& request)
{
    const uint32_t blockLength = kTortureBlockLengths[request.unit];
    const uint64_t first = request.offset / blockLength;
    const uint64_t last = first + request.length / blockLength - 1;
    for (const wu::CommandRecord& record : rig_->Device().CommandLog())
    {
        if (record.number > request.commandsBefore && record.number <= request.commandsAfter &&
            record.opcode == 0x28 && record.lun == request.unit && record.lba >= first &&
            record.lba <= last && record.completed && record.status != wu::CswStatus::Passed)
        {
            return true;
        }
    }
    return false;
}

// A request that has not ended within the limit is a hang: report it with the run's seed and stop at once
// (the stack cannot be taken down while a request is stuck in it).
template <typename Call> NTSTATUS ConcurrentTorture::Bounded(const Call& call)
{
    try
    {
        return call().status;
    }
    catch (const std::runtime_error&)
    {
        ++totals_.hangs;
        {
            std::lock_guard<std::mutex> guard(reportLock_);
            std::fprintf(stderr,
                         "kavlab torture: a request did not end within %lld s (seed %" PRIu64 "): hang\n",
                         static_cast<long long>(kTortureRequestLimit.count() / 1000), options_.seed);
            failed_ = true;
        }
        Report();
        std::fflush(nullptr);
        std::_Exit(1);
    }
}

// The first failure is reported with the device commands sent while its request ran; every thread then
// stops after its request in flight.
void ConcurrentTorture::Fail(std::atomic<uint64_t>& counter, const std::string& what, const Request* request)
{
    ++counter;
    {
        std::lock_guard<std::mutex> guard(reportLock_);
        if (!failed_)
        {
            failed_ = true;
            std::fprintf(stderr, "kavlab torture: %s (seed %" PRIu64 ")\n", what.c_str(), options_.seed);
            if (request != nullptr)
            {
                PrintCommands(*request);
            }
        }
    }
    traffic_.Stop();
}

bool ConcurrentTorture::ReadBack()
{
    for (unsigned unit = 0; unit < kTortureUnits; ++unit)
    {
        std::vector<uint8_t> buffer(kMiB);
        for (uint64_t offset = 0; offset < kTortureUnitBytes; offset += kMiB)
        {
            Request request;
            request.unit = unit;
            request.offset = offset;
            request.length = kMiB;
            request.commandsBefore = rig_->Device().Counters().commands;
            const std::unique_ptr<LedgerRead> read = ledger_.BeginRead(unit, offset, kMiB);
            request.status =
                Bounded([&] { return rig_->Read(unit, buffer.data(), kMiB, offset, kTortureRequestLimit); });
            const Finding finding = ledger_.EndRead(*read, NT_SUCCESS(request.status), buffer.data());
            totals_.bytesAsked[0] += kMiB;
            request.commandsAfter = rig_->Device().Counters().commands;
            if (!NT_SUCCESS(request.status))
            {
                Fail(totals_.errorCodeMismatches,
                     "the read-back at the end failed with " + Hex(request.status) + " on unit " +
                         std::to_string(unit) + " at " + std::to_string(offset),
                     &request);
                return false;
            }
            if (finding)
            {
                Fail(totals_.mismatches, "in the read-back at the end, " + finding.what, &request);
                return false;
            }
        }
    }
    return true;
}

int RunConcurrentTorture(const TortureOptions& options)
{
    return ConcurrentTorture(options).Run();
}
} // namespace kavlab
