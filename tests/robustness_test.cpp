// Damaged tables, and disks that fail at any read or write. Whatever the
// files hold, every operation ends, with work and memory bounded by what the
// files hold; and a run stopped by an error leaves files whose record count
// and memo references lead only to data written whole.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <set>

#include "fakeport.h"
#include "fixtures.h"
#include "fmmain.h"
#include "strutil.h"

namespace {

using Handler = void (TfmMain::*)();
const std::string TextPath = "/data/T.txt";

// The test files in memory, refusing any write that would take a file past
// 64 MiB: a run sent astray by a damaged header shows as a failed test, not
// as a machine out of memory.
class TBoundedFileSystem : public TFileSystem {
public:
    explicit TBoundedFileSystem(TFileSystem& Inner) : Inner_(Inner) {}
    std::unique_ptr<TFileStream> Open(const std::string& Path, TFileAccess Access, TFileShare Share) override
    {
        return std::make_unique<TStream>(Inner_.Open(Path, Access, Share));
    }
    bool FileExists(const std::string& Path) override { return Inner_.FileExists(Path); }
    std::string FindCaseVariant(const std::string& Path) override { return Inner_.FindCaseVariant(Path); }
    bool SameFile(const std::string& A, const std::string& B) override { return Inner_.SameFile(A, B); }
    std::unique_ptr<TFileStream> Create(const std::string& Path, uint32_t Permissions, TFileShare Share) override
    {
        return std::make_unique<TStream>(Inner_.Create(Path, Permissions, Share));
    }
    bool PathExists(const std::string& Path) override { return Inner_.PathExists(Path); }
    uint32_t Permissions(const std::string& Path) override { return Inner_.Permissions(Path); }
    void Rename(const std::string& From, const std::string& To) override { Inner_.Rename(From, To); }
    void Remove(const std::string& Path) override { Inner_.Remove(Path); }

private:
    struct TStream : TFileStream {
        explicit TStream(std::unique_ptr<TFileStream> Inner) : Inner_(std::move(Inner)) {}
        size_t ReadAt(uint64_t Offset, void* Buffer, size_t Count) override
        {
            return Inner_->ReadAt(Offset, Buffer, Count);
        }
        void WriteAt(uint64_t Offset, const void* Data, size_t Count) override
        {
            if (Offset + Count > (64u << 20))
                throw EError("write past 64 MiB at offset " + std::to_string(Offset));
            Inner_->WriteAt(Offset, Data, Count);
        }
        uint64_t Size() override { return Inner_->Size(); }
        void Sync() override { Inner_->Sync(); }
        std::unique_ptr<TFileStream> Inner_;
    };
    TFileSystem& Inner_;
};

std::string Repeat(const std::string& Text, int Count)
{
    std::string out;
    for (int i = 0; i < Count; ++i)
        out += Text;
    return out;
}

// Nobody holds the file any more: an exclusive open succeeds.
void ExpectReleased(TMemoryFileSystem& Files, const std::string& Path)
{
    if (Files.Has(Path)) {
        EXPECT_NO_THROW(Files.Open(Path, TFileAccess::ReadWrite, TFileShare::Exclusive)) << Path << " is still held";
    }
}

// No table write before the memo writes ahead of it are on the disk, no
// record count before the records it counts, and, when the run ended, the
// table on the disk too.
void ExpectSyncedInOrder(const std::vector<TFileEvent>& Events, const TMemTable& T, bool Ended)
{
    bool memoUnsynced = false, tableUnsynced = false;
    for (size_t i = 0; i < Events.size(); ++i) {
        const TFileEvent& e = Events[i];
        const bool memo = e.Path == T.MemoPath;
        if (e.Kind == TFileEvent::Sync) {
            (memo ? memoUnsynced : tableUnsynced) = false;
        } else if (memo) {
            memoUnsynced = true;
        } else if (e.Path == T.TablePath) {
            ASSERT_FALSE(memoUnsynced) << "table write " << i << " at " << e.Offset << " before the memo sync";
            if (e.Offset < 8) {
                ASSERT_FALSE(tableUnsynced) << "record count written before the records";
            }
            tableUnsynced = true;
        }
    }
    if (Ended) {
        EXPECT_FALSE(tableUnsynced || memoUnsynced) << "a run ended with writes not on the disk";
    }
}

TEST(DurableOrder, RewriteAndLoadOfATableLargerThanTheCacheSyncTextsBeforeReferences)
{
    // Several megabytes of records, so the table's pages go out while the
    // run goes on, not only when it ends; the load appends records too.
    // The table's references go out as stores into a mapping of it, or,
    // where the file system gives none, as positional writes: in order
    // either way.
    TMemTable t;
    TTableSpec layout;
    layout.Fields = {{"ID", 'C', 100}, {"NOTES", 'M', 10}};
    TMemoBuilder memo{64};
    std::string text = "NOTES\r\n";
    for (int r = 0; r < 30000; ++r) {
        layout.Records.push_back(
            {"r" + std::to_string(r), r % 5 ? MemoRef(memo.Add("text " + std::to_string(r))) : ""});
        text += "loaded " + std::to_string(r) + "\r\n";
    }
    for (int r = 0; r < 2000; ++r)
        text += "appended " + std::to_string(r) + "\r\n";
    for (bool mappable : {true, false}) {
        SCOPED_TRACE(mappable ? "mappable" : "not mappable");
        t.Put(layout, memo);
        t.Files.Mappable = mappable;
        t.Files.SetFile(TextPath, text);
        for (Handler click : {&TfmMain::btAutoClick, &TfmMain::btLoadClick}) {
            TFaultFileSystem disk(t.Files);
            TFakePort port = PortOn(t.TablePath, "NOTES");
            port.DialogAnswers = {TextPath};
            TfmMain(port, disk).Run(click);
            ASSERT_EQ(port.Errors(), std::vector<std::string>{});
            ASSERT_GT(disk.Events.size(), 100u);
            ExpectSyncedInOrder(disk.Events, t, true);
            size_t stores = 0, appends = 0;
            for (const TFileEvent& e : disk.Events) {
                if (e.Path == t.TablePath && e.Kind == TFileEvent::Write) {
                    EXPECT_FALSE(e.Mapped && e.Offset >= uint64_t{HeaderSizeOf(layout)} + 30000u * RecordSizeOf(layout))
                        << "a record appended during the run went into the mapping";
                    ++(e.Mapped ? stores : appends);
                }
            }
            EXPECT_EQ(stores > 0, mappable && !PositionalWritesForced()) << stores << " stores into the mapping";
            EXPECT_GT(appends + stores, 100u);
            EXPECT_EQ(t.Files.Info(t.TablePath).Mappings, 0) << "the run ended holding a view of the table";
        }
        EXPECT_EQ(ReadLe32(t.Table(), 4), 32000u);
    }
}

// --- Damaged tables through every operation ---------------------------------

struct TRunResult {
    std::string Caption, Errors, Memo, Table, MemoFile, Text;
};

// A table of three records (an intact text, a reference to damage, a blank
// one) that each test damages, then runs every operation on, each from the
// damaged files as they were.
class DamagedTable : public ::testing::Test {
protected:
    TMemTable t;
    TTableSpec layout;
    TMemoBuilder memo{64};
    uint32_t intact = memo.Add("intact text");
    std::string table0, memo0;
    // Two lines go to records 0 and 1, one blank line passes record 2, and
    // the last line adds record 3.
    std::string loadText = "NOTES\tID\r\nloaded 0\tL0\r\nloaded 1\tL1\r\n\r\nloaded 3\tL3\r\n";

