// Win32 files: CreateFileW with the share modes the table layer asks for,
// positioned reads and writes through OVERLAPPED offsets, and views of files
// on fixed disks. Paths are UTF-8 inside the program and widened here, at
// the calls that need them.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "filestream.h"
#include "mapstore.h"
#include "winstr.h"

namespace {

TIoFailure FailureOf(DWORD Err)
{
    static const struct {
        DWORD Err;
        TIoFailure Failure;
    } Kinds[] = {
        {ERROR_FILE_NOT_FOUND, TIoFailure::NotFound},
        {ERROR_PATH_NOT_FOUND, TIoFailure::NotFound},
        {ERROR_INVALID_NAME, TIoFailure::NotFound},
        {ERROR_BAD_NETPATH, TIoFailure::NotFound},
        {ERROR_ACCESS_DENIED, TIoFailure::AccessDenied},
        {ERROR_WRITE_PROTECT, TIoFailure::AccessDenied},
        {ERROR_SHARING_VIOLATION, TIoFailure::Locked},
        {ERROR_LOCK_VIOLATION, TIoFailure::Locked},
        {ERROR_DISK_FULL, TIoFailure::DiskFull},
        {ERROR_HANDLE_DISK_FULL, TIoFailure::DiskFull},
        {ERROR_TOO_MANY_OPEN_FILES, TIoFailure::TooManyFiles},
    };
    for (const auto& kind : Kinds)
        if (kind.Err == Err)
            return kind.Failure;
    return TIoFailure::Other;
}

// The stream error Text for the system's error Err.
[[noreturn]] void ThrowSystemError(const std::string& Text, DWORD Err)
{
    throw EStreamError(Text, FailureOf(Err), static_cast<int>(Err));
}

// The same for the thread's last error, read before the message is built:
// building it may allocate, and allocating may change the last error.
[[noreturn]] void ThrowLastError(const char* Text)
{
    const DWORD err = ::GetLastError();
    ThrowSystemError(Text, err);
}

// ReadFile and WriteFile take 32-bit counts; larger requests go in pieces.
constexpr DWORD MaxPiece = 1u << 30;

// A view of a file on a fixed disk. While it exists nobody can cut the file
// short (SetEndOfFile fails with ERROR_USER_MAPPED_FILE), which is why the
// table layer holds one only while a run writes.
class TWin32Mapping final : public TFileMapping {
public:
    TWin32Mapping(HANDLE File, HANDLE Section, char* Base, uint64_t Size)
        : File_(File), Section_(Section), Base_(Base), Size_(Size)
    {
    }
    ~TWin32Mapping() override
    {
        ::UnmapViewOfFile(Base_);
        ::CloseHandle(Section_);
    }
    TWin32Mapping(const TWin32Mapping&) = delete;
    TWin32Mapping& operator=(const TWin32Mapping&) = delete;

    uint64_t Size() const override { return Size_; }

    void Store(uint64_t Offset, const void* Data, size_t Count) override
    {
        if (Offset > Size_ || Count > Size_ - Offset)
            ThrowSystemError(WriteErrorText(), ERROR_INVALID_PARAMETER);
        StoreIntoMapping(Base_ + Offset, Data, Count);
    }

    void Sync() override
    {
        // FlushViewOfFile starts the writes of the view's dirty pages;
        // FlushFileBuffers waits until they and the file's metadata are on
        // the disk.
        if (!::FlushViewOfFile(Base_, 0) || !::FlushFileBuffers(File_)) {
            ThrowLastError(WriteErrorText());
        }
    }

    void Release(uint64_t Offset, uint64_t Count) override
    {
        // Unlocking pages that are not locked takes them out of the working
        // set; their changes stay in the file's cache.
        const uint64_t to = std::min(Size_, Offset + Count);
        if (Offset < to)
            ::VirtualUnlock(Base_ + Offset, static_cast<SIZE_T>(to - Offset));
    }

private:
    HANDLE File_;
    HANDLE Section_;
    char* Base_;
    uint64_t Size_;
};

class TWin32Stream final : public TFileStream {
public:
    TWin32Stream(HANDLE Handle, std::wstring Path, bool Writable)
        : Handle_(Handle), Path_(std::move(Path)), Writable_(Writable)
    {
    }
    ~TWin32Stream() override { ::CloseHandle(Handle_); }
    TWin32Stream(const TWin32Stream&) = delete;
    TWin32Stream& operator=(const TWin32Stream&) = delete;

