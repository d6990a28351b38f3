// A write-back cache of one file's pages, between the table layer and its
// file stream. Field reads and writes are a few bytes each; going to the
// system for every one of them costs more than the work itself.
//
// What is written is read back at once, whether or not it has reached the
// file. Only the bytes written through the cache ever go back to the file:
// each page keeps the ranges that changed, not a dirty flag, because the
// table file is shared with the application that owns it, and a page read
// minutes ago must never undo what that application wrote since. Writing the
// same bytes that are there changes nothing and writes nothing.
//
// Changed ranges go out in an order that keeps the file consistent at every
// moment: ascending, but the header bytes (the record count of a table, the
// next free block of a memo file) last, so the header never describes data
// that is not yet there. A hook runs before anything goes out, so a table's
// references wait until the memo texts they lead to are on the disk.
//
// The changed ranges go out with a positional write each, or, when asked to
// and the file system allows it, as stores into a shared mapping of the
// file: the same bytes, in the same order, into the same page cache other
// processes read, at the cost of a copy instead of a system call. A sync
// then syncs the mapping. What lies past the mapped part (records appended
// since, by anyone) still goes out with positional writes.
//
// Another program may cut the file short meanwhile. Before each page's
// ranges go out the file's length is asked: shorter than the cache knows it
// to be, the run stops with an error (ShrunkMessage) instead of writing
// where the file has ended, which would grow it back.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "filestream.h"

class TPageCache {
public:
    // PageSize is a power of two. HeaderBytes: the bytes at the start of
    // the file written last.
    TPageCache(TFileStream& Stream, size_t PageSize, size_t MaxPages, size_t HeaderBytes);
    ~TPageCache();
    TPageCache(const TPageCache&) = delete;
    TPageCache& operator=(const TPageCache&) = delete;

    // Runs before anything is written out.
    std::function<void()> BeforeWriteBack;
    // The header bytes wait until what was written before them is on the
    // disk: a record count must not count records the disk does not hold.
    bool SyncBeforeHeader = false;
    // Changed ranges go out through a shared mapping of the file where
    // MapShared gives one. Decided at the first write-out; see WriteMode.
    bool MapWrites = false;
    // The error raised when the file turns out shorter than it was.
    std::string ShrunkMessage = "The file was cut short by another program";
    // Named in the debug note that says how the file is written.
    std::string Name;
    // Whether the ranges go out through a mapping, once the first have gone.
    bool Mapped() const { return Mapping_ != nullptr; }

    // Reads Count bytes at Offset; bytes past the end of the file read as
    // zero. Returns how many lay within the file.
    size_t Read(uint64_t Offset, void* Buffer, size_t Count)
    {
        // Most reads are a field's few bytes in the page used last.
        if (InLastPage(Offset, Count) && Offset + Count <= Size_) {
            TPage& page = Pages_[Recent_[0]];
            page.Referenced = true;
            CopyBytes(static_cast<char*>(Buffer), page.Bytes.data() + (Offset & (PageSize_ - 1)), Count);
            return Count;
        }
        return ReadSlow(Offset, Buffer, Count);
    }
    void Write(uint64_t Offset, const void* Data, size_t Count)
    {
        if (InLastPage(Offset, Count) && Count < PageSize_) {
            TPage& page = Pages_[Recent_[0]];
            page.Referenced = true;
            const size_t within = static_cast<size_t>(Offset & (PageSize_ - 1));
            char* at = page.Bytes.data() + within;
            if (Offset + Count <= Size_ && std::memcmp(at, Data, Count) == 0)
                return;
            CopyBytes(at, static_cast<const char*>(Data), Count);
            MarkChanged(page, within, within + Count);
            if (Offset + Count > Size_)
                Size_ = Offset + Count;
            return;
        }
        WriteSlow(Offset, Data, Count);
    }
    // The bytes at Offset without copying them: up to Count of them, no
    // further than the end of their page or of the file, their number left
    // in Count (0 at or past the end of the file). Valid until the next call
    // on the cache.
    const char* Peek(uint64_t Offset, size_t& Count)
    {
        if (InLastPage(Offset, 1) && Offset < Size_) {
            TPage& page = Pages_[Recent_[0]];
            page.Referenced = true;
            const size_t within = static_cast<size_t>(Offset & (PageSize_ - 1));
            const uint64_t left = std::min<uint64_t>(PageSize_ - within, Size_ - Offset);
            if (Count > left)
                Count = static_cast<size_t>(left);
            return page.Bytes.data() + within;
        }
        return PeekSlow(Offset, Count);
    }
    // The file's length, counting what is written but not yet flushed.
    uint64_t Size() const { return Size_; }
    // Writes every changed range out, in the order above.
    void Flush();
    // Flush, then waits until the file is on the disk. Once a sync has
    // failed, every later one fails too without asking the system again:
    // after a failed sync the system may have dropped the writes and will
    // not say so twice, so nothing may ever be built on them.
    void Sync();
    bool Dirty() const { return DirtyCount_ > 0; }

private:
    struct TRange {
        uint32_t Begin, End;  // within the page, End exclusive
    };
    struct TPage {
        uint64_t Number = UINT64_MAX;  // none yet, or a read of it failed
        std::vector<char> Bytes;
        // Sorted, neither overlapping nor touching.
        std::vector<TRange> Changed;
        bool Referenced = false;  // used since the clock hand last passed
    };

