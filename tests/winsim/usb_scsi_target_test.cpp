// The SCSI block target behind the simulated device, driven through the Bulk-Only Transport: capacity
// and data per block length and per logical unit, sense data after errors, and the commands a Windows
// storage stack sends to a stick.
#include "tests/support/usb_test_host.h"

#include "winsim/usb/usb_misuse.h"

#include <cstdio>
#include <unistd.h>

namespace
{

using namespace kavtest;
using namespace winsim;
using namespace winsim::usb;

std::vector<uint8_t> Medium(BulkOnlyDevice& device, uint64_t offset, size_t length)
{
    std::vector<uint8_t> bytes(length);
    device.ReadMedium(0, offset, bytes.data(), length);
    return bytes;
}

SenseData RequestSense(TestHost& host, uint8_t lun)
{
    const Exchange x = host.Run(lun, Cdb6(scsi::kRequestSense, 18), 18, true);
    EXPECT_TRUE(x.Passed());
    EXPECT_EQ(x.dataIn.size(), 18u);
    return SenseData{uint8_t(x.dataIn[2] & 0x0F), x.dataIn[12], x.dataIn[13]};
}

class BlockLength : public ::testing::TestWithParam<uint32_t>
{
};

// Capacity, the last block and the first block beyond it, for each block length a stick or card uses.
TEST_P(BlockLength, CapacityEdgesAndRoundTrip)
{
    const uint32_t length = GetParam();
    const uint64_t blocks = 300;
    BulkOnlyDevice device(OneLun(blocks * length, length));
    TestHost host(device);

    const Exchange capacity = host.Run(0, Cdb10(scsi::kReadCapacity10, 0, 0), 8, true);
    ASSERT_TRUE(capacity.Passed());
    EXPECT_EQ(ReadBe32(&capacity.dataIn[0]), blocks - 1);
    EXPECT_EQ(ReadBe32(&capacity.dataIn[4]), length);

    std::vector<uint8_t> data(2 * length);
    for (size_t i = 0; i < data.size(); ++i)
    {
        data[i] = uint8_t(i * 13 + 1);
    }
    ASSERT_TRUE(host.Run(0, Cdb10(scsi::kWrite10, blocks - 2, 2), 2 * length, false, data).Passed());
    const Exchange back = host.Run(0, Cdb10(scsi::kRead10, blocks - 2, 2), 2 * length, true);
    ASSERT_TRUE(back.Passed());
    EXPECT_EQ(back.dataIn, data);

    // One block too far: CHECK CONDITION, no data (the host's buffer stays untouched), LBA OUT OF RANGE.
    const Exchange beyond = host.Run(0, Cdb10(scsi::kRead10, blocks - 1, 2), 2 * length, true);
    EXPECT_EQ(beyond.data.status, TransferStatus::Stall);
    EXPECT_EQ(beyond.data.bytes, 0u);
    EXPECT_EQ(beyond.cswStatus, 1);
    EXPECT_EQ(beyond.residue, 2 * length);
    EXPECT_EQ(RequestSense(host, 0), sense::kLbaOutOfRange);
    EXPECT_EQ(RequestSense(host, 0), sense::kNone); // REQUEST SENSE consumes it

    const Exchange write = host.Run(0, Cdb10(scsi::kWrite10, uint32_t(blocks), 1), length, false, data);
    EXPECT_EQ(write.cswStatus, 1);
    EXPECT_EQ(write.residue, length);
}

INSTANTIATE_TEST_SUITE_P(Scsi, BlockLength, ::testing::Values(512u, 2048u, 4096u));

// Each unit has its own medium, capacity and sense; the command log names the unit.
TEST(ScsiLuns, UnitsAreIndependent)
{
    DeviceConfig config;
    const uint32_t lengths[] = {512, 2048, 4096};
    for (uint32_t length : lengths)
    {
        LunConfig lun;
        lun.blockLength = length;
        lun.image = std::make_shared<MemoryDiskImage>(64 * length);
        config.luns.push_back(lun);
    }
    BulkOnlyDevice device(config);
    TestHost host(device);
    for (uint8_t lun = 0; lun < 3; ++lun)
    {
        const Exchange capacity = host.Run(lun, Cdb10(scsi::kReadCapacity10, 0, 0), 8, true);
        EXPECT_EQ(ReadBe32(&capacity.dataIn[0]), 63u);
        EXPECT_EQ(ReadBe32(&capacity.dataIn[4]), lengths[lun]);
    }
    const std::vector<uint8_t> data(2048, 0x5A);
    ASSERT_TRUE(host.Run(1, Cdb10(scsi::kWrite10, 3, 1), 2048, false, data).Passed());
    EXPECT_EQ(host.Run(1, Cdb10(scsi::kRead10, 3, 1), 2048, true).dataIn, data);
    EXPECT_EQ(host.Run(0, Cdb10(scsi::kRead10, 12, 4), 2048, true).dataIn, std::vector<uint8_t>(2048, 0));
    EXPECT_EQ(host.Run(2, Cdb10(scsi::kRead10, 1, 1), 4096, true).dataIn, std::vector<uint8_t>(4096, 0));

    host.Run(2, Cdb10(scsi::kRead10, 64, 1), 4096, true);
    EXPECT_EQ(device.PendingSense(2), sense::kLbaOutOfRange);
    EXPECT_EQ(device.PendingSense(0), sense::kNone);
    EXPECT_EQ(device.CommandLog().back().lun, 2);
    EXPECT_EQ(device.CommandLog().back().lba, 64u);
}

TEST(ScsiCommands, InquiryDescribesARemovableDirectAccessDevice)
{
    BulkOnlyDevice device(OneLun());
    TestHost host(device);
    const Exchange x = host.Run(0, Cdb6(scsi::kInquiry, 36), 36, true);
    ASSERT_TRUE(x.Passed());
    EXPECT_EQ(x.dataIn[0], 0x00);
    EXPECT_EQ(x.dataIn[1], 0x80);
    EXPECT_EQ(std::string(x.dataIn.begin() + 8, x.dataIn.begin() + 16), "KAVLAB  ");
    EXPECT_EQ(std::string(x.dataIn.begin() + 16, x.dataIn.begin() + 32), "Virtual Disk    ");
    // The allocation length cuts the data, and the host asking for as much sees no error.
    EXPECT_TRUE(host.Run(0, Cdb6(scsi::kInquiry, 5), 5, true).Passed());
    // Vital product data is not offered.
    EXPECT_EQ(host.Run(0, {scsi::kInquiry, 1, 0x80, 0, 36, 0}, 36, true).cswStatus, 1);
    EXPECT_EQ(device.PendingSense(0), sense::kInvalidFieldInCdb);
}

TEST(ScsiCommands, UnknownOpcodeIsRefusedWithSense)
{
    BulkOnlyDevice device(OneLun());
    TestHost host(device);
    const Exchange x = host.Run(0, Cdb10(0xA8, 0, 1), 512, true); // READ(12) is not implemented
    EXPECT_EQ(x.data.status, TransferStatus::Stall);
    EXPECT_EQ(x.cswStatus, 1);
    EXPECT_EQ(RequestSense(host, 0), sense::kInvalidOpcode);
    EXPECT_EQ(host.Run(0, Cdb6(0xC0), 0, false).cswStatus, 1);
}

TEST(ScsiCommands, ModeSenseReportsWriteProtectionAndTheCachingPage)
{
    BulkOnlyDevice device(OneLun());
    TestHost host(device);
    Exchange six = host.Run(0, Cdb6(scsi::kModeSense6, 192, scsi::kModePageAll), 192, true);
    ASSERT_EQ(six.dataIn.size(), 24u);
    EXPECT_EQ(six.dataIn[0], 23);
    EXPECT_EQ(six.dataIn[2], 0x00);
    EXPECT_EQ(six.dataIn[4], scsi::kModePageCaching);

    device.SetWriteProtected(0, true);
    six = host.Run(0, Cdb6(scsi::kModeSense6, 4, scsi::kModePageCaching), 4, true);
    EXPECT_TRUE(six.Passed());
    EXPECT_EQ(six.dataIn[2], 0x80);
    const std::vector<uint8_t> ten_cdb = {scsi::kModeSense10, 0, scsi::kModePageAll, 0, 0, 0, 0, 0, 255, 0};
    const Exchange ten = host.Run(0, ten_cdb, 255, true);
    ASSERT_EQ(ten.dataIn.size(), 28u);
    EXPECT_EQ(ReadBe16(&ten.dataIn[0]), 26);
    EXPECT_EQ(ten.dataIn[3], 0x80);
    EXPECT_EQ(ten.dataIn[8], scsi::kModePageCaching);

    EXPECT_EQ(host.Run(0, Cdb6(scsi::kModeSense6, 192, 0x1C), 192, true).cswStatus, 1);
    EXPECT_EQ(device.PendingSense(0), sense::kInvalidFieldInCdb);
}

// Without a medium the unit still identifies itself; a protected medium refuses writes and keeps its data.
TEST(ScsiCommands, MissingMediumAndWriteProtection)
{
    BulkOnlyDevice device(OneLun());
    TestHost host(device);
    device.SetMediumPresent(0, false);
    EXPECT_EQ(host.Run(0, Cdb6(scsi::kTestUnitReady), 0, false).cswStatus, 1);
    EXPECT_TRUE(host.Run(0, Cdb6(scsi::kInquiry, 36), 36, true).Passed()); // INQUIRY keeps the sense
    EXPECT_EQ(RequestSense(host, 0), sense::kMediumNotPresent);
    EXPECT_EQ(host.Run(0, Cdb10(scsi::kReadCapacity10, 0, 0), 8, true).cswStatus, 1);
    device.SetMediumPresent(0, true);
    EXPECT_EQ(host.Run(0, Cdb6(scsi::kTestUnitReady), 0, false).cswStatus, 1); // medium changed
    EXPECT_EQ(RequestSense(host, 0), sense::kMediumChanged);
    EXPECT_TRUE(host.Run(0, Cdb6(scsi::kTestUnitReady), 0, false).Passed());

    device.SetWriteProtected(0, true);
    const Exchange write = host.Run(0, Cdb10(scsi::kWrite10, 0, 1), 512, false, std::vector<uint8_t>(512, 1));
    EXPECT_EQ(write.cswStatus, 1);
    EXPECT_EQ(write.residue, 512u);
    EXPECT_EQ(RequestSense(host, 0), sense::kWriteProtected);
    EXPECT_EQ(host.Run(0, Cdb10(scsi::kRead10, 0, 1), 512, true).dataIn, std::vector<uint8_t>(512, 0));
}

TEST(ScsiCommands, SenseLastsUntilTheNextCommand)
{
    BulkOnlyDevice device(OneLun());
    TestHost host(device);
    host.Run(0, Cdb10(scsi::kRead10, 0xFFFFFFFF, 2), 1024, true); // wraps 32 bits: still out of range
    EXPECT_EQ(device.PendingSense(0), sense::kLbaOutOfRange);
    EXPECT_TRUE(host.Run(0, Cdb6(scsi::kTestUnitReady), 0, false).Passed());
    EXPECT_EQ(RequestSense(host, 0), sense::kNone);
}

// A UNIT ATTENTION waits through INQUIRY, fails the next other command before it acts, and is reported
// once; REQUEST SENSE reports it itself when nothing else waits.
TEST(ScsiCommands, UnitAttentionIsReportedOnceBeforeAnyCommandActs)
{
    BulkOnlyDevice device(OneLun());
    TestHost host(device);
    device.ChangeMedium(0);
    EXPECT_TRUE(device.UnitAttentionPending(0));
    EXPECT_TRUE(host.Run(0, Cdb6(scsi::kInquiry, 36), 36, true).Passed());
    const std::vector<uint8_t> data(512, 0x3C);
    const Exchange write = host.Run(0, Cdb10(scsi::kWrite10, 4, 1), 512, false, data);
    EXPECT_EQ(write.cswStatus, 1);
    EXPECT_EQ(write.residue, 512u);
    EXPECT_FALSE(device.UnitAttentionPending(0));
    EXPECT_EQ(RequestSense(host, 0), sense::kMediumChanged);
    EXPECT_EQ(Medium(device, 4 * 512, 512), std::vector<uint8_t>(512, 0)); // the write did not act
    EXPECT_TRUE(host.Run(0, Cdb10(scsi::kWrite10, 4, 1), 512, false, data).Passed());

    device.ChangeMedium(0);
    EXPECT_EQ(RequestSense(host, 0), sense::kMediumChanged);
    EXPECT_FALSE(device.UnitAttentionPending(0));
    EXPECT_TRUE(host.Run(0, Cdb6(scsi::kTestUnitReady), 0, false).Passed());

    device.SetMediumPresent(0, false);
    EXPECT_THROW(device.ChangeMedium(0), MisuseError);
}

// Power-on and a port reset raise the reset attention on every unit, when the device is set up so.
TEST(ScsiCommands, PowerOnAndPortResetAttention)
{
    DeviceConfig config = OneLun();
    config.luns.push_back(config.luns[0]);
    config.luns[1].image = std::make_shared<MemoryDiskImage>(1 << 20);
    config.luns[0].unitAttentionAtPowerOn = true;
    config.unitAttentionOnPortReset = true;
    BulkOnlyDevice device(config);
    TestHost host(device);
    EXPECT_TRUE(device.UnitAttentionPending(0));
    EXPECT_FALSE(device.UnitAttentionPending(1));
    EXPECT_EQ(RequestSense(host, 0), sense::kPowerOnReset);
    EXPECT_EQ(device.PortReset(), TransferStatus::Ok);
    EXPECT_EQ(host.Run(1, Cdb6(scsi::kTestUnitReady), 0, false).cswStatus, 1);
    EXPECT_EQ(RequestSense(host, 1), sense::kPowerOnReset);
    EXPECT_EQ(host.Run(0, Cdb10(scsi::kRead10, 0, 1), 512, true).cswStatus, 1);
    EXPECT_EQ(RequestSense(host, 0), sense::kPowerOnReset);
}

TEST(ScsiCommands, PreventRemovalAndSynchronizeCache)
{
    BulkOnlyDevice device(OneLun());
    TestHost host(device);
    EXPECT_TRUE(host.Run(0, Cdb6(scsi::kPreventAllowMediumRemoval, 1), 0, false).Passed());
    EXPECT_TRUE(device.RemovalPrevented(0));
    EXPECT_TRUE(host.Run(0, Cdb6(scsi::kPreventAllowMediumRemoval, 0), 0, false).Passed());
    EXPECT_FALSE(device.RemovalPrevented(0));
    EXPECT_TRUE(host.Run(0, Cdb10(scsi::kSynchronizeCache10, 0, 0), 0, false).Passed());
    EXPECT_EQ(device.SynchronizeCount(0), 1u);
    // A zero-block READ(10) moves nothing and passes.
    EXPECT_TRUE(host.Run(0, Cdb10(scsi::kRead10, 5, 0), 0, false).Passed());
}

TEST(ScsiConfiguration, ImpossibleUnitsAreRefused)
{
    EXPECT_THROW(BulkOnlyDevice(OneLun(1 << 20, 1000)), MisuseError);
    EXPECT_THROW(BulkOnlyDevice(OneLun(1 << 20, 131072)), MisuseError);
    EXPECT_THROW(BulkOnlyDevice(OneLun(100, 512)), MisuseError);
    DeviceConfig none;
    EXPECT_THROW(BulkOnlyDevice{none}, MisuseError);
    DeviceConfig noImage;
    noImage.luns.resize(1);
    EXPECT_THROW(BulkOnlyDevice{noImage}, MisuseError);
    DeviceConfig many = OneLun();
    many.luns.resize(17, many.luns[0]);
    EXPECT_THROW(BulkOnlyDevice{many}, MisuseError);
}

// A large sparse medium costs only what is written; both images refuse access beyond their end.
TEST(DiskImages, SparseMemoryAndFileBackedMedia)
{
    MemoryDiskImage memory(uint64_t(16) << 30);
    const std::vector<uint8_t> data(100, 0xAB);
    memory.Write((uint64_t(8) << 30) - 50, data.data(), data.size()); // across a chunk boundary
    EXPECT_EQ(memory.AllocatedBytes(), 2 * MemoryDiskImage::kChunkBytes);
    std::vector<uint8_t> back(200, 1);
    memory.Read((uint64_t(8) << 30) - 100, back.data(), back.size());
    for (size_t i = 0; i < back.size(); ++i)
    {
        ASSERT_EQ(back[i], i >= 50 && i < 150 ? 0xAB : 0) << i;
    }
    EXPECT_THROW(memory.Read((uint64_t(16) << 30) - 10, back.data(), 11), MisuseError);

    char path[] = "/tmp/kav_usb_imageXXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        FileDiskImage file(path, 1 << 20);
        file.Write(4096, data.data(), data.size());
        file.Flush();
        EXPECT_THROW(file.Write((1 << 20) - 1, data.data(), 2), MisuseError);
    }
    FileDiskImage reopened(path, 0);
    EXPECT_EQ(reopened.SizeBytes(), uint64_t(1) << 20);
    reopened.Read(4096 - 100, back.data(), back.size());
    EXPECT_EQ(back[99], 0);
    EXPECT_EQ(back[100], 0xAB);
    std::remove(path);
}

} // namespace
