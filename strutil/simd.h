// What the byte searches of the string routines and the memo text escaping
// use to look at sixteen bytes at once: SSE2, present on every x86-64
// processor, where the compiler targets it; plain loops elsewhere.
#pragma once

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#ifdef _MSC_VER
#include <intrin.h>
#endif
#define TARNWICK_SSE2 1

// The index of the lowest set bit of Mask, which is not 0: the first byte
// a movemask of a comparison found.
inline unsigned LowestSetBit(unsigned Mask)
{
#ifdef _MSC_VER
    unsigned long index;
    _BitScanForward(&index, Mask);
    return static_cast<unsigned>(index);
#else
    return static_cast<unsigned>(__builtin_ctz(Mask));
#endif
}
#endif
