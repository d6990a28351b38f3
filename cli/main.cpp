// tarnwick-cli: the operations of the Tarnwick window from a command line,
// through the same handlers, for batch use and for systems without the window.
#include <cctype>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "backup.h"
#include "check.h"
#include "codepage.h"
#include "console.h"
#include "consolefiles.h"
#include "consoleport.h"
#include "diagnosis.h"
#include "pack.h"
#include "relink.h"
#include "texts.h"
#include "salvage.h"
#include "fmmain.h"
#include "helptext.h"
#include "outcome.h"
#include "maintexts.h"
#include "escape.h"
#include "strutil.h"
#include "tarnwick_version.h"

namespace {

enum TExit { ExitDone = 0, ExitError = 1, ExitUsage = 2, ExitNotDone = 3, ExitFound = 4 };
// ParseArguments: COMMAND --help was answered; nothing more to do.
constexpr int UsageShown = -1;

// The options, each a bit, so a command lists those it takes as one mask.
enum TOption : unsigned {
    OptFields = 1,
    OptAll = 2,
    OptYes = 4,
    OptEncoding = 8,
    OptCodePage = 16,
    OptHelp = 32,
    OptJson = 64,
    OptBackup = 128,
    OptAllowLarge = 256,
    OptNoBackup = 512,
    OptDryRun = 1024,
};

struct TOptionSpec {
    const char* Name;
    const char* Short;  // or null
    TOption Option;
    bool TakesValue;
};

const TOptionSpec OptionSpecs[] = {
    {"--fields", nullptr, OptFields, true},
    {"--all", nullptr, OptAll, false},
    {"--yes", "-y", OptYes, false},
    {"--encoding", nullptr, OptEncoding, true},
    {"--codepage", nullptr, OptCodePage, true},
    {"--help", "-h", OptHelp, false},
    {"--json", nullptr, OptJson, false},
    {"--backup", nullptr, OptBackup, false},
    {"--allow-large", nullptr, OptAllowLarge, false},
    {"--no-backup", nullptr, OptNoBackup, false},
    {"--dry-run", nullptr, OptDryRun, false},
};

struct TCommandSpec {
    const char* Name;
    size_t Files;      // the table, then OUTPUT or INPUT
    unsigned Options;  // those it takes besides --help
};

const TCommandSpec CommandSpecs[] = {
    {"info", 1, OptCodePage},
    {"check", 1, OptFields | OptCodePage | OptJson},
    {"salvage", 2, 0},
    {"clear", 1, OptFields | OptAll | OptYes | OptBackup},
    {"rewrite", 1, OptFields | OptYes | OptBackup | OptAllowLarge},
    {"save", 2, OptFields | OptEncoding | OptCodePage},
    {"load", 2, OptYes | OptEncoding | OptCodePage | OptBackup | OptAllowLarge},
    {"pack", 1, OptYes | OptNoBackup | OptAllowLarge},
    {"relink", 1, OptFields | OptYes | OptBackup | OptDryRun | OptJson},
    {"help", 0, 0},
};

struct TOptions {
    const TCommandSpec* Command = nullptr;
    std::vector<std::string> Files;
    unsigned Given = 0;
    std::vector<std::string> Fields;
    std::string Encoding;
    int CodePage = 0;
    TLanguage Language = TLanguage::English;  // the user's, for every text of the run
};

// One line saying what is wrong (Text with Args) and one pointing at the
// usage.
int UsageError(TLanguage Language, const TText& Text, std::initializer_list<std::string> Args = {})
{
    std::cerr << Say(Text, Args, Language) << "\n" << Say(Texts::TryHelp, Language) << std::endl;
    return ExitUsage;
}

const TOptionSpec* FindOption(const std::string& Name)
{
    for (const TOptionSpec& spec : OptionSpecs)
        if (Name == spec.Name || (spec.Short && Name == spec.Short))
            return &spec;
    return nullptr;
}

// The arguments after the command; ExitDone when they make a run.
int ParseArguments(const std::vector<std::string>& Args, TOptions& Options)
{
    const std::string command = Options.Command->Name;
    for (size_t i = 2; i < Args.size(); ++i) {
        std::string arg = Args[i];
        if (arg.size() < 2 || arg[0] != '-') {
            Options.Files.push_back(arg);
            continue;
        }
        std::string value;
        const size_t equals = arg.find('=');
        const bool inlineValue = arg.compare(0, 2, "--") == 0 && equals != std::string::npos;
        if (inlineValue) {
            value = arg.substr(equals + 1);
            arg.resize(equals);
        }
        const TOptionSpec* spec = FindOption(arg);
        if (!spec)
            return UsageError(Options.Language, Texts::UnknownOption, {arg});
        if (spec->Option == OptHelp) {
            std::cout << CommandUsageText(command, Options.Language);
            return UsageShown;
        }
        if (!(Options.Command->Options & spec->Option))
            return UsageError(Options.Language, Texts::OptionNotTaken, {command, spec->Name});
        if (spec->TakesValue && !inlineValue) {
            if (++i == Args.size())
                return UsageError(Options.Language, Texts::OptionNeedsValue, {spec->Name});
            value = Args[i];
        }
        Options.Given |= spec->Option;
        switch (spec->Option) {
        case OptFields:
            for (const std::string& name : SplitAt(value, ","))
                if (!name.empty())
                    Options.Fields.push_back(name);
            break;
        case OptEncoding:
            Options.Encoding = value;
            for (char& c : Options.Encoding)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (Options.Encoding != "utf-8" && Options.Encoding != "utf8")
                return UsageError(Options.Language, Texts::BadEncoding, {value});
            break;
        case OptCodePage:
            Options.CodePage = StrToIntDef(value, 0);
            if (Options.CodePage <= 0)
                return UsageError(Options.Language, Texts::BadCodePage, {value});
            break;
        default: break;
        }
    }
    if (Options.Files.size() != Options.Command->Files)
        return UsageError(Options.Language, Texts::WrongFileCount,
                          {command, IntToStr(static_cast<int64_t>(Options.Command->Files))});
    return ExitDone;
}

// What an operation reports of a long pass, on the console's progress line.
TProgress ProgressOf(TConsolePort& Port)
{
    return [&Port](int64_t Done, int64_t Total) { Port.Progress.Update(Done, Total); };
}

// No table at Path: says so, as the handlers' caption would.
bool TableMissing(const std::string& Path, TLanguage Language)
{
    if (OsFileSystem().FileExists(Path))
        return false;
    std::cerr << Translate(MainTexts::TableNotFound, Language) << std::endl;
    return true;
}

// The exit status a handler's outcome gives.
int ExitFor(const TOutcome& Outcome)
{
    switch (Outcome.Kind) {
    case TOutcomeKind::Done: return ExitDone;
    case TOutcomeKind::Failed: return ExitError;
    default: return ExitNotDone;
    }
}

// An error of the table layer outside a handler, shown as a handler's is.
int ShowError(TConsolePort& Port, const EError& Error)
{
    Port.ShowError(ErrorDisplayText(Error.Message()));
    return ExitError;
}

// A command of the command line's own on the table named first: said and
// stopped when there is no table; an error of the table layer ends the
// progress line and is shown as a handler's is.
template <typename TCommand>
int OnTable(TConsolePort& Port, const TOptions& Options, TCommand Command)
{
    const std::string& path = Options.Files[0];
    if (TableMissing(path, Options.Language))
        return ExitNotDone;
    try {
        return Command(path);
    } catch (const ERefused& e) {
        Port.Progress.End();
        ShowError(Port, e);
        return ExitNotDone;
    } catch (const EError& e) {
        Port.Progress.End();
        return ShowError(Port, e);
    }
}

// The field list the memo box would hold: the names given, or the memo
// fields Info lists. ExitDone when there is one.
int PrepareFieldList(TfmMain& Form, TConsolePort& Port, const TOptions& Options)
{
    if (Options.Given & OptFields) {
        std::string memo;
        for (const std::string& name : Options.Fields)
            memo += (memo.empty() ? "" : "\r\n") + name;
        Port.Memo = memo;
        return ExitDone;
    }
    try {
        const TOutcome listed = Form.MemoFieldList(Port.Memo);
        if (listed.Kind == TOutcomeKind::Done)
            return ExitDone;
        std::cerr << Translate(listed.Message, Options.Language) << std::endl;
        return ExitFor(listed);
    } catch (const EError& e) {
        return ShowError(Port, e);
    }
}

// The code page mark of the table at Path (header byte 29); -1 when the
// table cannot be read, with the message why in Error.
int TableLanguageDriver(const std::string& Path, std::string& Error)
{
    try {
        TDBFLite table;
        table.OpenTable(Path, true);
        return table.LanguageDriver();
    } catch (const EError& e) {
        Error = e.Message();
        return -1;
    }
}

// The help file as UTF-8: it is written in the Windows code page for
// Russian, whatever the system's own code page is.
std::string HelpText(const std::string& Bytes)
{
    if (IsUtf8(Bytes))
        return Bytes;
    try {
        return TCodePage(1251).ToUtf8(Bytes);
    } catch (const EError&) {
        return Bytes;  // the platform cannot convert it: the bytes as they are
    }
}

// Makes the copies Backup makes, naming each; false, with the reason
// said, when one cannot be made.
template <typename TBackup>
bool Backed(TBackup Backup, TLanguage Language)
{
    try {
        for (const std::string& copy : Backup())
            std::cerr << FormatRepairText(TRepairText::BackupWritten, {copy}, Language) << std::endl;
        return true;
    } catch (const EError& e) {
        std::cerr << Translate(e.Message(), Language) << std::endl;
        return false;
    }
}

// The fields check counts in Table: those --fields names, or every memo
// field. False, with the name not found in Missing, when one is no memo
// field of the table.
bool CheckedFields(TDBFLite& Table, TConsolePort& Port, const TOptions& Options, std::vector<int>& Fields,
                   std::string& Missing)
{
    Fields.clear();
    if (!(Options.Given & OptFields)) {
        Fields = Table.MemoFields();
        return true;
    }
    for (const std::string& name : Options.Fields) {
        const int field = Table.FieldIndex(Port.TextToTable(name));
        if (field < 0 || !Table.Fields()[static_cast<size_t>(field)].IsMemo()) {
            Missing = name;
            return false;
        }
        Fields.push_back(field);
    }
    return true;
}

// The code page the JSON's names are converted through: --codepage, else
// the table's mark; none when neither names one this system converts.
std::unique_ptr<TCodePage> NamesCodePage(const TOptions& Options, uint8_t LanguageDriver)
{
    const int number = Options.CodePage != 0 ? Options.CodePage : CodePageOfLanguageDriver(LanguageDriver);
    if (number == 0)
        return nullptr;
    try {
        return std::make_unique<TCodePage>(number);
    } catch (const EError&) {
        return nullptr;
    }
}

// check of a folder: a line (or a JSON line) for every table in it with a
// memo file, then a summary. Damage anywhere gives 4; else a table that
// could not be read gives 1.
int CheckFolder(TConsolePort& Port, const TOptions& Options)
{
    const std::string& folder = Options.Files[0];
    const bool json = (Options.Given & OptJson) != 0;
    const std::vector<std::string> tables = TablesInFolder(folder);
    TFolderTally tally;
    const auto say = [&Options](TRepairText Id, const std::vector<std::string>& Values) {
        return FormatRepairText(Id, Values, Options.Language);
    };
    for (size_t i = 0; i < tables.size(); ++i) {
        const std::string& path = tables[i];
        Port.Progress.Update(static_cast<int64_t>(i), static_cast<int64_t>(tables.size()));
        ++tally.Tables;
        std::string error;
        std::vector<int> fields;
        std::string missing;
        try {
            TDBFLite table;
            table.OpenTable(path, true);
            if (!CheckedFields(table, Port, Options, fields, missing)) {
                error = Say(Texts::NoMemoField, {missing}, Options.Language);
            } else {
                const TFullDiagnosis diagnosis = DiagnoseFully(table, fields, ProgressOf(Port));
                Port.Progress.End();
                const TVerdict verdict = diagnosis.Verdict();
                ++(verdict == TVerdict::Damaged            ? tally.Damaged
                   : verdict == TVerdict::HealthyWithNotes ? tally.WithNotes
                                                           : tally.Healthy);
                if (json) {
                    const std::unique_ptr<TCodePage> names = NamesCodePage(Options, table.LanguageDriver());
                    PrintDiagnosisJson(diagnosis, path, std::cout, names.get());
                } else {
                    std::cout << say(TRepairText::FolderTable, {path, VerdictText(verdict, Options.Language),
                                                                std::to_string(diagnosis.Damage().size()),
                                                                std::to_string(diagnosis.Notes().size())})
                              << "\n";
                }
            }
        } catch (const EError& e) {
            error = Translate(ErrorDisplayText(e.Message()), Options.Language);
        } catch (const std::exception& e) {
            error = e.what();
        }
        if (!error.empty()) {
            Port.Progress.End();
            ++tally.Unreadable;
            if (json)
                PrintUnreadableJson(path, error, std::cout);
            else
                std::cout << say(TRepairText::FolderUnreadable, {path, error}) << "\n";
        }
        std::cout.flush();
    }
    Port.Progress.End();
    if (json) {
        PrintFolderSummaryJson(tally, std::cout);
    } else {
        if (tables.empty())
            std::cout << say(TRepairText::FolderNoTables, {folder}) << "\n";
        std::cout << say(TRepairText::FolderSummary,
                         {std::to_string(tally.Tables), std::to_string(tally.Damaged), std::to_string(tally.WithNotes),
                          std::to_string(tally.Healthy), std::to_string(tally.Unreadable)})
                  << "\n";
    }
    std::cout.flush();
    if (tally.Damaged > 0)
        return ExitFound;
    return tally.Unreadable > 0 ? ExitError : ExitDone;
}

int RunCheckCommand(TConsolePort& Port, const TOptions& Options)
{
    if (IsFolder(Options.Files[0]))
        return CheckFolder(Port, Options);
    return OnTable(Port, Options, [&](const std::string& path) {
        // Read-only: the diagnosis changes nothing and locks nothing.
        TDBFLite table;
        table.OpenTable(path, true);
        std::vector<int> fields;
        std::string missing;
        if (!CheckedFields(table, Port, Options, fields, missing)) {
            std::cerr << Say(Texts::NoMemoField, {missing}, Options.Language) << std::endl;
            return ExitNotDone;
        }
        const TFullDiagnosis diagnosis = DiagnoseFully(table, fields, ProgressOf(Port));
        Port.Progress.End();
        if (Options.Given & OptJson) {
            const std::unique_ptr<TCodePage> names = NamesCodePage(Options, table.LanguageDriver());
            PrintDiagnosisJson(diagnosis, path, std::cout, names.get());
        } else {
            PrintDiagnosis(diagnosis.Fields, path, std::cout, Port, Options.Language);
            PrintFindings(diagnosis, std::cout, Options.Language);
        }
        std::cout.flush();
        // Notes are the wear of normal use: they never change the status.
        return diagnosis.Damage().empty() ? ExitDone : ExitFound;
    });
}

int RunSalvageCommand(TConsolePort& Port, const TOptions& Options)
{
    return OnTable(Port, Options, [&](const std::string& path) {
        const TMemoMapFindings found =
            SalvageOrphans(OsFileSystem(), path, Options.Files[1],
                           [&Port](int64_t Done, int64_t Total) { Port.Progress.Update(Done, Total); });
        Port.Progress.End();
        std::cerr << FormatRepairText(TRepairText::SalvageSummary,
                                      {std::to_string(found.LostTexts), std::to_string(found.LostTextBytes),
                                       std::to_string(found.OldCopies), std::to_string(found.OldCopyBytes)},
                                      Options.Language)
                  << "\n"
                  << FormatRepairText(TRepairText::SalvageDone, {Options.Files[1]}, Options.Language) << std::endl;
        return ExitDone;
    });
}

int RunPackCommand(TfmMain& Form, TConsolePort& Port, const TOptions& Options)
{
    // The window's Pack, its backup made unless the user said not to.
    Port.Backup = (Options.Given & OptNoBackup) == 0;
    return ExitFor(Form.Run(&TfmMain::btPackClick));
}

int RunRelinkCommand(TConsolePort& Port, const TOptions& Options)
{
    return OnTable(Port, Options, [&](const std::string& path) {
        const TLanguage language = Options.Language;
        std::vector<int> fields;
        // The names and the code page mark, for the report.
        TDBFLite names;
        names.OpenTable(path, true);
        std::string missing;
        if (!CheckedFields(names, Port, Options, fields, missing)) {
            std::cerr << Say(Texts::NoMemoField, {missing}, language) << std::endl;
            return ExitNotDone;
        }
        const std::vector<TFieldDesc> descs = names.Fields();
        const uint8_t driver = names.LanguageDriver();
        names.CloseTable();
        const bool json = (Options.Given & OptJson) != 0;
        const bool dryRun = (Options.Given & OptDryRun) != 0;
        const auto progress = [&Port](int64_t Done, int64_t Total) { Port.Progress.Update(Done, Total); };
        // Once the proposals are known, on the table open for writing: the
        // list, the question naming their count, then the backup.
        const auto decide = [&](TDBFLite& Table, const TRelinkResult& Plan) {
            Port.Progress.End();
            PrintRelinkProposals(Table.Fields(), Plan, Port, json ? std::cerr : std::cout, language);
            const std::string question =
                FormatRepairText(TRepairText::RelinkConfirm, {std::to_string(Plan.Proposals.size())}, language);
            if (Port.AskOkCancel(question, MainTexts::Attention, 0) != IdOk)
                return false;
            return !(Options.Given & OptBackup) ||
                   Backed([&] { return BackupOpenTable(OsFileSystem(), Table); }, language);
        };
        const TRelinkResult result = dryRun ? PlanRelink(OsFileSystem(), path, fields, progress)
                                            : RelinkMemoRefs(OsFileSystem(), path, fields, progress, decide);
        Port.Progress.End();
        const std::unique_ptr<TCodePage> codePage = NamesCodePage(Options, driver);
        if (json)
            PrintRelinkJson(descs, result, path, dryRun, codePage.get(), std::cout);
        const std::string damaged = std::to_string(result.Damaged);
        const std::string noCandidate = std::to_string(result.NoCandidate);
        const std::string ambiguous = std::to_string(result.Ambiguous);
        const std::string contested = std::to_string(result.Contested);
        if (result.Proposals.empty()) {
            std::cerr << FormatRepairText(TRepairText::RelinkNothing, {damaged, noCandidate, ambiguous, contested},
                                          language)
                      << std::endl;
            return ExitDone;
        }
        if (dryRun) {
            if (!json)
                PrintRelinkProposals(descs, result, Port, std::cout, language);
            std::cerr << FormatRepairText(
                             TRepairText::RelinkSummary,
                             {std::to_string(result.Proposals.size()), damaged, noCandidate, ambiguous, contested},
                             language)
                      << std::endl;
            return ExitDone;
        }
        if (result.Cancelled)
            return ExitNotDone;
        std::cerr << FormatRepairText(TRepairText::RelinkDone, {std::to_string(result.Written)}, language) << std::endl;
        if (result.Dropped > 0)
            std::cerr << FormatRepairText(TRepairText::RelinkDropped, {std::to_string(result.Dropped)}, language)
                      << std::endl;
        return ExitDone;
    });
}

int RunHelpCommand(TfmMain& Form, TConsolePort& Port, TLanguage Language)
{
    Port.MemoToStdout = true;
    Port.RawText = true;
    const TOutcome outcome = Form.Run(&TfmMain::btHelpClick);
    if (outcome.Kind == TOutcomeKind::Refused)
        std::cerr << Translate(outcome.Message, Language) << std::endl;
    else if (outcome.Kind == TOutcomeKind::Done)
        std::cout << ConsoleLines(HelpText(Port.Memo)) << "\n";
    return ExitFor(outcome);
}

// The table's code page: for the text file with --encoding, and for the
// names a UTF-8 terminal shows. ExitDone, or why the run cannot go on.
int PrepareCodePage(const TOptions& Options, TConsolePort& Port, TConsoleFiles& Files,
                    std::unique_ptr<TCodePage>& CodePage)
{
    const bool converting = !Options.Encoding.empty();
    if (!converting && (!TerminalReadsUtf8() || std::string(Options.Command->Name) == "help"))
        return ExitDone;
    std::string error;
    const int driver = TableLanguageDriver(Port.FileName, error);
    const int number = Options.CodePage != 0
                           ? Options.CodePage
                           : (driver < 0 ? 0 : CodePageOfLanguageDriver(static_cast<uint8_t>(driver)));
    // Converting needs the code page before anything is written; only the
    // names on the terminal go without.
    if (converting && number == 0) {
        if (TableMissing(Port.FileName, Options.Language))
            return ExitNotDone;
        if (driver < 0) {
            std::cerr << Translate(ErrorDisplayText(error), Options.Language) << std::endl;
            return ExitError;
        }
        std::cerr << Say(Texts::NoCodePageMark, {"0x" + HexByte(static_cast<uint8_t>(driver))}, Options.Language)
                  << std::endl;
        return ExitNotDone;
    }
    try {
        if (number != 0)
            CodePage = std::make_unique<TCodePage>(number);
    } catch (const EError&) {
        // A mark naming a code page this system cannot convert leaves
        // the names as they are; one the user asked for is an error.
        if (converting || Options.CodePage != 0)
            return UsageError(Options.Language, Texts::BadCodePage, {IntToStr(number)});
    }
    if (TerminalReadsUtf8())
        Port.Names = CodePage.get();
    if (converting) {
        Files.CodePage = CodePage.get();
        Files.TextFile = Port.DialogFile;
    }
    return ExitDone;
}

// Runs the command through the handlers; its exit status.
int RunCommand(const std::string& Command, const TOptions& Options, TfmMain& Form, TConsolePort& Port)
{
    if (Command == "check")
        return RunCheckCommand(Port, Options);
    if (Command == "salvage")
        return RunSalvageCommand(Port, Options);
    if (Command == "pack")
        return RunPackCommand(Form, Port, Options);
    if (Command == "relink")
        return RunRelinkCommand(Port, Options);
    if (Command == "help")
        return RunHelpCommand(Form, Port, Options.Language);
    if (Command == "info") {
        Port.MemoToStdout = true;
        const TOutcome outcome = Form.Run(&TfmMain::btInfoClick);
        if (outcome.Kind == TOutcomeKind::Done)
            for (const std::string& name : Port.MemoLines())
                std::cout << name << "\n";
        return ExitFor(outcome);
    }
    if (Command == "load")
        return ExitFor(Form.Run(&TfmMain::btLoadClick));
    const int listed = PrepareFieldList(Form, Port, Options);
    if (listed != ExitDone)
        return listed;
    if (Command == "clear")
        return ExitFor(Form.Run(&TfmMain::btClearClick));
    if (Command == "rewrite")
        return ExitFor(Form.Run(&TfmMain::btAutoClick));
    return ExitFor(Form.Run(&TfmMain::btSaveClick));
}

int Run(const std::vector<std::string>& Args, TLanguage Language)
{
    if (Args.size() < 2)
        return UsageError(Language, Texts::NoCommand);
    const std::string& first = Args[1];
    if (first == "--help" || first == "-h") {
        std::cout << UsageText(Language);
        return ExitDone;
    }
    if (first == "--version" || first == "version") {
        std::cout << "tarnwick-cli " << TARNWICK_VERSION_TEXT << "\n";
        return ExitDone;
    }
    TOptions options;
    options.Language = Language;
    for (const TCommandSpec& c : CommandSpecs)
        if (first == c.Name)
            options.Command = &c;
    if (!options.Command)
        return UsageError(Language, first.size() > 1 && first[0] == '-' ? Texts::UnknownOption : Texts::UnknownCommand,
                          {first});
    const int parsed = ParseArguments(Args, options);
    if (parsed != ExitDone)
        return parsed == UsageShown ? ExitDone : parsed;
    const std::string command = options.Command->Name;

    TConsolePort port(Language);
    port.All = (options.Given & OptAll) != 0;
    port.AssumeYes = (options.Given & OptYes) != 0;
    // clear, rewrite and load copy both files after the answer, before their
    // first write, as the window's check box has them do.
    port.Backup = (options.Given & OptBackup) != 0;
    if (!options.Files.empty())
        port.FileName = options.Files[0];
    if (options.Files.size() > 1)
        port.DialogFile = options.Files[1];
    TConsoleFiles files(OsFileSystem());
    const std::string folder = ProgramFolder(Args.empty() ? std::string() : Args[0]);
    if (!folder.empty())
        files.ProgramHelpFile = folder + HelpFileName;

    std::unique_ptr<TCodePage> codePage;
    const int prepared = PrepareCodePage(options, port, files, codePage);
    if (prepared != ExitDone)
        return prepared;
    TfmMain form(port, files);
    form.AllowLargeMemo = (options.Given & OptAllowLarge) != 0;

    return RunCommand(command, options, form, port);
}
}  // namespace

int main(int argc, char** argv)
{
    // First: unsyncing replaces the streams' buffers, which PrepareConsole
    // may set itself.
    std::ios::sync_with_stdio(false);
    PrepareConsole();
    const int status = Run(CommandLineArguments(argc, argv), UserLanguage());
    std::cout.flush();
    return status;
}