    size_t ReadAt(uint64_t Offset, void* Buffer, size_t Count) override
    {
        char* out = static_cast<char*>(Buffer);
        size_t got = 0;
        try {
            while (got < Count) {
                const DWORD n = Piece(false, Offset + got, out + got, Count - got);
                if (n == 0)
                    break;
                got += n;
            }
        } catch (const EStreamError&) {
            std::memset(out + got, 0, Count - got);
            throw;
        }
        std::memset(out + got, 0, Count - got);
        return got;
    }

    void WriteAt(uint64_t Offset, const void* Data, size_t Count) override
    {
        // WriteFile only reads the buffer; one helper serves both ways.
        char* in = const_cast<char*>(static_cast<const char*>(Data));
        size_t done = 0;
        while (done < Count) {
            const DWORD n = Piece(true, Offset + done, in + done, Count - done);
            if (n == 0)
                throw EStreamError(WriteErrorText(), TIoFailure::DiskFull, ERROR_DISK_FULL);
            done += n;
        }
    }

    uint64_t Size() override
    {
        LARGE_INTEGER size;
        if (!::GetFileSizeEx(Handle_, &size)) {
            ThrowLastError(ReadErrorText());
        }
        return static_cast<uint64_t>(size.QuadPart);
    }

    void Sync() override
    {
        if (!::FlushFileBuffers(Handle_)) {
            ThrowLastError(WriteErrorText());
        }
    }

    bool ReadableFromThreads() const override { return true; }

    void Truncate(uint64_t Size) override
    {
        FILE_END_OF_FILE_INFO end{};
        end.EndOfFile.QuadPart = static_cast<LONGLONG>(Size);
        if (!::SetFileInformationByHandle(Handle_, FileEndOfFileInfo, &end, sizeof end)) {
            ThrowLastError(WriteErrorText());
        }
    }

    std::unique_ptr<TFileMapping> MapShared(uint64_t Size, std::string& WhyNot) override
    {
        if (!Writable_) {
            WhyNot = "the file is open for reading only";
            return nullptr;
        }
        if (Size == 0 || Size > std::numeric_limits<SIZE_T>::max()) {
            WhyNot = "nothing to map";
            return nullptr;
        }
        // Only a fixed disk: a view of a file on a network share writes
        // whole pages back over what other computers wrote, and a removable
        // medium may go away under the view.
        wchar_t volume[MAX_PATH + 1];
        if (!::GetVolumePathNameW(Path_.c_str(), volume, MAX_PATH + 1)) {
            WhyNot = "the volume of the file is unknown";
            return nullptr;
        }
        const UINT drive = ::GetDriveTypeW(volume);
        if (drive != DRIVE_FIXED) {
            WhyNot = "the volume is not a fixed disk (drive type " + std::to_string(drive) + ")";
            return nullptr;
        }
        // The section takes the file's current length: asked for more, it
        // would lengthen the file.
        HANDLE section = ::CreateFileMappingW(Handle_, nullptr, PAGE_READWRITE, 0, 0, nullptr);
        if (!section) {
            WhyNot = "CreateFileMapping failed, error " + std::to_string(::GetLastError());
            return nullptr;
        }
        void* base = ::MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, static_cast<SIZE_T>(Size));
        if (!base) {
            WhyNot = "MapViewOfFile failed, error " + std::to_string(::GetLastError());
            ::CloseHandle(section);
            return nullptr;
        }
        return std::make_unique<TWin32Mapping>(Handle_, section, static_cast<char*>(base), Size);
    }

private:
    // One ReadFile or WriteFile of at most MaxPiece of the Left bytes at
    // Offset: the bytes it moved, 0 at the end of the file when reading.
    DWORD Piece(bool Writing, uint64_t Offset, char* Bytes, size_t Left)
    {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(Left, MaxPiece));
        OVERLAPPED at = At(Offset);
        DWORD n = 0;
        const BOOL moved =
            Writing ? ::WriteFile(Handle_, Bytes, piece, &n, &at) : ::ReadFile(Handle_, Bytes, piece, &n, &at);
        if (moved)
            return n;
        const DWORD err = ::GetLastError();
        if (!Writing && err == ERROR_HANDLE_EOF)
            return 0;
        ThrowSystemError(Writing ? WriteErrorText() : ReadErrorText(), err);
    }

    static OVERLAPPED At(uint64_t Offset)
    {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(Offset & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(Offset >> 32);
        return at;
    }

    HANDLE Handle_;
    std::wstring Path_;
    bool Writable_;
};

