// Opening tables and reading values, on tables built byte by byte.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "strutil.h"

#include "dbflite.h"
#include "fixtures.h"

namespace {

TTableSpec FiveFields()
{
    TTableSpec spec;
    spec.Fields = {{"NAME", 'C', 10}, {"QTY", 'N', 8, 2}, {"DAY", 'D', 8}, {"OK", 'L', 1}, {"NOTES", 'M', 10}};
    spec.Records = {{"abc", "   12.50", "20051231", "T", MemoRef(8)}};
    return spec;
}

}  // namespace

TEST(OpenTable, ReadsHeaderAndDescriptors)
{
    TMemTable t;
    TMemoBuilder memo;
    memo.Add("hello");
    t.Put(FiveFields(), memo);
    TDBFLite db(t.Files);
    db.OpenTable(t.TablePath, false);

    EXPECT_EQ(db.HeaderSize(), 193);
    EXPECT_EQ(db.FieldCount(), 5);
    EXPECT_EQ(db.RecordCount(), 1);
    EXPECT_EQ(db.RecordSize(), 38);
    EXPECT_EQ(db.Version(), 0xF5);
    EXPECT_EQ(db.UpdateYear(), 126);
    EXPECT_TRUE(db.HasMemoFile());
    EXPECT_EQ(db.MemoBlockSize(), 64);
    EXPECT_EQ(db.MemoNextBlock(), 9u);
    EXPECT_EQ(db.MemoFileName(), t.MemoPath);
    ASSERT_EQ(db.Fields().size(), 5u);
    EXPECT_EQ(db.Fields()[0].Name, "NAME");
    EXPECT_EQ(db.Fields()[0].Offset, 1u);
    EXPECT_EQ(db.Fields()[1].Offset, 11u);  // 10 after the first
    EXPECT_EQ(db.Fields()[2].Offset, 19u);
    EXPECT_EQ(db.Fields()[1].FieldType, 'N');
    EXPECT_EQ(db.Fields()[1].Decimals, 2);
    EXPECT_EQ(db.Fields()[4].Size, 10);
}

