// Shared set-ups for the table tests: a table and memo file in memory, and
// a window port showing one.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "dbflite.h"
#include "fakeport.h"
#include "memfs.h"
#include "tablebuilder.h"

struct TMemTable {
    TMemoryFileSystem Files;
    std::string TablePath = "/data/T.DBF";
    std::string MemoPath = "/data/T.FPT";

    void Put(const TTableSpec& Spec) { Files.SetFile(TablePath, BuildTable(Spec)); }
    void Put(const TTableSpec& Spec, const TMemoBuilder& Memo)
    {
        Put(Spec);
        Files.SetFile(MemoPath, Memo.Bytes());
    }
    std::string Table() const { return Files.File(TablePath); }
    // The table of Spec put in memory and opened through this file system.
    std::unique_ptr<TDBFLite> Opened(const TTableSpec& Spec, bool ReadOnly = false)
    {
        Put(Spec);
        auto table = std::make_unique<TDBFLite>(Files);
        table->OpenTable(TablePath, ReadOnly);
        return table;
    }
    std::string Memo() const { return Files.File(MemoPath); }
};

// A window port showing the table at Path, with Fields (a line each) in the
// memo box.
inline TFakePort PortOn(const std::string& Path, const std::string& Fields)
{
    TFakePort port;
    port.FileName = Path;
    port.Memo = Fields;
    return port;
}

// The message of the EError that Action raises; a test failure when it
// raises none.
inline std::string ExpectError(const std::function<void()>& Action)
{
    try {
        Action();
    } catch (const EError& e) {
        return e.Message();
    }
    ADD_FAILURE() << "no error was raised";
    return {};
}

// Fails each write of a run in turn (the first, then the second, ...),
// half written as on a disk that fills up, until a run fails none. Before
// each run Reset puts the files back; Run writes through the open table;
// after a failed run Check(failAt, what CloseTable raised) looks at the files.
inline void FailEachWrite(TMemTable& T, const std::function<void()>& Reset, const std::function<void(TDBFLite&)>& Run,
                          const std::function<void(long, const std::string&)>& Check)
{
    TFaultFileSystem faults(T.Files);
    faults.FailOnlyWrites = true;
    faults.PartialWrites = true;
    for (long failAt = 1;; ++failAt) {
        Reset();
        faults.Arm(failAt);
        std::string error;
        {
            TDBFLite table(faults);
            table.OpenTable(T.TablePath, false);
            Run(table);
            try {
                table.CloseTable();
            } catch (const EError& e) {
                error = e.Message();
            }
        }
        if (!faults.Failed) {
            EXPECT_EQ(error, "") << "a run with no failure";
            return;
        }
        Check(failAt, error);
    }
}
