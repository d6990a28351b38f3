// The text files of Save and Load: line ends, Ctrl-Z, long lines, the
// runtime's error texts.
#include <gtest/gtest.h>

#include "fixtures.h"

#include <fstream>
#include <functional>

#include "escape.h"
#include "loadlines.h"
#include "textfile.h"
#include "memfs.h"
#include "tempdir.h"

namespace {

constexpr size_t Megabyte = 1 << 20;

std::vector<std::string> ReadAll(TFileSystem& Files, const std::string& Path)
{
    TTextFileReader in(Files, Path);
    std::vector<std::string> lines;
    while (!in.Eof())
        lines.push_back(in.ReadLine());
    return lines;
}

using Lines = std::vector<std::string>;

Lines ValuesOf(const TLoadLines& Line)
{
    Lines values;
    for (size_t c = 0; c < Line.Count(); ++c)
        values.emplace_back(Line.Value(c));
    return values;
}

}  // namespace

TEST(TextFileWriter, LinesEndInCrLfAndAnOldFileIsReplaced)
{
    TMemoryFileSystem files;
    files.SetFile("out.txt", "old content that is longer than the new one");
    TTextFileWriter out(files, "out.txt");
    out.WriteLine("first\tsecond");
    out.WriteLine("");
    out.WriteLine("Привет");
    out.Close();
    EXPECT_EQ(files.File("out.txt"), "first\tsecond\r\n\r\nПривет\r\n");
    out.Close();  // a second close changes nothing
    EXPECT_EQ(files.File("out.txt"), "first\tsecond\r\n\r\nПривет\r\n");
}

TEST(TextFileWriter, LinesLongerThanTheBufferAndManyLinesKeepTheirOrder)
{
    // The system's files are written by a thread of the writer's own, one
    // buffer behind: the buffers must still land in order, the last one too.
    TMemoryFileSystem memory;
    TTempDir dir;
    const std::pair<TFileSystem*, std::string> targets[] = {{&memory, "big.txt"},
                                                            {&OsFileSystem(), dir.Path("big.txt")}};
    for (const auto& [files, path] : targets) {
        SCOPED_TRACE(path);
        const std::string longLine(Megabyte + 10, 'x');
        std::string expected;
        {
            TTextFileWriter out(*files, path);
            for (int i = 0; i < 9; ++i) {
                const std::string shortLine(Megabyte / 3, static_cast<char>('a' + i));
                out.WriteLine(shortLine);
                expected += shortLine + "\r\n";
            }
            out.WriteLine(longLine);
            // A text escaped as it goes out, handed over in pieces that
            // cross buffers, beside literal bytes on both sides.
            std::string text(Megabyte * 5 / 2, 'e');
            for (size_t i = 0; i < text.size(); i += 997)
                text[i] = static_cast<char>(i % 36);  // control bytes, "#" and a few letters
            out.Commit(std::copy_n("[", 1, out.Room(1)));
            for (size_t at = 0; at < text.size(); at += 300007)
                out.WriteEscaped(text.data() + at, std::min<size_t>(300007, text.size() - at));
            out.Commit(std::copy_n("]", 1, out.Room(1)));
            out.EndLine();
            expected += longLine + "\r\n[" + EscapeMemoValue(text) + "]\r\n";
            out.WriteLine("tail");
            out.Close();
        }
        expected += "tail\r\n";
        const std::string written = files == &memory ? memory.File(path) : ReadFileBytes(path);
        EXPECT_EQ(written.size(), expected.size());
        EXPECT_TRUE(written == expected);
        EXPECT_EQ(ReadAll(*files, path).back(), "tail");
    }
}

