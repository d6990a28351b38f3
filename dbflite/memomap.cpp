#include "dbflite/memomap.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "strutil/strutil.h"

namespace {

// The standard memo header fills the first 512 bytes whatever the block size.
constexpr uint64_t MemoHeaderArea = 512;
constexpr uint64_t BlockHeaderSize = 8;
constexpr uint32_t TypeText = 1;
constexpr uint32_t TypeFreed = 1000;
constexpr uint32_t TypeFreedLast = 1001;
constexpr size_t WindowSize = size_t{4} << 20;

uint32_t Be32(const char* p)
{
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return static_cast<uint32_t>(u[0]) << 24 | static_cast<uint32_t>(u[1]) << 16 |
           static_cast<uint32_t>(u[2]) << 8 | static_cast<uint32_t>(u[3]);
}

uint64_t Rotl(uint64_t V, int N) { return V << N | V >> (64 - N); }

uint64_t Mix(uint64_t K)
{
    K ^= K >> 33;
    K *= 0xff51afd7ed558ccdull;
    K ^= K >> 33;
    K *= 0xc4ceb9fe1a85ec53ull;
    K ^= K >> 33;
    return K;
}

// Two independent 64-bit lanes over 8-byte words: an old copy is told by
// its length and 128 bits of hash, so a text is never read twice to compare.
class THasher {
public:
    void Add(const char* P, size_t N)
    {
        Length_ += N;
        while (TailBytes_ > 0 && TailBytes_ < 8 && N > 0) {
            Tail_[TailBytes_++] = *P++;
            --N;
        }
        if (TailBytes_ == 8) {
            Word(Tail_);
            TailBytes_ = 0;
        }
        for (; N >= 8; P += 8, N -= 8)
            Word(P);
        for (; N > 0; --N)
            Tail_[TailBytes_++] = *P++;
    }
    void Final(uint64_t Out[2])
    {
        std::memset(Tail_ + TailBytes_, 0, 8 - TailBytes_);
        Word(Tail_);
        Out[0] = Mix(A_ ^ Length_);
        Out[1] = Mix(B_ + Length_ * 0x9E3779B97F4A7C15ull);
    }

private:
    void Word(const char* P)
    {
        uint64_t w;
        std::memcpy(&w, P, 8);
        A_ = Rotl((A_ ^ w) * 0x87c37b91114253d5ull, 31);
        B_ = (B_ + w) * 0x9FB21C651E98DF25ull;
        B_ ^= B_ >> 29;
    }
    uint64_t A_ = 0x9E3779B97F4A7C15ull;
    uint64_t B_ = 0xC2B2AE3D27D4EB4Full;
    uint64_t Length_ = 0;
    char Tail_[8] = {};
    size_t TailBytes_ = 0;
};

struct TTextKey {
    uint64_t Length;
    uint64_t Hash[2];
    bool operator<(const TTextKey& O) const
    {
        if (Length != O.Length)
            return Length < O.Length;
        if (Hash[0] != O.Hash[0])
            return Hash[0] < O.Hash[0];
        return Hash[1] < O.Hash[1];
    }
    bool operator==(const TTextKey& O) const
    {
        return Length == O.Length && Hash[0] == O.Hash[0] && Hash[1] == O.Hash[1];
    }
};

class TBits {
public:
    explicit TBits(uint64_t Count) : Words_((Count + 63) / 64, 0) {}
    void SetRange(uint64_t From, uint64_t To)
    {
        for (uint64_t i = From; i < To;) {
            if (i % 64 == 0 && To - i >= 64) {
                Words_[i / 64] = ~uint64_t{0};
                i += 64;
            } else {
                Words_[i / 64] |= uint64_t{1} << (i % 64);
                ++i;
            }
        }
    }
    bool Test(uint64_t I) const { return (Words_[I / 64] >> (I % 64) & 1) != 0; }
    // The first set bit from I on; Limit when there is none before it.
    uint64_t NextSet(uint64_t I, uint64_t Limit) const
    {
        while (I < Limit) {
            const uint64_t word = Words_[I / 64] >> (I % 64);
            if (I % 64 == 0 && word == 0) {
                I += 64;
                continue;
            }
            if ((word & 1) != 0)
                return I;
            ++I;
        }
        return Limit;
    }
    // The first clear bit from I on; Limit when there is none before it.
    uint64_t NextClear(uint64_t I, uint64_t Limit) const
    {
        while (I < Limit) {
            const uint64_t word = Words_[I / 64] >> (I % 64);
            if (I % 64 == 0 && word == ~uint64_t{0}) {
                I += 64;
                continue;
            }
            if ((word & 1) == 0)
                return I;
            ++I;
        }
        return Limit;
    }

private:
    std::vector<uint64_t> Words_;
};

}  // namespace

// A window of the memo file in memory, moved on as the scan goes forward:
// the scan and the texts it hashes read the file front to back in large
// pieces, whatever the cache of the table layer holds.
struct TMemoMap::TWindow {
    TFileStream& Stream;
    uint64_t FileSize;
    std::vector<char> Buffer;
    uint64_t Start = 0;
    size_t Length = 0;

