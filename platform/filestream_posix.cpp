// POSIX files: positioned reads and writes, and flock() standing in for the
// share modes Windows gives at open time.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "filestream.h"

namespace {

TIoFailure FailureOf(int Err)
{
    static const struct {
        int Err;
        TIoFailure Failure;
    } Kinds[] = {
        {ENOENT, TIoFailure::NotFound},    {ENOTDIR, TIoFailure::NotFound},    {EACCES, TIoFailure::AccessDenied},
        {EPERM, TIoFailure::AccessDenied}, {EROFS, TIoFailure::AccessDenied},  {EISDIR, TIoFailure::AccessDenied},
        {EWOULDBLOCK, TIoFailure::Locked}, {ENOSPC, TIoFailure::DiskFull},     {EDQUOT, TIoFailure::DiskFull},
        {EFBIG, TIoFailure::DiskFull},     {EMFILE, TIoFailure::TooManyFiles}, {ENFILE, TIoFailure::TooManyFiles},
    };
    for (const auto& kind : Kinds)
        if (kind.Err == Err)
            return kind.Failure;
    return TIoFailure::Other;
}

// A system call repeated while a signal interrupts it.
template <typename TCall>
ssize_t Uninterrupted(TCall Call)
{
    ssize_t n;
    do {
        n = Call();
    } while (n < 0 && errno == EINTR);
    return n;
}

class TPosixStream final : public TFileStream {
public:
    explicit TPosixStream(int Fd) : Fd_(Fd) {}
    ~TPosixStream() override { ::close(Fd_); }
    TPosixStream(const TPosixStream&) = delete;
    TPosixStream& operator=(const TPosixStream&) = delete;

    size_t ReadAt(uint64_t Offset, void* Buffer, size_t Count) override
    {
        char* out = static_cast<char*>(Buffer);
        size_t got = 0;
        while (got < Count) {
            const ssize_t n =
                Uninterrupted([&] { return ::pread(Fd_, out + got, Count - got, static_cast<off_t>(Offset + got)); });
            if (n < 0) {
                const int err = errno;
                std::memset(out + got, 0, Count - got);
                throw EStreamError(ReadErrorText(), FailureOf(err), err);
            }
            if (n == 0)
                break;
            got += static_cast<size_t>(n);
        }
        std::memset(out + got, 0, Count - got);
        return got;
    }

    void WriteAt(uint64_t Offset, const void* Data, size_t Count) override
    {
        const char* in = static_cast<const char*>(Data);
        size_t done = 0;
        while (done < Count) {
            const ssize_t n = Uninterrupted(
                [&] { return ::pwrite(Fd_, in + done, Count - done, static_cast<off_t>(Offset + done)); });
            if (n < 0) {
                const int err = errno;
                throw EStreamError(WriteErrorText(), FailureOf(err), err);
            }
            if (n == 0)
                throw EStreamError(WriteErrorText(), TIoFailure::DiskFull, ENOSPC);
            done += static_cast<size_t>(n);
        }
    }

    uint64_t Size() override
    {
        struct stat st;
        if (::fstat(Fd_, &st) != 0) {
            const int err = errno;
            throw EStreamError(ReadErrorText(), FailureOf(err), err);
        }
        return static_cast<uint64_t>(st.st_size);
    }

    void Sync() override
    {
        // fdatasync leaves out only the timestamps, which no reader needs.
        const ssize_t rc = Uninterrupted([&] {
#if defined(__linux__)
            return ::fdatasync(Fd_);
#else
            return ::fsync(Fd_);
#endif
        });
        if (rc != 0) {
            const int err = errno;
            throw EStreamError(WriteErrorText(), FailureOf(err), err);
        }
    }

    void Truncate(uint64_t Size) override
    {
        const ssize_t rc = Uninterrupted([&] { return ::ftruncate(Fd_, static_cast<off_t>(Size)); });
        if (rc != 0) {
            const int err = errno;
            throw EStreamError(WriteErrorText(), FailureOf(err), err);
        }
    }

private:
    int Fd_;
};

class TPosixFileSystem final : public TFileSystem {
public:
    std::unique_ptr<TFileStream> Open(const std::string& Path, TFileAccess Access, TFileShare Share) override
    {
        return OpenFile(Path, Access, Share, nullptr);
    }

    std::unique_ptr<TFileStream> Create(const std::string& Path, uint32_t Permissions, TFileShare Share) override
    {
        const mode_t mode = static_cast<mode_t>(Permissions & 0777);
        return OpenFile(Path, TFileAccess::Create, Share, &mode);
    }

