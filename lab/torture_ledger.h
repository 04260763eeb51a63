// kavlab torture: the reference copy of each unit when requests overlap in time. Every request is stamped
// with the ledger's clock when it is about to be sent and again once it has ended, so its stamped interval
// holds the real one; what a block may hold follows from those intervals, block by block (the device writes
// and reads whole blocks, so no block may come back torn).
//
// Per block the ledger keeps the value it is known to hold (or "unknown": a write to it failed) and its
// group: the writes to it since the last moment no write to it was in flight. A card swap counts as a write
// of the new card's content to the whole unit, in flight from the moment the old card goes out until the
// disk class driver has counted the change.
//
// - A write W ends with success: each of its blocks holds W's value, or that of another write of the
//   block's group that was in flight at some time after W began. (Blocks that a failed write of the group
//   touched are not checked.)
// - The last write in flight on a block ends: if a write of the group failed, the block becomes unknown.
//   Otherwise it holds the value of a write of the group that no other write of the group followed (one
//   that ended before another began cannot be last) — with one write, exactly its value — and that value
//   becomes what the block is known to hold.
// - A read R that succeeds returns, per block, what the block was known to hold when R began (unless a
//   write of its group had already ended then), or the value of a write of its group at that time or of a
//   write that began during R, unless another write of that group began after it ended and itself ended
//   before R began. So a read that no write overlapped returns the reference exactly, and a read that
//   began after the class driver counted a card swap returns the new card's data (or a later write's).
//   Blocks unknown when R began or ended, or touched during R by a write that failed, are not checked.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace kavlab
{

// The ledger's clock stands still for an interval that has not ended.
constexpr uint64_t kStillOpen = UINT64_MAX;

// One write (or card swap) as the reference model sees it.
struct LedgerWrite
{
    unsigned unit = 0;
    uint64_t offset = 0;
    std::vector<uint8_t> data; // whole blocks, what the request sends (written by the caller before Begin)
    bool swap = false;
    uint64_t begun = 0;
    uint64_t ended = kStillOpen;
    bool failed = false;
    // A swap: what the unit was known to hold before it, to tell the old card's data in a report.
    std::vector<uint8_t> previous;
};
using WriteHandle = std::shared_ptr<LedgerWrite>;

// A read in flight: what its blocks may hold, taken when it began.
struct LedgerRead
{
    unsigned unit = 0;
    uint64_t offset = 0;
    uint32_t length = 0;
    uint64_t begun = 0;
    uint64_t ended = kStillOpen;
    std::vector<uint8_t> reference;
    std::vector<uint8_t> known; // per block
    // The blocks whose group was open when the read began, with the group's writes.
    std::vector<std::pair<uint64_t, std::vector<WriteHandle>>> groups;
};

enum class FindingKind
{
    None,
    WrongRead,   // a read returned a value the block could not hold
    OldCard,     // ... and it was the old card's, after the class driver had counted the swap
    LostWrite,   // a write reported done is not on the medium
    WrongMedium, // the medium no longer holds what a block is known to hold
};

struct Finding
{
    FindingKind kind = FindingKind::None;
    uint64_t at = 0; // byte offset of the first wrong block
    std::string what;
    explicit operator bool() const { return kind != FindingKind::None; }
};

// Reads `length` bytes of a unit's medium as the device holds them now, behind the transport's back.
using MediumReader = std::function<void(unsigned unit, uint64_t offset, void* buffer, uint64_t length)>;

class Ledger
{
public:
    // Every unit starts known to hold zeros.
    Ledger(const std::vector<uint32_t>& blockLengths, uint64_t unitBytes, MediumReader medium);

    // A stamp of the clock, for intervals kept elsewhere (windows of device conditions).
    uint64_t Tick();

    // Called just before the request is sent; `data` is what it writes.
    WriteHandle BeginWrite(unsigned unit, uint64_t offset, std::vector<uint8_t> data);
    // Called just before the old card goes out: `content` is the new card's, the whole unit.
    WriteHandle BeginSwap(unsigned unit, std::vector<uint8_t> content);
    // Called once the request has ended (for a swap: once the class driver has counted it).
    Finding EndWrite(const WriteHandle& write, bool succeeded);

    std::unique_ptr<LedgerRead> BeginRead(unsigned unit, uint64_t offset, uint32_t length);
    // `data`: what the read returned; only a read that succeeded is checked.
    Finding EndRead(LedgerRead& read, bool succeeded, const uint8_t* data);

    // With no write in flight: every known block of the unit holds its value on the medium.
    Finding Verify(unsigned unit);
    uint64_t UnknownBlocks(unsigned unit);

private:
    struct Unit
    {
        uint32_t blockLength = 512;
        uint64_t blocks = 0;
        std::vector<uint8_t> reference;
        std::vector<uint8_t> known;
        std::vector<std::vector<WriteHandle>> groups;
        std::vector<WriteHandle> log;  // writes in order of their start, while a read may need them
        std::multiset<uint64_t> reads; // start stamps of the reads in flight
        WriteHandle lastSwap;
    };
    WriteHandle Begin(WriteHandle write);
    Finding SettleBlock(Unit& unit, const LedgerWrite& write, uint64_t block, const uint8_t* medium);
    void Prune(Unit& unit);
    static const uint8_t* ValueOf(const LedgerWrite& write, uint64_t byteOffset);

    std::mutex lock_;
    uint64_t clock_ = 0;
    std::vector<Unit> units_;
    MediumReader medium_;
};

} // namespace kavlab
