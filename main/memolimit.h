// The size FoxPro and Visual FoxPro can open: a memo file past 2 GiB is one
// their own application no longer opens. Rewrite and Load append a run per
// text, so they work out first where the memo file would end (Load as its
// check of the file lays the texts out).
#pragma once

#include <cstdint>
#include <vector>

#include "dbflite.h"

constexpr uint64_t OwnerMemoLimit = (uint64_t{1} << 31) - 1;

// Where the memo file of Table (open) would end at most after a Rewrite of
// Fields: every run the references lead to stored again at the end. A pass
// over the references and the block headers; no text is read.
uint64_t MemoSizeAfterRewrite(TDBFLite& Table, const std::vector<int>& Fields);
