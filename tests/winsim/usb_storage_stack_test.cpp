// The simulated storage stack without the filter: the mass-storage function driver and the disk class
// driver on a simulated stick move data correctly in every size and place, inline and from the DPC
// thread, cut requests into 64 KiB commands, retry and fail as the real stack does, recover from
// transport errors, and survive the device leaving with requests in flight, leaking nothing.
#include "winsim/usb/mass_storage_driver.h"
#include "tests/support/patterns.h"
#include "winsim/usb/storage_rig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

namespace
{

using namespace kavtest;
using namespace winsim;
using namespace winsim::usb;

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

TEST_P(StorageStack, SeveralThreadsShareTheDeviceOneCommandAtATime)
{
    StorageRig rig(Options(GetParam()));
    constexpr int kThreads = 4;
    constexpr ULONG kSize = 192 * kKiB;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back([&rig, &failures, t] {
            for (int round = 0; round < 3; ++round)
            {
                const ULONGLONG offset = ULONGLONG(t) * (1 << 20) + ULONGLONG(round) * kSize;
                const auto data = Pattern(kSize, uint32_t(t * 10 + round));
                if (rig.Write(0, data.data(), kSize, offset).status != STATUS_SUCCESS)
                {
                    ++failures;
                }
                std::vector<uint8_t> back(kSize);
                if (rig.Read(0, back.data(), kSize, offset).status != STATUS_SUCCESS || back != data)
                {
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads)
    {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    for (const CommandRecord& record : rig.Device().CommandLog())
    {
        EXPECT_TRUE(record.completed && record.status == CswStatus::Passed);
    }
    EXPECT_EQ(rig.Device().HostProtocolErrors(), 0u);
    if (GetParam() == UrbCompletion::Deferred)
    {
        EXPECT_GT(GetMassStorageCounters(rig.FunctionDevice()).maxQueued, 0u);
    }
}

TEST_P(StorageStack, BadRequestsFailBeforeAnythingIsSent)
{
    StorageRig rig(Options(GetParam()));
    rig.Device().ClearCommandLog();
    std::vector<uint8_t> buffer(8 * kKiB);
    const ULONGLONG end = 8ull << 20;
    EXPECT_EQ(rig.Read(0, buffer.data(), 4 * kKiB, 100).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.Read(0, buffer.data(), 1000, 0).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.Write(0, buffer.data(), 4 * kKiB, end - 512).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.Read(0, buffer.data(), 512, end).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.Read(0, buffer.data(), 512, ~0ull - 511).status, STATUS_INVALID_PARAMETER);
    const IoOutcome empty = rig.Read(0, buffer.data(), 0, 0);
    EXPECT_EQ(empty.status, STATUS_SUCCESS);
    EXPECT_EQ(empty.information, 0u);
    EXPECT_TRUE(rig.Device().CommandLog().empty());
    EXPECT_EQ(rig.Read(0, buffer.data(), 512, end - 512).status, STATUS_SUCCESS);
}

TEST_P(StorageStack, LargeBlocksAndASmallerMaximumTransferSize)
{
    StorageRigOptions options = Options(GetParam(), Stick(4ull << 20, 4096));
    options.disk.maxTransferLength = 22 * kKiB; // not a multiple of the block: pieces of 20 KiB
    StorageRig rig(options);
    const auto data = Pattern(100 * kKiB, 7);
    rig.Device().ClearCommandLog();
    ASSERT_EQ(rig.Write(0, data.data(), ULONG(data.size()), 12 * kKiB).status, STATUS_SUCCESS);
    const auto log = rig.Device().CommandLog();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0].lba, 3u);
    EXPECT_EQ(log[0].blocks, 5u);
    EXPECT_EQ(Medium(rig, 12 * kKiB, data.size()), data);
    EXPECT_EQ(rig.Read(0, std::vector<uint8_t>(4096).data(), 2048, 0).status, STATUS_INVALID_PARAMETER);
}

TEST_P(StorageStack, AFailedPieceIsRetriedAfterRequestSense)
{
    StorageRig rig(Options(GetParam()));
    FaultRule rule;
    rule.kind = FaultKind::FailCommand;
    rule.when.opcode = 0x28;
    rig.Device().AddFault(rule);
    rig.Device().ClearCommandLog();
    std::vector<uint8_t> buffer(4 * kKiB);
    const IoOutcome read = rig.Read(0, buffer.data(), ULONG(buffer.size()), 0);
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.information, buffer.size());
    const auto log = rig.Device().CommandLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].status, CswStatus::Failed);
    EXPECT_EQ(log[1].opcode, 0x03); // REQUEST SENSE
    EXPECT_EQ(log[2].opcode, 0x28);
    EXPECT_EQ(GetDiskClassInfo(rig.DiskFdo(0)).retries, 1u);
    EXPECT_EQ(GetMassStorageCounters(rig.FunctionDevice()).requestSenses, 1u);
}

