#include "salvage.h"

#include <algorithm>

#include "repairtexts.h"
#include "escape.h"
#include "maintexts.h"
#include "textfile.h"

void RequireMemoBlocks(const TDBFLite& Table)
{
    if (!Table.HasMemoFile())
        throw ERefused(RepairText(TRepairText::SalvageNoMemoFile, TLanguage::Russian));
    if (Table.MemoBlockSize() == 0)
        throw ERefused(RepairText(TRepairText::SalvageBlockSizeZero, TLanguage::Russian));
}

TMemoMapFindings SalvageOrphans(TFileSystem& Files, const std::string& TablePath, const std::string& OutputPath,
                                const std::function<void(int64_t, int64_t)>& Progress)
{
    TDBFLite table(Files);
    table.OpenTable(TablePath, true);
    RequireMemoBlocks(table);
    if (table.HoldsFile(OutputPath))
        throw EError(MainTexts::TextFileIsTable);
    TMemoMap map(table, Files);
    map.AddAllRecords(Progress);
    map.Scan(Progress);

    // The lost texts are the table's own: the file that gathers them is made
    // with the table's permission bits, which the writer's open then keeps.
    Files.Create(OutputPath, Files.Permissions(TablePath), TFileShare::Exclusive).reset();
    TTextFileWriter out(Files, OutputPath);
    out.WriteLine("BLOCK\tTEXT");
    const auto writeEscaped = [&out](const char* Data, size_t Length) { out.WriteEscaped(Data, Length); };
    for (const TMemoOrphan& orphan : map.Orphans()) {
        if (!orphan.Lost())
            continue;
        const std::string block = std::to_string(orphan.Block) + "\t";
        out.Commit(std::copy(block.begin(), block.end(), out.Room(block.size())));
        map.ReadText(orphan, writeEscaped);
        out.EndLine();
    }
    out.Close();
    table.CloseTable();
    return map.Findings();
}
