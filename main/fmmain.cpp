#include "fmmain.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <future>
#include <limits>
#include <new>
#include <sstream>

#include "backup.h"
#include "check.h"
#include "diagnosis.h"
#include "escape.h"
#include "helptext.h"
#include "loadlines.h"
#include "pack.h"
#include "relink.h"
#include "salvage.h"
#include "maintexts.h"
#include "memolimit.h"
#include "textfile.h"
#include "strutil.h"

namespace {

using namespace MainTexts;

// Progress steps, in records (Load: in lines).
constexpr int32_t ClearStep = 100;
constexpr int32_t RewriteStep = 10;
constexpr int32_t SaveStep = 100;
constexpr int32_t LoadStep = 1000;

// The hourglass for the length of a run, and the default cursor back
// whichever way the run ends.
class TBusyCursor {
public:
    explicit TBusyCursor(TWindowPort& Port) : Port_(Port) {}
    ~TBusyCursor() { Restore(); }
    TBusyCursor(const TBusyCursor&) = delete;
    TBusyCursor& operator=(const TBusyCursor&) = delete;
    void Start()
    {
        Port_.SetCursor(TCursor::HourGlass);
        Busy_ = true;
    }
    void Restore()
    {
        if (Busy_)
            Port_.SetCursor(TCursor::Default);
        Busy_ = false;
    }

private:
    TWindowPort& Port_;
    bool Busy_ = false;
};

// Memo box repainting suspended for the length of a scope.
class TMemoPaintPause {
public:
    explicit TMemoPaintPause(TWindowPort& Port) : Port_(Port) { Port_.SuspendMemoPaint(); }
    ~TMemoPaintPause() { Port_.ResumeMemoPaint(); }
    TMemoPaintPause(const TMemoPaintPause&) = delete;
    TMemoPaintPause& operator=(const TMemoPaintPause&) = delete;

private:
    TWindowPort& Port_;
};

// Whether Line holds more than Count tabs; looks no further than that.
bool HasMoreTabsThan(std::string_view Line, size_t Count)
{
    const char* p = Line.data();
    const char* const end = p + Line.size();
    for (size_t found = 0; (p = static_cast<const char*>(std::memchr(p, '\t', static_cast<size_t>(end - p)))); ++p)
        if (++found > Count)
            return true;
    return false;
}

// Opens the table read-write; false, with nothing open, when the system
// refuses writing to it (a read-only file, a CD, a read-only share).
bool TryOpenForWriting(TDBFLite& Table, const std::string& Path)
{
    try {
        Table.OpenTable(Path, false);
        return true;
    } catch (const EStreamError& e) {
        if (e.Failure() != TIoFailure::AccessDenied)
            throw;
        return false;
    }
}

// Info and Save only read: a table the system refuses to open for writing
// is opened for reading instead, so its texts can still be listed and saved.
void OpenForReading(TDBFLite& Table, const std::string& Path)
{
    if (!TryOpenForWriting(Table, Path))
        Table.OpenTable(Path, true);
}

}  // namespace

// Clear, Rewrite and Load write: a table the system refuses to open for
// writing ends them with a caption that says why, before anything is asked
// or written.
bool TfmMain::OpenForWriting(TDBFLite& Table, const std::string& Path)
{
    if (TryOpenForWriting(Table, Path))
        return true;
    Stop(ReadOnlyTable);
    return false;
}

TfmMain::TfmMain(TWindowPort& WindowPort, TFileSystem& FileSystem) : Port(WindowPort), Files(FileSystem)
{
    Open.Kind = TFileDialog::Open;
    Save.Kind = TFileDialog::Save;
    Save.Filter = TextFilter;
}

const char* TfmMain::InitialMemoText() { return InitialMemo; }

void TfmMain::FormCreate()
{
    Port.SetCaption(Title);
    Port.SetMemoText(InitialMemoText());
}

TOutcome TfmMain::Run(void (TfmMain::*Handler)())
{
    Outcome_ = TOutcome();
    std::string shown;
    try {
        (this->*Handler)();
        return Outcome_;
    } catch (const EError& e) {
        shown = ErrorDisplayText(e.Message());
    } catch (const std::bad_alloc&) {
        shown = "Out of memory.";
    } catch (const std::exception& e) {
        shown = ErrorDisplayText(e.what());
    }
    Port.ShowError(shown);
    return {TOutcomeKind::Failed, shown};
}

