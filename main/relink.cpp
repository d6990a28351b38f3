#include "relink.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include "codepage.h"
#include "diagnosis.h"
#include "escape.h"
#include "fptlayout.h"
#include "port.h"
#include "repairtexts.h"
#include "strutil.h"
#include "maintexts.h"
#include "outcome.h"
#include "memomap.h"

namespace {

// More unreadable characters than this and the readable ones say too little
// about the number that stood there.
constexpr size_t MaxWildcards = 4;
// Wider text references are long character fields, not block numbers.
constexpr size_t WidestTextRef = 20;
constexpr uint64_t NoBlock = std::numeric_limits<uint64_t>::max();
constexpr size_t NoEntry = std::numeric_limits<size_t>::max();
// A gap between two live runs whose references lie further apart than this
// in record order says nothing about whose text lies in it.
constexpr size_t WidestGap = 1000;

// One reference of the table, in record and field order.
struct TRefEntry {
    enum TKind : uint8_t { Empty, Live, Damaged, Shared };
    int32_t RecNo = 0;
    int FieldNo = 0;
    int64_t Block = -1;  // the run start a live or shared reference leads to
    TKind Kind = Empty;
    bool Chosen = false;  // a field the run mends
    TMemoRefState State = TMemoRefState::Empty;
};

// A damaged reference (or a cross-linked one) and what the evidence says.
struct TCase {
    size_t Entry = 0;
    std::vector<std::pair<uint64_t, TRelinkRule>> Own;  // orphans its bytes point to
    uint64_t Prev = 0, Next = NoBlock;                  // its live neighbours' runs
    uint64_t Chosen = NoBlock;
    TRelinkRule Rule = TRelinkRule::OneCharacter;
};

bool IsDamagedState(TMemoRefState State)
{
    return State == TMemoRefState::NotANumber || State == TMemoRefState::PastEnd ||
           State == TMemoRefState::RunsPastEnd || State == TMemoRefState::NotAStart;
}

bool IsDigit(char C) { return C >= '0' && C <= '9'; }

// A text reference as a writer leaves it: spaces, then digits to the end (a
// block number above 0). False for anything else.
bool ParseTextRef(const std::string& Bytes, uint64_t& Value)
{
    size_t i = 0;
    while (i < Bytes.size() && Bytes[i] == ' ')
        ++i;
    if (i == Bytes.size() || Bytes.size() - i > 18)
        return false;
    Value = 0;
    for (; i < Bytes.size(); ++i) {
        if (!IsDigit(Bytes[i]))
            return false;
        Value = Value * 10 + static_cast<uint64_t>(Bytes[i] - '0');
    }
    return Value > 0;
}

// The block numbers a damaged text reference may have held: one character
// other than it is, or its unreadable characters (not digits, past the
// leading spaces) each any digit or a space.
std::vector<std::pair<uint64_t, TRelinkRule>> TextRefReadings(const std::string& Bytes)
{
    std::vector<std::pair<uint64_t, TRelinkRule>> out;
    if (Bytes.size() > WidestTextRef)
        return out;
    static const char Choices[] = " 0123456789";
    uint64_t value = 0;
    uint64_t current = 0;
    if (!ParseTextRef(Bytes, current))
        current = 0;
    std::string s = Bytes;
    for (size_t i = 0; i < s.size(); ++i) {
        const char was = s[i];
        for (char c : std::string(Choices)) {
            if (c == was)
                continue;
            s[i] = c;
            if (ParseTextRef(s, value) && value != current)
                out.push_back({value, TRelinkRule::OneCharacter});
        }
        s[i] = was;
    }
    size_t lead = 0;
    while (lead < Bytes.size() && Bytes[lead] == ' ')
        ++lead;
    std::vector<size_t> unreadable;
    for (size_t i = lead; i < Bytes.size(); ++i)
        if (!IsDigit(Bytes[i]))
            unreadable.push_back(i);
    const bool anyDigit = std::any_of(Bytes.begin(), Bytes.end(), IsDigit);
    if (unreadable.size() < 2 || unreadable.size() > MaxWildcards || !anyDigit)
        return out;  // one unreadable character: the readings above hold them all
    size_t combinations = 1;
    for (size_t k = 0; k < unreadable.size(); ++k)
        combinations *= 11;
    for (size_t n = 0; n < combinations; ++n) {
        size_t rest = n;
        for (size_t at : unreadable) {
            s[at] = Choices[rest % 11];
            rest /= 11;
        }
        if (ParseTextRef(s, value) && value != current)
            out.push_back({value, TRelinkRule::Wildcards});
    }
    return out;
}

// The block numbers a binary reference one flipped bit away from it holds.
std::vector<std::pair<uint64_t, TRelinkRule>> BinaryRefReadings(const std::string& Bytes)
{
    std::vector<std::pair<uint64_t, TRelinkRule>> out;
    const uint32_t value = le32(reinterpret_cast<const unsigned char*>(Bytes.data()));
    for (int bit = 0; bit < 32; ++bit) {
        const uint32_t flipped = value ^ (uint32_t{1} << bit);
        if (flipped != 0)
            out.push_back({flipped, TRelinkRule::OneBit});
    }
    return out;
}

class TPlanner {
public:
    TPlanner(TDBFLite& Table, TFileSystem& Files, const std::vector<int>& Fields, const TRelinkProgress& Progress)
        : Table_(Table), Fields_(Fields), Progress_(Progress), Map_(Table, Files)
    {
    }

