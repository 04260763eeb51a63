// Write coalescing: which pieces are gathered, when the buffer goes to the device, what each acknowledged
// piece reports, and that no failure to write gathered data can end in a write reported as done.
#include "tests/driver/transport_fixture.h"

#include <atomic>
#include <optional>
#include <thread>

namespace
{

using namespace kavtest;
class CoalescingTest : public TransportTest
{
protected:
    void SetUp() override
    {
        TransportTest::SetUp();
        ASSERT_TRUE(ReadCapacity().Passed(tag_));
        NewCommands();
    }

    // The pieces of one large write as the storage stack sends them, while the disk side holds the
    // write request in flight. Returns the exchanges; the request stays held until the test releases it.
    std::vector<Exchange> WritePieces(uint32_t lba, const std::vector<uint16_t>& pieces, uint8_t salt)
    {
        std::vector<Exchange> results;
        uint32_t at = lba;
        for (uint16_t blocks : pieces)
        {
            std::vector<uint8_t> data = BlockPattern(at, blocks, salt);
            results.push_back(Write10(at, blocks, data));
            at += blocks;
        }
        return results;
    }

    uint32_t Total(const std::vector<uint16_t>& pieces)
    {
        uint32_t blocks = 0;
        for (uint16_t piece : pieces)
        {
            blocks += piece;
        }
        return blocks;
    }

    // The device fails the next WRITE(10) in step (or every one, or the next one covering `lba`).
    int FailWriteInStep(const wu::SenseData& sense, bool persistent = false, std::optional<uint32_t> lba = {})
    {
        wu::FaultRule rule;
        rule.kind = wu::FaultKind::FailCommand;
        rule.when.opcode = 0x2A;
        rule.persistent = persistent;
        rule.sense = sense;
        rule.when.firstLba = lba;
        rule.when.lastLba = lba;
        return device_->AddFault(rule);
    }

    // What the function driver does after a status wrapper with status 1: fetch the device's reason.
    uint8_t SenseKeyAfterFailure()
    {
        uint8_t sense[18] = {};
        EXPECT_TRUE(Run({0x03, 0, 0, 0, sizeof(sense), 0}, sizeof(sense), true, sense).Passed(tag_));
        return sense[2] & 0x0F;
    }

    // A piece's command wrapper and data; its status transfer is the test's to send.
    void CommandAndData(uint32_t lba, uint16_t blocks, std::vector<uint8_t>& data)
    {
        wu::CommandBlockWrapper cbw =
            wu::MakeCbw(++tag_, uint32_t(data.size()), false, 0, Cdb10(0x2A, lba, blocks).data(), 10);
        URB command = Bulk(out_, &cbw, wu::kCbwLength, 0);
        ASSERT_EQ(Submit(command), STATUS_SUCCESS);
        URB transfer = Bulk(out_, data.data(), uint32_t(data.size()), 0);
        ASSERT_EQ(Submit(transfer), STATUS_SUCCESS);
    }

    void ExpectOnMedium(uint32_t lba, uint32_t blocks, uint8_t salt)
    {
        EXPECT_TRUE(Medium(lba, blocks) == BlockPattern(lba, blocks, salt)) << "medium at " << lba;
    }
};

TEST_F(CoalescingTest, SixteenPiecesOfOneMebibyteBecomeOneWriteAtTheLastStatus)
{
    std::vector<uint16_t> pieces(16, 128);
    auto request = HoldOnDisk(IRP_MJ_WRITE, 0x100000, 0);
    uint32_t firstTag = tag_ + 1;
    std::vector<Exchange> results = WritePieces(0, pieces, 1);
    for (size_t i = 0; i < results.size(); ++i)
    {
        EXPECT_TRUE(results[i].Passed(firstTag + uint32_t(i))) << "piece " << i;
    }
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 0, 2048}}));
    ExpectOnMedium(0, 2048, 1);
    bus_->ReleaseHeld();
    request->Wait();
}

