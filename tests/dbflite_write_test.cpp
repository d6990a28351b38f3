// Writing fields, records and memo runs, checked against the bytes on "disk".
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>

#include "dbflite.h"
#include "fixtures.h"

namespace {

TTableSpec Sample()
{
    TTableSpec spec;
    spec.Fields = {{"NAME", 'C', 10}, {"QTY", 'N', 10}, {"SHORT", 'N', 3}, {"NOTES", 'M', 10}, {"DAY", 'D', 8}};
    spec.Records = {{"first", "1", "1", "", "20051231"}, {"second", "2", "2", "", "20060101"}};
    return spec;
}

// The bytes of field FieldNo of record RecNo in the table file, once what the
// table holds back is written out.
std::string FieldBytes(const TMemTable& t, TDBFLite& db, int RecNo, int FieldNo)
{
    db.Flush();
    const auto& f = db.Fields()[static_cast<size_t>(FieldNo)];
    return t.Table().substr(
        db.HeaderSize() + static_cast<size_t>(db.RecordSize()) * static_cast<size_t>(RecNo) + f.Offset, f.Size);
}

class WriteTest : public ::testing::Test {
protected:
    TMemTable t;
    TMemoBuilder memo{64};
    TTableSpec spec = Sample();
    TDBFLite db{t.Files};

    void Open()
    {
        t.Put(spec, memo);
        db.OpenTable(t.TablePath, false);
    }
    // The files as they are on disk after the table writes out what it holds.
    std::string TableBytes()
    {
        db.Flush();
        return t.Table();
    }
    std::string MemoBytes()
    {
        db.Flush();
        return t.Memo();
    }
};

}  // namespace

TEST_F(WriteTest, RawValuesArePaddedAndCut)
{
    Open();
    db.WriteRaw(0, 0, "abc");
    EXPECT_EQ(FieldBytes(t, db, 0, 0), "abc       ");
    db.WriteRaw(0, 0, "123456789012");
    EXPECT_EQ(FieldBytes(t, db, 0, 0), "1234567890");
    db.WriteRaw(1, 0, "");
    EXPECT_EQ(FieldBytes(t, db, 1, 0), std::string(10, ' '));
    EXPECT_EQ(db.ReadRaw(0, 0), "1234567890");         // reads see the write at once
    EXPECT_EQ(FieldBytes(t, db, 0, 1), "1         ");  // the neighbour is untouched
}

TEST_F(WriteTest, WritingOnePastTheEndAppendsABlankRecord)
{
    Open();
    const size_t before = TableBytes().size();
    db.WriteRaw(2, 1, "77");
    EXPECT_EQ(db.RecordCount(), 3);
    const std::string table = TableBytes();
    EXPECT_EQ(table.size(), before + db.RecordSize());
    EXPECT_EQ(ReadLe32(table, 4), 3u);
    EXPECT_EQ(table.back(), '\x1A');
    EXPECT_EQ(FieldBytes(t, db, 2, 0), std::string(10, ' '));
    EXPECT_EQ(FieldBytes(t, db, 2, 1), "77        ");
    EXPECT_EQ(table[db.HeaderSize() + 2u * db.RecordSize()], ' ');  // deletion flag
}

TEST_F(WriteTest, WritingFurtherPastTheEndAppendsEveryRecordInBetween)
{
    Open();
    db.WriteRaw(5, 0, "far");
    EXPECT_EQ(db.RecordCount(), 6);
    EXPECT_EQ(ReadLe32(TableBytes(), 4), 6u);
    EXPECT_EQ(TableBytes().size(), db.HeaderSize() + 6u * db.RecordSize() + 1);
    EXPECT_EQ(FieldBytes(t, db, 4, 0), std::string(10, ' '));
    EXPECT_EQ(ExpectError([&] { db.WriteRaw(-1, 0, "x"); }), "Номер записи должен быть больше или равен 0");
}

TEST_F(WriteTest, FieldNumbersAreCheckedByEveryWrite)
{
    Open();
    const std::string table = TableBytes();
    EXPECT_EQ(ExpectError([&] { db.WriteRaw(0, -1, "x"); }), "Номер поля должен быть больше или равен 0");
    EXPECT_EQ(ExpectError([&] { db.WriteValue(0, 5, "x"); }), "Номер поля должен быть меньше или равен 4");
    EXPECT_EQ(ExpectError([&] { db.WriteInteger(0, 9, 1); }), "Номер поля должен быть меньше или равен 4");
    EXPECT_EQ(ExpectError([&] { db.WriteMemo(0, -2, "x"); }), "Номер поля должен быть больше или равен 0");
    EXPECT_EQ(TableBytes(), table);
}

