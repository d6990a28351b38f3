#include "tablebuilder.h"

#include <algorithm>
#include <cstdio>

namespace {

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

}  // namespace

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
