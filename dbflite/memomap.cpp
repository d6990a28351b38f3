#include "memomap.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "fptlayout.h"
#include "strutil.h"

namespace {

constexpr size_t WindowSize = size_t{4} << 20;

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

// Four independent 64-bit lanes over 32-byte blocks, each lane a bijection
// of its state per word (xor, multiply by an odd number, rotate), so two
// texts of one length that differ anywhere leave different lane states;
// the lanes are folded into 128 bits at the end. An old copy is told by its
// length and those 128 bits, so a text is never read twice to compare. The
// lanes do not wait on each other: the hash keeps up with reading the file.
class THasher {
public:
    void Add(const char* P, size_t N)
    {
        Length_ += N;
        if (TailBytes_ > 0) {
            const size_t take = std::min(N, BlockBytes - TailBytes_);
            std::memcpy(Tail_ + TailBytes_, P, take);
            TailBytes_ += take;
            P += take;
            N -= take;
            if (TailBytes_ < BlockBytes)
                return;
            Block(Tail_);
            TailBytes_ = 0;
        }
        for (; N >= BlockBytes; P += BlockBytes, N -= BlockBytes)
            Block(P);
        std::memcpy(Tail_, P, N);
        TailBytes_ = N;
    }
    void Final(uint64_t Out[2])
    {
        if (TailBytes_ > 0) {
            std::memset(Tail_ + TailBytes_, 0, BlockBytes - TailBytes_);
            Block(Tail_);
        }
        const uint64_t a = Mix(Lane_[0] ^ Rotl(Lane_[1], 23) ^ Length_);
        const uint64_t b = Mix(Lane_[2] + Rotl(Lane_[3], 41) + Length_ * 0x9E3779B97F4A7C15ull);
        Out[0] = Mix(a ^ Rotl(Lane_[2], 17) ^ Lane_[3]);
        Out[1] = Mix(b + Rotl(Lane_[0], 13) + Lane_[1] * 0xC2B2AE3D27D4EB4Full);
    }

private:
    static constexpr size_t BlockBytes = 32;
    void Block(const char* P)
    {
        static constexpr uint64_t Multipliers[4] = {0x87c37b91114253d5ull, 0x4cf5ad432745937full, 0x9FB21C651E98DF25ull,
                                                    0xff51afd7ed558ccdull};
        for (int i = 0; i < 4; ++i) {
            uint64_t w;
            std::memcpy(&w, P + 8 * i, 8);
            Lane_[i] = Rotl((Lane_[i] ^ w) * Multipliers[i], 31 - 2 * i);
        }
    }
    uint64_t Lane_[4] = {0x9E3779B97F4A7C15ull, 0xC2B2AE3D27D4EB4Full, 0x165667B19E3779F9ull, 0x27D4EB2F165667C5ull};
    uint64_t Length_ = 0;
    char Tail_[BlockBytes] = {};
    size_t TailBytes_ = 0;
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

TMemoMap::TMemoMap(TDBFLite& Table, TFileSystem& Files) : Table_(Table), Files_(Files)
{
    // Pictures and blobs of other fields are live runs too, never lost texts.
    MemoFields_ = Table.MemoFileFields();
    if (!Table.HasMemoFile() || Table.MemoBlockSize() == 0)
        return;
    Findings_.Mapped = true;
    BlockSize_ = Table.MemoBlockSize();
    FileSize_ = Table.MemoFileSize();
    Blocks_ = (FileSize_ + BlockSize_ - 1) / BlockSize_;
    const size_t words = static_cast<size_t>((Blocks_ + 64) / 64);
    Starts_.assign(words, 0);
    Seen_.assign(words, 0);
    Shared_.assign(words, 0);
}

void TMemoMap::AddRecord(int32_t RecNo)
{
    if (!Findings_.Mapped)
        return;
    for (int field : MemoFields_)
        AddReference(RecNo, field, Table_.MemoRunOf(RecNo, field));
}

void TMemoMap::AddReference(int32_t RecNo, int FieldNo, const TMemoRunInfo& Run)
{
    if (!Findings_.Mapped || !Run.InFile || (!Ignored_.empty() && Ignored_.count({RecNo, FieldNo}) != 0))
        return;
    ++Findings_.References;
    const uint64_t block = static_cast<uint64_t>(Run.Block);
    const uint64_t bit = uint64_t{1} << (block % 64);
    const size_t word = static_cast<size_t>(block / 64);
    if ((Seen_[word] & bit) == 0) {
        Seen_[word] |= bit;
    } else if ((Shared_[word] & bit) == 0) {
        Shared_[word] |= bit;
        ++Findings_.CrossLinkedRuns;
        Findings_.CrossLinkedReferences += 2;
    } else {
        ++Findings_.CrossLinkedReferences;
    }
    if (IsRunStart(Run.Offset, Run.Type))
        Starts_[word] |= bit;
    else
        ++Findings_.NotRunStart;
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
        hasher.Add(p, static_cast<size_t>(Length));
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
    for (uint64_t done = 0; done < Length;) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(WindowSize, Length - done));
        hasher.Add(Window.Get(Offset + done, count), count);
        done += count;
    }
    hasher.Final(Hash);
}

