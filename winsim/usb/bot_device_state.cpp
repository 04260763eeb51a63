// winsim: the simulated mass-storage device's state as tests and kavlab see and set it behind the bus
// (see bot_device.h): unplugging, halts and phase, fault rules, counters and the command log, the medium
// and the units. Every call takes the device's lock, as the transfers do.
#include "winsim/usb/bot_device.h"

#include "winsim/usb/usb_misuse.h"

namespace winsim::usb
{

void BulkOnlyDevice::Unplug()
{
    std::lock_guard<std::mutex> guard(lock_);
    gone_ = true;
}

bool BulkOnlyDevice::Gone() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return gone_;
}

bool BulkOnlyDevice::Halted(Pipe pipe) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return halted_[static_cast<int>(pipe)];
}

DevicePhase BulkOnlyDevice::Phase() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return phase_;
}

int BulkOnlyDevice::AddFault(const FaultRule& rule)
{
    std::lock_guard<std::mutex> guard(lock_);
    return faults_.Add(rule);
}

bool BulkOnlyDevice::RemoveFault(int id)
{
    std::lock_guard<std::mutex> guard(lock_);
    return faults_.Remove(id);
}

void BulkOnlyDevice::ClearFaults()
{
    std::lock_guard<std::mutex> guard(lock_);
    faults_.Clear();
}

uint64_t BulkOnlyDevice::FaultsFired() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return faults_.Fired();
}

size_t BulkOnlyDevice::FaultsPending() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return faults_.Pending();
}

TimingCounters BulkOnlyDevice::Counters() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return timing_.Counters();
}

uint64_t BulkOnlyDevice::BoundNs() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return timing_.BoundNs();
}

void BulkOnlyDevice::SetTiming(const TimingParameters& parameters)
{
    std::lock_guard<std::mutex> guard(lock_);
    timing_.SetParameters(parameters);
}

void BulkOnlyDevice::ResetCounters()
{
    std::lock_guard<std::mutex> guard(lock_);
    timing_.ResetCounters();
}

std::vector<CommandRecord> BulkOnlyDevice::CommandLog() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return log_;
}

// Clearing mid-command would orphan the record its status wrapper updates; only between commands.
void BulkOnlyDevice::ClearCommandLog()
{
    std::lock_guard<std::mutex> guard(lock_);
    if (phase_ != DevicePhase::Command)
    {
        throw MisuseError("command log cleared in the middle of a command");
    }
    log_.clear();
}

uint64_t BulkOnlyDevice::InvalidCommandWrappers() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return invalidCbws_;
}

uint64_t BulkOnlyDevice::PhaseErrors() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return phaseErrors_;
}

uint64_t BulkOnlyDevice::HostProtocolErrors() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return hostErrors_;
}

uint8_t BulkOnlyDevice::LunCount() const
{
    return target_.LunCount(); // fixed at construction
}

uint32_t BulkOnlyDevice::BlockLength(uint8_t lun) const
{
    return target_.BlockLength(lun); // fixed at construction
}

uint64_t BulkOnlyDevice::BlockCount(uint8_t lun) const
{
    return target_.BlockCount(lun); // fixed at construction
}

SenseData BulkOnlyDevice::PendingSense(uint8_t lun) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return target_.PendingSense(lun);
}

bool BulkOnlyDevice::RemovalPrevented(uint8_t lun) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return target_.RemovalPrevented(lun);
}

uint64_t BulkOnlyDevice::SynchronizeCount(uint8_t lun) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return target_.SynchronizeCount(lun);
}

void BulkOnlyDevice::ReadMedium(uint8_t lun, uint64_t offset, void* buffer, uint64_t length)
{
    std::lock_guard<std::mutex> guard(lock_);
    target_.Image(lun).Read(offset, buffer, length);
}

void BulkOnlyDevice::WriteMedium(uint8_t lun, uint64_t offset, const void* buffer, uint64_t length)
{
    std::lock_guard<std::mutex> guard(lock_);
    target_.Image(lun).Write(offset, buffer, length);
}

void BulkOnlyDevice::SetMediumPresent(uint8_t lun, bool present)
{
    std::lock_guard<std::mutex> guard(lock_);
    target_.SetMediumPresent(lun, present);
}

void BulkOnlyDevice::ChangeMedium(uint8_t lun)
{
    std::lock_guard<std::mutex> guard(lock_);
    target_.ChangeMedium(lun);
}

bool BulkOnlyDevice::UnitAttentionPending(uint8_t lun) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return target_.UnitAttentionPending(lun);
}

void BulkOnlyDevice::SetWriteProtected(uint8_t lun, bool writeProtected)
{
    std::lock_guard<std::mutex> guard(lock_);
    target_.SetWriteProtected(lun, writeProtected);
}

void BulkOnlyDevice::SetTransferHook(std::function<void(Pipe, uint32_t)> hook)
{
    std::lock_guard<std::mutex> guard(lock_);
    hook_ = std::move(hook);
}

} // namespace winsim::usb
