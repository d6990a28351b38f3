// The diagnosis of a table's memo references, changing nothing.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include <functional>

#include "port.h"
#include "repairtexts.h"
#include "dbflite.h"

// What a long pass over a table reports: records (or blocks) done, and the
// total; a front end shows it as it likes.
using TProgress = std::function<void(int64_t Done, int64_t Total)>;

struct TFieldDiagnosis {
    std::string Name;
    long long Empty = 0;
    long long NotANumber = 0;
    long long PastEnd = 0;
    long long RunsPastEnd = 0;
    long long Blank = 0;
    long long Text = 0;
    long long NotAStart = 0;
    long long ClearedByClear = 0;  // references Clear without All would blank
};

struct TTableDiagnosis {
    int32_t HeaderRecords = 0;
    int32_t FileRecords = 0;
    bool HasMemoFile = false;
    std::string MemoFileName;
    uint16_t MemoBlockSize = 0;
    uint32_t MemoNextBlock = 0;
    uint64_t MemoFileSize = 0;
    uint8_t LanguageDriver = 0;  // the header's code page mark
    int CodePage = 0;            // what it names, 0 for none known
    bool LayoutTrusted = true;
    uint16_t RecordSize = 0;
    std::vector<TFieldDiagnosis> Fields;
};

class TMemoMap;

// Visits every record the file holds and sorts each reference of Fields
// (field numbers of Table, opened by the caller). With Map, every record
// is also added to it on the same visit.
TTableDiagnosis DiagnoseTable(TDBFLite& Table, const std::vector<int>& Fields, const TProgress& Progress,
                              TMemoMap* Map = nullptr);

// The report, in Language; names through the port, as the terminal can
// read them.
void PrintDiagnosis(const TTableDiagnosis& Diagnosis, const std::string& TablePath, std::ostream& Out,
                    TWindowPort& Port, TLanguage Language);

// Whether Path names a folder (check then looks at every table in it).
bool IsFolder(const std::string& Path);

// The tables (.dbf in any letter case) that have a memo file beside them
// (the same name with .fpt, in any letter case) in Folder and the folders
// below it, as paths sorted by name so a report comes out the same every
// time. Folders that cannot be read are passed over.
std::vector<std::string> TablesInFolder(const std::string& Folder);
