// A write-back cache of one file's pages, between the table layer and its
// file stream. Field reads and writes are a few bytes each; going to the
// system for every one of them costs more than the work itself.
//
// What is written is read back at once, whether or not it has reached the
// file. Dirty pages go out in an order that keeps the file consistent at
// every moment: the pages after the first in ascending order, then the
// first page without its header bytes, then the header bytes (the record
// count of a table, the next free block of a memo file), so the header never
// describes data that is not yet there. A hook runs before any page goes out, so a table's
// pages wait until the memo runs they refer to are written.
#pragma once

#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

#include "dbflite/filestream.h"

class TPageCache {
public:
    // PageSize is a power of two. HeaderBytes: the bytes at the start of
    // the file written last.
    TPageCache(TFileStream& Stream, size_t PageSize, size_t MaxPages, size_t HeaderBytes);
    TPageCache(const TPageCache&) = delete;
    TPageCache& operator=(const TPageCache&) = delete;

    // Runs before dirty pages are written out.
    std::function<void()> BeforeWriteBack;

    // Reads Count bytes at Offset; bytes past the end of the file read as
    // zero. Returns how many lay within the file.
    size_t Read(uint64_t Offset, void* Buffer, size_t Count);
    void Write(uint64_t Offset, const void* Data, size_t Count);
    // The file's length, counting what is written but not yet flushed.
    uint64_t Size() const { return Size_; }
    // Writes every dirty page out, in the order above.
    void Flush();
    // Forgets what is not yet written.
    void Discard();
    bool Dirty() const { return DirtyCount_ > 0; }

private:
    struct TPage {
        uint64_t Number = 0;
        std::vector<char> Bytes;
        bool Dirty = false;
        uint64_t LastUse = 0;
    };

    TPage& PageFor(uint64_t Number, bool Fill);
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
    void WriteOut(TPage& Page);

    TFileStream& Stream_;
    size_t PageSize_;
    unsigned PageShift_ = 0;
    size_t MaxPages_;
    size_t HeaderBytes_;
    uint64_t Size_;
    uint64_t Clock_ = 0;
    size_t DirtyCount_ = 0;
    // The two pages used last: most accesses hit one of them again (a memo
    // file is read in one place and appended to in another).
    size_t LastSlot_ = 0;
    size_t PreviousSlot_ = 0;
    std::vector<TPage> Pages_;
    std::unordered_map<uint64_t, size_t> Index_;  // page number -> slot in Pages_
};
