// winsim: the SCSI vocabulary of the simulated block target: operation codes it answers, sense keys and
// additional sense codes it reports, and big-endian field access (SCSI command and parameter data are
// big-endian on the wire, unlike the Bulk-Only wrappers around them).
#pragma once

#include <cstdint>

namespace winsim::usb
{

namespace scsi
{
constexpr uint8_t kTestUnitReady = 0x00;
constexpr uint8_t kRequestSense = 0x03;
constexpr uint8_t kInquiry = 0x12;
constexpr uint8_t kModeSense6 = 0x1A;
constexpr uint8_t kPreventAllowMediumRemoval = 0x1E;
constexpr uint8_t kReadCapacity10 = 0x25;
constexpr uint8_t kRead10 = 0x28;
constexpr uint8_t kWrite10 = 0x2A;
constexpr uint8_t kSynchronizeCache10 = 0x35;
constexpr uint8_t kModeSense10 = 0x5A;

constexpr uint8_t kSenseNoSense = 0x0;
constexpr uint8_t kSenseNotReady = 0x2;
constexpr uint8_t kSenseMediumError = 0x3;
constexpr uint8_t kSenseIllegalRequest = 0x5;
constexpr uint8_t kSenseUnitAttention = 0x6;
constexpr uint8_t kSenseDataProtect = 0x7;
constexpr uint8_t kSenseAbortedCommand = 0xB;

constexpr uint8_t kFixedSenseLength = 18;
constexpr uint8_t kStandardInquiryLength = 36;
constexpr uint8_t kModePageCaching = 0x08;
constexpr uint8_t kModePageAll = 0x3F;
} // namespace scsi

// Sense key and additional sense code of one error, as REQUEST SENSE reports it.
struct SenseData
{
    uint8_t key = scsi::kSenseNoSense;
    uint8_t asc = 0;
    uint8_t ascq = 0;

    bool operator==(const SenseData& other) const
    {
        return key == other.key && asc == other.asc && ascq == other.ascq;
    }
    bool operator!=(const SenseData& other) const { return !(*this == other); }
};

namespace sense
{
constexpr SenseData kNone{};
constexpr SenseData kInvalidOpcode{scsi::kSenseIllegalRequest, 0x20, 0x00};
constexpr SenseData kLbaOutOfRange{scsi::kSenseIllegalRequest, 0x21, 0x00};
constexpr SenseData kInvalidFieldInCdb{scsi::kSenseIllegalRequest, 0x24, 0x00};
constexpr SenseData kMediumNotPresent{scsi::kSenseNotReady, 0x3A, 0x00};
constexpr SenseData kWriteProtected{scsi::kSenseDataProtect, 0x27, 0x00};
constexpr SenseData kUnrecoveredReadError{scsi::kSenseMediumError, 0x11, 0x00};
constexpr SenseData kWriteError{scsi::kSenseMediumError, 0x0C, 0x00};
constexpr SenseData kAbortedCommand{scsi::kSenseAbortedCommand, 0x00, 0x00};
constexpr SenseData kNotReadyBecoming{scsi::kSenseNotReady, 0x04, 0x01};
// UNIT ATTENTION: the host must learn of a change it did not cause before any command runs again.
constexpr SenseData kMediumChanged{scsi::kSenseUnitAttention, 0x28, 0x00};
constexpr SenseData kPowerOnReset{scsi::kSenseUnitAttention, 0x29, 0x00};
} // namespace sense

inline uint16_t ReadBe16(const uint8_t* p)
{
    return uint16_t(p[0] << 8 | p[1]);
}

inline uint32_t ReadBe32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

inline void WriteBe16(uint8_t* p, uint16_t value)
{
    p[0] = uint8_t(value >> 8);
    p[1] = uint8_t(value);
}

inline void WriteBe32(uint8_t* p, uint32_t value)
{
    p[0] = uint8_t(value >> 24);
    p[1] = uint8_t(value >> 16);
    p[2] = uint8_t(value >> 8);
    p[3] = uint8_t(value);
}

} // namespace winsim::usb
