// Line ends for a Windows console in binary mode: each LF preceded by
// exactly one CR. Texts that already end their lines with CR LF (the help
// file, the memo box) keep them, lines ended with LF alone get their CR, and
// a lone CR (the progress line drawn over itself) stays as it is. Text mode
// would instead turn every CR LF into CR CR LF.
#pragma once

#include <cstddef>
#include <string>

class TCrLfFilter {
public:
    // Appends Data, Count bytes written after all earlier ones, to Out.
    void Put(const char* Data, size_t Count, std::string& Out)
    {
        for (size_t i = 0; i < Count; ++i) {
            if (Data[i] == '\n' && !LastWasCr_)
                Out += '\r';
            Out += Data[i];
            LastWasCr_ = Data[i] == '\r';
        }
    }

private:
    bool LastWasCr_ = false;
};