void TfmMain::Finish(const std::string& Caption)
{
    Port.SetCaption(Caption);
    Outcome_ = {TOutcomeKind::Done, Caption};
}

void TfmMain::Stop(const std::string& Caption)
{
    Port.SetCaption(Caption);
    Outcome_ = {TOutcomeKind::Stopped, Caption};
}

void TfmMain::Refuse(const std::string& MemoText)
{
    Port.SetMemoText(MemoText);
    Outcome_ = {TOutcomeKind::Refused, MemoText};
}

void TfmMain::Cancel() { Outcome_ = {TOutcomeKind::Cancelled, std::string()}; }

bool TfmMain::TableExists(std::string& Path)
{
    Path = Port.FileNameText();
    if (Files.FileExists(Path))
        return true;
    Stop(TableNotFound);
    return false;
}

int32_t TfmMain::RecordsToVisit(TDBFLite& Table) { return Table.LimitRecordCountToFile(); }

bool TfmMain::Confirm(const std::string& Text) { return Port.AskOkCancel(Text, Attention, MbOkCancel) != IdCancel; }

void TfmMain::ShowProgress(int64_t Done, int64_t Total)
{
    Port.SetProgress(IntToStr(Done) + "/" + IntToStr(Total), Done, Total);
}

bool TfmMain::SelectFields(TDBFLite& Table, std::vector<int>& Selection, bool MemoOnly)
{
    Selection.clear();
    for (const std::string& line : Port.MemoLines()) {
        if (line.empty())
            continue;
        const int field = Table.FieldIndex(Port.TextToTable(line));
        if (field < 0 || (MemoOnly && !Table.Fields()[static_cast<size_t>(field)].IsMemo())) {
            Refuse(SelectionHint);
            Table.CloseTable();
            return false;
        }
        if (Selection.size() == static_cast<size_t>(MaxSelectedFields)) {
            Refuse(TooManyFields(IntToStr(MaxSelectedFields)));
            Table.CloseTable();
            return false;
        }
        Selection.push_back(field);
    }
    return true;
}

TOutcome TfmMain::MemoFieldList(std::string& List)
{
    List.clear();
    const std::string path = Port.FileNameText();
    if (!Files.FileExists(path))
        return {TOutcomeKind::Stopped, TableNotFound};
    TDBFLite table(Files);
    OpenForReading(table, path);
    const std::vector<int> fields = table.MemoFields();
    for (int field : fields)
        List += (List.empty() ? "" : "\r\n") + Port.TableToText(table.Fields()[static_cast<size_t>(field)].Name);
    table.CloseTable();
    if (!table.HasMemoFile())
        return {TOutcomeKind::Done, MemoFileNotFound};
    return {TOutcomeKind::Done, MemoFieldCount(IntToStr(static_cast<int64_t>(fields.size())))};
}

void TfmMain::btInfoClick()
{
    std::string list;
    const TOutcome listed = MemoFieldList(list);
    if (listed.Kind != TOutcomeKind::Done) {
        Stop(listed.Message);
        return;
    }
    Finish(listed.Message);
    Port.SetMemoText(list);
}

bool TfmMain::StartMemoRun(TDBFLite& Table, std::vector<int>& Selection, bool NeedsMemoFile, bool Grows,
                           const char* Verb)
{
    std::string path;
    if (!TableExists(path) || !OpenForWriting(Table, path) || !SelectFields(Table, Selection, true))
        return false;
    // A block size of 0 leads every reference to the memo header, where no
    // text is: all would read as blank, and Clear would wipe the references
    // to texts that a repaired header would show again.
    std::string stop;
    if (!Table.LayoutTrusted())
        stop = Table.LayoutMismatchMessage();
    else if (NeedsMemoFile && !Table.HasMemoFile())
        stop = MemoFileNotFound;
    else if (NeedsMemoFile && Table.MemoBlockSize() == 0)
        stop = ZeroBlockSize;
    if (!stop.empty()) {
        Stop(stop);
    } else if (Grows && !AllowLargeMemo && !MemoLimitAllows(Table, MemoSizeAfterRewrite(Table, Selection))) {
        // (said by MemoLimitAllows; allowed a large memo file, the run
        // needs no pass over every reference to size it first)
    } else if (!Confirm(ConfirmMemoRun(Verb, IntToStr(static_cast<int64_t>(Selection.size()))))) {
        Cancel();
    } else {
        // The owner may have changed references while the question stood:
        // the run reads them as they are now, not as they were cached.
        Table.Reload();
        if (BackUp(Table))
            return true;
    }
    Table.CloseTable();
    return false;
}