    TRelinkResult Plan()
    {
        CollectReferences();
        Map_.AddAllRecords(Progress_);
        Map_.Scan(Progress_);
        IndexOrphans();
        FindNeighbours();
        for (const TRefEntry& e : Entries_)
            if (e.Kind == TRefEntry::Live)
                LiveByBlock_.push_back({static_cast<uint64_t>(e.Block), static_cast<size_t>(&e - Entries_.data())});
        std::sort(LiveByBlock_.begin(), LiveByBlock_.end());
        for (TCase& c : Cases_)
            c.Own = OrphansAmong(ReadingsOf(Entries_[c.Entry]));
        for (TCase& c : Cases_)
            Decide(c);
        LeaveSharedRunsAnOwner();
        DropContested();
        return Proposals();
    }

private:
    TDBFLite& Table_;
    const std::vector<int>& Fields_;
    const TRelinkProgress& Progress_;
    TMemoMap Map_;
    std::vector<TRefEntry> Entries_;
    std::vector<TCase> Cases_;
    std::unordered_map<uint64_t, size_t> OrphanAt_;  // block -> index in Map_.Orphans()
    std::vector<uint64_t> LiveStarts_;               // sorted
    // The live references' runs in block order: block, entry.
    std::vector<std::pair<uint64_t, size_t>> LiveByBlock_;
    TRelinkResult Result_;

    const std::vector<TMemoOrphan>& Orphans() const { return Map_.Orphans(); }

    void CollectReferences()
    {
        const std::vector<int> all = Table_.MemoFileFields();
        const int32_t records = Table_.RecordsInFile();
        Entries_.reserve(static_cast<size_t>(records) * all.size());
        std::unordered_map<uint64_t, uint32_t> sharers;
        for (int32_t r = 0; r < records; ++r) {
            if (Progress_ && (r + 1) % 1000 == 0)
                Progress_(r + 1, records);
            for (int field : all) {
                TRefEntry e;
                e.RecNo = r;
                e.FieldNo = field;
                e.Chosen = std::find(Fields_.begin(), Fields_.end(), field) != Fields_.end();
                if (e.Chosen) {
                    e.State = Table_.InspectMemo(r, field).State;
                    if (IsDamagedState(e.State)) {
                        e.Kind = TRefEntry::Damaged;
                        // Its header claims a length past the file's end:
                        // counted live, it would cover the runs after it.
                        if (e.State == TMemoRefState::RunsPastEnd)
                            Map_.Ignore(r, field);
                        Entries_.push_back(e);
                        continue;
                    }
                }
                const TMemoRunInfo run = Table_.MemoRunOf(r, field);
                if (run.InFile && IsRunStart(run.Offset, run.Type)) {
                    e.Kind = TRefEntry::Live;
                    e.Block = run.Block;
                    ++sharers[static_cast<uint64_t>(run.Block)];
                    LiveStarts_.push_back(static_cast<uint64_t>(run.Block));
                }
                Entries_.push_back(e);
            }
        }
        std::sort(LiveStarts_.begin(), LiveStarts_.end());
        LiveStarts_.erase(std::unique(LiveStarts_.begin(), LiveStarts_.end()), LiveStarts_.end());
        for (size_t i = 0; i < Entries_.size(); ++i) {
            TRefEntry& e = Entries_[i];
            if (e.Kind == TRefEntry::Live && sharers[static_cast<uint64_t>(e.Block)] > 1)
                e.Kind = TRefEntry::Shared;
            if (e.Chosen && (e.Kind == TRefEntry::Damaged || e.Kind == TRefEntry::Shared)) {
                TCase c;
                c.Entry = i;
                Cases_.push_back(c);
            }
        }
    }

