#include "cli/pack.h"

#include <algorithm>
#include <map>
#include <vector>

#include "cli/memolimit.h"
#include "cli/repairtexts.h"
#include "dbflite/dbflite.h"

namespace {

constexpr uint64_t MemoHeaderArea = 512;
constexpr uint64_t BlockHeaderSize = 8;
// As the table layer: a next free block further past the end is damaged.
constexpr uint64_t MemoGapLimit = 16u << 20;

// One reference that reads a text, by where it led when the run began.
struct TLiveRef {
    int32_t RecNo;
    int Field;
    uint32_t Block;
};

// One run that live references lead to, in block order.
struct TLiveRun {
    uint32_t Block;
    uint64_t Blocks;
    uint64_t Final = 0;   // its place in the front, in record order
    uint32_t Aside = 0;   // where step 1 puts it
    bool MovedAside = false;
    bool Copied = false;  // by the step under way
    bool InPlace() const { return Block == Final; }
};

struct TPlan {
    std::vector<TLiveRef> Refs;   // in record order
    std::vector<TLiveRun> Runs;   // in block order, each once
    std::vector<std::pair<int32_t, int>> Blank;  // references that read as blank
    uint64_t FrontStart = 0, FrontEnd = 0;  // in blocks
    uint64_t Peak = 0;            // bytes
    uint64_t ToBlank = 0;
};

class TBlockBits {
public:
    explicit TBlockBits(uint64_t Count) : Bits_(Count, false) {}
    void Set(uint64_t From, uint64_t To)
    {
        for (uint64_t i = From; i < To && i < Bits_.size(); ++i)
            Bits_[i] = true;
    }
    bool Test(uint64_t I) const { return I < Bits_.size() && Bits_[I]; }

private:
    std::vector<bool> Bits_;
};

std::vector<int> MemoFields(const TDBFLite& Table)
{
    std::vector<int> fields;
    for (size_t i = 0; i < Table.Fields().size(); ++i)
        if (Table.Fields()[i].FieldType == 'M')
            fields.push_back(static_cast<int>(i));
    return fields;
}

void RequirePackable(const TDBFLite& Table)
{
    if (!Table.HasMemoFile())
        throw EError(RepairText(TRepairText::SalvageNoMemoFile));
    if (Table.MemoBlockSize() == 0)
        throw EError(RepairText(TRepairText::SalvageBlockSizeZero));
}

TLiveRun* RunAt(std::vector<TLiveRun>& Runs, uint32_t Block)
{
    const auto at = std::lower_bound(Runs.begin(), Runs.end(), Block,
                                     [](const TLiveRun& R, uint32_t B) { return R.Block < B; });
    return at != Runs.end() && at->Block == Block ? &*at : nullptr;
}

// Reads the references (no text but the first bytes that tell blank from
// not) and places every run: the front for all of them, and, for those in
// the front now, a place behind it for step 1.
TPlan MakePlan(TDBFLite& Table)
{
    TPlan plan;
    const uint64_t blockSize = Table.MemoBlockSize();
    const std::vector<int> fields = MemoFields(Table);
    const int32_t records = Table.RecordsInFile();
    for (int32_t r = 0; r < records; ++r)
        for (int field : fields) {
            const TMemoInspection seen = Table.InspectMemo(r, field);
            if (seen.State == TMemoRefState::Empty)
                continue;
            if (seen.ReadsBlank) {
                ++plan.ToBlank;
                plan.Blank.push_back({r, field});
                continue;
            }
            const TMemoRunInfo run = Table.MemoRunOf(r, field);
            if (!run.InFile)
                continue;
            plan.Refs.push_back({r, field, static_cast<uint32_t>(run.Block)});
            const uint64_t blocks = (BlockHeaderSize + run.Present + blockSize - 1) / blockSize;
            plan.Runs.push_back({static_cast<uint32_t>(run.Block), blocks});
        }
    std::sort(plan.Runs.begin(), plan.Runs.end(),
              [](const TLiveRun& A, const TLiveRun& B) { return A.Block < B.Block; });
    plan.Runs.erase(std::unique(plan.Runs.begin(), plan.Runs.end(),
                                [](const TLiveRun& A, const TLiveRun& B) { return A.Block == B.Block; }),
                    plan.Runs.end());

    const uint64_t size = Table.MemoFileSize();
    const uint64_t fileBlocks = (size + blockSize - 1) / blockSize;
    const uint64_t wholeBlocks = size / blockSize;
    plan.FrontStart = (MemoHeaderArea + blockSize - 1) / blockSize;
    plan.FrontEnd = plan.FrontStart;
    TBlockBits live(fileBlocks);
    for (const TLiveRun& run : plan.Runs)
        live.Set(run.Block, uint64_t{run.Block} + run.Blocks);
    // The front in record order. A run already at its place stays there (a
    // packed file, or one whose pack was cut short, is not copied again).
    for (const TLiveRef& ref : plan.Refs) {
        TLiveRun& run = *RunAt(plan.Runs, ref.Block);
        if (run.Copied)
            continue;
        run.Copied = true;
        run.Final = plan.FrontEnd;
        plan.FrontEnd += run.Blocks;
    }
    for (TLiveRun& run : plan.Runs)
        run.Copied = false;

    // Step 1 in record order: each run in the front goes to the smallest
    // space behind the front that no live run takes and that holds it, else
    // past the end (and past the front, should the front reach that far).
    // Only whole blocks inside the file as it was opened count: the table
    // layer reads a run that reaches past that end only as far as the end,
    // unless it appended the run itself.
    std::multimap<uint64_t, uint64_t> holes;  // length -> first block
    for (uint64_t b = plan.FrontEnd; b < wholeBlocks;) {
        if (live.Test(b)) {
            ++b;
            continue;
        }
        uint64_t end = b;
        while (end < wholeBlocks && !live.Test(end))
            ++end;
        holes.insert({end - b, b});
        b = end;
    }
    const uint64_t next = Table.MemoNextBlock();
    uint64_t append = std::max({fileBlocks, plan.FrontEnd, next <= fileBlocks + MemoGapLimit / blockSize ? next : 0});
    for (const TLiveRef& ref : plan.Refs) {
        TLiveRun& run = *RunAt(plan.Runs, ref.Block);
        if (run.Block >= plan.FrontEnd || run.MovedAside || run.InPlace())
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
        run.Aside = static_cast<uint32_t>(at);
        plan.Peak = std::max(plan.Peak, (at + run.Blocks) * blockSize);
    }
    plan.Peak = std::max(plan.Peak, size);
    return plan;
}

}  // namespace

