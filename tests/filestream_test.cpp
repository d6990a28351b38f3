// The operating system's file stream: run natively for POSIX and under Wine
// for Win32, with the same expectations.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <thread>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "dbflite.h"
#include "filestream.h"
#include "tablebuilder.h"
#include "tempdir.h"

namespace {

std::string OpenError(const std::function<void()>& Action, TIoFailure* Failure = nullptr)
{
    try {
        Action();
    } catch (const EStreamError& e) {
        if (Failure)
            *Failure = e.Failure();
        return e.Message();
    }
    ADD_FAILURE() << "no error was raised";
    return {};
}

// Path made to hold Bytes, then opened for Access.
std::unique_ptr<TFileStream> OpenHolding(const std::string& Path, const std::string& Bytes, TFileAccess Access,
                                         TFileShare Share = TFileShare::DenyNone)
{
    WriteFileBytes(Path, Bytes);
    return OsFileSystem().Open(Path, Access, Share);
}

}  // namespace

TEST(FileStream, ShortReadsSayWhatTheyGotAndZeroTheRest)
{
    TTempDir dir;
    const std::string path = dir.Path("data.bin");
    auto stream = OpenHolding(path, "abcdef", TFileAccess::Read);
    char buffer[10];
    std::memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(stream->ReadAt(4, buffer, sizeof buffer), 2u);
    EXPECT_EQ(std::string(buffer, 10), std::string("ef\0\0\0\0\0\0\0\0", 10));
    std::memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(stream->ReadAt(100, buffer, sizeof buffer), 0u);
    EXPECT_EQ(std::string(buffer, 10), std::string(10, '\0'));
    EXPECT_EQ(stream->Size(), 6u);
}

TEST(FileStream, WritesLandAtTheirOffsetsAndExtendTheFile)
{
    TTempDir dir;
    const std::string path = dir.Path("data.bin");
    {
        auto stream = OpenHolding(path, "0123456789", TFileAccess::ReadWrite);
        stream->WriteAt(2, "ab", 2);
        stream->WriteAt(12, "zz", 2);
        EXPECT_EQ(stream->Size(), 14u);
        char back[2];
        stream->ReadAt(2, back, 2);
        EXPECT_EQ(std::string(back, 2), "ab");
    }
    EXPECT_EQ(ReadFileBytes(path), std::string("01ab456789\0\0zz", 14));
}

TEST(FileStream, ReadOnlyStreamsRefuseWrites)
{
    TTempDir dir;
    const std::string path = dir.Path("data.bin");
    auto stream = OpenHolding(path, "0123456789", TFileAccess::Read);
    EXPECT_THROW(stream->WriteAt(0, "x", 1), EStreamError);
    EXPECT_EQ(ReadFileBytes(path), "0123456789");
}

TEST(FileStream, SharedMappingsStoreIntoTheFileItselfAndSurviveItBeingCutShort)
{
    TTempDir dir;
    const std::string path = dir.Path("data.bin");
    const uint64_t size = 3 * 65536;
    auto stream = OpenHolding(path, std::string(size, 'a'), TFileAccess::ReadWrite);
    std::string whyNot;
    auto reader = OsFileSystem().Open(path, TFileAccess::Read, TFileShare::DenyNone);
    EXPECT_FALSE(reader->MapShared(size, whyNot)) << "a read-only stream gave a writable mapping";
    std::unique_ptr<TFileMapping> mapping = stream->MapShared(size, whyNot);
    if (!mapping && whyNot.find("file system") != std::string::npos)
        GTEST_SKIP() << "the temporary folder is not on a local disk: " << whyNot;
    ASSERT_TRUE(mapping) << whyNot;
    EXPECT_EQ(mapping->Size(), size);

    // Another open of the file sees a store at once: it is the file's own
    // cached page, not a copy.
    mapping->Store(70000, "mapped", 6);
    char got[6];
    reader->ReadAt(70000, got, sizeof got);
    EXPECT_EQ(std::string(got, 6), "mapped");
    mapping->Sync();
    mapping->Release(0, size);  // the pages leave memory, the store stays
    reader->ReadAt(70000, got, sizeof got);
    EXPECT_EQ(std::string(got, 6), "mapped");
    EXPECT_THROW(mapping->Store(size - 2, "past", 4), EStreamError);
    EXPECT_EQ(stream->Size(), size);

    // Another program cuts the file short under the mapping. Windows refuses
    // while the view exists; elsewhere a store past the new end raises an
    // error instead of the signal that would end the process, and a store
    // before it still lands.
    auto cutter = OsFileSystem().Open(path, TFileAccess::ReadWrite, TFileShare::DenyNone);
    bool cut = true;
    try {
        cutter->Truncate(4096);
    } catch (const EStreamError&) {
        cut = false;
    }
    if (cut) {
        EXPECT_THROW(mapping->Store(2 * 65536, "lost", 4), EStreamError);
        EXPECT_THROW(mapping->Store(4090, "straddles", 9), EStreamError);
        mapping->Store(100, "kept", 4);
        mapping->Sync();
        EXPECT_EQ(stream->Size(), 4096u) << "a store grew the file back";
    }
    mapping.reset();
    if (!cut)
        cutter->Truncate(4096);  // with the view gone, the cut goes through
    reader.reset();
    stream.reset();
    cutter.reset();
    const std::string bytes = ReadFileBytes(path);
    ASSERT_EQ(bytes.size(), 4096u);
    EXPECT_EQ(bytes.substr(100, 4), cut ? "kept" : "aaaa");
}

