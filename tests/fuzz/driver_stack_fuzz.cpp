// Fuzz target: a hostile USB stick under the whole filtered storage stack. Each input builds one stick
// (hostile_device.h) with the mass-storage function driver and the disk class driver, Kavfiltr below the
// function driver and above every disk, runs a few ordinary reads and writes through it and takes it down
// again. The input is the stick's behaviour:
//
//   byte 0    Get Max LUN answer (any value; the host keeps at most 16 units)
//   byte 1    bit 0: Get Max LUN stalls (one unit); bit 1: URBs complete later on the DPC thread; bit 2:
//             the interface's endpoints follow the requests (a count, modulo 7, then two bytes each:
//             the endpoint address, and attributes whose bit 0 makes it an interrupt pipe); bits 3-7: N,
//             Kavfiltr's Nth pool allocation fails (0: none), memory short while the stick misbehaves
//   bytes 2-5 four requests, each one byte: bits 0-2 size (4 KiB, 64 KiB, 128 KiB, 256 KiB, 1 MiB, 512 B,
//             192 KiB, 1 MiB + 64 KiB), bits 3-4 where (0: at 0, 1: after the unit's last request, 2: where
//             the unit's last request began, 3: at 1 MiB + 4 KiB), bit 5 write, bits 6-7 unit (modulo units)
//   then      the device's answers, one per command wrapper it accepts (format in hostile_device.h)
//
// What counts as a breach, checked after every input; each one aborts with its reason, so the fuzzer
// keeps the input:
// - a verifier stop of the simulated kernel or a sanitizer report (both abort by themselves);
// - a hang: a request that does not end within kRequestLimit, or the device's step bound used up;
// - a leak at removal: pool blocks, handles or IRPs left once the stick is gone;
// - a read reported successful with data the device never sent for that unit and range, nor the
//   application wrote there, nor its own buffer held before (data_provenance.h);
// - a write reported successful whose data the device never acknowledged, or data given to the device
//   that the application never wrote to that unit and place.
// A hostile device may make its own requests fail or return its own garbage for its own units; the bar is
// that under Kavfiltr it gets no further than without it. So a breach of the checks above (all but the
// verifier and the sanitizers) is confirmed by running the same input without Kavfiltr: when the stack
// alone breaks the same way, the device did it and the input passes. KAV_FUZZ_FILTER=0 in the
// environment runs every input without Kavfiltr only; KAV_FUZZ_TRACE=1 prints every command wrapper the
// device accepts with the answer it took, which is how the seed inputs were written.
#include "tests/fuzz/data_provenance.h"
#include "tests/fuzz/hostile_device.h"

#include "driver/kavfiltr_public.h"
#include "winsim/kernel/winsim_kernel.h"
#include "winsim/usb/storage_rig.h"
#include "winsim/usb/usb_misuse.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{

namespace wu = winsim::usb;
using namespace kavfuzz;

constexpr size_t kHeaderLength = 6;
constexpr size_t kRequests = 4;
constexpr uint32_t kUnitsMost = 16;
const std::chrono::milliseconds kRequestLimit(20000);
const std::chrono::milliseconds kCommandTimeOut(10000);
constexpr uint32_t kLargestRequest = 1114112;

enum class Breach
{
    None,
    Hang,
    Leak,
    ReadData,
    WriteNotAcknowledged,
    ForeignWrite,
};

const char* BreachName(Breach breach)
{
    switch (breach)
    {
    case Breach::None:
        return "none";
    case Breach::Hang:
        return "hang";
    case Breach::Leak:
        return "leak at removal";
    case Breach::ReadData:
        return "read returned data the device never sent for that unit and range";
    case Breach::WriteNotAcknowledged:
        return "write reported successful without the device acknowledging its data";
    case Breach::ForeignWrite:
        return "the device was given data the application never wrote there";
    }
    return "?";
}

struct Verdict
{
    Breach breach = Breach::None;
    std::string detail;
};

struct Request
{
    bool write = false;
    uint8_t lun = 0;
    uint32_t length = 0;
    uint64_t offset = 0;
};

