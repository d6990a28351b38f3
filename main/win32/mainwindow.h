// fmMain, the program's one window: the controls of its layout, the window
// procedure and the message loop. Everything the buttons do is in TfmMain;
// this class only turns window messages into calls of its handlers.
#pragma once

#include "win32port.h"

#include <shellapi.h>

#include <thread>

#include "fmmain.h"

class TMainWindow {
public:
    explicit TMainWindow(HINSTANCE Instance);
    ~TMainWindow();
    TMainWindow(const TMainWindow&) = delete;
    TMainWindow& operator=(const TMainWindow&) = delete;

    // Registers the window class, creates the window centred on the screen
    // and shows it. False when Windows refused.
    bool Create(int Show);
    // Runs until the window is closed; the result is the program's exit code.
    int RunMessageLoop();

private:
    static LRESULT CALLBACK WindowProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam);
    LRESULT HandleMessage(UINT Message, WPARAM WParam, LPARAM LParam);

    void CreateControls();
    void Clicked(int Id);
    // A run on the worker thread: the controls that could start another one
    // or change its inputs disabled, Stop enabled, the timer showing its
    // progress until RunEnded.
    void StartRun(void (TfmMain::*Handler)());
    void RunEnded();
    void EnableForRun(bool Running);
    // Closing while a run works: asks whether to stop it, and closes once
    // the worker has ended.
    void CloseDuringRun();
    void FilesDropped(HDROP Drop);
    // Key preview: the window's look at a key before the focused control
    // gets it. True when the key is used up here.
    bool PreviewKey(const MSG& Message);
    void FocusNextControl(bool Backwards);
    int Scale(int Pixels) const;

    HINSTANCE Instance_;
    HWND Form_ = nullptr;
    HFONT Font_ = nullptr;
    HWND Tooltip_ = nullptr;
    HWND FocusWhenInactive_ = nullptr;
    int Dpi_ = 96;
    TWin32Port Port_;
    TfmMain fmMain;

    std::thread Worker_;
    bool Running_ = false;
    bool AskingToClose_ = false;
    bool CloseAfterRun_ = false;
    HWND FocusAfterRun_ = nullptr;
    TOutcome RunOutcome_;  // written by the worker, read once it has ended
};