#ifndef _WIN32
TEST(FileStream, AStoreIntoAMappingIsWholeOrAbsentWhenTheProcessIsKilledDuringIt)
{
    // A child process stores ten bytes across every page boundary of a
    // freshly written file (written page by page, so each page is brought
    // into the mapping by a trap of its own) and is killed at a random
    // moment. A store the kill cut in two would leave a reference in the
    // table leading to another block.
    TTempDir dir;
    const std::string path = dir.Path("data.bin");
    constexpr int Pages = 1024;
    constexpr size_t Count = 10, Before = Count - 1;  // one byte in the next page
    std::mt19937 random(std::random_device{}());
    int killed = 0;
    for (int run = 0; run < 20; ++run) {
        {
            auto file = OsFileSystem().Create(path, 0644, TFileShare::DenyNone);
            const std::string page(4096, 'a');
            for (int p = 0; p <= Pages; ++p)
                file->WriteAt(uint64_t{4096} * p, page.data(), page.size());
        }
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            auto stream = OsFileSystem().Open(path, TFileAccess::ReadWrite, TFileShare::DenyNone);
            std::string whyNot;
            std::unique_ptr<TFileMapping> mapping = stream->MapShared(uint64_t{4096} * (Pages + 1), whyNot);
            const char verdict = mapping ? 'y' : 'n';
            if (::write(ready[1], &verdict, 1) != 1 || !mapping)
                _exit(0);
            for (int p = 1; p <= Pages; ++p)
                mapping->Store(uint64_t{4096} * p - Before, "bbbbbbbbbb", Count);
            _exit(0);
        }
        ::close(ready[1]);
        char verdict = 'n';
        const bool told = ::read(ready[0], &verdict, 1) == 1;
        ::close(ready[0]);
        if (told && verdict == 'y')
            std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 1500)(random)));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!told || verdict != 'y')
            GTEST_SKIP() << "no shared mapping of a file in the temporary folder";
        killed += WIFSIGNALED(status);
        const std::string bytes = ReadFileBytes(path);
        for (int p = 1; p <= Pages; ++p) {
            const std::string stored = bytes.substr(size_t{4096} * p - Before, Count);
            ASSERT_TRUE(stored == std::string(Count, 'a') || stored == std::string(Count, 'b'))
                << "run " << run << ", page " << p << ": " << stored;
        }
    }
    EXPECT_GT(killed, 0);
}
#endif

TEST(FileStream, CreateEmptiesAnExistingFile)
{
    TTempDir dir;
    const std::string path = dir.Path("out.txt");
    {
        auto stream = OpenHolding(path, "old content", TFileAccess::Create);
        stream->WriteAt(0, "new", 3);
    }
    EXPECT_EQ(ReadFileBytes(path), "new");
}

TEST(FileStream, OpenFailuresNameThePathAndTheirCause)
{
    TTempDir dir;
    TIoFailure failure = TIoFailure::Other;
    const std::string missing = dir.Path("missing.dbf");
    EXPECT_EQ(OpenError([&] { OsFileSystem().Open(missing, TFileAccess::Read, TFileShare::DenyNone); }, &failure),
              "Cannot open file " + missing);
    EXPECT_EQ(failure, TIoFailure::NotFound);
    EXPECT_FALSE(OsFileSystem().FileExists(missing));
    EXPECT_FALSE(OsFileSystem().FileExists(""));

    const std::string folder = dir.Path("folder.dbf");
    std::filesystem::create_directory(std::filesystem::u8path(folder));
    EXPECT_FALSE(OsFileSystem().FileExists(folder));
    OpenError([&] { OsFileSystem().Open(folder, TFileAccess::ReadWrite, TFileShare::DenyNone); });
}

