// The repair commands of tarnwick-cli over tables built byte by byte: the
// map of the memo file and salvage, the full diagnosis of check, backups,
// and the size a Rewrite or a Load would give the memo file.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <functional>
#include <sstream>

#include <nlohmann/json.hpp>

#include "backup.h"
#include "codepage.h"
#include "diagnosis.h"
#include "memolimit.h"
#include "pack.h"
#include "salvage.h"
#include "fakeport.h"
#include "fixtures.h"
#include "fmmain.h"
#include "tempdir.h"

namespace {

std::vector<std::string> Readings(TFileSystem& Files, const std::string& Path);

// --- The memo file's map and salvage ---------------------------------------

// Two memo fields per record; a block number of 0 is an empty reference.
using TRefs = std::vector<std::array<uint32_t, 2>>;

struct TMapCounts {
    uint64_t NotRunStart, CrossLinkedRuns, CrossLinkedReferences, Overlapping, PastNextFree, Orphans, OldCopies,
        BlankOrphans, LostTexts;
    bool operator==(const TMapCounts& O) const
    {
        return NotRunStart == O.NotRunStart && CrossLinkedRuns == O.CrossLinkedRuns &&
               CrossLinkedReferences == O.CrossLinkedReferences && Overlapping == O.Overlapping &&
               PastNextFree == O.PastNextFree && Orphans == O.Orphans && OldCopies == O.OldCopies &&
               BlankOrphans == O.BlankOrphans && LostTexts == O.LostTexts;
    }
};

std::ostream& operator<<(std::ostream& Out, const TMapCounts& C)
{
    return Out << "{not a start " << C.NotRunStart << ", cross-linked " << C.CrossLinkedRuns << "/"
               << C.CrossLinkedReferences << ", overlapping " << C.Overlapping << ", past next free " << C.PastNextFree
               << ", orphans " << C.Orphans << ", old copies " << C.OldCopies << ", blank " << C.BlankOrphans
               << ", lost " << C.LostTexts << "}";
}

TMapCounts CountsOf(const TMemoMapFindings& F)
{
    return {F.NotRunStart, F.CrossLinkedRuns, F.CrossLinkedReferences, F.OverlappingRuns, F.PastNextFree,
            F.Orphans,     F.OldCopies,       F.BlankOrphans,          F.LostTexts};
}

struct TMapCase {
    const char* Name;
    // Builds the memo file and the references; returns the lines salvage
    // must write after its header, as block and escaped text.
    std::function<std::vector<std::pair<uint32_t, std::string>>(TMemoBuilder&, TRefs&)> Build;
    TMapCounts Expected;
};

// 56 bytes of filler put the next 8 bytes of a text at the start of the
// run's second 64-byte block, where a scan would look for a run header.
const std::string Filler(56, 'f');

const TMapCase MapCases[] = {
    {"every run referenced",
     [](TMemoBuilder& M, TRefs& R) {
         const uint32_t a = M.Add("first"), b = M.Add("second"), c = M.Add(std::string(300, 's'));
         R = {{a, b}, {c, 0}};
         return std::vector<std::pair<uint32_t, std::string>>{};
     },
     {0, 0, 0, 0, 0, 0, 0, 0, 0}},
    {"blanked references of either field",
     [](TMemoBuilder& M, TRefs& R) {
         const uint32_t a = M.Add("alpha"), b = M.Add("bravo"), c = M.Add(std::string(200, 'c')), d = M.Add("delta");
         R = {{a, 0}, {0, d}, {0, 0}};
         return std::vector<std::pair<uint32_t, std::string>>{{b, "bravo"}, {c, std::string(200, 'c')}};
     },
     {0, 0, 0, 0, 0, 2, 0, 0, 2}},
    {"a live text holding bytes that look like a run header",
     [](TMemoBuilder& M, TRefs& R) {
         const uint32_t a = M.Add(Filler + TMemoBuilder::RunHeader(1, 5) + "hello" + std::string(100, 'g'));
         R = {{a, 0}};
         return std::vector<std::pair<uint32_t, std::string>>{};
     },
     {0, 0, 0, 0, 0, 0, 0, 0, 0}},
    {"a lost text holding bytes that look like a run header is one orphan",
     [](TMemoBuilder& M, TRefs& R) {
         const uint32_t a = M.Add(Filler + TMemoBuilder::RunHeader(1, 5) + "hello");
         const uint32_t b = M.Add("kept");
         R = {{b, 0}};
         return std::vector<std::pair<uint32_t, std::string>>{{a, Filler + "   #01   #05hello"}};
     },
     {0, 0, 0, 0, 0, 1, 0, 0, 1}},
    {"old copies are the same bytes: counted, not written; a text that differs in its trailing blanks is kept",
     [](TMemoBuilder& M, TRefs& R) {
         const uint32_t trailing = M.Add("same text  \r\n"), old2 = M.Add("other");
         const uint32_t lost = M.Add("same text, longer");
         const uint32_t new1 = M.Add("same text"), new2 = M.Add("other");
         R = {{new1, new2}};
         (void)old2;
         return std::vector<std::pair<uint32_t, std::string>>{{trailing, "same text"}, {lost, "same text, longer"}};
     },
     {0, 0, 0, 0, 0, 3, 1, 0, 2}},
    {"texts longer than the scan's window: the same bytes are an old copy, one byte changed is a lost text",
     [](TMemoBuilder& M, TRefs& R) {
         std::string text((4u << 20) + 37, 'a');
         for (size_t i = 0; i < text.size(); ++i)
             text[i] = static_cast<char>('a' + i * 7 % 26);
         std::string changed = text;
         changed[changed.size() - 3] = 'Z';
         const uint32_t old = M.Add(text), lost = M.Add(changed), live = M.Add(text);
         (void)old;
         R = {{live, 0}};
         return std::vector<std::pair<uint32_t, std::string>>{{lost, changed}};
     },
     {0, 0, 0, 0, 0, 2, 1, 0, 1}},
    {"a reference into a run that another reference leads to: overlapping runs",
     [](TMemoBuilder& M, TRefs& R) {
         const uint32_t a = M.Add(Filler + TMemoBuilder::RunHeader(1, 20) + std::string(80, 'z'));
         R = {{a, 0}, {a + 1, 0}};
         return std::vector<std::pair<uint32_t, std::string>>{};
     },
     {0, 0, 0, 2, 0, 0, 0, 0, 0}},
    {"references sharing a run: cross-linked",
     [](TMemoBuilder& M, TRefs& R) {
         const uint32_t a = M.Add("shared"), b = M.Add("own");
         R = {{a, b}, {0, a}, {a, 0}};
         return std::vector<std::pair<uint32_t, std::string>>{};
     },
     {0, 1, 3, 0, 0, 0, 0, 0, 0}},
    {"references to blocks that start no run: inside a text, a freed block, the header",
     [](TMemoBuilder& M, TRefs& R) {
         const uint32_t a = M.Add(std::string(100, 'k'));
         const uint32_t freed = M.Add("gone", 1000);
         R = {{a + 1, freed}, {2, 0}};
         // The text the damaged reference pointed into is lost; the freed
         // block is no text.
         return std::vector<std::pair<uint32_t, std::string>>{{a, std::string(100, 'k')}};
     },
     {3, 0, 0, 0, 0, 1, 0, 0, 1}},
    {"a lost text escaped as Save escapes it",
     [](TMemoBuilder& M, TRefs& R) {
         const uint32_t a = M.Add(std::string("line one\r\nline\ttwo #3\0end  ", 27));
         R = {{0, 0}};
         return std::vector<std::pair<uint32_t, std::string>>{{a, "line one#13#10line#09two #353 end"}};
     },
     {0, 0, 0, 0, 0, 1, 0, 0, 1}},
    {"a run header whose length does not fit in the file is no orphan",
     [](TMemoBuilder& M, TRefs& R) {
         const uint32_t a = M.Add("real");
         M.AddWithLength("partial", 100000);
         R = {{a, 0}};
         return std::vector<std::pair<uint32_t, std::string>>{};
     },
     {0, 0, 0, 0, 0, 0, 0, 0, 0}},
    {"a lost text whose length reaches into a live run ends there",
     [](TMemoBuilder& M, TRefs& R) {
         const uint32_t cut = M.AddWithLength("cut short", 200);
         const uint32_t live = M.Add("live one");
         // Far enough for the damaged length to fit in the file.
         R = {{live, M.Add(std::string(300, 'x'))}};
         return std::vector<std::pair<uint32_t, std::string>>{{cut, "cut short"}};
     },
     {0, 0, 0, 0, 0, 1, 0, 0, 1}},
    {"runs past the header's next free block",
     [](TMemoBuilder& M, TRefs& R) {
         const uint32_t a = M.Add("one"), b = M.Add("two"), c = M.Add("three");
         M.SetNextBlock(b);
         R = {{a, b}, {c, 0}};
         return std::vector<std::pair<uint32_t, std::string>>{};
     },
     {0, 0, 0, 0, 2, 0, 0, 0, 0}},
    {"a blank orphan is nothing to take back",
     [](TMemoBuilder& M, TRefs& R) {
         M.Add("  \r\n\t ");
         const uint32_t b = M.Add("kept");
         R = {{0, b}};
         return std::vector<std::pair<uint32_t, std::string>>{};
     },
     {0, 0, 0, 0, 0, 1, 0, 1, 0}},
};

class MemoMapCase : public ::testing::TestWithParam<std::tuple<size_t, bool>> {
protected:
    const TMapCase& Case = MapCases[std::get<0>(GetParam())];
    const bool Binary = std::get<1>(GetParam());
    TMemoBuilder memo{64};
    TTableSpec spec = TableOf({{"ID", 'C', 4},
                               {"NOTES", 'M', static_cast<uint8_t>(Binary ? 4 : 10)},
                               {"MORE", 'M', static_cast<uint8_t>(Binary ? 4 : 10)}});

