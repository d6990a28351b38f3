// A folder of its own for each test, removed afterwards, and file helpers.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    // A path inside the folder, as UTF-8.
    std::string Path(const std::string& Name) const;
    const std::filesystem::path& Root() const { return Root_; }

private:
    std::filesystem::path Root_;
};

void WriteFileBytes(const std::string& Path, const std::string& Bytes);
std::string ReadFileBytes(const std::string& Path);
// The names of everything in the folder at Path, sorted.
std::vector<std::string> FolderNames(const std::string& Path);
