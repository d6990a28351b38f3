// The write-back page cache under the table layer: coherence of reads with
// writes not yet flushed, and the order in which pages reach the file.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "pagecache.h"
#include "memfs.h"

namespace {

// A stream that records where each write went, in Writes, and how, in How:
// 'w' a positional write, 's' a sync of the file, and when Mappable, 'm' a
// store into its mapping and 'S' a sync of the mapping (a sync is recorded
// in Writes as {UINT64_MAX, 0}). CutAtSizeCall: the call of Size() after
// which another program cuts the file to CutTo bytes, the caller told the
// length from before.
class TRecordingStream : public TFileStream {
public:
    std::string Bytes;
    std::vector<std::pair<uint64_t, size_t>> Writes;
    std::string How;
    int Reads = 0;
    bool Mappable = false;
    int SizeCalls = 0, CutAtSizeCall = 0;
    size_t CutTo = 0;

    size_t ReadAt(uint64_t Offset, void* Buffer, size_t Count) override
    {
        ++Reads;
        size_t got = Offset < Bytes.size() ? std::min<size_t>(Count, Bytes.size() - static_cast<size_t>(Offset)) : 0;
        if (got)
            std::memcpy(Buffer, Bytes.data() + Offset, got);
        std::memset(static_cast<char*>(Buffer) + got, 0, Count - got);
        return got;
    }
    void WriteAt(uint64_t Offset, const void* Data, size_t Count) override
    {
        Record(Offset, Data, Count, 'w');
        if (Offset + Count > Bytes.size())
            Bytes.resize(static_cast<size_t>(Offset + Count), '\0');
        std::memcpy(&Bytes[static_cast<size_t>(Offset)], Data, Count);
    }
    uint64_t Size() override
    {
        const uint64_t size = Bytes.size();
        if (++SizeCalls == CutAtSizeCall)
            Bytes.resize(CutTo);
        return size;
    }
    void Sync() override { Record(UINT64_MAX, nullptr, 0, 's'); }

    std::unique_ptr<TFileMapping> MapShared(uint64_t Size, std::string& WhyNot) override
    {
        if (!Mappable) {
            WhyNot = "not mappable";
            return nullptr;
        }
        return std::make_unique<TMapping>(*this, Size);
    }

private:
    void Record(uint64_t Offset, const void*, size_t Count, char Kind)
    {
        Writes.emplace_back(Offset, Count);
        How += Kind;
    }
    struct TMapping : TFileMapping {
        TRecordingStream& File;
        uint64_t Mapped;
        TMapping(TRecordingStream& F, uint64_t S) : File(F), Mapped(S) {}
        uint64_t Size() const override { return Mapped; }
        void Store(uint64_t Offset, const void* Data, size_t Count) override
        {
            // A store past the end of the file is what raises SIGBUS.
            if (Offset + Count > File.Bytes.size() || Offset + Count > Mapped)
                throw EStreamError(WriteErrorText(), TIoFailure::Other, 7);
            File.Record(Offset, Data, Count, 'm');
            std::memcpy(&File.Bytes[static_cast<size_t>(Offset)], Data, Count);
        }
        void Sync() override { File.Record(UINT64_MAX, nullptr, 0, 'S'); }
    };
};

std::string ReadBack(TPageCache& Cache, uint64_t Offset, size_t Count)
{
    std::string out(Count, 'X');
    Cache.Read(Offset, &out[0], Count);
    return out;
}

}  // namespace

TEST(PageCache, ReadsSeeWritesBeforeTheyReachTheFile)
{
    TRecordingStream file;
    file.Bytes = std::string(1000, 'a');
    TPageCache cache(file, 64, 4, 8);
    cache.Write(60, "0123456789", 10);  // across two pages
    EXPECT_TRUE(file.Writes.empty());
    EXPECT_EQ(ReadBack(cache, 58, 14), "aa0123456789aa");
    cache.Write(1100, "end", 3);  // past the end of the file
    EXPECT_EQ(cache.Size(), 1103u);
    EXPECT_EQ(ReadBack(cache, 1095, 10), std::string("\0\0\0\0\0end\0\0", 10));
    // A long read comes from the file with the unwritten pages laid over it.
    const std::string whole = ReadBack(cache, 0, 1103);
    EXPECT_EQ(whole.substr(60, 10), "0123456789");
    EXPECT_EQ(whole.substr(1100), "end");
    cache.Flush();
    EXPECT_EQ(file.Bytes.substr(60, 10), "0123456789");
    EXPECT_EQ(file.Bytes.size(), 1103u);
}

