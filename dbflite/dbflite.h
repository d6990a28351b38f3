// DBFLite: one FoxPro-style table (.dbf) with its memo file (.fpt), read and
// written in place, field by field, straight through to the files.
//
// Table file: a 32-byte header, 32-byte field descriptors ending at a 0x0D
// terminator, then fixed-size records. Memo file: a header whose first bytes
// give the next free block and the block size, then runs of blocks, each run
// an 8-byte block header (type, big-endian length) and the text.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "datetext.h"
#include "error.h"
#include "filestream.h"
#include "pagecache.h"

struct TFieldDesc {
    std::string Name;    // as stored, up to 11 bytes, case kept
    char FieldType = 0;  // the type letter: C, N, D, L, M, ...
    // Width in bytes. A character field may be wider than 255 bytes: Clipper
    // and Harbour keep the high byte of its width where FoxPro keeps the
    // decimal count (then Decimals is 0).
    uint16_t Size = 0;
    uint8_t Decimals = 0;
    // Position of the field's first byte within a record: the running sum of
    // the widths before it, from 1 (byte 0 is the deletion flag). Wider than
    // the record layout needs, so a damaged header cannot make it wrap.
    uint32_t Offset = 0;

    // A memo field: its bytes are a reference into the memo file.
    bool IsMemo() const { return FieldType == 'M'; }
    // Any field whose bytes lead into the memo file: a text, or a picture,
    // an OLE object or a blob another program keeps there (G, P, W; B when
    // it is not an 8-byte double).
    bool RefersToMemoFile() const
    {
        return IsMemo() || FieldType == 'G' || FieldType == 'P' || FieldType == 'W' || (FieldType == 'B' && Size != 8);
    }
    // A type letter some xBase writer is known to use, whose bytes this
    // layer knows to lie in the record (or, for the fields above, to lead
    // into the memo file). A field of another letter might keep data in the
    // memo file in a way nobody here can see, so a run that moves texts in
    // that file refuses the table.
    bool IsKnownType() const
    {
        return FieldType != 0 && std::string_view("CNFDLMGPWBIYTVQ0@+O=^").find(FieldType) != std::string_view::npos;
    }
    // A field that holds its value as text, which any text can be written to.
    bool StoresText() const { return FieldType == 'C' || FieldType == 'N' || FieldType == 'D' || FieldType == 'L'; }
};

// What a memo reference leads to.
enum class TMemoRefState {
    Empty,        // no reference: spaces, or 0 in a binary reference
    NotANumber,   // the field's text is not a block number
    PastEnd,      // the block lies beyond the end of the memo file (or there is none)
    RunsPastEnd,  // the text's length runs past the end of the memo file
    Blank,        // the text reads as blank (only bytes of code 0 to 32)
    Text,         // real text
    NotAStart,    // the block is not the start of a run: its block type is no
                  // type a memo driver writes, or marks a freed block
};

// The run a memo reference leads to, as the memo file holds it: for the map
// of the memo file (what references share, overlap or leave behind).
struct TMemoRunInfo {
    int64_t Block = -1;    // -1: no reference, or not a block number
    bool InFile = false;   // the block header lies inside the memo file
    uint32_t Type = 0;     // the block header's type (1 = text)
    uint64_t Offset = 0;   // of the block header
    uint64_t Length = 0;   // as the block header says
    uint64_t Present = 0;  // of that length, the bytes the file holds
};

struct TMemoInspection {
    TMemoRefState State = TMemoRefState::Empty;
    // ReadMemo gives a blank text for this reference: what Clear without
    // All blanks. A run of another value type than text (a Harbour number
    // or array) is kept, whatever its bytes.
    bool ReadsBlank = true;
    // The run's block type, when the reference leads to the start of a run.
    uint32_t BlockType = 0;
    // Where the reference leads, as MemoRunOf gives it: a diagnosis that
    // also maps the memo file need not look the run up twice.
    TMemoRunInfo Run;
};

// Block types of memo runs: FoxPro writes 0 (picture, binary) and 1 (text);
// Clipper and Harbour drivers store other values under types below 65,536.
constexpr uint32_t MemoTypePicture = 0;
constexpr uint32_t MemoTypeText = 1;
// Whether a run of this type holds text (ReadMemo's trimming, blank texts
// blanked) rather than another driver's value, copied as it is.
inline bool IsTextMemoType(uint32_t Type) { return Type == MemoTypePicture || Type == MemoTypeText; }

class TDBFLite {
public:
    // Files are opened through FileSystem, which must outlive the table.
    explicit TDBFLite(TFileSystem& FileSystem = OsFileSystem());
    ~TDBFLite();
    TDBFLite(const TDBFLite&) = delete;
    TDBFLite& operator=(const TDBFLite&) = delete;