    void SetUp() override { layout.Fields = {{"ID", 'C', 4}, {"NOTES", 'M', 10}}; }
    void Records(const std::string& Damaged)
    {
        layout.Records = {{"r0", MemoRef(intact)}, {"r1", Damaged}, {"r2", ""}};
    }
    void Build(const std::function<void(std::string& Table, std::string& Memo)>& Damage = {})
    {
        table0 = BuildTable(layout);
        memo0 = memo.Bytes();
        if (Damage)
            Damage(table0, memo0);
    }

    TRunResult Run(Handler Click, bool All = false)
    {
        t.Files.SetFile(t.TablePath, table0);
        t.Files.SetFile(t.MemoPath, memo0);
        t.Files.SetFile(TextPath, loadText);
        TBoundedFileSystem disk(t.Files);
        TFakePort port;
        port.FileName = t.TablePath;
        port.All = All;
        port.DialogAnswers = {TextPath};
        TfmMain form(port, disk);
        if (Click != &TfmMain::btInfoClick)
            form.Run(&TfmMain::btInfoClick);
        form.Run(Click);
        EXPECT_EQ(port.Cursor, TCursor::Default);
        for (const std::string& path : {t.TablePath, t.MemoPath, TextPath})
            ExpectReleased(t.Files, path);
        TRunResult result{port.Caption, Join(port.Errors(), "|"), port.Memo, t.Table(),
                          t.Memo(),     t.Files.File(TextPath)};
        EXPECT_LT(result.Table.size() + result.MemoFile.size() + result.Text.size(), 1u << 20);
        return result;
    }
    // Every operation once, each checked as Run checks them all.
    void RunEach()
    {
        for (Handler click : {&TfmMain::btInfoClick, &TfmMain::btSaveClick, &TfmMain::btClearClick,
                              &TfmMain::btAutoClick, &TfmMain::btLoadClick})
            Run(click);
        Run(&TfmMain::btClearClick, true);
    }
    static std::string Join(const std::vector<std::string>& Pieces, const std::string& Separator)
    {
        std::string out;
        for (const std::string& piece : Pieces)
            out += (out.empty() ? "" : Separator) + piece;
        return out;
    }

