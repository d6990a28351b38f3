#include "tablebuilder.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

void PutLe16(std::string& s, size_t at, uint16_t v)
{
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>(v >> 8);
}

void PutLe32(std::string& s, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        s[at + static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

void PutBe32(std::string& s, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        s[at + static_cast<size_t>(i)] = static_cast<char>((v >> (24 - 8 * i)) & 0xFF);
}

uint16_t HeaderSizeOf(const TTableSpec& Spec)
{
    return static_cast<uint16_t>(32 + 32 * Spec.Fields.size() + 1 + (Spec.BacklinkArea ? 263 : 0));
}

uint16_t RecordSizeOf(const TTableSpec& Spec)
{
    size_t size = 1;
    for (const auto& f : Spec.Fields)
        size += f.Size;
    return static_cast<uint16_t>(size);
}

std::string BuildTable(const TTableSpec& Spec)
{
    const uint16_t headerSize = HeaderSizeOf(Spec);
    const uint16_t recordSize = RecordSizeOf(Spec);
    std::string out(headerSize, '\0');
    out[0] = static_cast<char>(Spec.Version);
    out[1] = 126;  // 2026
    out[2] = 12;
    out[3] = 7;
    const uint32_t count = Spec.RecordCountOverride >= 0 ? static_cast<uint32_t>(Spec.RecordCountOverride)
                                                         : static_cast<uint32_t>(Spec.Records.size());
    PutLe32(out, 4, count);
    PutLe16(out, 8, headerSize);
    PutLe16(out, 10, recordSize);
    out[29] = static_cast<char>(Spec.LanguageDriver);
    size_t at = 32;
    uint32_t offset = 1;
    for (const auto& f : Spec.Fields) {
        std::copy_n(f.Name.begin(), std::min<size_t>(f.Name.size(), 11), out.begin() + static_cast<long>(at));
        out[at + 11] = f.Type;
        PutLe32(out, at + 12, offset);
        out[at + 16] = static_cast<char>(f.Size & 0xFF);
        out[at + 17] = static_cast<char>(f.Size > 255 ? f.Size >> 8 : f.Decimals);
        out[at + 18] = static_cast<char>(f.Flags);
        offset += f.Size;
        at += 32;
    }
    out[at] = 0x0D;
    for (size_t r = 0; r < Spec.Records.size(); ++r) {
        const auto& record = Spec.Records[r];
        std::string bytes(recordSize, ' ');
        size_t pos = 1;
        for (size_t i = 0; i < Spec.Fields.size(); ++i) {
            const std::string& value = i < record.size() ? record[i] : std::string();
            std::fill_n(bytes.begin() + static_cast<long>(pos), Spec.Fields[i].Size, Spec.Fields[i].Fill);
            std::copy_n(value.begin(), std::min<size_t>(value.size(), Spec.Fields[i].Size),
                        bytes.begin() + static_cast<long>(pos));
            pos += Spec.Fields[i].Size;
        }
        out += bytes;
        if (static_cast<int32_t>(r) == Spec.LongRecord)
            out += Spec.SlipByte;
    }
    if (Spec.EndOfFileMark)
        out += '\x1A';
    return out;
}

TMemoBuilder::TMemoBuilder(uint16_t BlockSize) : BlockSize_(BlockSize), Data_(512, '\0')
{
    Next_ = static_cast<uint32_t>((512 + BlockSize - 1) / BlockSize);
    Data_.resize(static_cast<size_t>(Next_) * BlockSize, '\0');
}

uint32_t TMemoBuilder::AddWithLength(const std::string& Text, uint32_t Length)
{
    const uint32_t block = Next_;
    std::string run(8, '\0');
    PutBe32(run, 0, 1);
    PutBe32(run, 4, Length);
    run += Text;
    const size_t total = (run.size() + BlockSize_ - 1) / BlockSize_ * BlockSize_;
    run.resize(total, '\0');
    Data_ += run;
    Next_ += static_cast<uint32_t>(total / BlockSize_);
    return block;
}

uint32_t TMemoBuilder::Add(const std::string& Text, uint32_t Type)
{
    const uint32_t block = AddWithLength(Text, static_cast<uint32_t>(Text.size()));
    PutBe32(Data_, static_cast<size_t>(block) * BlockSize_, Type);
    return block;
}

void TMemoBuilder::Overwrite(size_t Offset, const std::string& Bytes)
{
    if (Data_.size() < Offset + Bytes.size())
        Data_.resize(Offset + Bytes.size(), '\0');
    Data_.replace(Offset, Bytes.size(), Bytes);
}

std::string TMemoBuilder::RunHeader(uint32_t Type, uint32_t Length)
{
    std::string header(8, '\0');
    PutBe32(header, 0, Type);
    PutBe32(header, 4, Length);
    return header;
}

std::string TMemoBuilder::Bytes() const
{
    std::string out = Data_;
    PutBe32(out, 0, NextOverride_ >= 0 ? static_cast<uint32_t>(NextOverride_) : Next_);
    out[6] = static_cast<char>(BlockSize_ >> 8);
    out[7] = static_cast<char>(BlockSize_ & 0xFF);
    return out;
}

std::string MemoRef(uint32_t Block, int Width)
{
    char text[32];
    std::snprintf(text, sizeof text, "%*u", Width, Block);
    return text;
}

std::string BinaryMemoRef(uint32_t Block)
{
    std::string s(4, '\0');
    PutLe32(s, 0, Block);
    return s;
}

uint16_t ReadLe16(const std::string& Bytes, size_t At)
{
    return static_cast<uint16_t>(static_cast<unsigned char>(Bytes[At]) | static_cast<unsigned char>(Bytes[At + 1])
                                                                             << 8);
}

uint32_t ReadLe32(const std::string& Bytes, size_t At)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | static_cast<unsigned char>(Bytes[At + static_cast<size_t>(i)]);
    return v;
}

uint32_t ReadBe32(const std::string& Bytes, size_t At)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v = v << 8 | static_cast<unsigned char>(Bytes[At + static_cast<size_t>(i)]);
    return v;
}

