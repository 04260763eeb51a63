// The read-ahead cache: when it reads ahead, what the device then sees, that the cached answers carry the
// right data and status, and that it never answers with data older than the device's.
#include "tests/driver/transport_fixture.h"

#include <functional>
#include <thread>

namespace
{

using namespace kavtest;
class ReadAheadTest : public TransportTest
{
protected:
    void SetUp() override
    {
        TransportTest::SetUp();
        ASSERT_TRUE(ReadCapacity().Passed(tag_));
        NewCommands();
    }

    // Reads and checks the data against the medium.
    Exchange ReadAndCheck(uint32_t lba, uint16_t blocks)
    {
        std::vector<uint8_t> data;
        Exchange result = Read10(lba, blocks, data);
        EXPECT_TRUE(result.Passed(tag_)) << "read at " << lba;
        EXPECT_TRUE(data == Medium(lba, blocks)) << "data of the read at " << lba;
        return result;
    }

    // The card was swapped: the device's next READ(10) meets the unit attention.
    void FailNextReadWithMediumChange()
    {
        wu::FaultRule changed;
        changed.kind = wu::FaultKind::FailCommand;
        changed.when.opcode = 0x28;
        changed.sense = wu::sense::kMediumChanged;
        device_->AddFault(changed);
    }

    // A reader at the start of a filled unit whose block 1000 cannot be read; returns the fault's rule.
    int StartBehindABadBlock()
    {
        FillMedium(0, 4096, 8);
        ReadAndCheck(0, 128);
        wu::FaultRule bad;
        bad.persistent = true;
        bad.when.opcode = 0x28;
        bad.when.firstLba = 1000;
        bad.when.lastLba = 1000;
        return device_->AddFault(bad);
    }

    // Two large reads just before `lba` open a sequence: the cache then holds `lba` and the blocks after it.
    void FillCacheFor(uint32_t lba)
    {
        ReadAndCheck(lba - 256, 128);
        ReadAndCheck(lba - 128, 128);
        NewCommands();
    }

    void FillMedium(uint32_t lba, uint32_t blocks, uint8_t salt)
    {
        std::vector<uint8_t> data = BlockPattern(lba, blocks, salt);
        device_->WriteMedium(0, uint64_t(lba) * 512, data.data(), data.size());
    }
};

TEST_F(ReadAheadTest, TwoConsecutiveLargeReadsOpenASequenceThatTheCacheThenAnswers)
{
    FillMedium(1000, 4096, 1);
    ReadAndCheck(1000, 128);
    EXPECT_EQ(NewCommands(), (Commands{{0x28, 1000, 128}}));
    ReadAndCheck(1128, 128);
    EXPECT_EQ(NewCommands(), (Commands{{0x28, 1128, 2048}}));
    for (uint32_t lba = 1256; lba < 1128 + 2048; lba += 128)
    {
        ReadAndCheck(lba, 128);
    }
    EXPECT_TRUE(NewCommands().empty());
    // A single large read elsewhere, which nothing was read ahead for, takes no room from the reader: it
    // goes on past the cache with a new full read-ahead.
    ReadAndCheck(40000, 128);
    ReadAndCheck(1128 + 2048, 128);
    EXPECT_EQ(NewCommands(), (Commands{{0x28, 40000, 128}, {0x28, 1128 + 2048, 2048}}));
}

// A 32 GiB stick: block addresses above 2^24 use every byte of the command's address and of the capacity
// answer. A read there is never answered with what was read ahead 8 GiB lower, and the last gigabytes are
// read ahead at their own address, up to the last block.
class LargeUnitReadAheadTest : public ReadAheadTest
{
protected:
    static constexpr uint32_t kLargeBlocks = 0x4000000;

