// salvage: the texts of a memo file that no reference leads to any more,
// written to a text file for a person to take back what was lost.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "filestream.h"
#include "memomap.h"

// Maps the memo file of the table at TablePath (changing nothing) and writes
// to OutputPath a line "BLOCK<TAB>TEXT", then one line per lost text (an
// orphan neither an old copy nor blank), in block order: its block number, a tab and its text
// escaped as Save escapes texts, each line ending CR LF. OutputPath is
// created only once the scan has succeeded. Raises EError with the user's
// message (in Russian, as the table layer's; the console translates it) on
// a table without a memo file, or with a block size of 0.
// Raises the EError salvage and pack give for a table without a memo file
// or with a block size of 0, whose blocks cannot be told apart.
void RequireMemoBlocks(const TDBFLite& Table);

TMemoMapFindings SalvageOrphans(TFileSystem& Files, const std::string& TablePath, const std::string& OutputPath,
                                const std::function<void(int64_t, int64_t)>& Progress = {});
