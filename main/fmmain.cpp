#include "main/fmmain.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "main/memotext.h"
#include "main/textfile.h"
#include "strutil/strutil.h"

namespace {

const char* const TableNotFound = "DBF файл не найден.";
const char* const MemoFileNotFound = "MEMO файл не найден.";
const char* const ZeroBlockSize = "Размер блока MEMO файла равен 0.";
const char* const Attention = "Внимание!";
const char* const NoBackups = "Восстановление будет невозможно! Программа не сохраняет резервных копий!";
const char* const SelectionHint = "1) Нажмите кнопку \"Инфо\"\r\n2) Выберите нужные MEMO поля.";
const char* const ReadOnlyTable = "Таблица доступна только для чтения.";
const char* const HelpFileName = "Read_Me.txt";
const char* const TableFilter = "dbf файлы (*.dbf)|*.dbf|Все файлы (*.*)|*.*";
const char* const TextFilter = "Текстовые файлы (*.txt)|*.txt|Все файлы (*.*)|*.*";

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

// A number with an optional sign, digits and an optional decimal part.
bool IsDecimalNumber(const std::string& Text)
{
    size_t i = 0;
    if (i < Text.size() && (Text[i] == '+' || Text[i] == '-'))
        ++i;
    size_t digits = 0;
    bool point = false;
    for (; i < Text.size(); ++i) {
        if (Text[i] >= '0' && Text[i] <= '9')
            ++digits;
        else if (Text[i] == '.' && !point)
            point = true;
        else
            return false;
    }
    return digits > 0;
}

// Info and Save only read: a table the system refuses to open for writing
// (a read-only file, a CD, a read-only share) is opened for reading instead,
// so its texts can still be listed and saved.
void OpenForReading(TDBFLite& Table, const std::string& Path)
{
    try {
        Table.OpenTable(Path, false);
    } catch (const EStreamError& e) {
        if (e.Failure() != TIoFailure::AccessDenied)
            throw;
        Table.OpenTable(Path, true);
    }
}

// Clear, Rewrite and Load write: such a table ends them with a caption that
// says why, before anything is asked or written.
bool OpenForWriting(TDBFLite& Table, const std::string& Path, TWindowPort& Port)
{
    try {
        Table.OpenTable(Path, false);
    } catch (const EStreamError& e) {
        if (e.Failure() != TIoFailure::AccessDenied)
            throw;
        Port.SetCaption(ReadOnlyTable);
        return false;
    }
    return true;
}

}  // namespace

TfmMain::TfmMain(TWindowPort& WindowPort, TFileSystem& FileSystem) : Port(WindowPort), Files(FileSystem)
{
    Open.Kind = TFileDialog::Open;
    Save.Kind = TFileDialog::Save;
    Save.Filter = TextFilter;
}

const char* TfmMain::InitialMemoText()
{
    return "1) Выберите DBF файл с повреждёнными MEMO полями\r\n"
           "2) Нажмите кнопку \"Инфо\"\r\n"
           "3) Выберите нужные поля\r\n"
           "4) Выберите нужную функцию\r\n"
           "\r\n"
           "Tarnwick: восстановление MEMO полей таблиц DBF с файлом FPT.\r\n"
           "Все операции меняют файлы на месте: сначала сделайте копию.\r\n"
           "Справка: кнопка \"Справка\" или F1 (файл Read_Me.txt).\r\n"
           "Для пакетной работы: tarnwick-cli --help";
}

void TfmMain::FormCreate()
{
    Port.SetCaption("Tarnwick");
    Port.SetMemoText(InitialMemoText());
}

void TfmMain::Run(void (TfmMain::*Handler)())
{
    try {
        (this->*Handler)();
    } catch (const EError& e) {
        Port.ShowError(ErrorDisplayText(e.Message()));
    } catch (const std::bad_alloc&) {
        Port.ShowError("Out of memory.");
    } catch (const std::exception& e) {
        Port.ShowError(ErrorDisplayText(e.what()));
    }
}

