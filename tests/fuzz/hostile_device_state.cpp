// The scripted hostile device's class and control requests (resets, clear halt, Get Max LUN) and what the
// fuzz target reads from it after a run (see hostile_device.h).
#include "tests/fuzz/hostile_device.h"

#include <algorithm>

namespace kavfuzz
{

namespace wu = winsim::usb;

wu::TransferStatus HostileDevice::MassStorageReset()
{
    std::lock_guard<std::mutex> guard(lock_);
    if (!Step())
    {
        return wu::TransferStatus::DeviceGone;
    }
    awaitingReset_ = false;
    hanging_ = false;
    phase_ = Phase::Command;
    return wu::TransferStatus::Ok;
}

wu::TransferStatus HostileDevice::ClearHalt(wu::Pipe pipe)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (!Step())
    {
        return wu::TransferStatus::DeviceGone;
    }
    if (!awaitingReset_)
    {
        Halted(pipe) = false;
    }
    return wu::TransferStatus::Ok;
}

wu::TransferStatus HostileDevice::GetMaxLun(uint8_t* maxLun)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (!Step())
    {
        return wu::TransferStatus::DeviceGone;
    }
    if (answers_.stallMaxLun)
    {
        return wu::TransferStatus::Stall;
    }
    *maxLun = answers_.maxLun;
    return wu::TransferStatus::Ok;
}

wu::TransferStatus HostileDevice::PortReset()
{
    std::lock_guard<std::mutex> guard(lock_);
    if (!Step())
    {
        return wu::TransferStatus::DeviceGone;
    }
    phase_ = Phase::Command;
    awaitingReset_ = false;
    hanging_ = false;
    std::fill(std::begin(halted_), std::end(halted_), false);
    return wu::TransferStatus::Ok;
}

std::vector<AckedSpan> HostileDevice::Acknowledged() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return acked_;
}

std::string HostileDevice::ForeignWrite() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return foreignWrite_;
}

bool HostileDevice::StepLimitReached() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return steps_ > kStepLimit;
}

uint64_t HostileDevice::Steps() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return steps_;
}

} // namespace kavfuzz