    void IndexOrphans()
    {
        for (size_t i = 0; i < Orphans().size(); ++i)
            OrphanAt_[Orphans()[i].Block] = i;
    }

    // A text a reference may be pointed at: a lost text (no old copy of a
    // live one, not blank) whose run no live run starts inside.
    bool Usable(uint64_t Block) const
    {
        const auto at = OrphanAt_.find(Block);
        if (at == OrphanAt_.end())
            return false;
        const TMemoOrphan& orphan = Orphans()[at->second];
        if (!orphan.Lost())
            return false;
        const uint64_t size = Table_.MemoBlockSize();
        const uint64_t end = Block + (MemoBlockHeaderSize + orphan.RunLength + size - 1) / size;
        const auto next = std::upper_bound(LiveStarts_.begin(), LiveStarts_.end(), Block);
        return next == LiveStarts_.end() || *next >= end;
    }

    // Each case's neighbours: the runs of the nearest live references
    // before and after it. Write order is trusted when those runs rise with
    // the records and every lost text lies between some case's neighbours.
    void FindNeighbours()
    {
        std::vector<size_t> caseAt(Entries_.size(), Cases_.size());
        for (size_t k = 0; k < Cases_.size(); ++k)
            caseAt[Cases_[k].Entry] = k;
        bool rising = true;
        uint64_t last = 0;
        for (size_t i = 0; i < Entries_.size(); ++i) {
            if (caseAt[i] < Cases_.size())
                Cases_[caseAt[i]].Prev = last;
            if (Entries_[i].Kind == TRefEntry::Live) {
                const uint64_t block = static_cast<uint64_t>(Entries_[i].Block);
                rising = rising && block > last;
                last = block;
            }
        }
        uint64_t next = NoBlock;
        for (size_t i = Entries_.size(); i-- > 0;) {
            if (Entries_[i].Kind == TRefEntry::Live)
                next = static_cast<uint64_t>(Entries_[i].Block);
            if (caseAt[i] < Cases_.size())
                Cases_[caseAt[i]].Next = next;
        }
        std::vector<int> covered(Orphans().size() + 1, 0);
        for (const TCase& c : Cases_) {
            const auto range = Between(c.Prev, c.Next);
            ++covered[range.first];
            --covered[range.second];
        }
        bool allCovered = true;
        int depth = 0;
        for (size_t i = 0; i < Orphans().size(); ++i) {
            depth += covered[i];
            if (Orphans()[i].Lost() && depth == 0)
                allCovered = false;
        }
        Result_.WriteOrderTrusted = rising && allCovered && !Cases_.empty();
    }

    // The orphans lying strictly between blocks Low and High: indices.
    std::pair<size_t, size_t> Between(uint64_t Low, uint64_t High) const
    {
        const auto less = [](const TMemoOrphan& O, uint64_t B) { return O.Block < B; };
        const auto first = std::lower_bound(Orphans().begin(), Orphans().end(), Low + 1, less);
        const auto end = std::lower_bound(first, Orphans().end(), High, less);
        return {static_cast<size_t>(first - Orphans().begin()), static_cast<size_t>(end - Orphans().begin())};
    }

