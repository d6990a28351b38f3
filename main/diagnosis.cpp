#include "diagnosis.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iomanip>
#include <utility>

#include <nlohmann/json.hpp>

#include "codepage.h"
#include "fptlayout.h"
#include "strutil.h"
#include "repairtexts.h"

namespace {

using TJson = nlohmann::ordered_json;

constexpr unsigned char EndOfFileMark = 0x1A;

std::string Str(uint64_t V) { return std::to_string(V); }

// A path as UTF-8: as it is when it already is (the command line gives
// UTF-8), else as a name.
std::string PathAsUtf8(const std::string& Path, const TCodePage* CodePage)
{
    return IsUtf8(Path) ? Path : NameAsUtf8(Path, CodePage);
}

// One line of JSON, whatever the text inside holds: what is not UTF-8 is
// replaced rather than written out broken.
void PrintJsonLine(const TJson& Object, std::ostream& Out)
{
    Out << Object.dump(-1, ' ', false, TJson::error_handler_t::replace) << "\n";
}

const char* EofName(TEndOfFileByte E)
{
    switch (E) {
    case TEndOfFileByte::Present: return "present";
    case TEndOfFileByte::Missing: return "missing";
    case TEndOfFileByte::Other: return "other";
    case TEndOfFileByte::NotChecked: break;
    }
    return "not_checked";
}

const char* NextFreeName(TNextFreeState S)
{
    switch (S) {
    case TNextFreeState::Inside: return "inside";
    case TNextFreeState::PastEnd: return "past_end";
    case TNextFreeState::AtEnd: break;
    }
    return "at_end";
}

}  // namespace

TFullDiagnosis DiagnoseFully(TDBFLite& Table, const std::vector<int>& Fields, const TProgress& Progress,
                             TFileSystem& Files)
{
    TFullDiagnosis d;
    TMemoMap map(Table, Files);
    d.Fields = DiagnoseTable(Table, Fields, Progress, &map);
    map.Scan(Progress);
    d.Map = map.Findings();

    TTableFileFindings& f = d.File;
    // The table file as it lies, through a stream of its own (the table is
    // open read-only, shared).
    const std::unique_ptr<TFileStream> file = Files.Open(Table.FileName(), TFileAccess::Read, TFileShare::DenyNone);
    f.FileSize = file->Size();
    f.HeaderRecords = static_cast<uint32_t>(Table.RecordCount());
    f.RecordSize = Table.RecordSize();
    f.RecordsEnd = Table.HeaderSize() + uint64_t{f.HeaderRecords} * Table.RecordSize();
    f.FieldBytes = 1;
    for (const TFieldDesc& field : Table.Fields())
        f.FieldBytes += field.Size;
    if (f.FileSize == f.RecordsEnd) {
        f.EndOfFile = TEndOfFileByte::Missing;
    } else if (f.FileSize == f.RecordsEnd + 1) {
        file->ReadAt(f.RecordsEnd, &f.EndByte, 1);
        f.EndOfFile = f.EndByte == EndOfFileMark ? TEndOfFileByte::Present : TEndOfFileByte::Other;
    }

    if (d.Fields.HasMemoFile && d.Fields.MemoBlockSize > 0) {
        const uint64_t next = uint64_t{d.Fields.MemoNextBlock} * d.Fields.MemoBlockSize;
        const uint64_t size = d.Fields.MemoFileSize;
        // The last run need not fill its last block: a next free block up
        // to a block past the end is where it belongs.
        if (next < size) {
            d.NextFree = TNextFreeState::Inside;
            d.NextFreeDistance = size - next;
        } else if (next >= size + d.Fields.MemoBlockSize) {
            d.NextFree = TNextFreeState::PastEnd;
            d.NextFreeDistance = next - size;
        }
    }
    return d;
}

bool TFinding::operator==(const TFinding& O) const
{
    return std::string(Kind) == O.Kind && Count == O.Count && Bytes == O.Bytes &&
           (Mend == nullptr ? O.Mend == nullptr : O.Mend != nullptr && std::string(Mend) == O.Mend);
}

namespace {

uint64_t FieldSum(const TTableDiagnosis& T, long long TFieldDiagnosis::*Count)
{
    uint64_t sum = 0;
    for (const TFieldDiagnosis& f : T.Fields)
        sum += static_cast<uint64_t>(f.*Count);
    return sum;
}

}  // namespace