    TWindow(TFileStream& S, uint64_t Size) : Stream(S), FileSize(Size), Buffer(WindowSize) {}

    // Count bytes at Offset, all inside the file and at most WindowSize.
    const char* Get(uint64_t Offset, size_t Count)
    {
        if (Offset < Start || Offset + Count > Start + Length) {
            Start = Offset;
            const size_t want = static_cast<size_t>(std::min<uint64_t>(WindowSize, FileSize - Offset));
            Length = Stream.ReadAt(Offset, Buffer.data(), want);
            if (Length < Count)
                throw EError("Ошибка чтения MEMO файла");
        }
        return Buffer.data() + (Offset - Start);
    }
};

bool TMemoMap::IsRunStart(uint64_t Offset, uint32_t Type)
{
    return Offset >= MemoHeaderArea && Type < 65536 && Type != TypeFreed && Type != TypeFreedLast;
}

TMemoMap::TMemoMap(TDBFLite& Table) : Table_(Table)
{
    for (size_t i = 0; i < Table.Fields.size(); ++i)
        if (Table.Fields[i].FieldType == 'M')
            MemoFields_.push_back(static_cast<int>(i));
    if (!Table.HasMemoFile || Table.MemoBlockSize == 0)
        return;
    Findings_.Mapped = true;
    BlockSize_ = Table.MemoBlockSize;
    FileSize_ = Table.MemoFileSize();
    Blocks_ = (FileSize_ + BlockSize_ - 1) / BlockSize_;
}

void TMemoMap::AddRecord(int32_t RecNo)
{
    if (!Findings_.Mapped)
        return;
    for (int field : MemoFields_) {
        const TMemoRunInfo run = Table_.MemoRunOf(RecNo, field);
        if (!run.InFile || run.Block > std::numeric_limits<uint32_t>::max())
            continue;
        ++Findings_.References;
        TRef ref{static_cast<uint32_t>(run.Block), 0};
        if (IsRunStart(run.Offset, run.Type)) {
            const uint64_t blocks = (BlockHeaderSize + run.Present + BlockSize_ - 1) / BlockSize_;
            ref.Blocks = static_cast<uint32_t>(std::min<uint64_t>(blocks, std::numeric_limits<uint32_t>::max()));
        } else {
            ++Findings_.NotRunStart;
        }
        Refs_.push_back(ref);
    }
}

void TMemoMap::AddAllRecords(const std::function<void(int64_t, int64_t)>& Progress)
{
    const int32_t records = Table_.RecordsInFile();
    for (int32_t r = 0; r < records; ++r) {
        if (Progress && (r + 1) % 1000 == 0)
            Progress(r + 1, records);
        AddRecord(r);
    }
}

void TMemoMap::HashText(TWindow& Window, uint64_t Offset, uint64_t Length, uint64_t& Trimmed, uint64_t Hash[2])
{
    THasher hasher;
    if (Length <= WindowSize) {
        const char* p = Window.Get(Offset, static_cast<size_t>(Length));
        size_t t = static_cast<size_t>(Length);
        while (t > 0 && IsBlankChar(p[t - 1]))
            --t;
        Trimmed = t;
        hasher.Add(p, t);
        hasher.Final(Hash);
        return;
    }
    // A text longer than the window: its end first, for the trailing blanks.
    Trimmed = 0;
    for (uint64_t end = Offset + Length; end > Offset && Trimmed == 0;) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(WindowSize, end - Offset));
        const char* p = Window.Get(end - count, count);
        size_t t = count;
        while (t > 0 && IsBlankChar(p[t - 1]))
            --t;
        if (t > 0)
            Trimmed = end - count + t - Offset;
        end -= count;
    }
    for (uint64_t done = 0; done < Trimmed;) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(WindowSize, Trimmed - done));
        hasher.Add(Window.Get(Offset + done, count), count);
        done += count;
    }
    hasher.Final(Hash);
}

