// The texts of the operations beyond the window's first five (check's
// report and diagnosis, salvage, backups, pack), in English and Russian
// side by side. The window shows the Russian; the command line says them
// in the run's language, which is passed to every text, never kept.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

enum class TLanguage { English, Russian };

// One text in both languages. "%1", "%2"... stand for
// the arguments Say fills in.
struct TText {
    const char* En;
    const char* Ru;
};

// Text in Language, with Args in place of "%1", "%2"...
std::string Say(const TText& Text, TLanguage Language);
std::string Say(const TText& Text, std::initializer_list<std::string> Args, TLanguage Language);

// "%1".."%9" in Pattern replaced by Args.
std::string FillText(const char* Pattern, const std::vector<std::string>& Args);

// The report of check.
namespace Texts {
extern const TText ReportTable;
extern const TText ReportRecords;
extern const TText ReportHeaderSays;
extern const TText ReportNoMemoFile;
extern const TText ReportMemoFile;
extern const TText ReportZeroBlockSize;
extern const TText ReportNextBlockInside;
extern const TText ReportCodePage;
extern const TText ReportNoCodePage;
extern const TText ReportField;
extern const TText CountEmpty;
extern const TText CountNotANumber;
extern const TText CountPastEnd;
extern const TText CountRunsPastEnd;
extern const TText CountNotAStart;
extern const TText ReportLayoutMismatch;
extern const TText CountBlank;
extern const TText CountText;
extern const TText CountClearedByClear;
}  // namespace Texts

// The texts of the repair commands (salvage, the full diagnosis of check,
// backups, pack and the memo file's size limit).
enum class TRepairText {
    SalvageNoMemoFile,
    SalvageBlockSizeZero,
    SalvageSummary,
    SalvageDone,
    FindingsTitle,
    References,
    NotRunStart,
    CrossLinked,
    Overlapping,
    PastNextFree,
    Orphans,
    OldCopies,
    BlankOrphans,
    LostTexts,
    NextFreeInside,
    NextFreePastEnd,
    NextFreeAtEnd,
    CountShort,
    CountExtra,
    CountMatches,
    EofMissing,
    EofOther,
    EofPresent,
    DescriptorsMismatch,
    DescriptorsMatch,
    NoMemoMap,
    VerdictLine,
    VerdictHealthy,
    VerdictNotes,
    VerdictDamaged,
    DamageTitle,
    NotesTitle,
    FindNotANumber,
    FindPastEnd,
    FindRunsPastEnd,
    FindNotRunStart,
    FindCrossLinked,
    FindOverlapping,
    FindPastNextFree,
    FindNextFreeInside,
    FindRecordsShort,
    FindRecordsExtra,
    FindRecordSize,
    FindBlockSize,
    FindBlank,
    FindOldCopies,
    FindBlankOrphans,
    FindLostTexts,
    FindEndOfFileByte,
    FindNextFreePastEnd,
    PackReclaims,
    FolderTable,
    FolderUnreadable,
    FolderSummary,
    FolderNoTables,
    BackupWritten,
    BackupFailed,
    MemoTooLarge,
    PackConfirm,
    PackDone,
    Bytes,
    PackUnknownField,
    PackRecordsPastCount,
    PackOverlapping,
    PackTooLarge,
    PackGrew,
    RelinkProposal,
    RelinkCrossLinked,
    RelinkRuleOneCharacter,
    RelinkRuleWildcards,
    RelinkRuleOneBit,
    RelinkRuleWriteOrder,
    RelinkConfirm,
    RelinkNothing,
    RelinkSummary,
    RelinkDone,
    RelinkDropped,
};

// The text Id in Language. Texts with %1, %2, ... take their values through
// FormatRepairText.
const char* RepairText(TRepairText Id, TLanguage Language);
std::string FormatRepairText(TRepairText Id, const std::vector<std::string>& Values, TLanguage Language);

// The repair texts the operations raise as errors or show, in Russian as
// the table layer's are; a front end translates them.
const std::vector<TRepairText>& RaisedRepairTexts();
