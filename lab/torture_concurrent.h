// kavlab torture, concurrent runs (--threads N, N > 1; the default): requests in flight together, as
// Windows sends them. Per unit, N application threads, each with its own application identity: two of
// them are Explorer's copy engine, taking adjacent 1 MiB chunks of one file in order so that two 1 MiB
// reads (or two 1 MiB writes) are in flight on one range; the others read a distant range sequentially or
// send small random reads and writes, now and then into the file being copied. The disk class driver polls
// both units for media changes every few tens of milliseconds. With faults, each request may arm a device
// fault on its own blocks (transient, or an error every attempt meets), and a chaos thread does what
// happens to a stick while programs use it: card swaps in the reader with new content (written while the
// card is out, or at once), sometimes while the reader is idle so that only the class driver's poll meets
// them, media changes, write protection switched on and off, bus-relations queries whose copy
// of the relations the filter cannot allocate, pool exhaustion in the filter, disk restarts, faults on
// whatever command comes next, and once the surprise removal of the stick.
//
// What is checked, besides the reference copy of torture_ledger.h:
// - a request that armed an error every attempt meets must fail, with the code the error means (or
//   STATUS_IO_TIMEOUT when the function driver timed a command out meanwhile, or the code of another
//   condition it met); so must a write that began after write protection was switched on and ended before
//   it was switched off, or that lay inside the time a card was out;
// - every request that fails met a condition that fails requests of the stack without the filter too: its
//   own device error (on its blocks, for its operation), write protection, an empty slot, the removal, or
//   a command time-out (STATUS_IO_TIMEOUT only), and it ends with that condition's code. A device error's
//   code (medium error, write protected, no medium) that no condition it met gives is another request's
//   error handed to it; any other failure without such a condition is the filter's own (one that cannot
//   allocate must pass the request on, not fail it). Both are error code mismatches;
// - the class driver counts every card swap and medium change; no fault is armed on the card reader and no
//   hang anywhere meanwhile, so only a command time-out (a busy host) excuses a change it never hears of
//   (the reset recovery drops the sense of the command it ended, with or without a filter); otherwise the
//   change is hidden;
// - no request, bus-relations query or disk restart hangs;
// - at the end, with every request done, each known block is on the medium and reads back as known.
// A seed fixes every thread's draws and the chaos thread's; the interleaving is the host's.
#pragma once

#include "lab/torture_ledger.h"
#include "lab/torture_options.h"
#include "lab/torture_traffic.h"

#include "winsim/usb/disk_image.h"
#include "winsim/usb/fault_plan.h"
#include "winsim/usb/storage_rig.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <string>
#include <vector>

namespace kavlab
{

int RunConcurrentTorture(const TortureOptions& options);
// Fills `buffer` with a pattern drawn from `seed`.
void FillPattern(std::vector<uint8_t>& buffer, uint64_t seed);
// The --only names the concurrent run knows besides those of the hardening families.
bool IsConcurrentOnlyKind(const std::string& name);

// Which fault families a run draws from (--faults and --only).
struct TortureFamilies
{
    bool windowsStack = false; // pieces in flight, delayed retries, short command time-outs
    bool deviceFaults = false; // faults on a request's own blocks, pool exhaustion
    std::vector<winsim::usb::FaultKind> onceKinds; // out-of-step, residue and hang faults among them
    bool globalFaults = false;                     // faults on whatever command comes next
    bool writeProtect = false;
    bool pnp = false;       // bus-relations queries and disk restarts
    bool relations = false; // ... with the filter's copy of the relations failing
    bool swaps = false;     // card swaps and media changes in the reader
    bool removal = false;
};
TortureFamilies FamiliesFor(const TortureOptions& options);

class ConcurrentTorture
{
public:
    explicit ConcurrentTorture(const TortureOptions& options);
    ~ConcurrentTorture();
    int Run();

private:
    struct Request
    {
        bool write = false;
        unsigned unit = 0;
        uint64_t offset = 0;
        uint32_t length = 0;
        std::string fault;
        NTSTATUS status = STATUS_PENDING;
        uint64_t begun = 0;
        uint64_t ended = 0;
        uint64_t commandsBefore = 0;
        uint64_t commandsAfter = 0;
    };
    struct Worker
    {
        unsigned index = 0; // its application identity
        unsigned unit = 0;
        unsigned slot = 0; // among the unit's threads; 0 and 1 are the copy engine
        std::mt19937_64 random;
        std::atomic<bool> randomIo{false}; // otherwise a reader of a distant range
        uint64_t runLeft = 0;
        uint64_t next = 0; // the distant reader's next block
        uint32_t runLength = 0;
        uint64_t lastStart = 0;
        // A stamp no later than the start of its request in flight (kStillOpen when none): the windows
        // of conditions that ended before every such stamp are no longer needed.
        std::atomic<uint64_t> inFlightSince{kStillOpen};
        std::deque<Request> recent; // under reportLock_
    };
    // The file Explorer is copying on a unit: its chunks are taken in order by the two copy threads.
    struct CopyJob
    {
        uint64_t start = 0;
        uint64_t next = 0;
        uint64_t end = 0; // blocks
        bool write = false;
    };
    struct Totals
    {
        std::atomic<uint64_t> ops{0};
        std::atomic<uint64_t> mismatches{0};
        std::atomic<uint64_t> failuresInjected{0};
        std::atomic<uint64_t> failuresReported{0};
        std::atomic<uint64_t> failuresHidden{0};
        std::atomic<uint64_t> transientFaults{0};
        std::atomic<uint64_t> failedRequests{0};
        std::atomic<uint64_t> errorCodeMismatches{0};
        std::atomic<uint64_t> hiddenMediumChanges{0};
        std::atomic<uint64_t> hangs{0};
        std::atomic<uint64_t> pnpFailures{0};
        std::atomic<uint64_t> removals{0};
        std::atomic<uint64_t> requeries{0};
        std::atomic<uint64_t> relationCopyFailures{0};
        std::atomic<uint64_t> diskRestarts{0};
        std::atomic<uint64_t> cardSwaps{0};
        std::atomic<uint64_t> mediumChanges{0};
        std::atomic<uint64_t> protectWindows{0};
        std::atomic<uint64_t> poolWindows{0};
        std::atomic<uint64_t> bytesAsked[2]{}; // read, written
    };
    // Device counters of stacks that are gone (a replug makes a new device and function driver).
    struct StackCounters
    {
        uint64_t timeouts = 0;
        uint64_t cancelled = 0;
        uint64_t polls = 0;
        uint64_t dataIn = 0;
        uint64_t dataOut = 0;
    };