TEST_F(CoalescingTest, UnevenAndLongWritesFlushAtFullBufferAndAtTheirEnd)
{
    // 102400 bytes: 65536 + 36864; the whole write is gathered at the second piece.
    auto request = HoldOnDisk(IRP_MJ_WRITE, 102400, 0);
    WritePieces(0, {128, 72}, 2);
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 0, 200}}));
    bus_->ReleaseHeld();
    request->Wait();

    // 2 MiB: two full buffers, the first written as soon as it is full.
    request = HoldOnDisk(IRP_MJ_WRITE, 0x200000, 0x100000);
    WritePieces(2048, std::vector<uint16_t>(16, 128), 3);
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 2048, 2048}}));
    WritePieces(4096, std::vector<uint16_t>(16, 128), 3);
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 4096, 2048}}));
    ExpectOnMedium(2048, 4096, 3);
    bus_->ReleaseHeld();
    request->Wait();

    // 1.5 MiB: the tail after the first full buffer is written when the write's end is gathered.
    request = HoldOnDisk(IRP_MJ_WRITE, 0x180000, 0x400000);
    WritePieces(8192, std::vector<uint16_t>(24, 128), 4);
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 8192, 2048}, {0x2A, 10240, 1024}}));
    ExpectOnMedium(8192, 3072, 4);
    bus_->ReleaseHeld();
    request->Wait();

    // Pieces that do not divide the buffer: the one that would not fit first writes what is gathered.
    request = HoldOnDisk(IRP_MJ_WRITE, 0x12C000, 0x800000); // 1200 KiB in pieces of 120 KiB
    WritePieces(16384, std::vector<uint16_t>(10, 240), 5);
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 16384, 1920}, {0x2A, 18304, 480}}));
    ExpectOnMedium(16384, 2400, 5);
    bus_->ReleaseHeld();
    request->Wait();

    // A function driver with a raised transfer limit: a first piece as large as the buffer is gathered
    // like any other, so the pieces after it still are.
    request = HoldOnDisk(IRP_MJ_WRITE, 0x180000, 0xC00000); // 1 MiB, then 512 KiB in pieces of 64 KiB
    std::vector<uint16_t> pieces(9, 128);
    pieces[0] = 2048;
    uint32_t tag = tag_;
    for (const Exchange& piece : WritePieces(24576, pieces, 6))
    {
        EXPECT_TRUE(piece.Passed(++tag));
    }
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 24576, 2048}, {0x2A, 26624, 1024}}));
    ExpectOnMedium(24576, 3072, 6);
    bus_->ReleaseHeld();
    request->Wait();
}

// What a sender leaves in an IRP's status before sending it is no input (a function driver that reuses its
// IRPs leaves the last outcome there): pieces whose IRPs carry a failure are gathered and pass as usual.
TEST_F(CoalescingTest, TheStatusASenderLeavesInTheIrpChangesNothing)
{
    auto submitCarrying = [this](URB& urb) {
        winsim::IrpRequest request;
        request.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        request.initialStatus = STATUS_UNSUCCESSFUL;
        request.setup = [&urb](PIO_STACK_LOCATION sp) {
            sp->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
            sp->Parameters.Others.Argument1 = &urb;
        };
        return winsim::SendIrp(top_, request).status;
    };
    auto request = HoldOnDisk(IRP_MJ_WRITE, 0x20000, 0);
    for (uint32_t lba : {0u, 128u})
    {
        SCOPED_TRACE(lba);
        std::vector<uint8_t> data = BlockPattern(lba, 128, 21);
        wu::CommandBlockWrapper cbw =
            wu::MakeCbw(++tag_, 0x10000, false, 0, Cdb10(0x2A, lba, 128).data(), 10);
        URB command = Bulk(out_, &cbw, wu::kCbwLength, 0);
        EXPECT_EQ(submitCarrying(command), STATUS_SUCCESS);
        URB transfer = Bulk(out_, data.data(), 0x10000, 0);
        EXPECT_EQ(submitCarrying(transfer), STATUS_SUCCESS);
        Exchange piece;
        piece.command = piece.data = STATUS_SUCCESS;
        URB status = Bulk(in_, &piece.wrapper, wu::kCswLength, USBD_TRANSFER_DIRECTION_IN);
        piece.status = submitCarrying(status);
        EXPECT_TRUE(piece.Passed(tag_));
    }
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 0, 256}}));
    ExpectOnMedium(0, 256, 21);
    bus_->ReleaseHeld();
    request->Wait();
}

TEST_F(CoalescingTest, WritesNotRecordedOrNotContinuingPassDownAfterGatheredDataIsWritten)
{
    std::vector<uint8_t> data = BlockPattern(0, 128, 6);
    ASSERT_TRUE(Write10(0, 128, data).Passed(tag_)); // 64 KiB: never recorded on the disk side
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 0, 128}}));

    auto request = HoldOnDisk(IRP_MJ_WRITE, 0x100000, 0x100000);
    WritePieces(2048, {128, 128, 128}, 7);
    EXPECT_TRUE(NewCommands().empty());
    // A piece that skips ahead: the three gathered pieces reach the device first, then the piece itself.
    WritePieces(2048 + 512, {128}, 7);
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 2048, 384}, {0x2A, 2560, 128}}));
    ExpectOnMedium(2048, 384, 7);
    // Any other command of the unit also waits for gathered data to be written.
    WritePieces(2048 + 384, {128}, 7);
    std::vector<uint8_t> read;
    Read10(2048 + 384, 128, read);
    EXPECT_EQ(read, BlockPattern(2048 + 384, 128, 7));
    bus_->ReleaseHeld();
    request->Wait();
}

