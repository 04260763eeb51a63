// winsim: a USB mass-storage device speaking the Bulk-Only Transport, fed transfer by transfer on its
// bulk OUT and bulk IN pipes (and an interrupt IN pipe that never has data), with the SCSI block target
// of scsi_target.h behind it, the virtual clock of timing_model.h and the faults of fault_plan.h.
//
// What it checks and enforces, as the Bulk-Only Transport 1.0 describes a device:
// - command wrappers: exactly 31 bytes, signature 0x43425355, no reserved flag or LUN bits, a supported
//   LUN and a command block length of 1 to 16. Anything else stalls both bulk pipes until a reset
//   recovery (Bulk-Only Mass Storage Reset, then clear HALT on both pipes); a clear HALT before the
//   reset leaves the pipe stalled.
// - the thirteen host/device cases: the host's expectation (dCBWDataTransferLength and direction) is met
//   with the device's intent, giving the data moved, the stalls, the residue and the status (phase error
//   for cases 2, 3, 7, 8, 10 and 13) of the status wrapper (13 bytes, signature 0x53425355, tag echoed).
//   After a phase error the device still takes the next wrapper; the reset recovery the host owes is
//   the host model's rule to check.
// - host protocol errors that a real device answers with NAK for ever (reading before a command, sending
//   in the wrong phase) return TransferStatus::Nak and are counted; a status-wrapper read into fewer than
//   13 bytes is a babble (Overrun). Two transfers in flight on one pipe throw MisuseError: a host driver
//   that does this has lost track of its own requests.
// Transfers may come from any thread; the device serialises them.
#pragma once

