// The file services the table layer and the text files use, behind one small
// interface so the same logic runs on POSIX, on Win32 and over test doubles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "error.h"

enum class TFileAccess {
    Read,       // an existing file, for reading
    ReadWrite,  // an existing file, for reading and writing
    Create,     // created, or emptied when it exists, for writing
};

enum class TFileShare {
    // Others may go on reading and writing the file.
    DenyNone,
    // Nobody else may open the file while this stream holds it: a second
    // open fails, from this process or another, until this one closes.
    Exclusive,
};

// The start of a file mapped shared for writing (see TFileStream::MapShared).
// A store changes the file's own cached pages, the ones every other process
// reads and writes through: only the bytes stored change, nothing is written
// back from a copy. A mapping must not outlive the stream it came from; the
// destructor unmaps it.
class TFileMapping {
public:
    virtual ~TFileMapping() = default;

    // The bytes mapped, from offset 0.
    virtual uint64_t Size() const = 0;

    // Copies Count bytes to Offset, within Size(). Raises EStreamError, and
    // does not crash, when the bytes are no longer the file's (another
    // program cut it short since it was mapped) or the disk fails to bring
    // a page in; what lay before the failing page may have been stored.
    virtual void Store(uint64_t Offset, const void* Data, size_t Count) = 0;

    // Returns once everything stored is on the storage device, or raises
    // EStreamError ("Stream write error").
    virtual void Sync() = 0;

    // The pages of Count bytes at Offset leave this process's memory; what
    // was stored in them stays in the file's cache, to be synced as before.
    // Keeps a run's memory flat while it goes through a large file.
    virtual void Release(uint64_t Offset, uint64_t Count);
};

// One open file. Offsets are absolute and 64-bit; there is no shared seek
// position, so reads and writes may follow each other in any order.
class TFileStream {
public:
    virtual ~TFileStream() = default;

    // Reads up to Count bytes at Offset into Buffer and returns how many it
    // got; fewer than Count only when the file ends. The rest of the buffer is
    // set to zero. An operating-system failure raises EStreamError.
    virtual size_t ReadAt(uint64_t Offset, void* Buffer, size_t Count) = 0;

    // Writes all Count bytes at Offset, extending the file when needed, or
    // raises EStreamError ("Stream write error").
    virtual void WriteAt(uint64_t Offset, const void* Data, size_t Count) = 0;

    // The file's current length in bytes.
    virtual uint64_t Size() = 0;

    // Returns once everything written so far is on the storage device, or
    // raises EStreamError ("Stream write error"): a write that never reaches
    // the disk has failed as surely as one the file refused.
    virtual void Sync() = 0;

    // Asks the system to begin writing what was written to Count bytes at
    // Offset to the disk, and returns without waiting: the next Sync then
    // finds less left to wait for, and the disk works while the run goes
    // on. A hint only; the durable moment is still Sync's.
    virtual void StartWriteBack(uint64_t Offset, uint64_t Count);

    // Cuts the file to Size bytes, or raises EStreamError ("Stream write
    // error"). Only compacting the memo file needs it.
    virtual void Truncate(uint64_t Size);

    // The first Size bytes of a file open for writing, mapped shared; null,
    // with the reason in WhyNot, where a mapping would not change exactly the
    // bytes stored: on a file system not known to be a local disk (a network
    // file system writes a dirty page back whole, over what another computer
    // wrote meanwhile), on a removable or remote volume, or when the system
    // refuses. Size must not pass the file's current length.
    virtual std::unique_ptr<TFileMapping> MapShared(uint64_t Size, std::string& WhyNot);

    // True when two threads may read the stream and ask its length at once:
    // the system's own files, whose every read says its offset.
    virtual bool ReadableFromThreads() const { return false; }
};

class TFileSystem {
public:
    virtual ~TFileSystem() = default;

    // Opens Path or raises EStreamError with the message
    // "Cannot open file " followed by the path.
    virtual std::unique_ptr<TFileStream> Open(const std::string& Path, TFileAccess Access, TFileShare Share) = 0;

    // True when Path names an existing file; a folder does not count.
    virtual bool FileExists(const std::string& Path) = 0;

    // On a file system that tells letter case apart: an existing file in the
    // same folder whose name differs from Path's only in ASCII letter case;
    // empty when there is none, or when the file system ignores case anyway.
    virtual std::string FindCaseVariant(const std::string& Path) = 0;

    // True when A and B both name one existing file, however they spell it
    // (letter case, "./", links): a file a run writes must never be the
    // table it reads.
    virtual bool SameFile(const std::string& A, const std::string& B) = 0;

    // True when anything at all is at Path: a file, a folder, a link (even
    // one leading nowhere). A name to be given to a new file must be free of
    // all of them, where FileExists sees only files.
    virtual bool PathExists(const std::string& Path) = 0;

    // The permission bits of the existing file at Path (read, write and
    // execute for owner, group and others: mode & 0777), for a copy of it to
    // get; 0 where the system keeps none (Windows). Raises EStreamError
    // ("Cannot open file ...") when there is no such file.
    virtual uint32_t Permissions(const std::string& Path) = 0;

    // As Open(Path, TFileAccess::Create, Share), the file then given exactly
    // the permission bits Permissions where the system keeps such bits,
    // whatever the umask says: a copy of a table kept private is as private.
    // On Windows a created file takes its folder's access list, as a copy
    // made by any other means does, and Permissions is not used.
    virtual std::unique_ptr<TFileStream> Create(const std::string& Path, uint32_t Permissions, TFileShare Share) = 0;

    // Gives the file From the name To, which must be free: an existing To,
    // file or folder, is never replaced; the call raises EStreamError ("Cannot
    // rename file ...") instead. Returns once the new name is on the disk.
    virtual void Rename(const std::string& From, const std::string& To) = 0;

    // Deletes the file at Path (never a folder), or raises EStreamError
    // ("Cannot delete file ...").
    virtual void Remove(const std::string& Path) = 0;

    // True when streams of this file system may be opened and used on
    // several threads at once, each stream by one thread: the system's own
    // files. A test's file system that counts or fails operations in the
    // order they come keeps them all on one thread.
    virtual bool UsableFromThreads() const { return false; }
};

// The operating system's own files (POSIX or Win32, chosen at build time).
TFileSystem& OsFileSystem();

// TARNWICK_WRITES=positional in the environment: files are written with
// positional writes only, never through a mapping, whatever the file system.
bool PositionalWritesForced();

// With TARNWICK_DEBUG=1 in the environment, Line goes to the standard error
// stream (once, however often it is noted in a row); otherwise nowhere.
void DebugNote(const std::string& Line);

// Messages shared by every implementation.
std::string OpenErrorText(const std::string& Path);
std::string RenameErrorText(const std::string& From, const std::string& To);
std::string RemoveErrorText(const std::string& Path);

// Copies everything In holds to a new file To (one that exists is emptied)
// with the permission bits Permissions, syncs the copy and closes it: a
// backup is on the disk before its original changes.
void CopyToFile(TFileSystem& Files, TFileStream& In, const std::string& To, uint32_t Permissions);
inline const char* ReadErrorText() { return "Stream read error"; }
inline const char* WriteErrorText() { return "Stream write error"; }
