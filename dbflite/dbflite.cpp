#include "dbflite/dbflite.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <stdexcept>

#include "strutil/strutil.h"

namespace {

// Table header: byte 0 version, 1..3 date of last update (YY MM DD),
// 4..7 record count (LE), 8..9 header length (LE), 10..11 record length (LE).
constexpr size_t TableHeaderSize = 32;
constexpr uint64_t RecordCountOffset = 4;
constexpr size_t DescriptorSize = 32;
constexpr size_t DescriptorNameSize = 11;
constexpr char HeaderTerminator = 0x0D;
constexpr char EndOfFile = 0x1A;

// Memo header: 0..3 next free block (BE), 6..7 block size (BE). The rest of
// the standard 512-byte header is left alone.
constexpr size_t MemoHeaderRead = 31;
// The part of the memo header that describes the rest of the file.
constexpr size_t MemoHeaderFields = 8;
constexpr uint64_t MemoHeaderArea = 512;
// How far past the end of the memo file its header's next free block may lie
// and still be where new texts go.
constexpr uint64_t MemoGapLimit = 16u << 20;
// Every run starts with 4 bytes of block type (1 = text) and 4 of length.
constexpr size_t MemoBlockHeaderSize = 8;
constexpr uint32_t MemoTypeText = 1;
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

uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t be16(const unsigned char* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t be32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}
void putLe32(unsigned char* p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}
void putBe32(unsigned char* p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

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
    const size_t nameStart = TableFileName.find_last_of("/\\:");
    const size_t dot = TableFileName.find_last_of('.');
    if (dot == std::string::npos || (nameStart != std::string::npos && dot < nameStart))
        return TableFileName + ".FPT";
    return TableFileName.substr(0, dot) + ".FPT";
}

void TDBFLite::OpenTable(const std::string& TableFileName, bool ReadOnly)
{
    CloseTable();
    FileName = TableFileName;
    HasMemoFile = false;
    MemoFileName.clear();
    MemoSizeAtOpen_ = 0;
    OwnRuns_.clear();
    Fields.clear();
    FieldCount = 0;
    DatePattern_ = ShortDatePattern();

    // Whatever fails below, nothing stays open: a memo file left open would
    // stay locked against every later run on the table.
    try {
        const TFileAccess access = ReadOnly ? TFileAccess::Read : TFileAccess::ReadWrite;
        try {
            DbfStream = FileSystem_->Open(FileName, access, TFileShare::DenyNone);
            Table_ = std::make_unique<TPageCache>(*DbfStream, TablePageSize, TablePages, TableHeaderSize);
        } catch (const EError&) {
            throw EError("Ошибка открытия файла " + Quoted(FileName));
        }
        // No reference reaches the table file before the memo texts written
        // so far are on the disk: a crash then leaves references to texts
        // that are there, or the old references to the old texts.
        Table_->BeforeWriteBack = [this] {
            if (Memo_)
                Memo_->Sync();
        };
        Table_->SyncBeforeHeader = true;

        std::string memoPath = MemoPathFor(FileName);
        if (!FileSystem_->FileExists(memoPath)) {
            const std::string variant = FileSystem_->FindCaseVariant(memoPath);
            if (!variant.empty())
                memoPath = variant;
        }
        if (FileSystem_->FileExists(memoPath)) {
            // Read-write, the memo file is ours alone until CloseTable: two
            // runs appending blocks to one memo file would overwrite each other.
            MemoStream = FileSystem_->Open(memoPath, access,
                                           ReadOnly ? TFileShare::DenyNone : TFileShare::Exclusive);
            HasMemoFile = true;
            MemoFileName = memoPath;
            unsigned char header[MemoHeaderRead];
            try {
                Memo_ = std::make_unique<TPageCache>(*MemoStream, MemoPageSize, MemoPages, MemoHeaderFields);
                Memo_->Read(0, header, sizeof header);
            } catch (const EError&) {
                throw EError("Ошибка чтения заголовка MEMO файла " + Quoted(memoPath) + ".");
            }
            MemoNextBlock = be32(header);
            MemoBlockSize = be16(header + 6);
            MemoSizeAtOpen_ = Memo_->Size();
        }

        unsigned char header[TableHeaderSize];
        try {
            Table_->Read(0, header, sizeof header);
        } catch (const EError&) {
            throw EError("Ошибка чтения заголовка файла " + Quoted(FileName));
        }
        Version = header[0];
        UpdateYear = header[1];
        UpdateMonth = header[2];
        UpdateDay = header[3];
        RecordCount = static_cast<int32_t>(le32(header + 4));
        HeaderSize = le16(header + 8);
        RecordSize = le16(header + 10);

        // The room the header leaves for descriptors; a header length of 0 or
        // 1 leaves none. The list itself ends at the terminator byte, before
        // the 263-byte area the newer FoxPro layout keeps after it.
        const int room = HeaderSize <= 1 ? 0 : (static_cast<int>(HeaderSize) - 33) / 32;
        if (room > 0) {
            std::vector<unsigned char> descriptors(static_cast<size_t>(room) * DescriptorSize);
            try {
                Table_->Read(TableHeaderSize, descriptors.data(), descriptors.size());
            } catch (const EError&) {
                throw EError("Ошибка чтения информации о полях файла " + Quoted(FileName));
            }
            uint32_t offset = 1;
            Fields.reserve(static_cast<size_t>(room));
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
                field.Offset = offset;
                offset += field.Size;
                Fields.push_back(std::move(field));
            }
        }
        FieldCount = static_cast<uint16_t>(Fields.size());
    } catch (...) {
        CloseTable();
        throw;
    }
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
    DbfStream.reset();
    MemoStream.reset();
    if (failure)
        std::rethrow_exception(failure);
}