    // The check command's diagnosis of NOTES, record by record.
    std::vector<TMemoRefState> Inspect(const TRunResult& Files)
    {
        TMemoryFileSystem files;
        files.SetFile(t.TablePath, Files.Table);
        files.SetFile(t.MemoPath, Files.MemoFile);
        TDBFLite db(files);
        db.OpenTable(t.TablePath, true);
        std::vector<TMemoRefState> states;
        const int notes = db.FieldIndex("NOTES");
        for (int32_t r = 0; r < db.RecordsInFile(); ++r)
            states.push_back(db.InspectMemo(r, notes).State);
        return states;
    }
    TRunResult Damaged() const { return {"", "", "", table0, memo0, ""}; }
    std::string ReadBack(const TRunResult& Files, int32_t RecNo)
    {
        TMemoryFileSystem files;
        files.SetFile(t.TablePath, Files.Table);
        files.SetFile(t.MemoPath, Files.MemoFile);
        TDBFLite db(files);
        db.OpenTable(t.TablePath, true);
        return db.ReadMemo(RecNo, db.FieldIndex("NOTES"));
    }
    uint32_t RecordCount(const TRunResult& Files) const { return ReadLe32(Files.Table, 4); }
};

using S = TMemoRefState;
std::string LayoutRefused(int RecordSize)
{
    return "Длины полей таблицы \"/data/T.DBF\" не совпадают с длиной записи (" + std::to_string(RecordSize) +
           "): таблица повреждена, запись в неё невозможна";
}
const std::string Cleared = "MEMO поля очищены.";
const std::string Rewritten = "MEMO поля переписаны.";
const std::string Saved = "MEMO поля сохранены.";
const std::string LoadedAll = "MEMO поля загружены.";

TEST_F(DamagedTable, MemoLengthOf4GiBAndBlockNumbersNear2To31ReadOnlyWhatTheFileHolds)
{
    const uint32_t cut = memo.AddWithLength("cut short", 0xFFFFFFFFu);
    layout.Records = {{"r0", MemoRef(intact)}, {"r1", MemoRef(cut)}, {"r2", MemoRef(2147483600u)}, {"r3", ""}};
    Build();
    RunEach();
    EXPECT_EQ(Inspect(Damaged()), (std::vector<S>{S::Text, S::RunsPastEnd, S::PastEnd, S::Empty}));
    EXPECT_EQ(Run(&TfmMain::btInfoClick).Caption, "MEMO полей: 1");

    const TRunResult save = Run(&TfmMain::btSaveClick);
    EXPECT_EQ(save.Caption, Saved);
    EXPECT_EQ(save.Text, "NOTES\r\nintact text\r\ncut short\r\n\r\n\r\n");

    // Only the reference that leads nowhere reads as blank.
    const TRunResult clear = Run(&TfmMain::btClearClick);
    EXPECT_EQ(clear.Caption, Cleared);
    EXPECT_EQ(Inspect(clear), (std::vector<S>{S::Text, S::RunsPastEnd, S::Empty, S::Empty}));
    EXPECT_EQ(Inspect(Run(&TfmMain::btClearClick, true)), (std::vector<S>(4, S::Empty)));

    // The cut text is stored whole at its true length; nothing is read or
    // written for the claimed 4 GiB.
    const TRunResult rewrite = Run(&TfmMain::btAutoClick);
    EXPECT_EQ(rewrite.Caption, Rewritten);
    EXPECT_EQ(Inspect(rewrite), (std::vector<S>{S::Text, S::Text, S::Empty, S::Empty}));
    EXPECT_EQ(ReadBack(rewrite, 1), "cut short");
    EXPECT_EQ(rewrite.MemoFile.size(), memo0.size() + 2 * 64);

    const TRunResult load = Run(&TfmMain::btLoadClick);
    EXPECT_EQ(load.Caption, LoadedAll);
    EXPECT_EQ(ReadBack(load, 1), "loaded 1");
    EXPECT_EQ(ReadBack(load, 2), "");  // the blank line left record 2 as it was
    EXPECT_EQ(ReadBack(load, 3), "loaded 3");
}

TEST_F(DamagedTable, RecordCountOf2To31Minus1OverAShortFileVisitsTheRecordsItHolds)
{
    Records(MemoRef(intact));
    layout.RecordCountOverride = 0x7FFFFFFF;
    Build();
    RunEach();
    EXPECT_EQ(Inspect(Damaged()).size(), 3u);
    EXPECT_EQ(Run(&TfmMain::btSaveClick).Text, "NOTES\r\nintact text\r\nintact text\r\n\r\n");
    const TRunResult clear = Run(&TfmMain::btClearClick, true);
    EXPECT_EQ(clear.Caption, Cleared);
    EXPECT_EQ(clear.Table.size(), table0.size());
    EXPECT_EQ(Run(&TfmMain::btAutoClick).Caption, Rewritten);

    // Appending starts after the records the file holds, and the header
    // then counts them.
    const TRunResult load = Run(&TfmMain::btLoadClick);
    EXPECT_EQ(load.Caption, LoadedAll);
    EXPECT_EQ(RecordCount(load), 4u);
    EXPECT_EQ(load.Table.size(), HeaderSizeOf(layout) + 4u * RecordSizeOf(layout) + 1);
    EXPECT_EQ(ReadBack(load, 3), "loaded 3");
}

TEST_F(DamagedTable, HeaderSizesOf0And1GiveNoFieldsAnd65535NoRecords)
{
    Records(MemoRef(intact));
    for (const uint16_t headerSize : {uint16_t{0}, uint16_t{1}}) {
        SCOPED_TRACE(headerSize);
        Build([&](std::string& Table, std::string&) { PutLe16(Table, 8, headerSize); });
        RunEach();
        const TRunResult info = Run(&TfmMain::btInfoClick);
        EXPECT_EQ(info.Caption, "MEMO полей: 0");
        EXPECT_EQ(info.Memo, "");
        EXPECT_EQ(Run(&TfmMain::btSaveClick).Caption, Saved);
        for (Handler click : {&TfmMain::btClearClick, &TfmMain::btAutoClick})
            EXPECT_EQ(Run(click).Table, table0);  // nothing selected, nothing written
        const TRunResult load = Run(&TfmMain::btLoadClick);
        EXPECT_EQ(load.Memo, "Поле не найдено \"ID\"");
        EXPECT_EQ(load.Table, table0);
        EXPECT_EQ(load.MemoFile, memo0);
    }

    Build([](std::string& Table, std::string&) { PutLe16(Table, 8, 65535); });
    RunEach();
    EXPECT_EQ(Run(&TfmMain::btInfoClick).Memo, "NOTES");  // the list still ends at its terminator
    EXPECT_TRUE(Inspect(Damaged()).empty());
    EXPECT_EQ(Run(&TfmMain::btSaveClick).Text, "NOTES\r\n");
    for (Handler click : {&TfmMain::btClearClick, &TfmMain::btAutoClick})
        EXPECT_EQ(Run(click).Table, table0);
    // Records go where the header says they start.
    const TRunResult load = Run(&TfmMain::btLoadClick);
    EXPECT_EQ(load.Caption, LoadedAll);
    EXPECT_EQ(RecordCount(load), 4u);
    EXPECT_EQ(load.Table.size(), 65535u + 4 * RecordSizeOf(layout) + 1);
    EXPECT_EQ(ReadBack(load, 0), "loaded 0");
}

TEST_F(DamagedTable, RecordSizesOf0And65535)
{
    Records(MemoRef(intact));
    Build([](std::string& Table, std::string&) { PutLe16(Table, 10, 0); });
    RunEach();
    EXPECT_TRUE(Inspect(Damaged()).empty());
    EXPECT_EQ(Run(&TfmMain::btSaveClick).Text, "NOTES\r\n");
    for (Handler click : {&TfmMain::btClearClick, &TfmMain::btAutoClick})
        EXPECT_EQ(Run(click).Table, table0);
    // The fields do not add up to a record of no bytes, nor to one of 64
    // KiB: the table is read, but nothing is written to it.
    const TRunResult refused = Run(&TfmMain::btLoadClick);
    EXPECT_EQ(refused.Memo, LayoutRefused(0));
    EXPECT_EQ(refused.Table, table0);
    EXPECT_EQ(refused.MemoFile, memo0);

    Build([](std::string& Table, std::string&) { PutLe16(Table, 10, 65535); });
    RunEach();
    EXPECT_EQ(Inspect(Damaged()), (std::vector<S>{S::Text}));
    EXPECT_EQ(Run(&TfmMain::btSaveClick).Text, "NOTES\r\nintact text\r\n");
    for (Handler click : {&TfmMain::btClearClick, &TfmMain::btAutoClick}) {
        const TRunResult run = Run(click, true);
        EXPECT_EQ(run.Caption, LayoutRefused(65535));
        EXPECT_EQ(run.Table, table0);
    }
    const TRunResult load = Run(&TfmMain::btLoadClick);
    EXPECT_EQ(load.Memo, LayoutRefused(65535));
    EXPECT_EQ(load.Table, table0);
    EXPECT_EQ(load.MemoFile, memo0);
}

TEST_F(DamagedTable, FieldSizeOf0HoldsNoReferenceAndTakesNone)
{
    layout.Fields = {{"ID", 'C', 4}, {"EMPTY", 'M', 0}, {"NOTES", 'M', 10}};
    layout.Records = {{"r0", "", MemoRef(intact)}, {"r1", "", ""}};
    Build();
    RunEach();
    EXPECT_EQ(Run(&TfmMain::btInfoClick).Memo, "EMPTY\r\nNOTES");
    EXPECT_EQ(Run(&TfmMain::btSaveClick).Text, "EMPTY\tNOTES\r\n\tintact text\r\n\t\r\n");
    EXPECT_EQ(Run(&TfmMain::btClearClick).Table, table0);
    EXPECT_EQ(Inspect(Run(&TfmMain::btClearClick, true)), (std::vector<S>{S::Empty, S::Empty}));
    const TRunResult rewrite = Run(&TfmMain::btAutoClick);
    EXPECT_EQ(rewrite.Caption, Rewritten);
    EXPECT_EQ(ReadBack(rewrite, 0), "intact text");
    // A text cannot be referred to from no bytes: refused before anything
    // is written.
    loadText = "EMPTY\r\nsome text\r\n";
    const TRunResult load = Run(&TfmMain::btLoadClick);
    EXPECT_EQ(load.Memo.rfind("Поле \"EMPTY\" слишком узкое для номера блока ", 0), 0u) << load.Memo;
    EXPECT_EQ(load.Table, table0);
    EXPECT_EQ(load.MemoFile, memo0);
}

TEST_F(DamagedTable, BlockSizeOf0IsRefusedAndOf1Works)
{
    Records(MemoRef(intact));
    Build([](std::string&, std::string& Memo) { Memo[6] = Memo[7] = 0; });
    RunEach();
    // Every reference leads to the header, where no run starts.
    EXPECT_EQ(Inspect(Damaged()), (std::vector<S>{S::NotAStart, S::NotAStart, S::Empty}));
    EXPECT_EQ(Run(&TfmMain::btSaveClick).Text, "NOTES\r\n\r\n\r\n\r\n");
    // Clearing the damaged ones would clear them all; rewriting would blank them.
    for (Handler click : {&TfmMain::btClearClick, &TfmMain::btAutoClick}) {
        const TRunResult run = Run(click);
        EXPECT_EQ(run.Caption, "Размер блока MEMO файла равен 0.");
        EXPECT_EQ(run.Table, table0);
    }
    EXPECT_EQ(Inspect(Run(&TfmMain::btClearClick, true)), (std::vector<S>(3, S::Empty)));
    const TRunResult load = Run(&TfmMain::btLoadClick);
    EXPECT_EQ(load.Memo, "Неверный размер блока (0) в заголовке MEMO файла \"/data/T.FPT\"");
    EXPECT_EQ(load.Table, table0);
    EXPECT_EQ(load.MemoFile, memo0);

    memo = TMemoBuilder(1);
    intact = memo.Add("intact text");
    Records(MemoRef(intact));
    Build();
    RunEach();
    EXPECT_EQ(Inspect(Damaged()), (std::vector<S>{S::Text, S::Text, S::Empty}));
    const TRunResult rewrite = Run(&TfmMain::btAutoClick);
    EXPECT_EQ(rewrite.MemoFile.size(), memo0.size() + 2 * (8 + 11));
    EXPECT_EQ(ReadBack(rewrite, 1), "intact text");
    EXPECT_EQ(ReadBack(Run(&TfmMain::btLoadClick), 3), "loaded 3");
}

TEST_F(DamagedTable, MemoFileShorterThanItsHeader)
{
    Records(MemoRef(intact));
    Build([](std::string&, std::string& Memo) { Memo.resize(20); });
    RunEach();
    EXPECT_EQ(Inspect(Damaged()), (std::vector<S>{S::PastEnd, S::PastEnd, S::Empty}));
    EXPECT_EQ(Run(&TfmMain::btSaveClick).Text, "NOTES\r\n\r\n\r\n\r\n");
    EXPECT_EQ(Inspect(Run(&TfmMain::btClearClick)), (std::vector<S>(3, S::Empty)));
    const TRunResult rewrite = Run(&TfmMain::btAutoClick);
    EXPECT_EQ(rewrite.MemoFile, memo0);
    EXPECT_EQ(Inspect(rewrite), (std::vector<S>(3, S::Empty)));
    // New texts go after the header's 512 bytes, the rest of it kept.
    const TRunResult load = Run(&TfmMain::btLoadClick);
    EXPECT_EQ(load.Caption, LoadedAll);
    EXPECT_EQ(ReadBack(load, 0), "loaded 0");
    EXPECT_EQ(load.MemoFile.substr(4, 16), memo0.substr(4, 16));
    EXPECT_GE(ReadBe32(load.MemoFile, 0) * 64, load.MemoFile.size());
}

// Found by fuzz_operations: a header whose next free block lay near 4 GiB
// sent the first rewritten text there, and a 4 GiB length elsewhere then read
// the gap as a 2 GiB text. New texts now go to the end of the file when the
// header's block lies more than 16 MiB past it.
TEST_F(DamagedTable, NextFreeBlockFarPastTheEndOfTheFile)
{
    memo = TMemoBuilder(768);
    intact = memo.Add("intact text");
    Records(MemoRef(memo.AddWithLength("cut", 0xFFFFFFFFu)));
    Build([](std::string&, std::string& Memo) { PutBe32(Memo, 0, 5047296); });
    RunEach();
    const TRunResult rewrite = Run(&TfmMain::btAutoClick);
    EXPECT_EQ(rewrite.Caption, Rewritten);
    EXPECT_EQ(rewrite.MemoFile.size(), memo0.size() + 2 * 768);
    EXPECT_EQ(ReadBack(rewrite, 0), "intact text");
    EXPECT_EQ(ReadBack(rewrite, 1), "cut");

    // Within 16 MiB of the end the header's block is where new texts go.
    Build([](std::string&, std::string& Memo) { PutBe32(Memo, 0, 100); });
    RunEach();
    const TRunResult near = Run(&TfmMain::btAutoClick);
    EXPECT_EQ(near.MemoFile.size(), 102u * 768);
    EXPECT_EQ(ReadBack(near, 0), "intact text");
}

// Found by fuzz_operations: a reference past the end of the memo file that
// named the block where Rewrite then stored another record's text took that
// text for its own. Past the end of the file as it was opened, a reference
// reads only the run written for it.
TEST_F(DamagedTable, ADanglingReferenceNeverTakesUpATextRewrittenForAnotherRecord)
{
    Records(MemoRef(memo.NextBlock()));
    Build();
    RunEach();
    EXPECT_EQ(Inspect(Damaged()), (std::vector<S>{S::Text, S::PastEnd, S::Empty}));
    const TRunResult rewrite = Run(&TfmMain::btAutoClick);
    EXPECT_EQ(rewrite.Caption, Rewritten);
    EXPECT_EQ(Inspect(rewrite), (std::vector<S>{S::Text, S::Empty, S::Empty}));
    EXPECT_EQ(ReadBack(rewrite, 0), "intact text");
    EXPECT_EQ(rewrite.MemoFile.size(), memo0.size() + 64);
}

// --- A disk that fails at any read or write ---------------------------------

// Three hundred records with texts of every kind (some over the 16 KiB that
// go past the cache, blank ones, dangling references), run once for every
// read and write of an operation with that one failing (half written, when
// a write). Every run must report the failure, release the files and the
// The classic damage: one record a byte too long, so every later record is
// read a byte early and its memo reference names a block in the middle of
// some text, whose bytes would read as a length of up to 4 GiB. Save's
// output and Rewrite's growth stay proportional to the texts the
// references really lead to.
TEST(SlippedTable, SaveAndRewriteStayProportionalToTheFiles)
{
    struct TCase {
        const char* What;
        uint16_t RefWidth, BlockSize;
    };
    const TCase cases[] = {{"text references, 64-byte blocks", 10, 64},
                           {"text references, 512-byte blocks", 10, 512},
                           {"binary references", 4, 64}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        TMemTable t;
        TMemoBuilder memo(c.BlockSize);
        TTableSpec spec;
        spec.Fields = {{"NAME", 'C', 10}, {"NOTES", 'M', c.RefWidth}};
        for (int r = 0; r < 400; ++r) {
            std::string text;
            for (int i = 0; i < 5 + r % 40; ++i)
                text += "Words of record " + std::to_string(r) + ", ";
            const uint32_t block = memo.Add(text);
            spec.Records.push_back({"n" + std::to_string(r), c.RefWidth == 4 ? BinaryMemoRef(block) : MemoRef(block)});
        }
        spec.LongRecord = 0;
        t.Put(spec, memo);
        const uint64_t files = t.Table().size() + t.Memo().size();
        const uint64_t memoSize = t.Memo().size();

        TBoundedFileSystem disk(t.Files);
        TFakePort port = PortOn(t.TablePath, "NOTES");
        port.DialogAnswers = {std::string("/data/out.txt")};
        TfmMain form(port, disk);
        form.Run(&TfmMain::btSaveClick);
        EXPECT_EQ(port.Caption, "MEMO поля сохранены.");
        const std::string saved = t.Files.File("/data/out.txt");
        EXPECT_LT(saved.size(), 4 * files);
        EXPECT_EQ(saved.rfind("NOTES\r\nWords of record 0, ", 0), 0u);  // the record before the slip

        form.Run(&TfmMain::btAutoClick);
        EXPECT_EQ(port.Caption, "MEMO поля переписаны.");
        EXPECT_LT(t.Memo().size() - memoSize, 3 * memoSize);
        EXPECT_EQ(port.Errors(), std::vector<std::string>{});
    }
}

// cursor, and leave the files consistent.
class FailingDisk : public ::testing::Test {
protected:
    static constexpr int Records = 300;
    static constexpr int Lines = Records + 40;
    TMemTable t;
    TTableSpec layout;
    std::string table0, memo0, text0;
    std::vector<std::string> before[3];  // what ReadMemo gave, per memo field