    // The only orphan between a case's neighbours, when it is a usable text.
    uint64_t WriteOrderChoice(const TCase& C) const
    {
        const auto range = Between(C.Prev, C.Next);
        if (range.second - range.first != 1)
            return NoBlock;
        const uint64_t block = Orphans()[range.first].Block;
        return Usable(block) ? block : NoBlock;
    }

    // Whose run the orphan at Block was when written, by write order: the
    // live runs just below and above it belong to references A and B; when
    // A comes before B in record order, the references between them that
    // have no run between (damaged ones, and those edited elsewhere) owned
    // the orphans there, one each, in order. NoEntry when the order says
    // nothing: runs out of record order (appended by edits), the file's end,
    // or as many orphans there as references.
    size_t SlotOwner(uint64_t Block) const
    {
        const auto above = std::upper_bound(LiveByBlock_.begin(), LiveByBlock_.end(), std::make_pair(Block, NoEntry));
        if (above == LiveByBlock_.end())
            return NoEntry;
        const uint64_t low = above == LiveByBlock_.begin() ? 0 : std::prev(above)->first;
        const size_t first = above == LiveByBlock_.begin() ? 0 : std::prev(above)->second + 1;
        const size_t end = above->second;
        if (end < first || end - first > WidestGap)
            return NoEntry;
        std::vector<size_t> owners;
        for (size_t i = first; i < end; ++i)
            if (Entries_[i].Kind != TRefEntry::Empty)
                owners.push_back(i);
        const auto range = Between(low, above->first);
        if (range.second - range.first != owners.size())
            return NoEntry;
        for (size_t k = range.first; k < range.second; ++k)
            if (Orphans()[k].Block == Block)
                return owners[k - range.first];
        return NoEntry;
    }

    std::vector<std::pair<uint64_t, TRelinkRule>> ReadingsOf(const TRefEntry& E)
    {
        const std::string bytes = Table_.ReadRaw(E.RecNo, E.FieldNo);
        return bytes.size() == 4 && Table_.Fields()[static_cast<size_t>(E.FieldNo)].RefersToMemoFile()
                   ? BinaryRefReadings(bytes)
                   : TextRefReadings(bytes);
    }

    // The readings that are orphans' blocks (of any kind: an old copy or a
    // blank text there makes the reading ambiguous, not the other one
    // right), each once, under its strongest rule.
    std::vector<std::pair<uint64_t, TRelinkRule>> OrphansAmong(
        const std::vector<std::pair<uint64_t, TRelinkRule>>& Readings) const
    {
        std::vector<std::pair<uint64_t, TRelinkRule>> out;
        for (const auto& reading : Readings) {
            if (OrphanAt_.count(reading.first) == 0)
                continue;
            const auto same =
                std::find_if(out.begin(), out.end(), [&](const auto& O) { return O.first == reading.first; });
            if (same == out.end())
                out.push_back(reading);
            else if (reading.second < same->second)
                same->second = reading.second;
        }
        return out;
    }

    void Decide(TCase& C)
    {
        const bool shared = Entries_[C.Entry].Kind == TRefEntry::Shared;
        const bool trusted = Result_.WriteOrderTrusted;
        if (shared) {
            // Its bytes are a block number; it counts as damaged when they
            // are one slip away from exactly one orphan. Which of the
            // references sharing the run slipped only write order can tell.
            if (C.Own.size() != 1)
                return;
            ++Result_.Damaged;
            const uint64_t block = C.Own[0].first;
            if (!Usable(block) || !trusted || WriteOrderChoice(C) != block) {
                ++Result_.Ambiguous;
                return;
            }
            C.Chosen = block;
            C.Rule = C.Own[0].second;
            return;
        }
        ++Result_.Damaged;
        if (C.Own.size() > 1) {
            ++Result_.Ambiguous;
            return;
        }
        if (C.Own.size() == 1) {
            const uint64_t block = C.Own[0].first;
            if (!Usable(block)) {
                ++Result_.NoCandidate;
                return;
            }
            // In a table written front to back the text lies between the
            // neighbours' runs; one elsewhere is a coincidence of digits.
            const size_t owner = SlotOwner(block);
            if ((trusted && !(C.Prev < block && block < C.Next)) || (owner != NoEntry && owner != C.Entry)) {
                ++Result_.Ambiguous;
                return;
            }
            C.Chosen = block;
            C.Rule = C.Own[0].second;
            return;
        }
        const uint64_t block = trusted ? WriteOrderChoice(C) : NoBlock;
        if (block == NoBlock) {
            ++Result_.NoCandidate;
            return;
        }
        C.Chosen = block;
        C.Rule = TRelinkRule::WriteOrder;
    }

