// Runs a workload on a simulated stick, once through the plain storage stack and once with Kavfiltr in
// both of its stacks, and reads the device's counters and virtual clock: the speed is the model's, the
// same on every machine; only the host CPU time is measured, and only its ratio inside one run means
// anything.
#include "lab/bench.h"

#include "driver/kavfiltr_counters.h"
#include "driver/kavfiltr_public.h"

#include "winsim/usb/disk_image.h"

#include "winsim/kernel/winsim_kernel.h"
#include "winsim/registry/registry_store.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <random>
#include <thread>

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

// One request of a workload.
struct Request
{
    uint64_t offset = 0;
    uint64_t length = 0;
};

// A workload's requests: one list per reader or writer, each issued in its order by `threadsPerList`
// threads that take the list's next request from a counter they share.
struct RequestPlan
{
    std::vector<std::vector<Request>> lists;
    unsigned threadsPerList = 1;
};

// `bytes` from `start` in requests of `request` bytes; the last one is shorter when `request` does not
// divide `bytes`, so that the reader asks for exactly what it was told to.
void AppendSequential(std::vector<Request>& list, uint64_t start, uint64_t bytes, uint64_t request)
{
    for (uint64_t at = 0; at < bytes; at += request)
    {
        list.push_back({start + at, std::min(request, bytes - at)});
    }
}

RequestPlan PlanRequests(const BenchOptions& options, uint64_t unitBytes)
{
    const Workload& workload = options.workload;
    const uint64_t request = workload.requestBytes;
    RequestPlan plan;
    plan.lists.resize(1);
    switch (workload.pattern)
    {
    case Pattern::SequentialRead:
    case Pattern::SequentialWrite:
        AppendSequential(plan.lists[0], 0, workload.totalBytes, request);
        break;
    case Pattern::CopyEngineRead:
        // The copy engine keeps two reads of the file in flight: while the device serves one, the next is
        // already queued below it.
        AppendSequential(plan.lists[0], 0, workload.totalBytes, request);
        plan.threadsPerList = 2;
        break;
    case Pattern::TwoStreamsRead: {
        // Two readers, each of its own file, the files half a unit apart; each asks for half the total.
        const uint64_t first = workload.totalBytes / 2 / options.blockLength * options.blockLength;
        plan.lists.resize(2);
        AppendSequential(plan.lists[0], 0, first, request);
        AppendSequential(plan.lists[1], unitBytes / 2 / request * request, workload.totalBytes - first,
                         request);
        break;
    }
    default: {
        // Whole requests only: their places are counted in requests.
        std::mt19937_64 random(options.seed);
        for (uint64_t i = 0; i < workload.totalBytes / request; ++i)
        {
            Request next{0, request};
            NextRequest(options, unitBytes, i, random, next.offset, next.length);
            plan.lists[0].push_back(next);
        }
        break;
    }
    }
    return plan;
}

// Requests done so far, for the progress line; any issuing thread may show it.
class Progress
{
public:
    Progress(const BenchOptions& options, bool filtered, uint64_t total)
        : options_(options), filtered_(filtered), total_(total)
    {
    }

    void Done()
    {
        uint64_t done = done_.fetch_add(1) + 1;
        if (done % 64 == 0)
        {
            Show(done);
        }
    }

    void Show(uint64_t done) const
    {
        if (options_.progress)
        {
            std::fprintf(stderr, "\r%-12s %-10s %3" PRIu64 "%%", options_.workload.name.c_str(),
                         filtered_ ? "filtered" : "unfiltered", done * 100 / std::max<uint64_t>(total_, 1));
            std::fflush(stderr);
        }
    }

private:
    const BenchOptions& options_;
    bool filtered_;
    uint64_t total_;
    std::atomic<uint64_t> done_{0};
};

// What one issuing thread saw of the requests it issued.
struct IssuerTally
{
    bool verified = true;
    uint64_t failedRequests = 0;
    uint64_t peakPoolBytes = 0;
    std::exception_ptr error; // a broken rule of the simulation, rethrown on the bench's own thread
};

