// The scripted hostile mass-storage device (see hostile_device.h).
#include "tests/fuzz/hostile_device.h"

#include "winsim/kernel/winsim_kernel.h"

#include "winsim/usb/bot_wire.h"
#include "winsim/usb/scsi_defs.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kavfuzz
{

namespace wu = winsim::usb;

namespace
{

enum DataAction : uint8_t
{
    kDataHonest = 0,
    kDataShort = 1,
    kDataLong = 2,
    kDataStall = 3,
    kDataVanish = 4,
    kDataGarbage = 5,
    kDataForeign = 6,
    kDataSalt = 7,
    kDataCapacity = 8,
    kDataRaw = 9,
    kCommandStall = 10,
    kCommandVanish = 11,
    kDataShortLax = 12,
    kDataHang = 13,
};

enum StatusAction : uint8_t
{
    kStatusHonest = 0,
    kStatusByte = 1,
    kStatusResidue = 2,
    kStatusSignature = 3,
    kStatusPreviousTag = 4,
    kStatusStall = 5,
    kStatusVanish = 6,
    kStatusCut = 7,
    kStatusLong = 8,
    kStatusRaw = 9,
    kStatusByteResidue = 10,
    kStatusHang = 11,
};

uint32_t ReadBe32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

void WriteBe32(uint8_t* p, uint32_t value)
{
    p[0] = uint8_t(value >> 24);
    p[1] = uint8_t(value >> 16);
    p[2] = uint8_t(value >> 8);
    p[3] = uint8_t(value);
}

} // namespace

uint8_t Script::Byte()
{
    return at_ < size_ ? data_[at_++] : 0;
}

uint16_t Script::Le16()
{
    const uint16_t low = Byte();
    return uint16_t(low | uint16_t(Byte()) << 8);
}

uint32_t Script::Le32()
{
    const uint32_t low = Le16();
    return low | uint32_t(Le16()) << 16;
}

void Script::Bytes(uint8_t* out, size_t count)
{
    for (size_t i = 0; i < count; ++i)
    {
        out[i] = Byte();
    }
}

HostileDevice::HostileDevice(const wu::DeviceConfig& config, HostileAnswers answers, Script script,
                             Provenance& provenance)
    : BulkOnlyDevice(config), answers_(answers), script_(script), provenance_(provenance),
      blockLength_(config.luns.size(), 512)
{
}

HostileDevice::Answer HostileDevice::ReadAnswer()
{
    Answer a;
    const uint8_t action = script_.Byte();
    a.data = action & 0xF;
    a.status = action >> 4;
    switch (a.data)
    {
    case kDataShort:
    case kDataLong:
    case kDataVanish:
    case kDataShortLax:
        a.count = script_.Le16();
        break;
    case kDataGarbage:
    case kDataRaw:
        a.count = script_.Byte();
        a.raw.resize(a.count);
        script_.Bytes(a.raw.data(), a.count);
        break;
    case kDataForeign:
        a.sourceLun = script_.Byte();
        a.shiftBlocks = int16_t(script_.Le16());
        break;
    case kDataSalt:
        a.salt = script_.Byte();
        break;
    case kDataCapacity:
        a.raw.resize(8);
        script_.Bytes(a.raw.data(), 8);
        break;
    default:
        break;
    }
    switch (a.status)
    {
    case kStatusByte:
        a.cswStatus = script_.Byte();
        break;
    case kStatusResidue:
        a.residue = script_.Le32();
        break;
    case kStatusCut:
        a.cswCut = uint8_t(script_.Byte() % 13);
        break;
    case kStatusRaw:
        script_.Bytes(a.rawCsw, sizeof a.rawCsw);
        break;
    case kStatusByteResidue:
        a.cswStatus = script_.Byte();
        a.residue = script_.Le32();
        break;
    default:
        break;
    }
    return a;
}

bool& HostileDevice::Halted(wu::Pipe pipe)
{
    return halted_[static_cast<int>(pipe)];
}

// Every transfer and request is a step; an exchange that never ends would take them all.
bool HostileDevice::Step()
{
    if (++steps_ > kStepLimit && !gone_)
    {
        gone_ = true;
        Unplug();
    }
    return !gone_;
}

wu::TransferResult HostileDevice::Stall(wu::Pipe pipe, uint32_t bytes)
{
    Halted(pipe) = true;
    return wu::TransferResult{wu::TransferStatus::Stall, bytes};
}

// From here every transfer is NAKed until a reset; the time the host waits for that passes at once.
wu::TransferResult HostileDevice::Silent()
{
    hanging_ = true;
    if (answers_.silence.count() != 0)
    {
        winsim::AdvanceClock(answers_.silence);
    }
    return wu::TransferResult{wu::TransferStatus::Nak, 0};
}

wu::TransferResult HostileDevice::Leave(uint32_t bytes)
{
    gone_ = true;
    Unplug();
    return wu::TransferResult{wu::TransferStatus::DeviceGone, bytes};
}

wu::TransferResult HostileDevice::Transfer(wu::Pipe pipe, void* buffer, uint32_t length)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (!Step())
    {
        return wu::TransferResult{wu::TransferStatus::DeviceGone, 0};
    }
    if (hanging_)
    {
        return Silent();
    }
    if (pipe == wu::Pipe::InterruptIn || Halted(pipe) || awaitingReset_)
    {
        return Stall(pipe, 0);
    }
    auto* bytes = static_cast<uint8_t*>(buffer);
    if (pipe == wu::Pipe::BulkOut)
    {
        if (phase_ == Phase::Command)
        {
            return CommandOut(bytes, length);
        }
        if (phase_ == Phase::DataOut)
        {
            return DataOut(bytes, length);
        }
        return Stall(pipe, 0);
    }
    if (phase_ == Phase::DataIn)
    {
        return DataIn(bytes, length);
    }
    if (phase_ == Phase::Status)
    {
        return StatusIn(bytes, length);
    }
    return Stall(pipe, 0);
}