// The device refuses the gathered write in step (a write-protected stick, a medium error): the piece whose
// status carried the flush fails with status 1, and the function driver's REQUEST SENSE gets the device's
// reason, so the write request ends with the code it gets without the filter. The data stays buffered
// while the write is in flight: every retry offers it again first, and gets the device's answer afresh.
TEST_F(CoalescingTest, AWriteTheDeviceRefusesFailsWithTheDevicesReasonForEveryPieceAndRetry)
{
    auto request = HoldOnDisk(IRP_MJ_WRITE, 0x100000, 0);
    int rule = FailWriteInStep(wu::sense::kWriteProtected, true);
    std::vector<Exchange> results = WritePieces(0, std::vector<uint16_t>(16, 128), 8);
    for (size_t i = 0; i + 1 < results.size(); ++i)
    {
        EXPECT_TRUE(NT_SUCCESS(results[i].status)) << "piece " << i;
    }
    auto expectRefusedWithReason = [&](const Exchange& piece) {
        EXPECT_TRUE(NT_SUCCESS(piece.status));
        EXPECT_EQ(wu::ReadLe32(piece.wrapper.tag), tag_);
        EXPECT_EQ(piece.wrapper.status, 1);
        uint8_t sense[18] = {};
        EXPECT_TRUE(Run({0x03, 0, 0, 0, sizeof(sense), 0}, sizeof(sense), true, sense).Passed(tag_));
        EXPECT_EQ(sense[2] & 0x0F, wu::scsi::kSenseDataProtect);
        EXPECT_EQ(sense[12], 0x27);
    };
    expectRefusedWithReason(results.back());
    std::vector<uint8_t> retry = BlockPattern(1920, 128, 8);
    expectRefusedWithReason(Write10(1920, 128, retry));
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 0, 2048}, {0x03, 0, 0}, {0x2A, 0, 2048}, {0x03, 0, 0}}));

    // The write protection is lifted before the next retry: the held data is written, then the retry.
    device_->RemoveFault(rule);
    EXPECT_TRUE(Write10(1920, 128, retry).Passed(tag_));
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 0, 2048}, {0x2A, 1920, 128}}));
    ExpectOnMedium(0, 2048, 8);
    bus_->ReleaseHeld();
    request->Wait();
}

// A flush whose outcome cannot be trusted (a foreign status wrapper: the device is out of step and is
// reset) fails the piece that carried it; the data is offered again before each retry while the write is in
// flight, and dropped once the write request has ended (in failure).
TEST_F(CoalescingTest, DataAFlushCouldNotWriteIsOfferedAgainUntilItsWriteEnds)
{
    auto request = HoldOnDisk(IRP_MJ_WRITE, 0x100000, 0);
    wu::FaultRule foreign;
    foreign.kind = wu::FaultKind::BadCswTag;
    foreign.when.opcode = 0x2A;
    foreign.persistent = true;
    int rule = device_->AddFault(foreign);
    std::vector<Exchange> results = WritePieces(0, std::vector<uint16_t>(16, 128), 8);
    for (size_t i = 0; i + 1 < results.size(); ++i)
    {
        EXPECT_TRUE(NT_SUCCESS(results[i].status)) << "piece " << i;
    }
    EXPECT_FALSE(results.back().Passed(tag_)) << "the piece whose status carried the failed write";
    std::vector<uint8_t> retry = BlockPattern(1920, 128, 8);
    NewCommands();
    EXPECT_FALSE(Write10(1920, 128, retry).Passed(tag_));
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 0, 2048}})) << "the data again, and the retry not sent";

    bus_->ReleaseHeld(STATUS_IO_DEVICE_ERROR);
    request->Wait();
    device_->RemoveFault(rule);
    EXPECT_TRUE(Write10(1920, 128, retry).Passed(tag_));
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 1920, 128}}));
}

TEST_F(CoalescingTest, APieceWhoseDataCannotBeMappedIsNotAcknowledged)
{
    auto request = HoldOnDisk(IRP_MJ_WRITE, 0x20000, 0);
    Exchange piece = WriteUnmappable(0, 128, 9);
    EXPECT_TRUE(NT_SUCCESS(piece.command));
    EXPECT_FALSE(NT_SUCCESS(piece.data));
    EXPECT_EQ(Unit()->writeBuffer->length, 0u);
    // Its status is not reported as passed either: it fails as a transfer the device could not complete,
    // not as a request the function driver got wrong.
    EXPECT_EQ(piece.status, STATUS_IO_DEVICE_ERROR);
    bus_->ReleaseHeld();
    request->Wait();
}

// A piece whose data transfer is not as long as its wrapper says is not taken; after the function driver's
// recovery its retry goes down on its own, as the retry of any piece that failed on its way in.
TEST_F(CoalescingTest, APieceWhoseDataHasAnotherLengthIsRetriedOnItsOwn)
{
    auto request = HoldOnDisk(IRP_MJ_WRITE, 0x20000, 0);
    std::vector<uint8_t> data = BlockPattern(0, 128, 8);
    wu::CommandBlockWrapper cbw =
        wu::MakeCbw(++tag_, uint32_t(data.size()), false, 0, Cdb10(0x2A, 0, 128).data(), 10);
    URB command = Bulk(out_, &cbw, wu::kCbwLength, 0);
    ASSERT_EQ(Submit(command), STATUS_SUCCESS);
    URB half = Bulk(out_, data.data(), uint32_t(data.size() / 2), 0);
    EXPECT_FALSE(NT_SUCCESS(Submit(half)));
    EXPECT_EQ(Unit()->writeBuffer->length, 0u);
    Recover();
    NewCommands();
    EXPECT_TRUE(Write10(0, 128, data).Passed(tag_));
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 0, 128}}));
    ExpectOnMedium(0, 128, 8);
    bus_->ReleaseHeld();
    request->Wait();
}

