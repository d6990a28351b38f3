#include "win32port.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>

#include "maintexts.h"
#include "winstr.h"

namespace {

std::wstring WindowText(HWND Window)
{
    const int length = ::GetWindowTextLengthW(Window);
    if (length <= 0)
        return {};
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int got = ::GetWindowTextW(Window, &text[0], length + 1);
    text.resize(static_cast<size_t>(std::max(got, 0)));
    return text;
}

// "description|pattern|..." as the dialog wants it: NUL-separated entries
// ending in two NULs.
std::wstring DialogFilter(const std::string& Filter)
{
    std::wstring filter = Utf8ToWide(Filter);
    std::replace(filter.begin(), filter.end(), L'|', L'\0');
    filter.push_back(L'\0');
    filter.push_back(L'\0');
    return filter;
}

// Room for a long path and then some; a name that does not fit makes the
// dialog fail rather than cut it.
constexpr size_t FileNameRoom = 32768;

// The progress bar's range: it shows a run's share done in these steps.
constexpr int ProgressSteps = 1000;

}  // namespace

void TRunState::Start()
{
    std::lock_guard<std::mutex> hold(Lock_);
    Latest_ = TSnapshot();
    Changed_ = false;
    Stop_ = false;
}

void TRunState::SetCaption(const std::string& Text)
{
    std::lock_guard<std::mutex> hold(Lock_);
    Latest_.Caption = Text;
    Latest_.Numbers = false;
    Changed_ = true;
}

void TRunState::SetProgress(const std::string& Caption, int64_t Done, int64_t Total)
{
    std::lock_guard<std::mutex> hold(Lock_);
    Latest_.Caption = Caption;
    Latest_.Done = Done;
    Latest_.Total = Total;
    Latest_.Numbers = true;
    Changed_ = true;
}

bool TRunState::TakeChanges(TSnapshot& Into)
{
    std::lock_guard<std::mutex> hold(Lock_);
    if (!Changed_)
        return false;
    Into = Latest_;
    Changed_ = false;
    return true;
}

void TWin32Port::Attach(const TControls& Controls)
{
    C_ = Controls;
    WindowThread_ = ::GetCurrentThreadId();
    if (C_.Progress)
        ::SendMessageW(C_.Progress, PBM_SETRANGE32, 0, ProgressSteps);
}

void TWin32Port::OnWindowThread(const std::function<void()>& Call)
{
    if (::GetCurrentThreadId() == WindowThread_) {
        Call();
        return;
    }
    // A window already gone makes no call: the worker gets the answer a
    // dismissed box or dialog gives.
    if (C_.Form)
        ::SendMessageW(C_.Form, WmCallOnWindowThread, 0, reinterpret_cast<LPARAM>(&Call));
}

void TWin32Port::CallFromMessage(LPARAM Call)
{
    ShowRunState();
    (*reinterpret_cast<const std::function<void()>*>(Call))();
}

void TWin32Port::ShowRunState()
{
    TRunState::TSnapshot latest;
    if (!Run_.TakeChanges(latest))
        return;
    ::SetWindowTextW(C_.Form, Utf8ToWide(latest.Caption).c_str());
    if (latest.Numbers)
        SetProgressBar(latest.Done, latest.Total);
}

void TWin32Port::SetProgressBar(int64_t Done, int64_t Total)
{
    // Steps of a fixed range: counts past 2^31 fit, and the bar moves only
    // when a step is passed.
    const int64_t step = Total > 0 ? std::clamp<int64_t>(Done, 0, Total) * ProgressSteps / Total : 0;
    ::SendMessageW(C_.Progress, PBM_SETPOS, static_cast<WPARAM>(step), 0);
}

void TWin32Port::FillProgress() { ::SendMessageW(C_.Progress, PBM_SETPOS, ProgressSteps, 0); }

void TWin32Port::ClearProgress() { ::SendMessageW(C_.Progress, PBM_SETPOS, 0, 0); }

