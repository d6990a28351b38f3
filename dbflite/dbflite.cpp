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

#include "fptlayout.h"
#include "strutil.h"

namespace {

// Table header: byte 0 version, 1..3 date of last update (YY MM DD),
// 4..7 record count (LE), 8..9 header length (LE), 10..11 record length (LE).
constexpr size_t TableHeaderSize = 32;
constexpr uint64_t RecordCountOffset = 4;
constexpr size_t LanguageDriverOffset = 29;  // the code page mark
// A header of n descriptors is 32 + 32 n + 1 bytes: the 32-byte header, the
// descriptors and the terminator. What the header length leaves after those
// 33 bytes, in whole descriptors, is the room for descriptors.
constexpr int HeaderWithoutDescriptors = 33;
constexpr size_t DescriptorSize = 32;
constexpr size_t DescriptorNameSize = 11;
constexpr char HeaderTerminator = 0x0D;
constexpr char EndOfFile = 0x1A;

// Memo header: 0..3 next free block (BE), 6..7 block size (BE). The rest of
// the standard 512-byte header is left alone. Opening reads its first 31
// bytes, the fixed fields FoxPro's header holds before its unused area: a
// memo file shorter than that still opens, its missing bytes read as zero.
constexpr size_t MemoHeaderRead = 31;
// The part of the memo header that describes the rest of the file.
constexpr size_t MemoHeaderFields = 8;
constexpr size_t TrailingBlankScan = 4096;
constexpr size_t MemoChunk = 1 << 20;
// Memo texts up to this length are read from the cache's pages.
constexpr uint64_t ShortMemoText = 64 * 1024;

// Cache geometry: table pages are read in order, record after record; memo
// texts are often scattered, so their pages are smaller. A megabyte each:
// every operation goes through its files front to back, and buffers that
// stay within the processor's cache copy faster than more of them would
// save reads.
constexpr size_t TablePageSize = 64 * 1024;
constexpr size_t TablePages = 16;
constexpr size_t MemoPageSize = 16 * 1024;
constexpr size_t MemoPages = 64;

// The newer FoxPro layout keeps a memo reference as a 4-byte binary number.
constexpr uint8_t BinaryMemoRefSize = 4;
const char BlankMemoRef[] = "          ";
// Fields up to this width are copied through a buffer on the stack; only a
// long character field is wider.
constexpr size_t ShortField = 256;

std::string Quoted(const std::string& Text) { return "\"" + Text + "\""; }

// A text memo reference's block number, -1 when it is none. Nearly every
// reference is spaces and then digits to the field's end, read here at
// once; anything else is read as any number is.
int64_t BlockNumber(const char* Raw, size_t Size)
{
    size_t i = 0;
    while (i < Size && Raw[i] == ' ')
        ++i;
    if (i < Size && Size - i <= 9) {
        int32_t block = 0;
        size_t j = i;
        for (; j < Size && Raw[j] >= '0' && Raw[j] <= '9'; ++j)
            block = block * 10 + (Raw[j] - '0');
        if (j == Size)
            return block;
    }
    return StrToIntDef(Raw, Size, -1);
}

// The binary numbers and dates of the newer FoxPro layout: I a 4-byte
// integer, B an 8-byte double, Y currency (an 8-byte integer of
// ten-thousandths), T two 4-byte integers (Julian day, milliseconds of
// the day). All little-endian.
constexpr size_t BinaryValueSize = 8;
constexpr int64_t CurrencyScale = 10000;
constexpr uint32_t MillisecondsPerDay = 86400000;
// Julian day numbers of 1 January 1970, 1 January 1 and 31 December 9999.
constexpr int64_t JulianDayOf1970 = 2440588;
constexpr int64_t FirstJulianDay = 1721426;
constexpr int64_t LastJulianDay = 5373484;

bool IsBinaryValueField(const TFieldDesc& Field)
{
    switch (Field.FieldType) {
    case 'I': return Field.Size == 4;
    case 'B':
    case 'Y':
    case 'T': return Field.Size == 8;
    default: return false;
    }
}

// A field whose blank is zero bytes rather than spaces.
bool IsBinaryField(const TFieldDesc& Field)
{
    if (IsBinaryValueField(Field))
        return true;
    switch (Field.FieldType) {
    case '0':  // _NullFlags
    case 'Q':  // varbinary
    case '@':  // timestamp (dBASE 7)
    case '+':  // autoincrement (dBASE 7)
    case 'O':  // double (dBASE 7)
        return true;
    case 'M':
    case 'G':
    case 'P':
    case 'W':
    case 'B':  // a binary memo reference in the newer layout
        return Field.Size == BinaryMemoRefSize;
    default: return false;
    }
}

// The fields whose value is a text, written back as it is.
bool IsTextField(const TFieldDesc& Field)
{
    return std::strchr("CNFDLM", Field.FieldType) != nullptr && Field.FieldType != 0;
}

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

}  // namespace

TDBFLite::TDBFLite(TFileSystem& FileSystem) : FileSystem_(&FileSystem) {}

