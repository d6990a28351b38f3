#include "dbflite/datetext.h"

#include <cstdio>

bool IsValidDate(int Year, int Month, int Day)
{
    static const int DaysIn[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (Year < 1 || Year > 9999 || Month < 1 || Month > 12 || Day < 1)
        return false;
    const bool leap = (Year % 4 == 0 && Year % 100 != 0) || Year % 400 == 0;
    const int length = DaysIn[Month - 1] + (Month == 2 && leap ? 1 : 0);
    return Day <= length;
}

namespace {

std::string Padded(int Value, int Width)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*d", Width, Value);
    return text;
}

}  // namespace

std::string FormatDate(const TDate& Date, const std::string& Pattern)
{
    std::string out;
    size_t i = 0;
    while (i < Pattern.size()) {
        const char c = Pattern[i];
        if (c == '\'') {
            const size_t close = Pattern.find('\'', i + 1);
            const size_t end = close == std::string::npos ? Pattern.size() : close;
            out.append(Pattern, i + 1, end - i - 1);
            i = end == Pattern.size() ? end : end + 1;
            continue;
        }
        size_t run = 1;
        while (i + run < Pattern.size() && Pattern[i + run] == c)
            ++run;
        switch (c) {
        case 'd':
            out += Padded(Date.Day, run >= 2 ? 2 : 1);
            break;
        case 'M':
            out += Padded(Date.Month, run >= 2 ? 2 : 1);
            break;
        case 'y':
            out += run <= 2 ? Padded(Date.Year % 100, static_cast<int>(run)) : Padded(Date.Year, 4);
            break;
        case 'g':  // the era: not shown
            break;
        default:
            out.append(run, c);
            break;
        }
        i += run;
    }
    return out;
}
