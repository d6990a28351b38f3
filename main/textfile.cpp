#include "textfile.h"

#include <algorithm>
#include <cstring>

#include "escape.h"
#include "strutil.h"

namespace {

// Reading goes a megabyte at a time, as writing does.
constexpr size_t ReadBufferSize = size_t{1} << 20;
constexpr char CtrlZ = 0x1A;

}  // namespace

std::string InOutErrorText(const EStreamError& E)
{
    switch (E.Failure()) {
    case TIoFailure::NotFound: return "File not found";
    case TIoFailure::AccessDenied: return "File access denied";
    case TIoFailure::DiskFull: return "Disk full";
    case TIoFailure::TooManyFiles: return "Too many open files";
    default: return "I/O error " + std::to_string(E.OsError());
    }
}

TTextFileWriter::TTextFileWriter(TFileSystem& Files, const std::string& Path)
{
    try {
        Stream_ = Files.Open(Path, TFileAccess::Create, TFileShare::DenyNone);
    } catch (const EStreamError& e) {
        throw EError(InOutErrorText(e));
    }
    Buffer_.resize(BufferSize);
    if (Files.UsableFromThreads()) {
        Spare_.resize(BufferSize);
        Writer_ = std::thread([this] {
            std::unique_lock<std::mutex> hold(Lock_);
            for (;;) {
                Changed_.wait(hold, [this] { return Writing_ || Stopping_; });
                if (!Writing_)
                    return;
                hold.unlock();
                std::exception_ptr failure;
                try {
                    WriteOut(SpareAt_, Spare_.data(), SpareUsed_);
                } catch (...) {
                    failure = std::current_exception();
                }
                hold.lock();
                if (failure && !Failure_)
                    Failure_ = failure;
                Writing_ = false;
                Changed_.notify_all();
            }
        });
    }
}

TTextFileWriter::~TTextFileWriter() { StopWriter(); }

void TTextFileWriter::StopWriter()
{
    if (!Writer_.joinable())
        return;
    {
        const std::lock_guard<std::mutex> hold(Lock_);
        Stopping_ = true;
    }
    Changed_.notify_all();
    // A write under way is finished first: the thread stops only when idle.
    Writer_.join();
}

void TTextFileWriter::WaitForWrite()
{
    std::unique_lock<std::mutex> hold(Lock_);
    Changed_.wait(hold, [this] { return !Writing_; });
    if (Failure_)
        std::rethrow_exception(Failure_);
}

void TTextFileWriter::WriteOut(uint64_t Offset, const char* Data, size_t Count)
{
    try {
        Stream_->WriteAt(Offset, Data, Count);
    } catch (const EStreamError& e) {
        throw EError(InOutErrorText(e));
    }
}

char* TTextFileWriter::MakeRoom(size_t Count)
{
    Flush();
    // Room for more than a whole buffer: a caller that writes a long piece
    // at once.
    if (Buffer_.size() < Count)
        Buffer_.resize(Count);
    return Buffer_.data();
}

void TTextFileWriter::WriteLine(const std::string& Line)
{
    // A line longer than the buffer goes out in parts.
    for (size_t done = 0; done < Line.size();) {
        const size_t part = std::min(Line.size() - done, BufferSize);
        Commit(std::copy_n(Line.data() + done, part, Room(part)));
        done += part;
    }
    EndLine();
}

void TTextFileWriter::WriteEscaped(const char* Data, size_t Length)
{
    while (Length > 0) {
        const size_t part = std::min<size_t>(Length, BufferSize / MaxEscapedSize);
        Commit(EscapeMemoValue(Room(part * MaxEscapedSize), Data, part));
        Data += part;
        Length -= part;
    }
}

void TTextFileWriter::Flush()
{
    if (Used_ == 0)
        return;
    const size_t used = Used_;
    Used_ = 0;
    if (!Writer_.joinable()) {
        WriteOut(Written_, Buffer_.data(), used);
        Written_ += used;
        return;
    }
    // The full buffer goes to the writing thread once it is done with the
    // last one, and the last one's buffer is filled next.
    WaitForWrite();
    {
        const std::lock_guard<std::mutex> hold(Lock_);
        Spare_.swap(Buffer_);
        SpareUsed_ = used;
        SpareAt_ = Written_;
        Writing_ = true;
    }
    Changed_.notify_all();
    Written_ += used;
}

