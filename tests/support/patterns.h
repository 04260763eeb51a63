// Test data whose every byte depends on where it belongs and on a seed: data written to the wrong place,
// stale data, a piece written twice or a piece lost all show in a comparison. One generator for every
// suite, so that a pattern written by one helper can be checked by another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kavtest
{

constexpr uint32_t kKiB = 1024;
constexpr uint32_t kMiB = 1024 * 1024;
constexpr uint32_t kBlock = 512;

// The byte at `position` (bytes from the start of the medium) of the pattern `seed`.
inline uint8_t PatternByte(uint64_t position, uint32_t seed)
{
    uint64_t x = (position >> 3) + (uint64_t(seed) << 44) + 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    return uint8_t(x >> (8 * (position & 7)));
}

// `length` bytes of the pattern `seed` as they lie from byte `offset` of the medium on.
inline std::vector<uint8_t> PatternAt(uint64_t offset, size_t length, uint32_t seed)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i)
    {
        bytes[i] = PatternByte(offset + i, seed);
    }
    return bytes;
}

// A buffer of the pattern `seed`, for tests where only the content, not its place, matters.
inline std::vector<uint8_t> Pattern(size_t length, uint32_t seed)
{
    return PatternAt(0, length, seed);
}

// The pattern `seed` of `blocks` blocks of 512 bytes from block `lba` on.
inline std::vector<uint8_t> BlockPattern(uint64_t lba, uint32_t blocks, uint32_t seed)
{
    return PatternAt(lba * kBlock, size_t(blocks) * kBlock, seed);
}

} // namespace kavtest
