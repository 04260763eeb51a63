// The unfiltered storage stack meets the errors a real stick or card reader reports: each ends the
// request with the NTSTATUS Windows' disk class driver gives for it, a changed medium reaches the class
// driver, a write the device only partly carried out is sent again, and the disk class keeps several
// pieces of a request in flight and sends a failed piece again after later ones. These are the answers a
// filter in the stack must leave unchanged.
#include "tests/support/pass_filter.h"
#include "tests/support/patterns.h"
#include "winsim/usb/mass_storage_driver.h"
#include "winsim/usb/storage_rig.h"

#include <usbdrivr.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace
{

using namespace kavtest;
using namespace winsim;
using namespace winsim::usb;

StorageRigOptions Options(UrbCompletion completion, DiskClassOptions disk = {})
{
    StorageRigOptions options;
    LunConfig lun;
    lun.image = std::make_shared<MemoryDiskImage>(8 * kMiB);
    options.device.luns.push_back(lun);
    options.completion = completion;
    options.completionDelay = std::chrono::microseconds(completion == UrbCompletion::Deferred ? 20 : 0);
    options.disk = disk;
    return options;
}

std::vector<uint8_t> Medium(StorageRig& rig, uint64_t offset, size_t length)
{
    std::vector<uint8_t> bytes(length);
    rig.Device().ReadMedium(0, offset, bytes.data(), length);
    return bytes;
}

class DeviceErrors : public ::testing::TestWithParam<UrbCompletion>
{
protected:
    ScopedKernel kernel_;
};

// The sense of each error the model has, read as the class driver reads it.
TEST(ClassSense, StatusAndRetryOfEachSense)
{
    struct Case
    {
        SenseData sense;
        bool mounted;
        NTSTATUS status;
        bool retry;
    };
    const Case cases[] = {
        {sense::kMediumNotPresent, false, STATUS_NO_MEDIA_IN_DEVICE, false},
        {sense::kNotReadyBecoming, false, STATUS_DEVICE_NOT_READY, true},
        {sense::kWriteProtected, false, STATUS_MEDIA_WRITE_PROTECTED, false},
        {sense::kUnrecoveredReadError, false, STATUS_DEVICE_DATA_ERROR, true},
        {sense::kWriteError, false, STATUS_DEVICE_DATA_ERROR, true},
        {sense::kLbaOutOfRange, false, STATUS_NONEXISTENT_SECTOR, false},
        {sense::kInvalidOpcode, false, STATUS_INVALID_DEVICE_REQUEST, false},
        {sense::kMediumChanged, false, STATUS_IO_DEVICE_ERROR, true},
        {sense::kMediumChanged, true, STATUS_VERIFY_REQUIRED, false},
        {sense::kPowerOnReset, true, STATUS_IO_DEVICE_ERROR, true},
        {sense::kAbortedCommand, false, STATUS_IO_DEVICE_ERROR, true},
    };
    for (const Case& c : cases)
    {
        bool retry = !c.retry;
        EXPECT_EQ(ClassStatusForSense(c.sense, c.mounted, &retry), c.status)
            << int(c.sense.key) << "/" << int(c.sense.asc);
        EXPECT_EQ(retry, c.retry) << int(c.sense.key) << "/" << int(c.sense.asc);
    }
}

// No medium and write protection end the request at once with their own status; the unit keeps serving
// what it still can.
TEST_P(DeviceErrors, NoMediumAndWriteProtectionAreFinalAndKeepTheirMeaning)
{
    StorageRig rig(Options(GetParam()));
    const auto data = Pattern(256 * kKiB, 5);
    ASSERT_EQ(rig.Write(0, data.data(), ULONG(data.size()), 0).status, STATUS_SUCCESS);
    rig.Device().SetWriteProtected(0, true);
    const auto other = Pattern(256 * kKiB, 6);
    EXPECT_EQ(rig.Write(0, other.data(), ULONG(other.size()), 0).status, STATUS_MEDIA_WRITE_PROTECTED);
    std::vector<uint8_t> back(data.size());
    EXPECT_EQ(rig.Read(0, back.data(), ULONG(back.size()), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(back, data);

    rig.Device().SetMediumPresent(0, false);
    EXPECT_EQ(rig.Read(0, back.data(), ULONG(back.size()), 0).status, STATUS_NO_MEDIA_IN_DEVICE);
    EXPECT_EQ(rig.Write(0, data.data(), 4096, 0).status, STATUS_NO_MEDIA_IN_DEVICE);
    EXPECT_EQ(GetDiskClassInfo(rig.DiskFdo(0)).retries, 0u);
}

// The class driver learns of every medium change: without a mounted volume it sends the command again,
// with one it fails the request with STATUS_VERIFY_REQUIRED and marks the device for verification.
TEST_P(DeviceErrors, AMediumChangeReachesTheClassDriver)
{
    for (const bool mounted : {false, true})
    {
        DiskClassOptions disk;
        disk.volumeMounted = mounted;
        StorageRig rig(Options(GetParam(), disk));
        std::vector<uint8_t> back(128 * kKiB);
        rig.Device().SetMediumPresent(0, false);
        rig.Device().SetMediumPresent(0, true);
        const IoOutcome read = rig.Read(0, back.data(), ULONG(back.size()), 0);
        const DiskClassInfo info = GetDiskClassInfo(rig.DiskFdo(0));
        EXPECT_EQ(info.mediaChanges, 1u);
        EXPECT_EQ(info.verifyVolume, mounted);
        EXPECT_EQ(read.status, mounted ? STATUS_VERIFY_REQUIRED : STATUS_SUCCESS);
        EXPECT_EQ(read.information, mounted ? 0u : back.size());
        EXPECT_FALSE(rig.Device().UnitAttentionPending(0));
        rig.Device().ChangeMedium(0);
        rig.Read(0, back.data(), ULONG(back.size()), 0);
        EXPECT_EQ(GetDiskClassInfo(rig.DiskFdo(0)).mediaChanges, 2u);
    }
}

// A write the device took in full but carried out only in part (a residue in a passed status wrapper)
// is not done: the piece goes again and the medium ends up right.
TEST_P(DeviceErrors, AWriteReportedWithAResidueIsSentAgain)
{
    StorageRig rig(Options(GetParam()));
    FaultRule rule;
    rule.kind = FaultKind::PartialWrite;
    rule.bytes = 4096;
    rig.Device().AddFault(rule);
    const auto data = Pattern(128 * kKiB, 9);
    const IoOutcome write = rig.Write(0, data.data(), ULONG(data.size()), 64 * kKiB);
    EXPECT_EQ(write.status, STATUS_SUCCESS);
    EXPECT_EQ(Medium(rig, 64 * kKiB, data.size()), data);
    EXPECT_EQ(GetDiskClassInfo(rig.DiskFdo(0)).retries, 1u);

    rule.persistent = true;
    rig.Device().AddFault(rule);
    const IoOutcome failed = rig.Write(0, data.data(), ULONG(data.size()), 0);
    EXPECT_EQ(failed.status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(failed.information, 0u);
}

// Several pieces of one request are in flight at once, the function driver queues them, and the data
// still lands where it belongs.
TEST_P(DeviceErrors, SeveralPiecesOfOneRequestInFlight)
{
    DiskClassOptions disk;
    disk.maxOutstanding = 3;
    StorageRig rig(Options(GetParam(), disk));
    const auto data = Pattern(1 * kMiB, 11);
    ASSERT_EQ(rig.Write(0, data.data(), ULONG(data.size()), 512).status, STATUS_SUCCESS);
    EXPECT_EQ(Medium(rig, 512, data.size()), data);
    std::vector<uint8_t> back(data.size());
    ASSERT_EQ(rig.Read(0, back.data(), ULONG(back.size()), 512).status, STATUS_SUCCESS);
    EXPECT_EQ(back, data);
    const DiskClassInfo info = GetDiskClassInfo(rig.DiskFdo(0));
    EXPECT_EQ(info.pieces, 32u);
    EXPECT_EQ(info.mostInFlight, 3u);
    if (GetParam() == UrbCompletion::Deferred)
    {
        EXPECT_GE(GetMassStorageCounters(rig.FunctionDevice()).maxQueued, 2u);
    }
}

// A failed piece goes again only after later pieces, as the Windows class driver's delayed retry does;
// when it fails for good the request reports it, with the bytes before it, after the later pieces ended.
TEST_P(DeviceErrors, AFailedPieceIsRetriedAfterLaterPieces)
{
    DiskClassOptions disk;
    disk.maxOutstanding = 2;
    disk.retryAfterPieces = 2;
    StorageRig rig(Options(GetParam(), disk));
    FaultRule rule;
    rule.kind = FaultKind::FailCommand;
    rule.when.opcode = 0x2A;
    rule.when.firstLba = 128; // the second 64 KiB piece
    rule.when.lastLba = 128;
    rig.Device().AddFault(rule);
    rig.Device().ClearCommandLog();
    const auto data = Pattern(256 * kKiB, 13);
    ASSERT_EQ(rig.Write(0, data.data(), ULONG(data.size()), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Medium(rig, 0, data.size()), data);
    std::vector<uint32_t> writes;
    for (const CommandRecord& record : rig.Device().CommandLog())
    {
        if (record.opcode == 0x2A)
        {
            writes.push_back(record.lba);
        }
    }
    EXPECT_EQ(writes, (std::vector<uint32_t>{0, 128, 256, 384, 128}));

    rule.persistent = true;
    rig.Device().AddFault(rule);
    const IoOutcome failed = rig.Write(0, data.data(), ULONG(data.size()), 0);
    EXPECT_EQ(failed.status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(failed.information, 64 * kKiB);
}

// A device that stops answering: the function driver's time-out cancels the waiting URB, resets the port
// and the device, and the class driver sends the piece again; a device that never answers fails the
// request as timed out, and the stack still comes down.
TEST_P(DeviceErrors, AHungCommandTimesOutAndIsRecovered)
{
    StorageRigOptions options = Options(GetParam());
    // Long enough that no answered command times out on a loaded machine: the counts below are exact.
    options.massStorage.commandTimeoutMs = 250;
    StorageRig rig(options);
    const auto data = Pattern(192 * kKiB, 17);
    rig.Device().WriteMedium(0, 0, data.data(), data.size());
    FaultRule rule;
    rule.kind = FaultKind::Hang;
    rule.when.opcode = 0x28;
    rig.Device().AddFault(rule);
    std::vector<uint8_t> back(data.size());
    const IoOutcome read = rig.Read(0, back.data(), ULONG(back.size()), 0, std::chrono::seconds(5));
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(back, data);
    MassStorageCounters counters = GetMassStorageCounters(rig.FunctionDevice());
    EXPECT_EQ(counters.timeouts, 1u);
    EXPECT_EQ(counters.cancelledUrbs, 1u);
    EXPECT_EQ(counters.portResets, 1u);
    EXPECT_EQ(counters.resetRecoveries, 1u);
    EXPECT_EQ(rig.Bus().ParkedTransfers(rig.UsbPdo()), 0u);

    rule.persistent = true;
    rig.Device().AddFault(rule);
    const IoOutcome failed = rig.Read(0, back.data(), ULONG(back.size()), 0, std::chrono::seconds(5));
    EXPECT_EQ(failed.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(GetMassStorageCounters(rig.FunctionDevice()).timeouts, 6u); // the first try and four retries

    // Hung again when the device leaves: removal ends the waiting transfer and nothing stays behind.
    std::vector<uint8_t> more(64 * kKiB);
    std::thread reader([&] { rig.Read(0, more.data(), ULONG(more.size()), 0, std::chrono::seconds(5)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    rig.SurpriseRemove();
    reader.join();
}

// A lower filter that takes the next data transfer over and keeps it, with a cancel routine that
// completes it as cancelled: what the function driver must cope with when a filter holds its URB.
std::atomic<bool> g_holdNextData{false};
std::atomic<int> g_held{0};

VOID CompleteTakenOver(PIRP irp)
{
    auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    urb->UrbHeader.Status = USBD_STATUS_CANCELED;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID CancelTakenOver(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    CompleteTakenOver(irp);
}

NTSTATUS HoldingDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
        sp->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB)
    {
        auto* urb = static_cast<PURB>(sp->Parameters.Others.Argument1);
        if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
            urb->UrbBulkOrInterruptTransfer.TransferBufferMDL != nullptr && g_holdNextData.exchange(false))
        {
            ++g_held;
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, CancelTakenOver);
            // The flag is set under the cancel spin lock: read it there, as a driver must.
            KIRQL cancelIrql;
            IoAcquireCancelSpinLock(&cancelIrql);
            const BOOLEAN cancelled = irp->Cancel;
            IoReleaseCancelSpinLock(cancelIrql);
            if (cancelled && IoSetCancelRoutine(irp, nullptr) != nullptr)
            {
                CompleteTakenOver(irp);
            }
            return STATUS_PENDING;
        }
    }
    return PassFilterDispatch(device, irp);
}

NTSTATUS HoldingFilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto& routine : driver->MajorFunction)
    {
        routine = HoldingDispatch;
    }
    driver->DriverExtension->AddDevice = PassFilterAddDevice;
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
}

// The filter below holds a data transfer: the time-out cancels it through the filter's cancel routine,
// the URB comes back cancelled, and the recovery and the retry go on as after a hang of the device.
TEST_P(DeviceErrors, AUrbHeldByALowerFilterIsCancelledAtTheTimeOut)
{
    ResetKnobs();
    StorageRigOptions options = Options(GetParam());
    options.massStorage.commandTimeoutMs = 40;
    options.filtered = true;
    options.filterService = u"HoldFilter";
    options.filterEntry = HoldingFilterEntry;
    g_held = 0;
    StorageRig rig(options);
    const auto data = Pattern(128 * kKiB, 19);
    g_holdNextData = true;
    const IoOutcome write = rig.Write(0, data.data(), ULONG(data.size()), 8 * kKiB, std::chrono::seconds(5));
    EXPECT_EQ(write.status, STATUS_SUCCESS);
    EXPECT_EQ(Medium(rig, 8 * kKiB, data.size()), data);
    EXPECT_EQ(g_held, 1);
    const MassStorageCounters counters = GetMassStorageCounters(rig.FunctionDevice());
    EXPECT_EQ(counters.timeouts, 1u);
    EXPECT_EQ(counters.cancelledUrbs, 1u);
    EXPECT_EQ(counters.portResets, 1u);
    EXPECT_EQ(GetDiskClassInfo(rig.DiskFdo(0)).retries, 1u);
}

INSTANTIATE_TEST_SUITE_P(Completion, DeviceErrors,
                         ::testing::Values(UrbCompletion::Inline, UrbCompletion::Deferred),
                         [](const auto& info) {
                             return std::string(info.param == UrbCompletion::Inline ? "Inline" : "Deferred");
                         });

} // namespace