    void SetUp() override
    {
        // Records of 271 bytes: the table spans two cache pages.
        layout.Fields = {{"ID", 'C', 250}, {"NOTES", 'M', 10}, {"MORE", 'M', 10}};
        TMemoBuilder memo(64);
        for (int r = 0; r < Records; ++r) {
            std::string notes;
            switch (r % 10) {
            case 0: notes = MemoRef(memo.Add(std::string(16500 + 97 * r, static_cast<char>('a' + r % 26)))); break;
            case 3: notes = MemoRef(memo.Add(" \r\n\t ")); break;
            case 5: notes = MemoRef(9000000); break;
            case 7: break;
            default: notes = MemoRef(memo.Add("notes of record " + std::to_string(r)));
            }
            const std::string more = r % 4 == 0 ? MemoRef(memo.Add(Repeat("more ", r))) : "";
            layout.Records.push_back({"R" + std::to_string(r), notes, more});
        }
        table0 = BuildTable(layout);
        memo0 = memo.Bytes();
        text0 = "ID\tNOTES\tMORE\r\n";
        for (int r = 0; r < Lines; ++r)
            text0 += r == 150 ? "\r\n"
                              : "L" + std::to_string(r) + "\t" + *Loaded(r, 1) +
                                    (Loaded(r, 2) ? "\t" + *Loaded(r, 2) : "") + "\r\n";

        t.Files.SetFile(t.TablePath, table0);
        t.Files.SetFile(t.MemoPath, memo0);
        TDBFLite db(t.Files);
        db.OpenTable(t.TablePath, true);
        for (int f : {1, 2})
            for (int r = 0; r < Records; ++r)
                before[f].push_back(db.ReadMemo(r, f));
    }