    wu::DeviceConfig Config() override
    {
        wu::DeviceConfig config;
        wu::LunConfig lun;
        lun.image = std::make_shared<wu::MemoryDiskImage>(uint64_t(kLargeBlocks) * 512);
        config.luns.push_back(lun);
        return config;
    }
};

TEST_F(LargeUnitReadAheadTest, BlocksAbove16MebiblocksAreReadAtTheirOwnAddress)
{
    const uint32_t start = kLargeBlocks - 4096;
    FillMedium(start, 4096, 7);
    for (uint32_t lba = start; lba < kLargeBlocks; lba += 128)
    {
        ReadAndCheck(lba, 128);
    }
    EXPECT_EQ(NewCommands(),
              (Commands{{0x28, start, 128}, {0x28, start + 128, 2048}, {0x28, start + 2176, 1920}}));

    FillMedium(0x800000, 4096, 5);
    FillMedium(0x1800000, 4096, 6);
    ReadAndCheck(0x800000, 128);
    ReadAndCheck(0x800080, 128);
    ReadAndCheck(0x1800100, 128);
}

// The filter's own commands carry every byte of a high address: gathered data reaches the medium where its
// write asked, and a read-ahead there reads the blocks asked for.
TEST_F(LargeUnitReadAheadTest, GatheredDataAndReadAheadAtHighAddressesGoWhereTheyBelong)
{
    // The second write crosses a boundary of 2^16 and one of 2^24 blocks.
    for (uint32_t lba : {0x1A5C300u, 0x1FFFC00u})
    {
        NewCommands();
        auto request = HoldOnDisk(IRP_MJ_WRITE, 0x100000, int64_t(lba) * 512);
        for (uint32_t at = lba; at < lba + 2048; at += 128)
        {
            std::vector<uint8_t> piece = BlockPattern(at, 128, 9);
            EXPECT_TRUE(Write10(at, 128, piece).Passed(tag_));
        }
        bus_->ReleaseHeld();
        request->Wait();
        EXPECT_EQ(NewCommands(), (Commands{{0x2A, lba, 2048}}));
        EXPECT_TRUE(Medium(lba, 2048) == BlockPattern(lba, 2048, 9)) << "the write at " << lba;
        for (uint32_t at = lba; at < lba + 1024; at += 128)
        {
            ReadAndCheck(at, 128);
        }
    }
}

TEST_F(ReadAheadTest, ALargeReadInFlightOnTheDiskIsReadAheadAtOnceUpToItsLength)
{
    FillMedium(0, 1024, 2);
    auto request = HoldOnDisk(IRP_MJ_READ, 262144, 0);
    ReadAndCheck(0, 128);
    EXPECT_EQ(NewCommands(), (Commands{{0x28, 0, 512}}));
    ReadAndCheck(128, 128);
    ReadAndCheck(256, 128);
    ReadAndCheck(384, 128);
    EXPECT_TRUE(NewCommands().empty());
    bus_->ReleaseHeld();
    request->Wait();

    // A read no longer than its one command gains nothing from the cache and goes down as it is.
    request = HoldOnDisk(IRP_MJ_READ, 65536, 0);
    ReadAndCheck(2048, 128);
    EXPECT_EQ(NewCommands(), (Commands{{0x28, 2048, 128}}));
    bus_->ReleaseHeld();
    request->Wait();
}

TEST_F(ReadAheadTest, SmallReadsAndOtherCommandsEndTheSequence)
{
    ReadAndCheck(0, 128);
    ReadAndCheck(128, 64); // 32 KiB: never read ahead, ends the sequence
    ReadAndCheck(192, 128);
    EXPECT_EQ(NewCommands(), (Commands{{0x28, 0, 128}, {0x28, 128, 64}, {0x28, 192, 128}}));

    // The short read also ended the reader it followed: the same blocks read again whole start a new one,
    // which has earned no read-ahead yet.
    ReadAndCheck(3000, 128);
    ReadAndCheck(3128, 64);
    ReadAndCheck(3128, 128);
    EXPECT_EQ(NewCommands(), (Commands{{0x28, 3000, 128}, {0x28, 3128, 64}, {0x28, 3128, 128}}));

    ReadAndCheck(5000, 128);
    std::vector<uint8_t> data = BlockPattern(9000, 1, 3);
    ASSERT_TRUE(Write10(9000, 1, data).Passed(tag_));
    ReadAndCheck(5128, 128);
    EXPECT_EQ(NewCommands(), (Commands{{0x28, 5000, 128}, {0x2A, 9000, 1}, {0x28, 5128, 128}}));
}

TEST_F(ReadAheadTest, TestUnitReadyBetweenTwoLargeReadsKeepsTheSequence)
{
    ReadAndCheck(1000, 128);
    ASSERT_TRUE(TestUnitReady().Passed(tag_));
    ReadAndCheck(1128, 128);
    EXPECT_EQ(NewCommands(), (Commands{{0x28, 1000, 128}, {0x00, 0, 0}, {0x28, 1128, 2048}}));
}

TEST_F(ReadAheadTest, ReadAheadStopsAtTheLastBlockOfTheUnit)
{
    FillMedium(kBlocks - 256, 256, 4);
    ReadAndCheck(kBlocks - 384, 128);
    ReadAndCheck(kBlocks - 256, 128);
    EXPECT_EQ(NewCommands(), (Commands{{0x28, kBlocks - 384, 128}, {0x28, kBlocks - 256, 256}}));
    ReadAndCheck(kBlocks - 128, 128);
    EXPECT_TRUE(NewCommands().empty());
}

// A write that reaches the device after the cache was filled must be what later reads return.
TEST_F(ReadAheadTest, AWriteEmptiesTheUnitsCache)
{
    FillMedium(0, 2048, 5);
    ReadAndCheck(0, 128);
    ReadAndCheck(128, 128); // fills the cache with blocks 128..2175
    NewCommands();
    std::vector<uint8_t> fresh = BlockPattern(300, 8, 99);
    ASSERT_TRUE(Write10(300, 8, fresh).Passed(tag_));
    ReadAndCheck(256, 128); // holds blocks 300..307: must come from the device, not the old cache
    Commands commands = NewCommands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(std::get<0>(commands[1]), 0x28);

    // Another command that sends data, shaped like a write of blocks outside the cache (WRITE AND VERIFY):
    // the filter does not know which blocks it changes, so nothing read ahead is kept.
    ReadAndCheck(384, 128);
    ReadAndCheck(512, 128); // the cache holds blocks 512..2559 again
    std::vector<uint8_t> data = BlockPattern(3000, 128, 97);
    Run(Cdb10(0x2E, 3000, 128), uint32_t(data.size()), false, data.data());
    NewCommands();
    ReadAndCheck(640, 128);
    commands = NewCommands();
    ASSERT_FALSE(commands.empty()) << "answered from a cache the command may have changed";
    EXPECT_EQ(commands.front(), std::make_tuple(0x28, 640u, 128u));
}

// A write to blocks in the middle of the cache takes only those blocks out: the part before them, where the
// reader goes next, still answers, and the written blocks come from the device with the new data.
TEST_F(ReadAheadTest, AWriteInsideTheCacheLeavesThePartBeforeItToTheReader)
{
    FillMedium(0, 4096, 4);
    ReadAndCheck(0, 128);
    ReadAndCheck(128, 128); // fills the cache with blocks 128..2175
    std::vector<uint8_t> fresh = BlockPattern(1000, 8, 98);
    ASSERT_TRUE(Write10(1000, 8, fresh).Passed(tag_));
    NewCommands();
    for (uint32_t lba = 256; lba < 896; lba += 128)
    {
        ReadAndCheck(lba, 128);
    }
    EXPECT_TRUE(NewCommands().empty()) << "blocks 256..895 are still cached";
    ReadAndCheck(896, 128); // holds blocks 1000..1007
    Commands commands = NewCommands();
    ASSERT_FALSE(commands.empty()) << "written blocks must not come from the cache";
    EXPECT_EQ(std::get<1>(commands.front()), 896u);
}

// Whatever goes wrong with the read-ahead's own exchange, nothing is cached and the function driver's
// command goes to the device unchanged; its result is what the function driver gets.
TEST_F(ReadAheadTest, AFailedOrGarbledReadAheadCachesNothingAndTheOriginalCommandGoesDown)
{
    FillMedium(0, 8192, 6);
    struct Case
    {
        const char* name;
        wu::FaultKind kind;
        uint32_t bytes;
        bool claimFullLength;
        bool invalidWrapper; // not a valid status wrapper: the transport asks for reset recovery
    };
    const Case cases[] = {
        {"bad signature", wu::FaultKind::BadCswSignature, 0, false, true},
        {"bad tag", wu::FaultKind::BadCswTag, 0, false, true},
        {"short status wrapper", wu::FaultKind::ShortCsw, 12, false, true},
        {"phase error", wu::FaultKind::PhaseErrorCsw, 0, false, true},
        {"short data with residue", wu::FaultKind::ShortData, 4096, false, false},
        {"short data claiming all", wu::FaultKind::ShortData, 4096, true, false},
        // The device lost the command, answered with a wrapper of the right tag but no signature, and
        // stalls both pipes until reset recovery: the filter must recover it before the command goes down.
        {"garbled wrapper", wu::FaultKind::GarbledCsw, 0, false, true},
    };
    uint32_t lba = 0;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ReadAndCheck(lba, 128);
        wu::FaultRule fault;
        fault.kind = c.kind;
        fault.bytes = c.bytes;
        fault.claimFullLength = c.claimFullLength;
        fault.when.opcode = 0x28;
        device_->AddFault(fault);
        NewCommands();
        const uint64_t controlRequests = device_->Counters().controlRequests;
        ReadAndCheck(lba + 128, 128); // the read-ahead fails; the original read answers
        EXPECT_EQ(device_->Counters().controlRequests > controlRequests, c.invalidWrapper);
        // Nothing in between: no REQUEST SENSE, since no failure of the device waits to be explained.
        EXPECT_EQ(NewCommands(), (Commands{{0x28, lba + 128, 2048u}, {0x28, lba + 128, 128u}}));
        EXPECT_EQ(Unit()->cache[0].length + Unit()->cache[1].length, 0u);
        lba += 4096;
    }
}

