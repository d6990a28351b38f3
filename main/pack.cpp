#include "pack.h"

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <unordered_map>
#include <vector>

#include "memolimit.h"
#include "salvage.h"
#include "repairtexts.h"
#include "dbflite.h"
#include "fptlayout.h"
#include "maintexts.h"
#include "outcome.h"
#include "error.h"

namespace {

// Block numbers of the memo file are 32-bit numbers: a plan that would
// place a run past the last one is refused (Placed) before anything is
// written, so the plan keeps them in 32 bits.
//
// The plan holds no copy of what the table and the memo file hold: for
// each reference that leads to a run only the block it led to when the run
// began, for the memo file a few bits a block. Where a reference's run goes
// in the front follows from the runs before it in record order, where it
// goes in step 1 from the spaces behind the front, both worked out again as
// the steps go. A table of millions of records packs in tens of megabytes.

class TBlockBits {
public:
    // Blocks past what a size_t counts (a file of over 4 GiB in blocks of a
    // byte, on a 32-bit system) read as Outside: a file's live blocks say
    // true there, so they are never handed out.
    TBlockBits() = default;
    TBlockBits(uint64_t Count, bool Outside)
        : Bits_(static_cast<size_t>(std::min<uint64_t>(Count, std::numeric_limits<size_t>::max())), false),
          Outside_(Outside)
    {
    }
    void Set(uint64_t From, uint64_t To)
    {
        for (uint64_t i = From; i < To && i < Bits_.size(); ++i)
            Bits_[static_cast<size_t>(i)] = true;
    }
    void Set(uint64_t I) { Set(I, I + 1); }
    bool Test(uint64_t I) const { return I >= Bits_.size() ? Outside_ : Bits_[static_cast<size_t>(I)]; }
    bool Any(uint64_t From, uint64_t To) const
    {
        for (uint64_t i = From; i < To; ++i)
            if (Test(i))
                return true;
        return false;
    }

private:
    std::vector<bool> Bits_;
    bool Outside_ = false;
};

struct TPlan {
    std::vector<int> Fields;                     // that lead into the memo file
    std::vector<bool> Leads;                     // per record and field: the reference leads to a run
    std::vector<uint32_t> Blocks;                // where those led, in the same order
    std::vector<std::pair<int32_t, int>> Blank;  // references that lead to no run
    TBlockBits Live;                             // blocks a live run takes
    TBlockBits Seen;                             // blocks a live run starts at
    TBlockBits InPlace;                          // starts of runs that stay where they are
    TBlockBits InPlaceAt;                        // the blocks those take: nothing is copied over them
    // Runs more than one reference leads to, and where step 1 put them (0:
    // not yet, or not moved): the others follow the first.
    std::unordered_map<uint32_t, uint32_t> Shared;
    uint64_t FrontStart = 0, FrontEnd = 0;  // in blocks
    uint64_t Peak = 0;                      // bytes
    uint64_t MovedAside = 0;                // runs step 1 moves
};

// Block, as a plan keeps it; a block past the memo file's last block number
// refuses the table.
uint32_t Placed(const TDBFLite& Table, uint64_t Block)
{
    if (Block > std::numeric_limits<uint32_t>::max())
        throw ERefused("MEMO файл \"" + Table.MemoFileName() + "\" переполнен");
    return static_cast<uint32_t>(Block);
}

uint64_t RunBlocks(const TDBFLite& Table, uint64_t Present)
{
    const uint64_t blockSize = Table.MemoBlockSize();
    return (MemoBlockHeaderSize + Present + blockSize - 1) / blockSize;
}

// A copy of a run of Present bytes at Block, as the plan writes it: one the
// field cannot hold stops the run before the first write.
void RequireFits(const TDBFLite& Table, int Field, uint64_t Block, uint64_t Present)
{
    try {
        Table.PlanMemoRun(Field, Block, Present);
    } catch (const ERefused&) {
        throw;
    } catch (const EStreamError&) {
        throw;
    } catch (const EError& e) {
        throw ERefused(e.Message());
    }
}

// Calls Visit(RecNo, Field, Block) for every reference the plan moves, in
// record order, with the block it led to; false from Visit ends the walk.
template <typename TVisit>
bool ForEachRef(const TPlan& Plan, TVisit Visit)
{
    const size_t fields = Plan.Fields.size();
    size_t k = 0;
    for (size_t s = 0; s < Plan.Leads.size(); ++s)
        if (Plan.Leads[s] && !Visit(static_cast<int32_t>(s / fields), Plan.Fields[s % fields], Plan.Blocks[k++]))
            return false;
    return true;
}

// A table pack can move every run of: memo blocks to tell apart, fields
// where the descriptors place them, no field of a type nobody here knows
// (it might keep data in the memo file that would be written over), and no
// records past the header's count. Those are what a crash during an append
// leaves; no reader counts them, the owner's next append writes over them,
// and a write to one here would append a blank record over it. Their texts
// would count as free space and be written over, and the records would
// read other texts once the count is set right: the user decides about
// them first.
void RequirePackable(TDBFLite& Table)
{
    RequireMemoBlocks(Table);
    if (!Table.LayoutTrusted())
        throw ERefused(Table.LayoutMismatchMessage());
    for (const TFieldDesc& field : Table.Fields())
        if (!field.IsKnownType())
            throw ERefused(FormatRepairText(TRepairText::PackUnknownField,
                                            {field.Name, std::string(1, field.FieldType)}, TLanguage::Russian));
    const int64_t past = Table.RecordsPastCount();
    if (past > 0)
        throw ERefused(FormatRepairText(TRepairText::PackRecordsPastCount,
                                        {std::to_string(past), std::to_string(Table.RecordCount())},
                                        TLanguage::Russian));
}

// Reads the references of every field that leads into the memo file (no
// text but the block headers): the runs they lead to, and their places in
// the front. What a run holds does not matter: an empty text, blanks or
// zeros are kept as they are. References that lead to no run (not a
// number, past the end, into the middle of a text) read no text; they are
// blanked, as Clear does, since the texts moved under them would otherwise
// become theirs.
//
// The front is in record order, a run of its own for every reference: two
// references that shared a text get a copy each, so the owner's next edit
// of one no longer changes the other. A run already at the place of the
// first reference to it stays there (a packed file, or one whose pack was
// cut short, is not copied again); a run cut short by the file's end stays
// only when copied: in place, the runs that come to lie behind it would
// read as the rest of its text.
void CollectRuns(TDBFLite& Table, TPlan& Plan)
{
    const uint64_t blockSize = Table.MemoBlockSize();
    const uint64_t fileBlocks = (Table.MemoFileSize() + blockSize - 1) / blockSize;
    Plan.Fields = Table.MemoFileFields();
    const int32_t records = Table.RecordsInFile();
    const uint64_t slots = uint64_t(records) * Plan.Fields.size();
    Plan.Leads.assign(static_cast<size_t>(slots), false);
    // Room for a reference in every field of every record: the pages of it
    // that stay unused are never touched, so they cost address space, not
    // memory, where growing by doubling would hold up to twice the plan.
    try {
        Plan.Blocks.reserve(static_cast<size_t>(std::min<uint64_t>(slots, uint64_t{1} << 26)));
    } catch (const std::bad_alloc&) {
    }
    Plan.Live = TBlockBits(fileBlocks, true);
    Plan.Seen = TBlockBits(fileBlocks, true);
    Plan.InPlace = TBlockBits(fileBlocks, false);
    Plan.InPlaceAt = TBlockBits(fileBlocks, false);
    Plan.FrontStart = (MemoHeaderArea + blockSize - 1) / blockSize;
    Plan.FrontEnd = Plan.FrontStart;
    size_t slot = 0;
    for (int32_t r = 0; r < records; ++r)
        for (int field : Plan.Fields) {
            // (The inspection looks the run up too: it is not looked up twice.)
            const TMemoInspection inspected = Table.InspectMemo(r, field);
            const size_t at = slot++;
            const TMemoRefState state = inspected.State;
            if (state == TMemoRefState::Empty)
                continue;
            const TMemoRunInfo& run = inspected.Run;
            if (state == TMemoRefState::NotANumber || state == TMemoRefState::PastEnd ||
                state == TMemoRefState::NotAStart || !run.InFile) {
                Plan.Blank.push_back({r, field});
                continue;
            }
            const uint32_t block = Placed(Table, static_cast<uint64_t>(run.Block));
            // A run's length is a 32-bit number: so are its blocks, but for
            // a block of a byte.
            const uint32_t blocks = Placed(Table, RunBlocks(Table, run.Present));
            const uint32_t final = Placed(Table, Plan.FrontEnd);
            Plan.FrontEnd += blocks;
            RequireFits(Table, field, final, run.Present);
            Plan.Live.Set(block, uint64_t{block} + blocks);
            if (!Plan.Seen.Test(block)) {
                Plan.Seen.Set(block);
                if (final == block && run.Present == run.Length) {
                    Plan.InPlace.Set(block);
                    Plan.InPlaceAt.Set(block, uint64_t{block} + blocks);
                }
            } else {
                Plan.Shared.emplace(block, 0);
            }
            Plan.Leads[at] = true;
            Plan.Blocks.push_back(block);
        }
    Placed(Table, Plan.FrontEnd);
}

// Whether step 1 moves the run at Block: it lies in the front, and not
// where it stays.
bool LeavesFront(const TPlan& Plan, uint32_t Block) { return Block < Plan.FrontEnd && !Plan.InPlace.Test(Block); }

// Step 1's places, run by run in record order: each run in the front goes
// to the smallest space behind the front that holds it (the first found of
// those as long), else past the end (and past the front, should the front
// reach that far). The same plan and the same runs give the same places, in
// the plan and in the step.
//
// A memo file whose live texts lie between old ones has a space behind
// nearly every run: the spaces shorter than Short blocks, nearly all of
// them, are kept in lists by length at 4 bytes each.
class TAsidePlaces {
public:
    TAsidePlaces(const TDBFLite& Table, const TPlan& Plan)
    {
        const uint64_t blockSize = Table.MemoBlockSize();
        const uint64_t size = Table.MemoFileSize();
        const uint64_t fileBlocks = (size + blockSize - 1) / blockSize;
        // The spaces behind the front that no live run takes. Only whole
        // blocks inside the file as it was opened count: the table layer
        // reads a run that reaches past that end only as far as the end,
        // unless it appended the run itself. No reference leads past the
        // last 32-bit block number, so no space there is handed out.
        const uint64_t whole = std::min<uint64_t>(size / blockSize, std::numeric_limits<uint32_t>::max());
        for (uint64_t b = Plan.FrontEnd; b < whole;) {
            if (Plan.Live.Test(b)) {
                ++b;
                continue;
            }
            uint64_t end = b;
            while (end < whole && !Plan.Live.Test(end))
                ++end;
            Add(end - b, b);
            b = end;
        }
        const uint64_t next = Table.MemoNextBlock();
        Append_ = std::max({fileBlocks, Plan.FrontEnd, next <= fileBlocks + MemoGapLimit / blockSize ? next : 0});
    }
    uint64_t Place(uint64_t Blocks)
    {
        uint64_t length = 0, at = 0;
        if (!TakeShort(Blocks, length, at)) {
            const auto hole = Long_.lower_bound(std::max(Blocks, Short));
            if (hole == Long_.end()) {
                Append_ += Blocks;
                return Append_ - Blocks;
            }
            length = hole->first;
            at = hole->second;
            Long_.erase(hole);
        }
        if (length > Blocks)
            Add(length - Blocks, at + Blocks);
        return at;
    }

private:
    static constexpr uint64_t Short = 1024;
    struct TList {
        std::vector<uint32_t> Blocks;
        size_t Head = 0;  // the first not yet handed out
    };

