#include "check.h"

#include <algorithm>
#include <filesystem>
#include <iomanip>
#include <set>
#include <system_error>
#include <utility>

#include "codepage.h"
#include "memomap.h"
#include "repairtexts.h"
#include "strutil.h"

namespace {

// Label followed by blanks up to Width characters (not bytes: the Russian
// labels take two bytes a letter).
std::string Padded(const std::string& Label, size_t Width)
{
    const size_t characters = Utf8Characters(Label);
    return Label + std::string(characters < Width ? Width - characters : 0, ' ');
}

}  // namespace

TTableDiagnosis DiagnoseTable(TDBFLite& Table, const std::vector<int>& Fields, const TProgress& Progress, TMemoMap* Map)
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
    // The map notes where each reference leads; for the fields inspected
    // here it takes the run the inspection found rather than look it up
    // again (an empty reference is looked up as the map would, being rare).
    std::vector<int> inspectedAs;  // per map field, its index in Fields, or -1
    if (Map)
        for (int field : Map->Fields()) {
            const auto at = std::find(Fields.begin(), Fields.end(), field);
            inspectedAs.push_back(at == Fields.end() ? -1 : static_cast<int>(at - Fields.begin()));
        }
    std::vector<TMemoInspection> inspected(Fields.size());
    for (int32_t r = 0; r < d.FileRecords; ++r) {
        if ((r + 1) % 1000 == 0)
            if (Progress)
                Progress(r + 1, d.FileRecords);
        for (size_t i = 0; i < Fields.size(); ++i)
            inspected[i] = Table.InspectMemo(r, Fields[i]);
        if (Map)
            for (size_t m = 0; m < inspectedAs.size(); ++m) {
                const int field = Map->Fields()[m];
                const int i = inspectedAs[m];
                if (i >= 0 && inspected[static_cast<size_t>(i)].State != TMemoRefState::Empty)
                    Map->AddReference(r, field, inspected[static_cast<size_t>(i)].Run);
                else
                    Map->AddReference(r, field, Table.MemoRunOf(r, field));
            }
        for (size_t i = 0; i < Fields.size(); ++i) {
            const TMemoInspection& found = inspected[i];
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
    return d;
}

namespace {

// A field's counts as the report lists them.
const std::pair<const TText*, long long TFieldDiagnosis::*> Counts[] = {
    {&Texts::CountEmpty, &TFieldDiagnosis::Empty},
    {&Texts::CountNotANumber, &TFieldDiagnosis::NotANumber},
    {&Texts::CountPastEnd, &TFieldDiagnosis::PastEnd},
    {&Texts::CountRunsPastEnd, &TFieldDiagnosis::RunsPastEnd},
    {&Texts::CountNotAStart, &TFieldDiagnosis::NotAStart},
    {&Texts::CountBlank, &TFieldDiagnosis::Blank},
    {&Texts::CountText, &TFieldDiagnosis::Text},
    {&Texts::CountClearedByClear, &TFieldDiagnosis::ClearedByClear}};

}  // namespace

void PrintDiagnosis(const TTableDiagnosis& d, const std::string& TablePath, std::ostream& Out, TWindowPort& Port,
                    TLanguage Language)
{
    using namespace Texts;
    const auto say = [Language](const TText& Text, std::initializer_list<std::string> Args = {}) {
        return Say(Text, Args, Language);
    };
    Out << say(ReportTable, {TablePath}) << "\n";
    Out << say(ReportRecords, {IntToStr(d.FileRecords)});
    if (d.HeaderRecords != d.FileRecords)
        Out << say(ReportHeaderSays, {IntToStr(d.HeaderRecords), IntToStr(d.FileRecords)});
    Out << "\n";
    if (d.CodePage != 0)
        Out << say(ReportCodePage, {IntToStr(d.CodePage), HexByte(d.LanguageDriver)}) << "\n";
    else
        Out << say(ReportNoCodePage, {HexByte(d.LanguageDriver)}) << "\n";
    if (!d.LayoutTrusted)
        Out << say(ReportLayoutMismatch, {IntToStr(d.RecordSize)}) << "\n";
    if (!d.HasMemoFile) {
        Out << say(ReportNoMemoFile) << "\n";
    } else {
        Out << say(ReportMemoFile, {d.MemoFileName, IntToStr(static_cast<int64_t>(d.MemoFileSize)),
                                    IntToStr(d.MemoBlockSize), IntToStr(d.MemoNextBlock)})
            << "\n";
        if (d.MemoBlockSize == 0)
            Out << say(ReportZeroBlockSize) << "\n";
        else if (static_cast<uint64_t>(d.MemoNextBlock) * d.MemoBlockSize < d.MemoFileSize)
            Out << say(ReportNextBlockInside) << "\n";
    }
    for (const TFieldDiagnosis& f : d.Fields) {
        Out << say(ReportField, {Port.TableToText(f.Name)}) << "\n";
        for (const auto& [label, count] : Counts)
            Out << "  " << Padded(say(*label), 34) << std::setw(12) << f.*count << "\n";
    }
}

namespace {

std::string Lower(std::string Text)
{
    for (char& c : Text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return Text;
}

}  // namespace

// Paths are UTF-8 throughout the program (the command line is read so on
// Windows too), hence u8path and u8string.
bool IsFolder(const std::string& Path)
{
    std::error_code error;
    return std::filesystem::is_directory(std::filesystem::u8path(Path), error);
}

std::vector<std::string> TablesInFolder(const std::string& Folder)
{
    namespace fs = std::filesystem;
    std::vector<fs::path> tables;
    // Memo files by folder and name, lower case: a table's may differ from
    // it in letter case (ORDERS.DBF beside orders.fpt) on any file system.
    std::set<std::string> memoFiles;
    std::error_code error;
    fs::recursive_directory_iterator it(fs::u8path(Folder), fs::directory_options::skip_permission_denied, error);
    for (const fs::recursive_directory_iterator end; !error && it != end; it.increment(error)) {
        std::error_code typeError;
        if (!it->is_regular_file(typeError))
            continue;
        const std::string extension = Lower(it->path().extension().u8string());
        if (extension == ".dbf")
            tables.push_back(it->path());
        else if (extension == ".fpt")
            memoFiles.insert(Lower(fs::path(it->path()).replace_extension().u8string()));
    }
    std::vector<std::string> found;
    for (const fs::path& table : tables)
        if (memoFiles.count(Lower(fs::path(table).replace_extension().u8string())))
            found.push_back(table.u8string());
    std::sort(found.begin(), found.end());
    return found;
}