// A READ(10) of no blocks moves no data and still goes to the device, which answers it as it would without
// the filter, even where the cache holds the position it names.
TEST_F(ReadAheadTest, AReadOfNoBlocksGoesToTheDeviceEvenInsideTheCache)
{
    FillMedium(0, 4096, 3);
    ReadAndCheck(0, 128);
    ReadAndCheck(128, 128); // fills the cache with blocks 128..2175
    NewCommands();
    EXPECT_TRUE(Run(Cdb10(0x28, 256, 0), 0, true, nullptr).Passed(tag_));
    EXPECT_EQ(NewCommands(), (Commands{{0x28, 256, 0}}));
    ReadAndCheck(256, 128);
    EXPECT_TRUE(NewCommands().empty()) << "the cache still answers the reader";
}

// A read-ahead the device fails in step with a unit attention (a card swapped in a reader, say): the
// attention is owed to the function driver's own command, which fails with status 1 in its status wrapper;
// the filter has fetched the sense to learn whose failure it is, and the function driver's REQUEST SENSE
// gets that sense from the filter, as it would have from the device without the filter.
TEST_F(ReadAheadTest, AReadAheadThatMeetsAUnitAttentionFailsTheCommandWithThatSense)
{
    FillMedium(0, 4096, 7);
    ReadAndCheck(0, 128);
    FailNextReadWithMediumChange();
    NewCommands();
    std::vector<uint8_t> data;
    Exchange read = Read10(128, 128, data);
    EXPECT_TRUE(NT_SUCCESS(read.command) && NT_SUCCESS(read.data) && NT_SUCCESS(read.status));
    EXPECT_EQ(wu::ReadLe32(read.wrapper.signature), wu::kCswSignature);
    EXPECT_EQ(wu::ReadLe32(read.wrapper.tag), tag_);
    EXPECT_EQ(read.wrapper.status, 1) << "the function driver's command must fail as the device's did";
    EXPECT_EQ(wu::ReadLe32(read.wrapper.dataResidue), 0x10000u);
    EXPECT_EQ(read.dataLength, 0u) << "the failed command moved no data";
    EXPECT_EQ(NewCommands(), (Commands{{0x28, 128, 2048}, {0x03, 0, 0}}))
        << "only the filter's REQUEST SENSE may reach the device";

    uint8_t sense[18] = {};
    EXPECT_TRUE(Run({0x03, 0, 0, 0, sizeof(sense), 0}, sizeof(sense), true, sense).Passed(tag_));
    EXPECT_EQ(sense[2] & 0x0F, wu::scsi::kSenseUnitAttention);
    EXPECT_EQ(sense[12], 0x28);
    EXPECT_TRUE(NewCommands().empty()) << "the filter answers with the sense it fetched";
    ReadAndCheck(128, 128); // the retry is read as usual
}

