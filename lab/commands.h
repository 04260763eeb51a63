// The subcommands of kavlab. Each lives in its own file and takes the arguments after its name.
#pragma once

namespace kavlab
{
int RunDemo(int argc, char** argv);
int RunEnum(int argc, char** argv);
int RunBenchCommand(int argc, char** argv);
int RunTorture(int argc, char** argv);
int RunKavset(int argc, char** argv);
} // namespace kavlab