bool TfmMain::MemoLimitAllows(const TDBFLite& Table, uint64_t End)
{
    // A file past the limit already is refused only what would grow it.
    if (AllowLargeMemo || End <= OwnerMemoLimit || End <= Table.MemoFileSize())
        return true;
    const std::string size = IntToStr(static_cast<int64_t>(End));
    if (!AskAboutLargeMemo) {
        Stop(MemoTooLarge(size));
        return false;
    }
    if (Confirm(ConfirmLargeMemo(size)))
        return true;
    Cancel();
    return false;
}

bool TfmMain::BackUp(TDBFLite& Table)
{
    if (!Port.BackupChecked())
        return true;
    try {
        const std::vector<std::string> copies = BackupOpenTable(Files, Table);
        std::string list;
        for (const std::string& copy : copies)
            list += (list.empty() ? "" : ", ") + copy;
        Port.SetCaption(BackupMade(list));
        return true;
    } catch (const EStreamError&) {
        throw;
    } catch (const EError& e) {
        // Nothing was changed: the run ends as a refusal does.
        Table.CloseTable();
        Stop(e.Message());
        return false;
    }
}

bool TfmMain::StopHere(TDBFLite& Table, int64_t Done, int64_t Total)
{
    if (!Port.StopRequested())
        return false;
    // What was written so far goes to the disk as at any end of a run.
    Table.CloseTable();
    Stop(StoppedAt(IntToStr(Done), IntToStr(Total)));
    return true;
}

void TfmMain::btClearClick()
{
    // Without a memo file every reference reads as blank: Clear would wipe
    // them all while the user asked for the damaged ones only.
    TDBFLite table(Files);
    std::vector<int> selection;
    if (!StartMemoRun(table, selection, !Port.AllChecked(), false, VerbClear))
        return;
    TBusyCursor cursor(Port);
    cursor.Start();
    Port.SetCaption(Clearing);
    const int32_t records = RecordsToVisit(table);
    // The check box cannot change during the run: no window messages are
    // handled until it ends.
    const bool clearAll = Port.AllChecked();
    for (int32_t r = 0; r < records; ++r) {
        if (StopHere(table, r, records))
            return;
        if ((r + 1) % ClearStep == 0)
            ShowProgress(r + 1, records);
        for (int field : selection)
            if (clearAll || table.ClearWouldBlank(r, field))
                table.WriteBlankMemoRef(r, field);
    }
    cursor.Restore();
    table.CloseTable();
    Finish(Cleared);
}

void TfmMain::btAutoClick()
{
    // Without a memo file no text can be read, and every reference would be
    // blanked.
    TDBFLite table(Files);
    std::vector<int> selection;
    if (!StartMemoRun(table, selection, true, true, VerbRewrite))
        return;
    TBusyCursor cursor(Port);
    cursor.Start();
    Port.SetCaption(Rewriting);
    const int32_t records = RecordsToVisit(table);
    // Runs the end of the memo file cuts short first end where it does: the
    // copies appended next would otherwise read as the rest of their texts
    // should the run stop before it reaches them.
    table.SealCutRuns();
    for (int32_t r = 0; r < records; ++r) {
        if (StopHere(table, r, records))
            return;
        if ((r + 1) % RewriteStep == 0)
            ShowProgress(r + 1, records);
        // Each run is copied byte for byte under its own block type: a
        // picture's trailing zeros and a text's closing line break are part
        // of it. A reference that leads to no run is blanked. A failing
        // disk ends the run, the reference still at the old, intact copy.
        for (int field : selection)
            table.RewriteMemoRef(r, field);
    }
    cursor.Restore();
    table.CloseTable();
    Finish(Rewritten);
}

