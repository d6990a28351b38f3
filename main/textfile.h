// Text files for Save and Load, through the same file services as the table,
// with the messages a user knows from the runtime's text-file errors.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "filestream.h"

// "File not found", "File access denied", "Disk full", ... or
// "I/O error <code>" for the failure behind E.
std::string InOutErrorText(const EStreamError& E);

// Lines written through a large buffer; each line ends with CR LF.
//
// Where the file system allows it, a full buffer is written by a thread of
// the writer's own while the next one fills: reading and escaping texts and
// writing them out take about as long each, and a machine has two cores or
// more. A failed write is raised by the next Flush or by Close.
class TTextFileWriter {
public:
    // Creates the file, or empties it when it exists.
    TTextFileWriter(TFileSystem& Files, const std::string& Path);
    // Waits for a write under way; an error it meets is lost here (Close
    // raises it, and a run that unwinds has its own error to tell).
    ~TTextFileWriter();
    TTextFileWriter(const TTextFileWriter&) = delete;
    TTextFileWriter& operator=(const TTextFileWriter&) = delete;
    void WriteLine(const std::string& Line);
    // Lines built piece by piece straight in the buffer: Room(Count) gives
    // space for Count more bytes at its end, Commit(End) keeps what was put
    // there up to End. A full buffer goes to the file, mid-line or not.
    char* Room(size_t Count) { return Buffer_.size() - Used_ >= Count ? Buffer_.data() + Used_ : MakeRoom(Count); }
    void Commit(char* End) { Used_ = static_cast<size_t>(End - Buffer_.data()); }
    void EndLine() { Commit(std::copy_n("\r\n", 2, Room(2))); }
    // Length bytes at Data with the memo text file's escapes, straight into
    // the buffer: a text of any length, without a copy of it.
    void WriteEscaped(const char* Data, size_t Length);
    // Writes out what is buffered and closes the file.
    void Close();

    static constexpr size_t BufferSize = size_t{1} << 20;

private:
    void Flush();
    char* MakeRoom(size_t Count);
    // Writes Count bytes at Offset, raising EError with the user's text.
    void WriteOut(uint64_t Offset, const char* Data, size_t Count);
    // Waits until the background write is done; raises what it met.
    void WaitForWrite();
    void StopWriter();

    std::unique_ptr<TFileStream> Stream_;
    std::vector<char> Buffer_;
    size_t Used_ = 0;
    uint64_t Written_ = 0;

    // The background write: Spare_ holds SpareUsed_ bytes for SpareAt_
    // while Writing_.
    std::thread Writer_;
    std::mutex Lock_;
    std::condition_variable Changed_;
    std::vector<char> Spare_;
    size_t SpareUsed_ = 0;
    uint64_t SpareAt_ = 0;
    bool Writing_ = false;
    bool Stopping_ = false;
    std::exception_ptr Failure_;
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
    // The same as a view of the reader's own buffer, valid until the next
    // call on the reader: most lines are not copied at all.
    std::string_view ReadLineView();
    // Reading goes on from Offset, a Position() taken earlier.
    void Seek(uint64_t Offset);
    void Close() { Stream_.reset(); }
    // How far reading has come, for progress.
    uint64_t Position() const { return FileOffset_ + Pos_; }
    uint64_t Size() const { return Size_; }

private:
    // Reads on from the file after the buffered bytes, keeping those from
    // Pos_ on (moved to the buffer's start); false at the end of the file.
    bool ReadMore();

    std::unique_ptr<TFileStream> Stream_;
    std::vector<char> Buffer_;
    size_t Pos_ = 0;           // the next byte to read
    size_t End_ = 0;           // of the bytes read into Buffer_
    uint64_t FileOffset_ = 0;  // of Buffer_[0]
    uint64_t Size_ = 0;
    bool Ended_ = false;
    std::string Line_;  // a line rebuilt without the lone CRs in it
};
