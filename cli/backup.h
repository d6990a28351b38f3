// Backups of a table and its memo file, beside them, before a run changes
// them: NAME.DBF.bak and NAME.FPT.bak, or .bak1, .bak2, ... when those exist.
#pragma once

#include <string>
#include <vector>

#include "filestream.h"

// The suffix both backups get: ".bak", or ".bakN" with the smallest N for
// which neither file exists yet.
std::string BackupSuffix(TFileSystem& Files, const std::vector<std::string>& Paths);

// Copies the table at TablePath and its memo file (when there is one), each
// synced, and returns the paths of the copies. A copy that cannot be written
// raises EError with the user's message, in Russian as the table layer's are
// (the console translates it): the caller then changes nothing.
std::vector<std::string> BackupTable(TFileSystem& Files, const std::string& TablePath);

// The same for a table open read-write in this process, which holds its memo
// file exclusively: the copies are read through the table's own streams.
class TDBFLite;
std::vector<std::string> BackupOpenTable(TFileSystem& Files, TDBFLite& Table);
