// The benchmark behind `kavlab bench` and `kavlab demo`: one workload run on a simulated USB stick with
// and without Kavfiltr, in one process, measured by the device's own counters and virtual clock.
#pragma once

#include "winsim/usb/storage_rig.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kavlab
{

enum class Pattern
{
    SequentialRead,
    SequentialWrite,
    RandomRead,
    StrideRead,      // reads that skip one request's length between them
    InterleavedRead, // two sequential readers, one from the start and one from the middle, taking turns
    SmallGapsRead,   // a sequential reader with a 4 KiB read elsewhere every eighth read
    TwoStreamsRead,  // two readers on two threads at once, one in each half of the unit, each sequential
    CopyEngineRead,  // one sequential reader with two requests in flight at all times, as the copy engine
};

struct Workload
{
    std::string name;
    Pattern pattern = Pattern::SequentialRead;
    uint64_t requestBytes = 1 << 20;
    uint64_t totalBytes = 256ull << 20;
};

struct BenchOptions
{
    Workload workload;
    unsigned lun = 0;
    unsigned luns = 1;
    uint32_t blockLength = 512;
    winsim::usb::TimingParameters timing;
    winsim::usb::UrbCompletion completion = winsim::usb::UrbCompletion::Inline;
    uint32_t seed = 1;
    bool progress = false; // a progress line on stderr
};

// READ(10) and WRITE(10) commands and their bytes.
struct BlockCommandCounts
{
    uint64_t readCommands = 0;
    uint64_t writeCommands = 0;
    uint64_t bytesRead = 0;
    uint64_t bytesWritten = 0;
};

// What one run (filtered or not) measured.
struct RunResult
{
    bool filtered = false;
    double mebibytes = 0;
    double deviceCommandsPerMib = 0;
    double deviceReadMibPerMib = 0; // bytes the device sent for READ(10) commands per byte asked for
    double transfersPerMib = 0;
    double modelledMbPerS = 0;
    double boundMbPerS = 0;
    double hostCpuS = 0;
    bool dataVerified = false;
    uint64_t failedRequests = 0;
    uint64_t peakPoolBytesPerLun = 0; // the filter's pool while the workload ran
    // Opcode, LBA and blocks of every command, packed; sorted when several threads issued the requests,
    // since the order of their commands is then the scheduler's.
    std::vector<uint64_t> commandLog;
    // What the device saw of the workload's reads and writes, and, in the filtered run, what the filter
    // counted for the unit from its start: each value by name as the driver publishes it in the device's
    // hardware key, read there once the stack has stopped. A value missing there is left out.
    BlockCommandCounts deviceSaw;
    std::vector<std::pair<std::string, uint64_t>> filterCounters;
};

struct BenchResult
{
    std::string workload;
    RunResult filtered;
    RunResult unfiltered;
    // The device saw the same commands in both runs (in the same order where one thread issued them).
    bool sameCommands = false;
};

// Where a workload's requests go: a unit's top device, through whatever stack was built for it.
struct IoTarget
{
    std::function<NTSTATUS(void* buffer, ULONG length, ULONGLONG offset)> read;
    std::function<NTSTATUS(const void* buffer, ULONG length, ULONGLONG offset)> write;
    winsim::usb::BulkOnlyDevice* device = nullptr;
    unsigned lun = 0;
    uint64_t unitBytes = 0;
    unsigned units = 1; // for the pool share per unit
};

// The named workloads: seqread, seqread64k, seqwrite, seqwrite64k, random4k, random64k, stride, interleaved,
// seqread64k-smallgaps, twostreams, copyengine. False for another name.
bool FindWorkload(const std::string& name, Workload& workload);
// Runs the workload on a built stack: fills the medium for reads, resets the device's counters, issues the
// requests from application threads (one, or two for twostreams and copyengine), verifies every byte each
// thread got or wrote, and reads the counters. Sequential reads and writes cover the total exactly: the
// last request is shorter when the request size does not divide it. The target's read and write may be
// called from two threads at once.
RunResult RunWorkload(const BenchOptions& options, IoTarget& target, bool filtered);
RunResult RunOnce(const BenchOptions& options, bool filtered);
BenchResult RunBench(const BenchOptions& options);

void PrintBenchTable(const BenchResult& result);
void PrintBenchJson(const BenchResult& result);

// Parses "1M", "256K", "4096", "2G".
bool ParseSize(const std::string& text, uint64_t& bytes);

} // namespace kavlab
