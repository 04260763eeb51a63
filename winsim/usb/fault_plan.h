// winsim: misbehaviour on demand for the simulated mass-storage device. A rule names a fault and the
// commands it hits (the Nth command wrapper, an operation code, a logical unit, a block range); it fires
// once and is then gone, or stays (persistent). Command faults are taken when the command wrapper is
// accepted; a choke is tested on each bulk transfer of a matching command. Not thread-safe: the device
// serialises its calls.
#pragma once

#include "winsim/usb/scsi_defs.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace winsim::usb
{

enum class FaultKind
{
    FailCommand,     // CHECK CONDITION with `sense`; no data moves (the device intends none)
    BadCswSignature, // the command's status wrapper carries a wrong signature
    BadCswTag,       // the command's status wrapper echoes a wrong tag
    ShortCsw,        // the command's status wrapper ends after `bytes` bytes (fewer than 13)
    PhaseErrorCsw,   // the command's status wrapper reports a phase error, asking for reset recovery
    ShortData,       // a data-in command delivers only `bytes` bytes, ended by a short packet, no stall
    StallData,       // the first data transfer is stalled; the command fails with a medium error
    StallStatus,     // bulk IN is stalled before the status wrapper; the wrapper follows a clear halt
    Vanish,          // the device disappears after `bytes` data bytes of the command (at its status
                     // wrapper when it moves less): this and every later transfer finds no device
    Choke,           // any data-phase bulk transfer longer than `bytes` is stalled; the command fails
    // A device that falls out of step: it loses the command (a write is not carried out, data in is
    // filler), answers with a garbled status wrapper (passed, the right tag, a wrong signature) or a
    // foreign one (valid, passed, but the tag of the command before), and stalls both bulk pipes until
    // reset recovery.
    GarbledCsw,
    ForeignCsw,
    // All the data moves, yet the status wrapper (passed) reports a residue of `bytes`: data in is
    // padded with filler at its end; data out is taken but only the part before the residue (whole
    // blocks) reaches the medium.
    PaddedDataIn,
    PartialWrite,
    // The device stops answering at the command's data phase (at its status wrapper when it has none):
    // every transfer is NAKed until the host aborts the pipe or resets the port, and the command is lost.
    Hang,
};

// Which commands a rule hits; an empty field matches everything.
struct CommandFilter
{
    std::optional<uint64_t> commandNumber; // 1 = the first command wrapper the device accepts
    std::optional<uint8_t> opcode;
    std::optional<uint8_t> lun;
    std::optional<uint32_t> firstLba; // with lastLba: READ(10)/WRITE(10) touching these blocks
    std::optional<uint32_t> lastLba;
};

struct FaultRule
{
    FaultKind kind = FaultKind::FailCommand;
    CommandFilter when;
    bool persistent = false;
    SenseData sense = sense::kUnrecoveredReadError; // FailCommand
    uint32_t bytes = 0;           // ShortData, ShortCsw, Vanish, Choke, PaddedDataIn, PartialWrite
    bool claimFullLength = false; // ShortData: the status wrapper reports residue 0
};

// The command a rule is matched against.
struct CommandInfo
{
    uint64_t number = 0;
    uint8_t opcode = 0;
    uint8_t lun = 0;
    bool hasBlocks = false; // READ(10) or WRITE(10)
    uint32_t lba = 0;
    uint32_t blocks = 0;
    bool dataIn = false; // the host expects data from the device
    uint32_t hostLength = 0;
    bool hostData = false; // the host expects a data phase at all
};

// The faults that one command carries, taken from the plan when its wrapper is accepted.
struct CommandFaults
{
    std::optional<FaultRule> fail;
    std::optional<FaultRule> badSignature;
    std::optional<FaultRule> badTag;
    std::optional<FaultRule> shortCsw;
    std::optional<FaultRule> phaseError;
    std::optional<FaultRule> shortData;
    std::optional<FaultRule> stallData;
    std::optional<FaultRule> stallStatus;
    std::optional<FaultRule> vanish;
    std::optional<FaultRule> outOfStep; // GarbledCsw or ForeignCsw
    std::optional<FaultRule> residue;   // PaddedDataIn or PartialWrite
    std::optional<FaultRule> hang;
};

class FaultPlan
{
public:
    int Add(const FaultRule& rule);
    bool Remove(int id);
    void Clear() { rules_.clear(); }
    size_t Pending() const { return rules_.size(); }
    uint64_t Fired() const { return fired_; }

    CommandFaults TakeCommandFaults(const CommandInfo& command);
    // True when a transfer of `length` bytes of this command chokes the device.
    bool TakeChoke(const CommandInfo& command, uint64_t length);

private:
    struct Entry
    {
        int id;
        FaultRule rule;
    };
    static bool Matches(const CommandFilter& when, const CommandInfo& command);
    static bool Applies(const FaultRule& rule, const CommandInfo& command);
    void Fire(size_t index);

    std::vector<Entry> rules_;
    int nextId_ = 1;
    uint64_t fired_ = 0;
};

} // namespace winsim::usb