wu::TransferResult HostileDevice::CommandOut(const uint8_t* buffer, uint32_t length)
{
    wu::CommandBlockWrapper cbw{};
    if (length != wu::kCbwLength)
    {
        awaitingReset_ = true;
        Halted(wu::Pipe::BulkIn) = true;
        return Stall(wu::Pipe::BulkOut, 0);
    }
    std::memcpy(&cbw, buffer, sizeof cbw);
    if (wu::ReadLe32(cbw.signature) != wu::kCbwSignature || cbw.cdbLength == 0 ||
        cbw.cdbLength > wu::kCbwMaxCdbLength || (cbw.lun & 0xF0) != 0)
    {
        awaitingReset_ = true;
        Halted(wu::Pipe::BulkIn) = true;
        return Stall(wu::Pipe::BulkOut, 0);
    }
    previousTag_ = x_.tag;
    x_ = Exchange{};
    received_.clear();
    x_.tag = wu::ReadLe32(cbw.tag);
    x_.hostLength = wu::ReadLe32(cbw.dataTransferLength);
    x_.hostIn = (cbw.flags & wu::kCbwFlagDataIn) != 0;
    x_.lun = cbw.lun;
    std::memcpy(x_.cdb, cbw.cdb, sizeof x_.cdb);
    x_.answer = ReadAnswer();
    if (x_.answer.data == kDataHang || x_.answer.status == kStatusHang)
    {
        if (hangs_ == kHangsMost && x_.answer.data == kDataHang)
        {
            x_.answer.data = kDataHonest;
        }
        if (hangs_ == kHangsMost && x_.answer.status == kStatusHang)
        {
            x_.answer.status = kStatusHonest;
        }
        if (hangs_ < kHangsMost)
        {
            ++hangs_;
        }
    }
    if (answers_.trace)
    {
        std::fprintf(stderr, "device: command %02x unit %u length %u %s, answer data %u status %u\n",
                     x_.cdb[0], unsigned(x_.lun), x_.hostLength, x_.hostIn ? "in" : "out",
                     unsigned(x_.answer.data), unsigned(x_.answer.status));
    }
    if (x_.answer.data == kCommandStall)
    {
        return Stall(wu::Pipe::BulkOut, 0);
    }
    if (x_.answer.data == kCommandVanish)
    {
        return Leave(0);
    }
    PlanData();
    if (x_.hostLength == 0)
    {
        phase_ = Phase::Status;
    }
    else
    {
        phase_ = x_.hostIn ? Phase::DataIn : Phase::DataOut;
    }
    return wu::TransferResult{wu::TransferStatus::Ok, length};
}

