// A USB mass-storage device that answers the whole storage stack from a script of fuzzer bytes: every
// command wrapper it accepts takes the script's next answer, which may leave the exchange honest or make
// any part of it hostile (data short or long, garbage, data of another block or unit of its own, stalls at
// any phase, a status wrapper with any signature, tag, residue or status, or one cut short or too long,
// READ CAPACITY and INQUIRY answers of any content, vanishing at any phase). When the script is used up it
// answers honestly: INQUIRY, READ CAPACITY (4 MiB of 512-byte blocks per unit), REQUEST SENSE, MODE SENSE,
// READ(10) and WRITE(10) without a medium behind them.
//
// Its data is checkable: every data-in byte is a word of data_provenance.h keyed by the unit and position
// the device claims it is (or raw garbage, recorded as such), and every data phase is recorded in the
// Provenance. Written data is not kept; a write's words count as acknowledged once a valid status wrapper
// reporting success (with the residue it reports) follows them. Data the device receives that the
// application never wrote to that unit and place is remembered as a breach.
//
// It answers NAK only when the script makes it hang (a NAKed transfer waits for the function driver's
// time-out, until a port or Bulk-Only reset): what does not fit the phase is stalled. Each NAK moves the
// simulated clock on by the silence the harness gives, so that a silent stick costs no time on the host.
// Every transfer and class request counts as a step; past a bound the device leaves the bus and reports
// the input as one that would never end.
//
// Script of one answer (all multi-byte numbers little-endian; a missing byte reads as 0):
//   byte 0, low four bits, the data phase:
//     0 honest                     7 salt S (1 byte): READ(10) data words carry salt S
//     1 short N (2 bytes), stall   8 capacity (8 bytes): the data-in is these bytes (READ CAPACITY's answer;
//     2 long N (2 bytes): babble     the block length in it becomes the unit's for positions)
//     3 stall at once              9 raw N (1 byte) + N bytes: the data-in is these bytes (INQUIRY garbage)
//     4 vanish after N (2 bytes)  10 stall the command wrapper      11 vanish at the command wrapper
//     5 garbage N (1 byte) + N bytes at the start of the data, the rest honest
//     6 foreign U (1 byte), D (2 bytes, signed): READ(10) data of unit U, D blocks away
//    12 short N (2 bytes), ended by a short packet without a stall (a lax device)
//    13 hang: the device stops answering at the data phase (every transfer NAKed until a reset)
//   byte 0, high four bits, the status phase:
//     0 honest     1 status S (1 byte)    2 residue R (4 bytes)   3 wrong signature
//     4 the tag of the command before     5 stall once before the wrapper   6 vanish at the wrapper
//     7 cut to N bytes (1 byte)           8 one byte too long (babble)
//     9 raw wrapper (13 bytes; its tag field is XORed with the right tag, so zeros there keep it right)
//    10 status S (1 byte) and residue R (4 bytes)
//    11 hang: the device stops answering at the status wrapper
//   Values 14 and 15 (data) and 12 to 15 (status) are honest, and so is any hang after the fourth.
#pragma once

#include "tests/fuzz/data_provenance.h"

