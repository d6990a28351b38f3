#include "codepage.h"

#include "error.h"
#include "strutil.h"

namespace {

// The length of the UTF-8 sequence at Text[At] and its code point; 0 when
// it is not a valid sequence (cut short, overlong, a surrogate).
size_t DecodeUtf8(std::string_view Text, size_t At, uint32_t& Code)
{
    const unsigned char c = static_cast<unsigned char>(Text[At]);
    size_t length = 0;
    if (c < 0x80) {
        Code = c;
        return 1;
    }
    if ((c >> 5) == 6) {
        length = 2;
        Code = c & 0x1Fu;
    } else if ((c >> 4) == 14) {
        length = 3;
        Code = c & 0x0Fu;
    } else if ((c >> 3) == 30) {
        length = 4;
        Code = c & 0x07u;
    } else {
        return 0;
    }
    if (At + length > Text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        const unsigned char next = static_cast<unsigned char>(Text[At + k]);
        if ((next >> 6) != 2)
            return 0;
        Code = (Code << 6) | (next & 0x3Fu);
    }
    static const uint32_t Least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (Code < Least[length] || Code > 0x10FFFF || (Code >= 0xD800 && Code <= 0xDFFF))
        return 0;
    return length;
}

}  // namespace

bool IsUtf8(std::string_view Text)
{
    uint32_t code = 0;
    for (size_t i = 0; i < Text.size();) {
        const size_t length = DecodeUtf8(Text, i, code);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

int CodePageOfLanguageDriver(uint8_t Driver)
{
    // The single-byte code pages among the language drivers FoxPro, Visual
    // FoxPro and dBASE write; the double-byte ones (932, 936, 949, 950) are
    // left out: their texts cannot be converted a byte at a time.
    static const struct {
        uint8_t Driver;
        int CodePage;
    } Drivers[] = {
        {0x01, 437},   {0x02, 850},   {0x03, 1252}, {0x04, 10000}, {0x08, 865},  {0x09, 437},  {0x0A, 850},
        {0x0B, 437},   {0x0D, 437},   {0x0E, 850},  {0x0F, 437},   {0x10, 850},  {0x11, 437},  {0x12, 850},
        {0x14, 850},   {0x15, 437},   {0x16, 850},  {0x17, 865},   {0x18, 437},  {0x19, 437},  {0x1A, 850},
        {0x1B, 437},   {0x1C, 863},   {0x1D, 850},  {0x1F, 852},   {0x22, 852},  {0x23, 852},  {0x24, 860},
        {0x25, 850},   {0x26, 866},   {0x37, 850},  {0x40, 852},   {0x57, 1252}, {0x58, 1252}, {0x59, 1252},
        {0x64, 852},   {0x65, 866},   {0x66, 865},  {0x67, 861},   {0x6A, 737},  {0x6B, 857},  {0x6C, 863},
        {0x7C, 874},   {0x7D, 1255},  {0x7E, 1256}, {0x86, 737},   {0x87, 852},  {0x88, 857},  {0x96, 10007},
        {0x97, 10029}, {0x98, 10006}, {0xC8, 1250}, {0xC9, 1251},  {0xCA, 1254}, {0xCB, 1253}, {0xCC, 1257},
    };
    for (const auto& entry : Drivers)
        if (entry.Driver == Driver)
            return entry.CodePage;
    return 0;
}

TCodePage::TCodePage(int CodePage) : Number_(CodePage)
{
    const std::unique_ptr<TCodeConverter> converter = MakeCodeConverter(CodePage);
    if (!converter)
        throw EError("No converter for code page " + IntToStr(CodePage));
    bool anyHigh = false;
    for (int b = 0; b < 256; ++b) {
        std::string& utf8 = Utf8_[b];
        // A byte the code page leaves undefined keeps its value as a code
        // point (what Windows itself does), so no byte is ever lost.
        uint32_t code = static_cast<uint32_t>(b);
        if (converter->ToUtf8(std::string(1, static_cast<char>(b)), utf8) && !utf8.empty() &&
            DecodeUtf8(utf8, 0, code) == utf8.size()) {
            anyHigh = anyHigh || (b >= 0x80 && code != static_cast<uint32_t>(b));
        } else {
            code = static_cast<uint32_t>(b);
            utf8.clear();
            if (code < 0x80) {
                utf8 += static_cast<char>(code);
            } else {
                utf8 += static_cast<char>(0xC0 | (code >> 6));
                utf8 += static_cast<char>(0x80 | (code & 0x3F));
            }
        }
        Bytes_.emplace(code, static_cast<char>(b));
    }
    // A converter that hands every byte back as Latin-1 has not understood
    // the code page (a double-byte one, or none at all).
    if (!anyHigh && CodePage != 28591)
        throw EError("No converter for code page " + IntToStr(CodePage));
}

void TCodePage::AppendUtf8(std::string& Out, const char* Bytes, size_t Length) const
{
    for (size_t i = 0; i < Length; ++i) {
        const unsigned char c = static_cast<unsigned char>(Bytes[i]);
        if (c < 0x80)
            Out += static_cast<char>(c);
        else
            Out += Utf8_[c];
    }
}

std::string TCodePage::ToUtf8(std::string_view Bytes) const
{
    std::string out;
    out.reserve(Bytes.size());
    AppendUtf8(out, Bytes.data(), Bytes.size());
    return out;
}

TCodePage::TFromUtf8 TCodePage::AppendFromUtf8(std::string& Out, std::string_view Text, size_t& Failed) const
{
    uint32_t code = 0;
    for (size_t i = 0; i < Text.size();) {
        const unsigned char c = static_cast<unsigned char>(Text[i]);
        // The control characters and ASCII are the same in every code page
        // this program converts.
        if (c < 0x80) {
            Out += static_cast<char>(c);
            ++i;
            continue;
        }
        const size_t length = DecodeUtf8(Text, i, code);
        if (length == 0) {
            Failed = i;
            return TFromUtf8::NotUtf8;
        }
        const auto found = Bytes_.find(code);
        if (found == Bytes_.end()) {
            Failed = i;
            return TFromUtf8::NotInCodePage;
        }
        Out += found->second;
        i += length;
    }
    return TFromUtf8::Done;
}
