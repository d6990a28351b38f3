// The text transformations behind Save, the Save dialog's file name, Help and
// the error display, on their own.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "escape.h"
#include "helptext.h"
#include "outcome.h"
#include "strutil.h"

namespace {

// Texts and their escaped forms, each the other's undoing.
const std::pair<std::string, std::string> Escaped[] = {
    {"A\r\nB", "A#13#10B"},
    {"#5", "#355"},
    {"a\tb", "a#09b"},
    {"\x01\x1A\x1F", "#01#26#31"},
    {"##", "#35#35"},
    {"", ""},
    {"A\r\nB\t#5", "A#13#10B#09#355"},
    {"\x01\x1F", "#01#31"},
};

}  // namespace

TEST(EscapeMemoValue, ControlBytesAndHashBecomeTwoDigitCodes)
{
    for (const auto& [text, escaped] : Escaped)
        EXPECT_EQ(EscapeMemoValue(text), escaped);
    // A zero byte is a space, not an escape.
    EXPECT_EQ(EscapeMemoValue(std::string("x\0\0y", 4)), "x  y");
}

TEST(EscapeMemoValue, EveryOtherByteIsKeptAndNoLineBreakSurvives)
{
    std::string kept;
    for (int b = 32; b < 256; ++b)
        if (b != '#')
            kept += static_cast<char>(b);
    EXPECT_EQ(EscapeMemoValue(kept), kept);  // Cyrillic, 127 and 255 included

    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    const std::string escaped = EscapeMemoValue(all);
    for (char c : escaped)
        ASSERT_GE(static_cast<unsigned char>(c), 32u) << "a byte below 32 would break the line";
    // 31 escapes of three bytes, the space for 0, # as #35.
    EXPECT_EQ(escaped.size(), 256u + 31 * 2 + 2);
}

TEST(EscapeMemoValue, FindsEveryEscapeWhereverItStandsInALongText)
{
    // Texts are searched many bytes at a time; an escape at any position of
    // such a stretch, or in the bytes after the last whole one, and a byte
    // just either side of the limits (31/32, "#"/"$", 127/128/255), must come
    // out as byte-by-byte escaping gives it.
    const unsigned char probes[] = {0, 1, 9, 10, 13, 31, 32, '"', '#', '$', 127, 128, 0xC0, 255};
    for (size_t length : {1u, 15u, 16u, 17u, 31u, 32u, 33u, 47u, 64u, 70u}) {
        for (size_t at = 0; at < length; ++at) {
            for (unsigned char probe : probes) {
                std::string text(length, 'a');
                text[at] = static_cast<char>(probe);
                std::string expected = text.substr(0, at);
                if (probe == 0)
                    expected += ' ';
                else if (probe < 32 || probe == '#')
                    expected += "#" + std::string(probe < 10 ? "0" : "") + std::to_string(probe);
                else
                    expected += static_cast<char>(probe);
                expected += text.substr(at + 1);
                ASSERT_EQ(EscapeMemoValue(text), expected)
                    << "length " << length << ", byte " << int(probe) << " at " << at;
            }
        }
    }
    // Escapes side by side, written piece after piece as Save writes them,
    // each within the room promised.
    std::string hashes;
    for (int i = 0; i < 40; ++i)
        hashes += "#35";
    const std::string pieces[] = {"x\t", "##\r\n", std::string(40, '#'), std::string(1, '\0')};
    std::string out(200, '?');
    char* end = &out[0];
    for (const std::string& piece : pieces) {
        char* const start = end;
        end = EscapeMemoValue(start, piece.data(), piece.size());
        ASSERT_LE(end - start, static_cast<ptrdiff_t>(piece.size() * MaxEscapedSize));
    }
    out.resize(static_cast<size_t>(end - out.data()));
    EXPECT_EQ(out, "x#09#35#35#13#10" + hashes + " ");
}

TEST(UnescapeMemoValue, UndoesTheEscapesAndNothingElse)
{
    for (const auto& [text, escaped] : Escaped)
        EXPECT_EQ(UnescapeMemoValue(escaped), text);
    // Not an escape Save writes: kept as it stands.
    for (const std::string kept : {"#00#32#99#3", "Room #7"})
        EXPECT_EQ(UnescapeMemoValue(kept), kept);
    EXPECT_EQ(UnescapeMemoValue("##35#"), "###");
    EXPECT_EQ(UnescapeMemoValue("#3#35"), "#3#");

    std::string all;
    for (int b = 1; b < 256; ++b)
        all += static_cast<char>(b);
    EXPECT_EQ(UnescapeMemoValue(EscapeMemoValue(all)), all);
    EXPECT_EQ(UnescapeMemoValue(EscapeMemoValue("#13 is #35")), "#13 is #35");
}