TEST(PageCache, LongWritesGoStraightOutAndKeepCachedPagesTrue)
{
    TRecordingStream file;
    file.Bytes = std::string(300, 'a');
    TPageCache cache(file, 64, 4, 8);
    EXPECT_EQ(ReadBack(cache, 130, 2), "aa");  // page 2 now cached
    cache.Write(100, std::string(100, 'b').data(), 100);
    ASSERT_EQ(file.Writes.size(), 1u);
    EXPECT_EQ(ReadBack(cache, 128, 4), "bbbb");
    EXPECT_EQ(file.Bytes.substr(100, 100), std::string(100, 'b'));
}

TEST(PageCache, OnlyTheBytesWrittenReachTheFileHeaderLast)
{
    // The same ranges in the same order, written or stored into a mapping.
    const struct {
        bool Mapped;
        const char* How;
    } cases[] = {{false, "wwwsw"}, {true, "mmmSm"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.How);
        TRecordingStream file;
        file.Bytes = std::string(300, 'a');
        file.Mappable = c.Mapped;
        TPageCache cache(file, 64, 8, 8);
        cache.SyncBeforeHeader = true;
        cache.MapWrites = true;
        EXPECT_EQ(ReadBack(cache, 0, 300), file.Bytes);  // every page cached
        // Another program changes the file under the cache: none of its bytes
        // may come back from the cache's old copy.
        file.Bytes.replace(30, 5, "OTHER");
        file.Bytes.replace(200, 5, "THEIR");
        cache.Write(4, "CNT!", 4);    // the header's count
        cache.Write(20, "rec0", 4);   // a record in the first page
        cache.Write(250, "rec3", 4);  // one in the last page
        cache.Write(70, "rec1", 4);
        cache.Write(74, "+", 1);      // touching the one before: one write
        cache.Write(100, "aaaa", 4);  // the bytes that are there: nothing
        cache.Write(6, "X", 1);       // inside the header's range
        cache.Flush();
        const std::vector<std::pair<uint64_t, size_t>> expected = {
            {20, 4}, {70, 5}, {250, 4}, {UINT64_MAX, 0} /* sync */, {4, 4}};
        EXPECT_EQ(file.Writes, expected);
        EXPECT_EQ(file.How, c.How);
        EXPECT_EQ(cache.Mapped(), c.Mapped);
        EXPECT_EQ(file.Bytes.substr(0, 40), "aaaaCNX!aaaaaaaaaaaarec0aaaaaaOTHERaaaaa");
        EXPECT_EQ(file.Bytes.substr(200, 5), "THEIR");
        file.Writes.clear();
        cache.Flush();
        EXPECT_TRUE(file.Writes.empty());  // nothing changed, nothing written
    }
}

TEST(PageCache, WhatLiesPastTheMappingIsWrittenAndTheSyncReleasesTheMapping)
{
    // A 250-byte file mapped at the first write-out; then another program
    // appends a record (250..289), and this cache changes bytes on both
    // sides of the mapping's end, in that record, and appends one of its
    // own (290..309).
    TRecordingStream file;
    file.Bytes = std::string(250, 'a');
    file.Mappable = true;
    TPageCache cache(file, 64, 8, 8);
    cache.SyncBeforeHeader = true;
    cache.MapWrites = true;
    cache.Write(10, "first", 5);
    cache.Flush();
    EXPECT_EQ(file.How, "m");
    ASSERT_TRUE(cache.Mapped());
    file.Bytes += std::string(40, 'o');
    cache.Write(246, "across", 6);
    cache.Write(260, "their", 5);
    cache.Write(290, std::string(20, 'r').data(), 20);
    cache.Write(4, "N", 1);
    cache.Sync();
    EXPECT_EQ(file.How, std::string("m") + "mwww" + "Ss" + "m" + "S");
    const std::vector<std::pair<uint64_t, size_t>> expected = {
        {10, 5}, {246, 4}, {250, 2}, {260, 5}, {290, 20}, {UINT64_MAX, 0}, {UINT64_MAX, 0}, {4, 1}, {UINT64_MAX, 0}};
    EXPECT_EQ(file.Writes, expected);
    EXPECT_FALSE(cache.Mapped()) << "a synced run holds no view of the file";
    EXPECT_EQ(file.Bytes.substr(246, 19), "across" + std::string(8, 'o') + "their");
    EXPECT_EQ(file.Bytes.size(), 310u);
}