namespace {

// The texts references lead to, by length and hash, in a table of open
// addressing: 16 bytes a text, one probe for most look-ups.
class TTextSet {
public:
    static constexpr size_t None = SIZE_MAX;
    explicit TTextSet(uint64_t Count)
    {
        size_t slots = 16;
        while (slots < Count * 2)
            slots *= 2;
        Slots_.assign(slots, TSlot{0, 0});
    }
    size_t Slots() const { return Slots_.size(); }
    // The slot that holds the key, put there if it was not.
    size_t Insert(uint64_t Length, const uint64_t Hash[2])
    {
        const TSlot key = Key(Length, Hash);
        for (size_t i = static_cast<size_t>(key.A) & (Slots_.size() - 1);; i = (i + 1) & (Slots_.size() - 1)) {
            if (Slots_[i].A == key.A && Slots_[i].B == key.B)
                return i;
            if (Slots_[i].A == 0 && Slots_[i].B == 0) {
                Slots_[i] = key;
                return i;
            }
        }
    }
    // The slot that holds the key, or None.
    size_t Find(uint64_t Length, const uint64_t Hash[2]) const
    {
        const TSlot key = Key(Length, Hash);
        for (size_t i = static_cast<size_t>(key.A) & (Slots_.size() - 1);; i = (i + 1) & (Slots_.size() - 1)) {
            if (Slots_[i].A == key.A && Slots_[i].B == key.B)
                return i;
            if (Slots_[i].A == 0 && Slots_[i].B == 0)
                return None;
        }
    }

private:
    struct TSlot {
        uint64_t A, B;
    };
    static TSlot Key(uint64_t Length, const uint64_t Hash[2])
    {
        TSlot key{Hash[0], Hash[1] ^ Mix(Length + 1)};
        if (key.A == 0 && key.B == 0)
            key.A = 1;  // the empty slot's value
        return key;
    }
    std::vector<TSlot> Slots_;
};

unsigned TrailingZeros(uint64_t Word)  // of a word that is not 0
{
#if defined(__GNUC__)
    return static_cast<unsigned>(__builtin_ctzll(Word));
#else
    unsigned n = 0;
    for (; (Word & 1) == 0; Word >>= 1)
        ++n;
    return n;
#endif
}

bool TestBit(const std::vector<uint64_t>& Bits, uint64_t I)
{
    return (Bits[static_cast<size_t>(I / 64)] >> (I % 64) & 1) != 0;
}

// The first set bit from I on, before Limit; Limit when there is none.
uint64_t NextSetBit(const std::vector<uint64_t>& Bits, uint64_t I, uint64_t Limit)
{
    while (I < Limit) {
        const uint64_t word = Bits[static_cast<size_t>(I / 64)] >> (I % 64);
        if (word != 0) {
            const uint64_t at = I + TrailingZeros(word);
            return at < Limit ? at : Limit;
        }
        I = (I / 64 + 1) * 64;
    }
    return Limit;
}

}  // namespace

// What one pass over the memo file carries from block to block.
struct TMemoMap::TPass {
    TWindow& Window;
    uint64_t NextFree;
    // The furthest end of the runs started so far, and whether the run that
    // reaches there is counted as overlapping.
    uint64_t Reach = 0;
    bool ReachOverlaps = false;
};

namespace {

constexpr uint64_t LengthBits = uint64_t{1} << 20;
uint64_t LengthBit(uint64_t Length) { return Mix(Length + 0x51ED27) & (LengthBits - 1); }

}  // namespace

