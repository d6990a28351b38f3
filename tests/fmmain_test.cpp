// The window's handlers over the fake port: what the user sees (captions,
// boxes, memo box, cursor, dialogs) in order, and the bytes of the table, the
// memo file and the text files afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "datetext.h"
#include "fakeport.h"
#include "fixtures.h"
#include "fmmain.h"

namespace {

using Lines = std::vector<std::string>;

const std::string Hint = "1) Нажмите кнопку \"Инфо\"\r\n2) Выберите нужные MEMO поля.";
const std::string Warning = "Восстановление будет невозможно! Программа не сохраняет резервных копий!";
const std::string TextFilter = "Текстовые файлы (*.txt)|*.txt|Все файлы (*.*)|*.*";
const std::string NoTable = "caption:DBF файл не найден.";
const std::string NoMemoFile = "caption:MEMO файл не найден.";
const std::string Ten(10, ' ');
const std::string Zero4(4, '\0');

std::string ClearQuestion(int Count)
{
    return "message:Внимание!|1|Вы действительно хотите очистить эти MEMO поля (" + std::to_string(Count) + " шт.)?\r" +
           Warning;
}

std::string RewriteQuestion(int Count)
{
    return "message:Внимание!|1|Вы действительно хотите перезаписать эти MEMO поля (" + std::to_string(Count) +
           " шт.)?\r" + Warning;
}

const std::string LoadQuestion =
    "message:Внимание!|1|Вы действительно хотите загрузить MEMO поля из текстового "
    "файла?\rНазвания полей указаны в первой строке файла.\r" +
    Warning;

std::string Join(const Lines& Parts, const std::string& Separator)
{
    std::string out;
    for (size_t i = 0; i < Parts.size(); ++i)
        out += (i ? Separator : "") + Parts[i];
    return out;
}

// A date as Save shows it and Load reads it.
std::string Shown(int Year, int Month, int Day) { return FormatDate(TDate{Year, Month, Day}, ShortDatePattern()); }

size_t RecordAt(const TTableSpec& Spec, int RecNo)
{
    return HeaderSizeOf(Spec) + static_cast<size_t>(RecordSizeOf(Spec)) * static_cast<size_t>(RecNo);
}

// Field FieldNo of record RecNo, as the table file holds it.
std::string FieldAt(const TTableSpec& Spec, const std::string& Table, int RecNo, int FieldNo)
{
    size_t offset = 1;
    for (int i = 0; i < FieldNo; ++i)
        offset += Spec.Fields[static_cast<size_t>(i)].Size;
    return Table.substr(RecordAt(Spec, RecNo) + offset, Spec.Fields[static_cast<size_t>(FieldNo)].Size);
}

// The text of the run at Block, by the length in its block header.
std::string RunText(const std::string& Memo, uint32_t Block, uint16_t BlockSize = 64)
{
    const size_t at = static_cast<size_t>(Block) * BlockSize;
    return Memo.substr(at + 8, ReadBe32(Memo, at + 4));
}

std::string RunText(const std::string& Memo, const std::string& TextRef)
{
    return RunText(Memo, static_cast<uint32_t>(std::stoul(TextRef)));
}

class Handlers : public ::testing::Test {
protected:
    TMemTable t;
    TFakePort port;
    TfmMain form{port, t.Files};
    TTableSpec spec;
    TMemoBuilder memo{64};

    void SetUp() override { port.FileName = t.TablePath; }
    void Put() { t.Put(spec, memo); }
    // The table alone, its memo file gone; the port's log starts afresh.
    void PutWithoutMemoFile()
    {
        t.Files.Remove(t.MemoPath);
        t.Put(spec);
        port.Log.clear();
    }
    void Click(void (TfmMain::*Handler)()) { form.Run(Handler); }
    std::string Field(int RecNo, int FieldNo) const { return FieldAt(spec, t.Table(), RecNo, FieldNo); }
    std::vector<std::string> Cursors() const { return port.Entries("cursor:"); }

