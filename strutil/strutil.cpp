#include "strutil.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "simd.h"

int PosFrom(const std::string& Sub, const std::string& S, int Start)
{
    if (Sub.empty() || S.empty() || Start < 1)
        return 0;
    const size_t from = static_cast<size_t>(Start) - 1;
    if (from >= S.size())
        return 0;
    const size_t at = S.find(Sub, from);
    return at == std::string::npos ? 0 : static_cast<int>(at) + 1;
}

std::string ReplaceAll(const std::string& S, const std::string& Find, const std::string& Replace)
{
    if (S.empty() || Find.empty())
        return S;

    // First pass: where the matches are, so the result is allocated once.
    std::vector<size_t> matches;
    for (size_t at = S.find(Find); at != std::string::npos; at = S.find(Find, at + Find.size()))
        matches.push_back(at);
    if (matches.empty())
        return S;

    std::string result;
    result.resize(S.size() - matches.size() * Find.size() + matches.size() * Replace.size());
    char* out = &result[0];
    size_t copiedUpTo = 0;
    for (size_t at : matches) {
        std::memcpy(out, S.data() + copiedUpTo, at - copiedUpTo);
        out += at - copiedUpTo;
        if (!Replace.empty())
            std::memcpy(out, Replace.data(), Replace.size());
        out += Replace.size();
        copiedUpTo = at + Find.size();
    }
    std::memcpy(out, S.data() + copiedUpTo, S.size() - copiedUpTo);
    return result;
}

void DeleteAt(std::string& S, int Index, int Count)
{
    if (Count <= 0 || S.empty() || Index < 1 || static_cast<size_t>(Index) > S.size())
        return;
    S.erase(static_cast<size_t>(Index) - 1, static_cast<size_t>(Count));
}

bool IsBlank(std::string_view S)
{
    for (char c : S)
        if (!IsBlankChar(c))
            return false;
    return true;
}

std::string TrimRight(const std::string& S)
{
    size_t end = S.size();
    while (end > 0 && IsBlankChar(S[end - 1]))
        --end;
    return S.substr(0, end);
}

std::string Trim(const std::string& S)
{
    size_t begin = 0;
    size_t end = S.size();
    while (begin < end && IsBlankChar(S[begin]))
        ++begin;
    while (end > begin && IsBlankChar(S[end - 1]))
        --end;
    return S.substr(begin, end - begin);
}

namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

int32_t StrToIntDef(const std::string& S, int32_t Default) { return StrToIntDef(S.data(), S.size(), Default); }

namespace {

// Hexadecimal digits from S[I] to S[End]: at least one, none other, within
// the signed 32-bit range.
int32_t HexNumberDef(const char* S, size_t I, size_t End, int32_t Default)
{
    if (I == End)
        return Default;
    int64_t value = 0;
    for (; I < End; ++I) {
        const int digit = HexDigit(S[I]);
        if (digit < 0)
            return Default;
        value = value * 16 + digit;
        if (value > std::numeric_limits<int32_t>::max())
            return Default;
    }
    return static_cast<int32_t>(value);
}

// An optional sign and decimal digits from S[I] to S[End], within the
// signed 32-bit range.
int32_t DecimalNumberDef(const char* S, size_t I, size_t End, int32_t Default)
{
    bool negative = false;
    if (S[I] == '+' || S[I] == '-') {
        negative = S[I] == '-';
        ++I;
    }
    if (I == End)
        return Default;
    int64_t value = 0;
    for (; I < End; ++I) {
        if (S[I] < '0' || S[I] > '9')
            return Default;
        value = value * 10 + (S[I] - '0');
        if (value > static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1)
            return Default;
    }
    if (negative)
        value = -value;
    if (value > std::numeric_limits<int32_t>::max() || value < std::numeric_limits<int32_t>::min())
        return Default;
    return static_cast<int32_t>(value);
}

}  // namespace

