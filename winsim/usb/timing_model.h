// winsim: the modelled time of a USB 2.0 high-speed mass-storage device. Time is a virtual clock in
// nanoseconds, advanced only by what crosses the bus, so a run measures the same on every machine:
// each transfer (and each control request) costs one 125 µs microframe, each command wrapper 0.5 ms
// of device command overhead, and every byte its share of the effective bulk bandwidth (40 MB/s, below
// the 53.248 MB/s bus limit of 13 x 512 bytes per microframe). The "bound" is the payload over the
// bandwidth alone: the time no filter can beat. Not thread-safe: the device serialises its calls.
#pragma once

#include <cstdint>

namespace winsim::usb
{

struct TimingParameters
{
    uint64_t bytesPerSecond = 40'000'000;
    uint64_t commandOverheadNs = 500'000;
    uint64_t transferOverheadNs = 125'000;
};

struct TimingCounters
{
    uint64_t commands = 0;        // command wrappers accepted
    uint64_t transfers = 0;       // bulk transfers that reached the device
    uint64_t controlRequests = 0; // reset, clear halt, get max LUN
    uint64_t bytesIn = 0;         // device to host, wrappers included
    uint64_t bytesOut = 0;        // host to device, wrappers included
    uint64_t payloadBytes = 0;    // data-phase bytes only
    uint64_t virtualTimeNs = 0;
};

class TimingModel
{
public:
    explicit TimingModel(const TimingParameters& parameters = TimingParameters{});

    void SetParameters(const TimingParameters& parameters);
    const TimingParameters& Parameters() const { return parameters_; }
    const TimingCounters& Counters() const { return counters_; }
    void ResetCounters() { counters_ = TimingCounters{}; }

    void ChargeCommand();
    // One bulk transfer of `bytes`, of which `payloadBytes` belong to a data phase.
    void ChargeTransfer(uint64_t bytes, uint64_t payloadBytes, bool in);
    void ChargeControlRequest();

    // Payload over bandwidth alone.
    uint64_t BoundNs() const { return BytesToNs(counters_.payloadBytes); }
    uint64_t BytesToNs(uint64_t bytes) const;

private:
    TimingParameters parameters_;
    TimingCounters counters_;
};

} // namespace winsim::usb