uint64_t TDBFLite::MemoFileSize() const
{
    return Memo_ ? Memo_->Size() : 0;
}

int TDBFLite::FieldIndex(const std::string& Name) const
{
    for (size_t i = 0; i < Fields.size(); ++i)
        if (Fields[i].Name == Name)
            return static_cast<int>(i);
    return -1;
}

const TFieldDesc& TDBFLite::CheckedField(int FieldNo) const
{
    if (FieldNo < 0)
        throw EError("Номер поля должен быть больше или равен 0");
    if (FieldNo >= static_cast<int>(FieldCount))
        throw EError("Номер поля должен быть меньше или равен " + IntToStr(static_cast<int>(FieldCount) - 1));
    return Fields[static_cast<size_t>(FieldNo)];
}

uint64_t TDBFLite::FieldOffset(int32_t RecNo, const TFieldDesc& Field) const
{
    if (RecNo < 0)
        throw EError("Номер записи должен быть больше или равен 0");
    return HeaderSize + static_cast<uint64_t>(RecordSize) * static_cast<uint64_t>(RecNo) + Field.Offset;
}

bool TDBFLite::IsBinaryMemoRef(const TFieldDesc& Field) const
{
    return Field.FieldType == 'M' && Field.Size == BinaryMemoRefSize;
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
    case 'N':
        return TrimRight(ReadRaw(RecNo, FieldNo));
    case 'D':
        return FormatDate(ReadDate(RecNo, FieldNo), DatePattern_);
    case 'L':
        return ReadLogical(RecNo, FieldNo) ? "T" : "F";
    case 'M':
        return ReadMemo(RecNo, FieldNo);
    default:
        return ReadRaw(RecNo, FieldNo);
    }
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
    char raw[256];
    ReadField(RecNo, field, raw);
    TMemoRun run;
    run.Binary = IsBinaryMemoRef(field);
    if (run.Binary) {
        const uint32_t block = le32(reinterpret_cast<const unsigned char*>(raw));
        run.Block = block == 0 ? -1 : static_cast<int64_t>(block);
    } else {
        run.Block = BlockNumber(raw, field.Size);
    }
    if (run.Block < 0 || !HasMemoFile)
        return run;

    // Past the end of the file as it was opened lie only the runs this table
    // has appended since, each whole and written for one field of one
    // record. Any other reference past that end, and a run that the old end
    // cut short, read no further: they would take the texts of other records
    // for their own.
    run.Offset = static_cast<uint64_t>(run.Block) * MemoBlockSize;
    const bool appended = run.Offset >= MemoSizeAtOpen_;
    if (run.Offset >= MemoFileSize() || (appended && !OwnsRun(RecNo, FieldNo))) {
        run.PastEnd = true;
        return run;
    }
    unsigned char header[MemoBlockHeaderSize];
    Memo_->Read(run.Offset, header, sizeof header);
    run.Length = be32(header + 4);
    const uint64_t textStart = run.Offset + MemoBlockHeaderSize;
    const uint64_t end = appended ? MemoFileSize() : MemoSizeAtOpen_;
    const uint64_t available = textStart < end ? end - textStart : 0;
    run.Present = std::min(run.Length, available);
    return run;
}

