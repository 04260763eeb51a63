// The origin of every data word in the fuzzed stack (see data_provenance.h).
#include "tests/fuzz/data_provenance.h"

#include <cstdio>
#include <cstring>

namespace kavfuzz
{

namespace
{

constexpr uint16_t kTagMask = 0xFFF;

uint8_t ByteOfWord(uint64_t word, unsigned index)
{
    return uint8_t(word >> (8 * index));
}

// The byte at address `at` of a span's data.
uint8_t SpanByte(WordKind kind, uint8_t sourceLun, int64_t shiftBytes, uint16_t tag, uint64_t at)
{
    const uint64_t shifted = at + uint64_t(shiftBytes);
    return ByteOfWord(EncodeWord(kind, sourceLun, shifted >> 3, tag), unsigned(shifted & 7));
}

} // namespace

uint64_t EncodeWord(WordKind kind, uint8_t lun, uint64_t position, uint16_t tag)
{
    return uint64_t(kind) << 56 | uint64_t(lun & 0xF) << 52 | uint64_t(tag & kTagMask) << 40 |
           (position & kPositionMask);
}

bool DecodeWord(uint64_t word, DecodedWord* decoded)
{
    const auto kind = static_cast<WordKind>(word >> 56);
    if (kind != WordKind::Device && kind != WordKind::Application && kind != WordKind::Poison)
    {
        return false;
    }
    decoded->kind = kind;
    decoded->lun = uint8_t((word >> 52) & 0xF);
    decoded->tag = uint16_t((word >> 40) & kTagMask);
    decoded->position = word & kPositionMask;
    return true;
}

void FillWords(uint8_t* buffer, size_t length, uint64_t offset, WordKind kind, uint8_t lun, uint16_t tag,
               int64_t shiftBytes, uint8_t sourceLun)
{
    const uint8_t source = sourceLun == 0xFF ? lun : sourceLun;
    size_t i = 0;
    // Byte by byte up to the first whole word, whole words after it, byte by byte at the end.
    while (i < length && ((offset + i + uint64_t(shiftBytes)) & 7) != 0)
    {
        buffer[i] = SpanByte(kind, source, shiftBytes, tag, offset + i);
        ++i;
    }
    for (; i + 8 <= length; i += 8)
    {
        const uint64_t word = EncodeWord(kind, source, (offset + i + uint64_t(shiftBytes)) >> 3, tag);
        for (unsigned b = 0; b < 8; ++b)
        {
            buffer[i + b] = ByteOfWord(word, b);
        }
    }
    for (; i < length; ++i)
    {
        buffer[i] = SpanByte(kind, source, shiftBytes, tag, offset + i);
    }
}

void Provenance::DeviceSent(uint8_t lun, uint64_t first, uint64_t end, uint8_t sourceLun, int64_t shiftBytes,
                            uint16_t salt)
{
    if (end > first)
    {
        spans_.push_back(
            Span{WordKind::Device, lun, first, end, sourceLun, shiftBytes, uint16_t(salt & kTagMask)});
    }
}

void Provenance::DeviceSentRaw(uint8_t lun, uint64_t first, const uint8_t* bytes, size_t length)
{
    if (length != 0)
    {
        raws_.push_back(Raw{lun, first, std::vector<uint8_t>(bytes, bytes + length)});
    }
}

void Provenance::ApplicationWrote(uint8_t lun, uint64_t first, uint64_t end, uint16_t sequence)
{
    if (end > first)
    {
        spans_.push_back(Span{WordKind::Application, lun, first, end, lun, 0, uint16_t(sequence & kTagMask)});
    }
}

void Provenance::Clear()
{
    spans_.clear();
    raws_.clear();
}

bool Provenance::WordExplained(uint8_t lun, uint64_t position, uint64_t word, uint16_t requestNumber,
                               size_t* hint) const
{
    DecodedWord decoded{};
    if (!DecodeWord(word, &decoded))
    {
        return false;
    }
    if (decoded.kind == WordKind::Poison)
    {
        // The application's own buffer as it was before the read: nothing came from elsewhere.
        return decoded.lun == (lun & 0xF) && decoded.position == ((position >> 3) & kPositionMask) &&
               decoded.tag == (requestNumber & kTagMask);
    }
    const auto matches = [&](const Span& span) {
        if (span.kind != decoded.kind || span.lun != lun || span.tag != decoded.tag ||
            (span.sourceLun & 0xF) != decoded.lun || position < span.first || position + 8 > span.end)
        {
            return false;
        }
        const uint64_t shifted = position + uint64_t(span.shiftBytes);
        return (shifted & 7) == 0 && ((shifted >> 3) & kPositionMask) == decoded.position;
    };
    if (*hint < spans_.size() && matches(spans_[*hint]))
    {
        return true;
    }
    // The newest records first: a read mostly meets what was sent or written last.
    for (size_t i = spans_.size(); i-- > 0;)
    {
        if (matches(spans_[i]))
        {
            *hint = i;
            return true;
        }
    }
    return false;
}

size_t Provenance::WordsAlong(const Span& span, uint8_t lun, uint64_t position, const uint8_t* data,
                              size_t words)
{
    const uint64_t shifted = position + uint64_t(span.shiftBytes);
    if (span.lun != lun || (shifted & 7) != 0 || position < span.first || position >= span.end)
    {
        return 0;
    }
    const size_t inSpan = size_t((span.end - position) / 8);
    const size_t limit = words < inSpan ? words : inSpan;
    const uint64_t first = EncodeWord(span.kind, span.sourceLun, shifted >> 3, span.tag);
    size_t n = 0;
    for (; n < limit; ++n)
    {
        uint64_t word = 0;
        std::memcpy(&word, data + 8 * n, 8);
        if (word != ((first & ~kPositionMask) | ((first + n) & kPositionMask)))
        {
            break;
        }
    }
    return n;
}

bool Provenance::ByteExplained(uint8_t lun, uint64_t at, uint8_t byte, uint64_t offset,
                               uint16_t requestNumber) const
{
    (void)offset;
    if (SpanByte(WordKind::Poison, lun, 0, uint16_t(requestNumber & kTagMask), at) == byte)
    {
        return true;
    }
    for (const Span& span : spans_)
    {
        if (span.lun == lun && at >= span.first && at < span.end &&
            SpanByte(span.kind, span.sourceLun, span.shiftBytes, span.tag, at) == byte)
        {
            return true;
        }
    }
    for (const Raw& raw : raws_)
    {
        if (raw.lun == lun && at >= raw.first && at - raw.first < raw.bytes.size() &&
            raw.bytes[at - raw.first] == byte)
        {
            return true;
        }
    }
    return false;
}

std::string Provenance::CheckRead(uint8_t lun, uint64_t offset, const uint8_t* data, size_t length,
                                  uint16_t requestNumber) const
{
    size_t hint = spans_.size();
    const Span poison{WordKind::Poison, lun, 0, UINT64_MAX, lun, 0, uint16_t(requestNumber & kTagMask)};
    size_t i = 0;
    while (i < length)
    {
        const uint64_t at = offset + i;
        if ((at & 7) == 0 && i + 8 <= length)
        {
            // Runs of the buffer's own poison or of one record first, then word by word.
            const size_t words = (length - i) / 8;
            size_t run = WordsAlong(poison, lun, at, data + i, words);
            if (run == 0 && hint < spans_.size())
            {
                run = WordsAlong(spans_[hint], lun, at, data + i, words);
            }
            if (run != 0)
            {
                i += 8 * run;
                continue;
            }
            uint64_t word = 0;
            std::memcpy(&word, data + i, 8);
            if (WordExplained(lun, at, word, requestNumber, &hint))
            {
                i += 8;
                continue;
            }
        }
        if (!ByteExplained(lun, at, data[i], offset, requestNumber))
        {
            uint64_t word = 0;
            const size_t wordStart = i - (at & 7);
            std::memcpy(&word, data + wordStart, wordStart + 8 <= length ? 8 : length - wordStart);
            char text[200];
            std::snprintf(
                text, sizeof text,
                "unit %u byte %llu (request offset %zu) holds 0x%02x, which no record explains; its "
                "word reads %016llx",
                unsigned(lun), static_cast<unsigned long long>(at), i, unsigned(data[i]),
                static_cast<unsigned long long>(word));
            return text;
        }
        ++i;
    }
    return std::string();
}

bool Provenance::ApplicationWordAt(uint8_t lun, uint64_t position, uint64_t word, size_t* hint) const
{
    DecodedWord decoded{};
    if (!DecodeWord(word, &decoded) || decoded.kind != WordKind::Application)
    {
        return false;
    }
    return WordExplained(lun, position, word, 0, hint);
}

std::string Provenance::Acknowledge(uint8_t lun, uint64_t position, const uint8_t* data, size_t length,
                                    std::vector<AckedSpan>* acked) const
{
    std::string foreign;
    size_t hint = 0;
    for (size_t i = 0; i + 8 <= length; i += 8)
    {
        const uint64_t at = position + i;
        uint64_t word = 0;
        std::memcpy(&word, data + i, 8);
        if ((at & 7) != 0 || !ApplicationWordAt(lun, at, word, &hint))
        {
            if (foreign.empty())
            {
                char text[160];
                std::snprintf(text, sizeof text,
                              "the device was given %016llx for unit %u byte %llu, which the application "
                              "never wrote there",
                              static_cast<unsigned long long>(word), unsigned(lun),
                              static_cast<unsigned long long>(at));
                foreign = text;
            }
            continue;
        }
        // The words after it that the same write put there, in one pass; the write's record gives its tag.
        const Span& write = spans_[hint];
        const size_t more = WordsAlong(write, lun, at + 8, data + i + 8, (length - i - 8) / 8);
        const uint64_t end = at + 8 + 8 * more;
        i += 8 * more;
        if (!acked->empty() && acked->back().lun == lun && acked->back().end == at &&
            acked->back().sequence == write.tag)
        {
            acked->back().end = end;
        }
        else
        {
            acked->push_back(AckedSpan{lun, at, end, write.tag});
        }
    }
    return foreign;
}

std::string UnacknowledgedWord(const std::vector<WriteSpan>& reported, const std::vector<AckedSpan>& acked)
{
    for (const WriteSpan& w : reported)
    {
        size_t last = 0; // the span that acknowledged the word before usually holds the next one too
        for (uint64_t at = w.first; at < w.end; at += 8)
        {
            const auto covers = [&](const AckedSpan& span) {
                return span.lun == w.lun && at >= span.first && at + 8 <= span.end &&
                       span.sequence >= w.sequence;
            };
            bool found = last < acked.size() && covers(acked[last]);
            for (size_t i = 0; !found && i < acked.size(); ++i)
            {
                if (covers(acked[i]))
                {
                    found = true;
                    last = i;
                }
            }
            if (!found)
            {
                char text[160];
                std::snprintf(text, sizeof text, "write %u of unit %u: byte %llu was never acknowledged",
                              unsigned(w.sequence), unsigned(w.lun), static_cast<unsigned long long>(at));
                return text;
            }
        }
    }
    return std::string();
}

} // namespace kavfuzz
