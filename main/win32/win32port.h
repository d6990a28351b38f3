// The window port over the real Win32 window: what the handlers of TfmMain
// ask of the window, done with the W API. Texts arrive and leave as UTF-8;
// table bytes are turned into window text through the system's ANSI code page.
//
// The long runs call the port from a worker thread while the window's thread
// keeps handling messages. Progress goes into a small shared object that a
// timer on the window's thread shows; everything else that touches a window
// is carried out on the window's thread, the worker waiting for it.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "port.h"

// What a run on the worker thread and the window's thread share: the latest
// caption, records done and their total, and whether the user asked the run
// to stop. The worker writes, the window's timer reads; the latest wins.
class TRunState {
public:
    // A new run: nothing shown yet, no stop asked.
    void Start();
    void SetCaption(const std::string& Text);
    void SetProgress(const std::string& Caption, int64_t Done, int64_t Total);
    void RequestStop() { Stop_ = true; }
    bool StopRequested() const { return Stop_; }

    struct TSnapshot {
        std::string Caption;
        int64_t Done = 0, Total = 0;
        bool Numbers = false;  // Done and Total came with the caption
    };
    // What changed since the window's thread last took it; false when
    // nothing did.
    bool TakeChanges(TSnapshot& Into);

private:
    std::mutex Lock_;
    TSnapshot Latest_;
    bool Changed_ = false;
    std::atomic<bool> Stop_{false};
};

class TWin32Port final : public TWindowPort {
public:
    // The windows the port works on, known once the main window has made them.
    struct TControls {
        HWND Form = nullptr;
        HWND FileName = nullptr;
        HWND Memo = nullptr;
        HWND All = nullptr;
        HWND Backup = nullptr;
        HWND Progress = nullptr;
    };

    // The message the worker sends the form to have a call made on the
    // window's thread; its LPARAM points to the std::function<void()>.
    static constexpr UINT WmCallOnWindowThread = WM_APP + 1;

    // Called on the window's thread, which is the one the calls go to.
    void Attach(const TControls& Controls);
    // True while a run shows the busy cursor (the window answers
    // WM_SETCURSOR with it).
    bool Busy() const { return Busy_; }
    TRunState& Run() { return Run_; }

    // On the window's thread: the latest caption and progress of the run
    // on the caption and the progress bar, when they changed.
    void ShowRunState();
    // On the window's thread: makes the call WmCallOnWindowThread carries,
    // after showing the run's latest caption, so that a question comes after
    // the caption set before it, as it did when runs had the thread to
    // themselves.
    void CallFromMessage(LPARAM Call);
    // The progress bar full, as a run that went to its end leaves it.
    void FillProgress();
    void ClearProgress();

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
    // Runs Call on the window's thread: at once when already there, else
    // sent to the form, the caller waiting until it is done.
    void OnWindowThread(const std::function<void()>& Call);
    void SetProgressBar(int64_t Done, int64_t Total);

    TControls C_;
    DWORD WindowThread_ = 0;
    bool Busy_ = false;
    int PaintSuspended_ = 0;
    TRunState Run_;
};
