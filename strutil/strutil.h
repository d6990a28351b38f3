// Byte-string routines shared by the table layer and the window.
//
// Strings are std::string used as byte strings: table data keeps whatever
// bytes the file holds (zero bytes included). Positions are 1-based, as the
// window's users and the help reflow think of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Position of the first occurrence of Sub in S at or after Start (1-based);
// 0 when either is empty or there is none.
int PosFrom(const std::string& Sub, const std::string& S, int Start);

// Every occurrence of Find replaced by Replace, left to right, without
// overlapping and without searching inserted text again. Finds all matches
// first, then allocates the result once.
std::string ReplaceAll(const std::string& S, const std::string& Find, const std::string& Replace);

// Deletes Count characters of S from Index (1-based) on, in place.
void DeleteAt(std::string& S, int Index, int Count);

// True when S is empty or holds only bytes of code 0 to 32.
bool IsBlank(std::string_view S);

// The bytes 0 to 32 are "blank" throughout the program: spaces, tabs, line
// breaks and other control characters alike.
inline bool IsBlankChar(char c) { return static_cast<unsigned char>(c) <= 32; }

// S without its trailing (TrimRight) or leading and trailing (Trim) blank bytes.
std::string TrimRight(const std::string& S);
std::string Trim(const std::string& S);

// Text to a signed 32-bit integer, or Default when the text is not exactly one
// number: leading spaces are skipped, then an optional sign and decimal
// digits, or a hexadecimal number introduced by "$", "x"/"X" or "0x"/"0X",
// must run to the end of the text or to its first zero byte. Trailing spaces,
// an empty text and numbers outside the 32-bit range give Default.
int32_t StrToIntDef(const std::string& S, int32_t Default);
// The same for the Length bytes at S.
int32_t StrToIntDef(const char* S, size_t Length, int32_t Default);

// The first byte from From on, before To, that is A or B; To when there is
// none. Sixteen bytes at a time where the processor allows.
const char* FindEither(const char* From, const char* To, char A, char B);

// Decimal text of a number, for captions and messages.
std::string IntToStr(int64_t Value);

// A byte as two upper-case hexadecimal digits.
std::string HexByte(uint8_t Byte);

// How many characters a UTF-8 text shows (its bytes less the continuation
// bytes), for padding columns of Russian labels.
size_t Utf8Characters(std::string_view Text);

// The pieces of S between occurrences of Separator: k separators give k + 1
// pieces, empty ones included.
std::vector<std::string> SplitAt(const std::string& S, const std::string& Separator);

// The lines of a text: split at CR LF, a lone LF or a lone CR.
// An empty text has no lines; a final line break adds no empty line.
std::vector<std::string> SplitLines(const std::string& S);

// Path with the extension of its file name (from its last dot after any
// folder separator or drive colon) replaced by Extension, or Extension
// appended when the name has none.
std::string ChangeFileExt(const std::string& Path, const std::string& Extension);
