// Info, Save, Rewrite, Clear (with and without All) and Load of what Save
// wrote, through the window's handlers, and check, salvage and pack, over
// arbitrary table and memo file bytes held in memory. Each operation starts from the input's own files.
// Besides crashes, every run must end with the files released, the cursor
// back and the header bytes it never writes as they were; a run that
// reports success must have left what its operation promises.
#include <algorithm>
#include <set>
#include <vector>

#include "dbflite.h"
#include "diagnosis.h"
#include "fakeport.h"
#include "fptlayout.h"
#include "fuzzsupport.h"
#include "memomap.h"
#include "fmmain.h"
#include "pack.h"
#include "salvage.h"

namespace {

const std::string TablePath = "/data/T.DBF";
const std::string MemoPath = "/data/T.FPT";
const std::string TextPath = "/data/T.txt";

uint32_t Le(const std::string& Bytes, size_t At, size_t Width)
{
    uint32_t v = 0;
    for (size_t i = Width; i-- > 0;)
        v = v << 8 | static_cast<unsigned char>(Bytes[At + i]);
    return v;
}

class TRun {
public:
    TRun(const TFuzzTables& Input) : Input_(Input)
    {
        Memory.SetFile(TablePath, Input.Table);
        if (HasMemo())
            Memory.SetFile(MemoPath, Input.Memo);
        Port.FileName = TablePath;
    }

    bool HasMemo() const { return (Input_.Flags & 1) == 0; }
    std::string Table() const { return Memory.File(TablePath); }

    // Runs one handler and checks what every run leaves, however it ended.
    bool Click(void (TfmMain::*Handler)(), const std::string& Success)
    {
        const std::string before = Table();
        Port.Log.clear();
        Form.Run(Handler);
        FUZZ_CHECK(Port.Cursor == TCursor::Default);
        for (const std::string& path : {TablePath, MemoPath, TextPath})
            if (Memory.Has(path))
                Memory.Open(path, TFileAccess::ReadWrite, TFileShare::Exclusive);  // throws when held

        // Only the record count (bytes 4 to 7) of the table header is ever
        // written, and only bytes 0 to 3 of the memo header.
        const std::string after = Table();
        if (before.size() >= 32) {
            FUZZ_CHECK(after.compare(0, 4, before, 0, 4) == 0);
            const size_t header = std::min<size_t>(Le(before, 8, 2), before.size());
            FUZZ_CHECK(after.compare(8, header > 8 ? header - 8 : 0, before, 8, header > 8 ? header - 8 : 0) == 0);
            // A count that changed covers records that are all in the file.
            const uint32_t count = Le(after, 4, 4);
            if (count != Le(before, 4, 4))
                FUZZ_CHECK(Le(after, 8, 2) + uint64_t{count} * Le(after, 10, 2) <= after.size());
        }
        if (HasMemo() && Input_.Memo.size() > 4) {
            const std::string memo = Memory.File(MemoPath);
            const size_t kept = std::min<size_t>(Input_.Memo.size(), 512) - 4;
            FUZZ_CHECK(memo.compare(4, kept, Input_.Memo, 4, kept) == 0);
        }
        const bool succeeded = Port.Caption == Success;
        FUZZ_CHECK(!succeeded || Port.Errors().empty());
        return succeeded;
    }

    // The records a run visits: those the header counts and the file holds.
    int32_t Visited()
    {
        TDBFLite table(Memory);
        table.OpenTable(TablePath, true);
        return table.RecordsInFile();
    }

    // Calls Pass(Table, RecNo, FieldNo) for every selected field of every
    // visited record.
    template <class F>
    void ForEachSelected(int32_t Records, F Pass)
    {
        TDBFLite table(Memory);
        table.OpenTable(TablePath, true);
        // A damaged name may hold a line break, and its halves name no field:
        // the selection refuses them, and so are they passed over here.
        for (const std::string& name : Port.MemoLines()) {
            const int field = table.FieldIndex(name);
            if (!name.empty() && field >= 0)
                for (int32_t r = 0; r < Records; ++r)
                    Pass(table, r, field);
        }
    }

