#include "cli/repairtexts.h"

#include <cstddef>

#include "cli/texts.h"

namespace {

struct TEntry {
    TRepairText Id;
    const char* Ru;
    const char* En;
};

const TEntry Entries[] = {
    {TRepairText::SalvageNoMemoFile, "Нет MEMO файла: искать тексты негде.",
     "No memo file: there are no texts to look for."},
    {TRepairText::SalvageBlockSizeZero, "Размер блока MEMO файла равен 0: тексты не найти.",
     "The memo file's block size is 0: no text can be found."},
    {TRepairText::SalvageSummary,
     "Потерянных текстов: %1 (%2 байт); старых копий текстов таблицы: %3 (%4 байт, не записаны).",
     "Lost texts: %1 (%2 bytes); old copies of the table's texts: %3 (%4 bytes, not written)."},
    {TRepairText::SalvageDone, "Тексты записаны в файл %1.", "The texts are written to %1."},
    {TRepairText::FindingsTitle, "memo file map:", "memo file map:"},
    {TRepairText::References, "ссылки на блоки в файле", "references to blocks in the file"},
    {TRepairText::NotRunStart, "ссылки не на начало текста", "references not to the start of a text"},
    {TRepairText::CrossLinked, "тексты с несколькими ссылками", "texts with several references"},
    {TRepairText::Overlapping, "тексты, налегающие на другие", "texts overlapping other texts"},
    {TRepairText::PastNextFree, "тексты за свободным блоком", "texts past the next free block"},
    {TRepairText::Orphans, "тексты без ссылок", "texts without a reference"},
    {TRepairText::OldCopies, "из них старые копии", "of them old copies"},
    {TRepairText::BlankOrphans, "из них пустые тексты", "of them holding only blanks"},
    {TRepairText::LostTexts, "из них потерянные тексты", "of them lost texts"},
    {TRepairText::NextFreeInside,
     "ошибка: свободный блок заголовка MEMO файла лежит внутри файла (за ним %1 байт)",
     "error: the memo header's next free block lies inside the file (%1 bytes after it)"},
    {TRepairText::NextFreePastEnd,
     "свободный блок заголовка MEMO файла лежит за концом файла на %1 байт",
     "the memo header's next free block lies %1 bytes past the end of the file"},
    {TRepairText::NextFreeAtEnd, "свободный блок заголовка MEMO файла: в конце файла",
     "the memo header's next free block: at the end of the file"},
    {TRepairText::CountShort,
     "ошибка: записей в заголовке %1, в файле места на %2 (не хватает %3 байт)",
     "error: the header counts %1 records, the file has room for %2 (%3 bytes short)"},
    {TRepairText::CountExtra,
     "ошибка: после %1 записей заголовка в файле еще %2 байт",
     "error: after the header's %1 records the file holds %2 more bytes"},
    {TRepairText::CountMatches, "число записей в заголовке совпадает с размером файла",
     "the header's record count matches the file's size"},
    {TRepairText::EofMissing, "ошибка: нет байта конца файла (1A) после записей",
     "error: no end-of-file byte (1A) after the records"},
    {TRepairText::EofOther, "ошибка: после записей байт %1 вместо конца файла (1A)",
     "error: after the records byte %1 instead of the end-of-file byte (1A)"},
    {TRepairText::EofPresent, "байт конца файла на месте", "the end-of-file byte is in place"},
    {TRepairText::DescriptorsMismatch,
     "ошибка: поля занимают %1 байт записи, в заголовке длина записи %2",
     "error: the fields take %1 bytes of a record, the header gives a record size of %2"},
    {TRepairText::DescriptorsMatch, "поля занимают всю длину записи", "the fields fill the record size"},
    {TRepairText::NoMemoMap, "карты MEMO файла нет (нет файла или размер блока 0)",
     "no memo file map (no memo file, or a block size of 0)"},
    {TRepairText::VerdictSound, "итог: ошибок не найдено", "verdict: nothing wrong found"},
    {TRepairText::VerdictDamaged, "итог: найдены ошибки", "verdict: something is wrong"},
    {TRepairText::BackupWritten, "Резервная копия: %1", "Backup: %1"},
    {TRepairText::BackupFailed, "Резервная копия не записана (%1); таблица не изменена.",
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
    {TRepairText::PackDone, "MEMO файл сжат: %1 байт вместо %2; текстов %3, пустых ссылок очищено %4.",
     "The memo file is compacted: %1 bytes instead of %2; %3 texts, %4 references to blank texts blanked."},
};

}  // namespace

bool RussianRun() { return Language() == TLanguage::Russian; }

const char* RepairText(TRepairText Id, bool Russian)
{
    for (const TEntry& e : Entries)
        if (e.Id == Id)
            return Russian ? e.Ru : e.En;
    return "";
}

std::string FormatRepairText(TRepairText Id, const std::vector<std::string>& Values, bool Russian)
{
    const std::string pattern = RepairText(Id, Russian);
    std::string out;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] >= '1' && pattern[i + 1] <= '9') {
            const size_t n = static_cast<size_t>(pattern[i + 1] - '1');
            if (n < Values.size())
                out += Values[n];
            ++i;
        } else {
            out += pattern[i];
        }
    }
    return out;
}
