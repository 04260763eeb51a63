// kavlab torture: seeded random reads and writes through the filtered stack of a two-unit stick, compared
// against a reference copy of each unit, with faults injected on the way: failing, garbled, short and
// stalled commands, pool exhaustion in the filter and one surprise removal. Every read must return the
// reference or fail; every write reported done must be on the medium; every failure armed so that no
// retry can get past it must reach its request. A failing run prints its seed and last operations.
// With faults, the families of torture_hardening.h run as well: a stack that behaves as Windows' does, and
// device errors whose code each failed request must keep. This is the run of --threads 1, one request at a
// time; by default the requests of several threads per unit overlap (torture_concurrent.h).
#include "lab/commands.h"

#include "driver/kavfiltr_public.h"
#include "lab/torture_concurrent.h"
#include "lab/torture_hardening.h"
#include "lab/torture_options.h"

#include "winsim/usb/disk_image.h"
#include "winsim/usb/storage_rig.h"

#include "winsim/kernel/winsim_kernel.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kavlab
{
namespace
{
namespace wu = winsim::usb;

constexpr unsigned kUnits = kTortureUnits;
constexpr uint64_t kUnitBytes = kTortureUnitBytes;
constexpr const uint32_t (&kBlockLengths)[kUnits] = kTortureBlockLengths;

struct Counts
{
    uint64_t ops = 0;
    uint64_t mismatches = 0;
    uint64_t failuresInjected = 0; // armed so that every attempt fails: the request must fail
    uint64_t failuresReported = 0; // of those, the requests that failed
    uint64_t failuresHidden = 0;   // of those, the requests that reported success
    uint64_t transientFaults = 0;  // one-shot faults and pool failures that retries may get past
    uint64_t failedRequests = 0;
    uint64_t hangs = 0;
};

constexpr std::chrono::milliseconds kRequestLimit = kTortureRequestLimit;

// What the medium is known to hold: bytes written by requests that succeeded, and blocks whose content
// became unknown when a write failed part way.
struct Reference
{
    std::vector<uint8_t> bytes;
    std::vector<bool> known; // per block
    uint32_t blockLength = 512;
};

struct Operation
{
    bool write = false;
    unsigned lun = 0;
    uint64_t offset = 0;
    uint32_t length = 0;
    std::string fault;
    NTSTATUS status = 0;
};

class Torture
{
public:
    explicit Torture(const TortureOptions& options) : options_(options), random_(options.seed)
    {
        if (options_.faults != 0)
        {
            hardening_ = std::make_unique<Hardening>(options_.seed, options_.only);
            if (options_.only.empty() || options_.only == kStackOnly)
            {
                hardening_->Start();
            }
        }
        for (unsigned lun = 0; lun < kUnits; ++lun)
        {
            images_[lun] = std::make_shared<wu::MemoryDiskImage>(kUnitBytes);
            reference_[lun].bytes.assign(kUnitBytes, 0);
            reference_[lun].blockLength = kBlockLengths[lun];
            reference_[lun].known.assign(kUnitBytes / kBlockLengths[lun], true);
        }
        Build();
    }

    int Run()
    {
        bool terminal = !options_.json && isatty(STDERR_FILENO);
        uint64_t removalAt = options_.faults != 0 ? options_.ops * 3 / 4 : UINT64_MAX;
        for (uint64_t i = 0; i < options_.ops; ++i)
        {
            if (i == removalAt && !SurpriseRemoval())
            {
                Report();
                return 1;
            }
            if (!RunOne())
            {
                Report();
                return 1;
            }
            if (terminal && (i % 50 == 0 || i + 1 == options_.ops))
            {
                int width = 40;
                int filled = int((i + 1) * width / options_.ops);
                std::fprintf(stderr, "\r[%s%s] %" PRIu64 "/%" PRIu64 " ops, %" PRIu64 " failures armed",
                             std::string(size_t(filled), '#').c_str(),
                             std::string(size_t(width - filled), '.').c_str(), i + 1, options_.ops,
                             counts_.failuresInjected);
            }
        }
        if (terminal)
        {
            std::fprintf(stderr, "\n");
        }
        if (hardening_)
        {
            hardening_->Collect(*rig_);
        }
        rig_.reset();
        Report();
        return Clean() ? 0 : 1;
    }

private:
    void Build()
    {
        wu::StorageRigOptions options;
        for (unsigned lun = 0; lun < kUnits; ++lun)
        {
            wu::LunConfig config;
            config.image = images_[lun];
            config.blockLength = kBlockLengths[lun];
            options.device.luns.push_back(config);
        }
        options.completion = wu::UrbCompletion::Deferred;
        if (hardening_)
        {
            // With --only, one fault kind on today's stack: what that kind alone shows.
            if (options_.only.empty() || options_.only == kStackOnly)
            {
                Hardening::Configure(options);
            }
            hardening_->Forget();
        }
        options.filtered = options_.filtered;
        options.filterService = KAVFILTR_SERVICE_NAME;
        options.filterEntry = DriverEntry;
        rig_ = std::make_unique<wu::StorageRig>(options);
    }

    // The device leaves while a large read is in flight: the read fails or returns the reference, the
    // rig tears the stacks down without a leak, and the stick comes back with the same medium.
    bool SurpriseRemoval()
    {
        Operation op{false, 0, 0, 4 << 20, "surprise-removal", STATUS_PENDING};
        // Bounded: a request that never ends is a hang, reported as such.
        std::vector<uint8_t> buffer(op.length);
        std::thread reader([&] {
            wu::ScopedApplicationThread application(2);
            op.status = Bounded([&] { return rig_->Read(0, buffer.data(), op.length, 0, kRequestLimit); });
        });
        std::this_thread::sleep_for(std::chrono::microseconds(random_() % 2000));
        if (hardening_)
        {
            hardening_->Collect(*rig_);
        }
        rig_->SurpriseRemove();
        reader.join();
        ++counts_.transientFaults;
        Remember(op);
        if (NT_SUCCESS(op.status) && !MatchesReference(op, buffer))
        {
            return false;
        }
        rig_.reset();
        Build();
        return true;
    }

    // Sizes chosen to hit every path: single blocks, exactly one piece, the read-ahead and coalescing
    // sizes, writes that do not divide the buffer, and requests of several buffers.
    uint32_t PickLength(uint32_t blockLength)
    {
        static const uint32_t kSizes[] = {512,    4096,    65536,   65536, 131072, 262144,  1048576,
                                          102400, 1572864, 4194304, 12288, 196608, 1048576, 2097152};
        uint32_t length = kSizes[random_() % (sizeof(kSizes) / sizeof(kSizes[0]))];
        length = std::max(length / blockLength * blockLength, blockLength);
        return length;
    }

    bool RunOne()
    {
        Operation op;
        op.lun = unsigned(random_() % kUnits);
        Reference& reference = reference_[op.lun];
        op.write = random_() % 2 == 0;
        op.length = PickLength(reference.blockLength);
        uint64_t blocks = kUnitBytes / reference.blockLength;
        uint64_t lengthBlocks = op.length / reference.blockLength;
        // Half the time the request continues one of two readers of the unit, so that sequences form and
        // two of them take turns, as a copy between two files does; a quarter of the time it goes back to
        // where the last one started, so that reads meet data just written (and cached data just
        // overwritten); otherwise anywhere, where it starts a reader in place of one of the two.
        uint32_t where = uint32_t(random_() % 4);
        unsigned reader = where < 2 ? where : unsigned(random_() % 2);
        uint64_t startBlock = where < 2    ? next_[op.lun][reader]
                              : where == 2 ? lastStart_[op.lun]
                                           : random_() % (blocks - lengthBlocks + 1);
        if (startBlock + lengthBlocks > blocks)
        {
            startBlock = 0;
        }
        op.offset = startBlock * reference.blockLength;
        lastStart_[op.lun] = startBlock;
        next_[op.lun][reader] = startBlock + lengthBlocks;

        bool armed = false;
        int faultId = -1;
        commandsBefore_ = rig_->Device().Counters().commands;
        uint64_t firedBefore = rig_->Device().FaultsFired();
        if (options_.faults != 0)
        {
            uint32_t dice = uint32_t(random_() % 100);
            if (dice < 6)
            {
                // Every command on one block of the request fails, retries included.
                wu::FaultRule rule;
                rule.kind = wu::FaultKind::FailCommand;
                rule.persistent = true;
                rule.when.lun = uint8_t(op.lun);
                rule.when.opcode = op.write ? 0x2A : 0x28;
                uint32_t block = uint32_t(startBlock + random_() % lengthBlocks);
                rule.when.firstLba = block;
                rule.when.lastLba = block;
                if (!op.write)
                {
                    // A read of a cached range would not reach the device; start from a fresh device state.
                    rule.when.firstLba = uint32_t(startBlock);
                    rule.when.lastLba = uint32_t(startBlock + lengthBlocks - 1);
                }
                faultId = rig_->Device().AddFault(rule);
                armed = true;
                op.fault = "fail-every-attempt";
            }
            else if (dice < 16)
            {
                static const wu::FaultKind kKinds[] = {
                    wu::FaultKind::FailCommand, wu::FaultKind::BadCswSignature, wu::FaultKind::BadCswTag,
                    wu::FaultKind::ShortData,   wu::FaultKind::StallData,       wu::FaultKind::StallStatus,
                    wu::FaultKind::Choke};
                wu::FaultRule rule;
                rule.kind = kKinds[random_() % (sizeof(kKinds) / sizeof(kKinds[0]))];
                rule.bytes = rule.kind == wu::FaultKind::Choke ? 128 * 1024 : 4096;
                rule.claimFullLength = random_() % 2 == 0;
                rule.when.commandNumber = rig_->Device().Counters().commands + 1 + random_() % 3;
                faultId = rig_->Device().AddFault(rule);
                ++counts_.transientFaults;
                op.fault = FaultName(rule.kind);
            }
            else if (dice < 19)
            {
                winsim::SetPoolFailureTag(KAVFILTR_POOL_TAG);
                winsim::FailAllocationAt(ULONG(1 + random_() % 8));
                ++counts_.transientFaults;
                op.fault = "pool";
            }
        }

        HardeningFault hard;
        uint64_t timeoutsBefore = 0;
        if (hardening_)
        {
            hardening_->Collect(*rig_);
            timeoutsBefore = hardening_->Counts().timeouts;
        }
        if (hardening_ && op.fault.empty())
        {
            hard = hardening_->Arm(*rig_, op.write, op.lun, startBlock, lengthBlocks);
            op.fault = hard.name;
        }
        std::thread pnp =
            hardening_ ? hardening_->StartPnp(*rig_, op.lun, op.fault == "pool") : std::thread();

        std::vector<uint8_t> buffer(op.length);
        if (op.write)
        {
            // Eight random bytes per draw: the data only has to differ from what the medium holds.
            for (size_t at = 0; at < buffer.size(); at += sizeof(uint64_t))
            {
                uint64_t word = random_();
                std::memcpy(buffer.data() + at, &word, std::min(sizeof(word), buffer.size() - at));
            }
            op.status = STATUS_PENDING;
            Remember(op); // until it ends: a hang is reported with it
            op.status = Bounded(
                [&] { return rig_->Write(op.lun, buffer.data(), op.length, op.offset, kRequestLimit); });
        }
        else
        {
            op.status = STATUS_PENDING;
            Remember(op);
            op.status = Bounded(
                [&] { return rig_->Read(op.lun, buffer.data(), op.length, op.offset, kRequestLimit); });
        }
        last_.pop_back();
        if (pnp.joinable())
        {
            pnp.join();
            if (!hardening_->PnpFailure().empty())
            {
                // The stack is half built: report and stop without taking it down.
                std::fprintf(
                    stderr, "kavlab torture: %s during the %s of unit %u at %" PRIu64 " (seed %" PRIu64 ")\n",
                    hardening_->PnpFailure().c_str(), op.write ? "write" : "read", op.lun, op.offset,
                    options_.seed);
                ++hardening_->Counts().pnpFailures;
                Remember(op);
                Report();
                std::fflush(nullptr);
                std::_Exit(1);
            }
        }
        winsim::FailAllocationAt(0);
        bool fired = rig_->Device().FaultsFired() != firedBefore;
        if (faultId >= 0)
        {
            rig_->Device().RemoveFault(faultId);
        }
        if (hardening_)
        {
            hardening_->Disarm(*rig_, op.lun, hard);
        }
        ++counts_.ops;
        Remember(op);
        bool succeeded = NT_SUCCESS(op.status);
        if (!succeeded)
        {
            ++counts_.failedRequests;
        }
        if (armed)
        {
            if (!succeeded)
            {
                ++counts_.failuresInjected;
                ++counts_.failuresReported;
            }
            else if (op.write || fired)
            {
                ++counts_.failuresInjected;
                ++counts_.failuresHidden;
                std::fprintf(stderr, "kavlab torture: an armed failure did not reach its request\n");
                return false;
            }
            // Otherwise a read was answered from data read before the fault was armed: the fault never
            // reached the device, and the data is checked below like any other.
        }
        bool timedOut = false;
        if (hardening_)
        {
            hardening_->Collect(*rig_);
            timedOut = hardening_->Counts().timeouts != timeoutsBefore;
        }
        if (hard.persistent && !CheckDeviceError(op, hard, fired, timedOut))
        {
            return false;
        }
        std::string what;
        if (hardening_ && !hardening_->CheckMediumChanges(*rig_, what))
        {
            std::fprintf(stderr,
                         "kavlab torture: %s (seed %" PRIu64 ", after the %s of unit %u at %" PRIu64 ")\n",
                         what.c_str(), options_.seed, op.write ? "write" : "read", op.lun, op.offset);
            PrintCommandsOfRequest();
            return false;
        }

        uint64_t firstBlock = op.offset / reference.blockLength;
        if (op.write)
        {
            if (succeeded)
            {
                std::memcpy(reference.bytes.data() + op.offset, buffer.data(), op.length);
            }
            for (uint64_t b = 0; b < lengthBlocks; ++b)
            {
                reference.known[firstBlock + b] = succeeded;
            }
            if (succeeded)
            {
                std::vector<uint8_t> medium(op.length);
                images_[op.lun]->Read(op.offset, medium.data(), op.length);
                if (medium != buffer)
                {
                    ++counts_.mismatches;
                    const size_t at = size_t(
                        std::mismatch(medium.begin(), medium.end(), buffer.begin()).first - medium.begin());
                    std::fprintf(stderr,
                                 "kavlab torture: a write reported done is not on the medium (seed %" PRIu64
                                 "): %u bytes on unit %u at %" PRIu64
                                 " under '%s', first wrong byte at %" PRIu64
                                 " (0x%02X on the medium, 0x%02X written)\n",
                                 options_.seed, op.length, op.lun, op.offset, op.fault.c_str(),
                                 uint64_t(op.offset + at), medium[at], buffer[at]);
                    PrintCommandsOfRequest();
                    return false;
                }
            }
        }
        else if (succeeded && !MatchesReference(op, buffer))
        {
            return false;
        }
        return true;
    }

    // A request that a device error fails on every attempt must fail, with the code that error means.
    // `timedOut`: the function driver timed a command of the request out. The command time-out is short and
    // counted on the host's clock, so a busy host can make a request end with the time-out; that code is
    // the host's, and stands.
    bool CheckDeviceError(const Operation& op, const HardeningFault& hard, bool fired, bool timedOut)
    {
        if (NT_SUCCESS(op.status))
        {
            // A read answered from data read before the error was armed never met it.
            if (op.write || (hard.readRange && fired))
            {
                ++counts_.failuresInjected;
                ++counts_.failuresHidden;
                std::fprintf(stderr,
                             "kavlab torture: %s on unit %u at %" PRIu64 " (seed %" PRIu64
                             ") reported success despite %s\n",
                             op.write ? "a write" : "a read", op.lun, op.offset, options_.seed,
                             hard.name.c_str());
                return false;
            }
            return true;
        }
        ++counts_.failuresInjected;
        ++counts_.failuresReported;
        if (op.status != hard.expected && !(timedOut && op.status == STATUS_IO_TIMEOUT))
        {
            ++hardening_->Counts().errorCodeMismatches;
            std::fprintf(stderr,
                         "kavlab torture: error code mismatch (seed %" PRIu64
                         "): %s of %u bytes on unit %u at %" PRIu64
                         " under %s ended with 0x%08X, the device's error means 0x%08X\n",
                         options_.seed, op.write ? "write" : "read", op.length, op.lun, op.offset,
                         hard.name.c_str(), unsigned(op.status), unsigned(hard.expected));
            return false;
        }
        return true;
    }

    // A request that has not ended within the limit is a hang: report it with the run's seed and stop at
    // once (the stack cannot be taken down while a request is stuck in it).
    template <typename Request> NTSTATUS Bounded(Request request)
    {
        try
        {
            return request().status;
        }
        catch (const std::runtime_error&)
        {
            std::fprintf(stderr,
                         "kavlab torture: a request did not end within %lld s (seed %" PRIu64 "): hang\n",
                         static_cast<long long>(kRequestLimit.count() / 1000), options_.seed);
            ++counts_.hangs;
            Report();
            std::fflush(nullptr);
            std::_Exit(1);
        }
    }

    bool Clean() const
    {
        return counts_.mismatches == 0 && counts_.failuresHidden == 0 &&
               (!hardening_ || (hardening_->Counts().errorCodeMismatches == 0 &&
                                hardening_->Counts().hiddenMediumChanges == 0));
    }

    // A successful read must return what the unit is known to hold.
    bool MatchesReference(const Operation& op, const std::vector<uint8_t>& buffer)
    {
        const Reference& reference = reference_[op.lun];
        uint64_t firstBlock = op.offset / reference.blockLength;
        for (uint64_t b = 0; b < op.length / reference.blockLength; ++b)
        {
            size_t at = size_t(b * reference.blockLength);
            if (reference.known[firstBlock + b] &&
                std::memcmp(buffer.data() + at, reference.bytes.data() + op.offset + at,
                            reference.blockLength) != 0)
            {
                ++counts_.mismatches;
                std::fprintf(stderr,
                             "kavlab torture: a read returned wrong data (seed %" PRIu64
                             "): %u bytes on unit %u at %" PRIu64
                             " under '%s', first wrong block at byte %" PRIu64 "\n",
                             options_.seed, op.length, op.lun, op.offset, op.fault.c_str(), op.offset + at);
                return false;
            }
        }
        return true;
    }

    // What the device saw of the failing request: which pieces reached it, in which order, and how each
    // ended. The request's own data is not enough to tell a lost piece from a misplaced one.
    void PrintCommandsOfRequest() const
    {
        std::fprintf(stderr, "kavlab torture: device commands of that request:\n");
        for (const wu::CommandRecord& record : rig_->Device().CommandLog())
        {
            if (record.number <= commandsBefore_)
            {
                continue;
            }
            std::fprintf(stderr,
                         "  #%-6" PRIu64 " op 0x%02X unit %u lba %10u blocks %5u host %7u %s %s status %u "
                         "residue %u\n",
                         record.number, record.opcode, record.lun, record.lba, record.blocks,
                         record.hostLength, record.hostIn ? "in " : "out",
                         record.completed ? "done   " : "pending", unsigned(record.status), record.residue);
        }
    }

    void Remember(const Operation& op)
    {
        last_.push_back(op);
        if (last_.size() > 12)
        {
            last_.pop_front();
        }
    }

    void Report()
    {
        if (hardening_ && rig_)
        {
            hardening_->Collect(*rig_);
        }
        if (!Clean() || counts_.hangs != 0 || (hardening_ && hardening_->Counts().pnpFailures != 0))
        {
            std::fprintf(stderr, "kavlab torture: FAILED with --seed %" PRIu64 "; last operations:\n",
                         options_.seed);
            for (const Operation& op : last_)
            {
                std::fprintf(stderr,
                             "  %-5s unit %u offset %10" PRIu64 " length %8u fault %-18s status 0x%08X\n",
                             op.write ? "write" : "read", op.lun, op.offset, op.length, op.fault.c_str(),
                             unsigned(op.status));
            }
        }
        const HardeningCounts hard = hardening_ ? hardening_->Counts() : HardeningCounts{};
        if (options_.json)
        {
            std::printf("{\"seed\": %" PRIu64 ", \"ops\": %" PRIu64 ", \"mismatches\": %" PRIu64
                        ", \"failures_injected\": %" PRIu64 ", \"failures_reported\": %" PRIu64
                        ", \"failures_hidden\": %" PRIu64 ", \"transient_faults\": %" PRIu64
                        ", \"failed_requests\": %" PRIu64 ", \"cancelled\": %" PRIu64
                        ", \"timeouts\": %" PRIu64 ", \"requeries\": %" PRIu64 ", \"disk_restarts\": %" PRIu64
                        ", \"medium_changes\": %" PRIu64 ", \"hidden_medium_changes\": %" PRIu64
                        ", \"error_code_mismatches\": %" PRIu64 ", \"hangs\": %" PRIu64 "}\n",
                        options_.seed, counts_.ops, counts_.mismatches, counts_.failuresInjected,
                        counts_.failuresReported, counts_.failuresHidden, counts_.transientFaults,
                        counts_.failedRequests, hard.cancelled, hard.timeouts, hard.requeries,
                        hard.diskRestarts, hard.mediumChanges, hard.hiddenMediumChanges,
                        hard.errorCodeMismatches, counts_.hangs);
        }
        else
        {
            std::printf("seed %" PRIu64 ": %" PRIu64 " operations, %" PRIu64 " mismatches, %" PRIu64
                        " failures armed (%" PRIu64 " reported, %" PRIu64 " hidden), %" PRIu64
                        " transient faults, %" PRIu64 " requests failed\n",
                        options_.seed, counts_.ops, counts_.mismatches, counts_.failuresInjected,
                        counts_.failuresReported, counts_.failuresHidden, counts_.transientFaults,
                        counts_.failedRequests);
            if (hardening_)
            {
                std::printf("  hardening: %" PRIu64 " cancelled URBs, %" PRIu64 " time-outs, %" PRIu64
                            " re-queries, %" PRIu64 " disk restarts, %" PRIu64 " medium changes (%" PRIu64
                            " hidden), %" PRIu64 " error code mismatches\n",
                            hard.cancelled, hard.timeouts, hard.requeries, hard.diskRestarts,
                            hard.mediumChanges, hard.hiddenMediumChanges, hard.errorCodeMismatches);
            }
        }
    }

    TortureOptions options_;
    std::mt19937_64 random_;
    std::shared_ptr<wu::MemoryDiskImage> images_[kUnits];
    Reference reference_[kUnits];
    uint64_t next_[kUnits][2] = {};
    uint64_t lastStart_[kUnits] = {};
    std::unique_ptr<Hardening> hardening_; // with faults
    std::unique_ptr<wu::StorageRig> rig_;
    Counts counts_;
    std::deque<Operation> last_;
    uint64_t commandsBefore_ = 0; // device commands before the request in progress
};
} // namespace

// Application threads per unit: the rig's eight application identities shared by the two units.
constexpr unsigned kMostThreads = 4;

int RunTorture(int argc, char** argv)
{
    TortureOptions options;
    for (int i = 0; i < argc; ++i)
    {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        char* end = nullptr;
        if (arg == "--json")
        {
            options.json = true;
            continue;
        }
        if (arg == "--only" && value != nullptr &&
            (Hardening::KnownKind(value) || IsConcurrentOnlyKind(value)))
        {
            options.only = value;
            options.faults = 1;
            ++i;
            continue;
        }
        if (value == nullptr)
        {
            std::fprintf(stderr, "kavlab torture: %s needs a value\n", arg.c_str());
            return 2;
        }
        unsigned long long number = std::strtoull(value, &end, 10);
        bool ok = end != value && *end == 0;
        if (arg == "--seed" && ok)
        {
            options.seed = number;
        }
        else if (arg == "--ops" && ok && number > 0)
        {
            options.ops = number;
        }
        else if (arg == "--filter" && ok && number <= 1)
        {
            options.filtered = number != 0;
        }
        else if (arg == "--faults" && ok && number <= 1)
        {
            options.faults = unsigned(number);
        }
        else if (arg == "--threads" && ok && number >= 1 && number <= kMostThreads)
        {
            options.threads = unsigned(number);
        }
        else
        {
            std::fprintf(stderr,
                         "usage: kavlab torture [--seed N] [--ops N] [--threads 1-%u] [--faults 0|1] "
                         "[--filter 0|1] [--only KIND] [--json]\n",
                         kMostThreads);
            return 2;
        }
        ++i;
    }
    if (options.threads == 1 && IsConcurrentOnlyKind(options.only))
    {
        std::fprintf(stderr,
                     "kavlab torture: --only %s needs requests in flight together (--threads 2 or more)\n",
                     options.only.c_str());
        return 2;
    }
    winsim::ResetKernel();
    int result = options.threads == 1 ? Torture(options).Run() : RunConcurrentTorture(options);
    winsim::ResetKernel();
    return result;
}
} // namespace kavlab