TDBFLite::~TDBFLite()
{
    // Reached also while an error unwinds: what was written before it is
    // written out, unless the memo file refused its part, in which case the
    // table keeps its references to the texts that are there.
    try {
        CloseTable();
    } catch (...) {
    }
}

std::string TDBFLite::MemoPathFor(const std::string& TableFileName)
{
    // Only a dot in the file name itself counts, not one in a folder name.
    return ChangeFileExt(TableFileName, ".FPT");
}

std::string TDBFLite::FindMemoFile(TFileSystem& Files, const std::string& TableFileName)
{
    const std::string path = MemoPathFor(TableFileName);
    if (Files.FileExists(path))
        return path;
    const std::string variant = Files.FindCaseVariant(path);
    return !variant.empty() && Files.FileExists(variant) ? variant : std::string();
}

void TDBFLite::OpenTable(const std::string& TableFileName, bool ReadOnly)
{
    CloseTable();
    FileName_ = TableFileName;
    HasMemoFile_ = false;
    MemoFileName_.clear();
    MemoSizeAtOpen_ = 0;
    OwnRuns_.clear();
    Fields_.clear();
    FieldCount_ = 0;
    LayoutTrusted_ = true;
    DatePattern_ = ShortDatePattern();

    // Whatever fails below, nothing stays open: a memo file left open would
    // stay locked against every later run on the table.
    try {
        OpenTableFile(ReadOnly);
        OpenMemoFile(ReadOnly);
        ReadTableHeader();
        ReadFieldDescriptors();
    } catch (...) {
        CloseTable();
        throw;
    }
}

void TDBFLite::OpenTableFile(bool ReadOnly)
{
    try {
        DbfStream_ =
            FileSystem_->Open(FileName_, ReadOnly ? TFileAccess::Read : TFileAccess::ReadWrite, TFileShare::DenyNone);
        // A run changes a field's few bytes per record: stores into a shared
        // mapping cost a copy each where a positional write costs a system
        // call. The cache maps the file only where that changes exactly
        // those bytes.
        NewTableCache(!ReadOnly && !PositionalWritesForced());
    } catch (const EStreamError& e) {
        // The kind of refusal stays with the message: a front end opens a
        // table it may not write read-only instead.
        throw EStreamError("Ошибка открытия файла " + Quoted(FileName_), e.Failure(), e.OsError());
    } catch (const EError&) {
        throw EError("Ошибка открытия файла " + Quoted(FileName_));
    }
}

void TDBFLite::NewTableCache(bool MapWrites)
{
    Table_ = std::make_unique<TPageCache>(*DbfStream_, TablePageSize, TablePages, TableHeaderSize);
    // No reference reaches the table file before the memo texts written so
    // far are on the disk: a crash then leaves references to texts that are
    // there, or the old references to the old texts.
    Table_->BeforeWriteBack = [this] {
        if (Memo_)
            Memo_->Sync();
    };
    Table_->SyncBeforeHeader = true;
    Table_->MapWrites = MapWrites;
    Table_->Name = FileName_;
    Table_->ShrunkMessage = "Файл " + Quoted(FileName_) + " укорочен другой программой во время работы";
}

void TDBFLite::OpenMemoFile(bool ReadOnly)
{
    const std::string memoPath = FindMemoFile(*FileSystem_, FileName_);
    if (memoPath.empty())
        return;
    // Read-write, the memo file is ours alone until CloseTable: two runs
    // appending blocks to one memo file would overwrite each other.
    MemoStream_ = FileSystem_->Open(memoPath, ReadOnly ? TFileAccess::Read : TFileAccess::ReadWrite,
                                    ReadOnly ? TFileShare::DenyNone : TFileShare::Exclusive);
    HasMemoFile_ = true;
    MemoFileName_ = memoPath;
    unsigned char header[MemoHeaderRead];
    try {
        Memo_ = std::make_unique<TPageCache>(*MemoStream_, MemoPageSize, MemoPages, MemoHeaderFields);
        Memo_->Read(0, header, sizeof header);
    } catch (const EError&) {
        throw EError("Ошибка чтения заголовка MEMO файла " + Quoted(memoPath) + ".");
    }
    MemoNextBlock_ = be32(header);
    MemoBlockSize_ = be16(header + 6);
    MemoSizeAtOpen_ = Memo_->Size();
}

void TDBFLite::ReadTableHeader()
{
    unsigned char header[TableHeaderSize];
    try {
        Table_->Read(0, header, sizeof header);
    } catch (const EError&) {
        throw EError("Ошибка чтения заголовка файла " + Quoted(FileName_));
    }
    Version_ = header[0];
    UpdateYear_ = header[1];
    UpdateMonth_ = header[2];
    UpdateDay_ = header[3];
    LanguageDriver_ = header[LanguageDriverOffset];
    RecordCount_ = static_cast<int32_t>(le32(header + RecordCountOffset));
    HeaderSize_ = le16(header + 8);
    RecordSize_ = le16(header + 10);
}