void TWin32Port::SetCaption(const std::string& Text)
{
    // From a run on the worker: shown by the window's timer, which takes
    // the latest, so a run pays for a caption no more than for a copy.
    if (::GetCurrentThreadId() != WindowThread_) {
        Run_.SetCaption(Text);
        return;
    }
    ::SetWindowTextW(C_.Form, Utf8ToWide(Text).c_str());
}

void TWin32Port::SetProgress(const std::string& Caption, int64_t Done, int64_t Total)
{
    if (::GetCurrentThreadId() != WindowThread_) {
        Run_.SetProgress(Caption, Done, Total);
        return;
    }
    ::SetWindowTextW(C_.Form, Utf8ToWide(Caption).c_str());
    SetProgressBar(Done, Total);
}

std::string TWin32Port::FileNameText()
{
    std::string text;
    OnWindowThread([&] { text = WideToUtf8(WindowText(C_.FileName)); });
    return text;
}

void TWin32Port::SetFileNameText(const std::string& Text)
{
    OnWindowThread([&] { ::SetWindowTextW(C_.FileName, Utf8ToWide(Text).c_str()); });
}

void TWin32Port::SetMemoText(const std::string& Text)
{
    OnWindowThread([&] { ::SetWindowTextW(C_.Memo, Utf8ToWide(Text).c_str()); });
}

std::vector<std::string> TWin32Port::MemoLines()
{
    // Lines as the box wraps them, not as the text breaks them.
    std::vector<std::string> lines;
    OnWindowThread([&] {
        const LRESULT count = ::SendMessageW(C_.Memo, EM_GETLINECOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
            const LRESULT start = ::SendMessageW(C_.Memo, EM_LINEINDEX, static_cast<WPARAM>(i), 0);
            const LRESULT length =
                start < 0 ? 0 : ::SendMessageW(C_.Memo, EM_LINELENGTH, static_cast<WPARAM>(start), 0);
            if (length <= 0) {
                lines.emplace_back();
                continue;
            }
            // EM_GETLINE takes the buffer's size in its first WORD, and
            // copies no terminating NUL.
            const WORD room = static_cast<WORD>(std::min<LRESULT>(length, 0xFFFF));
            std::wstring line(std::max<size_t>(room, 2), L'\0');
            line[0] = static_cast<wchar_t>(room);
            const LRESULT got =
                ::SendMessageW(C_.Memo, EM_GETLINE, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&line[0]));
            line.resize(static_cast<size_t>(std::max<LRESULT>(got, 0)));
            lines.push_back(WideToUtf8(line));
        }
    });
    return lines;
}

void TWin32Port::SuspendMemoPaint()
{
    OnWindowThread([&] {
        if (PaintSuspended_++ == 0)
            ::SendMessageW(C_.Memo, WM_SETREDRAW, FALSE, 0);
    });
}

void TWin32Port::ResumeMemoPaint()
{
    OnWindowThread([&] {
        if (PaintSuspended_ > 0 && --PaintSuspended_ == 0) {
            ::SendMessageW(C_.Memo, WM_SETREDRAW, TRUE, 0);
            // Changes made while redraw was off were never drawn.
            ::InvalidateRect(C_.Memo, nullptr, TRUE);
        }
    });
}

bool TWin32Port::AllChecked()
{
    bool checked = false;
    OnWindowThread([&] { checked = ::SendMessageW(C_.All, BM_GETCHECK, 0, 0) == BST_CHECKED; });
    return checked;
}

bool TWin32Port::BackupChecked()
{
    bool checked = false;
    OnWindowThread([&] { checked = ::SendMessageW(C_.Backup, BM_GETCHECK, 0, 0) == BST_CHECKED; });
    return checked;
}

// Asked between records: the flag alone, no trip to the window's thread.
bool TWin32Port::StopRequested() { return Run_.StopRequested(); }