    // A run every sharer would leave would become an orphan itself: the
    // evidence contradicts itself, and none of them moves.
    void LeaveSharedRunsAnOwner()
    {
        std::unordered_map<uint64_t, std::pair<size_t, size_t>> moving;  // block -> (sharers, moving)
        for (const TRefEntry& e : Entries_)
            if (e.Kind == TRefEntry::Shared)
                ++moving[static_cast<uint64_t>(e.Block)].first;
        for (const TCase& c : Cases_)
            if (c.Chosen != NoBlock && Entries_[c.Entry].Kind == TRefEntry::Shared)
                ++moving[static_cast<uint64_t>(Entries_[c.Entry].Block)].second;
        for (TCase& c : Cases_) {
            const TRefEntry& e = Entries_[c.Entry];
            if (c.Chosen == NoBlock || e.Kind != TRefEntry::Shared)
                continue;
            const auto& m = moving[static_cast<uint64_t>(e.Block)];
            if (m.second >= m.first) {
                c.Chosen = NoBlock;
                ++Result_.Ambiguous;
            }
        }
    }

    // An orphan two damaged references may claim goes to neither: a
    // reference is never pointed where another one leads.
    void DropContested()
    {
        std::unordered_map<uint64_t, size_t> claims;
        for (const TCase& c : Cases_) {
            std::unordered_set<uint64_t> mine;
            if (Entries_[c.Entry].Kind != TRefEntry::Shared)
                for (const auto& own : c.Own)
                    mine.insert(own.first);
            if (c.Chosen != NoBlock)
                mine.insert(c.Chosen);
            for (uint64_t block : mine)
                ++claims[block];
        }
        for (TCase& c : Cases_) {
            if (c.Chosen != NoBlock && claims[c.Chosen] > 1) {
                c.Chosen = NoBlock;
                ++Result_.Contested;
            }
        }
    }

    TRelinkResult Proposals()
    {
        for (const TCase& c : Cases_) {
            if (c.Chosen == NoBlock)
                continue;
            const TRefEntry& e = Entries_[c.Entry];
            const TMemoOrphan& orphan = Orphans()[OrphanAt_.at(c.Chosen)];
            TRelinkProposal p;
            p.RecNo = e.RecNo;
            p.FieldNo = e.FieldNo;
            p.Reference = Table_.ReadRaw(e.RecNo, e.FieldNo);
            p.State = e.Kind == TRefEntry::Shared ? TMemoRefState::Text : e.State;
            p.CrossLinked = e.Kind == TRefEntry::Shared;
            p.Block = c.Chosen;
            p.Rule = c.Rule;
            p.RunLength = orphan.RunLength;
            p.Length = orphan.Length;
            Map_.ReadText(orphan, [&p](const char* Data, size_t Length) {
                if (p.Head.size() < RelinkHeadLength)
                    p.Head.append(Data, std::min(Length, RelinkHeadLength - p.Head.size()));
            });
            Result_.Proposals.push_back(std::move(p));
        }
        return Result_;
    }
};

void RequireRelinkable(const TDBFLite& Table)
{
    if (!Table.LayoutTrusted())
        throw ERefused(Table.LayoutMismatchMessage());
    if (!Table.HasMemoFile())
        throw ERefused(MainTexts::MemoFileNotFound);
    if (Table.MemoBlockSize() == 0)
        throw ERefused(MainTexts::ZeroBlockSize);
}

std::vector<int> FieldsOrMemoFields(const TDBFLite& Table, const std::vector<int>& Fields)
{
    if (Fields.empty())
        return Table.MemoFields();
    for (int field : Fields)
        if (field < 0 || field >= Table.FieldCount() || !Table.Fields()[static_cast<size_t>(field)].IsMemo())
            throw EError("Неверный тип значения");
    return Fields;
}

// Writes the proposals the files still bear out, as they are now.
void WriteProposals(TDBFLite& Table, TRelinkResult& Result)
{
    std::unordered_set<uint64_t> live;
    const std::vector<int> all = Table.MemoFileFields();
    const int32_t records = Table.RecordsInFile();
    for (int32_t r = 0; r < records; ++r)
        for (int field : all) {
            const TMemoRunInfo run = Table.MemoRunOf(r, field);
            if (run.InFile && IsRunStart(run.Offset, run.Type))
                live.insert(static_cast<uint64_t>(run.Block));
        }
    for (const TRelinkProposal& p : Result.Proposals) {
        const TMemoRunInfo at = Table.MemoRunAt(p.Block);
        const bool holds = p.RecNo < records && Table.ReadRaw(p.RecNo, p.FieldNo) == p.Reference && at.InFile &&
                           IsRunStart(at.Offset, at.Type) && at.Type == MemoTypeText && at.Length == p.RunLength &&
                           at.Present == at.Length && live.count(p.Block) == 0;
        if (!holds) {
            ++Result.Dropped;
            continue;
        }
        Table.PointMemoRef(p.RecNo, p.FieldNo, p.Block);
        live.insert(p.Block);
        ++Result.Written;
    }
    // The texts were there before: the references reach the disk last.
    Table.Commit();
}

}  // namespace

