#include "main/memotext.h"

#include <cstdint>
#include <cstring>

#include "strutil/strutil.h"

namespace {

bool NeedsEscape(unsigned char b) { return b < 32 || b == '#'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Whether any of the 8 bytes at P is below 32 or is "#": the usual
// has-a-byte-less-than test on a 64-bit word, and has-a-zero-byte on the
// word xor'ed with "########". Either may only err towards true, and the
// byte loop after it decides.
bool HasEscapeIn8(const char* P)
{
    constexpr uint64_t Ones = 0x0101010101010101ull;
    constexpr uint64_t Highs = 0x8080808080808080ull;
    uint64_t word;
    std::memcpy(&word, P, 8);
    const uint64_t below32 = (word - Ones * 32) & ~word & Highs;
    const uint64_t hashes = word ^ (Ones * '#');
    const uint64_t hash = (hashes - Ones) & ~hashes & Highs;
    return (below32 | hash) != 0;
}

}  // namespace

void AppendEscapedMemoValue(std::string& Out, const std::string& Value)
{
    // Texts are long runs of ordinary bytes between the few that change:
    // the runs are found eight bytes at a time and copied whole.
    const char* p = Value.data();
    const char* const end = p + Value.size();
    while (p < end) {
        const char* run = p;
        while (end - p >= 8 && !HasEscapeIn8(p))
            p += 8;
        while (p < end && !NeedsEscape(static_cast<unsigned char>(*p)))
            ++p;
        Out.append(run, static_cast<size_t>(p - run));
        if (p == end)
            break;
        const unsigned char b = static_cast<unsigned char>(*p++);
        if (b == 0) {
            Out += ' ';
        } else {
            const char escape[3] = {'#', static_cast<char>('0' + b / 10), static_cast<char>('0' + b % 10)};
            Out.append(escape, 3);
        }
    }
}

std::string EscapeMemoValue(const std::string& Value)
{
    std::string out;
    out.reserve(Value.size() + 16);
    AppendEscapedMemoValue(out, Value);
    return out;
}

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
        int code = -1;
        if (end - hash >= 3 && IsDigit(hash[1]) && IsDigit(hash[2]))
            code = (hash[1] - '0') * 10 + (hash[2] - '0');
        if ((code >= 1 && code <= 31) || code == '#') {
            Out += static_cast<char>(code);
            p = hash + 3;
        } else {
            Out += '#';
            p = hash + 1;
        }
    }
}

std::string UnescapeMemoValue(const std::string& Value)
{
    std::string out;
    out.reserve(Value.size());
    AppendUnescapedMemoValue(out, Value.data(), Value.size());
    return out;
}

std::string ChangeFileExt(const std::string& Path, const std::string& Extension)
{
    const size_t dot = Path.find_last_of('.');
    const size_t separator = Path.find_last_of("\\/:");
    if (dot == std::string::npos || (separator != std::string::npos && dot < separator))
        return Path + Extension;
    return Path.substr(0, dot) + Extension;
}

std::string ReflowHelpText(const std::string& FileBytes)
{
    // The file as the memo box would load it: up to a zero byte, every line
    // break CR LF.
    const std::string upToZero = FileBytes.substr(0, FileBytes.find('\0'));
    std::string text;
    text.reserve(upToZero.size() + upToZero.size() / 16);
    for (size_t i = 0; i < upToZero.size(); ++i) {
        const char c = upToZero[i];
        if (c == '\r' || c == '\n') {
            text += "\r\n";
            if (c == '\r' && i + 1 < upToZero.size() && upToZero[i + 1] == '\n')
                ++i;
        } else {
            text += c;
        }
    }
    text = TrimRight(text);

    // Marks for what must survive the joining of lines: a line that ends in
    // a space keeps its break ($), two and one empty lines stay (& and \).
    // Marks already in the file turn into line breaks the same way.
    text = ReplaceAll(text, " \r\n", "$");
    text = ReplaceAll(text, "\r\n\r\n\r\n", "&");
    text = ReplaceAll(text, "\r\n\r\n", "\\");
    text = ReplaceAll(text, "\r\n", " ");
    text = ReplaceAll(text, "\\", "\r\n\r\n");
    text = ReplaceAll(text, "&", "\r\n\r\n\r\n");
    text = ReplaceAll(text, "$", "\r\n");
    text = ReplaceAll(text, "  ", " ");
    return text;
}

std::string ErrorDisplayText(const std::string& Message)
{
    if (!Message.empty() && static_cast<unsigned char>(Message.back()) > '.')
        return Message + ".";
    return Message;
}