    // The open table, as its header and descriptors gave it when it was
    // opened. RecordCount grows with the records this table appends, and
    // MemoNextBlock with the texts it stores.
    bool IsOpen() const { return DbfStream_ != nullptr; }
    bool HasMemoFile() const { return HasMemoFile_; }
    const std::string& FileName() const { return FileName_; }          // as given to OpenTable
    const std::string& MemoFileName() const { return MemoFileName_; }  // the memo file found beside it
    // True when Path names the open table's file or its memo file, however
    // spelled: an output that must not overwrite them.
    bool HoldsFile(const std::string& Path) const
    {
        return FileSystem_->SameFile(Path, FileName_) || (HasMemoFile_ && FileSystem_->SameFile(Path, MemoFileName_));
    }
    uint8_t Version() const { return Version_; }
    uint8_t UpdateYear() const { return UpdateYear_; }
    uint8_t UpdateMonth() const { return UpdateMonth_; }
    uint8_t UpdateDay() const { return UpdateDay_; }
    // Header byte 29: the code page the texts are in, 0 when unmarked.
    uint8_t LanguageDriver() const { return LanguageDriver_; }
    uint16_t HeaderSize() const { return HeaderSize_; }
    int32_t RecordCount() const { return RecordCount_; }
    uint16_t RecordSize() const { return RecordSize_; }
    uint16_t FieldCount() const { return FieldCount_; }
    uint16_t MemoBlockSize() const { return MemoBlockSize_; }          // 0 without a memo file
    uint32_t MemoNextBlock() const { return MemoNextBlock_; }          // 0 without a memo file
    const std::vector<TFieldDesc>& Fields() const { return Fields_; }  // FieldCount entries
    // The field widths add up to the record length, with byte 16 of each
    // descriptor alone or, for character fields, with byte 17 as the high
    // byte. When they do not, the fields are read where the descriptors'
    // stored positions (or, lacking those, the widths) put them, but nothing
    // is written: a write at a guessed offset would damage the record.
    bool LayoutTrusted() const { return LayoutTrusted_; }
    // Forgets what the caches hold of both files and reads the record count
    // and the memo header again. A run that asked the user decides on the
    // files as they are after the answer: the owning application may have
    // worked on them all the while the question stood. Anything written and
    // not yet flushed is written out first.
    void Reload();
    // Whole or partly present records the table file holds beyond the
    // header's count: what a crash during an append leaves behind. No reader
    // counts them as records, yet their references may lead to texts.
    int64_t RecordsPastCount();
    // A damaged header may claim more records than the file holds, or a
    // count past 2^31: a run visits the records that exist, and any it
    // appends go right after them. Lowers RecordCount to RecordsInFile and
    // returns it.
    int32_t LimitRecordCountToFile();
    // The message every write raises on a table whose layout is not trusted.
    std::string LayoutMismatchMessage() const;

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
    // The memo fields' numbers, in field order: what Info lists and what
    // the operations take when no fields are named.
    std::vector<int> MemoFields() const { return FieldsWhere(&TFieldDesc::IsMemo); }
    // Every field that refers into the memo file, memo fields and others.
    std::vector<int> MemoFileFields() const { return FieldsWhere(&TFieldDesc::RefersToMemoFile); }

    // The memo file beside a table: the extension of the file name replaced
    // by ".FPT", or ".FPT" appended when the name has none.
    static std::string MemoPathFor(const std::string& TableFileName);
    // The memo file of the table at TableFileName as Files has it (its
    // name's letter case may differ), or empty when there is none.
    static std::string FindMemoFile(TFileSystem& Files, const std::string& TableFileName);

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
    // A value as ReadValue shows it (and Save writes it), stored back as the
    // field keeps it: memo texts as runs, whole numbers right-aligned,
    // numbers with decimals and dates as they were, binary numbers and
    // dates converted; anything else as it is, cut to the field.
    void WriteValueText(int32_t RecNo, int FieldNo, std::string_view Text);
    void WriteInteger(int32_t RecNo, int FieldNo, int32_t Value);
    // A run of another type than text is stored whatever its bytes; a blank
    // text blanks the reference instead.
    void WriteMemo(int32_t RecNo, int FieldNo, const std::string& Value, uint32_t BlockType = MemoTypeText);
    void WriteMemo(int32_t RecNo, int FieldNo, const char* Value, size_t Length, uint32_t BlockType = MemoTypeText);
    // The block the next WriteMemo stores its run at.
    uint64_t NextRunBlock() const;
    // What WriteMemo would do with a non-blank text of Length bytes for
    // field FieldNo, were the next run to start at Block: raises what it
    // would raise (no block size, a reference field too narrow for the
    // block number, a memo file past its block-number limit), else returns
    // the block after that run. Load checks its whole file with it before
    // it writes anything.
    uint64_t PlanMemoRun(int FieldNo, uint64_t Block, uint64_t Length) const;
    // Raises, naming the field, when WriteValue cannot store Text in field
    // FieldNo, or not so that ReadValue gives it back: a field past the end
    // of the record, a table whose layout is not trusted, a binary number or date
    // whose text does not convert, or a field whose bytes no text shows
    // (binary memo contents, varbinary and varchar, _NullFlags, a type this
    // layer does not know).
    void CheckValue(int FieldNo, const char* Text, size_t Length) const;
    // A memo reference that refers to no memo text: spaces in a text
    // reference, four zero bytes in a binary one.
    void WriteBlankMemoRef(int32_t RecNo, int FieldNo);

