// The window port over the real Win32 window: what the handlers of TfmMain
// ask of the window, done with the W API. Texts arrive and leave as UTF-8;
// table bytes are turned into window text through the system's ANSI code page.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "port.h"

class TWin32Port final : public TWindowPort {
public:
    // The windows the port works on, known once the main window has made them.
    struct TControls {
        HWND Form = nullptr;
        HWND FileName = nullptr;
        HWND Memo = nullptr;
        HWND All = nullptr;
    };

    void Attach(const TControls& Controls) { C_ = Controls; }
    // True while a run shows the hourglass (the window answers WM_SETCURSOR
    // with it).
    bool Busy() const { return Busy_; }

    void SetCaption(const std::string& Text) override;
    void SetProgress(const std::string& Caption, int64_t Done, int64_t Total) override;

    std::string FileNameText() override;
    void SetFileNameText(const std::string& Text) override;

    void SetMemoText(const std::string& Text) override;
    std::vector<std::string> MemoLines() override;
    void SuspendMemoPaint() override;
    void ResumeMemoPaint() override;

    bool AllChecked() override;
    bool BackupChecked() override;
    bool StopRequested() override;

    bool RunFileDialog(TFileDialog& Dialog) override;
    int AskOkCancel(const std::string& Text, const std::string& Caption, int Flags) override;
    void SetCursor(TCursor Cursor) override;
    void ShowError(const std::string& Text) override;

    std::string TableToText(const std::string& Bytes) override;
    std::string TextToTable(const std::string& Text) override;

    void BringToFront() override;
    void Close() override;

private:
    TControls C_;
    bool Busy_ = false;
    int PaintSuspended_ = 0;
};
