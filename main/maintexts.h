// Every text the window shows: its controls' captions and tooltips, the
// status captions, messages in the memo box, the confirmation boxes and the
// file dialogs' filters, in Russian. The command line translates the
// handlers' texts by these same texts.
#pragma once

#include <string>

namespace MainTexts {

constexpr const char* Title = "Tarnwick";
constexpr const char* TableNotFound = "DBF файл не найден.";
constexpr const char* MemoFileNotFound = "MEMO файл не найден.";
constexpr const char* ZeroBlockSize = "Размер блока MEMO файла равен 0.";
constexpr const char* ReadOnlyTable = "Таблица доступна только для чтения.";
constexpr const char* Attention = "Внимание!";
constexpr const char* NoBackups = "Восстановление будет невозможно! Программа не сохраняет резервных копий!";
constexpr const char* SelectionHint = "1) Нажмите кнопку \"Инфо\"\r\n2) Выберите нужные MEMO поля.";
constexpr const char* TextFileIsTable = "Этот файл принадлежит таблице: выберите другой текстовый файл.";
constexpr const char* HelpNotFound = "Файл \"Read_Me.txt\" не найден.";
constexpr const char* TableFilter = "dbf файлы (*.dbf)|*.dbf|Все файлы (*.*)|*.*";
constexpr const char* TextFilter = "Текстовые файлы (*.txt)|*.txt|Все файлы (*.*)|*.*";

// The window's controls: caption and tooltip (nullptr: none).
struct TControlText {
    const char* Caption;
    const char* Hint;
};
constexpr TControlText FileNameLabel = {"DBF файл", "Выберите DBF файл, нажав Обзор или перетащив на окно программы"};
constexpr TControlText FileNameBox = {"", nullptr};
constexpr TControlText MemoBox = {"", nullptr};
constexpr TControlText BrowseButton = {"Обзор...", "Выбрать dbf файл"};
constexpr TControlText InfoButton = {"Инфо", "Показать инфорамцию о MEMO полях"};
constexpr TControlText RewriteButton = {"Перезапись", "Чтение и перезапись значений MEMO полей"};
constexpr TControlText ClearButton = {"Очистить", "Очистить все ссылки на MEMO поля"};
// The hint's two lines are parted by a lone CR.
constexpr TControlText AllCheckBox = {
    "Все", "Если галочка стоит, будут очищены все поля\rЕсли не стоит, то только испорченные"};
constexpr TControlText SaveButton = {"Сохранить...", "Сохранить текст из MEMO полей в текстовый файл"};
constexpr TControlText LoadButton = {"Загрузить...", "Загрузить текст в MEMO поля из текстового файла"};
constexpr TControlText CheckButton = {"Проверить",
                                      "Полная проверка таблицы и MEMO файла: что повреждено и чем это исправить"};
constexpr TControlText SalvageButton = {"Спасти...",
                                        "Сохранить в текстовый файл тексты, на которые не ведёт ни одна ссылка"};
constexpr TControlText PackButton = {"Сжать", "Сжать MEMO файл: оставить только тексты, на которые ведут ссылки"};
constexpr TControlText RelinkButton = {"Связать", "Вернуть повреждённым ссылкам их тексты, найденные в MEMO файле"};
constexpr TControlText StopButton = {"Стоп", "Остановить работу на границе записи; файлы останутся целыми"};
constexpr TControlText BackupCheckBox = {"Резервная копия",
                                         "Перед изменением скопировать таблицу и MEMO файл рядом с ними (.bak)"};
constexpr TControlText HelpButton = {"Справка", "Справка, информация об авторе, контакт (F1)"};
constexpr TControlText ExitButton = {"Выход", "Выход из программы"};

constexpr const char* Clearing = "Очистка...";
constexpr const char* Rewriting = "Перезапись...";
constexpr const char* Cleared = "MEMO поля очищены.";
constexpr const char* Rewritten = "MEMO поля переписаны.";
constexpr const char* Saved = "MEMO поля сохранены.";
constexpr const char* Loaded = "MEMO поля загружены.";
constexpr const char* Checking = "Проверка...";
constexpr const char* Salvaging = "Поиск потерянных текстов...";
constexpr const char* Packing = "Сжатие...";
constexpr const char* StoppedReading = "Остановлено.";
constexpr const char* Relinking = "Поиск текстов повреждённых ссылок...";
constexpr const char* PackStopped =
    "Сжатие остановлено: каждая ссылка читает свой текст, MEMO файл ещё не сжат. Повторите сжатие.";
constexpr const char* VerbClear = "очистить";
constexpr const char* VerbRewrite = "перезаписать";

constexpr const char* InitialMemo =
    "1) Выберите DBF файл с повреждёнными MEMO полями\r\n"
    "2) Нажмите кнопку \"Инфо\"\r\n"
    "3) Выберите нужные поля\r\n"
    "4) Выберите нужную функцию\r\n"
    "\r\n"
    "Tarnwick: восстановление MEMO полей таблиц DBF с файлом FPT.\r\n"
    "Все операции меняют файлы на месте: сначала сделайте копию.\r\n"
    "Справка: кнопка \"Справка\" или F1 (файл Read_Me.txt).\r\n"
    "Для пакетной работы: tarnwick-cli --help";

inline std::string MemoFieldCount(const std::string& Count) { return "MEMO полей: " + Count; }
inline std::string TooManyFields(const std::string& Limit)
{
    return "Выбрано больше " + Limit + " полей.\r\nОставьте в списке не больше " + Limit + " полей.";
}
inline std::string ConfirmMemoRun(const std::string& Verb, const std::string& Count)
{
    return "Вы действительно хотите " + Verb + " эти MEMO поля (" + Count + " шт.)?\r" + NoBackups;
}
inline std::string ConfirmLoad()
{
    return std::string("Вы действительно хотите загрузить MEMO поля из текстового файла?\r") +
           "Названия полей указаны в первой строке файла.\r" + NoBackups;
}
inline std::string TooManyColumns(const std::string& Limit)
{
    return "В первой строке файла больше " + Limit + " названий полей.";
}
inline std::string FieldNotFound(const std::string& Name) { return "Поле не найдено \"" + Name + "\""; }
inline std::string MemoTooLarge(const std::string& Size)
{
    return "MEMO файл вырос бы до " + Size +
           " байт, больше 2 ГБ: FoxPro и Visual FoxPro его не откроют. Сожмите MEMO файл (tarnwick-cli pack). "
           "Таблица не изменена.";
}
inline std::string TooManyLines(const std::string& Limit)
{
    return "В файле больше " + Limit + " строк: столько записей в таблице быть не может.";
}
inline std::string MoreValuesThanNames(const std::string& Line)
{
    return "Строка " + Line + " файла: значений больше, чем названий полей в первой строке.";
}

inline std::string BackupMade(const std::string& Paths) { return "Резервная копия: " + Paths; }
inline std::string StoppedAt(const std::string& Done, const std::string& Total)
{
    return "Остановлено: обработано " + Done + " из " + Total + ". Файлы целы.";
}
inline std::string ConfirmLargeMemo(const std::string& Size)
{
    return "MEMO файл вырос бы до " + Size +
           " байт, больше 2 ГБ: FoxPro и Visual FoxPro его не откроют. Продолжить всё равно?";
}

}  // namespace MainTexts

// The window during a run on its worker thread.
namespace MainTexts {

constexpr TControlText ProgressBar = {"", nullptr};
constexpr const char* ConfirmStopAndClose =
    "Работа ещё идёт. Остановить её на границе записи и закрыть программу?\rФайлы останутся целыми.";

}  // namespace MainTexts
