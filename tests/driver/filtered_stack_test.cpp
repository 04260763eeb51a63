// The simulated storage stack with Kavfiltr loaded where the PnP manager loads it (lower filter of the USB
// node, upper filter of each disk): data still round-trips for the request sizes applications use,
// sequential and random, inline and from the DPC thread, and nothing leaks once the stack is gone. Every
// device error ends a request with the code it has without the filter (also when it meets the filter's own
// read-ahead or gathered write), and the function driver's time-out gets a hung transfer of the filter's
// back, so that retries, failure and removal work as without it.
#include "driver/kavfiltr_public.h"
#include "winsim/usb/mass_storage_driver.h"
#include "winsim/usb/storage_rig.h"
#include "tests/support/patterns.h"
#include "tests/support/stack_options.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

namespace
{

using namespace kavtest;
using namespace winsim;
using namespace winsim::usb;

constexpr ULONG kFilterTag = KAVFILTR_POOL_TAG;

StorageRigOptions FilteredOptions(UrbCompletion completion, uint64_t bytes = 16ull << 20)
{
    return OneUnitStack(true, completion, bytes);
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
        {
            ASSERT_EQ(rig.Write(0, data.data() + offset, size, offset).status, STATUS_SUCCESS) << offset;
        }
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

// Kavfiltr only gathers the pieces of a large write when the storage stack below it behaves as Windows'
// does (one exchange at a time, the write's own thread or a system thread dispatching the pieces): one
// 1 MiB write then reaches the device as one WRITE(10), where the stack alone sends sixteen.
TEST(FilteredStackCommands, ALargeWriteReachesTheDeviceAsOneCommand)
{
    ScopedKernel kernel;
    for (UrbCompletion completion : {UrbCompletion::Inline, UrbCompletion::Deferred})
    {
        StorageRig rig(FilteredOptions(completion));
        const auto data = Pattern(1 << 20, 11);
        rig.Device().ClearCommandLog();
        ASSERT_EQ(rig.Write(0, data.data(), ULONG(data.size()), 1 << 20).status, STATUS_SUCCESS);
        size_t writes = 0;
        for (const CommandRecord& record : rig.Device().CommandLog())
        {
            writes += record.opcode == 0x2A ? 1 : 0;
        }
        EXPECT_EQ(writes, 1u);
        std::vector<uint8_t> medium(data.size());
        rig.Device().ReadMedium(0, 1 << 20, medium.data(), medium.size());
        EXPECT_EQ(medium, data);
    }
}

TEST(FilteredStackThreads, ApplicationThreadsWritingAtOnceKeepTheirData)
{
    ScopedKernel kernel;
    for (UrbCompletion completion : {UrbCompletion::Inline, UrbCompletion::Deferred})
    {
        {
            StorageRig rig(FilteredOptions(completion));
            std::vector<std::thread> threads;
            for (unsigned t = 0; t < 4; ++t)
            {
                threads.emplace_back([&rig, t] {
                    ScopedApplicationThread identity(t + 1);
                    for (unsigned round = 0; round < 3; ++round)
                    {
                        const ULONG size = round == 1 ? 64 * kKiB : 512 * kKiB;
                        const ULONGLONG offset = ULONGLONG(t) * (2 << 20) + round * (512 * kKiB);
                        const auto data = Pattern(size, t * 16 + round);
                        EXPECT_EQ(rig.Write(0, data.data(), size, offset).status, STATUS_SUCCESS);
                        std::vector<uint8_t> back(size);
                        EXPECT_EQ(rig.Read(0, back.data(), size, offset).status, STATUS_SUCCESS);
                        EXPECT_EQ(back, data) << t << "/" << round;
                    }
                });
            }
            for (auto& thread : threads)
            {
                thread.join();
            }
            for (unsigned t = 0; t < 4; ++t)
            {
                for (unsigned round = 0; round < 3; ++round)
                {
                    const ULONG size = round == 1 ? 64 * kKiB : 512 * kKiB;
                    std::vector<uint8_t> medium(size);
                    rig.Device().ReadMedium(0, ULONGLONG(t) * (2 << 20) + round * (512 * kKiB), medium.data(),
                                            size);
                    EXPECT_EQ(medium, Pattern(size, t * 16 + round)) << t << "/" << round;
                }
            }
        }
        EXPECT_EQ(PoolOutstandingBlocks(), 0u);
        EXPECT_EQ(RunningSystemThreads(), 0u);
    }
}

TEST(FilteredStackRemoval, SurpriseRemovalMidTransferLeavesNothingBehind)
{
    ScopedKernel kernel;
    for (UrbCompletion completion : {UrbCompletion::Inline, UrbCompletion::Deferred})
    {
        {
            StorageRigOptions options = FilteredOptions(completion);
            options.completionDelay =
                std::chrono::microseconds(completion == UrbCompletion::Deferred ? 100 : 0);
            StorageRig rig(options);
            std::atomic<int> done{0};
            std::vector<std::thread> threads;
            for (unsigned t = 0; t < 3; ++t)
            {
                threads.emplace_back([&rig, &done, t] {
                    std::vector<uint8_t> buffer(1 << 20, uint8_t(t));
                    for (int round = 0; round < 20; ++round)
                    {
                        if (t == 0)
                        {
                            rig.Read(0, buffer.data(), ULONG(buffer.size()), 0);
                        }
                        else
                        {
                            rig.Write(0, buffer.data(), ULONG(buffer.size()), ULONGLONG(t) << 21);
                        }
                        ++done;
                    }
                });
            }
            while (done.load() < 2)
            {
                std::this_thread::yield();
            }
            rig.SurpriseRemove();
            for (auto& thread : threads)
            {
                thread.join();
            }
            EXPECT_EQ(done.load(), 60);
        }
        EXPECT_EQ(PoolStats(kFilterTag).outstandingBlocks, 0u);
        EXPECT_EQ(PoolOutstandingBlocks(), 0u);
        EXPECT_EQ(OutstandingIrps(), 0u);
        EXPECT_EQ(RunningSystemThreads(), 0u);
        EXPECT_EQ(OpenHandleCount(), 0u);
    }
}

// kavlab compares a filtered and an unfiltered stick in one run: two rigs live side by side.
TEST(FilteredStackRigs, AFilteredAndAnUnfilteredStickWorkSideBySide)
{
    ScopedKernel kernel;
    {
        StorageRig filtered(FilteredOptions(UrbCompletion::Deferred));
        StorageRigOptions plainOptions = FilteredOptions(UrbCompletion::Inline);
        plainOptions.filtered = false;
        StorageRig plain(plainOptions);
        EXPECT_FALSE(plain.Filtered());
        const auto data = Pattern(1 << 20, 5);
        ASSERT_EQ(filtered.Write(0, data.data(), ULONG(data.size()), 0).status, STATUS_SUCCESS);
        ASSERT_EQ(plain.Write(0, data.data(), ULONG(data.size()), 0).status, STATUS_SUCCESS);
        size_t plainWrites = 0;
        for (const CommandRecord& record : plain.Device().CommandLog())
        {
            plainWrites += record.opcode == 0x2A ? 1 : 0;
        }
        EXPECT_EQ(plainWrites, 16u);
        std::vector<uint8_t> back(data.size());
        ASSERT_EQ(filtered.Read(0, back.data(), ULONG(back.size()), 0).status, STATUS_SUCCESS);
        EXPECT_EQ(back, data);
        plain.Teardown();
        ASSERT_EQ(filtered.Read(0, back.data(), ULONG(back.size()), 0).status, STATUS_SUCCESS);
    }
    EXPECT_EQ(PoolOutstandingBlocks(), 0u);
    EXPECT_EQ(RunningSystemThreads(), 0u);
}

// Enabling and disabling the speed-up restarts the device: the filter comes and goes, the data stays.
TEST(FilteredStackRigs, RestartingWithAndWithoutTheFilterKeepsTheData)
{
    ScopedKernel kernel;
    {
        StorageRigOptions options = FilteredOptions(UrbCompletion::Deferred);
        options.filtered = false;
        StorageRig rig(options);
        const auto data = Pattern(1 << 20, 9);
        ASSERT_EQ(rig.Write(0, data.data(), ULONG(data.size()), 0).status, STATUS_SUCCESS);
        rig.Restart(true);
        ASSERT_TRUE(rig.Filtered());
        std::vector<uint8_t> back(data.size());
        ASSERT_EQ(rig.Read(0, back.data(), ULONG(back.size()), 0).status, STATUS_SUCCESS);
        EXPECT_EQ(back, data);
        const auto more = Pattern(1 << 20, 10);
        ASSERT_EQ(rig.Write(0, more.data(), ULONG(more.size()), 2 << 20).status, STATUS_SUCCESS);
        rig.Restart(false);
        EXPECT_FALSE(rig.Filtered());
        ASSERT_EQ(rig.Read(0, back.data(), ULONG(back.size()), 2 << 20).status, STATUS_SUCCESS);
        EXPECT_EQ(back, more);
    }
    EXPECT_EQ(PoolOutstandingBlocks(), 0u);
    EXPECT_EQ(RunningSystemThreads(), 0u);
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

// A re-scan for hardware changes asks the USB node for its bus relations while reads and writes run: the
// filter's copy of the children is replaced under the feet of the URB path, which must never read the old
// one after it is freed (the sanitizer builds see any such read), and the speed-up keeps working.
TEST(FilteredStackRescan, BusRelationsQueriedDuringIoLeaveDataAndSpeedUpIntact)
{
    ScopedKernel kernel;
    {
        StorageRig rig(FilteredOptions(UrbCompletion::Deferred));
        std::atomic<bool> done{false};
        std::atomic<int> requeries{0};
        std::thread rescan([&] {
            while (!done)
            {
                const IrpResult result =
                    SendPnp(rig.UsbTop(), IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION sp) {
                        sp->Parameters.QueryDeviceRelations.Type = BusRelations;
                    });
                if (NT_SUCCESS(result.status) && result.information != 0)
                {
                    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(result.information);
                    for (ULONG i = 0; i < relations->Count; ++i)
                    {
                        ObDereferenceObject(relations->Objects[i]);
                    }
                    ExFreePool(relations);
                    ++requeries;
                }
            }
        });
        const ULONG size = 1 << 20;
        for (uint32_t round = 0; round < 8 || requeries < 20; ++round)
        {
            const auto data = PatternAt(uint64_t(round % 8) * size, size, round);
            ASSERT_EQ(rig.Write(0, data.data(), size, uint64_t(round % 8) * size).status, STATUS_SUCCESS);
            std::vector<uint8_t> back(size);
            ASSERT_EQ(rig.Read(0, back.data(), size, uint64_t(round % 8) * size).status, STATUS_SUCCESS);
            ASSERT_EQ(back, data) << "round " << round;
        }
        done = true;
        rescan.join();
        rig.Device().ClearCommandLog();
        std::vector<uint8_t> back(size);
        ASSERT_EQ(rig.Read(0, back.data(), size, 0).status, STATUS_SUCCESS);
        // One read-ahead, or two halves while the reader of the loop above still counts as going.
        EXPECT_LE(rig.Device().CommandLog().size(), 2u) << "the read-ahead still knows the unit's disk";
        rig.Teardown();
    }
    EXPECT_EQ(PoolStats(kFilterTag).outstandingBlocks, 0u);
}

class FilteredDeviceErrors : public ::testing::TestWithParam<UrbCompletion>
{
protected:
    ScopedKernel kernel_;
};

// 1 MiB requests: the filter reads them ahead and gathers them into one command, so the device's error
// meets the filter's own command, not the function driver's.
struct Outcomes
{
    std::vector<NTSTATUS> codes;
    uint64_t mediaChanges = 0;
    bool mediumKept = false;
};

Outcomes MeetEachError(UrbCompletion completion, bool filtered)
{
    StorageRigOptions options = FilteredOptions(completion);
    options.filtered = filtered;
    StorageRig rig(options);
    Outcomes outcomes;
    const auto data = Pattern(kMiB, 3);
    const auto other = Pattern(kMiB, 4);
    std::vector<uint8_t> back(kMiB);
    outcomes.codes.push_back(rig.Write(0, data.data(), ULONG(kMiB), 0).status);

    rig.Device().SetWriteProtected(0, true);
    outcomes.codes.push_back(rig.Write(0, other.data(), ULONG(kMiB), 0).status);
    rig.Device().SetWriteProtected(0, false);

    rig.Device().SetMediumPresent(0, false);
    outcomes.codes.push_back(rig.Read(0, back.data(), ULONG(kMiB), 2 * kMiB).status);
    outcomes.codes.push_back(rig.Write(0, other.data(), ULONG(kMiB), 2 * kMiB).status);
    rig.Device().SetMediumPresent(0, true); // a medium change, met by the next read

    outcomes.codes.push_back(rig.Read(0, back.data(), ULONG(kMiB), 0).status);
    outcomes.mediaChanges = GetDiskClassInfo(rig.DiskFdo(0)).mediaChanges;
    outcomes.mediumKept = back == data;

    for (const bool write : {false, true})
    {
        FaultRule rule;
        rule.persistent = true;
        rule.sense = write ? sense::kWriteError : sense::kUnrecoveredReadError;
        rule.when.opcode = write ? 0x2A : 0x28;
        const int fault = rig.Device().AddFault(rule);
        outcomes.codes.push_back(write ? rig.Write(0, other.data(), ULONG(kMiB), 4 * kMiB).status
                                       : rig.Read(0, back.data(), ULONG(kMiB), 4 * kMiB).status);
        rig.Device().RemoveFault(fault);
    }
    return outcomes;
}

TEST_P(FilteredDeviceErrors, EveryErrorEndsTheRequestWithTheCodeItHasWithoutTheFilter)
{
    const Outcomes plain = MeetEachError(GetParam(), false);
    const Outcomes filtered = MeetEachError(GetParam(), true);
    const std::vector<NTSTATUS> expected = {
        STATUS_SUCCESS, STATUS_MEDIA_WRITE_PROTECTED, STATUS_NO_MEDIA_IN_DEVICE, STATUS_NO_MEDIA_IN_DEVICE,
        STATUS_SUCCESS, STATUS_DEVICE_DATA_ERROR,     STATUS_DEVICE_DATA_ERROR};
    EXPECT_EQ(plain.codes, expected);
    EXPECT_EQ(filtered.codes, expected);
    EXPECT_EQ(plain.mediaChanges, 1u);
    EXPECT_EQ(filtered.mediaChanges, 1u)
        << "the medium change met by a read-ahead must reach the class driver";
    EXPECT_TRUE(filtered.mediumKept) << "a refused write must leave the medium as it was";
}

// The filter's own read-ahead meets a device that stops answering: the function driver's time-out cancels
// the transfer the filter holds for it, recovers the device and the class driver's retry gets the data; a
// device that never answers fails the request as timed out; removal while it hangs leaves nothing behind.
TEST_P(FilteredDeviceErrors, AHungReadAheadIsCancelledByTheFunctionDriversTimeOut)
{
    {
        StorageRigOptions options = FilteredOptions(GetParam());
        options.massStorage.commandTimeoutMs = 250;
        StorageRig rig(options);
        const auto data = Pattern(kMiB, 8);
        rig.Device().WriteMedium(0, 0, data.data(), data.size());
        FaultRule rule;
        rule.kind = FaultKind::Hang;
        rule.when.opcode = 0x28;
        rig.Device().AddFault(rule);
        std::vector<uint8_t> back(kMiB);
        const IoOutcome read = rig.Read(0, back.data(), ULONG(kMiB), 0, std::chrono::seconds(10));
        EXPECT_EQ(read.status, STATUS_SUCCESS);
        EXPECT_EQ(back, data);
        EXPECT_GE(GetMassStorageCounters(rig.FunctionDevice()).timeouts, 1u);
        EXPECT_EQ(rig.Bus().ParkedTransfers(rig.UsbPdo()), 0u);

        rule.persistent = true;
        rig.Device().AddFault(rule);
        EXPECT_EQ(rig.Read(0, back.data(), ULONG(kMiB), 2 * kMiB, std::chrono::seconds(20)).status,
                  STATUS_IO_TIMEOUT);

        std::thread reader([&] { rig.Read(0, back.data(), ULONG(kMiB), 0, std::chrono::seconds(10)); });
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        rig.SurpriseRemove();
        reader.join();
    }
    EXPECT_EQ(PoolStats(kFilterTag).outstandingBlocks, 0u);
    EXPECT_EQ(OutstandingIrps(), 0u);
    EXPECT_EQ(RunningSystemThreads(), 0u);
    EXPECT_EQ(OpenHandleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Completion, FilteredDeviceErrors,
                         ::testing::Values(UrbCompletion::Inline, UrbCompletion::Deferred),
                         [](const ::testing::TestParamInfo<UrbCompletion>& info) {
                             return info.param == UrbCompletion::Inline ? "Inline" : "Deferred";
                         });

} // namespace