int32_t StrToIntDef(const char* S, size_t Length, int32_t Default)
{
    // Most texts are memo references: spaces, then up to nine digits that
    // run to the end (or to a zero byte). Those need none of the rest.
    {
        size_t i = 0;
        while (i < Length && S[i] == ' ')
            ++i;
        // Spaces alone are no number: half the references of many tables.
        if (i == Length)
            return Default;
        const size_t first = i;
        int32_t value = 0;
        while (i < Length && i - first < 9 && S[i] >= '0' && S[i] <= '9')
            value = value * 10 + (S[i++] - '0');
        if (i > first && (i == Length || S[i] == '\0'))
            return value;
    }
    // The number ends at the end of the text or at its first zero byte.
    // (A plain loop: a number is a few bytes, a memo reference among them.)
    size_t end = 0;
    while (end < Length && S[end] != '\0')
        ++end;
    size_t i = 0;
    while (i < end && S[i] == ' ')
        ++i;
    if (i == end)
        return Default;
    if (S[i] == '$' || S[i] == 'x' || S[i] == 'X')
        return HexNumberDef(S, i + 1, end, Default);
    if (S[i] == '0' && i + 1 < end && (S[i + 1] == 'x' || S[i + 1] == 'X'))
        return HexNumberDef(S, i + 2, end, Default);
    return DecimalNumberDef(S, i, end, Default);
}

std::string IntToStr(int64_t Value) { return std::to_string(Value); }

std::string HexByte(uint8_t Byte)
{
    static const char Digits[] = "0123456789ABCDEF";
    return std::string{Digits[Byte >> 4], Digits[Byte & 15]};
}

size_t Utf8Characters(std::string_view Text)
{
    size_t characters = 0;
    for (char c : Text)
        characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return characters;
}

std::vector<std::string> SplitAt(const std::string& S, const std::string& Separator)
{
    std::vector<std::string> pieces;
    size_t start = 0;
    if (!Separator.empty())
        for (size_t at = S.find(Separator); at != std::string::npos; at = S.find(Separator, start)) {
            pieces.push_back(S.substr(start, at - start));
            start = at + Separator.size();
        }
    pieces.push_back(S.substr(start));
    return pieces;
}

std::vector<std::string> SplitLines(const std::string& S)
{
    std::vector<std::string> lines;
    size_t start = 0;
    size_t i = 0;
    while (i < S.size()) {
        if (S[i] == '\r' || S[i] == '\n') {
            lines.push_back(S.substr(start, i - start));
            if (S[i] == '\r' && i + 1 < S.size() && S[i + 1] == '\n')
                ++i;
            start = ++i;
        } else {
            ++i;
        }
    }
    if (start < S.size())
        lines.push_back(S.substr(start));
    return lines;
}

const char* FindEither(const char* From, const char* To, char A, char B)
{
#ifdef TARNWICK_SSE2
    const __m128i a = _mm_set1_epi8(A);
    const __m128i b = _mm_set1_epi8(B);
    const auto matches = [a, b](const char* P) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P));
        return _mm_or_si128(_mm_cmpeq_epi8(bytes, a), _mm_cmpeq_epi8(bytes, b));
    };
    // Lines and values run to hundreds of bytes: 64 at a time, then 16.
    for (; To - From >= 64; From += 64) {
        const __m128i m0 = matches(From), m1 = matches(From + 16), m2 = matches(From + 32), m3 = matches(From + 48);
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(m0, m1), _mm_or_si128(m2, m3))) == 0)
            continue;
        const unsigned low = static_cast<unsigned>(_mm_movemask_epi8(m0)) | static_cast<unsigned>(_mm_movemask_epi8(m1))
                                                                                << 16;
        if (low != 0)
            return From + LowestSetBit(low);
        const unsigned high =
            static_cast<unsigned>(_mm_movemask_epi8(m2)) | static_cast<unsigned>(_mm_movemask_epi8(m3)) << 16;
        return From + 32 + LowestSetBit(high);
    }
    for (; To - From >= 16; From += 16) {
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(matches(From)));
        if (mask != 0)
            return From + LowestSetBit(mask);
    }
#endif
    while (From < To && *From != A && *From != B)
        ++From;
    return From;
}

std::string ChangeFileExt(const std::string& Path, const std::string& Extension)
{
    const size_t dot = Path.find_last_of('.');
    const size_t separator = Path.find_last_of("\\/:");
    if (dot == std::string::npos || (separator != std::string::npos && dot < separator))
        return Path + Extension;
    return Path.substr(0, dot) + Extension;
}