    void Add(uint64_t Length, uint64_t At)
    {
        if (Length >= Short) {
            Long_.insert({Length, At});
            return;
        }
        const size_t l = static_cast<size_t>(Length);
        Short_[l].Blocks.push_back(static_cast<uint32_t>(At));
        Filled_[l / 64] |= uint64_t{1} << (l % 64);
    }
    // The first space of the shortest list at least Blocks long.
    bool TakeShort(uint64_t Blocks, uint64_t& Length, uint64_t& At)
    {
        for (size_t w = static_cast<size_t>(Blocks / 64); Blocks < Short && w < Filled_.size(); ++w) {
            uint64_t bits = Filled_[w];
            if (w == Blocks / 64)
                bits &= ~uint64_t{0} << (Blocks % 64);
            if (bits == 0)
                continue;
            size_t l = w * 64;
            while ((bits & 1) == 0) {
                bits >>= 1;
                ++l;
            }
            TList& list = Short_[l];
            At = list.Blocks[list.Head++];
            if (list.Head == list.Blocks.size()) {
                list = TList();
                Filled_[l / 64] &= ~(uint64_t{1} << (l % 64));
            }
            Length = l;
            return true;
        }
        return false;
    }

    std::vector<TList> Short_ = std::vector<TList>(Short);
    std::array<uint64_t, Short / 64> Filled_ = {};  // a bit for each list that is not empty
    std::multimap<uint64_t, uint64_t> Long_;        // length -> first block
    uint64_t Append_ = 0;
};

// Step 1 walked: Move(RecNo, Field, Run, Aside, First) for every reference
// whose run leaves the front, First for the run's first reference, which
// copies it; the others follow. False when Move asks to stop.
template <typename TMove>
bool WalkAside(TDBFLite& Table, TPlan& Plan, TMove Move)
{
    TAsidePlaces places(Table, Plan);
    for (auto& shared : Plan.Shared)
        shared.second = 0;
    return ForEachRef(Plan, [&](int32_t RecNo, int Field, uint32_t Block) {
        if (!LeavesFront(Plan, Block))
            return Move(RecNo, Field, TMemoRunInfo(), 0, false);
        // The run as the reference reads it, which step 1 has not yet
        // switched: a run the file's end cut short and that was left
        // unsealed reads only what the file held, not the copies appended
        // behind it since.
        const TMemoRunInfo run = Table.MemoRunOf(RecNo, Field);
        const auto shared = Plan.Shared.find(Block);
        if (shared != Plan.Shared.end() && shared->second != 0)
            return Move(RecNo, Field, run, shared->second, false);
        const uint32_t aside = Placed(Table, places.Place(RunBlocks(Table, run.Present)));
        if (shared != Plan.Shared.end())
            shared->second = aside;
        return Move(RecNo, Field, run, aside, true);
    });
}

// Step 1 worked out: every place checked, and how large the file gets. The
// file may grow on the way by what runs that overlap (damaged lengths) are
// copied apart, but never past twice its size or 2 GiB, whichever is more.
void PlaceAside(TDBFLite& Table, TPlan& Plan)
{
    const uint64_t size = Table.MemoFileSize();
    Plan.Peak = size;
    Plan.MovedAside = 0;
    WalkAside(Table, Plan, [&](int32_t, int Field, const TMemoRunInfo& Run, uint32_t Aside, bool First) {
        if (Aside == 0)
            return true;
        RequireFits(Table, Field, Aside, Run.Present);
        if (First) {
            ++Plan.MovedAside;
            Plan.Peak = std::max(Plan.Peak, (Aside + RunBlocks(Table, Run.Present)) * Table.MemoBlockSize());
        }
        return true;
    });
    const uint64_t bound = 2 * std::max<uint64_t>(size, OwnerMemoLimit);
    if (Plan.Peak > bound)
        throw ERefused(FormatRepairText(TRepairText::PackOverlapping, {std::to_string(Plan.Peak)}, TLanguage::Russian));
}

// What a plan comes to, before anything is written.
TPackResult Expected(const TDBFLite& Table, const TPlan& Plan)
{
    TPackResult result;
    result.SizeBefore = Table.MemoFileSize();
    result.SizeAfter = Plan.FrontEnd * Table.MemoBlockSize();
    result.PeakSize = Plan.Peak;
    result.Texts = Plan.Blocks.size();
    result.References = Plan.Blocks.size();
    result.Blanked = Plan.Blank.size();
    result.MovedAside = Plan.MovedAside;
    return result;
}

// The table checked and every run placed: the front for all of them, and,
// for those in the front now, a place behind it for step 1; every write of
// the plan checked.
TPlan Replan(TDBFLite& Table)
{
    // A header that counts more records than the file holds counts the run
    // no records past them, as Clear and Rewrite do.
    Table.LimitRecordCountToFile();
    RequirePackable(Table);
    TPlan plan;
    CollectRuns(Table, plan);
    PlaceAside(Table, plan);
    return plan;
}

// Step 1: the front cleared, its runs copied behind it, then pointed at.
// False when Step asked to stop.
bool MoveFrontAside(TDBFLite& Table, TPlan& Plan, TPackResult& Result, const std::function<bool()>& Step)
{
    const bool going =
        WalkAside(Table, Plan, [&](int32_t RecNo, int Field, const TMemoRunInfo& Run, uint32_t Aside, bool First) {
            if (!Step())
                return false;
            if (Aside == 0)
                return true;
            if (First) {
                Table.CopyMemoRun(Run, Aside);
                ++Result.MovedAside;
            }
            Table.PointMemoRef(RecNo, Field, Aside);
            return true;
        });
    Table.Commit();
    return going;
}

// Step 2: every reference's run into its place in the front, in record
// order, copied from where step 1 left the reference. False when Step asked
// to stop. The places follow from the runs' lengths: should a run not be
// what the plan found, the copy stops before it writes over a run that
// stays or past the front.
bool CopyIntoFront(TDBFLite& Table, const TPlan& Plan, const std::function<bool()>& Step)
{
    uint64_t final = Plan.FrontStart;
    const bool going = ForEachRef(Plan, [&](int32_t RecNo, int Field, uint32_t Block) {
        if (!Step())
            return false;
        if (Block == final && Plan.InPlace.Test(Block)) {
            final += RunBlocks(Table, Table.MemoRunOf(RecNo, Field).Present);
            return true;
        }
        const TMemoRunInfo run = Table.MemoRunOf(RecNo, Field);
        const uint64_t blocks = RunBlocks(Table, run.Present);
        if (final + blocks > Plan.FrontEnd || Plan.InPlaceAt.Any(final, final + blocks))
            throw EError("Неверный блок MEMO файла " + Table.MemoFileName());
        Table.CopyMemoRun(run, final);
        Table.PointMemoRef(RecNo, Field, final);
        final += blocks;
        return true;
    });
    if (going && final != Plan.FrontEnd)
        throw EError("Неверный блок MEMO файла " + Table.MemoFileName());
    return going;
}

}  // namespace

