// The mass-storage function driver model at its own interfaces: the URBs it puts on the bus for an
// exchange and for each kind of recovery, the request block it hands back after a failed command (sense
// data included), and the bug check for a request block whose data lies outside its MDL.
#include "winsim/usb/mass_storage_driver.h"
#include "winsim/usb/srb.h"
#include "winsim/usb/storage_rig.h"

#include <usbdrivr.h>

#include <gtest/gtest.h>

namespace
{

using namespace winsim;
using namespace winsim::usb;

StorageRigOptions OneStick(UrbCompletion completion)
{
    StorageRigOptions options;
    LunConfig lun;
    lun.image = std::make_shared<MemoryDiskImage>(1 << 20);
    options.device.luns.push_back(lun);
    options.completion = completion;
    return options;
}

// A request block sent straight to a unit's PDO, as the disk class driver sends one.
struct DirectRequest
{
    SCSI_REQUEST_BLOCK srb{};
    UCHAR sense[18] = {};
    std::vector<uint8_t> data;
    IrpResult result;
};

void Send(PDEVICE_OBJECT pdo, DirectRequest& request, const std::vector<uint8_t>& cdb, bool dataIn,
          LONG mdlShortBy = 0)
{
    SCSI_REQUEST_BLOCK& srb = request.srb;
    srb.Length = sizeof srb;
    srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
    srb.CdbLength = UCHAR(cdb.size());
    std::copy(cdb.begin(), cdb.end(), srb.Cdb);
    srb.DataTransferLength = ULONG(request.data.size());
    srb.DataBuffer = request.data.empty() ? nullptr : request.data.data();
    srb.SrbFlags = request.data.empty() ? SRB_FLAGS_NO_DATA_TRANSFER
                   : dataIn             ? SRB_FLAGS_DATA_IN
                                        : SRB_FLAGS_DATA_OUT;
    srb.SenseInfoBuffer = request.sense;
    srb.SenseInfoBufferLength = sizeof request.sense;
    PMDL mdl = nullptr;
    if (!request.data.empty())
    {
        mdl = IoAllocateMdl(request.data.data(), ULONG(LONG(request.data.size()) - mdlShortBy), FALSE, FALSE,
                            nullptr);
        MmProbeAndLockPages(mdl, KernelMode, dataIn ? IoWriteAccess : IoReadAccess);
    }
    IrpRequest irp;
    irp.major = IRP_MJ_SCSI;
    irp.initialStatus = STATUS_SUCCESS;
    irp.mdl = mdl;
    irp.setup = [&srb](PIO_STACK_LOCATION sp) { sp->Parameters.Scsi.Srb = &srb; };
    request.result = SendIrp(pdo, irp);
    if (mdl != nullptr)
    {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
}

std::vector<uint8_t> Read10(uint32_t lba, uint16_t blocks)
{
    return {0x28,         0, uint8_t(lba >> 24),   uint8_t(lba >> 16), uint8_t(lba >> 8),
            uint8_t(lba), 0, uint8_t(blocks >> 8), uint8_t(blocks),    0};
}

struct UrbCounts
{
    size_t bulk, classRequests, pipeResets;
};

UrbCounts Count(StorageRig& rig)
{
    return {rig.Bus().UrbCount(rig.UsbPdo(), URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER),
            rig.Bus().UrbCount(rig.UsbPdo(), URB_FUNCTION_CLASS_INTERFACE),
            rig.Bus().UrbCount(rig.UsbPdo(), URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL)};
}

class MassStorageDriver : public ::testing::TestWithParam<UrbCompletion>
{
protected:
    ScopedKernel kernel_;
};

TEST_P(MassStorageDriver, EachExchangeAndEachRecoveryPutsItsOwnUrbsOnTheBus)
{
    StorageRig rig(OneStick(GetParam()));
    PDEVICE_OBJECT pdo = rig.DiskPdo(0);

    UrbCounts before = Count(rig);
    DirectRequest read;
    read.data.resize(4096);
    Send(pdo, read, Read10(0, 8), true);
    EXPECT_EQ(read.result.status, STATUS_SUCCESS);
    EXPECT_EQ(read.srb.SrbStatus, SRB_STATUS_SUCCESS);
    UrbCounts after = Count(rig);
    EXPECT_EQ(after.bulk - before.bulk, 3u); // command, data, status

    before = after;
    DirectRequest ready;
    Send(pdo, ready, {0x00, 0, 0, 0, 0, 0}, false); // TEST UNIT READY: no data phase
    EXPECT_EQ(ready.srb.SrbStatus, SRB_STATUS_SUCCESS);
    after = Count(rig);
    EXPECT_EQ(after.bulk - before.bulk, 2u);

    // A stalled data phase: the data pipe is cleared and the status read; no reset.
    before = after;
    FaultRule stall;
    stall.kind = FaultKind::StallData;
    rig.Device().AddFault(stall);
    DirectRequest stalled;
    stalled.data.resize(4096);
    Send(pdo, stalled, Read10(0, 8), true);
    after = Count(rig);
    EXPECT_EQ(after.pipeResets - before.pipeResets, 1u);
    EXPECT_EQ(after.classRequests - before.classRequests, 0u);
    EXPECT_EQ(SRB_STATUS(stalled.srb.SrbStatus), SRB_STATUS_ERROR); // the device reported a failure

    // A status wrapper with a foreign tag: reset recovery (class reset, both bulk pipes).
    before = after;
    FaultRule badTag;
    badTag.kind = FaultKind::BadCswTag;
    rig.Device().AddFault(badTag);
    DirectRequest garbled;
    garbled.data.resize(4096);
    Send(pdo, garbled, Read10(0, 8), true);
    after = Count(rig);
    EXPECT_EQ(after.classRequests - before.classRequests, 1u);
    EXPECT_EQ(after.pipeResets - before.pipeResets, 2u);
    EXPECT_EQ(garbled.srb.SrbStatus, SRB_STATUS_BUS_RESET);
    EXPECT_EQ(garbled.srb.DataTransferLength, 0u);
    EXPECT_FALSE(NT_SUCCESS(garbled.result.status));
    EXPECT_EQ(GetMassStorageCounters(rig.FunctionDevice()).resetRecoveries, 1u);
}

TEST_P(MassStorageDriver, AFailedCommandComesBackWithItsSenseData)
{
    StorageRig rig(OneStick(GetParam()));
    FaultRule fail;
    fail.kind = FaultKind::FailCommand;
    fail.sense = sense::kLbaOutOfRange;
    rig.Device().AddFault(fail);
    DirectRequest request;
    request.data.resize(512);
    Send(rig.DiskPdo(0), request, Read10(5, 1), true);
    EXPECT_EQ(request.result.status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(request.srb.SrbStatus, SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID);
    EXPECT_EQ(request.srb.ScsiStatus, SCSISTAT_CHECK_CONDITION);
    EXPECT_EQ(request.sense[2] & 0x0F, scsi::kSenseIllegalRequest);
    EXPECT_EQ(request.sense[12], 0x21);
    EXPECT_EQ(GetMassStorageCounters(rig.FunctionDevice()).requestSenses, 1u);
    EXPECT_EQ(GetMassStorageCounters(rig.FunctionDevice()).resetRecoveries, 0u);
}

TEST_P(MassStorageDriver, ARequestAfterTheDeviceLeftFailsWithNoDevice)
{
    StorageRig rig(OneStick(GetParam()));
    rig.Device().Unplug();
    DirectRequest request;
    request.data.resize(512);
    Send(rig.DiskPdo(0), request, Read10(0, 1), true);
    EXPECT_EQ(request.result.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(request.srb.SrbStatus, SRB_STATUS_NO_DEVICE);
    EXPECT_EQ(GetMassStorageCounters(rig.FunctionDevice()).resetRecoveries, 0u);
}

TEST(MassStorageDriverChecks, DataOutsideTheMdlIsABugCheck)
{
    ScopedKernel kernel;
    StorageRig rig(OneStick(UrbCompletion::Inline));
    BugCheckTrap trap;
    DirectRequest request;
    request.data.resize(1024);
    EXPECT_THROW(Send(rig.DiskPdo(0), request, Read10(0, 2), true, 512), BugCheckError);
    ASSERT_EQ(trap.Recorded().size(), 1u);
    EXPECT_EQ(trap.Recorded()[0].code, ULONG(DRIVER_VERIFIER_DETECTED_VIOLATION));
    EXPECT_TRUE(rig.Device().CommandLog().size() > 0); // start-up commands only: nothing of this one
    EXPECT_EQ(rig.Device().CommandLog().back().opcode, 0x25);
}

INSTANTIATE_TEST_SUITE_P(Completion, MassStorageDriver,
                         ::testing::Values(UrbCompletion::Inline, UrbCompletion::Deferred),
                         [](const auto& info) {
                             return info.param == UrbCompletion::Inline ? "Inline" : "Deferred";
                         });

} // namespace