TRelinkResult PlanRelink(TFileSystem& Files, const std::string& TablePath, const std::vector<int>& Fields,
                         const TRelinkProgress& Progress)
{
    TDBFLite table(Files);
    table.OpenTable(TablePath, true);
    RequireRelinkable(table);
    const std::vector<int> fields = FieldsOrMemoFields(table, Fields);
    TPlanner planner(table, Files, fields, Progress);
    TRelinkResult result = planner.Plan();
    table.CloseTable();
    return result;
}

TRelinkResult RelinkMemoRefs(TFileSystem& Files, const std::string& TablePath, const std::vector<int>& Fields,
                             const TRelinkProgress& Progress,
                             const std::function<bool(TDBFLite&, const TRelinkResult&)>& Decide)
{
    // The map reads the memo file beside the table's own streams, which a
    // table open for writing holds exclusively: it is made read-only, and
    // everything is checked again once the table is open for writing.
    TRelinkResult result = PlanRelink(Files, TablePath, Fields, Progress);
    if (result.Proposals.empty())
        return result;
    TDBFLite table(Files);
    OpenTableForChanges(table, TablePath);
    RequireRelinkable(table);
    if (Decide && !Decide(table, result)) {
        result.Cancelled = true;
        table.CloseTable();
        return result;
    }
    // The owner may have worked on the table while the question stood.
    table.Reload();
    WriteProposals(table, result);
    table.CloseTable();
    return result;
}