// A piece whose data was gathered but whose status transfer never reached the filter (cancelled on its way)
// is sent again after the function driver's recovery; the next write's first piece, whose data then cannot
// be mapped, is still not acknowledged: the data gathered earlier stands for none of it.
TEST_F(CoalescingTest, APieceWhoseStatusNeverCameStandsForNoLaterPiece)
{
    auto first = HoldOnDisk(IRP_MJ_WRITE, 0x100000, 0);
    std::vector<uint8_t> data = BlockPattern(0, 128, 5);
    CommandAndData(0, 128, data);
    wu::CommandStatusWrapper wrapper{};
    URB status = Bulk(in_, &wrapper, wu::kCswLength, USBD_TRANSFER_DIRECTION_IN);
    EXPECT_EQ(SubmitCancelledOnTheWay(status), STATUS_CANCELLED);
    Recover();
    EXPECT_TRUE(Write10(0, 128, data).Passed(tag_));
    bus_->ReleaseHeld();
    first->Wait();

    auto second = HoldOnDisk(IRP_MJ_WRITE, 0x100000, 0x200000);
    Exchange piece = WriteUnmappable(4096, 128, 6);
    EXPECT_FALSE(NT_SUCCESS(piece.data));
    EXPECT_FALSE(NT_SUCCESS(piece.status) && piece.wrapper.status == 0) << "acknowledged without its data";
    ExpectOnMedium(0, 128, 5);
    bus_->ReleaseHeld();
    second->Wait();
}

// The disk class keeps several pieces of one write in flight and retries a failed piece after the ones
// that follow it; a piece that arrives out of turn must never be acknowledged from the buffer alone, or the
// write could end in success with that piece on no medium.
TEST_F(CoalescingTest, APieceArrivingAfterTheOnesThatFollowItIsWrittenBeforeTheWriteEnds)
{
    for (bool firstAttemptFails : {true, false})
    {
        SCOPED_TRACE(firstAttemptFails ? "piece 2 failed on the host side, retried last"
                                       : "piece 2 sent last");
        const uint32_t base = firstAttemptFails ? 0 : 4096;
        const uint8_t salt = firstAttemptFails ? 11 : 12;
        auto request = HoldOnDisk(IRP_MJ_WRITE, 0x80000, LONGLONG(base) * 512);
        WritePieces(base, {128, 128}, salt);
        if (firstAttemptFails)
        {
            EXPECT_FALSE(NT_SUCCESS(WriteUnmappable(base + 256, 128, salt).data));
            Recover();
        }
        for (uint32_t piece = 3; piece < 8; ++piece)
        {
            EXPECT_TRUE(WritePieces(base + piece * 128, {128}, salt)[0].Passed(tag_)) << "piece " << piece;
        }
        EXPECT_TRUE(WritePieces(base + 256, {128}, salt)[0].Passed(tag_)) << "the late piece";
        // Every acknowledged byte is on the medium by the time the write request can end.
        ExpectOnMedium(base, 1024, salt);
        bus_->ReleaseHeld();
        request->Wait();
    }
}

// The first piece can go down on its own as well: sent from a thread that the write's record does not
// match, and refused by the device (a pending unit attention). Its retry, after the later pieces went
// down, must not start gathering: nothing of the write follows it to flush it.
TEST_F(CoalescingTest, AFirstPieceRetriedAfterTheLaterOnesIsNotGathered)
{
    auto request = HoldOnDisk(IRP_MJ_WRITE, 0x40000, 0);
    FailWriteInStep(wu::sense::kMediumChanged);
    {
        winsim::ScopedThreadIdentity stranger(reinterpret_cast<HANDLE>(0x7FFFF000),
                                              reinterpret_cast<HANDLE>(0x7FFFF000));
        EXPECT_EQ(WritePieces(0, {128}, 15)[0].wrapper.status, 1);
    }
    SenseKeyAfterFailure();
    for (uint32_t piece = 1; piece < 4; ++piece)
    {
        EXPECT_TRUE(WritePieces(piece * 128, {128}, 15)[0].Passed(tag_)) << "piece " << piece;
    }
    EXPECT_TRUE(WritePieces(0, {128}, 15)[0].Passed(tag_)) << "the retry";
    ExpectOnMedium(0, 512, 15);
    bus_->ReleaseHeld();
    request->Wait();
}

