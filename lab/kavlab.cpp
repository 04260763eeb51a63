// kavlab: runs the product's code on the simulated PC. Each subcommand lives in its own file and is
// listed here; until a subcommand is built, it says so instead of pretending.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    const char* command = argc > 1 ? argv[1] : "demo";
    if (std::strcmp(command, "demo") == 0)
    {
        std::printf("kavlab demo: the simulated USB stick and the benchmark are not built yet.\n"
                    "Built so far: Kavfiltr.sys (dist/), the driver spine and the checking kernel.\n");
        return 0;
    }
    std::fprintf(stderr, "kavlab: unknown command '%s' (commands: demo)\n", command);
    return 2;
}
