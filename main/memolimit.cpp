#include "memolimit.h"

#include <algorithm>

#include "fptlayout.h"
#include "textfile.h"
#include "strutil.h"

namespace {

uint64_t RunSize(uint64_t Length, uint64_t BlockSize)
{
    return (MemoBlockHeaderSize + Length + BlockSize - 1) / BlockSize * BlockSize;
}

}  // namespace

uint64_t MemoSizeAfterRewrite(TDBFLite& Table, const std::vector<int>& Fields)
{
    if (!Table.HasMemoFile() || Table.MemoBlockSize() == 0)
        return Table.MemoFileSize();
    uint64_t end = Table.NextRunBlock() * Table.MemoBlockSize();
    const int32_t records = Table.RecordsInFile();
    for (int32_t r = 0; r < records; ++r)
        for (int field : Fields) {
            const TMemoRunInfo run = Table.MemoRunOf(r, field);
            if (run.InFile && run.Present > 0)
                end += RunSize(run.Present, Table.MemoBlockSize());
        }
    return end;
}

uint64_t MemoSizeAfterLoad(TDBFLite& Table, TFileSystem& Files, const std::string& InputPath)
{
    if (!Table.HasMemoFile() || Table.MemoBlockSize() == 0)
        return Table.MemoFileSize();
    TTextFileReader in(Files, InputPath);
    std::vector<bool> memo;
    for (const std::string& name : SplitAt(in.ReadLine(), "\t")) {
        const int field = Table.FieldIndex(name);
        memo.push_back(field >= 0 && Table.Fields()[static_cast<size_t>(field)].IsMemo());
    }
    uint64_t end = Table.NextRunBlock() * Table.MemoBlockSize();
    while (!in.Eof()) {
        const std::string_view line = in.ReadLineView();
        size_t start = 0;
        for (size_t c = 0; c < memo.size() && start <= line.size(); ++c) {
            size_t stop = line.find('\t', start);
            if (stop == std::string_view::npos)
                stop = line.size();
            if (memo[c] && stop > start)
                end += RunSize(stop - start, Table.MemoBlockSize());
            start = stop + 1;
        }
    }
    return end;
}