std::string Cp1251(const std::string& Utf8)
{
    // The code points of bytes 0x80 to 0xFF in Windows-1251 (0xFFFD: none).
    static const uint16_t Upper[128] = {
        0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039, 0x040A,
        0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0xFFFD, 0x2122,
        0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6,
        0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456,
        0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457, 0x0410,
        0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, 0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D,
        0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A,
        0x042B, 0x042C, 0x042D, 0x042E, 0x042F, 0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
        0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444,
        0x0445, 0x0446, 0x0447, 0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
    };
    std::string out;
    for (size_t i = 0; i < Utf8.size();) {
        const unsigned char c = static_cast<unsigned char>(Utf8[i]);
        const size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        unsigned code = length == 1 ? c : c & (0x3Fu >> (length - 1));
        for (size_t k = 1; k < length && i + k < Utf8.size(); ++k)
            code = code << 6 | (static_cast<unsigned char>(Utf8[i + k]) & 0x3Fu);
        i += length;
        if (code < 0x80) {
            out += static_cast<char>(code);
            continue;
        }
        const uint16_t* found = std::find(Upper, Upper + 128, code);
        if (found == Upper + 128 || code == 0xFFFD)
            throw std::invalid_argument("no cp1251 byte for U+" + std::to_string(code));
        out += static_cast<char>(0x80 + (found - Upper));
    }
    return out;
}

TTableSpec TableOf(std::vector<TFieldSpec> Fields)
{
    TTableSpec spec;
    spec.Fields = std::move(Fields);
    return spec;
}

TTableSpec NotesTable(TMemoBuilder& Memo, const std::vector<std::string>& Texts)
{
    TTableSpec spec = TableOf({{"NOTES", 'M', 10}});
    for (const std::string& text : Texts)
        spec.Records.push_back({MemoRef(Memo.Add(text))});
    return spec;
}

TTableSpec VisualFoxProTable(std::vector<TFieldSpec> Fields)
{
    TTableSpec spec = TableOf(std::move(Fields));
    spec.Version = 0x30;
    spec.BacklinkArea = true;
    return spec;
}

TFieldSpec BinaryField(const std::string& Name, char Type, uint16_t Size, uint8_t Decimals)
{
    return {Name, Type, Size, Decimals, 0, '\0'};
}

std::string LeBytes(uint64_t Value, size_t Width)
{
    std::string bytes(Width, '\0');
    for (size_t i = 0; i < Width; ++i)
        bytes[i] = static_cast<char>(Value >> (8 * i));
    return bytes;
}
