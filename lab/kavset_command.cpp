// kavlab kavset: runs Kavset's own flow (administrator test, command line, enumeration, registry change,
// restart through the class installer) on a machine description, with the PnP manager building the
// machine's storage stacks and Kavfiltr registered, so the restart really loads or drops the filter. The
// arguments after "--" are joined by single blanks into Kavset's command line, as the tray application
// builds it, and split by the Windows rules. Prints the exit code, every device property that changed
// (before -> after), which devices were restarted, and where Kavfiltr sits afterwards. kavlab's own exit
// code is Kavset's; 64 means kavlab itself could not run.
#include "lab/commands.h"

#include "driver/kavfiltr_public.h"
#include "regtool/CmdLineParam.h"

#include "winsim/kernel/winsim_kernel.h"
#include "winsim/machine/machine_json.h"
#include "winsim/machine/pnp_manager.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kavlab
{
namespace
{
namespace wm = winsim::machine;

const int kUsageError = 64;

const std::pair<ULONG, const char*> kWatched[] = {
    {CM_DRP_FRIENDLYNAME, "FriendlyName"},
    {CM_DRP_LOWERFILTERS, "LowerFilters"},
    {CM_DRP_UPPERFILTERS, "UpperFilters"},
};

const char* ExitName(int code)
{
    switch (code)
    {
    case Kavelor::EXIT_OK:
        return "EXIT_OK";
    case Kavelor::EXIT_NO_COMMAND:
        return "EXIT_NO_COMMAND";
    case Kavelor::EXIT_NOT_ADMIN:
        return "EXIT_NOT_ADMIN";
    case Kavelor::EXIT_RESTART_PENDING:
        return "EXIT_RESTART_PENDING";
    case Kavelor::EXIT_REG_FAILED:
        return "EXIT_REG_FAILED";
    case Kavelor::EXIT_UNREG_FAILED:
        return "EXIT_UNREG_FAILED";
    case Kavelor::EXIT_UNINSTALL_FAILED:
        return "EXIT_UNINSTALL_FAILED";
    default:
        return "?";
    }
}

// A property as text: a string in quotes, a list as [a, b], "(none)" when absent.
std::string Show(const wm::DevNode& node, ULONG property)
{
    if (!node.HasProperty(property))
    {
        return "(none)";
    }
    if (property == CM_DRP_FRIENDLYNAME)
    {
        return "\"" + wm::Narrow(node.GetString(property).value_or(wm::WString())) + "\"";
    }
    std::string text = "[";
    for (const wm::WString& item : node.GetMultiString(property))
    {
        text += (text.size() > 1 ? ", " : "") + wm::Narrow(item);
    }
    return text + "]";
}

using Snapshot = std::map<std::pair<const wm::DevNode*, ULONG>, std::string>;

Snapshot Take(const wm::Machine& machine)
{
    Snapshot snapshot;
    for (const auto& node : machine.DevNodes())
    {
        for (const auto& watched : kWatched)
        {
            snapshot[{node.get(), watched.first}] = Show(*node, watched.first);
        }
    }
    return snapshot;
}

int Usage()
{
    std::fprintf(
        stderr, "usage: kavlab kavset --machine FILE [--not-admin] -- ARGS...\n"
                "  --machine FILE  machine description (see lab/machines/)\n"
                "  --not-admin     run Kavset from a token without administrator rights\n"
                "  ARGS            Kavset's arguments, e.g. /Reg \"USB\\VID_3A7E&PID_1201\\KV0012345678\"\n");
    return kUsageError;
}
} // namespace

int RunKavset(int argc, char** argv)
{
    std::string machinePath;
    bool notAdmin = false;
    int at = 0;
    for (; at < argc && std::strcmp(argv[at], "--") != 0; ++at)
    {
        if (std::strcmp(argv[at], "--machine") == 0 && at + 1 < argc)
        {
            machinePath = argv[++at];
        }
        else if (std::strcmp(argv[at], "--not-admin") == 0)
        {
            notAdmin = true;
        }
        else
        {
            return Usage();
        }
    }
    if (machinePath.empty() || at >= argc)
    {
        return Usage();
    }
    std::string arguments;
    for (++at; at < argc; ++at)
    {
        arguments += std::string(" ") + argv[at];
    }

    winsim::ResetKernel();
    std::unique_ptr<wm::Machine> machine;
    try
    {
        machine = wm::LoadMachineFile(machinePath);
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "kavlab kavset: %s\n", error.what());
        return kUsageError;
    }
    machine->security.administrators = !notAdmin;

    int exitCode = 0;
    {
        wm::PnpManager pnp(*machine);
        pnp.RegisterStorageDrivers();
        pnp.RegisterDriver(KAVFILTR_SERVICE_NAME, DriverEntry);
        pnp.StartAll();
        Snapshot before = Take(*machine);
        std::map<const wm::DevNode*, std::pair<unsigned, unsigned>> restarts;
        for (const auto& node : machine->DevNodes())
        {
            restarts[node.get()] = {node->restartCount, node->restartsCompleted};
        }

        std::printf("Kavset.exe%s\n", arguments.c_str());
        {
            wm::ScopedMachine installed(*machine);
            wm::ScopedCommandLine commandLine(wm::Widen("Kavset.exe" + arguments));
            exitCode = Kavelor::KavsetMain();
        }
        std::printf("exit code %d (%s)\n", exitCode, ExitName(exitCode));

        Snapshot after = Take(*machine);
        int changes = 0;
        for (const auto& [key, text] : after)
        {
            if (before[key] != text)
            {
                const char* name = "";
                for (const auto& watched : kWatched)
                {
                    name = watched.first == key.second ? watched.second : name;
                }
                std::printf("  %s  %s: %s -> %s\n", wm::Narrow(key.first->instanceId).c_str(), name,
                            before[key].c_str(), text.c_str());
                ++changes;
            }
        }
        if (changes == 0)
        {
            std::printf("  no device property changed\n");
        }
        int restarted = 0;
        for (const auto& node : machine->DevNodes())
        {
            unsigned asked = node->restartCount - restarts[node.get()].first;
            unsigned done = node->restartsCompleted - restarts[node.get()].second;
            if (asked != 0)
            {
                std::printf("restart of %s: %s\n", wm::Narrow(node->instanceId).c_str(),
                            done != 0
                                ? "done, stacks rebuilt from the filter lists"
                                : "stop refused (a volume in use or a driver vetoed it): DI_NEEDRESTART");
                ++restarted;
            }
        }
        if (restarted == 0)
        {
            std::printf("no device restarted\n");
        }
        for (const auto& device : machine->UsbDevices())
        {
            if (device->luns.empty() || device->devNode == nullptr || !device->devNode->present)
            {
                continue;
            }
            std::string disks;
            for (const auto& lun : device->luns)
            {
                disks += pnp.InStack(*lun->disk, KAVFILTR_SERVICE_NAME) ? " yes" : " no";
            }
            std::printf("Kavfiltr in the stacks of %s: USB %s, disk(s)%s\n",
                        wm::Narrow(device->devNode->instanceId).c_str(),
                        pnp.InStack(*device->devNode, KAVFILTR_SERVICE_NAME) ? "yes" : "no", disks.c_str());
        }
        pnp.Shutdown();
    }
    winsim::ResetKernel();
    return exitCode;
}
} // namespace kavlab