TEST(TextFileWriter, FailuresCarryTheRuntimeTexts)
{
    TMemoryFileSystem memory;
    TFaultFileSystem faulty(memory);
    faulty.FailAt = 1;
    TTextFileWriter out(faulty, "full.txt");
    out.WriteLine("lost");
    EXPECT_EQ(ExpectError([&] { out.Close(); }), "Disk full");
    EXPECT_TRUE(faulty.Failed);

    // A file held exclusively by someone else cannot be created.
    memory.SetFile("held.txt", "");
    auto holder = memory.Open("held.txt", TFileAccess::ReadWrite, TFileShare::Exclusive);
    EXPECT_EQ(ExpectError([&] { TTextFileWriter(memory, "held.txt"); }), "I/O error 32");

#ifndef _WIN32
    // A failure of a write made in the background comes out of a later call
    // or of Close, with its text; nothing claims the file was written.
    if (std::ifstream("/dev/full").good()) {
        const std::string error = ExpectError([&] {
            TTextFileWriter full(OsFileSystem(), "/dev/full");
            for (int i = 0; i < 5; ++i)
                full.WriteLine(std::string(Megabyte, 'f'));
            full.Close();
        });
        EXPECT_EQ(error, "Disk full");
    }
#endif
}

TEST(TextFileReader, LineEndsCrAndCtrlZ)
{
    TMemoryFileSystem files;
    files.SetFile("a.txt", "one\r\ntwo\nth\rree\r\n\r\nlast");
    EXPECT_EQ(ReadAll(files, "a.txt"), (Lines{"one", "two", "three", "", "last"}));

    // Ctrl-Z where a line begins ends the file; inside a line it is a byte.
    files.SetFile("z.txt",
                  "a\x1A"
                  "b\r\n\x1A"
                  "c\r\nd\r\n");
    EXPECT_EQ(ReadAll(files, "z.txt"), (Lines{"a\x1A"
                                              "b"}));
    files.SetFile("z0.txt", "\x1A\r\nx");
    EXPECT_EQ(ReadAll(files, "z0.txt"), Lines{});

    // An empty file is at its end at once, and reads an empty line.
    files.SetFile("empty.txt", "");
    TTextFileReader in(files, "empty.txt");
    EXPECT_TRUE(in.Eof());
    EXPECT_EQ(in.ReadLine(), "");
    EXPECT_TRUE(in.Eof());
}

TEST(TextFileReader, LinesAcrossBufferBoundariesAndSeekingBack)
{
    TMemoryFileSystem files;
    // The CR LF after the long line straddles the first buffer's end.
    const std::string first(Megabyte - 7, 'a');
    const std::string second(Megabyte * 2 + 5, 'b');
    files.SetFile("big.txt", "head\r\n" + first + "\r\n" + second + "\r\nend");
    TTextFileReader in(files, "big.txt");
    EXPECT_EQ(in.ReadLine(), "head");
    const uint64_t afterHead = in.Position();
    EXPECT_EQ(afterHead, 6u);
    EXPECT_EQ(in.ReadLine(), first);
    EXPECT_EQ(in.ReadLine(), second);
    EXPECT_EQ(in.ReadLine(), "end");
    EXPECT_TRUE(in.Eof());
    EXPECT_EQ(in.Position(), in.Size());

    in.Seek(afterHead);
    EXPECT_FALSE(in.Eof());
    EXPECT_EQ(in.ReadLine(), first);
}

TEST(TextFileReader, LoneCrsWhereverTheBufferEnds)
{
    // A CR as the last byte the buffer holds may start a line end or stand
    // alone; the next bytes decide. Lone CRs are dropped from a line that is
    // otherwise read in place, across a buffer's end too.
    TMemoryFileSystem files;
    const std::string head(Megabyte - 1, 'h');
    files.SetFile("lone.txt", head + "\rx\r\ny\rz\r");
    EXPECT_EQ(ReadAll(files, "lone.txt"), (Lines{head + "x", "yz"}));
    files.SetFile("pair.txt", head + "\r\nnext");
    EXPECT_EQ(ReadAll(files, "pair.txt"), (Lines{head, "next"}));
    const std::string longLine(Megabyte + 100, 'l');
    files.SetFile("crs.txt", "a\rb\r\n" + longLine + "\r" + longLine + "\n\r\n\r");
    EXPECT_EQ(ReadAll(files, "crs.txt"), (Lines{"ab", longLine + longLine, "", ""}));

    // A view and a copy give the same lines; the view lasts until the next read.
    TTextFileReader in(files, "crs.txt");
    EXPECT_EQ(in.ReadLineView(), "ab");
    EXPECT_EQ(in.ReadLineView(), longLine + longLine);
    EXPECT_EQ(in.ReadLine(), "");
}

