// The map of a memo file: which runs the references of a table lead to,
// which of them two references share or overlap, and the runs no reference
// leads to (orphans), found by a sequential scan of the memo file (and a
// second one, when there are orphans, for their old copies).
//
// Memory stays bounded whatever the files hold: three bits per block of the
// memo file and an entry per orphan, nothing per live text or per byte.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "dbflite.h"

struct TMemoMapFindings {
    // False when there is no map to speak of: no memo file, or a block size
    // of 0 that leads every reference to the header.
    bool Mapped = false;
    uint64_t References = 0;             // references leading to a block inside the memo file
    uint64_t NotRunStart = 0;            // of those, to a block that starts no run
    uint64_t CrossLinkedRuns = 0;        // runs that two or more references lead to
    uint64_t CrossLinkedReferences = 0;  // the references leading to those runs
    uint64_t OverlappingRuns = 0;        // runs that share blocks with another run
    uint64_t PastNextFree = 0;           // runs ending past the header's next free block
    uint64_t Orphans = 0;                // runs no reference leads to
    uint64_t OrphanBytes = 0;            // their lengths, as their block headers give them
    uint64_t OldCopies = 0;              // orphans whose stored bytes equal those of a run a reference leads to
    uint64_t OldCopyBytes = 0;
    uint64_t BlankOrphans = 0;  // orphans whose text reads as blank: nothing to take back
    uint64_t BlankOrphanBytes = 0;
    uint64_t LostTexts = 0;  // the other orphans: texts whose references are gone
    uint64_t LostTextBytes = 0;
};

struct TMemoOrphan {
    uint64_t Block = 0;
    uint32_t Length = 0;     // of the text, trailing blanks trimmed as ReadMemo trims them
    uint32_t Stored = 0;     // of its bytes as stored, which Hash is of
    uint32_t RunLength = 0;  // as the block header says
    bool OldCopy = false;
    // Neither an old copy nor blank: a text whose references are gone.
    bool Lost() const { return !OldCopy && Length > 0; }
    uint64_t Hash[2] = {0, 0};
};

class TMemoMap {
public:
    // Table is open read-only and stays so while the map is used; the scan
    // reads the memo file through a stream of its own from Files (the one
    // the table was opened through). Every memo field counts: a run that
    // any of them leads to is no orphan.
    explicit TMemoMap(TDBFLite& Table, TFileSystem& Files = OsFileSystem());

    // Notes where the references of record RecNo lead. Called for every
    // record the table file holds, in any order, before Scan.
    void AddRecord(int32_t RecNo);
    // The same for one reference whose run the caller has looked up
    // already (MemoRunOf, or an inspection's Run).
    void AddReference(int32_t RecNo, int FieldNo, const TMemoRunInfo& Run);
    // The fields whose references AddRecord notes.
    const std::vector<int>& Fields() const { return MemoFields_; }
    // A reference AddRecord is to pass over, as if the field were empty: a
    // damaged one about to be mended, whose block (a header that claims a
    // length running past the file's end) would hide the runs after it.
    void Ignore(int32_t RecNo, int FieldNo) { Ignored_.insert({RecNo, FieldNo}); }
    // The same for every record, with Progress(done, total) now and then.
    void AddAllRecords(const std::function<void(int64_t, int64_t)>& Progress = {});

    // Reads the memo file once, front to back: finds the orphans and tells
    // old copies from lost texts. Progress gets bytes done and the total.
    void Scan(const std::function<void(int64_t, int64_t)>& Progress = {});

    const TMemoMapFindings& Findings() const { return Findings_; }
    // In block order.
    const std::vector<TMemoOrphan>& Orphans() const { return Orphans_; }

    // An orphan's text (trimmed), handed to Sink in pieces.
    void ReadText(const TMemoOrphan& Orphan, const std::function<void(const char*, size_t)>& Sink);

private:
    struct TWindow;
    struct TPass;
    // The hash of the Length bytes at Offset as stored (an old copy is the
    // same bytes, not the same text shown), and in Trimmed their length
    // without trailing bytes of code 0 to 32.
    void HashText(TWindow& Window, uint64_t Offset, uint64_t Length, uint64_t& Trimmed, uint64_t Hash[2]);
    // The steps of Scan: a run a reference leads to, a block that may start
    // an orphan (the block the pass goes on from), the orphans told apart.
    // The bytes of its text the file holds for the run at block At.
    uint64_t PresentOf(TWindow& Window, uint64_t At);
    void PassLiveRun(TPass& Pass, uint64_t At);
    uint64_t PassMaybeOrphan(TPass& Pass, uint64_t Block);
    void TallyOrphans(TWindow& Window);

    TDBFLite& Table_;
    TFileSystem& Files_;
    std::unique_ptr<TFileStream> Stream_;
    std::vector<int> MemoFields_;
    uint64_t BlockSize_ = 0;
    uint64_t FileSize_ = 0;
    uint64_t Blocks_ = 0;
    // A bit per block: a run a reference leads to starts there; a reference
    // leads there; two or more do.
    std::vector<uint64_t> Starts_, Seen_, Shared_;
    std::vector<TMemoOrphan> Orphans_;
    TMemoMapFindings Findings_;
    std::set<std::pair<int32_t, int>> Ignored_;
};