    bool FileExists(const std::string& Path) override
    {
        struct stat st;
        return !Path.empty() && ::stat(Path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
    }

    bool SameFile(const std::string& A, const std::string& B) override
    {
        struct stat a, b;
        return !A.empty() && !B.empty() && ::stat(A.c_str(), &a) == 0 && ::stat(B.c_str(), &b) == 0 &&
               a.st_dev == b.st_dev && a.st_ino == b.st_ino;
    }

    std::string FindCaseVariant(const std::string& Path) override
    {
        const size_t slash = Path.find_last_of('/');
        const std::string dir = slash == std::string::npos ? "." : Path.substr(0, slash + 1);
        const std::string name = slash == std::string::npos ? Path : Path.substr(slash + 1);
        DIR* d = ::opendir(dir.c_str());
        if (!d)
            return {};
        std::string found;
        while (const dirent* entry = ::readdir(d)) {
            if (::strcasecmp(entry->d_name, name.c_str()) == 0 && name != entry->d_name) {
                const std::string candidate = (slash == std::string::npos ? std::string() : dir) + entry->d_name;
                if (FileExists(candidate)) {
                    found = candidate;
                    break;
                }
            }
        }
        ::closedir(d);
        return found;
    }

    bool PathExists(const std::string& Path) override
    {
        struct stat st;
        return !Path.empty() && ::lstat(Path.c_str(), &st) == 0;
    }

    uint32_t Permissions(const std::string& Path) override
    {
        struct stat st;
        if (::stat(Path.c_str(), &st) != 0)
            Fail(Path, errno);
        return static_cast<uint32_t>(st.st_mode & 0777);
    }

    void Rename(const std::string& From, const std::string& To) override
    {
        int rc = -1;
#if defined(__linux__)
        rc = ::renameat2(AT_FDCWD, From.c_str(), AT_FDCWD, To.c_str(), RENAME_NOREPLACE);
        // Some file systems (older network ones among them) cannot promise
        // not to replace; there the check just before rename() has to do.
        if (rc != 0 && errno != EINVAL && errno != ENOSYS)
            FailRename(From, To, errno);
#endif
        if (rc != 0) {
            if (PathExists(To))
                FailRename(From, To, EEXIST);
            if (::rename(From.c_str(), To.c_str()) != 0)
                FailRename(From, To, errno);
        }
        SyncFolderOf(From, To);
    }

    void Remove(const std::string& Path) override
    {
        struct stat st;
        if (::lstat(Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            throw EStreamError(RemoveErrorText(Path), TIoFailure::AccessDenied, EISDIR);
        if (::unlink(Path.c_str()) != 0) {
            const int err = errno;
            throw EStreamError(RemoveErrorText(Path), FailureOf(err), err);
        }
    }

private:
    // Open, with Create giving the new file exactly the bits *Permissions
    // when they are given.
    std::unique_ptr<TFileStream> OpenFile(const std::string& Path, TFileAccess Access, TFileShare Share,
                                          const mode_t* Permissions)
    {
        int flags = O_CLOEXEC;
        switch (Access) {
        case TFileAccess::Read: flags |= O_RDONLY; break;
        case TFileAccess::ReadWrite: flags |= O_RDWR; break;
        case TFileAccess::Create: flags |= O_WRONLY | O_CREAT; break;
        }
        int fd;
        do {
            fd = ::open(Path.c_str(), flags, Permissions ? *Permissions : 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0)
            Fail(Path, errno);

        struct stat st;
        const bool statted = ::fstat(fd, &st) == 0;
        if (!statted || S_ISDIR(st.st_mode)) {
            const int err = statted ? EISDIR : errno;
            ::close(fd);
            Fail(Path, err);
        }

        // Windows refuses a share-none open while others hold the file and
        // every open while a share-none holder has it; shared and exclusive
        // flock() locks give the same answers between our own processes.
        const int lock = (Share == TFileShare::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
        int rc;
        do {
            rc = ::flock(fd, lock);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            const int err = errno;
            ::close(fd);
            Fail(Path, err);
        }

        // Emptying an existing file waits until the lock says it is ours. A
        // file that is empty already is left alone: on ext4, a file cut to
        // nothing and written again is flushed to disk when it closes, which
        // a new file need not wait for.
        if (Access == TFileAccess::Create && (::fstat(fd, &st) != 0 || st.st_size > 0) && ::ftruncate(fd, 0) != 0) {
            const int err = errno;
            ::close(fd);
            Fail(Path, err);
        }

        // open() took the umask off the bits, which only narrows them; the
        // copy gets the original's exactly. A file system that keeps no
        // permission bits (FAT, many network shares) refuses, and its files
        // are as open as the mount makes them: no reason to stop a run.
        if (Permissions)
            (void)::fchmod(fd, *Permissions);
        return std::make_unique<TPosixStream>(fd);
    }

    [[noreturn]] static void Fail(const std::string& Path, int Err)
    {
        throw EStreamError(OpenErrorText(Path), FailureOf(Err), Err);
    }

    [[noreturn]] static void FailRename(const std::string& From, const std::string& To, int Err)
    {
        throw EStreamError(RenameErrorText(From, To), FailureOf(Err), Err);
    }

    // Syncs the folder that holds To, the name From was just given, so that
    // the name is on the disk before the run goes on to change the original.
    // A folder this process cannot open for reading is left to the file
    // system's own schedule; one whose file system cannot sync folders says
    // EINVAL.
    static void SyncFolderOf(const std::string& From, const std::string& To)
    {
        const size_t slash = To.find_last_of('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : To.substr(0, slash);
        int fd;
        do {
            fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0)
            return;
        const ssize_t rc = Uninterrupted([&] { return ::fsync(fd); });
        const int err = errno;
        ::close(fd);
        if (rc != 0 && err != EINVAL)
            FailRename(From, To, err);
    }
};

}  // namespace

TFileSystem& OsFileSystem()
{
    static TPosixFileSystem fileSystem;
    return fileSystem;
}