uint64_t TDBFLite::MemoText(int32_t RecNo, int FieldNo, uint64_t& Start)
{
    const TMemoRun run = LocateMemo(RecNo, FieldNo);
    Start = run.Offset + MemoBlockHeaderSize;
    if (run.Block < 0 || run.PastEnd || run.Present == 0)
        return 0;
    // The text ends at its last byte above code 32. That is nearly always its
    // last byte, so the search goes backwards from the end, a little at first.
    uint64_t length = run.Present;
    size_t one = 1;
    const char* last = Memo_->Peek(Start + length - 1, one);
    if (one == 1 && !IsBlankChar(*last))
        return length;
    char tail[4096];
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
    Text.clear();
    uint64_t start = 0;
    const uint64_t length = MemoText(RecNo, FieldNo, start);

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
    char raw[256];
    ReadField(RecNo, field, raw);
    const bool blankRef = std::all_of(raw, raw + field.Size, IsBlankChar);
    if (IsBinaryMemoRef(field) ? le32(reinterpret_cast<const unsigned char*>(raw)) == 0 : blankRef) {
        result.State = TMemoRefState::Empty;
        return result;
    }
    const TMemoRun run = LocateMemo(RecNo, FieldNo);
    if (run.Block < 0) {
        result.State = TMemoRefState::NotANumber;
        return result;
    }
    if (!HasMemoFile || run.PastEnd) {
        result.State = TMemoRefState::PastEnd;
        return result;
    }
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
    result.ReadsBlank = blank;
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
    if (run.Block < 0 || !HasMemoFile || run.PastEnd)
        return info;
    unsigned char type[4];
    Memo_->Read(run.Offset, type, sizeof type);
    info.InFile = true;
    info.Type = be32(type);
    info.Offset = run.Offset;
    info.Length = run.Length;
    info.Present = run.Present;
    return info;
}

int32_t TDBFLite::RecordsInFile()
{
    // The header's count is an unsigned number; one of 2^31 or more cannot be
    // true of a file this layer can address, and the file decides.
    const uint32_t claimed = static_cast<uint32_t>(RecordCount);
    const uint64_t size = Table_->Size();
    if (RecordSize == 0 || size <= HeaderSize)
        return 0;
    const uint64_t body = size - HeaderSize;
    uint64_t records = body / RecordSize;
    const uint64_t rest = body % RecordSize;
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
    const uint64_t present = std::min<uint64_t>(records, claimed);
    return static_cast<int32_t>(std::min<uint64_t>(present, std::numeric_limits<int32_t>::max()));
}

void TDBFLite::AppendBlankRecord()
{
    if (RecordCount < 0 || RecordCount == std::numeric_limits<int32_t>::max())
        throw EError("Неверное число записей в заголовке файла " + Quoted(FileName));
    TakeOthersAppends();
    // The record goes where the old end-of-file mark stood, with a new mark
    // after it; the count in the header follows once the record is there.
    std::string record(RecordSize + 1u, ' ');
    record.back() = EndOfFile;
    // A binary memo reference is a block number: four spaces would point at
    // block 0x20202020. No memo there is four zero bytes.
    for (const TFieldDesc& field : Fields)
        if (IsBinaryMemoRef(field) && static_cast<uint64_t>(field.Offset) + field.Size <= RecordSize)
            std::fill_n(record.begin() + field.Offset, field.Size, '\0');
    Table_->Write(HeaderSize + static_cast<uint64_t>(RecordSize) * static_cast<uint64_t>(RecordCount),
                  record.data(), record.size());
    ++RecordCount;
    unsigned char count[4];
    putLe32(count, static_cast<uint32_t>(RecordCount));
    Table_->Write(RecordCountOffset, count, sizeof count);
}

