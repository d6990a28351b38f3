#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "codepage.h"
#include "winstr.h"

namespace {

class TWindowsConverter final : public TCodeConverter {
public:
    explicit TWindowsConverter(UINT CodePage) : CodePage_(CodePage) {}

    bool ToUtf8(const std::string& Bytes, std::string& Utf8) override
    {
        if (Bytes.empty()) {
            Utf8.clear();
            return true;
        }
        std::wstring wide(Bytes.size() * 2, L'\0');
        const int got = ::MultiByteToWideChar(CodePage_, MB_ERR_INVALID_CHARS, Bytes.data(),
                                              static_cast<int>(Bytes.size()), &wide[0], static_cast<int>(wide.size()));
        if (got <= 0)
            return false;
        wide.resize(static_cast<size_t>(got));
        // A byte the code page leaves undefined comes back as a private-use
        // character on some systems: not a conversion.
        for (wchar_t c : wide)
            if (c >= 0xE000 && c <= 0xF8FF)
                return false;
        Utf8 = WideToUtf8(wide);
        return true;
    }

private:
    UINT CodePage_;
};

}  // namespace

std::unique_ptr<TCodeConverter> MakeCodeConverter(int CodePage)
{
    if (CodePage <= 0 || !::IsValidCodePage(static_cast<UINT>(CodePage)))
        return nullptr;
    return std::make_unique<TWindowsConverter>(static_cast<UINT>(CodePage));
}
