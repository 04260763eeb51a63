// kavlab torture, concurrent runs: who may send what when, and which device conditions a request met.
//
// Traffic admits the application threads' requests. A request that arms a device error on its own blocks
// (one that every attempt meets) reserves them: it is admitted only when no request in flight touches
// them, and requests of other threads that would touch them wait until it has ended — so that the error
// can only reach its own request, and a request of another thread that ends with it got it from the
// wrong place. The card reader unit is kept quiet (no fault armed on it) while the class driver is
// expected to learn of a medium change (and may be left idle, so that only the class driver's poll meets the
// change), and a fault aimed at whatever command comes next is armed only
// while no reservation stands. Between runs of requests the threads can be parked (the stick is unplugged
// and plugged in again meanwhile).
//
// Conditions records, on the ledger's clock, the windows of the device conditions that make requests
// fail: each device error armed on a range, write protection, an empty slot, the surprise removal. Each
// window has an outer interval (from before the condition was set to after it was cleared: a request
// that overlaps it may meet the condition) and an inner one (from after it was set to before it was
// cleared: a request inside it must meet it).
#pragma once

#include "lab/torture_ledger.h"

#include <ntddk.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace kavlab
{

class Traffic
{
public:
    explicit Traffic(unsigned units);

    // Waits while [first, last] of `unit` overlaps another thread's reservation. With `reserve`, reserves
    // the range when no request in flight touches it and faults may be armed on the unit; `reserved` says
    // whether it did. False (nothing entered): the threads are to park or stop.
    bool Enter(unsigned thread, unsigned unit, uint64_t first, uint64_t last, bool reserve, bool& reserved);
    void Leave(unsigned thread);
    // A fault aimed at the request's own blocks, armed only while the unit is not kept quiet.
    bool TryArm(unsigned unit);
    void Disarm(unsigned unit);

    // The card reader's medium change is being watched: no new fault on the unit; waits until the faults
    // already armed on it are gone.
    void Quiet(unsigned unit);
    void Unquiet(unsigned unit);
    // No new request to the unit until Wake; returns once the unit's requests in flight have ended.
    void Idle(unsigned unit);
    void Wake(unsigned unit);
    // A fault for whatever command comes next: only while no range is reserved; none is reserved until
    // EndGlobalFault.
    bool BeginGlobalFault();
    void EndGlobalFault();

    // Threads park at their next Enter; WaitParked returns once every one of `threads` has parked or left.
    void BeginParking();
    bool WaitParked(unsigned threads); // false: stopped first, threads may still be sending
    void Resume();
    void Stop();
    bool Stopped();
    // A thread that has no more requests to send.
    void Done();

private:
    struct InFlight
    {
        unsigned thread;
        unsigned unit;
        uint64_t first;
        uint64_t last;
        bool reserved;
    };
    bool Overlaps(unsigned thread, unsigned unit, uint64_t first, uint64_t last, bool reservedOnly) const;

    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<InFlight> inFlight_;
    std::vector<unsigned> armed_; // per unit: faults armed on it, reservations included
    std::vector<bool> quiet_;
    std::vector<bool> idle_;
    bool globalFault_ = false;
    bool parking_ = false;
    bool stopped_ = false;
    unsigned parked_ = 0;
    unsigned done_ = 0;
};

enum class ConditionKind
{
    DeviceError,    // every READ(10) or WRITE(10) on a block range of the unit fails with a medium error
    WriteProtected, // writes to the unit fail
    NoMedium,       // the card is out: every command to the unit fails
    Removal,        // the stick leaves and comes back: anything may fail
};

struct Condition
{
    ConditionKind kind = ConditionKind::DeviceError;
    unsigned unit = 0;
    bool write = false; // DeviceError: the operation it fails
    uint64_t first = 0; // DeviceError: the blocks
    uint64_t last = 0;
    NTSTATUS code = STATUS_SUCCESS; // what a request that meets it ends with
    uint64_t outerBegun = 0;
    uint64_t innerBegun = kStillOpen;
    uint64_t innerEnded = kStillOpen;
    uint64_t outerEnded = kStillOpen;
};

// What the conditions say about one request that has ended.
struct Verdict
{
    bool anything = false;       // it overlapped the removal: any outcome stands
    bool mustFail = false;       // it lay inside a condition it cannot get past, or its own device error
    std::vector<NTSTATUS> codes; // the codes of the conditions it may have met
    bool Allows(NTSTATUS status) const;
};

class Conditions
{
public:
    explicit Conditions(Ledger& ledger) : ledger_(ledger) {}

    // Stamps the outer start; the caller sets the condition on the device next and then calls Set.
    size_t Open(Condition condition);
    void Set(size_t id);
    // Stamps the inner end; the caller clears the condition next and then calls Close.
    void Clearing(size_t id);
    void Close(size_t id);

    // A request on [first, last] of `unit` stamped [begun, ended]; `own`: the device error it armed itself.
    Verdict For(unsigned unit, bool write, uint64_t first, uint64_t last, uint64_t begun, uint64_t ended,
                size_t own) const;
    // Drops the windows closed before `stamp`: no request that may still ask began before it.
    void Forget(uint64_t stamp);
    static constexpr size_t kNone = SIZE_MAX;

private:
    Ledger& ledger_;
    mutable std::mutex lock_;
    std::map<size_t, Condition> conditions_;
    size_t nextId_ = 0;
};

} // namespace kavlab