bool TfmMain::TableExists(std::string& Path)
{
    Path = Port.FileNameText();
    if (Files.FileExists(Path))
        return true;
    Port.SetCaption(TableNotFound);
    return false;
}

int32_t TfmMain::RecordsToVisit(TDBFLite& Table)
{
    // A damaged header may claim more records than the file holds, or a
    // count past 2^31: the run visits the records that exist, and any it
    // appends go right after them.
    Table.RecordCount = Table.RecordsInFile();
    return Table.RecordCount;
}

bool TfmMain::Confirm(const std::string& Text)
{
    return Port.AskOkCancel(Text, Attention, MbOkCancel) != IdCancel;
}

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
        if (field < 0 || (MemoOnly && Table.Fields[static_cast<size_t>(field)].FieldType != 'M')) {
            Port.SetMemoText(SelectionHint);
            Table.CloseTable();
            return false;
        }
        if (Selection.size() == static_cast<size_t>(MaxSelectedFields)) {
            Port.SetMemoText("Выбрано больше " + IntToStr(MaxSelectedFields) +
                             " полей.\r\nОставьте в списке не больше " + IntToStr(MaxSelectedFields) + " полей.");
            Table.CloseTable();
            return false;
        }
        Selection.push_back(field);
    }
    return true;
}

void TfmMain::btInfoClick()
{
    std::string path;
    if (!TableExists(path))
        return;
    TDBFLite table(Files);
    OpenForReading(table, path);
    std::string list;
    int count = 0;
    for (const TFieldDesc& field : table.Fields)
        if (field.FieldType == 'M') {
            list += "\r\n" + Port.TableToText(field.Name);
            ++count;
        }
    table.CloseTable();
    DeleteAt(list, 1, 2);
    Port.SetCaption(table.HasMemoFile ? "MEMO полей: " + IntToStr(count) : std::string(MemoFileNotFound));
    Port.SetMemoText(list);
}

bool TfmMain::StartMemoRun(TDBFLite& Table, std::vector<int>& Selection, bool NeedsMemoFile, const char* Verb)
{
    std::string path;
    if (!TableExists(path))
        return false;
    if (!OpenForWriting(Table, path, Port))
        return false;
    if (!SelectFields(Table, Selection, true))
        return false;
    if (!Table.LayoutTrusted) {
        Table.CloseTable();
        Port.SetCaption(Table.LayoutMismatchMessage());
        return false;
    }
    if (NeedsMemoFile && !Table.HasMemoFile) {
        Table.CloseTable();
        Port.SetCaption(MemoFileNotFound);
        return false;
    }
    // A block size of 0 leads every reference to the memo header, where no
    // text is: all would read as blank, and Clear would wipe the references
    // to texts that a repaired header would show again.
    if (NeedsMemoFile && Table.MemoBlockSize == 0) {
        Table.CloseTable();
        Port.SetCaption(ZeroBlockSize);
        return false;
    }
    if (!Confirm(std::string("Вы действительно хотите ") + Verb + " эти MEMO поля (" +
                 IntToStr(static_cast<int64_t>(Selection.size())) + " шт.)?\r" + NoBackups)) {
        Table.CloseTable();
        return false;
    }
    return true;
}

void TfmMain::btClearClick()
{
    // Without a memo file every reference reads as blank: Clear would wipe
    // them all while the user asked for the damaged ones only.
    TDBFLite table(Files);
    std::vector<int> selection;
    if (!StartMemoRun(table, selection, !Port.AllChecked(), "очистить"))
        return;
    TBusyCursor cursor(Port);
    cursor.Start();
    Port.SetCaption("Очистка...");
    const int32_t records = RecordsToVisit(table);
    // The check box cannot change during the run: no window messages are
    // handled until it ends.
    const bool clearAll = Port.AllChecked();
    for (int32_t r = 0; r < records; ++r) {
        if ((r + 1) % ClearStep == 0)
            ShowProgress(r + 1, records);
        for (int field : selection)
            if (clearAll || table.InspectMemo(r, field).ReadsBlank)
                table.WriteBlankMemoRef(r, field);
    }
    cursor.Restore();
    table.CloseTable();
    Port.SetCaption("MEMO поля очищены.");
}

