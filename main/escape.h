// The escapes of the memo text file: Save writes control bytes and "#" as
// "#" and two digits, so that a value never breaks its line; Load undoes them.
#pragma once

#include <cstddef>
#include <string>

// A value as the memo text file holds it: byte 0 becomes a space, bytes 1 to
// 31 and "#" become "#" and two decimal digits; every other byte stays.
std::string EscapeMemoValue(const std::string& Value);
// The same for the Length bytes at Value, written at Out, which has room for
// MaxEscapedSize bytes per byte of the value; returns the end of what it
// wrote. Save escapes texts this way, straight into the file's buffer.
constexpr size_t MaxEscapedSize = 3;
char* EscapeMemoValue(char* Out, const char* Value, size_t Length);

// The reverse of EscapeMemoValue: "#" and two digits giving 1 to 31 or 35
// become that byte; any other "#" stays as it is.
std::string UnescapeMemoValue(const std::string& Value);
// The same for the Length bytes at Value, appended to Out: Load reads each
// value this way, straight from its line.
void AppendUnescapedMemoValue(std::string& Out, const char* Value, size_t Length);
// What AppendUnescapedMemoValue would append for the Length bytes at Value,
// measured without a copy: Load lays out a text's blocks by its length.
struct TUnescapedSize {
    size_t Length;
    bool Blank;  // every byte is blank (0 to 32), or there is none
};
TUnescapedSize MeasureUnescapedMemoValue(const char* Value, size_t Length);
