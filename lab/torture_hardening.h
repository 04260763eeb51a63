// kavlab torture, the hardening families (part of --faults 1): what a Windows storage stack does to a filter
// besides plain device faults. The disk class keeps several pieces of a request in flight and retries a
// failed piece after later ones; the function driver times out a hung command, cancels its URB and resets
// the port; completions run as whatever thread the DPC interrupted; the device reports errors that must
// keep their meaning (write protection, no medium, medium errors), falls out of step or reports a residue
// after moving everything; the card reader's medium changes; the PnP manager asks for bus relations again
// and restarts a disk node while requests run. This file arms those faults and checks what only they can
// break: the error code of a request the device failed for good, and that the class driver learns of
// every medium change.
#pragma once

#include "winsim/usb/mass_storage_driver.h"
#include "winsim/usb/storage_rig.h"

#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace kavlab
{

constexpr const char* kStackOnly = "stack";
constexpr const char* kPnpOnly = "pnp";

// The name the torture reports a fault kind by.
const char* FaultName(winsim::usb::FaultKind kind);
// The once-only kinds (out of step, residue, hang): all of them for an empty `only`, else the one it names.
std::vector<winsim::usb::FaultKind> OnceKinds(const std::string& only);

struct HardeningCounts
{
    uint64_t cancelled = 0; // URBs of the function driver that came back cancelled
    uint64_t timeouts = 0;  // commands the function driver timed out
    uint64_t requeries = 0; // bus-relations queries during a request
    uint64_t diskRestarts = 0;
    uint64_t mediumChanges = 0;
    uint64_t errorCodeMismatches = 0;
    uint64_t hiddenMediumChanges = 0; // a medium change the class driver never saw
    uint64_t pnpFailures = 0;         // a disk node that did not come back, relations that lost a unit
};

// One operation's fault from these families.
struct HardeningFault
{
    std::string name;
    bool persistent = false; // every attempt fails: the request must fail, with `expected`
    NTSTATUS expected = STATUS_SUCCESS;
    int faultId = -1;
    bool writeProtected = false;
    bool mediumRemoved = false;
    bool readRange = false; // a persistent read fault over the whole range: success only from the cache
};

class Hardening
{
public:
    // `only`: empty, or the name of one fault kind of the once-only family (garbled-status,
    // foreign-status, padded-data-in, partial-write, hang) that is then the only draw of these families
    // (the torture then leaves the stack as it is by default), or kStackOnly: no fault of these families,
    // on the stack that runs as Windows' does, or kPnpOnly: only the re-queries and disk restarts during
    // requests, on today's stack.
    Hardening(uint64_t seed, const std::string& only);
    static bool KnownKind(const std::string& name);

    // The stack as Windows runs it: pieces in flight, delayed retries, a short command time-out.
    static void Configure(winsim::usb::StorageRigOptions& options);
    // Completions as the thread the DPC interrupted; for the life of the kernel simulation.
    void Start();

    // Draws this operation's fault (or none) and arms it.
    HardeningFault Arm(winsim::usb::StorageRig& rig, bool write, unsigned lun, uint64_t startBlock,
                       uint64_t blocks);
    void Disarm(winsim::usb::StorageRig& rig, unsigned lun, const HardeningFault& fault);
    // PnP work to run while the operation does, or an empty thread. Once joined, PnpFailure() says
    // what went wrong in it, if anything (a disk node that did not come back).
    // No disk restart while the filter's pool is made to fail: the filter's AddDevice may then fail
    // on purpose, which is not what a restart during I/O is to show.
    std::thread StartPnp(winsim::usb::StorageRig& rig, unsigned opLun, bool poolFailing);
    const std::string& PnpFailure() const { return pnpFailure_; }
    // After each operation: a unit whose medium change the device has reported must have reached the
    // class driver. False: it did not; `what` says which unit.
    bool CheckMediumChanges(winsim::usb::StorageRig& rig, std::string& what);
    // Adds what the function driver's counters gained since the last call; before its stack goes, and
    // before a report.
    void Collect(winsim::usb::StorageRig& rig);
    // The rig is about to be rebuilt: its devices and pending watches go.
    void Forget();

    HardeningCounts& Counts() { return counts_; }

private:
    struct MediumWatch
    {
        bool pending = false;
        PDEVICE_OBJECT fdo = nullptr;
        uint64_t restartsBefore = 0; // of its disk node: a new one may take the old one's address
        uint64_t before = 0;
        uint64_t faultsFired = 0; // the device's faults fired when the change was made
        uint64_t timeouts = 0;    // the function driver's command time-outs when the change was made
    };
    void WatchMedium(winsim::usb::StorageRig& rig, unsigned lun);
    HardeningFault ArmOnce(winsim::usb::BulkOnlyDevice& device, size_t which);

    std::mt19937_64 random_;
    uint64_t seed_;
    std::string only_;
    std::string pnpFailure_; // written by the PnP thread, read after it was joined
    HardeningCounts counts_;
    MediumWatch watches_[2];
    uint64_t restartsOf_[2] = {}; // disk-node restarts per unit, counted before the PnP thread is joined
    // The function driver's counters already counted, for the device object they were read from.
    PDEVICE_OBJECT countedFdo_ = nullptr;
    winsim::usb::MassStorageCounters counted_;
};

} // namespace kavlab
