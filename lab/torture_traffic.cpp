// kavlab torture, concurrent runs: admission of requests and the windows of device conditions (see
// torture_traffic.h).
#include "lab/torture_traffic.h"

#include <algorithm>

namespace kavlab
{

Traffic::Traffic(unsigned units) : armed_(units, 0), quiet_(units, false), idle_(units, false) {}

bool Traffic::Overlaps(unsigned thread, unsigned unit, uint64_t first, uint64_t last, bool reservedOnly) const
{
    return std::any_of(inFlight_.begin(), inFlight_.end(), [&](const InFlight& other) {
        return other.thread != thread && other.unit == unit && other.first <= last && first <= other.last &&
               (other.reserved || !reservedOnly);
    });
}

bool Traffic::Enter(unsigned thread, unsigned unit, uint64_t first, uint64_t last, bool reserve,
                    bool& reserved)
{
    std::unique_lock<std::mutex> guard(lock_);
    reserved = false;
    for (;;)
    {
        if (stopped_)
        {
            return false;
        }
        if (parking_)
        {
            ++parked_;
            changed_.notify_all();
            changed_.wait(guard, [this] { return !parking_ || stopped_; });
            --parked_;
            continue;
        }
        if (!idle_[unit] && !Overlaps(thread, unit, first, last, true))
        {
            break;
        }
        changed_.wait(guard);
    }
    if (reserve && !quiet_[unit] && !globalFault_ && !Overlaps(thread, unit, first, last, false))
    {
        reserved = true;
        ++armed_[unit];
    }
    inFlight_.push_back(InFlight{thread, unit, first, last, reserved});
    return true;
}

void Traffic::Leave(unsigned thread)
{
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = inFlight_.begin(); it != inFlight_.end(); ++it)
    {
        if (it->thread == thread)
        {
            if (it->reserved)
            {
                --armed_[it->unit];
            }
            inFlight_.erase(it);
            break;
        }
    }
    changed_.notify_all();
}

bool Traffic::TryArm(unsigned unit)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (quiet_[unit])
    {
        return false;
    }
    ++armed_[unit];
    return true;
}

void Traffic::Disarm(unsigned unit)
{
    std::lock_guard<std::mutex> guard(lock_);
    --armed_[unit];
    changed_.notify_all();
}

void Traffic::Quiet(unsigned unit)
{
    std::unique_lock<std::mutex> guard(lock_);
    quiet_[unit] = true;
    changed_.wait(guard, [&] { return armed_[unit] == 0 || stopped_; });
}

void Traffic::Unquiet(unsigned unit)
{
    std::lock_guard<std::mutex> guard(lock_);
    quiet_[unit] = false;
}

void Traffic::Idle(unsigned unit)
{
    std::unique_lock<std::mutex> guard(lock_);
    idle_[unit] = true;
    changed_.wait(guard, [&] {
        return stopped_ || std::none_of(inFlight_.begin(), inFlight_.end(),
                                        [unit](const InFlight& other) { return other.unit == unit; });
    });
}

void Traffic::Wake(unsigned unit)
{
    std::lock_guard<std::mutex> guard(lock_);
    idle_[unit] = false;
    changed_.notify_all();
}

bool Traffic::BeginGlobalFault()
{
    std::lock_guard<std::mutex> guard(lock_);
    if (std::any_of(inFlight_.begin(), inFlight_.end(), [](const InFlight& other) { return other.reserved; }))
    {
        return false;
    }
    globalFault_ = true;
    return true;
}

void Traffic::EndGlobalFault()
{
    std::lock_guard<std::mutex> guard(lock_);
    globalFault_ = false;
}

void Traffic::BeginParking()
{
    std::lock_guard<std::mutex> guard(lock_);
    parking_ = true;
    changed_.notify_all();
}

bool Traffic::WaitParked(unsigned threads)
{
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [&] { return parked_ + done_ >= threads || stopped_; });
    return parked_ + done_ >= threads;
}

void Traffic::Resume()
{
    std::lock_guard<std::mutex> guard(lock_);
    parking_ = false;
    changed_.notify_all();
}

void Traffic::Stop()
{
    std::lock_guard<std::mutex> guard(lock_);
    stopped_ = true;
    changed_.notify_all();
}

bool Traffic::Stopped()
{
    std::lock_guard<std::mutex> guard(lock_);
    return stopped_;
}

void Traffic::Done()
{
    std::lock_guard<std::mutex> guard(lock_);
    ++done_;
    changed_.notify_all();
}

bool Verdict::Allows(NTSTATUS status) const
{
    return anything || std::find(codes.begin(), codes.end(), status) != codes.end();
}

size_t Conditions::Open(Condition condition)
{
    std::lock_guard<std::mutex> guard(lock_);
    condition.outerBegun = ledger_.Tick();
    const size_t id = nextId_++;
    conditions_[id] = condition;
    return id;
}

void Conditions::Set(size_t id)
{
    std::lock_guard<std::mutex> guard(lock_);
    conditions_[id].innerBegun = ledger_.Tick();
}

void Conditions::Clearing(size_t id)
{
    std::lock_guard<std::mutex> guard(lock_);
    conditions_[id].innerEnded = ledger_.Tick();
}

void Conditions::Close(size_t id)
{
    std::lock_guard<std::mutex> guard(lock_);
    conditions_[id].outerEnded = ledger_.Tick();
}

Verdict Conditions::For(unsigned unit, bool write, uint64_t first, uint64_t last, uint64_t begun,
                        uint64_t ended, size_t own) const
{
    std::lock_guard<std::mutex> guard(lock_);
    Verdict verdict;
    for (const auto& [id, condition] : conditions_)
    {
        const bool overlaps = condition.outerBegun < ended && condition.outerEnded > begun;
        const bool inside = condition.innerBegun < begun && condition.innerEnded > ended;
        if (!overlaps || (condition.unit != unit && condition.kind != ConditionKind::Removal))
        {
            continue;
        }
        switch (condition.kind)
        {
        case ConditionKind::Removal:
            verdict.anything = true;
            break;
        case ConditionKind::WriteProtected:
            if (write)
            {
                verdict.codes.push_back(condition.code);
                verdict.mustFail = verdict.mustFail || inside;
            }
            break;
        case ConditionKind::NoMedium:
            // A read inside the window may be answered from data read before the card went out.
            verdict.codes.push_back(condition.code);
            verdict.mustFail = verdict.mustFail || (inside && write);
            break;
        case ConditionKind::DeviceError:
            if (condition.write == write && condition.first <= last && first <= condition.last)
            {
                verdict.codes.push_back(condition.code);
                verdict.mustFail = verdict.mustFail || id == own;
            }
            break;
        }
    }
    return verdict;
}

void Conditions::Forget(uint64_t stamp)
{
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = conditions_.begin(); it != conditions_.end();)
    {
        it = it->second.outerEnded < stamp ? conditions_.erase(it) : std::next(it);
    }
}

} // namespace kavlab