Request DecodeRequest(uint8_t code, uint32_t units, uint64_t* lastStart, uint64_t* lastEnd)
{
    static const uint32_t kSizes[] = {4096, 65536, 131072, 262144, 1048576, 512, 196608, 1114112};
    Request r;
    r.length = kSizes[code & 7];
    r.write = (code & 0x20) != 0;
    r.lun = uint8_t((code >> 6) % units);
    switch ((code >> 3) & 3)
    {
    case 0:
        r.offset = 0;
        break;
    case 1:
        r.offset = lastEnd[r.lun];
        break;
    case 2:
        r.offset = lastStart[r.lun];
        break;
    default:
        r.offset = 1048576 + 4096;
        break;
    }
    lastStart[r.lun] = r.offset;
    lastEnd[r.lun] = r.offset + r.length;
    return r;
}

Verdict RunInput(const uint8_t* data, size_t size, bool filtered)
{
    uint8_t header[kHeaderLength] = {};
    std::memcpy(header, data, size < kHeaderLength ? size : kHeaderLength);
    HostileAnswers answers;
    answers.maxLun = header[0];
    answers.stallMaxLun = (header[1] & 1) != 0;
    static const bool trace = std::getenv("KAV_FUZZ_TRACE") != nullptr;
    answers.trace = trace;
    answers.silence = kCommandTimeOut;
    const uint32_t units = answers.stallMaxLun ? 1 : (header[0] < kUnitsMost ? header[0] + 1u : kUnitsMost);
    size_t at = size < kHeaderLength ? size : kHeaderLength;
    std::vector<wu::EndpointConfig> endpoints;
    if ((header[1] & 4) != 0 && at < size)
    {
        // Pipes missing, doubled or of the wrong kind, as the configuration descriptor claims them.
        const size_t count = data[at++] % 7;
        for (size_t i = 0; i < count && at + 2 <= size; ++i, at += 2)
        {
            wu::EndpointConfig endpoint;
            endpoint.address = data[at];
            endpoint.interrupt = (data[at + 1] & 1) != 0;
            endpoint.pipe = endpoint.interrupt          ? wu::Pipe::InterruptIn
                            : (endpoint.address & 0x80) ? wu::Pipe::BulkIn
                                                        : wu::Pipe::BulkOut;
            endpoint.maxPacketSize = endpoint.interrupt ? 8 : 512;
            endpoints.push_back(endpoint);
        }
        if (endpoints.empty())
        {
            // No endpoint at all: an interface that cannot carry the transport.
            endpoints.push_back(wu::EndpointConfig{wu::Pipe::InterruptIn, 0x83, true, 8});
        }
    }
    Script script(data + at, size - at);

    winsim::ResetKernel();
    Provenance provenance;
    HostileDevice* device = nullptr;
    wu::StorageRigOptions options;
    auto image = std::make_shared<wu::MemoryDiskImage>(512);
    for (uint32_t lun = 0; lun < units; ++lun)
    {
        wu::LunConfig config;
        config.image = image;
        options.device.luns.push_back(config);
    }
    options.device.endpoints = endpoints;
    options.completion = (header[1] & 2) != 0 ? wu::UrbCompletion::Deferred : wu::UrbCompletion::Inline;
    // A real stick's time-out; one that stops answering moves the simulated clock past it at once.
    options.massStorage.commandTimeoutMs = uint32_t(kCommandTimeOut.count());
    options.filtered = filtered;
    options.filterService = KAVFILTR_SERVICE_NAME;
    options.filterEntry = DriverEntry;
    options.makeDevice = [&](const wu::DeviceConfig& config) {
        auto made = std::make_unique<HostileDevice>(config, answers, script, provenance);
        device = made.get();
        return std::unique_ptr<wu::BulkOnlyDevice>(std::move(made));
    };

    if ((header[1] >> 3) != 0)
    {
        winsim::SetPoolFailureTag(KAVFILTR_POOL_TAG);
        winsim::FailAllocationAt(header[1] >> 3);
    }

    Verdict verdict;
    std::vector<WriteSpan> writes;
    std::unique_ptr<wu::StorageRig> rig;
    try
    {
        rig = std::make_unique<wu::StorageRig>(options);
    }
    catch (const wu::MisuseError&)
    {
        // The stick did not get as far as a started disk: the stack refused it, which is its right.
    }
    if (rig != nullptr)
    {
        uint64_t lastStart[kUnitsMost] = {};
        uint64_t lastEnd[kUnitsMost] = {};
        // One buffer for every input: fresh pages for a megabyte each time would cost more than the run.
        static std::vector<uint8_t> buffer(kLargestRequest);
        uint16_t sequence = 0;
        for (size_t i = 0; i < kRequests && verdict.breach == Breach::None; ++i)
        {
            const Request r = DecodeRequest(header[2 + i], uint32_t(rig->LunCount()), lastStart, lastEnd);
            ++sequence;
            const WordKind kind = r.write ? WordKind::Application : WordKind::Poison;
            FillWords(buffer.data(), r.length, r.offset, kind, r.lun, sequence);
            if (r.write)
            {
                provenance.ApplicationWrote(r.lun, r.offset, r.offset + r.length, sequence);
            }
            const wu::IoOutcome outcome =
                r.write ? rig->Write(r.lun, buffer.data(), r.length, r.offset, kRequestLimit)
                        : rig->Read(r.lun, buffer.data(), r.length, r.offset, kRequestLimit);
            if (outcome.status == STATUS_PENDING)
            {
                // The request is still in the stack and its buffer with it: nothing can be taken down.
                std::fprintf(stderr, "driver_stack_fuzz: breach (%s filter): request %zu did not end\n",
                             filtered ? "with the" : "without the", i);
                std::abort();
            }
            if (!NT_SUCCESS(outcome.status))
            {
                continue;
            }
            if (r.write && outcome.information == r.length)
            {
                writes.push_back(WriteSpan{r.lun, r.offset, r.offset + r.length, sequence});
            }
            if (!r.write)
            {
                const size_t got = outcome.information < r.length ? size_t(outcome.information) : r.length;
                std::string problem = provenance.CheckRead(r.lun, r.offset, buffer.data(), got, sequence);
                if (!problem.empty())
                {
                    verdict = Verdict{Breach::ReadData, "request " + std::to_string(i) + ": " + problem};
                }
            }
        }
        rig->Teardown();
        if (verdict.breach == Breach::None && device->StepLimitReached())
        {
            verdict = Verdict{Breach::Hang, "the device's step bound was used up"};
        }
        if (verdict.breach == Breach::None && !device->ForeignWrite().empty())
        {
            verdict = Verdict{Breach::ForeignWrite, device->ForeignWrite()};
        }
        if (verdict.breach == Breach::None)
        {
            const std::string problem = UnacknowledgedWord(writes, device->Acknowledged());
            if (!problem.empty())
            {
                verdict = Verdict{Breach::WriteNotAcknowledged, problem};
            }
        }
        rig.reset();
    }
    if (verdict.breach == Breach::None && (winsim::PoolOutstandingBlocks() != 0 ||
                                           winsim::OpenHandleCount() != 0 || winsim::OutstandingIrps() != 0))
    {
        verdict = Verdict{Breach::Leak, "pool blocks " + std::to_string(winsim::PoolOutstandingBlocks()) +
                                            ", handles " + std::to_string(winsim::OpenHandleCount()) +
                                            ", IRPs " + std::to_string(winsim::OutstandingIrps())};
    }
    winsim::ResetKernel();
    return verdict;
}