    // Nobody holds the file any more: an exclusive open succeeds.
    void ExpectReleased(const std::string& Path)
    {
        EXPECT_NO_THROW(t.Files.Open(Path, TFileAccess::Read, TFileShare::Exclusive)) << Path;
    }
    void ExpectReleased()
    {
        ExpectReleased(t.TablePath);
        if (t.Files.Has(t.MemoPath))
            ExpectReleased(t.MemoPath);
    }
};

// --- Info and the field selection -------------------------------------------

TEST_F(Handlers, InfoListsTheMemoFieldsAndCountsThem)
{
    spec.Fields = {{"ID", 'N', 5},     {"NOTES", 'M', 10},  {"name", 'C', 10},
                   {"lower", 'm', 10}, {"Remark", 'M', 10}, {"BIN", 'M', 4}};
    spec.Records = {{"1"}};
    Put();
    port.Memo = "old text";
    Click(&TfmMain::btInfoClick);
    EXPECT_EQ(port.Log, (Lines{"caption:MEMO полей: 3", "memo:NOTES\r\nRemark\r\nBIN"}));
    ExpectReleased();

    // Without a memo file the names are listed all the same.
    port.Log.clear();
    t.Files.SetFile("/data/NOMEMO.DBF", BuildTable(spec));
    port.FileName = "/data/NOMEMO.DBF";
    Click(&TfmMain::btInfoClick);
    EXPECT_EQ(port.Log, (Lines{NoMemoFile, "memo:NOTES\r\nRemark\r\nBIN"}));

    port.Log.clear();
    spec.Fields = {{"ID", 'N', 5}};
    t.Put(spec, memo);
    port.FileName = t.TablePath;
    Click(&TfmMain::btInfoClick);
    EXPECT_EQ(port.Log, (Lines{"caption:MEMO полей: 0", "memo:"}));
}

TEST_F(Handlers, InfoFailuresKeepCaptionAndMemoBox)
{
    spec.Fields = {{"NOTES", 'M', 10}};
    Put();
    port.Memo = "kept";
    for (const std::string name : {"", "/data", "/data/OTHER.DBF"}) {
        port.Log.clear();
        port.FileName = name;
        Click(&TfmMain::btInfoClick);
        EXPECT_EQ(port.Log, Lines{NoTable}) << name;
    }

    // A memo file held by another run: the open error is shown, and the
    // table file opened before it is let go.
    port.Log.clear();
    port.Caption = "before";
    port.FileName = t.TablePath;
    {
        auto holder = t.Files.Open(t.MemoPath, TFileAccess::ReadWrite, TFileShare::Exclusive);
        Click(&TfmMain::btInfoClick);
        ExpectReleased(t.TablePath);
    }
    EXPECT_EQ(port.Log, Lines{"error:Cannot open file /data/T.FPT."});
    EXPECT_EQ(port.Caption, "before");
    EXPECT_EQ(port.Memo, "kept");
}

TEST_F(Handlers, SelectionTakesExactNamesInMemoBoxOrder)
{
    spec.Fields = {{"NAME", 'C', 10}, {"NOTES", 'M', 10}, {"MORE", 'M', 10}};
    Put();
    TDBFLite table(t.Files);
    std::vector<int> selection;

    table.OpenTable(t.TablePath, false);
    port.Memo = "MORE\r\n\r\nNOTES\r\nMORE\r\n";
    EXPECT_TRUE(form.SelectFields(table, selection, true));
    EXPECT_EQ(selection, (std::vector<int>{2, 1, 2}));
    port.Memo = "\r\n\r\n";
    EXPECT_TRUE(form.SelectFields(table, selection, true));
    EXPECT_TRUE(selection.empty());
    port.Memo = "NAME\r\nNOTES";
    EXPECT_TRUE(form.SelectFields(table, selection, false));  // Save takes any field
    EXPECT_EQ(selection, (std::vector<int>{0, 1}));
    EXPECT_TRUE(table.IsOpen());
    port.Memo = Join(Lines(100, "NOTES"), "\r\n");
    EXPECT_TRUE(form.SelectFields(table, selection, true));
    EXPECT_EQ(selection.size(), 100u);

    for (const std::string memoBox : {"NOTES\r\nnotes", "NOTES ", "   ", "MORE\r\nNAME"}) {
        table.OpenTable(t.TablePath, false);
        port.Memo = memoBox;
        EXPECT_FALSE(form.SelectFields(table, selection, true)) << memoBox;
        EXPECT_EQ(port.Memo, Hint);
        EXPECT_FALSE(table.IsOpen());
    }
    ExpectReleased();

    table.OpenTable(t.TablePath, false);
    port.Memo = Join(Lines(101, "NOTES"), "\r\n");
    EXPECT_FALSE(form.SelectFields(table, selection, true));
    EXPECT_EQ(port.Memo, "Выбрано больше 100 полей.\r\nОставьте в списке не больше 100 полей.");
    ExpectReleased();
}

// --- Clear ------------------------------------------------------------------

TEST_F(Handlers, ClearWithoutAllBlanksTheReferencesThatReadBlank)
{
    spec.Fields = {{"ID", 'C', 4}, {"NOTES", 'M', 10}, {"MORE", 'M', 10}, {"BIN", 'M', 4}};
    const uint32_t real = memo.Add("Real text");
    const uint32_t blank = memo.Add("   \t\r\n ");
    const uint32_t cyrillic = memo.Add("Привет");
    const uint32_t empty = memo.Add("");
    const uint32_t bin = memo.Add("bin text");
    const uint32_t binBlank = memo.Add(" ");
    const uint32_t cut = memo.AddWithLength("\r\n  ", 5000);  // runs past the end, blank
    spec.Records = {{"rec0", MemoRef(real), MemoRef(blank), BinaryMemoRef(bin)},
                    {"rec1", "", MemoRef(cyrillic), BinaryMemoRef(binBlank)},
                    {"rec2", "abc", MemoRef(9999), BinaryMemoRef(0)},
                    {"rec3", MemoRef(cut), MemoRef(empty), "    "}};
    Put();
    const std::string memoBefore = t.Memo();
    port.Memo = "NOTES\r\nMORE\r\nBIN";
    Click(&TfmMain::btClearClick);

    EXPECT_EQ(port.Log,
              (Lines{ClearQuestion(3), "cursor:-11", "caption:Очистка...", "cursor:0", "caption:MEMO поля очищены."}));
    EXPECT_EQ(Field(0, 1), MemoRef(real));
    EXPECT_EQ(Field(0, 2), Ten);
    EXPECT_EQ(Field(0, 3), BinaryMemoRef(bin));
    EXPECT_EQ(Field(1, 1), Ten);
    EXPECT_EQ(Field(1, 2), MemoRef(cyrillic));  // bytes above 127 are text
    EXPECT_EQ(Field(1, 3), Zero4);
    EXPECT_EQ(Field(2, 1), Ten);  // not a number
    EXPECT_EQ(Field(2, 2), Ten);  // past the end of the memo file
    EXPECT_EQ(Field(2, 3), Zero4);
    EXPECT_EQ(Field(3, 1), Ten);
    EXPECT_EQ(Field(3, 2), Ten);
    EXPECT_EQ(Field(3, 3), Zero4);  // spaces as a binary number point past the end
    for (int r = 0; r < 4; ++r)
        EXPECT_EQ(Field(r, 0), "rec" + std::to_string(r));
    EXPECT_EQ(t.Memo(), memoBefore);
    ExpectReleased();
}

TEST_F(Handlers, ClearAllBlanksEverySelectedReferenceAndCountsRecordsInTheFile)
{
    spec.Fields = {{"ID", 'C', 4}, {"NOTES", 'M', 10}, {"KEEP", 'M', 10}, {"BIN", 'M', 4}};
    const uint32_t text = memo.Add("some text");
    for (int r = 0; r < 250; ++r)
        spec.Records.push_back({"id", MemoRef(text), MemoRef(text), BinaryMemoRef(text)});
    spec.RecordCountOverride = 300;  // more than the file holds
    Put();
    const std::string before = t.Table();
    port.All = true;
    port.Memo = "NOTES\r\nBIN";
    Click(&TfmMain::btClearClick);

    EXPECT_EQ(port.Log,
              (Lines{ClearQuestion(2), "cursor:-11", "caption:Очистка...", "caption:100/250", "progress:100/250",
                     "caption:200/250", "progress:200/250", "cursor:0", "caption:MEMO поля очищены."}));
    for (int r = 0; r < 250; ++r) {
        ASSERT_EQ(Field(r, 1), Ten) << r;
        ASSERT_EQ(Field(r, 2), MemoRef(text)) << r;
        ASSERT_EQ(Field(r, 3), Zero4) << r;
    }
    EXPECT_EQ(t.Table().size(), before.size());
    EXPECT_EQ(ReadLe32(t.Table(), 4), 300u);  // the header keeps its claim
    ExpectReleased();

    // All needs no memo file; without All a table lacking one is refused.
    spec.RecordCountOverride = -1;
    spec.Records.resize(3);
    PutWithoutMemoFile();
    port.Memo = "NOTES";
    port.All = false;
    Click(&TfmMain::btClearClick);
    EXPECT_EQ(port.Log, Lines{NoMemoFile});
    EXPECT_EQ(t.Table(), BuildTable(spec));
    port.Log.clear();
    port.All = true;
    Click(&TfmMain::btClearClick);
    EXPECT_EQ(port.Captions().back(), "MEMO поля очищены.");
    EXPECT_EQ(Field(2, 1), Ten);
    EXPECT_EQ(Field(2, 2), MemoRef(text));
}

TEST_F(Handlers, ClearRefusalsWriteNothing)
{
    spec.Fields = {{"ID", 'C', 4}, {"NOTES", 'M', 10}};
    spec.Records = {{"a", MemoRef(memo.Add("  "))}};
    Put();
    const std::string table = t.Table();
    struct TCase {
        std::string FileName, Memo;
        std::optional<int> Answer;
        Lines Log;
    };
    const std::string tooMany = "Выбрано больше 100 полей.\r\nОставьте в списке не больше 100 полей.";
    const TCase cases[] = {
        {"/data/none.dbf", "NOTES", std::nullopt, {NoTable}},
        {t.TablePath, "NOTES\r\nNotes", std::nullopt, {"memo:" + Hint}},
        {t.TablePath, "ID", std::nullopt, {"memo:" + Hint}},  // not a memo field
        {t.TablePath, "NOTES\r\nNOTES", IdCancel, {ClearQuestion(2)}},
        {t.TablePath, Join(Lines(101, "NOTES"), "\r\n"), std::nullopt, {"memo:" + tooMany}},
    };
    for (const TCase& c : cases) {
        port.Log.clear();
        port.FileName = c.FileName;
        port.Memo = c.Memo;
        if (c.Answer)
            port.MessageAnswers.push_back(*c.Answer);
        Click(&TfmMain::btClearClick);
        EXPECT_EQ(port.Log, c.Log) << c.Memo;
        EXPECT_EQ(t.Table(), table);
        ExpectReleased();
    }
}

TEST_F(Handlers, ClearStoppedByAWriteErrorReleasesTheTableAndTheCursor)
{
    spec.Fields = {{"NOTES", 'M', 10}};
    const uint32_t text = memo.Add("x");
    spec.Records = {{MemoRef(text)}, {MemoRef(text)}, {MemoRef(text)}};
    Put();
    const std::string before = t.Table();
    TFaultFileSystem faulty(t.Files);
    faulty.FailOnlyWrites = true;
    faulty.FailAt = 1;
    TfmMain failing(port, faulty);
    port.All = true;
    port.Memo = "NOTES";
    failing.Run(&TfmMain::btClearClick);

    EXPECT_TRUE(faulty.Failed);
    EXPECT_EQ(port.Log,
              (Lines{ClearQuestion(1), "cursor:-11", "caption:Очистка...", "cursor:0", "error:Stream write error."}));
    EXPECT_EQ(t.Table(), before);
    ExpectReleased();

    // The same table works at once afterwards.
    Click(&TfmMain::btClearClick);
    EXPECT_EQ(port.Caption, "MEMO поля очищены.");
    EXPECT_EQ(Field(2, 0), Ten);
}

// --- Rewrite ----------------------------------------------------------------

TEST_F(Handlers, RewriteCopiesEveryRunByteForByteAndBlanksReferencesToNoRun)
{
    // Text references and Visual FoxPro's binary ones; texts ending in line
    // breaks and blanks, binary values with zeros and control bytes inside
    // and at their end, a run of zeros only, a run the file's end cuts short.
    spec.Fields = {{"ID", 'C', 4}, {"NOTES", 'M', 10}, {"BIN", 'M', 4}};
    const std::string controls("\x04\x00", 2);
    const std::string zeros(1078, '\0');
    const std::string mixed("A\0\x01\x1F B\r\n\0\0", 10);
    const uint32_t first = memo.Add("First text\r\nline two  \r\n");
    const uint32_t bin = memo.Add(mixed, 0);
    const uint32_t blank = memo.Add("  \t\r\n");
    const uint32_t cyrillic = memo.Add("Привет");
    const uint32_t control = memo.Add(controls, 0);
    const uint32_t zero = memo.Add(zeros, 0);
    const uint32_t freed = memo.Add("freed", 1000);
    const uint32_t cut = memo.AddWithLength("cut short", 1000);
    spec.Records = {{"r0", MemoRef(first), BinaryMemoRef(bin)},
                    {"r1", MemoRef(blank), BinaryMemoRef(0)},
                    {"r2", MemoRef(9999), BinaryMemoRef(cyrillic)},
                    {"r3", MemoRef(control), BinaryMemoRef(zero)},
                    {"r4", MemoRef(freed), BinaryMemoRef(cut)}};
    Put();
    const std::string memoBefore = t.Memo();
    const uint32_t next = static_cast<uint32_t>(memoBefore.size() / 64);
    port.All = true;  // plays no part
    port.Memo = "NOTES\r\nBIN\r\nNOTES";
    Click(&TfmMain::btAutoClick);

    EXPECT_EQ(port.Log, (Lines{RewriteQuestion(3), "cursor:-11", "caption:Перезапись...", "cursor:0",
                               "caption:MEMO поля переписаны."}));
    const std::string m = t.Memo();
    // Record by record, field by field, from the end of the file on; a
    // field named twice is written twice and keeps the second copy.
    const struct {
        int Record, Field;
        uint32_t Block, Type;
        std::string Bytes;
    } copies[] = {{0, 2, next + 1, 0, mixed},       {0, 1, next + 2, 1, "First text\r\nline two  \r\n"},
                  {1, 1, next + 4, 1, "  \t\r\n"},  {2, 2, next + 5, 1, "Привет"},
                  {3, 2, next + 7, 0, zeros},       {3, 1, next + 24, 0, controls},
                  {4, 2, next + 25, 1, "cut short"}};
    for (const auto& c : copies) {
        SCOPED_TRACE(c.Record);
        EXPECT_EQ(c.Field == 1 ? Field(c.Record, 1) : Field(c.Record, 2),
                  c.Field == 1 ? MemoRef(c.Block) : BinaryMemoRef(c.Block));
        EXPECT_EQ(ReadBe32(m, c.Block * 64u), c.Type);
        EXPECT_EQ(RunText(m, c.Block).substr(0, c.Bytes.size()), c.Bytes);
    }
    EXPECT_EQ(Field(1, 2), Zero4);  // no reference stays none
    EXPECT_EQ(Field(2, 1), Ten);    // past the end: no run to copy
    EXPECT_EQ(Field(4, 1), Ten);    // a freed block: no run start
    // The cut run is copied as far as the file held it, its length set to that.
    const uint32_t cutCopy = next + 25;
    EXPECT_EQ(ReadBe32(m, cutCopy * 64u + 4), memoBefore.size() - cut * 64u - 8);
    // Old runs stay; the one the file's end cut short was given the length
    // the file holds first, so the copies after it never read as its tail.
    std::string sealed = memoBefore;
    sealed.replace(cut * 64u + 4, 4, m, cutCopy * 64u + 4, 4);
    EXPECT_EQ(m.substr(8, memoBefore.size() - 8), sealed.substr(8));
    EXPECT_EQ(ReadBe32(m, 0) * 64u, m.size());
    EXPECT_EQ(Field(2, 0), "r2  ");
    ExpectReleased();
}

TEST_F(Handlers, RewriteProgressAndRefusals)
{
    spec.Fields = {{"NAME", 'C', 4}, {"NOTES", 'M', 10}};
    for (int r = 0; r < 57; ++r)
        spec.Records.push_back({"n", ""});
    spec.RecordCountOverride = 80;
    Put();
    const std::string table = t.Table();
    port.Memo = "NOTES";
    Click(&TfmMain::btAutoClick);
    EXPECT_EQ(port.Captions(),
              (Lines{"Перезапись...", "10/57", "20/57", "30/57", "40/57", "50/57", "MEMO поля переписаны."}));
    EXPECT_EQ(t.Table(), table);  // blank stays blank, no record invented
    EXPECT_EQ(Cursors(), (Lines{"-11", "0"}));

    const Lines refusals[] = {{"NAME"}, {"NOTES", "X"}};
    for (const Lines& box : refusals) {
        port.Log.clear();
        port.Memo = Join(box, "\r\n");
        Click(&TfmMain::btAutoClick);
        EXPECT_EQ(port.Log, Lines{"memo:" + Hint});
    }
    port.Log.clear();
    port.Memo = "NOTES";
    port.MessageAnswers = {IdCancel};
    Click(&TfmMain::btAutoClick);
    EXPECT_EQ(port.Log, Lines{RewriteQuestion(1)});
    EXPECT_EQ(t.Table(), table);
    ExpectReleased();

    PutWithoutMemoFile();
    port.Memo = "NOTES";
    Click(&TfmMain::btAutoClick);
    EXPECT_EQ(port.Log, Lines{NoMemoFile});
}

// Runs Rewrite over Spec and Memo once for every read and write it makes,
// failing that one; returns how many runs failed. Whatever fails, the run
// stops with the error and no field loses its text: each one points at its
// old run or at a complete copy of it.
int RewriteFailingEachStep(const TTableSpec& Spec, const TMemoBuilder& Memo, const Lines& Texts, bool OnlyWrites)
{
    int failures = 0;
    for (long failAt = 1; failAt < 200; ++failAt) {
        TMemTable u;
        u.Put(Spec, Memo);
        TFaultFileSystem faulty(u.Files);
        faulty.FailOnlyWrites = OnlyWrites;
        faulty.FailAt = failAt;
        TFakePort p = PortOn(u.TablePath, "NOTES");
        TfmMain(p, faulty).Run(&TfmMain::btAutoClick);
        for (int r = 0; r < 3; ++r)
            EXPECT_EQ(RunText(u.Memo(), FieldAt(Spec, u.Table(), r, 0)), Texts[static_cast<size_t>(r)])
                << "failure at " << failAt;
        if (!faulty.Failed) {
            EXPECT_EQ(p.Caption, "MEMO поля переписаны.");
            return failures;
        }
        ++failures;
        EXPECT_EQ(p.Errors().size(), 1u) << failAt;
        EXPECT_EQ(p.Cursor, TCursor::Default);
        EXPECT_NO_THROW(u.Files.Open(u.MemoPath, TFileAccess::Read, TFileShare::Exclusive));
    }
    ADD_FAILURE() << "the run never finished";
    return failures;
}

TEST_F(Handlers, RewriteNeverTradesAReadableTextForAnIoError)
{
    spec.Fields = {{"NOTES", 'M', 10}};
    const Lines texts = {"alpha", "beta", "gamma"};
    for (const std::string& text : texts)
        spec.Records.push_back({MemoRef(memo.Add(text))});
    EXPECT_GT(RewriteFailingEachStep(spec, memo, texts, false), 0);
    EXPECT_GT(RewriteFailingEachStep(spec, memo, texts, true), 0);

    // The last text cut short by the file's end: the copies appended before
    // its own must never read as its tail, wherever the run stops.
    TMemoBuilder cutMemo;
    TTableSpec cut = TableOf({{"NOTES", 'M', 10}});
    for (const char* text : {"alpha", "beta"})
        cut.Records.push_back({MemoRef(cutMemo.Add(text))});
    cut.Records.push_back({MemoRef(cutMemo.AddWithLength("gamma", 1000))});
    const std::string held = cutMemo.Bytes().substr(cutMemo.Bytes().size() - 56);
    EXPECT_GT(RewriteFailingEachStep(cut, cutMemo, {"alpha", "beta", held}, true), 0);
}

// --- Check, Salvage, Pack and stopping ---------------------------------------

TEST_F(Handlers, CheckSalvageAndPackFromTheWindow)
{
    spec.Fields = {{"ID", 'C', 4}, {"NOTES", 'M', 10}};
    const uint32_t lost = memo.Add("a lost text");
    const uint32_t shared = memo.Add("shared text");
    spec.Records = {{"r0", MemoRef(shared)}, {"r1", MemoRef(shared)}, {"r2", MemoRef(9999)}};
    Put();
    const std::string table = t.Table(), memoFile = t.Memo();

    // Check: the diagnosis in the memo box, the verdict in the caption;
    // nothing written.
    Click(&TfmMain::btCheckClick);
    EXPECT_EQ(port.Caption, "найдены повреждения");
    EXPECT_NE(port.Memo.find("таблица: " + t.TablePath + "\r\n"), std::string::npos) << port.Memo;
    EXPECT_NE(port.Memo.find("rewrite"), std::string::npos) << port.Memo;
    EXPECT_EQ(t.Table(), table);
    ExpectReleased();

    // Salvage: the lost text through the save dialog; cancelled, nothing.
    port.DialogAnswers = {std::nullopt};
    Click(&TfmMain::btSalvageClick);
    EXPECT_FALSE(t.Files.Has("/data/LOST.txt"));
    port.DialogAnswers = {"/data/LOST.txt"};
    Click(&TfmMain::btSalvageClick);
    EXPECT_EQ(t.Files.File("/data/LOST.txt"), "BLOCK\tTEXT\r\n" + std::to_string(lost) + "\ta lost text\r\n");
    EXPECT_EQ(port.Caption.rfind("Потерянных текстов: 1", 0), 0u) << port.Caption;

    // Pack: Cancel changes nothing; OK with the backup box ticked copies
    // both files first, gives each reference its own text and leaves a
    // table Check finds no damage in.
    port.MessageAnswers = {IdCancel};
    Click(&TfmMain::btPackClick);
    EXPECT_EQ(t.Memo(), memoFile);
    port.Backup = true;
    Click(&TfmMain::btPackClick);
    EXPECT_EQ(t.Files.File(t.TablePath + ".bak"), table);
    EXPECT_EQ(t.Files.File(t.MemoPath + ".bak"), memoFile);
    EXPECT_NE(std::find(port.Captions().begin(), port.Captions().end(),
                        "Резервная копия: " + t.TablePath + ".bak, " + t.MemoPath + ".bak"),
              port.Captions().end());
    EXPECT_EQ(port.Caption.rfind("MEMO файл ", 0), 0u) << port.Caption;
    EXPECT_NE(Field(0, 1), Field(1, 1));
    EXPECT_EQ(Field(2, 1), Ten);
    Click(&TfmMain::btCheckClick);
    EXPECT_EQ(port.Caption, "таблица исправна");
    ExpectReleased();
}

TEST_F(Handlers, RelinkFromTheWindowListsItsProposalsAndAsksFirst)
{
    spec.Fields = {{"ID", 'C', 4}, {"NOTES", 'M', 10}};
    std::vector<uint32_t> blocks;
    for (int r = 0; r < 4; ++r) {
        blocks.push_back(memo.Add("text " + std::to_string(r)));
        spec.Records.push_back({"r" + std::to_string(r), MemoRef(blocks.back())});
    }
    spec.Records[1][1][9] = '#';  // one garbled digit
    Put();
    const std::string table = t.Table();
    port.MessageAnswers = {IdCancel};
    Click(&TfmMain::btRelinkClick);
    EXPECT_NE(port.Memo.find("NOTES"), std::string::npos) << port.Memo;
    EXPECT_NE(port.Memo.find("text 1"), std::string::npos) << port.Memo;
    EXPECT_EQ(port.Messages().size(), 1u);
    EXPECT_EQ(t.Table(), table);

    port.Backup = true;
    Click(&TfmMain::btRelinkClick);
    EXPECT_EQ(port.Caption, "Ссылок связано заново: 1.");
    EXPECT_EQ(Field(1, 1), MemoRef(blocks[1]));
    EXPECT_EQ(t.Files.File(t.TablePath + ".bak"), table);
    Click(&TfmMain::btRelinkClick);
    EXPECT_EQ(port.Caption.rfind("Связывать нечего", 0), 0u) << port.Caption;
    ExpectReleased();
}

TEST_F(Handlers, EveryRunStoppedBetweenRecordsLeavesEveryReferenceWhole)
{
    spec.Fields = {{"ID", 'C', 4}, {"NOTES", 'M', 10}};
    Lines texts;
    std::string load = "NOTES\r\n";
    for (int r = 0; r < 40; ++r) {
        memo.Add("old copy " + std::to_string(r));
        texts.push_back("text " + std::to_string(r));
        spec.Records.push_back({"r" + std::to_string(r), MemoRef(memo.Add(texts.back()))});
        load += "loaded " + std::to_string(r) + "\r\n";
    }
    Put();
    t.Files.SetFile("/data/IN.txt", load);
    const std::string table = t.Table(), memoFile = t.Memo();
    const struct {
        const char* Name;
        void (TfmMain::*Click)();
        bool Blanks, Loads;
    } runs[] = {{"clear", &TfmMain::btClearClick, true, false},
                {"rewrite", &TfmMain::btAutoClick, false, false},
                {"load", &TfmMain::btLoadClick, false, true},
                {"pack", &TfmMain::btPackClick, false, false}};
    // Every record boundary (pack: every reference of its first step).
    for (const auto& run : runs)
        for (long after = 1; after <= 40; ++after) {
            SCOPED_TRACE(std::string(run.Name) + ", stopped at question " + std::to_string(after));
            t.Files.SetFile(t.TablePath, table);
            t.Files.SetFile(t.MemoPath, memoFile);
            port.All = true;
            port.Memo = "NOTES";
            port.DialogAnswers = {"/data/IN.txt"};
            port.StopAfter = after;
            port.StopQuestions = 0;
            Click(run.Click);
            port.StopAfter = 0;
            EXPECT_EQ(port.Caption.rfind(run.Click == &TfmMain::btPackClick ? "Сжатие остановлено" : "Остановлено", 0),
                      0u)
                << port.Caption;
            ExpectReleased();
            TDBFLite db(t.Files);
            db.OpenTable(t.TablePath, true);
            for (int32_t r = 0; r < 40; ++r) {
                const std::string now = db.ReadMemo(r, 1);
                const bool blanked = run.Blanks && now.empty();
                const bool loaded = run.Loads && now == "loaded " + std::to_string(r);
                EXPECT_TRUE(now == texts[static_cast<size_t>(r)] || blanked || loaded) << r << ": " << now;
            }
        }
}

// --- Save -------------------------------------------------------------------

TEST_F(Handlers, RunsOfOtherValueTypesAreKeptAndBlocksThatStartNoRunAreBlanked)
{
    spec.Fields = {{"ID", 'C', 4}, {"NOTES", 'M', 10}};
    const std::string number("\0\0\0\0\0\0\x10 ", 8);  // a Harbour number: blank by its bytes' codes
    const uint32_t value = memo.Add(number, 8);
    const uint32_t array = memo.Add("array  ", 32768);
    const uint32_t freed = memo.Add("old text", 1000);
    const uint32_t text = memo.Add(std::string(300, 't'));
    const uint32_t picture = memo.Add("FoxPro type 0", 0);
    spec.Records = {{"r0", MemoRef(value)},    {"r1", MemoRef(array)}, {"r2", MemoRef(freed)},
                    {"r3", MemoRef(text + 2)}, {"r4", MemoRef(text)},  {"r5", MemoRef(picture)}};
    Put();
    const std::string table = t.Table();
    port.Memo = "NOTES";
    Click(&TfmMain::btClearClick);
    const Lines kept = {MemoRef(value), MemoRef(array), Ten, Ten, MemoRef(text), MemoRef(picture)};
    for (int r = 0; r < 6; ++r)
        EXPECT_EQ(Field(r, 1), kept[static_cast<size_t>(r)]) << r;

    // Rewrite copies each run under its own type, another type's bytes
    // whole; what starts no run is blanked.
    t.Files.SetFile(t.TablePath, table);
    const uint32_t next = memo.NextBlock();
    Click(&TfmMain::btAutoClick);
    EXPECT_EQ(port.Caption, "MEMO поля переписаны.");
    const std::string m = t.Memo();
    const struct {
        int Record;
        uint32_t Block, Type;
        std::string Bytes;
    } copies[] = {{0, next, 8, number},
                  {1, next + 1, 32768, "array  "},
                  {4, next + 2, 1, std::string(300, 't')},
                  {5, next + 7, 0, "FoxPro type 0"}};
    for (const auto& c : copies) {
        EXPECT_EQ(Field(c.Record, 1), MemoRef(c.Block)) << c.Record;
        EXPECT_EQ(ReadBe32(m, c.Block * 64u), c.Type) << c.Record;
        EXPECT_EQ(RunText(m, c.Block), c.Bytes) << c.Record;
    }
    EXPECT_EQ(Field(2, 1), Ten);
    EXPECT_EQ(Field(3, 1), Ten);
}

TEST_F(Handlers, ClipperLongCharacterFieldsKeepTheirBytesThroughEveryOperation)
{
    // Read by byte 16 alone, NAME would be 44 bytes wide and NOTES would lie
    // inside it, where these digits would read as a memo reference.
    std::string name = "Long name";
    name.resize(44, ' ');
    name += "        12 and more of the name";
    spec.Fields = {{"NAME", 'C', 300}, {"NOTES", 'M', 10}};
    const uint32_t text = memo.Add("the memo text");
    const uint32_t blank = memo.Add("  ");
    spec.Records = {{name, MemoRef(text)}, {name, MemoRef(blank)}};
    Put();
    const std::string table = t.Table();
    const std::string nameBytes = Field(0, 0);
    ASSERT_EQ(nameBytes.size(), 300u);

    port.Memo = "NAME\r\nNOTES";
    port.DialogAnswers = {std::string("/out/s.txt")};
    Click(&TfmMain::btSaveClick);
    EXPECT_EQ(t.Files.File("/out/s.txt"), "NAME\tNOTES\r\n" + name + "\tthe memo text\r\n" + name + "\t\r\n");

    port.Memo = "NOTES";
    Click(&TfmMain::btClearClick);
    EXPECT_EQ(Field(0, 1), MemoRef(text));
    EXPECT_EQ(Field(1, 1), Ten);
    Click(&TfmMain::btAutoClick);
    EXPECT_EQ(RunText(t.Memo(), Field(0, 1)), "the memo text");
    port.All = true;
    Click(&TfmMain::btClearClick);
    EXPECT_EQ(Field(0, 1), Ten);
    for (int r = 0; r < 2; ++r)
        EXPECT_EQ(Field(r, 0), nameBytes) << r;

    t.Files.SetFile(t.TablePath, table);
    t.Files.SetFile("/in/l.txt", "NOTES\tNAME\r\nloaded\t" + std::string(299, 'x') + "y\r\n\tshort\r\n");
    port.DialogAnswers = {std::string("/in/l.txt")};
    Click(&TfmMain::btLoadClick);
    EXPECT_EQ(port.Caption, "MEMO поля загружены.");
    EXPECT_EQ(Field(0, 0), std::string(299, 'x') + "y");
    EXPECT_EQ(RunText(t.Memo(), Field(0, 1)), "loaded");
    EXPECT_EQ(Field(1, 0), "short" + std::string(295, ' '));
    EXPECT_EQ(Field(1, 1), Ten);
}

TEST_F(Handlers, SaveWritesTheHeaderAndOneEscapedLinePerRecord)
{
    spec.Fields = {{"NAME", 'C', 10}, {"QTY", 'N', 8, 2}, {"DAY", 'D', 8}, {"OK", 'L', 1}, {"NOTES", 'M', 10}};
    const uint32_t escaped = memo.Add("A\r\nB\t#5");
    const uint32_t bytes = memo.Add(std::string("x\0y\x7F", 4) + "Жук");
    spec.Records = {{"Ann", "   12.50", "20240131", "T", MemoRef(escaped)},
                    {"Bob", "", "", "", MemoRef(bytes)},
                    {"", "", "", "", ""}};
    Put();
    std::string table = t.Table();
    table[RecordAt(spec, 1)] = '*';  // deleted, saved all the same
    t.Files.SetFile(t.TablePath, table);
    t.Files.SetFile("/out/memo.txt", "an older, longer file that is replaced");
    port.Memo = "NAME\r\nNOTES\r\nQTY\r\n\r\nDAY\r\nOK\r\nNOTES";
    port.DialogAnswers = {std::string("/out/memo.txt")};
    Click(&TfmMain::btSaveClick);

    EXPECT_EQ(port.Log, (Lines{"dialog:Save|" + TextFilter + "|1|/data/T.txt", "cursor:-11",
                               "caption:MEMO поля сохранены.", "cursor:0"}));
    const std::string blankDay = Shown(1001, 1, 1);
    EXPECT_EQ(t.Files.File("/out/memo.txt"),
              "NAME\tNOTES\tQTY\tDAY\tOK\tNOTES\r\n"
              "Ann\tA#13#10B#09#355\t   12.50\t" +
                  Shown(2024, 1, 31) +
                  "\tT\tA#13#10B#09#355\r\n"
                  "Bob\tx y\x7FЖук\t\t" +
                  blankDay +
                  "\tF\tx y\x7FЖук\r\n"
                  "\t\t\t" +
                  blankDay + "\tF\t\r\n");
    EXPECT_EQ(form.Save.FileName, "/out/memo.txt");
    EXPECT_EQ(t.Table(), table);
    ExpectReleased();
    ExpectReleased("/out/memo.txt");

    // Each run offers the table's name again.
    port.Log.clear();
    port.DialogAnswers = {std::nullopt};
    Click(&TfmMain::btSaveClick);
    EXPECT_EQ(port.Log, Lines{"dialog:Save|" + TextFilter + "|1|/data/T.txt"});
}

TEST_F(Handlers, SaveEdgesAndRefusals)
{
    spec.Fields = {{"NAME", 'C', 4}, {"NOTES", 'M', 10}};
    for (int r = 0; r < 100; ++r)
        spec.Records.push_back({"n" + std::to_string(r % 10), ""});
    spec.RecordCountOverride = 150;
    Put();
    port.Memo = "NAME";
    port.DialogAnswers = {std::string("/out/a")};
    Click(&TfmMain::btSaveClick);
    EXPECT_EQ(port.Captions(), (Lines{"100/100", "MEMO поля сохранены."}));
    const std::string saved = t.Files.File("/out/a");
    EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), 101);
    EXPECT_EQ(saved.substr(saved.size() - 6), "\r\nn9\r\n");

    // An empty selection: bare line ends; no records: the header alone.
    spec.RecordCountOverride = -1;
    spec.Records.resize(2);
    Put();
    port.Memo = "\r\n";
    port.DialogAnswers = {std::string("/out/b.txt")};
    Click(&TfmMain::btSaveClick);
    EXPECT_EQ(t.Files.File("/out/b.txt"), "\r\n\r\n\r\n");
    spec.Records.clear();
    Put();
    port.Memo = "NOTES\r\nNAME";
    port.DialogAnswers = {std::string("/out/b.txt")};
    Click(&TfmMain::btSaveClick);
    EXPECT_EQ(t.Files.File("/out/b.txt"), "NOTES\tNAME\r\n");

    // Refusals touch no text file.
    t.Files.SetFile("/out/keep.txt", "precious");
    port.Log.clear();
    port.Memo = "NAME\r\nname";
    port.DialogAnswers = {std::string("/out/keep.txt")};
    Click(&TfmMain::btSaveClick);
    EXPECT_EQ(port.Log, (Lines{"dialog:Save|" + TextFilter + "|1|/data/T.txt", "memo:" + Hint}));
    EXPECT_EQ(t.Files.File("/out/keep.txt"), "precious");
    // The table's own files, however spelled, are never the text file.
    t.Files.IgnoreCase = true;
    const std::string table = t.Table(), memoFile = t.Memo();
    port.Memo = "NAME";
    for (const char* own : {"/data/T.DBF", "/data/t.fpt"}) {
        port.Log.clear();
        port.DialogAnswers = {std::string(own)};
        Click(&TfmMain::btSaveClick);
        EXPECT_EQ(port.Captions(), Lines{"Этот файл принадлежит таблице: выберите другой текстовый файл."}) << own;
        EXPECT_EQ(t.Table(), table);
        EXPECT_EQ(t.Memo(), memoFile);
    }
    t.Files.IgnoreCase = false;
    port.Log.clear();
    port.FileName = "/data/T.dbf";
    Click(&TfmMain::btSaveClick);
    EXPECT_EQ(port.Log, Lines{NoTable});
    ExpectReleased();
}