bool TfmMain::ChooseOutput(std::string& Path, const char* Extension)
{
    if (!TableExists(Path))
        return false;
    Save.FileName = ChangeFileExt(Path, Extension);
    if (Port.RunFileDialog(Save))
        return true;
    Cancel();
    return false;
}

void TfmMain::btSaveClick()
{
    std::string path;
    if (!ChooseOutput(path, ".txt"))
        return;
    TDBFLite table(Files);
    OpenForReading(table, path);
    std::vector<int> selection;
    if (!SelectFields(table, selection, false))
        return;
    if (table.HoldsFile(Save.FileName)) {
        Stop(TextFileIsTable);
        return;
    }
    TBusyCursor cursor(Port);
    cursor.Start();
    TTextFileWriter out(Files, Save.FileName);
    Stopped_.clear();
    WriteSaveLines(table, selection, out);
    table.CloseTable();
    out.Close();
    if (Stopped_.empty())
        Finish(Saved);
    else
        Stop(Stopped_);
    cursor.Restore();
}

void TfmMain::WriteSaveLines(TDBFLite& Table, const std::vector<int>& Selection, TTextFileWriter& Out)
{
    std::string line;
    for (int field : Selection)
        line += "\t" + Table.Fields()[static_cast<size_t>(field)].Name;
    DeleteAt(line, 1, 1);
    Out.WriteLine(line);

    // Lines are built straight in the file's buffer, memo texts escaped as
    // the table layer hands them over, without a copy of a text or a line.
    const auto writeEscaped = [&Out](const char* Data, size_t Length) { Out.WriteEscaped(Data, Length); };
    const int32_t records = RecordsToVisit(Table);
    for (int32_t r = 0; r < records; ++r) {
        if (Port.StopRequested()) {
            Stopped_ = StoppedAt(IntToStr(r), IntToStr(records));
            return;
        }
        if ((r + 1) % SaveStep == 0)
            ShowProgress(r + 1, records);
        // Values joined by tabs; the tab goes between them rather than
        // before each, so the line is never shifted to drop the first.
        for (size_t i = 0; i < Selection.size(); ++i) {
            if (i > 0)
                Out.Commit(std::copy_n("\t", 1, Out.Room(1)));
            const int field = Selection[i];
            if (Table.Fields()[static_cast<size_t>(field)].IsMemo()) {
                Table.ReadMemoPieces(r, field, writeEscaped);
            } else {
                const std::string value = Table.ReadValue(r, field);
                writeEscaped(value.data(), value.size());
            }
        }
        Out.EndLine();
    }
}

void TfmMain::btLoadClick()
{
    std::string path;
    if (!TableExists(path))
        return;
    Open.Filter = TextFilter;
    if (!Port.RunFileDialog(Open)) {
        Cancel();
        return;
    }
    TDBFLite table(Files);
    if (!OpenForWriting(table, path))
        return;
    if (!Confirm(ConfirmLoad())) {
        table.CloseTable();
        Cancel();
        return;
    }
    // New texts go past what the owner appended while the question stood.
    table.Reload();
    TBusyCursor cursor(Port);
    cursor.Start();
    TTextFileReader in(Files, Open.FileName);
    std::vector<int> columns;
    int64_t lines = 0;
    if (!LoadColumns(table, in, columns))
        return;
    const uint64_t firstRecordLine = in.Position();
    // The runs the memo file's end cuts short are sought while the text
    // file is checked: one pass reads the table and the memo file, the
    // other the text file, and on two cores neither waits for the other.
    // (Files that must see every operation in order get them one by one.)
    std::future<std::vector<TDBFLite::TCutRun>> cutRuns =
        std::async(Files.UsableFromThreads() ? std::launch::async : std::launch::deferred,
                   [&table] { return table.FindCutRuns(); });
    if (!CheckLoadFile(table, in, columns, lines))
        return;
    const std::vector<TDBFLite::TCutRun> cut = cutRuns.get();
    if (!BackUp(table))
        return;
    in.Seek(firstRecordLine);

    RecordsToVisit(table);
    if (table.HasMemoFile() && table.MemoBlockSize() != 0)
        table.SealCutRuns(cut);
    {
        // Each line a record; a blank one leaves its record as it is.
        TLoadLines values(in, columns.size(), Files.UsableFromThreads());
        for (int32_t r = 0; values.Next(); ++r) {
            if (StopHere(table, r, lines))
                return;
            if (r % LoadStep == 0)
                Port.SetProgress(IntToStr(r + 1), r, lines);
            for (size_t c = 0; c < values.Count(); ++c)
                table.WriteValueText(r, columns[c], values.Value(c));
        }
    }
    table.CloseTable();
    in.Close();
    Finish(Loaded);
    cursor.Restore();
}