void TfmMain::btAutoClick()
{
    // Without a memo file no text can be read, and every reference would be
    // blanked.
    TDBFLite table(Files);
    std::vector<int> selection;
    if (!StartMemoRun(table, selection, true, "перезаписать"))
        return;
    TBusyCursor cursor(Port);
    cursor.Start();
    Port.SetCaption("Перезапись...");
    const int32_t records = RecordsToVisit(table);
    std::string value;  // its room is used again, text after text
    for (int32_t r = 0; r < records; ++r) {
        if ((r + 1) % RewriteStep == 0)
            ShowProgress(r + 1, records);
        for (int field : selection) {
            // A text that cannot be read is stored as no text. A failing
            // disk is another matter: its error ends the run, and the
            // reference keeps pointing at the old, intact copy. A run of
            // another driver's value type is copied whole under its type.
            uint32_t type = MemoTypeText;
            try {
                if (!table.ReadMemoRun(r, field, value, type))
                    type = MemoTypeText;
            } catch (const EStreamError&) {
                throw;
            } catch (const EError&) {
                value.clear();
                type = MemoTypeText;
            }
            table.WriteMemo(r, field, value, type);
        }
    }
    cursor.Restore();
    table.CloseTable();
    Port.SetCaption("MEMO поля переписаны.");
}

void TfmMain::btSaveClick()
{
    std::string path;
    if (!TableExists(path))
        return;
    Save.FileName = ChangeFileExt(path, ".txt");
    if (!Port.RunFileDialog(Save))
        return;
    TDBFLite table(Files);
    OpenForReading(table, path);
    std::vector<int> selection;
    if (!SelectFields(table, selection, false))
        return;
    TBusyCursor cursor(Port);
    cursor.Start();
    TTextFileWriter out(Files, Save.FileName);

    std::string line;
    for (int field : selection)
        line += "\t" + table.Fields[static_cast<size_t>(field)].Name;
    DeleteAt(line, 1, 1);
    out.WriteLine(line);

    // Lines are built straight in the file's buffer, memo texts escaped as
    // the table layer hands them over, without a copy of a text or a line.
    const auto writeEscaped = [&out](const char* Data, size_t Length) {
        while (Length > 0) {
            const size_t part = std::min<size_t>(Length, TTextFileWriter::BufferSize / MaxEscapedSize);
            out.Commit(EscapeMemoValue(out.Room(part * MaxEscapedSize), Data, part));
            Data += part;
            Length -= part;
        }
    };
    const int32_t records = RecordsToVisit(table);
    for (int32_t r = 0; r < records; ++r) {
        if ((r + 1) % SaveStep == 0)
            ShowProgress(r + 1, records);
        // Values joined by tabs; the tab goes between them rather than
        // before each, so the line is never shifted to drop the first.
        for (size_t i = 0; i < selection.size(); ++i) {
            if (i > 0)
                out.Commit(std::copy_n("\t", 1, out.Room(1)));
            const int field = selection[i];
            if (table.Fields[static_cast<size_t>(field)].FieldType == 'M') {
                table.ReadMemoPieces(r, field, writeEscaped);
            } else {
                const std::string value = table.ReadValue(r, field);
                writeEscaped(value.data(), value.size());
            }
        }
        out.EndLine();
    }
    table.CloseTable();
    out.Close();
    Port.SetCaption("MEMO поля сохранены.");
    cursor.Restore();
}