    // Records Begin..End of Page as changed. Nearly every write lands
    // after or on the last range (records are visited in order).
    void MarkChanged(TPage& Page, size_t Begin, size_t End)
    {
        std::vector<TRange>& ranges = Page.Changed;
        const uint32_t begin = static_cast<uint32_t>(Begin), end = static_cast<uint32_t>(End);
        if (ranges.empty()) {
            ranges.push_back({begin, end});
            ++DirtyCount_;
        } else if (begin > ranges.back().End) {
            ranges.push_back({begin, end});
        } else if (begin >= ranges.back().Begin) {
            if (end > ranges.back().End)
                ranges.back().End = end;
        } else {
            MergeChanged(ranges, begin, end);
        }
    }
    static void MergeChanged(std::vector<TRange>& Ranges, uint32_t Begin, uint32_t End);

    // The page Number, read from the file where the file reaches it.
    TPage& PageFor(uint64_t Number);
    // Most copies are a field's few bytes: done in two overlapping moves
    // rather than by a general copy, whose start-up costs more than them.
    static void CopyBytes(char* To, const char* From, size_t Count)
    {
        if (Count >= 8 && Count <= 16) {
            uint64_t head, tail;
            std::memcpy(&head, From, 8);
            std::memcpy(&tail, From + Count - 8, 8);
            std::memcpy(To, &head, 8);
            std::memcpy(To + Count - 8, &tail, 8);
        } else if (Count >= 4 && Count < 8) {
            uint32_t head, tail;
            std::memcpy(&head, From, 4);
            std::memcpy(&tail, From + Count - 4, 4);
            std::memcpy(To, &head, 4);
            std::memcpy(To + Count - 4, &tail, 4);
        } else if (Count < 4) {
            for (size_t i = 0; i < Count; ++i)
                To[i] = From[i];
        } else {
            std::memcpy(To, From, Count);
        }
    }
    // Whether Count bytes (at least one) at Offset lie in the page used last.
    bool InLastPage(uint64_t Offset, size_t Count) const
    {
        return Count > 0 && Recent_[0] < Pages_.size() && (Offset >> PageShift_) == Pages_[Recent_[0]].Number &&
               ((Offset + Count - 1) >> PageShift_) == Pages_[Recent_[0]].Number;
    }
    size_t ReadSlow(uint64_t Offset, void* Buffer, size_t Count);
    const char* PeekSlow(uint64_t Offset, size_t& Count);
    void WriteSlow(uint64_t Offset, const void* Data, size_t Count);
    // Calls Visit(page bytes, offset in the page, offset in the range,
    // length) for each cached page that overlaps Count bytes at Offset.
    template <typename TVisit>
    void ForEachOverlap(uint64_t Offset, size_t Count, TVisit Visit)
    {
        for (TPage& page : Pages_) {
            if (page.Number == UINT64_MAX)
                continue;
            const uint64_t pageStart = page.Number << PageShift_;
            const uint64_t from = pageStart > Offset ? pageStart : Offset;
            const uint64_t to = pageStart + PageSize_ < Offset + Count ? pageStart + PageSize_ : Offset + Count;
            if (from < to)
                Visit(page.Bytes.data(), static_cast<size_t>(from - pageStart), static_cast<size_t>(from - Offset),
                      static_cast<size_t>(to - from));
        }
    }
    // Writes Page's changed ranges out; those within the header stay
    // behind when KeepHeader, and the last one when KeepLast (it goes out
    // joined with the next page's first).
    void WriteOut(TPage& Page, bool KeepHeader, bool KeepLast = false);
    void WriteToFile(uint64_t Offset, const char* Data, size_t Count);
    // Before changed ranges go out: the file must still be as long as this
    // cache knows it to be; the first time, the mapping is asked for.
    void BeforeWriting();
    void RaiseIfShrunk();
    void SyncFile();
    // Unmaps the file: between runs nothing holds a view of it.
    void ReleaseMapping();

    TFileStream& Stream_;
    size_t PageSize_;
    unsigned PageShift_ = 0;
    size_t MaxPages_;
    size_t HeaderBytes_;
    uint64_t Size_;
    size_t DirtyCount_ = 0;  // pages with changed ranges
    bool Unsynced_ = false;  // written since the last sync
    // The length the file is known to have: what it had, what others were
    // seen to append, what this cache appended. It never shrinks.
    uint64_t KnownSize_;
    bool WriteModeChosen_ = false;
    std::unique_ptr<TFileMapping> Mapping_;
    bool StoredUnsynced_ = false;  // stored into the mapping since its sync
    // The part of the mapping stored into since its pages were released.
    uint64_t StoredFrom_ = UINT64_MAX, StoredTo_ = 0;
    // What this flush has sent to the file so far, stored or written.
    uint64_t WrittenFrom_ = UINT64_MAX, WrittenTo_ = 0;
    std::exception_ptr SyncFailure_;
    std::string Joined_;  // a change across pages, gathered for its one write
    // The slots of the pages used last, the latest first: nearly every
    // access hits one of them again (Rewrite reads a memo file in one place,
    // appends to it in another and keeps its header up to date).
    static constexpr size_t RecentCount = 4;
    size_t Recent_[RecentCount] = {};
    void MakeRecent(size_t Slot);
    // Pages leave as a clock hand passes over them: a page used since the
    // hand last came by stays for another round.
    size_t Hand_ = 0;
    // A slot the hand passes over: a change across two pages holds the
    // first while the second is brought in.
    size_t Pinned_ = SIZE_MAX;
    std::vector<TPage> Pages_;
    std::unordered_map<uint64_t, size_t> Index_;  // page number -> slot in Pages_
};