// Another write's first piece can arrive while refused data waits in the buffer: it goes down behind that
// data, ungathered, and so do its later pieces. Its retry must not start gathering either.
TEST_F(CoalescingTest, AFirstPieceSentBehindBufferedDataIsNotGatheredOnItsRetry)
{
    auto first = HoldOnDisk(IRP_MJ_WRITE, 0x40000, 0);
    auto second = HoldOnDisk(IRP_MJ_WRITE, 0x40000, LONGLONG(4096) * 512);
    FailWriteInStep(wu::sense::kWriteError);
    EXPECT_EQ(WritePieces(0, {128, 128, 128, 128}, 17).back().wrapper.status, 1);
    SenseKeyAfterFailure();
    FailWriteInStep(wu::sense::kWriteError, false, 4096);
    EXPECT_EQ(WritePieces(4096, {128}, 18)[0].wrapper.status, 1) << "the first piece, behind the data";
    SenseKeyAfterFailure();
    for (uint32_t piece = 1; piece < 4; ++piece)
    {
        EXPECT_TRUE(WritePieces(4096 + piece * 128, {128}, 18)[0].Passed(tag_)) << "piece " << piece;
    }
    EXPECT_TRUE(WritePieces(4096, {128}, 18)[0].Passed(tag_)) << "the first piece again";
    ExpectOnMedium(0, 512, 17);
    ExpectOnMedium(4096, 512, 18);
    bus_->ReleaseHeld();
    first->Wait();
    second->Wait();
}

// Data the device refused is offered again before the retry; when that second offer fails out of step too
// (the device answers with a foreign status), the data is still there for the next retry, and the write
// ends with every byte on the medium.
TEST_F(CoalescingTest, HeldDataSurvivesAFailedSecondOfferAndReachesTheMedium)
{
    auto request = HoldOnDisk(IRP_MJ_WRITE, 0x100000, 0);
    FailWriteInStep(wu::sense::kWriteError);
    std::vector<Exchange> results = WritePieces(0, std::vector<uint16_t>(16, 128), 16);
    EXPECT_EQ(results.back().wrapper.status, 1);
    SenseKeyAfterFailure();
    wu::FaultRule foreign;
    foreign.kind = wu::FaultKind::BadCswTag;
    foreign.when.opcode = 0x2A;
    device_->AddFault(foreign);
    std::vector<uint8_t> retry = BlockPattern(1920, 128, 16);
    EXPECT_FALSE(Write10(1920, 128, retry).Passed(tag_));
    NewCommands();
    EXPECT_TRUE(Write10(1920, 128, retry).Passed(tag_));
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 0, 2048}, {0x2A, 1920, 128}}));
    ExpectOnMedium(0, 2048, 16);
    bus_->ReleaseHeld();
    request->Wait();
}

// Once the data a flush could not write has been written after all, it belongs to no write any more: a
// second write, gathered next, keeps its acknowledged pieces when the first write's request ends while
// they wait in the buffer (two application threads' writes interleaved).
TEST_F(CoalescingTest, AWriteGatheredAfterHeldDataWasWrittenKeepsItsPiecesWhenTheEarlierWriteEnds)
{
    auto first = HoldOnDisk(IRP_MJ_WRITE, 0x100000, 0);
    FailWriteInStep(wu::sense::kWriteError);
    EXPECT_EQ(WritePieces(0, std::vector<uint16_t>(16, 128), 16).back().wrapper.status, 1);
    SenseKeyAfterFailure();
    std::vector<uint8_t> retry = BlockPattern(1920, 128, 16);
    NewCommands();
    EXPECT_TRUE(Write10(1920, 128, retry).Passed(tag_));
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 0, 2048}, {0x2A, 1920, 128}}));

    auto second = HoldOnDisk(IRP_MJ_WRITE, 0x100000, 0x200000);
    for (const Exchange& piece : WritePieces(4096, std::vector<uint16_t>(8, 128), 21))
    {
        EXPECT_TRUE(NT_SUCCESS(piece.status) && piece.wrapper.status == 0);
    }
    EXPECT_TRUE(NewCommands().empty()) << "the second write's first half is gathered";
    bus_->ReleaseHeld();
    first->Wait();
    second->Wait();
    for (const Exchange& piece : WritePieces(5120, std::vector<uint16_t>(8, 128), 21))
    {
        EXPECT_TRUE(NT_SUCCESS(piece.status) && piece.wrapper.status == 0);
    }
    ExpectOnMedium(0, 2048, 16);
    ExpectOnMedium(4096, 2048, 21);
}