TEST(OpenTable, FieldWidthsAreTheReadingThatAddsUpToTheRecord)
{
    // A character field of 300 bytes stored the Clipper way (44 in byte 16,
    // 1 in byte 17) before a memo field; damage applied to the built table.
    struct TCase {
        const char* What;
        std::vector<TFieldSpec> Fields;
        std::function<void(std::string&)> Damage;
        bool Trusted;
        std::vector<uint16_t> Sizes;
        std::vector<uint32_t> Offsets;
    };
    const auto recordSize = [](std::string& Table, uint16_t Size) {
        Table[10] = static_cast<char>(Size & 0xFF);
        Table[11] = static_cast<char>(Size >> 8);
    };
    const std::vector<TCase> cases = {
        {"FoxPro: byte 16 alone adds up", {{"NAME", 'C', 10, 3}, {"NOTES", 'M', 10}}, {}, true, {10, 10}, {1, 11}},
        {"Clipper C(300)", {{"NAME", 'C', 300}, {"NOTES", 'M', 10}}, {}, true, {300, 10}, {1, 301}},
        {"Clipper C(256): byte 16 is 0",
         {{"ID", 'N', 5}, {"NAME", 'C', 256}, {"NOTES", 'M', 10}},
         {},
         true,
         {5, 256, 10},
         {1, 6, 262}},
        {"record length one too long: stored positions place the fields",
         {{"NAME", 'C', 300}, {"NOTES", 'M', 10}},
         [&](std::string& T) { recordSize(T, 312); },
         false,
         {300, 10},
         {1, 301}},
        {"no stored positions: the widths of byte 16 place them",
         {{"NAME", 'C', 300}, {"NOTES", 'M', 10}},
         [&](std::string& T) {
             recordSize(T, 312);
             for (size_t d : {32u, 64u})
                 std::fill_n(T.begin() + static_cast<long>(d + 12), 4, '\0');
         },
         false,
         {44, 10},
         {1, 45}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        TMemTable t;
        TMemoBuilder memo;
        TTableSpec spec;
        spec.Fields = c.Fields;
        std::vector<std::string> record(c.Fields.size(), "12345");
        record.front() = "first";
        record.back() = MemoRef(memo.Add("the text"));
        spec.Records = {record};
        t.Put(spec, memo);
        std::string table = t.Table();
        if (c.Damage)
            c.Damage(table);
        t.Files.SetFile(t.TablePath, table);
        TDBFLite db(t.Files);
        db.OpenTable(t.TablePath, false);
        EXPECT_EQ(db.LayoutTrusted(), c.Trusted);
        std::vector<uint16_t> sizes;
        std::vector<uint32_t> offsets;
        for (const TFieldDesc& f : db.Fields()) {
            sizes.push_back(f.Size);
            offsets.push_back(f.Offset);
        }
        EXPECT_EQ(sizes, c.Sizes);
        EXPECT_EQ(offsets, c.Offsets);
        EXPECT_EQ(db.Fields().back().Decimals, 0);
        if (c.Sizes.front() == c.Fields.front().Size) {
            EXPECT_EQ(db.ReadValue(0, 0), "first");
            EXPECT_EQ(db.ReadRaw(0, 0).size(), c.Fields.front().Size);
            EXPECT_EQ(db.ReadMemo(0, static_cast<int>(c.Fields.size()) - 1), "the text");
        }
    }
}

TEST(OpenTable, DescriptorsEndAtTheTerminatorNotAtTheNewerLayoutsExtraArea)
{
    TMemTable t;
    TTableSpec spec = FiveFields();
    spec.Version = 0x30;
    spec.BacklinkArea = true;  // 263 more header bytes: 8 phantom fields by length alone
    const auto opened = t.Opened(spec);
    TDBFLite& db = *opened;
    EXPECT_EQ(db.HeaderSize(), 193 + 263);
    EXPECT_EQ(db.FieldCount(), 5);
    EXPECT_EQ(db.ReadValue(0, 0), "abc");
}

TEST(OpenTable, HeaderLengthBoundsTheFieldCount)
{
    for (int headerSize : {0, 1, 2, 33, 64}) {
        TMemTable t;
        std::string bytes = BuildTable(FiveFields());
        bytes[8] = static_cast<char>(headerSize & 0xFF);
        bytes[9] = static_cast<char>(headerSize >> 8);
        t.Files.SetFile(t.TablePath, bytes);
        TDBFLite db(t.Files);
        db.OpenTable(t.TablePath, false);
        EXPECT_EQ(db.FieldCount(), 0) << headerSize;
        EXPECT_EQ(db.FieldIndex("NAME"), -1);
        EXPECT_EQ(ExpectError([&] { db.ReadRaw(0, 0); }), "Номер поля должен быть меньше или равен -1");
    }
    // 97 leaves room for two descriptors: the third is not read.
    TMemTable t;
    std::string bytes = BuildTable(FiveFields());
    bytes[8] = 97;
    bytes[9] = 0;
    t.Files.SetFile(t.TablePath, bytes);
    TDBFLite db(t.Files);
    db.OpenTable(t.TablePath, false);
    EXPECT_EQ(db.FieldCount(), 2);
}

TEST(OpenTable, NamesAreCutAtZeroOrElevenBytes)
{
    TMemTable t;
    const auto opened = t.Opened(TableOf({{"ABCDEFGHIJK", 'C', 3}, {"", 'C', 3}, {"LOW", 'M', 10}}));
    TDBFLite& db = *opened;
    EXPECT_EQ(db.Fields()[0].Name, "ABCDEFGHIJK");  // no zero byte: 11 bytes, not the type letter
    EXPECT_EQ(db.Fields()[0].FieldType, 'C');
    EXPECT_EQ(db.Fields()[1].Name, "");
    EXPECT_EQ(db.FieldIndex(""), 1);
}

TEST(OpenTable, FieldIndexIsExactAndTakesTheFirst)
{
    TMemTable t;
    const auto opened = t.Opened(TableOf({{"Notes", 'M', 10}, {"NOTES", 'M', 10}, {"NOTES", 'C', 5}}));
    TDBFLite& db = *opened;
    EXPECT_EQ(db.FieldIndex("NOTES"), 1);
    EXPECT_EQ(db.FieldIndex("Notes"), 0);
    EXPECT_EQ(db.FieldIndex("notes"), -1);
    EXPECT_EQ(db.FieldIndex("NOTES "), -1);
    EXPECT_EQ(db.FieldIndex(" NOTES"), -1);
    EXPECT_EQ(db.FieldIndex(""), -1);
}

TEST(OpenTable, MemoFileIsOptional)
{
    TMemTable t;
    t.Put(FiveFields());
    TDBFLite db(t.Files);
    db.OpenTable(t.TablePath, false);
    EXPECT_FALSE(db.HasMemoFile());
    EXPECT_EQ(db.ReadMemo(0, 4), "");
    EXPECT_EQ(db.ReadValue(0, 4), "");
    db.CloseTable();
    EXPECT_FALSE(db.IsOpen());
}

TEST(OpenTable, MemoPathReplacesOnlyTheFileNamesExtension)
{
    EXPECT_EQ(TDBFLite::MemoPathFor("C:\\base\\ORDERS.DBF"), "C:\\base\\ORDERS.FPT");
    EXPECT_EQ(TDBFLite::MemoPathFor("/x/ORDERS.OLD.DBF"), "/x/ORDERS.OLD.FPT");
    EXPECT_EQ(TDBFLite::MemoPathFor("/x.y/ORDERS"), "/x.y/ORDERS.FPT");
    EXPECT_EQ(TDBFLite::MemoPathFor("C:\\a.b\\ORDERS"), "C:\\a.b\\ORDERS.FPT");
    EXPECT_EQ(TDBFLite::MemoPathFor("orders.dbf"), "orders.FPT");
    EXPECT_EQ(TDBFLite::MemoPathFor("C:ORDERS"), "C:ORDERS.FPT");
}

TEST(OpenTable, AcceptsACaseVariantOfTheMemoFileName)
{
    TMemTable t;
    t.TablePath = "/data/orders.dbf";
    TMemoBuilder memo;
    memo.Add("text");
    t.Files.SetFile(t.TablePath, BuildTable(FiveFields()));
    t.Files.SetFile("/data/orders.fpt", memo.Bytes());
    TDBFLite db(t.Files);
    db.OpenTable(t.TablePath, false);
    EXPECT_TRUE(db.HasMemoFile());
    EXPECT_EQ(db.MemoFileName(), "/data/orders.fpt");
    EXPECT_EQ(db.FileName(), "/data/orders.dbf");
    EXPECT_EQ(db.ReadMemo(0, 4), "text");
}

TEST(OpenTable, FailuresNameTheFileAndLeaveNothingOpen)
{
    TMemTable t;
    TDBFLite db(t.Files);
    EXPECT_EQ(ExpectError([&] { db.OpenTable(t.TablePath, false); }), "Ошибка открытия файла \"/data/T.DBF\"");
    EXPECT_EQ(db.FileName(), t.TablePath);

    TMemoBuilder memo;
    t.Put(FiveFields(), memo);
    TDBFLite holder(t.Files);
    holder.OpenTable(t.TablePath, false);
    TDBFLite second(t.Files);
    EXPECT_EQ(ExpectError([&] { second.OpenTable(t.TablePath, false); }), "Cannot open file /data/T.FPT");
    EXPECT_FALSE(second.IsOpen());  // the table file it had opened is closed again
    holder.CloseTable();
    second.OpenTable(t.TablePath, false);  // the memo file is free again
    EXPECT_TRUE(second.HasMemoFile());
}

TEST(OpenTable, ReadOnlyOpensShareTheMemoFile)
{
    TMemTable t;
    TMemoBuilder memo;
    t.Put(FiveFields(), memo);
    TDBFLite a(t.Files), b(t.Files);
    a.OpenTable(t.TablePath, true);
    b.OpenTable(t.TablePath, true);
    EXPECT_TRUE(a.HasMemoFile() && b.HasMemoFile());
}

TEST(OpenTable, ShortFilesReadAsZeros)
{
    TMemTable t;
    std::string bytes = BuildTable(FiveFields());
    t.Files.SetFile(t.TablePath, bytes.substr(0, 98));          // descriptors cut in the third
    t.Files.SetFile(t.MemoPath, std::string("\0\0\0\x09", 4));  // memo header cut short
    TDBFLite db(t.Files);
    db.OpenTable(t.TablePath, false);
    EXPECT_EQ(db.FieldCount(), 5);
    EXPECT_EQ(db.Fields()[2].Name, "DA");
    EXPECT_EQ(db.Fields()[3].Name, "");
    EXPECT_EQ(db.Fields()[3].Size, 0);
    EXPECT_EQ(db.MemoNextBlock(), 9u);
    EXPECT_EQ(db.MemoBlockSize(), 0);
    EXPECT_EQ(db.ReadRaw(0, 0), std::string(10, '\0'));

    db.CloseTable();
    t.Files.SetFile(t.TablePath, "");
    TDBFLite empty(t.Files);
    empty.OpenTable(t.TablePath, false);
    EXPECT_EQ(empty.FieldCount(), 0);
    EXPECT_EQ(empty.RecordCount(), 0);
}

TEST(ReadValue, ByTypeLetter)
{
    TMemTable t;
    TTableSpec spec;
    spec.Fields = {{"C", 'C', 10}, {"N", 'N', 9}, {"Z", 'C', 5}, {"X", 'X', 4}, {"F", 'F', 6}};
    spec.Records = {{"abc", "     12.5", std::string("a\0b\0 ", 5), "ab  ", "1.5 \t"}};
    const auto opened = t.Opened(spec);
    TDBFLite& db = *opened;
    EXPECT_EQ(db.ReadRaw(0, 0), "abc       ");
    EXPECT_EQ(db.ReadValue(0, 0), "abc");
    EXPECT_EQ(db.ReadValue(0, 1), "     12.5");
    EXPECT_EQ(db.ReadRaw(0, 2), std::string("a\0b\0 ", 5));
    EXPECT_EQ(db.ReadValue(0, 2), std::string("a\0b", 3));
    EXPECT_EQ(db.ReadValue(0, 3), "ab  ");  // unknown letters come raw
    EXPECT_EQ(db.ReadValue(0, 4), "1.5");
}

TEST(ReadValue, FieldNumbersAreChecked)
{
    TMemTable t;
    t.Put(FiveFields());
    TDBFLite db(t.Files);
    db.OpenTable(t.TablePath, false);
    EXPECT_EQ(ExpectError([&] { db.ReadValue(0, -1); }), "Номер поля должен быть больше или равен 0");
    EXPECT_EQ(ExpectError([&] { db.ReadRaw(0, 5); }), "Номер поля должен быть меньше или равен 4");
    EXPECT_EQ(ExpectError([&] { db.ReadMemo(0, 5); }), "Номер поля должен быть меньше или равен 4");
    EXPECT_EQ(ExpectError([&] { db.ReadDate(0, -3); }), "Номер поля должен быть больше или равен 0");
}

TEST(ReadValue, RecordsPastTheEndReadAsZeros)
{
    TMemTable t;
    t.Put(FiveFields());
    TDBFLite db(t.Files);
    db.OpenTable(t.TablePath, false);
    EXPECT_EQ(db.ReadRaw(5, 0), std::string(10, '\0'));
    EXPECT_EQ(db.ReadValue(5, 0), "");
}

TEST(ReadLogical, TrueLetters)
{
    TMemTable t;
    TTableSpec spec;
    spec.Fields = {{"L", 'L', 3}};
    for (const char* v : {"y", "1", " T ", "t", "Y", "N", "F", "?", "", "n"})
        spec.Records.push_back({v});
    const auto opened = t.Opened(spec);
    TDBFLite& db = *opened;
    const bool expected[] = {true, true, true, true, true, false, false, false, false, false};
    for (int r = 0; r < 10; ++r)
        EXPECT_EQ(db.ReadLogical(r, 0), expected[r]) << r;
    EXPECT_EQ(db.ReadValue(0, 0), "T");
    EXPECT_EQ(db.ReadValue(5, 0), "F");
}

TEST(ReadDate, ValidInvalidAndDefaultedParts)
{
    TMemTable t;
    TTableSpec spec;
    spec.Fields = {{"D", 'D', 8}};
    for (const char* v : {"20051231", "20050231", "2005AB01", "", "20040229", "19000229", "00000101", "  2005  "})
        spec.Records.push_back({v});
    const auto opened = t.Opened(spec);
    TDBFLite& db = *opened;
    EXPECT_EQ(db.ReadDate(0, 0), (TDate{2005, 12, 31}));
    EXPECT_TRUE(db.ReadDate(1, 0).IsZero());            // 31 February
    EXPECT_EQ(db.ReadDate(2, 0), (TDate{2005, 1, 1}));  // month AB takes the default
    EXPECT_EQ(db.ReadDate(3, 0), (TDate{1001, 1, 1}));  // blank: year 1001
    EXPECT_EQ(db.ReadDate(4, 0), (TDate{2004, 2, 29}));
    EXPECT_TRUE(db.ReadDate(5, 0).IsZero());            // 1900 is no leap year
    EXPECT_TRUE(db.ReadDate(6, 0).IsZero());            // year 0
    EXPECT_EQ(db.ReadDate(7, 0), (TDate{2005, 1, 1}));  // trimmed to 2005
    EXPECT_EQ(db.ReadValue(0, 0), FormatDate(TDate{2005, 12, 31}, ShortDatePattern()));
    EXPECT_EQ(db.ReadValue(3, 0), FormatDate(TDate{1001, 1, 1}, ShortDatePattern()));
}

TEST(FormatDate, ShortDatePatterns)
{
    const TDate d{2005, 3, 7};
    EXPECT_EQ(FormatDate(d, "yyyy-MM-dd"), "2005-03-07");
    EXPECT_EQ(FormatDate(d, "dd.MM.yyyy"), "07.03.2005");
    EXPECT_EQ(FormatDate(d, "M/d/yyyy"), "3/7/2005");
    EXPECT_EQ(FormatDate(d, "d/M/yy"), "7/3/05");
    EXPECT_EQ(FormatDate(d, "dd.MM.yyyy' г.'"), "07.03.2005 г.");
    EXPECT_EQ(FormatDate(TDate{1001, 1, 1}, "dd.MM.yyyy"), "01.01.1001");
    EXPECT_EQ(FormatDate(TDate{}, "dd.MM.yyyy"), "30.12.1899");
#ifndef _WIN32
    EXPECT_EQ(ShortDatePattern(), "yyyy-MM-dd");
#endif
}

class ReadMemoTest : public ::testing::Test {
protected:
    TMemTable t;
    TMemoBuilder memo{64};
    TTableSpec spec;

    void Open(TDBFLite& db)
    {
        t.Put(spec, memo);
        db.OpenTable(t.TablePath, false);
    }
};

TEST_F(ReadMemoTest, FollowsRightAlignedBlockNumbers)
{
    const uint32_t b = memo.Add("first text  \r\n");
    spec.Fields = {{"M", 'M', 10}};
    spec.Records = {{MemoRef(b)}, {"9         "}, {"          "}, {"letters"}, {" -1"}};
    TDBFLite db(t.Files);
    Open(db);
    EXPECT_EQ(db.ReadMemo(0, 0), "first text");  // trailing blanks trimmed
    EXPECT_EQ(db.ReadMemo(1, 0), "");            // digits then spaces: no number
    EXPECT_EQ(db.ReadMemo(2, 0), "");
    EXPECT_EQ(db.ReadMemo(3, 0), "");
    EXPECT_EQ(db.ReadMemo(4, 0), "");
    EXPECT_EQ(db.ReadValue(0, 0), "first text");
}

TEST_F(ReadMemoTest, BlankReferencesNeverTouchTheMemoFile)
{
    spec.Fields = {{"M", 'M', 10}};
    spec.Records = {{""}, {"abc"}, {MemoRef(100000)}};
    t.Put(spec, memo);
    TFaultFileSystem faults(t.Files);
    TDBFLite db(faults);
    db.OpenTable(t.TablePath, false);
    faults.FailAt = faults.Operations + 1;  // the next read of either file fails
    EXPECT_EQ(db.ReadMemo(0, 0), "");
    EXPECT_EQ(db.ReadMemo(1, 0), "");
    EXPECT_EQ(db.ReadMemo(2, 0), "");  // past the end: known without reading
    EXPECT_FALSE(faults.Failed);
}

TEST_F(ReadMemoTest, NoRunStartsInsideTheMemoHeader)
{
    // Its first bytes are the next free block, which every text written
    // changes: a reference there would read a different thing each time.
    memo.Add("first run");
    spec.Fields = {{"M", 'M', 10}};
    spec.Records = {{MemoRef(0)}, {MemoRef(1)}, {MemoRef(7)}, {MemoRef(8)}};
    TDBFLite db(t.Files);
    Open(db);
    for (int32_t r = 0; r < 3; ++r) {
        EXPECT_EQ(db.ReadMemo(r, 0), "") << r;
        EXPECT_EQ(db.InspectMemo(r, 0).State, TMemoRefState::NotAStart) << r;
    }
    EXPECT_EQ(db.ReadMemo(3, 0), "first run");
}

TEST_F(ReadMemoTest, DamagedLengthsAndBlockNumbersAreBounded)
{
    const uint32_t good = memo.Add("good");
    const uint32_t cut = memo.AddWithLength("partial text", 0xFFFFFFFFu);  // 4 GiB claimed
    spec.Fields = {{"M", 'M', 10}};
    spec.Records = {{MemoRef(good)}, {MemoRef(cut)}, {MemoRef(2000000000)}, {MemoRef(memo.NextBlock())}};
    TDBFLite db(t.Files);
    Open(db);
    EXPECT_EQ(db.ReadMemo(0, 0), "good");
    EXPECT_EQ(db.ReadMemo(1, 0), "partial text");  // cut to what the file holds
    EXPECT_EQ(db.ReadMemo(2, 0), "");              // far past the end; no 32-bit wrap
    EXPECT_EQ(db.ReadMemo(3, 0), "");              // just past the end
}

TEST_F(ReadMemoTest, ReadsAnyFieldHoldingANumber)
{
    const uint32_t b = memo.Add("via numeric");
    spec.Fields = {{"N", 'N', 5}};
    spec.Records = {{MemoRef(b, 5)}};
    TDBFLite db(t.Files);
    Open(db);
    EXPECT_EQ(db.ReadMemo(0, 0), "via numeric");
}

TEST_F(ReadMemoTest, LongTextsKeepBlanksInsideAndLoseThemOnlyAtTheEnd)
{
    std::string text(1 << 20, 'a');
    text[(1 << 20) - 1] = ' ';  // a space that ends the first 1 MiB chunk
    text[(1 << 20) - 2] = '\n';
    text += "tail   \r\n";
    const uint32_t b = memo.Add(text);
    spec.Fields = {{"M", 'M', 10}};
    spec.Records = {{MemoRef(b)}};
    TDBFLite db(t.Files);
    Open(db);
    const std::string read = db.ReadMemo(0, 0);
    EXPECT_EQ(read.size(), (1u << 20) + 4);
    EXPECT_EQ(read.substr((1 << 20) - 2, 6), "\n tail");
}

TEST_F(ReadMemoTest, AStringARecycledStringAndPiecesGiveTheSameText)
{
    // Texts read from the cache's pages, straight from the file, or handed
    // over in pieces; blanks trimmed from the end, however far back the
    // last other byte lies; texts still unwritten in the cache included.
    const std::string wide(100000, 'w');                                // too long for the pages: read from the file
    const std::string padded = "x" + std::string(40000, ' ') + "\r\n";  // blanks over several pages
    const std::string blanks(20000, '\t');
    std::string edges(3 * 16384 - 8, 'e');  // three pages long, a zero byte inside
    edges[100] = '\0';
    spec.Fields = {{"M", 'M', 10}};
    for (const std::string& text : {wide, padded, blanks, edges, std::string("short  ")})
        spec.Records.push_back({MemoRef(memo.Add(text))});
    spec.Records.push_back({""});
    spec.Records.push_back({""});
    spec.Records.push_back({MemoRef(memo.AddWithLength("cut short by the file's end", 1000))});
    TDBFLite db(t.Files);
    Open(db);
    db.WriteMemo(5, 0, "appended, still in the cache \r\n");
    db.WriteMemo(6, 0, wide + "z");
    const std::string expected[] = {
        wide, "x", "", edges, "short", "appended, still in the cache", wide + "z", "cut short by the file's end"};
    std::string recycled = std::string(200000, '?');
    for (int32_t r = 0; r < 8; ++r) {
        SCOPED_TRACE(r);
        EXPECT_EQ(db.ReadMemo(r, 0), expected[r]);
        db.ReadMemo(r, 0, recycled);
        EXPECT_EQ(recycled, expected[r]);
        std::string pieces;
        db.ReadMemoPieces(r, 0, [&pieces](const char* Data, size_t Length) {
            ASSERT_GT(Length, 0u);
            pieces.append(Data, Length);
        });
        EXPECT_EQ(pieces, expected[r]);
    }
}

TEST_F(ReadMemoTest, BinaryReferencesOfTheNewerLayout)
{
    const uint32_t b = memo.Add("binary ref text");
    spec.Version = 0x30;
    spec.BacklinkArea = true;
    spec.Fields = {{"M", 'M', 4}, {"M10", 'M', 10}};
    spec.Records = {{BinaryMemoRef(b), MemoRef(b)}, {BinaryMemoRef(0), ""}, {BinaryMemoRef(999999), ""}};
    TDBFLite db(t.Files);
    Open(db);
    EXPECT_EQ(db.ReadMemo(0, 0), "binary ref text");
    EXPECT_EQ(db.ReadMemo(0, 1), "binary ref text");
    EXPECT_EQ(db.ReadMemo(1, 0), "");
    EXPECT_EQ(db.ReadMemo(2, 0), "");
}

TEST_F(ReadMemoTest, InspectSortsReferencesByWhatTheyLeadTo)
{
    const uint32_t text = memo.Add("real text");
    const uint32_t blank = memo.Add(" \r\n\t ");
    const uint32_t runsText = memo.AddWithLength("xyz", 5000);
    const uint32_t runs = memo.AddWithLength("   ", 5000);  // last: only blanks follow it
    spec.Fields = {{"M", 'M', 10}};
    spec.Records = {
        {""}, {"garbage"}, {MemoRef(99999)}, {MemoRef(runs)}, {MemoRef(blank)}, {MemoRef(text)}, {MemoRef(runsText)}};
    TDBFLite db(t.Files);
    Open(db);
    const TMemoRefState expected[] = {TMemoRefState::Empty,       TMemoRefState::NotANumber, TMemoRefState::PastEnd,
                                      TMemoRefState::RunsPastEnd, TMemoRefState::Blank,      TMemoRefState::Text,
                                      TMemoRefState::RunsPastEnd};
    const bool readsBlank[] = {true, true, true, true, true, false, false};
    for (int r = 0; r < 7; ++r) {
        const TMemoInspection found = db.InspectMemo(r, 0);
        EXPECT_EQ(found.State, expected[r]) << r;
        EXPECT_EQ(found.ReadsBlank, readsBlank[r]) << r;
        EXPECT_EQ(found.ReadsBlank, IsBlank(db.ReadMemo(r, 0))) << r;
    }
}

TEST_F(ReadMemoTest, OnlyTheStartOfARunIsReadAsOne)
{
    // Every block type a FoxPro, Clipper or Harbour driver writes below
    // 65,536 starts a run; a freed block, a larger type, and a block in the
    // middle of a text (whose first bytes are text) do not.
    const std::string long_text =
        "The middle of this text is no run: its bytes read as a huge type and length. " + std::string(200, 'x');
    const uint32_t inText = memo.Add(long_text) + 1;
    struct TCase {
        uint32_t Type;
        std::string Bytes;
        TMemoRefState State;
        bool ReadsBlank;
        std::string Text;  // ReadMemo's
    };
    const std::string number("\0\0\0\0\0\0\x10 ", 8);  // a Harbour double, every byte of code 32 or less
    const std::vector<TCase> cases = {
        {1, "text", TMemoRefState::Text, false, "text"},
        {0, "picture  ", TMemoRefState::Text, false, "picture"},
        {2, "object", TMemoRefState::Text, false, "object"},
        {8, number, TMemoRefState::Blank, false, ""},
        {32768, "array", TMemoRefState::Text, false, "array"},
        {1018, "value", TMemoRefState::Text, false, "value"},
        {65535, "top type", TMemoRefState::Text, false, "top type"},
        {1000, "freed text", TMemoRefState::NotAStart, true, ""},
        {1001, "freed text", TMemoRefState::NotAStart, true, ""},
        {65536, "no type", TMemoRefState::NotAStart, true, ""},
        {0x41424344, "no type", TMemoRefState::NotAStart, true, ""},
    };
    spec.Fields = {{"M", 'M', 10}};
    for (const TCase& c : cases)
        spec.Records.push_back({MemoRef(memo.Add(c.Bytes, c.Type))});
    spec.Records.push_back({MemoRef(inText)});
    TDBFLite db(t.Files);
    Open(db);
    for (size_t r = 0; r < cases.size(); ++r) {
        SCOPED_TRACE(cases[r].Type);
        const TMemoInspection found = db.InspectMemo(static_cast<int32_t>(r), 0);
        EXPECT_EQ(found.State, cases[r].State);
        EXPECT_EQ(found.ReadsBlank, cases[r].ReadsBlank);
        EXPECT_EQ(db.ReadMemo(static_cast<int32_t>(r), 0), cases[r].Text);
        std::string bytes;
        uint32_t type = 0;
        const bool run = db.ReadMemoRun(static_cast<int32_t>(r), 0, bytes, type);
        EXPECT_EQ(run, cases[r].State != TMemoRefState::NotAStart);
        if (run) {
            EXPECT_EQ(type, cases[r].Type);
            // Whatever the type, the bytes as stored: nothing trimmed.
            EXPECT_EQ(bytes, cases[r].Bytes);
        }
    }
    const int32_t middle = static_cast<int32_t>(cases.size());
    EXPECT_EQ(db.InspectMemo(middle, 0).State, TMemoRefState::NotAStart);
    EXPECT_EQ(db.ReadMemo(middle, 0), "");
}

TEST(RecordsInFile, CountsWholeAndPartialRecordsUpToTheHeaderCount)
{
    TMemTable t;
    TTableSpec spec = FiveFields();
    spec.Records.assign(3, spec.Records[0]);
    spec.RecordCountOverride = 1000;
    const auto opened = t.Opened(spec);
    TDBFLite& db = *opened;
    EXPECT_EQ(db.RecordCount(), 1000);
    EXPECT_EQ(db.RecordsInFile(), 3);  // the end-of-file mark is no record

    std::string bytes = BuildTable(spec);
    bytes.resize(bytes.size() - 1 - 20);  // mark gone and the last record cut
    t.Files.SetFile(t.TablePath, bytes);
    TDBFLite cut(t.Files);
    cut.OpenTable(t.TablePath, false);
    EXPECT_EQ(cut.RecordsInFile(), 3);

    spec.RecordCountOverride = -1;
    std::string past = BuildTable(spec);
    past[7] = '\x80';  // 2^31 + 3: the file decides
    t.Files.SetFile(t.TablePath, past);
    TDBFLite huge(t.Files);
    huge.OpenTable(t.TablePath, false);
    EXPECT_LT(huge.RecordCount(), 0);
    EXPECT_EQ(huge.RecordsInFile(), 3);

    spec.RecordCountOverride = 2;
    t.Put(spec);
    TDBFLite fewer(t.Files);
    fewer.OpenTable(t.TablePath, false);
    EXPECT_EQ(fewer.RecordsInFile(), 2);
}