#include "winsim/usb/bot_device.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace kavfuzz
{

// The device's answers, read from the fuzzer's bytes in order.
class Script
{
public:
    Script(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte();
    uint16_t Le16();
    uint32_t Le32();
    void Bytes(uint8_t* out, size_t count);
    bool Exhausted() const { return at_ >= size_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

struct HostileAnswers
{
    uint8_t maxLun = 0;
    bool stallMaxLun = false;
    bool trace = false; // print each command wrapper with the answer it took, to write inputs by hand
    std::chrono::milliseconds silence{0}; // the clock's jump per NAK: the function driver's time-out
};

class HostileDevice : public winsim::usb::BulkOnlyDevice
{
public:
    static constexpr uint64_t kHonestBlocks = 8192; // 4 MiB of 512-byte blocks per unit
    static constexpr uint64_t kStepLimit = 20000;
    static constexpr unsigned kHangsMost = 4; // further hang answers are honest: each costs a reset recovery

    HostileDevice(const winsim::usb::DeviceConfig& config, HostileAnswers answers, Script script,
                  Provenance& provenance);

    winsim::usb::TransferResult Transfer(winsim::usb::Pipe pipe, void* buffer, uint32_t length) override;
    winsim::usb::TransferStatus MassStorageReset() override;
    winsim::usb::TransferStatus ClearHalt(winsim::usb::Pipe pipe) override;
    winsim::usb::TransferStatus GetMaxLun(uint8_t* maxLun) override;
    winsim::usb::TransferStatus PortReset() override;

    // Write data acknowledged so far, and the first word received that the application never wrote there.
    std::vector<AckedSpan> Acknowledged() const;
    std::string ForeignWrite() const;
    bool StepLimitReached() const;
    uint64_t Steps() const;

private:
    enum class Phase
    {
        Command,
        DataIn,
        DataOut,
        Status,
    };

    struct Answer
    {
        uint8_t data = 0;
        uint8_t status = 0;
        uint32_t count = 0; // N of the data action
        std::vector<uint8_t> raw;
        uint8_t sourceLun = 0;
        int16_t shiftBlocks = 0;
        uint16_t salt = 0;
        uint8_t cswStatus = 0;
        uint32_t residue = 0;
        uint8_t cswCut = 13;
        uint8_t rawCsw[13] = {};
    };

    struct Exchange
    {
        uint32_t tag = 0;
        uint32_t hostLength = 0;
        bool hostIn = false;
        uint8_t lun = 0;
        uint8_t cdb[16] = {};
        Answer answer;
        bool readCommand = false;
        bool writeCommand = false;
        uint64_t position = 0;      // READ(10)/WRITE(10): byte of the unit's space the data starts at
        std::vector<uint8_t> reply; // data-in other than READ(10) data
        uint32_t deliverable = 0;   // data-in bytes the device means to send
        uint32_t moved = 0;         // data-phase bytes that crossed the bus
        bool failed = false;        // the honest status is a failure
        bool statusStalled = false;
    };
    bool hanging_ = false; // every transfer is NAKed until a reset
    unsigned hangs_ = 0;

    Answer ReadAnswer();
    winsim::usb::TransferResult CommandOut(const uint8_t* buffer, uint32_t length);
    void PlanData();
    bool RefusesDataPhase(winsim::usb::Pipe pipe, winsim::usb::TransferResult& result);
    winsim::usb::TransferResult DataIn(uint8_t* buffer, uint32_t length);
    winsim::usb::TransferResult DataOut(const uint8_t* buffer, uint32_t length);
    winsim::usb::TransferResult StatusIn(uint8_t* buffer, uint32_t length);
    void FillDataIn(uint8_t* buffer, uint32_t at, uint32_t count);
    void Acknowledge(uint32_t residue);
    winsim::usb::TransferResult Stall(winsim::usb::Pipe pipe, uint32_t bytes);
    winsim::usb::TransferResult Silent();
    winsim::usb::TransferResult Leave(uint32_t bytes);
    bool Step();
    bool& Halted(winsim::usb::Pipe pipe);

    mutable std::mutex lock_;
    HostileAnswers answers_;
    Script script_;
    Provenance& provenance_;
    Phase phase_ = Phase::Command;
    Exchange x_;
    uint32_t previousTag_ = 0;
    bool halted_[3] = {};
    bool awaitingReset_ = false;
    bool gone_ = false;
    uint64_t steps_ = 0;
    uint8_t lastSenseKey_[16] = {};
    std::vector<uint32_t> blockLength_; // per unit: the block length it last reported
    std::vector<uint8_t> received_;     // data-out of the current command (kept apart: its capacity stays)
    std::vector<AckedSpan> acked_;
    std::string foreignWrite_;
};

} // namespace kavfuzz
