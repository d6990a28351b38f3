#include "texts.h"

#include <cstring>
#include <utility>
#include <vector>

namespace {

// One command's usage: how it is called and what it does.
struct TCommandHelp {
    const char* Name;
    TText Help;
};

const TCommandHelp CommandHelp[] = {
    {"info",
     {"  tarnwick-cli info TABLE\n"
      "      List the memo fields of TABLE on stdout, one per line.\n",
      "  tarnwick-cli info ТАБЛИЦА\n"
      "      Перечислить MEMO поля таблицы на stdout, по одному в строке.\n"}},
    {"check",
     {"  tarnwick-cli check TABLE|FOLDER [--fields A,B] [--codepage N] [--json]\n"
      "      Diagnose the table, its memo references and its memo file without\n"
      "      changing anything, telling damage from wear and naming what mends\n"
      "      each; --json writes the findings as one JSON object. A folder: every\n"
      "      table with a memo file in it and below it, a line each.\n",
      "  tarnwick-cli check ТАБЛИЦА|ПАПКА [--fields A,B] [--codepage N] [--json]\n"
      "      Проверить таблицу, ссылки на MEMO тексты и MEMO файл, ничего не\n"
      "      меняя: отличить повреждения от износа и назвать, что их исправит;\n"
      "      --json выводит находки одним объектом JSON. Папка: каждая таблица\n"
      "      с MEMO файлом в ней и глубже, по строке на таблицу.\n"}},
    {"salvage",
     {"  tarnwick-cli salvage TABLE OUTPUT\n"
      "      Write the memo texts no reference leads to any more to OUTPUT.\n",
      "  tarnwick-cli salvage ТАБЛИЦА ФАЙЛ\n"
      "      Записать в файл MEMO тексты, на которые больше не ведёт ни одна ссылка.\n"}},
    {"clear",
     {"  tarnwick-cli clear TABLE [--fields A,B] [--all] [--yes] [--backup]\n"
      "      Blank the damaged memo references (those that read as blank text),\n"
      "      or all of them with --all.\n",
      "  tarnwick-cli clear ТАБЛИЦА [--fields A,B] [--all] [--yes] [--backup]\n"
      "      Очистить повреждённые ссылки на MEMO (те, что читаются как пустой\n"
      "      текст), или все с --all.\n"}},
    {"rewrite",
     {"  tarnwick-cli rewrite TABLE [--fields A,B] [--yes] [--backup] [--allow-large]\n"
      "      Copy every readable memo text to fresh blocks; blank the rest.\n",
      "  tarnwick-cli rewrite ТАБЛИЦА [--fields A,B] [--yes] [--backup] [--allow-large]\n"
      "      Переписать каждый читаемый MEMO текст в новые блоки; остальные очистить.\n"}},
    {"save",
     {"  tarnwick-cli save TABLE OUTPUT [--fields A,B] [--encoding utf-8] [--codepage N]\n"
      "      Write the fields' texts to the tab-separated text file OUTPUT.\n",
      "  tarnwick-cli save ТАБЛИЦА ФАЙЛ [--fields A,B] [--encoding utf-8] [--codepage N]\n"
      "      Записать тексты полей в текстовый файл с разделителем табуляцией.\n"}},
    {"load",
     {"  tarnwick-cli load TABLE INPUT [--yes] [--encoding utf-8] [--codepage N] [--backup] [--allow-large]\n"
      "      Write the values of such a text file back into TABLE.\n",
      "  tarnwick-cli load ТАБЛИЦА ФАЙЛ [--yes] [--encoding utf-8] [--codepage N] [--backup] [--allow-large]\n"
      "      Загрузить значения из такого текстового файла обратно в таблицу.\n"}},
    {"pack",
     {"  tarnwick-cli pack TABLE [--yes] [--no-backup] [--allow-large]\n"
      "      Compact the memo file: each text references lead to kept once, in\n"
      "      record order, after a backup of both files.\n",
      "  tarnwick-cli pack ТАБЛИЦА [--yes] [--no-backup] [--allow-large]\n"
      "      Сжать MEMO файл: каждый текст, на который ведут ссылки, остаётся один\n"
      "      раз, в порядке записей; сначала резервная копия обоих файлов.\n"}},
    {"relink",
     {"  tarnwick-cli relink TABLE [--fields A,B] [--yes] [--backup] [--dry-run] [--json]\n"
      "      Point damaged memo references back at the lost texts they led to, where\n"
      "      the reference's own bytes or the order the texts were written in leave\n"
      "      one text only; --dry-run lists the proposals and writes nothing.\n",
      "  tarnwick-cli relink ТАБЛИЦА [--fields A,B] [--yes] [--backup] [--dry-run] [--json]\n"
      "      Вернуть повреждённым ссылкам на MEMO потерянные тексты, на которые они\n"
      "      вели, когда байты ссылки или порядок записи текстов указывают ровно на\n"
      "      один текст; --dry-run только перечисляет предложения.\n"}},
    {"help",
     {"  tarnwick-cli help\n"
      "      Show Read_Me.txt, from the current folder or the program's own.\n",
      "  tarnwick-cli help\n"
      "      Показать Read_Me.txt из текущей папки или из папки программы.\n"}},
    {"version",
     {"  tarnwick-cli --version\n"
      "      Show the program's version.\n",
      "  tarnwick-cli --version\n"
      "      Показать версию программы.\n"}},
};

const TText UsageHead = {"Usage:\n", "Использование:\n"};
const TText UsageTail = {
    "\n"
    "--fields takes exact field names, separated by commas; without it the\n"
    "fields are the memo fields that info lists. clear, rewrite, relink, load and\n"
    "pack change the table in place: they ask first on a terminal, and without a\n"
    "terminal they need --yes. --backup (pack: unless --no-backup) copies the\n"
    "table and its memo file beside them first (NAME.DBF.bak, NAME.FPT.bak;\n"
    "then .bak1, .bak2, ...). rewrite, load and pack stop before writing when\n"
    "the memo file would pass 2 GiB, which FoxPro cannot open, unless\n"
    "--allow-large.\n"
    "\n"
    "--encoding utf-8: save writes UTF-8 text converted from the table's code\n"
    "page, load converts such text back; without it the bytes stay as they are.\n"
    "The code page comes from the table's header; --codepage N (437, 850, 852,\n"
    "866, 1250, 1251, 1252, ...) gives it when the mark is missing or wrong.\n"
    "\n"
    "Exit status: 0 done (check: no damage; notes leave it 0); 1 an error\n"
    "(check of a folder: a table could not be checked); 2 wrong usage; 3 refused,\n"
    "cancelled, or stopped by a message before anything was written; 4 check\n"
    "found damage (in a folder: in any table).\n",
    "\n"
    "--fields: точные названия полей через запятую; без него берутся MEMO\n"
    "поля, которые выводит info. clear, rewrite, relink, load и pack меняют\n"
    "таблицу на месте: на терминале они спрашивают подтверждение, без терминала\n"
    "им нужен --yes. --backup (pack: если нет --no-backup) сначала копирует\n"
    "таблицу и MEMO файл рядом с ними (ИМЯ.DBF.bak, ИМЯ.FPT.bak; затем .bak1,\n"
    ".bak2, ...).\n"
    "rewrite, load и pack останавливаются до записи, если MEMO файл превысил бы\n"
    "2 ГБ (FoxPro его не откроет), если не указан --allow-large.\n"
    "\n"
    "--encoding utf-8: save пишет текст в UTF-8, перекодированный из кодовой\n"
    "страницы таблицы, load перекодирует такой текст обратно; без него байты\n"
    "остаются как есть. Кодовая страница берётся из заголовка таблицы;\n"
    "--codepage N (437, 850, 852, 866, 1250, 1251, 1252, ...) задаёт её, когда\n"
    "отметки нет или она неверна.\n"
    "\n"
    "Код выхода: 0 готово (check: повреждений нет; замечания его не меняют);\n"
    "1 ошибка (check папки: таблицу не удалось проверить); 2 неверный вызов;\n"
    "3 отказ, отмена или остановка с сообщением до того, как что-либо записано;\n"
    "4 check нашёл повреждения (в папке: хотя бы в одной таблице).\n"};

// The Russian texts of the handlers and the table layer, with their English.
// "%1" and "%2" stand for the names and numbers inside a text; they are
// carried over as they are. The rest of a text after the last fixed part
// (the full stop the error display adds) is kept too.
struct TCatalogEntry {
    const char* Ru;
    const char* En;
};

const TCatalogEntry Catalog[] = {
    {"DBF файл не найден.", "DBF file not found."},
    {"MEMO файл не найден.", "Memo file not found."},
    {"Размер блока MEMO файла равен 0.", "The memo file's block size is 0."},
    {"Таблица доступна только для чтения.", "The table is read-only."},
    {"Внимание!", "Attention!"},
    {"Очистка...", "Clearing..."},
    {"Перезапись...", "Rewriting..."},
    {"MEMO поля очищены.", "Memo fields cleared."},
    {"MEMO поля переписаны.", "Memo fields rewritten."},
    {"MEMO поля сохранены.", "Memo fields saved."},
    {"MEMO поля загружены.", "Memo fields loaded."},
    {"MEMO полей: %1", "Memo fields: %1"},
    {"Резервная копия: %1", "Backup: %1"},
    {"Сжатие...", "Packing..."},
    {"Остановлено: обработано %1 из %2. Файлы целы.", "Stopped after %1 of %2. The files are whole."},
    {"MEMO файл вырос бы до %1 байт, больше 2 ГБ: FoxPro и Visual FoxPro его не откроют. Продолжить всё равно?",
     "The memo file would grow to %1 bytes, past 2 GiB: FoxPro and Visual FoxPro cannot open it. Go on all the same?"},
    {"Файл \"Read_Me.txt\" не найден.", "File \"Read_Me.txt\" not found."},
    {"Этот файл принадлежит таблице: выберите другой текстовый файл.",
     "This file belongs to the table: choose another text file."},
    {"1) Нажмите кнопку \"Инфо\"\r\n2) Выберите нужные MEMO поля.",
     "1) Press the \"Info\" button\r\n2) Choose the memo fields you need."},
    {"Выбрано больше %1 полей.\r\nОставьте в списке не больше %2 полей.",
     "More than %1 fields chosen.\r\nLeave at most %2 fields in the list."},
    {"Вы действительно хотите очистить эти MEMO поля (%1 шт.)?\r"
     "Восстановление будет невозможно! Программа не сохраняет резервных копий!",
     "Do you really want to clear these memo fields (%1 of them)?\r"
     "There is no way back! The program keeps no backup copies!"},
    {"Вы действительно хотите перезаписать эти MEMO поля (%1 шт.)?\r"
     "Восстановление будет невозможно! Программа не сохраняет резервных копий!",
     "Do you really want to rewrite these memo fields (%1 of them)?\r"
     "There is no way back! The program keeps no backup copies!"},
    {"Вы действительно хотите загрузить MEMO поля из текстового файла?\r"
     "Названия полей указаны в первой строке файла.\r"
     "Восстановление будет невозможно! Программа не сохраняет резервных копий!",
     "Do you really want to load memo fields from the text file?\r"
     "The field names are given in the file's first line.\r"
     "There is no way back! The program keeps no backup copies!"},
    {"В первой строке файла больше %1 названий полей.", "The file's first line names more than %1 fields."},
    {"Поле не найдено %1", "Field not found %1"},
    {"MEMO файл вырос бы до %1 байт, больше 2 ГБ: FoxPro и Visual FoxPro его не откроют. Сожмите MEMO файл "
     "(tarnwick-cli pack). Таблица не изменена.",
     "The memo file would grow to %1 bytes, past 2 GiB: FoxPro and Visual FoxPro cannot open it. Compact the memo "
     "file first (tarnwick-cli pack). The table is unchanged."},
    {"В файле больше %1 строк: столько записей в таблице быть не может.",
     "The file has more than %1 lines: no table holds that many records."},
    {"Строка %1 файла: значений больше, чем названий полей в первой строке.",
     "Line %1 of the file: more values than field names in the first line."},
    {"Ошибка открытия файла %1", "Cannot open the file %1"},
    {"Ошибка чтения заголовка MEMO файла %1", "Cannot read the header of the memo file %1"},
    {"Файл %1 укорочен другой программой во время работы",
     "The file %1 was cut short by another program during the run"},
    {"Ошибка чтения заголовка файла %1", "Cannot read the header of the file %1"},
    {"Ошибка чтения информации о полях файла %1", "Cannot read the field descriptors of the file %1"},
    {"Номер поля должен быть больше или равен 0", "The field number must be 0 or more"},
    {"Номер поля должен быть меньше или равен %1", "The field number must be at most %1"},
    {"Номер записи должен быть больше или равен 0", "The record number must be 0 or more"},
    {"Неверное число записей в заголовке файла %1", "Wrong record count in the header of the file %1"},
    {"Поле %1 выходит за границы записи файла %2", "The field %1 lies outside the record of the file %2"},
    {"Нет MEMO файла для записи MEMO поля таблицы %1", "No memo file to write a memo field of the table %1"},
    {"Неверный размер блока (0) в заголовке MEMO файла %1", "Wrong block size (0) in the header of the memo file %1"},
    {"Неверный тип значения", "Wrong value type"},
    {"MEMO текст слишком длинный для MEMO файла %1", "The memo text is too long for the memo file %1"},
    {"MEMO файл %1 переполнен", "The memo file %1 is full"},
    {"Поле %1 слишком узкое для номера блока %2", "The field %1 is too narrow for the block number %2"},
    {"Значение %1 нельзя записать в поле %2 (тип %3)", "The value %1 cannot be written to the field %2 (type %3)"},
    {"Длины полей таблицы %1 не совпадают с длиной записи (%2): таблица повреждена, запись в неё невозможна",
     "The field widths of the table %1 do not add up to the record length (%2): the table is damaged and "
     "cannot be written to"},
    {"Поле %1 (тип %2) нельзя загрузить из текста: текст не передаёт его байты без потерь",
     "The field %1 (type %2) cannot be loaded from text: text does not carry its bytes without loss"},
};

// Text matched against Pattern from its start: each fixed part in turn, a
// "%N" taking what lies up to the next fixed part (the rest of the text when
// it is last) as argument N, wherever it stands: a translation may put the
// arguments in another order. What follows the pattern's end is returned
// in Rest.
bool Match(const std::string& Text, const char* Pattern, std::vector<std::string>& Args, std::string& Rest)
{
    Args.clear();
    size_t at = 0;
    const char* p = Pattern;
    size_t open = 0;  // the N of a "%N" that waits for the next fixed part
    const auto take = [&](std::string Value) {
        if (Args.size() < open)
            Args.resize(open);
        Args[open - 1] = std::move(Value);
        open = 0;
    };
    while (*p) {
        if (p[0] == '%' && p[1] >= '1' && p[1] <= '9') {
            open = static_cast<size_t>(p[1] - '0');
            p += 2;
            continue;
        }
        const char* next = std::strstr(p, "%");
        while (next && !(next[1] >= '1' && next[1] <= '9'))
            next = std::strstr(next + 1, "%");
        const std::string fixed(p, next ? static_cast<size_t>(next - p) : std::strlen(p));
        if (open) {
            const size_t found = Text.find(fixed, at);
            if (found == std::string::npos)
                return false;
            take(Text.substr(at, found - at));
            at = found;
        } else if (Text.compare(at, fixed.size(), fixed) != 0) {
            return false;
        }
        at += fixed.size();
        p += fixed.size();
    }
    if (open) {
        take(Text.substr(at));
        at = Text.size();
    }
    Rest = Text.substr(at);
    return true;
}

}  // namespace