// The volume and file index of the file at Path; false when it cannot be
// opened even without access (no such file).
bool Identity(const std::string& Path, BY_HANDLE_FILE_INFORMATION& Info)
{
    if (Path.empty())
        return false;
    HANDLE h = ::CreateFileW(Utf8ToWide(Path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const BOOL got = ::GetFileInformationByHandle(h, &Info);
    ::CloseHandle(h);
    return got != FALSE;
}

class TWin32FileSystem final : public TFileSystem {
public:
    bool UsableFromThreads() const override { return true; }
    std::unique_ptr<TFileStream> Open(const std::string& Path, TFileAccess Access, TFileShare Share) override
    {
        DWORD access = GENERIC_READ;
        DWORD disposition = OPEN_EXISTING;
        if (Access == TFileAccess::ReadWrite)
            access = GENERIC_READ | GENERIC_WRITE;
        if (Access == TFileAccess::Create) {
            access = GENERIC_WRITE;
            disposition = CREATE_ALWAYS;
        }
        const DWORD share = Share == TFileShare::Exclusive ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE;
        const std::wstring wide = Utf8ToWide(Path);
        HANDLE h = ::CreateFileW(wide.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            const DWORD err = ::GetLastError();
            ThrowSystemError(OpenErrorText(Path), err);
        }
        return std::make_unique<TWin32Stream>(h, wide, Access != TFileAccess::Read);
    }

    bool FileExists(const std::string& Path) override
    {
        if (Path.empty())
            return false;
        const DWORD attributes = ::GetFileAttributesW(Utf8ToWide(Path).c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    }

    bool SameFile(const std::string& A, const std::string& B) override
    {
        BY_HANDLE_FILE_INFORMATION a, b;
        return Identity(A, a) && Identity(B, b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
               a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
    }

    // Windows file names ignore letter case already.
    std::string FindCaseVariant(const std::string&) override { return {}; }

    bool PathExists(const std::string& Path) override
    {
        return !Path.empty() && ::GetFileAttributesW(Utf8ToWide(Path).c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    // Windows keeps access lists, not permission bits: there are none to
    // give a copy, only the file to be found.
    uint32_t Permissions(const std::string& Path) override
    {
        if (::GetFileAttributesW(Utf8ToWide(Path).c_str()) == INVALID_FILE_ATTRIBUTES) {
            const DWORD err = ::GetLastError();
            ThrowSystemError(OpenErrorText(Path), err);
        }
        return 0;
    }

    // A created file takes its folder's access list, as a copy made by any
    // other means does.
    std::unique_ptr<TFileStream> Create(const std::string& Path, uint32_t, TFileShare Share) override
    {
        return Open(Path, TFileAccess::Create, Share);
    }

    // Without MOVEFILE_REPLACE_EXISTING an existing To stops the move
    // (ERROR_ALREADY_EXISTS); write-through returns once it is on the disk.
    void Rename(const std::string& From, const std::string& To) override
    {
        if (!::MoveFileExW(Utf8ToWide(From).c_str(), Utf8ToWide(To).c_str(), MOVEFILE_WRITE_THROUGH)) {
            const DWORD err = ::GetLastError();
            ThrowSystemError(RenameErrorText(From, To), err);
        }
    }

    void Remove(const std::string& Path) override
    {
        if (!::DeleteFileW(Utf8ToWide(Path).c_str())) {
            const DWORD err = ::GetLastError();
            ThrowSystemError(RemoveErrorText(Path), err);
        }
    }
};

}  // namespace

TFileSystem& OsFileSystem()
{
    static TWin32FileSystem fileSystem;
    return fileSystem;
}
