// winsim: the wire formats of the USB Mass Storage Class Bulk-Only Transport as the simulated device
// receives and sends them: the 31-byte command block wrapper (CBW) and the 13-byte command status
// wrapper (CSW). Multi-byte fields are little-endian on the wire whatever the host's byte order, so they
// are read and written byte by byte; the packed layouts and their sizes are checked at compile time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace winsim::usb
{

constexpr uint32_t kCbwSignature = 0x43425355; // "USBC"
constexpr uint32_t kCswSignature = 0x53425355; // "USBS"
constexpr uint32_t kCbwLength = 31;
constexpr uint32_t kCswLength = 13;
constexpr uint8_t kCbwFlagDataIn = 0x80; // bmCBWFlags bit 7: data flows device to host
constexpr uint8_t kCbwMaxCdbLength = 16;

// Values of bCSWStatus.
enum class CswStatus : uint8_t
{
    Passed = 0,
    Failed = 1,
    PhaseError = 2,
};

#pragma pack(push, 1)
// The command block wrapper exactly as it travels on the bulk OUT pipe.
struct CommandBlockWrapper
{
    uint8_t signature[4];
    uint8_t tag[4];
    uint8_t dataTransferLength[4];
    uint8_t flags;
    uint8_t lun;
    uint8_t cdbLength;
    uint8_t cdb[16];
};

// The command status wrapper exactly as it travels on the bulk IN pipe.
struct CommandStatusWrapper
{
    uint8_t signature[4];
    uint8_t tag[4];
    uint8_t dataResidue[4];
    uint8_t status;
};
#pragma pack(pop)

static_assert(sizeof(CommandBlockWrapper) == kCbwLength, "a CBW is 31 bytes on the wire");
static_assert(sizeof(CommandStatusWrapper) == kCswLength, "a CSW is 13 bytes on the wire");
static_assert(offsetof(CommandBlockWrapper, cdb) == 15, "the command block starts at byte 15");
static_assert(offsetof(CommandStatusWrapper, status) == 12, "bCSWStatus is byte 12");

// Little-endian access to the wrapper fields, independent of the host's byte order.
inline uint32_t ReadLe32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void WriteLe32(uint8_t* p, uint32_t value)
{
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
    p[2] = uint8_t(value >> 16);
    p[3] = uint8_t(value >> 24);
}

// Builds a wrapper the way a host's function driver does; tests and the host models use it.
inline CommandBlockWrapper MakeCbw(uint32_t tag, uint32_t dataLength, bool dataIn, uint8_t lun,
                                   const uint8_t* cdb, uint8_t cdbLength)
{
    CommandBlockWrapper cbw;
    std::memset(&cbw, 0, sizeof cbw);
    WriteLe32(cbw.signature, kCbwSignature);
    WriteLe32(cbw.tag, tag);
    WriteLe32(cbw.dataTransferLength, dataLength);
    cbw.flags = dataIn ? kCbwFlagDataIn : 0;
    cbw.lun = lun;
    cbw.cdbLength = cdbLength;
    std::memcpy(cbw.cdb, cdb, cdbLength < kCbwMaxCdbLength ? cdbLength : kCbwMaxCdbLength);
    return cbw;
}

} // namespace winsim::usb
