// kavlab bench's workloads on the simulated stick: the concurrent ones (two readers far apart, the copy
// engine's two requests in flight) really run their requests at once, each thread's data is checked on its
// own, and the figures agree with what was asked: without the filter a reader makes the device read exactly
// the bytes it asked for, in sixteen 64 KiB commands per MiB; request sizes that do not divide the total
// still cover it.
#include "lab/bench.h"

#include "winsim/usb/disk_image.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <utility>

namespace
{
namespace wu = winsim::usb;
using kavlab::BenchOptions;
using kavlab::BenchResult;
using kavlab::RunResult;

constexpr uint64_t kMiB = 1 << 20;

BenchOptions Options(const char* workload, uint64_t total, uint64_t request = 0)
{
    BenchOptions options;
    EXPECT_TRUE(kavlab::FindWorkload(workload, options.workload)) << workload;
    options.workload.totalBytes = total;
    if (request != 0)
    {
        options.workload.requestBytes = request;
    }
    return options;
}

void ExpectReadsExactlyWhatWasAsked(const RunResult& run, double mebibytes)
{
    EXPECT_TRUE(run.dataVerified);
    EXPECT_EQ(run.failedRequests, 0u);
    EXPECT_EQ(run.mebibytes, mebibytes);
    EXPECT_EQ(run.deviceReadMibPerMib, 1.0);
}

uint64_t FilterCounter(const RunResult& run, const std::string& name)
{
    for (const auto& [counter, value] : run.filterCounters)
    {
        if (counter == name)
        {
            return value;
        }
    }
    ADD_FAILURE() << name << " was not published";
    return 0;
}

// What Kavfiltr published for the unit agrees with what the stick saw and with what was asked, for every
// workload, the concurrent ones included.
TEST(KavlabBench, TheFilterCountsWhatTheStickSawInEveryWorkload)
{
    for (const char* workload : {"seqread", "seqread64k", "seqwrite", "seqwrite64k", "random4k", "random64k",
                                 "stride", "interleaved", "seqread64k-smallgaps", "twostreams", "copyengine"})
    {
        SCOPED_TRACE(workload);
        const RunResult run = kavlab::RunBench(Options(workload, 4 * kMiB)).filtered;
        ASSERT_TRUE(run.dataVerified);
        const kavlab::BlockCommandCounts& saw = run.deviceSaw;
        EXPECT_EQ(FilterCounter(run, "DeviceReadCommands"), saw.readCommands);
        EXPECT_EQ(FilterCounter(run, "DeviceWriteCommands"), saw.writeCommands);
        EXPECT_EQ(FilterCounter(run, "DeviceBytesRead"), saw.bytesRead);
        EXPECT_EQ(FilterCounter(run, "DeviceBytesWritten"), saw.bytesWritten);
        EXPECT_EQ(FilterCounter(run, "ClassBytesRead") + FilterCounter(run, "ClassBytesWritten"),
                  uint64_t(run.mebibytes * double(kMiB)));
        // Every READ(10) of the class driver either reached the device or was answered from the cache.
        EXPECT_GE(FilterCounter(run, "CachedReads") + FilterCounter(run, "DeviceReadCommands"),
                  FilterCounter(run, "ClassReadCommands"));
        EXPECT_LE(FilterCounter(run, "CachedBytes"), FilterCounter(run, "ClassBytesRead"));
        EXPECT_EQ(FilterCounter(run, "FailuresPassedOn"), 0u);
        EXPECT_EQ(FilterCounter(run, "FailedPublishes"), 0u);
    }
}

TEST(KavlabBench, ConcurrentReadersVerifyAndReadWhatTheyAskWithAndWithoutTheFilter)
{
    for (const char* workload : {"twostreams", "copyengine"})
    {
        SCOPED_TRACE(workload);
        BenchResult result = kavlab::RunBench(Options(workload, 8 * kMiB));
        ExpectReadsExactlyWhatWasAsked(result.unfiltered, 8);
        EXPECT_EQ(result.unfiltered.deviceCommandsPerMib, 16.0);
        EXPECT_GT(result.unfiltered.modelledMbPerS, 0);
        // The filter may read ahead more than it hands out, never less than was asked for.
        EXPECT_TRUE(result.filtered.dataVerified);
        EXPECT_EQ(result.filtered.failedRequests, 0u);
        EXPECT_EQ(result.filtered.mebibytes, 8.0);
        EXPECT_GE(result.filtered.deviceReadMibPerMib, 1.0);
        // The threads' commands interleave as the scheduler has it; the same set of them is the same run.
        EXPECT_EQ(kavlab::RunOnce(Options(workload, 8 * kMiB), false).commandLog,
                  result.unfiltered.commandLog);
    }
}

TEST(KavlabBench, RequestSizesThatDoNotDivideTheTotalCoverItExactly)
{
    for (uint64_t request : {80ull << 10, 200ull << 10, 1008ull << 10})
    {
        SCOPED_TRACE(request);
        ExpectReadsExactlyWhatWasAsked(kavlab::RunOnce(Options("seqread", 3 * kMiB, request), false), 3);
        RunResult filtered = kavlab::RunOnce(Options("seqread", 3 * kMiB, request), true);
        EXPECT_TRUE(filtered.dataVerified);
        EXPECT_EQ(filtered.mebibytes, 3.0);
        EXPECT_GE(filtered.deviceReadMibPerMib, 1.0);
        // Written data is read back from the medium over the whole total, the short last request included.
        RunResult write = kavlab::RunOnce(Options("seqwrite", 3 * kMiB, request), true);
        EXPECT_TRUE(write.dataVerified);
        EXPECT_EQ(write.mebibytes, 3.0);
    }
}

// An unfiltered stick behind a target that can hold or spoil a request, to see what the workload issues.
class BenchTarget : public ::testing::Test
{
protected:
    static constexpr uint64_t kUnitBytes = 64 * kMiB;