void TDBFLite::TakeOthersAppends()
{
    // The application that owns the table may have appended records since
    // it was opened. They are read from the file itself, not the cache, and
    // counted, so ours go after them instead of over them; a count the file
    // does not hold records for (a damaged header) is not followed.
    if (RecordSize == 0)
        return;
    unsigned char count[4];
    if (DbfStream->ReadAt(RecordCountOffset, count, sizeof count) < sizeof count)
        return;
    const uint64_t size = DbfStream->Size();
    const uint64_t whole = size > HeaderSize ? (size - HeaderSize) / RecordSize : 0;
    const uint64_t theirs = std::min<uint64_t>(le32(count), whole);
    if (theirs > static_cast<uint64_t>(RecordCount) && theirs < static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
        RecordCount = static_cast<int32_t>(theirs);
}

void TDBFLite::WriteRaw(int32_t RecNo, int FieldNo, const std::string& Value)
{
    WriteField(RecNo, FieldNo, CheckedField(FieldNo), Value.data(), Value.size());
}

void TDBFLite::WriteField(int32_t RecNo, int FieldNo, const TFieldDesc& Field, const char* Data, size_t Length)
{
    if (RecNo < 0)
        throw EError("Номер записи должен быть больше или равен 0");
    if (static_cast<uint64_t>(Field.Offset) + Field.Size > RecordSize)
        RequireInsideRecord(Field);
    while (RecNo > RecordCount - 1)
        AppendBlankRecord();
    // A value as wide as the field (a memo reference, a number) goes as it
    // is; a shorter one is padded with spaces in a buffer on the stack, as
    // this runs for every field of every record.
    if (Field.Size > 0 && Length >= Field.Size) {
        Table_->Write(FieldOffset(RecNo, Field), Data, Field.Size);
    } else if (Field.Size > 0) {
        char buffer[256];
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
    if (field.FieldType == 'M')
        WriteMemo(RecNo, FieldNo, Value);
    else
        WriteField(RecNo, FieldNo, field, Value.data(), Value.size());
}

void TDBFLite::WriteInteger(int32_t RecNo, int FieldNo, int32_t Value)
{
    const TFieldDesc& field = CheckedField(FieldNo);
    // The number right-aligned in the field's width; one wider than the
    // field keeps its first digits.
    char digits[16];
    size_t count = 0;
    uint32_t magnitude = Value < 0 ? 0u - static_cast<uint32_t>(Value) : static_cast<uint32_t>(Value);
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (Value < 0)
        digits[count++] = '-';
    char text[256];
    size_t length = 0;
    for (; length + count < field.Size; ++length)
        text[length] = ' ';
    for (size_t i = count; i > 0 && length < field.Size; --i)
        text[length++] = digits[i - 1];
    WriteField(RecNo, FieldNo, field, text, length);
}

void TDBFLite::RequireInsideRecord(const TFieldDesc& Field) const
{
    // A field the header places past the end of the record would be written
    // over the next record.
    if (static_cast<uint64_t>(Field.Offset) + Field.Size > RecordSize)
        throw EError("Поле " + Quoted(Field.Name) + " выходит за границы записи файла " + Quoted(FileName));
}

void TDBFLite::RequireWritableMemo() const
{
    if (!HasMemoFile)
        throw EError("Нет MEMO файла для записи MEMO поля таблицы " + Quoted(FileName));
    if (MemoBlockSize == 0)
        throw EError("Неверный размер блока (0) в заголовке MEMO файла " + Quoted(MemoFileName));
}

void TDBFLite::WriteMemo(int32_t RecNo, int FieldNo, const std::string& Value)
{
    WriteMemo(RecNo, FieldNo, Value.data(), Value.size());
}

void TDBFLite::WriteMemo(int32_t RecNo, int FieldNo, const char* Value, size_t Length)
{
    const TFieldDesc& field = CheckedField(FieldNo);
    if (field.FieldType != 'M')
        throw EError("Неверный тип значения");
    RequireWritableMemo();
    if (std::all_of(Value, Value + Length, IsBlankChar)) {
        WriteBlankMemoRef(RecNo, FieldNo);
        return;
    }
    if (RecNo < 0)
        throw EError("Номер записи должен быть больше или равен 0");
    RequireInsideRecord(field);

    const uint64_t blockSize = MemoBlockSize;
    const uint64_t length = Length;
    if (length > std::numeric_limits<uint32_t>::max() - MemoBlockHeaderSize)
        throw EError("MEMO текст слишком длинный для MEMO файла " + Quoted(MemoFileName));
    const uint64_t runLength = (MemoBlockHeaderSize + length + blockSize - 1) / blockSize * blockSize;

    // A damaged header may name a next free block inside the header or
    // among blocks in use; appending there would overwrite them. New runs go
    // past both the header and the end of the file.
    // One far past the end is damaged too: honoured, it would leave a gap of
    // up to terabytes, which a file system without sparse files fills with
    // zeros, and which a damaged length then reads as one huge text. Within
    // MemoGapLimit of the end it stands, so references into a cut-off tail
    // keep reading as no text.
    const uint64_t afterFile = (MemoFileSize() + blockSize - 1) / blockSize;
    const uint64_t afterHeader = (MemoHeaderArea + blockSize - 1) / blockSize;
    const uint64_t fromHeader = MemoNextBlock <= afterFile + MemoGapLimit / blockSize ? MemoNextBlock : afterFile;
    const uint64_t start = std::max<uint64_t>({fromHeader, afterFile, afterHeader});
    const uint64_t next = start + runLength / blockSize;

    const bool binary = IsBinaryMemoRef(field);
    if (next > std::numeric_limits<uint32_t>::max() ||
        (!binary && start > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())))
        throw EError("MEMO файл " + Quoted(MemoFileName) + " переполнен");
    // A reference cut to the field's width would point at another block.
    static const uint64_t PowersOf10[] = {1,         10,         100,         1000,        10000,
                                          100000,    1000000,    10000000,    100000000,   1000000000};
    const uint64_t widest = field.Size < 10 ? PowersOf10[field.Size] : UINT64_MAX;
    if (!binary && start >= widest)
        throw EError("Поле " + Quoted(field.Name) + " слишком узкое для номера блока " +
                     IntToStr(static_cast<int64_t>(start)));

    // The run first, then the header, then the reference: a run that is not
    // whole on disk is never pointed at.
    unsigned char blockHeader[MemoBlockHeaderSize];
    putBe32(blockHeader, MemoTypeText);
    putBe32(blockHeader + 4, static_cast<uint32_t>(length));
    const uint64_t offset = start * blockSize;
    // The padding to the block's end is less than a block, at most 64 KiB.
    static const char Zeros[65536] = {};
    const uint64_t padding = runLength - MemoBlockHeaderSize - length;
    Memo_->Write(offset, blockHeader, sizeof blockHeader);
    Memo_->Write(offset + MemoBlockHeaderSize, Value, Length);
    if (padding > 0)
        Memo_->Write(offset + MemoBlockHeaderSize + length, Zeros, static_cast<size_t>(padding));

    MemoNextBlock = static_cast<uint32_t>(next);
    unsigned char nextBlock[4];
    putBe32(nextBlock, MemoNextBlock);
    Memo_->Write(0, nextBlock, sizeof nextBlock);

    if (binary) {
        unsigned char reference[BinaryMemoRefSize];
        putLe32(reference, static_cast<uint32_t>(start));
        WriteField(RecNo, FieldNo, field, reinterpret_cast<const char*>(reference), sizeof reference);
    } else {
        WriteInteger(RecNo, FieldNo, static_cast<int32_t>(start));
    }
    if (OwnRuns_.size() <= static_cast<size_t>(FieldNo))
        OwnRuns_.resize(static_cast<size_t>(FieldNo) + 1);
    std::vector<bool>& own = OwnRuns_[static_cast<size_t>(FieldNo)];
    if (own.size() <= static_cast<size_t>(RecNo))
        own.resize(static_cast<size_t>(RecNo) + 1);
    own[static_cast<size_t>(RecNo)] = true;
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
