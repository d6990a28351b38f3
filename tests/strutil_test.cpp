#include <gtest/gtest.h>

#include "strutil.h"

TEST(PosFrom, FindsFirstOccurrenceAtOrAfterStart)
{
    EXPECT_EQ(PosFrom("b", "abcb", 1), 2);
    EXPECT_EQ(PosFrom("b", "abcb", 2), 2);
    EXPECT_EQ(PosFrom("b", "abcb", 3), 4);
    EXPECT_EQ(PosFrom("b", "abcb", 5), 0);
    EXPECT_EQ(PosFrom("cb", "abcb", 1), 3);
    EXPECT_EQ(PosFrom("x", "abcb", 1), 0);
}

TEST(PosFrom, EmptyTextsAndBadStartGiveZero)
{
    EXPECT_EQ(PosFrom("", "abc", 1), 0);
    EXPECT_EQ(PosFrom("a", "", 1), 0);
    EXPECT_EQ(PosFrom("a", "abc", 0), 0);
    EXPECT_EQ(PosFrom("abcd", "abc", 1), 0);
}

TEST(PosFrom, ComparesBytesExactlyIncludingZeroAndHighBytes)
{
    const std::string s("a\0b\xC0", 4);
    EXPECT_EQ(PosFrom(std::string("\0b", 2), s, 1), 2);
    EXPECT_EQ(PosFrom("\xC0", s, 1), 4);
    EXPECT_EQ(PosFrom("A", "abc", 1), 0);
}

TEST(ReplaceAll, ReplacesLeftToRightWithoutOverlapOrRescan)
{
    EXPECT_EQ(ReplaceAll("aaa", "aa", "b"), "ba");
    EXPECT_EQ(ReplaceAll("abab", "ab", "abab"), "abababab");
    EXPECT_EQ(ReplaceAll("x\r\ny\r\n", "\r\n", " "), "x y ");
    EXPECT_EQ(ReplaceAll("one  two", "  ", " "), "one two");
    EXPECT_EQ(ReplaceAll("   ", "  ", " "), "  ");
    EXPECT_EQ(ReplaceAll("    ", "  ", " "), "  ");
    EXPECT_EQ(ReplaceAll("abc", "abc", ""), "");
    EXPECT_EQ(ReplaceAll("xabcx", "abc", ""), "xx");
}

TEST(ReplaceAll, EmptyFindOrSourceLeavesSourceAndNoMatchKeepsIt)
{
    EXPECT_EQ(ReplaceAll("abc", "", "x"), "abc");
    EXPECT_EQ(ReplaceAll("", "a", "x"), "");
    EXPECT_EQ(ReplaceAll("abc", "z", "x"), "abc");
}

TEST(ReplaceAll, HandlesZeroBytesAndLongTexts)
{
    const std::string s("a\0b\0", 4);
    EXPECT_EQ(ReplaceAll(s, std::string("\0", 1), "#"), "a#b#");
    std::string big(100000, 'x');
    big[50000] = 'y';
    const std::string replaced = ReplaceAll(big, "x", "zz");
    EXPECT_EQ(replaced.size(), 199999u);
    EXPECT_EQ(replaced[99998], 'z');
    EXPECT_EQ(replaced[100000], 'y');
}

TEST(DeleteAt, DeletesInPlaceWithinBounds)
{
    std::string s = "\r\nname";
    DeleteAt(s, 1, 2);
    EXPECT_EQ(s, "name");
    s = "abcdef";
    DeleteAt(s, 3, 100);
    EXPECT_EQ(s, "ab");
    s = "abcdef";
    DeleteAt(s, 6, 1);
    EXPECT_EQ(s, "abcde");
}

TEST(DeleteAt, OutOfRangeArgumentsChangeNothing)
{
    std::string s = "abc";
    DeleteAt(s, 0, 1);
    DeleteAt(s, 4, 1);
    DeleteAt(s, 1, 0);
    DeleteAt(s, 1, -5);
    EXPECT_EQ(s, "abc");
    std::string empty;
    DeleteAt(empty, 1, 2);
    EXPECT_EQ(empty, "");
}

TEST(IsBlank, ControlCharactersCountAsBlankHighBytesDoNot)
{
    EXPECT_TRUE(IsBlank(""));
    EXPECT_TRUE(IsBlank(" \t\r\n"));
    EXPECT_TRUE(IsBlank(std::string("\0\x1F \x01", 4)));
    EXPECT_FALSE(IsBlank("  a "));
    EXPECT_FALSE(IsBlank("\x80"));  // a byte above 127 is a character (cp1251: Ђ)
    EXPECT_FALSE(IsBlank("\xE0"));  // cp1251 а
    EXPECT_FALSE(IsBlank("!"));
}