void TDBFLite::ReadFieldDescriptors()
{
    // The room the header leaves for descriptors; a header length of 0 or 1
    // leaves none. The list itself ends at the terminator byte, before the
    // 263-byte area the newer FoxPro layout keeps after it.
    const int room = HeaderSize_ <= 1 ? 0
                                      : (static_cast<int>(HeaderSize_) - HeaderWithoutDescriptors) /
                                            static_cast<int>(DescriptorSize);
    if (room <= 0)
        return;
    std::vector<unsigned char> descriptors(static_cast<size_t>(room) * DescriptorSize);
    try {
        Table_->Read(TableHeaderSize, descriptors.data(), descriptors.size());
    } catch (const EError&) {
        throw EError("Ошибка чтения информации о полях файла " + Quoted(FileName_));
    }
    // Displacement (bytes 12..15) as FoxPro stores it; dBASE and others
    // leave it zero or fill it with a memory address.
    std::vector<uint32_t> stored;
    std::vector<uint16_t> longSizes;
    Fields_.reserve(static_cast<size_t>(room));
    for (int i = 0; i < room; ++i) {
        const unsigned char* d = descriptors.data() + static_cast<size_t>(i) * DescriptorSize;
        if (d[0] == static_cast<unsigned char>(HeaderTerminator))
            break;
        TFieldDesc field;
        const void* zero = std::memchr(d, 0, DescriptorNameSize);
        const size_t nameLength =
            zero ? static_cast<size_t>(static_cast<const unsigned char*>(zero) - d) : DescriptorNameSize;
        field.Name.assign(reinterpret_cast<const char*>(d), nameLength);
        field.FieldType = static_cast<char>(d[11]);
        field.Size = d[16];
        field.Decimals = d[17];
        stored.push_back(le32(d + 12));
        longSizes.push_back(static_cast<uint16_t>(field.FieldType == 'C' ? d[16] | d[17] << 8 : d[16]));
        Fields_.push_back(std::move(field));
    }
    LayOutFields(stored, longSizes);
    FieldCount_ = static_cast<uint16_t>(Fields_.size());
}

void TDBFLite::LayOutFields(const std::vector<uint32_t>& Stored, const std::vector<uint16_t>& LongSizes)
{
    // FoxPro's own tables: byte 16 is the width. Clipper and Harbour write a
    // character field wider than 255 bytes with its high byte in byte 17,
    // which FoxPro keeps 0 for a character field. The record length decides
    // which reading holds.
    uint64_t shortSum = 1;
    uint64_t longSum = 1;
    for (size_t i = 0; i < Fields_.size(); ++i) {
        shortSum += Fields_[i].Size;
        longSum += LongSizes[i];
    }
    const bool useLong = shortSum != RecordSize_ && longSum == RecordSize_;
    LayoutTrusted_ = shortSum == RecordSize_ || useLong;
    if (!LayoutTrusted_) {
        // A character field whose long width reaches exactly to the next
        // field's stored position is a long one all the same.
        for (size_t i = 0; i < Fields_.size(); ++i) {
            const uint64_t next = i + 1 < Fields_.size() ? Stored[i + 1] : RecordSize_;
            if (LongSizes[i] != Fields_[i].Size && Stored[i] + static_cast<uint64_t>(LongSizes[i]) == next) {
                Fields_[i].Size = LongSizes[i];
                Fields_[i].Decimals = 0;
            }
        }
    }
    // The stored positions count only when they start at byte 1 and rise
    // within the record; otherwise the widths place the fields.
    bool storedPlausible = !LayoutTrusted_ && !Fields_.empty() && Stored[0] == 1;
    for (size_t i = 1; storedPlausible && i < Fields_.size(); ++i)
        storedPlausible = Stored[i] > Stored[i - 1] && Stored[i] < RecordSize_;
    uint32_t offset = 1;
    for (size_t i = 0; i < Fields_.size(); ++i) {
        TFieldDesc& field = Fields_[i];
        if (useLong) {
            field.Size = LongSizes[i];
            if (field.FieldType == 'C')
                field.Decimals = 0;
        }
        field.Offset = storedPlausible ? Stored[i] : offset;
        offset += field.Size;
    }
}

std::string TDBFLite::LayoutMismatchMessage() const
{
    return "Длины полей таблицы " + Quoted(FileName_) + " не совпадают с длиной записи (" + IntToStr(RecordSize_) +
           "): таблица повреждена, запись в неё невозможна";
}

void TDBFLite::RequireTrustedLayout() const
{
    if (!LayoutTrusted_)
        throw EError(LayoutMismatchMessage());
}

void TDBFLite::Flush()
{
    if (Memo_)
        Memo_->Sync();
    if (Table_)
        Table_->Flush();
}

void TDBFLite::CloseTable()
{
    std::exception_ptr failure;
    try {
        // A run that ends has its work on the disk.
        Flush();
        if (Table_)
            Table_->Sync();
    } catch (...) {
        failure = std::current_exception();
    }
    Table_.reset();
    Memo_.reset();
    DbfStream_.reset();
    MemoStream_.reset();
    if (failure)
        std::rethrow_exception(failure);
}