TEST_F(Handlers, SaveStoppedByATextFileErrorReleasesEverything)
{
    spec = NotesTable(memo, {"text"});
    Put();
    TFaultFileSystem faulty(t.Files);
    faulty.FailOnlyWrites = true;
    faulty.FailAt = 1;
    TfmMain failing(port, faulty);
    port.Memo = "NOTES";
    port.DialogAnswers = {std::string("/out/full.txt")};
    failing.Run(&TfmMain::btSaveClick);
    EXPECT_EQ(port.Log,
              (Lines{"dialog:Save|" + TextFilter + "|1|/data/T.txt", "cursor:-11", "cursor:0", "error:Disk full."}));
    EXPECT_EQ(port.Caption, "Tarnwick");
    ExpectReleased();
    ExpectReleased("/out/full.txt");
}

// --- Load -------------------------------------------------------------------

class LoadTest : public Handlers {
protected:
    uint32_t oldText = 0;
    std::string table, memoBefore;

    void SetUp() override
    {
        Handlers::SetUp();
        spec.Fields = {{"NAME", 'C', 6}, {"QTY", 'N', 8, 2}, {"CNT", 'N', 4},
                       {"DAY", 'D', 8},  {"OK", 'L', 1},     {"NOTES", 'M', 10}};
        oldText = memo.Add("old text");
        spec.Records = {{"old", "", "", "", "", MemoRef(oldText)},
                        {"keep", "    1.00", "   7", "20000101", "T", MemoRef(memo.Add("kept"))}};
        Put();
        table = t.Table();
        memoBefore = t.Memo();
    }

