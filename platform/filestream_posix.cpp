// POSIX files: positioned reads and writes, flock() standing in for the
// share modes Windows gives at open time, and shared mappings on local disks.
#include <dirent.h>
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/vfs.h>
#else
#include <sys/mount.h>
#include <sys/param.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>

#include "filestream.h"
#include "mapstore.h"

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

// --- Stores into a shared mapping -------------------------------------------
//
// Another program may cut the file short while it is mapped; a store into a
// page past the new end then raises SIGBUS, which would end the process in
// the middle of a run. While a mapping exists, a handler turns a SIGBUS
// raised inside one of our stores into a jump back to that store, which
// raises an error instead. The jump target is per thread and set only for
// the duration of a copy; any other SIGBUS goes to whoever handled it
// before.

thread_local sigjmp_buf* StoreGuard = nullptr;
std::mutex HandlerLock;
int HandlerUsers = 0;  // mappings alive
struct sigaction PreviousBusAction;

void OnBusError(int Signal, siginfo_t* Info, void* Context)
{
    if (sigjmp_buf* guard = StoreGuard) {
        StoreGuard = nullptr;
        siglongjmp(*guard, 1);
    }
    // Not one of our stores. A handler of its own gets the signal; the
    // default action is taken by putting it back and returning, so that the
    // faulting instruction raises the signal again.
    if ((PreviousBusAction.sa_flags & SA_SIGINFO) && PreviousBusAction.sa_sigaction) {
        PreviousBusAction.sa_sigaction(Signal, Info, Context);
    } else if (PreviousBusAction.sa_handler != SIG_DFL && PreviousBusAction.sa_handler != SIG_IGN) {
        PreviousBusAction.sa_handler(Signal);
    } else {
        ::sigaction(SIGBUS, &PreviousBusAction, nullptr);
    }
}

void TakeBusErrors()
{
    const std::lock_guard<std::mutex> hold(HandlerLock);
    if (HandlerUsers++ > 0)
        return;
    struct sigaction action {};
    action.sa_sigaction = OnBusError;
    // SA_NODEFER: the jump out of the handler leaves the signal mask as it
    // is (saving and restoring it would cost a system call per store), so
    // SIGBUS must not be blocked while the handler runs.
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &PreviousBusAction);
}

void LeaveBusErrors()
{
    const std::lock_guard<std::mutex> hold(HandlerLock);
    if (--HandlerUsers == 0)
        ::sigaction(SIGBUS, &PreviousBusAction, nullptr);
}

// The file systems on which a shared mapping writes back only the pages it
// dirtied, from the one page cache every process on this machine shares.
// Anything else (NFS, SMB/CIFS, FUSE, file systems not listed) may write a
// dirty page back whole over another computer's edits, and is written with
// positional writes instead.
bool OnLocalDisk(int Fd, std::string& WhyNot)
{
#if defined(__linux__)
    struct statfs fs;
    if (::fstatfs(Fd, &fs) != 0) {
        WhyNot = std::string("fstatfs failed: ") + std::strerror(errno);
        return false;
    }
    static const struct {
        uint32_t Magic;
        const char* Name;
    } Local[] = {
        {0xEF53u, "ext2/3/4"},  {0x58465342u, "xfs"},      {0x9123683Eu, "btrfs"},
        {0x01021994u, "tmpfs"}, {0xF2F52010u, "f2fs"},     {0x2FC12FC1u, "zfs"},
        {0x3153464Au, "jfs"},   {0x52654973u, "reiserfs"}, {0x858458F6u, "ramfs"},
    };
    const uint32_t magic = static_cast<uint32_t>(fs.f_type);
    for (const auto& local : Local)
        if (local.Magic == magic)
            return true;
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", static_cast<unsigned>(magic));
    WhyNot = std::string("file system ") + hex + " not known to be a local disk";
    return false;
#elif defined(MNT_LOCAL)
    struct statfs fs;
    if (::fstatfs(Fd, &fs) != 0) {
        WhyNot = std::string("fstatfs failed: ") + std::strerror(errno);
        return false;
    }
    if (fs.f_flags & MNT_LOCAL)
        return true;
    WhyNot = std::string("file system ") + fs.f_fstypename + " is not local";
    return false;
#else
    (void)Fd;
    WhyNot = "no way to tell a local file system here";
    return false;
#endif
}

class TPosixMapping final : public TFileMapping {
public:
    // WriteBackFailure: the stream's record of a failed write-back, which
    // a sync of the mapping must report as the stream's own would.
    TPosixMapping(char* Base, uint64_t Size, const int& WriteBackFailure)
        : Base_(Base), Size_(Size), WriteBackFailure_(WriteBackFailure)
    {
        TakeBusErrors();
    }
    ~TPosixMapping() override
    {
        ::munmap(Base_, static_cast<size_t>(Size_));
        LeaveBusErrors();
    }
    TPosixMapping(const TPosixMapping&) = delete;
    TPosixMapping& operator=(const TPosixMapping&) = delete;

