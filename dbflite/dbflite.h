// DBFLite: one FoxPro-style table (.dbf) with its memo file (.fpt), read and
// written in place, field by field, straight through to the files.
//
// Table file: a 32-byte header, 32-byte field descriptors ending at a 0x0D
// terminator, then fixed-size records. Memo file: a header whose first bytes
// give the next free block and the block size, then runs of blocks, each run
// an 8-byte block header (type, big-endian length) and the text.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dbflite/datetext.h"
#include "dbflite/error.h"
#include "dbflite/filestream.h"
#include "dbflite/pagecache.h"

struct TFieldDesc {
    std::string Name;     // as stored, up to 11 bytes, case kept
    char FieldType = 0;   // the type letter: C, N, D, L, M, ...
    uint8_t Size = 0;     // width in bytes
    uint8_t Decimals = 0;
    // Position of the field's first byte within a record: the running sum of
    // the widths before it, from 1 (byte 0 is the deletion flag). Wider than
    // the record layout needs, so a damaged header cannot make it wrap.
    uint32_t Offset = 0;
};

// What a memo reference leads to.
enum class TMemoRefState {
    Empty,       // no reference: spaces, or 0 in a binary reference
    NotANumber,  // the field's text is not a block number
    PastEnd,     // the block lies beyond the end of the memo file (or there is none)
    RunsPastEnd, // the text's length runs past the end of the memo file
    Blank,       // the text reads as blank (only bytes of code 0 to 32)
    Text,        // real text
};

// The run a memo reference leads to, as the memo file holds it: for the map
// of the memo file (what references share, overlap or leave behind).
struct TMemoRunInfo {
    int64_t Block = -1;     // -1: no reference, or not a block number
    bool InFile = false;    // the block header lies inside the memo file
    uint32_t Type = 0;      // the block header's type (1 = text)
    uint64_t Offset = 0;    // of the block header
    uint64_t Length = 0;    // as the block header says
    uint64_t Present = 0;   // of that length, the bytes the file holds
};

struct TMemoInspection {
    TMemoRefState State = TMemoRefState::Empty;
    // ReadMemo gives a blank text for this reference: what Clear without
    // All blanks.
    bool ReadsBlank = true;
};

class TDBFLite {
public:
    // Files are opened through FileSystem, which must outlive the table.
    explicit TDBFLite(TFileSystem& FileSystem = OsFileSystem());
    ~TDBFLite();
    TDBFLite(const TDBFLite&) = delete;
    TDBFLite& operator=(const TDBFLite&) = delete;

    std::unique_ptr<TFileStream> DbfStream;
    std::unique_ptr<TFileStream> MemoStream;  // set only when HasMemoFile
    bool HasMemoFile = false;
    std::string FileName;      // the table path exactly as given to OpenTable
    std::string MemoFileName;  // the memo file found beside it, when there is one
    uint8_t Version = 0;
    uint8_t UpdateYear = 0;
    uint8_t UpdateMonth = 0;
    uint8_t UpdateDay = 0;
    uint16_t HeaderSize = 0;
    int32_t RecordCount = 0;
    uint16_t RecordSize = 0;
    uint16_t FieldCount = 0;
    uint16_t MemoBlockSize = 0;  // set only when HasMemoFile
    uint32_t MemoNextBlock = 0;  // set only when HasMemoFile
    std::vector<TFieldDesc> Fields;  // FieldCount entries

    // Opening and closing. OpenTable raises EError with the message the user
    // reads; when it fails it leaves nothing open.
    void OpenTable(const std::string& TableFileName, bool ReadOnly);
    // Writes out what is still held back and closes both files. A failure to
    // write raises, after the files are closed.
    void CloseTable();
    // Writes out what is still held back: the memo file first, synced,
    // then the table, so no reference reaches the disk before the text it
    // points at. CloseTable does the same and syncs the table too.
    void Flush();
    int FieldIndex(const std::string& Name) const;

    // The memo file beside a table: the extension of the file name replaced
    // by ".FPT", or ".FPT" appended when the name has none.
    static std::string MemoPathFor(const std::string& TableFileName);

    // Reading. Record numbers are not checked against RecordCount: bytes past
    // the end of the file read as zero.
    std::string ReadRaw(int32_t RecNo, int FieldNo);
    std::string ReadValue(int32_t RecNo, int FieldNo);
    bool ReadLogical(int32_t RecNo, int FieldNo);
    TDate ReadDate(int32_t RecNo, int FieldNo);
    std::string ReadMemo(int32_t RecNo, int FieldNo);
    // The same into Text, whose room is used again text after text.
    void ReadMemo(int32_t RecNo, int FieldNo, std::string& Text);
    // The same text handed to Sink(const char* Data, size_t Length) in
    // pieces, straight from where the layer holds them, without a copy.
    template <typename TSink>
    void ReadMemoPieces(int32_t RecNo, int FieldNo, TSink Sink)
    {
        uint64_t offset = 0;
        uint64_t length = MemoText(RecNo, FieldNo, offset);
        while (length > 0) {
            size_t count = length < MemoPieceLimit ? static_cast<size_t>(length) : MemoPieceLimit;
            const char* data = Memo_->Peek(offset, count);
            if (count == 0)
                break;
            Sink(data, count);
            offset += count;
            length -= count;
        }
    }

