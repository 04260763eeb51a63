// The filtered storage stack under the conditions Windows creates: several requests in flight from several
// threads (two readers, the copy engine's two outstanding 1 MiB requests), a re-scan for hardware changes
// whose copy of the children cannot be allocated, device errors met by the filter's own commands while
// another request waits, and request sizes that are not a multiple of the pieces. The stack without the
// filter is the oracle: data, status codes, retries and device traffic must be what it gives, or better by
// the speed-up alone.
#include "driver/kavfiltr_public.h"
#include "winsim/usb/storage_rig.h"
#include "tests/support/patterns.h"
#include "tests/support/stack_options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace
{

using namespace kavtest;
using namespace winsim;
using namespace winsim::usb;

StorageRigOptions StackOptions(bool filtered, UrbCompletion completion, uint64_t bytes = 32ull << 20)
{
    return OneUnitStack(filtered, completion, bytes);
}

// What the device moved for READ(10) and how many READ(10) commands it took, since the log was cleared.
struct ReadTraffic
{
    uint64_t bytes = 0;
    uint64_t commands = 0;
};

ReadTraffic DeviceReads(BulkOnlyDevice& device)
{
    ReadTraffic traffic;
    for (const CommandRecord& record : device.CommandLog())
    {
        if (record.opcode == 0x28)
        {
            traffic.bytes += uint64_t(record.blocks) * kBlock;
            ++traffic.commands;
        }
    }
    return traffic;
}

// A 1 MiB write whose gathered data meets one transient write error, while the re-scan that happens
// before the class driver's retry cannot allocate the filter's copy of the children: the write must still
// end with every byte on the medium, as it does without the filter.
TEST(ConcurrentStack, AWriteWhoseDiskCannotBeLookedUpKeepsItsGatheredData)
{
    ScopedKernel kernel;
    for (const bool filtered : {false, true})
    {
        StorageRig rig(StackOptions(filtered, UrbCompletion::Inline));
        const auto data = PatternAt(2 * kMiB, kMiB, 21);
        FaultRule rule;
        rule.sense = sense::kWriteError;
        rule.when.opcode = 0x2A;
        rig.Device().AddFault(rule);
        // The function driver fetches the sense of the failed command before the class driver retries:
        // the re-scan comes in between, and the filter's allocation for it fails.
        std::atomic<bool> rescanned{false};
        rig.Device().SetTransferHook([&](Pipe pipe, uint32_t length) {
            if (pipe == Pipe::BulkIn && length == scsi::kFixedSenseLength && !rescanned.exchange(true))
            {
                SetPoolFailureTag(KAVFILTR_POOL_TAG);
                FailAllocationAt(1);
                rig.RequeryBusRelations();
                FailAllocationAt(0);
                SetPoolFailureTag(0);
            }
        });
        EXPECT_EQ(rig.Write(0, data.data(), kMiB, 2 * kMiB).status, STATUS_SUCCESS) << filtered;
        rig.Device().SetTransferHook(nullptr);
        EXPECT_TRUE(rescanned) << filtered;
        std::vector<uint8_t> medium(kMiB);
        rig.Device().ReadMedium(0, 2 * kMiB, medium.data(), kMiB);
        EXPECT_EQ(medium, data) << (filtered ? "with" : "without") << " the filter";
        rig.RequeryBusRelations();
    }
}

// One thread writes 1 MiB again and again to a unit that refuses it (a locked card, a block that cannot be
// written) while another reads 64 KiB far away: the reads get the device's answer to themselves, never the
// write's error, and need no retry.
TEST(ConcurrentStack, AWritesErrorNeverReachesAnUnrelatedRead)
{
    ScopedKernel kernel;
    for (const bool locked : {true, false})
    {
        for (const bool filtered : {false, true})
        {
            StorageRig rig(StackOptions(filtered, UrbCompletion::Deferred));
            const auto far = PatternAt(16 * kMiB, 64 * kKiB, 5);
            rig.Device().WriteMedium(0, 16 * kMiB, far.data(), far.size());
            if (locked)
            {
                rig.Device().SetWriteProtected(0, true);
            }
            else
            {
                FaultRule rule;
                rule.persistent = true;
                rule.sense = sense::kWriteError;
                rule.when.opcode = 0x2A;
                rule.when.firstLba = 1000;
                rule.when.lastLba = 1000;
                rig.Device().AddFault(rule);
            }
            std::atomic<bool> done{false};
            std::thread writer([&] {
                ScopedApplicationThread identity(1);
                const auto data = Pattern(kMiB, 6);
                while (!done)
                {
                    EXPECT_NE(rig.Write(0, data.data(), kMiB, 0).status, STATUS_SUCCESS);
                }
            });
            int failedReads = 0;
            {
                ScopedApplicationThread identity(2);
                for (int i = 0; i < 20; ++i)
                {
                    std::vector<uint8_t> back(64 * kKiB);
                    const IoOutcome read = rig.Read(0, back.data(), 64 * kKiB, 16 * kMiB);
                    failedReads += read.status != STATUS_SUCCESS || back != far ? 1 : 0;
                }
            }
            done = true;
            writer.join();
            EXPECT_EQ(failedReads, 0) << (filtered ? "with" : "without") << " the filter, locked " << locked;
        }
    }
}

// Sequential 64 KiB reads over a block that cannot be read: only the request that asks for it fails, and
// no other request needs a retry, although the filter's read-ahead meets the bad block first.
TEST(ConcurrentStack, AReadAheadPastABadBlockFailsOnlyTheRequestThatAsksForIt)
{
    ScopedKernel kernel;
    const uint64_t bad = 3 * kMiB / 2;
    std::vector<NTSTATUS> expected;
    uint64_t expectedRetries = 0;
    uint64_t expectedCommands = 0;
    for (const bool filtered : {false, true})
    {
        StorageRig rig(StackOptions(filtered, UrbCompletion::Inline));
        FaultRule rule;
        rule.persistent = true;
        rule.when.opcode = 0x28;
        rule.when.firstLba = uint32_t(bad / kBlock);
        rule.when.lastLba = uint32_t(bad / kBlock);
        rig.Device().AddFault(rule);
        std::vector<NTSTATUS> codes;
        for (uint64_t offset = 0; offset < 2 * kMiB; offset += 64 * kKiB)
        {
            std::vector<uint8_t> back(64 * kKiB);
            const NTSTATUS status = rig.Read(0, back.data(), 64 * kKiB, offset).status;
            codes.push_back(status);
            EXPECT_EQ(status == STATUS_SUCCESS, offset + 64 * kKiB <= bad || offset > bad) << offset;
        }
        const uint64_t retries = GetDiskClassInfo(rig.DiskFdo(0)).retries;
        const uint64_t commands = DeviceReads(rig.Device()).commands;
        if (!filtered)
        {
            expected = codes;
            expectedRetries = retries;
            expectedCommands = commands;
            continue;
        }
        EXPECT_EQ(codes, expected);
        EXPECT_EQ(retries, expectedRetries) << "requests that never asked for the bad block were retried";
        EXPECT_LE(commands, expectedCommands) << "the bad block is read ahead into again and again";
    }
}

// Two readers of 1 MiB requests on distant ranges, and the copy engine's two outstanding 1 MiB reads of
// one file: every byte read is right, and the filter reads from the device hardly more than it is asked.
TEST(ConcurrentStack, TwoReadersKeepTheirReadAheadWithoutReadingMoreThanAsked)
{
    ScopedKernel kernel;
    const uint64_t perReader = 6 * kMiB;
    for (const bool copyEngine : {false, true})
    {
        for (const bool filtered : {false, true})
        {
            StorageRig rig(StackOptions(filtered, UrbCompletion::Deferred));
            const auto medium = PatternAt(0, 32 * kMiB, 9);
            rig.Device().WriteMedium(0, 0, medium.data(), medium.size());
            rig.Device().ClearCommandLog();
            std::atomic<uint64_t> nextChunk{0};
            std::atomic<int> wrong{0};
            std::vector<std::thread> readers;
            for (unsigned r = 0; r < 2; ++r)
            {
                readers.emplace_back([&, r] {
                    ScopedApplicationThread identity(r + 1);
                    std::vector<uint8_t> back(kMiB);
                    for (uint64_t i = 0; i < perReader / kMiB; ++i)
                    {
                        const uint64_t offset =
                            copyEngine ? 4 * kMiB + nextChunk++ * kMiB : (r == 0 ? 0 : 20 * kMiB) + i * kMiB;
                        const IoOutcome read = rig.Read(0, back.data(), kMiB, offset);
                        if (read.status != STATUS_SUCCESS ||
                            !std::equal(back.begin(), back.end(), medium.begin() + long(offset)))
                        {
                            ++wrong;
                        }
                    }
                });
            }
            for (auto& reader : readers)
            {
                reader.join();
            }
            EXPECT_EQ(wrong, 0);
            const ReadTraffic traffic = DeviceReads(rig.Device());
            const double perMiB = double(traffic.bytes) / double(2 * perReader);
            EXPECT_LE(perMiB, 1.1) << (copyEngine ? "copy engine" : "two readers") << ", "
                                   << (filtered ? "with" : "without") << " the filter";
            if (filtered)
            {
                EXPECT_LE(traffic.commands, 2 * perReader / kMiB * 3) << "the read-ahead must still gather";
            }
        }
    }
}

// A sequential reader earns its read-ahead whatever its request size, also when the requests end in a
// piece shorter than the others.
TEST(ConcurrentStack, SequentialReadsOfAnySizeAreReadAhead)
{
    ScopedKernel kernel;
    StorageRig rig(StackOptions(true, UrbCompletion::Inline, 64ull << 20));
    // Long enough for the read-ahead's first windows, which grow from 128 KiB, to count for little.
    const uint64_t total = 32 * kMiB;
    for (const uint32_t request : {64 * kKiB, 80 * kKiB, 96 * kKiB, 112 * kKiB, 160 * kKiB, 200 * kKiB,
                                   272 * kKiB, 528 * kKiB, kMiB - 16 * kKiB, kMiB})
    {
        rig.Device().ClearCommandLog();
        std::vector<uint8_t> back(request);
        const uint64_t base = 16 * kMiB;
        for (uint64_t done = 0; done + request <= total; done += request)
        {
            ASSERT_EQ(rig.Read(0, back.data(), request, base + done).status, STATUS_SUCCESS);
        }
        const double commandsPerMiB = double(DeviceReads(rig.Device()).commands) / double(total / kMiB);
        EXPECT_LE(commandsPerMiB, 1.2) << request / kKiB << " KiB requests";
    }
}

} // namespace

