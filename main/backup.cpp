#include "backup.h"

#include <functional>

#include "repairtexts.h"
#include "dbflite.h"

namespace {

// Copies the file at Original, read through In, to its unfinished name.
using TCopyOne = std::function<void(TFileStream& In, const std::string& Original)>;

// Removes the unfinished copy of Original a killed run left. One that
// another run is writing right now is locked: the open says so, and this
// run stops without touching it.
void RemoveUnfinished(TFileSystem& Files, const std::string& Original)
{
    const std::string unfinished = UnfinishedBackupName(Original);
    if (!Files.FileExists(unfinished))
        return;
    Files.Open(unfinished, TFileAccess::Read, TFileShare::Exclusive).reset();
    Files.Remove(unfinished);
}

void RemoveQuietly(TFileSystem& Files, const std::string& Path)
{
    try {
        if (Files.FileExists(Path))
            Files.Remove(Path);
    } catch (const EError&) {
        // The failure that brought us here is the one to report.
    }
}

// The backups of Originals: CopyEach hands every original's stream to the
// copier given, which writes it under its unfinished name; then all of them
// get their names. Whole or none: on any failure what this run wrote goes,
// the named copies too (a table's copy without its memo file's is no backup
// to restore).
std::vector<std::string> MakeBackups(TFileSystem& Files, const std::vector<std::string>& Originals,
                                     const std::function<void(const TCopyOne&)>& CopyEach)
{
    std::vector<std::string> started, copies;
    try {
        for (const std::string& path : Originals)
            RemoveUnfinished(Files, path);
        const std::string suffix = BackupSuffix(Files, Originals);
        CopyEach([&](TFileStream& In, const std::string& Original) {
            const uint32_t permissions = Files.Permissions(Original);
            started.push_back(UnfinishedBackupName(Original));
            CopyToFile(Files, In, started.back(), permissions);
        });
        for (const std::string& path : Originals) {
            Files.Rename(UnfinishedBackupName(path), path + suffix);
            copies.push_back(path + suffix);
        }
    } catch (const EError& e) {
        for (const std::string& path : started)
            RemoveQuietly(Files, path);
        for (const std::string& path : copies)
            RemoveQuietly(Files, path);
        throw EError(FormatRepairText(TRepairText::BackupFailed, {e.Message()}, TLanguage::Russian));
    }
    return copies;
}

}  // namespace

std::string UnfinishedBackupName(const std::string& Path) { return Path + ".bak.tmp"; }

std::string BackupSuffix(TFileSystem& Files, const std::vector<std::string>& Paths)
{
    for (unsigned n = 0;; ++n) {
        const std::string suffix = n == 0 ? ".bak" : ".bak" + std::to_string(n);
        bool taken = false;
        for (const std::string& path : Paths)
            taken = taken || Files.PathExists(path + suffix);
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
    return MakeBackups(Files, originals, [&](const TCopyOne& Copy) {
        for (const std::string& path : originals) {
            std::unique_ptr<TFileStream> in = Files.Open(path, TFileAccess::Read, TFileShare::DenyNone);
            Copy(*in, path);
        }
    });
}

std::vector<std::string> BackupOpenTable(TFileSystem& Files, TDBFLite& Table)
{
    std::vector<std::string> originals{Table.FileName()};
    if (Table.HasMemoFile())
        originals.push_back(Table.MemoFileName());
    return MakeBackups(Files, originals, [&](const TCopyOne& Copy) { Table.CopyFiles(Copy); });
}
