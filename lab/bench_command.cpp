// kavlab bench: one workload with and without the filter in one run, as a table or as one JSON object.
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
    std::fprintf(stderr,
                 "usage: kavlab bench --workload NAME [--json] [--request SIZE] [--total SIZE] [--lun N]\n"
                 "                    [--block-length BYTES] [--bandwidth BYTES_PER_S] [--command-cost NS]\n"
                 "                    [--transfer-cost NS] [--deferred] [--seed N]\n"
                 "workloads: seqread, seqread64k, seqwrite, seqwrite64k, random4k, random64k, stride,\n"
                 "           interleaved, seqread64k-smallgaps\n"
                 "sizes: 4096, 64K, 1M, 2G\n");
}

bool ParseNumber(const char* text, uint64_t& value)
{
    char* end = nullptr;
    value = std::strtoull(text, &end, 10);
    return end != text && *end == 0;
}
} // namespace

int RunBenchCommand(int argc, char** argv)
{
    BenchOptions options;
    bool json = false;
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
    if (!haveWorkload)
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
    if (options.workload.requestBytes % options.blockLength != 0 ||
        options.workload.requestBytes > (64ull << 20) ||
        options.workload.totalBytes < options.workload.requestBytes)
    {
        std::fprintf(stderr, "kavlab bench: the request must be a multiple of the block length, at most 64M, "
                             "and no larger than the total\n");
        return 2;
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