    // Loads Text from "/in/load.txt".
    void Load(const std::string& Text)
    {
        t.Files.SetFile("/in/load.txt", Text);
        port.DialogAnswers = {std::string("/in/load.txt")};
        Click(&TfmMain::btLoadClick);
    }
    void ExpectUntouched()
    {
        EXPECT_EQ(t.Table(), table);
        EXPECT_EQ(t.Memo(), memoBefore);
        ExpectReleased();
    }
};

TEST_F(LoadTest, ValuesGoInByFieldTypeAndLinesPastTheEndAddRecords)
{
    const uint32_t next = memo.NextBlock();
    Load(
        "NAME\tQTY\tCNT\tDAY\tOK\tNOTES\r\n"
        "Zed\t12.5\t42\t" +
        Shown(2024, 1, 31) +
        "\tT\tnew#13#10text\r\n"
        " \t \t\r\n"
        "LongerName\tabc\t\t" +
        Shown(1001, 1, 1) +
        "\tF\t\r\n"
        "x\t123456.789\t-3\t" +
        Shown(1899, 12, 30) +
        "\r\n"
        "\n"
        "y\t$1F\r\n");

    EXPECT_EQ(port.Log, (Lines{"dialog:Open|" + TextFilter + "|1|", LoadQuestion, "cursor:-11", "caption:1",
                               "progress:1", "caption:MEMO поля загружены.", "cursor:0"}));
    const Lines record0 = {"Zed   ", "    12.5", "  42", "20240131", "T", MemoRef(next)};
    const Lines record2 = {"Longer", "       0", "    ", "        ", "F", Ten};
    const Lines record3 = {"x     ", "       0", "  -3", "        ", " ", Ten};
    const Lines record5 = {"y     ", "      31", "    ", "        ", " ", Ten};
    for (int f = 0; f < 6; ++f) {
        EXPECT_EQ(Field(0, f), record0[static_cast<size_t>(f)]) << f;
        EXPECT_EQ(Field(2, f), record2[static_cast<size_t>(f)]) << f;
        EXPECT_EQ(Field(3, f), record3[static_cast<size_t>(f)]) << f;
        EXPECT_EQ(Field(5, f), record5[static_cast<size_t>(f)]) << f;
    }
    EXPECT_EQ(RunText(t.Memo(), next), "new\r\ntext");  // Save's escapes undone
    EXPECT_EQ(ReadBe32(t.Memo(), 0), next + 1);
    const std::string loaded = t.Table();
    const size_t recordSize = RecordSizeOf(spec);
    EXPECT_EQ(loaded.substr(RecordAt(spec, 1), recordSize), table.substr(RecordAt(spec, 1), recordSize));
    EXPECT_EQ(loaded.substr(RecordAt(spec, 4), recordSize), std::string(recordSize, ' '));
    EXPECT_EQ(ReadLe32(loaded, 4), 6u);
    EXPECT_EQ(loaded.size(), RecordAt(spec, 6) + 1);
    EXPECT_EQ(loaded.back(), '\x1A');
    EXPECT_EQ(form.Open.FileName, "/in/load.txt");
    ExpectReleased();
    ExpectReleased("/in/load.txt");
}

