// Shared set-ups for the table tests: a table and memo file in memory.
#pragma once

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "dbflite/dbflite.h"
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
    std::string Memo() const { return Files.File(MemoPath); }
};

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