TEST(UnescapeMemoValue, MeasuredWithoutACopyAsLongAndAsBlankAsTheUnescapedText)
{
    std::vector<std::string> values = {"#00#32#99#3", "Room #7", "##35#", "#3#35", "#09#13#10", " #01\t",
                                       "#09#35",      "#09#",    "#0",    "  #1",  "#32",       "\x01#31 "};
    for (const auto& [text, escaped] : Escaped)
        values.push_back(escaped);
    for (const std::string& value : values) {
        SCOPED_TRACE(value);
        const std::string text = UnescapeMemoValue(value);
        const TUnescapedSize size = MeasureUnescapedMemoValue(value.data(), value.size());
        EXPECT_EQ(size.Length, text.size());
        EXPECT_EQ(size.Blank, IsBlank(text));
    }
}

TEST(ChangeFileExt, OnlyADotInTheFileNameCounts)
{
    EXPECT_EQ(ChangeFileExt("C:\\base\\stock.dbf", ".txt"), "C:\\base\\stock.txt");
    EXPECT_EQ(ChangeFileExt("C:\\base.old\\stock", ".txt"), "C:\\base.old\\stock.txt");
    EXPECT_EQ(ChangeFileExt("/data.d/T", ".txt"), "/data.d/T.txt");
    EXPECT_EQ(ChangeFileExt("/data/t.tar.DBF", ".txt"), "/data/t.tar.txt");
    EXPECT_EQ(ChangeFileExt("C:stock", ".txt"), "C:stock.txt");
    EXPECT_EQ(ChangeFileExt("name.", ".txt"), "name.txt");
    EXPECT_EQ(ChangeFileExt("", ".txt"), ".txt");
}

TEST(ReflowHelpText, ParagraphsLineBreaksMarksAndSpaces)
{
    const struct {
        std::string File, Shown;
        const char* Why;
    } cases[] = {
        {"one\r\ntwo\r\n\r\nthree \r\nfour", "one two\r\n\r\nthree\r\nfour", "single breaks join, paragraphs stay"},
        {"a\r\nb\r\n\r\n\r\nc", "a b\r\n\r\n\r\nc", "two empty lines stay two"},
        {"a\r\n\r\n\r\n\r\nb", "a\r\n\r\n\r\n b", "three become two, the next paragraph starts with a space"},
        {"a \r\n\r\nb", "a\r\n b", "a line ending in a space keeps its break, swallows one empty line"},
        {"a\rb\nc\r\n\nd", "a b c\r\n\r\nd", "lone CR and lone LF are breaks too"},
        {"x\r\n\r\n\r\n \t\r\n", "x", "trailing blanks of every kind go"},
        {std::string("a\r\nb\0c\r\nd", 10), "a b", "a zero byte ends the text"},
        {"", "", "empty"},
        {"\r\n \r\n", "", "only blanks"},
        {"one$two", "one\r\ntwo", "$ breaks a line"},
        {"a&b\\c", "a\r\n\r\n\r\nb\r\n\r\nc", "& and \\ break paragraphs"},
        {"a   b    c d", "a  b  c d", "one pass over double spaces"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReflowHelpText(c.File), c.Shown) << c.Why;
}

TEST(ErrorDisplayText, FullStopOnlyAfterBytesSortingAfterIt)
{
    EXPECT_EQ(ErrorDisplayText("Stream write error"), "Stream write error.");
    EXPECT_EQ(ErrorDisplayText("I/O error 5"), "I/O error 5.");
    EXPECT_EQ(ErrorDisplayText("path/"), "path/.");
    EXPECT_EQ(ErrorDisplayText("Файл \"x\""), "Файл \"x\"");  // '"' sorts before '.'
    EXPECT_EQ(ErrorDisplayText("Ошибка"), "Ошибка.");         // high bytes sort after "."
    EXPECT_EQ(ErrorDisplayText("Done."), "Done.");
    EXPECT_EQ(ErrorDisplayText("Stop!"), "Stop!");
    EXPECT_EQ(ErrorDisplayText("a-"), "a-");
    EXPECT_EQ(ErrorDisplayText(""), "");
}
