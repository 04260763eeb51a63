// The disk class driver model's media-change polling: a TEST UNIT READY finds a swapped, removed or
// returned medium without any read and the class driver counts and flags it as it does for a request;
// only a started removable unit with an interval is polled; polling stops at stop and removal without
// leaving a thread, an IRP or a pool block; and polls that run while several threads read and write, with
// the medium changing meanwhile, leave their data and statuses untouched.
#include "tests/support/patterns.h"
#include "winsim/usb/storage_rig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace
{

using namespace kavtest;
using namespace winsim;
using namespace winsim::usb;
using namespace std::chrono_literals;

StorageRigOptions Options(UrbCompletion completion, DiskClassOptions disk = {}, bool removable = true)
{
    StorageRigOptions options;
    LunConfig lun;
    lun.image = std::make_shared<MemoryDiskImage>(8 * kMiB);
    lun.removable = removable;
    options.device.luns.push_back(lun);
    options.completion = completion;
    options.completionDelay = std::chrono::microseconds(completion == UrbCompletion::Deferred ? 20 : 0);
    options.disk = disk;
    return options;
}

DiskClassOptions Polled(std::chrono::milliseconds interval, bool mounted = false)
{
    DiskClassOptions disk;
    disk.mediaPollInterval = interval;
    disk.volumeMounted = mounted;
    return disk;
}

template <class Predicate> bool WaitUntil(Predicate done, std::chrono::milliseconds timeout = 10s)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done())
    {
        if (std::chrono::steady_clock::now() > end)
        {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

size_t CommandsWithOpcode(StorageRig& rig, uint8_t opcode)
{
    size_t count = 0;
    for (const CommandRecord& record : rig.Device().CommandLog())
    {
        count += record.opcode == opcode ? 1 : 0;
    }
    return count;
}

class MediaPoll : public ::testing::TestWithParam<UrbCompletion>
{
protected:
    ScopedKernel kernel_;
};

// A swap is found by the poll alone, counted once, and with a mounted volume flags it for verification;
// the next poll finds the unit ready.
TEST_P(MediaPoll, APollFindsAChangedMediumWithoutAnyRead)
{
    for (const bool mounted : {false, true})
    {
        StorageRig rig(Options(GetParam(), Polled(0ms, mounted)));
        PDEVICE_OBJECT fdo = rig.DiskFdo(0);
        rig.Device().ClearCommandLog();
        EXPECT_EQ(PollMediumNow(fdo), STATUS_SUCCESS);
        rig.Device().ChangeMedium(0);
        EXPECT_EQ(PollMediumNow(fdo), mounted ? STATUS_VERIFY_REQUIRED : STATUS_IO_DEVICE_ERROR);
        EXPECT_FALSE(rig.Device().UnitAttentionPending(0));
        DiskClassInfo info = GetDiskClassInfo(fdo);
        EXPECT_EQ(info.mediaChanges, 1u) << mounted;
        EXPECT_EQ(info.verifyVolume, mounted);
        EXPECT_EQ(PollMediumNow(fdo), STATUS_SUCCESS);
        info = GetDiskClassInfo(fdo);
        EXPECT_EQ(info.mediaChanges, 1u);
        EXPECT_EQ(info.polls, 3u);
        EXPECT_EQ(info.pieces, 0u);
        EXPECT_EQ(CommandsWithOpcode(rig, scsi::kTestUnitReady), 3u);
        EXPECT_EQ(CommandsWithOpcode(rig, scsi::kRead10) + CommandsWithOpcode(rig, scsi::kWrite10), 0u);
    }
}

// A medium taken out is only noted (no change, nothing to verify); the medium put back is a change.
TEST_P(MediaPoll, AMediumTakenOutIsNotedAndOnePutBackIsAChange)
{
    StorageRig rig(Options(GetParam(), Polled(0ms, true)));
    PDEVICE_OBJECT fdo = rig.DiskFdo(0);
    rig.Device().SetMediumPresent(0, false);
    EXPECT_EQ(PollMediumNow(fdo), STATUS_NO_MEDIA_IN_DEVICE);
    EXPECT_EQ(PollMediumNow(fdo), STATUS_NO_MEDIA_IN_DEVICE);
    EXPECT_EQ(GetDiskClassInfo(fdo).mediaChanges, 0u);
    EXPECT_FALSE(GetDiskClassInfo(fdo).verifyVolume);
    rig.Device().SetMediumPresent(0, true);
    EXPECT_EQ(PollMediumNow(fdo), STATUS_VERIFY_REQUIRED);
    EXPECT_EQ(GetDiskClassInfo(fdo).mediaChanges, 1u);
    EXPECT_TRUE(GetDiskClassInfo(fdo).verifyVolume);
    EXPECT_EQ(GetDiskClassInfo(fdo).retries, 0u) << "a poll is not retried";
}

// The thread polls a removable unit by itself and finds a swap; a fixed unit and a unit without an
// interval get no thread and no command beyond their requests.
TEST_P(MediaPoll, OnlyARemovableUnitWithAnIntervalIsPolled)
{
    size_t threadsWithoutPolling = 0;
    {
        StorageRig rig(Options(GetParam()));
        threadsWithoutPolling = RunningSystemThreads();
        rig.Device().ClearCommandLog();
        std::this_thread::sleep_for(30ms);
        EXPECT_EQ(GetDiskClassInfo(rig.DiskFdo(0)).polls, 0u);
        EXPECT_TRUE(rig.Device().CommandLog().empty());
    }
    {
        StorageRig rig(Options(GetParam(), Polled(2ms), false));
        EXPECT_EQ(RunningSystemThreads(), threadsWithoutPolling);
        std::this_thread::sleep_for(30ms);
        EXPECT_EQ(GetDiskClassInfo(rig.DiskFdo(0)).polls, 0u);
        EXPECT_EQ(PollMediumNow(rig.DiskFdo(0)), STATUS_SUCCESS) << "asked for, a fixed unit is polled too";
    }
    StorageRig rig(Options(GetParam(), Polled(2ms)));
    PDEVICE_OBJECT fdo = rig.DiskFdo(0);
    EXPECT_EQ(RunningSystemThreads(), threadsWithoutPolling + 1);
    ASSERT_TRUE(WaitUntil([&] { return GetDiskClassInfo(fdo).polls >= 3; }));
    rig.Device().ChangeMedium(0);
    ASSERT_TRUE(WaitUntil([&] { return GetDiskClassInfo(fdo).mediaChanges == 1; }));
    EXPECT_FALSE(rig.Device().UnitAttentionPending(0));
    EXPECT_EQ(GetDiskClassInfo(fdo).pieces, 0u);
    EXPECT_FALSE(GetDiskClassInfo(fdo).verifyVolume);
}

// A stop ends the thread and refuses polls; the next start polls again.
TEST_P(MediaPoll, AStoppedDeviceIsNotPolledUntilItStartsAgain)
{
    StorageRig rig(Options(GetParam(), Polled(1ms)));
    PDEVICE_OBJECT fdo = rig.DiskFdo(0);
    ASSERT_TRUE(WaitUntil([&] { return GetDiskClassInfo(fdo).polls >= 2; }));
    const size_t threadsPolling = RunningSystemThreads();
    EXPECT_EQ(SendPnp(rig.DiskTop(0), IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(RunningSystemThreads(), threadsPolling - 1);
    const ULONGLONG polls = GetDiskClassInfo(fdo).polls;
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(PollMediumNow(fdo), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(GetDiskClassInfo(fdo).polls, polls);

    EXPECT_EQ(SendPnp(rig.DiskTop(0), IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(RunningSystemThreads(), threadsPolling);
    EXPECT_TRUE(WaitUntil([&] { return GetDiskClassInfo(fdo).polls > polls; }));
}

// Orderly and surprise removal, with polls coming every millisecond and a device slow to answer them,
// end the thread and leave nothing behind; the drivers unload (which would fail with a thread running).
TEST_P(MediaPoll, PollingStopsAtRemovalAndLeavesNothing)
{
    for (const bool surprise : {false, true})
    {
        StorageRigOptions options = Options(GetParam(), Polled(1ms));
        if (GetParam() == UrbCompletion::Deferred)
        {
            options.completionDelay = 300us;
        }
        StorageRig rig(options);
        PDEVICE_OBJECT fdo = rig.DiskFdo(0);
        ASSERT_TRUE(WaitUntil([&] { return GetDiskClassInfo(fdo).polls >= 5; }));
        if (surprise)
        {
            rig.SurpriseRemove();
        }
        else
        {
            rig.Teardown();
        }
        EXPECT_EQ(RunningSystemThreads(), 0u) << surprise;
        EXPECT_EQ(OutstandingIrps(), 0u) << surprise;
        EXPECT_EQ(PoolOutstandingBlocks(), 0u) << surprise;
    }
}

// Polls by the thread and by another caller, each after a medium change, run between the pieces of
// reads and writes from several threads: every request ends as it would without them, the data is
// where it belongs, and each change is counted once, whoever met it.
TEST_P(MediaPoll, PollsAndMediumChangesLeaveConcurrentReadsAndWritesIntact)
{
    DiskClassOptions disk = Polled(1ms);
    disk.maxOutstanding = 2;
    disk.retries = 8; // a piece that meets a change is sent again; several changes in a row must not fail it
    StorageRig rig(Options(GetParam(), disk));
    PDEVICE_OBJECT fdo = rig.DiskFdo(0);
    constexpr int kThreads = 4;
    constexpr int kRounds = 4;
    constexpr ULONG kSize = 192 * kKiB;
    std::atomic<int> failures{0};
    std::atomic<bool> writersDone{false};
    std::atomic<int> changes{0};
    std::atomic<int> badPolls{0};
    std::thread poller([&] {
        while (!writersDone)
        {
            rig.Device().ChangeMedium(0);
            ++changes;
            const NTSTATUS status = PollMediumNow(fdo);
            if (status != STATUS_SUCCESS && status != STATUS_IO_DEVICE_ERROR)
            {
                ++badPolls;
            }
            std::this_thread::sleep_for(2ms);
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back([&rig, &failures, t] {
            for (int round = 0; round < kRounds; ++round)
            {
                const ULONGLONG offset = ULONGLONG(t) * (2 * kMiB) + ULONGLONG(round) * kSize;
                const auto data = PatternAt(offset, kSize, uint32_t(t * 10 + round));
                const IoOutcome written = rig.Write(0, data.data(), kSize, offset);
                if (written.status != STATUS_SUCCESS || written.information != kSize)
                {
                    ++failures;
                }
                std::vector<uint8_t> back(kSize);
                const IoOutcome read = rig.Read(0, back.data(), kSize, offset);
                if (read.status != STATUS_SUCCESS || read.information != kSize || back != data)
                {
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads)
    {
        thread.join();
    }
    writersDone = true;
    poller.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(badPolls, 0);
    for (int t = 0; t < kThreads; ++t)
    {
        for (int round = 0; round < kRounds; ++round)
        {
            const ULONGLONG offset = ULONGLONG(t) * (2 * kMiB) + ULONGLONG(round) * kSize;
            std::vector<uint8_t> medium(kSize);
            rig.Device().ReadMedium(0, offset, medium.data(), kSize);
            EXPECT_EQ(medium, PatternAt(offset, kSize, uint32_t(t * 10 + round))) << t << "/" << round;
        }
    }
    const DiskClassInfo info = GetDiskClassInfo(fdo);
    EXPECT_GT(changes, 0);
    EXPECT_EQ(info.mediaChanges, ULONGLONG(changes));
    EXPECT_GE(info.polls, ULONGLONG(changes));
}

// The poll waits for its answer, so it may only be asked for at PASSIVE_LEVEL.
TEST(MediaPollMisuse, APollAtDispatchLevelIsABugCheck)
{
    ScopedKernel kernel;
    StorageRig rig(Options(UrbCompletion::Inline));
    PDEVICE_OBJECT fdo = rig.DiskFdo(0);
    {
        BugCheckTrap trap;
        EXPECT_THROW(RunAtDispatch([&] { PollMediumNow(fdo); }), BugCheckError);
        EXPECT_EQ(trap.Count(DRIVER_VERIFIER_DETECTED_VIOLATION), 1u);
    }
    EXPECT_EQ(GetDiskClassInfo(fdo).polls, 0u);
    EXPECT_THROW(PollMediumNow(rig.FunctionDevice()), std::logic_error);
}

INSTANTIATE_TEST_SUITE_P(Completion, MediaPoll,
                         ::testing::Values(UrbCompletion::Inline, UrbCompletion::Deferred),
                         [](const auto& info) {
                             return std::string(info.param == UrbCompletion::Inline ? "Inline" : "Deferred");
                         });

} // namespace
