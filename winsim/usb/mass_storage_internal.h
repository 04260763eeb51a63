// winsim: what the files of the mass-storage function driver model (see mass_storage_driver.h) share. One
// driver object owns two kinds of devices: the functional device object (FDO) on the USB device's stack,
// which runs the Bulk-Only exchanges (mass_storage_exchange.cpp) and starts and removes the device
// (mass_storage_fdo.cpp), and one child PDO per logical unit, which takes the disk class driver's request
// blocks and queues them at the FDO (mass_storage_pdo.cpp). Here: their device extensions, the request a
// child queues, the steps of an exchange, and the routines one file calls in another. Users of the driver
// include mass_storage_driver.h, never this header.
#pragma once

#include "winsim/usb/mass_storage_driver.h"

#include "winsim/usb/bot_wire.h"
#include "winsim/usb/scsi_defs.h"
#include "winsim/usb/srb.h"

#include "winsim/kernel/winsim_kernel.h"
#include <usbdrivr.h>

#include <deque>
#include <type_traits>
#include <vector>

namespace winsim::usb::msd
{

constexpr ULONG kPoolTag = PoolTag("UMsd");
constexpr ULONG kFdoKind = 0x4F44464D; // "MFDO"
constexpr ULONG kPdoKind = 0x4F44504D; // "MPDO"
constexpr UCHAR kRequestMassStorageReset = 0xFF;
constexpr UCHAR kRequestGetMaxLun = 0xFE;
constexpr ULONG kSenseLength = scsi::kFixedSenseLength;
constexpr ULONG kInquiryLength = scsi::kStandardInquiryLength;
constexpr ULONG kMaxLuns = 16;
// A misuse of the request-block interface by the driver above; the first bug-check parameter.
constexpr ULONG_PTR kSrbMisuse = 0x2101;

// The Bulk-Only exchange (or recovery step) whose URB is in flight or was last completed.
enum class Step
{
    Start,       // a request became current: nothing sent yet
    Command,     // command wrapper on bulk OUT
    Data,        // data on bulk IN or OUT, by MDL
    ClearData,   // clearing the data pipe after the device stalled it
    Status,      // status wrapper on bulk IN
    ClearStatus, // clearing bulk IN after the status read stalled
    StatusAgain, // the one further status read after that clear
    ResetDevice, // reset recovery: Bulk-Only Mass Storage Reset
    ResetIn,     // reset recovery: reset and clear-stall of bulk IN
    ResetOut,    // reset recovery: reset and clear-stall of bulk OUT
    ResetPort,   // after a time-out: reset of the device's port, then reset recovery
};

// One request block, waiting or running. Child requests come with the IRP that carries them; the
// driver's own commands at start come with an event to signal.
struct Request
{
    PIRP irp = nullptr;
    PSCSI_REQUEST_BLOCK srb = nullptr;
    PDEVICE_OBJECT pdo = nullptr; // whose remove lock the IRP holds
    PKEVENT done = nullptr;
    PMDL ownMdl = nullptr; // own commands: MDL over the data buffer in pool
};

struct FdoExtension;

// What a child PDO knows about its unit.
struct PdoExtension
{
    ULONG kind;
    FdoExtension* fdo;
    PDEVICE_OBJECT self;
    UCHAR lun;
    BOOLEAN removed;   // IRP_MN_REMOVE_DEVICE seen (the PDO stays while its unit is present)
    BOOLEAN surprised; // IRP_MN_SURPRISE_REMOVAL seen
    IO_REMOVE_LOCK removeLock;
    UCHAR inquiry[kInquiryLength];
    ULONG inquiryLength;
};

// The parts of the FDO's state that the host's containers hold.
struct FdoQueue
{
    std::deque<Request> waiting;
    std::vector<PDEVICE_OBJECT> children; // in unit order; a child leaves when it is deleted
    std::vector<bool> missing;            // per child: no longer reported (its device left)
};

struct FdoExtension
{
    ULONG kind;
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT physical;
    PDEVICE_OBJECT lower;
    IO_REMOVE_LOCK removeLock;
    KSPIN_LOCK lock; // guards queue, running, gone
    FdoQueue* queue; // host containers, created in AddDevice
    BOOLEAN running; // a request is current and its exchange in progress
    BOOLEAN gone;    // surprise removal or removal: nothing more goes to the device
    BOOLEAN started;
    UCHAR interfaceNumber;
    UCHAR maxLun;
    USBD_PIPE_HANDLE bulkIn;
    USBD_PIPE_HANDLE bulkOut;
    USBD_PIPE_HANDLE interruptIn;
    PUSB_CONFIGURATION_DESCRIPTOR configuration; // pool, kept while configured

