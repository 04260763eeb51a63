// winsim: the virtual clock of the simulated mass-storage device (see timing_model.h).
#include "winsim/usb/timing_model.h"

#include "winsim/usb/usb_misuse.h"

namespace winsim::usb
{

TimingModel::TimingModel(const TimingParameters& parameters)
{
    SetParameters(parameters);
}

// A zero bandwidth would divide by zero in every charge: refuse it where it is set.
void TimingModel::SetParameters(const TimingParameters& parameters)
{
    if (parameters.bytesPerSecond == 0)
    {
        throw MisuseError("timing model with zero bandwidth");
    }
    parameters_ = parameters;
}

void TimingModel::ChargeCommand()
{
    ++counters_.commands;
    counters_.virtualTimeNs += parameters_.commandOverheadNs;
}

void TimingModel::ChargeTransfer(uint64_t bytes, uint64_t payloadBytes, bool in)
{
    ++counters_.transfers;
    (in ? counters_.bytesIn : counters_.bytesOut) += bytes;
    counters_.payloadBytes += payloadBytes;
    counters_.virtualTimeNs += parameters_.transferOverheadNs + BytesToNs(bytes);
}

void TimingModel::ChargeControlRequest()
{
    ++counters_.controlRequests;
    counters_.virtualTimeNs += parameters_.transferOverheadNs;
}

// Rounded up, in 128-bit arithmetic so that terabytes at any bandwidth cannot overflow.
uint64_t TimingModel::BytesToNs(uint64_t bytes) const
{
    const unsigned __int128 scaled = (unsigned __int128)bytes * 1'000'000'000u;
    return uint64_t((scaled + parameters_.bytesPerSecond - 1) / parameters_.bytesPerSecond);
}

} // namespace winsim::usb
