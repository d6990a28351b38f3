// Field values as text: what ReadValue shows for each field type, and how
// a shown value is stored back (numbers, dates, the binary numbers and
// dates of the newer FoxPro layout).
#include "dbflite.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <stdexcept>

#include "dbflayout.h"
#include "fptlayout.h"
#include "strutil.h"

using namespace DbfLayout;

namespace {

// The binary numbers and dates of the newer FoxPro layout: I a 4-byte
// integer, B an 8-byte double, Y currency (an 8-byte integer of
// ten-thousandths), T two 4-byte integers (Julian day, milliseconds of
// the day). All little-endian.
constexpr int64_t CurrencyScale = 10000;
constexpr uint32_t MillisecondsPerDay = 86400000;
// Julian day numbers of 1 January 1970, 1 January 1 and 31 December 9999.
constexpr int64_t JulianDayOf1970 = 2440588;
constexpr int64_t FirstJulianDay = 1721426;
constexpr int64_t LastJulianDay = 5373484;

// Days since 1 January 1970 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t Year, unsigned Month, unsigned Day)
{
    Year -= Month <= 2;
    const int64_t era = (Year >= 0 ? Year : Year - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(Year - era * 400);
    const unsigned doy = (153 * (Month > 2 ? Month - 3 : Month + 9) + 2) / 5 + Day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t Days, int& Year, int& Month, int& Day)
{
    Days += 719468;
    const int64_t era = (Days >= 0 ? Days : Days - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(Days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    Day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    Month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    Year = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (Month <= 2));
}

// The Count digits of Text from From as a number, -1 when any is not a digit.
int Digits(const char* Text, size_t From, size_t Count)
{
    int value = 0;
    for (size_t i = From; i < From + Count; ++i) {
        if (Text[i] < '0' || Text[i] > '9')
            return -1;
        value = value * 10 + (Text[i] - '0');
    }
    return value;
}

// An optional minus sign, digits and, when Decimals > 0, an optional point
// with at most Decimals digits: the number times 10^Decimals, within
// [-2^63, 2^63 - 1].
bool ParseScaled(const char* Text, size_t Length, int Decimals, int64_t& Value)
{
    size_t i = 0;
    const bool negative = Length > 0 && Text[0] == '-';
    if (Length > 0 && (Text[0] == '-' || Text[0] == '+'))
        ++i;
    uint64_t magnitude = 0;
    const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    size_t digits = 0;
    int fraction = -1;
    for (; i < Length; ++i) {
        if (Text[i] == '.' && fraction < 0 && Decimals > 0) {
            fraction = 0;
            continue;
        }
        if (Text[i] < '0' || Text[i] > '9' || fraction == Decimals)
            return false;
        if (magnitude > (limit - static_cast<uint64_t>(Text[i] - '0')) / 10)
            return false;
        magnitude = magnitude * 10 + static_cast<uint64_t>(Text[i] - '0');
        ++digits;
        if (fraction >= 0)
            ++fraction;
    }
    if (digits == 0)
        return false;
    for (int f = fraction < 0 ? 0 : fraction; f < Decimals; ++f) {
        if (magnitude > limit / 10)
            return false;
        magnitude *= 10;
    }
    Value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

// A double that is not a number, or a datetime that no date shows, is
// written as its 64 bits: "0x" and 16 hexadecimal digits, which Load reads
// back to the same bits.
constexpr size_t BitsTextSize = 18;
std::string BitsText(uint64_t Bits)
{
    char text[BitsTextSize + 1];
    std::snprintf(text, sizeof text, "0x%016llX", static_cast<unsigned long long>(Bits));
    return text;
}

bool ParseBitsText(const char* Text, size_t Length, uint64_t& Bits)
{
    if (Length != BitsTextSize || Text[0] != '0' || (Text[1] != 'x' && Text[1] != 'X'))
        return false;
    const std::from_chars_result done = std::from_chars(Text + 2, Text + Length, Bits, 16);
    return done.ec == std::errc() && done.ptr == Text + Length;
}

std::string BadValueMessage(const TFieldDesc& Field, const char* Text, size_t Length)
{
    // A long value is cut in the message; what it begins with identifies it.
    const size_t shown = std::min<size_t>(Length, 40);
    return "Значение " + Quoted(std::string(Text, shown) + (shown < Length ? "..." : "")) + " нельзя записать в поле " +
           Quoted(Field.Name) + " (тип " + std::string(1, Field.FieldType) + ")";
}

// A datetime as Save shows it, YYYY-MM-DD hh:mm:ss and .mmm when the
// milliseconds are not 0, as the Julian day and the milliseconds of it.
bool EncodeDateTime(const char* Text, size_t Length, unsigned char* Bytes)
{
    if ((Length != 19 && Length != 23) || Text[4] != '-' || Text[7] != '-' || Text[10] != ' ' || Text[13] != ':' ||
        Text[16] != ':' || (Length == 23 && Text[19] != '.'))
        return false;
    const int year = Digits(Text, 0, 4), month = Digits(Text, 5, 2), day = Digits(Text, 8, 2);
    const int hour = Digits(Text, 11, 2), minute = Digits(Text, 14, 2), second = Digits(Text, 17, 2);
    const int ms = Length == 23 ? Digits(Text, 20, 3) : 0;
    if (year < 1 || !IsValidDate(year, month, day) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 59 || ms < 0)
        return false;
    const int64_t julian =
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) + JulianDayOf1970;
    putLe32(Bytes, static_cast<uint32_t>(julian));
    putLe32(Bytes + 4, static_cast<uint32_t>(((hour * 60 + minute) * 60 + second) * 1000 + ms));
    return true;
}

// A number with an optional sign, digits and an optional decimal part.
bool IsDecimalNumber(const std::string& Text)
{
    size_t i = 0;
    if (i < Text.size() && (Text[i] == '+' || Text[i] == '-'))
        ++i;
    size_t digits = 0;
    bool point = false;
    for (; i < Text.size(); ++i) {
        if (Text[i] >= '0' && Text[i] <= '9')
            ++digits;
        else if (Text[i] == '.' && !point)
            point = true;
        else
            return false;
    }
    return digits > 0;
}

}  // namespace

std::string TDBFLite::ReadValue(int32_t RecNo, int FieldNo)
{
    const TFieldDesc& field = CheckedField(FieldNo);
    switch (field.FieldType) {
    case 'C':
    case 'F':
    case 'N': return TrimRight(ReadRaw(RecNo, FieldNo));
    case 'D': return FormatDate(ReadDate(RecNo, FieldNo), DatePattern_);
    case 'L': return ReadLogical(RecNo, FieldNo) ? "T" : "F";
    case 'M': return ReadMemo(RecNo, FieldNo);
    default: {
        std::string value;
        if (!ReadBinaryValue(RecNo, field, value))
            value = ReadRaw(RecNo, FieldNo);
        return value;
    }
    }
}

bool TDBFLite::ReadBinaryValue(int32_t RecNo, const TFieldDesc& Field, std::string& Value)
{
    if (!IsBinaryValueField(Field))
        return false;
    unsigned char b[BinaryValueSize] = {};
    // (The field's width is that of its type; the bound says so to the compiler.)
    Table_->Read(FieldOffset(RecNo, Field), b, std::min<size_t>(Field.Size, sizeof b));
    char text[64];
    switch (Field.FieldType) {
    case 'I': Value = IntToStr(static_cast<int32_t>(le32(b))); return true;
    case 'B': {
        // The shortest text that reads back as the same double; -0 and the
        // infinities included.
        double number = 0;
        const uint64_t bits = le64(b);
        std::memcpy(&number, &bits, sizeof number);
        if (std::isnan(number)) {
            Value = BitsText(bits);
            return true;
        }
        const std::to_chars_result done = std::to_chars(text, text + sizeof text, number);
        Value.assign(text, done.ptr);
        return true;
    }
    case 'Y': {
        const int64_t units = static_cast<int64_t>(le64(b));
        const uint64_t magnitude = units < 0 ? 0 - static_cast<uint64_t>(units) : static_cast<uint64_t>(units);
        std::snprintf(text, sizeof text, "%s%llu.%04llu", units < 0 ? "-" : "",
                      static_cast<unsigned long long>(magnitude / CurrencyScale),
                      static_cast<unsigned long long>(magnitude % CurrencyScale));
        Value = text;
        return true;
    }
    default: {  // 'T'
        const uint32_t day = le32(b);
        const uint32_t ms = le32(b + 4);
        if (day == 0 && ms == 0) {
            Value.clear();  // an empty datetime
        } else if (day < FirstJulianDay || day > LastJulianDay || ms >= MillisecondsPerDay) {
            Value = BitsText(le64(b));  // no date and time shows these bytes
        } else {
            int year = 0, month = 0, dayOfMonth = 0;
            CivilFromDays(static_cast<int64_t>(day) - JulianDayOf1970, year, month, dayOfMonth);
            int length = std::snprintf(text, sizeof text, "%04d-%02d-%02d %02u:%02u:%02u", year, month, dayOfMonth,
                                       ms / 3600000, ms / 60000 % 60, ms / 1000 % 60);
            if (ms % 1000 != 0)
                length += std::snprintf(text + length, sizeof text - static_cast<size_t>(length), ".%03u", ms % 1000);
            Value.assign(text, static_cast<size_t>(length));
        }
        return true;
    }
    }
}

bool TDBFLite::EncodeBinaryValue(const TFieldDesc& Field, const char* Text, size_t Length, unsigned char* Bytes) const
{
    // Save writes these values without blanks; blanks around them are
    // forgiven.
    while (Length > 0 && IsBlankChar(*Text)) {
        ++Text;
        --Length;
    }
    while (Length > 0 && IsBlankChar(Text[Length - 1]))
        --Length;
    std::memset(Bytes, 0, BinaryValueSize);
    if (Length == 0)
        return true;  // zero: the blank of a binary field
    uint64_t raw = 0;
    if ((Field.FieldType == 'B' || Field.FieldType == 'T') && ParseBitsText(Text, Length, raw)) {
        putLe64(Bytes, raw);
        return true;
    }
    int64_t number = 0;
    switch (Field.FieldType) {
    case 'I':
        if (!ParseScaled(Text, Length, 0, number) || number < std::numeric_limits<int32_t>::min() ||
            number > std::numeric_limits<int32_t>::max())
            return false;
        putLe32(Bytes, static_cast<uint32_t>(number));
        return true;
    case 'Y':
        if (!ParseScaled(Text, Length, 4, number))
            return false;
        putLe64(Bytes, static_cast<uint64_t>(number));
        return true;
    case 'B': {
        double value = 0;
        const std::from_chars_result done = std::from_chars(Text, Text + Length, value);
        if (done.ec != std::errc() || done.ptr != Text + Length || std::isnan(value))
            return false;
        uint64_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        putLe64(Bytes, bits);
        return true;
    }
    case 'T': return EncodeDateTime(Text, Length, Bytes);
    default: return false;
    }
}

void TDBFLite::CheckValue(int FieldNo, const char* Text, size_t Length) const
{
    const TFieldDesc& field = CheckedField(FieldNo);
    RequireTrustedLayout();
    RequireInsideRecord(field);
    if (IsTextField(field))
        return;
    if (!IsBinaryValueField(field))
        throw EError("Поле " + Quoted(field.Name) + " (тип " + std::string(1, field.FieldType) +
                     ") нельзя загрузить из текста: текст не передаёт его байты без потерь");
    unsigned char bytes[BinaryValueSize];
    if (!EncodeBinaryValue(field, Text, Length, bytes))
        throw EError(BadValueMessage(field, Text, Length));
}

bool TDBFLite::ReadLogical(int32_t RecNo, int FieldNo)
{
    const std::string value = Trim(ReadRaw(RecNo, FieldNo));
    return !value.empty() && std::strchr("1TYty", value[0]) != nullptr;
}

TDate TDBFLite::ReadDate(int32_t RecNo, int FieldNo)
{
    const std::string value = Trim(ReadRaw(RecNo, FieldNo));
    auto part = [&value](size_t From, size_t Count) {
        return From < value.size() ? value.substr(From, Count) : std::string();
    };
    // A year that does not convert defaults to 1001, so a blank date reads
    // as 1 January 1001 rather than as year 1.
    const int year = StrToIntDef(part(0, 4), 1001);
    const int month = StrToIntDef(part(4, 2), 1);
    const int day = StrToIntDef(part(6, 2), 1);
    if (!IsValidDate(year, month, day))
        return TDate{};
    return TDate{year, month, day};
}

void TDBFLite::WriteValue(int32_t RecNo, int FieldNo, const std::string& Value)
{
    const TFieldDesc& field = CheckedField(FieldNo);
    unsigned char bytes[BinaryValueSize];
    if (field.FieldType == 'M') {
        WriteMemo(RecNo, FieldNo, Value);
    } else if (IsBinaryValueField(field)) {
        if (!EncodeBinaryValue(field, Value.data(), Value.size(), bytes))
            throw EError(BadValueMessage(field, Value.data(), Value.size()));
        WriteField(RecNo, FieldNo, field, reinterpret_cast<const char*>(bytes), field.Size);
    } else {
        WriteField(RecNo, FieldNo, field, Value.data(), Value.size());
    }
}

void TDBFLite::WriteValueText(int32_t RecNo, int FieldNo, std::string_view Text)
{
    const TFieldDesc& field = CheckedField(FieldNo);
    switch (field.FieldType) {
    case 'M': WriteMemo(RecNo, FieldNo, Text.data(), Text.size()); return;
    case 'C': WriteField(RecNo, FieldNo, field, Text.data(), std::min<size_t>(Text.size(), field.Size)); return;
    case 'I':
    case 'B':
    case 'Y':
    case 'T': WriteValue(RecNo, FieldNo, std::string(Text)); return;
    case 'N': WriteNumberText(RecNo, FieldNo, field, std::string(Text)); return;
    case 'D': WriteDateText(RecNo, FieldNo, field, std::string(Text)); return;
    default: WriteField(RecNo, FieldNo, field, Text.data(), Text.size()); return;
    }
}

void TDBFLite::WriteNumberText(int32_t RecNo, int FieldNo, const TFieldDesc& Field, const std::string& Value)
{
    // Whole numbers right-aligned; numbers with decimals, which ReadValue
    // shows as the table holds them, go back as they were rather than as 0;
    // an empty value leaves the field blank.
    const int32_t number = StrToIntDef(Value, 0);
    if (number != 0 || StrToIntDef(Value, 1) == 0) {
        WriteInteger(RecNo, FieldNo, number);
        return;
    }
    const std::string trimmed = Trim(Value);
    if (trimmed.empty())
        WriteField(RecNo, FieldNo, Field, "", 0);
    else if (IsDecimalNumber(trimmed) && trimmed.size() <= Field.Size)
        WriteRaw(RecNo, FieldNo, std::string(Field.Size - trimmed.size(), ' ') + trimmed);
    else
        WriteInteger(RecNo, FieldNo, 0);
}

void TDBFLite::WriteDateText(int32_t RecNo, int FieldNo, const TFieldDesc& Field, const std::string& Value)
{
    // Dates are shown in the locale's pattern; they go back as the stored
    // year, month and day. The dates that stand for a blank (1 January 1001)
    // or unreadable (30 December 1899) field go back blank.
    TDate date;
    if (!ParseDate(Trim(Value), DatePattern_, date)) {
        WriteField(RecNo, FieldNo, Field, Value.data(), Value.size());
    } else if (date == TDate{1001, 1, 1} || date.IsZero()) {
        WriteField(RecNo, FieldNo, Field, "", 0);
    } else {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%04d%02d%02d", date.Year, date.Month, date.Day);
        WriteField(RecNo, FieldNo, Field, digits, 8);
    }
}

void TDBFLite::WriteInteger(int32_t RecNo, int FieldNo, int32_t Value)
{
    const TFieldDesc& field = CheckedField(FieldNo);
    // The number right-aligned in the field's width; one wider than the
    // field keeps its first digits. A 32-bit number has at most 11
    // characters with its sign.
    char digits[16];
    size_t count = 0;
    uint32_t magnitude = Value < 0 ? 0u - static_cast<uint32_t>(Value) : static_cast<uint32_t>(Value);
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (Value < 0)
        digits[count++] = '-';
    // Only a long character field is wider than the buffer: its spaces
    // then come from WriteField's padding, the number after them.
    char text[ShortField];
    const size_t width = std::min<size_t>(field.Size, sizeof text);
    if (field.Size > sizeof text) {
        std::string wide(field.Size - std::min<size_t>(count, field.Size), ' ');
        for (size_t i = count; i > 0 && wide.size() < field.Size; --i)
            wide += digits[i - 1];
        WriteField(RecNo, FieldNo, field, wide.data(), wide.size());
        return;
    }
    size_t length = 0;
    for (; length + count < width; ++length)
        text[length] = ' ';
    for (size_t i = count; i > 0 && length < width; --i)
        text[length++] = digits[i - 1];
    WriteField(RecNo, FieldNo, field, text, length);
}