    // Diagnosis of one memo reference, without changing anything.
    TMemoInspection InspectMemo(int32_t RecNo, int FieldNo);
    // Whether Clear without All blanks this reference: it reads as no
    // text, or as a blank one.
    bool ClearWouldBlank(int32_t RecNo, int FieldNo) { return InspectMemo(RecNo, FieldNo).ReadsBlank; }
    // The run a memo reference leads to: its block type, and its bytes into
    // Bytes exactly as stored, as far as the file holds them (no trimming:
    // trailing zeros and line breaks are part of a picture or a text). False,
    // and Bytes empty, when the reference leads to no run.
    bool ReadMemoRun(int32_t RecNo, int FieldNo, std::string& Bytes, uint32_t& BlockType);
    // Rewrite of one reference: the run it leads to is copied at the end of
    // the memo file byte for byte, under its own block type (a run the end
    // of the file cuts short, as far as it goes, its length corrected), and
    // the reference is pointed at the copy. A reference that leads to no run
    // is blanked. True when a run was copied.
    bool RewriteMemoRef(int32_t RecNo, int FieldNo);

    // Gives every run the end of the memo file cuts short (its block header
    // claims more bytes than the file holds) the length of what the file
    // holds, and syncs that, before anything is appended: a text appended
    // after the end would otherwise read as the rest of such a run for every
    // reader that opens the file later (after a kill, or once this run is
    // over). Every reference of every field that leads into the memo file,
    // in every record the file holds, is looked at; each reads the same
    // bytes as before. Returns the number of runs sealed.
    uint64_t SealCutRuns() { return SealCutRuns(FindCutRuns(true)); }

    // The same in two steps. FindCutRuns only reads, through this table's
    // caches of both files: it may run on a thread of its own while the
    // caller goes on with the calls that consult the layout alone
    // (CheckValue, PlanMemoRun, NextRunBlock, Fields and the like) and
    // nothing else of this table. SealCutRuns(Cut) then writes what it found.
    struct TCutRun {
        uint64_t Offset;   // of the run's block header
        uint64_t Present;  // the bytes of its text the file holds
        bool operator<(const TCutRun& O) const
        {
            return Offset < O.Offset || (Offset == O.Offset && Present < O.Present);
        }
        bool operator==(const TCutRun& O) const { return Offset == O.Offset && Present == O.Present; }
    };
    // With Split, the records' second half is looked at on a thread of its
    // own, through caches of its own, where both files' streams may be read
    // from two threads and nothing written waits in this table's caches.
    std::vector<TCutRun> FindCutRuns(bool Split = false);
    uint64_t SealCutRuns(const std::vector<TCutRun>& Cut);

    // The run the reference of field FieldNo in record RecNo leads to.
    TMemoRunInfo MemoRunOf(int32_t RecNo, int FieldNo);
    // The block header at Block as the memo file holds it, whether or not a
    // reference leads there: Block -1 without a memo file or block size,
    // InFile false when the header lies past the end of the file. Whether it
    // starts a run is for the caller to judge (IsRunStart).
    TMemoRunInfo MemoRunAt(uint64_t Block);

    // Moving runs, for compacting the memo file. Every step leaves a table
    // that every reader reads as before, provided the caller writes only
    // over blocks no reference leads to and commits between the steps.
    //
    // A copy of the run Run describes (its type and the bytes present) at
    // block ToBlock; the memo header's next free block moves past it when
    // the copy ends beyond.
    void CopyMemoRun(const TMemoRunInfo& Run, uint64_t ToBlock);
    // The reference of field FieldNo in record RecNo set to Block: a memo
    // field, or any other field that leads into the memo file.
    void PointMemoRef(int32_t RecNo, int FieldNo, uint64_t Block);
    // Everything written so far on the disk, the memo file first.
    void Commit();
    // The table file and the memo file as they are now (what is held back
    // written out first), each handed to Copy with its name, the table
    // first: a backup taken through this table's own streams, which alone
    // may read a memo file the table holds exclusively.
    void CopyFiles(const std::function<void(TFileStream& File, const std::string& Path)>& Copy);
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
    // Whole or partly present records in the table file, whatever the
    // header counts.
    uint64_t RecordsTheFileHolds();
    std::unique_ptr<TFileStream> DbfStream_;
    std::unique_ptr<TFileStream> MemoStream_;  // set only when HasMemoFile
    bool HasMemoFile_ = false;
    std::string FileName_;
    std::string MemoFileName_;
    uint8_t Version_ = 0;
    uint8_t UpdateYear_ = 0;
    uint8_t UpdateMonth_ = 0;
    uint8_t UpdateDay_ = 0;
    uint8_t LanguageDriver_ = 0;
    uint16_t HeaderSize_ = 0;
    int32_t RecordCount_ = 0;
    uint16_t RecordSize_ = 0;
    uint16_t FieldCount_ = 0;
    uint16_t MemoBlockSize_ = 0;
    uint32_t MemoNextBlock_ = 0;
    std::vector<TFieldDesc> Fields_;
    bool LayoutTrusted_ = true;

