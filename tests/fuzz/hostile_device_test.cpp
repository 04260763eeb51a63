// Proves that the fuzz target's judge is sound: the data checks explain exactly what the device sent, the
// application wrote or the request's own buffer held (and nothing of another unit, range or request), and
// the scripted device carries out each answer of its script and counts as acknowledged only the write data
// a valid, successful status wrapper covers.
#include "tests/fuzz/data_provenance.h"
#include "tests/fuzz/hostile_device.h"

#include "winsim/kernel/winsim_kernel.h"
#include "winsim/usb/bot_wire.h"
#include "winsim/usb/scsi_defs.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

namespace
{

using namespace kavfuzz;
namespace wu = winsim::usb;

std::vector<uint8_t> Words(size_t length, uint64_t offset, WordKind kind, uint8_t lun, uint16_t tag)
{
    std::vector<uint8_t> bytes(length);
    FillWords(bytes.data(), length, offset, kind, lun, tag);
    return bytes;
}

TEST(ProvenanceTest, AReadIsExplainedOnlyByDataOfItsOwnUnitAndRange)
{
    Provenance provenance;
    provenance.DeviceSent(0, 4096, 8192, 0, 0, 3);
    provenance.DeviceSent(1, 4096, 8192, 1, 0, 3);
    const auto unit0 = Words(4096, 4096, WordKind::Device, 0, 3);
    EXPECT_EQ("", provenance.CheckRead(0, 4096, unit0.data(), unit0.size(), 1));
    // Unit 0's data handed to unit 1, or to another range of unit 0, or data the device never sent.
    EXPECT_NE("", provenance.CheckRead(1, 4096, unit0.data(), unit0.size(), 1));
    EXPECT_NE("", provenance.CheckRead(0, 0, unit0.data(), 4096, 1));
    const auto unsent = Words(512, 8192, WordKind::Device, 0, 3);
    EXPECT_NE("", provenance.CheckRead(0, 8192, unsent.data(), unsent.size(), 1));
    // Another salt is another sending: not the one recorded.
    const auto salted = Words(512, 4096, WordKind::Device, 0, 4);
    EXPECT_NE("", provenance.CheckRead(0, 4096, salted.data(), salted.size(), 1));
}

TEST(ProvenanceTest, ABufferMayKeepItsOwnPoisonButNotAnotherRequestsOrWritesOfAnotherUnit)
{
    Provenance provenance;
    const auto own = Words(1024, 0, WordKind::Poison, 0, 7);
    EXPECT_EQ("", provenance.CheckRead(0, 0, own.data(), own.size(), 7));
    EXPECT_NE("", provenance.CheckRead(0, 0, own.data(), own.size(), 8)) << "stale buffer of request 7";

    provenance.ApplicationWrote(0, 0, 1024, 5);
    const auto written = Words(1024, 0, WordKind::Application, 0, 5);
    EXPECT_EQ("", provenance.CheckRead(0, 0, written.data(), written.size(), 9));
    EXPECT_NE("", provenance.CheckRead(1, 0, written.data(), written.size(), 9));
    size_t hint = 0;
    uint64_t word = 0;
    std::memcpy(&word, written.data() + 8, 8);
    EXPECT_TRUE(provenance.ApplicationWordAt(0, 8, word, &hint));
    EXPECT_FALSE(provenance.ApplicationWordAt(0, 16, word, &hint));
    EXPECT_FALSE(provenance.ApplicationWordAt(1, 8, word, &hint));
}

// Runs are taken along one record only as far as it reaches, and a write acknowledged in one pass keeps
// which write each of its words came from.
TEST(ProvenanceTest, ARunOfOneRecordEndsWhereTheRecordEnds)
{
    Provenance provenance;
    provenance.DeviceSent(0, 0, 4096, 0, 0, 3);
    auto data = Words(8192, 0, WordKind::Device, 0, 3);
    EXPECT_NE("", provenance.CheckRead(0, 0, data.data(), data.size(), 1))
        << "the second half was never sent";
    provenance.DeviceSent(0, 6144, 8192, 0, 0, 3);
    FillWords(data.data() + 4096, 2048, 4096, WordKind::Poison, 0, 1);
    EXPECT_EQ("", provenance.CheckRead(0, 0, data.data(), data.size(), 1)) << "sent, own poison, sent";

    provenance.ApplicationWrote(0, 0, 4096, 5);
    provenance.ApplicationWrote(0, 0, 2048, 6);
    auto written = Words(4096, 0, WordKind::Application, 0, 5);
    FillWords(written.data(), 2048, 0, WordKind::Application, 0, 6);
    std::vector<AckedSpan> acked;
    EXPECT_EQ("", provenance.Acknowledge(0, 0, written.data(), written.size(), &acked));
    ASSERT_EQ(2u, acked.size());
    EXPECT_EQ(6, acked[0].sequence);
    EXPECT_EQ(2048u, acked[0].end);
    EXPECT_EQ(5, acked[1].sequence);
    EXPECT_EQ(2048u, acked[1].first);
    EXPECT_EQ(4096u, acked[1].end);
    EXPECT_EQ("", UnacknowledgedWord({WriteSpan{0, 0, 4096, 5}, WriteSpan{0, 0, 2048, 6}}, acked));
    EXPECT_NE("", UnacknowledgedWord({WriteSpan{0, 0, 4096, 7}}, acked))
        << "a write after every acknowledgement";
    EXPECT_NE("", provenance.Acknowledge(1, 0, written.data(), written.size(), &acked))
        << "another unit's data";
}

TEST(ProvenanceTest, DataPhasesEndingInsideAWordAreCheckedByteByByte)
{
    Provenance provenance;
    provenance.DeviceSent(0, 0, 13, 0, 0, 0); // the device stopped five bytes into the second word
    std::vector<uint8_t> buffer = Words(32, 0, WordKind::Poison, 0, 2);
    FillWords(buffer.data(), 13, 0, WordKind::Device, 0, 0);
    EXPECT_EQ("", provenance.CheckRead(0, 0, buffer.data(), buffer.size(), 2));
    buffer[14] ^= 1;
    EXPECT_NE("", provenance.CheckRead(0, 0, buffer.data(), buffer.size(), 2));
}

TEST(ProvenanceTest, TheDevicesOwnLiesAreExplainedAsRecorded)
{
    Provenance provenance;
    // Unit 0 answered with unit 1's data of 512 bytes further on, and with raw garbage after it.
    provenance.DeviceSent(0, 0, 512, 1, 512, 0);
    const uint8_t garbage[5] = {1, 2, 3, 4, 5};
    provenance.DeviceSentRaw(0, 512, garbage, sizeof garbage);
    std::vector<uint8_t> buffer(517);
    FillWords(buffer.data(), 512, 0, WordKind::Device, 0, 0, 512, 1);
    std::memcpy(&buffer[512], garbage, sizeof garbage);
    EXPECT_EQ("", provenance.CheckRead(0, 0, buffer.data(), buffer.size(), 1));
    buffer[515] = 9;
    EXPECT_NE("", provenance.CheckRead(0, 0, buffer.data(), buffer.size(), 1));
}

// A device of `units` units driven transfer by transfer, as the bus would.
class HostileDeviceTest : public ::testing::Test
{
protected:
    void Make(std::vector<uint8_t> script, uint8_t units = 1,
              std::chrono::milliseconds silence = std::chrono::milliseconds(0))
    {
        script_ = std::move(script);
        wu::DeviceConfig config;
        auto image = std::make_shared<wu::MemoryDiskImage>(512);
        for (uint8_t i = 0; i < units; ++i)
        {
            wu::LunConfig lun;
            lun.image = image;
            config.luns.push_back(lun);
        }
        HostileAnswers answers;
        answers.maxLun = uint8_t(units - 1);
        answers.silence = silence;
        device_ = std::make_unique<HostileDevice>(config, answers, Script(script_.data(), script_.size()),
                                                  provenance_);
    }

