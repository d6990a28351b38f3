#include "pagecache.h"

#include <algorithm>
#include <cstring>

TPageCache::TPageCache(TFileStream& Stream, size_t PageSize, size_t MaxPages, size_t HeaderBytes)
    : Stream_(Stream),
      PageSize_(PageSize),
      MaxPages_(std::max<size_t>(MaxPages, 2)),
      HeaderBytes_(std::min(HeaderBytes, PageSize)),
      Size_(Stream.Size())
{
    KnownSize_ = Size_;
    while ((size_t{1} << PageShift_) < PageSize_)
        ++PageShift_;
    PageSize_ = size_t{1} << PageShift_;
    Pages_.reserve(MaxPages_);
}

TPageCache::~TPageCache() = default;

void TPageCache::MergeChanged(std::vector<TRange>& Ranges, uint32_t Begin, uint32_t End)
{
    // The first range that ends at or after Begin, and the first that starts
    // after End: everything between them melts into one.
    auto first =
        std::lower_bound(Ranges.begin(), Ranges.end(), Begin, [](const TRange& r, uint32_t at) { return r.End < at; });
    auto last = first;
    while (last != Ranges.end() && last->Begin <= End)
        ++last;
    if (first == last) {
        Ranges.insert(first, TRange{Begin, End});
        return;
    }
    first->Begin = std::min(first->Begin, Begin);
    first->End = std::max((last - 1)->End, End);
    Ranges.erase(first + 1, last);
}

void TPageCache::MakeRecent(size_t Slot)
{
    size_t i = 0;
    while (i + 1 < RecentCount && Recent_[i] != Slot)
        ++i;
    for (; i > 0; --i)
        Recent_[i] = Recent_[i - 1];
    Recent_[0] = Slot;
}

TPageCache::TPage& TPageCache::PageFor(uint64_t Number)
{
    for (size_t slot : Recent_) {
        if (slot < Pages_.size() && Pages_[slot].Number == Number) {
            MakeRecent(slot);
            Pages_[slot].Referenced = true;
            return Pages_[slot];
        }
    }
    auto found = Index_.find(Number);
    if (found != Index_.end()) {
        MakeRecent(found->second);
        TPage& page = Pages_[found->second];
        page.Referenced = true;
        return page;
    }

    size_t slot;
    if (Pages_.size() < MaxPages_) {
        slot = Pages_.size();
        Pages_.emplace_back();
        Pages_[slot].Bytes.resize(PageSize_);
    } else {
        // Every page the hand finds used loses its mark; the first without
        // one goes. Two rounds at most.
        for (;;) {
            Hand_ = Hand_ + 1 < Pages_.size() ? Hand_ + 1 : 0;
            if (Hand_ == Pinned_)
                continue;
            if (!Pages_[Hand_].Referenced)
                break;
            Pages_[Hand_].Referenced = false;
        }
        slot = Hand_;
        // Changes leave in order or not at all: one changed page to evict
        // means all of them go out now.
        if (!Pages_[slot].Changed.empty())
            Flush();
        Index_.erase(Pages_[slot].Number);
    }

    TPage& page = Pages_[slot];
    page.Number = Number;
    page.Changed.clear();
    page.Referenced = true;
    const uint64_t start = Number << PageShift_;
    if (start < Size_) {
        // A failed read must not leave the slot looking like a cached page.
        try {
            Stream_.ReadAt(start, page.Bytes.data(), PageSize_);
        } catch (...) {
            page.Referenced = false;
            page.Number = UINT64_MAX;
            throw;
        }
    } else {
        std::fill(page.Bytes.begin(), page.Bytes.end(), '\0');
    }
    Index_[Number] = slot;
    MakeRecent(slot);
    return page;
}

size_t TPageCache::ReadSlow(uint64_t Offset, void* Buffer, size_t Count)
{
    char* out = static_cast<char*>(Buffer);
    const size_t inFile = Offset >= Size_ ? 0 : static_cast<size_t>(std::min<uint64_t>(Count, Size_ - Offset));
    if (inFile < Count)
        std::memset(out + inFile, 0, Count - inFile);

    if (inFile >= PageSize_) {
        // Long reads go straight to the file, then take what the cache holds
        // over it: pages written but not yet flushed are the truth.
        Stream_.ReadAt(Offset, out, inFile);
        ForEachOverlap(Offset, inFile, [out](char* PageBytes, size_t Within, size_t At, size_t Length) {
            std::memcpy(out + At, PageBytes + Within, Length);
        });
        return inFile;
    }

    size_t done = 0;
    while (done < inFile) {
        const uint64_t at = Offset + done;
        TPage& page = PageFor(at >> PageShift_);
        const size_t within = static_cast<size_t>(at & (PageSize_ - 1));
        const size_t take = std::min(inFile - done, PageSize_ - within);
        std::memcpy(out + done, page.Bytes.data() + within, take);
        done += take;
    }
    return inFile;
}

