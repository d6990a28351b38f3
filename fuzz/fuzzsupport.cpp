#include "fuzzsupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

class TCappedStream final : public TFileStream {
public:
    explicit TCappedStream(std::unique_ptr<TFileStream> Inner) : Inner_(std::move(Inner)) {}

    size_t ReadAt(uint64_t Offset, void* Buffer, size_t Count) override
    {
        return Inner_->ReadAt(Offset, Buffer, Count);
    }

    void WriteAt(uint64_t Offset, const void* Data, size_t Count) override
    {
        if (Offset > FuzzDiskLimit || Count > FuzzDiskLimit - Offset)
            throw EStreamError(WriteErrorText(), TIoFailure::DiskFull, 112);
        Inner_->WriteAt(Offset, Data, Count);
    }

    uint64_t Size() override { return Inner_->Size(); }
    void Sync() override { Inner_->Sync(); }

private:
    std::unique_ptr<TFileStream> Inner_;
};

}  // namespace

std::unique_ptr<TFileStream> TCappedFileSystem::Open(const std::string& Path, TFileAccess Access, TFileShare Share)
{
    return std::make_unique<TCappedStream>(Inner_.Open(Path, Access, Share));
}

std::unique_ptr<TFileStream> TCappedFileSystem::Create(const std::string& Path, uint32_t Permissions, TFileShare Share)
{
    return std::make_unique<TCappedStream>(Inner_.Create(Path, Permissions, Share));
}

TFuzzTables SplitInput(const uint8_t* Data, size_t Size)
{
    TFuzzTables out;
    const char* bytes = reinterpret_cast<const char*>(Data);
    if (Size < 3) {
        out.Table.assign(bytes, Size);
        return out;
    }
    out.Flags = Data[0];
    const size_t rest = Size - 3;
    const size_t tableLength = std::min<size_t>(static_cast<size_t>(Data[1] | Data[2] << 8), rest);
    out.Table.assign(bytes + 3, tableLength);
    out.Memo.assign(bytes + 3 + tableLength, rest - tableLength);
    return out;
}

void FuzzCheckFailed(const char* Condition, const char* File, int Line)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n", File, Line, Condition);
    std::abort();
}
