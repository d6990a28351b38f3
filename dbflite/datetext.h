// Calendar dates as the table stores them, and their display text.
#pragma once

#include <string>

// A calendar date. The zero date, 30 December 1899 (day 0 of the Windows
// date-time count), stands for a date that could not be read.
struct TDate {
    int Year = 1899;
    int Month = 12;
    int Day = 30;

    bool IsZero() const { return Year == 1899 && Month == 12 && Day == 30; }
    bool operator==(const TDate& Other) const { return Year == Other.Year && Month == Other.Month && Day == Other.Day; }
};

// True for a real date of the Gregorian calendar, years 1 to 9999.
bool IsValidDate(int Year, int Month, int Day);

// The date written by a short date pattern in the Windows locale notation:
// d dd M MM yy yyyy, text in single quotes taken literally, any other
// character copied as it is.
std::string FormatDate(const TDate& Date, const std::string& Pattern);

// The short date pattern dates are shown in: the user's own on Windows;
// yyyy-MM-dd elsewhere, since the C locale's short form drops the century.
std::string ShortDatePattern();

// The reverse of FormatDate for the numeric parts of a pattern: true and the
// date when Text is a valid date written in Pattern.
bool ParseDate(const std::string& Text, const std::string& Pattern, TDate& Date);
