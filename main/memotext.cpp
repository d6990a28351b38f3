#include "main/memotext.h"

#include "strutil/strutil.h"

std::string EscapeMemoValue(const std::string& Value)
{
    std::string out;
    out.reserve(Value.size() + 16);
    for (char c : Value) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (b == 0) {
            out += ' ';
        } else if (b < 32 || b == '#') {
            out += '#';
            out += static_cast<char>('0' + b / 10);
            out += static_cast<char>('0' + b % 10);
        } else {
            out += c;
        }
    }
    return out;
}

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string UnescapeMemoValue(const std::string& Value)
{
    if (Value.find('#') == std::string::npos)
        return Value;
    std::string out;
    out.reserve(Value.size());
    for (size_t i = 0; i < Value.size(); ++i) {
        if (Value[i] == '#' && i + 2 < Value.size() && IsDigit(Value[i + 1]) && IsDigit(Value[i + 2])) {
            const int code = (Value[i + 1] - '0') * 10 + (Value[i + 2] - '0');
            if ((code >= 1 && code <= 31) || code == '#') {
                out += static_cast<char>(code);
                i += 2;
                continue;
            }
        }
        out += Value[i];
    }
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
