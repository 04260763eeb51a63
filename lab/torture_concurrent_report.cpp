// kavlab torture, concurrent runs: progress while it runs, the watchdog that turns a stuck run into a
// reported hang, the counters of stacks that have come and gone, and the report (see torture_concurrent.h).
#include "lab/torture_concurrent.h"

#include "winsim/usb/disk_class_driver.h"
#include "winsim/usb/mass_storage_driver.h"

#include <cinttypes>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace kavlab
{
namespace
{
namespace wu = winsim::usb;

constexpr size_t kRecentPerThread = 6;
constexpr size_t kMostCommandsShown = 400;
constexpr std::chrono::seconds kNoProgressLimit{90};
constexpr std::chrono::seconds kChaosStepLimit{60};
constexpr uint32_t kCswBytes = 13;
constexpr uint32_t kCbwBytes = 31;

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

// What the device saw while the request ran, its own commands marked: which pieces reached the device, in
// which order and how each ended, among the other threads' commands.
void ConcurrentTorture::PrintCommands(const Request& request)
{
    const uint32_t blockLength = kTortureBlockLengths[request.unit];
    const uint64_t first = request.offset / blockLength;
    const uint64_t last = first + request.length / blockLength - 1;
    std::fprintf(stderr, "kavlab torture: device commands while that request ran (* on its blocks):\n");
    size_t shown = 0;
    for (const wu::CommandRecord& record : rig_->Device().CommandLog())
    {
        if (record.number <= request.commandsBefore || record.number > request.commandsAfter)
        {
            continue;
        }
        if (++shown > kMostCommandsShown)
        {
            std::fprintf(stderr, "  ...\n");
            break;
        }
        const bool own = record.lun == request.unit && record.blocks != 0 && record.lba <= last &&
                         first < uint64_t(record.lba) + record.blocks;
        std::fprintf(stderr,
                     " %s#%-6" PRIu64
                     " op 0x%02X unit %u lba %10u blocks %5u host %7u %s %s status %u residue %u\n",
                     own ? "*" : " ", record.number, record.opcode, record.lun, record.lba, record.blocks,
                     record.hostLength, record.hostIn ? "in " : "out",
                     record.completed ? "done   " : "pending", unsigned(record.status), record.residue);
    }
}

void ConcurrentTorture::Remember(Worker& worker, const Request& request, bool replace)
{
    std::lock_guard<std::mutex> guard(reportLock_);
    if (replace && !worker.recent.empty())
    {
        worker.recent.back() = request;
        return;
    }
    worker.recent.push_back(request);
    if (worker.recent.size() > kRecentPerThread)
    {
        worker.recent.pop_front();
    }
}

void ConcurrentTorture::Progress(bool last)
{
    const bool terminal = isatty(STDERR_FILENO) != 0;
    if (options_.json && !terminal)
    {
        return;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    std::fprintf(stderr,
                 "%skavlab torture: %" PRIu64 "/%" PRIu64 " operations in %.0f s, %" PRIu64
                 " failures armed, %" PRIu64 " card swaps, %" PRIu64 " re-queries (seed %" PRIu64 ")%s",
                 terminal ? "\r" : "", totals_.ops.load(), options_.ops, seconds,
                 totals_.failuresInjected.load(), totals_.cardSwaps.load(), totals_.requeries.load(),
                 options_.seed, terminal && !last ? "" : "\n");
}

// Until every application thread has left: progress every few seconds, and a run that stops moving is a
// hang (each request has its own limit; this catches a stuck chaos step and threads stuck elsewhere).
void ConcurrentTorture::Watch()
{
    const bool terminal = isatty(STDERR_FILENO) != 0;
    auto lastPrint = std::chrono::steady_clock::now();
    auto lastChange = lastPrint;
    uint64_t lastOps = 0;
    while (finished_ < threadCount_)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto now = std::chrono::steady_clock::now();
        if (totals_.ops != lastOps)
        {
            lastOps = totals_.ops;
            lastChange = now;
        }
        const int64_t chaosSince = chaosSince_;
        std::string stuck;
        if (now - lastChange > kNoProgressLimit)
        {
            stuck = "no request ended for " + std::to_string(kNoProgressLimit.count()) + " s";
        }
        else if (chaosSince != 0 && NowMs() - chaosSince > int64_t(kChaosStepLimit.count()) * 1000)
        {
            std::lock_guard<std::mutex> guard(reportLock_);
            stuck =
                "the " + chaosStep_ + " did not end within " + std::to_string(kChaosStepLimit.count()) + " s";
        }
        if (!stuck.empty())
        {
            ++totals_.hangs;
            {
                std::lock_guard<std::mutex> guard(reportLock_);
                std::fprintf(stderr, "kavlab torture: %s (seed %" PRIu64 "): hang\n", stuck.c_str(),
                             options_.seed);
                failed_ = true;
            }
            Report();
            std::fflush(nullptr);
            std::_Exit(1);
        }
        if (now - lastPrint >= (terminal ? std::chrono::milliseconds(500) : std::chrono::milliseconds(5000)))
        {
            lastPrint = now;
            Progress(false);
        }
    }
}

// The counters of the stacks that are gone plus those of the live one. The disk class devices are read
// only where no disk restart can run (the chaos thread's own steps, and after it ended).
ConcurrentTorture::StackCounters ConcurrentTorture::Counters(bool withDisks)
{
    std::shared_lock<std::shared_mutex> guard(stackLock_);
    StackCounters counters = gone_;
    if (stackGone_ || rig_ == nullptr || rig_->TornDown() || rig_->FunctionDevice() == nullptr)
    {
        return counters;
    }
    const wu::MassStorageCounters driver = wu::GetMassStorageCounters(rig_->FunctionDevice());
    counters.timeouts += driver.timeouts;
    counters.cancelled += driver.cancelledUrbs;
    for (unsigned unit = 0; withDisks && unit < kTortureUnits; ++unit)
    {
        if (rig_->DiskFdo(unit) != nullptr)
        {
            counters.polls += wu::GetDiskClassInfo(rig_->DiskFdo(unit)).polls;
        }
    }
    const wu::TimingCounters device = rig_->Device().Counters();
    counters.dataIn += device.bytesIn - kCswBytes * device.commands;
    counters.dataOut += device.bytesOut - kCbwBytes * device.commands;
    return counters;
}

uint64_t ConcurrentTorture::Timeouts()
{
    std::shared_lock<std::shared_mutex> guard(stackLock_);
    if (stackGone_ || rig_->FunctionDevice() == nullptr)
    {
        return gone_.timeouts;
    }
    return gone_.timeouts + wu::GetMassStorageCounters(rig_->FunctionDevice()).timeouts;
}

bool ConcurrentTorture::Clean() const
{
    return totals_.mismatches == 0 && totals_.failuresHidden == 0 && totals_.errorCodeMismatches == 0 &&
           totals_.hiddenMediumChanges == 0 && totals_.hangs == 0 && totals_.pnpFailures == 0;
}

void ConcurrentTorture::Report()
{
    if (!Clean())
    {
        std::lock_guard<std::mutex> guard(reportLock_);
        std::fprintf(stderr,
                     "kavlab torture: FAILED with --seed %" PRIu64
                     " --threads %u%s; last operations per thread:\n",
                     options_.seed, options_.threads, options_.filtered ? "" : " --filter 0");
        for (const std::unique_ptr<Worker>& worker : workers_)
        {
            std::fprintf(stderr, "  thread %u on unit %u (%s):\n", worker->index, worker->unit,
                         worker->slot < 2   ? "copy engine"
                         : worker->randomIo ? "random requests"
                                            : "distant reader");
            for (const Request& op : worker->recent)
            {
                std::fprintf(stderr, "    %-5s offset %10" PRIu64 " length %8u fault %-24s status 0x%08X%s\n",
                             op.write ? "write" : "read", op.offset, op.length, op.fault.c_str(),
                             unsigned(op.status), op.status == STATUS_PENDING ? " (in flight)" : "");
            }
        }
    }
    const StackCounters counters = Counters(chaosDone_ && finished_ == threadCount_);
    const double readRatio =
        totals_.bytesAsked[0] != 0 ? double(counters.dataIn) / double(totals_.bytesAsked[0]) : 0;
    const double writeRatio =
        totals_.bytesAsked[1] != 0 ? double(counters.dataOut) / double(totals_.bytesAsked[1]) : 0;
    const Totals& t = totals_;
    if (options_.json)
    {
        std::printf("{\"seed\": %" PRIu64 ", \"ops\": %" PRIu64 ", \"threads\": %u, \"mismatches\": %" PRIu64
                    ", \"failures_injected\": %" PRIu64 ", \"failures_reported\": %" PRIu64
                    ", \"failures_hidden\": %" PRIu64 ", \"transient_faults\": %" PRIu64
                    ", \"failed_requests\": %" PRIu64 ", \"cancelled\": %" PRIu64 ", \"timeouts\": %" PRIu64
                    ", \"requeries\": %" PRIu64 ", \"relation_copy_failures\": %" PRIu64
                    ", \"disk_restarts\": %" PRIu64 ", \"removals\": %" PRIu64 ", \"card_swaps\": %" PRIu64
                    ", \"medium_changes\": %" PRIu64 ", \"hidden_medium_changes\": %" PRIu64
                    ", \"write_protect_windows\": %" PRIu64 ", \"pool_windows\": %" PRIu64
                    ", \"polls\": %" PRIu64 ", \"error_code_mismatches\": %" PRIu64 ", \"hangs\": %" PRIu64
                    ", \"device_read_per_byte\": %.3f, \"device_written_per_byte\": %.3f}\n",
                    options_.seed, t.ops.load(), options_.threads, t.mismatches.load(),
                    t.failuresInjected.load(), t.failuresReported.load(), t.failuresHidden.load(),
                    t.transientFaults.load(), t.failedRequests.load(), counters.cancelled, counters.timeouts,
                    t.requeries.load(), t.relationCopyFailures.load(), t.diskRestarts.load(),
                    t.removals.load(), t.cardSwaps.load(), t.mediumChanges.load(),
                    t.hiddenMediumChanges.load(), t.protectWindows.load(), t.poolWindows.load(),
                    counters.polls, t.errorCodeMismatches.load(), t.hangs.load(), readRatio, writeRatio);
        return;
    }
    std::printf("seed %" PRIu64 ": %" PRIu64 " operations on %u threads per unit, %" PRIu64
                " mismatches, %" PRIu64 " failures armed (%" PRIu64 " reported, %" PRIu64 " hidden), %" PRIu64
                " transient faults, %" PRIu64 " requests failed\n",
                options_.seed, t.ops.load(), options_.threads, t.mismatches.load(), t.failuresInjected.load(),
                t.failuresReported.load(), t.failuresHidden.load(), t.transientFaults.load(),
                t.failedRequests.load());
    std::printf("  concurrency: %" PRIu64 " surprise removals, %" PRIu64 " card swaps and %" PRIu64
                " medium changes (%" PRIu64 " hidden), %" PRIu64 " polls, %" PRIu64 " re-queries (%" PRIu64
                " without the filter's copy), %" PRIu64 " disk restarts, %" PRIu64
                " write-protect and %" PRIu64 " pool windows, %" PRIu64 " time-outs, %" PRIu64
                " cancelled URBs, %" PRIu64 " error code mismatches\n",
                t.removals.load(), t.cardSwaps.load(), t.mediumChanges.load(), t.hiddenMediumChanges.load(),
                counters.polls, t.requeries.load(), t.relationCopyFailures.load(), t.diskRestarts.load(),
                t.protectWindows.load(), t.poolWindows.load(), counters.timeouts, counters.cancelled,
                t.errorCodeMismatches.load());
    std::printf("  device data per byte asked: %.2f read, %.2f written\n", readRatio, writeRatio);
}

} // namespace kavlab
