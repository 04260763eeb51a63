// Where every byte of the fuzzed stack's data came from, so that a read can be checked against what the
// device really sent for that unit and range, and a write reported successful against what the device
// really acknowledged.
//
// Every data word (8 bytes, aligned in the unit's byte space) carries its own origin: a kind (sent by the
// device, written by the application, or the poison an application buffer held before its read), the unit,
// the word's position and a salt (device) or write sequence number (application). The device records how
// it made each data phase (which unit and position it claims the data is, shifted or from another unit of
// its own when it lies) and the raw bytes of any garbage it sent; the application records its writes and
// the poison of each read. A word of a read's result is accepted when one of those records explains it at
// that unit and position; a word that the records cannot explain whole is checked byte by byte (a data
// phase may end in the middle of a word).
//
// Positions are words of the unit's byte space as the device counts it (logical block times the block
// length it last reported), 40 bits of them; further apart than 2^43 bytes two positions alias.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kavfuzz
{

enum class WordKind : uint8_t
{
    Device = 0xD5,
    Application = 0xA9,
    Poison = 0x5C,
};

constexpr uint64_t kPositionMask = (uint64_t(1) << 40) - 1;

uint64_t EncodeWord(WordKind kind, uint8_t lun, uint64_t position, uint16_t tag);

struct DecodedWord
{
    WordKind kind;
    uint8_t lun;
    uint64_t position;
    uint16_t tag; // the device's salt, the application's write sequence or the read's request number
};

bool DecodeWord(uint64_t word, DecodedWord* decoded);

// Fills `length` bytes (from byte `offset` of the unit's space) with words of one origin; a partial word at
// either end gets the matching bytes of its word.
void FillWords(uint8_t* buffer, size_t length, uint64_t offset, WordKind kind, uint8_t lun, uint16_t tag,
               int64_t shiftBytes = 0, uint8_t sourceLun = 0xFF);

// A range of one unit written by one application write: one the device acknowledged, or one the stack
// reported written.
struct WriteSpan
{
    uint8_t lun;
    uint64_t first;
    uint64_t end;
    uint16_t sequence;
};
using AckedSpan = WriteSpan;

// The first word of a write reported successful that the device never acknowledged, itself or by a later
// write to the same place; an empty string when there is none.
std::string UnacknowledgedWord(const std::vector<WriteSpan>& reported, const std::vector<AckedSpan>& acked);

// What the device sent in data phases of reads, what the application wrote and which poison each read
// started with.
class Provenance
{
public:
    // The device sent bytes [first, end) of `lun`'s space as the data of `sourceLun` (normally `lun`)
    // shifted by `shiftBytes` (normally 0), salted with `salt`.
    void DeviceSent(uint8_t lun, uint64_t first, uint64_t end, uint8_t sourceLun, int64_t shiftBytes,
                    uint16_t salt);
    // Garbage the device sent at byte `first` of `lun`'s space.
    void DeviceSentRaw(uint8_t lun, uint64_t first, const uint8_t* bytes, size_t length);
    void ApplicationWrote(uint8_t lun, uint64_t first, uint64_t end, uint16_t sequence);

    // Checks a read result of `lun` at `offset`; an empty string when every byte is explained, else what
    // was found where.
    std::string CheckRead(uint8_t lun, uint64_t offset, const uint8_t* data, size_t length,
                          uint16_t requestNumber) const;
    // Whether a word the device received for `lun` at `position` is one the application wrote there;
    // `hint` (start it at 0) speeds up a run of consecutive words.
    bool ApplicationWordAt(uint8_t lun, uint64_t position, uint64_t word, size_t* hint) const;
    // Data the device received for `lun` from byte `position` on, which a valid status wrapper reporting
    // success acknowledged: appends its words to `acked` (joining runs), and returns the first word the
    // application never wrote there (an empty string when there is none).
    std::string Acknowledge(uint8_t lun, uint64_t position, const uint8_t* data, size_t length,
                            std::vector<AckedSpan>* acked) const;

    void Clear();

private:
    struct Span
    {
        WordKind kind;
        uint8_t lun;
        uint64_t first;
        uint64_t end;
        uint8_t sourceLun;
        int64_t shiftBytes;
        uint16_t tag;
    };
    struct Raw
    {
        uint8_t lun;
        uint64_t first;
        std::vector<uint8_t> bytes;
    };

    bool WordExplained(uint8_t lun, uint64_t position, uint64_t word, uint16_t requestNumber,
                       size_t* hint) const;
    bool ByteExplained(uint8_t lun, uint64_t at, uint8_t byte, uint64_t offset, uint16_t requestNumber) const;
    // How many whole words in a row from `data`, at byte `position` of `lun`'s space, are exactly the
    // span's: a megabyte of them is checked in one pass rather than word by word against every record.
    static size_t WordsAlong(const Span& span, uint8_t lun, uint64_t position, const uint8_t* data,
                             size_t words);

    std::vector<Span> spans_;
    std::vector<Raw> raws_;
};

} // namespace kavfuzz
