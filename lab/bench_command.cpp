// kavlab bench: one workload with and without the filter in one run, as a table or as one JSON object; or
// the workload with the filter at every request size of a sweep, one row each.
#include "lab/bench.h"
#include "lab/commands.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace kavlab
{
namespace
{
void PrintBenchUsage()
{
    std::fprintf(
        stderr,
        "usage: kavlab bench --workload NAME [--json | --sweep-request] [--request SIZE] [--total SIZE]\n"
        "                    [--lun N] [--block-length BYTES] [--bandwidth BYTES_PER_S]\n"
        "                    [--command-cost NS] [--transfer-cost NS] [--deferred] [--seed N]\n"
        "workloads: seqread, seqread64k, seqwrite, seqwrite64k, random4k, random64k, stride,\n"
        "           interleaved, seqread64k-smallgaps, twostreams, copyengine\n"
        "--sweep-request: the workload with the filter only, at every request size from 64K to 1M\n"
        "                 in steps of 16K, one row each\n"
        "sizes: 4096, 64K, 1M, 2G\n");
}

bool ParseNumber(const char* text, uint64_t& value)
{
    char* end = nullptr;
    value = std::strtoull(text, &end, 10);
    return end != text && *end == 0;
}

// The request sizes where the filter's read-ahead and the class driver's 64 KiB pieces meet in every way:
// whole pieces, a piece and a part, and up to sixteen pieces.
constexpr uint64_t kSweepFirst = 64 << 10;
constexpr uint64_t kSweepLast = 1 << 20;
constexpr uint64_t kSweepStep = 16 << 10;

// Exit code 0 when every run verified its data.
int RunSweep(BenchOptions options)
{
    std::printf("workload %s with the filter (%.0f MiB per request size)\n", options.workload.name.c_str(),
                double(options.workload.totalBytes) / double(1 << 20));
    std::printf("%-10s %14s %14s %14s %9s\n", "request", "commands/MiB", "read MiB/MiB", "modelled MB/s",
                "verified");
    bool verified = true;
    for (uint64_t request = kSweepFirst; request <= kSweepLast; request += kSweepStep)
    {
        options.workload.requestBytes = request;
        RunResult run = RunOnce(options, true);
        verified = verified && run.dataVerified;
        std::printf("%-10s %14.2f %14.3f %14.2f %9s\n", (std::to_string(request >> 10) + "K").c_str(),
                    run.deviceCommandsPerMib, run.deviceReadMibPerMib, run.modelledMbPerS,
                    run.dataVerified ? "yes" : "NO");
        std::fflush(stdout);
    }
    return verified ? 0 : 1;
}
} // namespace

int RunBenchCommand(int argc, char** argv)
{
    BenchOptions options;
    bool json = false;
    bool sweep = false;
    bool haveWorkload = false;
    uint64_t request = 0;
    uint64_t total = 0;
    for (int i = 0; i < argc; ++i)
    {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        uint64_t number = 0;
        bool ok = true;
        if (arg == "--json")
        {
            json = true;
            continue;
        }
        if (arg == "--sweep-request")
        {
            sweep = true;
            continue;
        }
        if (arg == "--deferred")
        {
            options.completion = winsim::usb::UrbCompletion::Deferred;
            continue;
        }
        if (value == nullptr)
        {
            ok = false;
        }
        else if (arg == "--workload")
        {
            ok = haveWorkload = FindWorkload(value, options.workload);
        }
        else if (arg == "--request")
        {
            ok = ParseSize(value, request);
        }
        else if (arg == "--total")
        {
            ok = ParseSize(value, total);
        }
        else if (arg == "--lun" && (ok = ParseNumber(value, number)) && number < 8)
        {
            options.lun = unsigned(number);
        }
        else if (arg == "--block-length" && (ok = ParseNumber(value, number)))
        {
            ok = number == 512 || number == 1024 || number == 2048 || number == 4096;
            options.blockLength = uint32_t(number);
        }
        else if (arg == "--bandwidth" && (ok = ParseNumber(value, number)) && number > 0)
        {
            options.timing.bytesPerSecond = number;
        }
        else if (arg == "--command-cost" && (ok = ParseNumber(value, number)))
        {
            options.timing.commandOverheadNs = number;
        }
        else if (arg == "--transfer-cost" && (ok = ParseNumber(value, number)))
        {
            options.timing.transferOverheadNs = number;
        }
        else if (arg == "--seed" && (ok = ParseNumber(value, number)))
        {
            options.seed = uint32_t(number);
        }
        else
        {
            ok = false;
        }
        if (!ok)
        {
            std::fprintf(stderr, "kavlab bench: bad option or value: %s %s\n", arg.c_str(),
                         value ? value : "");
            PrintBenchUsage();
            return 2;
        }
        ++i;
    }
    if (!haveWorkload || (sweep && (json || request != 0)))
    {
        PrintBenchUsage();
        return 2;
    }
    if (request != 0)
    {
        options.workload.requestBytes = request;
    }
    if (total != 0)
    {
        options.workload.totalBytes = total;
    }
    // A sweep's largest request must fit in the total as a single request does.
    const uint64_t largest = sweep ? kSweepLast : options.workload.requestBytes;
    if (options.workload.requestBytes % options.blockLength != 0 ||
        options.workload.totalBytes % options.blockLength != 0 || largest > (64ull << 20) ||
        options.workload.totalBytes < largest)
    {
        std::fprintf(stderr, "kavlab bench: the request and the total must be multiples of the block length, "
                             "the request at most 64M and no larger than the total\n");
        return 2;
    }
    if (sweep)
    {
        return RunSweep(options);
    }
    options.progress = !json && isatty(STDERR_FILENO);
    BenchResult result = RunBench(options);
    if (json)
    {
        PrintBenchJson(result);
    }
    else
    {
        PrintBenchTable(result);
    }
    return result.filtered.dataVerified && result.unfiltered.dataVerified ? 0 : 1;
}
} // namespace kavlab
