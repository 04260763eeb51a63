// kavlab: runs the product's code on the simulated PC. main only picks the subcommand.
#include "lab/commands.h"

#include <cstdio>
#include <cstring>

namespace
{
struct Command
{
    const char* name;
    int (*run)(int argc, char** argv);
    const char* summary;
};

const Command kCommands[] = {
    {"demo", kavlab::RunDemo, "the simulated PC with one USB stick, with and without the speed-up"},
    {"bench", kavlab::RunBenchCommand,
     "a workload with and without the filter: commands, modelled speed, CPU"},
    {"torture", kavlab::RunTorture, "seeded random I/O with faults against a reference copy"},
    {"enum", kavlab::RunEnum, "the device list and filter states of a machine description (JSON)"},
    {"kavset", kavlab::RunKavset, "Kavset's flow on a machine description: exit code, changes, restart"},
};

void PrintUsage()
{
    std::fprintf(stderr, "usage: kavlab COMMAND [options]\n\ncommands:\n");
    for (const Command& command : kCommands)
    {
        std::fprintf(stderr, "  %-8s %s\n", command.name, command.summary);
    }
}
} // namespace

int main(int argc, char** argv)
{
    const char* name = argc > 1 ? argv[1] : "demo";
    if (std::strcmp(name, "--help") == 0 || std::strcmp(name, "-h") == 0)
    {
        PrintUsage();
        return 0;
    }
    for (const Command& command : kCommands)
    {
        if (std::strcmp(name, command.name) == 0)
        {
            return command.run(argc > 1 ? argc - 2 : 0, argc > 1 ? argv + 2 : argv + argc);
        }
    }
    std::fprintf(stderr, "kavlab: unknown command '%s'\n\n", name);
    PrintUsage();
    return 2;
}