// The sense the filter holds cannot be delivered into a buffer it cannot map: that data transfer fails, it
// never passes with the buffer left as it was.
TEST_F(ReadAheadTest, HeldSenseForABufferThatCannotBeMappedFailsItsTransfer)
{
    FillMedium(0, 4096, 7);
    ReadAndCheck(0, 128);
    FailNextReadWithMediumChange();
    std::vector<uint8_t> data;
    EXPECT_EQ(Read10(128, 128, data).wrapper.status, 1);
    uint8_t sense[18] = {};
    wu::CommandBlockWrapper cbw =
        wu::MakeCbw(++tag_, sizeof(sense), true, 0, std::vector<uint8_t>{0x03, 0, 0, 0, 18, 0}.data(), 6);
    URB command = Bulk(out_, &cbw, wu::kCbwLength, 0);
    ASSERT_EQ(Submit(command), STATUS_SUCCESS);
    PMDL mdl = IoAllocateMdl(sense, sizeof(sense), FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
    URB transfer{};
    UsbBuildInterruptOrBulkTransferRequest(&transfer, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), in_, nullptr,
                                           mdl, sizeof(sense),
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    winsim::FailMdlMapping(true);
    EXPECT_FALSE(NT_SUCCESS(Submit(transfer)));
    winsim::FailMdlMapping(false);
    EXPECT_FALSE(USBD_SUCCESS(transfer.UrbHeader.Status));
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    Recover();
}

// A read-ahead past a block the device cannot read fails only the filter's command: the function driver's
// own command, which does not ask for that block, goes down and gets the device's answer to itself.
TEST_F(ReadAheadTest, AReadAheadThatMeetsABadBlockBeyondTheCommandLetsTheCommandGoDown)
{
    StartBehindABadBlock();
    NewCommands();
    ReadAndCheck(128, 128);
    EXPECT_EQ(NewCommands(), (Commands{{0x28, 128, 2048}, {0x03, 0, 0}, {0x28, 128, 128}}));
}

// The wire fails the filter's REQUEST SENSE after a read-ahead the device failed: the filter recovers the
// pipe it left halted, so that the function driver's command, which goes down instead, still reaches the
// device and passes.
TEST_F(ReadAheadTest, ARequestSenseLostOnTheWireLeavesThePipeRecoveredForTheCommand)
{
    StartBehindABadBlock();
    NewCommands();
    usbBus_->FailBulkOutTransfer(usbPdo_, 2); // the read-ahead's wrapper goes, its REQUEST SENSE's does not
    ReadAndCheck(128, 128);
    EXPECT_EQ(NewCommands(), (Commands{{0x28, 128, 2048}, {0x28, 128, 128}}));
}

// A write that ends just where the range kept from read-ahead begins changes none of its blocks: the range
// stays kept, and the reader's next command goes down alone instead of meeting the bad block again.
TEST_F(ReadAheadTest, WritesEndingWhereTheRangeKeptFromReadAheadBeginsOrBeginningWhereItEndsKeepIt)
{
    int rule = StartBehindABadBlock();
    ReadAndCheck(128, 128); // the read-ahead over 128..2175 meets block 1000: that range is kept
    device_->RemoveFault(rule);
    for (uint32_t lba : {120u, 2176u})
    {
        std::vector<uint8_t> fresh = BlockPattern(lba, 8, 31);
        ASSERT_TRUE(Write10(lba, 8, fresh).Passed(tag_));
    }
    NewCommands();
    Commands expected;
    for (uint32_t lba = 256; lba < 1024; lba += 128)
    {
        ReadAndCheck(lba, 128);
        expected.emplace_back(0x28, lba, 128);
    }
    EXPECT_EQ(NewCommands(), expected) << "the kept range is not read ahead into again";
}

// The range kept from read-ahead after a bad block belongs to the medium the filter knew: once a new capacity
// is read (a new card, or the unit rescanned), sequential reads there are read ahead again.
TEST_F(ReadAheadTest, ANewCapacityLetsTheRangeABadBlockKeptFromReadAheadBeReadAheadAgain)
{
    int rule = StartBehindABadBlock();
    ReadAndCheck(128, 128);
    device_->RemoveFault(rule);
    NewCommands();
    ReadAndCheck(256, 128);
    EXPECT_EQ(NewCommands(), (Commands{{0x28, 256, 128}})) << "the failed range is not read ahead into again";

    ASSERT_TRUE(ReadCapacity().Passed(tag_));
    NewCommands();
    for (uint32_t lba = 384; lba < 1024; lba += 128)
    {
        ReadAndCheck(lba, 128);
    }
    Commands commands = NewCommands();
    EXPECT_LT(commands.size(), 3u) << "read ahead again after the new capacity";
}

// A transfer the filter would answer from its cache, cancelled on its way there (the function driver's
// time-out struck after its call, before the filter could set a cancel routine): it ends as cancelled, as
// the function driver's recovery expects, and the unit reads as before once that recovery is done.
TEST_F(ReadAheadTest, ATransferCancelledBeforeTheFilterTookItOverEndsAsCancelled)
{
    FillMedium(0, 4096, 8);
    ReadAndCheck(0, 128);
    ReadAndCheck(128, 128);
    NewCommands();
    wu::CommandBlockWrapper cbw = wu::MakeCbw(++tag_, 0x10000, true, 0, Cdb10(0x28, 256, 128).data(), 10);
    URB command = Bulk(out_, &cbw, wu::kCbwLength, 0);
    EXPECT_EQ(SubmitCancelledOnTheWay(command), STATUS_CANCELLED);
    EXPECT_TRUE(NewCommands().empty());
    Recover();
    ReadAndCheck(256, 128);
}

// The function driver may give up on that command before its status wrapper (its time-out hit while the
// read-ahead ran): the sense the filter holds still reaches its REQUEST SENSE, and its next commands to the
// unit fail until then, as they would have met the attention on the device. INQUIRY may pass.
TEST_F(ReadAheadTest, AFailureWhoseStatusTheFunctionDriverNeverReadStillReachesItsRequestSense)
{
    FillMedium(0, 4096, 7);
    ReadAndCheck(0, 128);
    FailNextReadWithMediumChange();
    NewCommands();
    wu::CommandBlockWrapper cbw = wu::MakeCbw(++tag_, 0x10000, true, 0, Cdb10(0x28, 128, 128).data(), 10);
    URB command = Bulk(out_, &cbw, wu::kCbwLength, 0);
    EXPECT_EQ(Submit(command), STATUS_SUCCESS);
    Recover();

    uint8_t inquiry[36] = {};
    EXPECT_TRUE(Run({0x12, 0, 0, 0, sizeof(inquiry), 0}, sizeof(inquiry), true, inquiry).Passed(tag_));
    std::vector<uint8_t> data;
    Exchange retry = Read10(128, 128, data);
    EXPECT_TRUE(NT_SUCCESS(retry.command) && NT_SUCCESS(retry.data) && NT_SUCCESS(retry.status));
    EXPECT_EQ(retry.wrapper.status, 1);
    EXPECT_EQ(NewCommands(), (Commands{{0x28, 128, 2048}, {0x03, 0, 0}, {0x12, 0, 0}}))
        << "the retry must not reach the device";
    uint8_t sense[18] = {};
    EXPECT_TRUE(Run({0x03, 0, 0, 0, sizeof(sense), 0}, sizeof(sense), true, sense).Passed(tag_));
    EXPECT_EQ(sense[2] & 0x0F, wu::scsi::kSenseUnitAttention);
    EXPECT_EQ(sense[12], 0x28);
    ReadAndCheck(128, 128);
}

// Two readers taking turns, as a copy of two files does: each earns its own read-ahead, doubling from
// 128 KiB up to half the buffer, and keeps it while the other reads; a read elsewhere earns nothing and
// takes nothing from them.
TEST_F(ReadAheadTest, TwoReadersTakingTurnsEachKeepTheirOwnReadAhead)
{
    const uint32_t a = 0, b = 16384;
    FillMedium(a, 4096, 11);
    FillMedium(b, 4096, 12);
    Commands expected;
    for (uint32_t step = 0; step < 32; ++step)
    {
        ReadAndCheck(a + step * 128, 128);
        ReadAndCheck(b + step * 128, 128);
    }
    Commands commands = NewCommands();
    // Each reader: one plain read, then read-aheads of 256, 512, 1024 and 1024 blocks from the reads that
    // reach the end of the previous one, in turns.
    for (uint32_t at : {0u, 128u, 384u, 896u, 1920u, 2944u, 3968u})
    {
        uint32_t blocks = at == 0 ? 128 : at == 128 ? 256 : at == 384 ? 512 : 1024;
        expected.emplace_back(0x28, a + at, blocks);
        expected.emplace_back(0x28, b + at, blocks);
    }
    EXPECT_EQ(commands, expected);

    ReadAndCheck(40000, 128); // elsewhere: goes down as it is
    ReadAndCheck(a + 4096, 128);
    ReadAndCheck(b + 4096, 128);
    EXPECT_EQ(NewCommands(), (Commands{{0x28, 40000, 128}}));
}

// A second reader's read-ahead takes half the buffer and leaves the first reader the half it still reads
// from: neither reads again what it was given. A write drops only its own blocks from a window.
TEST_F(ReadAheadTest, ASecondReaderTakesHalfTheBufferAndLeavesTheFirstItsHalf)
{
    const uint32_t a = 0, b = 16384;
    FillMedium(a, 4096, 13);
    FillMedium(b, 4096, 14);
    // A large read elsewhere first leaves a reader behind that has nothing ahead: the second reader takes
    // its place, and still the half the first reader does not need next.
    ReadAndCheck(40000, 128);
    ReadAndCheck(a, 128);
    ReadAndCheck(a + 128, 128); // the whole buffer: blocks 128..2175
    ReadAndCheck(b, 128);
    ReadAndCheck(b + 128, 128); // half of it, for the second reader
    EXPECT_EQ(NewCommands(), (Commands{{0x28, 40000, 128},
                                       {0x28, a, 128},
                                       {0x28, a + 128, 2048},
                                       {0x28, b, 128},
                                       {0x28, b + 128, 1024}}));
    for (uint32_t at = 256; at < 1280; at += 128)
    {
        ReadAndCheck(a + at, 128);
    }
    // The first reader kept blocks 128..1151 and goes on with half the buffer.
    EXPECT_EQ(NewCommands(), (Commands{{0x28, a + 1152, 1024}}));
    ReadAndCheck(b + 256, 128);
    ReadAndCheck(b + 384, 128);
    ReadAndCheck(a + 1280, 128);
    EXPECT_EQ(NewCommands(), Commands{}) << "each reader keeps its half";
    std::vector<uint8_t> fresh = BlockPattern(b + 600, 8, 15);
    ASSERT_TRUE(Write10(b + 600, 8, fresh).Passed(tag_));
    std::vector<uint8_t> data;
    ASSERT_TRUE(Read10(b + 512, 128, data).Passed(tag_));
    EXPECT_TRUE(std::equal(fresh.begin(), fresh.end(), data.begin() + 88 * 512));
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, b + 600, 8}, {0x28, b + 512, 128}}));
}