namespace {

// The table opened and its plan made and checked. What stops the run here
// is a refusal: nothing has been written.
TPlan OpenAndPlan(TDBFLite& Table, const std::string& TablePath, bool ReadOnly)
{
    if (ReadOnly)
        Table.OpenTable(TablePath, true);
    else
        OpenTableForChanges(Table, TablePath);
    return Replan(Table);
}

// After a pack that failed (a full disk, say): what it appended past both
// the memo file's old end and the next free block its header has on the
// disk leads nowhere. A reference reaches the disk only after the memo
// file is synced, header and all, so none leads there; the partial copies
// go, and no reader takes them for texts. Best effort: the failure that
// stopped the pack is what the user is told.
void CutFailedTail(TFileSystem& Files, const std::string& MemoPath, uint64_t SizeBefore) noexcept
{
    try {
        const std::unique_ptr<TFileStream> memo = Files.Open(MemoPath, TFileAccess::ReadWrite, TFileShare::Exclusive);
        unsigned char header[8] = {};
        if (memo->ReadAt(0, header, sizeof header) < sizeof header)
            return;
        const uint64_t keep = std::max(SizeBefore, uint64_t{be32(header)} * be16(header + 6));
        if (memo->Size() > keep) {
            memo->Truncate(keep);
            memo->Sync();
        }
    } catch (...) {
    }
}

}  // namespace

