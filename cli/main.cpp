// tarnwick-cli: the operations of the Tarnwick window from a command line,
// through the same handlers, for batch use and for systems without the window.
#include <iostream>
#include <string>
#include <vector>

#include "cli/backup.h"
#include "cli/check.h"
#include "cli/diagnosis.h"
#include "cli/memolimit.h"
#include "cli/pack.h"
#include "cli/repairtexts.h"
#include "cli/salvage.h"
#include "cli/console.h"
#include "cli/consoleport.h"
#include "main/fmmain.h"
#include "main/memotext.h"
#include "strutil/strutil.h"

namespace {

enum TExit { ExitDone = 0, ExitError = 1, ExitUsage = 2, ExitNotDone = 3, ExitFound = 4 };

const char* const Usage =
    "Usage:\n"
    "  tarnwick-cli info TABLE\n"
    "      List the memo fields of TABLE on stdout, one per line.\n"
    "  tarnwick-cli check TABLE [--fields A,B] [--json]\n"
    "      Diagnose the table, its memo references and its memo file without\n"
    "      changing anything; --json writes the findings as one JSON object.\n"
    "  tarnwick-cli salvage TABLE OUTPUT\n"
    "      Write the texts of the memo file that no reference leads to to OUTPUT.\n"
    "  tarnwick-cli clear TABLE [--fields A,B] [--all] [--yes] [--backup]\n"
    "      Blank the damaged memo references (those that read as blank text),\n"
    "      or all of them with --all.\n"
    "  tarnwick-cli rewrite TABLE [--fields A,B] [--yes] [--backup] [--allow-large]\n"
    "      Copy every readable memo text to fresh blocks; blank the rest.\n"
    "  tarnwick-cli save TABLE OUTPUT [--fields A,B]\n"
    "      Write the fields' texts to the tab-separated text file OUTPUT.\n"
    "  tarnwick-cli load TABLE INPUT [--yes] [--backup] [--allow-large]\n"
    "      Write the values of such a text file back into TABLE.\n"
    "  tarnwick-cli pack TABLE [--yes] [--no-backup] [--allow-large]\n"
    "      Compact the memo file: keep each text references lead to once, in\n"
    "      record order, after a backup of both files.\n"
    "  tarnwick-cli help\n"
    "      Show Read_Me.txt from the current folder.\n"
    "\n"
    "--fields takes exact field names, separated by commas; without it the\n"
    "fields are the memo fields that info lists. clear, rewrite and load change\n"
    "the table in place: they ask first on a terminal, and without a terminal\n"
    "they need --yes. --backup copies the table and its memo file beside them\n"
    "first (NAME.DBF.bak, NAME.FPT.bak; then .bak1, .bak2, ...). rewrite and\n"
    "load stop before writing when the memo file would pass 2 GiB, which\n"
    "FoxPro cannot open, unless --allow-large.\n"
    "\n"
    "Exit status: 0 done (check: nothing wrong); 1 an error; 2 wrong usage;\n"
    "3 refused, cancelled, or stopped by a message before anything was written;\n"
    "4 check found something wrong.\n";

struct TOptions {
    std::string Command;
    std::vector<std::string> Files;  // the table, then OUTPUT or INPUT
    std::vector<std::string> Fields;
    bool FieldsGiven = false;
    bool All = false;
    bool Yes = false;
    bool Json = false;        // check
    bool Backup = false;      // clear, rewrite, load
    bool AllowLarge = false;  // rewrite, load, pack
    bool NoBackup = false;    // pack
};

int UsageError(const std::string& Message)
{
    std::cerr << "tarnwick-cli: " << Message << "\n\n" << Usage;
    return ExitUsage;
}

// The field list the memo box would hold: the names given, or what Info lists.
bool PrepareFieldList(TfmMain& Form, TConsolePort& Port, const TOptions& Options)
{
    if (Options.FieldsGiven) {
        std::string memo;
        for (const std::string& name : Options.Fields)
            memo += (memo.empty() ? "" : "\r\n") + name;
        Port.Memo = memo;
        return true;
    }
    Port.Quiet = true;
    Port.MemoToStdout = true;
    Form.Run(&TfmMain::btInfoClick);
    Port.Quiet = false;
    Port.MemoToStdout = false;
    if (Port.ErrorShown)
        return false;
    if (Port.LastCaption == "DBF файл не найден.") {
        std::cerr << Port.LastCaption << std::endl;
        return false;
    }
    return true;
}

int Outcome(const TConsolePort& Port, const char* Success)
{
    if (Port.ErrorShown)
        return ExitError;
    if (Port.Refused)
        return ExitNotDone;
    return Port.LastCaption == Success ? ExitDone : ExitNotDone;
}

int RunCheckCommand(TConsolePort& Port, const TOptions& Options)
{
    const std::string& path = Options.Files[0];
    if (!OsFileSystem().FileExists(path)) {
        std::cerr << "DBF файл не найден." << std::endl;
        return ExitNotDone;
    }
    try {
        // Read-only: the diagnosis changes nothing and locks nothing.
        TDBFLite table;
        table.OpenTable(path, true);
        std::vector<int> fields;
        if (Options.FieldsGiven) {
            for (const std::string& name : Options.Fields) {
                const int field = table.FieldIndex(Port.TextToTable(name));
                if (field < 0 || table.Fields[static_cast<size_t>(field)].FieldType != 'M') {
                    std::cerr << "No memo field \"" << name << "\" in the table." << std::endl;
                    return ExitNotDone;
                }
                fields.push_back(field);
            }
        } else {
            for (size_t i = 0; i < table.Fields.size(); ++i)
                if (table.Fields[i].FieldType == 'M')
                    fields.push_back(static_cast<int>(i));
        }
        const TFullDiagnosis diagnosis = DiagnoseFully(table, fields, Port.Progress);
        if (Options.Json) {
            PrintDiagnosisJson(diagnosis, path, std::cout, Port);
        } else {
            PrintDiagnosis(diagnosis.Fields, path, std::cout, Port);
            PrintFindings(diagnosis, std::cout);
        }
        std::cout.flush();
        return diagnosis.Problems().empty() ? ExitDone : ExitFound;
    } catch (const EError& e) {
        Port.Progress.End();
        std::cerr << ErrorDisplayText(e.Message()) << std::endl;
        return ExitError;
    }
}

int RunSalvageCommand(TConsolePort& Port, const TOptions& Options)
{
    const std::string& path = Options.Files[0];
    if (!OsFileSystem().FileExists(path)) {
        std::cerr << "DBF файл не найден." << std::endl;
        return ExitNotDone;
    }
    try {
        const TMemoMapFindings found = SalvageOrphans(
            OsFileSystem(), path, Options.Files[1],
            [&Port](int64_t Done, int64_t Total) { Port.Progress.Update(Done, Total); });
        Port.Progress.End();
        std::cerr << FormatRepairText(TRepairText::SalvageSummary,
                                      {std::to_string(found.LostTexts), std::to_string(found.LostTextBytes),
                                       std::to_string(found.OldCopies), std::to_string(found.OldCopyBytes)})
                  << "\n"
                  << FormatRepairText(TRepairText::SalvageDone, {Options.Files[1]}) << std::endl;
        return ExitDone;
    } catch (const EError& e) {
        Port.Progress.End();
        std::cerr << ErrorDisplayText(e.Message()) << std::endl;
        return ExitError;
    }
}

int RunPackCommand(TConsolePort& Port, const TOptions& Options)
{
    const std::string& path = Options.Files[0];
    if (!OsFileSystem().FileExists(path)) {
        std::cerr << "DBF файл не найден." << std::endl;
        return ExitNotDone;
    }
    try {
        // Once the plan is made (the limit checked) and before any write:
        // the question, then the backup, both through the open table.
        const auto beforeWrites = [&](TDBFLite& Table, const TPackResult& Plan) {
            Port.Progress.End();
            const std::string question = FormatRepairText(
                TRepairText::PackConfirm,
                {std::to_string(Plan.Texts), std::to_string(Plan.SizeAfter), std::to_string(Plan.SizeBefore)});
            if (Port.AskOkCancel(question, "Внимание!", 0) != IdOk)
                return false;
            if (!Options.NoBackup) {
                try {
                    for (const std::string& copy : BackupOpenTable(OsFileSystem(), Table))
                        std::cerr << FormatRepairText(TRepairText::BackupWritten, {copy}) << std::endl;
                } catch (const EError& e) {
                    std::cerr << e.Message() << std::endl;
                    return false;
                }
            }
            return true;
        };
        const TPackResult done =
            PackMemo(OsFileSystem(), path, Options.AllowLarge,
                     [&Port](int64_t Done, int64_t Total) { Port.Progress.Update(Done, Total); }, beforeWrites);
        Port.Progress.End();
        if (done.TooLarge)
            std::cerr << FormatRepairText(TRepairText::MemoTooLarge, {std::to_string(done.PeakSize)}) << std::endl;
        if (!done.Done)
            return ExitNotDone;
        std::cerr << FormatRepairText(TRepairText::PackDone,
                                      {std::to_string(done.SizeAfter), std::to_string(done.SizeBefore),
                                       std::to_string(done.Texts), std::to_string(done.Blanked)})
                  << std::endl;
        return ExitDone;
    } catch (const EError& e) {
        Port.Progress.End();
        std::cerr << ErrorDisplayText(e.Message()) << std::endl;
        return ExitError;
    }
}

// What clear, rewrite and load do before the handler writes anything: the
// memo file's size limit (rewrite, load), then the backup. -1 to go on, or
// the exit status of a run stopped before any change.
int BeforeChanges(TConsolePort& Port, const TOptions& Options)
{
    const std::string& path = Options.Files[0];
    if (!OsFileSystem().FileExists(path))
        return -1;  // the handler says so
    try {
        if (Options.Command != "clear" && !Options.AllowLarge) {
            // Read-only, before the handler opens the table for writing.
            TDBFLite table;
            table.OpenTable(path, true);
            uint64_t size = table.MemoFileSize();
            if (Options.Command == "load") {
                if (OsFileSystem().FileExists(Options.Files[1]))
                    size = MemoSizeAfterLoad(table, OsFileSystem(), Options.Files[1]);
            } else {
                std::vector<int> fields;
                for (const std::string& line : Port.MemoLines()) {
                    const int field = table.FieldIndex(Port.TextToTable(line));
                    if (field >= 0 && table.Fields[static_cast<size_t>(field)].FieldType == 'M')
                        fields.push_back(field);
                }
                size = MemoSizeAfterRewrite(table, fields);
            }
            if (size > OwnerMemoLimit) {
                std::cerr << FormatRepairText(TRepairText::MemoTooLarge, {std::to_string(size)}) << std::endl;
                return ExitNotDone;
            }
        }
    } catch (const EError& e) {
        std::cerr << ErrorDisplayText(e.Message()) << std::endl;
        return ExitError;
    }
    if (Options.Backup) {
        try {
            for (const std::string& copy : BackupTable(OsFileSystem(), path))
                std::cerr << FormatRepairText(TRepairText::BackupWritten, {copy}) << std::endl;
        } catch (const EError& e) {
            std::cerr << e.Message() << std::endl;
            return ExitNotDone;
        }
    }
    return -1;
}

int Run(const std::vector<std::string>& Args)
{
    if (Args.size() < 2)
        return UsageError("no command given");
    TOptions options;
    options.Command = Args[1];
    if (options.Command == "--help" || options.Command == "-h") {
        std::cout << Usage;
        return ExitDone;
    }
    for (size_t i = 2; i < Args.size(); ++i) {
        const std::string& arg = Args[i];
        if (arg == "--all") {
            options.All = true;
        } else if (arg == "--json") {
            options.Json = true;
        } else if (arg == "--backup") {
            options.Backup = true;
        } else if (arg == "--no-backup") {
            options.NoBackup = true;
        } else if (arg == "--allow-large") {
            options.AllowLarge = true;
        } else if (arg == "--yes" || arg == "-y") {
            options.Yes = true;
        } else if (arg == "--fields" || arg.compare(0, 9, "--fields=") == 0) {
            std::string list;
            if (arg == "--fields") {
                if (++i == Args.size())
                    return UsageError("--fields needs a list of names");
                list = Args[i];
            } else {
                list = arg.substr(9);
            }
            options.FieldsGiven = true;
            for (const std::string& name : SplitAt(list, ","))
                if (!name.empty())
                    options.Fields.push_back(name);
        } else if (arg == "--help" || arg == "-h") {
            std::cout << Usage;
            return ExitDone;
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            return UsageError("unknown option " + arg);
        } else {
            options.Files.push_back(arg);
        }
    }

    struct TCommand {
        const char* Name;
        size_t Files;
        bool Fields, All, Yes;
    };
    static const TCommand commands[] = {
        {"info", 1, false, false, false},  {"check", 1, true, false, false}, {"clear", 1, true, true, true},
        {"rewrite", 1, true, false, true}, {"save", 2, true, false, false},  {"load", 2, false, false, true},
        {"help", 0, false, false, false},  {"salvage", 2, false, false, false},
        {"pack", 1, false, false, true},
    };
    const TCommand* command = nullptr;
    for (const TCommand& c : commands)
        if (options.Command == c.Name)
            command = &c;
    if (!command)
        return UsageError("unknown command " + options.Command);
    if (options.Files.size() != command->Files)
        return UsageError(options.Command + " takes " + std::to_string(command->Files) + " file name(s)");
    if ((options.FieldsGiven && !command->Fields) || (options.All && !command->All) || (options.Yes && !command->Yes))
        return UsageError("an option " + options.Command + " does not take");
    const bool changes = options.Command == "clear" || options.Command == "rewrite" || options.Command == "load";
    if ((options.Json && options.Command != "check") || (options.Backup && !changes) ||
        (options.NoBackup && options.Command != "pack") ||
        (options.AllowLarge && ((!changes && options.Command != "pack") || options.Command == "clear")))
        return UsageError("an option " + options.Command + " does not take");

    TConsolePort port;
    port.All = options.All;
    port.AssumeYes = options.Yes;
    if (!options.Files.empty())
        port.FileName = options.Files[0];
    if (options.Files.size() > 1)
        port.DialogFile = options.Files[1];
    TfmMain form(port);

    if (options.Command == "check")
        return RunCheckCommand(port, options);
    if (options.Command == "salvage")
        return RunSalvageCommand(port, options);
    if (options.Command == "pack")
        return RunPackCommand(port, options);
    if (options.Command == "help") {
        port.MemoToStdout = true;
        form.Run(&TfmMain::btHelpClick);
        if (port.ErrorShown)
            return ExitError;
        if (port.Memo == "Файл \"Read_Me.txt\" не найден.") {
            std::cerr << port.Memo << std::endl;
            return ExitNotDone;
        }
        std::cout << ConsoleHelpText(port.Memo) << "\n";
        return ExitDone;
    }
    if (options.Command == "info") {
        port.MemoToStdout = true;
        form.Run(&TfmMain::btInfoClick);
        if (port.ErrorShown)
            return ExitError;
        if (port.LastCaption == "DBF файл не найден.")
            return ExitNotDone;
        for (const std::string& name : port.MemoLines())
            std::cout << name << "\n";
        return ExitDone;
    }
    if (options.Command == "load") {
        const int stop = BeforeChanges(port, options);
        if (stop >= 0)
            return stop;
        form.Run(&TfmMain::btLoadClick);
        return Outcome(port, "MEMO поля загружены.");
    }
    if (!PrepareFieldList(form, port, options))
        return port.ErrorShown ? ExitError : ExitNotDone;
    const int stop = BeforeChanges(port, options);
    if (stop >= 0)
        return stop;
    if (options.Command == "clear") {
        form.Run(&TfmMain::btClearClick);
        return Outcome(port, "MEMO поля очищены.");
    }
    if (options.Command == "rewrite") {
        form.Run(&TfmMain::btAutoClick);
        return Outcome(port, "MEMO поля переписаны.");
    }
    form.Run(&TfmMain::btSaveClick);
    return Outcome(port, "MEMO поля сохранены.");
}

}  // namespace

int main(int argc, char** argv)
{
    PrepareConsole();
    std::ios::sync_with_stdio(false);
    const int status = Run(CommandLineArguments(argc, argv));
    std::cout.flush();
    return status;
}