TEST(Trim, RemovesOnlyBlankBytesAtTheEnds)
{
    EXPECT_EQ(TrimRight("abc \r\n\t"), "abc");
    EXPECT_EQ(TrimRight("  abc  "), "  abc");
    EXPECT_EQ(TrimRight(std::string("a\0b\0\0", 5)), std::string("a\0b", 3));
    EXPECT_EQ(Trim(" \x01 abc \x02"), "abc");
    EXPECT_EQ(Trim("   "), "");
    EXPECT_EQ(Trim("\xE0 "), "\xE0");
}

TEST(StrToIntDef, DecimalWithLeadingSpacesAndSign)
{
    EXPECT_EQ(StrToIntDef("12", -1), 12);
    EXPECT_EQ(StrToIntDef("        12", -1), 12);
    EXPECT_EQ(StrToIntDef("-7", 0), -7);
    EXPECT_EQ(StrToIntDef("+7", 0), 7);
    EXPECT_EQ(StrToIntDef("0000000042", 0), 42);
    EXPECT_EQ(StrToIntDef("2147483647", 0), 2147483647);
    EXPECT_EQ(StrToIntDef("-2147483648", 0), INT32_MIN);
}

TEST(StrToIntDef, AnythingButOneWholeNumberGivesTheDefault)
{
    EXPECT_EQ(StrToIntDef("", -1), -1);
    EXPECT_EQ(StrToIntDef("    ", -1), -1);
    EXPECT_EQ(StrToIntDef("12        ", -1), -1);  // trailing spaces
    EXPECT_EQ(StrToIntDef("\t12", -1), -1);        // only spaces are skipped
    EXPECT_EQ(StrToIntDef("12.5", -1), -1);
    EXPECT_EQ(StrToIntDef("1 2", -1), -1);
    EXPECT_EQ(StrToIntDef("abc", -1), -1);
    EXPECT_EQ(StrToIntDef("-", -1), -1);
    EXPECT_EQ(StrToIntDef("2147483648", -1), -1);
    EXPECT_EQ(StrToIntDef("-2147483649", -1), -1);
    EXPECT_EQ(StrToIntDef("99999999999999999999", -1), -1);
    EXPECT_EQ(StrToIntDef("AB", 1), 1);
}

TEST(StrToIntDef, HexadecimalForms)
{
    EXPECT_EQ(StrToIntDef("$1F", 0), 31);
    EXPECT_EQ(StrToIntDef("x10", 0), 16);
    EXPECT_EQ(StrToIntDef("X10", 0), 16);
    EXPECT_EQ(StrToIntDef("0x10", 0), 16);
    EXPECT_EQ(StrToIntDef("  0Xff", 0), 255);
    EXPECT_EQ(StrToIntDef("$", 9), 9);
    EXPECT_EQ(StrToIntDef("0x", 9), 9);
    EXPECT_EQ(StrToIntDef("$G", 9), 9);
    EXPECT_EQ(StrToIntDef("$7FFFFFFF", 0), 2147483647);
    EXPECT_EQ(StrToIntDef("$80000000", 9), 9);
}

TEST(StrToIntDef, ZeroByteEndsTheNumber)
{
    EXPECT_EQ(StrToIntDef(std::string("12\0xyz", 6), -1), 12);
    EXPECT_EQ(StrToIntDef(std::string("  \0 12", 6), -1), -1);
    EXPECT_EQ(StrToIntDef(std::string("\0\0\0\0", 4), -1), -1);
}

TEST(SplitLines, AnyLineBreakStyle)
{
    EXPECT_EQ(SplitLines("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(SplitLines("a\r\n\r\nb\r\n"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_TRUE(SplitLines("").empty());
    EXPECT_EQ(SplitLines("\r\n"), (std::vector<std::string>{""}));
}

TEST(FindEither, FirstOfTwoBytesAtAnyPositionOfALongText)
{
    // Searched 64 and 16 bytes at a time: each position of a stretch and of
    // the bytes after the last whole one, and a high byte that a signed
    // comparison would confuse.
    for (size_t length : {0u, 1u, 15u, 16u, 17u, 33u, 50u, 64u, 65u, 100u, 130u}) {
        const std::string plain(length, '\xF0');
        EXPECT_EQ(FindEither(plain.data(), plain.data() + length, '\n', '\r'), plain.data() + length);
        for (size_t at = 0; at < length; ++at) {
            for (char probe : {'\n', '\r'}) {
                std::string text = plain;
                text[at] = probe;
                if (at + 1 < length)
                    text[at + 1] = probe == '\n' ? '\r' : '\n';  // a later match is not the first
                ASSERT_EQ(FindEither(text.data(), text.data() + length, '\n', '\r'), text.data() + at)
                    << "length " << length << " at " << at;
            }
        }
    }
    // The search stops at To, whatever lies after it.
    const std::string text = "abc\ndef";
    EXPECT_EQ(FindEither(text.data(), text.data() + 3, '\n', '\r'), text.data() + 3);
}