    // Writing. A record number past the last record first appends blank
    // records until it exists.
    void AppendBlankRecord();
    void WriteRaw(int32_t RecNo, int FieldNo, const std::string& Value);
    void WriteValue(int32_t RecNo, int FieldNo, const std::string& Value);
    void WriteInteger(int32_t RecNo, int FieldNo, int32_t Value);
    void WriteMemo(int32_t RecNo, int FieldNo, const std::string& Value);
    void WriteMemo(int32_t RecNo, int FieldNo, const char* Value, size_t Length);
    // A memo reference that refers to no memo text: spaces in a text
    // reference, four zero bytes in a binary one.
    void WriteBlankMemoRef(int32_t RecNo, int FieldNo);

    // Diagnosis of one memo reference, without changing anything.
    TMemoInspection InspectMemo(int32_t RecNo, int FieldNo);

    // The run the reference of field FieldNo in record RecNo leads to.
    TMemoRunInfo MemoRunOf(int32_t RecNo, int FieldNo);

    // Moving runs, for compacting the memo file. Every step leaves a table
    // that every reader reads as before, provided the caller writes only
    // over blocks no reference leads to and commits between the steps.
    //
    // A copy of the run Run describes (its type and the bytes present) at
    // block ToBlock; the memo header's next free block moves past it when
    // the copy ends beyond.
    void CopyMemoRun(const TMemoRunInfo& Run, uint64_t ToBlock);
    // The reference of field FieldNo in record RecNo set to Block.
    void PointMemoRef(int32_t RecNo, int FieldNo, uint64_t Block);
    // Everything written so far on the disk, the memo file first.
    void Commit();
    // Commits, sets the memo header's next free block to NextBlock, cuts the
    // memo file there and closes the table.
    void ShrinkMemoAndClose(uint32_t NextBlock);

    // The memo file's length, including texts not yet written out.
    uint64_t MemoFileSize() const;

    // The records the table file actually holds (a partly present last
    // record included), at most as many as the header claims. A damaged
    // header may overstate them, or give a count of 2^31 or more.
    int32_t RecordsInFile();

private:
    struct TMemoRun {
        int64_t Block = -1;      // -1: no reference or not a number
        bool Binary = false;     // a 4-byte binary reference
        uint64_t Offset = 0;     // of the block header in the memo file
        uint64_t Length = 0;     // as the block header says
        uint64_t Present = 0;    // of that length, the bytes the file holds
        bool PastEnd = false;    // the block header lies past the end of the file
    };

    const TFieldDesc& CheckedField(int FieldNo) const;
    uint64_t FieldOffset(int32_t RecNo, const TFieldDesc& Field) const;
    bool IsBinaryMemoRef(const TFieldDesc& Field) const;
    TMemoRun LocateMemo(int32_t RecNo, int FieldNo);
    // The length of the memo text ReadMemo gives, which starts at Start in
    // the memo file.
    uint64_t MemoText(int32_t RecNo, int FieldNo, uint64_t& Start);
    static constexpr size_t MemoPieceLimit = size_t{1} << 30;
    // The field's Size bytes into Buffer.
    void ReadField(int32_t RecNo, const TFieldDesc& Field, char* Buffer);
    void RequireWritableMemo() const;
    // Counts the records another program appended while the table was open.
    void TakeOthersAppends();
    void RequireInsideRecord(const TFieldDesc& Field) const;
    // WriteRaw of Length bytes at Data to Field, the checked field FieldNo.
    void WriteField(int32_t RecNo, int FieldNo, const TFieldDesc& Field, const char* Data, size_t Length);

    TFileSystem* FileSystem_;
    // Every read and write of the layer goes through these.
    std::unique_ptr<TPageCache> Table_;
    std::unique_ptr<TPageCache> Memo_;
    // The memo file's length when the table was opened, and, per field
    // number, a bit per record: set while the field refers to a run this
    // table appended. Past the old end, only those references lead to text.
    uint64_t MemoSizeAtOpen_ = 0;
    std::vector<std::vector<bool>> OwnRuns_;
    bool OwnsRun(int32_t RecNo, int FieldNo) const;
    std::string DatePattern_;
};