// What the device means to send, the honest answer first and then the script's changes to it.
void HostileDevice::PlanData()
{
    namespace op = wu::scsi;
    const bool known = x_.lun < blockLength_.size();
    const uint8_t opcode = x_.cdb[0];
    std::vector<uint8_t>& reply = x_.reply;
    if (!known)
    {
        if (opcode == op::kInquiry)
        {
            reply.assign(wu::scsi::kStandardInquiryLength, 0);
            reply[0] = 0x7F; // no unit here
        }
        else
        {
            x_.failed = true;
        }
    }
    else if (opcode == op::kInquiry)
    {
        reply.assign(wu::scsi::kStandardInquiryLength, ' ');
        reply[0] = 0x00;
        reply[1] = 0x80;
        reply[2] = 0x02;
        reply[3] = 0x02;
        reply[4] = wu::scsi::kStandardInquiryLength - 5;
        reply[5] = reply[6] = reply[7] = 0;
        std::memcpy(&reply[8], "KAVFUZZ Hostile stick   0.01", 28);
    }
    else if (opcode == op::kReadCapacity10)
    {
        reply.assign(8, 0);
        WriteBe32(&reply[0], uint32_t(kHonestBlocks - 1));
        WriteBe32(&reply[4], 512);
    }
    else if (opcode == op::kRequestSense)
    {
        reply.assign(wu::scsi::kFixedSenseLength, 0);
        reply[0] = 0x70;
        reply[2] = lastSenseKey_[x_.lun & 0xF];
        reply[7] = wu::scsi::kFixedSenseLength - 8;
        reply[12] = reply[2] != 0 ? 0x24 : 0;
        lastSenseKey_[x_.lun & 0xF] = 0;
    }
    else if (opcode == op::kModeSense6)
    {
        reply = {3, 0, 0, 0};
    }
    else if (opcode == op::kModeSense10)
    {
        reply = {0, 6, 0, 0, 0, 0, 0, 0};
    }
    else if (opcode == op::kRead10 || opcode == op::kWrite10)
    {
        const uint64_t lba = ReadBe32(&x_.cdb[2]);
        const uint32_t blocks = uint32_t(x_.cdb[7]) << 8 | x_.cdb[8];
        x_.position = lba * blockLength_[x_.lun];
        x_.readCommand = opcode == op::kRead10;
        x_.writeCommand = opcode == op::kWrite10;
        if (x_.readCommand)
        {
            x_.deliverable =
                uint32_t(std::min<uint64_t>(x_.hostLength, uint64_t(blocks) * blockLength_[x_.lun]));
        }
    }
    else if (opcode != op::kTestUnitReady && opcode != op::kPreventAllowMediumRemoval &&
             opcode != op::kSynchronizeCache10)
    {
        x_.failed = true;
    }
    if (x_.failed)
    {
        lastSenseKey_[x_.lun & 0xF] = wu::scsi::kSenseIllegalRequest;
    }

    // The script's changes.
    const Answer& a = x_.answer;
    if (a.data == kDataCapacity || a.data == kDataRaw)
    {
        reply = a.raw;
        x_.readCommand = false;
    }
    if (opcode == op::kReadCapacity10 && known && reply.size() >= 8)
    {
        // Positions of this unit's data follow the block length the device last claimed.
        blockLength_[x_.lun] = ReadBe32(&reply[4]);
    }
    if (!x_.readCommand)
    {
        x_.deliverable = uint32_t(std::min<size_t>(reply.size(), x_.hostLength));
    }
    if (!x_.hostIn)
    {
        x_.deliverable = 0;
    }
    if (a.data == kDataShort || a.data == kDataShortLax)
    {
        x_.deliverable = std::min(x_.deliverable, a.count);
    }
    if (a.data == kDataLong && x_.hostIn)
    {
        x_.deliverable = x_.hostLength + std::max<uint32_t>(a.count, 1);
    }
}

