// Kavfiltr in the whole stack meets the errors a real stick reports and a stick that stops answering: every
// request ends with the code it ends with when the filter is not there (also when the error meets the
// filter's own read-ahead or its gathered write), a changed medium still reaches the class driver, and the
// function driver's time-out gets a hung transfer of the filter's back, so that retries, failure and removal
// work as without it.
#include "driver/kavfiltr_public.h"
#include "winsim/usb/mass_storage_driver.h"
#include "winsim/usb/storage_rig.h"
#include "tests/support/patterns.h"

#include <gtest/gtest.h>

#include <thread>

namespace
{

using namespace kavtest;
using namespace winsim;
using namespace winsim::usb;

StorageRigOptions Options(UrbCompletion completion, bool filtered)
{
    StorageRigOptions options;
    LunConfig lun;
    lun.image = std::make_shared<MemoryDiskImage>(8 * kMiB);
    options.device.luns.push_back(lun);
    options.completion = completion;
    options.completionDelay = std::chrono::microseconds(completion == UrbCompletion::Deferred ? 10 : 0);
    options.filtered = filtered;
    options.filterService = KAVFILTR_SERVICE_NAME;
    options.filterEntry = DriverEntry;
    return options;
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
    StorageRig rig(Options(completion, filtered));
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
        StorageRigOptions options = Options(GetParam(), true);
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
    EXPECT_EQ(PoolStats(KAVFILTR_POOL_TAG).outstandingBlocks, 0u);
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