uint64_t TDBFLite::MemoFileSize() const { return Memo_ ? Memo_->Size() : 0; }

std::vector<int> TDBFLite::FieldsWhere(bool (TFieldDesc::*Test)() const) const
{
    std::vector<int> fields;
    for (size_t i = 0; i < Fields_.size(); ++i)
        if ((Fields_[i].*Test)())
            fields.push_back(static_cast<int>(i));
    return fields;
}

int TDBFLite::FieldIndex(const std::string& Name) const
{
    for (size_t i = 0; i < Fields_.size(); ++i)
        if (Fields_[i].Name == Name)
            return static_cast<int>(i);
    return -1;
}

const TFieldDesc& TDBFLite::CheckedField(int FieldNo) const
{
    if (FieldNo < 0)
        throw EError("Номер поля должен быть больше или равен 0");
    if (FieldNo >= static_cast<int>(FieldCount_))
        throw EError("Номер поля должен быть меньше или равен " + IntToStr(static_cast<int>(FieldCount_) - 1));
    return Fields_[static_cast<size_t>(FieldNo)];
}

uint64_t TDBFLite::FieldOffset(int32_t RecNo, const TFieldDesc& Field) const
{
    if (RecNo < 0)
        throw EError("Номер записи должен быть больше или равен 0");
    return HeaderSize_ + static_cast<uint64_t>(RecordSize_) * static_cast<uint64_t>(RecNo) + Field.Offset;
}

bool TDBFLite::IsBinaryMemoRef(const TFieldDesc& Field) const
{
    return Field.RefersToMemoFile() && Field.Size == BinaryMemoRefSize;
}

void TDBFLite::ReadField(int32_t RecNo, const TFieldDesc& Field, char* Buffer)
{
    if (Field.Size > 0)
        Table_->Read(FieldOffset(RecNo, Field), Buffer, Field.Size);
}

std::string TDBFLite::ReadRaw(int32_t RecNo, int FieldNo)
{
    const TFieldDesc& field = CheckedField(FieldNo);
    std::string value(field.Size, '\0');
    if (field.Size > 0)
        ReadField(RecNo, field, &value[0]);
    return value;
}

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

namespace {

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

}  // namespace

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

TDBFLite::TMemoRun TDBFLite::LocateMemo(int32_t RecNo, int FieldNo)
{
    const TFieldDesc& field = CheckedField(FieldNo);
    TMemoRun run;
    run.Binary = IsBinaryMemoRef(field);
    if (field.Size <= ShortField) {
        char raw[ShortField];
        ReadField(RecNo, field, raw);
        if (run.Binary) {
            const uint32_t block = le32(reinterpret_cast<const unsigned char*>(raw));
            run.Block = block == 0 ? -1 : static_cast<int64_t>(block);
        } else {
            run.Block = BlockNumber(raw, field.Size);
        }
    } else {
        // Only a long character field is this wide; no block number is.
        run.Block = StrToIntDef(ReadRaw(RecNo, FieldNo), -1);
    }
    if (run.Block < 0 || !HasMemoFile_)
        return run;

    // Past the end of the file as it was opened lie only the runs this table
    // has appended since, each whole and written for one field of one
    // record. Any other reference past that end, and a run that the old end
    // cut short, read no further: they would take the texts of other records
    // for their own.
    run.Offset = static_cast<uint64_t>(run.Block) * MemoBlockSize_;
    // A block header the end of the file cuts short holds no length to
    // trust: its missing bytes would read as zeros.
    const bool appended = run.Offset >= MemoSizeAtOpen_;
    if (run.Offset + MemoBlockHeaderSize > MemoFileSize() || (appended && !OwnsRun(RecNo, FieldNo))) {
        run.PastEnd = true;
        return run;
    }
    unsigned char header[MemoBlockHeaderSize];
    Memo_->Read(run.Offset, header, sizeof header);
    run.Type = be32(header);
    // No run starts inside the memo header: its first bytes there are the
    // next free block, which changes with every text written.
    if (!IsRunStart(run.Offset, run.Type)) {
        run.NotAStart = true;
        return run;
    }
    run.Length = be32(header + 4);
    const uint64_t textStart = run.Offset + MemoBlockHeaderSize;
    const uint64_t end = appended ? MemoFileSize() : MemoSizeAtOpen_;
    const uint64_t available = textStart < end ? end - textStart : 0;
    run.Present = std::min(run.Length, available);
    return run;
}

uint64_t TDBFLite::MemoText(int32_t RecNo, int FieldNo, uint64_t& Start)
{
    return MemoText(LocateMemo(RecNo, FieldNo), Start);
}