TPackResult PlanPack(TFileSystem& Files, const std::string& TablePath)
{
    TDBFLite table(Files);
    table.OpenTable(TablePath, true);
    RequirePackable(table);
    const TPlan plan = MakePlan(table);
    TPackResult result;
    result.SizeBefore = table.MemoFileSize();
    result.SizeAfter = plan.FrontEnd * table.MemoBlockSize();
    result.PeakSize = plan.Peak;
    result.Texts = plan.Runs.size();
    result.References = plan.Refs.size();
    result.Blanked = plan.ToBlank;
    for (const TLiveRun& run : plan.Runs)
        result.MovedAside += run.MovedAside;
    return result;
}

TPackResult PackMemo(TFileSystem& Files, const std::string& TablePath, bool AllowLarge,
                     const std::function<void(int64_t, int64_t)>& Progress,
                     const std::function<bool(TDBFLite&, const TPackResult&)>& BeforeWrites)
{
    TDBFLite table(Files);
    table.OpenTable(TablePath, false);
    RequirePackable(table);
    TPlan plan = MakePlan(table);
    TPackResult result;
    result.SizeBefore = table.MemoFileSize();
    result.PeakSize = plan.Peak;
    result.Texts = plan.Runs.size();
    result.References = plan.Refs.size();
    result.SizeAfter = plan.FrontEnd * table.MemoBlockSize();
    for (const TLiveRun& run : plan.Runs)
        result.MovedAside += run.MovedAside;
    if (plan.Peak > OwnerMemoLimit && result.SizeBefore <= OwnerMemoLimit && !AllowLarge) {
        result.TooLarge = true;
        return result;
    }
    if (BeforeWrites && !BeforeWrites(table, result))
        return result;
    result.MovedAside = 0;
    const int64_t steps = static_cast<int64_t>(plan.Refs.size()) * 2;
    int64_t done = 0;
    const auto step = [&] {
        if (Progress && ++done % 1000 == 0)
            Progress(done, steps);
    };

    // 0. What reads as blank is blanked, on disk before any run moves.
    for (const auto& blank : plan.Blank) {
        table.WriteBlankMemoRef(blank.first, blank.second);
        ++result.Blanked;
    }
    plan.Blank.clear();
    plan.Blank.shrink_to_fit();
    table.Commit();

    // 1. The front cleared: its runs copied behind it, then pointed at.
    for (const TLiveRef& ref : plan.Refs) {
        step();
        TLiveRun& run = *RunAt(plan.Runs, ref.Block);
        if (!run.MovedAside)
            continue;
        if (!run.Copied) {
            table.CopyMemoRun(table.MemoRunOf(ref.RecNo, ref.Field), run.Aside);
            run.Copied = true;
            ++result.MovedAside;
        }
        table.PointMemoRef(ref.RecNo, ref.Field, run.Aside);
    }
    table.Commit();
    for (TLiveRun& run : plan.Runs)
        run.Copied = false;

    // 2. Every run into its place in the front, in record order.
    for (const TLiveRef& ref : plan.Refs) {
        step();
        TLiveRun& run = *RunAt(plan.Runs, ref.Block);
        if (run.InPlace())
            continue;
        if (!run.Copied) {
            table.CopyMemoRun(table.MemoRunOf(ref.RecNo, ref.Field), run.Final);
            run.Copied = true;
        }
        table.PointMemoRef(ref.RecNo, ref.Field, run.Final);
    }
    // 3. The header, then the cut.
    const uint64_t blockSize = table.MemoBlockSize();
    table.ShrinkMemoAndClose(static_cast<uint32_t>(plan.FrontEnd));
    result.SizeAfter = plan.FrontEnd * blockSize;
    result.Done = true;
    return result;
}
