// Tables shared between processes (POSIX): the memo file's lock while a
// table is open read-write, released however a run ends; tarnwick-cli
// killed at random points of a rewrite or a load, after which the table must
// still be whole; and tarnwick-cli as a user meets it (conventions,
// languages, help beside the program, a table without write permission).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include <nlohmann/json.hpp>

#include "fakeport.h"
#include "fixtures.h"
#include "fmmain.h"
#include "pack.h"
#include "strutil.h"
#include "tempdir.h"

extern char** environ;

namespace {

struct TDiskTable {
    TTempDir Dir;
    std::string Table = Dir.Path("ORDERS.DBF"), Memo = Dir.Path("ORDERS.FPT"), Text = Dir.Path("ORDERS.txt");
    std::string TableBytes, MemoBytes;

    void Put(const TTableSpec& Layout, const TMemoBuilder& MemoFile)
    {
        TableBytes = BuildTable(Layout);
        MemoBytes = MemoFile.Bytes();
        Restore();
    }
    void Restore() const
    {
        WriteFileBytes(Table, TableBytes);
        WriteFileBytes(Memo, MemoBytes);
    }
};

// Runs Action in a child process; its exit status.
int InChild(const std::function<int()>& Action)
{
    const pid_t child = ::fork();
    if (child == 0) {
        int status = 99;
        try {
            status = Action();
        } catch (...) {
        }
        ::_exit(status);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int OpensReadWrite(const std::string& Table)
{
    TDBFLite table;
    table.OpenTable(Table, false);
    return 0;
}

TEST(Locking, AnotherProcessHoldingTheTableShutsOutReadWriteOpensUntilItCloses)
{
    TDiskTable disk;
    TMemoBuilder memo;
    disk.Put(NotesTable(memo, {"text"}), memo);

    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        ::close(ready[0]);
        ::close(release[1]);
        char byte = 0;
        int status = 1;
        try {
            TDBFLite table;
            table.OpenTable(disk.Table, false);
            if (::write(ready[1], &byte, 1) == 1 && ::read(release[0], &byte, 1) == 1)
                status = 0;
            table.CloseTable();
        } catch (...) {
        }
        ::_exit(status);
    }
    ::close(ready[1]);
    ::close(release[0]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);

    TDBFLite second;
    EXPECT_EQ(ExpectError([&] { second.OpenTable(disk.Table, false); }), "Cannot open file " + disk.Memo);
    // A handler meets the same refusal, shown as an error, and writes nothing.
    TFakePort port = PortOn(disk.Table, "NOTES");
    port.All = true;
    TfmMain(port).Run(&TfmMain::btClearClick);
    EXPECT_EQ(port.Errors(), std::vector<std::string>{"Cannot open file " + disk.Memo + "."});
    EXPECT_EQ(ReadFileBytes(disk.Table), disk.TableBytes);

    ASSERT_EQ(::write(release[1], &byte, 1), 1);
    int status = 0;
    ::waitpid(holder, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NO_THROW(second.OpenTable(disk.Table, false));
    second.CloseTable();
    ::close(ready[0]);
    ::close(release[1]);
}

TEST(Locking, ARunEndedByAnErrorLeavesTheTableOpenToOtherProcesses)
{
    TDiskTable disk;
    TTableSpec layout;
    layout.Fields = {{"NOTES", 'M', 10}};
    TMemoBuilder memo;
    for (int r = 0; r < 50; ++r)
        layout.Records.push_back({MemoRef(memo.Add("text " + std::to_string(r)))});
    disk.Put(layout, memo);
    WriteFileBytes(disk.Text, "NOTES\r\nnew\r\n");

    for (auto click : {&TfmMain::btClearClick, &TfmMain::btAutoClick, &TfmMain::btLoadClick, &TfmMain::btSaveClick}) {
        disk.Restore();
        TFaultFileSystem faults(OsFileSystem());
        faults.FailOnlyWrites = true;
        faults.FailAt = 1;
        TFakePort port = PortOn(disk.Table, "NOTES");
        port.All = true;
        port.DialogAnswers = {click == &TfmMain::btSaveClick ? disk.Dir.Path("OUT.txt") : disk.Text};
        TfmMain(port, faults).Run(click);
        ASSERT_TRUE(faults.Failed);
        ASSERT_EQ(port.Errors().size(), 1u);
        EXPECT_EQ(InChild([&] { return OpensReadWrite(disk.Table); }), 0) << port.Errors()[0];
    }
}

// --- Another program working on the table during a run ----------------------

// What the table's own application does while a repair runs: changes a
// field of record 1 and appends a record, as a separate process writing
// straight to the file, the count in the header last.
struct TOtherProgram {
    const TTableSpec& Layout;
    std::string Path;
    static constexpr const char* Edited = "EDITED";
    static constexpr const char* Appended = "THEIRS";

    void Work() const
    {
        ASSERT_EQ(InChild([this] {
                      const int fd = ::open(Path.c_str(), O_RDWR);
                      const off_t header = HeaderSizeOf(Layout), record = RecordSizeOf(Layout);
                      const uint32_t count = static_cast<uint32_t>(Layout.Records.size());
                      std::string added(static_cast<size_t>(record), ' ');
                      added.replace(1, 6, Appended);
                      added += '\x1A';
                      const unsigned char newCount[4] = {static_cast<unsigned char>(count + 1), 0, 0, 0};
                      const bool ok = ::pwrite(fd, Edited, 6, header + record + 1) == 6 &&
                                      ::pwrite(fd, added.data(), added.size(), header + record * count) ==
                                          static_cast<ssize_t>(added.size()) &&
                                      ::pwrite(fd, newCount, 4, 4) == 4;
                      ::close(fd);
                      return ok ? 0 : 1;
                  }),
                  0);
    }

    // Both changes are in the file, whole.
    void ExpectKept() const
    {
        const std::string table = ReadFileBytes(Path);
        const size_t header = HeaderSizeOf(Layout), record = RecordSizeOf(Layout), count = Layout.Records.size();
        EXPECT_EQ(ReadLe32(table, 4), count + 1) << "the record count went back";
        EXPECT_EQ(table.substr(header + record + 1, 6), Edited) << "the edit was undone";
        ASSERT_GE(table.size(), header + record * (count + 1) + 1);
        EXPECT_EQ(table.substr(header + record * count + 1, 6), Appended) << "the appended record was overwritten";
        EXPECT_EQ(table[header + record * (count + 1)], '\x1A');
    }
};

// TARNWICK_WRITES set (to positional writes) or unset for a scope.
struct TWritesForced {
    std::string Before;
    bool WasSet;
    explicit TWritesForced(bool Positional) : WasSet(std::getenv("TARNWICK_WRITES") != nullptr)
    {
        if (WasSet)
            Before = std::getenv("TARNWICK_WRITES");
        if (Positional)
            ::setenv("TARNWICK_WRITES", "positional", 1);
        else
            ::unsetenv("TARNWICK_WRITES");
    }
    ~TWritesForced()
    {
        if (WasSet)
            ::setenv("TARNWICK_WRITES", Before.c_str(), 1);
        else
            ::unsetenv("TARNWICK_WRITES");
    }
};

TEST(SharedTable, AnotherProgramsEditsWhileARunAsksOrGoesOnAreKeptAndACutStopsIt)
{
    // 40 records in one cached page: whatever the other program does, the
    // run holds that page, changed, until it ends. Every text has an old
    // copy before it, which pack leaves behind.
    TDiskTable disk;
    TTableSpec layout;
    layout.Fields = {{"ID", 'C', 8}, {"NOTES", 'M', 10}};
    TMemoBuilder memo;
    // (A blank text reads as none.)
    const auto original = [](int32_t R) { return R % 4 == 1 ? "" : "text"; };
    for (int r = 0; r < 40; ++r) {
        memo.Add("old copy");
        layout.Records.push_back({"R" + std::to_string(r), MemoRef(memo.Add(r % 4 == 1 ? "  " : "text"))});
    }
    disk.Put(layout, memo);
    std::string text = "NOTES\r\n";
    for (int r = 0; r < 40; ++r)
        text += "loaded\r\n";
    WriteFileBytes(disk.Text, text);
    const TOtherProgram other{layout, disk.Table};
    constexpr uint32_t Kept = 10;
    const uint64_t cutTo = HeaderSizeOf(layout) + uint64_t{RecordSizeOf(layout)} * Kept;
    // The other program cuts the table to its first records, count first.
    const auto cut = [&] {
        ASSERT_EQ(InChild([&] {
                      const int fd = ::open(disk.Table.c_str(), O_RDWR);
                      const unsigned char count[4] = {Kept, 0, 0, 0};
                      const bool ok = ::pwrite(fd, count, 4, 4) == 4 && ::ftruncate(fd, static_cast<off_t>(cutTo)) == 0;
                      ::close(fd);
                      return ok ? 0 : 1;
                  }),
                  0);
    };

    const struct {
        const char* Name;
        void (TfmMain::*Click)();
        bool All;
        const char *Record0, *Record1;  // the texts the run leaves
    } runs[] = {{"clear --all", &TfmMain::btClearClick, true, "", ""},
                {"clear", &TfmMain::btClearClick, false, "text", ""},
                {"rewrite", &TfmMain::btAutoClick, false, "text", ""},
                {"load", &TfmMain::btLoadClick, false, "loaded", "loaded"},
                {"pack", &TfmMain::btPackClick, false, "text", ""}};
    enum TWhen { WhileAsking, WhileRunning, CutWhileRunning };
    for (const bool positional : {false, true}) {
        const TWritesForced writes(positional);
        for (const TWhen when : {WhileAsking, WhileRunning, CutWhileRunning}) {
            for (const auto& run : runs) {
                const char* const whenNames[] = {"while it asks", "mid-run", "cut mid-run"};
                SCOPED_TRACE(std::string(run.Name) + (positional ? ", positional writes, " : ", mapped, ") +
                             whenNames[when]);
                disk.Restore();
                TFakePort port = PortOn(disk.Table, "NOTES");
                port.All = run.All;
                port.DialogAnswers = {disk.Text};
                bool worked = false;
                const std::function<void()> work = [&] {
                    worked = true;
                    if (when == CutWhileRunning)
                        cut();
                    else
                        other.Work();
                };
                if (when == WhileAsking)
                    port.WhileAsking = work;
                else
                    port.WhileRunning = work;
                // Half-way through the records (pack asks twice a block).
                port.WhileRunningAt = 20;
                TfmMain(port).Run(run.Click);
                ASSERT_TRUE(worked);
                TDBFLite db;
                if (when == CutWhileRunning) {
                    // Stopped with the reason; nothing lands past the cut, and
                    // every record left leads to a whole text, old or new.
                    ASSERT_EQ(port.Errors().size(), 1u);
                    EXPECT_NE(port.Errors()[0].find("укорочен другой программой"), std::string::npos)
                        << port.Errors()[0];
                    EXPECT_EQ(std::filesystem::file_size(disk.Table), cutTo);
                    db.OpenTable(disk.Table, true);
                    ASSERT_EQ(db.RecordCount(), static_cast<int32_t>(Kept));
                    for (int32_t r = 0; r < static_cast<int32_t>(Kept); ++r) {
                        const std::string memoText = db.ReadMemo(r, 1);
                        EXPECT_TRUE(memoText == original(r) || memoText == (r % 4 == 1 ? run.Record1 : run.Record0))
                            << "record " << r << ": " << memoText;
                    }
                    continue;
                }
                ASSERT_EQ(port.Errors(), std::vector<std::string>{});
                other.ExpectKept();
                // The run did its own work too.
                db.OpenTable(disk.Table, true);
                EXPECT_EQ(db.ReadMemo(0, 1), run.Record0);
                EXPECT_EQ(db.ReadMemo(1, 1), run.Record1);
            }
        }
    }
}

// What the owner does to memos while a run asks: blanks record 2's
// reference, and stores a new text at the memo file's next free block (the
// run, the header, then the reference) and points record 3 at it.
struct TOwnerMemoEdits {
    const TTableSpec& Layout;  // ID C 8, then NOTES M 10
    const TDiskTable& Disk;
    static constexpr const char* NewText = "the owner's new text";

    void Work() const
    {
        ASSERT_EQ(InChild([this] {
                      const int dbf = ::open(Disk.Table.c_str(), O_RDWR), fpt = ::open(Disk.Memo.c_str(), O_RDWR);
                      char next[4];
                      if (::pread(fpt, next, 4, 0) != 4)
                          return 1;
                      const uint32_t block = ReadBe32(std::string(next, 4), 0);
                      std::string run =
                          TMemoBuilder::RunHeader(1, static_cast<uint32_t>(std::strlen(NewText))) + NewText;
                      run.resize(64, '\0');
                      const unsigned char after[4] = {0, 0, 0, static_cast<unsigned char>(block + 1)};
                      const off_t header = HeaderSizeOf(Layout), record = RecordSizeOf(Layout);
                      const std::string ref = MemoRef(block);
                      const bool ok = block < 255 && ::pwrite(fpt, run.data(), 64, block * 64) == 64 &&
                                      ::pwrite(fpt, after, 4, 0) == 4 &&
                                      ::pwrite(dbf, "          ", 10, header + 2 * record + 9) == 10 &&
                                      ::pwrite(dbf, ref.data(), 10, header + 3 * record + 9) == 10;
                      ::close(dbf);
                      ::close(fpt);
                      return ok ? 0 : 1;
                  }),
                  0);
    }

    // Record 2 reads no text and record 3 the owner's, whole.
    void ExpectKept() const
    {
        TDBFLite db;
        db.OpenTable(Disk.Table, true);
        EXPECT_EQ(db.ReadRaw(2, 1), "          ") << "the owner's blanked reference came back";
        EXPECT_EQ(db.ReadMemo(3, 1), NewText) << "the owner's new text was lost";
    }
};

TEST(SharedTable, MemosTheOwnerChangesWhileARunAsksAreWhatTheRunFinds)
{
    TDiskTable disk;
    TTableSpec layout;
    layout.Fields = {{"ID", 'C', 8}, {"NOTES", 'M', 10}};
    TMemoBuilder memo;
    for (int r = 0; r < 12; ++r) {
        memo.Add("old copy " + std::to_string(r));
        layout.Records.push_back({"R" + std::to_string(r), MemoRef(memo.Add("text " + std::to_string(r)))});
    }
    disk.Put(layout, memo);
    // Load leaves records 2 and 3 alone: their lines are blank.
    WriteFileBytes(disk.Text, "NOTES\r\nloaded\r\nloaded\r\n\r\n\r\nloaded\r\n");
    const TOwnerMemoEdits owner{layout, disk};

    for (auto click : {&TfmMain::btClearClick, &TfmMain::btAutoClick, &TfmMain::btLoadClick}) {
        disk.Restore();
        TFakePort port = PortOn(disk.Table, "NOTES");
        port.DialogAnswers = {disk.Text};
        port.WhileAsking = [&] { owner.Work(); };
        TfmMain(port).Run(click);
        ASSERT_EQ(port.Errors(), std::vector<std::string>{});
        ASSERT_EQ(port.Messages().size(), 1u);
        owner.ExpectKept();
    }
    disk.Restore();
    const TPackResult packed = PackMemo(OsFileSystem(), disk.Table, false, {}, [&](TDBFLite&, const TPackResult&) {
        owner.Work();
        return true;
    });
    ASSERT_TRUE(packed.Done);
    owner.ExpectKept();
    TDBFLite db;
    db.OpenTable(disk.Table, true);
    for (int32_t r : {0, 1, 4, 11})
        EXPECT_EQ(db.ReadMemo(r, 1), "text " + std::to_string(r));
}

TEST(DiskTable, ARunCutShortIsFoundAndSealedFromEitherHalfOfALargeTable)
{
    // From a few thousand records on, the references are read on two
    // threads, each with a half of the table and caches of its own.
    constexpr int32_t Records = 5000;
    for (const int32_t at : {0, Records / 2 - 1, Records / 2, Records - 1, -1}) {
        SCOPED_TRACE(at);
        TDiskTable disk;
        TTableSpec layout;
        layout.Fields = {{"ID", 'C', 4}, {"NOTES", 'M', 10}};
        TMemoBuilder memo;
        for (int32_t r = 0; r < Records; ++r)
            layout.Records.push_back({"R", MemoRef(memo.Add("text " + std::to_string(r)))});
        // The last run claims more than the file holds: 1000 bytes.
        const uint32_t cut = memo.AddWithLength("cut short", 1000);
        if (at >= 0)
            layout.Records[static_cast<size_t>(at)][1] = MemoRef(cut);
        disk.Put(layout, memo);

        TDBFLite db;
        db.OpenTable(disk.Table, false);
        const uint64_t held = db.MemoRunAt(cut).Present;
        ASSERT_LT(held, 1000u);
        EXPECT_EQ(db.SealCutRuns(), at >= 0 ? 1u : 0u);
        db.CloseTable();
        db.OpenTable(disk.Table, true);
        EXPECT_EQ(db.MemoRunAt(cut).Length, at >= 0 ? held : 1000u);
        if (at >= 0) {
            EXPECT_EQ(db.ReadMemo(at, 1), "cut short");
        }
    }
}

std::string CliPath();
pid_t StartCli(const std::vector<std::string>& Args, const std::string& Out = "/dev/null",
               const std::string& Err = "/dev/null");
int Finish(pid_t Pid);

TEST(SharedTable, AnEditAndAnAppendMadeWhileARunGoesOnAreKept)
{
    // Few records, long texts: the table stays in one cached page for the
    // whole run, which copies megabytes meanwhile.
    TDiskTable disk;
    TTableSpec layout;
    layout.Fields = {{"ID", 'C', 8}, {"NOTES", 'M', 10}};
    TMemoBuilder memo;
    std::string text = "NOTES\r\n";
    for (int r = 0; r < 6; ++r) {
        layout.Records.push_back(
            {"R" + std::to_string(r), MemoRef(memo.Add(std::string(12 << 20, static_cast<char>('a' + r))))});
        text += std::string(12 << 20, static_cast<char>('A' + r)) + "\r\n";
    }
    disk.Put(layout, memo);
    WriteFileBytes(disk.Text, text);
    const TOtherProgram other{layout, disk.Table};
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"rewrite", disk.Table, "--yes"}, {"load", disk.Table, disk.Text, "--yes"}}) {
        SCOPED_TRACE(args[0]);
        disk.Restore();
        const pid_t pid = StartCli(args);
        ASSERT_GT(pid, 0);
        // The other program works once the run has begun to write texts.
        for (int wait = 0; wait < 20000 && std::filesystem::file_size(disk.Memo) == disk.MemoBytes.size(); ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        other.Work();
        EXPECT_EQ(Finish(pid), 0);
        other.ExpectKept();
        TDBFLite db;
        db.OpenTable(disk.Table, true);
        EXPECT_EQ(db.ReadMemo(5, 1), std::string(12 << 20, args[0] == "load" ? 'F' : 'f'));
    }
}

TEST(SharedTable, ATableCutShortDuringAClearEndsTheRunWithAnErrorAndIsNotGrownBack)
{
    // Another program cuts a table of 400,000 records to a quarter (its
    // count first, then the file) at a random moment of a clear --all. The
    // run either misses the cut (it had ended, or had not begun to write)
    // and succeeds, or stops with an error saying so; it never crashes. The
    // remaining records keep their references or lose them, never lead to
    // a missing text. Stored through a mapping, nothing lands past the new
    // end. Written with positional writes, a write between a check of the
    // length and the cut may grow the file back: never to where it was,
    // and never in a run that reports success.
    TDiskTable disk;
    TTableSpec layout;
    layout.Fields = {{"ID", 'C', 6}, {"NOTES", 'M', 10}};
    TMemoBuilder memo{32};
    constexpr uint32_t Records = 400000, Kept = Records / 4;
    for (uint32_t r = 0; r < Records; ++r)
        layout.Records.push_back({std::to_string(r), MemoRef(memo.Add("t" + std::to_string(r)))});
    disk.Put(layout, memo);
    const uint64_t header = HeaderSizeOf(layout), record = RecordSizeOf(layout), cutTo = header + record * Kept;
    const std::string table0 = disk.TableBytes;
    const auto cut = [&] {
        const int fd = ::open(disk.Table.c_str(), O_RDWR);
        const unsigned char count[4] = {Kept & 0xFF, (Kept >> 8) & 0xFF, (Kept >> 16) & 0xFF, Kept >> 24};
        const bool ok = fd >= 0 && ::pwrite(fd, count, 4, 4) == 4 && ::ftruncate(fd, static_cast<off_t>(cutTo)) == 0;
        if (fd >= 0)
            ::close(fd);
        return ok;
    };
    for (bool positional : {false, true}) {
        SCOPED_TRACE(positional ? "positional writes" : "through a mapping");
        const TWritesForced writes(positional);
        const std::vector<std::string> args{"clear", disk.Table, "--all", "--yes"};
        const std::string err = disk.Dir.Path("err.txt");
        disk.Restore();
        auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(Finish(StartCli(args)), 0);
        const auto took =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);

        const unsigned seed = std::random_device{}();
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        std::uniform_int_distribution<long long> delay(0, took.count());
        int stopped = 0;
        for (int run = 0; run < 40 && stopped < 3; ++run) {
            SCOPED_TRACE("run " + std::to_string(run));
            disk.Restore();
            const pid_t pid = StartCli(args, "/dev/null", err);
            ASSERT_GT(pid, 0);
            std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
            ASSERT_TRUE(cut());
            const int status = Finish(pid);
            const std::string table = ReadFileBytes(disk.Table);
            ASSERT_TRUE(status == 0 || status == 1) << "exit status " << status << ": " << ReadFileBytes(err);
            if (status == 1) {
                ++stopped;
                const std::string said = ReadFileBytes(err);
                EXPECT_TRUE(said.find("was cut short by another program") != std::string::npos ||
                            said.find("укорочен другой программой") != std::string::npos)
                    << said;
            }
            if (positional && status == 1) {
                EXPECT_LT(table.size(), table0.size()) << "the file grew back whole";
            } else {
                ASSERT_EQ(table.size(), cutTo) << "the file grew back";
            }
            EXPECT_EQ(ReadLe32(table, 4), Kept);
            EXPECT_EQ(ReadFileBytes(disk.Memo), disk.MemoBytes);
            for (uint64_t r = 0; r < Kept; ++r) {
                const std::string ref = table.substr(header + r * record + 7, 10);
                ASSERT_TRUE(IsBlank(ref) || ref == table0.substr(header + r * record + 7, 10))
                    << "record " << r << " refers to " << ref;
            }
        }
        EXPECT_GT(stopped, 0) << "no cut fell inside a run";
    }
}

