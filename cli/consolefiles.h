// The files the handlers see when run from the command line: the system's
// own, with the help file found beside the program when the current folder
// has none, and the text file of save or load converted between the table's
// code page and UTF-8 as it is written or read, a buffer at a time.
#pragma once

#include <memory>
#include <string>

#include "codepage.h"
#include "filestream.h"

class TConsoleFiles : public TFileSystem {
public:
    explicit TConsoleFiles(TFileSystem& Inner) : Inner_(Inner) {}

    // Where "Read_Me.txt" is looked for when the current folder lacks it.
    std::string ProgramHelpFile;
    // The text file whose contents are UTF-8 on disk and table bytes to the
    // handlers; none when CodePage is null.
    std::string TextFile;
    const TCodePage* CodePage = nullptr;

    std::unique_ptr<TFileStream> Open(const std::string& Path, TFileAccess Access, TFileShare Share) override;
    bool FileExists(const std::string& Path) override;
    std::string FindCaseVariant(const std::string& Path) override { return Inner_.FindCaseVariant(Path); }
    bool SameFile(const std::string& A, const std::string& B) override { return Inner_.SameFile(A, B); }
    std::unique_ptr<TFileStream> Create(const std::string& Path, uint32_t Permissions, TFileShare Share) override;
    bool PathExists(const std::string& Path) override { return Inner_.PathExists(Resolve(Path)); }
    uint32_t Permissions(const std::string& Path) override { return Inner_.Permissions(Resolve(Path)); }
    void Rename(const std::string& From, const std::string& To) override { Inner_.Rename(From, To); }
    void Remove(const std::string& Path) override { Inner_.Remove(Path); }
    // The converting stream keeps its state for the one thread that uses it.
    bool UsableFromThreads() const override { return Inner_.UsableFromThreads(); }

private:
    std::string Resolve(const std::string& Path);
    TFileSystem& Inner_;
};