TEST_F(LoadTest, SavedValuesComeBackAsTheyWere)
{
    const std::string escaped = "two\r\nlines, #35 and\ta\x01 tab";
    spec.Records = {{"Ann#1", "   12.50", "  42", "20240131", "T", MemoRef(memo.Add("plain text"))},
                    {"", "", "", "", "F", ""},
                    {"  lead", "   -0.75", "  -7", "19991231", "T", MemoRef(memo.Add(escaped))}};
    Put();
    const std::string source = t.Table();
    port.Memo = "NAME\r\nQTY\r\nCNT\r\nDAY\r\nOK\r\nNOTES";
    port.DialogAnswers = {std::string("/x/a.txt")};
    Click(&TfmMain::btSaveClick);

    TTableSpec empty = spec;
    empty.Records.clear();
    t.Files.SetFile("/data/B.DBF", BuildTable(empty));
    t.Files.SetFile("/data/B.FPT", TMemoBuilder(64).Bytes());
    port.FileName = "/data/B.DBF";
    port.DialogAnswers = {std::string("/x/a.txt")};
    Click(&TfmMain::btLoadClick);

    EXPECT_EQ(port.Caption, "MEMO поля загружены.");
    const std::string copy = t.Files.File("/data/B.DBF");
    ASSERT_EQ(ReadLe32(copy, 4), 3u);
    for (int r = 0; r < 3; ++r)
        for (int f = 0; f < 5; ++f)
            EXPECT_EQ(FieldAt(spec, copy, r, f), FieldAt(spec, source, r, f)) << r << "," << f;
    const std::string m = t.Files.File("/data/B.FPT");
    EXPECT_EQ(RunText(m, FieldAt(spec, copy, 0, 5)), "plain text");
    EXPECT_EQ(FieldAt(spec, copy, 1, 5), Ten);
    EXPECT_EQ(RunText(m, FieldAt(spec, copy, 2, 5)), escaped);
}

