// pack: compacts the memo file so that it holds its header and exactly the
// runs the references of every field that leads into it lead to (texts,
// pictures, objects, blobs), byte for byte under their own block types, one
// run for each reference, in record order: references that shared a run
// get a copy each.
//
// A kill or a power cut at any moment leaves a table that every reader
// (the owner's application included, which runs no recovery of ours) reads
// as before. With L the blocks of the live texts, the front [header,
// header + L) is where they end up:
//
//   0. references that lead to no run (not a number, past the end, into
//      the middle of a text) are blanked: they read no text before and
//      none after; the table is synced, so no old reference leads into
//      space that is written over later;
//   1. every live run that lies in the front is copied behind it: into
//      space no reference leads to (old copies, lost texts), or past the
//      end of the file; the memo file is synced, then the references are
//      switched, then the table is synced;
//   2. every live run, in record order, is copied into the front, which no
//      reference leads into any more; synced, switched, synced as above;
//   3. the memo header's next free block is set to the front's end, synced,
//      and the file is cut there.
//
// Runs are only ever written over space no reference on disk leads to, and
// a reference is switched only to a run already on disk.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "filestream.h"

class TDBFLite;

struct TPackResult {
    bool Done = false;      // false: stopped before any write
    bool TooLarge = false;  // stopped: the memo file would pass 2 GiB on the way
    uint64_t SizeBefore = 0;
    uint64_t SizeAfter = 0;
    uint64_t PeakSize = 0;    // the largest the memo file gets during the run
    uint64_t Texts = 0;       // runs after the pack: one for each reference
    uint64_t References = 0;  // references leading to runs
    uint64_t Blanked = 0;     // references that led to no run, blanked
    uint64_t MovedAside = 0;  // runs that had to leave the front first
    bool Stopped = false;     // stopped on request between two references:
                              // every reference reads as before, the file
                              // not yet cut; a later pack completes
};

// The plan, worked out without writing: whether the run would pass the
// 2 GiB limit is known before anything changes.
TPackResult PlanPack(TFileSystem& Files, const std::string& TablePath);

// Packs the memo file of the table at TablePath. Raises ERefused with the
// user's message (in Russian, as salvage's), before anything is written,
// for a table it will not pack: read-only, no memo file, a block size of 0,
// a layout it cannot trust, a field type it does not know, records past
// the header's count, or a plan that cannot be carried out.
// When the memo file would pass 2 GiB on the way and AllowLarge is false,
// it stops before anything is written (TooLarge). Progress gets steps done
// and the total.
// Once the plan is known and before the first write, BeforeWrites (when
// given) is called with the open table and the plan: it may ask the user
// and write backups; false ends the run with nothing changed. After it the
// files are read again and the plan made anew: the owner may have changed
// them while the question stood.
// StopRequested (when given) is asked between references; true ends the run
// there, its writes committed, the file not cut (Stopped).
TPackResult PackMemo(TFileSystem& Files, const std::string& TablePath, bool AllowLarge,
                     const std::function<void(int64_t, int64_t)>& Progress = {},
                     const std::function<bool(TDBFLite&, const TPackResult&)>& BeforeWrites = {},
                     const std::function<bool()>& StopRequested = {});
