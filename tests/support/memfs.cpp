#include "memfs.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Stores go straight into the file's bytes, as into the page cache a real
// shared mapping is; a store past where another program cut the file fails
// as the SIGBUS guard of the real one makes it fail.
class TMemoryMapping final : public TFileMapping {
public:
    TMemoryMapping(std::shared_ptr<TMemoryFileSystem::TFile> File, uint64_t Size) : File_(std::move(File)), Size_(Size)
    {
        ++File_->Mappings;
        ++File_->MappingsMade;
    }
    ~TMemoryMapping() override { --File_->Mappings; }

    uint64_t Size() const override { return Size_; }

    void Store(uint64_t Offset, const void* Data, size_t Count) override
    {
        if (Offset > Size_ || Count > Size_ - Offset)
            throw EStreamError(WriteErrorText(), TIoFailure::Other, 14);
        std::string& bytes = File_->Bytes;
        const size_t inFile =
            Offset < bytes.size() ? static_cast<size_t>(std::min<uint64_t>(Count, bytes.size() - Offset)) : 0;
        if (inFile)
            std::memcpy(&bytes[static_cast<size_t>(Offset)], Data, inFile);
        if (inFile < Count)
            throw EStreamError(WriteErrorText(), TIoFailure::Other, 14);
    }

    void Sync() override {}

private:
    std::shared_ptr<TMemoryFileSystem::TFile> File_;
    uint64_t Size_;
};

class TMemoryStream final : public TFileStream {
public:
    TMemoryStream(std::shared_ptr<TMemoryFileSystem::TFile> File, bool Writable, bool Mappable)
        : File_(std::move(File)), Writable_(Writable), Mappable_(Mappable)
    {
    }
    ~TMemoryStream() override
    {
        --File_->Opens;
        File_->Exclusive = false;
    }

    size_t ReadAt(uint64_t Offset, void* Buffer, size_t Count) override
    {
        const std::string& bytes = File_->Bytes;
        size_t got = 0;
        if (Offset < bytes.size())
            got = static_cast<size_t>(std::min<uint64_t>(Count, bytes.size() - Offset));
        if (got)
            std::memcpy(Buffer, bytes.data() + Offset, got);
        std::memset(static_cast<char*>(Buffer) + got, 0, Count - got);
        return got;
    }

    void WriteAt(uint64_t Offset, const void* Data, size_t Count) override
    {
        if (!Writable_)
            throw EStreamError(WriteErrorText(), TIoFailure::AccessDenied, 5);
        std::string& bytes = File_->Bytes;
        if (Offset + Count > bytes.size())
            bytes.resize(static_cast<size_t>(Offset + Count), '\0');
        if (Count)
            std::memcpy(&bytes[static_cast<size_t>(Offset)], Data, Count);
    }

    uint64_t Size() override { return File_->Bytes.size(); }
    void Sync() override {}
    void Truncate(uint64_t Size) override { File_->Bytes.resize(static_cast<size_t>(Size)); }

    std::unique_ptr<TFileMapping> MapShared(uint64_t Size, std::string& WhyNot) override
    {
        if (!Writable_ || !Mappable_ || Size == 0 || Size > File_->Bytes.size()) {
            WhyNot = "not mappable";
            return nullptr;
        }
        return std::make_unique<TMemoryMapping>(File_, Size);
    }

private:
    std::shared_ptr<TMemoryFileSystem::TFile> File_;
    bool Writable_;
    bool Mappable_;
};

// A mapping of a TFaultStream's file: its stores and syncs counted, failed
// and recorded as the stream's writes and syncs are.
class TFaultMapping final : public TFileMapping {
public:
    TFaultMapping(std::unique_ptr<TFileMapping> Inner, TFaultFileSystem& Owner, const std::string& Path)
        : Inner_(std::move(Inner)), Owner_(Owner), Path_(Path)
    {
    }
    uint64_t Size() const override { return Inner_->Size(); }

    void Store(uint64_t Offset, const void* Data, size_t Count) override
    {
        if (Owner_.NextFails(true)) {
            if (Owner_.PartialWrites && Count > 1)
                Inner_->Store(Offset, Data, Count / 2);
            throw EStreamError(WriteErrorText(), TIoFailure::Other, 14);
        }
        Inner_->Store(Offset, Data, Count);
        Owner_.Events.push_back({Path_, TFileEvent::Write, Offset, Count});
        Owner_.Events.back().Mapped = true;
        if (Owner_.KeepBytes)
            Owner_.Events.back().Data.assign(static_cast<const char*>(Data), Count);
    }

    void Sync() override
    {
        if (Owner_.NextFails(true))
            throw EStreamError(WriteErrorText(), TIoFailure::Other, 23);
        Inner_->Sync();
        Owner_.Events.push_back({Path_, TFileEvent::Sync, 0, 0});
        Owner_.Events.back().Mapped = true;
    }