TEST_P(StorageStack, APersistentFaultFailsTheRequestWithTheBytesDoneBeforeIt)
{
    StorageRig rig(Options(GetParam()));
    FaultRule rule;
    rule.kind = FaultKind::FailCommand;
    rule.persistent = true;
    rule.when.firstLba = 200; // inside the second 64 KiB piece
    rule.when.lastLba = 200;
    rig.Device().AddFault(rule);
    rig.Device().ClearCommandLog();
    std::vector<uint8_t> buffer(256 * kKiB);
    const IoOutcome read = rig.Read(0, buffer.data(), ULONG(buffer.size()), 0);
    EXPECT_EQ(read.status, STATUS_DEVICE_DATA_ERROR); // the medium error of the sense data
    EXPECT_EQ(read.information, 64 * kKiB);
    size_t attempts = 0;
    for (const CommandRecord& record : rig.Device().CommandLog())
    {
        attempts += record.opcode == 0x28 && record.lba == 128 ? 1 : 0;
    }
    EXPECT_EQ(attempts, 5u); // the first try and four retries
    EXPECT_EQ(rig.Device().CommandLog().back().opcode, 0x03);

    // A write-protected medium is not retried.
    rig.Device().ClearFaults();
    rig.Device().SetWriteProtected(0, true);
    rig.Device().ClearCommandLog();
    const IoOutcome write = rig.Write(0, buffer.data(), 4 * kKiB, 0);
    EXPECT_EQ(write.status, STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_EQ(write.information, 0u);
    EXPECT_EQ(rig.Device().CommandLog().size(), 2u);
}

// Each transport fault, once: the piece fails, the stack recovers and the retry passes; persistent: the
// error reaches the requester and the device is still usable afterwards.
struct TransportFault
{
    const char* name;
    FaultKind kind;
    uint32_t bytes;
    bool claimFullLength;
    bool needsReset;
    bool persistentFails; // a status stall is cleared within the exchange: it never fails a request
};

class TransportFaults : public ::testing::TestWithParam<std::tuple<UrbCompletion, TransportFault>>
{
protected:
    ScopedKernel kernel_;
};

TEST_P(TransportFaults, AreRecoveredOnceAndReportedWhenTheyPersist)
{
    const auto [completion, fault] = GetParam();
    {
        StorageRig rig(Options(completion));
        const auto data = Pattern(128 * kKiB, 3);
        rig.Device().WriteMedium(0, 0, data.data(), data.size());
        FaultRule rule;
        rule.kind = fault.kind;
        rule.bytes = fault.bytes;
        rule.claimFullLength = fault.claimFullLength;
        rule.when.opcode = 0x28;
        const int id = rig.Device().AddFault(rule);
        std::vector<uint8_t> back(data.size());
        const IoOutcome once = rig.Read(0, back.data(), ULONG(back.size()), 0);
        EXPECT_EQ(once.status, STATUS_SUCCESS) << fault.name;
        EXPECT_EQ(back, data) << fault.name;
        EXPECT_FALSE(rig.Device().RemoveFault(id)); // it fired
        EXPECT_EQ(GetMassStorageCounters(rig.FunctionDevice()).resetRecoveries, fault.needsReset ? 1u : 0u)
            << fault.name;

        rule.persistent = true;
        rig.Device().AddFault(rule);
        const IoOutcome persistent = rig.Read(0, back.data(), ULONG(back.size()), 0);
        EXPECT_EQ(NT_SUCCESS(persistent.status), !fault.persistentFails) << fault.name;
        EXPECT_EQ(persistent.information, fault.persistentFails ? 0u : back.size()) << fault.name;
        rig.Device().ClearFaults();
        std::fill(back.begin(), back.end(), 0);
        EXPECT_EQ(rig.Read(0, back.data(), ULONG(back.size()), 0).status, STATUS_SUCCESS) << fault.name;
        EXPECT_EQ(back, data) << fault.name;
        EXPECT_EQ(rig.Device().HostProtocolErrors(), 0u) << fault.name;
        EXPECT_FALSE(rig.Device().Halted(Pipe::BulkIn));
        EXPECT_FALSE(rig.Device().Halted(Pipe::BulkOut));
    }
    EXPECT_EQ(PoolOutstandingBlocks(), 0u);
    EXPECT_EQ(OutstandingIrps(), 0u);
}

const TransportFault kTransportFaults[] = {
    {"BadCswSignature", FaultKind::BadCswSignature, 0, false, true, true},
    {"BadCswTag", FaultKind::BadCswTag, 0, false, true, true},
    {"StallData", FaultKind::StallData, 0, false, false, true},
    {"StallStatus", FaultKind::StallStatus, 0, false, false, false},
    {"ShortData", FaultKind::ShortData, 1000, false, false, true},
    {"ShortDataClaimingAll", FaultKind::ShortData, 4096, true, false, true},
    {"Choke", FaultKind::Choke, 16 * 1024, false, false, true},
    {"GarbledCsw", FaultKind::GarbledCsw, 0, false, true, true},
    {"ForeignCsw", FaultKind::ForeignCsw, 0, false, true, true},
    {"PaddedDataIn", FaultKind::PaddedDataIn, 1000, false, false, true},
};

INSTANTIATE_TEST_SUITE_P(Kinds, TransportFaults,
                         ::testing::Combine(::testing::Values(UrbCompletion::Inline, UrbCompletion::Deferred),
                                            ::testing::ValuesIn(kTransportFaults)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) == UrbCompletion::Inline
                                                    ? "Inline"
                                                    : "Deferred") +
                                    std::get<1>(info.param).name;
                         });

