// The table file: opening and closing, the header, the field descriptors
// and the layout they give, records, and raw field bytes.
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

// Cache geometry: table pages are read in order, record after record; memo
// texts are often scattered, so their pages are smaller. A megabyte for the
// memo file: every operation goes through its files front to back, and
// buffers that stay within the processor's cache copy faster than more of
// them would save reads. Four for the table: its changes go out when a
// changed page must leave, each time after a sync of the memo file, and a
// larger cache makes those syncs fewer (a million records: 20, not 79).
constexpr size_t TablePageSize = 64 * 1024;
constexpr size_t TablePages = 64;
// A cache that only reads, front to back, needs no more than a megabyte.
constexpr size_t ReadingTablePages = 16;
constexpr size_t MemoPageSize = 16 * 1024;
constexpr size_t MemoPages = 64;

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

std::unique_ptr<TPageCache> TDBFLite::ReadingCache(bool Memo) const
{
    return Memo ? std::make_unique<TPageCache>(*MemoStream_, MemoPageSize, MemoPages, MemoHeaderFields)
                : std::make_unique<TPageCache>(*DbfStream_, TablePageSize, ReadingTablePages, TableHeaderSize);
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
    ReadFieldIn(*Table_, RecNo, Field, Buffer);
}

void TDBFLite::ReadFieldIn(TPageCache& Table, int32_t RecNo, const TFieldDesc& Field, char* Buffer) const
{
    if (Field.Size > 0)
        Table.Read(FieldOffset(RecNo, Field), Buffer, Field.Size);
}

std::string TDBFLite::ReadRaw(int32_t RecNo, int FieldNo)
{
    const TFieldDesc& field = CheckedField(FieldNo);
    std::string value(field.Size, '\0');
    if (field.Size > 0)
        ReadField(RecNo, field, &value[0]);
    return value;
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

void TDBFLite::RequireInsideRecord(const TFieldDesc& Field) const
{
    // A field the header places past the end of the record would be written
    // over the next record.
    if (static_cast<uint64_t>(Field.Offset) + Field.Size > RecordSize_)
        throw EError("Поле " + Quoted(Field.Name) + " выходит за границы записи файла " + Quoted(FileName_));
}