uint64_t TDBFLite::MemoText(const TMemoRun& run, uint64_t& Start)
{
    Start = run.Offset + MemoBlockHeaderSize;
    if (run.Block < 0 || run.PastEnd || run.NotAStart || run.Present == 0)
        return 0;
    // The text ends at its last byte above code 32. That is nearly always its
    // last byte, so the search goes backwards from the end, a little at first.
    uint64_t length = run.Present;
    size_t one = 1;
    const char* last = Memo_->Peek(Start + length - 1, one);
    if (one == 1 && !IsBlankChar(*last))
        return length;
    // Trailing blanks are read backwards a page's worth at a time, on the
    // stack: a text of megabytes of blanks needs no buffer of its size.
    char tail[TrailingBlankScan];
    size_t chunk = 64;
    while (length > 0) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(length, chunk));
        Memo_->Read(Start + length - count, tail, count);
        size_t kept = count;
        while (kept > 0 && IsBlankChar(tail[kept - 1]))
            --kept;
        if (kept > 0)
            return length - count + kept;
        length -= count;
        chunk = sizeof tail;
    }
    return 0;
}

std::string TDBFLite::ReadMemo(int32_t RecNo, int FieldNo)
{
    std::string text;
    ReadMemo(RecNo, FieldNo, text);
    return text;
}

void TDBFLite::ReadMemo(int32_t RecNo, int FieldNo, std::string& Text)
{
    uint64_t start = 0;
    const uint64_t length = MemoText(RecNo, FieldNo, start);
    ReadMemoBytes(start, length, Text);
}

bool TDBFLite::ReadMemoRun(int32_t RecNo, int FieldNo, std::string& Bytes, uint32_t& BlockType)
{
    const TMemoRun run = LocateMemo(RecNo, FieldNo);
    BlockType = run.Type;
    if (run.Block < 0 || run.PastEnd || run.NotAStart) {
        Bytes.clear();
        return false;
    }
    ReadMemoBytes(run.Offset + MemoBlockHeaderSize, run.Present, Bytes);
    // A value cut short by the memory at hand would be another value.
    if (Bytes.size() < run.Present)
        throw std::bad_alloc();
    return true;
}

bool TDBFLite::RewriteMemoRef(int32_t RecNo, int FieldNo)
{
    RequireTrustedLayout();
    const TMemoRun run = LocateMemo(RecNo, FieldNo);
    if (run.Block < 0 || !HasMemoFile_ || run.PastEnd || run.NotAStart) {
        WriteBlankMemoRef(RecNo, FieldNo);
        return false;
    }
    TMemoRunInfo info;
    info.Block = run.Block;
    info.InFile = true;
    info.Type = run.Type;
    info.Offset = run.Offset;
    info.Length = run.Length;
    info.Present = run.Present;
    // Everything that could stop the copy is asked before its first byte.
    const uint64_t start = NextRunBlock();
    PlanMemoRun(FieldNo, start, run.Present);
    CopyMemoRun(info, start);
    PointMemoRef(RecNo, FieldNo, start);
    return true;
}

