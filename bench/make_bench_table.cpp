// make_bench_table: writes the benchmark's table, a FoxPro 2 table with its
// FPT memo file (block size 64), the same bytes on every run for a given
// record count.
//
//     make_bench_table TABLE.DBF [RECORDS]      (default 1,000,000 records)
//
// The memo file goes beside the table, the table's extension replaced by
// ".FPT". Fields: CLIENT C(40), TOTAL N(12,2), ODATE D, PAID L, and two memo
// fields, NOTES (a text in most records) and HISTORY (a text in a few).
// Memo texts are cp1251 Cyrillic with some Latin, digits, line breaks, tabs
// and "#" (the bytes Save escapes); most are 50 to 500 bytes long, about
// 0.5% are 10 to 100 KB. Some references are blank, some lead to blank
// texts, some are damaged: not a number, or a block past the end of the
// memo file. At a million records the memo file is about 300 MB.
//
// What the table holds, counted the way `tarnwick-cli check` counts it, goes
// to stdout as "key value" lines for the benchmark script to compare.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tablebuilder.h"

namespace {

constexpr uint32_t BlockSize = 64;
constexpr uint32_t MemoHeaderSize = 512;
constexpr uint64_t Seed = 0x7461726e7769636bULL;
constexpr size_t FlushAt = 8u << 20;

// splitmix64: small, fast, and the same sequence on every compiler (the
// standard distributions are not).
class TRandom {
public:
    explicit TRandom(uint64_t Start) : State_(Start) {}
    uint64_t Next()
    {
        uint64_t z = (State_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    // Uniform in [0, Bound).
    uint32_t Below(uint32_t Bound) { return static_cast<uint32_t>((Next() >> 32) * Bound >> 32); }
    // Uniform in [Low, High].
    uint32_t Between(uint32_t Low, uint32_t High) { return Low + Below(High - Low + 1); }
    // Uniform in [0, 1).
    double Unit() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }

private:
    uint64_t State_;
};

const char* const WordsUtf8[] = {
    "заказ",       "клиент",       "доставка",    "оплата",      "счёт",
    "договор",     "поставка",     "товар",       "склад",       "накладная",
    "претензия",   "возврат",      "скидка",      "звонить",     "заранее",
    "адрес",       "улица",        "дом",         "квартира",    "офис",
    "менеджер",    "бухгалтерия",  "директор",    "подпись",     "печать",
    "получено",    "отправлено",   "частично",    "полностью",   "остаток",
    "рублей",      "копеек",       "срок",        "неделя",      "месяц",
    "январь",      "февраль",      "март",        "апрель",      "май",
    "июнь",        "июль",         "август",      "сентябрь",    "октябрь",
    "ноябрь",      "декабрь",      "согласовано", "перенесено",  "отменено",
    "повторный",   "первый",       "новый",       "старый",      "курьер",
    "самовывоз",   "транспорт",    "груз",        "упаковка",    "коробка",
    "паллета",     "вес",          "объём",       "цена",        "сумма",
    "итого",       "НДС",          "без",         "с",           "по",
    "до",          "после",        "для",         "от",          "и",
    "или",         "не",           "на",          "в",           "к",
    "ООО",         "ЗАО",          "ИП",          "Москва",      "Санкт-Петербург",
    "Новосибирск", "Екатеринбург", "Казань",      "Самара",      "Ростов-на-Дону",
    "Уфа",         "Садовая",      "Лесная",      "Центральная", "Ёлочная",
    "№",           "т.к.",         "см.",         "тел.",
};
const char* const LatinWords[] = {"OK", "invoice", "ref", "Smith & Co", "fax", "e-mail", "PO", "N/A"};

const char* const NamesUtf8[] = {
    "ООО \"Ромашка\"", "ИП Сидоров",      "Петров П.П.",   "ЗАО \"Вектор\"",        "Smith & Co",
    "Иванова А.С.",    "ООО \"Берёзка\"", "Кузнецов И.И.", "АО \"Северный завод\"", "Фёдорова Е.В.",
};

class TTextMaker {
public:
    explicit TTextMaker(TRandom& Random) : Random_(Random)
    {
        for (const char* word : WordsUtf8)
            Words_.push_back(Cp1251(word));
        for (const char* word : LatinWords)
            Words_.push_back(word);
    }

