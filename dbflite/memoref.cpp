// Memo references and the runs they lead to: reading, inspecting and
// storing memo texts.
#include "dbflite.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <future>
#include <limits>
#include <new>
#include <stdexcept>

#include "dbflayout.h"
#include "fptlayout.h"
#include "strutil.h"

using namespace DbfLayout;

namespace {

constexpr size_t TrailingBlankScan = 4096;
constexpr size_t MemoChunk = 1 << 20;
// Memo texts up to this length are read from the cache's pages.
constexpr uint64_t ShortMemoText = 64 * 1024;
const char BlankMemoRef[] = "          ";
// Fewer records than this are looked through on one thread: a second costs
// more to start than it saves.
constexpr int32_t SplitFindFrom = 4096;

// A text memo reference's block number, -1 when it is none. Nearly every
// reference is spaces and then digits to the field's end, read here at
// once; anything else is read as any number is.
int64_t BlockNumber(const char* Raw, size_t Size)
{
    size_t i = 0;
    while (i < Size && Raw[i] == ' ')
        ++i;
    if (i == Size)
        return -1;
    if (Size - i <= 9) {
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

TDBFLite::TMemoRun TDBFLite::LocateMemo(int32_t RecNo, int FieldNo)
{
    return LocateMemoIn(*Table_, Memo_.get(), RecNo, FieldNo);
}

TDBFLite::TMemoRun TDBFLite::LocateMemoIn(TPageCache& Table, TPageCache* Memo, int32_t RecNo, int FieldNo) const
{
    const TFieldDesc& field = CheckedField(FieldNo);
    TMemoRun run;
    run.Binary = IsBinaryMemoRef(field);
    if (field.Size <= ShortField) {
        char raw[ShortField];
        ReadFieldIn(Table, RecNo, field, raw);
        if (run.Binary) {
            const uint32_t block = le32(reinterpret_cast<const unsigned char*>(raw));
            run.Block = block == 0 ? -1 : static_cast<int64_t>(block);
        } else {
            run.Block = BlockNumber(raw, field.Size);
        }
    } else {
        // Only a long character field is this wide; no block number is.
        std::string raw(field.Size, '\0');
        ReadFieldIn(Table, RecNo, field, &raw[0]);
        run.Block = StrToIntDef(raw, -1);
    }
    if (run.Block < 0 || !HasMemoFile_ || !Memo)
        return run;

    // Past the end of the file as it was opened lie only the runs this table
    // has appended since, each whole and written for one field of one
    // record. Any other reference past that end, and a run that the old end
    // cut short, read no further: they would take the texts of other records
    // for their own.
    run.Offset = static_cast<uint64_t>(run.Block) * MemoBlockSize_;
    // A block header the end of the file cuts short holds no length to
    // trust: its missing bytes would read as zeros.
    // (A header cut short stays so when this table's appends fill the file
    // up behind it: those bytes are no part of it.)
    const bool appended = run.Offset >= MemoSizeAtOpen_;
    const uint64_t held = appended ? Memo->Size() : MemoSizeAtOpen_;
    if (run.Offset + MemoBlockHeaderSize > held || (appended && !OwnsRun(RecNo, FieldNo))) {
        run.PastEnd = true;
        return run;
    }
    unsigned char header[MemoBlockHeaderSize];
    Memo->Read(run.Offset, header, sizeof header);
    run.Type = be32(header);
    // No run starts inside the memo header: its first bytes there are the
    // next free block, which changes with every text written.
    if (!IsRunStart(run.Offset, run.Type)) {
        run.NotAStart = true;
        return run;
    }
    run.Length = be32(header + 4);
    const uint64_t textStart = run.Offset + MemoBlockHeaderSize;
    const uint64_t end = appended ? Memo->Size() : MemoSizeAtOpen_;
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
    result.Run = InfoOf(run);
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

TMemoRunInfo TDBFLite::MemoRunOf(int32_t RecNo, int FieldNo) { return InfoOf(LocateMemo(RecNo, FieldNo)); }

TMemoRunInfo TDBFLite::InfoOf(const TMemoRun& run) const
{
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

std::vector<TDBFLite::TCutRun> TDBFLite::FindCutRuns(bool Split)
{
    std::vector<TCutRun> cut;
    if (!HasMemoFile_ || MemoBlockSize_ == 0)
        return cut;
    const std::vector<int> fields = MemoFileFields();
    const int32_t held =
        static_cast<int32_t>(std::min<uint64_t>(RecordsTheFileHolds(), std::numeric_limits<int32_t>::max()));
    const auto eachRunIn = [&](TPageCache& Table, TPageCache& Memo, int32_t From, int32_t To, const auto& Visit) {
        for (int32_t r = From; r < To; ++r)
            for (int field : fields) {
                const TMemoRun run = LocateMemoIn(Table, &Memo, r, field);
                if (run.Block >= 0 && !run.PastEnd && !run.NotAStart)
                    Visit(run);
            }
    };
    const auto eachRun = [&](const auto& Visit) { eachRunIn(*Table_, *Memo_, 0, held, Visit); };
    // The cut runs, each once with what the file holds of it; nearly every
    // table has none, and then nothing more is read.
    const auto cutInto = [](std::vector<TCutRun>& Cut) {
        return [&Cut](const TMemoRun& Run) {
            if (Run.Present < Run.Length)
                Cut.push_back({Run.Offset, Run.Present});
        };
    };
    // Every reference and the block header it leads to: on a large table
    // that is a read of both files, which a second core halves. The other
    // thread's caches start empty, so nothing may wait unwritten in these.
    if (Split && held >= SplitFindFrom && DbfStream_->ReadableFromThreads() && MemoStream_->ReadableFromThreads() &&
        !Table_->Dirty() && !Memo_->Dirty()) {
        const int32_t half = held / 2;
        // (A future of std::async waits for its thread, on an error too.)
        std::future<std::vector<TCutRun>> other = std::async(std::launch::async, [&] {
            std::vector<TCutRun> secondHalf;
            const std::unique_ptr<TPageCache> table = ReadingCache(false);
            const std::unique_ptr<TPageCache> memo = ReadingCache(true);
            eachRunIn(*table, *memo, half, held, cutInto(secondHalf));
            return secondHalf;
        });
        eachRunIn(*Table_, *Memo_, 0, half, cutInto(cut));
        const std::vector<TCutRun> secondHalf = other.get();
        cut.insert(cut.end(), secondHalf.begin(), secondHalf.end());
    } else {
        eachRun(cutInto(cut));
    }
    if (cut.empty())
        return cut;
    std::sort(cut.begin(), cut.end());
    cut.erase(std::unique(cut.begin(), cut.end()), cut.end());
    // A cut run whose length lies among another run's bytes (damaged runs
    // that overlap) is left as it is: sealing it would change what that
    // other run reads.
    std::vector<bool> covered(cut.size(), false);
    eachRun([&](const TMemoRun& Run) {
        const uint64_t end = Run.Offset + MemoBlockHeaderSize + Run.Present;
        auto c = std::upper_bound(cut.begin(), cut.end(), TCutRun{Run.Offset, UINT64_MAX});
        for (; c != cut.end() && c->Offset + 4 < end; ++c)
            covered[static_cast<size_t>(c - cut.begin())] = true;
    });
    std::vector<TCutRun> seal;
    for (size_t i = 0; i < cut.size(); ++i)
        if (!covered[i])
            seal.push_back(cut[i]);
    return seal;
}

uint64_t TDBFLite::SealCutRuns(const std::vector<TCutRun>& Cut)
{
    RequireWritableMemo();
    for (const TCutRun& run : Cut) {
        unsigned char length[4];
        putBe32(length, static_cast<uint32_t>(run.Present));
        Memo_->Write(run.Offset + 4, length, sizeof length);
    }
    if (!Cut.empty())
        Memo_->Sync();
    return Cut.size();
}