// One application thread issuing requests of `list`, the next one whichever `next` names, into its own
// buffer: what it reads is checked against the medium's pattern before another request can reuse it.
void Issue(const BenchOptions& options, IoTarget& target, const std::vector<Request>& list,
           std::atomic<size_t>& next, unsigned identity, Progress& progress, IssuerTally& tally)
{
    const Workload& workload = options.workload;
    wu::ScopedApplicationThread application(identity);
    uint64_t largest = 0;
    for (const Request& request : list)
    {
        largest = std::max(largest, request.length);
    }
    std::vector<uint8_t> buffer(largest);
    for (size_t i = next.fetch_add(1); i < list.size(); i = next.fetch_add(1))
    {
        const Request& request = list[i];
        NTSTATUS status;
        if (workload.pattern == Pattern::SequentialWrite)
        {
            FillPattern(buffer.data(), request.length, request.offset, options.seed + 1);
            status = target.write(buffer.data(), ULONG(request.length), request.offset);
        }
        else
        {
            status = target.read(buffer.data(), ULONG(request.length), request.offset);
            tally.verified = tally.verified && NT_SUCCESS(status) &&
                             MatchesPattern(buffer.data(), request.length, request.offset, options.seed);
        }
        if (!NT_SUCCESS(status))
        {
            ++tally.failedRequests;
            tally.verified = false;
        }
        tally.peakPoolBytes =
            std::max<uint64_t>(tally.peakPoolBytes, winsim::PoolStats(KAVFILTR_POOL_TAG).outstandingBytes);
        progress.Done();
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
        {"twostreams", Pattern::TwoStreamsRead, 1 << 20, 256ull << 20},
        {"copyengine", Pattern::CopyEngineRead, 1 << 20, 256ull << 20},
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
    const uint64_t unitBytes = target.unitBytes;
    wu::BulkOnlyDevice& device = *target.device;
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
    const RequestPlan plan = PlanRequests(options, unitBytes);
    uint64_t requests = 0;
    uint64_t bytesAsked = 0;
    for (const std::vector<Request>& list : plan.lists)
    {
        requests += list.size();
        for (const Request& request : list)
        {
            bytesAsked += request.length;
        }
    }
    const bool concurrent = plan.lists.size() > 1 || plan.threadsPerList > 1;
    device.ResetCounters();
    device.ClearCommandLog();

    // Each list's threads share its counter; each thread has the application identity of its list (two
    // readers are two threads, the copy engine's two requests come from the one thread that issued both).
    Progress progress(options, filtered, requests);
    std::vector<std::atomic<size_t>> next(plan.lists.size());
    std::vector<IssuerTally> tallies(plan.lists.size() * plan.threadsPerList);
    double cpuStart = ProcessCpuSeconds();
    if (!concurrent)
    {
        Issue(options, target, plan.lists[0], next[0], 1, progress, tallies[0]);
    }
    else
    {
        std::vector<std::thread> threads;
        for (size_t t = 0; t < tallies.size(); ++t)
        {
            const size_t list = t / plan.threadsPerList;
            threads.emplace_back([&, t, list] {
                try
                {
                    Issue(options, target, plan.lists[list], next[list], unsigned(1 + list), progress,
                          tallies[t]);
                }
                catch (...)
                {
                    tallies[t].error = std::current_exception();
                }
            });
        }
        for (std::thread& thread : threads)
        {
            thread.join();
        }
    }
    result.hostCpuS = ProcessCpuSeconds() - cpuStart;
    progress.Show(requests);
    if (options.progress)
    {
        std::fprintf(stderr, "\n");
    }
    bool verified = true;
    for (const IssuerTally& tally : tallies)
    {
        if (tally.error)
        {
            std::rethrow_exception(tally.error);
        }
        verified = verified && tally.verified;
        result.failedRequests += tally.failedRequests;
        result.peakPoolBytesPerLun = std::max(result.peakPoolBytesPerLun, tally.peakPoolBytes);
    }

    if (workload.pattern == Pattern::SequentialWrite)
    {
        std::vector<uint8_t> check(1 << 20);
        for (uint64_t at = 0; at < bytesAsked && verified; at += check.size())
        {
            uint64_t length = std::min<uint64_t>(check.size(), bytesAsked - at);
            device.ReadMedium(uint8_t(target.lun), at, check.data(), length);
            verified = MatchesPattern(check.data(), length, at, options.seed + 1);
        }
    }
    result.dataVerified = verified;

    // The virtual clock moves only with what crosses the bus, and the device takes one command at a time
    // (the function driver sends the next only after the last one's status), so with two threads it is the
    // sum of the commands and transfers both readers caused: the device's busy time. The host's own time
    // is free in the model, so the second request in flight overlaps nothing; what the two threads change
    // is which commands the device gets and how many bytes it reads for them.
    const wu::TimingCounters counters = device.Counters();
    result.mebibytes = double(bytesAsked) / double(1 << 20);
    result.deviceCommandsPerMib = double(counters.commands) / result.mebibytes;
    result.transfersPerMib = double(counters.transfers) / result.mebibytes;
    double seconds = double(counters.virtualTimeNs) / 1e9;
    double boundSeconds = double(device.BoundNs()) / 1e9;
    result.modelledMbPerS = seconds > 0 ? double(bytesAsked) / seconds / 1e6 : 0;
    result.boundMbPerS = boundSeconds > 0 ? double(bytesAsked) / boundSeconds / 1e6 : 0;
    uint64_t bytesRead = 0;
    for (const wu::CommandRecord& record : device.CommandLog())
    {
        const uint64_t bytes = uint64_t(record.blocks) * device.BlockLength(record.lun);
        if (record.opcode == wu::scsi::kRead10)
        {
            bytesRead += bytes;
            ++result.deviceSaw.readCommands;
            result.deviceSaw.bytesRead += bytes;
        }
        else if (record.opcode == wu::scsi::kWrite10)
        {
            ++result.deviceSaw.writeCommands;
            result.deviceSaw.bytesWritten += bytes;
        }
        result.commandLog.push_back(uint64_t(record.opcode) << 56 | uint64_t(record.lun) << 48 |
                                    uint64_t(record.blocks) << 32 | record.lba);
    }
    result.deviceReadMibPerMib = double(bytesRead) / double(bytesAsked);
    if (concurrent)
    {
        std::sort(result.commandLog.begin(), result.commandLog.end());
    }
    result.peakPoolBytesPerLun /= std::max(target.units, 1u);
    return result;
}

namespace
{
// The unit's values in the USB node's hardware key, as a reader of the key finds them.
std::vector<std::pair<std::string, uint64_t>> ReadFilterCounters(const std::u16string& instancePath,
                                                                 unsigned lun)
{
    const char16_t* const names[] = KAVFILTR_COUNTER_NAMES;
    const std::string unit = std::to_string(lun);
    const std::u16string subkey =
        std::u16string(KAVFILTR_COUNTERS_KEY) + u"\\" + std::u16string(unit.begin(), unit.end());
    std::vector<std::pair<std::string, uint64_t>> counters;
    for (const char16_t* name : names)
    {
        auto value = winsim::registry::Read(instancePath, subkey, name);
        if (value && value->type == REG_QWORD && value->data.size() == sizeof(uint64_t))
        {
            uint64_t number = 0;
            std::memcpy(&number, value->data.data(), sizeof(number));
            const std::u16string wide(name);
            counters.emplace_back(std::string(wide.begin(), wide.end()), number);
        }
    }
    return counters;
}
} // namespace

RunResult RunOnce(const BenchOptions& options, bool filtered)
{
    winsim::ResetKernel();
    RunResult result;
    std::u16string instancePath;
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
        instancePath = rig.UsbInstancePath();
    }
    if (filtered)
    {
        result.filterCounters = ReadFilterCounters(instancePath, options.lun);
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
    std::printf("%-12s %14s %14s %14s %14s %14s %12s %9s\n", "", "commands/MiB", "read MiB/MiB",
                "transfers/MiB", "modelled MB/s", "bound MB/s", "host CPU s", "verified");
    for (const RunResult* run : {&result.unfiltered, &result.filtered})
    {
        std::printf("%-12s %14.2f %14.3f %14.2f %14.2f %14.2f %12.3f %9s\n",
                    run->filtered ? "filtered" : "unfiltered", run->deviceCommandsPerMib,
                    run->deviceReadMibPerMib, run->transfersPerMib, run->modelledMbPerS, run->boundMbPerS,
                    run->hostCpuS, run->dataVerified ? "yes" : "NO");
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
        std::printf("{\"device_commands_per_mib\": %.4f, \"device_read_mib_per_mib\": %.4f, "
                    "\"transfers_per_mib\": %.4f, \"modelled_mb_per_s\": %.4f, \"bound_mb_per_s\": %.4f, "
                    "\"host_cpu_s\": %.6f, \"data_verified\": %s, \"failed_requests\": %" PRIu64
                    ", \"peak_pool_bytes_per_lun\": %" PRIu64,
                    r.deviceCommandsPerMib, r.deviceReadMibPerMib, r.transfersPerMib, r.modelledMbPerS,
                    r.boundMbPerS, r.hostCpuS, r.dataVerified ? "true" : "false", r.failedRequests,
                    r.peakPoolBytesPerLun);
        // The filter's own account beside the device's, so that each can be checked against the other.
        const BlockCommandCounts& saw = r.deviceSaw;
        std::printf(", \"device_saw\": {\"read_commands\": %" PRIu64 ", \"write_commands\": %" PRIu64
                    ", \"bytes_read\": %" PRIu64 ", \"bytes_written\": %" PRIu64 "}",
                    saw.readCommands, saw.writeCommands, saw.bytesRead, saw.bytesWritten);
        if (r.filtered)
        {
            std::printf(", \"filter_counters\": {");
            const char* separator = "";
            for (const auto& [name, value] : r.filterCounters)
            {
                std::printf("%s\"%s\": %" PRIu64, separator, name.c_str(), value);
                separator = ", ";
            }
            std::printf("}");
        }
        std::printf("}");
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
