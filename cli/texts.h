// Every text of the command line, in English and Russian side by side, and
// the English for the Russian texts the handlers and the table layer produce.
// One language per run: the user's, when it is Russian; English otherwise.
// The run passes it to every text it says; nothing keeps it globally.
// The window keeps its Russian texts; only the console port translates.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

enum class TLanguage { English, Russian };

// The POSIX rule: the first of LC_ALL, LC_MESSAGES and LANG that is set and
// not empty decides; Russian when it starts with "ru". Null for an unset one.
TLanguage LanguageFromLocale(const char* LcAll, const char* LcMessages, const char* Lang);

// One text of the command line in both languages. "%1", "%2"... stand for
// the arguments Say fills in.
struct TText {
    const char* En;
    const char* Ru;
};

// Text in Language, with Args in place of "%1", "%2"...
std::string Say(const TText& Text, TLanguage Language);
std::string Say(const TText& Text, std::initializer_list<std::string> Args, TLanguage Language);

// A text of the handlers or the table layer (Russian, as the window shows
// it), or an error the command line's own steps raise (Russian too), in
// Language:
// unchanged in Russian; in English translated as a whole, or by its fixed
// part with the names and numbers in it kept. A text the catalog does not
// know stays as it is.
std::string Translate(const std::string& Russian, TLanguage Language);

// The whole usage, and the usage of one command (empty for an unknown one).
std::string UsageText(TLanguage Language);
std::string CommandUsageText(const std::string& Command, TLanguage Language);

// The texts of the command line.
namespace Texts {
extern const TText TryHelp;
extern const TText NoCommand;
extern const TText UnknownCommand;
extern const TText UnknownOption;
extern const TText OptionNeedsValue;
extern const TText WrongFileCount;
extern const TText OptionNotTaken;
extern const TText BadCodePage;
extern const TText BadEncoding;
extern const TText NoCodePageMark;
extern const TText NotInCodePage;
extern const TText NotUtf8;
extern const TText NoMemoField;
extern const TText Confirm;
extern const TText NoTerminal;
extern const TText RecordsPerSecond;

// The report of check.
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

// An answer to the confirmation that says yes, in either language.
bool IsYes(const std::string& Answer);

// The texts of the repair commands (salvage, the full diagnosis of check,
// backups, pack, relink and the memo file's size limit).
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