TEST_F(WriteTest, IntegersAreRightAlignedAndCut)
{
    Open();
    db.WriteInteger(0, 1, 42);
    EXPECT_EQ(FieldBytes(t, db, 0, 1), "        42");
    db.WriteInteger(0, 2, -7);
    EXPECT_EQ(FieldBytes(t, db, 0, 2), " -7");
    db.WriteInteger(1, 2, 123456);
    EXPECT_EQ(FieldBytes(t, db, 1, 2), "123");
    db.WriteInteger(1, 1, INT32_MIN);
    EXPECT_EQ(FieldBytes(t, db, 1, 1), "-214748364");
}

TEST_F(WriteTest, ValuesOfOtherTypesAreWrittenAsText)
{
    Open();
    const std::string shown = db.ReadValue(0, 4);
    db.WriteValue(0, 4, shown);
    EXPECT_EQ(FieldBytes(t, db, 0, 4), shown.substr(0, 8) + std::string(8 - std::min<size_t>(8, shown.size()), ' '));
    db.WriteValue(0, 1, "12.50");
    EXPECT_EQ(FieldBytes(t, db, 0, 1), "12.50     ");
}

TEST_F(WriteTest, MemoRunLayoutAndHeader)
{
    // Block 20 lies past the end of this small file, so it is where the run goes.
    memo.SetNextBlock(20);
    Open();
    ASSERT_EQ(db.MemoNextBlock(), 20u);

    const std::string text(100, 'x');
    db.WriteMemo(0, 3, text);
    const std::string m = MemoBytes();
    ASSERT_EQ(m.size(), 1280u + 128u);
    EXPECT_EQ(ReadBe32(m, 1280), 1u);    // type: text
    EXPECT_EQ(ReadBe32(m, 1284), 100u);  // length
    EXPECT_EQ(m.substr(1288, 100), text);
    EXPECT_EQ(m.substr(1388), std::string(20, '\0'));
    EXPECT_EQ(db.MemoNextBlock(), 22u);
    EXPECT_EQ(ReadBe32(m, 0), 22u);
    EXPECT_EQ(m[6], 0);
    EXPECT_EQ(m[7], 64);  // the rest of the header stays
    EXPECT_EQ(FieldBytes(t, db, 0, 3), "        20");
    EXPECT_EQ(db.ReadMemo(0, 3), text);
}

TEST_F(WriteTest, RunsAreWholeBlocks)
{
    Open();
    const uint32_t first = db.MemoNextBlock();
    db.WriteMemo(0, 3, std::string(56, 'a'));  // 8 + 56 = one block
    EXPECT_EQ(db.MemoNextBlock(), first + 1);
    db.WriteMemo(1, 3, std::string(57, 'b'));  // two
    EXPECT_EQ(db.MemoNextBlock(), first + 3);
    EXPECT_EQ(MemoBytes().size(), (first + 3) * 64u);
}

TEST_F(WriteTest, MemoTextsKeepTheirBlanksAndAnyLength)
{
    Open();
    const std::string padded = "  \r\nline one\r\n  ";
    db.WriteMemo(0, 3, padded);
    const uint32_t block = static_cast<uint32_t>(std::stoul(FieldBytes(t, db, 0, 3)));
    EXPECT_EQ(ReadBe32(MemoBytes(), block * 64u + 4), padded.size());
    EXPECT_EQ(db.ReadMemo(0, 3), "  \r\nline one");  // reading trims the end only

    std::string big(200000, 'q');
    big[100000] = '\xE9';
    db.WriteMemo(1, 3, big);  // far beyond a 16-bit length
    EXPECT_EQ(db.ReadMemo(1, 3), big);
}

TEST_F(WriteTest, BlankMemoTextsBlankTheReference)
{
    const uint32_t b = memo.Add("old");
    spec.Records[0][3] = MemoRef(b);
    Open();
    const std::string memoBefore = MemoBytes();
    db.WriteMemo(0, 3, " \t\r\n ");
    EXPECT_EQ(FieldBytes(t, db, 0, 3), std::string(10, ' '));
    EXPECT_EQ(MemoBytes(), memoBefore);
}

