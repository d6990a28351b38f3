#include "diagnosis.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iomanip>
#include <utility>

#include "fptlayout.h"
#include "strutil.h"
#include "texts.h"

namespace {

constexpr unsigned char EndOfFileMark = 0x1A;

std::string Str(uint64_t V) { return std::to_string(V); }

std::string JsonString(const std::string& Text)
{
    std::string out = "\"";
    for (unsigned char c : Text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", c);
            out += code;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
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

TFullDiagnosis DiagnoseFully(TDBFLite& Table, const std::vector<int>& Fields, TProgressBar& Progress,
                             TFileSystem& Files)
{
    TFullDiagnosis d;
    TMemoMap map(Table, Files);
    d.Fields = DiagnoseTable(Table, Fields, Progress, &map);
    map.Scan([&Progress](int64_t Done, int64_t Total) { Progress.Update(Done, Total); });
    Progress.End();
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

std::vector<std::string> TFullDiagnosis::Problems() const
{
    // Field by field, in the order a field's counts come.
    static const std::pair<long long TFieldDiagnosis::*, const char*> FieldProblems[] = {
        {&TFieldDiagnosis::NotANumber, "not_a_number"},
        {&TFieldDiagnosis::PastEnd, "past_end"},
        {&TFieldDiagnosis::RunsPastEnd, "runs_past_end"},
        {&TFieldDiagnosis::NotAStart, "not_run_start"},
        {&TFieldDiagnosis::Blank, "blank"}};
    const bool nextFreeWrong =
        NextFree == TNextFreeState::Inside || (NextFree == TNextFreeState::PastEnd && NextFreeDistance > MemoGapLimit);
    // Then the files' own findings.
    const std::pair<bool, const char*> fileProblems[] = {
        {File.FileSize < File.RecordsEnd, "records_short"},
        {File.FileSize > File.RecordsEnd + 1, "records_extra"},
        {File.EndOfFile == TEndOfFileByte::Missing || File.EndOfFile == TEndOfFileByte::Other, "end_of_file_byte"},
        {File.FieldBytes != File.RecordSize, "record_size"},
        {Fields.HasMemoFile && Fields.MemoBlockSize == 0, "block_size"},
        {nextFreeWrong, "next_free_block"},
        {Map.NotRunStart > 0, "not_run_start"},
        {Map.CrossLinkedRuns > 0, "cross_linked"},
        {Map.OverlappingRuns > 0, "overlapping"},
        {Map.PastNextFree > 0, "past_next_free"},
        {Map.LostTexts > 0, "lost_texts"}};

    std::vector<std::string> p;
    const auto add = [&p](const char* Name) {
        if (std::find(p.begin(), p.end(), Name) == p.end())
            p.push_back(Name);
    };
    for (const TFieldDiagnosis& f : Fields.Fields)
        for (const auto& [count, name] : FieldProblems)
            if (f.*count > 0)
                add(name);
    for (const auto& [found, name] : fileProblems)
        if (found)
            add(name);
    return p;
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
    Out << text(d.Problems().empty() ? TRepairText::VerdictSound : TRepairText::VerdictDamaged, {}) << "\n";
}

void PrintDiagnosisJson(const TFullDiagnosis& d, const std::string& TablePath, std::ostream& Out, TWindowPort& Port)
{
    const TTableDiagnosis& t = d.Fields;
    const TTableFileFindings& f = d.File;
    Out << "{\"table\":" << JsonString(TablePath);
    Out << ",\"table_file\":{\"size\":" << f.FileSize << ",\"header_records\":" << f.HeaderRecords
        << ",\"records_in_file\":" << t.FileRecords << ",\"records_end\":" << f.RecordsEnd << ",\"end_of_file_byte\":\""
        << EofName(f.EndOfFile) << "\",\"record_size\":" << f.RecordSize << ",\"field_bytes\":" << f.FieldBytes << "}";
    if (!t.HasMemoFile) {
        Out << ",\"memo_file\":null";
    } else {
        Out << ",\"memo_file\":{\"path\":" << JsonString(t.MemoFileName) << ",\"size\":" << t.MemoFileSize
            << ",\"block_size\":" << t.MemoBlockSize << ",\"next_free_block\":" << t.MemoNextBlock
            << ",\"next_free_state\":\"" << NextFreeName(d.NextFree)
            << "\",\"next_free_distance\":" << d.NextFreeDistance << "}";
    }
    Out << ",\"fields\":[";
    for (size_t i = 0; i < t.Fields.size(); ++i) {
        const TFieldDiagnosis& x = t.Fields[i];
        Out << (i ? "," : "") << "{\"name\":" << JsonString(Port.TableToText(x.Name)) << ",\"empty\":" << x.Empty
            << ",\"not_a_number\":" << x.NotANumber << ",\"past_end\":" << x.PastEnd
            << ",\"runs_past_end\":" << x.RunsPastEnd << ",\"not_a_start\":" << x.NotAStart << ",\"blank\":" << x.Blank
            << ",\"text\":" << x.Text << ",\"cleared_by_clear\":" << x.ClearedByClear << "}";
    }
    Out << "]";
    if (!d.Map.Mapped) {
        Out << ",\"memo_map\":null";
    } else {
        const TMemoMapFindings& m = d.Map;
        Out << ",\"memo_map\":{\"references\":" << m.References << ",\"not_run_start\":" << m.NotRunStart
            << ",\"cross_linked_runs\":" << m.CrossLinkedRuns
            << ",\"cross_linked_references\":" << m.CrossLinkedReferences
            << ",\"overlapping_runs\":" << m.OverlappingRuns << ",\"past_next_free\":" << m.PastNextFree
            << ",\"orphans\":" << m.Orphans << ",\"orphan_bytes\":" << m.OrphanBytes
            << ",\"old_copies\":" << m.OldCopies << ",\"old_copy_bytes\":" << m.OldCopyBytes
            << ",\"blank_orphans\":" << m.BlankOrphans << ",\"lost_texts\":" << m.LostTexts
            << ",\"lost_text_bytes\":" << m.LostTextBytes << "}";
    }
    const std::vector<std::string> problems = d.Problems();
    Out << ",\"problems\":[";
    for (size_t i = 0; i < problems.size(); ++i)
        Out << (i ? "," : "") << "\"" << problems[i] << "\"";
    Out << "],\"ok\":" << (problems.empty() ? "true" : "false") << "}\n";
}
