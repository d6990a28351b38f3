// Moving runs within the memo file, for compacting it: copies of runs, the
// references switched to them, and the file cut after the last one.
#include <algorithm>
#include <limits>
#include <vector>

#include "dbflite.h"
#include "fptlayout.h"

namespace {

constexpr size_t CopyChunk = size_t{1} << 20;

}  // namespace

void TDBFLite::CopyMemoRun(const TMemoRunInfo& Run, uint64_t ToBlock)
{
    RequireWritableMemo();
    const uint64_t blockSize = MemoBlockSize_;
    const uint64_t to = ToBlock * blockSize;
    if (!Run.InFile || to < MemoHeaderArea || Run.Present > std::numeric_limits<uint32_t>::max() - MemoBlockHeaderSize)
        throw EError("Неверный блок MEMO файла " + MemoFileName_);
    const uint64_t blocks = (MemoBlockHeaderSize + Run.Present + blockSize - 1) / blockSize;
    if (ToBlock + blocks > std::numeric_limits<uint32_t>::max())
        throw EError("MEMO файл \"" + MemoFileName_ + "\" переполнен");

    // The copy lies in blocks no reference leads to; what keeps a reference
    // from reaching the disk before it is the memo sync the table's write-back
    // runs first (and Commit), not the order of these writes.
    // The buffer is kept from copy to copy: a Rewrite copies a run per
    // reference, most of them a few hundred bytes.
    // It only grows: filling it with zeros to each text's length would cost
    // as much as the copy.
    std::string& buffer = CopyBuffer_;
    const size_t room = static_cast<size_t>(std::min<uint64_t>(std::max<uint64_t>(Run.Present, 1), CopyChunk));
    if (buffer.size() < room)
        buffer.resize(room);
    for (uint64_t done = 0; done < Run.Present;) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(room, Run.Present - done));
        Memo_->Read(Run.Offset + MemoBlockHeaderSize + done, &buffer[0], count);
        Memo_->Write(to + MemoBlockHeaderSize + done, buffer.data(), count);
        done += count;
    }
    static const char Zeros[65536] = {};
    const uint64_t padding = blocks * blockSize - MemoBlockHeaderSize - Run.Present;
    if (padding > 0)
        Memo_->Write(to + MemoBlockHeaderSize + Run.Present, Zeros, static_cast<size_t>(padding));
    unsigned char header[MemoBlockHeaderSize];
    putBe32(header, Run.Type);
    putBe32(header + 4, static_cast<uint32_t>(Run.Present));
    Memo_->Write(to, header, sizeof header);

    if (ToBlock + blocks > MemoNextBlock_) {
        MemoNextBlock_ = static_cast<uint32_t>(ToBlock + blocks);
        unsigned char next[4];
        putBe32(next, MemoNextBlock_);
        Memo_->Write(0, next, sizeof next);
    }
}

TMemoRunInfo TDBFLite::MemoRunAt(uint64_t Block)
{
    TMemoRunInfo info;
    if (!HasMemoFile_ || MemoBlockSize_ == 0)
        return info;
    info.Block = static_cast<int64_t>(Block);
    const uint64_t size = MemoFileSize();
    if (Block > size / MemoBlockSize_ || Block * MemoBlockSize_ + MemoBlockHeaderSize > size)
        return info;
    unsigned char header[MemoBlockHeaderSize];
    info.Offset = Block * MemoBlockSize_;
    Memo_->Read(info.Offset, header, sizeof header);
    info.InFile = true;
    info.Type = be32(header);
    info.Length = be32(header + 4);
    info.Present = std::min<uint64_t>(info.Length, size - info.Offset - MemoBlockHeaderSize);
    return info;
}

void TDBFLite::PointMemoRef(int32_t RecNo, int FieldNo, uint64_t Block)
{
    const TFieldDesc& field = CheckedField(FieldNo);
    if (!field.RefersToMemoFile())
        throw EError("Неверный тип значения");
    RequireInsideRecord(field);
    RequireRefFits(field, Block);
    if (IsBinaryMemoRef(field)) {
        unsigned char reference[4];
        putLe32(reference, static_cast<uint32_t>(Block));
        WriteField(RecNo, FieldNo, field, reinterpret_cast<const char*>(reference), sizeof reference);
    } else {
        WriteInteger(RecNo, FieldNo, static_cast<int32_t>(Block));
    }
    // A run past the end of the file as it was opened is read only by the
    // reference it was written for.
    if (Block * MemoBlockSize_ >= MemoSizeAtOpen_) {
        if (OwnRuns_.size() <= static_cast<size_t>(FieldNo))
            OwnRuns_.resize(static_cast<size_t>(FieldNo) + 1);
        // Grown by doubling: a record at a time, the bits would be moved
        // again for every record.
        std::vector<bool>& own = OwnRuns_[static_cast<size_t>(FieldNo)];
        if (own.size() <= static_cast<size_t>(RecNo))
            own.resize(std::max<size_t>(static_cast<size_t>(RecNo) + 1, own.size() * 2));
        own[static_cast<size_t>(RecNo)] = true;
    }
}

void TDBFLite::CopyFiles(const std::function<void(TFileStream& File, const std::string& Path)>& Copy)
{
    Flush();
    Copy(*DbfStream_, FileName_);
    if (HasMemoFile_)
        Copy(*MemoStream_, MemoFileName_);
}

void TDBFLite::Commit()
{
    Flush();
    if (Table_)
        Table_->Sync();
}

void TDBFLite::ShrinkMemoAndClose(uint32_t NextBlock)
{
    RequireWritableMemo();
    Commit();
    // The header first: a crash before the cut leaves a longer file whose
    // tail nothing leads to, which every reader takes as it is.
    MemoNextBlock_ = NextBlock;
    unsigned char next[4];
    putBe32(next, NextBlock);
    Memo_->Write(0, next, sizeof next);
    Memo_->Sync();
    // The cache holds nothing unwritten now; its pages past the cut go
    // with it.
    Memo_.reset();
    MemoStream_->Truncate(uint64_t{NextBlock} * MemoBlockSize_);
    MemoStream_->Sync();
    CloseTable();
}
