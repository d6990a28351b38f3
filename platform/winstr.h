// Conversions at the boundary of the W API: the program keeps UTF-8 inside.
// Windows builds only.
#pragma once

#include <string>

std::wstring Utf8ToWide(const std::string& Text);
std::string WideToUtf8(const std::wstring& Text);

// The system's ANSI code page, in which table bytes are shown as text.
std::wstring AnsiToWide(const std::string& Bytes);
std::string WideToAnsi(const std::wstring& Text);
