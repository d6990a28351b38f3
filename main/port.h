// The window as the handlers see it. The handlers of TfmMain never touch the
// real window: they talk to this port, so they run alike under the Win32
// window, the console front end and the test fake.
//
// Every text crossing the port is UTF-8. Table bytes (field names, memo box
// lines, the help file) are turned into window text and back by the port,
// which knows the code page the window shows them in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class TCursor { Default = 0, HourGlass = -11 };

// Results and flags of the message box, as Windows numbers them.
constexpr int IdOk = 1;
constexpr int IdCancel = 2;
constexpr int MbOkCancel = 1;

// A file dialog and what it keeps from one use to the next.
struct TFileDialog {
    enum TKind { Open, Save };
    TKind Kind = Open;
    // Entries "description|pattern|description|pattern..."
    std::string Filter;
    int FilterIndex = 1;  // the entry shown, from 1
    std::string FileName;
};

class TWindowPort {
public:
    virtual ~TWindowPort() = default;

    // The caption is the status line. Progress steps come through
    // SetProgress with the numbers the caption text was made from (Total is
    // 0 when unknown), so a front end may show them its own way.
    virtual void SetCaption(const std::string& Text) = 0;
    virtual void SetProgress(const std::string& Caption, int64_t Done, int64_t Total) = 0;

    virtual std::string FileNameText() = 0;
    virtual void SetFileNameText(const std::string& Text) = 0;

    virtual void SetMemoText(const std::string& Text) = 0;
    // The memo box's lines as displayed (wrapped lines count one each).
    virtual std::vector<std::string> MemoLines() = 0;
    virtual void SuspendMemoPaint() = 0;
    virtual void ResumeMemoPaint() = 0;

    virtual bool AllChecked() = 0;
    // The backup check box: Clear, Rewrite, Load and Pack copy the table
    // and its memo file beside them, after the question and before their
    // first write, when it is ticked.
    virtual bool BackupChecked() = 0;

    // Whether the user asked the run under way to stop (the Stop button, or
    // closing the window). The runs ask between records and end there, the
    // files consistent; a port that cannot be asked says false.
    virtual bool StopRequested() = 0;

    // Shows the dialog with what it keeps; true when the user chose a file,
    // whose full path is then in FileName (and the filter entry in FilterIndex).
    virtual bool RunFileDialog(TFileDialog& Dialog) = 0;

    // The modal message box: returns IdOk or IdCancel.
    virtual int AskOkCancel(const std::string& Text, const std::string& Caption, int Flags) = 0;

    virtual void SetCursor(TCursor Cursor) = 0;

    // The application's default error display: Text as it is to be shown,
    // the application title above it, an error icon and one OK button.
    virtual void ShowError(const std::string& Text) = 0;

    // Table bytes to window text and back.
    virtual std::string TableToText(const std::string& Bytes) = 0;
    virtual std::string TextToTable(const std::string& Text) = 0;

    virtual void BringToFront() = 0;
    virtual void Close() = 0;
};

// A port with no window behind it (the console front end, the tests): the
// file name box and the check box are plain values.
class TWindowlessPort : public TWindowPort {
public:
    std::string FileName;  // the file name box
    bool All = false;      // the check box
    bool Backup = false;   // the backup check box

    std::string FileNameText() override { return FileName; }
    void SetFileNameText(const std::string& Text) override { FileName = Text; }
    bool AllChecked() override { return All; }
    bool BackupChecked() override { return Backup; }
    bool StopRequested() override { return false; }
};
