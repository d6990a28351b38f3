// The size FoxPro and Visual FoxPro can open: a memo file past 2 GiB is one
// their own application no longer opens. Rewrite and Load append a run per
// text, so they work out first where the memo file would end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dbflite.h"

constexpr uint64_t OwnerMemoLimit = (uint64_t{1} << 31) - 1;

// Where the memo file of Table (open) would end at most after a Rewrite of
// Fields: every run the references lead to stored again at the end. A pass
// over the references and the block headers; no text is read.
uint64_t MemoSizeAfterRewrite(TDBFLite& Table, const std::vector<int>& Fields);

// The same after a Load of the text file at InputPath: each value of a memo
// column as a run as long as the value's escaped length (unescaping only
// shortens it).
uint64_t MemoSizeAfterLoad(TDBFLite& Table, TFileSystem& Files, const std::string& InputPath);
