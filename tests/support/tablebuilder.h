// Tables and memo files built byte by byte, for tests that must not depend on
// the code they test to make their input.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TFieldSpec {
    std::string Name;
    char Type = 'C';
    // A width over 255 is stored the Clipper way: its low byte in byte 16,
    // its high byte in byte 17 (where Decimals would go).
    uint16_t Size = 10;
    uint8_t Decimals = 0;
    uint8_t Flags = 0;  // byte 18: system, nullable, binary (the newer layout)
    char Fill = ' ';    // the byte a value is padded with (0 for binary fields)
};

class TMemoBuilder;

struct TTableSpec {
    uint8_t Version = 0xF5;  // FoxPro 2 with memo
    std::vector<TFieldSpec> Fields;
    // Each record: one text per field, padded with spaces (cut) to the width.
    std::vector<std::vector<std::string>> Records;
    bool EndOfFileMark = true;
    // The newer FoxPro layout's 263-byte area after the terminator.
    bool BacklinkArea = false;
    int32_t RecordCountOverride = -1;  // >= 0: this count in the header instead
    uint8_t LanguageDriver = 0;        // header byte 29, the code page mark (0xC9: 1251)
    // >= 0: this record is one byte too long (a byte of SlipByte follows
    // it), so every later record is read a byte early: the classic slip.
    int32_t LongRecord = -1;
    char SlipByte = ' ';
};

// The whole table file.
std::string BuildTable(const TTableSpec& Spec);

// A FoxPro 2 table of just these fields, with no records yet.
TTableSpec TableOf(std::vector<TFieldSpec> Fields);
// One memo field, NOTES, and a record for each of Texts, whose run is added
// to Memo in turn.
TTableSpec NotesTable(TMemoBuilder& Memo, const std::vector<std::string>& Texts);

// The newer (Visual FoxPro) layout: version 0x30, the 263-byte area after
// the terminator. A binary field of it is padded with zero bytes.
TTableSpec VisualFoxProTable(std::vector<TFieldSpec> Fields);
TFieldSpec BinaryField(const std::string& Name, char Type, uint16_t Size, uint8_t Decimals = 0);
// Value as Width little-endian bytes: the value of a binary field.
std::string LeBytes(uint64_t Value, size_t Width);

// Header length and record length the builder gives a table.
uint16_t HeaderSizeOf(const TTableSpec& Spec);
uint16_t RecordSizeOf(const TTableSpec& Spec);

// A memo file in the FPT layout: a 512-byte header, then runs of blocks.
class TMemoBuilder {
public:
    explicit TMemoBuilder(uint16_t BlockSize = 64);
    // Appends a run holding Text (type 1 = text) and returns its block number.
    uint32_t Add(const std::string& Text, uint32_t Type = 1);
    // Appends a run whose block header claims Length bytes while only Text
    // follows it (a damaged length).
    uint32_t AddWithLength(const std::string& Text, uint32_t Length);
    // Lays Bytes over the file from Offset on (a run header inside a text,
    // a damaged type), growing it when needed.
    void Overwrite(size_t Offset, const std::string& Bytes);
    // The header's next free block, when it should not be where the runs end.
    void SetNextBlock(uint32_t Block) { NextOverride_ = static_cast<int64_t>(Block); }
    std::string Bytes() const;
    uint32_t NextBlock() const { return Next_; }
    uint16_t BlockSize() const { return BlockSize_; }

    // The 8 bytes that start a run: type and length, big-endian.
    static std::string RunHeader(uint32_t Type, uint32_t Length);

private:
    uint16_t BlockSize_;
    uint32_t Next_;
    int64_t NextOverride_ = -1;
    std::string Data_;
};

// A text memo reference, right-aligned in a field of Width bytes.
std::string MemoRef(uint32_t Block, int Width = 10);
// A 4-byte binary memo reference (little-endian), as the newer layout keeps it.
std::string BinaryMemoRef(uint32_t Block);

// Numbers in bytes: the table's little-endian, the memo file's big-endian.
void PutLe16(std::string& Bytes, size_t At, uint16_t Value);
void PutLe32(std::string& Bytes, size_t At, uint32_t Value);
void PutBe32(std::string& Bytes, size_t At, uint32_t Value);
uint16_t ReadLe16(const std::string& Bytes, size_t At);
uint32_t ReadLe32(const std::string& Bytes, size_t At);
uint32_t ReadBe32(const std::string& Bytes, size_t At);

// UTF-8 text (the sources' encoding) as Windows-1251 bytes, as Russian
// tables hold it; a character the code page lacks raises invalid_argument.
std::string Cp1251(const std::string& Utf8);