void TfmMain::LoadValue(TDBFLite& Table, int32_t RecNo, int FieldNo, std::string_view Text,
                        const std::string& DatePattern)
{
    const TFieldDesc& field = Table.Fields[static_cast<size_t>(FieldNo)];
    switch (field.FieldType) {
    case 'M':
        Table.WriteMemo(RecNo, FieldNo, Text.data(), Text.size());
        return;
    case 'C':
        Table.WriteRaw(RecNo, FieldNo, std::string(Text.substr(0, field.Size)));
        return;
    case 'I':
    case 'B':
    case 'Y':
    case 'T':
        // Binary numbers and dates, from the text Save showed them as.
        Table.WriteValue(RecNo, FieldNo, std::string(Text));
        return;
    default:
        break;
    }
    const std::string value(Text);
    switch (field.FieldType) {
    case 'N': {
        // Whole numbers right-aligned; numbers with decimals, which Save
        // writes as the table shows them, go back as they were rather than
        // as 0; an empty value leaves the field blank.
        const int32_t number = StrToIntDef(value, 0);
        if (number != 0 || StrToIntDef(value, 1) == 0) {
            Table.WriteInteger(RecNo, FieldNo, number);
            return;
        }
        const std::string trimmed = Trim(value);
        if (trimmed.empty())
            Table.WriteRaw(RecNo, FieldNo, "");
        else if (IsDecimalNumber(trimmed) && trimmed.size() <= field.Size)
            Table.WriteRaw(RecNo, FieldNo, std::string(field.Size - trimmed.size(), ' ') + trimmed);
        else
            Table.WriteInteger(RecNo, FieldNo, 0);
        return;
    }
    case 'D': {
        // Save writes dates as they are shown; they go back as the stored
        // year, month and day. The dates that stand for a blank (1 January
        // 1001) or unreadable (30 December 1899) field go back blank.
        TDate date;
        if (ParseDate(Trim(value), DatePattern, date)) {
            if (date == TDate{1001, 1, 1} || date.IsZero()) {
                Table.WriteRaw(RecNo, FieldNo, "");
            } else {
                char digits[16];
                std::snprintf(digits, sizeof digits, "%04d%02d%02d", date.Year, date.Month, date.Day);
                Table.WriteRaw(RecNo, FieldNo, digits);
            }
            return;
        }
        Table.WriteRaw(RecNo, FieldNo, value);
        return;
    }
    default:
        Table.WriteRaw(RecNo, FieldNo, value);
        return;
    }
}

