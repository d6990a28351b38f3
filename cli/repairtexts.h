// The texts of the repair commands (salvage, the full diagnosis of check,
// backups, the memo file's size limit), Russian and English side by side.
#pragma once

#include <string>
#include <vector>

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
    VerdictSound,
    VerdictDamaged,
    BackupWritten,
    BackupFailed,
    MemoTooLarge,
    PackConfirm,
    PackDone,
};

// The run's language, as the other texts of the command line take it.
bool RussianRun();

// The text Id in Russian, or in English when Russian is false. Texts with
// %1, %2, ... take their values through FormatRepairText.
const char* RepairText(TRepairText Id, bool Russian = RussianRun());
std::string FormatRepairText(TRepairText Id, const std::vector<std::string>& Values, bool Russian = RussianRun());
