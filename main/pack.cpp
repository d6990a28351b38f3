#include "pack.h"

#include <algorithm>
#include <limits>
#include <map>
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
// written, so the plan keeps them in 32 bits, as millions of entries do.

// One reference that leads to a run, by where it led when the run began.
struct TLiveRef {
    int32_t RecNo;
    int Field;
    uint32_t Block;
    uint32_t Final = 0;  // its own run's place in the front
};

// One run that live references lead to, in block order.
struct TLiveRun {
    uint32_t Block;
    uint32_t Present;    // the bytes of its text the file holds
    uint32_t Blocks;     // a run's length is a 32-bit number: so are its blocks, but for a block of a byte
    uint32_t Final = 0;  // its place in the front: the first reference's
    uint32_t Aside = 0;  // where step 1 puts it
    bool Whole;          // all the bytes its header claims
    bool MovedAside = false;
    bool Copied = false;  // by the step under way
    // A run cut short by the file's end stays only when copied: in place,
    // the runs that come to lie behind it would read as the rest of its text.
    bool InPlace() const { return Block == Final && Whole; }
};

struct TPlan {
    std::vector<TLiveRef> Refs;                  // in record order
    std::vector<TLiveRun> Runs;                  // in block order, each once
    std::vector<std::pair<int32_t, int>> Blank;  // references that lead to no run
    uint64_t FrontStart = 0, FrontEnd = 0;       // in blocks
    uint64_t Peak = 0;                           // bytes
};

// Block, as a plan keeps it; a block past the memo file's last block number
// refuses the table.
uint32_t Placed(const TDBFLite& Table, uint64_t Block)
{
    if (Block > std::numeric_limits<uint32_t>::max())
        throw ERefused("MEMO файл \"" + Table.MemoFileName() + "\" переполнен");
    return static_cast<uint32_t>(Block);
}

class TBlockBits {
public:
    // Blocks past what a size_t counts (a file of over 4 GiB in blocks of a
    // byte, on a 32-bit system) are taken as live: never handed out.
    explicit TBlockBits(uint64_t Count)
        : Bits_(static_cast<size_t>(std::min<uint64_t>(Count, std::numeric_limits<size_t>::max())), false)
    {
    }
    void Set(uint64_t From, uint64_t To)
    {
        for (uint64_t i = From; i < To && i < Bits_.size(); ++i)
            Bits_[static_cast<size_t>(i)] = true;
    }
    bool Test(uint64_t I) const { return I >= Bits_.size() || Bits_[static_cast<size_t>(I)]; }

private:
    std::vector<bool> Bits_;
};

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

template <typename TRuns>
auto RunAt(TRuns& Runs, uint32_t Block) -> decltype(&Runs[0])
{
    const auto at =
        std::lower_bound(Runs.begin(), Runs.end(), Block, [](const TLiveRun& R, uint32_t B) { return R.Block < B; });
    return at != Runs.end() && at->Block == Block ? &*at : nullptr;
}

