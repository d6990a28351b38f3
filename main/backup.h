// Backups of a table and its memo file, beside them, before a run changes
// them: NAME.DBF.bak and NAME.FPT.bak, or .bak1, .bak2, ... when those names
// are taken.
//
// A name ending in .bak or .bakN always holds a whole copy. Each copy is
// written first under NAME.DBF.bak.tmp (NAME.FPT.bak.tmp), a name that says
// it is unfinished, synced, and given its own name only when both copies are
// whole; a run that fails removes what it wrote. A run killed midway leaves
// at most a .bak.tmp file, which the next backup of the same table removes.
// Each copy has its original's permission bits.
#pragma once

#include <string>
#include <vector>

#include "filestream.h"

// What a copy of Path is written as until it is whole: Path + ".bak.tmp".
std::string UnfinishedBackupName(const std::string& Path);

// The suffix both backups get: ".bak", or ".bakN" with the smallest N for
// which nothing (file, folder, link) has either name yet.
std::string BackupSuffix(TFileSystem& Files, const std::vector<std::string>& Paths);

// Copies the table at TablePath and its memo file (when there is one), each
// synced, and returns the paths of the copies. A copy that cannot be written
// raises EError with the user's message, in Russian as the table layer's are
// (the console translates it), and leaves no copy: the caller then changes
// nothing.
std::vector<std::string> BackupTable(TFileSystem& Files, const std::string& TablePath);

// The same for a table open read-write in this process, which holds its memo
// file exclusively: the copies are read through the table's own streams.
class TDBFLite;
std::vector<std::string> BackupOpenTable(TFileSystem& Files, TDBFLite& Table);
