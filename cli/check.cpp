#include "cli/check.h"

#include <iomanip>

#include "dbflite/memomap.h"

TTableDiagnosis DiagnoseTable(TDBFLite& Table, const std::vector<int>& Fields, TProgressBar& Progress,
                              TMemoMap* Map)
{
    TTableDiagnosis d;
    d.HeaderRecords = Table.RecordCount;
    d.FileRecords = Table.RecordsInFile();
    d.HasMemoFile = Table.HasMemoFile;
    if (Table.HasMemoFile) {
        d.MemoFileName = Table.MemoFileName;
        d.MemoBlockSize = Table.MemoBlockSize;
        d.MemoNextBlock = Table.MemoNextBlock;
        d.MemoFileSize = Table.MemoFileSize();
    }
    for (int field : Fields) {
        TFieldDiagnosis f;
        f.Name = Table.Fields[static_cast<size_t>(field)].Name;
        d.Fields.push_back(f);
    }
    for (int32_t r = 0; r < d.FileRecords; ++r) {
        if ((r + 1) % 1000 == 0)
            Progress.Update(r + 1, d.FileRecords);
        if (Map)
            Map->AddRecord(r);
        for (size_t i = 0; i < Fields.size(); ++i) {
            const TMemoInspection found = Table.InspectMemo(r, Fields[i]);
            TFieldDiagnosis& f = d.Fields[i];
            switch (found.State) {
            case TMemoRefState::Empty: ++f.Empty; break;
            case TMemoRefState::NotANumber: ++f.NotANumber; break;
            case TMemoRefState::PastEnd: ++f.PastEnd; break;
            case TMemoRefState::RunsPastEnd: ++f.RunsPastEnd; break;
            case TMemoRefState::Blank: ++f.Blank; break;
            case TMemoRefState::Text: ++f.Text; break;
            }
            // An empty reference stays as it is: nothing to clear there.
            if (found.ReadsBlank && found.State != TMemoRefState::Empty)
                ++f.ClearedByClear;
        }
    }
    Progress.End();
    return d;
}

void PrintDiagnosis(const TTableDiagnosis& d, const std::string& TablePath, std::ostream& Out, TWindowPort& Port)
{
    Out << "table: " << TablePath << "\n";
    Out << "records: " << d.FileRecords;
    if (d.HeaderRecords != d.FileRecords)
        Out << " (the header says " << d.HeaderRecords << "; the file holds " << d.FileRecords << ")";
    Out << "\n";
    if (!d.HasMemoFile) {
        Out << "memo file: not found (every memo reference leads nowhere)\n";
    } else {
        Out << "memo file: " << d.MemoFileName << " (" << d.MemoFileSize << " bytes, block size " << d.MemoBlockSize
            << ", next free block " << d.MemoNextBlock << ")\n";
        if (d.MemoBlockSize == 0)
            Out << "warning: the memo header gives a block size of 0: no text can be read or written\n";
        else if (static_cast<uint64_t>(d.MemoNextBlock) * d.MemoBlockSize < d.MemoFileSize)
            Out << "warning: the memo header's next free block lies inside the file; new texts are stored after "
                   "the file's end instead\n";
    }
    for (const TFieldDiagnosis& f : d.Fields) {
        Out << "field " << Port.TableToText(f.Name) << ":\n";
        auto row = [&Out](const char* Label, long long Count) {
            Out << "  " << std::left << std::setw(34) << Label << std::right << std::setw(12) << Count << "\n";
        };
        row("empty references", f.Empty);
        row("not a block number", f.NotANumber);
        row("past the end of the memo file", f.PastEnd);
        row("running past the end of the file", f.RunsPastEnd);
        row("blank text", f.Blank);
        row("text", f.Text);
        row("cleared by clear without --all", f.ClearedByClear);
    }
}