bool TWin32Port::RunFileDialog(TFileDialog& Dialog)
{
    bool chosen = false;
    OnWindowThread([&] {
        const std::wstring filter = DialogFilter(Dialog.Filter);
        std::wstring file = Utf8ToWide(Dialog.FileName);
        if (file.size() >= FileNameRoom)
            file.resize(FileNameRoom - 1);
        file.resize(FileNameRoom, L'\0');

        OPENFILENAMEW ofn{};
        ofn.lStructSize = sizeof ofn;
        ofn.hwndOwner = C_.Form;
        ofn.lpstrFilter = Dialog.Filter.empty() ? nullptr : filter.c_str();
        ofn.nFilterIndex = static_cast<DWORD>(std::max(Dialog.FilterIndex, 0));
        ofn.lpstrFile = &file[0];
        ofn.nMaxFile = static_cast<DWORD>(FileNameRoom);
        // The help file is looked up in the current folder, which the
        // dialogs would otherwise leave wherever the user last browsed to.
        ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING | OFN_NOCHANGEDIR;
        if (Dialog.Kind == TFileDialog::Save) {
            ofn.Flags |= OFN_OVERWRITEPROMPT;
            chosen = ::GetSaveFileNameW(&ofn) != FALSE;
        } else {
            chosen = ::GetOpenFileNameW(&ofn) != FALSE;
        }
        if (!chosen)
            return;
        Dialog.FileName = WideToUtf8(file.c_str());
        Dialog.FilterIndex = static_cast<int>(ofn.nFilterIndex);
    });
    return chosen;
}

int TWin32Port::AskOkCancel(const std::string& Text, const std::string& Caption, int Flags)
{
    // A box that could not be shown confirms nothing.
    int result = IdCancel;
    OnWindowThread([&] {
        const int answer =
            ::MessageBoxW(C_.Form, Utf8ToWide(Text).c_str(), Utf8ToWide(Caption).c_str(), static_cast<UINT>(Flags));
        if (answer != 0)
            result = answer;
    });
    return result;
}

void TWin32Port::SetCursor(TCursor Cursor)
{
    OnWindowThread([&] {
        Busy_ = Cursor == TCursor::HourGlass;
        if (Busy_) {
            ::SetCursor(::LoadCursorW(nullptr, IDC_APPSTARTING));
            return;
        }
        // Back to whatever the window under the pointer shows (an I-beam
        // over the edit boxes), as if the mouse had just moved there.
        POINT at;
        if (::GetCursorPos(&at)) {
            HWND under = ::WindowFromPoint(at);
            if (under && ::GetWindowThreadProcessId(under, nullptr) == ::GetCurrentThreadId()) {
                const LRESULT hit = ::SendMessageW(under, WM_NCHITTEST, 0, MAKELPARAM(at.x, at.y));
                ::SendMessageW(under, WM_SETCURSOR, reinterpret_cast<WPARAM>(under),
                               MAKELPARAM(static_cast<WORD>(hit), WM_MOUSEMOVE));
                return;
            }
        }
        ::SetCursor(::LoadCursorW(nullptr, IDC_ARROW));
    });
}

void TWin32Port::ShowError(const std::string& Text)
{
    // The application title, whatever the caption says.
    OnWindowThread([&] {
        ::MessageBoxW(C_.Form, Utf8ToWide(Text).c_str(), Utf8ToWide(MainTexts::Title).c_str(), MB_OK | MB_ICONERROR);
    });
}

std::string TWin32Port::TableToText(const std::string& Bytes) { return WideToUtf8(AnsiToWide(Bytes)); }

std::string TWin32Port::TextToTable(const std::string& Text) { return WideToAnsi(Utf8ToWide(Text)); }

void TWin32Port::BringToFront()
{
    OnWindowThread([&] {
        HWND last = ::GetLastActivePopup(C_.Form);
        if (last && ::IsWindowVisible(last) && ::IsWindowEnabled(last))
            ::SetForegroundWindow(last);
    });
}

void TWin32Port::Close()
{
    // Posted: the handler that asked returns first, then the window goes.
    ::PostMessageW(C_.Form, WM_CLOSE, 0, 0);
}