    void Release(uint64_t Offset, uint64_t Count) override { Inner_->Release(Offset, Count); }

private:
    std::unique_ptr<TFileMapping> Inner_;
    TFaultFileSystem& Owner_;
    std::string Path_;
};

class TFaultStream final : public TFileStream {
public:
    TFaultStream(std::unique_ptr<TFileStream> Inner, TFaultFileSystem& Owner, std::string Path)
        : Inner_(std::move(Inner)), Owner_(Owner), Path_(std::move(Path))
    {
    }

    size_t ReadAt(uint64_t Offset, void* Buffer, size_t Count) override
    {
        if (Owner_.NextFails(false)) {
            std::memset(Buffer, 0, Count);
            throw EStreamError(ReadErrorText(), TIoFailure::Other, 23);
        }
        return Inner_->ReadAt(Offset, Buffer, Count);
    }

    void WriteAt(uint64_t Offset, const void* Data, size_t Count) override
    {
        if (Owner_.NextFails(true)) {
            if (Owner_.PartialWrites && Count > 1)
                Inner_->WriteAt(Offset, Data, Count / 2);
            throw EStreamError(WriteErrorText(), TIoFailure::DiskFull, 112);
        }
        Inner_->WriteAt(Offset, Data, Count);
        Owner_.Events.push_back({Path_, TFileEvent::Write, Offset, Count});
        if (Owner_.KeepBytes)
            Owner_.Events.back().Data.assign(static_cast<const char*>(Data), Count);
    }

    uint64_t Size() override { return Inner_->Size(); }

    void Truncate(uint64_t Size) override
    {
        if (Owner_.NextFails(true))
            throw EStreamError(WriteErrorText(), TIoFailure::Other, 23);
        Inner_->Truncate(Size);
        Owner_.Events.push_back({Path_, TFileEvent::Truncate, Size, 0});
    }

    // A sync fails as a write does: the disk did not take the data.
    void Sync() override
    {
        if (Owner_.NextFails(true))
            throw EStreamError(WriteErrorText(), TIoFailure::Other, 23);
        Inner_->Sync();
        Owner_.Events.push_back({Path_, TFileEvent::Sync, 0, 0});
    }

    std::unique_ptr<TFileMapping> MapShared(uint64_t Size, std::string& WhyNot) override
    {
        std::unique_ptr<TFileMapping> inner = Inner_->MapShared(Size, WhyNot);
        if (!inner)
            return nullptr;
        return std::make_unique<TFaultMapping>(std::move(inner), Owner_, Path_);
    }

private:
    std::unique_ptr<TFileStream> Inner_;
    TFaultFileSystem& Owner_;
    std::string Path_;
};

}  // namespace

void TMemoryFileSystem::SetFile(const std::string& Path, std::string Bytes)
{
    auto& file = Files_[Path];
    if (!file)
        file = std::make_shared<TFile>();
    file->Bytes = std::move(Bytes);
}

std::string TMemoryFileSystem::File(const std::string& Path) const
{
    auto it = Files_.find(Path);
    return it == Files_.end() ? std::string() : it->second->Bytes;
}

std::vector<std::string> TMemoryFileSystem::Paths() const
{
    std::vector<std::string> paths;
    for (const auto& entry : Files_)
        paths.push_back(entry.first);
    return paths;
}

std::string TMemoryFileSystem::Key(const std::string& Path) const
{
    if (IgnoreCase)
        for (const auto& entry : Files_)
            if (Lower(entry.first) == Lower(Path))
                return entry.first;
    return Path;
}

std::unique_ptr<TFileStream> TMemoryFileSystem::Open(const std::string& Path, TFileAccess Access, TFileShare Share)
{
    const std::string key = Key(Path);
    auto it = Files_.find(key);
    if (it == Files_.end()) {
        if (PathExists(Path))  // a folder
            throw EStreamError(OpenErrorText(Path), TIoFailure::AccessDenied, 21);
        if (Access != TFileAccess::Create)
            throw EStreamError(OpenErrorText(Path), TIoFailure::NotFound, 2);
        it = Files_.emplace(key, std::make_shared<TFile>()).first;
    }
    auto file = it->second;
    // A file without write permission, or on a read-only medium.
    if (file->ReadOnly && Access != TFileAccess::Read)
        throw EStreamError(OpenErrorText(Path), TIoFailure::AccessDenied, 13);
    if (file->Exclusive || (Share == TFileShare::Exclusive && file->Opens > 0))
        throw EStreamError(OpenErrorText(Path), TIoFailure::Locked, 32);
    if (Access == TFileAccess::Create)
        file->Bytes.clear();
    ++file->Opens;
    file->Exclusive = Share == TFileShare::Exclusive;
    return std::make_unique<TMemoryStream>(file, Access != TFileAccess::Read, Mappable);
}

bool TMemoryFileSystem::SameFile(const std::string& A, const std::string& B)
{
    return FileExists(A) && FileExists(B) && (IgnoreCase ? Lower(A) == Lower(B) : A == B);
}

