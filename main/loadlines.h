// The record lines of Load's text file, split at their tabs into values
// with their escapes undone, batch by batch. Where the files allow it, a
// thread of their own reads and splits the lines ahead while the run
// writes the values before them: reading and splitting cost Load about as
// much as a fifth of its work, and a second core takes that part.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "textfile.h"

// The value of a line that starts at Start: up to the next tab or the
// line's end, found in one pass with the first "#" in it, if any (Escaped):
// a value without one is taken from the line as it stands.
std::string_view LoadValueAt(std::string_view Line, size_t Start, bool& Escaped);

class TLoadLines {
public:
    // The lines of In from where it stands, at most Columns values each.
    // With Ahead, a thread reads them: In is then its alone until this
    // object is gone.
    TLoadLines(TTextFileReader& In, size_t Columns, bool Ahead);
    ~TLoadLines();
    TLoadLines(const TLoadLines&) = delete;
    TLoadLines& operator=(const TLoadLines&) = delete;

    // On to the next line; false past the last. A failure to read the file
    // is raised here, in the turn of the line it stopped at.
    bool Next();
    // The current line's values, none for a blank line (which writes
    // nothing), each valid until the next call of Next.
    size_t Count() const { return Current_.Counts[Line_]; }
    std::string_view Value(size_t I) const
    {
        const size_t at = First_ + I;
        const size_t begin = at == 0 ? 0 : Current_.Ends[at - 1];
        return std::string_view(Current_.Bytes.data() + begin, Current_.Ends[at] - begin);
    }

private:
    struct TBatch {
        std::string Bytes;           // the values, one after another
        std::vector<size_t> Ends;    // of each value in Bytes
        std::vector<size_t> Counts;  // values per line
        bool Last = false;           // the file ends after these lines
        std::exception_ptr Failure;  // what ended the file early
        bool Long() const;           // holds a line longer than a batch
        void Clear();
    };
    // Reads and splits lines into Batch until it holds a batch's bytes or
    // the file ends.
    void Fill(TBatch& Batch);
    void Work();

    TTextFileReader& In_;
    size_t Columns_;
    TBatch Current_;    // the lines being handed out
    size_t Line_ = 0;   // in Current_, the line handed out last
    size_t First_ = 0;  // its first value
    bool Started_ = false;

    // The reading thread's: it fills Filling_, then hands it over in
    // Handed_ once the run has taken the one before.
    std::thread Reader_;
    std::mutex Lock_;
    std::condition_variable Changed_;
    TBatch Filling_;
    TBatch Handed_;
    bool HandedFull_ = false;
    bool Waiting_ = false;  // the run has used up its lines and waits
    bool Stopping_ = false;
};
