// The one error type of the program. Every failure the user should read is an
// EError carrying the message text exactly as the window shows it.
#pragma once

#include <exception>
#include <string>

class EError : public std::exception {
public:
    explicit EError(std::string Message) : Message_(std::move(Message)) {}
    const char* what() const noexcept override { return Message_.c_str(); }
    const std::string& Message() const noexcept { return Message_; }

private:
    std::string Message_;
};

// A run that will not go on with the table as it is, said before anything
// was written: the table's own state stops it (a layout it cannot trust, a
// field it does not know), not a failure of the program or the disk. Front
// ends tell the user, and the command line exits as for a refusal.
class ERefused : public EError {
public:
    using EError::EError;
};

// What kind of failure the operating system reported, in terms a text-file
// message can be chosen from whichever platform the program runs on.
enum class TIoFailure { NotFound, AccessDenied, Locked, DiskFull, TooManyFiles, Other };

// A failure of the file services themselves (open, read, write): the disk,
// the permissions or a lock, never the content of a file. Callers that must
// not swallow a failing disk tell it apart from errors about the data.
class EStreamError : public EError {
public:
    EStreamError(std::string Message, TIoFailure Failure, int OsError)
        : EError(std::move(Message)), Failure_(Failure), OsError_(OsError)
    {
    }
    TIoFailure Failure() const noexcept { return Failure_; }
    int OsError() const noexcept { return OsError_; }

private:
    TIoFailure Failure_;
    int OsError_;
};