TEST_F(WriteTest, MemoWritesRefuseWhatTheyCannotStore)
{
    Open();
    const std::string table = TableBytes();
    const std::string memoBytes = MemoBytes();
    EXPECT_EQ(ExpectError([&] { db.WriteMemo(0, 0, "text"); }), "Неверный тип значения");

    std::string zeroBlocks = memoBytes;
    zeroBlocks[6] = zeroBlocks[7] = 0;
    t.Files.SetFile(t.MemoPath, zeroBlocks);
    db.CloseTable();
    db.OpenTable(t.TablePath, false);
    EXPECT_EQ(ExpectError([&] { db.WriteMemo(0, 3, "text"); }),
              "Неверный размер блока (0) в заголовке MEMO файла \"/data/T.FPT\"");
    EXPECT_EQ(MemoBytes(), zeroBlocks);
    EXPECT_EQ(TableBytes(), table);
    // A blank text needs no block: the reference is blanked all the same.
    db.WriteRaw(0, 3, "        12");
    db.WriteMemo(0, 3, " \r\n");
    EXPECT_EQ(FieldBytes(t, db, 0, 3), std::string(10, ' '));
    EXPECT_EQ(MemoBytes(), zeroBlocks);

    // Block numbers past what a reference or the memo file can hold are
    // refused by the plan Load checks its file with, as by the write.
    db.CloseTable();
    t.Files.SetFile(t.MemoPath, memoBytes);
    db.OpenTable(t.TablePath, false);
    EXPECT_EQ(db.PlanMemoRun(3, db.NextRunBlock(), 100), db.NextRunBlock() + 2);
    EXPECT_EQ(ExpectError([&] { db.PlanMemoRun(3, 0x7FFFFFFFu + 1ull, 1); }), "MEMO файл \"/data/T.FPT\" переполнен");
    EXPECT_EQ(ExpectError([&] { db.PlanMemoRun(3, 0xFFFFFFFFull, 1); }), "MEMO файл \"/data/T.FPT\" переполнен");
    EXPECT_EQ(ExpectError([&] { db.PlanMemoRun(2, 1000, 1); }), "Неверный тип значения");

    TMemTable bare;
    bare.Put(spec);
    TDBFLite noMemo(bare.Files);
    noMemo.OpenTable(bare.TablePath, false);
    EXPECT_EQ(ExpectError([&] { noMemo.WriteMemo(0, 3, "text"); }),
              "Нет MEMO файла для записи MEMO поля таблицы \"/data/T.DBF\"");
    EXPECT_EQ(bare.Table(), table);
}

TEST_F(WriteTest, NextBlockIsWrittenAsFourBigEndianBytes)
{
    memo.SetNextBlock(69988);  // bytes 0 1 17 100
    Open();
    db.WriteMemo(0, 3, std::string(12 * 64 - 8, 'y'));  // 12 blocks: next free 70,000
    EXPECT_EQ(db.MemoNextBlock(), 70000u);
    const std::string m = MemoBytes();
    EXPECT_EQ(static_cast<unsigned char>(m[0]), 0);
    EXPECT_EQ(static_cast<unsigned char>(m[1]), 1);
    EXPECT_EQ(static_cast<unsigned char>(m[2]), 17);
    EXPECT_EQ(static_cast<unsigned char>(m[3]), 112);
    EXPECT_EQ(FieldBytes(t, db, 0, 3), "     69988");
}

TEST_F(WriteTest, DamagedNextBlockNeverOverwritesHeaderOrTexts)
{
    const uint32_t kept = memo.Add("keep me");
    spec.Records[0][3] = MemoRef(kept);
    memo.SetNextBlock(0);
    Open();
    db.WriteMemo(1, 3, "new text");
    EXPECT_EQ(db.ReadMemo(0, 3), "keep me");
    EXPECT_EQ(db.ReadMemo(1, 3), "new text");
    EXPECT_EQ(static_cast<unsigned char>(MemoBytes()[7]), 64);  // block size intact
    EXPECT_GE(std::stoul(FieldBytes(t, db, 1, 3)), kept + 1);
}

