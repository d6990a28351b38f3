#include "datetext.h"

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
        case 'd': out += Padded(Date.Day, run >= 2 ? 2 : 1); break;
        case 'M': out += Padded(Date.Month, run >= 2 ? 2 : 1); break;
        case 'y': out += run <= 2 ? Padded(Date.Year % 100, static_cast<int>(run)) : Padded(Date.Year, 4); break;
        case 'g':  // the era: not shown
            break;
        default: out.append(run, c); break;
        }
        i += run;
    }
    return out;
}

bool ParseDate(const std::string& Text, const std::string& Pattern, TDate& Date)
{
    int year = -1, month = -1, day = -1;
    size_t t = 0;
    size_t i = 0;
    auto number = [&](size_t MinDigits, size_t MaxDigits, int& Out) {
        size_t n = 0;
        int value = 0;
        while (n < MaxDigits && t + n < Text.size() && Text[t + n] >= '0' && Text[t + n] <= '9') {
            value = value * 10 + (Text[t + n] - '0');
            ++n;
        }
        if (n < MinDigits)
            return false;
        t += n;
        Out = value;
        return true;
    };
    while (i < Pattern.size()) {
        const char c = Pattern[i];
        if (c == '\'') {
            const size_t close = Pattern.find('\'', i + 1);
            const size_t end = close == std::string::npos ? Pattern.size() : close;
            const std::string literal = Pattern.substr(i + 1, end - i - 1);
            if (Text.compare(t, literal.size(), literal) != 0)
                return false;
            t += literal.size();
            i = end == Pattern.size() ? end : end + 1;
            continue;
        }
        size_t run = 1;
        while (i + run < Pattern.size() && Pattern[i + run] == c)
            ++run;
        bool ok = true;
        switch (c) {
        case 'd': ok = number(run >= 2 ? 2 : 1, 2, day); break;
        case 'M': ok = number(run >= 2 ? 2 : 1, 2, month); break;
        case 'y':
            // Two-digit years cannot be told apart by century: refused.
            if (run <= 2)
                return false;
            ok = number(4, 4, year);
            break;
        case 'g': break;
        default:
            for (size_t k = 0; k < run && ok; ++k, ++t)
                ok = t < Text.size() && Text[t] == c;
            break;
        }
        if (!ok)
            return false;
        i += run;
    }
    if (t != Text.size() || !IsValidDate(year, month, day))
        return false;
    Date = TDate{year, month, day};
    return true;
}