TEST(PageCache, AFileCutShortByAnotherProgramStopsTheWritesAndIsNotGrownBack)
{
    // A file of 8 pages, a change at byte 10 of every page; another program
    // cuts it short before the write-out, or right after a check of its
    // length (the check that one page's changes go out after). Nothing may
    // be written past the new end, and the error must say what happened.
    // (Between a check and a positional write the race stays open: that
    // write would grow the file; a store into a mapping fails instead.)
    const struct {
        bool Mapped;
        int CutAtSizeCall;  // 0: before the write-out
        size_t CutTo;
        const char* How;  // what reached the file before the error
    } cases[] = {
        {false, 0, 100, ""},   {true, 0, 100, ""},     // the first check finds it
        {false, 2, 100, "ww"}, {true, 2, 100, "mm"},   // page 1 (74) still in the file
        {true, 2, 50, "m"},    {true, 4, 100, "mmm"},  // the store past the new end fails
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Mapped ? "mapped" : "positional") + ", cut to " + std::to_string(c.CutTo) +
                     " at size call " + std::to_string(c.CutAtSizeCall));
        TRecordingStream file;
        file.Bytes = std::string(512, 'a');
        file.Mappable = c.Mapped;
        TPageCache cache(file, 64, 8, 8);
        cache.MapWrites = true;
        cache.ShrunkMessage = "cut short";
        for (uint64_t page = 0; page < 8; ++page)
            cache.Write(page * 64 + 10, "ref", 3);
        file.SizeCalls = 0;
        file.CutTo = c.CutTo;
        if (c.CutAtSizeCall == 0)
            file.Bytes.resize(c.CutTo);
        else
            file.CutAtSizeCall = c.CutAtSizeCall;
        try {
            cache.Flush();
            ADD_FAILURE() << "the write-out went on";
        } catch (const EStreamError& e) {
            EXPECT_EQ(std::string(e.what()), "cut short");
        }
        EXPECT_EQ(file.How, c.How);
        EXPECT_EQ(file.Bytes.size(), c.CutTo) << "the file grew back";
        EXPECT_THROW(cache.Sync(), EStreamError);
        EXPECT_EQ(file.Bytes.size(), c.CutTo);
    }
}

TEST(PageCache, AChangeRunningOnIntoTheNextPageGoesOutWholeWhenTheFileIsCutShort)
{
    // A reference across a page boundary, and a change further on; the file
    // cut short (past both) after the first page went out. The write-out
    // stops, but not between the two halves of the reference: half of one
    // would lead to another block.
    for (const bool mapped : {false, true}) {
        SCOPED_TRACE(mapped ? "mapped" : "positional");
        TRecordingStream file;
        file.Bytes = std::string(512, 'a');
        file.Mappable = mapped;
        TPageCache cache(file, 64, 8, 8);
        cache.MapWrites = true;
        cache.ShrunkMessage = "cut short";
        cache.Write(125, "across", 6);  // pages 1 and 2
        cache.Write(300, "later", 5);   // page 4
        file.SizeCalls = 0;
        file.CutTo = 200;
        file.CutAtSizeCall = 1;  // right after the check before the first page
        EXPECT_THROW(cache.Flush(), EStreamError);
        EXPECT_EQ(file.Bytes.substr(125, 6), "across");
        EXPECT_EQ(file.Bytes.size(), 200u);
    }
}