void TMemoMap::Scan(const std::function<void(int64_t, int64_t)>& Progress)
{
    Orphans_.clear();
    if (!Findings_.Mapped)
        return;
    TMemoMapFindings& f = Findings_;

    // References in block order: those sharing a block are cross-linked,
    // and a run starting before the end of the one before it overlaps it.
    std::sort(Refs_.begin(), Refs_.end(),
              [](const TRef& A, const TRef& B) { return A.Block != B.Block ? A.Block < B.Block : A.Blocks > B.Blocks; });
    std::vector<TRef> runs;  // one per block that references lead to and that starts a run
    TBits covered(Blocks_);
    const uint64_t nextFree = Table_.MemoNextBlock;
    uint64_t reach = 0;          // the furthest end of the runs so far
    size_t reachRun = SIZE_MAX;  // the run that reaches it
    std::vector<bool> overlapping;
    for (size_t i = 0; i < Refs_.size();) {
        size_t j = i + 1;
        while (j < Refs_.size() && Refs_[j].Block == Refs_[i].Block)
            ++j;
        if (j - i > 1) {
            ++f.CrossLinkedRuns;
            f.CrossLinkedReferences += j - i;
        }
        const TRef& ref = Refs_[i];
        if (ref.Blocks > 0) {
            const uint64_t end = std::min<uint64_t>(uint64_t{ref.Block} + ref.Blocks, Blocks_);
            covered.SetRange(ref.Block, end);
            if (uint64_t{ref.Block} + ref.Blocks > nextFree)
                ++f.PastNextFree;
            runs.push_back(ref);
            overlapping.push_back(false);
            if (ref.Block < reach) {
                overlapping.back() = true;
                overlapping[reachRun] = true;
            }
            if (end > reach) {
                reach = end;
                reachRun = runs.size() - 1;
            }
        }
        i = j;
    }
    f.OverlappingRuns = static_cast<uint64_t>(std::count(overlapping.begin(), overlapping.end(), true));
    Refs_.clear();
    Refs_.shrink_to_fit();

    // One pass front to back. The texts references lead to are hashed as
    // the pass reaches them; between them, a block whose header is that of
    // a text that fits in the file starts an orphan, and the pass goes on
    // after it. Blocks inside referenced runs are never taken for headers:
    // a text may hold bytes that look like one.
    TWindow window(*Table_.MemoStream, FileSize_);
    std::vector<TTextKey> live;
    live.reserve(runs.size());
    size_t next = 0;
    uint64_t block = (MemoHeaderArea + BlockSize_ - 1) / BlockSize_;
    uint64_t lastShown = 0;
    for (;;) {
        for (; next < runs.size() && runs[next].Block <= block; ++next) {
            const uint64_t offset = uint64_t{runs[next].Block} * BlockSize_;
            if (offset + BlockHeaderSize > FileSize_)
                continue;
            const uint64_t length = Be32(window.Get(offset, BlockHeaderSize) + 4);
            const uint64_t present = std::min<uint64_t>(length, FileSize_ - offset - BlockHeaderSize);
            TTextKey key{};
            HashText(window, offset + BlockHeaderSize, present, key.Length, key.Hash);
            live.push_back(key);
        }
        if (block >= Blocks_)
            break;
        if (covered.Test(block)) {
            block = covered.NextClear(block, Blocks_);
            continue;
        }
        const uint64_t offset = block * BlockSize_;
        if (offset + BlockHeaderSize > FileSize_)
            break;
        if (Progress && offset - lastShown >= (uint64_t{16} << 20)) {
            Progress(static_cast<int64_t>(offset), static_cast<int64_t>(FileSize_));
            lastShown = offset;
        }
        const char* header = window.Get(offset, BlockHeaderSize);
        const uint32_t type = Be32(header);
        const uint64_t length = Be32(header + 4);
        if (type != TypeText || length > FileSize_ - offset - BlockHeaderSize) {
            ++block;
            continue;
        }
        TMemoOrphan orphan;
        orphan.Block = block;
        orphan.TextOffset = offset + BlockHeaderSize;
        orphan.RunLength = length;
        // A length reaching into a run a reference leads to is damaged (it
        // is often the length of a text the old end of the file cut short,
        // which new runs have since followed): the text ends there.
        uint64_t end = std::min<uint64_t>(block + (BlockHeaderSize + length + BlockSize_ - 1) / BlockSize_, Blocks_);
        const uint64_t live = covered.NextSet(block + 1, end);
        uint64_t textLength = length;
        if (live < end) {
            end = live;
            textLength = std::min(length, live * BlockSize_ > orphan.TextOffset ? live * BlockSize_ - orphan.TextOffset : 0);
        }
        HashText(window, orphan.TextOffset, textLength, orphan.Length, orphan.Hash);
        Orphans_.push_back(orphan);
        block = std::max(end, block + 1);
    }

    std::sort(live.begin(), live.end());
    for (TMemoOrphan& orphan : Orphans_) {
        const TTextKey key{orphan.Length, {orphan.Hash[0], orphan.Hash[1]}};
        orphan.OldCopy = std::binary_search(live.begin(), live.end(), key);
        ++f.Orphans;
        f.OrphanBytes += orphan.RunLength;
        if (orphan.OldCopy) {
            ++f.OldCopies;
            f.OldCopyBytes += orphan.RunLength;
        } else if (orphan.Length == 0) {
            ++f.BlankOrphans;
        } else {
            ++f.LostTexts;
            f.LostTextBytes += orphan.RunLength;
        }
    }
    if (Progress)
        Progress(static_cast<int64_t>(FileSize_), static_cast<int64_t>(FileSize_));
}

void TMemoMap::ReadText(const TMemoOrphan& Orphan, const std::function<void(const char*, size_t)>& Sink)
{
    std::vector<char> buffer(static_cast<size_t>(std::min<uint64_t>(Orphan.Length, WindowSize)));
    for (uint64_t done = 0; done < Orphan.Length;) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(buffer.size(), Orphan.Length - done));
        if (Table_.MemoStream->ReadAt(Orphan.TextOffset + done, buffer.data(), count) < count)
            throw EError("Ошибка чтения MEMO файла");
        Sink(buffer.data(), count);
        done += count;
    }
}
