#include "main/textfile.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t BufferSize = 1 << 20;
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
    Buffer_.reserve(BufferSize);
}

void TTextFileWriter::WriteLine(const std::string& Line)
{
    if (Buffer_.size() + Line.size() + 2 > BufferSize)
        Flush();
    if (Line.size() + 2 > BufferSize) {
        // A line longer than the buffer goes out on its own.
        Buffer_ = Line + "\r\n";
        Flush();
        Buffer_.reserve(BufferSize);
        return;
    }
    Buffer_ += Line;
    Buffer_ += "\r\n";
}

void TTextFileWriter::Flush()
{
    if (Buffer_.empty())
        return;
    try {
        Stream_->WriteAt(Written_, Buffer_.data(), Buffer_.size());
    } catch (const EStreamError& e) {
        Buffer_.clear();
        throw EError(InOutErrorText(e));
    }
    Written_ += Buffer_.size();
    Buffer_.clear();
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
    Buffer_.resize(BufferSize);
    size_t got = 0;
    try {
        got = Stream_->ReadAt(FileOffset_, &Buffer_[0], BufferSize);
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
