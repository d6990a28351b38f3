#include "filestream.h"

#include <vector>

void TFileStream::Truncate(uint64_t) { throw EStreamError(WriteErrorText(), TIoFailure::Other, 0); }

std::string OpenErrorText(const std::string& Path) { return "Cannot open file " + Path; }
std::string RenameErrorText(const std::string& From, const std::string& To)
{
    return "Cannot rename file " + From + " to " + To;
}
std::string RemoveErrorText(const std::string& Path) { return "Cannot delete file " + Path; }

void CopyToFile(TFileSystem& Files, TFileStream& In, const std::string& To, uint32_t Permissions)
{
    std::unique_ptr<TFileStream> out = Files.Create(To, Permissions, TFileShare::Exclusive);
    std::vector<char> buffer(size_t{1} << 20);
    uint64_t at = 0;
    for (size_t got; (got = In.ReadAt(at, buffer.data(), buffer.size())) > 0; at += got)
        out->WriteAt(at, buffer.data(), got);
    out->Sync();
}