// A card swapped in a reader while the filter holds the old card's data: the class driver's poll meets the
// change, and from then on no read gets the old card's data, with the filter as without it.
TEST(ConcurrentStack, AfterACardSwapThePollEndsTheOldCardsCachedData)
{
    ScopedKernel kernel;
    uint64_t expectedChanges = 0;
    for (const bool filtered : {false, true})
    {
        StorageRig rig(StackOptions(filtered, UrbCompletion::Deferred));
        const auto oldCard = PatternAt(0, 2 * kMiB, 31);
        const auto newCard = PatternAt(0, 2 * kMiB, 32);
        rig.Device().WriteMedium(0, 0, oldCard.data(), oldCard.size());
        std::vector<uint8_t> back(64 * kKiB);
        for (uint64_t offset = 0; offset < 256 * kKiB; offset += 64 * kKiB)
        {
            ASSERT_EQ(rig.Read(0, back.data(), 64 * kKiB, offset).status, STATUS_SUCCESS);
        }
        rig.Device().SetMediumPresent(0, false);
        EXPECT_EQ(PollMediumNow(rig.DiskFdo(0)), STATUS_NO_MEDIA_IN_DEVICE);
        rig.Device().WriteMedium(0, 0, newCard.data(), newCard.size());
        rig.Device().SetMediumPresent(0, true);
        PollMediumNow(rig.DiskFdo(0));
        for (uint64_t offset = 256 * kKiB; offset < 512 * kKiB; offset += 64 * kKiB)
        {
            ASSERT_EQ(rig.Read(0, back.data(), 64 * kKiB, offset).status, STATUS_SUCCESS);
            EXPECT_TRUE(std::equal(back.begin(), back.end(), newCard.begin() + long(offset)))
                << "the old card's data at " << offset << (filtered ? " with" : " without") << " the filter";
        }
        const uint64_t changes = GetDiskClassInfo(rig.DiskFdo(0)).mediaChanges;
        if (!filtered)
        {
            expectedChanges = changes;
            EXPECT_EQ(changes, 1u);
            continue;
        }
        EXPECT_EQ(changes, expectedChanges);
    }
}

