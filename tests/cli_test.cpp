// The command line's own parts: its texts in both languages, the code page
// conversions, and the text files of save and load converted to and from
// UTF-8 through the handlers.
#include <gtest/gtest.h>

#include <utility>

#include "codepage.h"
#include "consolefiles.h"
#include "crlf.h"
#include "texts.h"
#include "fakeport.h"
#include "fixtures.h"
#include "fmmain.h"

namespace {

bool HasCyrillic(const std::string& Text)
{
    // U+0400..U+04FF: lead bytes D0 to D3.
    for (char c : Text)
        if (static_cast<unsigned char>(c) >= 0xD0 && static_cast<unsigned char>(c) <= 0xD3)
            return true;
    return false;
}

TEST(CliTexts, LanguageComesFromTheFirstLocaleVariableSet)
{
    const struct {
        const char* All;
        const char* Messages;
        const char* Lang;
        TLanguage Expected;
    } cases[] = {
        {nullptr, nullptr, nullptr, TLanguage::English},
        {nullptr, nullptr, "ru_RU.UTF-8", TLanguage::Russian},
        {"", "", "ru_RU.CP1251", TLanguage::Russian},
        {"C", nullptr, "ru_RU.UTF-8", TLanguage::English},
        {nullptr, "en_GB.UTF-8", "ru_RU.UTF-8", TLanguage::English},
        {"ru_UA.UTF-8", "en_US", nullptr, TLanguage::Russian},
        {nullptr, "ru", nullptr, TLanguage::Russian},
        {nullptr, nullptr, "rus", TLanguage::Russian},
        {nullptr, nullptr, "de_DE.UTF-8", TLanguage::English},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LanguageFromLocale(c.All, c.Messages, c.Lang), c.Expected)
            << (c.All ? c.All : "-") << " " << (c.Messages ? c.Messages : "-") << " " << (c.Lang ? c.Lang : "-");
}

TEST(CliTexts, TheSystemsRussianTextsReadInEnglishWithTheirNamesKept)
{
    // Each Russian text and how it reads in English.
    const std::pair<std::string, std::string> cases[] = {
        {"DBF файл не найден.", "DBF file not found."},
        {"MEMO полей: 12", "Memo fields: 12"},
        {"Ошибка открытия файла \"/data/Т.DBF\".", "Cannot open the file \"/data/Т.DBF\"."},
        {"Ошибка чтения заголовка MEMO файла \"a.FPT\"..", "Cannot read the header of the memo file \"a.FPT\".."},
        {"Поле \"NOTES\" выходит за границы записи файла \"x.dbf\".",
         "The field \"NOTES\" lies outside the record of the file \"x.dbf\"."},
        {"Выбрано больше 100 полей.\r\nОставьте в списке не больше 100 полей.",
         "More than 100 fields chosen.\r\nLeave at most 100 fields in the list."},
        {"Вы действительно хотите перезаписать эти MEMO поля (3 шт.)?\rВосстановление будет невозможно! Программа не "
         "сохраняет резервных копий!",
         "Do you really want to rewrite these memo fields (3 of them)?\rThere is no way back! The program keeps no "
         "backup copies!"},
        {"Строка 7 файла: значений больше, чем названий полей в первой строке.",
         "Line 7 of the file: more values than field names in the first line."},
        {"Таблица доступна только для чтения.", "The table is read-only."},
        // Arguments in another order in the translation: each goes where its number says.
        {"MEMO файл вырос с 100 до 200 байт: общие и налегающие тексты разнесены по отдельным блокам; "
         "текстов 3, ссылок без текста очищено 4.",
         "The memo file grew from 100 to 200 bytes: texts that references shared or that overlapped were copied "
         "apart; 3 texts, 4 references that led to no text blanked."},
        // The repair commands' errors.
        {"Нет MEMO файла: искать тексты негде.", "No memo file: there are no texts to look for."},
        {"Резервная копия не записана (Cannot open file \"/d/T.DBF.bak\"); таблица не изменена.",
         "The backup could not be written (Cannot open file \"/d/T.DBF.bak\"); the table is unchanged."},
        // Texts the catalog does not know, and near misses, stay as they are.
        {"Stream read error.", "Stream read error."},
        {"MEMO поля", "MEMO поля"},
        {"Поле \"A\" выходит за границы", "Поле \"A\" выходит за границы"},
        {"", ""},
    };
    for (const auto& [russian, english] : cases) {
        EXPECT_EQ(Translate(russian, TLanguage::English), english);
        EXPECT_EQ(Translate(russian, TLanguage::Russian), russian);
    }
}

TEST(CliTexts, UsageIsWhollyInTheRunsLanguage)
{
    const TLanguage english = TLanguage::English, russian = TLanguage::Russian;
    EXPECT_FALSE(HasCyrillic(UsageText(english)));
    EXPECT_FALSE(HasCyrillic(Say(Texts::ReportMemoFile, {"a", "1", "2", "3"}, english)));
    EXPECT_EQ(Say(Texts::UnknownCommand, {"frob"}, english), "tarnwick-cli: unknown command 'frob'");
    const std::string save = CommandUsageText("save", english);
    EXPECT_NE(save.find("tarnwick-cli save TABLE OUTPUT"), std::string::npos);
    EXPECT_EQ(save.find("tarnwick-cli load"), std::string::npos);
    EXPECT_EQ(CommandUsageText("frob", english), "");

    EXPECT_TRUE(HasCyrillic(UsageText(russian)));
    EXPECT_NE(CommandUsageText("load", russian).find("ТАБЛИЦА ФАЙЛ"), std::string::npos);
    EXPECT_EQ(Say(Texts::NotInCodePage, {"3", "866"}, russian),
              "Строка 3 файла: символ, которого нет в кодовой странице 866.");
}

TEST(CodePages, TheHeaderMarkNamesTheCodePage)
{
    const std::pair<uint8_t, int> cases[] = {{0x01, 437},  {0x02, 850}, {0x03, 1252}, {0x64, 852},
                                             {0x65, 866},  {0x26, 866}, {0xC8, 1250}, {0xC9, 1251},
                                             {0x57, 1252}, {0x00, 0},   {0x7B, 0},    {0xFF, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(CodePageOfLanguageDriver(c.first), c.second) << int(c.first);
}

TEST(CodePages, BytesGoToUtf8AndBack)
{
    const struct {
        int CodePage;
        std::string Bytes;
        std::string Utf8;
    } cases[] = {
        {1251, "\xCF\xF0\xE8\xE2\xE5\xF2 \xA8\xB8 \x88", "Привет Ёё €"},
        {866, "\x8F\xE0\xA8\xA2\xA5\xE2 \xF0", "Привет Ё"},
        {437, "\x80\x9B\xE1", "Ç¢ß"},
        {850, "\x80\xD1\xE6", "ÇÐµ"},
        {852, "\xA5\xA8", "ąĘ"},
        {1250, "\x8A\xB9", "Šą"},
        {1252, "\x80\xE9\x9F", "€éŸ"},
    };
    for (const auto& c : cases) {
        const TCodePage page(c.CodePage);
        EXPECT_EQ(page.ToUtf8(c.Bytes), c.Utf8) << c.CodePage;
        std::string back;
        size_t failed = 0;
        EXPECT_EQ(page.AppendFromUtf8(back, c.Utf8, failed), TCodePage::TFromUtf8::Done) << c.CodePage;
        EXPECT_EQ(back, c.Bytes) << c.CodePage;
    }
    // Every byte of a code page comes back as it was, the ones it leaves
    // undefined (0x98 in 1251) too.
    for (int number : {437, 850, 852, 866, 1250, 1251, 1252}) {
        const TCodePage page(number);
        std::string all;
        for (int b = 0; b < 256; ++b)
            all += static_cast<char>(b);
        const std::string utf8 = page.ToUtf8(all);
        EXPECT_TRUE(IsUtf8(utf8)) << number;
        std::string back;
        size_t failed = 0;
        EXPECT_EQ(page.AppendFromUtf8(back, utf8, failed), TCodePage::TFromUtf8::Done) << number;
        EXPECT_EQ(back, all) << number;
    }
}

TEST(CodePages, WhatACodePageCannotHoldIsFoundWhereItIs)
{
    const TCodePage cp1251(1251);
    const struct {
        std::string Utf8;
        TCodePage::TFromUtf8 Result;
        size_t At;
    } cases[] = {
        {"ab\xC3\xBC", TCodePage::TFromUtf8::NotInCodePage, 2},    // ü
        {"\xE4\xB8\xAD", TCodePage::TFromUtf8::NotInCodePage, 0},  // a Chinese letter
        {"x\xD0", TCodePage::TFromUtf8::NotUtf8, 1},               // cut short
        {"\xC0\xAF", TCodePage::TFromUtf8::NotUtf8, 0},            // overlong "/"
        {"ok\xED\xA0\x80", TCodePage::TFromUtf8::NotUtf8, 2},      // a surrogate
        {"\xCF\xF0", TCodePage::TFromUtf8::NotUtf8, 0},            // cp1251 bytes, not UTF-8
    };
    for (const auto& c : cases) {
        std::string out;
        size_t failed = 99;
        EXPECT_EQ(cp1251.AppendFromUtf8(out, c.Utf8, failed), c.Result) << c.Utf8;
        EXPECT_EQ(failed, c.At) << c.Utf8;
    }
    EXPECT_THROW(TCodePage(12345), EError);
}

// --- save and load through the converted text file -------------------------

class EncodedFiles : public ::testing::Test {
protected:
    TMemTable t;
    TFakePort port;
    TConsoleFiles files{t.Files};
    TCodePage cp1251{1251};
    TfmMain form{port, files};
    TTableSpec spec;
    TMemoBuilder memo{64};
    std::string long1251;

    void SetUp() override
    {
        port.FileName = t.TablePath;
        files.CodePage = &cp1251;
        spec.LanguageDriver = 0xC9;
        spec.Fields = {{"NAME", 'C', 8}, {"NOTES", 'M', 10}};
        // Over a megabyte of UTF-8 (two bytes a letter), so the file is read
        // in pieces and Load's second pass goes back over them.
        for (int i = 0; i < 300000; ++i)
            long1251 += static_cast<char>(0xC0 + i % 64);
        spec.Records = {{"\xC8\xE2\xE0\xED", MemoRef(memo.Add("\xCF\xF0\xE8\xE2\xE5\xF2\r\n\xEC\xE8\xF0 #1\t\xB9"))},
                        {"Ann", MemoRef(memo.Add(long1251))},
                        {"\xC5\xE2\xE0", ""},
                        {"Bob", MemoRef(memo.Add(long1251 + "\xFF"))}};
        t.Put(spec, memo);
    }

    void Save(const std::string& Path)
    {
        files.TextFile = Path;
        port.Memo = "NAME\r\nNOTES";
        port.DialogAnswers = {Path};
        form.Run(&TfmMain::btSaveClick);
    }
    void Load(const std::string& Path)
    {
        files.TextFile = Path;
        port.DialogAnswers = {Path};
        form.Run(&TfmMain::btLoadClick);
    }
};

TEST_F(EncodedFiles, Cp1251TextsGoOutAsUtf8AndComeBackToTheSameBytes)
{
    files.CodePage = nullptr;
    Save("/out/raw.txt");
    files.CodePage = &cp1251;
    Save("/out/utf8.txt");
    const std::string raw = t.Files.File("/out/raw.txt"), utf8 = t.Files.File("/out/utf8.txt");
    ASSERT_GT(raw.size(), 600000u);
    EXPECT_EQ(utf8, cp1251.ToUtf8(raw));
    EXPECT_EQ(utf8.compare(0, 20, "NAME\tNOTES\r\nИван"), 0);
    EXPECT_NE(utf8.find("\tПривет#13#10мир #351#09№\r\n"), std::string::npos);

    // Loading either file into a copy of the table gives the same bytes.
    const std::string table = t.Table(), memoFile = t.Memo();
    files.CodePage = nullptr;
    Load("/out/raw.txt");
    const std::string rawTable = t.Table(), rawMemo = t.Memo();
    EXPECT_NE(rawMemo, memoFile);  // the texts went in again
    t.Files.SetFile(t.TablePath, table);
    t.Files.SetFile(t.MemoPath, memoFile);
    files.CodePage = &cp1251;
    Load("/out/utf8.txt");
    EXPECT_EQ(port.Errors(), std::vector<std::string>());
    EXPECT_EQ(port.Captions().back(), "MEMO поля загружены.");
    EXPECT_EQ(t.Table(), rawTable);
    EXPECT_EQ(t.Memo(), rawMemo);
}

TEST_F(EncodedFiles, LoadRefusesWhatTheCodePageCannotHoldBeforeItWrites)
{
    const std::string table = t.Table(), memoFile = t.Memo();
    const std::string big(1 << 20, 'x');
    // Each file and the error that refuses it.
    const std::pair<std::string, std::string> cases[] = {
        {"NAME\tNOTES\r\nИван\tü\r\n", "Line 2 of the file: a character that code page 1251 cannot hold."},
        {"NAME\tNOTES\r\na\tb\r\nc\td\r\n\r\ne\t\xCF\xF0\r\n", "Line 5 of the file: not UTF-8 text."},
        // Past the first megabyte, after lines that would load.
        {"NAME\tNOTES\r\na\t" + big + "\r\nb\tok\r\nc\t中\r\n",
         "Line 4 of the file: a character that code page 1251 cannot hold."},
        {"NAMEü\r\n", "Line 1 of the file: a character that code page 1251 cannot hold."},
    };
    for (const auto& [text, error] : cases) {
        port.Log.clear();
        t.Files.SetFile("/in/bad.txt", text);
        Load("/in/bad.txt");
        // Raised in Russian, as the table layer's errors are; the console
        // shows it in the user's language.
        ASSERT_EQ(port.Errors().size(), 1u);
        EXPECT_EQ(Translate(port.Errors()[0], TLanguage::English), error);
        EXPECT_TRUE(HasCyrillic(port.Errors()[0]));
        EXPECT_EQ(t.Table(), table);
        EXPECT_EQ(t.Memo(), memoFile);
    }
    // A byte order mark is no text.
    t.Files.SetFile("/in/bom.txt", "\xEF\xBB\xBFNAME\r\nИра\r\n");
    Load("/in/bom.txt");
    EXPECT_EQ(port.Captions().back(), "MEMO поля загружены.");
    EXPECT_EQ(t.Table().substr(HeaderSizeOf(spec) + 1, 8), std::string("\xC8\xF0\xE0     ", 8));
}

TEST(ConsoleFiles, HelpIsFoundBesideTheProgramWhenTheCurrentFolderHasNone)
{
    TMemoryFileSystem disk;
    TConsoleFiles files(disk);
    files.ProgramHelpFile = "/opt/tarnwick/Read_Me.txt";
    EXPECT_FALSE(files.FileExists("Read_Me.txt"));
    disk.SetFile("/opt/tarnwick/Read_Me.txt", "beside");
    EXPECT_TRUE(files.FileExists("Read_Me.txt"));
    char text[6];
    files.Open("Read_Me.txt", TFileAccess::Read, TFileShare::DenyNone)->ReadAt(0, text, 6);
    EXPECT_EQ(std::string(text, 6), "beside");
    disk.SetFile("Read_Me.txt", "here");
    files.Open("Read_Me.txt", TFileAccess::Read, TFileShare::DenyNone)->ReadAt(0, text, 4);
    EXPECT_EQ(std::string(text, 4), "here");
    EXPECT_FALSE(files.FileExists("other.txt"));
}

TEST(ConsoleLineEnds, EveryLineEndsInOneCrLfWhateverThePiecesAre)
{
    const struct {
        std::vector<std::string> Pieces;
        std::string Out;
    } cases[] = {
        {{"a\nb\n"}, "a\r\nb\r\n"},
        {{"help\r\ntext\r\n"}, "help\r\ntext\r\n"},
        {{"help\r", "\n", "\n"}, "help\r\n\r\n"},
        {{"\r[###]", "\r[####]\x1b[K", "\r\x1b[K", "done\n"}, "\r[###]\r[####]\x1b[K\r\x1b[Kdone\r\n"},
        {{"\n", "\n"}, "\r\n\r\n"},
        {{"", "x"}, "x"},
    };
    for (const auto& c : cases) {
        TCrLfFilter filter;
        std::string out;
        for (const std::string& piece : c.Pieces)
            filter.Put(piece.data(), piece.size(), out);
        EXPECT_EQ(out, c.Out);
        EXPECT_EQ(out.find("\r\r\n"), std::string::npos);
    }
}

}  // namespace
