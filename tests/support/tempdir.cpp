#include "tempdir.h"

#include <atomic>
#include <chrono>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

fs::path FromUtf8(const std::string& Path) { return fs::u8path(Path); }

}  // namespace

TTempDir::TTempDir()
{
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0; attempt < 100; ++attempt) {
        Root_ =
            fs::temp_directory_path() / ("tarnwick-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
        if (fs::create_directory(Root_))
            return;
    }
    throw std::runtime_error("cannot make a temporary folder");
}

TTempDir::~TTempDir()
{
    std::error_code ignored;
    fs::remove_all(Root_, ignored);
}

std::string TTempDir::Path(const std::string& Name) const { return (Root_ / FromUtf8(Name)).u8string(); }

void WriteFileBytes(const std::string& Path, const std::string& Bytes)
{
    std::ofstream out(FromUtf8(Path), std::ios::binary | std::ios::trunc);
    out.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + Path);
}

std::string ReadFileBytes(const std::string& Path)
{
    std::ifstream in(FromUtf8(Path), std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + Path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> FolderNames(const std::string& Path)
{
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(FromUtf8(Path)))
        names.push_back(entry.path().filename().u8string());
    std::sort(names.begin(), names.end());
    return names;
}