// A write to a block that cannot be written, while the class driver polls the medium: every attempt of the
// write meets the device's error, which its request ends with, as without the filter.
TEST(ConcurrentStack, AWriteThatKeepsFailingEndsWithTheDevicesErrorWhileThePollGoesOn)
{
    ScopedKernel kernel;
    for (const uint32_t blockLength : {512u, 2048u})
    {
        for (const ULONG length : {256 * kKiB, kMiB})
        {
            std::vector<NTSTATUS> expected;
            for (const bool filtered : {false, true})
            {
                StorageRigOptions options = StackOptions(filtered, UrbCompletion::Deferred);
                options.device.luns[0].blockLength = blockLength;
                options.device.luns[0].removable = true;
                options.disk.mediaPollInterval = std::chrono::milliseconds(1);
                // Windows keeps several pieces of a request in flight and retries a failed one later.
                options.disk.maxOutstanding = 3;
                options.disk.retryAfterPieces = 2;
                StorageRig rig(options);
                FaultRule rule;
                rule.persistent = true;
                rule.sense = sense::kWriteError;
                rule.when.opcode = 0x2A;
                rule.when.firstLba = uint32_t(4 * kMiB / blockLength + 3);
                rule.when.lastLba = *rule.when.firstLba;
                rig.Device().AddFault(rule);
                const auto data = Pattern(length, 7);
                std::vector<NTSTATUS> codes;
                for (int round = 0; round < 6; ++round)
                {
                    codes.push_back(rig.Write(0, data.data(), length, 4 * kMiB).status);
                }
                if (!filtered)
                {
                    expected = codes;
                    continue;
                }
                EXPECT_EQ(codes, expected) << blockLength << "-byte blocks, " << length / kKiB << " KiB";
            }
        }
    }
}

