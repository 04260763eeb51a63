// winsim/machine: the simulated process's argument vector. On Windows the C runtime splits the command
// line before the entry point runs and publishes the result as __argc and __wargv; here a
// ScopedCommandLine sets them from a command line split by the same rules (machine.h).
#include "winsim/machine/machine.h"

int __argc = 0;
WCHAR** __wargv = nullptr;

namespace winsim::machine
{
namespace
{
bool IsBlank(char16_t ch)
{
    return ch == u' ' || ch == u'\t';
}
} // namespace

std::vector<WString> SplitCommandLine(const WString& commandLine)
{
    std::vector<WString> arguments;
    size_t at = 0;
    const size_t end = commandLine.size();

    // The program name: no escapes; a quote at its start runs to the next quote.
    WString program;
    if (at < end && commandLine[at] == u'"')
    {
        ++at;
        while (at < end && commandLine[at] != u'"')
        {
            program += commandLine[at++];
        }
        if (at < end)
        {
            ++at;
        }
    }
    while (at < end && !IsBlank(commandLine[at]))
    {
        program += commandLine[at++];
    }
    arguments.push_back(program);

    for (;;)
    {
        while (at < end && IsBlank(commandLine[at]))
        {
            ++at;
        }
        if (at >= end)
        {
            break;
        }
        WString argument;
        bool quoted = false;
        while (at < end && (quoted || !IsBlank(commandLine[at])))
        {
            size_t backslashes = 0;
            while (at < end && commandLine[at] == u'\\')
            {
                ++backslashes;
                ++at;
            }
            if (at < end && commandLine[at] == u'"')
            {
                argument.append(backslashes / 2, u'\\');
                if (backslashes % 2 == 1)
                {
                    argument += u'"';
                    ++at;
                }
                else if (quoted && at + 1 < end && commandLine[at + 1] == u'"')
                {
                    argument += u'"';
                    at += 2;
                }
                else
                {
                    quoted = !quoted;
                    ++at;
                }
            }
            else
            {
                argument.append(backslashes, u'\\');
                if (at < end && (quoted || !IsBlank(commandLine[at])))
                {
                    argument += commandLine[at++];
                }
            }
        }
        arguments.push_back(argument);
    }
    return arguments;
}

ScopedCommandLine::ScopedCommandLine(const WString& commandLine)
    : arguments_(SplitCommandLine(commandLine)), previousArgc_(__argc), previousArgv_(__wargv)
{
    for (WString& argument : arguments_)
    {
        pointers_.push_back(argument.data());
    }
    pointers_.push_back(nullptr);
    __argc = static_cast<int>(arguments_.size());
    __wargv = pointers_.data();
}

ScopedCommandLine::~ScopedCommandLine()
{
    __argc = previousArgc_;
    __wargv = previousArgv_;
}
} // namespace winsim::machine
