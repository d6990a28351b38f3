// The main window's logic: one handler per button, the field selection, the
// drop and key handling. Each handler opens its own table, works through it
// and closes it before it returns; no table stays open between clicks.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "dbflite.h"
#include "outcome.h"
#include "textfile.h"
#include "port.h"

class TfmMain {
public:
    static constexpr int MaxSelectedFields = 100;
    static constexpr int VkF1 = 0x70;

    explicit TfmMain(TWindowPort& Port, TFileSystem& Files = OsFileSystem());

    // Start-up state of the window: caption, memo box text.
    void FormCreate();

    void btInfoClick();
    void btClearClick();
    void btAutoClick();  // Rewrite
    void btSaveClick();
    void btLoadClick();
    // Beyond the first five: the full diagnosis into the memo box, the lost
    // texts to a text file, the memo file compacted.
    void btCheckClick();
    void btSalvageClick();
    void btPackClick();
    // Damaged references pointed back at the texts they led to, after a
    // list of the proposals in the memo box and a question.
    void btRelinkClick();
    void btHelpClick();
    void btBrowseFileNameClick();
    void btExitClick();
    void FormKeyDown(int Key);
    // A file dropped from the shell; the port has taken the first name.
    void WMDropFiles(const std::string& FileName);

    // Runs a handler as the application runs an event: an error it raises
    // ends it and is shown by the default error display. Returns what the
    // run came to.
    TOutcome Run(void (TfmMain::*Handler)());

    // What Info lists: the memo fields' names, one a line, as window text.
    // Changes nothing on the window; Stopped when there is no table.
    TOutcome MemoFieldList(std::string& List);

    // The memo box lines as field numbers, in order. On failure the memo box
    // says why, Table is closed and false is returned. MemoOnly refuses
    // fields that are not memo fields, as the operations that blank or
    // rewrite memo references must.
    bool SelectFields(TDBFLite& Table, std::vector<int>& Selection, bool MemoOnly);

    // The dialogs, with the file name and filter entry they keep.
    TFileDialog Open;
    TFileDialog Save;

    // Rewrite and Load stop before writing when they would grow the memo
    // file past the 2 GiB FoxPro opens, unless this is set.
    bool AllowLargeMemo = false;
    // Asks instead, where a person can answer (the window): a run that
    // would pass the limit goes on when the answer is OK.
    bool AskAboutLargeMemo = false;

    static const char* InitialMemoText();

private:
    // The ways a handler ends, each with what the window shows for it.
    void Finish(const std::string& Caption);
    void Stop(const std::string& Caption);
    void Refuse(const std::string& MemoText);
    void Cancel();

    bool TableExists(std::string& Path);
    // Save and Salvage: the table's path, and the text file chosen in the
    // save dialog (offered as the table's name with Extension); false, the
    // reason shown, when there is no table or the dialog was cancelled.
    bool ChooseOutput(std::string& Path, const char* Extension);
    bool OpenForWriting(TDBFLite& Table, const std::string& Path);
    int32_t RecordsToVisit(TDBFLite& Table);
    bool Confirm(const std::string& Text);
    // The start of Clear and Rewrite: the table opened, its memo fields
    // selected, the user asked. False when the run is not to go on; the
    // reason is shown and the table closed.
    // Grows: the run appends a run per text (Rewrite), and stops first when
    // that would take the memo file past the limit.
    bool StartMemoRun(TDBFLite& Table, std::vector<int>& Selection, bool NeedsMemoFile, bool Grows, const char* Verb);
    // Whether a run that would grow the memo file to End may go on: past
    // the limit it stops, saying why, or asks, as AskAboutLargeMemo says.
    bool MemoLimitAllows(const TDBFLite& Table, uint64_t End);
    // The backup, when the check box is ticked, after the question and
    // before the first write; false, the table closed and the reason shown,
    // when it could not be made.
    bool BackUp(TDBFLite& Table);
    // At a record boundary: when the user asked to stop, the table closed
    // as after a whole run and the caption saying how far it got.
    bool StopHere(TDBFLite& Table, int64_t Done, int64_t Total);
    // Progress of check and salvage on the port; a stop request ends them.
    std::function<void(int64_t, int64_t)> ProgressOnPort();
    void ShowProgress(int64_t Done, int64_t Total);
    void WriteSaveLines(TDBFLite& Table, const std::vector<int>& Selection, TTextFileWriter& Out);
    // Load: the fields its file's first line names, or false with the
    // reason shown.
    bool LoadColumns(TDBFLite& Table, TTextFileReader& In, std::vector<int>& Columns);
    // Load's first pass: every line checked as its writes would check it,
    // before anything is written. Counts the lines.
    bool CheckLoadFile(TDBFLite& Table, TTextFileReader& In, const std::vector<int>& Columns, int64_t& Lines);
    void CheckLoadLine(TDBFLite& Table, std::string_view Line, const std::vector<int>& Columns,
                       std::vector<bool>& Reached, uint64_t& Block);

    TWindowPort& Port;
    TFileSystem& Files;
    TOutcome Outcome_;
    std::string Scratch_;  // a value with its escapes undone, room used again
    std::string Stopped_;  // Save stopped on request: its caption
};