TEST_F(WriteTest, ABlockHeaderTheFileCutShortStaysNoRunWhenAppendsFillTheFileBehindIt)
{
    // The file ends 4 bytes into the block record 0 refers to: no length
    // there. Appending fills the file up behind those bytes; the reference
    // must still lead to no run, not to a run the zeros would make.
    memo.Add("first");
    const uint32_t cut = memo.NextBlock();
    spec.Records[0][3] = MemoRef(cut);
    t.Put(spec, memo);
    t.Files.SetFile(t.MemoPath, memo.Bytes() + std::string("\0\0\0\1", 4));
    db.OpenTable(t.TablePath, false);
    EXPECT_EQ(db.InspectMemo(0, 3).State, TMemoRefState::PastEnd);
    db.WriteMemo(1, 3, "appended after it");
    EXPECT_EQ(db.InspectMemo(0, 3).State, TMemoRefState::PastEnd);
    EXPECT_FALSE(db.RewriteMemoRef(0, 3));
    EXPECT_EQ(db.ReadMemo(1, 3), "appended after it");
}

TEST_F(WriteTest, BinaryReferencesAreWrittenAndBlankedAsFourBytes)
{
    spec.Version = 0x30;
    spec.Fields = {{"NAME", 'C', 10}, {"NOTES", 'M', 4}};
    spec.Records = {{"a", BinaryMemoRef(0)}, {"b", BinaryMemoRef(0)}};
    Open();
    const uint32_t next = db.MemoNextBlock();
    db.WriteMemo(0, 1, "vfp text");
    EXPECT_EQ(FieldBytes(t, db, 0, 1), BinaryMemoRef(next));
    EXPECT_EQ(db.ReadMemo(0, 1), "vfp text");
    db.WriteMemo(0, 1, "   ");
    EXPECT_EQ(FieldBytes(t, db, 0, 1), std::string(4, '\0'));
    db.WriteMemo(1, 1, "again");
    db.WriteBlankMemoRef(1, 1);
    EXPECT_EQ(FieldBytes(t, db, 1, 1), std::string(4, '\0'));
    EXPECT_EQ(FieldBytes(t, db, 1, 0), "b         ");
}

TEST_F(WriteTest, BlankTextReferenceFillsTheWholeField)
{
    spec.Fields = {{"NOTES", 'M', 12}};
    spec.Records = {{MemoRef(9, 12)}};
    Open();
    db.WriteBlankMemoRef(0, 0);
    EXPECT_EQ(FieldBytes(t, db, 0, 0), std::string(12, ' '));
}

TEST_F(WriteTest, ATableWhoseFieldsDoNotAddUpToItsRecordIsNeverWritten)
{
    t.Put(spec, memo);
    std::string table = TableBytes();
    table[10] = 20;  // record length 20: NOTES and DAY lie past its end
    table[11] = 0;
    t.Files.SetFile(t.TablePath, table);
    db.OpenTable(t.TablePath, false);
    EXPECT_FALSE(db.LayoutTrusted());
    EXPECT_EQ(db.ReadValue(0, 0), "first");  // still read
    const std::string refused =
        "Длины полей таблицы \"/data/T.DBF\" не совпадают с длиной записи (20): таблица повреждена, запись в неё "
        "невозможна";
    const std::vector<std::function<void()>> writes = {
        [&] { db.WriteRaw(0, 0, "x"); },     [&] { db.WriteValue(0, 1, "7"); },  [&] { db.WriteInteger(0, 2, 7); },
        [&] { db.WriteMemo(0, 3, "text"); }, [&] { db.WriteMemo(0, 3, "   "); }, [&] { db.WriteBlankMemoRef(0, 3); },
        [&] { db.AppendBlankRecord(); },     [&] { db.CheckValue(0, "x", 1); }};
    for (const auto& write : writes)
        EXPECT_EQ(ExpectError(write), refused);
    EXPECT_EQ(TableBytes(), table);
    EXPECT_EQ(MemoBytes(), memo.Bytes());
}

TEST_F(WriteTest, AFailedWriteNeverLeavesAReferenceToAnUnwrittenRun)
{
    const uint32_t old = memo.Add("old text");
    spec.Records[0][3] = MemoRef(old);
    const std::string text(3000, 'n');
    FailEachWrite(
        t, [&] { t.Put(spec, memo); },
        [&](TDBFLite& Table) {
            Table.WriteMemo(0, 3, text);
            Table.WriteRaw(1, 0, "other");
        },
        [&](long FailAt, const std::string& Error) {
            EXPECT_EQ(Error, "Stream write error") << FailAt;
            TDBFLite check(t.Files);
            check.OpenTable(t.TablePath, false);
            const std::string read = check.ReadMemo(0, 3);
            EXPECT_TRUE(read == "old text" || read == text) << FailAt;
            const uint32_t block = static_cast<uint32_t>(std::stoul(check.ReadRaw(0, 3)));
            EXPECT_GE(check.MemoNextBlock(), block + (read == text ? (8u + 3000u + 63u) / 64u : 1u)) << FailAt;
        });
}