    wu::TransferResult Command(uint32_t tag, uint8_t opcode, uint8_t lun, uint32_t lba, uint16_t blocks,
                               uint32_t length, bool in)
    {
        const uint8_t cdb[10] = {opcode,       0, uint8_t(lba >> 24),   uint8_t(lba >> 16), uint8_t(lba >> 8),
                                 uint8_t(lba), 0, uint8_t(blocks >> 8), uint8_t(blocks),    0};
        wu::CommandBlockWrapper cbw = wu::MakeCbw(tag, length, in, lun, cdb, sizeof cdb);
        return device_->Transfer(wu::Pipe::BulkOut, &cbw, sizeof cbw);
    }

    wu::TransferResult Status(uint8_t* csw)
    {
        return device_->Transfer(wu::Pipe::BulkIn, csw, wu::kCswLength);
    }

    std::vector<uint8_t> script_;
    Provenance provenance_;
    std::unique_ptr<HostileDevice> device_;
};

TEST_F(HostileDeviceTest, AnHonestReadSendsTheWordsOfItsUnitAndRangeAndAPassedStatus)
{
    Make({}, 2);
    ASSERT_EQ(wu::TransferStatus::Ok, Command(7, wu::scsi::kRead10, 1, 4, 2, 1024, true).status);
    std::vector<uint8_t> data(1024);
    const wu::TransferResult result = device_->Transfer(wu::Pipe::BulkIn, data.data(), 1024);
    EXPECT_EQ(wu::TransferStatus::Ok, result.status);
    EXPECT_EQ(1024u, result.bytes);
    EXPECT_EQ(Words(1024, 2048, WordKind::Device, 1, 0), data);
    EXPECT_EQ("", provenance_.CheckRead(1, 2048, data.data(), data.size(), 1));
    EXPECT_NE("", provenance_.CheckRead(0, 2048, data.data(), data.size(), 1));

    uint8_t csw[wu::kCswLength] = {};
    ASSERT_EQ(wu::TransferStatus::Ok, Status(csw).status);
    EXPECT_EQ(wu::kCswSignature, wu::ReadLe32(csw));
    EXPECT_EQ(7u, wu::ReadLe32(csw + 4));
    EXPECT_EQ(0u, wu::ReadLe32(csw + 8));
    EXPECT_EQ(0, csw[12]);
}

TEST_F(HostileDeviceTest, ScriptedStatusWrappersCarryWhatTheScriptSays)
{
    // Answer 1: wrong signature; answer 2: the previous command's tag; answer 3: residue 0x100 and
    // status 2; answer 4: cut to 5 bytes.
    Make({0x30, 0x40, 0xA0, 0x02, 0x00, 0x01, 0x00, 0x00, 0x70, 0x05});
    uint8_t csw[wu::kCswLength] = {};
    Command(1, wu::scsi::kTestUnitReady, 0, 0, 0, 0, false);
    Status(csw);
    EXPECT_NE(wu::kCswSignature, wu::ReadLe32(csw));
    Command(2, wu::scsi::kTestUnitReady, 0, 0, 0, 0, false);
    Status(csw);
    EXPECT_EQ(1u, wu::ReadLe32(csw + 4));
    Command(3, wu::scsi::kTestUnitReady, 0, 0, 0, 0, false);
    Status(csw);
    EXPECT_EQ(0x100u, wu::ReadLe32(csw + 8));
    EXPECT_EQ(2, csw[12]);
    Command(4, wu::scsi::kTestUnitReady, 0, 0, 0, 0, false);
    EXPECT_EQ(5u, Status(csw).bytes);
}

TEST_F(HostileDeviceTest, StallsHoldUntilClearedAndAVanishedDeviceIsGoneForGood)
{
    Make({0x03, 0x0B});
    uint8_t data[512];
    Command(1, wu::scsi::kRead10, 0, 0, 1, 512, true);
    EXPECT_EQ(wu::TransferStatus::Stall, device_->Transfer(wu::Pipe::BulkIn, data, 512).status);
    uint8_t csw[wu::kCswLength] = {};
    EXPECT_EQ(wu::TransferStatus::Stall, Status(csw).status) << "halted until the host clears it";
    device_->ClearHalt(wu::Pipe::BulkIn);
    ASSERT_EQ(wu::TransferStatus::Ok, Status(csw).status);
    EXPECT_EQ(1, csw[12]);
    EXPECT_EQ(512u, wu::ReadLe32(csw + 8));

    EXPECT_EQ(wu::TransferStatus::DeviceGone, Command(2, wu::scsi::kRead10, 0, 0, 1, 512, true).status);
    EXPECT_TRUE(device_->Gone());
    EXPECT_EQ(wu::TransferStatus::DeviceGone, device_->ClearHalt(wu::Pipe::BulkIn));
}

TEST_F(HostileDeviceTest, AnInvalidCommandWrapperStallsBothPipesUntilTheReset)
{
    Make({});
    uint8_t junk[31] = {};
    EXPECT_EQ(wu::TransferStatus::Stall, device_->Transfer(wu::Pipe::BulkOut, junk, sizeof junk).status);
    device_->ClearHalt(wu::Pipe::BulkOut);
    device_->ClearHalt(wu::Pipe::BulkIn);
    EXPECT_EQ(wu::TransferStatus::Stall, Command(1, wu::scsi::kTestUnitReady, 0, 0, 0, 0, false).status);
    device_->MassStorageReset();
    device_->ClearHalt(wu::Pipe::BulkOut);
    device_->ClearHalt(wu::Pipe::BulkIn);
    EXPECT_EQ(wu::TransferStatus::Ok, Command(2, wu::scsi::kTestUnitReady, 0, 0, 0, 0, false).status);
}

TEST_F(HostileDeviceTest, OnlyAValidSuccessfulStatusAcknowledgesWriteDataAndOnlyBeforeItsResidue)
{
    // Write 1: honest; write 2: wrong signature; write 3: passed with a residue of 512.
    Make({0x00, 0x30, 0x20, 0x00, 0x02, 0x00, 0x00});
    provenance_.ApplicationWrote(0, 0, 3072, 1);
    const auto data = Words(3072, 0, WordKind::Application, 0, 1);
    uint8_t csw[wu::kCswLength] = {};
    for (uint32_t tag = 1; tag <= 3; ++tag)
    {
        const uint32_t first = (tag - 1) * 1024;
        Command(tag, wu::scsi::kWrite10, 0, first / 512, 2, 1024, false);
        ASSERT_EQ(wu::TransferStatus::Ok,
                  device_->Transfer(wu::Pipe::BulkOut, const_cast<uint8_t*>(&data[first]), 1024).status);
        Status(csw);
    }
    const std::vector<AckedSpan> acked = device_->Acknowledged();
    ASSERT_EQ(2u, acked.size());
    EXPECT_EQ(0u, acked[0].first);
    EXPECT_EQ(1024u, acked[0].end);
    EXPECT_EQ(2048u, acked[1].first);
    EXPECT_EQ(2560u, acked[1].end);
    EXPECT_EQ("", device_->ForeignWrite());
}

TEST_F(HostileDeviceTest, DataTheApplicationNeverWroteThereIsReportedWhenTheDeviceTakesIt)
{
    Make({}, 2);
    provenance_.ApplicationWrote(1, 0, 512, 1);
    const auto otherUnit = Words(512, 0, WordKind::Application, 1, 1);
    uint8_t csw[wu::kCswLength] = {};
    Command(1, wu::scsi::kWrite10, 0, 0, 1, 512, false);
    device_->Transfer(wu::Pipe::BulkOut, const_cast<uint8_t*>(otherUnit.data()), 512);
    Status(csw);
    EXPECT_NE("", device_->ForeignWrite());
    EXPECT_TRUE(device_->Acknowledged().empty());
}

TEST_F(HostileDeviceTest, ReadCapacityAnswersSetTheBlockLengthOfLaterPositions)
{
    // READ CAPACITY answered with block length 520; the next read of block 2 starts at byte 1040.
    Make({0x08, 0x00, 0x00, 0x00, 0x0F, 0x00, 0x00, 0x02, 0x08});
    uint8_t capacity[8] = {};
    Command(1, wu::scsi::kReadCapacity10, 0, 0, 0, 8, true);
    ASSERT_EQ(8u, device_->Transfer(wu::Pipe::BulkIn, capacity, 8).bytes);
    EXPECT_EQ(0x08, capacity[7]);
    uint8_t csw[wu::kCswLength] = {};
    Status(csw);
    std::vector<uint8_t> data(520);
    Command(2, wu::scsi::kRead10, 0, 2, 1, 520, true);
    device_->Transfer(wu::Pipe::BulkIn, data.data(), 520);
    EXPECT_EQ(Words(520, 1040, WordKind::Device, 0, 0), data);
}

// Each NAK moves the simulated clock on by the silence, so that the host's time-out passes at once.
TEST_F(HostileDeviceTest, AHangingDeviceNaksEverythingUntilAResetWhileTheClockMovesOn)
{
    Make({0x0D}, 1, std::chrono::minutes(1));
    uint8_t data[512];
    Command(1, wu::scsi::kRead10, 0, 0, 1, 512, true);
    const ULONGLONG before = KeQueryInterruptTime();
    EXPECT_EQ(wu::TransferStatus::Nak, device_->Transfer(wu::Pipe::BulkIn, data, 512).status);
    EXPECT_EQ(wu::TransferStatus::Nak, Command(2, wu::scsi::kTestUnitReady, 0, 0, 0, 0, false).status);
    EXPECT_GE(KeQueryInterruptTime() - before, 2ULL * 60 * 10000000) << "two NAKs, two minutes";
    device_->PortReset();
    EXPECT_EQ(wu::TransferStatus::Ok, Command(3, wu::scsi::kTestUnitReady, 0, 0, 0, 0, false).status);
}

TEST_F(HostileDeviceTest, AnExchangeThatNeverEndsUsesUpTheStepsAndTheDeviceLeaves)
{
    Make({});
    uint8_t data[8];
    while (!device_->Gone())
    {
        device_->Transfer(wu::Pipe::BulkIn, data, sizeof data);
    }
    EXPECT_TRUE(device_->StepLimitReached());
}

} // namespace
