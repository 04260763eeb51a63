// winsim: the Bulk-Only Transport state machine of the simulated mass-storage device (see bot_device.h):
// transfers, the thirteen host/device cases, the faults that act on them, reset recovery. What tests and
// kavlab read and set besides the bus is in bot_device_state.cpp.
#include "winsim/usb/bot_device.h"

#include "winsim/usb/usb_misuse.h"

#include <algorithm>
#include <cstring>

namespace winsim::usb
{

namespace
{
const char* PipeName(Pipe pipe)
{
    switch (pipe)
    {
    case Pipe::BulkIn:
        return "bulk IN";
    case Pipe::BulkOut:
        return "bulk OUT";
    case Pipe::InterruptIn:
        return "interrupt IN";
    }
    return "?";
}

// Marks a pipe busy for the length of one transfer; a second transfer on the same pipe meanwhile is a
// host that lost track of its requests.
class PipeBusy
{
public:
    PipeBusy(std::atomic<bool>& flag, Pipe pipe) : flag_(flag)
    {
        if (flag_.exchange(true))
        {
            throw MisuseError(std::string("two transfers in flight on the ") + PipeName(pipe) + " pipe");
        }
    }
    ~PipeBusy() { flag_.store(false); }
    PipeBusy(const PipeBusy&) = delete;
    PipeBusy& operator=(const PipeBusy&) = delete;

private:
    std::atomic<bool>& flag_;
};
} // namespace

BulkOnlyDevice::BulkOnlyDevice(DeviceConfig config)
    : config_(std::move(config)), target_(config_.luns), timing_(config_.timing)
{
    if (config_.maxPacketSize == 0)
    {
        throw MisuseError("bulk endpoints need a maximum packet size");
    }
}

bool& BulkOnlyDevice::HaltFlag(Pipe pipe)
{
    return halted_[static_cast<int>(pipe)];
}

TransferResult BulkOnlyDevice::Transfer(Pipe pipe, void* buffer, uint32_t length)
{
    PipeBusy busy(busy_[static_cast<int>(pipe)], pipe);
    if (buffer == nullptr && length != 0)
    {
        throw MisuseError(std::string("transfer of ") + std::to_string(length) +
                          " bytes without a buffer on the " + PipeName(pipe) + " pipe");
    }
    std::function<void(Pipe, uint32_t)> hook;
    {
        std::lock_guard<std::mutex> guard(lock_);
        hook = hook_;
    }
    if (hook)
    {
        hook(pipe, length);
    }

    std::lock_guard<std::mutex> guard(lock_);
    if (gone_)
    {
        return TransferResult{TransferStatus::DeviceGone, 0};
    }
    const bool in = pipe != Pipe::BulkOut;
    if (HaltFlag(pipe))
    {
        timing_.ChargeTransfer(0, 0, in);
        return TransferResult{TransferStatus::Stall, 0};
    }
    if (pipe == Pipe::InterruptIn) // a Bulk-Only device has nothing to report on it
    {
        return TransferResult{TransferStatus::Nak, 0};
    }
    if (current_.faults.hang && phase_ != DevicePhase::Command)
    {
        return TransferResult{TransferStatus::Nak, 0}; // hung: only a reset brings it back
    }

    auto* bytes = static_cast<uint8_t*>(buffer);
    uint32_t payload = 0;
    TransferResult result;
    switch (phase_)
    {
    case DevicePhase::Command:
        result = in ? HostError() : CommandOut(bytes, length);
        break;
    case DevicePhase::DataIn:
        result = in ? DataIn(bytes, length, payload) : HostError();
        break;
    case DevicePhase::DataOut:
        result = in ? HostError() : DataOut(bytes, length, payload);
        break;
    case DevicePhase::Status:
        result = in ? StatusIn(bytes, length) : HostError();
        break;
    }
    if (result.status != TransferStatus::DeviceGone)
    {
        timing_.ChargeTransfer(result.bytes, payload, in);
    }
    return result;
}

// A host that sends or reads in the wrong phase gets NAK for ever on a real bus.
TransferResult BulkOnlyDevice::HostError()
{
    ++hostErrors_;
    return TransferResult{TransferStatus::Nak, 0};
}

// The device's answer to an invalid or meaningless wrapper: both bulk pipes stall until reset recovery.
void BulkOnlyDevice::RejectCommandWrapper()
{
    ++invalidCbws_;
    awaitingReset_ = true;
    HaltFlag(Pipe::BulkIn) = true;
    HaltFlag(Pipe::BulkOut) = true;
    phase_ = DevicePhase::Command;
}

TransferResult BulkOnlyDevice::CommandOut(const uint8_t* buffer, uint32_t length)
{
    // The wrapper's packet is acknowledged before it is examined; the host learns of a rejection from
    // the stall of its next transfer.
    const TransferResult accepted{TransferStatus::Ok, length};
    if (length != kCbwLength)
    {
        RejectCommandWrapper();
        return accepted;
    }
    CommandBlockWrapper cbw;
    std::memcpy(&cbw, buffer, kCbwLength);
    const bool valid = ReadLe32(cbw.signature) == kCbwSignature;
    const bool meaningful = (cbw.flags & 0x7F) == 0 && (cbw.lun & 0xF0) == 0 &&
                            cbw.lun < target_.LunCount() && cbw.cdbLength >= 1 &&
                            cbw.cdbLength <= kCbwMaxCdbLength;
    if (!valid || !meaningful)
    {
        RejectCommandWrapper();
        return accepted;
    }

    timing_.ChargeCommand();
    previousTag_ = current_.tag;
    current_ = Exchange{};
    current_.cbw = cbw;
    current_.tag = ReadLe32(cbw.tag);
    current_.hostLength = ReadLe32(cbw.dataTransferLength);
    current_.hostIn = (cbw.flags & kCbwFlagDataIn) != 0;
    current_.lun = cbw.lun;

    CommandInfo& info = current_.info;
    info.number = ++commandNumber_;
    info.opcode = cbw.cdb[0];
    info.lun = cbw.lun;
    info.hasBlocks = info.opcode == scsi::kRead10 || info.opcode == scsi::kWrite10;
    if (info.hasBlocks)
    {
        info.lba = ReadBe32(cbw.cdb + 2);
        info.blocks = ReadBe16(cbw.cdb + 7);
    }
    info.hostData = current_.hostLength != 0;
    info.dataIn = info.hostData && current_.hostIn;
    info.hostLength = current_.hostLength;
    current_.faults = faults_.TakeCommandFaults(info);

    CommandRecord record;
    record.number = info.number;
    record.tag = current_.tag;
    record.opcode = info.opcode;
    record.lun = info.lun;
    record.lba = info.lba;
    record.blocks = info.blocks;
    record.hostLength = current_.hostLength;
    record.hostIn = current_.hostIn;
    current_.logIndex = log_.size();
    log_.push_back(record);

    PlanExchange();
    return accepted;
}

// Meets the host's expectation (Hn, Hi, Ho) with the device's intent (Dn, Di, Do): the thirteen cases.
void BulkOnlyDevice::PlanExchange()
{
    Exchange& x = current_;
    const CommandFaults& faults = x.faults;
    if (faults.fail)
    {
        target_.Fail(x.lun, faults.fail->sense);
        x.intent = CommandIntent{false, DataDirection::None, 0};
    }
    else
    {
        x.intent = target_.Start(x.lun, x.cbw.cdb, x.data);
    }
    if (faults.vanish)
    {
        x.vanishAfter = faults.vanish->bytes;
    }
    x.stallStatus = faults.stallStatus.has_value();

    const CommandIntent& intent = x.intent;
    const uint32_t host = x.hostLength;
    const CswStatus done = intent.good ? CswStatus::Passed : CswStatus::Failed;
    x.status = done;
    x.residue = 0;

    if (host == 0)
    {
        // Cases 1 to 3: no data phase; a device that wanted one reports a phase error.
        x.status = intent.direction == DataDirection::None ? done : CswStatus::PhaseError;
        phase_ = DevicePhase::Status;
        return;
    }

    if (x.hostIn)
    {
        phase_ = DevicePhase::DataIn;
        x.stallWhenShort = true;
        if (intent.direction == DataDirection::In)
        {
            // Cases 5 to 7: send what is intended, never more than the host asked for.
            x.deliverable = std::min(intent.length, host);
            x.stallWhenShort = config_.stallAfterShortIn;
            if (intent.length > host)
            {
                x.status = CswStatus::PhaseError;
            }
            if (faults.shortData && faults.shortData->bytes < x.deliverable)
            {
                x.deliverable = faults.shortData->bytes;
                x.stallWhenShort = false;
            }
        }
        else if (intent.direction == DataDirection::Out)
        {
            x.status = CswStatus::PhaseError; // case 8
        }
        // Case 4 (Dn) keeps deliverable 0: the first data transfer stalls.
    }
    else
    {
        phase_ = DevicePhase::DataOut;
        if (intent.direction == DataDirection::In)
        {
            x.status = CswStatus::PhaseError; // case 10
            x.stallAtOnce = true;
        }
        else if (intent.direction == DataDirection::Out)
        {
            if (intent.length > host)
            {
                x.status = CswStatus::PhaseError; // case 13: the write is not carried out
            }
            else
            {
                x.executeOut = true; // cases 11 and 12
            }
            x.data.assign(std::min(intent.length, host), 0);
        }
        // Case 9 (Dn): the data is accepted and dropped.
    }

    if (faults.stallData)
    {
        // A medium error found before any data moved ends the data phase with a stall of its pipe.
        x.stallAtOnce = true;
        x.deliverable = 0;
        x.executeOut = false;
        x.status = CswStatus::Failed;
        target_.Fail(x.lun, x.hostIn ? sense::kUnrecoveredReadError : sense::kWriteError);
    }
    PlanFaultsAfterIntent();
}

// The faults that change what the device does with a command it has understood.
void BulkOnlyDevice::PlanFaultsAfterIntent()
{
    Exchange& x = current_;
    constexpr uint8_t kFiller = 0xA5;
    if (x.faults.outOfStep)
    {
        // The device lost the command: what it sends is not the medium's, what it takes is dropped.
        x.executeOut = false;
        std::fill(x.data.begin(), x.data.end(), kFiller);
    }
    if (x.faults.residue && x.status == CswStatus::Passed)
    {
        const uint32_t block = target_.BlockLength(x.lun);
        if (x.faults.residue->kind == FaultKind::PaddedDataIn && x.deliverable == x.hostLength)
        {
            const uint32_t pad = std::min(x.faults.residue->bytes, x.deliverable);
            std::fill(x.data.end() - long(pad), x.data.end(), kFiller);
            x.reportResidue = pad;
        }
        else if (x.faults.residue->kind == FaultKind::PartialWrite && x.executeOut)
        {
            // The medium takes whole blocks: the residue covers every block not written.
            const uint32_t unwritten = (x.faults.residue->bytes + block - 1) / block * block;
            x.reportResidue = std::min(unwritten, uint32_t(x.data.size()));
        }
    }
}

// The data phase is cut short by a stall of its pipe; the command is reported failed unless it already
// carries a phase error, and the status wrapper follows once the host has cleared the halt.
TransferResult BulkOnlyDevice::EndDataWithStall(Pipe pipe, const SenseData& sense, uint32_t bytes)
{
    HaltFlag(pipe) = true;
    if (current_.status != CswStatus::PhaseError)
    {
        current_.status = CswStatus::Failed;
        target_.Fail(current_.lun, sense);
    }
    current_.executeOut = false;
    current_.residue = current_.hostLength - current_.moved;
    phase_ = DevicePhase::Status;
    return TransferResult{TransferStatus::Stall, bytes};
}

TransferResult BulkOnlyDevice::Vanish(uint32_t bytes)
{
    gone_ = true;
    return TransferResult{TransferStatus::DeviceGone, bytes};
}

TransferResult BulkOnlyDevice::DataIn(uint8_t* buffer, uint32_t length, uint32_t& payload)
{
    Exchange& x = current_;
    if (x.stallAtOnce)
    {
        return EndDataWithStall(Pipe::BulkIn, sense::kUnrecoveredReadError, 0);
    }
    if (faults_.TakeChoke(x.info, length))
    {
        return EndDataWithStall(Pipe::BulkIn, sense::kAbortedCommand, 0);
    }

    const uint32_t hostLeft = x.hostLength - x.moved;
    const uint32_t want = std::min(length, hostLeft);
    const uint32_t available = x.deliverable - std::min(x.deliverable, x.moved);
    uint32_t n = std::min(want, available);
    if (x.faults.vanish && x.moved + n > x.vanishAfter)
    {
        const uint32_t part = x.vanishAfter - x.moved;
        if (part != 0)
        {
            std::memcpy(buffer, x.data.data() + x.moved, part);
        }
        return Vanish(part);
    }
    if (n != 0) // a device with nothing to send may hold no data at all
    {
        std::memcpy(buffer, x.data.data() + x.moved, n);
    }
    x.moved += n;
    payload = n;

    if (n == hostLeft)
    {
        // The host's length is reached. Room left after a full last packet means the host asked for more
        // than its own wrapper announced: the status wrapper follows in the same transfer, as on a bus.
        x.residue = x.hostLength - std::min(x.moved, x.deliverable);
        if (x.reportResidue != 0)
        {
            x.residue = x.reportResidue;
        }
        phase_ = DevicePhase::Status;
        if (length > n && n % config_.maxPacketSize == 0)
        {
            ++hostErrors_;
            TransferResult status = StatusIn(buffer + n, length - n);
            status.bytes += n;
            return status;
        }
        return TransferResult{TransferStatus::Ok, n};
    }
    if (n < want)
    {
        // The device's data ran out before the host's length.
        x.residue = x.hostLength - x.moved;
        phase_ = DevicePhase::Status;
        if (x.faults.shortData && x.faults.shortData->claimFullLength)
        {
            x.residue = 0;
        }
        if (x.stallWhenShort)
        {
            HaltFlag(Pipe::BulkIn) = true;
            // A short packet ends the transfer and the stall hits the next one; data that ends on a
            // packet boundary is ended by the stall itself.
            if (n % config_.maxPacketSize != 0)
            {
                return TransferResult{TransferStatus::Ok, n};
            }
            return TransferResult{TransferStatus::Stall, n};
        }
        return TransferResult{TransferStatus::Ok, n};
    }
    return TransferResult{TransferStatus::Ok, n};
}

TransferResult BulkOnlyDevice::DataOut(const uint8_t* buffer, uint32_t length, uint32_t& payload)
{
    Exchange& x = current_;
    if (x.stallAtOnce)
    {
        return EndDataWithStall(Pipe::BulkOut, sense::kWriteError, 0);
    }
    if (faults_.TakeChoke(x.info, length))
    {
        return EndDataWithStall(Pipe::BulkOut, sense::kAbortedCommand, 0);
    }

    const uint32_t hostLeft = x.hostLength - x.moved;
    const uint32_t n = std::min(length, hostLeft);
    if (x.faults.vanish && x.moved + n > x.vanishAfter)
    {
        return Vanish(x.vanishAfter - x.moved); // the write never reaches the medium
    }
    if (x.moved < x.data.size())
    {
        const uint32_t keep = std::min<uint32_t>(n, uint32_t(x.data.size()) - x.moved);
        std::memcpy(x.data.data() + x.moved, buffer, keep);
    }
    x.moved += n;
    payload = n;
    if (x.moved < x.hostLength)
    {
        return TransferResult{TransferStatus::Ok, n};
    }

    // All the host announced has arrived: carry out the write and account for what was not used.
    phase_ = DevicePhase::Status;
    if (x.status != CswStatus::PhaseError)
    {
        x.residue = x.hostLength - uint32_t(x.data.size());
    }
    if (x.executeOut && x.reportResidue != 0)
    {
        // Only the blocks before the residue reach the medium.
        uint8_t cdb[16];
        std::memcpy(cdb, x.cbw.cdb, sizeof cdb);
        const uint32_t written = (uint32_t(x.data.size()) - x.reportResidue) / target_.BlockLength(x.lun);
        WriteBe16(cdb + 7, uint16_t(written));
        if (written != 0)
        {
            target_.FinishOut(x.lun, cdb, x.data.data());
        }
        x.residue = x.reportResidue;
        x.executeOut = false;
    }
    if (x.executeOut)
    {
        target_.FinishOut(x.lun, x.cbw.cdb, x.data.data());
        x.executeOut = false;
    }
    if (length > n)
    {
        // Bytes beyond the announced length arrive where the device expects a command wrapper.
        ++hostErrors_;
        RejectCommandWrapper();
        phase_ = DevicePhase::Status;
        return TransferResult{TransferStatus::Stall, n};
    }
    return TransferResult{TransferStatus::Ok, n};
}

TransferResult BulkOnlyDevice::StatusIn(uint8_t* buffer, uint32_t length)
{
    Exchange& x = current_;
    if (x.stallStatus)
    {
        x.stallStatus = false;
        HaltFlag(Pipe::BulkIn) = true;
        return TransferResult{TransferStatus::Stall, 0};
    }
    if (x.faults.vanish)
    {
        return Vanish(0);
    }
    if (length < kCswLength)
    {
        // The 13-byte packet does not fit: babble. The device keeps the wrapper for the next read.
        ++hostErrors_;
        return TransferResult{TransferStatus::Overrun, 0};
    }
    const uint32_t sent = x.faults.shortCsw ? std::min(x.faults.shortCsw->bytes, kCswLength) : kCswLength;
    CommandStatusWrapper csw;
    WriteLe32(csw.signature, x.faults.badSignature ? kCswSignature ^ 0x20000000u : kCswSignature);
    WriteLe32(csw.tag, x.faults.badTag ? ~x.tag : x.tag);
    WriteLe32(csw.dataResidue, x.residue);
    csw.status = static_cast<uint8_t>(x.faults.phaseError ? CswStatus::PhaseError : x.status);
    const bool outOfStep = x.faults.outOfStep.has_value();
    if (outOfStep)
    {
        // Garbled: the right tag and a pass, but not a status wrapper's signature. Foreign: a wrapper
        // left over from the command before, well formed and passed, with its tag. Each is told from a
        // real answer by that one field only.
        const bool garbled = x.faults.outOfStep->kind == FaultKind::GarbledCsw;
        WriteLe32(csw.signature, garbled ? 0x5A5A5A5Au : kCswSignature);
        WriteLe32(csw.tag, garbled ? x.tag : previousTag_ != x.tag ? previousTag_ : x.tag + 1);
        WriteLe32(csw.dataResidue, 0);
        csw.status = static_cast<uint8_t>(CswStatus::Passed);
    }
    std::memcpy(buffer, &csw, sent);

    if (x.status == CswStatus::PhaseError)
    {
        ++phaseErrors_;
    }
    CommandRecord& record = log_[x.logIndex];
    record.completed = true;
    record.status = x.status;
    record.residue = x.residue;
    phase_ = DevicePhase::Command;
    current_.data.clear();
    current_.data.shrink_to_fit();
    if (outOfStep)
    {
        // Out of step with the host, the device takes nothing more until reset recovery.
        awaitingReset_ = true;
        HaltFlag(Pipe::BulkIn) = true;
        HaltFlag(Pipe::BulkOut) = true;
    }
    return TransferResult{TransferStatus::Ok, sent};
}

// Reset recovery, first step: back to waiting for a command wrapper. Halts stay until cleared.
TransferStatus BulkOnlyDevice::MassStorageReset()
{
    std::lock_guard<std::mutex> guard(lock_);
    if (gone_)
    {
        return TransferStatus::DeviceGone;
    }
    timing_.ChargeControlRequest();
    awaitingReset_ = false;
    phase_ = DevicePhase::Command;
    current_ = Exchange{};
    return TransferStatus::Ok;
}

// The request always succeeds, but a device waiting for reset recovery stalls the pipe again at once.
TransferStatus BulkOnlyDevice::ClearHalt(Pipe pipe)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (gone_)
    {
        return TransferStatus::DeviceGone;
    }
    timing_.ChargeControlRequest();
    if (!(awaitingReset_ && pipe != Pipe::InterruptIn))
    {
        HaltFlag(pipe) = false;
    }
    return TransferStatus::Ok;
}

TransferStatus BulkOnlyDevice::PortReset()
{
    std::lock_guard<std::mutex> guard(lock_);
    if (gone_)
    {
        return TransferStatus::DeviceGone;
    }
    timing_.ChargeControlRequest();
    awaitingReset_ = false;
    for (bool& halted : halted_)
    {
        halted = false;
    }
    phase_ = DevicePhase::Command;
    current_ = Exchange{};
    if (config_.unitAttentionOnPortReset)
    {
        target_.RaiseResetAttention();
    }
    return TransferStatus::Ok;
}

TransferStatus BulkOnlyDevice::GetMaxLun(uint8_t* maxLun)
{
    if (maxLun == nullptr)
    {
        throw MisuseError("Get Max LUN without a buffer");
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (gone_)
    {
        return TransferStatus::DeviceGone;
    }
    timing_.ChargeControlRequest();
    *maxLun = uint8_t(target_.LunCount() - 1);
    return TransferStatus::Ok;
}

} // namespace winsim::usb
