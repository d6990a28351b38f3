#include "filestream.h"

void TFileStream::Truncate(uint64_t) { throw EStreamError(WriteErrorText(), TIoFailure::Other, 0); }

std::string OpenErrorText(const std::string& Path) { return "Cannot open file " + Path; }