// A reader idle for IDLE_STREAM_READS of the other's reads still holds its half; one read more and it has
// stopped: its read-ahead is given up (counted as unused) and its blocks, when it comes back, are read from
// the device.
TEST_F(ReadAheadTest, AReaderIdleForLongGivesUpItsHalf)
{
    const uint32_t a = 0, b = 16384;
    FillMedium(a, 12288, 16);
    FillMedium(b, 4096, 17);
    ReadAndCheck(a, 128);
    ReadAndCheck(a + 128, 128);
    ReadAndCheck(b, 128);
    ReadAndCheck(b + 128, 128); // the second reader holds blocks b+256..b+1151 in half the buffer
    const LONG64 unused = Unit()->counters.value[CounterUnusedReadAheads];
    NewCommands();
    const uint32_t idleEnd = 256 + IDLE_STREAM_READS * 128;
    for (uint32_t at = 256; at < idleEnd; at += 128)
    {
        ReadAndCheck(a + at, 128);
    }
    // The first reader's read-aheads take half the buffer, one every eighth read; the last comes when the
    // second reader has been idle for exactly IDLE_STREAM_READS reads.
    Commands expected;
    for (uint32_t at = 1152; at < idleEnd; at += 1024)
    {
        expected.emplace_back(0x28, a + at, 1024);
    }
    EXPECT_EQ(NewCommands(), expected);
    ReadAndCheck(a + idleEnd, 128);
    EXPECT_EQ(Unit()->counters.value[CounterUnusedReadAheads], unused + 1)
        << "the second reader's read-ahead";
    ReadAndCheck(b + 256, 128);
    EXPECT_EQ(NewCommands(), (Commands{{0x28, b + 256, 256}})) << "answered from a half given up";
}

