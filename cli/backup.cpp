#include "backup.h"

#include "texts.h"
#include "dbflite.h"

namespace {

void CopyFile(TFileSystem& Files, const std::string& From, const std::string& To)
{
    std::unique_ptr<TFileStream> in = Files.Open(From, TFileAccess::Read, TFileShare::DenyNone);
    CopyToFile(Files, *in, To);
}

}  // namespace

std::string BackupSuffix(TFileSystem& Files, const std::vector<std::string>& Paths)
{
    for (unsigned n = 0;; ++n) {
        const std::string suffix = n == 0 ? ".bak" : ".bak" + std::to_string(n);
        bool taken = false;
        for (const std::string& path : Paths)
            taken = taken || Files.FileExists(path + suffix);
        if (!taken)
            return suffix;
    }
}

std::vector<std::string> BackupTable(TFileSystem& Files, const std::string& TablePath)
{
    std::vector<std::string> originals{TablePath};
    const std::string memo = TDBFLite::FindMemoFile(Files, TablePath);
    if (!memo.empty())
        originals.push_back(memo);
    const std::string suffix = BackupSuffix(Files, originals);
    std::vector<std::string> copies;
    try {
        for (const std::string& path : originals) {
            CopyFile(Files, path, path + suffix);
            copies.push_back(path + suffix);
        }
    } catch (const EError& e) {
        throw EError(FormatRepairText(TRepairText::BackupFailed, {e.Message()}, TLanguage::Russian));
    }
    return copies;
}

std::vector<std::string> BackupOpenTable(TFileSystem& Files, TDBFLite& Table)
{
    std::vector<std::string> originals{Table.FileName()};
    if (Table.HasMemoFile())
        originals.push_back(Table.MemoFileName());
    const std::string suffix = BackupSuffix(Files, originals);
    try {
        Table.CopyFiles(Files, suffix);
    } catch (const EError& e) {
        throw EError(FormatRepairText(TRepairText::BackupFailed, {e.Message()}, TLanguage::Russian));
    }
    std::vector<std::string> copies;
    for (const std::string& path : originals)
        copies.push_back(path + suffix);
    return copies;
}