// `count` data-in bytes from byte `at` of the data phase, recorded as sent.
void HostileDevice::FillDataIn(uint8_t* buffer, uint32_t at, uint32_t count)
{
    const Answer& a = x_.answer;
    uint32_t done = 0;
    if (x_.readCommand && a.data == kDataGarbage)
    {
        while (done < count && at + done < a.raw.size())
        {
            buffer[done] = a.raw[at + done];
            ++done;
        }
        provenance_.DeviceSentRaw(x_.lun, x_.position + at, buffer, done);
    }
    if (!x_.readCommand)
    {
        for (; done < count; ++done)
        {
            buffer[done] = at + done < x_.reply.size() ? x_.reply[at + done] : 0;
        }
        return;
    }
    const uint8_t source = a.data == kDataForeign ? uint8_t(a.sourceLun & 0xF) : x_.lun;
    const int64_t shift = a.data == kDataForeign ? int64_t(a.shiftBlocks) * blockLength_[x_.lun] : 0;
    const uint64_t first = x_.position + at + done;
    FillWords(buffer + done, count - done, first, WordKind::Device, x_.lun, a.salt, shift, source);
    provenance_.DeviceSent(x_.lun, first, first + (count - done), source, shift, a.salt);
}

// The scripted answers that refuse a data phase in either direction: a stick that stops answering until
// a reset, or one that stalls before moving a byte.
bool HostileDevice::RefusesDataPhase(wu::Pipe pipe, wu::TransferResult& result)
{
    if (x_.answer.data == kDataHang)
    {
        result = Silent();
        return true;
    }
    if (x_.answer.data == kDataStall && x_.moved == 0)
    {
        phase_ = Phase::Status;
        x_.failed = true;
        result = Stall(pipe, 0);
        return true;
    }
    return false;
}

wu::TransferResult HostileDevice::DataIn(uint8_t* buffer, uint32_t length)
{
    const Answer& a = x_.answer;
    wu::TransferResult refused;
    if (RefusesDataPhase(wu::Pipe::BulkIn, refused))
    {
        return refused;
    }
    const uint32_t remaining = x_.deliverable - x_.moved;
    uint32_t count = std::min(length, remaining);
    if (a.data == kDataVanish && x_.moved + count > a.count)
    {
        count = a.count > x_.moved ? a.count - x_.moved : 0;
        FillDataIn(buffer, x_.moved, count);
        return Leave(count);
    }
    FillDataIn(buffer, x_.moved, count);
    x_.moved += count;
    if (remaining > length)
    {
        if (x_.moved > x_.hostLength || x_.deliverable > x_.hostLength)
        {
            // More than the host asked for: the device babbles past the end of the buffer.
            phase_ = Phase::Status;
            return wu::TransferResult{wu::TransferStatus::Overrun, count};
        }
        return wu::TransferResult{wu::TransferStatus::Ok, count};
    }
    if (x_.moved >= x_.hostLength || count == length)
    {
        if (x_.moved >= x_.hostLength)
        {
            phase_ = Phase::Status;
        }
        return wu::TransferResult{wu::TransferStatus::Ok, count};
    }
    // Less than the host expects: the data phase ends here.
    phase_ = Phase::Status;
    if (a.data == kDataShortLax)
    {
        return wu::TransferResult{wu::TransferStatus::Ok, count};
    }
    return Stall(wu::Pipe::BulkIn, count);
}

