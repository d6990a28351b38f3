// What the table layer's files share of the table file's layout: its
// header, the field types and their blanks. Private to dbflite/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "dbflite.h"

namespace DbfLayout {

// Table header: byte 0 version, 1..3 date of last update (YY MM DD),
// 4..7 record count (LE), 8..9 header length (LE), 10..11 record length (LE).
constexpr size_t TableHeaderSize = 32;
constexpr uint64_t RecordCountOffset = 4;
constexpr size_t LanguageDriverOffset = 29;  // the code page mark
// A header of n descriptors is 32 + 32 n + 1 bytes: the 32-byte header, the
// descriptors and the terminator. What the header length leaves after those
// 33 bytes, in whole descriptors, is the room for descriptors.
constexpr int HeaderWithoutDescriptors = 33;
constexpr size_t DescriptorSize = 32;
constexpr size_t DescriptorNameSize = 11;
constexpr char HeaderTerminator = 0x0D;
constexpr char EndOfFile = 0x1A;

// Memo header: 0..3 next free block (BE), 6..7 block size (BE). The rest of
// the standard 512-byte header is left alone. Opening reads its first 31
// bytes, the fixed fields FoxPro's header holds before its unused area: a
// memo file shorter than that still opens, its missing bytes read as zero.
constexpr size_t MemoHeaderRead = 31;
// The part of the memo header that describes the rest of the file.
constexpr size_t MemoHeaderFields = 8;

// The newer FoxPro layout keeps a memo reference as a 4-byte binary number.
constexpr uint8_t BinaryMemoRefSize = 4;
// Fields up to this width are copied through a buffer on the stack; only a
// long character field is wider.
constexpr size_t ShortField = 256;

// Binary values of the newer FoxPro layout are 8 bytes (I excepted, 4).
constexpr size_t BinaryValueSize = 8;

inline std::string Quoted(const std::string& Text) { return "\"" + Text + "\""; }

inline bool IsBinaryValueField(const TFieldDesc& Field)
{
    switch (Field.FieldType) {
    case 'I': return Field.Size == 4;
    case 'B':
    case 'Y':
    case 'T': return Field.Size == 8;
    default: return false;
    }
}

// A field whose blank is zero bytes rather than spaces.
inline bool IsBinaryField(const TFieldDesc& Field)
{
    if (IsBinaryValueField(Field))
        return true;
    switch (Field.FieldType) {
    case '0':  // _NullFlags
    case 'Q':  // varbinary
    case '@':  // timestamp (dBASE 7)
    case '+':  // autoincrement (dBASE 7)
    case 'O':  // double (dBASE 7)
        return true;
    case 'M':
    case 'G':
    case 'P':
    case 'W':
    case 'B':  // a binary memo reference in the newer layout
        return Field.Size == BinaryMemoRefSize;
    default: return false;
    }
}

// The fields whose value is a text, written back as it is.
inline bool IsTextField(const TFieldDesc& Field)
{
    return std::strchr("CNFDLM", Field.FieldType) != nullptr && Field.FieldType != 0;
}

}  // namespace DbfLayout