    BenchTarget() : rig_(RigOptions())
    {
        target_.read = [this](void* buffer, ULONG length, ULONGLONG offset) {
            if (beforeRead_)
            {
                beforeRead_(offset);
            }
            NTSTATUS status = rig_.Read(0, buffer, length, offset).status;
            if (offset == spoiledOffset_)
            {
                static_cast<uint8_t*>(buffer)[length - 1] ^= 1;
            }
            return status;
        };
        target_.write = [this](const void* buffer, ULONG length, ULONGLONG offset) {
            return rig_.Write(0, buffer, length, offset).status;
        };
        target_.device = &rig_.Device();
        target_.unitBytes = kUnitBytes;
    }

    static wu::StorageRigOptions RigOptions()
    {
        wu::StorageRigOptions options;
        wu::LunConfig lun;
        lun.image = std::make_shared<wu::MemoryDiskImage>(kUnitBytes);
        options.device.luns.push_back(lun);
        return options;
    }

    RunResult Run(const char* workload, uint64_t total)
    {
        return kavlab::RunWorkload(Options(workload, total), target_, false);
    }

    winsim::ScopedKernel kernel_;
    wu::StorageRig rig_;
    kavlab::IoTarget target_;
    std::function<void(uint64_t offset)> beforeRead_;
    uint64_t spoiledOffset_ = ~0ull;
};

TEST_F(BenchTarget, EveryReaderChecksItsOwnData)
{
    // The second reader's first request, the copy engine's request taken by either thread.
    for (auto [workload, offset] :
         {std::pair{"twostreams", kUnitBytes / 2}, std::pair{"copyengine", 5 * kMiB}})
    {
        SCOPED_TRACE(workload);
        spoiledOffset_ = offset;
        RunResult run = Run(workload, 8 * kMiB);
        EXPECT_FALSE(run.dataVerified);
        EXPECT_EQ(run.failedRequests, 0u);
    }
}

// Each request waits until the one it must overlap has been issued: a workload that issued them one after
// the other would never get there. The wait's bound only keeps such a failure from hanging the test, and
// after one unmet wait the rest do not wait.
class Rendezvous
{
public:
    void Issued(uint64_t offset)
    {
        std::lock_guard<std::mutex> guard(lock_);
        issued_.insert(offset);
        changed_.notify_all();
    }

    void AwaitIssued(uint64_t offset)
    {
        std::unique_lock<std::mutex> guard(lock_);
        if (unmet_ == 0 &&
            !changed_.wait_for(guard, std::chrono::seconds(30), [&] { return issued_.count(offset) != 0; }))
        {
            ++unmet_;
        }
    }

    unsigned Unmet()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return unmet_;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::set<uint64_t> issued_;
    unsigned unmet_ = 0;
};

TEST_F(BenchTarget, CopyEngineIssuesTheNextRequestWhileOneIsInFlight)
{
    const uint64_t total = 8 * kMiB;
    Rendezvous rendezvous;
    beforeRead_ = [&](uint64_t offset) {
        rendezvous.Issued(offset);
        if (offset + kMiB < total)
        {
            rendezvous.AwaitIssued(offset + kMiB);
        }
    };
    RunResult run = Run("copyengine", total);
    EXPECT_TRUE(run.dataVerified);
    EXPECT_EQ(rendezvous.Unmet(), 0u);
}

TEST_F(BenchTarget, TwoStreamsReadBothRangesAtOnce)
{
    const uint64_t total = 8 * kMiB;
    Rendezvous rendezvous;
    // The n-th request of one reader waits for the n-th of the other, half the unit away.
    beforeRead_ = [&](uint64_t offset) {
        rendezvous.Issued(offset);
        rendezvous.AwaitIssued(offset < kUnitBytes / 2 ? offset + kUnitBytes / 2 : offset - kUnitBytes / 2);
    };
    RunResult run = Run("twostreams", total);
    EXPECT_TRUE(run.dataVerified);
    EXPECT_EQ(run.mebibytes, 8.0);
    EXPECT_EQ(rendezvous.Unmet(), 0u);
}

} // namespace
