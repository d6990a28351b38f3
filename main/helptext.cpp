#include "helptext.h"

#include "strutil.h"

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
