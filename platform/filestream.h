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

    // Cuts the file to Size bytes, or raises EStreamError ("Stream write
    // error"). Only compacting the memo file needs it.
    virtual void Truncate(uint64_t Size);
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
};

// The operating system's own files (POSIX or Win32, chosen at build time).
TFileSystem& OsFileSystem();

// Messages shared by every implementation.
std::string OpenErrorText(const std::string& Path);

// Copies everything In holds to a new file To (one that exists is emptied)
// and syncs the copy: a backup is on the disk before its original changes.
void CopyToFile(TFileSystem& Files, TFileStream& In, const std::string& To);
inline const char* ReadErrorText() { return "Stream read error"; }
inline const char* WriteErrorText() { return "Stream write error"; }
