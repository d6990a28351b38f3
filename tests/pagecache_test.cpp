// The write-back page cache under the table layer: coherence of reads with
// writes not yet flushed, and the order in which pages reach the file.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "pagecache.h"
#include "memfs.h"

namespace {

// A stream that records where each write went.
class TRecordingStream : public TFileStream {
public:
    std::string Bytes;
    std::vector<std::pair<uint64_t, size_t>> Writes;
    int Reads = 0;

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
        Writes.emplace_back(Offset, Count);
        if (Offset + Count > Bytes.size())
            Bytes.resize(static_cast<size_t>(Offset + Count), '\0');
        std::memcpy(&Bytes[static_cast<size_t>(Offset)], Data, Count);
    }
    uint64_t Size() override { return Bytes.size(); }
    void Sync() override { Writes.emplace_back(UINT64_MAX, 0); }
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
    TRecordingStream file;
    file.Bytes = std::string(300, 'a');
    TPageCache cache(file, 64, 8, 8);
    cache.SyncBeforeHeader = true;
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
    EXPECT_EQ(file.Bytes.substr(0, 40), "aaaaCNX!aaaaaaaaaaaarec0aaaaaaOTHERaaaaa");
    EXPECT_EQ(file.Bytes.substr(200, 5), "THEIR");
    file.Writes.clear();
    cache.Flush();
    EXPECT_TRUE(file.Writes.empty());  // nothing changed, nothing written
}

TEST(PageCache, RangesWrittenOutOfOrderMergeIntoSortedWrites)
{
    // Each case: writes as (offset, length), then the writes that reach the
    // file. One page of 64 bytes, no header.
    const struct {
        std::vector<std::pair<uint64_t, size_t>> Writes, Expected;
    } cases[] = {
        {{{40, 4}, {10, 4}, {20, 4}}, {{10, 4}, {20, 4}, {40, 4}}},
        {{{40, 4}, {10, 4}, {12, 30}}, {{10, 34}}},  // bridges both
        {{{10, 4}, {30, 4}, {14, 16}}, {{10, 24}}},  // fills the gap exactly
        {{{10, 4}, {30, 4}, {50, 4}, {5, 2}}, {{5, 2}, {10, 4}, {30, 4}, {50, 4}}},
        {{{30, 10}, {32, 2}}, {{30, 10}}},  // inside one
        {{{60, 8}}, {{60, 4}, {64, 4}}},    // across two pages
    };
    for (const auto& c : cases) {
        TRecordingStream file;
        file.Bytes = std::string(128, 'a');
        TPageCache cache(file, 64, 4, 0);
        for (const auto& w : c.Writes)
            cache.Write(w.first, std::string(w.second, 'w').data(), w.second);
        cache.Flush();
        EXPECT_EQ(file.Writes, c.Expected);
        std::string expectedBytes(128, 'a');
        for (const auto& w : c.Writes)
            expectedBytes.replace(static_cast<size_t>(w.first), w.second, w.second, 'w');
        EXPECT_EQ(file.Bytes, expectedBytes);
    }
}

TEST(PageCache, EvictingAChangedPageWritesAllOfThemInOrderAfterTheHook)
{
    TRecordingStream file;
    file.Bytes = std::string(1024, 'a');
    TPageCache cache(file, 64, 3, 8);
    std::vector<std::string> events;
    cache.BeforeWriteBack = [&] { events.push_back("hook with " + std::to_string(file.Writes.size()) + " writes"); };
    cache.Write(4, "H", 1);
    cache.Write(200, "x", 1);
    EXPECT_EQ(ReadBack(cache, 500, 1), "a");  // third slot: clean page
    EXPECT_EQ(ReadBack(cache, 900, 1), "a");  // evicts the oldest, page 0, changed
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], "hook with 0 writes");
    const std::vector<std::pair<uint64_t, size_t>> expected = {{200, 1}, {4, 1}};
    EXPECT_EQ(file.Writes, expected);
    EXPECT_FALSE(cache.Dirty());
    EXPECT_EQ(ReadBack(cache, 4, 1), "H");
    // A long write goes straight out, after the hook too.
    cache.Write(0, std::string(64, 'L').data(), 64);
    EXPECT_EQ(events.size(), 2u);
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
