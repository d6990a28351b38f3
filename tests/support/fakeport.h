// A window port for handler tests: the dialogs and the message box answer
// from a script, and every change the handlers make is recorded in order.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "port.h"

class TFakePort : public TWindowlessPort {
public:
    // State of the controls.
    std::string Caption = "Tarnwick";
    std::string Memo;
    bool Closed = false;
    TCursor Cursor = TCursor::Default;
    int PaintSuspended = 0;

    // Scripted answers: the next message box result (IdOk when none is
    // left), the next dialog result (a path, or nullopt for Cancel).
    std::deque<int> MessageAnswers;
    std::deque<std::optional<std::string>> DialogAnswers;
    // Runs while the message box waits for its answer.
    std::function<void()> WhileAsking;
    // The Stop button: StopRequested says true from its StopAfter-th
    // question on (counted from 1); never when 0.
    long StopAfter = 0;
    long StopQuestions = 0;
    // Runs at the WhileRunningAt-th question of the Stop button, in the
    // middle of a run (a run asks it record by record, or step by step).
    std::function<void()> WhileRunning;
    long WhileRunningAt = 0;
    bool StopRequested() override
    {
        ++StopQuestions;
        if (WhileRunning && StopQuestions == WhileRunningAt)
            WhileRunning();
        return StopAfter > 0 && StopQuestions >= StopAfter;
    }

    // Everything that happened, one entry each, in order:
    //   "caption:<text>", "progress:<text>", "memo:<text>", "cursor:<code>",
    //   "message:<caption>|<flags>|<text>", "error:<text>",
    //   "dialog:<kind>|<filter>|<index>|<file name>", "front", "close"
    std::vector<std::string> Log;
    // Just the entries that start with Prefix (with the prefix removed).
    std::vector<std::string> Entries(const std::string& Prefix) const;
    std::vector<std::string> Captions() const { return Entries("caption:"); }
    std::vector<std::string> Errors() const { return Entries("error:"); }
    std::vector<std::string> Messages() const { return Entries("message:"); }

    void SetCaption(const std::string& Text) override;
    void SetProgress(const std::string& Text, int64_t Done, int64_t Total) override;
    void SetMemoText(const std::string& Text) override;
    std::vector<std::string> MemoLines() override;
    void SuspendMemoPaint() override { ++PaintSuspended; }
    void ResumeMemoPaint() override { --PaintSuspended; }
    bool RunFileDialog(TFileDialog& Dialog) override;
    int AskOkCancel(const std::string& Text, const std::string& Caption, int Flags) override;
    void SetCursor(TCursor NewCursor) override;
    void ShowError(const std::string& Text) override { Log.push_back("error:" + Text); }
    std::string TableToText(const std::string& Bytes) override { return Bytes; }
    std::string TextToTable(const std::string& Text) override { return Text; }
    void BringToFront() override { Log.push_back("front"); }
    void Close() override
    {
        Closed = true;
        Log.push_back("close");
    }
};
