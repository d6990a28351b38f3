#include "consolefiles.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "helptext.h"
#include "texts.h"
#include "strutil.h"

namespace {

// Table bytes written out as UTF-8. The text-file writer writes from the
// start to the end, so the converted bytes simply follow each other.
class TUtf8WriteStream final : public TFileStream {
public:
    TUtf8WriteStream(std::unique_ptr<TFileStream> Inner, const TCodePage& CodePage)
        : Inner_(std::move(Inner)), CodePage_(CodePage)
    {
    }

    size_t ReadAt(uint64_t, void* Buffer, size_t Count) override
    {
        std::memset(Buffer, 0, Count);
        return 0;
    }

    void WriteAt(uint64_t Offset, const void* Data, size_t Count) override
    {
        if (Offset != Taken_)
            throw EStreamError(WriteErrorText(), TIoFailure::Other, 0);
        Converted_.clear();
        CodePage_.AppendUtf8(Converted_, static_cast<const char*>(Data), Count);
        Inner_->WriteAt(Written_, Converted_.data(), Converted_.size());
        Taken_ += Count;
        Written_ += Converted_.size();
    }

    uint64_t Size() override { return Taken_; }
    void Sync() override { Inner_->Sync(); }

private:
    std::unique_ptr<TFileStream> Inner_;
    const TCodePage& CodePage_;
    uint64_t Taken_ = 0;    // table bytes handed in
    uint64_t Written_ = 0;  // UTF-8 bytes written for them
    std::string Converted_;
};

// A UTF-8 file read as table bytes. The file is converted a megabyte at a
// time; where each piece starts, in the file and in the converted bytes, is
// kept, so a reader may go back to an earlier offset (Load reads the file
// twice). A character the code page cannot hold, or bytes that are not
// UTF-8, stop the reading with a message naming the line.
class TUtf8ReadStream final : public TFileStream {
public:
    TUtf8ReadStream(std::unique_ptr<TFileStream> Inner, const TCodePage& CodePage)
        : Inner_(std::move(Inner)), CodePage_(CodePage)
    {
        char bom[3];
        const size_t got = Inner_->ReadAt(0, bom, sizeof bom);
        // A byte order mark some editors put first is no text.
        const uint64_t start = got == 3 && std::memcmp(bom, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
        Pieces_.push_back({0, start, 0});
    }

    size_t ReadAt(uint64_t Offset, void* Buffer, size_t Count) override
    {
        char* out = static_cast<char*>(Buffer);
        size_t got = 0;
        while (got < Count && Locate(Offset + got)) {
            const size_t from = static_cast<size_t>(Offset + got - Pieces_[Current_].OutStart);
            const size_t n = std::min(Count - got, Converted_.size() - from);
            std::memcpy(out + got, Converted_.data() + from, n);
            got += n;
        }
        std::memset(out + got, 0, Count - got);
        return got;
    }

    void WriteAt(uint64_t, const void*, size_t) override
    {
        throw EStreamError(WriteErrorText(), TIoFailure::AccessDenied, 0);
    }

    // The file's own length: at least as long as the converted text.
    uint64_t Size() override { return Inner_->Size(); }
    void Sync() override {}

private:
    struct TPiece {
        uint64_t OutStart;   // of its converted bytes
        uint64_t FileStart;  // of its UTF-8 bytes in the file
        int64_t Lines;       // line ends before it
    };
    static constexpr size_t PieceSize = size_t{1} << 20;

    // Makes the piece holding converted offset At current; false past the end.
    bool Locate(uint64_t At)
    {
        if (Loaded_ && At >= Pieces_[Current_].OutStart && At - Pieces_[Current_].OutStart < Converted_.size())
            return true;
        size_t i = Pieces_.size() - 1;
        while (i > 0 && Pieces_[i].OutStart > At)
            --i;
        for (;; ++i) {
            Load(i);
            if (At - Pieces_[i].OutStart < Converted_.size())
                return true;
            if (i + 1 >= Pieces_.size())
                return false;
        }
    }

    void Load(size_t Index)
    {
        const TPiece piece = Pieces_[Index];
        Current_ = Index;
        Loaded_ = true;
        Raw_.resize(PieceSize);
        size_t got = Inner_->ReadAt(piece.FileStart, &Raw_[0], PieceSize);
        Raw_.resize(got);
        // A piece ends before a character the next read would cut in two.
        if (got == PieceSize) {
            size_t back = got;
            while (back > got - 4 && (static_cast<unsigned char>(Raw_[back - 1]) & 0xC0) == 0x80)
                --back;
            if (back > 0 && static_cast<unsigned char>(Raw_[back - 1]) >= 0xC0)
                got = back - 1;
            Raw_.resize(got);
        }
        Converted_.clear();
        size_t failed = 0;
        const TCodePage::TFromUtf8 result = CodePage_.AppendFromUtf8(Converted_, Raw_, failed);
        if (result != TCodePage::TFromUtf8::Done) {
            Loaded_ = false;
            const int64_t line =
                piece.Lines + std::count(Raw_.begin(), Raw_.begin() + static_cast<std::ptrdiff_t>(failed), '\n') + 1;
            if (result == TCodePage::TFromUtf8::NotUtf8)
                throw EError(Say(Texts::NotUtf8, {IntToStr(line)}, TLanguage::Russian));
            throw EError(Say(Texts::NotInCodePage, {IntToStr(line), IntToStr(CodePage_.Number())}, TLanguage::Russian));
        }
        if (Index + 1 == Pieces_.size() && got > 0)
            Pieces_.push_back({piece.OutStart + Converted_.size(), piece.FileStart + got,
                               piece.Lines + std::count(Raw_.begin(), Raw_.end(), '\n')});
    }

    std::unique_ptr<TFileStream> Inner_;
    const TCodePage& CodePage_;
    std::vector<TPiece> Pieces_;
    size_t Current_ = 0;
    bool Loaded_ = false;
    std::string Raw_;
    std::string Converted_;
};

}  // namespace

std::string TConsoleFiles::Resolve(const std::string& Path)
{
    if (Path == HelpFileName && !ProgramHelpFile.empty() && !Inner_.FileExists(Path))
        return ProgramHelpFile;
    return Path;
}

bool TConsoleFiles::FileExists(const std::string& Path) { return Inner_.FileExists(Resolve(Path)); }

std::unique_ptr<TFileStream> TConsoleFiles::Open(const std::string& Path, TFileAccess Access, TFileShare Share)
{
    std::unique_ptr<TFileStream> stream = Inner_.Open(Resolve(Path), Access, Share);
    if (!CodePage || Path != TextFile)
        return stream;
    if (Access == TFileAccess::Create)
        return std::make_unique<TUtf8WriteStream>(std::move(stream), *CodePage);
    if (Access == TFileAccess::Read)
        return std::make_unique<TUtf8ReadStream>(std::move(stream), *CodePage);
    return stream;
}

std::unique_ptr<TFileStream> TConsoleFiles::Create(const std::string& Path, uint32_t Permissions, TFileShare Share)
{
    std::unique_ptr<TFileStream> stream = Inner_.Create(Resolve(Path), Permissions, Share);
    if (!CodePage || Path != TextFile)
        return stream;
    return std::make_unique<TUtf8WriteStream>(std::move(stream), *CodePage);
}