void TDBFLite::ReadMemoBytes(uint64_t start, uint64_t length, std::string& Text)
{
    Text.clear();

    // A short text is taken from the cache's pages as it lies there.
    if (length <= ShortMemoText) {
        Text.reserve(static_cast<size_t>(length));
        for (uint64_t done = 0; done < length;) {
            size_t count = static_cast<size_t>(length - done);
            const char* bytes = Memo_->Peek(start + done, count);
            if (count == 0)
                break;
            Text.append(bytes, count);
            done += count;
        }
        return;
    }
    // A long one is read straight from the file, and one too long for the
    // memory at hand ends where the memory did.
    try {
        Text.reserve(static_cast<size_t>(std::min<uint64_t>(length, Text.max_size())));
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    uint64_t done = 0;
    while (done < length) {
        const size_t chunk = static_cast<size_t>(std::min<uint64_t>(length - done, MemoChunk));
        try {
            const size_t at = Text.size();
            Text.resize(at + chunk);
            Memo_->Read(start + done, &Text[at], chunk);
        } catch (const std::bad_alloc&) {
            break;
        } catch (const std::length_error&) {
            break;
        }
        done += chunk;
    }
    if (done < length) {
        size_t end = Text.size();
        while (end > 0 && IsBlankChar(Text[end - 1]))
            --end;
        Text.resize(end);
    }
}

TMemoInspection TDBFLite::InspectMemo(int32_t RecNo, int FieldNo)
{
    const TFieldDesc& field = CheckedField(FieldNo);
    TMemoInspection result;
    const std::string raw = field.Size <= ShortField ? std::string() : ReadRaw(RecNo, FieldNo);
    char shortRaw[ShortField];
    const char* ref = raw.empty() ? shortRaw : raw.data();
    if (raw.empty())
        ReadField(RecNo, field, shortRaw);
    const bool blankRef = std::all_of(ref, ref + field.Size, IsBlankChar);
    if (IsBinaryMemoRef(field) ? le32(reinterpret_cast<const unsigned char*>(ref)) == 0 : blankRef) {
        result.State = TMemoRefState::Empty;
        return result;
    }
    const TMemoRun run = LocateMemo(RecNo, FieldNo);
    if (run.Block < 0) {
        result.State = TMemoRefState::NotANumber;
        return result;
    }
    if (!HasMemoFile_ || run.PastEnd) {
        result.State = TMemoRefState::PastEnd;
        return result;
    }
    if (run.NotAStart) {
        result.State = TMemoRefState::NotAStart;
        return result;
    }
    result.BlockType = run.Type;
    // Blank or not is decided by the first byte above code 32: a text need
    // not be read to its end for that.
    bool blank = true;
    for (uint64_t done = 0; blank && done < run.Present;) {
        size_t count = static_cast<size_t>(std::min<uint64_t>(run.Present - done, MemoChunk));
        const char* bytes = Memo_->Peek(run.Offset + MemoBlockHeaderSize + done, count);
        if (count == 0)
            break;
        blank = std::all_of(bytes, bytes + count, IsBlankChar);
        done += count;
    }
    result.ReadsBlank = blank && IsTextMemoType(run.Type);
    if (run.Present < run.Length)
        result.State = TMemoRefState::RunsPastEnd;
    else
        result.State = blank ? TMemoRefState::Blank : TMemoRefState::Text;
    return result;
}

TMemoRunInfo TDBFLite::MemoRunOf(int32_t RecNo, int FieldNo)
{
    const TMemoRun run = LocateMemo(RecNo, FieldNo);
    TMemoRunInfo info;
    info.Block = run.Block;
    if (run.Block < 0 || !HasMemoFile_ || run.PastEnd)
        return info;
    info.InFile = true;
    info.Type = run.Type;
    info.Offset = run.Offset;
    info.Length = run.Length;
    info.Present = run.Present;
    return info;
}

void TDBFLite::Reload()
{
    Flush();
    if (!Table_)
        return;
    NewTableCache(Table_->MapWrites);
    unsigned char header[TableHeaderSize];
    Table_->Read(0, header, sizeof header);
    // The layout is the one the fields were laid out by; only what the owner
    // changes while it works is taken again.
    if (le16(header + 8) != HeaderSize_ || le16(header + 10) != RecordSize_)
        throw EError("Структура таблицы " + Quoted(FileName_) + " изменилась во время работы");
    RecordCount_ = static_cast<int32_t>(le32(header + RecordCountOffset));
    OwnRuns_.clear();
    if (!HasMemoFile_)
        return;
    Memo_ = std::make_unique<TPageCache>(*MemoStream_, MemoPageSize, MemoPages, MemoHeaderFields);
    unsigned char memoHeader[MemoHeaderRead];
    Memo_->Read(0, memoHeader, sizeof memoHeader);
    MemoNextBlock_ = be32(memoHeader);
    MemoSizeAtOpen_ = Memo_->Size();
}

int64_t TDBFLite::RecordsPastCount()
{
    const uint64_t records = RecordsTheFileHolds();
    const uint64_t claimed = static_cast<uint32_t>(RecordCount_);
    return records > claimed ? static_cast<int64_t>(records - claimed) : 0;
}

int32_t TDBFLite::LimitRecordCountToFile()
{
    RecordCount_ = RecordsInFile();
    return RecordCount_;
}

uint64_t TDBFLite::RecordsTheFileHolds()
{
    const uint64_t size = Table_->Size();
    if (RecordSize_ == 0 || size <= HeaderSize_)
        return 0;
    const uint64_t body = size - HeaderSize_;
    uint64_t records = body / RecordSize_;
    const uint64_t rest = body % RecordSize_;
    if (rest > 1) {
        ++records;
    } else if (rest == 1) {
        // A lone byte after the last whole record is the end-of-file mark,
        // unless it is something else: then a record was cut short there.
        char last = 0;
        Table_->Read(size - 1, &last, 1);
        if (last != EndOfFile)
            ++records;
    }
    return records;
}

int32_t TDBFLite::RecordsInFile()
{
    // The header's count is an unsigned number; one of 2^31 or more cannot be
    // true of a file this layer can address, and the file decides.
    const uint32_t claimed = static_cast<uint32_t>(RecordCount_);
    const uint64_t present = std::min<uint64_t>(RecordsTheFileHolds(), claimed);
    return static_cast<int32_t>(std::min<uint64_t>(present, std::numeric_limits<int32_t>::max()));
}

void TDBFLite::AppendBlankRecord()
{
    RequireTrustedLayout();
    if (RecordCount_ < 0 || RecordCount_ == std::numeric_limits<int32_t>::max())
        throw EError("Неверное число записей в заголовке файла " + Quoted(FileName_));
    TakeOthersAppends();
    // The record goes where the old end-of-file mark stood, with a new mark
    // after it; the count in the header follows once the record is there.
    std::string record(RecordSize_ + 1u, ' ');
    record.back() = EndOfFile;
    // A binary field is blank as zero bytes: four spaces in a binary memo
    // reference would point at block 0x20202020, in an integer field they
    // would be 538976288.
    for (const TFieldDesc& field : Fields_)
        if (IsBinaryField(field) && static_cast<uint64_t>(field.Offset) + field.Size <= RecordSize_)
            std::fill_n(record.begin() + field.Offset, field.Size, '\0');
    Table_->Write(HeaderSize_ + static_cast<uint64_t>(RecordSize_) * static_cast<uint64_t>(RecordCount_), record.data(),
                  record.size());
    ++RecordCount_;
    unsigned char count[4];
    putLe32(count, static_cast<uint32_t>(RecordCount_));
    Table_->Write(RecordCountOffset, count, sizeof count);
}

void TDBFLite::TakeOthersAppends()
{
    // The application that owns the table may have appended records since
    // it was opened. They are read from the file itself, not the cache, and
    // counted, so ours go after them instead of over them; a count the file
    // does not hold records for (a damaged header) is not followed.
    if (RecordSize_ == 0)
        return;
    unsigned char count[4];
    if (DbfStream_->ReadAt(RecordCountOffset, count, sizeof count) < sizeof count)
        return;
    const uint64_t size = DbfStream_->Size();
    const uint64_t whole = size > HeaderSize_ ? (size - HeaderSize_) / RecordSize_ : 0;
    const uint64_t theirs = std::min<uint64_t>(le32(count), whole);
    if (theirs > static_cast<uint64_t>(RecordCount_) &&
        theirs < static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
        RecordCount_ = static_cast<int32_t>(theirs);
}

void TDBFLite::WriteRaw(int32_t RecNo, int FieldNo, const std::string& Value)
{
    WriteField(RecNo, FieldNo, CheckedField(FieldNo), Value.data(), Value.size());
}

void TDBFLite::WriteField(int32_t RecNo, int FieldNo, const TFieldDesc& Field, const char* Data, size_t Length)
{
    if (RecNo < 0)
        throw EError("Номер записи должен быть больше или равен 0");
    RequireTrustedLayout();
    if (static_cast<uint64_t>(Field.Offset) + Field.Size > RecordSize_)
        RequireInsideRecord(Field);
    while (RecNo >= RecordCount_)
        AppendBlankRecord();
    // A value as wide as the field (a memo reference, a number) goes as it
    // is; a shorter one is padded with spaces in a buffer on the stack, as
    // this runs for every field of every record.
    if (Field.Size > 0 && Length >= Field.Size) {
        Table_->Write(FieldOffset(RecNo, Field), Data, Field.Size);
    } else if (Field.Size > ShortField) {
        std::string padded(Data, Length);
        padded.resize(Field.Size, ' ');
        Table_->Write(FieldOffset(RecNo, Field), padded.data(), Field.Size);
    } else if (Field.Size > 0) {
        char buffer[ShortField];
        std::memcpy(buffer, Data, Length);
        std::memset(buffer + Length, ' ', Field.Size - Length);
        Table_->Write(FieldOffset(RecNo, Field), buffer, Field.Size);
    }
    // Whatever the field held, it is not the reference to a run of ours now
    // (WriteMemo marks it again once its reference is in place).
    if (static_cast<size_t>(FieldNo) < OwnRuns_.size()) {
        std::vector<bool>& own = OwnRuns_[static_cast<size_t>(FieldNo)];
        if (static_cast<size_t>(RecNo) < own.size())
            own[static_cast<size_t>(RecNo)] = false;
    }
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

namespace {

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

void TDBFLite::RequireInsideRecord(const TFieldDesc& Field) const
{
    // A field the header places past the end of the record would be written
    // over the next record.
    if (static_cast<uint64_t>(Field.Offset) + Field.Size > RecordSize_)
        throw EError("Поле " + Quoted(Field.Name) + " выходит за границы записи файла " + Quoted(FileName_));
}

void TDBFLite::RequireWritableMemo() const
{
    if (!HasMemoFile_)
        throw EError("Нет MEMO файла для записи MEMO поля таблицы " + Quoted(FileName_));
    if (MemoBlockSize_ == 0)
        throw EError("Неверный размер блока (0) в заголовке MEMO файла " + Quoted(MemoFileName_));
}

void TDBFLite::WriteMemo(int32_t RecNo, int FieldNo, const std::string& Value, uint32_t BlockType)
{
    WriteMemo(RecNo, FieldNo, Value.data(), Value.size(), BlockType);
}

uint64_t TDBFLite::NextRunBlock() const
{
    // A damaged header may name a next free block inside the header or
    // among blocks in use; appending there would overwrite them. New runs go
    // past both the header and the end of the file.
    // One far past the end is damaged too: honoured, it would leave a gap of
    // up to terabytes, which a file system without sparse files fills with
    // zeros, and which a damaged length then reads as one huge text. Within
    // MemoGapLimit of the end it stands, so references into a cut-off tail
    // keep reading as no text.
    const uint64_t blockSize = MemoBlockSize_;
    if (blockSize == 0)
        return 0;
    const uint64_t afterFile = (MemoFileSize() + blockSize - 1) / blockSize;
    const uint64_t afterHeader = (MemoHeaderArea + blockSize - 1) / blockSize;
    const uint64_t fromHeader = MemoNextBlock_ <= afterFile + MemoGapLimit / blockSize ? MemoNextBlock_ : afterFile;
    return std::max<uint64_t>({fromHeader, afterFile, afterHeader});
}

uint64_t TDBFLite::PlanMemoRun(int FieldNo, uint64_t Block, uint64_t Length) const
{
    const TFieldDesc& field = CheckedField(FieldNo);
    if (!field.RefersToMemoFile())
        throw EError("Неверный тип значения");
    RequireWritableMemo();
    RequireInsideRecord(field);
    const uint64_t blockSize = MemoBlockSize_;
    if (Length > std::numeric_limits<uint32_t>::max() - MemoBlockHeaderSize)
        throw EError("MEMO текст слишком длинный для MEMO файла " + Quoted(MemoFileName_));
    const uint64_t runLength = (MemoBlockHeaderSize + Length + blockSize - 1) / blockSize * blockSize;
    const uint64_t next = Block + runLength / blockSize;
    const bool binary = IsBinaryMemoRef(field);
    if (next > std::numeric_limits<uint32_t>::max() ||
        (!binary && Block > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())))
        throw EError("MEMO файл " + Quoted(MemoFileName_) + " переполнен");
    RequireRefFits(field, Block);
    return next;
}

void TDBFLite::RequireRefFits(const TFieldDesc& Field, uint64_t Block) const
{
    // A reference cut to the field's width would point at another block.
    static const uint64_t PowersOf10[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000};
    const uint64_t widest = Field.Size < 10 ? PowersOf10[Field.Size] : UINT64_MAX;
    const bool fits = IsBinaryMemoRef(Field)
                          ? Block <= std::numeric_limits<uint32_t>::max()
                          : Block < widest && Block <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
    if (!fits)
        throw EError("Поле " + Quoted(Field.Name) + " слишком узкое для номера блока " +
                     IntToStr(static_cast<int64_t>(Block)));
}

void TDBFLite::WriteMemo(int32_t RecNo, int FieldNo, const char* Value, size_t Length, uint32_t BlockType)
{
    const TFieldDesc& field = CheckedField(FieldNo);
    if (field.FieldType != 'M')
        throw EError("Неверный тип значения");
    RequireTrustedLayout();
    // Without a memo file nothing is written, not even a blank reference;
    // a blank text needs no run, though, and so no block size.
    if (!HasMemoFile_)
        RequireWritableMemo();
    if (IsTextMemoType(BlockType) && std::all_of(Value, Value + Length, IsBlankChar)) {
        WriteBlankMemoRef(RecNo, FieldNo);
        return;
    }
    if (RecNo < 0)
        throw EError("Номер записи должен быть больше или равен 0");

    const uint64_t length = Length;
    const uint64_t start = NextRunBlock();
    const uint64_t next = PlanMemoRun(FieldNo, start, length);
    const uint64_t blockSize = MemoBlockSize_;
    const uint64_t runLength = (next - start) * blockSize;

    // The run first, then the header, then the reference: a run that is not
    // whole on disk is never pointed at.
    unsigned char blockHeader[MemoBlockHeaderSize];
    putBe32(blockHeader, BlockType);
    putBe32(blockHeader + 4, static_cast<uint32_t>(length));
    const uint64_t offset = start * blockSize;
    // The padding to the block's end is less than a block, at most 64 KiB.
    static const char Zeros[65536] = {};
    const uint64_t padding = runLength - MemoBlockHeaderSize - length;
    Memo_->Write(offset, blockHeader, sizeof blockHeader);
    Memo_->Write(offset + MemoBlockHeaderSize, Value, Length);
    if (padding > 0)
        Memo_->Write(offset + MemoBlockHeaderSize + length, Zeros, static_cast<size_t>(padding));

    MemoNextBlock_ = static_cast<uint32_t>(next);
    unsigned char nextBlock[4];
    putBe32(nextBlock, MemoNextBlock_);
    Memo_->Write(0, nextBlock, sizeof nextBlock);

    // The reference last, marked as leading to a run of this table's own.
    PointMemoRef(RecNo, FieldNo, start);
}

bool TDBFLite::OwnsRun(int32_t RecNo, int FieldNo) const
{
    if (static_cast<size_t>(FieldNo) >= OwnRuns_.size())
        return false;
    const std::vector<bool>& own = OwnRuns_[static_cast<size_t>(FieldNo)];
    return static_cast<size_t>(RecNo) < own.size() && own[static_cast<size_t>(RecNo)];
}

void TDBFLite::WriteBlankMemoRef(int32_t RecNo, int FieldNo)
{
    const TFieldDesc& field = CheckedField(FieldNo);
    if (IsBinaryMemoRef(field))
        WriteField(RecNo, FieldNo, field, "\0\0\0\0", BinaryMemoRefSize);
    else
        WriteField(RecNo, FieldNo, field, BlankMemoRef, sizeof BlankMemoRef - 1);
}
