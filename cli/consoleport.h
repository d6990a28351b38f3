// The window port on a console: the same handlers as the window, with the
// file name and the field list given on the command line, the dialogs
// answered by the named files, and the confirmation asked on the terminal.
// What it shows is in the run's language (cli/texts.h); the exit status
// comes from the handlers' outcomes, not from what the port showed.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "codepage.h"
#include "texts.h"
#include "port.h"

// Text of the memo box with console line ends: the window shows a lone CR
// as a line break too; a console needs LF.
std::string ConsoleLines(const std::string& Text);

// Records done as a live line on a terminal: done, total, rate. Off a
// terminal it shows nothing. Redrawn at most ten times a second, so a step
// costs nothing measurable.
class TProgressBar {
public:
    // Its units are in Language.
    explicit TProgressBar(TLanguage Language = TLanguage::English) : Language_(Language) {}
    void Update(int64_t Done, int64_t Total);
    // Clears the line, if one is shown.
    void End();

private:
    TLanguage Language_;
    bool Shown_ = false;
    bool Checked_ = false;
    bool Terminal_ = false;
    std::chrono::steady_clock::time_point Started_{};
    std::chrono::steady_clock::time_point LastDrawn_{};
};

class TConsolePort : public TWindowlessPort {
public:
    // Texts are said, and the handlers' translated, in Language.
    explicit TConsolePort(TLanguage Language) : Progress(Language), Language_(Language) {}

    std::string Memo;           // the field list, one name per line
    bool AssumeYes = false;     // --yes
    std::string DialogFile;     // what the Save or Open dialog "chooses"
    bool MemoToStdout = false;  // the memo box is the command's output (info, help)
    // The table's code page, when known and the terminal reads UTF-8: field
    // names and texts are shown converted from it.
    const TCodePage* Names = nullptr;
    bool RawText = false;  // table bytes pass unchanged (the help file)

    void SetCaption(const std::string& Text) override;
    void SetProgress(const std::string& Caption, int64_t Done, int64_t Total) override;
    void SetMemoText(const std::string& Text) override;
    std::vector<std::string> MemoLines() override;
    void SuspendMemoPaint() override {}
    void ResumeMemoPaint() override {}
    bool RunFileDialog(TFileDialog& Dialog) override;
    int AskOkCancel(const std::string& Text, const std::string& Caption, int Flags) override;
    void SetCursor(TCursor) override {}
    void ShowError(const std::string& Text) override;
    std::string TableToText(const std::string& Bytes) override;
    std::string TextToTable(const std::string& Text) override;
    void BringToFront() override {}
    void Close() override {}

    TProgressBar Progress;

private:
    TLanguage Language_;
};