    struct TMemoRun {
        int64_t Block = -1;      // -1: no reference or not a number
        bool Binary = false;     // a 4-byte binary reference
        uint64_t Offset = 0;     // of the block header in the memo file
        uint64_t Length = 0;     // as the block header says
        uint64_t Present = 0;    // of that length, the bytes the file holds
        bool PastEnd = false;    // the block header lies past the end of the file
        uint32_t Type = 0;       // the block type in the run's header
        bool NotAStart = false;  // the block is no run's first: no length to trust
    };
    TMemoRunInfo InfoOf(const TMemoRun& Run) const;

    // Widths and offsets of Fields from their descriptors' stored positions
    // and the widths read with byte 17 as the high byte of a character
    // field's width; sets LayoutTrusted.
    // The steps of OpenTable.
    void OpenTableFile(bool ReadOnly);
    // The table's cache over DbfStream, its writes ordered after the memo
    // file's and, when MapWrites, through a mapping where that is exact.
    void NewTableCache(bool MapWrites);
    void OpenMemoFile(bool ReadOnly);
    void ReadTableHeader();
    void ReadFieldDescriptors();
    void LayOutFields(const std::vector<uint32_t>& Stored, const std::vector<uint16_t>& LongSizes);
    const TFieldDesc& CheckedField(int FieldNo) const;
    uint64_t FieldOffset(int32_t RecNo, const TFieldDesc& Field) const;
    bool IsBinaryMemoRef(const TFieldDesc& Field) const;
    TMemoRun LocateMemo(int32_t RecNo, int FieldNo);
    // The same, read through the caches given (Memo null without a memo
    // file): another thread's, which see nothing this table's hold unwritten.
    TMemoRun LocateMemoIn(TPageCache& Table, TPageCache* Memo, int32_t RecNo, int FieldNo) const;
    // A cache of the table file, or of the memo file, for a thread of its own
    // that only reads.
    std::unique_ptr<TPageCache> ReadingCache(bool Memo) const;
    // The length of the memo text ReadMemo gives, which starts at Start in
    // the memo file.
    uint64_t MemoText(int32_t RecNo, int FieldNo, uint64_t& Start);
    uint64_t MemoText(const TMemoRun& Run, uint64_t& Start);
    void ReadMemoBytes(uint64_t Start, uint64_t Length, std::string& Text);
    static constexpr size_t MemoPieceLimit = size_t{1} << 30;
    // The field's Size bytes into Buffer.
    void ReadField(int32_t RecNo, const TFieldDesc& Field, char* Buffer);
    // The same through the cache given.
    void ReadFieldIn(TPageCache& Table, int32_t RecNo, const TFieldDesc& Field, char* Buffer) const;
    void RequireWritableMemo() const;
    // Counts the records another program appended while the table was open.
    void TakeOthersAppends();
    void RequireTrustedLayout() const;
    // The numbers of the fields Test holds for, in field order.
    std::vector<int> FieldsWhere(bool (TFieldDesc::*Test)() const) const;
    // Raises the error for a field too narrow for a reference to Block.
    void RequireRefFits(const TFieldDesc& Field, uint64_t Block) const;
    // ReadValue and WriteValue of the binary numbers and dates of the newer
    // FoxPro layout (I, B, Y, T): false for a field of another type.
    bool ReadBinaryValue(int32_t RecNo, const TFieldDesc& Field, std::string& Value);
    bool EncodeBinaryValue(const TFieldDesc& Field, const char* Text, size_t Length, unsigned char* Bytes) const;
    void RequireInsideRecord(const TFieldDesc& Field) const;
    void WriteNumberText(int32_t RecNo, int FieldNo, const TFieldDesc& Field, const std::string& Value);
    void WriteDateText(int32_t RecNo, int FieldNo, const TFieldDesc& Field, const std::string& Value);
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
    std::string CopyBuffer_;  // CopyMemoRun's, its room used again
};
