#include "escape.h"

#include <cstdint>
#include <cstring>

#include "simd.h"
#include "strutil.h"

namespace {

bool NeedsEscape(unsigned char b) { return b < 32 || b == '#'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

#ifdef TARNWICK_SSE2
// Which of the 16 bytes at P escaping changes, one bit each: a byte is
// below 32 when the unsigned minimum of it and 31 is itself.
unsigned EscapeMask(const char* P, __m128i Limit, __m128i Hash)
{
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P));
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(bytes, Limit), bytes);
    const __m128i hash = _mm_cmpeq_epi8(bytes, Hash);
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(control, hash)));
}
#endif

// The first byte from P on, before End, that escaping changes; End when
// there is none. With SSE2 the escaping itself goes sixteen bytes at a
// time and leaves only the last few bytes to this search.
const char* FindEscape(const char* P, const char* End)
{
#ifndef TARNWICK_SSE2
    // Eight bytes at a time: the usual has-a-byte-less-than test on a
    // 64-bit word, and has-a-zero-byte on the word xor'ed with "########".
    // Either may only err towards true, and the byte loop decides.
    constexpr uint64_t Ones = 0x0101010101010101ull;
    constexpr uint64_t Highs = 0x8080808080808080ull;
    for (; End - P >= 8; P += 8) {
        uint64_t word;
        std::memcpy(&word, P, 8);
        const uint64_t below32 = (word - Ones * 32) & ~word & Highs;
        const uint64_t hashes = word ^ (Ones * '#');
        if (((below32 | ((hashes - Ones) & ~hashes & Highs))) != 0)
            break;
    }
#endif
    while (P < End && !NeedsEscape(static_cast<unsigned char>(*P)))
        ++P;
    return P;
}

}  // namespace

char* EscapeMemoValue(char* Out, const char* Value, size_t Length)
{
    const char* p = Value;
    const char* const end = p + Length;
    const auto escape = [](char* To, unsigned char Byte) {
        if (Byte == 0) {
            *To = ' ';
            return To + 1;
        }
        To[0] = '#';
        To[1] = static_cast<char>('0' + Byte / 10);
        To[2] = static_cast<char>('0' + Byte % 10);
        return To + 3;
    };
#ifdef TARNWICK_SSE2
    // Sixteen bytes at a time are stored whole and the output moves on past
    // those before the first that changes, if any. The room for three bytes
    // per byte of the value keeps such a store inside it: while sixteen
    // bytes are left to read, at least 48 are left to write.
    const __m128i limit = _mm_set1_epi8(31);
    const __m128i hash = _mm_set1_epi8('#');
    while (end - p >= 16) {
        const unsigned mask = EscapeMask(p, limit, hash);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(Out), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        if (mask == 0) {
            p += 16;
            Out += 16;
            continue;
        }
        const unsigned kept = LowestSetBit(mask);
        p += kept;
        Out = escape(Out + kept, static_cast<unsigned char>(*p++));
    }
#endif
    while (p < end) {
        const char* stop = FindEscape(p, end);
        std::memcpy(Out, p, static_cast<size_t>(stop - p));
        Out += stop - p;
        if (stop == end)
            break;
        p = stop + 1;
        Out = escape(Out, static_cast<unsigned char>(*stop));
    }
    return Out;
}

std::string EscapeMemoValue(const std::string& Value)
{
    std::string out(Value.size() * MaxEscapedSize, '\0');
    out.resize(static_cast<size_t>(EscapeMemoValue(&out[0], Value.data(), Value.size()) - out.data()));
    return out;
}

namespace {

// The byte the escape at Hash stands for, or -1 when the "#" there starts
// none and stays as it is.
int EscapedByte(const char* Hash, const char* End)
{
    if (End - Hash < 3 || !IsDigit(Hash[1]) || !IsDigit(Hash[2]))
        return -1;
    const int code = (Hash[1] - '0') * 10 + (Hash[2] - '0');
    return (code >= 1 && code <= 31) || code == '#' ? code : -1;
}

}  // namespace

void AppendUnescapedMemoValue(std::string& Out, const char* Value, size_t Length)
{
    const char* p = Value;
    const char* const end = Value + Length;
    while (p < end) {
        const char* hash = static_cast<const char*>(std::memchr(p, '#', static_cast<size_t>(end - p)));
        if (!hash) {
            Out.append(p, static_cast<size_t>(end - p));
            return;
        }
        Out.append(p, static_cast<size_t>(hash - p));
        const int code = EscapedByte(hash, end);
        Out += static_cast<char>(code >= 0 ? code : '#');
        p = hash + (code >= 0 ? 3 : 1);
    }
}

TUnescapedSize MeasureUnescapedMemoValue(const char* Value, size_t Length)
{
    TUnescapedSize size{0, true};
    const char* p = Value;
    const char* const end = Value + Length;
    while (p < end) {
        const char* hash = static_cast<const char*>(std::memchr(p, '#', static_cast<size_t>(end - p)));
        const char* const plain = hash ? hash : end;
        size.Length += static_cast<size_t>(plain - p);
        size.Blank = size.Blank && IsBlank(std::string_view(p, static_cast<size_t>(plain - p)));
        if (!hash)
            break;
        const int code = EscapedByte(hash, end);
        size.Length += 1;
        // The escaped bytes are all blank but "#" itself.
        size.Blank = size.Blank && code >= 0 && code != '#';
        p = hash + (code >= 0 ? 3 : 1);
    }
    return size;
}

std::string UnescapeMemoValue(const std::string& Value)
{
    std::string out;
    out.reserve(Value.size());
    AppendUnescapedMemoValue(out, Value.data(), Value.size());
    return out;
}