// Reads the references of every field that leads into the memo file (no
// text but the block headers): the runs they lead to, each once, in block
// order. What a run holds does not matter: an empty text, blanks or zeros
// are kept as they are. References that lead to no run (not a number, past
// the end, into the middle of a text) read no text; they are blanked, as
// Clear does, since the texts moved under them would otherwise become
// theirs.
void CollectRuns(TDBFLite& Table, TPlan& Plan)
{
    const uint64_t blockSize = Table.MemoBlockSize();
    const std::vector<int> fields = Table.MemoFileFields();
    const int32_t records = Table.RecordsInFile();
    // Room for a reference in every field of every record: the pages of it
    // that stay unused are never touched, so they cost address space, not
    // memory, where growing by doubling would hold up to twice the plan.
    const uint64_t most = std::min<uint64_t>(uint64_t(records) * fields.size(), uint64_t{1} << 26);
    try {
        Plan.Refs.reserve(static_cast<size_t>(most));
        Plan.Runs.reserve(static_cast<size_t>(most));
    } catch (const std::bad_alloc&) {
    }
    for (int32_t r = 0; r < records; ++r)
        for (int field : fields) {
            // (The inspection looks the run up too: it is not looked up twice.)
            const TMemoInspection inspected = Table.InspectMemo(r, field);
            const TMemoRefState state = inspected.State;
            if (state == TMemoRefState::Empty)
                continue;
            const TMemoRunInfo& run = inspected.Run;
            if (state == TMemoRefState::NotANumber || state == TMemoRefState::PastEnd ||
                state == TMemoRefState::NotAStart || !run.InFile) {
                Plan.Blank.push_back({r, field});
                continue;
            }
            Plan.Refs.push_back({r, field, static_cast<uint32_t>(run.Block)});
            const uint64_t blocks = (MemoBlockHeaderSize + run.Present + blockSize - 1) / blockSize;
            Plan.Runs.push_back({static_cast<uint32_t>(run.Block), static_cast<uint32_t>(run.Present),
                                 Placed(Table, blocks), 0, 0, run.Present == run.Length});
        }
    std::sort(Plan.Runs.begin(), Plan.Runs.end(),
              [](const TLiveRun& A, const TLiveRun& B) { return A.Block < B.Block; });
    Plan.Runs.erase(std::unique(Plan.Runs.begin(), Plan.Runs.end(),
                                [](const TLiveRun& A, const TLiveRun& B) { return A.Block == B.Block; }),
                    Plan.Runs.end());
}

// The front in record order, a run of its own for every reference: two
// references that shared a text get a copy each, so the owner's next edit
// of one no longer changes the other. A run already at its place stays
// there (a packed file, or one whose pack was cut short, is not copied
// again).
void PlaceInFront(const TDBFLite& Table, TPlan& Plan)
{
    const uint64_t blockSize = Table.MemoBlockSize();
    Plan.FrontStart = (MemoHeaderArea + blockSize - 1) / blockSize;
    Plan.FrontEnd = Plan.FrontStart;
    for (TLiveRef& ref : Plan.Refs) {
        TLiveRun& run = *RunAt(Plan.Runs, ref.Block);
        ref.Final = Placed(Table, Plan.FrontEnd);
        Plan.FrontEnd += run.Blocks;
        if (!run.Copied)
            run.Final = ref.Final;
        run.Copied = true;
    }
    for (TLiveRun& run : Plan.Runs)
        run.Copied = false;
}

// The spaces behind the front that no live run takes, by length. Only whole
// blocks inside the file as it was opened count: the table layer reads a
// run that reaches past that end only as far as the end, unless it
// appended the run itself.
std::multimap<uint64_t, uint64_t> FreeSpaces(const TPlan& Plan, uint64_t FileBlocks, uint64_t WholeBlocks)
{
    TBlockBits live(FileBlocks);
    for (const TLiveRun& run : Plan.Runs)
        live.Set(run.Block, uint64_t{run.Block} + run.Blocks);
    std::multimap<uint64_t, uint64_t> holes;  // length -> first block
    for (uint64_t b = Plan.FrontEnd; b < WholeBlocks;) {
        if (live.Test(b)) {
            ++b;
            continue;
        }
        uint64_t end = b;
        while (end < WholeBlocks && !live.Test(end))
            ++end;
        holes.insert({end - b, b});
        b = end;
    }
    return holes;
}

// Step 1 in record order: each run in the front goes to the smallest space
// behind the front that holds it, else past the end (and past the front,
// should the front reach that far).
void PlaceAside(const TDBFLite& Table, uint64_t Size, TPlan& Plan)
{
    const uint64_t blockSize = Table.MemoBlockSize();
    const uint64_t fileBlocks = (Size + blockSize - 1) / blockSize;
    std::multimap<uint64_t, uint64_t> holes = FreeSpaces(Plan, fileBlocks, Size / blockSize);
    const uint64_t next = Table.MemoNextBlock();
    uint64_t append = std::max({fileBlocks, Plan.FrontEnd, next <= fileBlocks + MemoGapLimit / blockSize ? next : 0});
    for (const TLiveRef& ref : Plan.Refs) {
        TLiveRun& run = *RunAt(Plan.Runs, ref.Block);
        if (run.Block >= Plan.FrontEnd || run.MovedAside || run.InPlace())
            continue;
        run.MovedAside = true;
        uint64_t at = 0;
        const auto hole = holes.lower_bound(run.Blocks);
        if (hole != holes.end()) {
            at = hole->second;
            const uint64_t left = hole->first - run.Blocks;
            holes.erase(hole);
            if (left > 0)
                holes.insert({left, at + run.Blocks});
        } else {
            at = append;
            append += run.Blocks;
        }
        run.Aside = Placed(Table, at);
        Plan.Peak = std::max(Plan.Peak, (at + run.Blocks) * blockSize);
    }
    Plan.Peak = std::max(Plan.Peak, Size);
}

