// check: the full diagnosis of a table and its memo file, changing nothing.
// The counts per field of check.h, the table file against its header, and
// the map of the memo file (shared, overlapping and orphaned runs).
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "check.h"
#include "texts.h"
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

struct TFullDiagnosis {
    TTableDiagnosis Fields;
    TTableFileFindings File;
    TMemoMapFindings Map;
    TNextFreeState NextFree = TNextFreeState::AtEnd;
    uint64_t NextFreeDistance = 0;  // bytes between the next free block and the file's end

    // The findings that make check end with status 4. Old copies are not
    // among them: every Rewrite leaves one per text, and they lose nothing.
    std::vector<std::string> Problems() const;
};

// Diagnoses Table (open, read-only is enough): Fields counted as check.h
// counts them; every memo field goes into the memo file's map.
// Table was opened through Files, which the diagnosis reads the files through
// too.
TFullDiagnosis DiagnoseFully(TDBFLite& Table, const std::vector<int>& Fields, TProgressBar& Progress,
                             TFileSystem& Files = OsFileSystem());

// The lines that follow PrintDiagnosis's.
void PrintFindings(const TFullDiagnosis& Diagnosis, std::ostream& Out, TLanguage Language);

// The same findings as one JSON object (keys in README).
void PrintDiagnosisJson(const TFullDiagnosis& Diagnosis, const std::string& TablePath, std::ostream& Out,
                        TWindowPort& Port);
