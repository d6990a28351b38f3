// Text transformations of the operations, kept apart so they can be tested
// on their own.
#pragma once

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

// Path with the extension of its file name (from its last dot after any
// folder separator or drive colon) replaced by Extension, or Extension
// appended when the name has none.
std::string ChangeFileExt(const std::string& Path, const std::string& Extension);

// The help file's text reflowed for the memo box: line breaks normalised to
// CR LF, the text cut at a zero byte and its trailing blanks removed, single
// line breaks inside paragraphs joined with a space.
std::string ReflowHelpText(const std::string& FileBytes);

// The message as the default error display shows it: with a full stop added
// when its last byte sorts after ".".
std::string ErrorDisplayText(const std::string& Message);
