// Runs a workload on a simulated stick, once through the plain storage stack and once with Kavfiltr in
// both of its stacks, and reads the device's counters and virtual clock: the speed is the model's, the
// same on every machine; only the host CPU time is measured, and only its ratio inside one run means
// anything.
#include "lab/bench.h"

#include "driver/kavfiltr_public.h"

#include "winsim/usb/disk_image.h"

#include "winsim/kernel/winsim_kernel.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>

namespace kavlab
{
namespace
{
namespace wu = winsim::usb;

// The medium's content before the run: every 8-byte word a function of its offset, so any read can be
// checked without a reference copy and any misplaced block shows.
uint64_t PatternWord(uint64_t offset, uint32_t seed)
{
    return (offset + 1) * 0x9E3779B97F4A7C15ull ^ (uint64_t(seed) << 32 | seed);
}

void FillPattern(uint8_t* buffer, uint64_t length, uint64_t offset, uint32_t seed)
{
    for (uint64_t at = 0; at < length; at += 8)
    {
        uint64_t word = PatternWord(offset + at, seed);
        std::memcpy(buffer + at, &word, 8);
    }
}

bool MatchesPattern(const uint8_t* buffer, uint64_t length, uint64_t offset, uint32_t seed)
{
    for (uint64_t at = 0; at < length; at += 8)
    {
        uint64_t word;
        std::memcpy(&word, buffer + at, 8);
        if (word != PatternWord(offset + at, seed))
        {
            return false;
        }
    }
    return true;
}

double ProcessCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

uint64_t UnitBytes(const BenchOptions& options)
{
    // Room for the workload and a little beyond, so that sequential runs never touch the unit's end; a
    // strided reader covers twice what it reads.
    uint64_t span = options.workload.totalBytes * (options.workload.pattern == Pattern::StrideRead ? 2 : 1);
    uint64_t bytes = std::max<uint64_t>(span + (4 << 20), 64 << 20);
    return (bytes + options.blockLength - 1) / options.blockLength * options.blockLength;
}

wu::StorageRigOptions RigOptions(const BenchOptions& options, bool filtered)
{
    wu::StorageRigOptions rig;
    for (unsigned lun = 0; lun < std::max(options.luns, options.lun + 1); ++lun)
    {
        wu::LunConfig config;
        config.image = std::make_shared<wu::MemoryDiskImage>(UnitBytes(options));
        config.blockLength = options.blockLength;
        rig.device.luns.push_back(config);
    }
    rig.device.timing = options.timing;
    rig.completion = options.completion;
    rig.filtered = filtered;
    if (filtered)
    {
        rig.filterService = KAVFILTR_SERVICE_NAME;
        rig.filterEntry = DriverEntry;
    }
    return rig;
}

// The small reads between a reader's own: about 4 KiB, whole blocks.
uint64_t SmallReadBytes(const BenchOptions& options)
{
    return (4096 + options.blockLength - 1) / options.blockLength * options.blockLength;
}

// Where the workload's request number `index` goes, and how long it is (the request size unless said).
void NextRequest(const BenchOptions& options, uint64_t unitBytes, uint64_t index, std::mt19937_64& random,
                 uint64_t& offset, uint64_t& length)
{
    const uint64_t request = options.workload.requestBytes;
    switch (options.workload.pattern)
    {
    case Pattern::RandomRead:
        offset = random() % ((unitBytes - request) / request + 1) * request;
        break;
    case Pattern::StrideRead:
        offset = index * 2 * request;
        break;
    case Pattern::InterleavedRead: {
        // The second reader starts in the middle of the unit, as a second file elsewhere would.
        uint64_t middle = unitBytes / 2 / request * request;
        offset = (index % 2) * middle + index / 2 * request;
        break;
    }
    case Pattern::SmallGapsRead: {
        // Seven reads of the file, then one block-sized read of about 4 KiB in a metadata area near the
        // unit's end, each at its own place.
        const uint64_t small = SmallReadBytes(options);
        if (index % 8 == 7)
        {
            length = small;
            offset = unitBytes - (2 << 20) + (index / 8 * small) % (1 << 20);
        }
        else
        {
            offset = (index - index / 8) * request;
        }
        break;
    }
    default:
        offset = index * request;
        break;
    }
}

void ShowProgress(const BenchOptions& options, bool filtered, uint64_t done, uint64_t total)
{
    if (options.progress)
    {
        std::fprintf(stderr, "\r%-12s %-10s %3" PRIu64 "%%", options.workload.name.c_str(),
                     filtered ? "filtered" : "unfiltered", done * 100 / std::max<uint64_t>(total, 1));
        std::fflush(stderr);
    }
}
} // namespace

bool FindWorkload(const std::string& name, Workload& workload)
{
    const Workload known[] = {
        {"seqread", Pattern::SequentialRead, 1 << 20, 256ull << 20},
        {"seqread64k", Pattern::SequentialRead, 64 << 10, 256ull << 20},
        {"seqwrite", Pattern::SequentialWrite, 1 << 20, 256ull << 20},
        {"seqwrite64k", Pattern::SequentialWrite, 64 << 10, 256ull << 20},
        {"random4k", Pattern::RandomRead, 4 << 10, 16ull << 20},
        {"random64k", Pattern::RandomRead, 64 << 10, 64ull << 20},
        {"stride", Pattern::StrideRead, 64 << 10, 64ull << 20},
        {"interleaved", Pattern::InterleavedRead, 64 << 10, 256ull << 20},
        {"seqread64k-smallgaps", Pattern::SmallGapsRead, 64 << 10, 256ull << 20},
    };
    for (const Workload& candidate : known)
    {
        if (candidate.name == name)
        {
            workload = candidate;
            return true;
        }
    }
    return false;
}

RunResult RunWorkload(const BenchOptions& options, IoTarget& target, bool filtered)
{
    RunResult result;
    result.filtered = filtered;
    const Workload& workload = options.workload;
    const uint64_t request = workload.requestBytes;
    const uint64_t requests = workload.totalBytes / request;
    const uint64_t unitBytes = target.unitBytes;
    wu::BulkOnlyDevice& device = *target.device;
    // Room for the largest request, which may be a small read bigger than a tiny request size.
    std::vector<uint8_t> buffer(std::max(request, SmallReadBytes(options)));
    // The medium starts with the pattern; writes put a pattern of another seed over it.
    if (workload.pattern != Pattern::SequentialWrite)
    {
        std::vector<uint8_t> chunk(1 << 20);
        for (uint64_t at = 0; at < unitBytes; at += chunk.size())
        {
            uint64_t length = std::min<uint64_t>(chunk.size(), unitBytes - at);
            FillPattern(chunk.data(), length, at, options.seed);
            device.WriteMedium(uint8_t(target.lun), at, chunk.data(), length);
        }
    }
    device.ResetCounters();
    device.ClearCommandLog();

    std::mt19937_64 random(options.seed);
    bool verified = true;
    uint64_t bytesMoved = 0;
    wu::ScopedApplicationThread application(1);
    double cpuStart = ProcessCpuSeconds();
    for (uint64_t i = 0; i < requests; ++i)
    {
        uint64_t offset = 0;
        uint64_t length = request;
        NextRequest(options, unitBytes, i, random, offset, length);
        bytesMoved += length;
        NTSTATUS status;
        if (workload.pattern == Pattern::SequentialWrite)
        {
            FillPattern(buffer.data(), length, offset, options.seed + 1);
            status = target.write(buffer.data(), ULONG(length), offset);
        }
        else
        {
            status = target.read(buffer.data(), ULONG(length), offset);
            verified =
                verified && NT_SUCCESS(status) && MatchesPattern(buffer.data(), length, offset, options.seed);
        }
        if (!NT_SUCCESS(status))
        {
            ++result.failedRequests;
            verified = false;
        }
        result.peakPoolBytesPerLun = std::max<uint64_t>(
            result.peakPoolBytesPerLun, winsim::PoolStats(KAVFILTR_POOL_TAG).outstandingBytes);
        if (i % 64 == 0)
        {
            ShowProgress(options, filtered, i, requests);
        }
    }
    result.hostCpuS = ProcessCpuSeconds() - cpuStart;
    ShowProgress(options, filtered, requests, requests);
    if (options.progress)
    {
        std::fprintf(stderr, "\n");
    }

    if (workload.pattern == Pattern::SequentialWrite)
    {
        std::vector<uint8_t> check(1 << 20);
        for (uint64_t at = 0; at < bytesMoved && verified; at += check.size())
        {
            uint64_t length = std::min<uint64_t>(check.size(), bytesMoved - at);
            device.ReadMedium(uint8_t(target.lun), at, check.data(), length);
            verified = MatchesPattern(check.data(), length, at, options.seed + 1);
        }
    }
    result.dataVerified = verified;

    const wu::TimingCounters counters = device.Counters();
    result.mebibytes = double(bytesMoved) / double(1 << 20);
    result.deviceCommandsPerMib = double(counters.commands) / result.mebibytes;
    result.transfersPerMib = double(counters.transfers) / result.mebibytes;
    double seconds = double(counters.virtualTimeNs) / 1e9;
    double boundSeconds = double(device.BoundNs()) / 1e9;
    result.modelledMbPerS = seconds > 0 ? double(bytesMoved) / seconds / 1e6 : 0;
    result.boundMbPerS = boundSeconds > 0 ? double(bytesMoved) / boundSeconds / 1e6 : 0;
    for (const wu::CommandRecord& record : device.CommandLog())
    {
        result.commandLog.push_back(uint64_t(record.opcode) << 56 | uint64_t(record.lun) << 48 |
                                    uint64_t(record.blocks) << 32 | record.lba);
    }
    result.peakPoolBytesPerLun /= std::max(target.units, 1u);
    return result;
}

RunResult RunOnce(const BenchOptions& options, bool filtered)
{
    winsim::ResetKernel();
    RunResult result;
    {
        wu::StorageRig rig(RigOptions(options, filtered));
        IoTarget target;
        target.read = [&](void* buffer, ULONG length, ULONGLONG offset) {
            return rig.Read(options.lun, buffer, length, offset).status;
        };
        target.write = [&](const void* buffer, ULONG length, ULONGLONG offset) {
            return rig.Write(options.lun, buffer, length, offset).status;
        };
        target.device = &rig.Device();
        target.lun = options.lun;
        target.unitBytes = UnitBytes(options);
        target.units = unsigned(rig.LunCount());
        result = RunWorkload(options, target, filtered);
    }
    winsim::ResetKernel();
    return result;
}

BenchResult RunBench(const BenchOptions& options)
{
    BenchResult result;
    result.workload = options.workload.name;
    result.unfiltered = RunOnce(options, false);
    result.filtered = RunOnce(options, true);
    result.sameCommands = result.filtered.commandLog == result.unfiltered.commandLog;
    return result;
}

void PrintBenchTable(const BenchResult& result)
{
    std::printf("workload %s (%.0f MiB)\n", result.workload.c_str(), result.unfiltered.mebibytes);
    std::printf("%-12s %14s %14s %14s %14s %12s %9s\n", "", "commands/MiB", "transfers/MiB", "modelled MB/s",
                "bound MB/s", "host CPU s", "verified");
    for (const RunResult* run : {&result.unfiltered, &result.filtered})
    {
        std::printf("%-12s %14.2f %14.2f %14.2f %14.2f %12.3f %9s\n",
                    run->filtered ? "filtered" : "unfiltered", run->deviceCommandsPerMib,
                    run->transfersPerMib, run->modelledMbPerS, run->boundMbPerS, run->hostCpuS,
                    run->dataVerified ? "yes" : "NO");
    }
    double gain = result.unfiltered.modelledMbPerS > 0
                      ? result.filtered.modelledMbPerS / result.unfiltered.modelledMbPerS
                      : 0;
    double cpu = result.unfiltered.hostCpuS > 0 ? result.filtered.hostCpuS / result.unfiltered.hostCpuS : 0;
    std::printf("gain %.2fx, host CPU ratio %.2f, same device commands: %s, filter pool per unit: %" PRIu64
                " bytes\n",
                gain, cpu, result.sameCommands ? "yes" : "no", result.filtered.peakPoolBytesPerLun);
}

void PrintBenchJson(const BenchResult& result)
{
    auto run = [](const RunResult& r) {
        std::printf(
            "{\"device_commands_per_mib\": %.4f, \"transfers_per_mib\": %.4f, \"modelled_mb_per_s\": %.4f, "
            "\"bound_mb_per_s\": %.4f, \"host_cpu_s\": %.6f, \"data_verified\": %s, "
            "\"failed_requests\": %" PRIu64 ", \"peak_pool_bytes_per_lun\": %" PRIu64 "}",
            r.deviceCommandsPerMib, r.transfersPerMib, r.modelledMbPerS, r.boundMbPerS, r.hostCpuS,
            r.dataVerified ? "true" : "false", r.failedRequests, r.peakPoolBytesPerLun);
    };
    std::printf("{\"workload\": \"%s\", \"mebibytes\": %.2f, \"same_device_commands\": %s, \"filtered\": ",
                result.workload.c_str(), result.unfiltered.mebibytes, result.sameCommands ? "true" : "false");
    run(result.filtered);
    std::printf(", \"unfiltered\": ");
    run(result.unfiltered);
    std::printf("}\n");
}

bool ParseSize(const std::string& text, uint64_t& bytes)
{
    char* end = nullptr;
    unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (end == text.c_str())
    {
        return false;
    }
    std::string suffix(end);
    uint64_t scale = 1;
    if (suffix == "K" || suffix == "k" || suffix == "KiB")
    {
        scale = 1 << 10;
    }
    else if (suffix == "M" || suffix == "m" || suffix == "MiB")
    {
        scale = 1 << 20;
    }
    else if (suffix == "G" || suffix == "g" || suffix == "GiB")
    {
        scale = 1 << 30;
    }
    else if (!suffix.empty())
    {
        return false;
    }
    bytes = value * scale;
    return bytes != 0;
}

} // namespace kavlab