bool FilterOff()
{
    const char* value = std::getenv("KAV_FUZZ_FILTER");
    return value != nullptr && std::strcmp(value, "0") == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool filterOff = FilterOff();
    const Verdict verdict = RunInput(data, size, !filterOff);
    static const bool trace = std::getenv("KAV_FUZZ_TRACE") != nullptr;
    if (trace)
    {
        std::fprintf(stderr, "driver_stack_fuzz: %s: %s %s\n",
                     filterOff ? "without the filter" : "with the filter", BreachName(verdict.breach),
                     verdict.detail.c_str());
    }
    if (verdict.breach == Breach::None)
    {
        return 0;
    }
    if (filterOff)
    {
        std::fprintf(stderr, "driver_stack_fuzz: without the filter: %s: %s\n", BreachName(verdict.breach),
                     verdict.detail.c_str());
        return 0;
    }
    const Verdict plain = RunInput(data, size, false);
    if (plain.breach == verdict.breach)
    {
        return 0; // the device's own doing: the stack without the filter fares no better
    }
    std::fprintf(stderr, "driver_stack_fuzz: breach: %s: %s\n(without the filter: %s)\n",
                 BreachName(verdict.breach), verdict.detail.c_str(), BreachName(plain.breach));
    std::abort();
}
