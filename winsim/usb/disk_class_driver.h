// winsim: a model of Windows' disk class driver, written as a real driver against the simulated kernel.
// Its functional device object sits above a mass-storage child PDO (and below any upper filter). At start
// it learns the unit's capacity with READ CAPACITY(10); it takes IRP_MJ_READ and IRP_MJ_WRITE (direct I/O:
// the buffer comes as the IRP's MDL), checks block alignment and range, cuts each request into pieces of at
// most the maximum transfer size, sends them one after another as READ(10)/WRITE(10) request blocks to the
// PDO, retries a failed piece and completes the request when every piece passed, or with the error when a
// piece's retries are used up (Information = bytes done before the first piece that failed). Like
// Windows' class driver it may keep several pieces of one request in flight and send a failed piece again
// only after later pieces (options; by default one piece at a time and a retry at once). Errors become the
// NTSTATUS the class driver's sense interpretation gives (ClassStatusForSense); a medium change is counted
// and, with a mounted volume, sets DO_VERIFY_VOLUME and fails the request with STATUS_VERIFY_REQUIRED.
// Several requests may be in flight at once from different threads. Each request block carries a
// time-out (TimeOutValue, 10 s) that the port driver below enforces, as on Windows; a piece that timed out
// (STATUS_IO_TIMEOUT) is retried like any other.
//
// Like Windows' class driver (which does so about once a second) it may poll a removable medium: while the
// device is started, a TEST UNIT READY goes to the PDO once per interval from a system thread, and its
// answer is read as a request's sense is, so a medium change is counted and, with a mounted volume, sets
// DO_VERIFY_VOLUME without waiting for the next read. Off by default, so that the commands a test or a
// benchmark counts are only those of its requests.
//
// What it checks: PollMediumNow above PASSIVE_LEVEL; a read or write with a length or offset that is not a
// multiple of the block length, or beyond the end of the medium, fails with STATUS_INVALID_PARAMETER before
// anything is sent; a transfer with data but without an MDL is a bug check (the I/O manager always builds one
// for direct I/O).
#pragma once

#include "winsim/usb/scsi_defs.h"

#include <ntddk.h>

#include <chrono>

namespace winsim::usb
{

struct DiskClassOptions
{
    ULONG maxTransferLength = 64 * 1024; // bytes per READ(10)/WRITE(10); a multiple of the block length
    ULONG retries = 4;                   // further attempts of a failed piece
    ULONG maxOutstanding = 1;            // pieces of one request in flight at once, 1 to 8
    ULONG retryAfterPieces = 0;          // a failed piece goes again once this many later pieces went
    bool volumeMounted = false;          // a medium change then needs the volume verified
    // A removable medium is polled with TEST UNIT READY this often (simulated clock); 0: never.
    std::chrono::milliseconds mediaPollInterval{0};
};

// The status a request ends with when the device reports this sense, and whether the piece is retried.
NTSTATUS ClassStatusForSense(const SenseData& sense, bool volumeMounted, bool* retry);

// An entry routine for winsim::LoadDriver that loads the driver with these options.
NTSTATUS DiskClassDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
void SetDiskClassOptions(PDRIVER_OBJECT driver, const DiskClassOptions& options);

// What one disk functional device object knows and did.
struct DiskClassInfo
{
    ULONG blockLength = 0;
    ULONGLONG blockCount = 0;
    ULONGLONG pieces = 0;       // request blocks sent for reads and writes, retries included
    ULONGLONG retries = 0;      // of those, repeated pieces
    ULONGLONG mediaChanges = 0; // UNIT ATTENTION (medium changed) seen
    ULONGLONG mostInFlight = 0; // most pieces of one request in flight at once
    ULONGLONG polls = 0;        // TEST UNIT READY polls sent (by interval and by PollMediumNow)
    bool verifyVolume = false;  // DO_VERIFY_VOLUME is set
};

DiskClassInfo GetDiskClassInfo(PDEVICE_OBJECT diskFdo);

// Sends one media-change poll (TEST UNIT READY) to the unit now and waits for it, from the calling thread
// at PASSIVE_LEVEL, whether or not the device is polled by interval. Its answer is handled as a timed
// poll's is; returns the status the class driver derives from it: STATUS_SUCCESS for a ready unit, the
// status ClassStatusForSense gives for its sense otherwise (a medium change without a mounted volume is
// STATUS_IO_DEVICE_ERROR, with one STATUS_VERIFY_REQUIRED), STATUS_INVALID_DEVICE_STATE while the device is
// not started and STATUS_DEVICE_NOT_CONNECTED once it is leaving.
NTSTATUS PollMediumNow(PDEVICE_OBJECT diskFdo);

} // namespace winsim::usb
