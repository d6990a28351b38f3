#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "datetext.h"
#include "winstr.h"

// The user's short date pattern. The pattern is read and applied by us, not
// by GetDateFormat, which refuses years before 1601 (a blank date field reads
// as 1 January 1001).
std::string ShortDatePattern()
{
    wchar_t pattern[80];
    if (::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SSHORTDATE, pattern, 80) <= 0)
        return "yyyy-MM-dd";
    // Display texts of table values are table bytes: the ANSI code page.
    return WideToAnsi(pattern);
}