    uint64_t Size() const override { return Size_; }

    void Store(uint64_t Offset, const void* Data, size_t Count) override
    {
        if (Offset > Size_ || Count > Size_ - Offset)
            throw EStreamError(WriteErrorText(), TIoFailure::Other, EFAULT);
        sigjmp_buf guard;
        if (sigsetjmp(guard, 0) != 0)
            throw EStreamError(WriteErrorText(), TIoFailure::Other, EFAULT);
        StoreGuard = &guard;
        // The guard is in place before the first byte moves and gone only
        // after the last: the compiler keeps the copy between them.
        std::atomic_signal_fence(std::memory_order_seq_cst);
        StoreIntoMapping(Base_ + Offset, Data, Count);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        StoreGuard = nullptr;
    }

    void Sync() override
    {
        if (WriteBackFailure_ != 0)
            throw EStreamError(WriteErrorText(), FailureOf(WriteBackFailure_), WriteBackFailure_);
        // msync writes the mapping's dirty pages and waits for them; on
        // Linux it syncs the range as fdatasync would.
        const ssize_t rc = Uninterrupted([&] { return ::msync(Base_, static_cast<size_t>(Size_), MS_SYNC); });
        if (rc != 0) {
            const int err = errno;
            throw EStreamError(WriteErrorText(), FailureOf(err), err);
        }
    }

    void Release(uint64_t Offset, uint64_t Count) override
    {
        // For a shared mapping of a file, MADV_DONTNEED only unmaps the
        // pages: their changes stay in the page cache, marked dirty.
        const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
        const uint64_t from = Offset / page * page;
        const uint64_t to = std::min(Size_, Offset + Count);
        if (from < to)
            ::madvise(Base_ + from, static_cast<size_t>(to - from), MADV_DONTNEED);
    }

private:
    char* Base_;
    uint64_t Size_;
    const int& WriteBackFailure_;
};

class TPosixStream final : public TFileStream {
public:
    TPosixStream(int Fd, bool Writable) : Fd_(Fd), Writable_(Writable) {}
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

    void StartWriteBack(uint64_t Offset, uint64_t Count) override
    {
#if defined(__linux__)
        if (!Writable_ || WriteBackFailure_ != 0)
            return;
        const int rc =
            ::sync_file_range(Fd_, static_cast<off_t>(Offset), static_cast<off_t>(Count), SYNC_FILE_RANGE_WRITE);
        // The system may report a failed write here and never again: the
        // next Sync must not then say all is on the disk. A system that does
        // not know the call, a file it cannot apply to, or a moment short of
        // memory only loses the hint.
        if (rc != 0 && errno != ENOSYS && errno != EINVAL && errno != ESPIPE && errno != EINTR && errno != ENOMEM)
            WriteBackFailure_ = errno;
#else
        (void)Offset;
        (void)Count;
#endif
    }

    void Sync() override
    {
        if (WriteBackFailure_ != 0)
            throw EStreamError(WriteErrorText(), FailureOf(WriteBackFailure_), WriteBackFailure_);
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

    bool ReadableFromThreads() const override { return true; }

    void Truncate(uint64_t Size) override
    {
        const ssize_t rc = Uninterrupted([&] { return ::ftruncate(Fd_, static_cast<off_t>(Size)); });
        if (rc != 0) {
            const int err = errno;
            throw EStreamError(WriteErrorText(), FailureOf(err), err);
        }
    }

    std::unique_ptr<TFileMapping> MapShared(uint64_t Size, std::string& WhyNot) override
    {
        if (!Writable_) {
            WhyNot = "the file is open for reading only";
            return nullptr;
        }
        if (Size == 0 || Size > std::numeric_limits<size_t>::max()) {
            WhyNot = "nothing to map";
            return nullptr;
        }
        if (!OnLocalDisk(Fd_, WhyNot))
            return nullptr;
        void* base = ::mmap(nullptr, static_cast<size_t>(Size), PROT_READ | PROT_WRITE, MAP_SHARED, Fd_, 0);
        if (base == MAP_FAILED) {
            WhyNot = std::string("mmap failed: ") + std::strerror(errno);
            return nullptr;
        }
        return std::make_unique<TPosixMapping>(static_cast<char*>(base), Size, WriteBackFailure_);
    }

private:
    int Fd_;
    bool Writable_;
    int WriteBackFailure_ = 0;  // errno of a write-back that failed
};

class TPosixFileSystem final : public TFileSystem {
public:
    bool UsableFromThreads() const override { return true; }
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
        return std::make_unique<TPosixStream>(fd, Access != TFileAccess::Read);
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