// The function driver's time-out cancels the status transfer of a write's last piece while the filter is
// still writing the gathered data for it: the transfer ends as cancelled, as the function driver's recovery
// (port reset, Bulk-Only reset, the command again) expects, even though the flush itself went through.
TEST_F(CoalescingTest, AStatusTransferCancelledDuringItsFlushEndsAsCancelled)
{
    auto request = HoldOnDisk(IRP_MJ_WRITE, 0x100000, 0);
    WritePieces(0, std::vector<uint16_t>(15, 128), 3);
    std::vector<uint8_t> data = BlockPattern(1920, 128, 3);
    CommandAndData(1920, 128, data);

    // The time-out strikes as the flush's status wrapper is on its way from the device.
    std::atomic<winsim::IrpInFlight*> statusTransfer{nullptr};
    std::atomic<bool> cancelled{false};
    device_->SetTransferHook([&](wu::Pipe pipe, uint32_t length) {
        if (pipe != wu::Pipe::BulkIn || length != wu::kCswLength || cancelled.exchange(true))
        {
            return;
        }
        while (statusTransfer.load() == nullptr)
        {
            std::this_thread::yield();
        }
        statusTransfer.load()->Cancel();
    });
    wu::CommandStatusWrapper wrapper{};
    URB status = Bulk(in_, &wrapper, wu::kCswLength, USBD_TRANSFER_DIRECTION_IN);
    auto flight = StartSubmit(status);
    statusTransfer = flight.get();
    EXPECT_EQ(flight->Wait(std::chrono::seconds(5)).status, STATUS_CANCELLED);
    device_->SetTransferHook(nullptr);
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 0, 2048}}));
    ExpectOnMedium(0, 2048, 3);

    Recover();
    EXPECT_TRUE(Write10(1920, 128, data).Passed(tag_));
    bus_->ReleaseHeld();
    request->Wait();
}

// Gathered data the device refuses belongs to its write: a read that comes next, while that write is still
// in flight, goes down and gets the device's answer to itself (the blocks as the medium holds them, as any
// read beside a write to the same blocks may), and the data is offered again before the next command.
TEST_F(CoalescingTest, ACommandBehindGatheredDataThatCannotBeWrittenGoesDownWithItsOwnAnswer)
{
    auto request = HoldOnDisk(IRP_MJ_WRITE, 0x100000, 0);
    WritePieces(0, {128, 128}, 13);
    FailWriteInStep(wu::sense::kWriteError);
    NewCommands();
    std::vector<uint8_t> read;
    EXPECT_TRUE(Read10(0, 128, read).Passed(tag_)) << "the write's error is not the read's";
    EXPECT_EQ(read, std::vector<uint8_t>(128 * 512, 0));
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 0, 256}, {0x03, 0, 0}, {0x28, 0, 128}}));
    // The held data is written before the next command, and a read then sees it.
    EXPECT_TRUE(Read10(0, 128, read).Passed(tag_));
    EXPECT_EQ(read, BlockPattern(0, 128, 13));
    bus_->ReleaseHeld();
    request->Wait();

    // Nor is it the error of a write that begins just past the held write's blocks.
    request = HoldOnDisk(IRP_MJ_WRITE, 0x100000, 0);
    WritePieces(0, {128, 128}, 14);
    FailWriteInStep(wu::sense::kWriteError, false, 0);
    NewCommands();
    EXPECT_TRUE(WritePieces(2048, {128}, 14)[0].Passed(tag_));
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 0, 256}, {0x03, 0, 0}, {0x2A, 2048, 128}}));
    ExpectOnMedium(2048, 128, 14);
    bus_->ReleaseHeld();
    request->Wait();
}

// A copy within one stick reads one range while the pieces of a write to another are gathered: a read the
// cache holds is answered from it without sending the gathered data first, and a write drops only its own
// blocks from the cache.
TEST_F(CoalescingTest, AReadTheCacheHoldsIsAnsweredBesideGatheredData)
{
    std::vector<uint8_t> source = BlockPattern(0, 4096, 20);
    device_->WriteMedium(0, 0, source.data(), source.size());
    std::vector<uint8_t> read;
    ASSERT_TRUE(Read10(0, 128, read).Passed(tag_));
    ASSERT_TRUE(Read10(128, 128, read).Passed(tag_)); // read ahead: blocks 128..2175
    auto request = HoldOnDisk(IRP_MJ_WRITE, 0x100000, 8192 * 512ull);
    WritePieces(8192, {128, 128}, 21);
    NewCommands();
    for (uint32_t lba = 256; lba < 768; lba += 128)
    {
        ASSERT_TRUE(Read10(lba, 128, read).Passed(tag_)) << lba;
        EXPECT_TRUE(std::equal(read.begin(), read.end(), source.begin() + lba * 512ull)) << lba;
    }
    EXPECT_TRUE(NewCommands().empty()) << "the cache answers, the gathered data waits for its write";
    WritePieces(8448, std::vector<uint16_t>(14, 128), 21);
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 8192, 2048}}));
    ExpectOnMedium(8192, 2048, 21);
    ASSERT_TRUE(Read10(768, 128, read).Passed(tag_));
    EXPECT_TRUE(NewCommands().empty()) << "a write elsewhere leaves the cached blocks";
    bus_->ReleaseHeld();
    request->Wait();
}