void TPageCache::WriteSlow(uint64_t Offset, const void* Data, size_t Count)
{
    const char* in = static_cast<const char*>(Data);
    if (Count >= PageSize_) {
        // A long write (a big memo text) goes out at once, after whatever
        // must reach the disk before this file changes; the pages the cache
        // holds over its range take the new bytes too.
        if (BeforeWriteBack)
            BeforeWriteBack();
        BeforeWriting();
        WriteToFile(Offset, in, Count);
        Size_ = std::max(Size_, Offset + Count);
        ForEachOverlap(Offset, Count, [in](char* PageBytes, size_t Within, size_t At, size_t Length) {
            std::memcpy(PageBytes + Within, in + At, Length);
        });
        return;
    }

    // A change that runs on into the next page: both pages are brought in
    // before either is changed. Bringing in the second may write out every
    // change held, and the first half of a reference must never go out
    // alone: a run killed before the second half followed would leave a
    // reference to another block. The first page is pinned meanwhile, so the
    // second cannot take its slot.
    const uint64_t firstPage = Offset >> PageShift_, lastPage = (Offset + Count - 1) >> PageShift_;
    if (firstPage != lastPage) {
        struct TUnpin {
            size_t& Slot;
            ~TUnpin() { Slot = SIZE_MAX; }
        } unpin{Pinned_};
        Pinned_ = static_cast<size_t>(&PageFor(firstPage) - Pages_.data());
        PageFor(lastPage);
    }
    size_t done = 0;
    while (done < Count) {
        const uint64_t at = Offset + done;
        const size_t within = static_cast<size_t>(at & (PageSize_ - 1));
        const size_t take = std::min(Count - done, PageSize_ - within);
        TPage& page = PageFor(at >> PageShift_);
        char* to = page.Bytes.data() + within;
        if (at + take > Size_ || std::memcmp(to, in + done, take) != 0) {
            std::memcpy(to, in + done, take);
            MarkChanged(page, within, within + take);
        }
        done += take;
        Size_ = std::max(Size_, at + take);
    }
}

const char* TPageCache::PeekSlow(uint64_t Offset, size_t& Count)
{
    if (Offset >= Size_) {
        Count = 0;
        return nullptr;
    }
    TPage& page = PageFor(Offset >> PageShift_);
    const size_t within = static_cast<size_t>(Offset & (PageSize_ - 1));
    Count = static_cast<size_t>(std::min<uint64_t>({Count, PageSize_ - within, Size_ - Offset}));
    return page.Bytes.data() + within;
}

void TPageCache::WriteToFile(uint64_t Offset, const char* Data, size_t Count)
{
    WrittenFrom_ = std::min(WrittenFrom_, Offset);
    WrittenTo_ = std::max(WrittenTo_, Offset + Count);
    if (Mapping_ && Offset < Mapping_->Size()) {
        const size_t inside = static_cast<size_t>(std::min<uint64_t>(Count, Mapping_->Size() - Offset));
        StoredUnsynced_ = true;
        try {
            Mapping_->Store(Offset, Data, inside);
        } catch (const EStreamError&) {
            // Most likely the file was cut short under the store.
            RaiseIfShrunk();
            throw;
        }
        StoredFrom_ = std::min(StoredFrom_, Offset);
        StoredTo_ = std::max(StoredTo_, Offset + inside);
        if (inside == Count)
            return;
        Offset += inside;
        Data += inside;
        Count -= inside;
    }
    Unsynced_ = true;
    Stream_.WriteAt(Offset, Data, Count);
    KnownSize_ = std::max(KnownSize_, Offset + Count);
}

void TPageCache::RaiseIfShrunk()
{
    const uint64_t now = Stream_.Size();
    if (now < KnownSize_)
        throw EStreamError(ShrunkMessage, TIoFailure::Other, 0);
    KnownSize_ = now;
}

void TPageCache::BeforeWriting()
{
    RaiseIfShrunk();
    if (WriteModeChosen_)
        return;
    WriteModeChosen_ = true;
    std::string how;
    if (!MapWrites) {
        how = PositionalWritesForced() ? "positional writes (TARNWICK_WRITES=positional)" : "positional writes";
    } else {
        std::string whyNot;
        Mapping_ = Stream_.MapShared(KnownSize_, whyNot);
        how = Mapping_ ? "writes through a shared mapping" : "positional writes (" + whyNot + ")";
    }
    if (!Name.empty())
        DebugNote(Name + ": " + how);
}

void TPageCache::ReleaseMapping()
{
    Mapping_.reset();
    StoredFrom_ = UINT64_MAX;
    StoredTo_ = 0;
    WriteModeChosen_ = false;
}

