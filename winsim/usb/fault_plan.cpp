// winsim: fault rules of the simulated mass-storage device (see fault_plan.h).
#include "winsim/usb/fault_plan.h"

#include "winsim/usb/usb_misuse.h"

namespace winsim::usb
{

// A block range without both ends, or reversed, would silently match nothing: refuse it.
int FaultPlan::Add(const FaultRule& rule)
{
    const CommandFilter& when = rule.when;
    if (when.firstLba.has_value() != when.lastLba.has_value() ||
        (when.firstLba && *when.firstLba > *when.lastLba))
    {
        throw MisuseError("fault rule with an incomplete or reversed block range");
    }
    if (rule.kind == FaultKind::Choke && rule.bytes == 0)
    {
        throw MisuseError("a choke needs the largest transfer the device still takes");
    }
    if ((rule.kind == FaultKind::PaddedDataIn || rule.kind == FaultKind::PartialWrite) && rule.bytes == 0)
    {
        throw MisuseError("a residue fault needs the residue it reports");
    }
    rules_.push_back(Entry{nextId_, rule});
    return nextId_++;
}

bool FaultPlan::Remove(int id)
{
    for (size_t i = 0; i < rules_.size(); ++i)
    {
        if (rules_[i].id == id)
        {
            rules_.erase(rules_.begin() + long(i));
            return true;
        }
    }
    return false;
}

bool FaultPlan::Matches(const CommandFilter& when, const CommandInfo& command)
{
    if (when.commandNumber && *when.commandNumber != command.number)
    {
        return false;
    }
    if (when.opcode && *when.opcode != command.opcode)
    {
        return false;
    }
    if (when.lun && *when.lun != command.lun)
    {
        return false;
    }
    if (when.firstLba)
    {
        if (!command.hasBlocks || command.blocks == 0)
        {
            return false;
        }
        const uint64_t last = uint64_t(command.lba) + command.blocks - 1;
        if (last < *when.firstLba || command.lba > *when.lastLba)
        {
            return false;
        }
    }
    return true;
}

// A rule that cannot act on a command (short data of a command without data in) does not fire on it, so a
// one-shot rule waits for a command it can hit.
bool FaultPlan::Applies(const FaultRule& rule, const CommandInfo& command)
{
    switch (rule.kind)
    {
    case FaultKind::ShortData:
        return command.dataIn && command.hostData;
    case FaultKind::StallData:
        return command.hostData;
    case FaultKind::Choke:
        return false; // tested per transfer
    case FaultKind::PaddedDataIn:
        return command.opcode == scsi::kRead10 && command.dataIn && command.hostLength != 0;
    case FaultKind::PartialWrite:
        return command.opcode == scsi::kWrite10 && command.hostData && !command.dataIn;
    default:
        return true;
    }
}

void FaultPlan::Fire(size_t index)
{
    ++fired_;
    if (!rules_[index].rule.persistent)
    {
        rules_.erase(rules_.begin() + long(index));
    }
}

CommandFaults FaultPlan::TakeCommandFaults(const CommandInfo& command)
{
    CommandFaults faults;
    for (size_t i = 0; i < rules_.size();)
    {
        const FaultRule rule = rules_[i].rule;
        std::optional<FaultRule>* slot = nullptr;
        switch (rule.kind)
        {
        case FaultKind::FailCommand:
            slot = &faults.fail;
            break;
        case FaultKind::BadCswSignature:
            slot = &faults.badSignature;
            break;
        case FaultKind::BadCswTag:
            slot = &faults.badTag;
            break;
        case FaultKind::ShortCsw:
            slot = &faults.shortCsw;
            break;
        case FaultKind::PhaseErrorCsw:
            slot = &faults.phaseError;
            break;
        case FaultKind::ShortData:
            slot = &faults.shortData;
            break;
        case FaultKind::StallData:
            slot = &faults.stallData;
            break;
        case FaultKind::StallStatus:
            slot = &faults.stallStatus;
            break;
        case FaultKind::Vanish:
            slot = &faults.vanish;
            break;
        case FaultKind::GarbledCsw:
        case FaultKind::ForeignCsw:
            slot = &faults.outOfStep;
            break;
        case FaultKind::PaddedDataIn:
        case FaultKind::PartialWrite:
            slot = &faults.residue;
            break;
        case FaultKind::Hang:
            slot = &faults.hang;
            break;
        case FaultKind::Choke:
            break;
        }
        // The first matching rule of each kind fires; others of the same kind wait for later commands.
        if (slot && !slot->has_value() && Applies(rule, command) && Matches(rule.when, command))
        {
            *slot = rule;
            const size_t before = rules_.size();
            Fire(i);
            if (rules_.size() != before)
            {
                continue;
            }
        }
        ++i;
    }
    return faults;
}

bool FaultPlan::TakeChoke(const CommandInfo& command, uint64_t length)
{
    for (size_t i = 0; i < rules_.size(); ++i)
    {
        const FaultRule& rule = rules_[i].rule;
        if (rule.kind == FaultKind::Choke && length > rule.bytes && Matches(rule.when, command))
        {
            Fire(i);
            return true;
        }
    }
    return false;
}

} // namespace winsim::usb