std::vector<TFinding> TFullDiagnosis::Damage() const
{
    // The map counts every memo field, the field counts only those asked
    // for: the larger of the two is what a rewrite of all of them meets.
    const uint64_t notAStart = std::max<uint64_t>(FieldSum(Fields, &TFieldDiagnosis::NotAStart), Map.NotRunStart);
    const bool recordsShort = File.FileSize < File.RecordsEnd;
    // Bytes past the counted records (more than the end-of-file byte) are
    // records the count leaves out: the owner's next append writes over
    // them.
    const bool recordsExtra = File.FileSize > File.RecordsEnd + 1;
    const uint64_t shortBy = recordsShort ? File.RecordsEnd - File.FileSize : 0;
    const uint64_t extraBy = recordsExtra ? File.FileSize - File.RecordsEnd : 0;
    // A rewrite copies every readable text to fresh blocks after the end of
    // the file and the next free block, and blanks the references that
    // read nothing: every reference then leads to a run of its own, below
    // a next free block at the file's end.
    const TFinding all[] = {
        {"not_a_number", FieldSum(Fields, &TFieldDiagnosis::NotANumber), -1, "rewrite"},
        {"past_end", FieldSum(Fields, &TFieldDiagnosis::PastEnd), -1, "rewrite"},
        {"runs_past_end", FieldSum(Fields, &TFieldDiagnosis::RunsPastEnd), -1, "rewrite"},
        {"not_run_start", notAStart, -1, "rewrite"},
        {"cross_linked", Map.CrossLinkedReferences, -1, "rewrite"},
        {"overlapping", Map.OverlappingRuns, -1, "rewrite"},
        {"past_next_free", Map.PastNextFree, -1, "rewrite"},
        {"next_free_block", NextFree == TNextFreeState::Inside ? 1u : 0u, static_cast<int64_t>(NextFreeDistance),
         "rewrite"},
        {"records_short", recordsShort ? 1u : 0u, static_cast<int64_t>(shortBy), nullptr},
        {"records_extra", recordsExtra ? 1u : 0u, static_cast<int64_t>(extraBy), nullptr},
        {"record_size", File.FieldBytes != File.RecordSize ? 1u : 0u, -1, nullptr},
        {"block_size", Fields.HasMemoFile && Fields.MemoBlockSize == 0 ? 1u : 0u, -1, nullptr},
    };
    std::vector<TFinding> found;
    for (const TFinding& f : all)
        if (f.Count > 0)
            found.push_back(f);
    return found;
}

std::vector<TFinding> TFullDiagnosis::Notes() const
{
    const bool endByte = File.EndOfFile == TEndOfFileByte::Missing || File.EndOfFile == TEndOfFileByte::Other;
    const TFinding all[] = {
        {"blank", FieldSum(Fields, &TFieldDiagnosis::Blank), -1, "clear"},
        {"old_copies", Map.OldCopies, static_cast<int64_t>(Map.OldCopyBytes), "pack"},
        {"blank_orphans", Map.BlankOrphans, static_cast<int64_t>(Map.BlankOrphanBytes), "pack"},
        {"lost_texts", Map.LostTexts, static_cast<int64_t>(Map.LostTextBytes), "salvage"},
        {"end_of_file_byte", endByte ? 1u : 0u, -1, nullptr},
        {"next_free_past_end", NextFree == TNextFreeState::PastEnd ? 1u : 0u, static_cast<int64_t>(NextFreeDistance),
         "pack"},
    };
    std::vector<TFinding> found;
    for (const TFinding& f : all)
        if (f.Count > 0)
            found.push_back(f);
    return found;
}

std::vector<std::string> TFullDiagnosis::Problems() const
{
    std::vector<std::string> kinds;
    for (const TFinding& f : Damage())
        kinds.push_back(f.Kind);
    return kinds;
}

TVerdict TFullDiagnosis::Verdict() const
{
    if (!Damage().empty())
        return TVerdict::Damaged;
    return Notes().empty() ? TVerdict::Healthy : TVerdict::HealthyWithNotes;
}