bool TfmMain::LoadColumns(TDBFLite& Table, TTextFileReader& In, std::vector<int>& Columns)
{
    // The whole file is checked before anything is written: a name that is
    // no field, or a line with more values than names, would otherwise stop
    // the run halfway through the table.
    const std::vector<std::string> names = SplitAt(In.ReadLine(), "\t");
    if (names.size() > static_cast<size_t>(MaxSelectedFields)) {
        Refuse(TooManyColumns(IntToStr(MaxSelectedFields)));
        return false;
    }
    bool missing = false;
    bool memoColumns = false;
    for (const std::string& name : names) {
        const int field = Table.FieldIndex(name);
        Columns.push_back(field);
        if (field < 0) {
            Refuse(FieldNotFound(Port.TableToText(name)));
            missing = true;
        } else if (Table.Fields()[static_cast<size_t>(field)].IsMemo()) {
            memoColumns = true;
        }
    }
    if (missing)
        return false;
    if (memoColumns && !Table.HasMemoFile()) {
        Stop(MemoFileNotFound);
        return false;
    }
    return true;
}

bool TfmMain::CheckLoadFile(TDBFLite& Table, TTextFileReader& In, const std::vector<int>& Columns, int64_t& Lines)
{
    // Every value a line would write is checked as the write would check
    // it, and the memo texts are laid out block by block as they will be
    // stored: a run that would fail halfway leaves the files as they were.
    std::vector<bool> reached(Columns.size(), false);
    uint64_t block = Table.HasMemoFile() ? Table.NextRunBlock() : 0;
    while (!In.Eof()) {
        const std::string_view line = In.ReadLineView();
        // Each line, blank or not, is a record: one past the last record
        // number would stop the run halfway.
        if (++Lines > std::numeric_limits<int32_t>::max()) {
            Refuse(TooManyLines(IntToStr(std::numeric_limits<int32_t>::max())));
            return false;
        }
        if (IsBlank(line))
            continue;
        if (HasMoreTabsThan(line, Columns.size() - 1)) {
            Refuse(MoreValuesThanNames(IntToStr(Lines + 1)));
            return false;
        }
        if (!Table.LayoutTrusted()) {
            Refuse(Table.LayoutMismatchMessage());
            return false;
        }
        // The checks read nothing: what they raise is a refusal, shown as
        // the file's other faults are.
        try {
            CheckLoadLine(Table, line, Columns, reached, block);
        } catch (const EError& e) {
            Refuse(e.Message());
            return false;
        }
    }
    // Every memo text laid out: block is where the memo file would end.
    return MemoLimitAllows(Table, block * Table.MemoBlockSize());
}