// Every copy and every reference the plan writes, checked before the first
// write: a block a field cannot hold, or past the memo file's last block
// number, would stop the run half done. The file may grow on the way by
// what runs that overlap (damaged lengths) are copied apart, but never past
// twice its size or 2 GiB, whichever is more.
void RequireFeasible(const TDBFLite& Table, const TPlan& Plan, uint64_t SizeBefore)
{
    for (const TLiveRef& ref : Plan.Refs) {
        const TLiveRun& run = *RunAt(Plan.Runs, ref.Block);
        if (run.MovedAside)
            Table.PlanMemoRun(ref.Field, run.Aside, run.Present);
        Table.PlanMemoRun(ref.Field, ref.Final, run.Present);
    }
    const uint64_t bound = 2 * std::max<uint64_t>(SizeBefore, OwnerMemoLimit);
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
    result.Texts = Plan.Refs.size();
    result.References = Plan.Refs.size();
    result.Blanked = Plan.Blank.size();
    for (const TLiveRun& run : Plan.Runs)
        result.MovedAside += run.MovedAside;
    return result;
}

// The table checked and every run placed: the front for all of them, and,
// for those in the front now, a place behind it for step 1; then every
// write of the plan checked.
TPlan Replan(TDBFLite& Table)
{
    // A header that counts more records than the file holds counts the run
    // no records past them, as Clear and Rewrite do.
    Table.LimitRecordCountToFile();
    RequirePackable(Table);
    TPlan plan;
    CollectRuns(Table, plan);
    PlaceInFront(Table, plan);
    PlaceAside(Table, Table.MemoFileSize(), plan);
    try {
        RequireFeasible(Table, plan, Table.MemoFileSize());
    } catch (const ERefused&) {
        throw;
    } catch (const EStreamError&) {
        throw;
    } catch (const EError& e) {
        throw ERefused(e.Message());
    }
    return plan;
}

// Step 1: the front cleared, its runs copied behind it, then pointed at.
// False when Step asked to stop.
bool MoveFrontAside(TDBFLite& Table, TPlan& Plan, TPackResult& Result, const std::function<bool()>& Step)
{
    bool going = true;
    for (const TLiveRef& ref : Plan.Refs) {
        if (!(going = Step()))
            break;
        TLiveRun& run = *RunAt(Plan.Runs, ref.Block);
        if (!run.MovedAside)
            continue;
        if (!run.Copied) {
            Table.CopyMemoRun(Table.MemoRunOf(ref.RecNo, ref.Field), run.Aside);
            run.Copied = true;
            ++Result.MovedAside;
        }
        Table.PointMemoRef(ref.RecNo, ref.Field, run.Aside);
    }
    Table.Commit();
    for (TLiveRun& run : Plan.Runs)
        run.Copied = false;
    return going;
}

// Step 2: every reference's run into its place in the front, in record
// order, copied from where step 1 left the reference. False when Step asked
// to stop.
bool CopyIntoFront(TDBFLite& Table, TPlan& Plan, const std::function<bool()>& Step)
{
    for (const TLiveRef& ref : Plan.Refs) {
        if (!Step())
            return false;
        const TLiveRun& run = *RunAt(Plan.Runs, ref.Block);
        if (run.InPlace() && ref.Final == run.Final)
            continue;
        Table.CopyMemoRun(Table.MemoRunOf(ref.RecNo, ref.Field), ref.Final);
        Table.PointMemoRef(ref.RecNo, ref.Field, ref.Final);
    }
    return true;
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
    const int64_t steps = static_cast<int64_t>(plan.Refs.size()) * 2;
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
