#include "loadlines.h"

#include <cstring>
#include <utility>

#include "escape.h"
#include "strutil.h"

namespace {

// A batch ends once its values pass this many bytes, or at this many
// lines (blank lines have none): the two batches in flight stay small.
constexpr size_t BatchBytes = size_t{1} << 20;
constexpr size_t BatchLines = 16384;

}  // namespace

std::string_view LoadValueAt(std::string_view Line, size_t Start, bool& Escaped)
{
    const char* const from = Line.data() + Start;
    const char* const lineEnd = Line.data() + Line.size();
    const char* stop = FindEither(from, lineEnd, '\t', '#');
    Escaped = stop != lineEnd && *stop == '#';
    if (Escaped) {
        stop = static_cast<const char*>(std::memchr(stop, '\t', static_cast<size_t>(lineEnd - stop)));
        if (!stop)
            stop = lineEnd;
    }
    return std::string_view(from, static_cast<size_t>(stop - from));
}

// A batch ends at the line that takes it past BatchBytes: past twice
// that, its last line alone is longer than a batch.
bool TLoadLines::TBatch::Long() const { return Bytes.size() > 2 * BatchBytes; }

void TLoadLines::TBatch::Clear()
{
    // The room stays for the next batch, but not what a long line took.
    if (Bytes.capacity() > 2 * BatchBytes)
        std::string().swap(Bytes);
    Bytes.clear();
    Ends.clear();
    Counts.clear();
    Last = false;
    Failure = nullptr;
}

TLoadLines::TLoadLines(TTextFileReader& In, size_t Columns, bool Ahead) : In_(In), Columns_(Columns)
{
    if (Ahead)
        Reader_ = std::thread([this] { Work(); });
}

TLoadLines::~TLoadLines()
{
    if (!Reader_.joinable())
        return;
    {
        const std::lock_guard<std::mutex> hold(Lock_);
        Stopping_ = true;
    }
    Changed_.notify_all();
    Reader_.join();
}

void TLoadLines::Fill(TBatch& Batch)
{
    Batch.Clear();
    try {
        while (Batch.Bytes.size() < BatchBytes && Batch.Counts.size() < BatchLines) {
            if (In_.Eof()) {
                Batch.Last = true;
                return;
            }
            const std::string_view line = In_.ReadLineView();
            // (The check saw no line with more values than columns; the
            // bound holds should the file change between the passes.)
            size_t count = 0;
            if (!IsBlank(line)) {
                for (size_t start = 0; start <= line.size() && count < Columns_; ++count) {
                    // Save escaped line breaks, tabs and "#"; they go back as
                    // they were.
                    bool escaped = false;
                    const std::string_view text = LoadValueAt(line, start, escaped);
                    start += text.size() + 1;
                    if (escaped)
                        AppendUnescapedMemoValue(Batch.Bytes, text.data(), text.size());
                    else
                        Batch.Bytes.append(text.data(), text.size());
                    Batch.Ends.push_back(Batch.Bytes.size());
                }
            }
            Batch.Counts.push_back(count);
        }
    } catch (...) {
        // The lines before stay; the failure is raised after them.
        Batch.Failure = std::current_exception();
        Batch.Last = true;
    }
}

void TLoadLines::Work()
{
    for (;;) {
        Fill(Filling_);
        const bool isLong = Filling_.Long();
        std::unique_lock<std::mutex> hold(Lock_);
        Changed_.wait(hold, [this] { return !HandedFull_ || Stopping_; });
        if (Stopping_)
            return;
        std::swap(Handed_, Filling_);
        HandedFull_ = true;
        Changed_.notify_all();
        if (Handed_.Last)
            return;
        // A line longer than a batch is in memory twice already (the
        // reader's buffer, the batch): the next is read only once the run
        // is through with it, as it would be without this thread.
        if (isLong) {
            Changed_.wait(hold, [this] { return (Waiting_ && !HandedFull_) || Stopping_; });
            if (Stopping_)
                return;
        }
    }
}

bool TLoadLines::Next()
{
    if (Started_ && Line_ < Current_.Counts.size()) {
        First_ += Current_.Counts[Line_];
        ++Line_;
    }
    Started_ = true;
    while (Line_ >= Current_.Counts.size()) {
        if (Current_.Last) {
            if (Current_.Failure)
                std::rethrow_exception(Current_.Failure);
            return false;
        }
        if (Reader_.joinable()) {
            // What a long line took is given back before the next is read.
            if (Current_.Long())
                Current_ = TBatch();
            {
                std::unique_lock<std::mutex> hold(Lock_);
                Waiting_ = true;
                Changed_.notify_all();
                Changed_.wait(hold, [this] { return HandedFull_; });
                Waiting_ = false;
                std::swap(Current_, Handed_);
                HandedFull_ = false;
            }
            Changed_.notify_all();
        } else {
            Fill(Current_);
        }
        Line_ = 0;
        First_ = 0;
    }
    return true;
}