TEST(TextFileReader, FailuresCarryTheRuntimeTexts)
{
    TMemoryFileSystem memory;
    EXPECT_EQ(ExpectError([&] { TTextFileReader(memory, "missing.txt"); }), "File not found");

    memory.SetFile("a.txt", "x\r\n");
    TFaultFileSystem faulty(memory);
    faulty.FailAt = 1;
    TTextFileReader in(faulty, "a.txt");
    EXPECT_EQ(ExpectError([&] { in.ReadLine(); }), "I/O error 23");
}

TEST(LoadLines, ValuesComeInTheirLinesOrderWithEscapesUndoneReadAheadOrNot)
{
    // Enough lines, and one long enough, to fill several batches; a blank
    // line, one with more values than columns, a last line without its end.
    std::string file;
    std::vector<std::vector<std::string>> expected;
    for (int i = 0; i < 40000; ++i) {
        const std::string text = i % 7 == 0 ? "line " + std::to_string(i) + "\r\n\tand #" : "v" + std::to_string(i);
        file += std::to_string(i) + "\t" + EscapeMemoValue(text) + "\r\n";
        expected.push_back({std::to_string(i), text});
    }
    const std::string wide(2 * Megabyte + 3, 'w');
    file += "\r\n \t \r\nlong\t" + wide + "\r\n" + wide + "\r\na\tb\tc\td\r\nlast\t";
    expected.insert(expected.end(), {{}, {}, {"long", wide}, {wide}, {"a", "b"}, {"last", ""}});

    TMemoryFileSystem memory;
    memory.SetFile("load.txt", file);
    for (const bool ahead : {false, true}) {
        SCOPED_TRACE(ahead);
        TTextFileReader in(memory, "load.txt");
        TLoadLines lines(in, 2, ahead);
        size_t at = 0;
        for (; lines.Next(); ++at) {
            ASSERT_LT(at, expected.size());
            ASSERT_EQ(ValuesOf(lines), expected[at]) << "line " << at;
        }
        EXPECT_EQ(at, expected.size());
        EXPECT_FALSE(lines.Next());
    }

    // A read that fails ends the lines where it did, with its error, after
    // the lines read before it.
    TFaultFileSystem faulty(memory);
    for (const bool ahead : {false, true}) {
        SCOPED_TRACE(ahead);
        faulty.Arm(2);
        TTextFileReader in(faulty, "load.txt");
        TLoadLines lines(in, 2, ahead);
        size_t at = 0;
        const std::string error = ExpectError([&] {
            for (; lines.Next(); ++at)
                ASSERT_EQ(ValuesOf(lines), expected[at]) << "line " << at;
        });
        EXPECT_EQ(error, "I/O error 23");
        // The first megabyte read holds every line before the long one.
        EXPECT_EQ(at, 40002u);
    }
}

TEST(InOutErrorText, EachFailureHasItsText)
{
    EXPECT_EQ(InOutErrorText(EStreamError("x", TIoFailure::NotFound, 2)), "File not found");
    EXPECT_EQ(InOutErrorText(EStreamError("x", TIoFailure::AccessDenied, 5)), "File access denied");
    EXPECT_EQ(InOutErrorText(EStreamError("x", TIoFailure::DiskFull, 112)), "Disk full");
    EXPECT_EQ(InOutErrorText(EStreamError("x", TIoFailure::TooManyFiles, 4)), "Too many open files");
    EXPECT_EQ(InOutErrorText(EStreamError("x", TIoFailure::Other, 1117)), "I/O error 1117");
}
