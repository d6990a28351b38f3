#include "consoleport.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "console.h"
#include "texts.h"
#include "strutil.h"

std::string ConsoleLines(const std::string& Text)
{
    std::string out;
    out.reserve(Text.size());
    for (size_t i = 0; i < Text.size(); ++i) {
        if (Text[i] == '\r') {
            out += '\n';
            if (i + 1 < Text.size() && Text[i + 1] == '\n')
                ++i;
        } else {
            out += Text[i];
        }
    }
    return out;
}

void TProgressBar::Update(int64_t Done, int64_t Total)
{
    if (!Checked_) {
        Terminal_ = StderrIsTerminal();
        Checked_ = true;
    }
    if (!Terminal_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!Shown_) {
        Started_ = now;
        Shown_ = true;
    } else if (now - LastDrawn_ < std::chrono::milliseconds(100) && Done != Total) {
        return;
    }
    LastDrawn_ = now;
    const double seconds = std::chrono::duration<double>(now - Started_).count();
    const double rate = seconds > 0.001 ? static_cast<double>(Done) / seconds : 0.0;
    char figures[96];
    if (Total > 0)
        std::snprintf(figures, sizeof figures, " %lld/%lld  %.0f ", static_cast<long long>(Done),
                      static_cast<long long>(Total), rate);
    else
        std::snprintf(figures, sizeof figures, " %lld  %.0f ", static_cast<long long>(Done), rate);
    const std::string numbers = figures + Say(Texts::RecordsPerSecond, Language_);
    std::string line;
    const int width = TerminalWidth() - static_cast<int>(numbers.size()) - 4;
    if (Total > 0 && width >= 10) {
        const int filled =
            static_cast<int>(static_cast<double>(width) * static_cast<double>(Done) / static_cast<double>(Total));
        line = "[" + std::string(static_cast<size_t>(std::min(filled, width)), '#') +
               std::string(static_cast<size_t>(width - std::min(filled, width)), '.') + "]";
    }
    std::cerr << "\r" << line << numbers << "\x1b[K" << std::flush;
}

void TProgressBar::End()
{
    if (Shown_)
        std::cerr << "\r\x1b[K" << std::flush;
    Shown_ = false;
}

void TConsolePort::SetCaption(const std::string& Text)
{
    Progress.End();
    std::cerr << Translate(Text, Language_) << std::endl;
}

void TConsolePort::SetProgress(const std::string&, int64_t Done, int64_t Total) { Progress.Update(Done, Total); }

void TConsolePort::SetMemoText(const std::string& Text)
{
    Memo = Text;
    if (MemoToStdout || Text.empty())
        return;
    Progress.End();
    std::cerr << ConsoleLines(Translate(Text, Language_)) << std::endl;
}

std::vector<std::string> TConsolePort::MemoLines()
{
    // One line per CR LF: names never wrap, as they may in the window.
    return Memo.empty() ? std::vector<std::string>() : SplitAt(Memo, "\r\n");
}

bool TConsolePort::RunFileDialog(TFileDialog& Dialog)
{
    Dialog.FileName = DialogFile;
    return true;
}

int TConsolePort::AskOkCancel(const std::string& Text, const std::string& Caption, int)
{
    if (AssumeYes)
        return IdOk;
    Progress.End();
    if (!StdinIsTerminal()) {
        std::cerr << ConsoleLines(Translate(Text, Language_)) << "\n" << Say(Texts::NoTerminal, Language_) << std::endl;
        return IdCancel;
    }
    std::cerr << Translate(Caption, Language_) << "\n"
              << ConsoleLines(Translate(Text, Language_)) << "\n"
              << Say(Texts::Confirm, Language_) << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer))
        answer.clear();
    answer = Trim(answer);
    if (IsYes(answer))
        return IdOk;
    return IdCancel;
}

void TConsolePort::ShowError(const std::string& Text)
{
    Progress.End();
    std::cerr << Translate(Text, Language_) << std::endl;
}

std::string TConsolePort::TableToText(const std::string& Bytes)
{
    if (RawText)
        return Bytes;
    return Names ? Names->ToUtf8(Bytes) : ConsoleFromTable(Bytes);
}

std::string TConsolePort::TextToTable(const std::string& Text)
{
    if (!Names)
        return ConsoleToTable(Text);
    std::string bytes;
    size_t failed = 0;
    // A name the code page cannot hold names no field: left as typed, it is
    // reported as such.
    if (Names->AppendFromUtf8(bytes, Text, failed) != TCodePage::TFromUtf8::Done)
        return Text;
    return bytes;
}
