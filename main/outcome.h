// What a handler's run came to. The window needs nothing more (its caption
// and memo box have said it); the command line turns it into its exit
// status. Front ends decide by the kind, never by the words shown.
#pragma once

#include <string>

enum class TOutcomeKind {
    Done,       // the operation ran to its end
    Stopped,    // a message in the caption ended it before anything was written
    Refused,    // its input was refused, in the memo box, before anything was written
    Cancelled,  // the user cancelled a dialog or the confirmation
    Failed,     // an error ended it
};

struct TOutcome {
    TOutcomeKind Kind = TOutcomeKind::Done;
    std::string Message;  // the caption, memo box text or error shown
};

// The message as the default error display shows it: with a full stop added
// when its last byte sorts after ".".
std::string ErrorDisplayText(const std::string& Message);

// Opens the table at Path for writing. A table the system refuses to open so
// (a read-only file, a CD, a read-only share) raises ERefused with the
// message that says so: the run is refused, nothing written.
class TDBFLite;
void OpenTableForChanges(TDBFLite& Table, const std::string& Path);
