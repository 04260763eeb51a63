// winsim: the SCSI block target of the simulated USB mass-storage device (see scsi_target.h).
#include "winsim/usb/scsi_target.h"

#include "winsim/usb/usb_misuse.h"

#include <algorithm>
#include <cstring>

namespace winsim::usb
{

namespace
{
// Space-padded ASCII field of INQUIRY data.
void PutPadded(uint8_t* out, size_t width, const std::string& text)
{
    std::memset(out, ' ', width);
    std::memcpy(out, text.data(), std::min(width, text.size()));
}
} // namespace

// A unit that cannot exist on a real device is a broken test set-up: refuse it at once.
ScsiTarget::ScsiTarget(std::vector<LunConfig> luns)
{
    if (luns.empty() || luns.size() > 16)
    {
        throw MisuseError("a mass-storage device has 1 to 16 logical units, not " +
                          std::to_string(luns.size()));
    }
    for (auto& config : luns)
    {
        const uint32_t length = config.blockLength;
        if (length < 512 || length > 65536 || (length & (length - 1)) != 0)
        {
            throw MisuseError("unsupported block length " + std::to_string(length));
        }
        if (!config.image)
        {
            throw MisuseError("logical unit without a disk image");
        }
        LogicalUnit unit;
        if (config.unitAttentionAtPowerOn)
        {
            unit.attention = sense::kPowerOnReset;
        }
        unit.blockCount = config.image->SizeBytes() / length;
        if (unit.blockCount == 0)
        {
            throw MisuseError("disk image smaller than one block");
        }
        unit.config = std::move(config);
        luns_.push_back(std::move(unit));
    }
}

ScsiTarget::LogicalUnit& ScsiTarget::Unit(uint8_t lun)
{
    if (lun >= luns_.size())
    {
        throw MisuseError("no logical unit " + std::to_string(lun));
    }
    return luns_[lun];
}

const ScsiTarget::LogicalUnit& ScsiTarget::Unit(uint8_t lun) const
{
    if (lun >= luns_.size())
    {
        throw MisuseError("no logical unit " + std::to_string(lun));
    }
    return luns_[lun];
}

// CHECK CONDITION: the sense waits for REQUEST SENSE and the device intends no data phase.
CommandIntent ScsiTarget::Check(LogicalUnit& unit, const SenseData& sense)
{
    unit.sense = sense;
    CommandIntent intent;
    intent.good = false;
    return intent;
}

bool ScsiTarget::CheckMedium(LogicalUnit& unit)
{
    if (unit.config.mediumPresent)
    {
        return true;
    }
    Check(unit, sense::kMediumNotPresent);
    return false;
}

// The whole range must lie on the unit; a range that wraps 32 bits is out of range too.
bool ScsiTarget::CheckBlockRange(LogicalUnit& unit, uint32_t lba, uint32_t blocks)
{
    if (uint64_t(lba) < unit.blockCount && uint64_t(lba) + blocks <= unit.blockCount)
    {
        return true;
    }
    Check(unit, sense::kLbaOutOfRange);
    return false;
}

// Parameter data is cut to the allocation length the host gave; the device then intends that much.
CommandIntent ScsiTarget::DataIn(std::vector<uint8_t>& dataIn, uint32_t allocationLength)
{
    if (dataIn.size() > allocationLength)
    {
        dataIn.resize(allocationLength);
    }
    CommandIntent intent;
    intent.direction = dataIn.empty() ? DataDirection::None : DataDirection::In;
    intent.length = uint32_t(dataIn.size());
    return intent;
}

void ScsiTarget::Inquiry(const LogicalUnit& unit, const uint8_t* cdb, std::vector<uint8_t>& dataIn,
                         CommandIntent& intent)
{
    dataIn.assign(scsi::kStandardInquiryLength, 0);
    dataIn[0] = 0x00; // direct-access block device
    dataIn[1] = unit.config.removable ? 0x80 : 0x00;
    dataIn[2] = 0x04; // SPC-2
    dataIn[3] = 0x02; // response data format
    dataIn[4] = scsi::kStandardInquiryLength - 5;
    PutPadded(&dataIn[8], 8, unit.config.vendor);
    PutPadded(&dataIn[16], 16, unit.config.product);
    PutPadded(&dataIn[32], 4, unit.config.revision);
    intent = DataIn(dataIn, ReadBe16(cdb + 3));
}

// Only the caching page exists; Windows asks for it or for all pages, and anything else is refused.
void ScsiTarget::ModeSense(LogicalUnit& unit, const uint8_t* cdb, std::vector<uint8_t>& dataIn,
                           CommandIntent& intent)
{
    const bool ten = cdb[0] == scsi::kModeSense10;
    const uint8_t page = cdb[2] & 0x3F;
    if (page != scsi::kModePageCaching && page != scsi::kModePageAll)
    {
        intent = Check(unit, sense::kInvalidFieldInCdb);
        return;
    }
    const size_t header = ten ? 8 : 4;
    const uint8_t deviceSpecific = unit.config.writeProtected ? 0x80 : 0x00;
    dataIn.assign(header + 20, 0);
    uint8_t* caching = &dataIn[header];
    caching[0] = scsi::kModePageCaching;
    caching[1] = 0x12; // page length after the first two bytes
    if (ten)
    {
        WriteBe16(&dataIn[0], uint16_t(dataIn.size() - 2));
        dataIn[3] = deviceSpecific;
        intent = DataIn(dataIn, ReadBe16(cdb + 7));
    }
    else
    {
        dataIn[0] = uint8_t(dataIn.size() - 1);
        dataIn[2] = deviceSpecific;
        intent = DataIn(dataIn, cdb[4]);
    }
}

CommandIntent ScsiTarget::Start(uint8_t lun, const uint8_t* cdb, std::vector<uint8_t>& dataIn)
{
    LogicalUnit& unit = Unit(lun);
    const uint8_t opcode = cdb[0];
    dataIn.clear();
    // Sense describes the last command only; INQUIRY and REQUEST SENSE leave it for the host to fetch.
    if (opcode != scsi::kRequestSense && opcode != scsi::kInquiry)
    {
        unit.sense = sense::kNone;
    }
    // A pending UNIT ATTENTION fails the command before it does anything and is then reported once.
    if (unit.attention != sense::kNone && opcode != scsi::kRequestSense && opcode != scsi::kInquiry)
    {
        const SenseData attention = unit.attention;
        unit.attention = sense::kNone;
        return Check(unit, attention);
    }

    CommandIntent intent;
    switch (opcode)
    {
    case scsi::kTestUnitReady:
        if (!CheckMedium(unit))
        {
            return CommandIntent{false, DataDirection::None, 0};
        }
        return intent;

    case scsi::kRequestSense:
        if (unit.sense == sense::kNone && unit.attention != sense::kNone)
        {
            unit.sense = unit.attention;
            unit.attention = sense::kNone;
        }
        dataIn.assign(scsi::kFixedSenseLength, 0);
        dataIn[0] = 0x70; // current error, fixed format
        dataIn[2] = unit.sense.key;
        dataIn[7] = scsi::kFixedSenseLength - 8;
        dataIn[12] = unit.sense.asc;
        dataIn[13] = unit.sense.ascq;
        unit.sense = sense::kNone;
        return DataIn(dataIn, cdb[4]);

    case scsi::kInquiry:
        if (cdb[1] & 0x01) // vital product data pages are not offered
        {
            return Check(unit, sense::kInvalidFieldInCdb);
        }
        Inquiry(unit, cdb, dataIn, intent);
        return intent;

    case scsi::kModeSense6:
    case scsi::kModeSense10:
        ModeSense(unit, cdb, dataIn, intent);
        return intent;

    case scsi::kPreventAllowMediumRemoval:
        unit.preventRemoval = (cdb[4] & 0x01) != 0;
        return intent;

    case scsi::kReadCapacity10: {
        if (!CheckMedium(unit))
        {
            return CommandIntent{false, DataDirection::None, 0};
        }
        dataIn.assign(8, 0);
        const uint64_t last = unit.blockCount - 1;
        WriteBe32(&dataIn[0], last > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(last));
        WriteBe32(&dataIn[4], unit.config.blockLength);
        return DataIn(dataIn, 8);
    }

    case scsi::kRead10: {
        const uint32_t lba = ReadBe32(cdb + 2);
        const uint32_t blocks = ReadBe16(cdb + 7);
        if (!CheckMedium(unit) || !CheckBlockRange(unit, lba, blocks))
        {
            return CommandIntent{false, DataDirection::None, 0};
        }
        const uint64_t bytes = uint64_t(blocks) * unit.config.blockLength;
        dataIn.resize(bytes);
        if (bytes != 0)
        {
            unit.config.image->Read(uint64_t(lba) * unit.config.blockLength, dataIn.data(), bytes);
        }
        return DataIn(dataIn, uint32_t(bytes));
    }

    case scsi::kWrite10: {
        const uint32_t lba = ReadBe32(cdb + 2);
        const uint32_t blocks = ReadBe16(cdb + 7);
        if (!CheckMedium(unit) || !CheckBlockRange(unit, lba, blocks))
        {
            return CommandIntent{false, DataDirection::None, 0};
        }
        if (unit.config.writeProtected)
        {
            return Check(unit, sense::kWriteProtected);
        }
        intent.length = blocks * unit.config.blockLength;
        intent.direction = intent.length != 0 ? DataDirection::Out : DataDirection::None;
        return intent;
    }

    case scsi::kSynchronizeCache10:
        if (!CheckMedium(unit))
        {
            return CommandIntent{false, DataDirection::None, 0};
        }
        unit.config.image->Flush();
        ++unit.synchronizeCount;
        return intent;

    default:
        return Check(unit, sense::kInvalidOpcode);
    }
}

bool ScsiTarget::FinishOut(uint8_t lun, const uint8_t* cdb, const uint8_t* data)
{
    LogicalUnit& unit = Unit(lun);
    if (cdb[0] != scsi::kWrite10)
    {
        throw MisuseError("data-out phase for a command that takes no data");
    }
    const uint32_t lba = ReadBe32(cdb + 2);
    const uint64_t bytes = uint64_t(ReadBe16(cdb + 7)) * unit.config.blockLength;
    unit.config.image->Write(uint64_t(lba) * unit.config.blockLength, data, bytes);
    return true;
}

void ScsiTarget::SetMediumPresent(uint8_t lun, bool present)
{
    LogicalUnit& unit = Unit(lun);
    if (present && !unit.config.mediumPresent)
    {
        unit.attention = sense::kMediumChanged;
    }
    unit.config.mediumPresent = present;
}

void ScsiTarget::ChangeMedium(uint8_t lun)
{
    LogicalUnit& unit = Unit(lun);
    if (!unit.config.mediumPresent)
    {
        throw MisuseError("a medium swapped in an empty slot");
    }
    unit.attention = sense::kMediumChanged;
}

void ScsiTarget::RaiseResetAttention()
{
    for (LogicalUnit& unit : luns_)
    {
        unit.attention = sense::kPowerOnReset;
    }
}

void ScsiTarget::Fail(uint8_t lun, const SenseData& sense)
{
    Unit(lun).sense = sense;
}

} // namespace winsim::usb
