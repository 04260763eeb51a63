// winsim: a model of Windows' USB mass-storage function driver (the "USBSTOR" bus driver for the logical
// units of a Bulk-Only device), written as a real driver against the simulated kernel: DriverEntry,
// AddDevice, dispatch and completion routines. Its functional device object sits on the USB device's
// stack (above any lower filter); at start it reads the device and configuration descriptors, selects the
// configuration, asks Get Max LUN, runs INQUIRY and READ CAPACITY(10) for every unit and creates one child
// PDO per unit (enumerator "USBSTOR"), which it reports as bus relations in unit order. A child takes
// SCSI request blocks (IRP_MJ_SCSI, see srb.h) and the driver runs them one at a time per device, each as
// a command wrapper URB, an optional data URB (by MDL) and a status wrapper URB, every URB sent from the
// completion of the one before.
//
// What it checks, as the real driver must: every status wrapper is 13 bytes with the right signature and
// tag and a residue not above the expected length; a failed command is followed by REQUEST SENSE; a
// transfer error, a stalled status read that stays stalled, an invalid status wrapper or a phase error
// leads to reset recovery (Bulk-Only Mass Storage Reset, then reset and clear-stall of both bulk pipes)
// and fails that request block. Every command has a time-out (the request block's TimeOutValue, or the
// driver's option): when it passes, a watchdog thread cancels the URB in flight (IoCancelIrp), and once
// that URB is back (as cancelled or not) the driver resets the port, runs reset recovery and fails the
// request block with SRB_STATUS_TIMEOUT. Misuse by the driver above (a request block without an MDL for its
// data, a DataBuffer outside the MDL) is a bug check, DRIVER_VERIFIER_DETECTED_VIOLATION.
#pragma once

#include <ntddk.h>

#include <cstdint>

namespace winsim::usb
{

// The driver's entry routine, for winsim::LoadDriver.
NTSTATUS MassStorageDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

struct MassStorageOptions
{
    // The time-out of every command in milliseconds; 0: the request block's TimeOutValue in seconds (10 s
    // for the driver's own commands), as the real driver keeps it.
    uint32_t commandTimeoutMs = 0;
};

// Options for the devices that `driver` adds from now on.
void SetMassStorageOptions(PDRIVER_OBJECT driver, const MassStorageOptions& options);

// What the driver has done on one device (its functional device object), for tests and kavlab.
struct MassStorageCounters
{
    uint64_t commands = 0;      // request blocks executed as Bulk-Only exchanges (internal ones included)
    uint64_t requestSenses = 0; // REQUEST SENSE exchanges after a failed command
    uint64_t resetRecoveries = 0;
    uint64_t failedRequests = 0; // request blocks completed with an error status
    uint64_t maxQueued = 0;      // most request blocks waiting behind the running one
    uint64_t timeouts = 0;       // commands whose time-out passed: their URB was cancelled
    uint64_t cancelledUrbs = 0;  // URBs that came back STATUS_CANCELLED
    uint64_t portResets = 0;
};

// The counters of the functional device object `fdo` (a device of this driver on a USB node).
MassStorageCounters GetMassStorageCounters(PDEVICE_OBJECT fdo);

} // namespace winsim::usb
