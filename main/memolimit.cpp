#include "memolimit.h"

#include <algorithm>

#include "fptlayout.h"

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
            // Every run a reference leads to is copied, an empty one too.
            if (run.InFile && IsRunStart(run.Offset, run.Type))
                end += RunSize(run.Present, Table.MemoBlockSize());
        }
    return end;
}