void TTextFileWriter::Close()
{
    if (!Stream_)
        return;
    Flush();
    if (Writer_.joinable()) {
        WaitForWrite();
        StopWriter();
    }
    Stream_.reset();
}

TTextFileReader::TTextFileReader(TFileSystem& Files, const std::string& Path)
{
    try {
        Stream_ = Files.Open(Path, TFileAccess::Read, TFileShare::DenyNone);
        Size_ = Stream_->Size();
    } catch (const EStreamError& e) {
        throw EError(InOutErrorText(e));
    }
}

bool TTextFileReader::ReadMore()
{
    const size_t kept = End_ - Pos_;
    if (Pos_ > 0)
        std::memmove(Buffer_.data(), Buffer_.data() + Pos_, kept);
    FileOffset_ += Pos_;
    Pos_ = 0;
    End_ = kept;
    // A megabyte at a time; the buffer grows only to hold a longer line.
    if (Buffer_.size() - End_ < ReadBufferSize)
        Buffer_.resize(End_ + ReadBufferSize);
    size_t got = 0;
    try {
        got = Stream_->ReadAt(FileOffset_ + End_, Buffer_.data() + End_, ReadBufferSize);
    } catch (const EStreamError& e) {
        throw EError(InOutErrorText(e));
    }
    End_ += got;
    return got > 0;
}

bool TTextFileReader::Eof()
{
    if (Ended_)
        return true;
    if ((Pos_ == End_ && !ReadMore()) || Buffer_[Pos_] == CtrlZ)
        Ended_ = true;
    return Ended_;
}

std::string TTextFileReader::ReadLine() { return std::string(ReadLineView()); }

void TTextFileReader::ReadLine(std::string& Line) { Line.assign(ReadLineView()); }

std::string_view TTextFileReader::ReadLineView()
{
    if (Eof())
        return {};
    // The line runs to the first LF; a CR right before it is dropped, and
    // so is any other CR in the line, which then has to be copied.
    size_t scanned = 0;  // of the line, from Pos_
    bool loneCr = false;
    size_t length;   // of the line, without its line end
    size_t lineEnd;  // the bytes of the line end after it
    for (;;) {
        const char* const begin = Buffer_.data() + Pos_;
        const char* const end = Buffer_.data() + End_;
        const char* found = FindEither(begin + scanned, end, '\n', '\r');
        if (found != end && *found == '\n') {
            length = static_cast<size_t>(found - begin);
            lineEnd = 1;
            break;
        }
        if (found != end && found + 1 < end) {
            // A CR with a byte after it in the buffer.
            if (found[1] == '\n') {
                length = static_cast<size_t>(found - begin);
                lineEnd = 2;
                break;
            }
            loneCr = true;
            scanned = static_cast<size_t>(found - begin) + 1;
            continue;
        }
        // No line end among the buffered bytes, or a CR as their last: the
        // file decides, if there is more of it.
        scanned = static_cast<size_t>(found - begin);
        const bool crLast = found != end;
        if (!ReadMore()) {
            // The last line, without a line end; a CR at its very end is
            // dropped like any other.
            length = End_ - Pos_;
            lineEnd = 0;
            loneCr = loneCr || crLast;
            break;
        }
    }
    const char* const line = Buffer_.data() + Pos_;
    Pos_ += length + lineEnd;
    if (!loneCr)
        return std::string_view(line, length);
    Line_.assign(line, length);
    Line_.erase(std::remove(Line_.begin(), Line_.end(), '\r'), Line_.end());
    return Line_;
}

void TTextFileReader::Seek(uint64_t Offset)
{
    Pos_ = 0;
    End_ = 0;
    FileOffset_ = Offset;
    Ended_ = false;
}