void TfmMain::CheckLoadLine(TDBFLite& Table, std::string_view Line, const std::vector<int>& Columns,
                            std::vector<bool>& Reached, uint64_t& Block)
{
    for (size_t c = 0, start = 0; start <= Line.size() && c < Columns.size(); ++c) {
        bool escaped = false;
        std::string_view text = LoadValueAt(Line, start, escaped);
        start += text.size() + 1;
        const int field = Columns[c];
        const TFieldDesc& desc = Table.Fields()[static_cast<size_t>(field)];
        // Text fields take any text: their first value stands for all.
        if (desc.StoresText()) {
            if (!Reached[c])
                Table.CheckValue(field, text.data(), text.size());
            Reached[c] = true;
            continue;
        }
        if (desc.IsMemo()) {
            if (!Reached[c])
                Table.CheckValue(field, "", 0);
            Reached[c] = true;
            // A memo text is laid out by its length alone, unescaped or
            // not; a blank one blanks the reference and needs no block.
            const TUnescapedSize size = escaped ? MeasureUnescapedMemoValue(text.data(), text.size())
                                                : TUnescapedSize{text.size(), IsBlank(text)};
            if (!size.Blank)
                Block = Table.PlanMemoRun(field, Block, size.Length);
            continue;
        }
        if (escaped) {
            Scratch_.clear();
            AppendUnescapedMemoValue(Scratch_, text.data(), text.size());
            text = Scratch_;
        }
        Table.CheckValue(field, text.data(), text.size());
        Reached[c] = true;
    }
}

void TfmMain::btHelpClick()
{
    if (!Files.FileExists(HelpFileName)) {
        Refuse(HelpNotFound);
        return;
    }
    TMemoPaintPause pause(Port);
    std::string bytes;
    {
        auto stream = Files.Open(HelpFileName, TFileAccess::Read, TFileShare::DenyNone);
        bytes.resize(static_cast<size_t>(stream->Size()));
        if (!bytes.empty())
            bytes.resize(stream->ReadAt(0, &bytes[0], bytes.size()));
    }
    Port.SetMemoText(Port.TableToText(ReflowHelpText(bytes)));
}

void TfmMain::btBrowseFileNameClick()
{
    Open.Filter = TableFilter;
    if (Port.RunFileDialog(Open))
        Port.SetFileNameText(Open.FileName);
    else
        Cancel();
}

void TfmMain::btExitClick() { Port.Close(); }

void TfmMain::FormKeyDown(int Key)
{
    if (Key == VkF1)
        Run(&TfmMain::btHelpClick);
}

void TfmMain::WMDropFiles(const std::string& FileName)
{
    Port.SetFileNameText(FileName);
    Port.BringToFront();
}

