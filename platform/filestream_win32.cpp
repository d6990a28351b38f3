// Win32 files: CreateFileW with the share modes the table layer asks for,
// positioned reads and writes through OVERLAPPED offsets. Paths are UTF-8
// inside the program and widened here, at the one call that needs them.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstring>
#include <limits>

#include "filestream.h"
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

// ReadFile and WriteFile take 32-bit counts; larger requests go in pieces.
constexpr DWORD MaxPiece = 1u << 30;

class TWin32Stream final : public TFileStream {
public:
    explicit TWin32Stream(HANDLE Handle) : Handle_(Handle) {}
    ~TWin32Stream() override { ::CloseHandle(Handle_); }
    TWin32Stream(const TWin32Stream&) = delete;
    TWin32Stream& operator=(const TWin32Stream&) = delete;

    size_t ReadAt(uint64_t Offset, void* Buffer, size_t Count) override
    {
        char* out = static_cast<char*>(Buffer);
        size_t got = 0;
        while (got < Count) {
            const DWORD piece = static_cast<DWORD>(std::min<size_t>(Count - got, MaxPiece));
            OVERLAPPED at = At(Offset + got);
            DWORD n = 0;
            if (!::ReadFile(Handle_, out + got, piece, &n, &at)) {
                const DWORD err = ::GetLastError();
                if (err == ERROR_HANDLE_EOF)
                    break;
                std::memset(out + got, 0, Count - got);
                throw EStreamError(ReadErrorText(), FailureOf(err), static_cast<int>(err));
            }
            if (n == 0)
                break;
            got += n;
        }
        std::memset(out + got, 0, Count - got);
        return got;
    }

    void WriteAt(uint64_t Offset, const void* Data, size_t Count) override
    {
        const char* in = static_cast<const char*>(Data);
        size_t done = 0;
        while (done < Count) {
            const DWORD piece = static_cast<DWORD>(std::min<size_t>(Count - done, MaxPiece));
            OVERLAPPED at = At(Offset + done);
            DWORD n = 0;
            if (!::WriteFile(Handle_, in + done, piece, &n, &at)) {
                const DWORD err = ::GetLastError();
                throw EStreamError(WriteErrorText(), FailureOf(err), static_cast<int>(err));
            }
            if (n == 0)
                throw EStreamError(WriteErrorText(), TIoFailure::DiskFull, ERROR_DISK_FULL);
            done += n;
        }
    }

    uint64_t Size() override
    {
        LARGE_INTEGER size;
        if (!::GetFileSizeEx(Handle_, &size)) {
            const DWORD err = ::GetLastError();
            throw EStreamError(ReadErrorText(), FailureOf(err), static_cast<int>(err));
        }
        return static_cast<uint64_t>(size.QuadPart);
    }

    void Sync() override
    {
        if (!::FlushFileBuffers(Handle_)) {
            const DWORD err = ::GetLastError();
            throw EStreamError(WriteErrorText(), FailureOf(err), static_cast<int>(err));
        }
    }

    void Truncate(uint64_t Size) override
    {
        FILE_END_OF_FILE_INFO end{};
        end.EndOfFile.QuadPart = static_cast<LONGLONG>(Size);
        if (!::SetFileInformationByHandle(Handle_, FileEndOfFileInfo, &end, sizeof end)) {
            const DWORD err = ::GetLastError();
            throw EStreamError(WriteErrorText(), FailureOf(err), static_cast<int>(err));
        }
    }

private:
    static OVERLAPPED At(uint64_t Offset)
    {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(Offset & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(Offset >> 32);
        return at;
    }

    HANDLE Handle_;
};

class TWin32FileSystem final : public TFileSystem {
public:
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
            throw EStreamError(OpenErrorText(Path), FailureOf(err), static_cast<int>(err));
        }
        return std::make_unique<TWin32Stream>(h);
    }

    bool FileExists(const std::string& Path) override
    {
        if (Path.empty())
            return false;
        const DWORD attributes = ::GetFileAttributesW(Utf8ToWide(Path).c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    }

    // Windows file names ignore letter case already.
    std::string FindCaseVariant(const std::string&) override { return {}; }
};

}  // namespace

TFileSystem& OsFileSystem()
{
    static TWin32FileSystem fileSystem;
    return fileSystem;
}
