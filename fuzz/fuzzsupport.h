// What the fuzz targets share: one input split into a table and its memo
// file, and a disk of limited size under the in-memory files, so that a run
// which would grow a file without end meets a full disk instead of eating the
// fuzzer's memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "memfs.h"

// Every file of the fuzz runs ends at this size: a write past it fails as a
// full disk does, after writing nothing.
constexpr uint64_t FuzzDiskLimit = 16u << 20;

class TCappedFileSystem : public TFileSystem {
public:
    explicit TCappedFileSystem(TFileSystem& Inner) : Inner_(Inner) {}
    std::unique_ptr<TFileStream> Open(const std::string& Path, TFileAccess Access, TFileShare Share) override;
    bool FileExists(const std::string& Path) override { return Inner_.FileExists(Path); }
    std::string FindCaseVariant(const std::string& Path) override { return Inner_.FindCaseVariant(Path); }
    bool SameFile(const std::string& A, const std::string& B) override { return Inner_.SameFile(A, B); }
    std::unique_ptr<TFileStream> Create(const std::string& Path, uint32_t Permissions, TFileShare Share) override;
    bool PathExists(const std::string& Path) override { return Inner_.PathExists(Path); }
    uint32_t Permissions(const std::string& Path) override { return Inner_.Permissions(Path); }
    void Rename(const std::string& From, const std::string& To) override { Inner_.Rename(From, To); }
    void Remove(const std::string& Path) override { Inner_.Remove(Path); }

private:
    TFileSystem& Inner_;
};

// The input laid out as
//   byte 0       flags, for the target to use as it likes
//   bytes 1, 2   length of the table file, little-endian (cut to what follows)
//   then         the table file, then the memo file (all that is left)
// Inputs shorter than 3 bytes are all table file.
struct TFuzzTables {
    uint8_t Flags = 0;
    std::string Table;
    std::string Memo;
};
TFuzzTables SplitInput(const uint8_t* Data, size_t Size);

// Stops the run as a crash: a property that must hold whatever the input.
#define FUZZ_CHECK(Condition)                                                                                          \
    do {                                                                                                               \
        if (!(Condition))                                                                                              \
            FuzzCheckFailed(#Condition, __FILE__, __LINE__);                                                           \
    } while (0)
[[noreturn]] void FuzzCheckFailed(const char* Condition, const char* File, int Line);