TEST_F(WriteTest, TheRecordCountNeverCoversARecordNotWrittenWhole)
{
    FailEachWrite(
        t, [&] { t.Put(spec, memo); }, [](TDBFLite& Table) { Table.WriteRaw(3, 0, "appended"); },
        [&](long FailAt, const std::string&) {
            const std::string bytes = t.Table();
            const uint32_t count = ReadLe32(bytes, 4);
            const size_t header = HeaderSizeOf(spec), record = RecordSizeOf(spec);
            EXPECT_LE(header + count * record, bytes.size()) << FailAt;
            if (count == 4) {
                EXPECT_EQ(bytes.substr(header + 3 * record + 1, 8), "appended") << FailAt;
            }
        });
}

TEST_F(WriteTest, ANarrowReferenceFieldIsNeverWrittenCut)
{
    // Block 8 fits a field of width 1; block 10 and on would be cut to "1".
    spec.Fields = {{"NAME", 'C', 10}, {"TINY", 'M', 1}};
    spec.Records = {{"a", ""}};
    Open();
    db.WriteMemo(0, 1, "first");
    EXPECT_EQ(FieldBytes(t, db, 0, 1), "8");
    db.WriteMemo(0, 1, "second");  // block 9
    const std::string memoBefore = MemoBytes();
    EXPECT_EQ(ExpectError([&] { db.WriteMemo(0, 1, "third"); }), "Поле \"TINY\" слишком узкое для номера блока 10");
    EXPECT_EQ(MemoBytes(), memoBefore);
    EXPECT_EQ(db.ReadMemo(0, 1), "second");
}

TEST_F(WriteTest, RunsOfAnotherValueTypeAreStoredUnderTheirTypeWhateverTheirBytes)
{
    Open();
    const uint32_t next = db.MemoNextBlock();
    const std::string number("\0\0\0\0\0\0\x10 ", 8);  // blank by its bytes' codes, yet a value
    db.WriteMemo(0, 3, number, 8);
    db.WriteMemo(1, 3, "  text  ");
    const std::string m = MemoBytes();
    EXPECT_EQ(ReadBe32(m, next * 64u), 8u);
    EXPECT_EQ(m.substr(next * 64u + 8, 8), number);
    EXPECT_EQ(ReadBe32(m, (next + 1) * 64u), 1u);
    std::string bytes;
    uint32_t type = 0;
    ASSERT_TRUE(db.ReadMemoRun(0, 3, bytes, type));
    EXPECT_EQ(type, 8u);
    EXPECT_EQ(bytes, number);
    EXPECT_FALSE(db.InspectMemo(0, 3).ReadsBlank);
}

