// The simulated storage stack with Kavfiltr loaded where the PnP manager loads it (lower filter of the USB
// node, upper filter of each disk): data still round-trips for the request sizes applications use,
// sequential and random, inline and from the DPC thread, and nothing leaks once the stack is gone.
#include "usb/storage_rig.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

namespace winsim::usb
{
namespace
{

constexpr ULONG kKiB = 1024;
constexpr ULONG kFilterTag = PoolTag("USUe");

StorageRigOptions FilteredOptions(UrbCompletion completion, uint64_t bytes = 16ull << 20)
{
    StorageRigOptions options;
    LunConfig lun;
    lun.image = std::make_shared<MemoryDiskImage>(bytes);
    options.device.luns.push_back(lun);
    options.completion = completion;
    options.completionDelay = std::chrono::microseconds(completion == UrbCompletion::Deferred ? 10 : 0);
    options.filtered = true;
    options.filterEntry = DriverEntry;
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

class FilteredStack : public ::testing::TestWithParam<std::tuple<UrbCompletion, ULONG>>
{
protected:
    ScopedKernel kernel_;
};

TEST_P(FilteredStack, SequentialWritesAndReadsRoundTrip)
{
    const auto [completion, size] = GetParam();
    {
        StorageRig rig(FilteredOptions(completion));
        ASSERT_TRUE(rig.Filtered());
        const ULONG total = 4 << 20;
        const auto data = Pattern(total, size);
        for (ULONG offset = 0; offset < total; offset += size)
            ASSERT_EQ(rig.Write(0, data.data() + offset, size, offset).status, STATUS_SUCCESS) << offset;
        std::vector<uint8_t> medium(total);
        rig.Device().ReadMedium(0, 0, medium.data(), total);
        EXPECT_EQ(medium, data);
        std::vector<uint8_t> back(total, 0xEE);
        for (ULONG offset = 0; offset < total; offset += size)
        {
            const IoOutcome read = rig.Read(0, back.data() + offset, size, offset);
            ASSERT_EQ(read.status, STATUS_SUCCESS) << offset;
            ASSERT_EQ(read.information, size);
        }
        EXPECT_EQ(back, data);
        rig.Teardown();
    }
    EXPECT_EQ(PoolStats(kFilterTag).outstandingBlocks, 0u);
    EXPECT_EQ(PoolOutstandingBlocks(), 0u);
    EXPECT_EQ(OpenHandleCount(), 0u);
    EXPECT_EQ(RunningSystemThreads(), 0u);
}

TEST_P(FilteredStack, RandomWritesAndReadsMatchAReferenceCopy)
{
    const auto [completion, size] = GetParam();
    const uint64_t bytes = 16ull << 20;
    StorageRig rig(FilteredOptions(completion, bytes));
    std::vector<uint8_t> reference(bytes, 0);
    std::mt19937 random(size ^ 0x5EED);
    const ULONG blocks = ULONG(bytes / 512);
    for (int i = 0; i < 24; ++i)
    {
        const ULONG offset = (random() % (blocks - size / 512)) * 512;
        if (random() % 2 == 0)
        {
            const auto data = Pattern(size, random());
            ASSERT_EQ(rig.Write(0, data.data(), size, offset).status, STATUS_SUCCESS);
            std::copy(data.begin(), data.end(), reference.begin() + offset);
        }
        else
        {
            std::vector<uint8_t> back(size);
            ASSERT_EQ(rig.Read(0, back.data(), size, offset).status, STATUS_SUCCESS);
            ASSERT_TRUE(std::equal(back.begin(), back.end(), reference.begin() + offset))
                << i << " at " << offset;
        }
    }
    std::vector<uint8_t> medium(bytes);
    rig.Device().ReadMedium(0, 0, medium.data(), bytes);
    EXPECT_EQ(medium, reference);
}

INSTANTIATE_TEST_SUITE_P(Sizes, FilteredStack,
                         ::testing::Combine(::testing::Values(UrbCompletion::Inline, UrbCompletion::Deferred),
                                            ::testing::Values(1024 * kKiB, 256 * kKiB, 64 * kKiB, 4 * kKiB)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) == UrbCompletion::Inline
                                                    ? "Inline"
                                                    : "Deferred") +
                                    std::to_string(std::get<1>(info.param) / kKiB) + "KiB";
                         });

} // namespace
} // namespace winsim::usb