TEST(PageCache, RangesWrittenOutOfOrderMergeIntoSortedWrites)
{
    // Each case: writes as (offset, length), then the writes that reach the
    // file. Pages of 64 bytes, four held, no header.
    const struct {
        std::vector<std::pair<uint64_t, size_t>> Writes, Expected;
    } cases[] = {
        {{{40, 4}, {10, 4}, {20, 4}}, {{10, 4}, {20, 4}, {40, 4}}},
        {{{40, 4}, {10, 4}, {12, 30}}, {{10, 34}}},  // bridges both
        {{{10, 4}, {30, 4}, {14, 16}}, {{10, 24}}},  // fills the gap exactly
        {{{10, 4}, {30, 4}, {50, 4}, {5, 2}}, {{5, 2}, {10, 4}, {30, 4}, {50, 4}}},
        {{{30, 10}, {32, 2}}, {{30, 10}}},  // inside one
        // A change across pages goes out in one write: half a reference
        // must never reach the file alone.
        {{{60, 8}}, {{60, 8}}},
        {{{60, 4}, {64, 60}, {124, 8}}, {{60, 72}}},  // three pages
        {{{10, 2}, {60, 4}, {64, 2}, {70, 2}}, {{10, 2}, {60, 6}, {70, 2}}},
        // Four pages held: bringing in the fifth for the second half of a
        // change writes out what is held before the first half is taken.
        {{{0, 4}, {70, 4}, {140, 4}, {200, 4}, {250, 10}}, {{0, 4}, {70, 4}, {140, 4}, {200, 4}, {250, 10}}},
    };
    for (const auto& c : cases) {
        TRecordingStream file;
        file.Bytes = std::string(320, 'a');
        TPageCache cache(file, 64, 4, 0);
        for (const auto& w : c.Writes)
            cache.Write(w.first, std::string(w.second, 'w').data(), w.second);
        cache.Flush();
        EXPECT_EQ(file.Writes, c.Expected);
        std::string expectedBytes(320, 'a');
        for (const auto& w : c.Writes)
            expectedBytes.replace(static_cast<size_t>(w.first), w.second, w.second, 'w');
        EXPECT_EQ(file.Bytes, expectedBytes);
    }
}

TEST(PageCache, EvictingAChangedPageWritesAllOfThemInOrderAfterTheHook)
{
    for (bool mapped : {false, true}) {
        SCOPED_TRACE(mapped ? "mapped" : "positional");
        TRecordingStream file;
        file.Bytes = std::string(1024, 'a');
        file.Mappable = mapped;
        TPageCache cache(file, 64, 3, 8);
        cache.MapWrites = true;
        std::vector<std::string> events;
        cache.BeforeWriteBack = [&] {
            events.push_back("hook with " + std::to_string(file.Writes.size()) + " writes");
        };
        cache.Write(4, "H", 1);
        cache.Write(200, "x", 1);
        EXPECT_EQ(ReadBack(cache, 500, 1), "a");  // third slot: clean page
        EXPECT_EQ(ReadBack(cache, 900, 1), "a");  // evicts the oldest, page 0, changed
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0], "hook with 0 writes");
        const std::vector<std::pair<uint64_t, size_t>> expected = {{200, 1}, {4, 1}};
        EXPECT_EQ(file.Writes, expected);
        EXPECT_EQ(file.How, mapped ? "mm" : "ww");
        EXPECT_FALSE(cache.Dirty());
        EXPECT_EQ(ReadBack(cache, 4, 1), "H");
        // A long write goes straight out, after the hook too.
        cache.Write(0, std::string(64, 'L').data(), 64);
        EXPECT_EQ(events.size(), 2u);
        EXPECT_EQ(file.How, mapped ? "mmm" : "www");
    }
}

// A cache over a file of 512 bytes "z" whose reads, writes and syncs fail
// when the test arms them to.
struct TFaultyCache {
    TMemoryFileSystem Files;
    TFaultFileSystem Faults{Files};
    std::unique_ptr<TFileStream> Stream;
    std::unique_ptr<TPageCache> Cache;
    TFaultyCache()
    {
        Files.SetFile("f", std::string(512, 'z'));
        Stream = Faults.Open("f", TFileAccess::ReadWrite, TFileShare::DenyNone);
        Cache = std::make_unique<TPageCache>(*Stream, 64, 4, 8);
    }
};

TEST(PageCache, AFailedSyncFailsEveryLaterOne)
{
    TFaultyCache f;
    TPageCache& cache = *f.Cache;
    TFaultFileSystem& faults = f.Faults;
    cache.Sync();  // nothing written: no sync asked of the system
    EXPECT_TRUE(faults.Events.empty());
    cache.Write(100, "new", 3);
    faults.Arm(2);  // the write goes, the sync fails
    EXPECT_THROW(cache.Sync(), EStreamError);
    EXPECT_TRUE(faults.Failed);
    faults.Arm(0);
    EXPECT_THROW(cache.Sync(), EStreamError);  // without asking again
    EXPECT_EQ(faults.Operations, 0);
}

TEST(PageCache, AFailedFillIsNotTakenForAPage)
{
    TFaultyCache f;
    TPageCache& cache = *f.Cache;
    f.Faults.Arm(1);
    char c = 0;
    EXPECT_THROW(cache.Read(70, &c, 1), EStreamError);
    EXPECT_EQ(ReadBack(cache, 70, 2), "zz");  // read again, not zeros from the failed slot
}