// The binary fields of the newer FoxPro layout, one record per value: what
// ReadValue shows, and WriteValue of that text gives the same bytes again.
TEST(BinaryFields, ReadAsTextAndWrittenBackToTheSameBytes)
{
    const auto dbl = [&](double D) {
        uint64_t bits = 0;
        std::memcpy(&bits, &D, sizeof bits);
        return LeBytes(bits, 8);
    };
    const auto datetime = [&](uint32_t Day, uint32_t Ms) { return LeBytes(Day, 4) + LeBytes(Ms, 4); };
    struct TCase {
        int Field;  // 0 I, 1 B, 2 Y, 3 T
        std::string Bytes, Text;
    };
    const std::vector<TCase> cases = {
        {0, LeBytes(1, 4), "1"},
        {0, LeBytes(0, 4), "0"},
        {0, LeBytes(0xFFFFFFFFu, 4), "-1"},
        {0, LeBytes(0x80000000u, 4), "-2147483648"},
        {0, LeBytes(0x7FFFFFFFu, 4), "2147483647"},
        {1, dbl(0), "0"},
        {1, dbl(-0.0), "-0"},
        {1, dbl(0.1), "0.1"},
        {1, dbl(-12.25), "-12.25"},
        {1, dbl(1e308), "1e+308"},
        {1, dbl(5e-324), "5e-324"},
        {1, dbl(1.0 / 3), "0.3333333333333333"},
        {1, dbl(HUGE_VAL), "inf"},
        {1, dbl(-HUGE_VAL), "-inf"},
        {2, LeBytes(0, 8), "0.0000"},
        {2, LeBytes(123450, 8), "12.3450"},
        {2, LeBytes(static_cast<uint64_t>(-1), 8), "-0.0001"},
        {2, LeBytes(0x8000000000000000ull, 8), "-922337203685477.5808"},
        {2, LeBytes(0x7FFFFFFFFFFFFFFFull, 8), "922337203685477.5807"},
        {3, datetime(0, 0), ""},
        {3, datetime(2451545, 0), "2000-01-01 00:00:00"},
        {3, datetime(2460676, 45296789), "2024-12-31 12:34:56.789"},
        {3, datetime(1, 0), "0x0000000000000001"},                     // before year 1: its bits
        {3, datetime(2451545, 86400000), "0x05265C0000256859"},        // a day of more than 24 hours
        {1, LeBytes(0x7FF8000000000001ull, 8), "0x7FF8000000000001"},  // NaN: its bits
        {1, LeBytes(0xFFF8000000000000ull, 8), "0xFFF8000000000000"},
        {3, datetime(2440588, 86399000), "1970-01-01 23:59:59"},
        {3, datetime(1721426, 1), "0001-01-01 00:00:00.001"},
        {3, datetime(5373484, 0), "9999-12-31 00:00:00"},
    };
    TTableSpec spec = VisualFoxProTable(
        {BinaryField("I", 'I', 4), BinaryField("B", 'B', 8, 2), BinaryField("Y", 'Y', 8, 4), BinaryField("T", 'T', 8)});
    for (const TCase& c : cases) {
        std::vector<std::string> record(4);
        record[static_cast<size_t>(c.Field)] = c.Bytes;
        spec.Records.push_back(record);
    }
    TMemTable t;
    t.Put(spec);
    TDBFLite db(t.Files);
    db.OpenTable(t.TablePath, false);
    const int32_t scratch = static_cast<int32_t>(cases.size());
    // An appended record is blank as zero bytes in every binary field.
    db.AppendBlankRecord();
    for (int f = 0; f < 4; ++f)
        EXPECT_EQ(db.ReadRaw(scratch, f), std::string(spec.Fields[static_cast<size_t>(f)].Size, '\0'));
    for (size_t r = 0; r < cases.size(); ++r) {
        const TCase& c = cases[r];
        SCOPED_TRACE(c.Text);
        EXPECT_EQ(db.ReadValue(static_cast<int32_t>(r), c.Field), c.Text);
        db.CheckValue(c.Field, c.Text.data(), c.Text.size());
        db.WriteValue(scratch, c.Field, c.Text);
        EXPECT_EQ(db.ReadRaw(scratch, c.Field), c.Bytes);
    }

    // Texts that give no bytes, or not the bytes they came from.
    const std::vector<std::pair<int, std::string>> refused = {{0, "abc"},
                                                              {0, "2147483648"},
                                                              {0, "1.5"},
                                                              {0, "-2147483649"},
                                                              {1, "nan"},
                                                              {1, "1,5"},
                                                              {1, "0x10"},
                                                              {2, "1.23456"},
                                                              {2, "1e3"},
                                                              {2, "922337203685477.5808"},
                                                              {3, "2024-02-30 00:00:00"},
                                                              {3, "2024-12-31 24:00:00"},
                                                              {3, "2024-12-31"},
                                                              {3, "31.12.2024 10:00:00"},
                                                              {3, "2024-12-31 10:00:00.5"},
                                                              {3, "0x123"},
                                                              {0, "0x0000000000000001"}};
    for (const auto& [field, text] : refused) {
        SCOPED_TRACE(text);
        const std::string message =
            ExpectError([&, field = field, text = text] { db.CheckValue(field, text.data(), text.size()); });
        EXPECT_EQ(message.rfind("Значение ", 0), 0u) << message;
        EXPECT_NE(message.find("в поле \"" + spec.Fields[static_cast<size_t>(field)].Name + "\""), std::string::npos);
        EXPECT_EQ(ExpectError([&, field = field, text = text] { db.WriteValue(0, field, text); }), message);
    }
    db.CloseTable();
}