    std::string Name() const { return std::string(Case.Name) + (Binary ? ", binary references" : ", text references"); }
    std::string Ref(uint32_t Block) const
    {
        return Binary ? BinaryMemoRef(Block) : Block == 0 ? std::string() : MemoRef(Block);
    }
    // The case's memo file and a record "r" for each pair of references it
    // makes; the lines it expects salvage to write.
    std::vector<std::pair<uint32_t, std::string>> Build()
    {
        TRefs refs;
        const auto lines = Case.Build(memo, refs);
        for (const auto& r : refs)
            spec.Records.push_back({"r", Ref(r[0]), Ref(r[1])});
        return lines;
    }
};

TEST_P(MemoMapCase, SalvageWritesExactlyTheLostTextsAndCheckCountsTheRest)
{
    SCOPED_TRACE(Name());
    const auto lines = Build();
    TMemTable t;
    t.Put(spec, memo);
    const std::string table = t.Table(), memoBytes = t.Memo();

    const TMemoMapFindings found = SalvageOrphans(t.Files, t.TablePath, "/data/LOST.txt");
    EXPECT_EQ(CountsOf(found), Case.Expected);
    std::string expected = "BLOCK\tTEXT\r\n";
    for (const auto& line : lines)
        expected += std::to_string(line.first) + "\t" + line.second + "\r\n";
    EXPECT_EQ(t.Files.File("/data/LOST.txt"), expected);
    EXPECT_EQ(t.Table(), table);
    EXPECT_EQ(t.Memo(), memoBytes);

    // check maps the same memo file, whichever fields it counts.
    TDBFLite db(t.Files);
    db.OpenTable(t.TablePath, true);
    const TFullDiagnosis d = DiagnoseFully(db, {1}, {}, t.Files);
    EXPECT_EQ(CountsOf(d.Map), Case.Expected);
    const std::vector<std::string> problems = d.Problems();
    // Lost texts are wear: salvage takes them back, nothing reads wrong.
    const bool wrong = Case.Expected.NotRunStart + Case.Expected.CrossLinkedRuns + Case.Expected.Overlapping +
                           Case.Expected.PastNextFree >
                       0;
    EXPECT_EQ(!problems.empty(), wrong) << testing::PrintToString(problems);
}

INSTANTIATE_TEST_SUITE_P(Tables, MemoMapCase,
                         ::testing::Combine(::testing::Range<size_t>(0, sizeof MapCases / sizeof MapCases[0]),
                                            ::testing::Bool()));

TEST(Salvage, RefusesATableWithoutAMemoFileOrWithABlockSizeOfZeroAndWritesNothing)
{
    TMemTable t;
    TTableSpec spec;
    spec.Fields = {{"NOTES", 'M', 10}};
    spec.Records = {{MemoRef(8)}};
    t.Put(spec);
    // In Russian, as the table layer's errors; the console translates it.
    EXPECT_EQ(ExpectError([&] { SalvageOrphans(t.Files, t.TablePath, "/data/LOST.txt"); }),
              "Нет MEMO файла: искать тексты негде.");
    TMemoBuilder memo(64);
    memo.Add("text");
    std::string bytes = memo.Bytes();
    bytes[6] = bytes[7] = '\0';
    t.Files.SetFile(t.MemoPath, bytes);
    EXPECT_FALSE(ExpectError([&] { SalvageOrphans(t.Files, t.TablePath, "/data/LOST.txt"); }).empty());
    EXPECT_FALSE(t.Files.Has("/data/LOST.txt"));
    // Nor is the output ever the table's own file.
    t.Files.SetFile(t.MemoPath, memo.Bytes());
    const std::string table = t.Table(), memoFile = t.Memo();
    for (const std::string& own : {t.TablePath, t.MemoPath}) {
        EXPECT_EQ(ExpectError([&] { SalvageOrphans(t.Files, t.TablePath, own); }),
                  "Этот файл принадлежит таблице: выберите другой текстовый файл.");
        EXPECT_EQ(t.Table(), table);
        EXPECT_EQ(t.Memo(), memoFile);
    }
}

TEST(Salvage, APictureFieldsRunIsLiveNotALostText)
{
    TMemoBuilder memo(64);
    const uint32_t picture = memo.Add(std::string("\x89PNG picture", 12), 0);
    const uint32_t text = memo.Add("hello text");
    TTableSpec spec = VisualFoxProTable({BinaryField("NOTES", 'M', 4), BinaryField("PHOTO", 'G', 4)});
    spec.Records = {{BinaryMemoRef(text), BinaryMemoRef(picture)}};
    TMemTable t;
    t.Put(spec, memo);
    const TMemoMapFindings found = SalvageOrphans(t.Files, t.TablePath, "/data/LOST.txt");
    EXPECT_EQ(found.References, 2u);
    EXPECT_EQ(found.Orphans, 0u);
    EXPECT_EQ(t.Files.File("/data/LOST.txt"), "BLOCK\tTEXT\r\n");
}

TEST(Salvage, AReferenceToABlockHeaderTheFileCutsShortHoldsNoText)
{
    // The last block holds 4 bytes: less than a block header, inside the
    // run before it, whose length runs past the end of the file.
    TMemoBuilder memo(64);
    const uint32_t lost = memo.Add("lost");
    const uint32_t kept = memo.AddWithLength("kept", 1000);
    TTableSpec spec;
    spec.Fields = {{"NOTES", 'M', 10}, {"MORE", 'M', 10}};
    spec.Records = {{MemoRef(kept), MemoRef(memo.NextBlock())}};
    TMemTable t;
    t.Put(spec);
    t.Files.SetFile(t.MemoPath, memo.Bytes() + std::string("\0\0\0\1", 4));
    const std::vector<std::string> before = Readings(t.Files, t.TablePath);
    const TMemoMapFindings found = SalvageOrphans(t.Files, t.TablePath, "/data/LOST.txt");
    EXPECT_EQ(found.References, 1u);  // MORE's block header lies past the end
    EXPECT_EQ(t.Files.File("/data/LOST.txt"), "BLOCK\tTEXT\r\n" + std::to_string(lost) + "\tlost\r\n");
    PackMemo(t.Files, t.TablePath, false);
    EXPECT_EQ(Readings(t.Files, t.TablePath), before);
    EXPECT_EQ(t.Memo().size(), 512u + 128u);  // "kept" with the 56 bytes after it
}

TEST(Salvage, FindsLostTextsAmongManyInBlockOrderWhateverTheWindow)
{
    // Texts longer than the scan's window and many short ones: every other
    // reference blanked.
    TMemoBuilder memo(32);
    TTableSpec spec;
    spec.Fields = {{"NOTES", 'M', 10}};
    std::string expected = "BLOCK\tTEXT\r\n";
    for (int i = 0; i < 400; ++i) {
        const std::string text =
            i % 97 == 5 ? std::string((5u << 20) + static_cast<size_t>(i), 'L') + "end" : "text " + std::to_string(i);
        const uint32_t block = memo.Add(text);
        spec.Records.push_back({i % 2 ? MemoRef(block) : std::string()});
        if (i % 2 == 0)
            expected += std::to_string(block) + "\t" + text + "\r\n";
    }
    TMemTable t;
    t.Put(spec, memo);
    const TMemoMapFindings found = SalvageOrphans(t.Files, t.TablePath, "/data/LOST.txt");
    EXPECT_EQ(found.LostTexts, 200u);
    EXPECT_EQ(found.References, 200u);
    EXPECT_TRUE(t.Files.File("/data/LOST.txt") == expected);
}

// --- The table file's findings ---------------------------------------------

struct TFileCase {
    const char* Name;
    std::function<void(TTableSpec&)> DamageSpec;
    std::function<void(std::string&)> DamageBytes;  // of the table file the builder made
    std::vector<std::string> Problems;
};

const TFileCase FileCases[] = {
    {"sound", nullptr, nullptr, {}},
    // Visual FoxPro writes tables without one: a note, no damage.
    {"no end-of-file byte", [](TTableSpec& S) { S.EndOfFileMark = false; }, nullptr, {}},
    {"another byte where the end-of-file byte belongs", nullptr, [](std::string& B) { B.back() = 'x'; }, {}},
    {"a count the file has no room for", [](TTableSpec& S) { S.RecordCountOverride = 5; }, nullptr, {"records_short"}},
    {"bytes after the counted records", nullptr, [](std::string& B) { B += std::string(40, 'z'); }, {"records_extra"}},
    {"descriptors that do not add up to the record size",
     nullptr,
     [](std::string& B) {
         // The last field's width one byte short of its place in the record.
         B[32 + 2 * 32 + 16] = 3;
     },
     {"record_size"}},
};

TEST(CheckDiagnosis, TheTableFileAgainstItsHeader)
{
    for (const TFileCase& c : FileCases) {
        SCOPED_TRACE(c.Name);
        TTableSpec spec;
        spec.Fields = {{"ID", 'C', 4}, {"NOTES", 'M', 10}, {"PAD", 'C', 4}};
        TMemoBuilder memo(64);
        spec.Records = {{"a", MemoRef(memo.Add("one")), "p"}, {"b", MemoRef(memo.Add("two")), "p"}, {"c", "", "p"}};
        if (c.DamageSpec)
            c.DamageSpec(spec);
        std::string bytes = BuildTable(spec);
        if (c.DamageBytes)
            c.DamageBytes(bytes);
        TMemTable t;
        t.Files.SetFile(t.TablePath, bytes);
        t.Files.SetFile(t.MemoPath, memo.Bytes());
        TDBFLite db(t.Files);
        db.OpenTable(t.TablePath, true);
        const TFullDiagnosis d = DiagnoseFully(db, {1}, {}, t.Files);
        EXPECT_EQ(d.Problems(), c.Problems);
        std::ostringstream json;
        PrintDiagnosisJson(d, t.TablePath, json, nullptr);
        EXPECT_NE(json.str().find(c.Problems.empty() ? "\"ok\":true" : "\"ok\":false"), std::string::npos);
    }
}

TEST(CheckDiagnosis, TheMemoHeadersNextFreeBlockAgainstTheFilesSize)
{
    struct TCase {
        int64_t NextBlock;  // -1: where the runs end
        TNextFreeState State;
        bool Wrong;
    };
    // Past the end, however far, only wastes room: the owner's next text
    // overwrites nothing.
    for (const TCase& c : {TCase{-1, TNextFreeState::AtEnd, false}, TCase{9, TNextFreeState::Inside, true},
                           TCase{12, TNextFreeState::PastEnd, false}, TCase{1 << 20, TNextFreeState::PastEnd, false}}) {
        SCOPED_TRACE(c.NextBlock);
        TTableSpec spec;
        spec.Fields = {{"NOTES", 'M', 10}};
        TMemoBuilder memo(64);
        spec.Records = {{MemoRef(memo.Add("one"))}, {MemoRef(memo.Add("two"))}};
        if (c.NextBlock >= 0)
            memo.SetNextBlock(static_cast<uint32_t>(c.NextBlock));
        TMemTable t;
        t.Put(spec, memo);
        TDBFLite db(t.Files);
        db.OpenTable(t.TablePath, true);
        const TFullDiagnosis d = DiagnoseFully(db, {0}, {}, t.Files);
        EXPECT_EQ(d.NextFree, c.State);
        const std::vector<std::string> p = d.Problems();
        EXPECT_EQ(std::count(p.begin(), p.end(), "next_free_block") == 1, c.Wrong);
    }
}

TEST(CheckDiagnosis, JsonIsValidUtf8WhateverBytesTheNamesAndPathsHold)
{
    // Bytes 0x80..0xFF, quotes, backslashes and control characters in the
    // path and in a field name: through code page 1251 when it is known,
    // else each byte as its Latin-1 character. A path already UTF-8 stays.
    const std::string oddPath = "/data/\x80\xFF \"q\" \\ \x07\x1F.DBF";
    const std::string oddName = "\"\\\x01\xCF\xFF";
    const struct {
        std::string Path;
        int CodePage;
        std::string ExpectedPath, ExpectedName;
    } cases[] = {
        {oddPath, 0, "/data/\u0080\u00FF \"q\" \\ \x07\x1F.DBF", "\"\\\x01\u00CF\u00FF"},
        {oddPath, 1251, "/data/\u0402\u044F \"q\" \\ \x07\x1F.DBF", "\"\\\x01\u041F\u044F"},
        {"/data/\u0422\u0430\u0431.DBF", 1251, "/data/\u0422\u0430\u0431.DBF", "\"\\\x01\u041F\u044F"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ExpectedPath);
        TMemTable t;
        t.TablePath = c.Path;
        t.MemoPath = c.Path.substr(0, c.Path.size() - 3) + "FPT";
        TMemoBuilder memo(64);
        TTableSpec spec = TableOf({{oddName, 'M', 10}});
        spec.Records = {{MemoRef(memo.Add("text"))}};
        t.Put(spec, memo);
        TDBFLite db(t.Files);
        db.OpenTable(t.TablePath, true);
        const TFullDiagnosis d = DiagnoseFully(db, {0}, {}, t.Files);
        std::unique_ptr<TCodePage> codePage;
        if (c.CodePage)
            codePage = std::make_unique<TCodePage>(c.CodePage);
        std::ostringstream out;
        PrintDiagnosisJson(d, t.TablePath, out, codePage.get());
        ASSERT_TRUE(IsUtf8(out.str()));
        ASSERT_EQ(out.str().back(), '\n');
        EXPECT_EQ(out.str().find('\n'), out.str().size() - 1) << "one line";
        const nlohmann::json json = nlohmann::json::parse(out.str());
        EXPECT_EQ(json.at("table"), c.ExpectedPath);
        EXPECT_EQ(json.at("memo_file").at("path"), c.ExpectedPath.substr(0, c.ExpectedPath.size() - 3) + "FPT");
        EXPECT_EQ(json.at("fields").at(0).at("name"), c.ExpectedName);
        EXPECT_EQ(json.at("fields").at(0).at("text"), 1);
        EXPECT_EQ(json.at("ok"), true);
        EXPECT_EQ(json.at("damage"), nlohmann::json::array());
    }
}

// --- Backups ---------------------------------------------------------------

TEST(Backup, CopiesBothFilesAndNumbersLaterCopies)
{
    TMemTable t;
    TMemoBuilder memo(64);
    const TTableSpec spec = NotesTable(memo, {"text"});
    t.Put(spec, memo);
    EXPECT_EQ(BackupTable(t.Files, t.TablePath), (std::vector<std::string>{"/data/T.DBF.bak", "/data/T.FPT.bak"}));
    EXPECT_EQ(t.Files.File("/data/T.DBF.bak"), t.Table());
    EXPECT_EQ(t.Files.File("/data/T.FPT.bak"), t.Memo());
    EXPECT_EQ(BackupTable(t.Files, t.TablePath), (std::vector<std::string>{"/data/T.DBF.bak1", "/data/T.FPT.bak1"}));
    // A number taken by either file is skipped for both.
    t.Files.SetFile("/data/T.FPT.bak2", "old");
    EXPECT_EQ(BackupTable(t.Files, t.TablePath), (std::vector<std::string>{"/data/T.DBF.bak3", "/data/T.FPT.bak3"}));
    EXPECT_EQ(t.Files.File("/data/T.FPT.bak2"), "old");
    EXPECT_EQ(t.Files.File("/data/T.FPT.bak3"), t.Memo());

    // A table without a memo file: the table alone.
    TMemTable lone;
    lone.Put(spec);
    EXPECT_EQ(BackupTable(lone.Files, lone.TablePath), (std::vector<std::string>{"/data/T.DBF.bak"}));
}

TEST(Backup, ANameTakenByAFolderIsTakenAsByAFile)
{
    struct TCase {
        std::vector<std::string> Folders, Files;
        std::string Suffix;
    };
    for (const TCase& c : {TCase{{"/data/T.DBF.bak"}, {}, ".bak1"}, TCase{{"/data/T.FPT.bak"}, {}, ".bak1"},
                           TCase{{"/data/T.DBF.bak1"}, {"/data/T.FPT.bak"}, ".bak2"},
                           TCase{{"/data/T.DBF.bak.tmp2", "/data/T.bak"}, {}, ".bak"}}) {
        SCOPED_TRACE(c.Suffix);
        TMemTable t;
        TMemoBuilder memo(64);
        t.Put(NotesTable(memo, {"text"}), memo);
        for (const std::string& folder : c.Folders)
            t.Files.AddFolder(folder);
        for (const std::string& file : c.Files)
            t.Files.SetFile(file, "old");
        EXPECT_EQ(BackupTable(t.Files, t.TablePath),
                  (std::vector<std::string>{"/data/T.DBF" + c.Suffix, "/data/T.FPT" + c.Suffix}));
        EXPECT_EQ(t.Files.File("/data/T.DBF" + c.Suffix), t.Table());
        EXPECT_EQ(t.Files.File("/data/T.FPT" + c.Suffix), t.Memo());
    }
}

// A backup through the table's path, or through the table open read-write
// (as pack takes it).
using TBackupWay = std::function<std::vector<std::string>(TFileSystem&, TMemTable&)>;
const std::pair<const char*, TBackupWay> BackupWays[] = {
    {"closed", [](TFileSystem& Files, TMemTable& T) { return BackupTable(Files, T.TablePath); }},
    {"open",
     [](TFileSystem& Files, TMemTable& T) {
         TDBFLite table(Files);
         table.OpenTable(T.TablePath, false);
         return BackupOpenTable(Files, table);
     }},
};

TEST(Backup, AFailingWriteSyncOrRenameOfAnyCopyRaisesAndLeavesNoCopyAndTheTableAsItWas)
{
    TMemTable t;
    TTableSpec spec;
    spec.Fields = {{"NOTES", 'M', 10}};
    TMemoBuilder memo(64);
    for (int i = 0; i < 50; ++i)
        spec.Records.push_back({MemoRef(memo.Add(std::string(30000, static_cast<char>('a' + i % 26))))});
    t.Put(spec, memo);
    const std::string table = t.Table(), memoBytes = t.Memo();
    const std::vector<std::string> originals = t.Files.Paths();
    for (const auto& way : BackupWays) {
        SCOPED_TRACE(way.first);
        TFaultFileSystem faulty(t.Files);
        faulty.FailOnlyWrites = true;
        faulty.PartialWrites = true;  // a disk that fills up mid-write
        // Every write, sync and rename of both copies, one after another,
        // made to fail.
        for (long n = 1;; ++n) {
            faulty.Arm(n);
            std::string message;
            try {
                way.second(faulty, t);
            } catch (const EError& e) {
                message = e.Message();
            }
            if (!faulty.Failed) {
                EXPECT_TRUE(message.empty());
                EXPECT_GT(n, 6);  // two writes, a sync and a rename for each file at least
                break;
            }
            SCOPED_TRACE(n);
            EXPECT_EQ(message.rfind("Резервная копия не записана (", 0), 0u) << message;
            EXPECT_EQ(t.Table(), table);
            EXPECT_EQ(t.Memo(), memoBytes);
            // Neither a copy under a .bak name nor an unfinished one.
            ASSERT_EQ(t.Files.Paths(), originals);
        }
        EXPECT_EQ(t.Files.File("/data/T.DBF.bak"), table);
        EXPECT_EQ(t.Files.File("/data/T.FPT.bak"), memoBytes);
        t.Files.Remove("/data/T.DBF.bak");
        t.Files.Remove("/data/T.FPT.bak");
    }
}

TEST(Backup, WhatAKilledBackupLeftIsRemovedAndTheCopyTakesItsName)
{
    struct TCase {
        const char* Name;
        std::vector<std::string> Left;  // files a killed run or the user left
        std::string Suffix;
        std::vector<std::string> Kept;  // of those, the ones still there after
    };
    const TCase cases[] = {
        {"both unfinished", {"/data/T.DBF.bak.tmp", "/data/T.FPT.bak.tmp"}, ".bak", {}},
        {"the memo file's unfinished", {"/data/T.FPT.bak.tmp"}, ".bak", {}},
        {"the table's copy named, the memo file's not",
         {"/data/T.DBF.bak", "/data/T.FPT.bak.tmp"},
         ".bak1",
         {"/data/T.DBF.bak"}},
        {"names like it that are not its own",
         {"/data/T.DBF.tmp", "/data/T.FPT.bak.tmp1", "/data/U.DBF.bak.tmp", "/data/T.DBF.bak1.tmp", "/data/x.bak.tmp"},
         ".bak",
         {"/data/T.DBF.bak1.tmp", "/data/T.DBF.tmp", "/data/T.FPT.bak.tmp1", "/data/U.DBF.bak.tmp", "/data/x.bak.tmp"}},
    };
    for (const auto& way : BackupWays)
        for (const TCase& c : cases) {
            SCOPED_TRACE(std::string(way.first) + ", " + c.Name);
            TMemTable t;
            TMemoBuilder memo(64);
            t.Put(NotesTable(memo, {"text"}), memo);
            // Left without write permission, as a copy of a read-only table
            // is: only removing it makes room for a new copy.
            for (const std::string& path : c.Left) {
                t.Files.SetFile(path, "part");
                t.Files.SetReadOnly(path);
            }
            EXPECT_EQ(way.second(t.Files, t),
                      (std::vector<std::string>{"/data/T.DBF" + c.Suffix, "/data/T.FPT" + c.Suffix}));
            EXPECT_EQ(t.Files.File("/data/T.DBF" + c.Suffix), t.Table());
            EXPECT_EQ(t.Files.File("/data/T.FPT" + c.Suffix), t.Memo());
            std::vector<std::string> expected{t.TablePath, "/data/T.DBF" + c.Suffix, t.MemoPath,
                                              "/data/T.FPT" + c.Suffix};
            expected.insert(expected.end(), c.Kept.begin(), c.Kept.end());
            std::sort(expected.begin(), expected.end());
            expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
            EXPECT_EQ(t.Files.Paths(), expected);
        }
}

TEST(Backup, AnUnfinishedCopyAnotherRunIsWritingStopsThisOneAndIsLeftAlone)
{
    TMemTable t;
    TMemoBuilder memo(64);
    t.Put(NotesTable(memo, {"text"}), memo);
    t.Files.SetFile("/data/T.FPT.bak.tmp", "part");
    const auto writer = t.Files.Open("/data/T.FPT.bak.tmp", TFileAccess::ReadWrite, TFileShare::Exclusive);
    for (const auto& way : BackupWays) {
        SCOPED_TRACE(way.first);
        EXPECT_EQ(ExpectError([&] { way.second(t.Files, t); }).rfind("Резервная копия не записана (", 0), 0u);
        EXPECT_EQ(t.Files.Paths(), (std::vector<std::string>{t.TablePath, t.MemoPath, "/data/T.FPT.bak.tmp"}));
        EXPECT_EQ(t.Files.File("/data/T.FPT.bak.tmp"), "part");
    }
}

TEST(Backup, CopiesAndSalvagesOutputKeepTheOriginalsPermissionBits)
{
    for (const auto& way : BackupWays)
        for (const uint32_t bits : {0600u, 0640u, 0644u, 0444u}) {
            SCOPED_TRACE(std::string(way.first) + " " + std::to_string(bits));
            TMemTable t;
            TMemoBuilder memo(64);
            memo.Add("lost");
            t.Put(NotesTable(memo, {"text"}), memo);
            t.Files.SetPermissions(t.TablePath, bits);
            t.Files.SetPermissions(t.MemoPath, bits | 0020);  // each copy its own original's
            way.second(t.Files, t);
            EXPECT_EQ(t.Files.Permissions("/data/T.DBF.bak"), bits);
            EXPECT_EQ(t.Files.Permissions("/data/T.FPT.bak"), bits | 0020);
            // The lost texts go to a file with the table's bits, new or not.
            t.Files.SetFile("/data/OLD.txt", "old");
            for (const std::string& out : {std::string("/data/LOST.txt"), std::string("/data/OLD.txt")}) {
                SalvageOrphans(t.Files, t.TablePath, out);
                EXPECT_EQ(t.Files.Permissions(out), bits);
                EXPECT_EQ(t.Files.File(out).rfind("BLOCK\tTEXT\r\n", 0), 0u);
            }
        }
}

// --- The memo file's size after Rewrite or Load ------------------------------

TEST(MemoLimit, TheSizeWorkedOutBeforeARewriteIsTheSizeItLeaves)
{
    TMemTable t;
    TTableSpec spec;
    spec.Fields = {{"ID", 'C', 4}, {"NOTES", 'M', 10}, {"MORE", 'M', 10}};
    TMemoBuilder memo(64);
    for (int i = 0; i < 30; ++i)
        spec.Records.push_back({"r" + std::to_string(i), i % 4 == 1 ? "" : MemoRef(memo.Add(std::string(i * 37, 'n'))),
                                i % 3 ? "junk" : MemoRef(memo.Add("more " + std::to_string(i)))});
    memo.SetNextBlock(memo.NextBlock() + 3);  // new runs go after a gap
    t.Put(spec, memo);

    uint64_t worked = 0;
    {
        TDBFLite db(t.Files);
        db.OpenTable(t.TablePath, true);
        worked = MemoSizeAfterRewrite(db, {1, 2});
    }
    TFakePort port = PortOn(t.TablePath, "NOTES\r\nMORE");
    TfmMain form(port, t.Files);
    form.Run(&TfmMain::btAutoClick);
    ASSERT_EQ(port.Captions().back(), "MEMO поля переписаны.");
    EXPECT_EQ(worked, t.Memo().size());
}

// --- pack --------------------------------------------------------------------

// What every reference into the memo file reads, in every field that has
// them: the run's block type and its bytes as stored, as a reader that does
// not trim takes them; empty for a reference that leads to no run.
std::vector<std::string> Readings(TFileSystem& Files, const std::string& Path)
{
    TDBFLite db(Files);
    db.OpenTable(Path, true);
    std::vector<std::string> out;
    for (int32_t r = 0; r < db.RecordsInFile(); ++r)
        for (int field : db.MemoFileFields()) {
            std::string bytes;
            uint32_t type = 0;
            out.push_back(db.ReadMemoRun(r, field, bytes, type) ? std::to_string(type) + "|" + bytes : std::string());
        }
    return out;
}

// The memo file's header and a run for every reference that leads to one,
// nothing more: references that shared a run get a copy each.
uint64_t PackedSize(TFileSystem& Files, const std::string& Path)
{
    TDBFLite db(Files);
    db.OpenTable(Path, true);
    uint64_t size = 512;
    for (int32_t r = 0; r < db.RecordsInFile(); ++r)
        for (int field : db.MemoFileFields()) {
            std::string bytes;
            uint32_t type = 0;
            if (db.ReadMemoRun(r, field, bytes, type))
                size += (8 + bytes.size() + 63) / 64 * 64;
        }
    return size;
}

TEST_P(MemoMapCase, PackKeepsWhatEveryReferenceReadsAndOnlyThat)
{
    SCOPED_TRACE(Name());
    Build();
    spec.Records.push_back({"junk", Ref(900000), Ref(0)});
    TMemTable t;
    t.Put(spec, memo);
    const std::vector<std::string> before = Readings(t.Files, t.TablePath);
    const uint64_t packed = PackedSize(t.Files, t.TablePath);

    const TPackResult result = PackMemo(t.Files, t.TablePath, false);
    EXPECT_EQ(Readings(t.Files, t.TablePath), before);
    EXPECT_EQ(t.Memo().size(), packed);
    EXPECT_EQ(result.SizeAfter, packed);
    EXPECT_EQ(ReadBe32(t.Memo(), 0) * 64u, packed);
    EXPECT_GE(result.Blanked, 1u);  // the reference past the end
    TDBFLite db(t.Files);
    db.OpenTable(t.TablePath, true);
    TMemoMap map(db, t.Files);
    map.AddAllRecords();
    map.Scan();
    EXPECT_EQ(map.Findings().Orphans, 0u);
    EXPECT_EQ(map.Findings().OverlappingRuns, 0u);
    EXPECT_EQ(map.Findings().PastNextFree, 0u);
}

// A table after a rewrite (old copies at the front), with texts two
// references share, blank texts, references past the end and long texts.
void PutRewrittenTable(TMemTable& T, int Records)
{
    TTableSpec spec;
    spec.Fields = {{"ID", 'C', 6}, {"NOTES", 'M', 10}, {"MORE", 'M', 10}};
    TMemoBuilder memo(64);
    const auto text = [](int R) { return R % 13 == 0 ? std::string(20000 + R, 'L') : "text " + std::to_string(R); };
    for (int r = 0; r < Records; ++r)
        memo.Add(text(r));  // the old copies, before the copies a rewrite appended
    for (int r = 0; r < Records; ++r) {
        const uint32_t live = memo.Add(text(r));
        const std::string more = r % 5 == 0    ? MemoRef(live)
                                 : r % 7 == 0  ? MemoRef(memo.Add(" \r\n"))
                                 : r % 11 == 0 ? MemoRef(99999999)
                                               : "";
        spec.Records.push_back({"R" + std::to_string(r), MemoRef(live), more});
    }
    T.Put(spec, memo);
}

TEST(Pack, AFailureAtAnyWriteOrSyncLeavesEveryReferenceReadingAsBeforeAndAnotherPackFinishes)
{
    TMemTable t;
    PutRewrittenTable(t, 120);
    const std::string table = t.Table(), memo = t.Memo();
    const std::vector<std::string> before = Readings(t.Files, t.TablePath);
    const uint64_t packed = PackedSize(t.Files, t.TablePath);
    TFaultFileSystem faulty(t.Files);
    faulty.FailOnlyWrites = true;
    faulty.PartialWrites = true;
    long n = 1;
    for (;; ++n) {
        SCOPED_TRACE(n);
        t.Files.SetFile(t.TablePath, table);
        t.Files.SetFile(t.MemoPath, memo);
        faulty.Arm(n);
        std::string message;
        try {
            PackMemo(faulty, t.TablePath, false);
        } catch (const EError& e) {
            message = e.Message();
        }
        if (!faulty.Failed) {
            EXPECT_TRUE(message.empty());
            break;
        }
        EXPECT_EQ(message, "Stream write error");
        ASSERT_EQ(Readings(t.Files, t.TablePath), before);
        // Nothing it appended is left past the next free block.
        EXPECT_LE(t.Memo().size(), std::max<uint64_t>(memo.size(), uint64_t{ReadBe32(t.Memo(), 0)} * 64));
        PackMemo(t.Files, t.TablePath, false);
        ASSERT_EQ(Readings(t.Files, t.TablePath), before);
        EXPECT_EQ(t.Memo().size(), packed);
    }
    EXPECT_GT(n, 10);
    EXPECT_EQ(Readings(t.Files, t.TablePath), before);
    EXPECT_EQ(t.Memo().size(), packed);
    EXPECT_LT(packed, memo.size() * 2 / 3);
}

// Live texts in the front out of record order (among old copies), texts two
// references share, references to blank texts and past the end: every step
// of pack has work to do.
void PutShuffledTable(TMemTable& T, int Records)
{
    TTableSpec spec;
    spec.Fields = {{"ID", 'C', 6}, {"NOTES", 'M', 10}, {"MORE", 'M', 10}};
    TMemoBuilder memo(64);
    std::vector<uint32_t> live(static_cast<size_t>(Records)), blank(static_cast<size_t>(Records));
    for (int r = Records - 1; r >= 0; --r) {
        memo.Add("old copy " + std::to_string(r));
        live[static_cast<size_t>(r)] = memo.Add(r % 9 == 0 ? std::string(3000 + r, 'x') : "text " + std::to_string(r));
        // Blank texts among them: space a run moved aside may take once
        // their references are blanked.
        blank[static_cast<size_t>(r)] = memo.Add("\r\n ");
    }
    for (int r = 0; r < Records; ++r) {
        const std::string more = r % 4 == 0   ? MemoRef(live[static_cast<size_t>((r + 5) % Records)])
                                 : r % 5 == 0 ? MemoRef(blank[static_cast<size_t>(r)])
                                 : r % 7 == 0 ? MemoRef(7777777)
                                              : "";
        spec.Records.push_back({"R" + std::to_string(r), MemoRef(live[static_cast<size_t>(r)]), more});
    }
    T.Put(spec, memo);
}

TEST(Pack, APowerCutAtAnyMomentLeavesEveryReferenceReadingAsBefore)
{
    // The order of writes and syncs of a whole pack, replayed up to every
    // event: what a sync covered is on the disk; of the rest, nothing, all,
    // or every other write reached it.
    for (const auto& put : {PutShuffledTable, PutRewrittenTable}) {
        TMemTable t;
        put(t, 40);
        const std::map<std::string, std::string> initial{{t.TablePath, t.Table()}, {t.MemoPath, t.Memo()}};
        const std::vector<std::string> before = Readings(t.Files, t.TablePath);
        const uint64_t packed = PackedSize(t.Files, t.TablePath);
        TFaultFileSystem recorded(t.Files);
        recorded.KeepBytes = true;
        const TPackResult result = PackMemo(recorded, t.TablePath, false);
        ASSERT_TRUE(result.Done);
        ASSERT_EQ(t.Memo().size(), packed);
        const std::vector<TFileEvent> events = recorded.Events;
        ASSERT_GT(events.size(), 10u);
        const std::function<bool(size_t)> reached[] = {[](size_t) { return false; }, [](size_t) { return true; },
                                                       [](size_t I) { return I % 2 == 0; }};
        for (size_t cut = 0; cut <= events.size(); ++cut)
            for (size_t mode = 0; mode < 3; ++mode) {
                SCOPED_TRACE("cut after event " + std::to_string(cut) + ", mode " + std::to_string(mode));
                TMemTable disk;
                for (const auto& file : DiskAfterCut(initial, events, cut, reached[mode]))
                    disk.Files.SetFile(file.first, file.second);
                const std::vector<std::string> now = Readings(disk.Files, disk.TablePath);
                ASSERT_EQ(now.size(), before.size());
                for (size_t i = 0; i < now.size(); ++i)
                    ASSERT_TRUE(now[i] == before[i]) << "reference " << i;
                if (cut % 7 == 0) {
                    // (A text two references shared may now be two copies, one
                    // each: the next pack keeps both.)
                    const uint64_t live = PackedSize(disk.Files, disk.TablePath);
                    EXPECT_LE(packed, live);
                    PackMemo(disk.Files, disk.TablePath, false);
                    const std::vector<std::string> again = Readings(disk.Files, disk.TablePath);
                    for (size_t i = 0; i < again.size(); ++i)
                        ASSERT_TRUE(again[i] == before[i]) << "packed again, reference " << i;
                    EXPECT_EQ(disk.Memo().size(), live);
                }
            }
    }
}

TEST(Pack, ThePlanKnowsHowLargeTheFileGetsOnTheWay)
{
    TMemTable t;
    PutRewrittenTable(t, 30);
    const TPackResult plan = PlanPack(t.Files, t.TablePath);
    EXPECT_EQ(plan.SizeBefore, t.Memo().size());
    EXPECT_EQ(plan.SizeAfter, PackedSize(t.Files, t.TablePath));
    // 30 records, 6 texts two references shared copied apart, 4 blank texts
    // kept as they are.
    EXPECT_EQ(plan.Texts, 40u);

    // Live texts only, in the front but in the reverse of record order:
    // every one is copied past the end first, so the file doubles on the
    // way, and past 2 GiB PackMemo would refuse before it writes.
    TMemoBuilder memo(64);
    TTableSpec spec;
    spec.Fields = {{"NOTES", 'M', 10}};
    std::vector<uint32_t> blocks;
    for (int r = 0; r < 10; ++r)
        blocks.push_back(memo.Add(std::string(1000, static_cast<char>('a' + r))));
    for (int r = 9; r >= 0; --r)
        spec.Records.push_back({MemoRef(blocks[static_cast<size_t>(r)])});
    t.Put(spec, memo);
    const TPackResult live = PlanPack(t.Files, t.TablePath);
    EXPECT_EQ(live.MovedAside, 10u);
    EXPECT_EQ(live.PeakSize, live.SizeBefore + 10 * 1024u);
}

TEST(Pack, ARunTheFilesEndCutsShortIsCopiedNotLeftWhereLaterRunsWouldExtendIt)
{
    {
        TMemoBuilder memo(64);
        const uint32_t cut = memo.AddWithLength("first", 100000);
        const uint32_t second = memo.Add("second text");
        TMemTable t;
        TTableSpec spec = TableOf({{"NOTES", 'M', 10}});
        spec.Records = {{MemoRef(cut)}, {MemoRef(second)}};
        t.Put(spec, memo);
        const std::vector<std::string> before = Readings(t.Files, t.TablePath);
        EXPECT_TRUE(PackMemo(t.Files, t.TablePath, false).Done);
        EXPECT_EQ(Readings(t.Files, t.TablePath), before);
    }
    // A cut run that starts among another run's bytes is not sealed (that
    // would change the other run's text), and is copied aside after others
    // were appended behind it: it takes what the file held of it, not them.
    TMemoBuilder memo(64);
    const uint32_t before = memo.Add("short text");
    const uint32_t around = memo.Add(std::string(100, 'a'));
    const uint32_t inside = around + 1;
    memo.Overwrite(inside * 64u, TMemoBuilder::RunHeader(1, 1000) + std::string(50, 'r'));
    TMemTable t;
    TTableSpec spec = TableOf({{"NOTES", 'M', 10}});
    spec.Records = {{MemoRef(around)}, {MemoRef(before)}, {MemoRef(inside)}};
    t.Put(spec, memo);
    const std::vector<std::string> readings = Readings(t.Files, t.TablePath);
    EXPECT_TRUE(PackMemo(t.Files, t.TablePath, false).Done);
    EXPECT_EQ(Readings(t.Files, t.TablePath), readings);
}

TEST(Pack, ARunInPlaceStaysAndAnotherReferenceToItGetsACopy)
{
    // Packed already, but for record 1 leading to record 0's text: the run
    // stays where it is for record 0 and is copied for record 1 into the
    // place that was record 1's.
    TMemoBuilder memo(64);
    const uint32_t first = memo.Add("first text");
    memo.Add("second, now lost");
    const uint32_t third = memo.Add("third text");
    TMemTable t;
    TTableSpec spec = TableOf({{"NOTES", 'M', 10}});
    spec.Records = {{MemoRef(first)}, {MemoRef(first)}, {MemoRef(third)}};
    t.Put(spec, memo);
    const std::vector<std::string> before = Readings(t.Files, t.TablePath);
    const std::string firstRun = t.Memo().substr(first * 64, 64);
    EXPECT_TRUE(PackMemo(t.Files, t.TablePath, false).Done);
    EXPECT_EQ(Readings(t.Files, t.TablePath), before);
    EXPECT_EQ(t.Memo().size(), (third + 1) * 64u);
    EXPECT_EQ(t.Memo().substr(first * 64, 64), firstRun);
    EXPECT_EQ(t.Memo().substr((first + 1) * 64, 64), firstRun) << "record 1's own copy";
    TDBFLite db(t.Files);
    db.OpenTable(t.TablePath, true);
    EXPECT_EQ(db.MemoRunOf(1, 0).Block, first + 1);
}

TEST(Pack, MovesEveryFieldsRunsByteForByteAndGivesSharedRunsACopyEach)
{
    // Texts ending in line breaks and blanks, texts that read as blank,
    // binary values with zeros and control bytes inside and at their end, a
    // run of zeros only; in memo, general, picture and blob fields; runs two
    // references share; old copies in front of them all. Visual FoxPro's
    // binary references and FoxPro's text ones.
    for (const bool binary : {true, false}) {
        SCOPED_TRACE(binary ? "binary references" : "text references");
        TMemoBuilder memo(64);
        for (int i = 0; i < 6; ++i)
            memo.Add("old copy " + std::to_string(i));
        const uint32_t text = memo.Add("text ends in\r\n  ");
        const uint32_t control = memo.Add(std::string("\x04\x00", 2), 0);
        const uint32_t zeros = memo.Add(std::string(1078, '\0'), 0);
        const uint32_t png = memo.Add(std::string("\x89PNG\r\n\x1A\n\0\0", 10), 0);
        const uint32_t blank = memo.Add(" \r\n");
        const uint32_t blob = memo.Add(std::string("\0\x01\x02 ", 4), 0);
        const auto ref = [binary](uint32_t Block) {
            return binary ? BinaryMemoRef(Block) : Block == 0 ? std::string() : MemoRef(Block);
        };
        const uint16_t width = binary ? 4 : 10;
        TTableSpec spec = VisualFoxProTable({BinaryField("NOTES", 'M', width), BinaryField("PHOTO", 'G', width),
                                             BinaryField("PIC", 'P', width), BinaryField("DATA", 'W', width)});
        spec.Records = {{ref(text), ref(png), ref(zeros), ref(blob)},
                        {ref(blank), ref(png), ref(0), ref(control)},
                        {ref(text), ref(0), ref(control), ref(0)}};
        TMemTable t;
        t.Put(spec, memo);
        const std::vector<std::string> before = Readings(t.Files, t.TablePath);
        const uint64_t packed = PackedSize(t.Files, t.TablePath);
        const TPackResult result = PackMemo(t.Files, t.TablePath, false);
        EXPECT_TRUE(result.Done);
        EXPECT_EQ(result.Blanked, 0u);
        EXPECT_EQ(result.Texts, 9u);
        EXPECT_EQ(Readings(t.Files, t.TablePath), before);
        EXPECT_EQ(t.Memo().size(), packed);
        TDBFLite db(t.Files);
        db.OpenTable(t.TablePath, true);
        TMemoMap map(db, t.Files);
        map.AddAllRecords();
        map.Scan();
        EXPECT_EQ(map.Findings().CrossLinkedRuns, 0u);
        EXPECT_EQ(map.Findings().Orphans, 0u);
    }
}

TEST(Pack, RefusesBeforeItWritesWhatItCannotMoveWhole)
{
    struct TCase {
        const char* Name;
        std::function<void(TMemTable&)> Put;
        std::string Error;  // its start
    };
    const TCase cases[] = {
        {"a field of a type nobody here knows, which may keep data in the memo file",
         [](TMemTable& T) {
             TMemoBuilder memo(64);
             const uint32_t text = memo.Add("hello text");
             TTableSpec spec = VisualFoxProTable({BinaryField("NOTES", 'M', 4), BinaryField("ODD", 'X', 4)});
             spec.Records = {{BinaryMemoRef(text), BinaryMemoRef(text)}};
             T.Put(spec, memo);
         },
         "Поле ODD имеет тип X"},
        {"records past the header's count, left by a crash during an append",
         [](TMemTable& T) {
             TMemoBuilder memo(64);
             TTableSpec spec = NotesTable(memo, {"zero", "one", "two", "three"});
             spec.RecordCountOverride = 1;
             T.Put(spec, memo);
         },
         "В файле таблицы 3 записей сверх числа в заголовке (1)"},
        {"fields that do not add up to the record",
         [](TMemTable& T) {
             TMemoBuilder memo(64);
             T.Put(NotesTable(memo, {"one", "two"}), memo);
             std::string table = T.Table();
             table[10] = 8;  // record length 8: NOTES lies past its end
             T.Files.SetFile(T.TablePath, table);
         },
         "Длины полей таблицы"},
        {"a reference one digit wide, whose text must go aside past block 9",
         [](TMemTable& T) {
             TMemoBuilder memo(64);
             const uint32_t a = memo.Add("a"), b = memo.Add("b");  // blocks 8 and 9
             TTableSpec spec = TableOf({{"NOTES", 'M', 1}});
             spec.Records = {{std::to_string(b)}, {std::to_string(a)}};
             T.Put(spec, memo);
         },
         "Поле \"NOTES\" слишком узкое для номера блока"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TMemTable t;
        c.Put(t);
        const std::string table = t.Table(), memo = t.Memo();
        bool asked = false, refused = false;
        const std::string error = ExpectError([&] {
            try {
                PackMemo(t.Files, t.TablePath, true, {}, [&](TDBFLite&, const TPackResult&) { return asked = true; });
            } catch (const ERefused&) {
                refused = true;  // the command line's exit status for a refusal
                throw;
            }
        });
        EXPECT_EQ(error.rfind(c.Error, 0), 0u) << error;
        EXPECT_TRUE(refused);
        EXPECT_FALSE(asked);
        EXPECT_EQ(t.Table(), table);
        EXPECT_EQ(t.Memo(), memo);
    }
}

TEST(Pack, TheBundledDamagedSampleReadsAsBeforeTwicePacked)
{
    const char* source = std::getenv("TARNWICK_SOURCE_DIR");
    ASSERT_TRUE(source && *source) << "TARNWICK_SOURCE_DIR is not set";
    TMemTable t;
    t.Files.SetFile(t.TablePath, ReadFileBytes(std::string(source) + "/examples/sample/ORDERS.DBF"));
    t.Files.SetFile(t.MemoPath, ReadFileBytes(std::string(source) + "/examples/sample/ORDERS.FPT"));
    const std::vector<std::string> before = Readings(t.Files, t.TablePath);
    const TPackResult first = PackMemo(t.Files, t.TablePath, false);
    EXPECT_TRUE(first.Done);
    EXPECT_GT(first.Blanked, 0u);
    EXPECT_EQ(Readings(t.Files, t.TablePath), before);
    const std::string packed = t.Memo();
    EXPECT_EQ(packed.size(), PackedSize(t.Files, t.TablePath));
    // A second pack finds nothing to move and leaves the same bytes.
    const TPackResult second = PackMemo(t.Files, t.TablePath, false);
    EXPECT_EQ(second.Blanked, 0u);
    EXPECT_EQ(second.MovedAside, 0u);
    EXPECT_EQ(t.Memo(), packed);
}

}  // namespace