TPackResult PlanPack(TFileSystem& Files, const std::string& TablePath)
{
    TDBFLite table(Files);
    const TPlan plan = OpenAndPlan(table, TablePath, true);
    return Expected(table, plan);
}

TPackResult PackMemo(TFileSystem& Files, const std::string& TablePath, bool AllowLarge,
                     const std::function<void(int64_t, int64_t)>& Progress,
                     const std::function<bool(TDBFLite&, const TPackResult&)>& BeforeWrites,
                     const std::function<bool()>& StopRequested)
{
    TDBFLite table(Files);
    TPlan plan = OpenAndPlan(table, TablePath, false);
    TPackResult result = Expected(table, plan);
    const auto tooLarge = [&] {
        return plan.Peak > OwnerMemoLimit && result.SizeBefore <= OwnerMemoLimit && !AllowLarge;
    };
    if (tooLarge()) {
        result.TooLarge = true;
        return result;
    }
    if (BeforeWrites) {
        if (!BeforeWrites(table, result))
            return result;
        // The owner may have worked on the table while the question stood:
        // the plan carried out is made from the files as they are now.
        table.Reload();
        plan = TPlan();  // the old plan's memory back before the new one's
        plan = Replan(table);
        result = Expected(table, plan);
        if (tooLarge()) {
            result.TooLarge = true;
            return result;
        }
    }
    result.MovedAside = 0;
    const int64_t steps = static_cast<int64_t>(plan.Blocks.size()) * 2;
    int64_t done = 0;
    const std::function<bool()> step = [&] {
        if (Progress && ++done % 1000 == 0)
            Progress(done, steps);
        return !StopRequested || !StopRequested();
    };

    const uint64_t sizeBefore = table.MemoFileSize();
    const uint64_t blockSize = table.MemoBlockSize();
    const std::string memoPath = table.MemoFileName();
    try {
        // Runs the file's end cuts short end where the file does, before the
        // first run is appended after them.
        table.SealCutRuns();
        // 0. References that lead to no run are blanked, on disk before any
        // run moves under them.
        for (const auto& blank : plan.Blank)
            table.WriteBlankMemoRef(blank.first, blank.second);
        plan.Blank.clear();
        plan.Blank.shrink_to_fit();
        table.Commit();
        if (!MoveFrontAside(table, plan, result, step) || !CopyIntoFront(table, plan, step)) {
            // Every reference reads its text from wherever the run left it;
            // the file keeps its length until a later pack.
            result.SizeAfter = table.MemoFileSize();
            table.CloseTable();
            result.Stopped = true;
            return result;
        }
        // 3. The header, then the cut.
        table.ShrinkMemoAndClose(static_cast<uint32_t>(plan.FrontEnd));
    } catch (...) {
        try {
            table.CloseTable();
        } catch (...) {
        }
        CutFailedTail(Files, memoPath, sizeBefore);
        throw;
    }
    result.SizeAfter = plan.FrontEnd * blockSize;
    result.Done = true;
    return result;
}
