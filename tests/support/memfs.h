// File systems for tests: files held in memory, and a wrapper that fails a
// chosen read or write of any other file system.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "filestream.h"

// Files in memory, with the same share rules as the real ones: an exclusive
// open refuses and is refused by every other open of the same file.
class TMemoryFileSystem : public TFileSystem {
public:
    void SetFile(const std::string& Path, std::string Bytes);
    std::string File(const std::string& Path) const;
    bool Has(const std::string& Path) const { return Files_.count(Path) != 0; }
    // Every file's path, in order.
    std::vector<std::string> Paths() const;
    // A folder at Path: no file may be opened or made under its name.
    void AddFolder(const std::string& Path) { Folders_.insert(Path); }
    // Paths compared without letter case, as on Windows.
    bool IgnoreCase = false;
    // Streams open for writing give shared mappings (stores into the file's
    // bytes themselves); false: refused, as on a network file system.
    bool Mappable = true;
    // Streams of different files may be used on different threads at once
    // (each file's by one thread), as the system's own files may: the runs
    // that read two files side by side then do so.
    bool Threads = false;
    bool UsableFromThreads() const override { return Threads; }

    std::unique_ptr<TFileStream> Open(const std::string& Path, TFileAccess Access, TFileShare Share) override;
    bool FileExists(const std::string& Path) override;
    std::string FindCaseVariant(const std::string& Path) override;
    bool SameFile(const std::string& A, const std::string& B) override;
    bool PathExists(const std::string& Path) override;
    uint32_t Permissions(const std::string& Path) override;
    std::unique_ptr<TFileStream> Create(const std::string& Path, uint32_t Permissions, TFileShare Share) override;
    // Both refuse an open file, as Windows does.
    void Rename(const std::string& From, const std::string& To) override;
    void Remove(const std::string& Path) override;

    struct TFile {
        std::string Bytes;
        int Opens = 0;
        bool Exclusive = false;
        bool ReadOnly = false;  // only a read open succeeds
        uint32_t Permissions = 0644;
        int Mappings = 0;      // alive now
        int MappingsMade = 0;  // ever
    };
    const TFile& Info(const std::string& Path) const { return *Files_.at(Path); }
    void SetReadOnly(const std::string& Path) { Files_.at(Path)->ReadOnly = true; }
    void SetPermissions(const std::string& Path, uint32_t Bits) { Files_.at(Path)->Permissions = Bits; }

private:
    // The file's key in Files_ (its own spelling when case is ignored), or
    // Path when there is none.
    std::string Key(const std::string& Path) const;

    std::map<std::string, std::shared_ptr<TFile>> Files_;
    std::set<std::string> Folders_;
};

// A write, a sync or a cut that reached the file, in the order they happened.
struct TFileEvent {
    std::string Path;
    enum { Write, Sync, Truncate } Kind;
    uint64_t Offset;  // of a write; the new length of a cut
    size_t Count;
    std::string Data = {};  // the bytes written, when the file system keeps them
    bool Mapped = false;    // a store into a shared mapping, not a write
};

// The files as a power cut after the first Cut events could leave them on
// the disk: From (each file's bytes before the events) with every write and
// cut that a sync of its file followed before the cut, and of the others
// (the cache had not written them yet, or had) those Reached picks.
std::map<std::string, std::string> DiskAfterCut(std::map<std::string, std::string> From,
                                                const std::vector<TFileEvent>& Events, size_t Cut,
                                                const std::function<bool(size_t)>& Reached);

// Passes everything to Inner, counting reads, writes, syncs and renames,
// and fails the one whose number (from 1, over all of them together) is
// FailAt. A failed write may first pass on part of its bytes, as a disk that
// fills up does. Stores into a mapping of the file and syncs of the mapping
// count, fail and are kept as writes and syncs are. The writes and syncs
// that succeed are kept in Events.
class TFaultFileSystem : public TFileSystem {
public:
    explicit TFaultFileSystem(TFileSystem& Inner) : Inner_(Inner) {}

    long FailAt = 0;  // 0: never fail
    bool PartialWrites = false;
    bool FailOnlyWrites = false;
    long Operations = 0;  // reads, writes, syncs and renames seen so far
    bool Failed = false;  // the planned failure happened
    std::vector<TFileEvent> Events;
    bool KeepBytes = false;  // keep each write's bytes in its event

    std::unique_ptr<TFileStream> Open(const std::string& Path, TFileAccess Access, TFileShare Share) override;
    bool FileExists(const std::string& Path) override { return Inner_.FileExists(Path); }
    std::string FindCaseVariant(const std::string& Path) override { return Inner_.FindCaseVariant(Path); }
    bool SameFile(const std::string& A, const std::string& B) override { return Inner_.SameFile(A, B); }
    bool PathExists(const std::string& Path) override { return Inner_.PathExists(Path); }
    uint32_t Permissions(const std::string& Path) override { return Inner_.Permissions(Path); }
    std::unique_ptr<TFileStream> Create(const std::string& Path, uint32_t Permissions, TFileShare Share) override;
    // A rename counts as a write: the disk may refuse it. A removal is
    // passed on uncounted, so that clearing up after a failure goes through.
    void Rename(const std::string& From, const std::string& To) override;
    void Remove(const std::string& Path) override { Inner_.Remove(Path); }

    // Starts counting afresh, to fail operation number N (0: none).
    void Arm(long N)
    {
        Operations = 0;
        Failed = false;
        FailAt = N;
    }

    // Called by the streams: true when this operation must fail. A sync
    // and a rename count as writes.
    bool NextFails(bool IsWrite);

private:
    TFileSystem& Inner_;
};