namespace {

// The report's line for each kind.
const std::pair<const char*, TRepairText> FindingTexts[] = {
    {"not_a_number", TRepairText::FindNotANumber},
    {"past_end", TRepairText::FindPastEnd},
    {"runs_past_end", TRepairText::FindRunsPastEnd},
    {"not_run_start", TRepairText::FindNotRunStart},
    {"cross_linked", TRepairText::FindCrossLinked},
    {"overlapping", TRepairText::FindOverlapping},
    {"past_next_free", TRepairText::FindPastNextFree},
    {"next_free_block", TRepairText::FindNextFreeInside},
    {"records_short", TRepairText::FindRecordsShort},
    {"records_extra", TRepairText::FindRecordsExtra},
    {"record_size", TRepairText::FindRecordSize},
    {"block_size", TRepairText::FindBlockSize},
    {"blank", TRepairText::FindBlank},
    {"old_copies", TRepairText::FindOldCopies},
    {"blank_orphans", TRepairText::FindBlankOrphans},
    {"lost_texts", TRepairText::FindLostTexts},
    {"end_of_file_byte", TRepairText::FindEndOfFileByte},
    {"next_free_past_end", TRepairText::FindNextFreePastEnd},
};

// 1210 as "1,210" (English) or "1 210" (Russian).
std::string Grouped(uint64_t Value, TLanguage Language)
{
    const std::string digits = std::to_string(Value);
    const char separator = Language == TLanguage::Russian ? ' ' : ',';
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += separator;
        out += digits[i];
    }
    return out;
}

}  // namespace

std::string FindingText(const TFinding& Finding, TLanguage Language)
{
    for (const auto& [kind, text] : FindingTexts)
        if (std::string(kind) == Finding.Kind)
            // %3: the English plural ending; the Russian texts put their
            // numbers where no word agrees with them.
            return FormatRepairText(text,
                                    {Grouped(Finding.Count, Language),
                                     Grouped(Finding.Bytes < 0 ? 0 : static_cast<uint64_t>(Finding.Bytes), Language),
                                     Finding.Count == 1 ? "" : "s"},
                                    Language);
    return Finding.Kind;
}

std::string VerdictText(TVerdict Verdict, TLanguage Language)
{
    switch (Verdict) {
    case TVerdict::Damaged: return RepairText(TRepairText::VerdictDamaged, Language);
    case TVerdict::HealthyWithNotes: return RepairText(TRepairText::VerdictNotes, Language);
    case TVerdict::Healthy: break;
    }
    return RepairText(TRepairText::VerdictHealthy, Language);
}