TEST_F(LoadTest, ARunTheFileEndCutsShortIsSealedBeforeTheFirstText)
{
    // The cut run is the memo file's last; what the load appends after it
    // must not read as the rest of its text. Its record's line is blank,
    // so the reference to it stays. Sought beside the check of the text
    // file or after it, the run is found and sealed alike.
    for (const bool threads : {false, true}) {
        SCOPED_TRACE(threads);
        TMemoBuilder cutMemo{64};
        const uint32_t cut = cutMemo.AddWithLength("cut short", 1000);
        spec.Records = {{"old", "", "", "", "", MemoRef(cut)}, {"keep", "", "", "", "", Ten}};
        t.Put(spec, cutMemo);
        const std::string before = t.Memo();
        t.Files.Threads = threads;
        Load("NAME\tNOTES\r\n\r\nkeep\tloaded\r\n");
        EXPECT_EQ(port.Caption, "MEMO поля загружены.");
        const std::string m = t.Memo();
        EXPECT_EQ(ReadBe32(m, cut * 64u + 4), before.size() - cut * 64u - 8);
        EXPECT_EQ(RunText(m, cut), before.substr(cut * 64u + 8));  // what the file held, no more
        EXPECT_EQ(RunText(m, FieldAt(spec, t.Table(), 1, 5)), "loaded");
        EXPECT_EQ(Field(0, 5), MemoRef(cut));
        ExpectReleased();
    }
}

TEST_F(LoadTest, TheWholeFileIsCheckedBeforeAnythingIsWritten)
{
    struct TCase {
        std::string Text, Memo;
    };
    const std::string tooManyNames = Join(Lines(101, "NAME"), "\t") + "\r\nx\r\n";
    const TCase cases[] = {
        {"NAME\tBAD1\tNOTES\tname\r\na\tb\tc\td\r\n", "Поле не найдено \"name\""},
        {"NOTES\tBAD\r\n", "Поле не найдено \"BAD\""},
        {"", "Поле не найдено \"\""},
        {"NAME\t\r\nx\r\n", "Поле не найдено \"\""},  // a trailing TAB names an empty field
        {"NAME\tCNT\r\na\t1\r\n\r\nb\t2\textra\r\nc\r\n",
         "Строка 4 файла: значений больше, чем названий полей в первой строке."},
        {tooManyNames, "В первой строке файла больше 100 названий полей."},
    };
    for (const TCase& c : cases) {
        port.Log.clear();
        port.Memo = "before";
        Load(c.Text);
        EXPECT_EQ(port.Memo, c.Memo) << c.Text;
        EXPECT_TRUE(port.Captions().empty());
        EXPECT_EQ(Cursors(), (Lines{"-11", "0"}));
        ExpectUntouched();
        ExpectReleased("/in/load.txt");
    }

    // Declined, or refused before the box.
    port.Log.clear();
    port.MessageAnswers = {IdCancel};
    Load("NAME\r\nnew\r\n");
    EXPECT_EQ(port.Log, (Lines{"dialog:Open|" + TextFilter + "|1|/in/load.txt", LoadQuestion}));
    port.Log.clear();
    port.DialogAnswers = {std::nullopt};
    Click(&TfmMain::btLoadClick);
    port.FileName = "";
    Click(&TfmMain::btLoadClick);
    EXPECT_EQ(port.Log, (Lines{"dialog:Open|" + TextFilter + "|1|/in/load.txt", NoTable}));
    ExpectUntouched();
}

