// Table bytes in a single-byte code page as UTF-8 and back, for a terminal
// that reads UTF-8 and for the text files of save and load.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

// The platform's own converter for one code page (iconv on POSIX,
// MultiByteToWideChar and WideCharToMultiByte on Windows).
class TCodeConverter {
public:
    virtual ~TCodeConverter() = default;
    // Bytes of the code page as UTF-8; false when the code page leaves one
    // of them undefined.
    virtual bool ToUtf8(const std::string& Bytes, std::string& Utf8) = 0;
};

// Null when the platform has no converter for CodePage.
std::unique_ptr<TCodeConverter> MakeCodeConverter(int CodePage);

// The code page a table's header mark (byte 29, the language driver) names;
// 0 for no mark or one this program does not know.
int CodePageOfLanguageDriver(uint8_t Driver);

// One single-byte code page, asked of the platform's converter once for
// each of its 256 bytes, so every later conversion is a table lookup.
class TCodePage {
public:
    // Raises EError when the platform cannot convert CodePage.
    explicit TCodePage(int CodePage);
    int Number() const { return Number_; }

    std::string ToUtf8(std::string_view Bytes) const;
    // Appends Bytes' UTF-8 to Out.
    void AppendUtf8(std::string& Out, const char* Bytes, size_t Length) const;

    enum class TFromUtf8 { Done, NotUtf8, NotInCodePage };
    // UTF-8 Text into the code page's bytes, appended to Out; on failure
    // Failed is the offset in Text of the character that could not be taken.
    TFromUtf8 AppendFromUtf8(std::string& Out, std::string_view Text, size_t& Failed) const;

private:
    int Number_;
    std::string Utf8_[256];
    std::unordered_map<uint32_t, char> Bytes_;  // code point to byte
};

// Text that is valid UTF-8 throughout.
bool IsUtf8(std::string_view Text);
