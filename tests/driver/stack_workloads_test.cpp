// Kavfiltr in the whole simulated storage stack, inline and with URBs completed later on the DPC thread:
// where the speed-up cannot help, the device sees exactly the commands it sees without the filter; where
// it can, one command per MiB; a card reader's units map to their disks in bus-relations order; device
// errors reach the requester through the filter.
#include "driver/kavfiltr.h"

#include "winsim/usb/disk_image.h"
#include "winsim/usb/storage_rig.h"

#include "winsim/kernel/winsim_kernel.h"

#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <utility>
#include <vector>

namespace
{
namespace wu = winsim::usb;
using CommandList = std::vector<std::tuple<int, int, uint32_t, uint32_t>>;

enum class Shape
{
    Sequential,
    Random,
    Stride,      // one request's length skipped between requests
    Interleaved, // two sequential readers, from the start and from 4 MiB, taking turns
    SmallGaps,   // a 4 KiB read at the unit's end after every seven requests
};

struct Workload
{
    const char* name;
    bool write;
    ULONG request;
    Shape shape;
};

// Offset and length of request number `i`, all inside the first 8 MiB, which hold the seeded data.
std::pair<ULONGLONG, ULONG> Place(const Workload& workload, ULONG i, std::mt19937& random)
{
    const ULONG request = workload.request;
    switch (workload.shape)
    {
    case Shape::Random:
        return {ULONGLONG(random() % ((8u << 20) / request)) * request, request};
    case Shape::Stride:
        return {ULONGLONG(i) * 2 * request, request};
    case Shape::Interleaved:
        return {(i % 2) * (4ull << 20) + ULONGLONG(i / 2) * request, request};
    case Shape::SmallGaps:
        if (i % 8 == 7)
        {
            return {(8ull << 20) - 4096 * (1 + i / 8), 4096};
        }
        return {ULONGLONG(i - i / 8) * request, request};
    default:
        return {ULONGLONG(i) * request, request};
    }
}

// Runs the workload on a fresh stick and returns the device's commands; every read is checked against
// what the medium holds, every write against the medium afterwards.
CommandList RunWorkload(const Workload& workload, bool filtered, wu::UrbCompletion completion)
{
    winsim::ResetKernel();
    wu::StorageRigOptions options;
    wu::LunConfig lun;
    lun.image = std::make_shared<wu::MemoryDiskImage>(32 << 20);
    options.device.luns.push_back(lun);
    options.completion = completion;
    options.filtered = filtered;
    options.filterService = KAVFILTR_SERVICE_NAME;
    options.filterEntry = DriverEntry;
    CommandList commands;
    {
        wu::StorageRig rig(options);
        std::vector<uint8_t> seedData(8 << 20);
        std::mt19937 random(7);
        for (auto& byte : seedData)
        {
            byte = uint8_t(random());
        }
        rig.Device().WriteMedium(0, 0, seedData.data(), seedData.size());
        rig.Device().ClearCommandLog();
        const ULONG requests = (4u << 20) / workload.request;
        for (ULONG i = 0; i < requests; ++i)
        {
            auto [offset, length] = Place(workload, i, random);
            std::vector<uint8_t> buffer(length);
            if (workload.write)
            {
                for (auto& byte : buffer)
                {
                    byte = uint8_t(random());
                }
                EXPECT_EQ(rig.Write(0, buffer.data(), length, offset).status, STATUS_SUCCESS);
                std::vector<uint8_t> medium(length);
                rig.Device().ReadMedium(0, offset, medium.data(), medium.size());
                EXPECT_TRUE(medium == buffer) << "write at " << offset;
            }
            else
            {
                EXPECT_EQ(rig.Read(0, buffer.data(), length, offset).status, STATUS_SUCCESS);
                EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), seedData.begin() + long(offset)))
                    << "read at " << offset;
            }
        }
        for (const wu::CommandRecord& record : rig.Device().CommandLog())
        {
            commands.emplace_back(record.opcode, record.lun, record.lba, record.blocks);
        }
    }
    EXPECT_EQ(winsim::PoolStats(KAVFILTR_POOL_TAG).outstandingBlocks, 0u);
    winsim::ResetKernel();
    return commands;
}

class StackWorkloads : public ::testing::TestWithParam<wu::UrbCompletion>
{
};

TEST_P(StackWorkloads, WhereTheFilterCannotHelpTheDeviceSeesTheSameCommands)
{
    const Workload workloads[] = {
        {"seqwrite64k", true, 65536, Shape::Sequential},
        {"random4k", false, 4096, Shape::Random},
        {"random4k writes", true, 4096, Shape::Random},
        {"stride", false, 65536, Shape::Stride},
    };
    for (const Workload& workload : workloads)
    {
        SCOPED_TRACE(workload.name);
        CommandList plain = RunWorkload(workload, false, GetParam());
        CommandList filtered = RunWorkload(workload, true, GetParam());
        EXPECT_FALSE(plain.empty());
        EXPECT_EQ(filtered, plain);
    }
}

TEST_P(StackWorkloads, LargeSequentialRequestsCostOneCommandPerMebibyte)
{
    for (bool write : {false, true})
    {
        SCOPED_TRACE(write ? "seqwrite" : "seqread");
        Workload workload{"", write, 1 << 20, Shape::Sequential};
        EXPECT_EQ(RunWorkload(workload, false, GetParam()).size(), 64u);
        CommandList filtered = RunWorkload(workload, true, GetParam());
        ASSERT_EQ(filtered.size(), 4u);
        for (size_t i = 0; i < filtered.size(); ++i)
        {
            EXPECT_EQ(filtered[i], std::make_tuple(write ? 0x2A : 0x28, 0, uint32_t(i * 2048), 2048u));
        }
    }
}