void TMemoMap::Scan(const std::function<void(int64_t, int64_t)>& Progress)
{
    Orphans_.clear();
    if (!Findings_.Mapped)
        return;
    // The table holds the memo file open read-only, shared: a second
    // stream reads it in large pieces past the layer's cache.
    Stream_ = Files_.Open(Table_.MemoFileName(), TFileAccess::Read, TFileShare::DenyNone);
    TWindow window(*Stream_, FileSize_);
    TPass pass{window, Table_.MemoNextBlock()};
    // One pass front to back. A run a reference leads to covers the blocks
    // up to its end, so a block is covered when it lies below the furthest
    // end of the runs started before it (reach). A run starting below reach overlaps
    // the run that reaches there. Between them, a block whose header is that
    // of a text that fits in the file starts an orphan, and the pass goes on
    // after it. Blocks inside covered runs are never taken for headers: a
    // text may hold bytes that look like one.
    uint64_t block = (MemoHeaderArea + BlockSize_ - 1) / BlockSize_;
    uint64_t lastShown = 0;
    while (block < Blocks_) {
        const uint64_t offset = block * BlockSize_;
        if (offset + MemoBlockHeaderSize > FileSize_)
            break;
        if (Progress && offset - lastShown >= (uint64_t{16} << 20)) {
            Progress(static_cast<int64_t>(offset), static_cast<int64_t>(FileSize_));
            lastShown = offset;
        }
        if (!TestBit(Starts_, block)) {
            block = PassMaybeOrphan(pass, block);
            continue;
        }
        PassLiveRun(pass, block);
        // Inside the run only other runs' starts matter.
        for (uint64_t s = NextSetBit(Starts_, block + 1, pass.Reach); s < pass.Reach;
             s = NextSetBit(Starts_, s + 1, pass.Reach))
            PassLiveRun(pass, s);
        block = std::max(pass.Reach, block + 1);
    }
    TallyOrphans(window);
    if (Progress)
        Progress(static_cast<int64_t>(FileSize_), static_cast<int64_t>(FileSize_));
}

uint64_t TMemoMap::PresentOf(TWindow& Window, uint64_t At)
{
    // A header the end of the file cuts short holds no text.
    const uint64_t offset = At * BlockSize_;
    if (offset + MemoBlockHeaderSize > FileSize_)
        return 0;
    const uint64_t length = be32(Window.Get(offset, MemoBlockHeaderSize) + 4);
    return std::min<uint64_t>(length, FileSize_ - offset - MemoBlockHeaderSize);
}

void TMemoMap::PassLiveRun(TPass& Pass, uint64_t At)
{
    TMemoMapFindings& f = Findings_;
    const uint64_t present = PresentOf(Pass.Window, At);
    const uint64_t end = At + (MemoBlockHeaderSize + present + BlockSize_ - 1) / BlockSize_;
    if (end > Pass.NextFree)
        ++f.PastNextFree;
    const bool overlaps = At < Pass.Reach;
    if (overlaps) {
        ++f.OverlappingRuns;
        if (!Pass.ReachOverlaps)
            ++f.OverlappingRuns;
        Pass.ReachOverlaps = true;
    }
    if (end > Pass.Reach) {
        Pass.Reach = end;
        Pass.ReachOverlaps = overlaps;
    }
}

uint64_t TMemoMap::PassMaybeOrphan(TPass& Pass, uint64_t Block)
{
    const uint64_t offset = Block * BlockSize_;
    const char* header = Pass.Window.Get(offset, MemoBlockHeaderSize);
    const uint32_t type = be32(header);
    const uint64_t length = be32(header + 4);
    if (type != MemoTypeText || length > FileSize_ - offset - MemoBlockHeaderSize)
        return Block + 1;
    // A length reaching into a run a reference leads to is damaged (it is
    // often the length of a text the old end of the file cut short, which
    // new runs have since followed): the text ends there.
    uint64_t end = std::min<uint64_t>(Block + (MemoBlockHeaderSize + length + BlockSize_ - 1) / BlockSize_, Blocks_);
    const uint64_t next = NextSetBit(Starts_, Block + 1, end);
    uint64_t textLength = length;
    if (next < end) {
        end = next;
        const uint64_t liveStart = next * BlockSize_;
        const uint64_t textStart = offset + MemoBlockHeaderSize;
        textLength = std::min<uint64_t>(length, liveStart > textStart ? liveStart - textStart : 0);
    }
    TMemoOrphan orphan;
    orphan.Block = Block;
    orphan.RunLength = static_cast<uint32_t>(length);
    uint64_t trimmed = 0;
    HashText(Pass.Window, offset + MemoBlockHeaderSize, textLength, trimmed, orphan.Hash);
    orphan.Length = static_cast<uint32_t>(trimmed);
    orphan.Stored = static_cast<uint32_t>(textLength);
    Orphans_.push_back(orphan);
    return std::max(end, Block + 1);
}