    // A text of exactly Length bytes, never blank.
    void Make(size_t Length, std::string& Text)
    {
        Text.clear();
        bool capital = true;
        while (Text.size() < Length) {
            const uint32_t roll = Random_.Below(1000);
            if (roll < 50) {
                char digits[16];
                std::snprintf(digits, sizeof digits, "%" PRIu32, Random_.Below(100000));
                Text += digits;
            } else {
                const size_t at = Text.size();
                Text += Words_[Random_.Below(static_cast<uint32_t>(Words_.size()))];
                const auto first = static_cast<unsigned char>(Text[at]);
                if (capital && first >= 0xE0)  // cp1251 а..я to А..Я
                    Text[at] = static_cast<char>(first - 0x20);
            }
            capital = false;
            const uint32_t mark = Random_.Below(1000);
            if (mark < 60) {
                Text += ". ";
                capital = true;
            } else if (mark < 130) {
                Text += ", ";
            } else if (mark < 160) {
                Text += ".\r\n";
                capital = true;
            } else if (mark < 164) {
                Text += '\t';
            } else if (mark < 167) {
                Text += " #";
            } else {
                Text += ' ';
            }
        }
        Text.resize(Length);
        if (static_cast<unsigned char>(Text[0]) <= 32)
            Text[0] = 'N';
    }

private:
    TRandom& Random_;
    std::vector<std::string> Words_;
};

// Buffered output to a file, with the file offset of what is written next.
class TOut {
public:
    TOut(const std::string& Path) : Path_(Path)
    {
        File_ = std::fopen(Path.c_str(), "w+b");
        if (!File_)
            Fail("cannot create");
        Buffer_.reserve(FlushAt + (1u << 20));
    }
    ~TOut()
    {
        if (File_)
            std::fclose(File_);
    }
    TOut(const TOut&) = delete;
    TOut& operator=(const TOut&) = delete;

    void Put(const void* Data, size_t Count)
    {
        Buffer_.append(static_cast<const char*>(Data), Count);
        Offset_ += Count;
        if (Buffer_.size() >= FlushAt)
            Flush();
    }
    void Put(const std::string& Data) { Put(Data.data(), Data.size()); }
    void Zeros(size_t Count) { Buffer_.append(Count, '\0'), Offset_ += Count; }
    uint64_t Offset() const { return Offset_; }

    // Overwrites bytes already written.
    void Patch(uint64_t At, const void* Data, size_t Count)
    {
        Flush();
        if (fseeko(File_, static_cast<off_t>(At), SEEK_SET) != 0 || std::fwrite(Data, 1, Count, File_) != Count)
            Fail("cannot write");
        if (fseeko(File_, 0, SEEK_END) != 0)
            Fail("cannot seek");
    }
    void Close()
    {
        Flush();
        if (std::fclose(File_) != 0) {
            File_ = nullptr;
            Fail("cannot write");
        }
        File_ = nullptr;
    }

private:
    void Flush()
    {
        if (!Buffer_.empty() && std::fwrite(Buffer_.data(), 1, Buffer_.size(), File_) != Buffer_.size())
            Fail("cannot write");
        Buffer_.clear();
    }
    [[noreturn]] void Fail(const char* What)
    {
        std::fprintf(stderr, "make_bench_table: %s %s: %s\n", What, Path_.c_str(), std::strerror(errno));
        std::exit(1);
    }

