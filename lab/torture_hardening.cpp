// kavlab torture, the hardening families (see torture_hardening.h).
#include "lab/torture_hardening.h"

#include "winsim/usb/mass_storage_driver.h"

#include "winsim/kernel/winsim_kernel.h"

#include <chrono>
#include <cstdio>

namespace kavlab
{
namespace
{
namespace wu = winsim::usb;

// The card reader of the torture's stick: the unit whose medium changes.
constexpr unsigned kCardUnit = 1;

NTSTATUS Expected(const wu::SenseData& sense)
{
    bool retry = false;
    return wu::ClassStatusForSense(sense, false, &retry);
}
} // namespace

const wu::FaultKind kOnceKinds[] = {wu::FaultKind::GarbledCsw, wu::FaultKind::ForeignCsw,
                                    wu::FaultKind::PaddedDataIn, wu::FaultKind::PartialWrite,
                                    wu::FaultKind::Hang};
const char* const kOnceNames[] = {"garbled-status", "foreign-status", "padded-data-in", "partial-write",
                                  "hang"};
constexpr size_t kOnceCount = sizeof(kOnceKinds) / sizeof(kOnceKinds[0]);

const char* FaultName(wu::FaultKind kind)
{
    switch (kind)
    {
    case wu::FaultKind::FailCommand:
        return "fail";
    case wu::FaultKind::BadCswSignature:
        return "bad-signature";
    case wu::FaultKind::BadCswTag:
        return "bad-tag";
    case wu::FaultKind::ShortCsw:
        return "short-status";
    case wu::FaultKind::PhaseErrorCsw:
        return "phase-error";
    case wu::FaultKind::ShortData:
        return "short-data";
    case wu::FaultKind::StallData:
        return "stall-data";
    case wu::FaultKind::StallStatus:
        return "stall-status";
    case wu::FaultKind::Vanish:
        return "vanish";
    case wu::FaultKind::Choke:
        return "choke";
    case wu::FaultKind::GarbledCsw:
        return "garbled-status";
    case wu::FaultKind::ForeignCsw:
        return "foreign-status";
    case wu::FaultKind::PaddedDataIn:
        return "padded-data-in";
    case wu::FaultKind::PartialWrite:
        return "partial-write";
    case wu::FaultKind::Hang:
        return "hang";
    }
    return "?";
}

std::vector<wu::FaultKind> OnceKinds(const std::string& only)
{
    std::vector<wu::FaultKind> kinds;
    for (size_t which = 0; which < kOnceCount; ++which)
    {
        if (only.empty() || only == kOnceNames[which])
        {
            kinds.push_back(kOnceKinds[which]);
        }
    }
    return kinds;
}

Hardening::Hardening(uint64_t seed, const std::string& only)
    : random_(seed ^ 0x68617264656E696EULL), seed_(seed), only_(only)
{
}

bool Hardening::KnownKind(const std::string& name)
{
    if (name == kStackOnly || name == kPnpOnly)
    {
        return true;
    }
    for (const char* known : kOnceNames)
    {
        if (name == known)
        {
            return true;
        }
    }
    return false;
}

void Hardening::Configure(wu::StorageRigOptions& options)
{
    options.disk.maxOutstanding = 3;
    options.disk.retryAfterPieces = 2;
    // Short enough for a hung command to cost little, long enough that a busy host rarely times out a
    // command that was only slow (that is legal too: the stack recovers from it like from a hang).
    options.massStorage.commandTimeoutMs = 100;
}

void Hardening::Start()
{
    winsim::SetDpcInterruptedThreads(wu::InterruptedThreadIdentities(), seed_);
}

HardeningFault Hardening::Arm(wu::StorageRig& rig, bool write, unsigned lun, uint64_t startBlock,
                              uint64_t blocks)
{
    HardeningFault fault;
    wu::BulkOnlyDevice& device = rig.Device();
    const uint32_t dice = uint32_t(random_() % 100);
    if (!only_.empty() && only_ != kStackOnly && only_ != kPnpOnly && dice >= 8 && dice < 22)
    {
        size_t which = 0;
        while (only_ != kOnceNames[which])
        {
            ++which;
        }
        return ArmOnce(device, which);
    }
    if (!only_.empty())
    {
        return fault;
    }
    if (dice < 8)
    {
        // A device error that every attempt meets: the request must fail, with the code the error means.
        fault.persistent = true;
        const bool medium = random_() % 2 == 0;
        if (write && medium)
        {
            device.SetWriteProtected(uint8_t(lun), true);
            fault.writeProtected = true;
            fault.expected = Expected(wu::sense::kWriteProtected);
            fault.name = "write-protected";
            return fault;
        }
        if (!write && medium)
        {
            device.SetMediumPresent(uint8_t(lun), false);
            fault.mediumRemoved = true;
            fault.expected = Expected(wu::sense::kMediumNotPresent);
            fault.name = "no-medium";
            return fault;
        }
        wu::FaultRule rule;
        rule.kind = wu::FaultKind::FailCommand;
        rule.persistent = true;
        rule.sense = write ? wu::sense::kWriteError : wu::sense::kUnrecoveredReadError;
        rule.when.lun = uint8_t(lun);
        rule.when.opcode = write ? 0x2A : 0x28;
        const uint32_t block = uint32_t(startBlock + random_() % blocks);
        rule.when.firstLba = write ? block : uint32_t(startBlock);
        rule.when.lastLba = write ? block : uint32_t(startBlock + blocks - 1);
        fault.readRange = !write;
        fault.faultId = device.AddFault(rule);
        fault.expected = Expected(rule.sense);
        fault.name = write ? "write-error" : "read-error";
        return fault;
    }
    if (dice < 22)
    {
        return ArmOnce(device, random_() % kOnceCount);
    }
    if (dice < 28)
    {
        // The card in the reader is swapped for itself: the class driver must hear of it.
        if (!watches_[kCardUnit].pending && !device.UnitAttentionPending(uint8_t(kCardUnit)))
        {
            device.ChangeMedium(uint8_t(kCardUnit));
            WatchMedium(rig, kCardUnit);
            ++counts_.mediumChanges;
            fault.name = "medium-change";
        }
    }
    return fault;
}

// Once, on one of the next few commands: retries must get past it without a trace in the data.
HardeningFault Hardening::ArmOnce(wu::BulkOnlyDevice& device, size_t which)
{
    wu::FaultRule rule;
    rule.kind = kOnceKinds[which];
    rule.bytes = 4096;
    rule.when.commandNumber = device.Counters().commands + 1 + random_() % 3;
    HardeningFault fault;
    fault.faultId = device.AddFault(rule);
    fault.name = kOnceNames[which];
    return fault;
}

void Hardening::Disarm(wu::StorageRig& rig, unsigned lun, const HardeningFault& fault)
{
    if (fault.faultId >= 0)
    {
        rig.Device().RemoveFault(fault.faultId);
    }
    if (fault.writeProtected)
    {
        rig.Device().SetWriteProtected(uint8_t(lun), false);
    }
    if (fault.mediumRemoved)
    {
        // The medium comes back: a medium change the class driver must hear of.
        rig.Device().SetMediumPresent(uint8_t(lun), true);
        if (!watches_[lun].pending)
        {
            WatchMedium(rig, lun);
            ++counts_.mediumChanges;
        }
    }
}

void Hardening::WatchMedium(wu::StorageRig& rig, unsigned lun)
{
    MediumWatch& watch = watches_[lun];
    watch.pending = true;
    watch.fdo = rig.DiskFdo(lun);
    watch.restartsBefore = restartsOf_[lun];
    watch.before = wu::GetDiskClassInfo(watch.fdo).mediaChanges;
    watch.faultsFired = rig.Device().FaultsFired();
    Collect(rig);
    watch.timeouts = counts_.timeouts;
}

std::thread Hardening::StartPnp(wu::StorageRig& rig, unsigned opLun, bool poolFailing)
{
    const uint32_t dice = uint32_t(random_() % 100);
    if (dice >= 14 || (!only_.empty() && only_ != kPnpOnly))
    {
        return std::thread();
    }
    const auto delay = std::chrono::microseconds(random_() % 3000);
    const bool restart = dice < 5 && !poolFailing;
    const unsigned other = 1 - opLun;
    if (restart)
    {
        ++counts_.diskRestarts;
        ++restartsOf_[other];
    }
    else
    {
        ++counts_.requeries;
    }
    return std::thread([this, &rig, delay, restart, other] {
        std::this_thread::sleep_for(delay);
        if (restart)
        {
            const NTSTATUS status = rig.RestartDisk(other);
            if (!NT_SUCCESS(status) && status != STATUS_DEVICE_NOT_CONNECTED)
            {
                char text[96];
                std::snprintf(text, sizeof text, "the disk node of unit %u did not start again (0x%08X)",
                              other, unsigned(status));
                pnpFailure_ = text;
            }
        }
        else if (rig.RequeryBusRelations() != 2)
        {
            pnpFailure_ = "the USB node's bus relations did not list both units again";
        }
    });
}

bool Hardening::CheckMediumChanges(wu::StorageRig& rig, std::string& what)
{
    for (unsigned lun = 0; lun < 2; ++lun)
    {
        MediumWatch& watch = watches_[lun];
        if (!watch.pending || rig.Device().UnitAttentionPending(uint8_t(lun)))
        {
            continue;
        }
        watch.pending = false;
        if (restartsOf_[lun] != watch.restartsBefore)
        {
            continue; // a restarted disk read the capacity again and met the change itself
        }
        if (rig.Device().FaultsFired() != watch.faultsFired)
        {
            // A transport fault may have ended the command that met the attention before its sense was
            // fetched: reset recovery then loses it with or without a filter.
            continue;
        }
        if (counts_.timeouts != watch.timeouts)
        {
            // Likewise a command the function driver timed out (its time-out runs on the host's clock, so
            // a busy host meets it too): the reset recovery that follows drops the sense of the command it
            // ended, with or without a filter.
            continue;
        }
        if (wu::GetDiskClassInfo(watch.fdo).mediaChanges == watch.before)
        {
            ++counts_.hiddenMediumChanges;
            what = "the medium change of unit " + std::to_string(lun) +
                   " was reported by the device but never reached the disk class driver";
            return false;
        }
    }
    return true;
}

void Hardening::Collect(wu::StorageRig& rig)
{
    if (rig.TornDown() || rig.FunctionDevice() == nullptr)
    {
        return;
    }
    const wu::MassStorageCounters counters = wu::GetMassStorageCounters(rig.FunctionDevice());
    if (countedFdo_ != rig.FunctionDevice())
    {
        countedFdo_ = rig.FunctionDevice();
        counted_ = wu::MassStorageCounters{};
    }
    counts_.cancelled += counters.cancelledUrbs - counted_.cancelledUrbs;
    counts_.timeouts += counters.timeouts - counted_.timeouts;
    counted_ = counters;
}

void Hardening::Forget()
{
    for (MediumWatch& watch : watches_)
    {
        watch = MediumWatch{};
    }
    countedFdo_ = nullptr;
}

} // namespace kavlab