TEST_P(StorageStack, TheDeviceVanishingMidTransferFailsTheRequest)
{
    {
        StorageRig rig(Options(GetParam()));
        FaultRule rule;
        rule.kind = FaultKind::Vanish;
        rule.bytes = 8 * kKiB;
        rule.when.opcode = 0x2A;
        rig.Device().AddFault(rule);
        std::vector<uint8_t> buffer(128 * kKiB, 0x5A);
        const IoOutcome write = rig.Write(0, buffer.data(), ULONG(buffer.size()), 0);
        EXPECT_EQ(write.status, STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(write.information, 0u);
        EXPECT_EQ(GetDiskClassInfo(rig.DiskFdo(0)).retries, 0u);
        rig.SurpriseRemove();
        EXPECT_EQ(rig.Read(0, buffer.data(), 512, 0).status, STATUS_DEVICE_NOT_CONNECTED);
    }
    EXPECT_EQ(PoolOutstandingBlocks(), 0u);
    EXPECT_EQ(OutstandingIrps(), 0u);
}

TEST_P(StorageStack, SurpriseRemovalWithRequestsInFlightCompletesEveryOneOfThem)
{
    {
        StorageRigOptions options = Options(GetParam());
        options.completionDelay = std::chrono::microseconds(GetParam() == UrbCompletion::Deferred ? 200 : 0);
        StorageRig rig(options);
        std::atomic<int> started{0};
        std::atomic<int> succeeded{0};
        std::atomic<int> failed{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
        {
            threads.emplace_back([&, t] {
                std::vector<uint8_t> buffer(512 * kKiB);
                for (int round = 0; round < 50; ++round)
                {
                    ++started;
                    const IoOutcome outcome =
                        t % 2 == 0 ? rig.Read(0, buffer.data(), ULONG(buffer.size()), ULONGLONG(t) << 20)
                                   : rig.Write(0, buffer.data(), ULONG(buffer.size()), ULONGLONG(t) << 20);
                    if (outcome.status == STATUS_SUCCESS)
                    {
                        ++succeeded;
                    }
                    else
                    {
                        ++failed;
                    }
                }
            });
        }
        while (started.load() < 8)
        {
            std::this_thread::yield();
        }
        rig.SurpriseRemove();
        for (auto& thread : threads)
        {
            thread.join();
        }
        EXPECT_EQ(succeeded.load() + failed.load(), 200);
        EXPECT_GT(failed.load(), 0);
        EXPECT_TRUE(rig.TornDown());
    }
    EXPECT_EQ(PoolOutstandingBlocks(), 0u);
    EXPECT_EQ(OutstandingIrps(), 0u);
    EXPECT_EQ(OpenHandleCount(), 0u);
}

TEST_P(StorageStack, EachUnitIsItsOwnDiskInUnitOrder)
{
    {
        StorageRig rig(Options(GetParam(), Stick(2ull << 20, 512, 3)));
        ASSERT_EQ(rig.LunCount(), 3u);
        for (size_t lun = 0; lun < 3; ++lun)
        {
            const auto data = Pattern(96 * kKiB, uint32_t(100 + lun));
            ASSERT_EQ(rig.Write(lun, data.data(), ULONG(data.size()), 0).status, STATUS_SUCCESS);
        }
        for (size_t lun = 0; lun < 3; ++lun)
        {
            EXPECT_EQ(Medium(rig, 0, 96 * kKiB, uint8_t(lun)), Pattern(96 * kKiB, uint32_t(100 + lun)))
                << lun;
            for (const CommandRecord& record : rig.Device().CommandLog())
            {
                EXPECT_LT(record.lun, 3u);
            }
        }
    }
    EXPECT_EQ(PoolOutstandingBlocks(), 0u);
    EXPECT_EQ(OutstandingIrps(), 0u);
}

// What the PnP manager reads from a unit's PDO, and a restart of the device as Kavset makes one: the
// stacks go and come back over the same medium, with the filter loaded or dropped.
TEST(StorageStackPnp, UnitsIdentifyThemselvesAndARestartKeepsTheData)
{
    ScopedKernel kernel;
    {
        StorageRig rig(Options(UrbCompletion::Inline));
        PDEVICE_OBJECT pdo = rig.DiskPdo(0);
        WCHAR name[16] = {};
        ULONG size = 0;
        ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyEnumeratorName, sizeof name, name, &size),
                  STATUS_SUCCESS);
        EXPECT_EQ(std::u16string(name), u"USBSTOR");
        const IrpResult id = SendPnp(pdo, IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION sp) {
            sp->Parameters.QueryId.IdType = BusQueryDeviceID;
        });
        ASSERT_EQ(id.status, STATUS_SUCCESS);
        auto* text = reinterpret_cast<WCHAR*>(id.information);
        EXPECT_EQ(std::u16string(text), u"USBSTOR\\Disk&Ven_KAVLAB&Prod_Virtual_Disk&Rev_1.00");
        ExFreePool(text);
        EXPECT_NE(rig.DiskFdo(0)->Characteristics & FILE_REMOVABLE_MEDIA, 0u);
        EXPECT_NE(rig.DiskFdo(0)->Flags & DO_DIRECT_IO, 0u);

        const auto data = Pattern(300 * kKiB, 21);
        ASSERT_EQ(rig.Write(0, data.data(), ULONG(data.size()), 4096).status, STATUS_SUCCESS);
        rig.Restart(false);
        EXPECT_FALSE(rig.TornDown());
        std::vector<uint8_t> back(data.size());
        ASSERT_EQ(rig.Read(0, back.data(), ULONG(back.size()), 4096).status, STATUS_SUCCESS);
        EXPECT_EQ(back, data);
    }
    EXPECT_EQ(PoolOutstandingBlocks(), 0u);
    EXPECT_EQ(OutstandingIrps(), 0u);
}

