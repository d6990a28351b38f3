// The copy into a shared mapping both platforms' mappings make.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(_MSC_VER)
#include <intrin.h>
#endif

// Copies Count bytes into a shared mapping so that the death of the process
// (killed, or ended from the task manager) cannot leave half of them stored
// in the file: a reference cut in two leads to another record's text.
//
// A copy's first store into a page the system has not yet made writable
// traps into the kernel, and a kill pending by then ends the process right
// there, after the bytes stored in the page before. So every page the copy
// reaches is made writable first, last page first, by an atomic or of zero
// into one of the copy's own bytes in it: that changes no byte, whatever
// another process stores at the same moment. The copy that follows runs
// without a trap. Pages are taken as 4,096 bytes, a divisor of every page
// size in use, so no page of the copy is missed.
inline void StoreIntoMapping(char* To, const void* From, size_t Count)
{
    if (Count == 0)
        return;
    constexpr uintptr_t Page = 4096;
    const uintptr_t first = reinterpret_cast<uintptr_t>(To);
    for (uintptr_t page = (first + Count - 1) & ~(Page - 1);; page -= Page) {
        char* at = page > first ? reinterpret_cast<char*>(page) : To;
#if defined(_MSC_VER)
        _InterlockedOr8(reinterpret_cast<volatile char*>(at), 0);
#else
        __atomic_fetch_or(reinterpret_cast<unsigned char*>(at), static_cast<unsigned char>(0), __ATOMIC_RELAXED);
#endif
        if (page <= first)
            break;
    }
    std::memcpy(To, From, Count);
}