// Whatever would stop a Load halfway (a write the layer refuses, a value
// no field can take back) is found before the first write: the table and
// the memo file stay byte for byte as they were, and the memo box says why.
TEST_F(Handlers, ALoadThatWouldFailWritesNothing)
{
    TTableSpec plain;
    plain.Fields = {{"NAME", 'C', 6}, {"NOTES", 'M', 10}};
    plain.Records = {{"old", ""}};
    TTableSpec narrow = plain;
    narrow.Fields[1].Size = 2;  // block numbers up to 99
    TTableSpec vfp;
    vfp.Version = 0x30;
    vfp.BacklinkArea = true;
    vfp.Fields = {BinaryField("ID", 'I', 4),
                  BinaryField("PIC", 'G', 4),
                  {"_NullFlags", '0', 1, 0, 5, '\0'},
                  BinaryField("VB", 'Q', 10),
                  {"VC", 'V', 10},
                  {"ODD", 'X', 5},
                  BinaryField("PRICE", 'B', 8, 2),
                  BinaryField("STAMP", 'T', 8)};
    vfp.Records = {{std::string(4, '\0')}};
    const std::string noText = ") нельзя загрузить из текста: текст не передаёт его байты без потерь";
    struct TCase {
        const char* What;
        const TTableSpec& Spec;
        uint32_t Filler;  // bytes of text stored before the test's own
        std::function<void(std::string& Table, std::string& Memo)> Damage;
        std::string Text, Message;
    };
    const TCase cases[] = {
        {"block size 0", plain, 0, [](std::string&, std::string& M) { M[6] = M[7] = 0; },
         "NAME\tNOTES\r\nfirst\t\r\nsecond\ttext\r\n",
         "Неверный размер блока (0) в заголовке MEMO файла \"/data/T.FPT\""},
        {"a reference too narrow for the third text's block",
         narrow,
         90 * 64 - 8,
         {},
         "NAME\tNOTES\r\na\tfirst text\r\nb\tsecond\r\nc\tthird\r\n",
         "Поле \"NOTES\" слишком узкое для номера блока 100"},
        {"fields that do not add up to the record", plain, 0, [](std::string& T, std::string&) { T[10] = 18; },
         "NAME\r\nx\r\n",
         "Длины полей таблицы \"/data/T.DBF\" не совпадают с длиной записи (18): таблица повреждена, запись в неё "
         "невозможна"},
        {"a binary memo", vfp, 0, {}, "ID\tPIC\r\n1\t\r\n", "Поле \"PIC\" (тип G" + noText},
        {"_NullFlags", vfp, 0, {}, "ID\t_NullFlags\r\n1\t\r\n", "Поле \"_NullFlags\" (тип 0" + noText},
        {"varbinary", vfp, 0, {}, "ID\tVB\r\n1\tab\r\n", "Поле \"VB\" (тип Q" + noText},
        {"varchar", vfp, 0, {}, "ID\tVC\r\n1\tab\r\n", "Поле \"VC\" (тип V" + noText},
        {"an unknown type", vfp, 0, {}, "ID\tODD\r\n1\tab\r\n", "Поле \"ODD\" (тип X" + noText},
        {"an integer that is none",
         vfp,
         0,
         {},
         "ID\r\n1\r\nabc\r\n",
         "Значение \"abc\" нельзя записать в поле \"ID\" (тип I)"},
        {"an escaped tab in a number",
         vfp,
         0,
         {},
         "ID\tPRICE\r\n1\t2\r\n2\t1#095\r\n",
         "Значение \"1\t5\" нельзя записать в поле \"PRICE\" (тип B)"},
        {"no such day",
         vfp,
         0,
         {},
         "ID\tSTAMP\r\n1\t\r\n2\t2024-02-30 10:00:00\r\n",
         "Значение \"2024-02-30 10:00:00\" нельзя записать в поле \"STAMP\" (тип T)"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        TMemoBuilder filled(64);
        if (c.Filler > 0)
            filled.Add(std::string(c.Filler, 'f'));
        std::string table = BuildTable(c.Spec), memoBytes = filled.Bytes();
        if (c.Damage)
            c.Damage(table, memoBytes);
        t.Files.SetFile(t.TablePath, table);
        t.Files.SetFile(t.MemoPath, memoBytes);
        t.Files.SetFile("/in/l.txt", c.Text);
        port.Log.clear();
        port.DialogAnswers = {std::string("/in/l.txt")};
        Click(&TfmMain::btLoadClick);
        EXPECT_EQ(port.Memo, c.Message);
        EXPECT_EQ(port.Errors(), Lines{});
        EXPECT_TRUE(port.Captions().empty());
        EXPECT_EQ(t.Table(), table);
        EXPECT_EQ(t.Memo(), memoBytes);
        ExpectReleased();
    }

    // Blank memo values need no block size: their references are blanked.
    TMemoBuilder zero(64);
    std::string zeroMemo = zero.Bytes();
    zeroMemo[6] = zeroMemo[7] = 0;
    spec = plain;
    spec.Records = {{"old", MemoRef(12)}};
    t.Files.SetFile(t.TablePath, BuildTable(spec));
    t.Files.SetFile(t.MemoPath, zeroMemo);
    t.Files.SetFile("/in/l.txt", "NAME\tNOTES\r\nnew\t \r\n");
    port.DialogAnswers = {std::string("/in/l.txt")};
    Click(&TfmMain::btLoadClick);
    EXPECT_EQ(port.Caption, "MEMO поля загружены.");
    EXPECT_EQ(Field(0, 0), "new   ");
    EXPECT_EQ(Field(0, 1), Ten);
    EXPECT_EQ(t.Memo(), zeroMemo);
}

// A Visual FoxPro 9 table: binary numbers and datetimes, a 4-byte memo
// reference, _NullFlags. Save shows every value as text; Load of that text
// gives every byte back, and records it appends are zero in binary fields.
TEST_F(Handlers, SaveThenLoadLeavesAVisualFoxProTableAsItWas)
{
    spec = VisualFoxProTable({BinaryField("ID", 'I', 4),
                              BinaryField("PRICE", 'B', 8, 2),
                              BinaryField("COST", 'Y', 8, 4),
                              BinaryField("STAMP", 'T', 8),
                              {"NAME", 'C', 12},
                              {"QTY", 'N', 6},
                              BinaryField("NOTES", 'M', 4),
                              {"_NullFlags", '0', 1, 0, 5, '\0'}});
    spec.Records = {{LeBytes(1, 4), LeBytes(0x3FF0000000000000ull, 8), LeBytes(15000, 8),
                     LeBytes(2460676, 4) + LeBytes(45296789, 4), "Ann", "    42",
                     BinaryMemoRef(memo.Add("first\r\ntext")), std::string(1, '\x02')},
                    {LeBytes(0xFFFFFFFFu, 4), LeBytes(0x8000000000000000ull, 8), LeBytes(static_cast<uint64_t>(-1), 8),
                     LeBytes(0, 8), "", "", BinaryMemoRef(0), std::string(1, '\0')},
                    {LeBytes(0x80000000u, 4), LeBytes(0x7FF8000000000123ull, 8), LeBytes(0x8000000000000000ull, 8),
                     LeBytes(2451545, 4) + LeBytes(0, 4), "Bob#1", "    -7", BinaryMemoRef(memo.Add("#")),
                     std::string(1, '\x01')}};
    Put();
    const std::string before = t.Table();

    port.Memo = "ID\r\nPRICE\r\nCOST\r\nSTAMP\r\nNAME\r\nQTY\r\nNOTES";
    port.DialogAnswers = {std::string("/x/v.txt")};
    Click(&TfmMain::btSaveClick);
    EXPECT_EQ(t.Files.File("/x/v.txt"),
              "ID\tPRICE\tCOST\tSTAMP\tNAME\tQTY\tNOTES\r\n"
              "1\t1\t1.5000\t2024-12-31 12:34:56.789\tAnn\t    42\tfirst#13#10text\r\n"
              "-1\t-0\t-0.0001\t\t\t\t\r\n"
              "-2147483648\t0x7FF8000000000123\t-922337203685477.5808\t2000-01-01 00:00:00\tBob#351\t    -7\t#35\r\n");

    // Two more lines append two records.
    t.Files.SetFile("/x/v.txt", t.Files.File("/x/v.txt") + "5\r\n6\r\n");
    port.DialogAnswers = {std::string("/x/v.txt")};
    Click(&TfmMain::btLoadClick);
    EXPECT_EQ(port.Caption, "MEMO поля загружены.");
    const std::string after = t.Table();
    ASSERT_EQ(ReadLe32(after, 4), 5u);
    for (int r = 0; r < 3; ++r) {
        for (int f = 0; f < 8; ++f) {
            if (f != 6) {
                EXPECT_EQ(Field(r, f), FieldAt(spec, before, r, f)) << r << "," << f;
            }
        }
    }
    EXPECT_EQ(RunText(t.Memo(), ReadLe32(Field(0, 6), 0)), "first\r\ntext");
    EXPECT_EQ(Field(1, 6), Zero4);
    EXPECT_EQ(RunText(t.Memo(), ReadLe32(Field(2, 6), 0)), "#");
    EXPECT_EQ(after.substr(0, HeaderSizeOf(spec)).substr(8), before.substr(0, HeaderSizeOf(spec)).substr(8));
    const std::vector<std::string> appended = {LeBytes(5, 4), LeBytes(0, 8),       LeBytes(0, 8), LeBytes(0, 8),
                                               Ten + "  ",    std::string(6, ' '), Zero4,         std::string(1, '\0')};
    for (int f = 0; f < 8; ++f) {
        EXPECT_EQ(Field(3, f), appended[static_cast<size_t>(f)]) << f;
        EXPECT_EQ(Field(4, f), f == 0 ? LeBytes(6, 4) : appended[static_cast<size_t>(f)]) << f;
    }
}

TEST_F(LoadTest, ProgressLineEndsCtrlZAndTheCappedRecordCount)
{
    std::string text = "NAME\n";
    for (int i = 0; i < 2500; ++i)
        text += "v" + std::to_string(i % 10) + "\n";
    Load(text + "\x1A" + "never\r\n");
    EXPECT_EQ(port.Captions(), (Lines{"1", "1001", "2001", "MEMO поля загружены."}));
    EXPECT_EQ(ReadLe32(t.Table(), 4), 2500u);
    EXPECT_EQ(Field(2499, 0), "v9    ");
    EXPECT_EQ(t.Table().size(), RecordAt(spec, 2500) + 1);

    // A header claiming more records than the file holds: lines past the
    // real ones are appended right after them.
    spec.RecordCountOverride = 5;
    Put();
    Load("NAME\tNOTES\r\na\r\nb\r\nc\rc\r\n");
    EXPECT_EQ(ReadLe32(t.Table(), 4), 3u);
    EXPECT_EQ(Field(2, 0), "cc    ");
    EXPECT_EQ(Field(2, 5), Ten);
    EXPECT_EQ(Field(1, 0), "b     ");
    EXPECT_EQ(Field(1, 5), FieldAt(spec, table, 1, 5));  // fewer values leave the rest
    EXPECT_EQ(t.Table().size(), RecordAt(spec, 3) + 1);
}

// A count of 2^31 or more is negative as the header's signed number: no
// record is visited, and nothing is appended over the records the file holds.
TEST_F(LoadTest, ACountPast2To31VisitsTheRecordsTheFileHolds)
{
    std::string damaged = table;
    damaged[7] = '\x80';  // 2^31 and more: impossible for any file here
    t.Files.SetFile(t.TablePath, damaged);
    port.Memo = "NAME";
    port.DialogAnswers = {std::string("/out/n.txt")};
    Click(&TfmMain::btSaveClick);
    const std::string saved = t.Files.File("/out/n.txt");
    EXPECT_EQ(saved.substr(0, 6), "NAME\r\n");
    EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), 1 + static_cast<long>(spec.Records.size()));

    port.Log.clear();
    std::string lines = "NAME\r\n";
    for (size_t i = 0; i <= spec.Records.size(); ++i)
        lines += "n" + std::to_string(i) + "\r\n";
    Load(lines);
    EXPECT_TRUE(port.Errors().empty());
    // The appended record follows the ones present, and the count becomes true.
    TDBFLite check(t.Files);
    check.OpenTable(t.TablePath, false);
    EXPECT_EQ(check.RecordCount(), static_cast<int32_t>(spec.Records.size()) + 1);
    EXPECT_EQ(check.ReadValue(0, 0), "n0");
    EXPECT_EQ(check.ReadValue(check.RecordCount() - 1, 0), "n" + std::to_string(spec.Records.size()));
    check.CloseTable();
    ExpectReleased();
}