TEST(FileStream, PathsTakenByFilesOrFoldersAndRenamesThatNeverReplace)
{
    TTempDir dir;
    const std::string from = dir.Path("T.DBF.bak.tmp");
    struct TCase {
        const char* Name;
        std::function<void(const std::string&)> Put;  // what is at the new name
        bool Renamed;
    };
    const TCase cases[] = {
        {"nothing", [](const std::string&) {}, true},
        {"a file", [](const std::string& To) { WriteFileBytes(To, "old"); }, false},
        {"a folder", [](const std::string& To) { std::filesystem::create_directory(std::filesystem::u8path(To)); },
         false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string to = dir.Path(std::string("T.DBF.bak ") + c.Name);
        WriteFileBytes(from, "copy");
        c.Put(to);
        EXPECT_EQ(OsFileSystem().PathExists(to), !c.Renamed);
        if (c.Renamed) {
            OsFileSystem().Rename(from, to);
            EXPECT_EQ(ReadFileBytes(to), "copy");
            EXPECT_FALSE(OsFileSystem().PathExists(from));
        } else {
            EXPECT_EQ(OpenError([&] { OsFileSystem().Rename(from, to); }), "Cannot rename file " + from + " to " + to);
            EXPECT_EQ(ReadFileBytes(from), "copy");
        }
        EXPECT_TRUE(OsFileSystem().PathExists(to));
    }
    EXPECT_FALSE(OsFileSystem().PathExists(""));
    EXPECT_FALSE(OsFileSystem().PathExists(dir.Path("missing")));
    EXPECT_EQ(OpenError([&] { OsFileSystem().Rename(dir.Path("missing"), dir.Path("other")); }),
              "Cannot rename file " + dir.Path("missing") + " to " + dir.Path("other"));
}

TEST(FileStream, RemoveDeletesFilesOnly)
{
    TTempDir dir;
    const std::string file = dir.Path("T.FPT.bak.tmp"), folder = dir.Path("folder.bak.tmp");
    WriteFileBytes(file, "part");
    OsFileSystem().Remove(file);
    EXPECT_FALSE(OsFileSystem().PathExists(file));
    TIoFailure failure = TIoFailure::Other;
    EXPECT_EQ(OpenError([&] { OsFileSystem().Remove(file); }, &failure), "Cannot delete file " + file);
    EXPECT_EQ(failure, TIoFailure::NotFound);
    std::filesystem::create_directory(std::filesystem::u8path(folder));
    EXPECT_EQ(OpenError([&] { OsFileSystem().Remove(folder); }), "Cannot delete file " + folder);
    EXPECT_TRUE(OsFileSystem().PathExists(folder));
}

TEST(FileStream, CreatedFilesGetExactlyThePermissionBitsAsked)
{
    TTempDir dir;
    const std::string probe = dir.Path("probe");
    WriteFileBytes(probe, "x");
    if (OsFileSystem().Permissions(probe) == 0)
        GTEST_SKIP() << "no permission bits here (Windows): a created file takes its folder's access list";
    EXPECT_EQ(OpenError([&] { OsFileSystem().Permissions(dir.Path("missing")); }),
              "Cannot open file " + dir.Path("missing"));
    // Bits the usual umask (022) would narrow as well as ones it leaves; a
    // file that exists already gets them too.
    for (const uint32_t bits : {0600u, 0640u, 0666u, 0604u, 0755u, 0400u}) {
        SCOPED_TRACE(bits);
        for (const std::string& path : {dir.Path("new" + std::to_string(bits)), probe}) {
            OsFileSystem().Create(path, bits, TFileShare::Exclusive)->WriteAt(0, "copy", 4);
            EXPECT_EQ(OsFileSystem().Permissions(path), bits);
            EXPECT_EQ(static_cast<uint32_t>(std::filesystem::status(path).permissions()), bits);
            EXPECT_EQ(ReadFileBytes(path), "copy");
        }
    }
}

TEST(FileStream, ExclusiveOpensShutOutEveryOtherOpenUntilClosed)
{
    TTempDir dir;
    const std::string path = dir.Path("T.FPT");
    auto holder = OpenHolding(path, std::string(512, '\0'), TFileAccess::ReadWrite, TFileShare::Exclusive);
    TIoFailure failure = TIoFailure::Other;
    EXPECT_EQ(OpenError([&] { OsFileSystem().Open(path, TFileAccess::ReadWrite, TFileShare::Exclusive); }, &failure),
              "Cannot open file " + path);
    EXPECT_EQ(failure, TIoFailure::Locked);
    OpenError([&] { OsFileSystem().Open(path, TFileAccess::Read, TFileShare::DenyNone); });
    holder.reset();
    auto again = OsFileSystem().Open(path, TFileAccess::ReadWrite, TFileShare::Exclusive);
    EXPECT_NE(again, nullptr);
}

TEST(FileStream, SharedOpensCoexist)
{
    TTempDir dir;
    const std::string path = dir.Path("T.DBF");
    auto a = OpenHolding(path, "data", TFileAccess::ReadWrite);
    auto b = OsFileSystem().Open(path, TFileAccess::ReadWrite, TFileShare::DenyNone);
    a->WriteAt(0, "D", 1);
    char c = 0;
    b->ReadAt(0, &c, 1);
    EXPECT_EQ(c, 'D');
    OpenError([&] { OsFileSystem().Open(path, TFileAccess::ReadWrite, TFileShare::Exclusive); });
}

TEST(FileStream, NonAsciiPaths)
{
    TTempDir dir;
    const std::string path = dir.Path("Таблица.dbf");
    WriteFileBytes(path, "x");
    EXPECT_TRUE(OsFileSystem().FileExists(path));
    auto stream = OsFileSystem().Open(path, TFileAccess::ReadWrite, TFileShare::DenyNone);
    EXPECT_EQ(stream->Size(), 1u);
}

TEST(FileStream, CaseVariantsOnlyWhereCaseMatters)
{
    TTempDir dir;
    WriteFileBytes(dir.Path("orders.fpt"), "m");
    const std::string asked = dir.Path("orders.FPT");
    if (OsFileSystem().FileExists(asked)) {
        // Windows: the name is found as it is.
        EXPECT_EQ(OsFileSystem().FindCaseVariant(asked), "");
    } else {
        EXPECT_EQ(OsFileSystem().FindCaseVariant(asked), dir.Path("orders.fpt"));
    }
    EXPECT_EQ(OsFileSystem().FindCaseVariant(dir.Path("other.FPT")), "");
}

TEST(FileStream, SameFileKnowsOneFileHoweverItIsNamed)
{
    TTempDir dir;
    const std::string path = dir.Path("T.FPT");
    auto holder = OpenHolding(path, "m", TFileAccess::ReadWrite, TFileShare::Exclusive);
    WriteFileBytes(dir.Path("U.FPT"), "m");
    const std::string viaDot = dir.Path(".") + "/T.FPT";
    EXPECT_TRUE(OsFileSystem().SameFile(path, path));
    EXPECT_TRUE(OsFileSystem().SameFile(path, viaDot));  // while held exclusively, too
    EXPECT_FALSE(OsFileSystem().SameFile(path, dir.Path("U.FPT")));
    EXPECT_FALSE(OsFileSystem().SameFile(path, dir.Path("missing.txt")));
    EXPECT_FALSE(OsFileSystem().SameFile(dir.Path("missing.txt"), dir.Path("missing.txt")));
    EXPECT_FALSE(OsFileSystem().SameFile("", ""));
}

TEST(TableOnDisk, MemoFileStaysLockedWhileATableHoldsIt)
{
    TTempDir dir;
    TMemoBuilder memo;
    const std::string table = dir.Path("Т.DBF");
    WriteFileBytes(table, BuildTable(NotesTable(memo, {"на диске"})));
    WriteFileBytes(dir.Path("Т.FPT"), memo.Bytes());

    TDBFLite first;
    first.OpenTable(table, false);
    EXPECT_EQ(first.ReadMemo(0, 0), "на диске");
    TDBFLite second;
    try {
        second.OpenTable(table, false);
        ADD_FAILURE() << "second read-write open succeeded";
    } catch (const EError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file " + dir.Path("Т.FPT"));
    }
    first.CloseTable();
    second.OpenTable(table, false);
    second.WriteMemo(0, 0, "новый текст");
    EXPECT_EQ(second.ReadMemo(0, 0), "новый текст");
}