// A reader whose requests continue one another is read ahead in a window that doubles from 128 KiB to the
// whole buffer, whatever the size of its requests; two readers taking turns, or a reader with small reads
// elsewhere in between, keep their read-ahead, and every byte read is the medium's.
TEST_P(StackWorkloads, SequentialReadersOfAnySizeEarnAGrowingReadAhead)
{
    CommandList commands = RunWorkload({"seqread64k", false, 65536, Shape::Sequential}, true, GetParam());
    const CommandList opening = {{0x28, 0, 0, 128},    {0x28, 0, 128, 256},   {0x28, 0, 384, 512},
                                 {0x28, 0, 896, 1024}, {0x28, 0, 1920, 2048}, {0x28, 0, 3968, 2048}};
    ASSERT_GE(commands.size(), opening.size());
    EXPECT_EQ(CommandList(commands.begin(), commands.begin() + long(opening.size())), opening);

    commands = RunWorkload({"seqread 256K", false, 262144, Shape::Sequential}, true, GetParam());
    const CommandList large = {{0x28, 0, 0, 512}, {0x28, 0, 512, 1024}, {0x28, 0, 1536, 2048}};
    ASSERT_GE(commands.size(), large.size());
    EXPECT_EQ(CommandList(commands.begin(), commands.begin() + long(large.size())), large);

    for (Shape shape : {Shape::Interleaved, Shape::SmallGaps})
    {
        Workload workload{shape == Shape::Interleaved ? "interleaved" : "smallgaps", false, 65536, shape};
        SCOPED_TRACE(workload.name);
        size_t plain = RunWorkload(workload, false, GetParam()).size();
        size_t filtered = RunWorkload(workload, true, GetParam()).size();
        EXPECT_LT(filtered * 4, plain);
    }
}

INSTANTIATE_TEST_SUITE_P(Completion, StackWorkloads,
                         ::testing::Values(wu::UrbCompletion::Inline, wu::UrbCompletion::Deferred));

TEST(StackUnits, EachUnitFindsItsOwnDiskInBusRelationsOrder)
{
    winsim::ScopedKernel kernel;
    wu::StorageRigOptions options;
    for (uint32_t blockLength : {512u, 2048u})
    {
        wu::LunConfig lun;
        lun.image = std::make_shared<wu::MemoryDiskImage>(16 << 20);
        lun.blockLength = blockLength;
        options.device.luns.push_back(lun);
    }
    options.filtered = true;
    options.filterService = KAVFILTR_SERVICE_NAME;
    options.filterEntry = DriverEntry;
    wu::StorageRig rig(options);
    ASSERT_EQ(rig.LunCount(), 2u);
    auto* usb = static_cast<UsbFilterExtension*>(rig.UsbPdo()->AttachedDevice->DeviceExtension);
    for (UCHAR unit = 0; unit < 2; ++unit)
    {
        DiskFilterExtension* disk = FindDiskFilterForLun(usb, unit);
        ASSERT_NE(disk, nullptr);
        EXPECT_EQ(disk->head.physicalDevice, rig.DiskPdo(unit));
        EXPECT_EQ(disk->head.selfDevice, rig.DiskTop(unit));
        ReleaseDiskFilter(disk);
    }
    EXPECT_EQ(FindDiskFilterForLun(usb, 2), nullptr);

    // Each unit is read ahead in its own block length, from its own medium.
    std::vector<uint8_t> data(1 << 20);
    EXPECT_EQ(rig.Read(1, data.data(), ULONG(data.size()), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(rig.Device().CommandLog().back().blocks, (1u << 20) / 2048);
    EXPECT_EQ(GetLunContext(usb, 1)->blockLength, 2048u);
}

TEST(StackErrors, APersistentDeviceErrorReachesTheRequesterThroughTheFilter)
{
    winsim::ScopedKernel kernel;
    wu::StorageRigOptions options;
    wu::LunConfig lun;
    lun.image = std::make_shared<wu::MemoryDiskImage>(16 << 20);
    options.device.luns.push_back(lun);
    options.completion = wu::UrbCompletion::Deferred;
    options.filtered = true;
    options.filterService = KAVFILTR_SERVICE_NAME;
    options.filterEntry = DriverEntry;
    wu::StorageRig rig(options);
    std::vector<uint8_t> data(1 << 20, 0x5A);
    for (bool write : {false, true})
    {
        wu::FaultRule rule;
        rule.kind = wu::FaultKind::FailCommand;
        rule.persistent = true;
        rule.when.opcode = write ? 0x2A : 0x28;
        rule.when.firstLba = 700;
        rule.when.lastLba = 700;
        int id = rig.Device().AddFault(rule);
        wu::IoOutcome outcome = write ? rig.Write(0, data.data(), ULONG(data.size()), 0)
                                      : rig.Read(0, data.data(), ULONG(data.size()), 0);
        EXPECT_FALSE(NT_SUCCESS(outcome.status)) << (write ? "write" : "read");
        rig.Device().RemoveFault(id);
        // The stick works again once the fault is gone.
        outcome = write ? rig.Write(0, data.data(), ULONG(data.size()), 0)
                        : rig.Read(0, data.data(), ULONG(data.size()), 0);
        EXPECT_EQ(outcome.status, STATUS_SUCCESS);
    }
    rig.Teardown();
    EXPECT_EQ(winsim::PoolStats(KAVFILTR_POOL_TAG).outstandingBlocks, 0u);
}
} // namespace