// INQUIRY may come between a failed piece and its REQUEST SENSE: it leaves the sense on the device, and the
// held data is not offered before it, since that would replace the sense the function driver is to read.
// Any other command there fails without reaching the device.
TEST_F(CoalescingTest, InquiryBeforeTheSenseOfAFailedFlushLeavesTheSense)
{
    auto request = HoldOnDisk(IRP_MJ_WRITE, 0x100000, 0);
    FailWriteInStep(wu::sense::kWriteError);
    std::vector<Exchange> results = WritePieces(0, std::vector<uint16_t>(16, 128), 22);
    ASSERT_EQ(results.back().wrapper.status, 1);
    NewCommands();
    uint8_t inquiry[36] = {};
    EXPECT_TRUE(Run({0x12, 0, 0, 0, sizeof(inquiry), 0}, sizeof(inquiry), true, inquiry).Passed(tag_));
    // Any other command fails as well, without reaching the device that keeps the reason.
    EXPECT_EQ(Run({0x00, 0, 0, 0, 0, 0}, 0, false, nullptr).wrapper.status, 1);
    EXPECT_EQ(SenseKeyAfterFailure(), wu::scsi::kSenseMediumError);
    EXPECT_EQ(NewCommands(), (Commands{{0x12, 0, 0}, {0x03, 0, 0}}));
    bus_->ReleaseHeld();
    request->Wait();
}

// Pieces that do not divide the buffer: the one that would not fit first writes what is gathered, at its
// command wrapper. When the device fails that write in step, the wrapper still goes through and the piece's
// status carries the failure, whose reason the function driver then fetches.
TEST_F(CoalescingTest, AFlushAtAPiecesWrapperThatTheDeviceFailsFailsThatPiece)
{
    auto request = HoldOnDisk(IRP_MJ_WRITE, 0x12C000, 0);
    FailWriteInStep(wu::sense::kWriteError);
    std::vector<Exchange> results = WritePieces(0, std::vector<uint16_t>(9, 240), 26);
    EXPECT_TRUE(NT_SUCCESS(results.back().command));
    EXPECT_EQ(results.back().wrapper.status, 1);
    EXPECT_EQ(SenseKeyAfterFailure(), wu::scsi::kSenseMediumError);
    bus_->ReleaseHeld();
    request->Wait();
}

// Another request's write exactly where the gathered data of a large write goes on: the piece there may be
// either one's, so it is not gathered for the large write but goes down after the gathered data.
TEST_F(CoalescingTest, APieceWhereAnotherWriteIsInFlightIsNotGathered)
{
    auto large = HoldOnDisk(IRP_MJ_WRITE, 0x100000, 0);
    WritePieces(0, {128, 128, 128}, 23);
    auto small = HoldOnDisk(IRP_MJ_WRITE, 0x10000, 384 * 512ull);
    NewCommands();
    std::vector<uint8_t> other = BlockPattern(384, 128, 24);
    EXPECT_TRUE(Write10(384, 128, other).Passed(tag_));
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 0, 384}, {0x2A, 384, 128}}));
    ExpectOnMedium(384, 128, 24);
    bus_->ReleaseHeld();
    large->Wait();
    small->Wait();
}

// Pieces of a unit whose block length is unknown go down unseen. Once a capacity answer gives the length, a
// piece of a write already in flight sent again is not taken for that write's start and gathered: the rest
// of the write went down before it, so no later piece would write the gathered one before the write ends.
TEST_F(CoalescingTest, AUnitWhoseBlockLengthIsUnknownIsNeverCoalesced)
{
    Unit()->blockLength = 0;
    auto request = HoldOnDisk(IRP_MJ_WRITE, 0x20000, 0);
    WritePieces(0, {128, 128}, 10);
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 0, 128}, {0x2A, 128, 128}}));
    ASSERT_TRUE(ReadCapacity().Passed(tag_));
    NewCommands();
    EXPECT_TRUE(WritePieces(0, {128}, 10)[0].Passed(tag_));
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 0, 128}}));
    bus_->ReleaseHeld();
    request->Wait();
}

// A write elsewhere, beyond the end of the one being gathered, takes the gathered data down before it but
// does not stop the gathering: the rest of the large write is still one command.
TEST_F(CoalescingTest, AWriteBeyondTheGatheredOneDoesNotStopTheGathering)
{
    auto request = HoldOnDisk(IRP_MJ_WRITE, 0x40000, 0);
    WritePieces(0, {128}, 14);
    WritePieces(4096, {128}, 14);
    WritePieces(128, {128, 128, 128}, 14);
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 0, 128}, {0x2A, 4096, 128}, {0x2A, 128, 384}}));
    ExpectOnMedium(0, 512, 14);
    bus_->ReleaseHeld();
    request->Wait();
}

// A piece that does not fit beside the gathered data has that data written at its command wrapper, before
// its own data is sent: when that write is lost on the wire, the wrapper fails, and the retry of the piece
// finds the gathered data offered again before it.
TEST_F(CoalescingTest, APieceThatDoesNotFitHasTheGatheredDataWrittenAtItsWrapper)
{
    auto request = HoldOnDisk(IRP_MJ_WRITE, 6 * 384 * 512, 0);
    WritePieces(0, std::vector<uint16_t>(5, 384), 19);
    NewCommands();
    usbBus_->FailBulkOutTransfer(usbPdo_, 1);
    std::vector<uint8_t> data = BlockPattern(1920, 384, 19);
    Exchange piece = Write10(1920, 384, data);
    EXPECT_FALSE(NT_SUCCESS(piece.command)) << "failed at its wrapper, before its data is sent";
    EXPECT_TRUE(Write10(1920, 384, data).Passed(tag_));
    ExpectOnMedium(0, 2304, 19);
    bus_->ReleaseHeld();
    request->Wait();
}