    TMemoryFileSystem Memory;
    TCappedFileSystem Disk{Memory};
    TFakePort Port;
    TfmMain Form{Port, Disk};

private:
    const TFuzzTables& Input_;
};

void InfoSaveLoad(const TFuzzTables& Input)
{
    TRun run(Input);
    run.Click(&TfmMain::btInfoClick, "");
    if (!run.Port.Errors().empty())
        return;
    if (Input.Flags & 2) {
        // Every field, whatever its type: Save takes them all.
        TDBFLite table(run.Memory);
        table.OpenTable(TablePath, true);
        run.Port.Memo.clear();
        for (const TFieldDesc& field : table.Fields())
            if (!field.Name.empty())
                run.Port.Memo += field.Name + "\r\n";
    }
    const int32_t visited = run.Visited();
    run.Port.DialogAnswers = {TextPath};
    if (!run.Click(&TfmMain::btSaveClick, "MEMO поля сохранены."))
        return;
    // The header line names the fields as they are (a damaged name may hold
    // any byte); then one line per visited record, every control byte of
    // the values escaped.
    std::string header;
    for (const std::string& name : run.Port.MemoLines())
        if (!name.empty())
            header += (header.empty() ? "" : "\t") + name;
    header += "\r\n";
    const std::string text = run.Memory.File(TextPath);
    FUZZ_CHECK(text.compare(0, header.size(), header) == 0);
    size_t lines = 0;
    for (size_t i = header.size(); i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r') {
            FUZZ_CHECK(i + 1 < text.size() && text[i + 1] == '\n');
            ++lines;
            ++i;
        } else {
            FUZZ_CHECK(c >= 32 || c == '\t');
        }
    }
    FUZZ_CHECK(lines == static_cast<size_t>(visited));

    // What was saved goes back into the same damaged table.
    run.Port.DialogAnswers = {TextPath};
    run.Click(&TfmMain::btLoadClick, "MEMO поля загружены.");
}

// What every reference into the memo file, in every field that has them,
// leads to: the run's type and its bytes as stored; empty for no run.
std::vector<std::string> Runs(TFileSystem& Files, const std::vector<int>* Only = nullptr)
{
    TDBFLite table(Files);
    table.OpenTable(TablePath, true);
    std::vector<std::string> out;
    const std::vector<int> fields = Only ? *Only : table.MemoFileFields();
    for (int32_t r = 0; r < table.RecordsInFile(); ++r)
        for (int field : fields) {
            std::string bytes;
            uint32_t type = 0;
            out.push_back(table.ReadMemoRun(r, field, bytes, type) ? std::to_string(type) + "|" + bytes : "");
        }
    return out;
}

void Rewrite(const TFuzzTables& Input)
{
    TRun run(Input);
    run.Click(&TfmMain::btInfoClick, "");
    std::vector<int> fields;
    try {
        TDBFLite table(run.Memory);
        table.OpenTable(TablePath, true);
        for (const std::string& name : run.Port.MemoLines())
            if (!name.empty() && table.FieldIndex(name) >= 0)
                fields.push_back(table.FieldIndex(name));
    } catch (const EError&) {
        return;
    }
    const std::vector<std::string> before = Runs(run.Memory, &fields);
    if (!run.Click(&TfmMain::btAutoClick, "MEMO поля переписаны."))
        return;
    // Every selected reference now leads to a whole copy of the run it led
    // to, byte for byte under its type, or to none when it led to none.
    const std::vector<std::string> after = Runs(run.Memory, &fields);
    FUZZ_CHECK(after == before);
    run.ForEachSelected(run.Visited(), [&](TDBFLite& Table, int32_t RecNo, int FieldNo) {
        const TMemoInspection found = Table.InspectMemo(RecNo, FieldNo);
        FUZZ_CHECK(found.State == TMemoRefState::Empty || found.State == TMemoRefState::Text ||
                   found.State == TMemoRefState::Blank);
    });
}

