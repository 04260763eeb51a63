// kavlab torture's own checks under overlapping requests: the reference copy accepts exactly what a block
// may hold while writes and reads overlap (old or new per block, never a torn block, never a value that a
// finished write replaced, never the old card's data once the swap was counted) and catches a write the
// medium lost; the device conditions decide which error codes a request may end with and when it must
// fail; the admission keeps other threads off the blocks that carry a request's own device error, and
// keeps the card reader idle while a swap is watched.
#include "lab/torture_ledger.h"
#include "lab/torture_traffic.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace
{
using namespace kavlab;

constexpr uint32_t kBlock = 512;
constexpr uint64_t kUnitBytes = 64 * kBlock;

// A medium the test writes as the device would, and a ledger that reads it.
struct Stick
{
    std::vector<uint8_t> medium = std::vector<uint8_t>(kUnitBytes, 0);
    Ledger ledger{std::vector<uint32_t>{kBlock}, kUnitBytes,
                  [this](unsigned, uint64_t offset, void* buffer, uint64_t length) {
                      std::memcpy(buffer, medium.data() + offset, length);
                  }};

    void Land(const WriteHandle& write, uint64_t from = 0, uint64_t to = UINT64_MAX)
    {
        to = std::min<uint64_t>(to, write->data.size());
        std::memcpy(medium.data() + write->offset + from, write->data.data() + from, to - from);
    }
};

std::vector<uint8_t> Filled(uint64_t blocks, uint8_t value)
{
    return std::vector<uint8_t>(blocks * kBlock, value);
}

// Each read ends once: the ledger forgets the writes a read no longer needs.
Finding ReadBack(Stick& stick, std::unique_ptr<LedgerRead> read, const std::vector<uint8_t>& data)
{
    return stick.ledger.EndRead(*read, true, data.data());
}

std::unique_ptr<LedgerRead> Begin(Stick& stick, uint64_t block, uint64_t blocks)
{
    return stick.ledger.BeginRead(0, block * kBlock, uint32_t(blocks * kBlock));
}

TEST(TortureLedger, ReadsWithoutOverlapMustReturnTheReferenceExactly)
{
    Stick stick;
    auto write = stick.ledger.BeginWrite(0, 4 * kBlock, Filled(4, 0xAA));
    stick.Land(write);
    ASSERT_FALSE(stick.ledger.EndWrite(write, true));

    EXPECT_FALSE(ReadBack(stick, Begin(stick, 4, 4), Filled(4, 0xAA)));
    // Cached data the write overwrote, in one block: caught, at that block.
    std::vector<uint8_t> stale = Filled(4, 0xAA);
    std::fill(stale.begin() + 2 * kBlock, stale.begin() + 3 * kBlock, 0);
    const Finding finding = ReadBack(stick, Begin(stick, 4, 4), stale);
    EXPECT_EQ(finding.kind, FindingKind::WrongRead);
    EXPECT_EQ(finding.at, 6 * kBlock);
}

TEST(TortureLedger, AReadBesideAWriteMayGetOldOrNewPerBlockButNeverATornBlock)
{
    Stick stick;
    auto mixedRead = Begin(stick, 0, 4);
    auto tornRead = Begin(stick, 0, 4);
    auto otherRead = Begin(stick, 0, 4);
    auto write = stick.ledger.BeginWrite(0, 0, Filled(4, 0x55));
    std::vector<uint8_t> mixed = Filled(4, 0);
    std::fill(mixed.begin() + kBlock, mixed.begin() + 2 * kBlock, 0x55);
    EXPECT_FALSE(ReadBack(stick, std::move(mixedRead), mixed));
    std::vector<uint8_t> torn = Filled(4, 0);
    std::fill(torn.begin(), torn.begin() + kBlock / 2, 0x55);
    EXPECT_EQ(ReadBack(stick, std::move(tornRead), torn).kind, FindingKind::WrongRead);
    EXPECT_EQ(ReadBack(stick, std::move(otherRead), Filled(4, 0x77)).kind, FindingKind::WrongRead);
    stick.Land(write);
    EXPECT_FALSE(stick.ledger.EndWrite(write, true));
}

TEST(TortureLedger, AReadThatBeganAfterAWriteEndedMustNotGetWhatItReplaced)
{
    Stick stick;
    auto first = stick.ledger.BeginWrite(0, 0, Filled(2, 0x11));
    auto second = stick.ledger.BeginWrite(0, 0, Filled(2, 0x22)); // keeps the blocks' group open
    stick.Land(first);
    ASSERT_FALSE(stick.ledger.EndWrite(first, true));
    EXPECT_FALSE(ReadBack(stick, Begin(stick, 0, 2), Filled(2, 0x11)));
    EXPECT_FALSE(ReadBack(stick, Begin(stick, 0, 2), Filled(2, 0x22)));
    EXPECT_EQ(ReadBack(stick, Begin(stick, 0, 2), Filled(2, 0)).kind, FindingKind::WrongRead)
        << "the value before both";
    stick.Land(second);
    EXPECT_FALSE(stick.ledger.EndWrite(second, true));
}

TEST(TortureLedger, AWriteReportedDoneMustBeOnTheMedium)
{
    Stick stick;
    auto lost = stick.ledger.BeginWrite(0, 8 * kBlock, Filled(4, 0x33));
    stick.Land(lost, 0, 3 * kBlock); // the last block never reached the medium
    const Finding finding = stick.ledger.EndWrite(lost, true);
    EXPECT_EQ(finding.kind, FindingKind::LostWrite);
    EXPECT_EQ(finding.at, 11 * kBlock);
}

TEST(TortureLedger, OverlappingWritesLeaveOneOfTheLastValuesAndNothingEarlier)
{
    // Two writes in flight together: either may be last, per block.
    Stick stick;
    auto a = stick.ledger.BeginWrite(0, 0, Filled(2, 0xA1));
    auto b = stick.ledger.BeginWrite(0, 0, Filled(2, 0xB2));
    stick.Land(b);
    stick.Land(a, 0, kBlock);
    EXPECT_FALSE(stick.ledger.EndWrite(a, true));
    EXPECT_FALSE(stick.ledger.EndWrite(b, true));
    std::vector<uint8_t> settled = Filled(2, 0xB2);
    std::fill(settled.begin(), settled.begin() + kBlock, 0xA1);
    EXPECT_FALSE(ReadBack(stick, Begin(stick, 0, 2), settled)) << "the medium's mix becomes the reference";
    EXPECT_EQ(ReadBack(stick, Begin(stick, 0, 2), Filled(2, 0xB2)).kind, FindingKind::WrongRead);

    // A long write bridges two short ones: the first short one ended before the second began, so it cannot
    // be what the medium keeps once all have ended.
    Stick bridged;
    auto span = bridged.ledger.BeginWrite(0, 0, Filled(1, 0x01));
    auto early = bridged.ledger.BeginWrite(0, 0, Filled(1, 0x02));
    bridged.Land(early);
    ASSERT_FALSE(bridged.ledger.EndWrite(early, true));
    auto late = bridged.ledger.BeginWrite(0, 0, Filled(1, 0x03));
    bridged.Land(late);
    ASSERT_FALSE(bridged.ledger.EndWrite(late, true));
    bridged.Land(early); // a stale copy of the earlier write reaches the medium again
    EXPECT_EQ(bridged.ledger.EndWrite(span, true).kind, FindingKind::LostWrite)
        << "the earlier write's data came back after a later one ended";
}

TEST(TortureLedger, AFailedWriteLeavesItsBlocksUnknownUntilAWriteSucceeds)
{
    Stick stick;
    auto failed = stick.ledger.BeginWrite(0, 0, Filled(2, 0x44));
    stick.Land(failed, 0, kBlock);
    EXPECT_FALSE(stick.ledger.EndWrite(failed, false));
    EXPECT_EQ(stick.ledger.UnknownBlocks(0), 2u);
    EXPECT_FALSE(ReadBack(stick, Begin(stick, 0, 2), Filled(2, 0x99)));

    auto again = stick.ledger.BeginWrite(0, 0, Filled(2, 0x66));
    stick.Land(again);
    EXPECT_FALSE(stick.ledger.EndWrite(again, true));
    EXPECT_EQ(stick.ledger.UnknownBlocks(0), 0u);
    EXPECT_EQ(ReadBack(stick, Begin(stick, 0, 2), Filled(2, 0x44)).kind, FindingKind::WrongRead);
}

TEST(TortureLedger, OnceTheSwapIsCountedNoReadGetsTheOldCard)
{
    Stick stick;
    auto write = stick.ledger.BeginWrite(0, 0, Filled(4, 0x0C));
    stick.Land(write);
    ASSERT_FALSE(stick.ledger.EndWrite(write, true));

    auto during = Begin(stick, 0, 4);
    auto swap = stick.ledger.BeginSwap(0, std::vector<uint8_t>(kUnitBytes, 0x0D));
    stick.Land(swap);
    EXPECT_FALSE(ReadBack(stick, Begin(stick, 0, 4), Filled(4, 0x0C)))
        << "not yet counted: the old card may still come";
    EXPECT_FALSE(ReadBack(stick, std::move(during), Filled(4, 0x0D)));
    ASSERT_FALSE(stick.ledger.EndWrite(swap, true));

    EXPECT_FALSE(ReadBack(stick, Begin(stick, 0, 4), Filled(4, 0x0D)));
    EXPECT_EQ(ReadBack(stick, Begin(stick, 0, 4), Filled(4, 0x0C)).kind, FindingKind::OldCard);
}

TEST(TortureLedger, VerifyFindsAMediumChangedBehindTheRequests)
{
    Stick stick;
    EXPECT_FALSE(stick.ledger.Verify(0));
    stick.medium[20 * kBlock + 7] = 1;
    const Finding finding = stick.ledger.Verify(0);
    EXPECT_EQ(finding.kind, FindingKind::WrongMedium);
    EXPECT_EQ(finding.at, 20 * kBlock);
}

// One window of each kind on unit 0, open or closed as the test needs.
struct Windows
{
    Stick stick;
    Conditions conditions{stick.ledger};

    size_t Window(ConditionKind kind, bool write, uint64_t first, uint64_t last, NTSTATUS code)
    {
        Condition condition;
        condition.kind = kind;
        condition.write = write;
        condition.first = first;
        condition.last = last;
        condition.code = code;
        const size_t id = conditions.Open(condition);
        conditions.Set(id);
        return id;
    }
    void Close(size_t id)
    {
        conditions.Clearing(id);
        conditions.Close(id);
    }
};

TEST(TortureConditions, ADeviceErrorExplainsOnlyRequestsOnItsBlocksAndTime)
{
    Windows w;
    const size_t own = w.Window(ConditionKind::DeviceError, false, 10, 19, STATUS_DEVICE_DATA_ERROR);
    const uint64_t begun = w.stick.ledger.Tick();
    const uint64_t ended = w.stick.ledger.Tick();
    w.Close(own);

    const Verdict mine = w.conditions.For(0, false, 10, 19, begun, ended, own);
    EXPECT_TRUE(mine.mustFail);
    EXPECT_TRUE(mine.Allows(STATUS_DEVICE_DATA_ERROR));
    EXPECT_FALSE(mine.Allows(STATUS_IO_DEVICE_ERROR));

    const Verdict overlapping = w.conditions.For(0, false, 15, 30, begun, ended, Conditions::kNone);
    EXPECT_FALSE(overlapping.mustFail);
    EXPECT_TRUE(overlapping.Allows(STATUS_DEVICE_DATA_ERROR));
    EXPECT_FALSE(
        w.conditions.For(0, false, 20, 30, begun, ended, Conditions::kNone).Allows(STATUS_DEVICE_DATA_ERROR))
        << "the neighbour's error handed to this request";
    EXPECT_FALSE(
        w.conditions.For(0, true, 10, 19, begun, ended, Conditions::kNone).Allows(STATUS_DEVICE_DATA_ERROR))
        << "a read error met by a write";
    EXPECT_FALSE(
        w.conditions.For(1, false, 10, 19, begun, ended, Conditions::kNone).Allows(STATUS_DEVICE_DATA_ERROR));
    const uint64_t later = w.stick.ledger.Tick();
    EXPECT_FALSE(w.conditions.For(0, false, 10, 19, later, w.stick.ledger.Tick(), Conditions::kNone)
                     .Allows(STATUS_DEVICE_DATA_ERROR))
        << "the error was gone before the request began";
}

TEST(TortureConditions, UnitWideConditionsBindTheRequestsInsideThem)
{
    Windows w;
    const uint64_t before = w.stick.ledger.Tick();
    const size_t protect = w.Window(ConditionKind::WriteProtected, false, 0, 0, STATUS_MEDIA_WRITE_PROTECTED);
    const size_t empty = w.Window(ConditionKind::NoMedium, false, 0, 0, STATUS_NO_MEDIA_IN_DEVICE);
    const uint64_t begun = w.stick.ledger.Tick();
    const uint64_t ended = w.stick.ledger.Tick();
    w.Close(empty);
    w.Close(protect);

    const Verdict write = w.conditions.For(0, true, 0, 3, begun, ended, Conditions::kNone);
    EXPECT_TRUE(write.mustFail);
    EXPECT_TRUE(write.Allows(STATUS_MEDIA_WRITE_PROTECTED));
    EXPECT_TRUE(write.Allows(STATUS_NO_MEDIA_IN_DEVICE));
    // A read may be answered from data read before the card went out.
    const Verdict read = w.conditions.For(0, false, 0, 3, begun, ended, Conditions::kNone);
    EXPECT_FALSE(read.mustFail);
    EXPECT_TRUE(read.Allows(STATUS_NO_MEDIA_IN_DEVICE));
    EXPECT_FALSE(read.Allows(STATUS_MEDIA_WRITE_PROTECTED));
    // Begun before the conditions were set: it may meet them, it need not.
    const Verdict straddling = w.conditions.For(0, true, 0, 3, before, ended, Conditions::kNone);
    EXPECT_FALSE(straddling.mustFail);
    EXPECT_TRUE(straddling.Allows(STATUS_MEDIA_WRITE_PROTECTED));

    const size_t removal = w.Window(ConditionKind::Removal, false, 0, 0, STATUS_SUCCESS);
    EXPECT_TRUE(
        w.conditions.For(1, true, 0, 3, w.stick.ledger.Tick(), w.stick.ledger.Tick(), Conditions::kNone)
            .Allows(STATUS_DEVICE_DATA_ERROR))
        << "while the stick leaves, anything goes, on every unit";
    w.Close(removal);

    w.conditions.Forget(w.stick.ledger.Tick());
    EXPECT_FALSE(
        w.conditions.For(0, true, 0, 3, begun, ended, Conditions::kNone).Allows(STATUS_MEDIA_WRITE_PROTECTED))
        << "windows closed before the stamp are gone";
}

TEST(TortureTraffic, AReservedRangeKeepsOtherThreadsOffUntilItsRequestEnds)
{
    Traffic traffic(2);
    bool reserved = false;
    ASSERT_TRUE(traffic.Enter(0, 0, 100, 199, true, reserved));
    ASSERT_TRUE(reserved);

    bool other = false;
    ASSERT_TRUE(traffic.Enter(1, 0, 200, 299, true, other)) << "beside the range: no wait";
    EXPECT_TRUE(other);
    traffic.Leave(1);
    ASSERT_TRUE(traffic.Enter(1, 1, 100, 199, false, other)) << "another unit: no wait";
    traffic.Leave(1);

    std::atomic<bool> entered{false};
    std::thread overlapping([&] {
        bool unused = false;
        EXPECT_TRUE(traffic.Enter(2, 0, 150, 160, false, unused));
        entered = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(entered) << "entered blocks that carry another request's error";
    traffic.Leave(0);
    overlapping.join();
    EXPECT_TRUE(entered);

    // Blocks another request is reading or writing get no error of their own: it could reach that request.
    bool refused = true;
    ASSERT_TRUE(traffic.Enter(0, 0, 100, 199, true, refused));
    EXPECT_FALSE(refused);
    traffic.Leave(0);
    traffic.Leave(2);
    ASSERT_TRUE(traffic.Enter(0, 0, 100, 199, true, refused));
    EXPECT_TRUE(refused);
    traffic.Leave(0);
}

TEST(TortureTraffic, TheCardReaderIsQuietAndIdleWhileItsChangeIsWatched)
{
    Traffic traffic(2);
    ASSERT_TRUE(traffic.TryArm(1));
    std::atomic<bool> quiet{false};
    std::thread watcher([&] {
        traffic.Quiet(1);
        quiet = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(quiet) << "a fault armed on the unit is still there";
    traffic.Disarm(1);
    watcher.join();
    EXPECT_FALSE(traffic.TryArm(1));
    EXPECT_TRUE(traffic.TryArm(0));
    bool reserved = true;
    ASSERT_TRUE(traffic.Enter(0, 1, 0, 9, true, reserved));
    EXPECT_FALSE(reserved) << "no error armed on a quiet unit";
    traffic.Leave(0);
    EXPECT_FALSE(traffic.BeginGlobalFault() && (traffic.EndGlobalFault(), false));

    traffic.Idle(1);
    std::atomic<bool> entered{false};
    std::thread request([&] {
        bool unused = false;
        EXPECT_TRUE(traffic.Enter(3, 1, 0, 9, false, unused));
        entered = true;
        traffic.Leave(3);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(entered) << "a request reached the idle unit";
    traffic.Wake(1);
    request.join();
    traffic.Unquiet(1);
    EXPECT_TRUE(traffic.TryArm(1));
}

TEST(TortureTraffic, ParkedThreadsResumeAndStoppedOnesLeave)
{
    Traffic traffic(1);
    traffic.BeginParking();
    std::atomic<int> sent{0};
    std::vector<std::thread> threads;
    for (unsigned thread = 0; thread < 3; ++thread)
    {
        threads.emplace_back([&, thread] {
            bool unused = false;
            while (traffic.Enter(thread, 0, thread * 10, thread * 10 + 9, false, unused))
            {
                traffic.Leave(thread);
                if (++sent >= 30)
                {
                    traffic.Stop();
                }
            }
            traffic.Done();
        });
    }
    ASSERT_TRUE(traffic.WaitParked(3));
    EXPECT_EQ(sent, 0) << "a parked thread sent a request";
    traffic.Resume();
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    EXPECT_GE(sent, 30);
    EXPECT_TRUE(traffic.Stopped());
}

} // namespace
