// Relink: damaged memo references pointed back at the texts they led to.
//
// A garbled digit, a flipped bit or a field that slipped over a reference
// leaves the record without its memo while the text still lies whole in the
// memo file, a run no reference leads to any more (an orphan). For each
// damaged reference the run looks for the one orphan the evidence points to
// and, only when the evidence is strong and unshared, writes that block into
// the reference. Nothing else in either file changes.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "dbflite.h"
#include "repairtexts.h"

// What found a proposal, from strong to weak.
enum class TRelinkRule {
    OneCharacter,  // the reference's digits differ from the block's in one character
    Wildcards,     // its readable digits match, its unreadable characters taken as any
    OneBit,        // a binary reference differs from the block in one bit
    WriteOrder,    // the only orphan between the runs of the record's neighbours
};

struct TRelinkProposal {
    int32_t RecNo = 0;  // from 0, as the table layer counts
    int FieldNo = 0;
    std::string Reference;  // the reference's bytes as stored
    TMemoRefState State = TMemoRefState::NotANumber;
    bool CrossLinked = false;  // it led to a run another reference leads to
    uint64_t Block = 0;        // the orphan it is to lead to
    TRelinkRule Rule = TRelinkRule::OneCharacter;
    uint32_t RunLength = 0;  // the orphan's length, as its block header gives it
    uint32_t Length = 0;     // its text's, trailing blanks trimmed
    std::string Head;        // the text's first bytes (HeadLength at most)
};

struct TRelinkResult {
    std::vector<TRelinkProposal> Proposals;  // in record and field order
    uint64_t Damaged = 0;                    // damaged references of the fields, cross-linked ones among them
    uint64_t NoCandidate = 0;                // of them, with no orphan the evidence points to
    uint64_t Ambiguous = 0;                  // with several, or with rules that disagree
    uint64_t Contested = 0;                  // whose orphan another damaged reference may claim as well
    // The live references follow record order and every lost text lies
    // where a damaged reference's neighbours leave room for it: a table
    // written front to back, with no edits that left older versions behind.
    bool WriteOrderTrusted = false;
    bool Cancelled = false;  // the question was answered no: nothing written
    uint64_t Written = 0;    // references written
    uint64_t Dropped = 0;    // proposals the files no longer bore out after the answer
};

constexpr size_t RelinkHeadLength = 60;

using TRelinkProgress = std::function<void(int64_t Done, int64_t Total)>;

// The proposals for the references of Fields (memo fields; none: every memo
// field) of the table at TablePath, read-only, writing nothing. Raises
// ERefused for a table that cannot be relinked: a layout that is not
// trusted, no memo file, a block size of 0.
TRelinkResult PlanRelink(TFileSystem& Files, const std::string& TablePath, const std::vector<int>& Fields,
                         const TRelinkProgress& Progress = {});

// The plan, then, when there is something to write, the table opened for
// writing and Decide asked (it may take a backup through the open table).
// After a yes the files are read again as they are now: a proposal whose
// reference bytes changed or whose orphan is no longer a free text run is
// dropped; the others are written, the memo file synced before the table.
TRelinkResult RelinkMemoRefs(TFileSystem& Files, const std::string& TablePath, const std::vector<int>& Fields,
                             const TRelinkProgress& Progress,
                             const std::function<bool(TDBFLite&, const TRelinkResult&)>& Decide);

// The report a person checks before answering: a line per proposal, in
// Language, records numbered from 1 as FoxPro's RECNO() does, names and
// texts as the port shows table bytes, texts escaped as Save escapes them.
class TWindowPort;
void PrintRelinkProposals(const std::vector<TFieldDesc>& Fields, const TRelinkResult& Result, TWindowPort& Port,
                          std::ostream& Out, TLanguage Language);
// The same for scripts: one JSON object, names and texts as UTF-8 through
// CodePage (or as Latin-1 without one).
class TCodePage;
void PrintRelinkJson(const std::vector<TFieldDesc>& Fields, const TRelinkResult& Result, const std::string& Path,
                     bool DryRun, const TCodePage* CodePage, std::ostream& Out);
