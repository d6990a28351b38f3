#include "check.h"

#include <iomanip>

#include "codepage.h"
#include "memomap.h"
#include "texts.h"
#include "strutil.h"

namespace {

// Label followed by blanks up to Width characters (not bytes: the Russian
// labels take two bytes a letter).
std::string Padded(const std::string& Label, size_t Width)
{
    size_t characters = 0;
    for (char c : Label)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            ++characters;
    return Label + std::string(characters < Width ? Width - characters : 0, ' ');
}

std::string Hex(uint8_t Byte)
{
    static const char Digits[] = "0123456789ABCDEF";
    return std::string{Digits[Byte >> 4], Digits[Byte & 15]};
}

}  // namespace

TTableDiagnosis DiagnoseTable(TDBFLite& Table, const std::vector<int>& Fields, TProgressBar& Progress, TMemoMap* Map)
{
    TTableDiagnosis d;
    d.HeaderRecords = Table.RecordCount();
    d.FileRecords = Table.RecordsInFile();
    d.HasMemoFile = Table.HasMemoFile();
    d.LanguageDriver = Table.LanguageDriver();
    d.CodePage = CodePageOfLanguageDriver(Table.LanguageDriver());
    d.LayoutTrusted = Table.LayoutTrusted();
    d.RecordSize = Table.RecordSize();
    if (Table.HasMemoFile()) {
        d.MemoFileName = Table.MemoFileName();
        d.MemoBlockSize = Table.MemoBlockSize();
        d.MemoNextBlock = Table.MemoNextBlock();
        d.MemoFileSize = Table.MemoFileSize();
    }
    for (int field : Fields) {
        TFieldDiagnosis f;
        f.Name = Table.Fields()[static_cast<size_t>(field)].Name;
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
            case TMemoRefState::NotAStart: ++f.NotAStart; break;
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
    using namespace Texts;
    Out << Say(ReportTable, {TablePath}) << "\n";
    Out << Say(ReportRecords, {IntToStr(d.FileRecords)});
    if (d.HeaderRecords != d.FileRecords)
        Out << Say(ReportHeaderSays, {IntToStr(d.HeaderRecords), IntToStr(d.FileRecords)});
    Out << "\n";
    if (d.CodePage != 0)
        Out << Say(ReportCodePage, {IntToStr(d.CodePage), Hex(d.LanguageDriver)}) << "\n";
    else
        Out << Say(ReportNoCodePage, {Hex(d.LanguageDriver)}) << "\n";
    if (!d.LayoutTrusted)
        Out << Say(ReportLayoutMismatch, {IntToStr(d.RecordSize)}) << "\n";
    if (!d.HasMemoFile) {
        Out << Say(ReportNoMemoFile) << "\n";
    } else {
        Out << Say(ReportMemoFile, {d.MemoFileName, IntToStr(static_cast<int64_t>(d.MemoFileSize)),
                                    IntToStr(d.MemoBlockSize), IntToStr(d.MemoNextBlock)})
            << "\n";
        if (d.MemoBlockSize == 0)
            Out << Say(ReportZeroBlockSize) << "\n";
        else if (static_cast<uint64_t>(d.MemoNextBlock) * d.MemoBlockSize < d.MemoFileSize)
            Out << Say(ReportNextBlockInside) << "\n";
    }
    for (const TFieldDiagnosis& f : d.Fields) {
        Out << Say(ReportField, {Port.TableToText(f.Name)}) << "\n";
        auto row = [&Out](const std::string& Label, long long Count) {
            Out << "  " << Padded(Label, 34) << std::setw(12) << Count << "\n";
        };
        row(Say(CountEmpty), f.Empty);
        row(Say(CountNotANumber), f.NotANumber);
        row(Say(CountPastEnd), f.PastEnd);
        row(Say(CountRunsPastEnd), f.RunsPastEnd);
        row(Say(CountNotAStart), f.NotAStart);
        row(Say(CountBlank), f.Blank);
        row(Say(CountText), f.Text);
        row(Say(CountClearedByClear), f.ClearedByClear);
    }
}