    std::string Path_;
    FILE* File_ = nullptr;
    std::string Buffer_;
    uint64_t Offset_ = 0;
};

void PutBe32(unsigned char* p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}
void PutLe(unsigned char* p, uint32_t v, int Bytes)
{
    for (int i = 0; i < Bytes; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

struct TField {
    const char* Name;
    char Type;
    uint8_t Size;
    uint8_t Decimals;
};
const TField Fields[] = {
    {"CLIENT", 'C', 40, 0}, {"TOTAL", 'N', 12, 2}, {"ODATE", 'D', 8, 0},
    {"PAID", 'L', 1, 0},    {"NOTES", 'M', 10, 0}, {"HISTORY", 'M', 10, 0},
};
constexpr int FieldTotal = sizeof Fields / sizeof Fields[0];
constexpr int MemoFields = 2;

// What one memo reference of a record holds. Shares per 10,000 records.
enum TRefKind { RefText, RefEmpty, RefBlankText, RefNotANumber, RefPastEnd, RefKinds };
struct TMix {
    uint32_t Share[RefKinds];
};
const TMix Mixes[MemoFields] = {
    {{8200, 1400, 200, 100, 100}},  // NOTES
    {{1500, 8350, 100, 25, 25}},    // HISTORY
};

struct TCounts {
    uint64_t Kind[RefKinds] = {};
    uint64_t Large = 0;
};

// Lengths of ordinary texts: 50 to 500 bytes, short ones more often (the
// logarithm of the length is uniform), now and then a one-liner of 5 to 49.
size_t SmallLength(TRandom& Random)
{
    if (Random.Below(100) < 3)
        return Random.Between(5, 49);
    const double length = 50.0 * std::pow(10.0, Random.Unit());
    return std::min<size_t>(500, static_cast<size_t>(length));
}

// Long texts: 10 to 100 KB, most of them near the short end.
size_t LargeLength(TRandom& Random)
{
    if (Random.Below(100) < 90)
        return Random.Between(10 * 1024, 14 * 1024);
    return Random.Between(14 * 1024, 100 * 1024);
}

const char* const NotANumber[] = {"  garbage!", "##########", "12 34 56  ", "       -17",
                                  "0x12zz    ", "  12.5    ", "??????????"};
const char* const BlankTexts[] = {"   ", "\r\n\r\n", " \t \r\n ", "", "                                "};

std::string MemoPathFor(const std::string& Table)
{
    const size_t slash = Table.find_last_of('/');
    const size_t dot = Table.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return Table + ".FPT";
    return Table.substr(0, dot) + ".FPT";
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3 || argv[1][0] == '-') {
        std::fprintf(stderr, "usage: make_bench_table TABLE.DBF [RECORDS]\n");
        return 2;
    }
    const std::string tablePath = argv[1];
    long records = 1000000;
    if (argc == 3) {
        char* end = nullptr;
        records = std::strtol(argv[2], &end, 10);
        if (*end != '\0' || records < 1 || records > 50000000) {
            std::fprintf(stderr, "make_bench_table: RECORDS must be 1 to 50,000,000\n");
            return 2;
        }
    }

    TRandom random(Seed);
    TTextMaker maker(random);
    std::vector<std::string> names;
    for (const char* name : NamesUtf8)
        names.push_back(Cp1251(name));

    // Table header and field descriptors.
    const uint16_t headerSize = static_cast<uint16_t>(32 + 32 * FieldTotal + 1);
    uint16_t recordSize = 1;
    for (const TField& f : Fields)
        recordSize = static_cast<uint16_t>(recordSize + f.Size);
    TOut table(tablePath);
    {
        unsigned char header[32] = {0xF5, 124, 6, 1};
        PutLe(header + 4, static_cast<uint32_t>(records), 4);
        PutLe(header + 8, headerSize, 2);
        PutLe(header + 10, recordSize, 2);
        table.Put(header, sizeof header);
        for (const TField& f : Fields) {
            unsigned char d[32] = {};
            std::memcpy(d, f.Name, std::strlen(f.Name));
            d[11] = static_cast<unsigned char>(f.Type);
            d[16] = f.Size;
            d[17] = f.Decimals;
            table.Put(d, sizeof d);
        }
        table.Put("\r", 1);
    }

    const std::string memoPath = MemoPathFor(tablePath);
    TOut memo(memoPath);
    memo.Zeros(MemoHeaderSize);

    TCounts counts[MemoFields];
    std::vector<uint64_t> pastEnd;  // table offsets of references to patch
    uint64_t longest = 0;
    std::string text;
    std::string row;
    const int memoStart = FieldTotal - MemoFields;

    for (long r = 0; r < records; ++r) {
        row.assign(1, ' ');
        char cell[64];
        const std::string& name = names[random.Below(static_cast<uint32_t>(names.size()))];
        std::snprintf(cell, sizeof cell, " %" PRIu32, random.Below(1000));
        std::string client = name + cell;
        client.resize(40, ' ');
        row += client;
        std::snprintf(cell, sizeof cell, "%12.2f", random.Below(100000000) / 100.0);
        row += cell;
        std::snprintf(cell, sizeof cell, "%04" PRIu32 "%02" PRIu32 "%02" PRIu32, random.Between(1995, 2012),
                      random.Between(1, 12), random.Between(1, 28));
        row += cell;
        row += random.Below(3) ? 'T' : 'F';

        for (int m = 0; m < MemoFields; ++m) {
            uint32_t roll = random.Below(10000);
            int kind = 0;
            while (kind < RefKinds - 1 && roll >= Mixes[m].Share[kind])
                roll -= Mixes[m].Share[kind++];
            ++counts[m].Kind[kind];
            char ref[24];
            switch (kind) {
            case RefText:
            case RefBlankText: {
                if (kind == RefText) {
                    const bool large = random.Below(1000) < 5;
                    counts[m].Large += large;
                    maker.Make(large ? LargeLength(random) : SmallLength(random), text);
                } else {
                    text = BlankTexts[random.Below(sizeof BlankTexts / sizeof BlankTexts[0])];
                }
                longest = std::max<uint64_t>(longest, text.size());
                const uint64_t block = memo.Offset() / BlockSize;
                unsigned char blockHeader[8];
                PutBe32(blockHeader, 1);
                PutBe32(blockHeader + 4, static_cast<uint32_t>(text.size()));
                memo.Put(blockHeader, sizeof blockHeader);
                memo.Put(text);
                memo.Zeros(static_cast<size_t>(-memo.Offset() % BlockSize));
                std::snprintf(ref, sizeof ref, "%10" PRIu64, block);
                row += ref;
                break;
            }
            case RefEmpty: row.append(10, ' '); break;
            case RefNotANumber: row += NotANumber[random.Below(sizeof NotANumber / sizeof NotANumber[0])]; break;
            default:
                // Patched once the memo file's length is known.
                pastEnd.push_back(table.Offset() + row.size());
                row.append(10, ' ');
                break;
            }
        }
        table.Put(row);
    }
    table.Put("\x1a", 1);

    // References past the end: far enough past it that the texts Rewrite and
    // Load append do not reach them, and still a 32-bit block number.
    const uint64_t blocks = memo.Offset() / BlockSize;
    const uint64_t farBlock = std::min<uint64_t>(blocks * 4 + 1000, 0x7fffffffULL - 2000000);
    for (uint64_t at : pastEnd) {
        char ref[24];
        std::snprintf(ref, sizeof ref, "%10" PRIu64, farBlock + random.Below(1000000));
        table.Patch(at, ref, 10);
    }

    unsigned char memoHeader[8] = {};
    PutBe32(memoHeader, static_cast<uint32_t>(blocks));
    memoHeader[6] = static_cast<unsigned char>(BlockSize >> 8);
    memoHeader[7] = static_cast<unsigned char>(BlockSize);
    memo.Patch(0, memoHeader, sizeof memoHeader);
    const uint64_t memoBytes = memo.Offset();
    const uint64_t tableBytes = table.Offset();
    memo.Close();
    table.Close();

    std::printf("records %ld\n", records);
    std::printf("table_bytes %" PRIu64 "\n", tableBytes);
    std::printf("memo_bytes %" PRIu64 "\n", memoBytes);
    std::printf("longest_text %" PRIu64 "\n", longest);
    static const char* const KindNames[RefKinds] = {"text", "empty", "blank", "not_a_number", "past_end"};
    for (int m = 0; m < MemoFields; ++m) {
        const char* field = Fields[memoStart + m].Name;
        for (int k = 0; k < RefKinds; ++k)
            std::printf("%s.%s %" PRIu64 "\n", field, KindNames[k], counts[m].Kind[k]);
        std::printf("%s.large %" PRIu64 "\n", field, counts[m].Large);
    }
    return 0;
}
