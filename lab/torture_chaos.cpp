// kavlab torture, concurrent runs: the chaos thread, what happens to a stick while programs use it (see
// torture_concurrent.h). One step at a time, every few operations: a card swap or medium change in the
// reader, write protection switched on for a moment, the filter's pool exhausted for a moment, a scan for
// hardware changes (bus relations asked for again) whose copy of the relations the filter cannot allocate,
// a disk restart, a fault on whatever command comes next, and once the surprise removal of the stick. Each
// step puts the stick back as it was before the next one.
#include "lab/torture_concurrent.h"

#include "driver/kavfiltr_public.h"
#include "lab/torture_hardening.h"

#include "winsim/usb/disk_class_driver.h"
#include "winsim/usb/mass_storage_driver.h"

#include "winsim/kernel/winsim_kernel.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <thread>

namespace kavlab
{
namespace
{
namespace wu = winsim::usb;

// The filter's copy of the USB node's children: the block a failed copy is made of.
constexpr SIZE_T kRelationsCopyBytes =
    offsetof(DEVICE_RELATIONS, Objects) + sizeof(PDEVICE_OBJECT) * kTortureUnits;
// How long the class driver may take to count a medium change: its poll runs every few tens of ms.
constexpr std::chrono::seconds kMediumChangeLimit{10};
constexpr std::chrono::milliseconds kLostChangeGrace{300};

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

void ConcurrentTorture::ChaosThread()
{
    std::mt19937_64 random(options_.seed ^ 0x63686173656C6162ULL);
    const uint64_t removalAt = families_.removal ? options_.ops * 3 / 4 : UINT64_MAX;
    bool removed = false;
    uint64_t nextStep = 4 + random() % 24;
    while (!chaosDone_ && !traffic_.Stopped())
    {
        const uint64_t ops = totals_.ops;
        if (!removed && ops >= removalAt)
        {
            removed = true;
            {
                std::lock_guard<std::mutex> guard(reportLock_);
                chaosStep_ = "surprise removal";
            }
            chaosSince_ = NowMs();
            Replug(random);
            chaosSince_ = 0;
            continue;
        }
        if (ops < nextStep || ops >= options_.ops)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        nextStep = ops + 4 + random() % 24;
        Chaos(random);
    }
}

void ConcurrentTorture::Chaos(std::mt19937_64& random)
{
    const uint32_t dice = uint32_t(random() % 100);
    const char* step = nullptr;
    std::function<void()> work;
    if (dice < 20 && (families_.pnp || families_.relations))
    {
        step = "bus-relations query";
        work = [&] { Requery(random); };
    }
    else if (dice < 40 && families_.swaps)
    {
        step = "card swap";
        work = [&, swap = dice < 36] { SwapCard(random, swap, dice < 28, random() % 2 == 0); };
    }
    else if (dice < 50 && families_.writeProtect)
    {
        step = "write-protect window";
        work = [&] { ProtectWindow(random); };
    }
    else if (dice < 62 && families_.deviceFaults)
    {
        step = "pool window";
        work = [&] { PoolWindow(random); };
    }
    else if (dice < 68 && families_.pnp)
    {
        step = "disk restart";
        work = [&] { RestartDisk(random); };
    }
    else if (dice < 80 && families_.globalFaults)
    {
        step = "fault on the next command";
        work = [&] { GlobalFault(random); };
    }
    if (step == nullptr)
    {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(reportLock_);
        chaosStep_ = step;
    }
    chaosSince_ = NowMs();
    work();
    chaosSince_ = 0;
}

void ConcurrentTorture::Hold(std::mt19937_64& random, unsigned maxMs)
{
    std::this_thread::sleep_for(std::chrono::microseconds(random() % (uint64_t(maxMs) * 1000 + 1)));
}

// The stick leaves while requests are in flight and comes back with the same media: the requests in flight
// fail or return the reference, the stacks go without a leak, the threads go on on the new stacks.
void ConcurrentTorture::Replug(std::mt19937_64& random)
{
    Condition removal;
    removal.kind = ConditionKind::Removal;
    const size_t id = conditions_.Open(removal);
    conditions_.Set(id);
    traffic_.BeginParking();
    Hold(random, 2);
    // The function driver and the disks go with the stick: their counts so far are kept.
    const StackCounters total = Counters(true);
    {
        std::unique_lock<std::shared_mutex> guard(stackLock_);
        gone_.timeouts = total.timeouts;
        gone_.cancelled = total.cancelled;
        gone_.polls = total.polls;
        stackGone_ = true;
    }
    ++totals_.removals;
    rig_->SurpriseRemove();
    if (traffic_.WaitParked(threadCount_))
    {
        std::unique_lock<std::shared_mutex> guard(stackLock_);
        const wu::TimingCounters device = rig_->Device().Counters();
        gone_.dataIn += device.bytesIn - 13 * device.commands;
        gone_.dataOut += device.bytesOut - 31 * device.commands;
        rig_.reset();
        Build();
        stackGone_ = false;
    }
    conditions_.Clearing(id);
    conditions_.Close(id);
    traffic_.Resume();
}

// A card comes out of the reader and another goes in (`newContent`: one with other data; otherwise the same
// card again), either with a time the slot is empty (`gap`), or so fast that the unit only reports the
// change. No fault is armed on the unit meanwhile, and no hang anywhere (a time-out's reset recovery may
// lose the change, with or without a filter), so the class driver must count the change: through its poll
// or through the next request's command. `idle`: no request reaches the unit until the class
// driver has counted it, so that only its poll meets the change, and the reads that follow must not get
// what the filter kept of the old card.
void ConcurrentTorture::SwapCard(std::mt19937_64& random, bool newContent, bool gap, bool idle)
{
    const unsigned unit = kCardReaderUnit;
    std::vector<uint8_t> content;
    if (newContent)
    {
        content.resize(kTortureUnitBytes);
        FillPattern(content, random());
    }
    traffic_.Quiet(unit);
    changeWatched_ = true;
    const auto done = [this, unit] {
        changeWatched_ = false;
        traffic_.Wake(unit);
        traffic_.Unquiet(unit);
    };
    if (idle)
    {
        traffic_.Idle(unit);
    }
    wu::BulkOnlyDevice& device = rig_->Device();
    if (traffic_.Stopped() || device.UnitAttentionPending(uint8_t(unit)))
    {
        done();
        return;
    }
    PDEVICE_OBJECT fdo = rig_->DiskFdo(unit);
    const uint64_t before = wu::GetDiskClassInfo(fdo).mediaChanges;
    const uint64_t timeoutsBefore = Timeouts();
    WriteHandle swap;
    if (newContent)
    {
        ++totals_.cardSwaps;
    }
    else
    {
        ++totals_.mediumChanges;
    }
    if (newContent && gap)
    {
        Condition empty;
        empty.kind = ConditionKind::NoMedium;
        empty.unit = unit;
        empty.code = STATUS_NO_MEDIA_IN_DEVICE;
        const size_t id = conditions_.Open(empty);
        swap = ledger_.BeginSwap(unit, std::move(content));
        device.SetMediumPresent(uint8_t(unit), false);
        conditions_.Set(id);
        device.WriteMedium(uint8_t(unit), 0, swap->data.data(), swap->data.size());
        Hold(random, 3);
        conditions_.Clearing(id);
        device.SetMediumPresent(uint8_t(unit), true);
        conditions_.Close(id);
    }
    else
    {
        if (newContent)
        {
            // A command between the two may already read the new card: the swap is in flight until the
            // class driver has counted it.
            swap = ledger_.BeginSwap(unit, std::move(content));
            device.WriteMedium(uint8_t(unit), 0, swap->data.data(), swap->data.size());
        }
        device.ChangeMedium(uint8_t(unit));
    }
    auto deadline = std::chrono::steady_clock::now() + kMediumChangeLimit;
    bool seen = false;
    bool excused = false;
    while (!seen && !traffic_.Stopped() && std::chrono::steady_clock::now() < deadline)
    {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        seen = wu::GetDiskClassInfo(fdo).mediaChanges != before;
        if (!seen && !excused && !device.UnitAttentionPending(uint8_t(unit)) && Timeouts() != timeoutsBefore)
        {
            // The reset recovery after a time-out drops the sense of the command it ended, with or without a
            // filter: the change may be lost. A count in progress gets a moment, then the wait ends.
            excused = true;
            deadline = std::min(deadline, std::chrono::steady_clock::now() + kLostChangeGrace);
        }
    }
    if (swap != nullptr)
    {
        // From here on a read that begins must return the new card's data.
        const Finding finding = ledger_.EndWrite(swap, true);
        if (finding)
        {
            Fail(totals_.mismatches, finding.what, nullptr);
        }
    }
    if (!seen && !traffic_.Stopped() && Timeouts() == timeoutsBefore)
    {
        Fail(totals_.hiddenMediumChanges,
             "the medium change of unit " + std::to_string(unit) +
                 " was reported by the device but never reached the disk class driver",
             nullptr);
    }
    done();
}

void ConcurrentTorture::ProtectWindow(std::mt19937_64& random)
{
    Condition condition;
    condition.kind = ConditionKind::WriteProtected;
    condition.unit = unsigned(random() % kTortureUnits);
    condition.code = STATUS_MEDIA_WRITE_PROTECTED;
    const size_t id = conditions_.Open(condition);
    rig_->Device().SetWriteProtected(uint8_t(condition.unit), true);
    conditions_.Set(id);
    Hold(random, 6);
    conditions_.Clearing(id);
    rig_->Device().SetWriteProtected(uint8_t(condition.unit), false);
    conditions_.Close(id);
    ++totals_.protectWindows;
}

// The filter's allocations fail for a moment: it must fall back to passing requests through.
void ConcurrentTorture::PoolWindow(std::mt19937_64& random)
{
    winsim::SetPoolFailureTag(KAVFILTR_POOL_TAG);
    if (random() % 2 == 0)
    {
        winsim::FailAllocationAt(ULONG(1 + random() % 8));
    }
    else
    {
        winsim::FailEveryNthAllocation(ULONG(2 + random() % 5));
    }
    Hold(random, 5);
    winsim::FailAllocationAt(0);
    winsim::FailEveryNthAllocation(0);
    winsim::SetPoolFailureTag(0);
    ++totals_.poolWindows;
}

// A scan for hardware changes: the PnP manager asks the USB node for its children again. With the
// relations family, the filter's copy of them fails (only blocks of its size and tag fail), once or on
// every other query; the requests go on with the copy lost, and half the time a later query brings it back.
void ConcurrentTorture::Requery(std::mt19937_64& random)
{
    const bool failCopies = families_.relations && (!families_.pnp || random() % 10 < 6);
    if (failCopies)
    {
        winsim::SetPoolFailureTag(KAVFILTR_POOL_TAG);
        winsim::SetPoolFailureSize(kRelationsCopyBytes);
        if (random() % 2 == 0)
        {
            winsim::FailAllocationAt(1);
        }
        else
        {
            winsim::FailEveryNthAllocation(ULONG(1 + random() % 2));
        }
    }
    const unsigned queries = failCopies ? unsigned(1 + random() % 3) : 1;
    bool listed = true;
    for (unsigned query = 0; query < queries && listed; ++query)
    {
        ++totals_.requeries;
        const size_t injectedBefore = winsim::InjectedPoolFailures();
        listed = rig_->RequeryBusRelations() == kTortureUnits;
        if (winsim::InjectedPoolFailures() != injectedBefore)
        {
            ++totals_.relationCopyFailures;
        }
        Hold(random, 2);
    }
    if (failCopies)
    {
        winsim::FailAllocationAt(0);
        winsim::FailEveryNthAllocation(0);
        winsim::SetPoolFailureSize(0);
        winsim::SetPoolFailureTag(0);
        if (listed && random() % 2 == 0)
        {
            Hold(random, 5);
            ++totals_.requeries;
            listed = rig_->RequeryBusRelations() == kTortureUnits;
        }
    }
    if (!listed)
    {
        Fail(totals_.pnpFailures, "the USB node's bus relations did not list both units again", nullptr);
    }
}

// A disk node restarts while requests run: the unit's requests wait and then go to the new stack.
void ConcurrentTorture::RestartDisk(std::mt19937_64& random)
{
    const unsigned unit = unsigned(random() % kTortureUnits);
    {
        std::unique_lock<std::shared_mutex> guard(stackLock_);
        if (rig_->DiskFdo(unit) != nullptr)
        {
            gone_.polls += wu::GetDiskClassInfo(rig_->DiskFdo(unit)).polls;
        }
    }
    ++totals_.diskRestarts;
    const NTSTATUS status = rig_->RestartDisk(unit);
    if (!NT_SUCCESS(status) && status != STATUS_DEVICE_NOT_CONNECTED)
    {
        char text[96];
        std::snprintf(text, sizeof text, "the disk node of unit %u did not start again (0x%08X)", unit,
                      unsigned(status));
        Fail(totals_.pnpFailures, text, nullptr);
    }
}

// A fault on one of the next few commands, whatever they are: another thread's piece, a read-ahead, a
// poll, a REQUEST SENSE. Only while no request's blocks carry an error every attempt meets, so that such a
// request cannot end with this fault's code instead.
void ConcurrentTorture::GlobalFault(std::mt19937_64& random)
{
    if (!traffic_.BeginGlobalFault())
    {
        return;
    }
    std::vector<wu::FaultKind> kinds = {wu::FaultKind::FailCommand, wu::FaultKind::BadCswSignature,
                                        wu::FaultKind::BadCswTag,   wu::FaultKind::ShortData,
                                        wu::FaultKind::StallData,   wu::FaultKind::StallStatus,
                                        wu::FaultKind::Choke};
    kinds.insert(kinds.end(), families_.onceKinds.begin(), families_.onceKinds.end());
    wu::FaultRule rule;
    rule.kind = kinds[random() % kinds.size()];
    rule.bytes = rule.kind == wu::FaultKind::Choke ? 128 * 1024 : 4096;
    rule.claimFullLength = random() % 2 == 0;
    rule.when.commandNumber = rig_->Device().Counters().commands + 1 + random() % 3;
    const int id = rig_->Device().AddFault(rule);
    ++totals_.transientFaults;
    Hold(random, 8);
    rig_->Device().RemoveFault(id);
    traffic_.EndGlobalFault();
}

} // namespace kavlab
