// OpenTable and every read of the table layer over arbitrary table and memo
// file bytes. Whatever the header claims, no read may crash, leave the files'
// bounds, allocate more than the files hold, or change a byte.
#include <algorithm>
#include <climits>
#include <vector>

#include "dbflite.h"
#include "memomap.h"
#include "fuzzsupport.h"
#include "strutil.h"

namespace {

// The work per input stays small: every field, in as many records from the
// start of the table as keep the count of field reads within a budget.
constexpr int32_t MaxRecords = 32;
constexpr int MaxFieldReads = 4096;

const std::string TablePath = "/data/T.DBF";
const std::string MemoPath = "/data/T.FPT";

template <class F>
void Attempt(F Read)
{
    try {
        Read();
    } catch (const EStreamError&) {
        FUZZ_CHECK(false);  // files in memory never fail: this error came from the data
    } catch (const EError&) {
    }
}

void ReadEverything(TDBFLite& Table, TFileSystem& Files, bool ReadOnly)
{
    const int32_t inFile = Table.RecordsInFile();
    // The header's count is unsigned; the file decides above 2^31.
    FUZZ_CHECK(inFile >= 0 && static_cast<uint32_t>(inFile) <= static_cast<uint32_t>(Table.RecordCount()));

    // The records at the start, and those a damaged header or a careless
    // caller could name: the last ones claimed, past the end, negatives.
    const int32_t visited =
        std::min({inFile, MaxRecords, MaxFieldReads / std::max(1, static_cast<int>(Table.FieldCount()))});
    std::vector<int32_t> records;
    for (int32_t r = 0; r < visited; ++r)
        records.push_back(r);
    for (int64_t r : {int64_t{inFile}, int64_t{Table.RecordCount()} - 1, int64_t{Table.RecordCount()},
                      int64_t{INT32_MAX}, int64_t{-1}, int64_t{INT32_MIN}})
        if (r >= INT32_MIN && r <= INT32_MAX)
            records.push_back(static_cast<int32_t>(r));
    std::vector<int> fields{-1, static_cast<int>(Table.FieldCount())};  // both refused
    for (int f = 0; f < static_cast<int>(Table.FieldCount()); ++f)
        fields.push_back(f);

    const uint64_t memoSize = Table.MemoFileSize();
    for (int32_t r : records)
        for (int f : fields) {
            Attempt([&] {
                const std::string raw = Table.ReadRaw(r, f);
                FUZZ_CHECK(raw.size() == Table.Fields()[static_cast<size_t>(f)].Size);
            });
            Attempt([&] { Table.ReadValue(r, f); });
            Attempt([&] { Table.ReadLogical(r, f); });
            Attempt([&] {
                const TDate date = Table.ReadDate(r, f);
                FUZZ_CHECK(date.IsZero() || IsValidDate(date.Year, date.Month, date.Day));
            });
            Attempt([&] {
                const std::string text = Table.ReadMemo(r, f);
                FUZZ_CHECK(text.size() <= memoSize);
                // Clear without All goes by InspectMemo: it must agree with
                // what reading the text gives (another value type's run is
                // kept, whatever its bytes).
                const TMemoInspection found = Table.InspectMemo(r, f);
                FUZZ_CHECK(found.ReadsBlank == (IsBlank(text) && IsTextMemoType(found.BlockType)));
            });
        }

    // The map of the memo file (check, salvage) over every record: it never
    // raises on files that read, and what it counts adds up. It reads the
    // memo file through a stream of its own, which a read-write open's
    // lock on the memo file refuses.
    if (!ReadOnly)
        return;
    try {
        TMemoMap map(Table, Files);
        map.AddAllRecords();
        map.Scan();
        const TMemoMapFindings& found = map.Findings();
        FUZZ_CHECK(found.Orphans == map.Orphans().size());
        FUZZ_CHECK(found.Orphans == found.OldCopies + found.BlankOrphans + found.LostTexts);
        FUZZ_CHECK(found.CrossLinkedReferences >= 2 * found.CrossLinkedRuns);
        FUZZ_CHECK(found.NotRunStart <= found.References);
        uint64_t lastBlock = 0;
        for (const TMemoOrphan& orphan : map.Orphans()) {
            FUZZ_CHECK(orphan.Length <= orphan.RunLength && orphan.Block >= lastBlock);
            FUZZ_CHECK(orphan.Block * Table.MemoBlockSize() + 8 + orphan.RunLength <= memoSize);
            lastBlock = orphan.Block + 1;
            uint64_t read = 0;
            map.ReadText(orphan, [&read](const char*, size_t Count) { read += Count; });
            FUZZ_CHECK(read == orphan.Length);
        }
    } catch (const EError&) {
        FUZZ_CHECK(false);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const TFuzzTables input = SplitInput(Data, Size);
    const bool withMemo = (input.Flags & 1) == 0;
    const bool readOnly = (input.Flags & 2) != 0;
    TMemoryFileSystem files;
    files.SetFile(TablePath, input.Table);
    if (withMemo)
        files.SetFile(MemoPath, input.Memo);
    {
        TDBFLite table(files);
        bool opened = true;
        try {
            table.OpenTable(TablePath, readOnly);
        } catch (const EError&) {
            opened = false;
        }
        if (opened) {
            FUZZ_CHECK(table.HasMemoFile() == withMemo);
            FUZZ_CHECK(table.FieldCount() == table.Fields().size());
            ReadEverything(table, files, readOnly);
            table.CloseTable();
        }
    }
    // Reading changed nothing and holds nothing.
    FUZZ_CHECK(files.File(TablePath) == input.Table);
    FUZZ_CHECK(!withMemo || files.File(MemoPath) == input.Memo);
    files.Open(TablePath, TFileAccess::ReadWrite, TFileShare::Exclusive);
    if (withMemo)
        files.Open(MemoPath, TFileAccess::ReadWrite, TFileShare::Exclusive);
    return 0;
}