void TMemoMap::TallyOrphans(TWindow& Window)
{
    // An orphan is an old copy when a run a reference leads to holds the
    // same bytes. The runs' texts are hashed only now, in a second pass,
    // and only those as long as an orphan: memory goes to the orphans
    // alone, and a table without orphans costs no hashing at all.
    //
    // For that pass: the orphans' keys; a bit for each length they have (by
    // its hash: a bit set for another length costs a hash, never a wrong
    // answer); each orphan's slot among the keys; a bit per slot found.
    std::vector<uint32_t> slotOf;
    std::vector<uint64_t> found;
    if (!Orphans_.empty()) {
        TTextSet keys(Orphans_.size());
        std::vector<uint64_t> lengths(static_cast<size_t>(LengthBits / 64), 0);
        slotOf.reserve(Orphans_.size());
        for (const TMemoOrphan& orphan : Orphans_) {
            slotOf.push_back(static_cast<uint32_t>(keys.Insert(orphan.Stored, orphan.Hash)));
            const uint64_t bit = LengthBit(orphan.Stored);
            lengths[static_cast<size_t>(bit / 64)] |= uint64_t{1} << (bit % 64);
        }
        found.assign((keys.Slots() + 63) / 64, 0);
        // Every run a reference leads to, in block order; a header the end
        // of the file cuts short holds no text.
        for (uint64_t at = NextSetBit(Starts_, 0, Blocks_); at < Blocks_; at = NextSetBit(Starts_, at + 1, Blocks_)) {
            const uint64_t offset = at * BlockSize_;
            if (offset + MemoBlockHeaderSize > FileSize_)
                break;
            const uint64_t present = PresentOf(Window, at);
            // Only a text as long as some orphan may be its copy.
            if (!TestBit(lengths, LengthBit(present)))
                continue;
            uint64_t hash[2];
            uint64_t trimmed = 0;
            HashText(Window, offset + MemoBlockHeaderSize, present, trimmed, hash);
            const size_t slot = keys.Find(present, hash);
            if (slot != TTextSet::None)
                found[slot / 64] |= uint64_t{1} << (slot % 64);
        }
    }
    TMemoMapFindings& f = Findings_;
    for (size_t i = 0; i < Orphans_.size(); ++i) {
        TMemoOrphan& orphan = Orphans_[i];
        orphan.OldCopy = TestBit(found, slotOf[i]);
        ++f.Orphans;
        f.OrphanBytes += orphan.RunLength;
        if (orphan.OldCopy) {
            ++f.OldCopies;
            f.OldCopyBytes += orphan.RunLength;
        } else if (orphan.Length == 0) {
            ++f.BlankOrphans;
            f.BlankOrphanBytes += orphan.RunLength;
        } else {
            ++f.LostTexts;
            f.LostTextBytes += orphan.RunLength;
        }
    }
}

void TMemoMap::ReadText(const TMemoOrphan& Orphan, const std::function<void(const char*, size_t)>& Sink)
{
    std::vector<char> buffer(static_cast<size_t>(std::min<uint64_t>(Orphan.Length, WindowSize)));
    const uint64_t start = Orphan.Block * BlockSize_ + MemoBlockHeaderSize;
    for (uint64_t done = 0; done < Orphan.Length;) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(buffer.size(), Orphan.Length - done));
        if (!Stream_)
            Stream_ = Files_.Open(Table_.MemoFileName(), TFileAccess::Read, TFileShare::DenyNone);
        if (Stream_->ReadAt(start + done, buffer.data(), count) < count)
            throw EError("Ошибка чтения MEMO файла " + Table_.MemoFileName());
        Sink(buffer.data(), count);
        done += count;
    }
}
