#include "main/textfile.h"

#include <algorithm>
#include <cstring>

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

void TTextFileWriter::Flush()
{
    if (Used_ == 0)
        return;
    const size_t used = Used_;
    Used_ = 0;
    try {
        Stream_->WriteAt(Written_, Buffer_.data(), used);
    } catch (const EStreamError& e) {
        throw EError(InOutErrorText(e));
    }
    Written_ += used;
}

void TTextFileWriter::Close()
{
    if (!Stream_)
        return;
    Flush();
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

bool TTextFileReader::Fill()
{
    if (Pos_ < Buffer_.size())
        return true;
    FileOffset_ += Buffer_.size();
    Pos_ = 0;
    Buffer_.resize(ReadBufferSize);
    size_t got = 0;
    try {
        got = Stream_->ReadAt(FileOffset_, &Buffer_[0], ReadBufferSize);
    } catch (const EStreamError& e) {
        Buffer_.clear();
        throw EError(InOutErrorText(e));
    }
    Buffer_.resize(got);
    return got > 0;
}

bool TTextFileReader::Eof()
{
    if (Ended_)
        return true;
    if (!Fill() || Buffer_[Pos_] == CtrlZ)
        Ended_ = true;
    return Ended_;
}

std::string TTextFileReader::ReadLine()
{
    std::string line;
    ReadLine(line);
    return line;
}

void TTextFileReader::ReadLine(std::string& Line)
{
    Line.clear();
    if (Eof())
        return;
    while (Fill()) {
        const char* start = Buffer_.data() + Pos_;
        const size_t left = Buffer_.size() - Pos_;
        const char* lf = static_cast<const char*>(std::memchr(start, '\n', left));
        const size_t take = lf ? static_cast<size_t>(lf - start) : left;
        Line.append(start, take);
        Pos_ += take;
        if (lf) {
            ++Pos_;
            break;
        }
    }
    // CRs are dropped wherever they stand; before the LF that ends the line
    // (nearly every line) and alone inside it alike.
    if (!Line.empty() && Line.back() == '\r')
        Line.pop_back();
    if (std::memchr(Line.data(), '\r', Line.size()))
        Line.erase(std::remove(Line.begin(), Line.end(), '\r'), Line.end());
}

void TTextFileReader::Seek(uint64_t Offset)
{
    Buffer_.clear();
    Pos_ = 0;
    FileOffset_ = Offset;
    Ended_ = false;
}
