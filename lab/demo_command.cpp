// kavlab demo: the README's main job. A simulated PC with one supported USB stick: sequential reads and
// writes without the filter, then Kavset's Reg on the stick (the filter into its filter lists and the stick
// restarted through the class installer, so that the Plug and Play manager loads the filter into both
// stacks), then the same workloads again. Prints
// the device commands per MiB, the modelled speed and the gain, and draws them as an SVG chart beside
// the kavlab program.
#include "lab/bench.h"
#include "lab/commands.h"

#include "driver/kavfiltr_public.h"
#include "regtool/CmdLineParam.h"

#include "winsim/machine/machine_json.h"
#include "winsim/machine/pnp_manager.h"

#include "winsim/kernel/winsim_kernel.h"

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace kavlab
{
namespace
{
namespace wm = winsim::machine;

const char16_t kFilterService[] = KAVFILTR_SERVICE_NAME;

std::string ProgramDirectory()
{
    char path[4096] = {};
    ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    std::string program = length > 0 ? std::string(path, size_t(length)) : std::string("./kavlab");
    return program.substr(0, program.find_last_of('/'));
}

struct DemoRow
{
    std::string workload;
    RunResult unfiltered;
    RunResult filtered;
};

RunResult RunOn(wm::PnpManager& pnp, wm::UsbDevice& stick, const BenchOptions& options, bool filtered)
{
    wm::UsbLun& lun = *stick.luns.front();
    PDEVICE_OBJECT top = pnp.DiskTop(lun);
    IoTarget target;
    target.read = [top](void* buffer, ULONG length, ULONGLONG offset) {
        return winsim::SendRead(top, buffer, length, LONGLONG(offset)).status;
    };
    target.write = [top](const void* buffer, ULONG length, ULONGLONG offset) {
        return winsim::SendWrite(top, const_cast<void*>(buffer), length, LONGLONG(offset)).status;
    };
    target.device = pnp.DeviceModel(stick);
    target.unitBytes = lun.sizeBytes;
    return RunWorkload(options, target, filtered);
}

void WriteChart(const std::string& path, const std::vector<DemoRow>& rows)
{
    std::ofstream svg(path);
    const int width = 80 + 240 * int(rows.size());
    const int height = 360;
    const double scale = 250.0 / 45.0; // pixels per MB/s
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
        << "\" font-family=\"sans-serif\" font-size=\"13\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        // Two lines: the chart is only as wide as its bars, and one line of title would run off it.
        << "<text x=\"20\" y=\"26\" font-size=\"16\">Simulated USB 2.0 stick: modelled MB/s</text>\n"
        << "<text x=\"20\" y=\"46\">requests of 1 MiB (seqread, seqwrite) and 64 KiB (seqread64k)</text>\n"
        << "<line x1=\"60\" y1=\"300\" x2=\"" << width - 20 << "\" y2=\"300\" stroke=\"black\"/>\n";
    int x = 90;
    for (const DemoRow& row : rows)
    {
        const RunResult* runs[] = {&row.unfiltered, &row.filtered};
        const char* colours[] = {"#9aa5b1", "#2b7bb9"};
        for (int i = 0; i < 2; ++i)
        {
            double bar = runs[i]->modelledMbPerS * scale;
            svg << "<rect x=\"" << x << "\" y=\"" << 300 - bar << "\" width=\"80\" height=\"" << bar
                << "\" fill=\"" << colours[i] << "\"/>\n"
                << "<text x=\"" << x + 40 << "\" y=\"" << 318 - bar
                << "\" text-anchor=\"middle\" fill=\"white\">"
                << int(runs[i]->modelledMbPerS * 10 + 0.5) / 10.0 << "</text>\n"
                << "<text x=\"" << x + 40 << "\" y=\"318\" text-anchor=\"middle\">"
                << (i == 0 ? "without" : "with Kavfiltr") << "</text>\n";
            x += 90;
        }
        svg << "<text x=\"" << x - 135 << "\" y=\"340\" text-anchor=\"middle\" font-weight=\"bold\">"
            << row.workload << "</text>\n";
        x += 60;
    }
    double bound = rows.front().filtered.boundMbPerS * scale;
    svg << "<line x1=\"60\" y1=\"" << 300 - bound << "\" x2=\"" << width - 20 << "\" y2=\"" << 300 - bound
        << "\" stroke=\"#c0392b\" stroke-dasharray=\"6,4\"/>\n"
        << "<text x=\"" << width - 24 << "\" y=\"" << 294 - bound
        << "\" text-anchor=\"end\" fill=\"#c0392b\">bus payload bound</text>\n"
        << "</svg>\n";
}
} // namespace

int RunDemo(int argc, char** argv)
{
    std::string machinePath = KAVLAB_MACHINES_DIR "/supported_stick.json";
    uint64_t total = 64ull << 20;
    for (int i = 0; i + 1 < argc; i += 2)
    {
        std::string arg = argv[i];
        if (arg == "--machine")
        {
            machinePath = argv[i + 1];
        }
        else if (arg != "--total" || !ParseSize(argv[i + 1], total))
        {
            std::fprintf(stderr, "usage: kavlab demo [--machine FILE] [--total SIZE]\n");
            return 2;
        }
    }

    winsim::ResetKernel();
    std::unique_ptr<wm::Machine> machine = wm::LoadMachineFile(machinePath);
    wm::UsbDevice* stick = nullptr;
    for (const auto& device : machine->UsbDevices())
    {
        if (!device->luns.empty() && stick == nullptr)
        {
            stick = device.get();
        }
    }
    if (stick == nullptr)
    {
        std::fprintf(stderr, "kavlab demo: %s has no USB storage device\n", machinePath.c_str());
        return 1;
    }

    std::vector<DemoRow> rows;
    bool verified = true;
    {
        wm::PnpManager pnp(*machine);
        pnp.RegisterStorageDrivers();
        pnp.RegisterDriver(kFilterService, DriverEntry);
        pnp.StartAll();

        std::printf("Simulated PC: %s, one USB stick (%llu MiB), speed-up off.\n", machinePath.c_str(),
                    static_cast<unsigned long long>(stick->luns.front()->sizeBytes >> 20));
        for (const char* name : {"seqread", "seqwrite", "seqread64k"})
        {
            DemoRow row;
            row.workload = name;
            BenchOptions options;
            FindWorkload(name, options.workload);
            options.workload.totalBytes =
                std::min<uint64_t>(total, stick->luns.front()->sizeBytes - (1 << 20));
            row.unfiltered = RunOn(pnp, *stick, options, false);
            rows.push_back(row);
        }

        // Switch the speed-up on as the tray application does: Kavset /Reg with the stick's instance ID puts
        // the filter below the function driver of the USB node and above the disk class of each disk, and
        // restarts the stick so that the stacks are built again from the lists.
        const wm::WString commandLine = u"Kavset.exe /Reg " + stick->devNode->instanceId;
        int exitCode = 0;
        {
            wm::ScopedMachine installed(*machine);
            wm::ScopedCommandLine arguments(commandLine);
            exitCode = Kavelor::KavsetMain();
        }
        if (exitCode != Kavelor::EXIT_OK || !pnp.InStack(*stick->devNode, kFilterService) ||
            !pnp.InStack(*stick->luns.front()->disk, kFilterService))
        {
            std::fprintf(stderr,
                         "kavlab demo: Kavset ended with %d; the restarted stick does not carry Kavfiltr\n",
                         exitCode);
            return 1;
        }
        std::printf("%s: exit code 0; stick restarted; Kavfiltr in both stacks.\n\n",
                    wm::Narrow(commandLine).c_str());
        for (DemoRow& row : rows)
        {
            BenchOptions options;
            FindWorkload(row.workload, options.workload);
            options.workload.totalBytes =
                std::min<uint64_t>(total, stick->luns.front()->sizeBytes - (1 << 20));
            row.filtered = RunOn(pnp, *stick, options, true);
        }
        pnp.Shutdown();
    }

    std::printf("%-10s %22s %22s %8s %9s\n", "workload", "commands/MiB off -> on", "modelled MB/s off -> on",
                "gain", "verified");
    for (const DemoRow& row : rows)
    {
        bool rowVerified = row.unfiltered.dataVerified && row.filtered.dataVerified;
        verified = verified && rowVerified;
        std::printf("%-10s %10.2f -> %8.2f %10.2f -> %8.2f %7.2fx %9s\n", row.workload.c_str(),
                    row.unfiltered.deviceCommandsPerMib, row.filtered.deviceCommandsPerMib,
                    row.unfiltered.modelledMbPerS, row.filtered.modelledMbPerS,
                    row.filtered.modelledMbPerS / row.unfiltered.modelledMbPerS, rowVerified ? "yes" : "NO");
    }
    std::string chart = ProgramDirectory() + "/kavlab-demo.svg";
    WriteChart(chart, rows);
    std::printf("\nbus payload bound %.2f MB/s; chart: %s\n", rows.front().filtered.boundMbPerS,
                chart.c_str());
    winsim::ResetKernel();
    return verified ? 0 : 1;
}
} // namespace kavlab
