// kavlab torture: the reference copy under overlapping requests (see torture_ledger.h).
#include "lab/torture_ledger.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace kavlab
{
namespace
{

bool Covers(const LedgerWrite& write, uint64_t byteOffset)
{
    return byteOffset >= write.offset && byteOffset < write.offset + write.data.size();
}

std::string Describe(const char* text, unsigned unit, uint64_t at)
{
    char line[200];
    std::snprintf(line, sizeof line, "%s: unit %u, block at byte %" PRIu64, text, unit, at);
    return line;
}

} // namespace

Ledger::Ledger(const std::vector<uint32_t>& blockLengths, uint64_t unitBytes, MediumReader medium)
    : medium_(std::move(medium))
{
    for (uint32_t blockLength : blockLengths)
    {
        Unit unit;
        unit.blockLength = blockLength;
        unit.blocks = unitBytes / blockLength;
        unit.reference.assign(unitBytes, 0);
        unit.known.assign(unit.blocks, 1);
        unit.groups.resize(unit.blocks);
        units_.push_back(std::move(unit));
    }
}

uint64_t Ledger::Tick()
{
    std::lock_guard<std::mutex> guard(lock_);
    return ++clock_;
}

const uint8_t* Ledger::ValueOf(const LedgerWrite& write, uint64_t byteOffset)
{
    return write.data.data() + (byteOffset - write.offset);
}

WriteHandle Ledger::BeginWrite(unsigned unit, uint64_t offset, std::vector<uint8_t> data)
{
    auto write = std::make_shared<LedgerWrite>();
    write->unit = unit;
    write->offset = offset;
    write->data = std::move(data);
    return Begin(write);
}

WriteHandle Ledger::BeginSwap(unsigned unit, std::vector<uint8_t> content)
{
    auto write = std::make_shared<LedgerWrite>();
    write->unit = unit;
    write->data = std::move(content);
    write->swap = true;
    {
        std::lock_guard<std::mutex> guard(lock_);
        write->previous = units_[unit].reference;
    }
    return Begin(write);
}

WriteHandle Ledger::Begin(WriteHandle write)
{
    std::lock_guard<std::mutex> guard(lock_);
    Unit& unit = units_[write->unit];
    write->begun = ++clock_;
    const uint64_t first = write->offset / unit.blockLength;
    const uint64_t count = write->data.size() / unit.blockLength;
    for (uint64_t block = first; block < first + count; ++block)
    {
        unit.groups[block].push_back(write);
    }
    if (!unit.reads.empty())
    {
        unit.log.push_back(write);
    }
    return write;
}

Finding Ledger::EndWrite(const WriteHandle& write, bool succeeded)
{
    std::lock_guard<std::mutex> guard(lock_);
    Unit& unit = units_[write->unit];
    write->ended = ++clock_;
    write->failed = !succeeded;
    if (write->swap)
    {
        unit.lastSwap = write;
    }
    std::vector<uint8_t> medium(write->data.size());
    medium_(write->unit, write->offset, medium.data(), medium.size());
    const uint64_t first = write->offset / unit.blockLength;
    const uint64_t count = write->data.size() / unit.blockLength;
    Finding finding;
    for (uint64_t index = 0; index < count; ++index)
    {
        const uint64_t block = first + index;
        const uint64_t at = block * unit.blockLength;
        const uint8_t* now = medium.data() + index * unit.blockLength;
        std::vector<WriteHandle>& group = unit.groups[block];
        if (succeeded && !finding)
        {
            bool failedInGroup = false;
            bool found = std::memcmp(now, ValueOf(*write, at), unit.blockLength) == 0;
            for (const WriteHandle& other : group)
            {
                failedInGroup = failedInGroup || (other->ended != kStillOpen && other->failed);
                if (!found && other != write && other->ended > write->begun)
                {
                    found = std::memcmp(now, ValueOf(*other, at), unit.blockLength) == 0;
                }
            }
            if (!failedInGroup && !found)
            {
                finding.kind = FindingKind::LostWrite;
                finding.at = at;
                finding.what = Describe(write->swap ? "the new card's data is not on the medium"
                                                    : "a write reported done is not on the medium",
                                        write->unit, at);
            }
        }
        Finding settled = SettleBlock(unit, *write, block, now);
        if (!finding && settled)
        {
            finding = settled;
        }
    }
    Prune(unit);
    return finding;
}

// The block's group closes when its last write in flight ends: the medium then holds the value of a write
// that no other write of the group followed, and that value is what the block is known to hold from now on.
Finding Ledger::SettleBlock(Unit& unit, const LedgerWrite& write, uint64_t block, const uint8_t* medium)
{
    std::vector<WriteHandle>& group = unit.groups[block];
    uint64_t lastStart = 0;
    bool failed = false;
    for (const WriteHandle& member : group)
    {
        if (member->ended == kStillOpen)
        {
            return Finding{};
        }
        failed = failed || member->failed;
        lastStart = std::max(lastStart, member->begun);
    }
    const uint64_t at = block * unit.blockLength;
    Finding finding;
    if (failed)
    {
        unit.known[block] = 0;
    }
    else
    {
        bool found = false;
        for (const WriteHandle& member : group)
        {
            found = found || (member->ended > lastStart &&
                              std::memcmp(medium, ValueOf(*member, at), unit.blockLength) == 0);
        }
        if (!found)
        {
            finding.kind = FindingKind::LostWrite;
            finding.at = at;
            finding.what = Describe(
                group.size() == 1 ? "the medium lost a write once it had ended"
                                  : "after overlapping writes ended, the medium holds none of their last "
                                    "values",
                write.unit, at);
        }
        std::memcpy(unit.reference.data() + at, medium, unit.blockLength);
        unit.known[block] = 1;
    }
    group.clear();
    return finding;
}

std::unique_ptr<LedgerRead> Ledger::BeginRead(unsigned unitIndex, uint64_t offset, uint32_t length)
{
    std::lock_guard<std::mutex> guard(lock_);
    Unit& unit = units_[unitIndex];
    auto read = std::make_unique<LedgerRead>();
    read->unit = unitIndex;
    read->offset = offset;
    read->length = length;
    read->begun = ++clock_;
    read->reference.assign(unit.reference.begin() + int64_t(offset),
                           unit.reference.begin() + int64_t(offset + length));
    const uint64_t first = offset / unit.blockLength;
    const uint64_t count = length / unit.blockLength;
    read->known.assign(unit.known.begin() + int64_t(first), unit.known.begin() + int64_t(first + count));
    for (uint64_t block = first; block < first + count; ++block)
    {
        if (!unit.groups[block].empty())
        {
            read->groups.emplace_back(block, unit.groups[block]);
        }
    }
    unit.reads.insert(read->begun);
    return read;
}

Finding Ledger::EndRead(LedgerRead& read, bool succeeded, const uint8_t* data)
{
    std::lock_guard<std::mutex> guard(lock_);
    Unit& unit = units_[read.unit];
    read.ended = ++clock_;
    const auto reading = unit.reads.find(read.begun);
    if (reading != unit.reads.end())
    {
        unit.reads.erase(reading);
    }
    Finding finding;
    if (succeeded)
    {
        // The writes that began during the read and touch its range.
        std::vector<WriteHandle> later;
        for (const WriteHandle& write : unit.log)
        {
            if (write->begun > read.begun && write->offset < read.offset + read.length &&
                write->offset + write->data.size() > read.offset)
            {
                later.push_back(write);
            }
        }
        static const std::vector<WriteHandle> kNoGroup;
        const uint64_t first = read.offset / unit.blockLength;
        size_t nextGroup = 0;
        for (uint64_t index = 0; index < read.known.size() && !finding; ++index)
        {
            const uint64_t block = first + index;
            const uint64_t at = block * unit.blockLength;
            const uint8_t* got = data + index * unit.blockLength;
            const std::vector<WriteHandle>* group = &kNoGroup;
            if (nextGroup < read.groups.size() && read.groups[nextGroup].first == block)
            {
                group = &read.groups[nextGroup++].second;
            }
            if (!read.known[index] || !unit.known[block])
            {
                continue;
            }
            bool failed = false;
            bool referenceStands = true;
            for (const WriteHandle& write : *group)
            {
                failed = failed || (write->ended != kStillOpen && write->failed);
                referenceStands = referenceStands && !(write->ended < read.begun);
            }
            for (const WriteHandle& write : later)
            {
                failed = failed || (Covers(*write, at) && write->ended != kStillOpen && write->failed);
            }
            if (failed)
            {
                continue;
            }
            bool found = referenceStands && std::memcmp(got, read.reference.data() + index * unit.blockLength,
                                                        unit.blockLength) == 0;
            for (const WriteHandle& write : *group)
            {
                bool followed = false;
                for (const WriteHandle& other : *group)
                {
                    followed = followed || (other->ended < read.begun && write->ended < other->begun);
                }
                found = found || (!followed && std::memcmp(got, ValueOf(*write, at), unit.blockLength) == 0);
            }
            for (const WriteHandle& write : later)
            {
                found = found ||
                        (Covers(*write, at) && std::memcmp(got, ValueOf(*write, at), unit.blockLength) == 0);
            }
            if (found)
            {
                continue;
            }
            finding.kind = FindingKind::WrongRead;
            finding.at = at;
            finding.what = Describe("a read returned data the block never held while it ran", read.unit, at);
            const WriteHandle& swap = unit.lastSwap;
            if (swap != nullptr && swap->ended < read.begun &&
                std::memcmp(got, swap->previous.data() + at, unit.blockLength) == 0)
            {
                finding.kind = FindingKind::OldCard;
                finding.what = Describe("a read that began after the class driver had counted the card swap "
                                        "returned the old card's data",
                                        read.unit, at);
            }
        }
    }
    Prune(unit);
    return finding;
}

// Writes stay in the log only while a read that began before them may still meet them.
void Ledger::Prune(Unit& unit)
{
    const uint64_t oldest = unit.reads.empty() ? kStillOpen : *unit.reads.begin();
    unit.log.erase(std::remove_if(unit.log.begin(), unit.log.end(),
                                  [oldest](const WriteHandle& write) { return write->begun < oldest; }),
                   unit.log.end());
}

Finding Ledger::Verify(unsigned unitIndex)
{
    std::lock_guard<std::mutex> guard(lock_);
    Unit& unit = units_[unitIndex];
    std::vector<uint8_t> medium(unit.reference.size());
    medium_(unitIndex, 0, medium.data(), medium.size());
    for (uint64_t block = 0; block < unit.blocks; ++block)
    {
        const uint64_t at = block * unit.blockLength;
        if (unit.known[block] &&
            std::memcmp(medium.data() + at, unit.reference.data() + at, unit.blockLength) != 0)
        {
            Finding finding;
            finding.kind = FindingKind::WrongMedium;
            finding.at = at;
            finding.what =
                Describe("the medium no longer holds what the unit was known to hold", unitIndex, at);
            return finding;
        }
    }
    return Finding{};
}

uint64_t Ledger::UnknownBlocks(unsigned unit)
{
    std::lock_guard<std::mutex> guard(lock_);
    return uint64_t(std::count(units_[unit].known.begin(), units_[unit].known.end(), 0));
}

} // namespace kavlab