    // torture_concurrent.cpp: the application threads and the checks of their requests.
    void Build();
    void ApplicationThread(Worker& worker);
    Request NextRequest(Worker& worker);
    void TakeCopyChunk(Worker& worker, Request& request);
    bool Send(Worker& worker, Request& request);
    int ArmDeviceError(Request& request, uint64_t first, uint64_t last);
    int ArmTransient(Worker& worker, Request& request);
    void CheckOutcome(const Request& request, size_t ownCondition, bool timedOut);
    bool FailedReadInRange(const Request& request);
    template <typename Call> NTSTATUS Bounded(const Call& call);
    void Fail(std::atomic<uint64_t>& counter, const std::string& what, const Request* request);
    void PrintCommands(const Request& request);
    void Remember(Worker& worker, const Request& request, bool replace);
    void Progress(bool last);
    void Watch();
    bool ReadBack();
    StackCounters Counters(bool withDisks);
    uint64_t Timeouts();
    bool Clean() const;
    void Report();

    // torture_chaos.cpp: what happens to the stick while programs use it.
    void ChaosThread();
    void Chaos(std::mt19937_64& random);
    void Replug(std::mt19937_64& random);
    void SwapCard(std::mt19937_64& random, bool newContent, bool gap, bool idle);
    void ProtectWindow(std::mt19937_64& random);
    void PoolWindow(std::mt19937_64& random);
    void Requery(std::mt19937_64& random);
    void RestartDisk(std::mt19937_64& random);
    void GlobalFault(std::mt19937_64& random);
    void Hold(std::mt19937_64& random, unsigned maxMs);

    TortureOptions options_;
    TortureFamilies families_;
    unsigned threadCount_ = 0;
    std::shared_ptr<winsim::usb::MemoryDiskImage> images_[kTortureUnits];
    std::unique_ptr<winsim::usb::StorageRig> rig_;
    // Readers of the function driver's and the class driver's counters hold it shared; the replug holds
    // it exclusively while the devices go.
    std::shared_mutex stackLock_;
    bool stackGone_ = false;
    StackCounters gone_;
    Ledger ledger_;
    Traffic traffic_;
    Conditions conditions_;
    std::vector<std::unique_ptr<Worker>> workers_;
    std::mutex jobLock_;
    CopyJob jobs_[kTortureUnits];
    Totals totals_;
    std::atomic<uint64_t> issued_{0};
    std::atomic<unsigned> finished_{0}; // application threads that have left
    std::atomic<bool> chaosDone_{false};
    std::atomic<bool> changeWatched_{false}; // a medium change is waiting for the class driver
    std::atomic<int64_t> chaosSince_{0};     // host time (ms) the running chaos step began, 0 when idle
    std::string chaosStep_;                  // under reportLock_
    std::mutex reportLock_;
    bool failed_ = false; // under reportLock_: the first failure has been reported
    std::chrono::steady_clock::time_point started_;
};

} // namespace kavlab
