// kavlab torture: the run's options and the stick both modes run on (two units: a 512-byte-block stick and
// a card reader with 2048-byte blocks), shared by the one-request-at-a-time run and the concurrent one.
#pragma once

#include "winsim/kernel/winsim_kernel.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace kavlab
{

constexpr unsigned kTortureUnits = 2;
constexpr uint64_t kTortureUnitBytes = 48ull << 20;
constexpr uint32_t kTortureBlockLengths[kTortureUnits] = {512, 2048};
// The unit of the card reader: the one whose medium changes.
constexpr unsigned kCardReaderUnit = 1;
// A request that has not ended by then is a hang.
constexpr std::chrono::milliseconds kTortureRequestLimit{30000};

struct TortureOptions
{
    uint64_t seed = 1;
    uint64_t ops = 2000;
    unsigned faults = 1; // 0: none; 1: device faults, pool failures and the hardening families
    bool json = false;
    std::string only;     // --only KIND: one family (or one once-only fault kind) instead of all of them
    bool filtered = true; // --filter 0: the same run on the stack without the filter, to calibrate the checks
    // Application threads per unit; 1: one request at a time on the whole stick.
    unsigned threads = 3;
    // The filter loaded into the stacks in Kavfiltr's place (a test's own); Kavfiltr when empty.
    std::u16string filterService;
    winsim::DriverEntryRoutine filterEntry;
};

} // namespace kavlab