// With the filter's pool exhausted, reads it would have answered from its cache or read ahead for go down as
// they came: data and error codes are what the stack without the filter gives.
TEST(ConcurrentStack, WithoutPoolReadsGoDownAsTheyCame)
{
    ScopedKernel kernel;
    std::vector<NTSTATUS> expected;
    for (const bool filtered : {false, true})
    {
        StorageRig rig(StackOptions(filtered, UrbCompletion::Deferred));
        const auto medium = PatternAt(0, 4 * kMiB, 41);
        rig.Device().WriteMedium(0, 0, medium.data(), medium.size());
        FaultRule rule;
        rule.persistent = true;
        rule.when.opcode = 0x28;
        rule.when.firstLba = uint32_t(3 * kMiB / kBlock);
        rule.when.lastLba = *rule.when.firstLba;
        rig.Device().AddFault(rule);
        std::vector<uint8_t> back(kMiB);
        ASSERT_EQ(rig.Read(0, back.data(), 64 * kKiB, 0).status, STATUS_SUCCESS); // the unit's context
        SetPoolFailureTag(KAVFILTR_POOL_TAG);
        FailEveryNthAllocation(1);
        std::vector<NTSTATUS> codes;
        for (uint64_t offset = 0; offset < 4 * kMiB; offset += kMiB)
        {
            codes.push_back(rig.Read(0, back.data(), kMiB, offset).status);
            if (codes.back() == STATUS_SUCCESS)
            {
                EXPECT_TRUE(std::equal(back.begin(), back.end(), medium.begin() + long(offset))) << offset;
            }
        }
        FailEveryNthAllocation(0);
        SetPoolFailureTag(0);
        if (!filtered)
        {
            expected = codes;
            continue;
        }
        EXPECT_EQ(codes, expected);
    }
}

// A piece of a write that the device loses (it hangs, or answers with another command's status wrapper) is
// sent again by the stack: the write reports success only with every byte on the medium.
TEST(ConcurrentStack, AWritesLostPieceIsWrittenBeforeTheWriteSucceeds)
{
    ScopedKernel kernel;
    for (const FaultKind kind : {FaultKind::Hang, FaultKind::ForeignCsw, FaultKind::GarbledCsw})
    {
        for (const ULONG length : {100 * kKiB, 128 * kKiB, kMiB})
        {
            for (const bool filtered : {false, true})
            {
                StorageRigOptions options = StackOptions(filtered, UrbCompletion::Deferred);
                options.disk.maxOutstanding = 3;
                options.disk.retryAfterPieces = 2;
                options.massStorage.commandTimeoutMs = 100;
                StorageRig rig(options);
                FaultRule rule;
                rule.kind = kind;
                rule.when.opcode = 0x2A;
                rig.Device().AddFault(rule);
                const auto data = PatternAt(6 * kMiB, length, 50);
                const IoOutcome write = rig.Write(0, data.data(), length, 6 * kMiB);
                std::vector<uint8_t> medium(length);
                rig.Device().ReadMedium(0, 6 * kMiB, medium.data(), length);
                if (write.status == STATUS_SUCCESS)
                {
                    EXPECT_EQ(medium, data) << int(kind) << ", " << length / kKiB << " KiB, "
                                            << (filtered ? "with" : "without") << " the filter";
                }
            }
        }
    }
}
