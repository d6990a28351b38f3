#include "win32port.h"

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

}  // namespace

void TWin32Port::SetCaption(const std::string& Text)
{
    ::SetWindowTextW(C_.Form, Utf8ToWide(Text).c_str());
    // The runs handle no messages until they end, so the caption is drawn
    // now or not at all: the title bar is the only progress display.
    ::RedrawWindow(C_.Form, nullptr, nullptr,
                   RDW_FRAME | RDW_INVALIDATE | RDW_NOERASE | RDW_UPDATENOW | RDW_NOCHILDREN);
}

void TWin32Port::SetProgress(const std::string& Caption, int64_t, int64_t) { SetCaption(Caption); }

std::string TWin32Port::FileNameText() { return WideToUtf8(WindowText(C_.FileName)); }

void TWin32Port::SetFileNameText(const std::string& Text) { ::SetWindowTextW(C_.FileName, Utf8ToWide(Text).c_str()); }

void TWin32Port::SetMemoText(const std::string& Text) { ::SetWindowTextW(C_.Memo, Utf8ToWide(Text).c_str()); }

std::vector<std::string> TWin32Port::MemoLines()
{
    // Lines as the box wraps them, not as the text breaks them.
    std::vector<std::string> lines;
    const LRESULT count = ::SendMessageW(C_.Memo, EM_GETLINECOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT start = ::SendMessageW(C_.Memo, EM_LINEINDEX, static_cast<WPARAM>(i), 0);
        const LRESULT length = start < 0 ? 0 : ::SendMessageW(C_.Memo, EM_LINELENGTH, static_cast<WPARAM>(start), 0);
        if (length <= 0) {
            lines.emplace_back();
            continue;
        }
        // EM_GETLINE takes the buffer's size in its first WORD, and copies
        // no terminating NUL.
        const WORD room = static_cast<WORD>(std::min<LRESULT>(length, 0xFFFF));
        std::wstring line(std::max<size_t>(room, 2), L'\0');
        line[0] = static_cast<wchar_t>(room);
        const LRESULT got =
            ::SendMessageW(C_.Memo, EM_GETLINE, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&line[0]));
        line.resize(static_cast<size_t>(std::max<LRESULT>(got, 0)));
        lines.push_back(WideToUtf8(line));
    }
    return lines;
}

void TWin32Port::SuspendMemoPaint()
{
    if (PaintSuspended_++ == 0)
        ::SendMessageW(C_.Memo, WM_SETREDRAW, FALSE, 0);
}

void TWin32Port::ResumeMemoPaint()
{
    if (PaintSuspended_ > 0 && --PaintSuspended_ == 0) {
        ::SendMessageW(C_.Memo, WM_SETREDRAW, TRUE, 0);
        // Changes made while redraw was off were never drawn.
        ::InvalidateRect(C_.Memo, nullptr, TRUE);
    }
}

bool TWin32Port::AllChecked() { return ::SendMessageW(C_.All, BM_GETCHECK, 0, 0) == BST_CHECKED; }

// The window has no backup check box and no Stop button yet: runs make no
// backup and go to their end.
bool TWin32Port::BackupChecked() { return false; }
bool TWin32Port::StopRequested() { return false; }

bool TWin32Port::RunFileDialog(TFileDialog& Dialog)
{
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
    // The help file is looked up in the current folder, which the dialogs
    // would otherwise leave wherever the user last browsed to.
    ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING | OFN_NOCHANGEDIR;
    BOOL chosen;
    if (Dialog.Kind == TFileDialog::Save) {
        ofn.Flags |= OFN_OVERWRITEPROMPT;
        chosen = ::GetSaveFileNameW(&ofn);
    } else {
        chosen = ::GetOpenFileNameW(&ofn);
    }
    if (!chosen)
        return false;
    Dialog.FileName = WideToUtf8(file.c_str());
    Dialog.FilterIndex = static_cast<int>(ofn.nFilterIndex);
    return true;
}

int TWin32Port::AskOkCancel(const std::string& Text, const std::string& Caption, int Flags)
{
    const int result =
        ::MessageBoxW(C_.Form, Utf8ToWide(Text).c_str(), Utf8ToWide(Caption).c_str(), static_cast<UINT>(Flags));
    // A box that could not be shown confirms nothing.
    return result == 0 ? IdCancel : result;
}

void TWin32Port::SetCursor(TCursor Cursor)
{
    Busy_ = Cursor == TCursor::HourGlass;
    if (Busy_) {
        ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
        return;
    }
    // Back to whatever the window under the pointer shows (an I-beam over
    // the edit boxes), as if the mouse had just moved there.
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
}

void TWin32Port::ShowError(const std::string& Text)
{
    // The application title, whatever the caption says.
    ::MessageBoxW(C_.Form, Utf8ToWide(Text).c_str(), Utf8ToWide(MainTexts::Title).c_str(), MB_OK | MB_ICONERROR);
}

std::string TWin32Port::TableToText(const std::string& Bytes) { return WideToUtf8(AnsiToWide(Bytes)); }

std::string TWin32Port::TextToTable(const std::string& Text) { return WideToAnsi(Utf8ToWide(Text)); }

void TWin32Port::BringToFront()
{
    HWND last = ::GetLastActivePopup(C_.Form);
    if (last && ::IsWindowVisible(last) && ::IsWindowEnabled(last))
        ::SetForegroundWindow(last);
}

void TWin32Port::Close()
{
    // Posted: the handler that asked returns first, then the window goes.
    ::PostMessageW(C_.Form, WM_CLOSE, 0, 0);
}