    // The value line RecNo of the load file gives field FieldNo, if any.
    static std::optional<std::string> Loaded(int RecNo, int FieldNo)
    {
        if (RecNo == 150)
            return std::nullopt;
        if (FieldNo == 2)
            return RecNo % 3 == 0 ? std::optional<std::string>("more " + std::to_string(RecNo)) : std::nullopt;
        if (RecNo % 7 == 0)
            return std::string(17000 + RecNo, 'L');
        return RecNo % 7 == 3 ? std::string() : "loaded " + std::to_string(RecNo);
    }

    using TAllowed = std::function<bool(int32_t RecNo, int FieldNo, const std::string& Text)>;

    // Runs Click once for each read and write it makes, that one failing,
    // and once more with none failing; checks every run.
    void FailEachStep(Handler Click, bool All, const std::string& Done, const TAllowed& Allowed)
    {
        static const std::set<std::string> diskErrors = {"Stream read error.",
                                                         "Stream write error.",
                                                         "I/O error 23.",
                                                         "Disk full.",
                                                         "Ошибка чтения заголовка MEMO файла \"/data/T.FPT\".",
                                                         "Ошибка чтения заголовка файла \"/data/T.DBF\"",
                                                         "Ошибка чтения информации о полях файла \"/data/T.DBF\""};
        for (long failAt = 1;; ++failAt) {
            SCOPED_TRACE("read or write " + std::to_string(failAt) + " failing");
            ASSERT_LT(failAt, 20000);
            t.Files.SetFile(t.TablePath, table0);
            t.Files.SetFile(t.MemoPath, memo0);
            t.Files.SetFile(TextPath, text0);
            TFaultFileSystem faults(t.Files);
            faults.PartialWrites = true;
            faults.FailAt = failAt;
            TFakePort port = PortOn(t.TablePath, "NOTES\r\nMORE");
            port.All = All;
            port.DialogAnswers = {Click == &TfmMain::btSaveClick ? "/data/OUT.txt" : TextPath};
            TfmMain(port, faults).Run(Click);

            EXPECT_EQ(port.Cursor, TCursor::Default);
            ExpectSyncedInOrder(faults.Events, t, !faults.Failed);
            for (const std::string& path : {t.TablePath, t.MemoPath, TextPath, std::string("/data/OUT.txt")})
                ExpectReleased(t.Files, path);
            EXPECT_EQ(t.Files.Info(t.TablePath).Mappings, 0) << "a view of the table outlived the run";
            ExpectConsistent(Allowed);
            if (Click == &TfmMain::btSaveClick) {
                EXPECT_EQ(t.Table(), table0);
                EXPECT_EQ(t.Memo(), memo0);
            }
            if (!faults.Failed) {
                EXPECT_EQ(port.Caption, Done);
                EXPECT_EQ(port.Errors(), std::vector<std::string>{});
                return;
            }
            ASSERT_EQ(port.Errors().size(), 1u) << "the failure did not reach the user";
            EXPECT_EQ(diskErrors.count(port.Errors()[0]), 1u) << port.Errors()[0];
            EXPECT_NE(port.Caption, Done);
            if (::testing::Test::HasFailure())
                return;
        }
    }

