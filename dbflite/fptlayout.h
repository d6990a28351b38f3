// The layout of the memo file and the byte orders of both files, as every
// part of the program that reads or moves memo runs takes them.
#pragma once

#include <cstddef>
#include <cstdint>

// The standard memo header fills the first 512 bytes whatever the block size.
constexpr uint64_t MemoHeaderArea = 512;
// Every run starts with 4 bytes of block type (1 = text) and 4 of length.
constexpr size_t MemoBlockHeaderSize = 8;
// How far past the end of the memo file its header's next free block may lie
// and still be where new texts go; further is damaged.
constexpr uint64_t MemoGapLimit = 16u << 20;

// A block that starts a run: past the memo header, its block type below
// 65,536 and not 1000 or 1001, which mark blocks a Clipper or Harbour driver
// freed. Any other first four bytes lie in the middle of some text, whose
// bytes would be taken for a length of up to 4 GiB.
constexpr bool IsRunStart(uint64_t Offset, uint32_t Type)
{
    return Offset >= MemoHeaderArea && Type < 65536 && Type != 1000 && Type != 1001;
}

// Numbers in bytes: the table's little-endian, the memo file's big-endian.
inline uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t le32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
inline uint64_t le64(const unsigned char* p) { return le32(p) | static_cast<uint64_t>(le32(p + 4)) << 32; }
inline uint16_t be16(const unsigned char* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t be32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           static_cast<uint32_t>(p[3]);
}
inline uint32_t be32(const char* p) { return be32(reinterpret_cast<const unsigned char*>(p)); }
inline void putLe32(unsigned char* p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}
inline void putLe64(unsigned char* p, uint64_t v)
{
    putLe32(p, static_cast<uint32_t>(v));
    putLe32(p + 4, static_cast<uint32_t>(v >> 32));
}
inline void putBe32(unsigned char* p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}