wu::TransferResult HostileDevice::DataOut(const uint8_t* buffer, uint32_t length)
{
    const Answer& a = x_.answer;
    wu::TransferResult refused;
    if (RefusesDataPhase(wu::Pipe::BulkOut, refused))
    {
        return refused;
    }
    uint32_t count = std::min(length, x_.hostLength - x_.moved);
    const bool limited = a.data == kDataShort || a.data == kDataShortLax || a.data == kDataVanish;
    bool stop = false;
    if (limited && x_.moved + count > a.count)
    {
        count = a.count > x_.moved ? a.count - x_.moved : 0;
        stop = true;
    }
    received_.insert(received_.end(), buffer, buffer + count);
    x_.moved += count;
    if (stop && a.data == kDataVanish)
    {
        return Leave(count);
    }
    if (stop)
    {
        phase_ = Phase::Status;
        return Stall(wu::Pipe::BulkOut, count);
    }
    if (x_.moved >= x_.hostLength)
    {
        phase_ = Phase::Status;
    }
    return wu::TransferResult{wu::TransferStatus::Ok, count};
}

wu::TransferResult HostileDevice::StatusIn(uint8_t* buffer, uint32_t length)
{
    const Answer& a = x_.answer;
    if (a.status == kStatusStall && !x_.statusStalled)
    {
        x_.statusStalled = true;
        return Stall(wu::Pipe::BulkIn, 0);
    }
    if (a.status == kStatusVanish)
    {
        return Leave(0);
    }
    if (a.status == kStatusHang)
    {
        return Silent();
    }
    uint8_t csw[wu::kCswLength + 1] = {};
    wu::WriteLe32(csw, wu::kCswSignature);
    wu::WriteLe32(csw + 4, x_.tag);
    const uint32_t honestResidue = x_.hostLength > x_.moved ? x_.hostLength - x_.moved : 0;
    wu::WriteLe32(csw + 8, honestResidue);
    csw[12] = uint8_t(x_.failed ? wu::CswStatus::Failed : wu::CswStatus::Passed);
    switch (a.status)
    {
    case kStatusByte:
        csw[12] = a.cswStatus;
        break;
    case kStatusResidue:
        wu::WriteLe32(csw + 8, a.residue);
        break;
    case kStatusSignature:
        csw[0] ^= 0x20;
        break;
    case kStatusPreviousTag:
        wu::WriteLe32(csw + 4, previousTag_);
        break;
    case kStatusRaw:
        std::memcpy(csw, a.rawCsw, wu::kCswLength);
        wu::WriteLe32(csw + 4, wu::ReadLe32(a.rawCsw + 4) ^ x_.tag);
        break;
    case kStatusByteResidue:
        csw[12] = a.cswStatus;
        wu::WriteLe32(csw + 8, a.residue);
        break;
    default:
        break;
    }
    phase_ = Phase::Command;
    uint32_t size = a.status == kStatusCut ? a.cswCut : wu::kCswLength;
    if (a.status == kStatusLong)
    {
        size = wu::kCswLength + 1;
    }
    const uint32_t count = std::min(size, length);
    std::memcpy(buffer, csw, count);
    const bool valid = size == wu::kCswLength && length >= wu::kCswLength &&
                       wu::ReadLe32(csw) == wu::kCswSignature && wu::ReadLe32(csw + 4) == x_.tag &&
                       csw[12] == uint8_t(wu::CswStatus::Passed);
    if (valid && x_.writeCommand)
    {
        Acknowledge(wu::ReadLe32(csw + 8));
    }
    if (size > length)
    {
        return wu::TransferResult{wu::TransferStatus::Overrun, count};
    }
    return wu::TransferResult{wu::TransferStatus::Ok, count};
}

// A valid status wrapper reporting success acknowledges the data received before its residue; every word
// received is checked to be the application's for this unit and place.
void HostileDevice::Acknowledge(uint32_t residue)
{
    if (residue > x_.hostLength)
    {
        return;
    }
    const uint64_t acked = std::min<uint64_t>(received_.size(), x_.hostLength - residue);
    const std::string foreign =
        provenance_.Acknowledge(x_.lun, x_.position, received_.data(), acked, &acked_);
    if (foreignWrite_.empty())
    {
        foreignWrite_ = foreign;
    }
}

} // namespace kavfuzz
