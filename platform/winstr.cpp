#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "winstr.h"

namespace {

std::wstring ToWide(UINT CodePage, const std::string& Text)
{
    if (Text.empty())
        return {};
    const int n = ::MultiByteToWideChar(CodePage, 0, Text.data(), static_cast<int>(Text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CodePage, 0, Text.data(), static_cast<int>(Text.size()), &out[0], n);
    return out;
}

std::string FromWide(UINT CodePage, const std::wstring& Text)
{
    if (Text.empty())
        return {};
    const int n =
        ::WideCharToMultiByte(CodePage, 0, Text.data(), static_cast<int>(Text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CodePage, 0, Text.data(), static_cast<int>(Text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

}  // namespace

std::wstring Utf8ToWide(const std::string& Text) { return ToWide(CP_UTF8, Text); }
std::string WideToUtf8(const std::wstring& Text) { return FromWide(CP_UTF8, Text); }
std::wstring AnsiToWide(const std::string& Bytes) { return ToWide(CP_ACP, Bytes); }
std::string WideToAnsi(const std::wstring& Text) { return FromWide(CP_ACP, Text); }