TLanguage LanguageFromLocale(const char* LcAll, const char* LcMessages, const char* Lang)
{
    for (const char* value : {LcAll, LcMessages, Lang})
        if (value && *value)
            return std::strncmp(value, "ru", 2) == 0 ? TLanguage::Russian : TLanguage::English;
    return TLanguage::English;
}

std::string UsageText(TLanguage Language)
{
    std::string text = Say(UsageHead, Language);
    for (const TCommandHelp& command : CommandHelp)
        text += Say(command.Help, Language);
    return text + Say(UsageTail, Language);
}

std::string CommandUsageText(const std::string& Command, TLanguage Language)
{
    for (const TCommandHelp& command : CommandHelp)
        if (Command == command.Name)
            return Say(UsageHead, Language) + Say(command.Help, Language);
    return std::string();
}

// One text a line, English above Russian, so that each translation stands
// under its original.
namespace Texts {
// clang-format off
const TText TryHelp = {
    "Try 'tarnwick-cli --help'.",
    "Попробуйте 'tarnwick-cli --help'."};
const TText NoCommand = {
    "tarnwick-cli: no command given",
    "tarnwick-cli: не указана команда"};
const TText UnknownCommand = {
    "tarnwick-cli: unknown command '%1'",
    "tarnwick-cli: неизвестная команда '%1'"};
const TText UnknownOption = {
    "tarnwick-cli: unknown option '%1'",
    "tarnwick-cli: неизвестный параметр '%1'"};
const TText OptionNeedsValue = {
    "tarnwick-cli: %1 needs a value",
    "tarnwick-cli: параметру %1 нужно значение"};
const TText WrongFileCount = {
    "tarnwick-cli: %1 takes %2 file name(s)",
    "tarnwick-cli: команде %1 нужно имён файлов: %2"};
const TText OptionNotTaken = {
    "tarnwick-cli: %1 does not take %2",
    "tarnwick-cli: команда %1 не принимает %2"};
const TText BadCodePage = {
    "tarnwick-cli: code page %1 is not one this system converts",
    "tarnwick-cli: кодовую страницу %1 эта система не перекодирует"};
const TText BadEncoding = {
    "tarnwick-cli: unknown encoding '%1' (utf-8 is known)",
    "tarnwick-cli: неизвестная кодировка '%1' (известна utf-8)"};
const TText NoCodePageMark = {
    "The table's header names no code page this program knows (mark %1): give one with --codepage.",
    "Заголовок таблицы не указывает известную программе кодовую страницу (отметка %1): задайте её через --codepage."};
const TText NotInCodePage = {
    "Line %1 of the file: a character that code page %2 cannot hold.",
    "Строка %1 файла: символ, которого нет в кодовой странице %2."};
const TText NotUtf8 = {
    "Line %1 of the file: not UTF-8 text.",
    "Строка %1 файла: текст не в UTF-8."};
const TText NoMemoField = {
    "No memo field \"%1\" in the table.",
    "В таблице нет MEMO поля \"%1\"."};
const TText Confirm = {
    "Go ahead? [y/N] ",
    "Продолжить? [y/N] "};
const TText RecordsPerSecond = {
    "rec/s",
    "зап/с"};
const TText NoTerminal = {
    "No terminal to confirm on: nothing was changed. Pass --yes to go ahead.",
    "Нет терминала для подтверждения: ничего не изменено. Чтобы продолжить, укажите --yes."};

// clang-format on
}  // namespace Texts

std::string Translate(const std::string& Russian, TLanguage Language)
{
    if (Language == TLanguage::Russian)
        return Russian;
    std::vector<std::string> args;
    std::string rest;
    for (const TCatalogEntry& entry : Catalog)
        if (Match(Russian, entry.Ru, args, rest))
            return FillText(entry.En, args) + rest;
    // The command line's own errors, raised in Russian as the layer's are
    // (their other texts are said in the run's language).
    for (const TText* text : {&Texts::NotUtf8, &Texts::NotInCodePage})
        if (Match(Russian, text->Ru, args, rest))
            return FillText(text->En, args) + rest;
    for (TRepairText id : RaisedRepairTexts())
        if (Match(Russian, RepairText(id, TLanguage::Russian), args, rest))
            return FillText(RepairText(id, TLanguage::English), args) + rest;
    return Russian;
}

bool IsYes(const std::string& Answer)
{
    // Yes in either language, whatever the run's.
    for (const char* yes : {"y", "Y", "yes", "д", "Д", "да"})
        if (Answer == yes)
            return true;
    return false;
}
