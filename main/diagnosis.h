// check: the full diagnosis of a table and its memo file, changing nothing.
// The counts per field of check.h, the table file against its header, and
// the map of the memo file (shared, overlapping and orphaned runs).
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "check.h"
#include "repairtexts.h"
#include "memomap.h"

enum class TEndOfFileByte { Present, Missing, Other, NotChecked };
enum class TNextFreeState { Inside, AtEnd, PastEnd };

struct TTableFileFindings {
    uint64_t FileSize = 0;
    uint32_t HeaderRecords = 0;  // the header's count, as the unsigned number it is
    uint64_t RecordsEnd = 0;     // where the header's records end: header + count * record size
    TEndOfFileByte EndOfFile = TEndOfFileByte::NotChecked;
    unsigned char EndByte = 0;  // the byte after the records, when there is one
    uint64_t FieldBytes = 0;    // 1 (the deletion flag) + the widths of the fields
    uint16_t RecordSize = 0;
};

// One finding as check reports it: what (its name in JSON), how many, how
// many bytes where bytes apply, and the command of this program that mends
// it.
struct TFinding {
    const char* Kind = "";
    uint64_t Count = 0;
    int64_t Bytes = -1;          // -1: bytes do not apply
    const char* Mend = nullptr;  // null: no command of this program mends it
    bool operator==(const TFinding& O) const;
};

enum class TVerdict { Healthy, HealthyWithNotes, Damaged };

struct TFullDiagnosis {
    TTableDiagnosis Fields;
    TTableFileFindings File;
    TMemoMapFindings Map;
    TNextFreeState NextFree = TNextFreeState::AtEnd;
    uint64_t NextFreeDistance = 0;  // bytes between the next free block and the file's end

    // Damage: a reader fails or shows a wrong text, or the next write of the
    // application that owns the table destroys one. It makes check end with
    // status 4.
    std::vector<TFinding> Damage() const;
    // Notes: the wear of normal use (blank texts, old copies every Rewrite
    // leaves, lost texts, a next free block past the end, no end-of-file
    // byte). Nothing reads wrong and nothing is overwritten; the status
    // stays 0.
    std::vector<TFinding> Notes() const;
    // The kinds of Damage, in its order (the JSON's "problems").
    std::vector<std::string> Problems() const;
    TVerdict Verdict() const;
};

// Diagnoses Table (open, read-only is enough): Fields counted as check.h
// counts them; every memo field goes into the memo file's map.
// Table was opened through Files, which the diagnosis reads the files through
// too.
TFullDiagnosis DiagnoseFully(TDBFLite& Table, const std::vector<int>& Fields, const TProgress& Progress,
                             TFileSystem& Files = OsFileSystem());

// A finding as one line of the report: what was found and what mends it,
// in Language.
std::string FindingText(const TFinding& Finding, TLanguage Language);
// "damage found", "healthy", "healthy with notes".
std::string VerdictText(TVerdict Verdict, TLanguage Language);

// The lines that follow PrintDiagnosis's.
void PrintFindings(const TFullDiagnosis& Diagnosis, std::ostream& Out, TLanguage Language);

class TCodePage;

// The same findings as one JSON object on one line (keys in README). Names
// are converted to UTF-8 through CodePage, the table's; without one their
// bytes are shown as Latin-1 characters. Paths that are UTF-8 stay as they
// are; others are converted as names are.
void PrintDiagnosisJson(const TFullDiagnosis& Diagnosis, const std::string& TablePath, std::ostream& Out,
                        const TCodePage* CodePage);
// The JSON line of a table check could not read, and the one that closes
// the lines of a folder.
void PrintUnreadableJson(const std::string& TablePath, const std::string& Error, std::ostream& Out);
struct TFolderTally {
    uint64_t Tables = 0, Damaged = 0, WithNotes = 0, Healthy = 0, Unreadable = 0;
};
void PrintFolderSummaryJson(const TFolderTally& Tally, std::ostream& Out);

// Table bytes as UTF-8: through CodePage, or each byte as its Latin-1
// character without one.
std::string NameAsUtf8(const std::string& Bytes, const TCodePage* CodePage);