// The largest block a medium uses, 64 KiB: one block per command, and the read-ahead works in those.
class LargestBlockReadAheadTest : public ReadAheadTest
{
protected:
    wu::DeviceConfig Config() override
    {
        wu::DeviceConfig config;
        wu::LunConfig lun;
        lun.blockLength = 65536;
        lun.image = std::make_shared<wu::MemoryDiskImage>(uint64_t(256) * 65536);
        config.luns.push_back(lun);
        return config;
    }
};

TEST_F(LargestBlockReadAheadTest, SixtyFourKiBBlocksAreReadAhead)
{
    ReadCapacity();
    ASSERT_EQ(Unit()->blockLength, 65536u);
    std::vector<uint8_t> data(65536);
    for (uint32_t lba = 0; lba < 4; ++lba)
    {
        EXPECT_TRUE(Run(Cdb10(0x28, lba, 1), 65536, true, data.data()).Passed(tag_));
    }
    EXPECT_LT(NewCommands().size(), 4u) << "the later blocks come from the read-ahead";
}

// Nor is a unit whose capacity answer gave a block length no medium uses (too short, or not a power of two),
// whatever length its commands then ask for.
TEST_F(ReadAheadTest, AUnitWhoseBlockLengthIsUnknownIsNeverReadAhead)
{
    for (uint32_t blockLength : {0u, 256u, 520u})
    {
        SCOPED_TRACE(blockLength);
        Unit()->blockLength = blockLength;
        // Commands of 64 KiB or just above, as long as the reads that open a read-ahead.
        const uint16_t blocks = blockLength == 256 ? 256 : 128;
        const uint32_t length = blocks * (blockLength != 0 ? blockLength : 512);
        std::vector<uint8_t> data(length);
        NewCommands();
        for (uint32_t lba = 0; lba < 4u * blocks; lba += blocks)
        {
            Run(Cdb10(0x28, lba, blocks), length, true, data.data());
        }
        EXPECT_EQ(NewCommands().size(), 4u);
    }
}
// The buffers the function driver posts are written only within their length, and only with what is true:
// a status wrapper needs all 13 bytes, a cached read whose data did not arrive has not passed, and a
// 31-byte IN transfer is the device's data, never a command wrapper, whatever its stale bytes say.
TEST_F(ReadAheadTest, CachedAnswersRespectTheBuffersTheFunctionDriverPosts)
{
    FillMedium(0, 4096, 3);
    ReadAndCheck(0, 128);
    ReadAndCheck(128, 128); // the cache now holds blocks 128..2175
    NewCommands();

    {
        SCOPED_TRACE("a status wrapper into an MDL of exactly its 13 bytes");
        std::vector<uint8_t> data(0x10000);
        wu::CommandBlockWrapper cbw =
            wu::MakeCbw(++tag_, 0x10000, true, 0, Cdb10(0x28, 1024, 128).data(), 10);
        URB command = Bulk(out_, &cbw, wu::kCbwLength, 0);
        ASSERT_EQ(Submit(command), STATUS_SUCCESS);
        URB transfer = Bulk(in_, data.data(), 0x10000, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
        ASSERT_EQ(Submit(transfer), STATUS_SUCCESS);
        wu::CommandStatusWrapper wrapper{};
        PMDL mdl = IoAllocateMdl(&wrapper, wu::kCswLength, FALSE, FALSE, nullptr);
        MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
        URB status{};
        UsbBuildInterruptOrBulkTransferRequest(&status, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), in_, nullptr,
                                               mdl, wu::kCswLength, USBD_TRANSFER_DIRECTION_IN, nullptr);
        // A URB used again keeps the status of its last transfer until this one's replaces it.
        status.UrbHeader.Status = USBD_STATUS_STALL_PID;
        EXPECT_EQ(Submit(status), STATUS_SUCCESS);
        EXPECT_TRUE(USBD_SUCCESS(status.UrbHeader.Status));
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        EXPECT_EQ(wu::ReadLe32(wrapper.tag), tag_);
        EXPECT_EQ(wrapper.status, 0);
        EXPECT_TRUE(data == Medium(1024, 128));
        EXPECT_TRUE(NewCommands().empty()) << "answered from the cache";
    }
    // The reset that ends each failed case empties the cache: it is filled again for the next.
    for (bool withBuffer : {false, true})
    {
        const uint32_t lba = withBuffer ? 1280 : 1152;
        FillCacheFor(lba);
        SCOPED_TRACE(withBuffer ? "a status transfer too short for a wrapper"
                                : "a status transfer with no buffer");
        std::vector<uint8_t> data(0x10000);
        wu::CommandBlockWrapper cbw = wu::MakeCbw(++tag_, 0x10000, true, 0, Cdb10(0x28, lba, 128).data(), 10);
        URB command = Bulk(out_, &cbw, wu::kCbwLength, 0);
        ASSERT_EQ(Submit(command), STATUS_SUCCESS);
        URB transfer = Bulk(in_, data.data(), 0x10000, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
        ASSERT_EQ(Submit(transfer), STATUS_SUCCESS);
        uint8_t wrapper[16];
        std::memset(wrapper, 0xEE, sizeof(wrapper));
        URB status = withBuffer ? Bulk(in_, wrapper, wu::kCswLength - 1, USBD_TRANSFER_DIRECTION_IN)
                                : Bulk(in_, nullptr, wu::kCswLength, USBD_TRANSFER_DIRECTION_IN);
        EXPECT_FALSE(NT_SUCCESS(Submit(status)));
        EXPECT_TRUE(NewCommands().empty()) << "answered from the cache";
        EXPECT_EQ(wrapper[wu::kCswLength - 1], 0xEE) << "written past the posted length";
        Recover();
    }
    {
        SCOPED_TRACE("a cached read whose data transfer failed");
        FillCacheFor(1408);
        std::vector<uint8_t> data(0x10000);
        wu::CommandBlockWrapper cbw =
            wu::MakeCbw(++tag_, 0x10000, true, 0, Cdb10(0x28, 1408, 128).data(), 10);
        URB command = Bulk(out_, &cbw, wu::kCbwLength, 0);
        ASSERT_EQ(Submit(command), STATUS_SUCCESS);
        PMDL mdl = IoAllocateMdl(data.data(), ULONG(data.size()), FALSE, FALSE, nullptr);
        MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
        URB transfer{};
        UsbBuildInterruptOrBulkTransferRequest(&transfer, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), in_,
                                               nullptr, mdl, ULONG(data.size()),
                                               USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
        winsim::FailMdlMapping(true);
        EXPECT_FALSE(NT_SUCCESS(Submit(transfer)));
        winsim::FailMdlMapping(false);
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        // The function driver's buffer still holds a passed wrapper of this tag from an earlier exchange.
        wu::CommandStatusWrapper wrapper{};
        wu::WriteLe32(wrapper.signature, wu::kCswSignature);
        wu::WriteLe32(wrapper.tag, tag_);
        URB status = Bulk(in_, &wrapper, wu::kCswLength, USBD_TRANSFER_DIRECTION_IN);
        NTSTATUS result = Submit(status);
        EXPECT_FALSE(NT_SUCCESS(result) && wrapper.status == 0)
            << "a read whose data never arrived reported as passed";
        EXPECT_TRUE(NewCommands().empty()) << "answered from the cache";
        Recover();
    }
    {
        SCOPED_TRACE("31 bytes of INQUIRY data into a buffer that held a command wrapper");
        FillCacheFor(512); // the cache covers the stale wrapper's command
        NewCommands();
        wu::CommandBlockWrapper stale =
            wu::MakeCbw(0x5555, 0x10000, true, 0, Cdb10(0x28, 512, 128).data(), 10);
        uint8_t answer[wu::kCbwLength];
        std::memcpy(answer, &stale, sizeof(answer));
        Exchange inquiry = Run({0x12, 0, 0, 0, uint8_t(sizeof(answer)), 0}, sizeof(answer), true, answer);
        EXPECT_TRUE(inquiry.Passed(tag_));
        EXPECT_NE(wu::ReadLe32(answer), wu::kCbwSignature) << "the device's answer never arrived";
        EXPECT_EQ(NewCommands(), (Commands{{0x12, 0, 0}}));

        // The same on the bulk IN pipe without the direction flag, which the bus does not need: the pipe's
        // endpoint gives the direction.
        std::memcpy(answer, &stale, sizeof(answer));
        wu::CommandBlockWrapper cbw = wu::MakeCbw(++tag_, sizeof(answer), true, 0,
                                                  std::vector<uint8_t>{0x12, 0, 0, 0, 31, 0}.data(), 6);
        URB command = Bulk(out_, &cbw, wu::kCbwLength, 0);
        ASSERT_EQ(Submit(command), STATUS_SUCCESS);
        URB data = Bulk(in_, answer, sizeof(answer), USBD_SHORT_TRANSFER_OK);
        EXPECT_EQ(Submit(data), STATUS_SUCCESS);
        wu::CommandStatusWrapper wrapper{};
        URB status = Bulk(in_, &wrapper, wu::kCswLength, USBD_TRANSFER_DIRECTION_IN);
        EXPECT_EQ(Submit(status), STATUS_SUCCESS);
        EXPECT_EQ(wu::ReadLe32(wrapper.tag), tag_);
        EXPECT_EQ(NewCommands(), (Commands{{0x12, 0, 0}}));
    }
    ReadAndCheck(640, 128);
}

// The device stops answering in the middle of the filter's own read-ahead. The function driver's time-out
// cancels its command transfer: the filter's transfer is cancelled with it, the function driver's comes
// back cancelled, its recovery (port reset, Bulk-Only reset) brings the device back as without the filter,
// and no thread is left waiting.
TEST_F(ReadAheadTest, CancellingATransferTheFilterHoldsCancelsItsOwnTransferOnAHungDevice)
{
    FillMedium(0, 4096, 8);
    ReadAndCheck(0, 128);
    wu::FaultRule hang;
    hang.kind = wu::FaultKind::Hang;
    hang.when.opcode = 0x28;
    int rule = device_->AddFault(hang);
    NewCommands();

    wu::CommandBlockWrapper cbw = wu::MakeCbw(++tag_, 0x10000, true, 0, Cdb10(0x28, 128, 128).data(), 10);
    URB command = Bulk(out_, &cbw, wu::kCbwLength, 0);
    auto flight = StartSubmit(command);
    // The filter's read-ahead command has reached the device, which now leaves its data unanswered.
    for (int wait = 0; wait < 500 && device_->CommandLog().empty(); ++wait)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(device_->CommandLog().size(), 1u);
    EXPECT_EQ(device_->CommandLog().front().blocks, 2048u);
    EXPECT_FALSE(flight->Completed()) << "the read-ahead waits for the hung device";
    EXPECT_TRUE(flight->Cancel()) << "a transfer the filter holds has a cancel routine";
    EXPECT_EQ(flight->Wait(std::chrono::seconds(5)).status, STATUS_CANCELLED);
    device_->RemoveFault(rule);

    EXPECT_EQ(winsim::SendInternalDeviceControl(top_, IOCTL_INTERNAL_USB_RESET_PORT, nullptr).status,
              STATUS_SUCCESS);
    Recover();
    ReadAndCheck(128, 128);
}

// After any request of the function driver's recovery the device may hold other data than the filter read
// before it: the next read of blocks the cache held goes to the device.
TEST_F(ReadAheadTest, EveryRecoveryRequestEndsTheCachedData)
{
    FillMedium(0, 4096, 9);
    auto pipeRequest = [this](USHORT function) {
        URB urb{};
        urb.UrbPipeRequest.Hdr.Length = sizeof(_URB_PIPE_REQUEST);
        urb.UrbPipeRequest.Hdr.Function = function;
        urb.UrbPipeRequest.PipeHandle = in_;
        Submit(urb);
    };
    const std::vector<std::pair<const char*, std::function<void()>>> requests = {
        {"pipe abort", [&] { pipeRequest(URB_FUNCTION_ABORT_PIPE); }},
        {"stall clear", [&] { pipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL); }},
        {"Bulk-Only reset", [this] { Recover(); }},
        {"port reset",
         [this] { winsim::SendInternalDeviceControl(top_, IOCTL_INTERNAL_USB_RESET_PORT, nullptr); }},
    };
    uint32_t lba = 0;
    for (const auto& [name, request] : requests)
    {
        SCOPED_TRACE(name);
        FillCacheFor(lba + 256);
        request();
        ReadAndCheck(lba + 256, 128);
        EXPECT_FALSE(NewCommands().empty()) << "answered from data read before the request";
        lba += 512;
    }

    // Even between the command wrapper the cache answered and its data.
    FillCacheFor(lba + 256);
    wu::CommandBlockWrapper cbw =
        wu::MakeCbw(++tag_, 0x10000, true, 0, Cdb10(0x28, lba + 256, 128).data(), 10);
    URB command = Bulk(out_, &cbw, wu::kCbwLength, 0);
    ASSERT_EQ(Submit(command), STATUS_SUCCESS);
    winsim::SendInternalDeviceControl(top_, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
    std::vector<uint8_t> data(0x10000);
    URB transfer = Bulk(in_, data.data(), 0x10000, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    EXPECT_FALSE(NT_SUCCESS(Submit(transfer)));
    Recover();
    ReadAndCheck(lba + 256, 128);
}

} // namespace