namespace {

// The bytes of a reference as a person can check them: a binary one as
// hex, a text one quoted, its unprintable bytes as \xHH.
std::string ReferenceText(const std::string& Bytes, bool Binary)
{
    std::string out;
    if (Binary) {
        for (unsigned char c : Bytes)
            out += (out.empty() ? "" : " ") + HexByte(c);
        return "0x[" + out + "]";
    }
    for (unsigned char c : Bytes)
        out += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : "\\x" + HexByte(c);
    return "\"" + out + "\"";
}

bool IsBinaryReference(const std::vector<TFieldDesc>& Fields, const TRelinkProposal& Proposal)
{
    return Proposal.Reference.size() == 4 && Fields[static_cast<size_t>(Proposal.FieldNo)].RefersToMemoFile();
}

const char* RelinkStateName(const TRelinkProposal& Proposal)
{
    if (Proposal.CrossLinked)
        return "cross_linked";
    switch (Proposal.State) {
    case TMemoRefState::NotANumber: return "not_a_number";
    case TMemoRefState::PastEnd: return "past_end";
    case TMemoRefState::RunsPastEnd: return "runs_past_end";
    default: return "not_a_start";
    }
}

std::string RelinkStateText(const TRelinkProposal& Proposal, TLanguage Language)
{
    if (Proposal.CrossLinked)
        return RepairText(TRepairText::RelinkCrossLinked, Language);
    switch (Proposal.State) {
    case TMemoRefState::NotANumber: return Say(Texts::CountNotANumber, Language);
    case TMemoRefState::PastEnd: return Say(Texts::CountPastEnd, Language);
    case TMemoRefState::RunsPastEnd: return Say(Texts::CountRunsPastEnd, Language);
    default: return Say(Texts::CountNotAStart, Language);
    }
}

const char* RelinkRuleName(TRelinkRule Rule)
{
    switch (Rule) {
    case TRelinkRule::OneCharacter: return "one_character";
    case TRelinkRule::Wildcards: return "wildcards";
    case TRelinkRule::OneBit: return "one_bit";
    default: return "write_order";
    }
}

std::string RelinkRuleText(TRelinkRule Rule, TLanguage Language)
{
    switch (Rule) {
    case TRelinkRule::OneCharacter: return RepairText(TRepairText::RelinkRuleOneCharacter, Language);
    case TRelinkRule::Wildcards: return RepairText(TRepairText::RelinkRuleWildcards, Language);
    case TRelinkRule::OneBit: return RepairText(TRepairText::RelinkRuleOneBit, Language);
    default: return RepairText(TRepairText::RelinkRuleWriteOrder, Language);
    }
}

// The start of the text a proposal leads to, escaped as Save escapes it.
std::string RelinkHead(const TRelinkProposal& Proposal)
{
    return EscapeMemoValue(Proposal.Head) + (Proposal.Length > Proposal.Head.size() ? "..." : "");
}

}  // namespace

// A line per proposal, records numbered from 1 as FoxPro's RECNO() does.
void PrintRelinkProposals(const std::vector<TFieldDesc>& Fields, const TRelinkResult& Result, TWindowPort& Port,
                          std::ostream& Out, TLanguage Language)
{
    for (const TRelinkProposal& p : Result.Proposals)
        Out << FormatRepairText(
                   TRepairText::RelinkProposal,
                   {std::to_string(int64_t{p.RecNo} + 1), Port.TableToText(Fields[static_cast<size_t>(p.FieldNo)].Name),
                    ReferenceText(p.Reference, IsBinaryReference(Fields, p)), RelinkStateText(p, Language),
                    std::to_string(p.Block), RelinkRuleText(p.Rule, Language), Port.TableToText(RelinkHead(p))},
                   Language)
            << "\n";
    Out.flush();
}

void PrintRelinkJson(const std::vector<TFieldDesc>& Fields, const TRelinkResult& Result, const std::string& Path,
                     bool DryRun, const TCodePage* CodePage, std::ostream& Out)
{
    nlohmann::ordered_json proposals = nlohmann::ordered_json::array();
    for (const TRelinkProposal& p : Result.Proposals) {
        std::string hex;
        for (unsigned char c : p.Reference)
            hex += HexByte(c);
        proposals.push_back({{"record", int64_t{p.RecNo} + 1},
                             {"field", NameAsUtf8(Fields[static_cast<size_t>(p.FieldNo)].Name, CodePage)},
                             {"reference_hex", hex},
                             {"state", RelinkStateName(p)},
                             {"block", p.Block},
                             {"rule", RelinkRuleName(p.Rule)},
                             {"length", p.Length},
                             {"text", NameAsUtf8(RelinkHead(p), CodePage)}});
    }
    nlohmann::ordered_json json;
    json["table"] = IsUtf8(Path) ? Path : NameAsUtf8(Path, CodePage);
    json["dry_run"] = DryRun;
    json["damaged"] = Result.Damaged;
    json["no_candidate"] = Result.NoCandidate;
    json["ambiguous"] = Result.Ambiguous;
    json["contested"] = Result.Contested;
    json["write_order_trusted"] = Result.WriteOrderTrusted;
    json["proposals"] = proposals;
    json["cancelled"] = Result.Cancelled;
    json["written"] = Result.Written;
    json["dropped"] = Result.Dropped;
    Out << json.dump() << "\n";
    Out.flush();
}