// --- tarnwick-cli killed mid-run --------------------------------------------

std::string CliPath()
{
    const char* fromEnvironment = std::getenv("TARNWICK_CLI");
    return fromEnvironment ? fromEnvironment : TARNWICK_CLI;
}

// Starts tarnwick-cli with Args, stdin on /dev/null, stdout and stderr
// into the files named (/dev/null when not).
pid_t StartCli(const std::vector<std::string>& Args, const std::string& Out, const std::string& Err)
{
    std::vector<std::string> all{CliPath()};
    all.insert(all.end(), Args.begin(), Args.end());
    std::vector<char*> argv;
    for (std::string& arg : all)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, Out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, Err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int Finish(pid_t Pid)
{
    int status = 0;
    ::waitpid(Pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

class KilledCli : public ::testing::Test {
protected:
    static constexpr int Records = 4000;
    static constexpr int Lines = Records + 300;
    TDiskTable disk;
    std::vector<std::string> original[3];

    void SetUp() override
    {
        ASSERT_EQ(::access(CliPath().c_str(), X_OK), 0) << CliPath();
        TTableSpec layout;
        layout.Fields = {{"ID", 'C', 8}, {"NOTES", 'M', 10}, {"MORE", 'M', 10}};
        TMemoBuilder memo;
        for (int r = 0; r < Records; ++r) {
            const std::string notes = r % 50 == 0 ? std::string(20000 + r, 'n') : "notes " + std::to_string(r);
            layout.Records.push_back({"R" + std::to_string(r), r % 7 == 3 ? "" : MemoRef(memo.Add(notes)),
                                      r % 3 == 0 ? MemoRef(memo.Add("more " + std::to_string(r))) : ""});
        }
        disk.Put(layout, memo);
        std::string text = "ID\tNOTES\r\n";
        for (int r = 0; r < Lines; ++r)
            text += "L" + std::to_string(r) + "\t" + Loaded(r) + "\r\n";
        WriteFileBytes(disk.Text, text);

        TDBFLite db;
        db.OpenTable(disk.Table, true);
        for (int f : {1, 2})
            for (int r = 0; r < Records; ++r)
                original[f].push_back(db.ReadMemo(r, f));
    }

    // The shortest of three whole runs of Args over the restored files,
    // each followed by After when given: how long to let a run go before killing it
    // somewhere inside.
    std::chrono::microseconds Shortest(const std::vector<std::string>& Args, const std::function<void()>& After = {})
    {
        std::chrono::microseconds shortest = std::chrono::hours(1);
        for (int i = 0; i < 3; ++i) {
            disk.Restore();
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(Finish(StartCli(Args)), 0);
            shortest = std::min(shortest, std::chrono::duration_cast<std::chrono::microseconds>(
                                              std::chrono::steady_clock::now() - start));
            if (After)
                After();
        }
        return shortest;
    }

    struct TKilledRun {
        std::string Name;
        std::vector<std::string> Args;
        std::chrono::microseconds Took;  // how long a whole run takes
    };
    // Twenty times over the restored files: starts Pick(run) and kills it at
    // a random moment of its usual time; Check(run, false) looks at what it
    // left, Finisher must then run through, and Check(run, true) looks again.
    // At least one run must have died by the kill.
    void KillAtRandomPoints(const std::function<TKilledRun(int)>& Pick, const std::vector<std::string>& Finisher,
                            const std::function<void(int, bool)>& Check)
    {
        const unsigned seed = std::random_device{}();
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        int killed = 0;
        for (int run = 0; run < 20; ++run) {
            const TKilledRun picked = Pick(run);
            SCOPED_TRACE(picked.Name + " run " + std::to_string(run));
            disk.Restore();
            std::uniform_int_distribution<long long> delay(0, picked.Took.count());
            const pid_t pid = StartCli(picked.Args);
            ASSERT_GT(pid, 0);
            std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
            ::kill(pid, SIGKILL);
            if (Finish(pid) == -SIGKILL)
                ++killed;
            Check(run, false);
            if (HasFatalFailure())
                return;
            EXPECT_EQ(Finish(StartCli(Finisher)), 0);
            Check(run, true);
        }
        EXPECT_GT(killed, 0);
    }

    static std::string Loaded(int RecNo)
    {
        return RecNo % 50 == 25 ? std::string(17000 + RecNo, 'l') : "loaded " + std::to_string(RecNo);
    }

    // The files on disk: the table opens read-write (nothing holds it); the
    // header counts only records written whole; every reference reads a
    // text the runs could have left; every new one lies below the memo
    // header's next free block.
    void ExpectWhole(bool LoadRan)
    {
        const std::string table = ReadFileBytes(disk.Table), memo = ReadFileBytes(disk.Memo);
        TDBFLite db;
        ASSERT_NO_THROW(db.OpenTable(disk.Table, false));
        const uint32_t count = ReadLe32(table, 4);
        ASSERT_GE(count, static_cast<uint32_t>(Records));
        ASSERT_LE(db.HeaderSize() + uint64_t{count} * db.RecordSize(), table.size());
        ASSERT_EQ(table.substr(db.HeaderSize(), count * db.RecordSize()).find('\0'), std::string::npos);
        const uint32_t next = ReadBe32(memo, 0);
        for (int32_t r = 0; r < static_cast<int32_t>(count); ++r)
            for (int f : {1, 2}) {
                const std::string text = db.ReadMemo(r, f);
                const std::string old = r < Records ? original[f][r] : "";
                ASSERT_TRUE(text == old || (LoadRan && f == 1 && text == Loaded(r)))
                    << "record " << r << " field " << f << ": " << text.substr(0, 40);
                const std::string ref = db.ReadRaw(r, f);
                if (IsBlank(ref))
                    continue;
                const uint32_t block = static_cast<uint32_t>(std::stoul(ref));
                ASSERT_LE(block + (8 + ReadBe32(memo, block * 64u + 4) + 63) / 64, next) << r;
            }
    }
};

TEST_F(KilledCli, RewriteAndLoadKilledAtRandomPointsLeaveWholeTables)
{
    const std::vector<std::string> rewrite{"rewrite", disk.Table, "--yes"},
        load{"load", disk.Table, disk.Text, "--yes"};
    const std::chrono::microseconds took[2] = {Shortest(rewrite), Shortest(load)};
    KillAtRandomPoints(
        [&](int Run) {
            return Run % 2 ? TKilledRun{"load", load, took[1]} : TKilledRun{"rewrite", rewrite, took[0]};
        },
        rewrite, [&](int Run, bool) { ExpectWhole(Run % 2 == 1); });
}

TEST_F(KilledCli, PackKilledAtRandomPointsLeavesEveryTextAndAFollowingPackFinishes)
{
    // A rewritten table: an old copy of every text at the front.
    ASSERT_EQ(Finish(StartCli({"rewrite", disk.Table, "--yes"})), 0);
    disk.TableBytes = ReadFileBytes(disk.Table);
    disk.MemoBytes = ReadFileBytes(disk.Memo);
    const std::vector<std::string> pack{"pack", disk.Table, "--yes", "--no-backup"};
    uint64_t packed = 0;
    const std::chrono::microseconds took = Shortest(pack, [&] {
        packed = ReadFileBytes(disk.Memo).size();
        ExpectWhole(false);
    });
    EXPECT_LT(packed, disk.MemoBytes.size() * 6 / 10);
    KillAtRandomPoints(
        [&](int) {
            return TKilledRun{"pack", pack, took};
        },
        pack,
        [&](int, bool Finished) {
            ExpectWhole(false);
            if (Finished) {
                EXPECT_EQ(ReadFileBytes(disk.Memo).size(), packed);
            }
        });
}

TEST_F(KilledCli, ABackupKilledAtRandomPointsLeavesNoPartialCopyAndTheNextRunTakesItsName)
{
    const std::vector<std::string> clear{"clear", disk.Table, "--yes", "--backup"};
    const std::string folder = disk.Dir.Root().u8string();
    const auto removeBackups = [&] {
        for (const std::string& name : FolderNames(folder))
            if (name.find(".bak") != std::string::npos)
                std::filesystem::remove(disk.Dir.Path(name));
    };
    const std::chrono::microseconds took = Shortest(clear, removeBackups);
    std::string suffix, tableLeft, memoLeft;
    KillAtRandomPoints(
        [&](int) {
            return TKilledRun{"clear --backup", clear, took};
        },
        clear,
        [&](int, bool Finished) {
            if (!Finished) {
                // Under a copy's name only a whole copy; anything else under
                // the name that says it is unfinished.
                for (const std::string& name : FolderNames(folder)) {
                    if (name == "ORDERS.DBF.bak")
                        EXPECT_EQ(ReadFileBytes(disk.Table + ".bak"), disk.TableBytes);
                    else if (name == "ORDERS.FPT.bak")
                        EXPECT_EQ(ReadFileBytes(disk.Memo + ".bak"), disk.MemoBytes);
                    else
                        EXPECT_TRUE(name.find(".bak") == std::string::npos || name == "ORDERS.DBF.bak.tmp" ||
                                    name == "ORDERS.FPT.bak.tmp")
                            << name;
                }
                const bool named =
                    std::filesystem::exists(disk.Table + ".bak") || std::filesystem::exists(disk.Memo + ".bak");
                suffix = named ? ".bak1" : ".bak";
                tableLeft = ReadFileBytes(disk.Table);
                memoLeft = ReadFileBytes(disk.Memo);
                return;
            }
            // The next run cleared away what was unfinished and took the
            // first free name.
            EXPECT_EQ(ReadFileBytes(disk.Table + suffix), tableLeft);
            EXPECT_EQ(ReadFileBytes(disk.Memo + suffix), memoLeft);
            for (const std::string& name : FolderNames(folder))
                EXPECT_EQ(name.find(".bak.tmp"), std::string::npos) << name;
            removeBackups();
        });
}

// --- The repair commands on disk ---------------------------------------------

class RepairCli : public ::testing::Test {
protected:
    TDiskTable disk;
    std::string Out = disk.Dir.Path("out.txt"), Err = disk.Dir.Path("err.txt");

    void SetUp() override { ASSERT_EQ(::access(CliPath().c_str(), X_OK), 0) << CliPath(); }
    int Cli(const std::vector<std::string>& Args) { return Finish(StartCli(Args, Out, Err)); }
    bool ErrSays(const std::string& Text) const { return ReadFileBytes(Err).find(Text) != std::string::npos; }
};

TEST_F(RepairCli, ALostTextIsACheckNoteThatSalvageTakesBackAndTheJsonReads)
{
    TTableSpec layout;
    layout.Fields = {{"NOTES", 'M', 10}};
    TMemoBuilder memo;
    const uint32_t kept = memo.Add("kept");
    memo.Add("lost");
    layout.Records = {{MemoRef(kept)}};
    disk.Put(layout, memo);
    // A peer reads the JSON: ok and the problems as the exit status says.
    const std::string reader =
        "/usr/bin/python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); "
        "print(d[\"ok\"], \",\".join(d[\"problems\"]), d[\"memo_map\"][\"lost_texts\"])' " +
        Out + " > " + Err;
    // A lost text is a note: salvage takes it back; the status stays 0.
    EXPECT_EQ(Cli({"check", disk.Table, "--json"}), 0);
    ASSERT_EQ(std::system(reader.c_str()), 0);
    EXPECT_EQ(ReadFileBytes(Err), "True  1\n");
    EXPECT_EQ(Cli({"check", disk.Table}), 0);
    EXPECT_NE(ReadFileBytes(Out).find("  text "), std::string::npos);

    EXPECT_EQ(Cli({"salvage", disk.Table, disk.Text}), 0);
    EXPECT_EQ(ReadFileBytes(disk.Text), "BLOCK\tTEXT\r\n9\tlost\r\n");
    EXPECT_EQ(ReadFileBytes(disk.Table), disk.TableBytes);
    EXPECT_EQ(ReadFileBytes(disk.Memo), disk.MemoBytes);

    layout.Records = {{MemoRef(kept)}, {MemoRef(kept + 1)}};
    disk.Put(layout, memo);
    EXPECT_EQ(Cli({"check", disk.Table, "--json"}), 0);
    ASSERT_EQ(std::system(reader.c_str()), 0);
    EXPECT_EQ(ReadFileBytes(Err), "True  0\n");
    EXPECT_EQ(Cli({"check", disk.Table, "--json", "--all"}), 2);
    EXPECT_EQ(Cli({"clear", disk.Table, "--json", "--yes"}), 2);
}

// relink lists before it writes: --dry-run and the answer no leave both
// files as they were; --yes writes the reference alone, after a backup, and
// check then finds the text referenced and no lost text left.
TEST_F(RepairCli, RelinkListsItsProposalsAndWritesOnlyTheReference)
{
    TTableSpec layout;
    layout.Fields = {{"NOTES", 'M', 10}};
    TMemoBuilder memo;
    std::vector<uint32_t> blocks;
    for (int i = 0; i < 4; ++i) {
        blocks.push_back(memo.Add("text " + std::to_string(i)));
        layout.Records.push_back({MemoRef(blocks.back())});
    }
    std::string& garbled = layout.Records[1][0];
    garbled[9] = '#';
    disk.Put(layout, memo);
    const std::string reader =
        "/usr/bin/python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); "
        "p=d[\"proposals\"][0]; print(len(d[\"proposals\"]), p[\"record\"], p[\"rule\"], "
        "p[\"text\"], d[\"written\"])' " +
        Out + " > " + Err;
    EXPECT_EQ(Cli({"relink", disk.Table, "--dry-run", "--json"}), 0);
    ASSERT_EQ(std::system(reader.c_str()), 0);
    EXPECT_EQ(ReadFileBytes(Err), "1 2 one_character text 1 0\n");
    EXPECT_EQ(Cli({"relink", disk.Table}), 3) << "no terminal to answer on";
    EXPECT_NE(ReadFileBytes(Out).find("record 2, field NOTES: reference \"         #\""), std::string::npos)
        << ReadFileBytes(Out);
    EXPECT_EQ(ReadFileBytes(disk.Table), disk.TableBytes);
    EXPECT_EQ(ReadFileBytes(disk.Memo), disk.MemoBytes);

    EXPECT_EQ(Cli({"relink", disk.Table, "--yes", "--backup"}), 0);
    EXPECT_TRUE(ErrSays("References relinked: 1.")) << ReadFileBytes(Err);
    EXPECT_EQ(ReadFileBytes(disk.Table + ".bak"), disk.TableBytes);
    EXPECT_EQ(ReadFileBytes(disk.Memo), disk.MemoBytes);
    layout.Records[1][0] = MemoRef(blocks[1]);
    EXPECT_EQ(ReadFileBytes(disk.Table), BuildTable(layout));
    EXPECT_EQ(Cli({"check", disk.Table}), 0);
    EXPECT_EQ(Cli({"relink", disk.Table}), 0);
    EXPECT_TRUE(ErrSays("Nothing to relink: 0 damaged references")) << ReadFileBytes(Err);

    ::unlink(disk.Memo.c_str());
    EXPECT_EQ(Cli({"relink", disk.Table, "--dry-run"}), 3);
    EXPECT_EQ(Cli({"relink", disk.Table, "--all"}), 2);
}

TEST_F(RepairCli, ABackupThatCannotBeWrittenStopsTheRunBeforeAnyChangeAndLeavesNoCopy)
{
    TTableSpec layout;
    layout.Fields = {{"NOTES", 'M', 10}};
    TMemoBuilder memo;
    layout.Records = {{MemoRef(memo.Add("text"))}, {MemoRef(memo.Add("  "))}, {"junk"}};
    disk.Put(layout, memo);
    // A folder under a copy's name only moves both copies on to the next
    // number; one under the memo file's unfinished name stops its copy.
    std::filesystem::create_directory(disk.Table + ".bak");
    std::filesystem::create_directory(disk.Memo + ".bak.tmp");
    std::vector<std::string> untouched = FolderNames(disk.Dir.Root().u8string());
    untouched.insert(untouched.end(), {"err.txt", "out.txt"});  // the runs' own output
    for (const auto& args : {std::vector<std::string>{"clear", disk.Table, "--yes", "--backup"},
                             std::vector<std::string>{"rewrite", disk.Table, "--yes", "--backup"},
                             std::vector<std::string>{"pack", disk.Table, "--yes"}}) {
        EXPECT_EQ(Cli(args), 3) << args[0];
        EXPECT_TRUE(ErrSays("Резервная копия не записана") || ErrSays("The backup could not be written"))
            << ReadFileBytes(Err);
        EXPECT_EQ(ReadFileBytes(disk.Table), disk.TableBytes);
        EXPECT_EQ(ReadFileBytes(disk.Memo), disk.MemoBytes);
        // The table's copy, whole, went with the memo file's that failed.
        EXPECT_EQ(FolderNames(disk.Dir.Root().u8string()), untouched);
    }
    std::filesystem::remove(disk.Memo + ".bak.tmp");
    EXPECT_EQ(Cli({"clear", disk.Table, "--yes", "--backup"}), 0);
    EXPECT_EQ(ReadFileBytes(disk.Table + ".bak1"), disk.TableBytes);
    EXPECT_EQ(ReadFileBytes(disk.Memo + ".bak1"), disk.MemoBytes);
    EXPECT_NE(ReadFileBytes(disk.Table), disk.TableBytes);
    const std::string cleared = ReadFileBytes(disk.Table);
    EXPECT_EQ(Cli({"rewrite", disk.Table, "--yes", "--backup"}), 0);
    EXPECT_EQ(ReadFileBytes(disk.Table + ".bak2"), cleared);
    EXPECT_EQ(ReadFileBytes(disk.Memo + ".bak2"), disk.MemoBytes);
}

TEST_F(RepairCli, ABackupOnAFullDiskLeavesNoCopyUnderAnyName)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small file system takes root";
    const std::string small = disk.Dir.Path("small");
    std::filesystem::create_directory(small);
    if (std::system(("mount -t tmpfs -o size=768k tmpfs '" + small + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "no tmpfs can be mounted here (a container without the right to)";
    struct TUnmount {
        std::string Path;
        ~TUnmount() { (void)std::system(("umount '" + Path + "'").c_str()); }
    } unmount{small};

    // About 450 KiB of memo file: the table's copy fits beside it, the memo
    // file's does not.
    TTableSpec layout;
    layout.Fields = {{"NOTES", 'M', 10}};
    TMemoBuilder memo;
    for (int r = 0; r < 30; ++r)
        layout.Records.push_back({MemoRef(memo.Add(std::string(15000, static_cast<char>('a' + r % 26))))});
    layout.Records.push_back({"junk"});
    const std::string table = small + "/ORDERS.DBF", memoFile = small + "/ORDERS.FPT";
    WriteFileBytes(table, BuildTable(layout));
    WriteFileBytes(memoFile, memo.Bytes());
    const std::string tableBytes = ReadFileBytes(table), memoBytes = ReadFileBytes(memoFile);
    for (const auto& args : {std::vector<std::string>{"clear", table, "--yes", "--backup"},
                             std::vector<std::string>{"pack", table, "--yes"}}) {
        EXPECT_EQ(Cli(args), 3) << args[0];
        EXPECT_TRUE(ErrSays("Резервная копия не записана") || ErrSays("The backup could not be written"))
            << ReadFileBytes(Err);
        EXPECT_EQ(ReadFileBytes(table), tableBytes);
        EXPECT_EQ(ReadFileBytes(memoFile), memoBytes);
        EXPECT_EQ(FolderNames(small), (std::vector<std::string>{"ORDERS.DBF", "ORDERS.FPT"}));
    }
}

TEST_F(RepairCli, CopiesOfAPrivateTableArePrivateToo)
{
    TTableSpec layout;
    layout.Fields = {{"NOTES", 'M', 10}};
    TMemoBuilder memo;
    memo.Add("lost");
    layout.Records = {{MemoRef(memo.Add("text"))}, {"junk"}};
    disk.Put(layout, memo);
    for (const std::string& path : {disk.Table, disk.Memo})
        std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    ASSERT_EQ(Cli({"salvage", disk.Table, disk.Text}), 0) << ReadFileBytes(Err);
    ASSERT_EQ(Cli({"clear", disk.Table, "--yes", "--backup"}), 0) << ReadFileBytes(Err);
    ASSERT_EQ(Cli({"pack", disk.Table, "--yes"}), 0) << ReadFileBytes(Err);
    for (const std::string& copy :
         {disk.Text, disk.Table + ".bak", disk.Memo + ".bak", disk.Table + ".bak1", disk.Memo + ".bak1"}) {
        SCOPED_TRACE(copy);
        EXPECT_EQ(static_cast<unsigned>(std::filesystem::status(copy).permissions()), 0600u);
    }
}

TEST_F(RepairCli, PackBacksUpBothFilesFirstAndLeavesNothingForCheckToFind)
{
    TTableSpec layout;
    layout.Fields = {{"NOTES", 'M', 10}, {"MORE", 'M', 10}};
    TMemoBuilder memo;
    memo.Add("old copy");
    const uint32_t lost = memo.Add("lost");
    const uint32_t kept = memo.Add("old copy"), blank = memo.Add(" \r\n");
    layout.Records = {{MemoRef(kept), MemoRef(blank)}, {MemoRef(123456), MemoRef(kept)}};
    disk.Put(layout, memo);
    EXPECT_EQ(Cli({"pack", disk.Table}), 3);  // no terminal to ask on, no --yes
    EXPECT_EQ(ReadFileBytes(disk.Memo), disk.MemoBytes);
    EXPECT_EQ(Cli({"pack", disk.Table, "--yes"}), 0) << ReadFileBytes(Err);
    EXPECT_EQ(ReadFileBytes(disk.Table + ".bak"), disk.TableBytes);
    EXPECT_EQ(ReadFileBytes(disk.Memo + ".bak"), disk.MemoBytes);
    // Each reference has a run of its own; the blank text stays, as it is.
    EXPECT_EQ(ReadFileBytes(disk.Memo).size(), 512u + 3 * 64u);
    TDBFLite db;
    db.OpenTable(disk.Table, true);
    EXPECT_EQ(db.ReadMemo(0, 0), "old copy");
    EXPECT_EQ(db.ReadMemo(1, 1), "old copy");
    EXPECT_NE(db.ReadRaw(0, 0), db.ReadRaw(1, 1));
    std::string bytes;
    uint32_t type = 0;
    ASSERT_TRUE(db.ReadMemoRun(0, 1, bytes, type));
    EXPECT_EQ(bytes, " \r\n");
    EXPECT_EQ(db.ReadRaw(1, 0), "          ");  // led past the end
    db.CloseTable();
    // No text is shared any more, and nothing is left without a reference.
    Cli({"check", disk.Table, "--json"});
    const std::string reader =
        "/usr/bin/python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); "
        "print(\"cross_linked\" in d[\"problems\"], d[\"memo_map\"][\"orphans\"])' " +
        Out + " > " + Err;
    ASSERT_EQ(std::system(reader.c_str()), 0);
    EXPECT_EQ(ReadFileBytes(Err), "False 0\n");
    (void)lost;

    // Refusals, before anything is written, exit 3 as the other commands'.
    std::string zeroBlocks = disk.MemoBytes;
    zeroBlocks[6] = zeroBlocks[7] = 0;
    WriteFileBytes(disk.Memo, zeroBlocks);
    WriteFileBytes(disk.Table, disk.TableBytes);
    EXPECT_EQ(Cli({"pack", disk.Table, "--yes", "--no-backup"}), 3) << ReadFileBytes(Err);
    EXPECT_EQ(Cli({"salvage", disk.Table, disk.Dir.Path("LOST.txt")}), 3) << ReadFileBytes(Err);
    EXPECT_EQ(ReadFileBytes(disk.Memo), zeroBlocks);
    EXPECT_EQ(ReadFileBytes(disk.Table), disk.TableBytes);
}

TEST_F(RepairCli, RewriteAndLoadStopBeforeTheMemoFilePassesTwoGibibytesUnlessAllowed)
{
    TTableSpec layout;
    layout.Fields = {{"NOTES", 'M', 10}};
    TMemoBuilder memo;
    memo.Add("first");
    // The last text ends 128 bytes below 2 GiB, in a sparse file: a copy
    // of it appended would pass the limit.
    const uint64_t last = (uint64_t{1} << 31) - 256;
    const std::string run = TMemoBuilder::RunHeader(1, 100) + std::string(100, 'x') + std::string(20, '\0');
    layout.Records = {{MemoRef(8)}, {MemoRef(static_cast<uint32_t>(last / 64))}};
    disk.Put(layout, memo);
    const auto grow = [&] {
        disk.Restore();
        const int fd = ::open(disk.Memo.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, run.data(), run.size(), static_cast<off_t>(last)), static_cast<ssize_t>(run.size()));
        char next[4] = {0, 0, 0, 0};
        const uint32_t block = static_cast<uint32_t>((last + run.size()) / 64);
        for (int i = 0; i < 4; ++i)
            next[i] = static_cast<char>(block >> (24 - 8 * i));
        ASSERT_EQ(::pwrite(fd, next, 4, 0), 4);
        ::close(fd);
    };
    WriteFileBytes(disk.Text, "NOTES\r\n" + std::string(200, 'n') + "\r\n");
    for (const auto& args : {std::vector<std::string>{"rewrite", disk.Table, "--yes"},
                             std::vector<std::string>{"load", disk.Table, disk.Text, "--yes"}}) {
        SCOPED_TRACE(args[0]);
        grow();
        const uint64_t size = std::filesystem::file_size(disk.Memo);
        EXPECT_EQ(Cli(args), 3);
        EXPECT_TRUE(ErrSays("pack")) << ReadFileBytes(Err);
        EXPECT_EQ(ReadFileBytes(disk.Table), disk.TableBytes);
        EXPECT_EQ(std::filesystem::file_size(disk.Memo), size);
        std::vector<std::string> allowed = args;
        allowed.push_back("--allow-large");
        EXPECT_EQ(Cli(allowed), 0) << ReadFileBytes(Err);
        EXPECT_GT(std::filesystem::file_size(disk.Memo), uint64_t{1} << 31);
    }
    // Clear appends nothing, and a table past the limit is still repaired.
    EXPECT_EQ(Cli({"clear", disk.Table, "--yes"}), 0);
    EXPECT_EQ(Cli({"clear", disk.Table, "--yes", "--allow-large"}), 2);
    // pack brings it back under the limit, every text where it can be read.
    std::vector<std::string> texts;
    {
        TDBFLite db;
        db.OpenTable(disk.Table, true);
        for (int32_t r = 0; r < db.RecordsInFile(); ++r)
            texts.push_back(db.ReadMemo(r, 0));
    }
    EXPECT_EQ(Cli({"pack", disk.Table, "--yes", "--no-backup"}), 0) << ReadFileBytes(Err);
    EXPECT_LT(std::filesystem::file_size(disk.Memo), 4096u);
    TDBFLite db;
    db.OpenTable(disk.Table, true);
    for (int32_t r = 0; r < db.RecordsInFile(); ++r)
        EXPECT_EQ(db.ReadMemo(r, 0), texts[static_cast<size_t>(r)]) << r;
    EXPECT_EQ(texts[1], std::string(100, 'x'));
}

// --- tarnwick-cli as a user runs it ------------------------------------------

struct TCliRun {
    int Status = -1;
    std::string Out, Err;
};

bool HasCyrillic(const std::string& Text)
{
    for (char c : Text)
        if (static_cast<unsigned char>(c) >= 0xD0 && static_cast<unsigned char>(c) <= 0xD3)
            return true;
    return false;
}

// Runs tarnwick-cli in Folder with only the variables Env, stdin on
// /dev/null; what it wrote to stdout and stderr.
TCliRun RunCli(const std::vector<std::string>& Args, std::vector<std::string> Env, const TTempDir& Folder)
{
    std::vector<std::string> all{CliPath()};
    all.insert(all.end(), Args.begin(), Args.end());
    std::vector<char*> argv, envp;
    for (std::string& arg : all)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    for (std::string& variable : Env)
        envp.push_back(&variable[0]);
    envp.push_back(nullptr);
    const std::string out = Folder.Path("cli.out"), err = Folder.Path("cli.err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, Folder.Root().c_str());
    pid_t pid = -1;
    TCliRun run;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0)
        run.Status = Finish(pid);
    posix_spawn_file_actions_destroy(&actions);
    run.Out = ReadFileBytes(out);
    run.Err = ReadFileBytes(err);
    return run;
}

class CliUse : public ::testing::Test {
protected:
    TDiskTable disk;
    const std::vector<std::string> english{"LANG=C"}, russian{"LANG=ru_RU.UTF-8"};

    void SetUp() override
    {
        ASSERT_EQ(::access(CliPath().c_str(), X_OK), 0) << CliPath();
        TTableSpec layout;
        layout.LanguageDriver = 0xC9;  // cp1251
        layout.Fields = {{"ID", 'C', 4}, {"NOTES", 'M', 10}, {"\xCF\xCE\xCB\xC5", 'M', 10}};
        TMemoBuilder memo;
        layout.Records = {{"1", MemoRef(memo.Add("\xF2\xE5\xEA\xF1\xF2")), "  garbage!"}, {"2", "", ""}};
        disk.Put(layout, memo);
    }
};

TEST_F(CliUse, ConventionsOfTheCommandLine)
{
    const struct {
        std::vector<std::string> Args;
        int Status;
        std::string Out, Err;  // the start of stdout, a part of stderr
    } cases[] = {
        {{"--version"}, 0, "tarnwick-cli 1.", ""},
        {{"version"}, 0, "tarnwick-cli 1.", ""},
        {{"frob"}, 2, "", "unknown command 'frob'\nTry 'tarnwick-cli --help'.\n"},
        {{}, 2, "", "no command given\nTry 'tarnwick-cli --help'.\n"},
        {{"--frob"}, 2, "", "unknown option '--frob'\nTry"},
        {{"info", "T.DBF", "--frob"}, 2, "", "unknown option '--frob'\nTry"},
        {{"info", "T.DBF", "--all"}, 2, "", "info does not take --all\nTry"},
        {{"save", "T.DBF"}, 2, "", "save takes 2 file name(s)\nTry"},
        {{"save", "T.DBF", "x", "--encoding", "latin-9"}, 2, "", "unknown encoding 'latin-9'"},
        {{"save", "--help"}, 0, "Usage:\n  tarnwick-cli save TABLE OUTPUT", ""},
        {{"--help"}, 0, "Usage:\n  tarnwick-cli info", ""},
    };
    for (const auto& c : cases) {
        const TCliRun run = RunCli(c.Args, english, disk.Dir);
        std::string args;
        for (const std::string& arg : c.Args)
            args += arg + " ";
        EXPECT_EQ(run.Status, c.Status) << args;
        EXPECT_EQ(run.Out.compare(0, c.Out.size(), c.Out), 0) << args << ": " << run.Out;
        EXPECT_NE(run.Err.find(c.Err), std::string::npos) << args << ": " << run.Err;
        if (c.Status == 2) {
            EXPECT_LE(std::count(run.Err.begin(), run.Err.end(), '\n'), 3) << args;
        }
        EXPECT_FALSE(HasCyrillic(run.Out + run.Err)) << args;
    }
    const TCliRun run = RunCli({"frob"}, russian, disk.Dir);
    EXPECT_EQ(run.Err, "tarnwick-cli: неизвестная команда 'frob'\nПопробуйте 'tarnwick-cli --help'.\n");
}

TEST_F(CliUse, OneLanguageARun)
{
    // English: nothing Cyrillic but the names of the table itself, shown in
    // the bytes it holds on a terminal that is not UTF-8.
    // (check ends with 4: the second memo field holds a reference that is
    // not a number.)
    TCliRun run = RunCli({"check", disk.Table}, english, disk.Dir);
    EXPECT_EQ(run.Status, 4) << run.Err;
    EXPECT_NE(run.Out.find("records: 2\ncode page: 1251 (header mark 0xC9)\n"), std::string::npos) << run.Out;
    EXPECT_FALSE(HasCyrillic(run.Out + run.Err)) << run.Out;
    run = RunCli({"check", disk.Table}, {"LC_ALL=en_US.UTF-8", "LANG=ru_RU.UTF-8"}, disk.Dir);
    EXPECT_NE(run.Out.find("field ПОЛЕ:\n  empty references"), std::string::npos) << run.Out;
    run = RunCli({"check", disk.Table}, russian, disk.Dir);
    EXPECT_EQ(run.Status, 4) << run.Err;
    EXPECT_NE(run.Out.find("записей: 2\n"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("поле ПОЛЕ:\n  пустые ссылки"), std::string::npos) << run.Out;
    EXPECT_EQ(run.Out.find("records"), std::string::npos) << run.Out;

    run = RunCli({"info", disk.Table}, russian, disk.Dir);
    EXPECT_EQ(run.Out, "NOTES\nПОЛЕ\n");
    EXPECT_EQ(run.Err, "MEMO полей: 2\n");
    run = RunCli({"info", disk.Table}, english, disk.Dir);
    EXPECT_EQ(run.Err, "Memo fields: 2\n");
    run = RunCli({"clear", disk.Table}, english, disk.Dir);
    EXPECT_EQ(run.Status, 3);
    EXPECT_NE(run.Err.find("Do you really want to clear these memo fields (2 of them)?"), std::string::npos);
    EXPECT_FALSE(HasCyrillic(run.Err)) << run.Err;
    run = RunCli({"clear", disk.Table}, russian, disk.Dir);
    EXPECT_NE(run.Err.find("Нет терминала для подтверждения"), std::string::npos) << run.Err;
    run = RunCli({"info", disk.Dir.Path("NONE.DBF")}, english, disk.Dir);
    EXPECT_EQ(run.Err, "DBF file not found.\n");
}

TEST_F(CliUse, TheDebugOutputAloneSaysHowTheTableIsWritten)
{
    const struct {
        std::vector<std::string> Env;
        const char* Said;  // on stderr; null: no debug line at all
    } cases[] = {
        {{"LANG=C", "TARNWICK_DEBUG=1"}, "tarnwick: ORDERS.DBF: writes through a shared mapping\n"},
        {{"LANG=C", "TARNWICK_DEBUG=1", "TARNWICK_WRITES=positional"},
         "tarnwick: ORDERS.DBF: positional writes (TARNWICK_WRITES=positional)\n"},
        {{"LANG=C"}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Env.back());
        const TCliRun run = RunCli({"clear", "ORDERS.DBF", "--all", "--yes"}, c.Env, disk.Dir);
        EXPECT_EQ(run.Status, 0) << run.Err;
        if (c.Said)
            EXPECT_NE(run.Err.find(c.Said), std::string::npos) << run.Err;
        else
            EXPECT_EQ(run.Err.find("tarnwick: "), std::string::npos) << run.Err;
        EXPECT_EQ(run.Out.find("tarnwick: "), std::string::npos) << run.Out;
        disk.Restore();
    }
}

TEST_F(CliUse, HelpFromAnotherFolderReadsTheFileBesideTheProgram)
{
    // The build puts Read_Me.txt beside tarnwick-cli; this folder has none.
    const TCliRun run = RunCli({"help"}, russian, disk.Dir);
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_GT(run.Out.size(), 200u);
    EXPECT_EQ(run.Out.find('\r'), std::string::npos);
    WriteFileBytes(disk.Dir.Path("Read_Me.txt"), "Local help\r\n");
    EXPECT_EQ(RunCli({"help"}, russian, disk.Dir).Out, "Local help\n");
}

TEST_F(CliUse, ATableWithoutWritePermissionIsListedAndSavedButNotCleared)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root writes whatever the permissions say (the handler tests cover this in memory)";
    ASSERT_EQ(::chmod(disk.Table.c_str(), 0444), 0);
    ASSERT_EQ(::chmod(disk.Memo.c_str(), 0444), 0);
    TCliRun run = RunCli({"info", disk.Table}, english, disk.Dir);
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Out.substr(0, 6), "NOTES\n");
    run = RunCli({"save", disk.Table, disk.Text, "--encoding", "utf-8"}, english, disk.Dir);
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(ReadFileBytes(disk.Text), "NOTES\tПОЛЕ\r\nтекст\t\r\n\t\r\n");
    run = RunCli({"clear", disk.Table, "--yes"}, english, disk.Dir);
    EXPECT_EQ(run.Status, 3);
    EXPECT_EQ(run.Err, "The table is read-only.\n");
    run = RunCli({"pack", disk.Table, "--yes"}, english, disk.Dir);
    EXPECT_EQ(run.Status, 3);
    EXPECT_EQ(run.Err, "The table is read-only.\n");
    EXPECT_EQ(ReadFileBytes(disk.Table), disk.TableBytes);
    EXPECT_EQ(ReadFileBytes(disk.Memo), disk.MemoBytes);
}

TEST_F(CliUse, TextsGoOutAsUtf8AndComeBackAsTheTablesBytes)
{
    const std::string utf8 = disk.Dir.Path("utf8.txt"), raw = disk.Dir.Path("raw.txt");
    EXPECT_EQ(RunCli({"save", disk.Table, raw}, english, disk.Dir).Status, 0);
    EXPECT_EQ(ReadFileBytes(raw), "NOTES\t\xCF\xCE\xCB\xC5\r\n\xF2\xE5\xEA\xF1\xF2\t\r\n\t\r\n");
    EXPECT_EQ(RunCli({"save", disk.Table, utf8, "--encoding=UTF-8"}, english, disk.Dir).Status, 0);
    EXPECT_EQ(ReadFileBytes(utf8), "NOTES\tПОЛЕ\r\nтекст\t\r\n\t\r\n");
    WriteFileBytes(utf8, "ПОЛЕ\tNOTES\r\nдругой\tтекст\r\n");
    TCliRun run = RunCli({"load", disk.Table, utf8, "--encoding", "utf-8", "--yes"}, english, disk.Dir);
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(RunCli({"save", disk.Table, raw}, english, disk.Dir).Status, 0);
    EXPECT_EQ(ReadFileBytes(raw),
              "NOTES\t\xCF\xCE\xCB\xC5\r\n\xF2\xE5\xEA\xF1\xF2\t\xE4\xF0\xF3\xE3\xEE\xE9\r\n\t\r\n");

    // A table without a code page mark needs one given.
    std::string unmarked = disk.TableBytes;
    unmarked[29] = 0;
    WriteFileBytes(disk.Table, unmarked);
    run = RunCli({"save", disk.Table, utf8, "--encoding", "utf-8"}, english, disk.Dir);
    EXPECT_EQ(run.Status, 3);
    EXPECT_NE(run.Err.find("(mark 0x00): give one with --codepage"), std::string::npos) << run.Err;
    run = RunCli({"save", disk.Table, utf8, "--encoding", "utf-8", "--codepage", "866"}, english, disk.Dir);
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(ReadFileBytes(utf8).substr(0, 18), "NOTES\t╧╬╦┼");  // the same bytes read as cp866
    EXPECT_EQ(RunCli({"save", disk.Table, utf8, "--encoding", "utf-8", "--codepage", "9"}, english, disk.Dir).Status,
              2);
}

// --- check: damage told from wear --------------------------------------------

// A JSON list of findings as "kind count bytes mend" joined by "; ", with
// "-" where bytes do not apply and "none" where no command mends it.
std::string FindingsOf(const nlohmann::json& List)
{
    std::string out;
    for (const nlohmann::json& f : List)
        out += (out.empty() ? "" : "; ") + f.at("kind").get<std::string>() + " " + f.at("count").dump() + " " +
               (f.contains("bytes") ? f.at("bytes").dump() : "-") + " " +
               (f.at("mend").is_null() ? "none" : f.at("mend").get<std::string>());
    return out;
}

struct TCheckCase {
    const char* Name;
    std::function<void(TTableSpec&, TMemoBuilder&)> Build;  // Spec has one memo field, NOTES
    int Status;
    std::string Damage, Notes;      // as FindingsOf gives them
    std::vector<std::string> Says;  // lines of the English report
};

const TCheckCase CheckCases[] = {
    {"healthy",
     [](TTableSpec& S, TMemoBuilder& M) { S.Records = {{MemoRef(M.Add("text"))}}; },
     0,
     "",
     "",
     {"verdict: healthy\n"}},
    {"references to blank texts",
     [](TTableSpec& S, TMemoBuilder& M) {
         S.Records = {{MemoRef(M.Add(" \r\n "))}, {MemoRef(M.Add("text"))}};
     },
     0,
     "",
     "blank 1 - clear",
     {"references to texts holding only blanks: 1; clear blanks 1 reference (nothing is lost)",
      "verdict: healthy with notes\n"}},
    {"no records and no end-of-file byte, as Visual FoxPro writes them",
     [](TTableSpec& S, TMemoBuilder&) { S.EndOfFileMark = false; },
     0,
     "",
     "end_of_file_byte 1 - none",
     {"nothing to mend"}},
    {"old copies, a blank orphan and a lost text",
     [](TTableSpec& S, TMemoBuilder& M) {
         M.Add("same");
         M.Add("  ");
         M.Add(std::string(1210, 'l'));
         S.Records = {{MemoRef(M.Add("same"))}};
     },
     0,
     "",
     "old_copies 1 4 pack; blank_orphans 1 2 pack; lost_texts 1 1210 salvage",
     {"pack reclaims 4 bytes", "salvage recovers 1 text (1,210 bytes)", "pack reclaims 1,216 bytes"}},
    {"a next free block far past the end",
     [](TTableSpec& S, TMemoBuilder& M) {
         S.Records = {{MemoRef(M.Add("text"))}};
         M.SetNextBlock(1u << 20);
     },
     0,
     "",
     "next_free_past_end 1 67108288 pack",
     {"67,108,288 bytes past the end of the file; pack sets it"}},
    {"references that are no block number or lead past the end",
     [](TTableSpec& S, TMemoBuilder& M) {
         S.Records = {{"junk"}, {MemoRef(123456)}, {"x1"}, {MemoRef(M.Add("text"))}};
     },
     4,
     "not_a_number 2 - rewrite; past_end 1 - rewrite",
     "",
     {"references that are not block numbers: 2; rewrite mends 2 references (clear blanks them)",
      "rewrite mends 1 reference (clear blanks them)", "verdict: damage found\n"}},
    {"references sharing a text",
     [](TTableSpec& S, TMemoBuilder& M) {
         const uint32_t shared = M.Add("shared");
         S.Records = {{MemoRef(shared)}, {MemoRef(shared)}};
     },
     4,
     "cross_linked 2 - rewrite",
     "",
     {"rewrite gives 2 references a copy each"}},
    {"a next free block inside the file",
     [](TTableSpec& S, TMemoBuilder& M) {
         S.Records = {{MemoRef(M.Add("one"))}, {MemoRef(M.Add("two"))}, {MemoRef(M.Add("three"))}};
         M.SetNextBlock(9);
     },
     4,
     "past_next_free 2 - rewrite; next_free_block 1 128 rewrite",
     "",
     {"rewrite moves 2 texts", "128 bytes before its end (the owner's next write overwrites texts); rewrite mends it"}},
    {"a record count the file does not hold",
     [](TTableSpec& S, TMemoBuilder& M) {
         S.Records = {{MemoRef(M.Add("text"))}};
         S.RecordCountOverride = 5;
     },
     4,
     "records_short 1 43 none",
     "",
     {"no command of this program mends it"}},
};

TEST(CheckCli, DamageEndsWithFourWearWithNotesAndEachFindingNamesWhatMendsIt)
{
    for (const TCheckCase& c : CheckCases) {
        SCOPED_TRACE(c.Name);
        TDiskTable disk;
        TTableSpec spec = TableOf({{"NOTES", 'M', 10}});
        TMemoBuilder memo;
        c.Build(spec, memo);
        disk.Put(spec, memo);
        const TCliRun json = RunCli({"check", disk.Table, "--json"}, {"LANG=C"}, disk.Dir);
        EXPECT_EQ(json.Status, c.Status) << json.Err;
        const nlohmann::json found = nlohmann::json::parse(json.Out);
        EXPECT_EQ(FindingsOf(found.at("damage")), c.Damage);
        EXPECT_EQ(FindingsOf(found.at("notes")), c.Notes);
        EXPECT_EQ(found.at("ok"), c.Damage.empty());
        const TCliRun text = RunCli({"check", disk.Table}, {"LANG=C"}, disk.Dir);
        EXPECT_EQ(text.Status, c.Status);
        for (const std::string& line : c.Says)
            EXPECT_NE(text.Out.find(line), std::string::npos) << line << "\n" << text.Out;
        // The same in Russian, with the commands' names kept.
        const TCliRun russian = RunCli({"check", disk.Table}, {"LANG=ru_RU.UTF-8"}, disk.Dir);
        EXPECT_EQ(russian.Status, c.Status);
        for (const nlohmann::json& f : found.at("damage"))
            EXPECT_NE(russian.Out.find(f.at("mend").is_null() ? "ни одна команда" : f.at("mend").get<std::string>()),
                      std::string::npos);
    }
}

TEST(CheckCli, AFolderGivesALineForEveryTableWithAMemoFileAndTheWorstStatus)
{
    TTempDir dir;
    std::filesystem::create_directories(dir.Path("tables/a"));
    std::filesystem::create_directories(dir.Path("tables/b"));
    TMemoBuilder memo;
    const TTableSpec healthy = NotesTable(memo, {"text"});
    WriteFileBytes(dir.Path("tables/a/HEALTHY.DBF"), BuildTable(healthy));
    WriteFileBytes(dir.Path("tables/a/healthy.fpt"), memo.Bytes());  // its memo file in another letter case
    TTableSpec damaged = healthy;
    damaged.Records.push_back({"junk"});
    WriteFileBytes(dir.Path("tables/b/damaged.dbf"), BuildTable(damaged));
    WriteFileBytes(dir.Path("tables/b/DAMAGED.FPT"), memo.Bytes());
    // No field NOTES, which the runs ask for: this one cannot be checked.
    TTableSpec other = TableOf({{"OTHER", 'M', 10}});
    other.Records = {{MemoRef(8)}};
    WriteFileBytes(dir.Path("tables/Other.Dbf"), BuildTable(other));
    WriteFileBytes(dir.Path("tables/Other.FPT"), memo.Bytes());
    WriteFileBytes(dir.Path("tables/nomemo.dbf"), BuildTable(healthy));  // no memo file: not listed
    WriteFileBytes(dir.Path("tables/readme.txt"), "not a table");

    const std::vector<std::string> check{"check", "tables", "--fields", "NOTES"};
    TCliRun run = RunCli(check, {"LANG=C"}, dir);
    EXPECT_EQ(run.Status, 4) << run.Err;
    EXPECT_EQ(run.Out,
              "tables/Other.Dbf: could not be checked (No memo field \"NOTES\" in the table.)\n"
              "tables/a/HEALTHY.DBF: healthy (damage: 0, notes: 0)\n"
              "tables/b/damaged.dbf: damage found (damage: 1, notes: 0)\n"
              "tables: 3; damaged: 1; healthy with notes: 0; healthy: 1; not checked: 1\n");

    std::vector<std::string> withJson = check;
    withJson.push_back("--json");
    run = RunCli(withJson, {"LANG=C"}, dir);
    EXPECT_EQ(run.Status, 4);
    std::vector<nlohmann::json> lines;
    for (const std::string& line : SplitAt(run.Out, "\n"))
        if (!line.empty())
            lines.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(lines.size(), 4u) << run.Out;
    EXPECT_EQ(lines[0].at("verdict"), "unreadable");
    EXPECT_EQ(lines[1].at("table"), "tables/a/HEALTHY.DBF");
    EXPECT_EQ(lines[1].at("verdict"), "healthy");
    EXPECT_EQ(lines[2].at("damage").at(0).at("kind"), "not_a_number");
    EXPECT_EQ(lines[3], nlohmann::json::parse(R"({"summary": {"tables": 3, "damaged": 1, "healthy_with_notes": 0,
                                                  "healthy": 1, "unreadable": 1}})"));

    // Damage outweighs a table not checked, which outweighs health.
    std::filesystem::remove(dir.Path("tables/b/damaged.dbf"));
    EXPECT_EQ(RunCli(check, {"LANG=C"}, dir).Status, 1);
    std::filesystem::remove(dir.Path("tables/Other.Dbf"));
    EXPECT_EQ(RunCli(check, {"LANG=C"}, dir).Status, 0);
    run = RunCli({"check", "tables/b"}, {"LANG=C"}, dir);
    EXPECT_EQ(run.Status, 0);
    EXPECT_EQ(run.Out,
              "no table with a memo file in tables/b\n"
              "tables: 0; damaged: 0; healthy with notes: 0; healthy: 0; not checked: 0\n");
}

}  // namespace