void TPageCache::WriteOut(TPage& Page, bool KeepHeader, bool KeepLast)
{
    const uint64_t start = Page.Number << PageShift_;
    std::vector<TRange>& ranges = Page.Changed;
    // The ranges are sorted, so the header's are the first few; the last of
    // them may reach past the header and is split there.
    size_t first = 0;
    if (KeepHeader && start < HeaderBytes_) {
        const uint32_t headerEnd = static_cast<uint32_t>(HeaderBytes_ - start);
        while (first < ranges.size() && ranges[first].Begin < headerEnd)
            ++first;
        if (first > 0 && ranges[first - 1].End > headerEnd) {
            ranges.insert(ranges.begin() + static_cast<std::ptrdiff_t>(first),
                          TRange{headerEnd, ranges[first - 1].End});
            ranges[first - 1].End = headerEnd;
        }
    }
    const size_t end = ranges.size() - (KeepLast ? 1 : 0);
    size_t i = first;
    try {
        for (; i < end; ++i)
            WriteToFile(start + ranges[i].Begin, Page.Bytes.data() + ranges[i].Begin, ranges[i].End - ranges[i].Begin);
    } catch (...) {
        // What went out is not sent again.
        ranges.erase(ranges.begin() + static_cast<std::ptrdiff_t>(first),
                     ranges.begin() + static_cast<std::ptrdiff_t>(i));
        throw;
    }
    ranges.erase(ranges.begin() + static_cast<std::ptrdiff_t>(first),
                 ranges.begin() + static_cast<std::ptrdiff_t>(end));
    if (ranges.empty())
        --DirtyCount_;
}

void TPageCache::Flush()
{
    if (DirtyCount_ == 0)
        return;
    if (BeforeWriteBack)
        BeforeWriteBack();
    BeforeWriting();
    std::vector<TPage*> changed;
    for (TPage& page : Pages_)
        if (!page.Changed.empty())
            changed.push_back(&page);
    std::sort(changed.begin(), changed.end(), [](const TPage* a, const TPage* b) { return a->Number < b->Number; });
    for (size_t i = 0; i < changed.size(); ++i) {
        TPage& page = *changed[i];
        if (page.Changed.empty())
            continue;  // its only change went out with the page before
        // The file's length again before every page but the first (asked
        // just now): a file cut short meanwhile stops the run here.
        if (i > 0)
            RaiseIfShrunk();
        // A change that runs on into the next pages goes out as one write
        // (one store into the mapping, one positional write): a reference
        // whose first bytes went out and whose last did not would lead to
        // another block, were the run killed or failing in between.
        const uint64_t start = page.Number << PageShift_;
        const auto carried = [&](size_t Chain) {
            const TPage& at = *changed[Chain];
            return Chain == i ? at.Changed.back() : at.Changed.front();
        };
        size_t chain = i;
        while (chain + 1 < changed.size() && carried(chain).End == PageSize_ &&
               changed[chain + 1]->Number == changed[chain]->Number + 1 &&
               changed[chain + 1]->Changed.front().Begin == 0 &&
               (chain > i || start + page.Changed.back().Begin >= HeaderBytes_))
            ++chain;
        if (chain == i) {
            WriteOut(page, true);
            continue;
        }
        WriteOut(page, true, true);
        const TRange last = page.Changed.back();
        // (Appends run on through every page they fill: the room for the
        // joined bytes is kept from flush to flush.)
        std::string& joined = Joined_;
        joined.assign(page.Bytes.data() + last.Begin, PageSize_ - last.Begin);
        for (size_t j = i + 1; j <= chain; ++j)
            joined.append(changed[j]->Bytes.data(), changed[j]->Changed.front().End);
        WriteToFile(start + last.Begin, joined.data(), joined.size());
        // What went out is not sent again.
        page.Changed.pop_back();
        if (page.Changed.empty())
            --DirtyCount_;
        for (size_t j = i + 1; j <= chain; ++j) {
            std::vector<TRange>& ranges = changed[j]->Changed;
            ranges.erase(ranges.begin());
            if (ranges.empty())
                --DirtyCount_;
        }
    }
    // The disk may start on what went out while the run goes on: the sync
    // that must come before the next references then has less to wait for.
    if (WrittenFrom_ < WrittenTo_)
        Stream_.StartWriteBack(WrittenFrom_, WrittenTo_ - WrittenFrom_);
    WrittenFrom_ = UINT64_MAX;
    WrittenTo_ = 0;
    // What is left is the header's bytes.
    if (DirtyCount_ > 0) {
        if (SyncBeforeHeader)
            SyncFile();
        RaiseIfShrunk();
        for (TPage* page : changed)
            if (!page->Changed.empty())
                WriteOut(*page, false);
    }
    if (Mapping_ && StoredFrom_ < StoredTo_) {
        Mapping_->Release(StoredFrom_, StoredTo_ - StoredFrom_);
        StoredFrom_ = UINT64_MAX;
        StoredTo_ = 0;
    }
}

void TPageCache::SyncFile()
{
    if (SyncFailure_)
        std::rethrow_exception(SyncFailure_);
    if (!Unsynced_ && !StoredUnsynced_)
        return;
    try {
        if (StoredUnsynced_)
            Mapping_->Sync();
        if (Unsynced_)
            Stream_.Sync();
    } catch (...) {
        SyncFailure_ = std::current_exception();
        throw;
    }
    Unsynced_ = false;
    StoredUnsynced_ = false;
    // A store into the last page past an end moved back meanwhile raises
    // nothing and reaches no file: a run that wrote and then finds the file
    // shorter has not done what it says.
    RaiseIfShrunk();
}

void TPageCache::Sync()
{
    Flush();
    SyncFile();
    ReleaseMapping();
}