std::string NameAsUtf8(const std::string& Bytes, const TCodePage* CodePage)
{
    if (CodePage)
        return CodePage->ToUtf8(Bytes);
    std::string out;
    for (unsigned char c : Bytes) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

namespace {

using TSay = std::function<std::string(TRepairText, const std::vector<std::string>&)>;

// The table file's own findings: its record count, end-of-file byte and
// field descriptors against its size.
void PrintTableFileFindings(const TTableFileFindings& f, std::ostream& Out, const TSay& Text)
{
    if (f.FileSize < f.RecordsEnd) {
        const uint64_t room =
            f.RecordSize == 0 || f.FileSize < f.RecordsEnd - uint64_t{f.HeaderRecords} * f.RecordSize
                ? 0
                : (f.FileSize - (f.RecordsEnd - uint64_t{f.HeaderRecords} * f.RecordSize)) / f.RecordSize;
        Out << Text(TRepairText::CountShort, {Str(f.HeaderRecords), Str(room), Str(f.RecordsEnd - f.FileSize)}) << "\n";
    } else if (f.FileSize > f.RecordsEnd + 1) {
        Out << Text(TRepairText::CountExtra, {Str(f.HeaderRecords), Str(f.FileSize - f.RecordsEnd)}) << "\n";
    } else {
        Out << Text(TRepairText::CountMatches, {}) << "\n";
    }
    if (f.EndOfFile == TEndOfFileByte::Missing) {
        Out << Text(TRepairText::EofMissing, {}) << "\n";
    } else if (f.EndOfFile == TEndOfFileByte::Other) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X", f.EndByte);
        Out << Text(TRepairText::EofOther, {hex}) << "\n";
    } else if (f.EndOfFile == TEndOfFileByte::Present) {
        Out << Text(TRepairText::EofPresent, {}) << "\n";
    }
    if (f.FieldBytes != f.RecordSize)
        Out << Text(TRepairText::DescriptorsMismatch, {Str(f.FieldBytes), Str(f.RecordSize)}) << "\n";
    else
        Out << Text(TRepairText::DescriptorsMatch, {}) << "\n";
}

// The memo file's map: its next free block and the counts of its runs.
void PrintMapFindings(const TFullDiagnosis& d, std::ostream& Out, const TSay& Text)
{
    if (!d.Map.Mapped) {
        Out << Text(TRepairText::NoMemoMap, {}) << "\n";
        return;
    }
    if (d.NextFree == TNextFreeState::Inside)
        Out << Text(TRepairText::NextFreeInside, {Str(d.NextFreeDistance)}) << "\n";
    else if (d.NextFree == TNextFreeState::PastEnd)
        Out << Text(TRepairText::NextFreePastEnd, {Str(d.NextFreeDistance)}) << "\n";
    else
        Out << Text(TRepairText::NextFreeAtEnd, {}) << "\n";
    Out << Text(TRepairText::FindingsTitle, {}) << "\n";
    // Padded by characters, not bytes: the Russian labels are UTF-8.
    auto row = [&Out, &Text](TRepairText Label, uint64_t Count, const char* Bytes = nullptr, uint64_t Size = 0) {
        const std::string label = Text(Label, {});
        const size_t chars = Utf8Characters(label);
        Out << "  " << label << std::string(chars < 44 ? 44 - chars : 1, ' ') << std::setw(12) << Count;
        if (Bytes)
            Out << "  (" << Size << " " << Bytes << ")";
        Out << "\n";
    };
    const std::string bytesWord = Text(TRepairText::Bytes, {});
    const char* bytes = bytesWord.c_str();
    row(TRepairText::References, d.Map.References);
    row(TRepairText::NotRunStart, d.Map.NotRunStart);
    row(TRepairText::CrossLinked, d.Map.CrossLinkedRuns);
    row(TRepairText::Overlapping, d.Map.OverlappingRuns);
    row(TRepairText::PastNextFree, d.Map.PastNextFree);
    row(TRepairText::Orphans, d.Map.Orphans, bytes, d.Map.OrphanBytes);
    row(TRepairText::OldCopies, d.Map.OldCopies, bytes, d.Map.OldCopyBytes);
    row(TRepairText::BlankOrphans, d.Map.BlankOrphans);
    row(TRepairText::LostTexts, d.Map.LostTexts, bytes, d.Map.LostTextBytes);
}

}  // namespace

void PrintFindings(const TFullDiagnosis& d, std::ostream& Out, TLanguage Language)
{
    const TSay text = [Language](TRepairText Id, const std::vector<std::string>& Values) {
        return FormatRepairText(Id, Values, Language);
    };
    PrintTableFileFindings(d.File, Out, text);
    PrintMapFindings(d, Out, text);
    const std::vector<TFinding> damage = d.Damage(), notes = d.Notes();
    uint64_t orphanBytes = 0;
    for (const auto& [title, found] :
         {std::make_pair(TRepairText::DamageTitle, &damage), std::make_pair(TRepairText::NotesTitle, &notes)}) {
        if (found->empty())
            continue;
        Out << text(title, {}) << "\n";
        for (const TFinding& f : *found) {
            Out << "  " << FindingText(f, Language) << "\n";
            if (std::string(f.Kind) == "old_copies" || std::string(f.Kind) == "blank_orphans" ||
                std::string(f.Kind) == "lost_texts")
                orphanBytes += static_cast<uint64_t>(f.Bytes);
        }
    }
    if (orphanBytes > 0)
        Out << text(TRepairText::PackReclaims, {Grouped(orphanBytes, Language)}) << "\n";
    Out << text(TRepairText::VerdictLine, {VerdictText(d.Verdict(), Language)}) << "\n";
}

