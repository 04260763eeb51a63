// winsim: the SCSI block target behind the simulated USB mass-storage device: one or more logical units,
// each a disk image with a block length of 512 to 4096 bytes. It answers the commands a Windows storage
// stack sends to a USB stick (INQUIRY, TEST UNIT READY, REQUEST SENSE, READ CAPACITY(10), READ(10),
// WRITE(10), MODE SENSE(6)/(10), PREVENT ALLOW MEDIUM REMOVAL, SYNCHRONIZE CACHE(10)) and reports every
// error as CHECK CONDITION with sense data that the next REQUEST SENSE returns. Checked: addresses against
// the unit's capacity (LBA OUT OF RANGE), unknown operation codes (INVALID COMMAND OPERATION CODE),
// medium presence and write protection. A unit keeps a UNIT ATTENTION condition (medium changed after a
// medium arrives or is swapped; power-on or reset) that the next command other than INQUIRY and REQUEST
// SENSE meets as CHECK CONDITION; REQUEST SENSE reports it when no other sense waits, and either clears it.
// The transport (bot_device) serialises all calls.
#pragma once

#include "winsim/usb/disk_image.h"
#include "winsim/usb/scsi_defs.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace winsim::usb
{

// How one logical unit looks to the host.
struct LunConfig
{
    std::shared_ptr<DiskImage> image;
    uint32_t blockLength = 512; // a power of two from 512 to 65536
    bool removable = true;      // USB sticks report removable media
    bool writeProtected = false;
    bool mediumPresent = true; // false: an empty card-reader slot
    // The unit starts with a power-on UNIT ATTENTION, as a real one does after it is plugged in. Off by
    // default: the command sequences that tests compare assume a unit that answers the first command.
    bool unitAttentionAtPowerOn = false;
    std::string vendor = "KAVLAB";
    std::string product = "Virtual Disk";
    std::string revision = "1.00";
};

// Direction of a command's data phase, from the device's point of view of what it intends.
enum class DataDirection
{
    None,
    In,  // device to host
    Out, // host to device
};

// What the target makes of a command before any data moves: the device's intent (Dn, Di or Do).
struct CommandIntent
{
    bool good = true; // false: CHECK CONDITION, and the device intends no data
    DataDirection direction = DataDirection::None;
    uint32_t length = 0;
};

class ScsiTarget
{
public:
    explicit ScsiTarget(std::vector<LunConfig> luns);

    uint8_t LunCount() const { return uint8_t(luns_.size()); }

    // Starts a command. Commands without data and data-in commands are executed here (the data of a
    // data-in command is left in dataIn); a data-out command only announces its length and is executed
    // by FinishOut once its data has arrived.
    CommandIntent Start(uint8_t lun, const uint8_t* cdb, std::vector<uint8_t>& dataIn);
    // Executes a data-out command with the data the host sent; `data` holds at least the intended length.
    bool FinishOut(uint8_t lun, const uint8_t* cdb, const uint8_t* data);
    // A command ended by the transport rather than by the target (an injected fault) still leaves sense.
    void Fail(uint8_t lun, const SenseData& sense);

    SenseData PendingSense(uint8_t lun) const { return Unit(lun).sense; }
    bool RemovalPrevented(uint8_t lun) const { return Unit(lun).preventRemoval; }
    uint64_t BlockCount(uint8_t lun) const { return Unit(lun).blockCount; }
    uint32_t BlockLength(uint8_t lun) const { return Unit(lun).config.blockLength; }
    uint64_t SynchronizeCount(uint8_t lun) const { return Unit(lun).synchronizeCount; }
    DiskImage& Image(uint8_t lun) { return *Unit(lun).config.image; }
    // A medium that arrives raises UNIT ATTENTION (medium changed); one that leaves only makes the unit
    // NOT READY. ChangeMedium is a swap the unit saw no gap in: the medium stays, the attention is raised.
    void SetMediumPresent(uint8_t lun, bool present);
    void ChangeMedium(uint8_t lun);
    // Power-on or a reset of the device: every unit gets a reset UNIT ATTENTION.
    void RaiseResetAttention();
    bool UnitAttentionPending(uint8_t lun) const { return Unit(lun).attention != sense::kNone; }
    void SetWriteProtected(uint8_t lun, bool writeProtected)
    {
        Unit(lun).config.writeProtected = writeProtected;
    }

private:
    struct LogicalUnit
    {
        LunConfig config;
        uint64_t blockCount = 0;
        SenseData sense;
        SenseData attention; // kNone, or the UNIT ATTENTION the next command meets
        bool preventRemoval = false;
        uint64_t synchronizeCount = 0;
    };

    LogicalUnit& Unit(uint8_t lun);
    const LogicalUnit& Unit(uint8_t lun) const;
    CommandIntent Check(LogicalUnit& unit, const SenseData& sense);
    bool CheckMedium(LogicalUnit& unit);
    bool CheckBlockRange(LogicalUnit& unit, uint32_t lba, uint32_t blocks);
    static CommandIntent DataIn(std::vector<uint8_t>& dataIn, uint32_t allocationLength);
    void Inquiry(const LogicalUnit& unit, const uint8_t* cdb, std::vector<uint8_t>& dataIn,
                 CommandIntent& intent);
    void ModeSense(LogicalUnit& unit, const uint8_t* cdb, std::vector<uint8_t>& dataIn,
                   CommandIntent& intent);

    std::vector<LogicalUnit> luns_;
};

} // namespace winsim::usb