    // The running exchange. Only the holder of `running` touches these.
    Request current;
    Step step;
    bool inSense; // the exchange is the REQUEST SENSE after a failed command
    ULONG tag;
    UCHAR cbw[kCbwLength];
    UCHAR csw[kCswLength];
    ULONG expected; // dCBWDataTransferLength of the exchange
    bool dataIn;
    ULONG moved;        // bytes the data phase moved
    PMDL dataMdl;       // partial MDL of the running data URB
    UCHAR outcome;      // SrbStatus the request gets after reset recovery
    ULONG transferred;  // bytes of the failed command, kept across its REQUEST SENSE
    UCHAR* senseBuffer; // pool, kSenseLength
    PMDL senseMdl;
    URB urb;
    PIRP urbIrp;        // carries every URB of the engine, reused: see Pump
    NTSTATUS urbStatus; // IoStatus.Status of the last URB
    LONG handoff;       // who sends the next URB: see Pump

    MassStorageCounters counters; // under `lock`

    // The time-out watchdog. Under `lock`: the URB IRP is with the driver below (urbInFlight); the
    // watchdog is cancelling it (cancelling); its completion came meanwhile, and the engine goes on when
    // the last of the watchdog and the URB's sender lets go of it (resumeHolds: 2 while the sender is still
    // in IofCallDriver, else 1; 0: nothing waits); the command's time-out passed (timedOut); when it
    // passes (deadline, in interrupt-time units of 100 ns; 0: no time-out runs).
    ULONG timeoutMs;
    BOOLEAN urbInFlight;
    BOOLEAN cancelling;
    UCHAR resumeHolds;
    BOOLEAN timedOut;
    ULONGLONG deadline;
    KEVENT watchdogStop;
    PVOID watchdogThread; // referenced thread object
};

static_assert(std::is_trivially_destructible<FdoExtension>::value,
              "the device extension is freed, not destroyed");

// ---- mass_storage_exchange.cpp: the Bulk-Only exchange engine ---------------------------------------------

void PrepareClassRequest(FdoExtension* fdo, UCHAR request, PVOID buffer, ULONG length, ULONG flags);
bool Enqueue(FdoExtension* fdo, const Request& request);
void FailWaiting(FdoExtension* fdo);
UCHAR RunOwnCommand(FdoExtension* fdo, UCHAR lun, const UCHAR* cdb, UCHAR cdbLength, PVOID buffer,
                    ULONG length, ULONG* transferred);
void ResumeAfterCancel(FdoExtension* fdo);

// ---- mass_storage_watchdog.cpp: the command time-out ------------------------------------------------------

NTSTATUS StartWatchdog(FdoExtension* fdo);
void StopWatchdog(FdoExtension* fdo);

// ---- mass_storage_fdo.cpp: start and PnP of the device, the driver's entry and dispatch -------------------

PdoExtension* PdoOf(PDEVICE_OBJECT device);
NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

// ---- mass_storage_pdo.cpp: the child PDOs -----------------------------------------------------------------

NTSTATUS PdoPnp(PdoExtension* pdo, PIRP irp);
NTSTATUS PdoScsi(PdoExtension* pdo, PIRP irp);

} // namespace winsim::usb::msd
