// kavlab demo: the README's main job. Until the simulated stick and the benchmark exist it says what is
// built so far instead of pretending to measure anything.
#include "commands.h"

#include <cstdio>

namespace kavlab
{
int RunDemo(int, char**)
{
    std::printf("kavlab demo: the simulated USB stick and the benchmark are not built yet.\n"
                "Built so far: Kavfiltr.sys (dist/), the driver spine and the checking kernel.\n");
    return 0;
}
} // namespace kavlab