#include "winsim/usb/bot_wire.h"
#include "winsim/usb/fault_plan.h"
#include "winsim/usb/scsi_target.h"
#include "winsim/usb/timing_model.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace winsim::usb
{

enum class Pipe
{
    BulkIn,
    BulkOut,
    InterruptIn,
};

enum class TransferStatus
{
    Ok,         // bytes moved; an IN transfer may end short
    Stall,      // the pipe is (now) halted; `bytes` moved before the stall
    Nak,        // the device will not take part: on a real bus the transfer waits until the host aborts it
    Overrun,    // the device sent more than the buffer holds (babble)
    DeviceGone, // the device has left the bus
};

struct TransferResult
{
    TransferStatus status = TransferStatus::Ok;
    uint32_t bytes = 0;
};

// The device's own view of where the exchange stands.
enum class DevicePhase
{
    Command,
    DataIn,
    DataOut,
    Status,
};

// One accepted command wrapper, for comparing the command sequence with and without a filter.
struct CommandRecord
{
    uint64_t number = 0;
    uint32_t tag = 0;
    uint8_t opcode = 0;
    uint8_t lun = 0;
    uint32_t lba = 0;    // READ(10)/WRITE(10); 0 otherwise
    uint32_t blocks = 0; // READ(10)/WRITE(10); 0 otherwise
    uint32_t hostLength = 0;
    bool hostIn = false;
    bool completed = false; // its status wrapper has been delivered
    CswStatus status = CswStatus::Passed;
    uint32_t residue = 0;
};

// One endpoint of the device's interface as its configuration describes it, and the device pipe its
// transfers reach.
struct EndpointConfig
{
    Pipe pipe = Pipe::BulkIn;
    uint8_t address = 0x81;
    bool interrupt = false;
    uint16_t maxPacketSize = 512;
};

// Descriptors and behaviour of one device. The USB identity is what a bus PDO reports.
struct DeviceConfig
{
    std::vector<LunConfig> luns;
    TimingParameters timing;
    uint16_t maxPacketSize = 512; // high speed bulk
    // After less data than the host asked for, the device stalls bulk IN (the Bulk-Only rule); a lax
    // device only ends the transfer with a short packet.
    bool stallAfterShortIn = true;
    // A port reset resets the device: every unit then reports a power-on/reset UNIT ATTENTION. Off by
    // default, as the command sequences that tests compare assume.
    bool unitAttentionOnPortReset = false;
    uint16_t vendorId = 0x1209;
    uint16_t productId = 0x4B56;
    uint16_t bcdDevice = 0x0100;
    uint8_t bulkInAddress = 0x81;
    uint8_t bulkOutAddress = 0x02;
    uint8_t interruptInAddress = 0x83;
    // The interface's endpoints when they are not the usual three above: pipes missing, extra or odd, as
    // a broken or hostile device describes them.
    std::vector<EndpointConfig> endpoints;
};

class BulkOnlyDevice
{
public:
    explicit BulkOnlyDevice(DeviceConfig config);
    virtual ~BulkOnlyDevice() = default;
    BulkOnlyDevice(const BulkOnlyDevice&) = delete;
    BulkOnlyDevice& operator=(const BulkOnlyDevice&) = delete;

    // One bulk or interrupt transfer. OUT reads `length` bytes from `buffer`, IN fills up to `length`.
    // The bus reaches the device only through these five: a device that answers otherwise than the
    // Bulk-Only Transport says (a hostile one) overrides them.
    virtual TransferResult Transfer(Pipe pipe, void* buffer, uint32_t length);

    // Class and standard control requests of reset recovery and LUN discovery.
    virtual TransferStatus MassStorageReset();
    virtual TransferStatus ClearHalt(Pipe pipe);
    virtual TransferStatus GetMaxLun(uint8_t* maxLun);
    // A bus reset of the port: the device drops the exchange in progress, every halt and a pending reset
    // recovery, and waits for a command wrapper.
    virtual TransferStatus PortReset();

    // The device leaves the bus: every later transfer and request finds it gone.
    void Unplug();
    bool Gone() const;
    bool Halted(Pipe pipe) const;
    DevicePhase Phase() const;

    int AddFault(const FaultRule& rule);
    bool RemoveFault(int id);
    void ClearFaults();
    uint64_t FaultsFired() const;
    size_t FaultsPending() const;

    TimingCounters Counters() const;
    uint64_t BoundNs() const;
    void SetTiming(const TimingParameters& parameters);
    void ResetCounters();
    std::vector<CommandRecord> CommandLog() const;
    void ClearCommandLog();
    uint64_t InvalidCommandWrappers() const;
    uint64_t PhaseErrors() const;
    uint64_t HostProtocolErrors() const;

    // The medium and unit state, for tests that set up or verify data behind the transport's back.
    uint8_t LunCount() const;
    uint32_t BlockLength(uint8_t lun) const;
    uint64_t BlockCount(uint8_t lun) const;
    SenseData PendingSense(uint8_t lun) const;
    bool RemovalPrevented(uint8_t lun) const;
    uint64_t SynchronizeCount(uint8_t lun) const;
    void ReadMedium(uint8_t lun, uint64_t offset, void* buffer, uint64_t length);
    void WriteMedium(uint8_t lun, uint64_t offset, const void* buffer, uint64_t length);
    void SetMediumPresent(uint8_t lun, bool present);
    void SetWriteProtected(uint8_t lun, bool writeProtected);
    // A card swapped without a gap the unit could see: the next command meets UNIT ATTENTION.
    void ChangeMedium(uint8_t lun);
    bool UnitAttentionPending(uint8_t lun) const;
    const DeviceConfig& Config() const { return config_; }

    // Called at the start of every transfer, with the pipe already marked busy and no lock held: lets a
    // test act while a transfer is in flight.
    void SetTransferHook(std::function<void(Pipe, uint32_t)> hook);

private:
    // The command between its wrapper and its status wrapper.
    struct Exchange
    {
        CommandBlockWrapper cbw{};
        uint32_t tag = 0;
        uint32_t hostLength = 0;
        bool hostIn = false;
        uint8_t lun = 0;
        CommandInfo info;
        CommandFaults faults;
        CommandIntent intent;
        std::vector<uint8_t> data; // data in: what the device sends; data out: what it keeps
        uint32_t deliverable = 0;  // data in: bytes the device will send
        bool stallWhenShort = false;
        bool stallAtOnce = false; // the data pipe stalls at the first data transfer
        bool executeOut = false;  // data out: write the data once it has all arrived
        uint32_t moved = 0;       // data-phase bytes that crossed the bus
        uint32_t vanishAfter = 0;
        bool stallStatus = false;
        uint32_t reportResidue = 0; // PaddedDataIn/PartialWrite: the residue the status wrapper claims
        CswStatus status = CswStatus::Passed;
        uint32_t residue = 0;
        size_t logIndex = 0;
    };

    TransferResult CommandOut(const uint8_t* buffer, uint32_t length);
    void PlanExchange();
    TransferResult DataIn(uint8_t* buffer, uint32_t length, uint32_t& payload);
    TransferResult DataOut(const uint8_t* buffer, uint32_t length, uint32_t& payload);
    TransferResult StatusIn(uint8_t* buffer, uint32_t length);
    TransferResult EndDataWithStall(Pipe pipe, const SenseData& sense, uint32_t bytes);
    void RejectCommandWrapper();
    TransferResult Vanish(uint32_t bytes);
    void PlanFaultsAfterIntent();
    TransferResult HostError();
    bool& HaltFlag(Pipe pipe);

    DeviceConfig config_;
    mutable std::mutex lock_;
    ScsiTarget target_;
    TimingModel timing_;
    FaultPlan faults_;
    std::vector<CommandRecord> log_;
    std::function<void(Pipe, uint32_t)> hook_;
    std::atomic<bool> busy_[3] = {};

    DevicePhase phase_ = DevicePhase::Command;
    Exchange current_;
    bool gone_ = false;
    bool halted_[3] = {};
    bool awaitingReset_ = false; // an invalid command wrapper keeps both bulk pipes stalled
    uint64_t commandNumber_ = 0;
    uint32_t previousTag_ = 0; // the tag of the last accepted command wrapper before the current one
    uint64_t invalidCbws_ = 0;
    uint64_t phaseErrors_ = 0;
    uint64_t hostErrors_ = 0;
};

} // namespace winsim::usb