namespace {

TJson FindingsJson(const std::vector<TFinding>& Findings)
{
    TJson list = TJson::array();
    for (const TFinding& f : Findings) {
        TJson item = {{"kind", f.Kind}, {"count", f.Count}};
        if (f.Bytes >= 0)
            item["bytes"] = f.Bytes;
        item["mend"] = f.Mend ? TJson(f.Mend) : TJson(nullptr);
        list.push_back(item);
    }
    return list;
}

const char* VerdictName(TVerdict Verdict)
{
    switch (Verdict) {
    case TVerdict::Damaged: return "damaged";
    case TVerdict::HealthyWithNotes: return "healthy_with_notes";
    case TVerdict::Healthy: break;
    }
    return "healthy";
}

}  // namespace

void PrintDiagnosisJson(const TFullDiagnosis& d, const std::string& TablePath, std::ostream& Out,
                        const TCodePage* CodePage)
{
    const TTableDiagnosis& t = d.Fields;
    const TTableFileFindings& f = d.File;
    TJson json;
    json["table"] = PathAsUtf8(TablePath, CodePage);
    json["table_file"] = {
        {"size", f.FileSize},          {"header_records", f.HeaderRecords},        {"records_in_file", t.FileRecords},
        {"records_end", f.RecordsEnd}, {"end_of_file_byte", EofName(f.EndOfFile)}, {"record_size", f.RecordSize},
        {"field_bytes", f.FieldBytes}};
    if (!t.HasMemoFile)
        json["memo_file"] = nullptr;
    else
        json["memo_file"] = {{"path", PathAsUtf8(t.MemoFileName, CodePage)},
                             {"size", t.MemoFileSize},
                             {"block_size", t.MemoBlockSize},
                             {"next_free_block", t.MemoNextBlock},
                             {"next_free_state", NextFreeName(d.NextFree)},
                             {"next_free_distance", d.NextFreeDistance}};
    TJson fields = TJson::array();
    for (const TFieldDiagnosis& x : t.Fields)
        fields.push_back({{"name", NameAsUtf8(x.Name, CodePage)},
                          {"empty", x.Empty},
                          {"not_a_number", x.NotANumber},
                          {"past_end", x.PastEnd},
                          {"runs_past_end", x.RunsPastEnd},
                          {"not_a_start", x.NotAStart},
                          {"blank", x.Blank},
                          {"text", x.Text},
                          {"cleared_by_clear", x.ClearedByClear}});
    json["fields"] = fields;
    if (!d.Map.Mapped) {
        json["memo_map"] = nullptr;
    } else {
        const TMemoMapFindings& m = d.Map;
        json["memo_map"] = {{"references", m.References},
                            {"not_run_start", m.NotRunStart},
                            {"cross_linked_runs", m.CrossLinkedRuns},
                            {"cross_linked_references", m.CrossLinkedReferences},
                            {"overlapping_runs", m.OverlappingRuns},
                            {"past_next_free", m.PastNextFree},
                            {"orphans", m.Orphans},
                            {"orphan_bytes", m.OrphanBytes},
                            {"old_copies", m.OldCopies},
                            {"old_copy_bytes", m.OldCopyBytes},
                            {"blank_orphans", m.BlankOrphans},
                            {"blank_orphan_bytes", m.BlankOrphanBytes},
                            {"lost_texts", m.LostTexts},
                            {"lost_text_bytes", m.LostTextBytes}};
    }
    const std::vector<TFinding> damage = d.Damage();
    json["problems"] = d.Problems();
    json["damage"] = FindingsJson(damage);
    json["notes"] = FindingsJson(d.Notes());
    json["verdict"] = VerdictName(d.Verdict());
    json["ok"] = damage.empty();
    PrintJsonLine(json, Out);
}

void PrintUnreadableJson(const std::string& TablePath, const std::string& Error, std::ostream& Out)
{
    PrintJsonLine({{"table", PathAsUtf8(TablePath, nullptr)},
                   {"error", PathAsUtf8(Error, nullptr)},
                   {"verdict", "unreadable"},
                   {"ok", false}},
                  Out);
}

void PrintFolderSummaryJson(const TFolderTally& Tally, std::ostream& Out)
{
    PrintJsonLine({{"summary",
                    {{"tables", Tally.Tables},
                     {"damaged", Tally.Damaged},
                     {"healthy_with_notes", Tally.WithNotes},
                     {"healthy", Tally.Healthy},
                     {"unreadable", Tally.Unreadable}}}},
                  Out);
}