namespace {

// A run of check or salvage that the user stopped: they only read, so
// nothing needs finishing.
struct EStopped {};

// Lines as the memo box takes them.
std::string WithCrLf(const std::string& Text)
{
    std::string out;
    for (char c : Text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

}  // namespace

std::function<void(int64_t, int64_t)> TfmMain::ProgressOnPort()
{
    return [this](int64_t Done, int64_t Total) {
        if (Port.StopRequested())
            throw EStopped();
        ShowProgress(Done, Total);
    };
}

void TfmMain::btCheckClick()
{
    std::string path;
    if (!TableExists(path))
        return;
    TBusyCursor cursor(Port);
    cursor.Start();
    Port.SetCaption(Checking);
    TDBFLite table(Files);
    // The diagnosis changes nothing and locks nothing.
    table.OpenTable(path, true);
    TFullDiagnosis found;
    try {
        found = DiagnoseFully(table, table.MemoFields(), ProgressOnPort(), Files);
    } catch (const EStopped&) {
        Stop(StoppedReading);
        return;
    }
    table.CloseTable();
    std::ostringstream report;
    PrintDiagnosis(found.Fields, path, report, Port, TLanguage::Russian);
    PrintFindings(found, report, TLanguage::Russian);
    Port.SetMemoText(WithCrLf(report.str()));
    Finish(VerdictText(found.Verdict(), TLanguage::Russian));
}

void TfmMain::btSalvageClick()
{
    std::string path;
    if (!ChooseOutput(path, "_lost.txt"))
        return;
    TBusyCursor cursor(Port);
    cursor.Start();
    Port.SetCaption(Salvaging);
    TMemoMapFindings found;
    try {
        found = SalvageOrphans(Files, path, Save.FileName, ProgressOnPort());
    } catch (const EStopped&) {
        Stop(StoppedReading);
        return;
    } catch (const ERefused& e) {
        Stop(e.Message());
        return;
    }
    Finish(FormatRepairText(TRepairText::SalvageSummary,
                            {std::to_string(found.LostTexts), std::to_string(found.LostTextBytes),
                             std::to_string(found.OldCopies), std::to_string(found.OldCopyBytes)},
                            TLanguage::Russian) +
           " " + FormatRepairText(TRepairText::SalvageDone, {Save.FileName}, TLanguage::Russian));
}

void TfmMain::btPackClick()
{
    std::string path;
    if (!TableExists(path))
        return;
    TBusyCursor cursor(Port);
    bool refused = false;
    // Once the plan is made and before any write: the question, then the
    // backup through the open table.
    const auto beforeWrites = [&](TDBFLite& Table, const TPackResult& Plan) {
        if (!Confirm(FormatRepairText(
                TRepairText::PackConfirm,
                {std::to_string(Plan.Texts), std::to_string(Plan.SizeAfter), std::to_string(Plan.SizeBefore)},
                TLanguage::Russian)))
            return false;
        cursor.Start();
        Port.SetCaption(Packing);
        if (!BackUp(Table)) {
            refused = true;
            return false;
        }
        return true;
    };
    TPackResult done;
    try {
        done = PackMemo(
            Files, path, AllowLargeMemo, [this](int64_t Done, int64_t Total) { ShowProgress(Done, Total); },
            beforeWrites, [this] { return Port.StopRequested(); });
        if (done.TooLarge && AskAboutLargeMemo && Confirm(ConfirmLargeMemo(std::to_string(done.PeakSize))))
            done = PackMemo(
                Files, path, true, [this](int64_t Done, int64_t Total) { ShowProgress(Done, Total); }, beforeWrites,
                [this] { return Port.StopRequested(); });
    } catch (const ERefused& e) {
        Stop(e.Message());
        return;
    }
    if (done.TooLarge && !AskAboutLargeMemo)
        Stop(FormatRepairText(TRepairText::PackTooLarge, {std::to_string(done.PeakSize)}, TLanguage::Russian));
    else if (done.Stopped)
        Stop(PackStopped);
    else if (done.Done)
        Finish(FormatRepairText(done.SizeAfter > done.SizeBefore ? TRepairText::PackGrew : TRepairText::PackDone,
                                {std::to_string(done.SizeAfter), std::to_string(done.SizeBefore),
                                 std::to_string(done.Texts), std::to_string(done.Blanked)},
                                TLanguage::Russian));
    else if (!refused && Outcome_.Kind != TOutcomeKind::Stopped)
        Cancel();
}

void TfmMain::btRelinkClick()
{
    std::string path;
    if (!TableExists(path))
        return;
    TBusyCursor cursor(Port);
    cursor.Start();
    Port.SetCaption(Relinking);
    bool refused = false;
    // The proposals in the memo box, then the question naming their count,
    // then the backup: all on the table open for writing.
    const auto decide = [&](TDBFLite& Table, const TRelinkResult& Plan) {
        std::ostringstream list;
        PrintRelinkProposals(Table.Fields(), Plan, Port, list, TLanguage::Russian);
        Port.SetMemoText(WithCrLf(list.str()));
        if (!Confirm(FormatRepairText(TRepairText::RelinkConfirm, {std::to_string(Plan.Proposals.size())},
                                      TLanguage::Russian)))
            return false;
        refused = !BackUp(Table);
        return !refused;
    };
    TRelinkResult result;
    try {
        result = RelinkMemoRefs(Files, path, {}, ProgressOnPort(), decide);
    } catch (const EStopped&) {
        Stop(StoppedReading);
        return;
    } catch (const ERefused& e) {
        Stop(e.Message());
        return;
    }
    if (refused)
        return;
    if (result.Proposals.empty()) {
        Finish(FormatRepairText(TRepairText::RelinkNothing,
                                {std::to_string(result.Damaged), std::to_string(result.NoCandidate),
                                 std::to_string(result.Ambiguous), std::to_string(result.Contested)},
                                TLanguage::Russian));
    } else if (result.Cancelled) {
        Cancel();
    } else {
        std::string done =
            FormatRepairText(TRepairText::RelinkDone, {std::to_string(result.Written)}, TLanguage::Russian);
        if (result.Dropped > 0)
            done += " " +
                    FormatRepairText(TRepairText::RelinkDropped, {std::to_string(result.Dropped)}, TLanguage::Russian);
        Finish(done);
    }
}