// A write whose pieces came out of order, and whose gathered data then could not be written, leaves nothing
// behind that would keep the next write from being gathered.
TEST_F(CoalescingTest, AfterAWriteOutOfOrderWhoseDataCouldNotBeWrittenTheNextWriteIsGathered)
{
    auto first = HoldOnDisk(IRP_MJ_WRITE, 0x100000, 0);
    WritePieces(0, {128, 128}, 17);
    FailWriteInStep(wu::sense::kWriteError, false, 0);
    EXPECT_EQ(WritePieces(512, {128}, 17)[0].wrapper.status, 1);
    SenseKeyAfterFailure();
    bus_->ReleaseHeld();
    first->Wait();
    NewCommands();
    auto second = HoldOnDisk(IRP_MJ_WRITE, 0x100000, 0x200000);
    WritePieces(4096, std::vector<uint16_t>(16, 128), 18);
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 4096, 2048}}));
    ExpectOnMedium(4096, 2048, 18);
    bus_->ReleaseHeld();
    second->Wait();
}

// A disk that has left the stick's children has ended the writes it had in flight: a piece after that is
// not gathered for them, and what was gathered goes to the device before it.
TEST_F(CoalescingTest, APieceAfterTheDiskHasLeftIsNotGatheredForItsWrite)
{
    auto request = HoldOnDisk(IRP_MJ_WRITE, 0x100000, 0);
    WritePieces(0, {128, 128}, 15);
    NewCommands();
    UsbExtension(filter_)->busRelations->Count = 0;
    EXPECT_TRUE(WritePieces(256, {128}, 15)[0].Passed(tag_));
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 0, 256}, {0x2A, 256, 128}}));
    ExpectOnMedium(0, 384, 15);
    UsbExtension(filter_)->busRelations->Count = 1;
    bus_->ReleaseHeld();
    request->Wait();
}

// Another write in flight that only touches the matched one, ending where it starts or starting where it
// ends, shares none of its blocks: its pieces are gathered as ever.
TEST_F(CoalescingTest, WritesInFlightBesideTheMatchedOneDoNotStopTheGathering)
{
    auto before = HoldOnDisk(IRP_MJ_WRITE, 0x20000, 0);
    auto matched = HoldOnDisk(IRP_MJ_WRITE, 0x20000, 0x20000);
    auto after = HoldOnDisk(IRP_MJ_WRITE, 0x20000, 0x40000);
    WritePieces(256, {128, 128}, 12);
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 256, 256}}));
    bus_->ReleaseHeld();
    for (auto& request : {before, matched, after})
    {
        request->Wait();
    }
}

// The wire fails the flush of gathered data that goes before another command: the filter recovers the pipe
// it left halted, so that the command, which goes down with its own answer, still reaches the device.
TEST_F(CoalescingTest, AFlushLostOnTheWireLeavesThePipeRecoveredForTheNextCommand)
{
    auto request = HoldOnDisk(IRP_MJ_WRITE, 0x20000, 0);
    std::vector<uint8_t> data = BlockPattern(0, 128, 13);
    EXPECT_TRUE(Write10(0, 128, data).Passed(tag_));
    NewCommands();
    usbBus_->FailBulkOutTransfer(usbPdo_, 1);
    EXPECT_TRUE(Run({0x00, 0, 0, 0, 0, 0}, 0, false, nullptr).Passed(tag_));
    EXPECT_EQ(NewCommands(), (Commands{{0x00, 0, 0}}));
    bus_->ReleaseHeld();
    request->Wait();
}

// A WRITE(10) whose wrapper announces more data than its blocks hold is the device's to judge, even where
// it would continue a large write in flight.
TEST_F(CoalescingTest, AWriteWhoseWrapperAndBlocksDisagreeGoesDown)
{
    auto request = HoldOnDisk(IRP_MJ_WRITE, 0x20000, 0);
    std::vector<uint8_t> first = BlockPattern(0, 128, 11);
    EXPECT_TRUE(Write10(0, 128, first).Passed(tag_));
    std::vector<uint8_t> data = BlockPattern(128, 128, 11);
    Run(Cdb10(0x2A, 128, 64), uint32_t(data.size()), false, data.data());
    EXPECT_EQ(NewCommands(), (Commands{{0x2A, 0, 128}, {0x2A, 128, 64}})) << "the gathered data first";
    EXPECT_EQ(Unit()->writeBuffer->length, 0u);
    bus_->ReleaseHeld();
    request->Wait();
}
} // namespace