bool TMemoryFileSystem::FileExists(const std::string& Path) { return Files_.count(Key(Path)) != 0; }

bool TMemoryFileSystem::PathExists(const std::string& Path)
{
    if (FileExists(Path) || Folders_.count(Path))
        return true;
    if (IgnoreCase)
        for (const std::string& folder : Folders_)
            if (Lower(folder) == Lower(Path))
                return true;
    return false;
}

uint32_t TMemoryFileSystem::Permissions(const std::string& Path)
{
    auto it = Files_.find(Key(Path));
    if (it == Files_.end())
        throw EStreamError(OpenErrorText(Path), TIoFailure::NotFound, 2);
    return it->second->Permissions;
}

std::unique_ptr<TFileStream> TMemoryFileSystem::Create(const std::string& Path, uint32_t Permissions, TFileShare Share)
{
    std::unique_ptr<TFileStream> stream = Open(Path, TFileAccess::Create, Share);
    Files_.at(Key(Path))->Permissions = Permissions;
    return stream;
}

void TMemoryFileSystem::Rename(const std::string& From, const std::string& To)
{
    auto it = Files_.find(Key(From));
    if (it == Files_.end() || it->second->Opens > 0)
        throw EStreamError(RenameErrorText(From, To), it == Files_.end() ? TIoFailure::NotFound : TIoFailure::Locked,
                           it == Files_.end() ? 2 : 32);
    if (PathExists(To))
        throw EStreamError(RenameErrorText(From, To), TIoFailure::Other, 183);
    std::shared_ptr<TFile> file = it->second;
    Files_.erase(it);
    Files_.emplace(To, std::move(file));
}

void TMemoryFileSystem::Remove(const std::string& Path)
{
    auto it = Files_.find(Key(Path));
    if (it == Files_.end() || it->second->Opens > 0)
        throw EStreamError(RemoveErrorText(Path), it == Files_.end() ? TIoFailure::NotFound : TIoFailure::Locked,
                           it == Files_.end() ? 2 : 32);
    Files_.erase(it);
}

std::string TMemoryFileSystem::FindCaseVariant(const std::string& Path)
{
    if (IgnoreCase)
        return {};
    for (const auto& entry : Files_)
        if (entry.first != Path && Lower(entry.first) == Lower(Path))
            return entry.first;
    return {};
}

std::unique_ptr<TFileStream> TFaultFileSystem::Open(const std::string& Path, TFileAccess Access, TFileShare Share)
{
    return std::make_unique<TFaultStream>(Inner_.Open(Path, Access, Share), *this, Path);
}

std::unique_ptr<TFileStream> TFaultFileSystem::Create(const std::string& Path, uint32_t Permissions, TFileShare Share)
{
    return std::make_unique<TFaultStream>(Inner_.Create(Path, Permissions, Share), *this, Path);
}

void TFaultFileSystem::Rename(const std::string& From, const std::string& To)
{
    if (NextFails(true))
        throw EStreamError(RenameErrorText(From, To), TIoFailure::Other, 23);
    Inner_.Rename(From, To);
}

bool TFaultFileSystem::NextFails(bool IsWrite)
{
    if (FailOnlyWrites && !IsWrite)
        return false;
    ++Operations;
    if (FailAt != 0 && Operations == FailAt) {
        Failed = true;
        return true;
    }
    return false;
}

std::map<std::string, std::string> DiskAfterCut(std::map<std::string, std::string> From,
                                                const std::vector<TFileEvent>& Events, size_t Cut,
                                                const std::function<bool(size_t)>& Reached)
{
    const auto apply = [&From](const TFileEvent& E) {
        std::string& bytes = From[E.Path];
        if (E.Kind == TFileEvent::Truncate) {
            bytes.resize(static_cast<size_t>(E.Offset));
        } else if (E.Kind == TFileEvent::Write) {
            if (bytes.size() < E.Offset + E.Data.size())
                bytes.resize(static_cast<size_t>(E.Offset) + E.Data.size(), '\0');
            bytes.replace(static_cast<size_t>(E.Offset), E.Data.size(), E.Data);
        }
    };
    // Per file, the changes since its last sync, in order.
    std::map<std::string, std::vector<size_t>> pending;
    for (size_t i = 0; i < Cut && i < Events.size(); ++i) {
        if (Events[i].Kind == TFileEvent::Sync) {
            for (size_t p : pending[Events[i].Path])
                apply(Events[p]);
            pending[Events[i].Path].clear();
        } else {
            pending[Events[i].Path].push_back(i);
        }
    }
    // What no sync covered reached the disk or not; in the order written.
    std::vector<size_t> rest;
    for (const auto& file : pending)
        for (size_t p : file.second)
            if (Reached(p))
                rest.push_back(p);
    std::sort(rest.begin(), rest.end());
    for (size_t p : rest)
        apply(Events[p]);
    return From;
}
