#include "repairtexts.h"

#include <iterator>

// "%1".."%9" in Pattern replaced by Args.
std::string FillText(const char* Pattern, const std::vector<std::string>& Args)
{
    std::string out;
    for (const char* p = Pattern; *p; ++p) {
        if (p[0] == '%' && p[1] >= '1' && p[1] <= '9') {
            const size_t index = static_cast<size_t>(p[1] - '1');
            if (index < Args.size())
                out += Args[index];
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

std::string Say(const TText& Text, TLanguage Language) { return Language == TLanguage::Russian ? Text.Ru : Text.En; }

std::string Say(const TText& Text, std::initializer_list<std::string> Args, TLanguage Language)
{
    return FillText(Say(Text, Language).c_str(), std::vector<std::string>(Args));
}

// One text a line, English above Russian, so that each translation stands
// under its original.
namespace Texts {
// clang-format off
const TText ReportTable = {
    "table: %1",
    "таблица: %1"};
const TText ReportRecords = {
    "records: %1",
    "записей: %1"};
const TText ReportHeaderSays = {
    " (the header says %1; the file holds %2)",
    " (в заголовке %1; в файле %2)"};
const TText ReportNoMemoFile = {
    "memo file: not found (every memo reference leads nowhere)",
    "MEMO файл: не найден (все ссылки на MEMO ведут в никуда)"};
const TText ReportMemoFile = {
    "memo file: %1 (%2 bytes, block size %3, next free block %4)",
    "MEMO файл: %1 (%2 байт, размер блока %3, следующий свободный блок %4)"};
const TText ReportZeroBlockSize = {
    "warning: the memo header gives a block size of 0: no text can be read or written",
    "внимание: в заголовке MEMO файла размер блока 0: тексты нельзя ни прочитать, ни записать"};
const TText ReportNextBlockInside = {
    "warning: the memo header's next free block lies inside the file; new texts are stored after the file's end "
    "instead",
    "внимание: следующий свободный блок в заголовке MEMO файла лежит внутри файла; новые тексты пишутся после конца "
    "файла"};
const TText ReportCodePage = {
    "code page: %1 (header mark 0x%2)",
    "кодовая страница: %1 (отметка в заголовке 0x%2)"};
const TText ReportNoCodePage = {
    "code page: not marked (header mark 0x%1); --codepage gives it",
    "кодовая страница: не указана (отметка в заголовке 0x%1); её задаёт --codepage"};
const TText ReportField = {
    "field %1:",
    "поле %1:"};
const TText CountEmpty = {
    "empty references",
    "пустые ссылки"};
const TText CountNotANumber = {
    "not a block number",
    "не номер блока"};
const TText CountPastEnd = {
    "past the end of the memo file",
    "за концом MEMO файла"};
const TText CountRunsPastEnd = {
    "running past the end of the file",
    "текст выходит за конец файла"};
const TText CountNotAStart = {
    "not the start of a text",
    "не начало текста"};
const TText ReportLayoutMismatch = {
    "warning: the field widths do not add up to the record size (%1); fields are read where their descriptors "
    "place them, and nothing is written to this table",
    "внимание: длины полей не совпадают с длиной записи (%1); поля читаются там, где их помещают описания, "
    "и в таблицу ничего не пишется"};
const TText CountBlank = {
    "blank text",
    "пустой текст"};
const TText CountText = {
    "text",
    "текст"};
const TText CountClearedByClear = {
    "cleared by clear without --all",
    "очистит clear без --all"};
// clang-format on
}  // namespace Texts

namespace {

struct TRepairEntry {
    TRepairText Id;
    const char* Ru;
    const char* En;
};

// Laid out as the texts above: the id, then the Russian, then the English.
const TRepairEntry RepairEntries[] = {
    // clang-format off
    {TRepairText::SalvageNoMemoFile,
     "Нет MEMO файла: искать тексты негде.",
     "No memo file: there are no texts to look for."},
    {TRepairText::SalvageBlockSizeZero,
     "Размер блока MEMO файла равен 0: тексты не найти.",
     "The memo file's block size is 0: no text can be found."},
    {TRepairText::SalvageSummary,
     "Потерянных текстов: %1 (%2 байт); старых копий текстов таблицы: %3 (%4 байт, не записаны).",
     "Lost texts: %1 (%2 bytes); old copies of the table's texts: %3 (%4 bytes, not written)."},
    {TRepairText::SalvageDone,
     "Тексты записаны в файл %1.",
     "The texts are written to %1."},
    {TRepairText::FindingsTitle,
     "memo file map:",
     "memo file map:"},
    {TRepairText::References,
     "ссылки на блоки в файле",
     "references to blocks in the file"},
    {TRepairText::NotRunStart,
     "ссылки не на начало текста",
     "references not to the start of a text"},
    {TRepairText::CrossLinked,
     "тексты с несколькими ссылками",
     "texts with several references"},
    {TRepairText::Overlapping,
     "тексты, налегающие на другие",
     "texts overlapping other texts"},
    {TRepairText::PastNextFree,
     "тексты за свободным блоком",
     "texts past the next free block"},
    {TRepairText::Orphans,
     "тексты без ссылок",
     "texts without a reference"},
    {TRepairText::OldCopies,
     "из них старые копии",
     "of them old copies"},
    {TRepairText::BlankOrphans,
     "из них пустые тексты",
     "of them holding only blanks"},
    {TRepairText::LostTexts,
     "из них потерянные тексты",
     "of them lost texts"},
    {TRepairText::NextFreeInside,
     "ошибка: свободный блок заголовка MEMO файла лежит внутри файла (за ним %1 байт)",
     "error: the memo header's next free block lies inside the file (%1 bytes after it)"},
    {TRepairText::NextFreePastEnd,
     "свободный блок заголовка MEMO файла лежит за концом файла на %1 байт",
     "the memo header's next free block lies %1 bytes past the end of the file"},
    {TRepairText::NextFreeAtEnd,
     "свободный блок заголовка MEMO файла: в конце файла",
     "the memo header's next free block: at the end of the file"},
    {TRepairText::CountShort,
     "ошибка: записей в заголовке %1, в файле места на %2 (не хватает %3 байт)",
     "error: the header counts %1 records, the file has room for %2 (%3 bytes short)"},
    {TRepairText::CountExtra,
     "ошибка: после %1 записей заголовка в файле еще %2 байт",
     "error: after the header's %1 records the file holds %2 more bytes"},
    {TRepairText::CountMatches,
     "число записей в заголовке совпадает с размером файла",
     "the header's record count matches the file's size"},
    {TRepairText::EofMissing,
     "замечание: нет байта конца файла (1A) после записей",
     "note: no end-of-file byte (1A) after the records"},
    {TRepairText::EofOther,
     "замечание: после записей байт %1 вместо конца файла (1A)",
     "note: after the records byte %1 instead of the end-of-file byte (1A)"},
    {TRepairText::EofPresent,
     "байт конца файла на месте",
     "the end-of-file byte is in place"},
    {TRepairText::DescriptorsMismatch,
     "ошибка: поля занимают %1 байт записи, в заголовке длина записи %2",
     "error: the fields take %1 bytes of a record, the header gives a record size of %2"},
    {TRepairText::DescriptorsMatch,
     "поля занимают всю длину записи",
     "the fields fill the record size"},
    {TRepairText::NoMemoMap,
     "карты MEMO файла нет (нет файла или размер блока 0)",
     "no memo file map (no memo file, or a block size of 0)"},
    {TRepairText::VerdictLine,
     "итог: %1",
     "verdict: %1"},
    {TRepairText::VerdictHealthy,
     "таблица исправна",
     "healthy"},
    {TRepairText::VerdictNotes,
     "таблица исправна, есть замечания",
     "healthy with notes"},
    {TRepairText::VerdictDamaged,
     "найдены повреждения",
     "damage found"},
    {TRepairText::DamageTitle,
     "повреждения (код выхода 4):",
     "damage (exit status 4):"},
    {TRepairText::NotesTitle,
     "замечания (износ, ничего не теряется):",
     "notes (wear, nothing is lost):"},
    {TRepairText::FindNotANumber,
     "ссылки, которые не номера блоков: %1; rewrite исправит их (clear их очистит)",
     "references that are not block numbers: %1; rewrite mends %1 reference%3 (clear blanks them)"},
    {TRepairText::FindPastEnd,
     "ссылки за конец MEMO файла: %1; rewrite исправит их (clear их очистит)",
     "references past the end of the memo file: %1; rewrite mends %1 reference%3 (clear blanks them)"},
    {TRepairText::FindRunsPastEnd,
     "ссылки на тексты, выходящие за конец MEMO файла: %1; rewrite исправит их",
     "references to texts running past the end of the memo file: %1; rewrite mends %1 reference%3"},
    {TRepairText::FindNotRunStart,
     "ссылки не на начало текста: %1; rewrite исправит их",
     "references that lead to no text's start: %1; rewrite mends %1 reference%3"},
    {TRepairText::FindCrossLinked,
     "ссылки на текст, на который ведёт и другая ссылка: %1 (запись одной испортит другую); rewrite даст каждой "
     "свою копию",
     "references sharing a text with another reference: %1 (writing one spoils the other); rewrite gives %1 "
     "reference%3 a copy each"},
    {TRepairText::FindOverlapping,
     "тексты, налегающие на другие: %1; rewrite разнесёт их",
     "texts overlapping other texts: %1; rewrite copies %1 text%3 apart"},
    {TRepairText::FindPastNextFree,
     "тексты за свободным блоком заголовка (следующая запись владельца их затрёт): %1; rewrite перенесёт их",
     "texts past the memo header's next free block (the owner's next write overwrites them): %1; rewrite moves %1 "
     "text%3"},
    {TRepairText::FindNextFreeInside,
     "свободный блок заголовка MEMO файла внутри файла, за ним %2 байт (следующая запись владельца затрёт тексты); "
     "rewrite исправит его",
     "the memo header's next free block lies inside the file, %2 bytes before its end (the owner's next write "
     "overwrites texts); rewrite mends it"},
    {TRepairText::FindRecordsShort,
     "в заголовке больше записей, чем помещается в файле (не хватает %2 байт); ни одна команда программы этого не "
     "исправит: нужна резервная копия",
     "the header counts more records than the file holds (%2 bytes short); no command of this program mends it: "
     "restore a backup"},
    {TRepairText::FindRecordsExtra,
     "после записей заголовка ещё %2 байт (записи, которых нет в счётчике: следующая запись владельца их затрёт); "
     "ни одна команда программы этого не исправит",
     "%2 bytes after the header's records (records the count leaves out: the owner's next record overwrites them); "
     "no command of this program mends it"},
    {TRepairText::FindRecordSize,
     "поля не заполняют длину записи; ни одна команда программы этого не исправит",
     "the fields do not fill the record; no command of this program mends it"},
    {TRepairText::FindBlockSize,
     "размер блока MEMO файла 0; ни одна команда программы этого не исправит",
     "the memo file's block size is 0; no command of this program mends it"},
    {TRepairText::FindBlank,
     "ссылки на тексты из одних пробелов: %1; clear их очистит (ничего не теряется)",
     "references to texts holding only blanks: %1; clear blanks %1 reference%3 (nothing is lost)"},
    {TRepairText::FindOldCopies,
     "старые копии текстов: %1 (%2 байт); pack освободит %2 байт",
     "old copies of texts: %1 (%2 bytes); pack reclaims %2 bytes"},
    {TRepairText::FindBlankOrphans,
     "пустые тексты без ссылок: %1 (%2 байт); pack освободит %2 байт",
     "blank texts without a reference: %1 (%2 bytes); pack reclaims %2 bytes"},
    {TRepairText::FindLostTexts,
     "потерянные тексты: %1 (%2 байт); salvage восстановит их (%2 байт), затем pack освободит место",
     "lost texts: %1 (%2 bytes); salvage recovers %1 text%3 (%2 bytes), then pack reclaims them"},
    {TRepairText::FindEndOfFileByte,
     "нет байта конца файла после записей (Visual FoxPro пишет таблицы без него); исправлять нечего",
     "no end-of-file byte after the records (Visual FoxPro writes tables without one); nothing to mend"},
    {TRepairText::FindNextFreePastEnd,
     "свободный блок заголовка MEMO файла за концом файла на %2 байт; pack поставит его в конец файла",
     "the memo header's next free block lies %2 bytes past the end of the file; pack sets it at the end"},
    {TRepairText::PackReclaims,
     "pack освободит %1 байт (старые копии, пустые и потерянные тексты; сначала salvage, чтобы сохранить "
     "потерянные)",
     "pack reclaims %1 bytes (old copies, blank and lost texts; salvage first keeps the lost ones)"},
    {TRepairText::FolderTable,
     "%1: %2 (повреждений: %3, замечаний: %4)",
     "%1: %2 (damage: %3, notes: %4)"},
    {TRepairText::FolderUnreadable,
     "%1: не проверена (%2)",
     "%1: could not be checked (%2)"},
    {TRepairText::FolderSummary,
     "таблиц: %1; с повреждениями: %2; исправных с замечаниями: %3; исправных: %4; не проверено: %5",
     "tables: %1; damaged: %2; healthy with notes: %3; healthy: %4; not checked: %5"},
    {TRepairText::FolderNoTables,
     "в папке %1 нет таблиц с MEMO файлом",
     "no table with a memo file in %1"},
    {TRepairText::BackupWritten,
     "Резервная копия: %1",
     "Backup: %1"},
    {TRepairText::BackupFailed,
     "Резервная копия не записана (%1); таблица не изменена.",
     "The backup could not be written (%1); the table is unchanged."},
    {TRepairText::MemoTooLarge,
     "MEMO файл вырос бы до %1 байт, больше 2 ГБ: FoxPro и Visual FoxPro его не откроют. "
     "Сожмите MEMO файл (pack) или запустите с --allow-large. Таблица не изменена.",
     "The memo file would grow to %1 bytes, past 2 GiB: FoxPro and Visual FoxPro cannot open it. "
     "Compact the memo file first (pack), or run with --allow-large. The table is unchanged."},
    {TRepairText::PackConfirm,
     "Сжать MEMO файл? В нем останутся только тексты, на которые ведут ссылки (%1 текстов, %2 байт "
     "вместо %3). Тексты без ссылок (их можно сохранить командой salvage) будут удалены.",
     "Compact the memo file? It keeps only the texts references lead to (%1 texts, %2 bytes instead "
     "of %3). Texts without a reference (salvage can save them first) are removed."},
    {TRepairText::Bytes,
     "байт",
     "bytes"},
    {TRepairText::PackUnknownField,
     "Поле %1 имеет тип %2, неизвестный программе: оно может хранить данные в MEMO файле, "
     "и сжатие их бы затерло. Таблица не изменена.",
     "The field %1 is of type %2, which this program does not know: it may keep data in the memo file, "
     "which pack would write over. The table is unchanged."},
    {TRepairText::PackRecordsPastCount,
     "В файле таблицы %1 записей сверх числа в заголовке (%2), обычно после сбоя при добавлении записи: "
     "сжатие затерло бы их тексты. Исправьте число записей в заголовке или уберите лишние записи, "
     "затем повторите (check покажет их). Таблица не изменена.",
     "The table file holds %1 records past the count in its header (%2), as a crash during an append leaves "
     "them: pack would write over their texts. Set the header's count right or remove those records, "
     "then pack again (check shows them). The table is unchanged."},
    {TRepairText::PackOverlapping,
     "Тексты MEMO файла налегают друг на друга (см. check): при сжатии файл вырос бы до %1 байт. Таблица не изменена.",
     "Texts of the memo file overlap one another (see check): packing would grow the file to %1 bytes. The table is unchanged."},
    {TRepairText::PackTooLarge,
     "Во время сжатия MEMO файл вырос бы до %1 байт, больше 2 ГБ: FoxPro и Visual FoxPro его не откроют. "
     "Запустите с --allow-large или сначала освободите тексты (clear). Таблица не изменена.",
     "While packing, the memo file would grow to %1 bytes, past 2 GiB: FoxPro and Visual FoxPro cannot open it. "
     "Run with --allow-large, or free texts first (clear). The table is unchanged."},
    {TRepairText::PackGrew,
     "MEMO файл вырос с %2 до %1 байт: общие и налегающие тексты разнесены по отдельным блокам; "
     "текстов %3, ссылок без текста очищено %4.",
     "The memo file grew from %2 to %1 bytes: texts that references shared or that overlapped were copied apart; "
     "%3 texts, %4 references that led to no text blanked."},
    {TRepairText::RelinkProposal,
     "запись %1, поле %2: ссылка %3 (%4) -> блок %5 (%6): %7",
     "record %1, field %2: reference %3 (%4) -> block %5 (%6): %7"},
    {TRepairText::RelinkCrossLinked,
     "ведёт на текст другой ссылки",
     "leads to another reference's text"},
    {TRepairText::RelinkRuleOneCharacter,
     "отличается один знак",
     "one character differs"},
    {TRepairText::RelinkRuleWildcards,
     "совпадают читаемые цифры",
     "the readable digits match"},
    {TRepairText::RelinkRuleOneBit,
     "отличается один бит",
     "one bit differs"},
    {TRepairText::RelinkRuleWriteOrder,
     "единственный текст между текстами соседних записей",
     "the only text between the neighbouring records' texts"},
    {TRepairText::RelinkConfirm,
     "Связать эти ссылки на MEMO (%1 шт.) с найденными текстами? Запишутся только эти ссылки.",
     "Relink these memo references (%1 of them) to the texts found? Only these references are written."},
    {TRepairText::RelinkNothing,
     "Связывать нечего: повреждённых ссылок %1, ни для одной нет однозначного текста (без кандидата %2, "
     "неоднозначно %3, спорно %4).",
     "Nothing to relink: %1 damaged references, none with a text the evidence clearly points to (no candidate %2, "
     "ambiguous %3, contested %4)."},
    {TRepairText::RelinkSummary,
     "Предложений: %1 (повреждённых ссылок %2; без кандидата %3, неоднозначно %4, спорно %5). Ничего не записано.",
     "Proposals: %1 (damaged references %2; no candidate %3, ambiguous %4, contested %5). Nothing was written."},
    {TRepairText::RelinkDone,
     "Ссылок связано заново: %1.",
     "References relinked: %1."},
    {TRepairText::RelinkDropped,
     "Предложений отброшено: %1 (таблица изменилась, пока ждал вопрос).",
     "Proposals dropped: %1 (the table changed while the question stood)."},
    {TRepairText::PackDone,
     "MEMO файл сжат: %1 байт вместо %2; текстов %3, ссылок без текста очищено %4.",
     "The memo file is compacted: %1 bytes instead of %2; %3 texts, %4 references that led to no text blanked."},
    // clang-format on
};

// The repair texts the command line's steps raise as errors, in Russian as
// the table layer's are.
const TRepairText RaisedRepairTextList[] = {
    TRepairText::PackConfirm,    TRepairText::PackDone,          TRepairText::PackGrew,
    TRepairText::PackTooLarge,   TRepairText::SalvageNoMemoFile, TRepairText::SalvageBlockSizeZero,
    TRepairText::BackupFailed,   TRepairText::PackUnknownField,  TRepairText::PackRecordsPastCount,
    TRepairText::PackOverlapping};

}  // namespace

const char* RepairText(TRepairText Id, TLanguage Language)
{
    for (const TRepairEntry& e : RepairEntries)
        if (e.Id == Id)
            return Language == TLanguage::Russian ? e.Ru : e.En;
    return "";
}

std::string FormatRepairText(TRepairText Id, const std::vector<std::string>& Values, TLanguage Language)
{
    return FillText(RepairText(Id, Language), Values);
}

const std::vector<TRepairText>& RaisedRepairTexts()
{
    static const std::vector<TRepairText> texts(std::begin(RaisedRepairTextList), std::end(RaisedRepairTextList));
    return texts;
}