void TfmMain::btLoadClick()
{
    std::string path;
    if (!TableExists(path))
        return;
    Open.Filter = TextFilter;
    if (!Port.RunFileDialog(Open))
        return;
    TDBFLite table(Files);
    if (!OpenForWriting(table, path, Port))
        return;
    if (!Confirm(std::string("Вы действительно хотите загрузить MEMO поля из текстового файла?\r") +
                 "Названия полей указаны в первой строке файла.\r" + NoBackups)) {
        table.CloseTable();
        return;
    }
    TBusyCursor cursor(Port);
    cursor.Start();
    TTextFileReader in(Files, Open.FileName);

    // The whole file is checked before anything is written: a name that is
    // no field, or a line with more values than names, would otherwise stop
    // the run halfway through the table.
    const std::vector<std::string> names = SplitAt(in.ReadLine(), "\t");
    if (names.size() > static_cast<size_t>(MaxSelectedFields)) {
        Port.SetMemoText("В первой строке файла больше " + IntToStr(MaxSelectedFields) + " названий полей.");
        return;
    }
    std::vector<int> columns;
    bool missing = false;
    bool memoColumns = false;
    for (const std::string& name : names) {
        const int field = table.FieldIndex(name);
        columns.push_back(field);
        if (field < 0) {
            Port.SetMemoText("Поле не найдено \"" + Port.TableToText(name) + "\"");
            missing = true;
        } else if (table.Fields[static_cast<size_t>(field)].FieldType == 'M') {
            memoColumns = true;
        }
    }
    if (missing)
        return;
    if (memoColumns && !table.HasMemoFile) {
        Port.SetCaption(MemoFileNotFound);
        return;
    }
    // Every value a line would write is checked as the write would check
    // it, and the memo texts are laid out block by block as they will be
    // stored: a run that would fail halfway leaves the files as they were.
    const uint64_t firstRecordLine = in.Position();
    int64_t lines = 0;
    std::vector<bool> reached(columns.size(), false);
    uint64_t block = table.HasMemoFile ? table.NextRunBlock() : 0;
    std::string scratch;
    while (!in.Eof()) {
        const std::string_view line = in.ReadLineView();
        ++lines;
        if (IsBlank(line))
            continue;
        if (HasMoreTabsThan(line, columns.size() - 1)) {
            Port.SetMemoText("Строка " + IntToStr(lines + 1) +
                             " файла: значений больше, чем названий полей в первой строке.");
            return;
        }
        if (!table.LayoutTrusted) {
            Port.SetMemoText(table.LayoutMismatchMessage());
            return;
        }
        // The checks read nothing: what they raise is a refusal, shown as
        // the file's other faults are.
        try {
            size_t start = 0;
            for (size_t c = 0; start <= line.size() && c < columns.size(); ++c) {
                const char* stop = static_cast<const char*>(
                    std::memchr(line.data() + start, '\t', line.size() - start));
                const size_t end = stop ? static_cast<size_t>(stop - line.data()) : line.size();
                std::string_view text = line.substr(start, end - start);
                start = end + 1;
                const int field = columns[c];
                const char type = table.Fields[static_cast<size_t>(field)].FieldType;
                if (type == 'C' || type == 'N' || type == 'D' || type == 'L') {
                    if (!reached[c])
                        table.CheckValue(field, text.data(), text.size());
                    reached[c] = true;
                    continue;
                }
                if (text.find('#') != std::string_view::npos) {
                    scratch.clear();
                    AppendUnescapedMemoValue(scratch, text.data(), text.size());
                    text = scratch;
                }
                if (type != 'M')
                    table.CheckValue(field, text.data(), text.size());
                else if (!reached[c])
                    table.CheckValue(field, "", 0);
                reached[c] = true;
                // A blank memo value blanks the reference and needs no block.
                if (type == 'M' && !IsBlank(text))
                    block = table.PlanMemoRun(field, block, text.size());
            }
        } catch (const EError& e) {
            Port.SetMemoText(e.Message());
            return;
        }
    }
    in.Seek(firstRecordLine);

    RecordsToVisit(table);
    const std::string datePattern = ShortDatePattern();
    int32_t r = 0;
    std::string value;
    while (!in.Eof()) {
        if (r % LoadStep == 0)
            Port.SetProgress(IntToStr(r + 1), r, lines);
        const std::string_view line = in.ReadLineView();
        if (!IsBlank(line)) {
            size_t start = 0;
            // (The check above saw no line with more values than columns;
            // the bound holds should the file change between the passes.)
            for (size_t c = 0; start <= line.size() && c < columns.size(); ++c) {
                // Save escaped line breaks, tabs and "#"; they go back as
                // they were. A value without "#" needs no copy.
                const char* const from = line.data() + start;
                const char* const lineEnd = line.data() + line.size();
                const char* stop = FindEither(from, lineEnd, '\t', '#');
                bool escaped = false;
                if (stop != lineEnd && *stop == '#') {
                    escaped = true;
                    stop = static_cast<const char*>(std::memchr(stop, '\t', static_cast<size_t>(lineEnd - stop)));
                    if (!stop)
                        stop = lineEnd;
                }
                std::string_view text(from, static_cast<size_t>(stop - from));
                if (escaped) {
                    value.clear();
                    AppendUnescapedMemoValue(value, text.data(), text.size());
                    text = value;
                }
                LoadValue(table, r, columns[c], text, datePattern);
                start = static_cast<size_t>(stop - line.data()) + 1;
            }
        }
        ++r;
    }
    table.CloseTable();
    in.Close();
    Port.SetCaption("MEMO поля загружены.");
    cursor.Restore();
}

void TfmMain::btHelpClick()
{
    if (!Files.FileExists(HelpFileName)) {
        Port.SetMemoText("Файл \"Read_Me.txt\" не найден.");
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
}

void TfmMain::btExitClick()
{
    Port.Close();
}

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