TEST_F(LoadTest, OpenDialogStateAndTextFileErrors)
{
    port.DialogAnswers = {std::string("/data/T.DBF")};
    Click(&TfmMain::btBrowseFileNameClick);
    EXPECT_EQ(port.FileName, "/data/T.DBF");
    port.Log.clear();
    port.DialogAnswers = {std::string("/in/missing.txt")};
    Click(&TfmMain::btLoadClick);
    EXPECT_EQ(port.Log, (Lines{"dialog:Open|" + TextFilter + "|1|/data/T.DBF", LoadQuestion, "cursor:-11", "cursor:0",
                               "error:File not found."}));
    EXPECT_EQ(form.Open.FileName, "/in/missing.txt");
    ExpectUntouched();

    // A memo column needs the memo file; other columns do not.
    TMemTable bare;
    bare.Put(spec);
    bare.Files.SetFile("/in/a.txt", "NAME\tNOTES\r\nx\ty\r\n");
    bare.Files.SetFile("/in/b.txt", "NAME\r\nx\r\n");
    TFakePort barePort;
    TfmMain bareForm(barePort, bare.Files);
    barePort.FileName = bare.TablePath;
    barePort.DialogAnswers = {std::string("/in/a.txt"), std::string("/in/b.txt")};
    bareForm.Run(&TfmMain::btLoadClick);
    EXPECT_EQ(barePort.Captions(), Lines{"MEMO файл не найден."});
    EXPECT_EQ(bare.Table(), table);
    bareForm.Run(&TfmMain::btLoadClick);
    EXPECT_EQ(barePort.Caption, "MEMO поля загружены.");
    EXPECT_EQ(FieldAt(spec, bare.Table(), 0, 0), "x     ");
}

// --- Help -------------------------------------------------------------------

TEST_F(Handlers, HelpShowsTheReflowedFileOrSaysItIsMissing)
{
    port.Memo = "NOTES\r\nMORE";
    Click(&TfmMain::btHelpClick);
    EXPECT_EQ(port.Log, Lines{"memo:Файл \"Read_Me.txt\" не найден."});

    t.Files.SetFile("Read_Me.txt", "one\r\ntwo\r\n\r\nthree \r\nfour\r\n\r\n\r\n");
    port.Log.clear();
    Click(&TfmMain::btHelpClick);
    form.FormKeyDown(TfmMain::VkF1);
    form.FormKeyDown(TfmMain::VkF1 + 1);  // F2 does nothing
    EXPECT_EQ(port.Log, Lines(2, "memo:one two\r\n\r\nthree\r\nfour"));
    EXPECT_EQ(port.PaintSuspended, 0);

    // A file that cannot be read: the error shows, the box keeps its text
    // and paints again.
    port.Log.clear();
    port.Memo = "kept";
    TFaultFileSystem faulty(t.Files);
    faulty.FailAt = 1;
    TfmMain failing(port, faulty);
    failing.FormKeyDown(TfmMain::VkF1);
    EXPECT_EQ(port.Log, Lines{"error:Stream read error."});
    EXPECT_EQ(port.Memo, "kept");
    EXPECT_EQ(port.PaintSuspended, 0);
    EXPECT_EQ(port.Caption, "Tarnwick");
    ExpectReleased("Read_Me.txt");
}

// --- Read-only tables -------------------------------------------------------

TEST_F(Handlers, AReadOnlyTableIsListedAndSavedButNeverWritten)
{
    spec.Fields = {{"NOTES", 'M', 10}};
    spec.Records = {{MemoRef(memo.Add("text"))}, {"  garbage!"}};
    // The table refused for writing, or its memo file (a read-only share
    // may hold them apart).
    for (const bool memoOnly : {false, true}) {
        SCOPED_TRACE(memoOnly ? "memo file read-only" : "table read-only");
        t = TMemTable();
        Put();
        t.Files.SetReadOnly(memoOnly ? t.MemoPath : t.TablePath);
        const std::string table = t.Table(), memoBytes = t.Memo();

        port.Log.clear();
        Click(&TfmMain::btInfoClick);
        EXPECT_EQ(port.Log, (Lines{"caption:MEMO полей: 1", "memo:NOTES"}));
        port.DialogAnswers = {std::string("/out/ro.txt")};
        Click(&TfmMain::btSaveClick);
        EXPECT_EQ(port.Captions().back(), "MEMO поля сохранены.");
        EXPECT_EQ(t.Files.File("/out/ro.txt"), "NOTES\r\ntext\r\n\r\n");

        // The operations that write stop before they ask anything.
        const std::string readOnly = "caption:Таблица доступна только для чтения.";
        for (auto handler : {&TfmMain::btClearClick, &TfmMain::btAutoClick}) {
            port.Log.clear();
            Click(handler);
            EXPECT_EQ(port.Log, Lines{readOnly});
        }
        t.Files.SetFile("/in/ro.txt", "NOTES\r\nnew\r\n");
        port.Log.clear();
        port.DialogAnswers = {std::string("/in/ro.txt")};
        Click(&TfmMain::btLoadClick);
        EXPECT_EQ(port.Log.size(), 2u);  // the dialog, then the caption
        EXPECT_EQ(port.Log.back(), readOnly);
        EXPECT_EQ(t.Table(), table);
        EXPECT_EQ(t.Memo(), memoBytes);
        ExpectReleased();
    }
}

}  // namespace