    // The header counts only records written whole (none holds a zero
    // byte, which only a half-written record would); every memo reference
    // reads a text Allowed accepts; every new reference lies wholly below the
    // memo header's next free block.
    void ExpectConsistent(const TAllowed& Allowed)
    {
        const std::string table = t.Table(), memo = t.Memo();
        const size_t header = HeaderSizeOf(layout), record = RecordSizeOf(layout);
        const uint32_t count = ReadLe32(table, 4);
        ASSERT_LE(header + count * record, table.size());
        ASSERT_GE(count, static_cast<uint32_t>(Records));
        const uint32_t next = ReadBe32(memo, 0);
        ASSERT_EQ(table.substr(header, count * record).find('\0'), std::string::npos) << "a record not written whole";
        TDBFLite db(t.Files);
        db.OpenTable(t.TablePath, true);
        for (int32_t r = 0; r < static_cast<int32_t>(count); ++r) {
            for (int f : {1, 2}) {
                const std::string text = db.ReadMemo(r, f);
                ASSERT_TRUE(Allowed(r, f, text)) << "record " << r << " field " << f << " reads " << text.substr(0, 40);
                const std::string ref = db.ReadRaw(r, f);
                if (IsBlank(ref) ||
                    (r < Records && ref == table0.substr(header + r * record + db.Fields()[f].Offset, 10)))
                    continue;
                const uint32_t block = static_cast<uint32_t>(std::stoul(ref));
                const uint32_t length = ReadBe32(memo, block * 64u + 4);
                ASSERT_LE(block + (8 + length + 63) / 64, next) << "record " << r << " field " << f;
            }
        }
    }
};

TEST_F(FailingDisk, Clear)
{
    for (bool all : {false, true}) {
        SCOPED_TRACE(all ? "all" : "damaged only");
        FailEachStep(&TfmMain::btClearClick, all, Cleared,
                     [&](int32_t r, int f, const std::string& text) { return text == before[f][r] || text.empty(); });
    }
}

TEST_F(FailingDisk, Rewrite)
{
    FailEachStep(&TfmMain::btAutoClick, false, Rewritten,
                 [&](int32_t r, int f, const std::string& text) { return text == before[f][r]; });
}

TEST_F(FailingDisk, Save)
{
    // Saving only reads: the table and the memo file stay as they were.
    FailEachStep(&TfmMain::btSaveClick, false, Saved,
                 [&](int32_t r, int f, const std::string& text) { return text == before[f][r]; });
}

TEST_F(FailingDisk, Load)
{
    FailEachStep(&TfmMain::btLoadClick, false, LoadedAll, [&](int32_t r, int f, const std::string& text) {
        const std::optional<std::string> loaded = Loaded(r, f);
        return text == (r < Records ? before[f][r] : std::string()) || (loaded && text == *loaded);
    });
}

}  // namespace
