#include "filestream.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

void TFileStream::Truncate(uint64_t) { throw EStreamError(WriteErrorText(), TIoFailure::Other, 0); }

void TFileMapping::Release(uint64_t, uint64_t) {}

void TFileStream::StartWriteBack(uint64_t, uint64_t) {}

std::unique_ptr<TFileMapping> TFileStream::MapShared(uint64_t, std::string& WhyNot)
{
    WhyNot = "the stream cannot be mapped";
    return nullptr;
}

bool PositionalWritesForced()
{
    const char* writes = std::getenv("TARNWICK_WRITES");
    return writes && std::strcmp(writes, "positional") == 0;
}

void DebugNote(const std::string& Line)
{
    const char* debug = std::getenv("TARNWICK_DEBUG");
    if (!debug || std::strcmp(debug, "1") != 0)
        return;
    static std::mutex lock;
    static std::string last;
    const std::lock_guard<std::mutex> hold(lock);
    if (Line == last)
        return;
    last = Line;
    std::fprintf(stderr, "tarnwick: %s\n", Line.c_str());
}

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