// The PnP manager asks the USB node for its relations again and restarts a disk node while both units
// are busy: every request ends, the units keep their data, and nothing is left behind.
TEST(StorageStackPnp, RequeriesAndDiskRestartsWhileRequestsRun)
{
    ScopedKernel kernel;
    {
        StorageRig rig(Options(UrbCompletion::Deferred, Stick(8ull << 20, 512, 2)));
        std::atomic<bool> stop{false};
        std::atomic<int> failures{0};
        std::vector<std::thread> workers;
        for (uint8_t lun = 0; lun < 2; ++lun)
        {
            workers.emplace_back([&, lun] {
                ScopedApplicationThread application(lun);
                unsigned round = 0;
                while (!stop)
                {
                    const auto data = Pattern(256 * kKiB, 100 * lun + round % 50);
                    const ULONGLONG offset = (round % 8) * 512 * kKiB;
                    std::vector<uint8_t> back(data.size());
                    if (rig.Write(lun, data.data(), ULONG(data.size()), offset).status != STATUS_SUCCESS ||
                        rig.Read(lun, back.data(), ULONG(back.size()), offset).status != STATUS_SUCCESS ||
                        back != data)
                    {
                        ++failures;
                    }
                    ++round;
                }
            });
        }
        for (int i = 0; i < 6; ++i)
        {
            EXPECT_EQ(rig.RequeryBusRelations(), 2u);
            EXPECT_EQ(rig.RestartDisk(size_t(i % 2)), STATUS_SUCCESS);
        }
        stop = true;
        for (std::thread& worker : workers)
        {
            worker.join();
        }
        EXPECT_EQ(failures, 0);
        EXPECT_EQ(GetDiskClassInfo(rig.DiskFdo(0)).blockLength, 512u); // the new disk device started
    }
    EXPECT_EQ(PoolOutstandingBlocks(), 0u);
    EXPECT_EQ(OutstandingIrps(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Completion, StorageStack,
                         ::testing::Values(UrbCompletion::Inline, UrbCompletion::Deferred),
                         [](const auto& info) {
                             return info.param == UrbCompletion::Inline ? "Inline" : "Deferred";
                         });

} // namespace
