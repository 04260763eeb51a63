// winsim: what the files of the disk class driver model (see disk_class_driver.h) share: the device
// extension of a disk functional device object, and the routines one file calls in the other. The driver's
// entry, PnP and start are in disk_class_driver.cpp; reads and writes, cut into pieces that may be in
// flight several at once, in disk_class_transfer.cpp; the polling of a removable medium with TEST UNIT READY
// in disk_class_media_poll.cpp. Users of the driver include disk_class_driver.h.
#pragma once

#include "winsim/usb/disk_class_driver.h"

#include "winsim/usb/srb.h"

#include "winsim/kernel/winsim_kernel.h"

namespace winsim::usb::disk
{

constexpr ULONG kPoolTag = PoolTag("UDsk");
constexpr ULONG kDiskKind = 0x4B534944; // "DISK"
constexpr ULONG kSenseLength = scsi::kFixedSenseLength;
constexpr ULONG_PTR kTransferMisuse = 0x2201;
constexpr ULONG_PTR kPollMisuse = 0x2202;
constexpr ULONG kMaxOutstanding = 8;

struct DiskExtension
{
    ULONG kind;
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT pdo;
    PDEVICE_OBJECT lower;
    IO_REMOVE_LOCK removeLock;
    ULONG maxTransfer; // as configured
    ULONG maxPiece;    // maxTransfer rounded down to whole blocks, at least one block
    ULONG retries;
    ULONG maxOutstanding;
    ULONG retryAfterPieces;
    bool volumeMounted;
    ULONG blockLength;    // 0 until READ CAPACITY(10) answered
    ULONGLONG blockCount; // blocks on the medium
    LONG gone;            // surprise removal or removal seen: new requests fail
    LONGLONG pieces;
    LONGLONG retried;
    LONGLONG mediaChanges;
    LONGLONG mostInFlight;
    // Media-change polling. `started` is set while the device is started (PnP only writes it; a poll reads
    // it); the poll thread runs while started and removable with an interval, until `pollStop` is set.
    ULONGLONG pollInterval; // 100 ns units; 0: no polling
    LONG started;
    KEVENT pollStop;
    KEVENT pollEnded; // set by the thread as its last step
    PVOID pollThread; // referenced thread object, null when no thread runs
    LONGLONG polls;
};

// ---- disk_class_transfer.cpp ------------------------------------------------------------------------------

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
NTSTATUS InterpretFailure(DiskExtension* disk, const SCSI_REQUEST_BLOCK& srb, NTSTATUS portStatus,
                          bool* retry);
// A read or write: checked, cut into pieces, sent; completed when every piece passed or one failed for good.
NTSTATUS ReadWrite(DiskExtension* disk, PIRP irp, bool write);

// ---- disk_class_media_poll.cpp ----------------------------------------------------------------------------

// One TEST UNIT READY to the PDO, waited for at PASSIVE_LEVEL; the status its result means to the class.
NTSTATUS PollMedium(DiskExtension* disk);
// The poll thread of a started removable device with an interval; both are called by PnP only.
void StartMediaPolling(DiskExtension* disk);
void StopMediaPolling(DiskExtension* disk);

} // namespace winsim::usb::disk
