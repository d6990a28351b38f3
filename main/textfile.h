// Text files for Save and Load, through the same file services as the table,
// with the messages a user knows from the runtime's text-file errors.
#pragma once

#include <memory>
#include <string>

#include "dbflite/filestream.h"

// "File not found", "File access denied", "Disk full", ... or
// "I/O error <code>" for the failure behind E.
std::string InOutErrorText(const EStreamError& E);

// Lines written through a large buffer; each line ends with CR LF.
class TTextFileWriter {
public:
    // Creates the file, or empties it when it exists.
    TTextFileWriter(TFileSystem& Files, const std::string& Path);
    void WriteLine(const std::string& Line);
    // Writes out what is buffered and closes the file.
    void Close();

private:
    void Flush();

    std::unique_ptr<TFileStream> Stream_;
    std::string Buffer_;
    uint64_t Written_ = 0;
};

// Lines read the way the runtime's text files read them: a line ends at LF,
// with or without CR before it; a CR not followed by LF is dropped; a Ctrl-Z
// where a line begins ends the file; the last line may lack its line end.
class TTextFileReader {
public:
    TTextFileReader(TFileSystem& Files, const std::string& Path);
    bool Eof();
    std::string ReadLine();
    // The same into Line, whose room is used again line after line.
    void ReadLine(std::string& Line);
    // Reading goes on from Offset, a Position() taken earlier.
    void Seek(uint64_t Offset);
    void Close() { Stream_.reset(); }
    // How far reading has come, for progress.
    uint64_t Position() const { return FileOffset_ + Pos_; }
    uint64_t Size() const { return Size_; }

private:
    bool Fill();

    std::unique_ptr<TFileStream> Stream_;
    std::string Buffer_;
    size_t Pos_ = 0;
    uint64_t FileOffset_ = 0;  // of Buffer_[0]
    uint64_t Size_ = 0;
    bool Ended_ = false;
};
