// Load of an arbitrary text file into a small, sound table. The first byte
// of the input picks the table; the rest is the text file. A run may refuse
// the file, but it must never crash, and the table it leaves must be whole:
// its record count covering exactly the records in the file, every memo
// reference leading to a whole text or to none.
#include <algorithm>

#include "dbflite.h"
#include "fakeport.h"
#include "fuzzsupport.h"
#include "fmmain.h"
#include "tablebuilder.h"

namespace {

const std::string TablePath = "/data/T.DBF";
const std::string MemoPath = "/data/T.FPT";
const std::string TextPath = "/data/IN.TXT";

struct TVariant {
    TTableSpec Layout;
    std::string Memo;  // empty: no memo file
};

// Text references, binary ones, other block sizes, no memo file, no records.
TVariant MakeVariant(uint8_t Choice)
{
    TVariant v;
    TMemoBuilder memo(Choice & 4 ? 512 : 64);
    const uint32_t a = memo.Add("first text\r\nsecond line");
    const uint32_t b = memo.Add(std::string(300, 'x'));
    if (Choice & 1) {
        v.Layout.Version = 0x30;
        v.Layout.BacklinkArea = true;
        v.Layout.Fields = {{"ID", 'N', 5}, {"NAME", 'C', 10}, {"NOTES", 'M', 4}, {"DAY", 'D', 8}, {"OK", 'L', 1}};
        v.Layout.Records = {{"1", "one", BinaryMemoRef(a), "20240131", "T"}, {"2", "two", BinaryMemoRef(b), "", "F"}};
    } else {
        v.Layout.Fields = {{"ID", 'N', 5, 0}, {"NAME", 'C', 10},    {"NOTES", 'M', 10}, {"DAY", 'D', 8},
                           {"OK", 'L', 1},    {"PRICE", 'N', 8, 2}, {"MORE", 'M', 10}};
        v.Layout.Records = {{"1", "one", MemoRef(a), "20240131", "T", "   12.50", MemoRef(b)},
                            {"2", "two", MemoRef(b), "", "F", "", ""},
                            {"3", "three", "", "19991231", "?", "-1", MemoRef(a)}};
    }
    if (Choice & 2)
        v.Layout.Records.clear();
    if (!(Choice & 8))
        v.Memo = memo.Bytes();
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    if (Size == 0)
        return 0;
    const TVariant variant = MakeVariant(Data[0]);
    TMemoryFileSystem memory;
    TCappedFileSystem disk(memory);
    memory.SetFile(TablePath, BuildTable(variant.Layout));
    if (!variant.Memo.empty())
        memory.SetFile(MemoPath, variant.Memo);
    memory.SetFile(TextPath, std::string(reinterpret_cast<const char*>(Data) + 1, Size - 1));

    TFakePort port;
    port.FileName = TablePath;
    port.DialogAnswers = {TextPath};
    TfmMain form(port, disk);
    form.Run(&TfmMain::btLoadClick);
    const bool loaded = port.Caption == "MEMO поля загружены.";
    FUZZ_CHECK(port.Cursor == TCursor::Default);
    FUZZ_CHECK(!loaded || port.Errors().empty());

    const std::string table = memory.File(TablePath);
    const uint32_t count = ReadLe32(table, 4);
    const size_t records = HeaderSizeOf(variant.Layout) + size_t{count} * RecordSizeOf(variant.Layout);
    FUZZ_CHECK(count >= variant.Layout.Records.size());
    FUZZ_CHECK(loaded ? records + 1 == table.size() : records + 1 <= table.size());

    TDBFLite check(memory);
    check.OpenTable(TablePath, false);  // throws when the run left the memo file held
    if (check.HasMemoFile())
        for (int32_t r = 0; r < check.RecordCount(); ++r)
            for (int f = 0; f < check.FieldCount(); ++f)
                if (check.Fields()[static_cast<size_t>(f)].FieldType == 'M') {
                    const TMemoRefState state = check.InspectMemo(r, f).State;
                    FUZZ_CHECK(state == TMemoRefState::Empty || state == TMemoRefState::Text);
                }
    return 0;
}