// check and salvage change nothing; pack, finished or stopped anywhere by a
// full disk or a refusal, leaves every reference reading the bytes it read,
// and once finished no text shared and none left without a reference.
void CheckSalvagePack(const TFuzzTables& Input)
{
    TRun run(Input);
    const auto files = [&run] {
        return run.Memory.File(TablePath) + "|" + (run.Memory.Has(MemoPath) ? run.Memory.File(MemoPath) : "");
    };
    const std::string original = files();
    std::vector<std::string> before;
    try {
        TDBFLite table(run.Disk);
        table.OpenTable(TablePath, true);
        const TFullDiagnosis found = DiagnoseFully(table, table.MemoFields(), {}, run.Disk);
        FUZZ_CHECK(found.Verdict() == TVerdict::Damaged || found.Damage().empty());
        // An orphan is an old copy exactly when some run a reference leads
        // to holds its bytes, told here the slow way.
        if (table.HasMemoFile() && table.MemoBlockSize() > 0) {
            const std::string memo = run.Memory.File(MemoPath);
            std::set<std::string> live;
            for (int32_t r = 0; r < table.RecordsInFile(); ++r)
                for (int field : table.MemoFileFields()) {
                    const TMemoRunInfo info = table.MemoRunOf(r, field);
                    if (info.InFile && IsRunStart(info.Offset, info.Type) &&
                        info.Offset + MemoBlockHeaderSize <= memo.size())
                        live.insert(memo.substr(info.Offset + MemoBlockHeaderSize, info.Present));
                }
            TMemoMap map(table, run.Disk);
            map.AddAllRecords();
            map.Scan();
            for (const TMemoOrphan& orphan : map.Orphans()) {
                const std::string bytes =
                    memo.substr(orphan.Block * table.MemoBlockSize() + MemoBlockHeaderSize, orphan.Stored);
                FUZZ_CHECK(orphan.OldCopy == (live.count(bytes) > 0));
            }
        }
        table.CloseTable();
        before = Runs(run.Memory);
    } catch (const EError&) {
        return;
    }
    try {
        SalvageOrphans(run.Disk, TablePath, "/data/LOST.txt");
    } catch (const EError&) {
    }
    FUZZ_CHECK(files() == original);
    TPackResult packed;
    try {
        packed = PackMemo(run.Disk, TablePath, true);
    } catch (const ERefused&) {
        FUZZ_CHECK(files() == original);
        return;
    } catch (const EError&) {
    }
    FUZZ_CHECK(Runs(run.Memory) == before);
    if (!packed.Done)
        return;
    TDBFLite table(run.Memory);
    table.OpenTable(TablePath, true);
    TMemoMap map(table, run.Memory);
    map.AddAllRecords();
    map.Scan();
    FUZZ_CHECK(map.Findings().CrossLinkedRuns == 0 && map.Findings().Orphans == 0);
}

void Clear(const TFuzzTables& Input, bool All)
{
    TRun run(Input);
    run.Click(&TfmMain::btInfoClick, "");
    run.Port.All = All;
    const int32_t visited = run.Visited();
    if (!run.Click(&TfmMain::btClearClick, "MEMO поля очищены."))
        return;
    run.ForEachSelected(visited, [All](TDBFLite& Table, int32_t RecNo, int FieldNo) {
        const TMemoInspection found = Table.InspectMemo(RecNo, FieldNo);
        FUZZ_CHECK(found.State == TMemoRefState::Empty || (!All && !found.ReadsBlank));
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const TFuzzTables input = SplitInput(Data, Size);
    InfoSaveLoad(input);
    Rewrite(input);
    Clear(input, false);
    Clear(input, true);
    CheckSalvagePack(input);
    return 0;
}
