#include "mainwindow.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <numeric>
#include <system_error>

#include "winstr.h"
#include "controlids.h"
#include "maintexts.h"
#include "resource.h"

namespace {

namespace Ids = TarnwickIds;

// One control of the window, as its layout gives it. Rectangles are in
// pixels at 96 dpi; texts are UTF-8.
struct TControlLayout {
    int Id;
    const wchar_t* ClassName;
    DWORD Style;
    DWORD ExStyle;
    int Left, Top, Width, Height;
    int TabOrder;  // -1: not a tab stop
    MainTexts::TControlText Text;
    void (TfmMain::*Click)();
    // The click starts a run, which works on the worker thread; the quick
    // handlers (Info, Browse, Help, Exit) stay on the window's thread.
    bool Long;
};

constexpr DWORD Child = WS_CHILD | WS_VISIBLE;
constexpr DWORD Button = Child | WS_TABSTOP | BS_PUSHBUTTON;

// In the order the window declares its controls, laid out as the window is.
// clang-format off
const TControlLayout Layout[] = {
    {Ids::edFileName, L"EDIT", Child | WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE,
     8, 24, 241, 21, 0, MainTexts::FileNameBox, nullptr, false},
    // SS_NOTIFY: without it a static lets the mouse through to the window
    // below, and its tooltip never sees the pointer.
    {Ids::lbFileName, L"STATIC", Child | SS_LEFTNOWORDWRAP | SS_NOTIFY, 0,
     8, 8, 50, 13, -1, MainTexts::FileNameLabel, nullptr, false},
    {Ids::btBrowseFileName, L"BUTTON", Button, 0, 248, 24, 75, 25, 1, MainTexts::BrowseButton,
     &TfmMain::btBrowseFileNameClick, false},
    {Ids::btInfo, L"BUTTON", Button, 0, 336, 24, 81, 25, 3, MainTexts::InfoButton, &TfmMain::btInfoClick, false},
    {Ids::btClear, L"BUTTON", Button, 0, 336, 88, 81, 25, 5, MainTexts::ClearButton, &TfmMain::btClearClick, true},
    {Ids::btSave, L"BUTTON", Button, 0, 336, 144, 81, 25, 7, MainTexts::SaveButton, &TfmMain::btSaveClick, true},
    {Ids::btLoad, L"BUTTON", Button, 0, 336, 176, 81, 25, 8, MainTexts::LoadButton, &TfmMain::btLoadClick, true},
    {Ids::Memo1, L"EDIT", Child | WS_TABSTOP | WS_VSCROLL | ES_LEFT | ES_MULTILINE | ES_WANTRETURN | ES_AUTOVSCROLL,
     WS_EX_CLIENTEDGE, 8, 56, 313, 217, 2, MainTexts::MemoBox, nullptr, false},
    {Ids::cbAll, L"BUTTON", Child | WS_TABSTOP | BS_AUTOCHECKBOX, 0,
     336, 120, 81, 17, 6, MainTexts::AllCheckBox, nullptr, false},
    {Ids::btHelp, L"BUTTON", Button, 0, 336, 216, 81, 25, 9, MainTexts::HelpButton, &TfmMain::btHelpClick, false},
    {Ids::btExit, L"BUTTON", Button, 0, 336, 248, 81, 25, 10, MainTexts::ExitButton, &TfmMain::btExitClick, false},
    {Ids::btAuto, L"BUTTON", Button, 0, 336, 56, 81, 25, 4, MainTexts::RewriteButton, &TfmMain::btAutoClick, true},
    // Below the memo box: the operations that look at the whole table and
    // the backup they may make, then the run's progress and its Stop.
    {Ids::btCheck, L"BUTTON", Button, 0, 8, 282, 81, 25, 11, MainTexts::CheckButton, &TfmMain::btCheckClick, true},
    {Ids::btRelink, L"BUTTON", Button, 0, 96, 282, 81, 25, 12, MainTexts::RelinkButton, &TfmMain::btRelinkClick, true},
    {Ids::btSalvage, L"BUTTON", Button, 0, 184, 282, 81, 25, 13, MainTexts::SalvageButton,
     &TfmMain::btSalvageClick, true},
    {Ids::btPack, L"BUTTON", Button, 0, 272, 282, 81, 25, 14, MainTexts::PackButton, &TfmMain::btPackClick, true},
    {Ids::cbBackup, L"BUTTON", Child | WS_TABSTOP | BS_AUTOCHECKBOX, 0,
     8, 314, 145, 17, 15, MainTexts::BackupCheckBox, nullptr, false},
    {Ids::pbProgress, PROGRESS_CLASSW, Child, 0, 8, 342, 313, 21, -1, MainTexts::ProgressBar, nullptr, false},
    // Enabled only while a run works.
    {Ids::btStop, L"BUTTON", Button | WS_DISABLED, 0, 336, 340, 81, 25, 16, MainTexts::StopButton, nullptr, false},
};
// clang-format on

constexpr int ClientWidth = 422;
constexpr int ClientHeight = 374;
constexpr DWORD FormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD FormExStyle = 0;
constexpr int FontPoints = 8;
constexpr const wchar_t* FontFace = L"MS Sans Serif";

// The worker tells the window's thread that the run has ended.
constexpr UINT WmRunEnded = WM_APP + 2;
// The timer that shows a run's caption and progress: ten times a second or
// so, whatever the run's pace.
constexpr UINT_PTR RunTimer = 1;
constexpr UINT RunTimerMs = 150;

// A label grows to its text, as labels sized to their caption do: the font
// that stands in for "MS Sans Serif" may be wider than the original.
void FitLabelToText(HWND Label, HFONT Font)
{
    const int length = ::GetWindowTextLengthW(Label);
    HDC dc = ::GetDC(Label);
    if (length <= 0 || !dc) {
        if (dc)
            ::ReleaseDC(Label, dc);
        return;
    }
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    ::GetWindowTextW(Label, &text[0], length + 1);
    HGDIOBJ old = ::SelectObject(dc, Font);
    SIZE extent{};
    const BOOL measured = ::GetTextExtentPoint32W(dc, text.c_str(), length, &extent);
    ::SelectObject(dc, old);
    ::ReleaseDC(Label, dc);
    RECT box;
    if (!measured || !::GetClientRect(Label, &box))
        return;
    if (extent.cx > box.right || extent.cy > box.bottom)
        ::SetWindowPos(Label, nullptr, 0, 0, std::max<int>(extent.cx, box.right), std::max<int>(extent.cy, box.bottom),
                       SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

bool KeyDown(int Key) { return ::GetKeyState(Key) < 0; }

bool IsPushButton(HWND Window)
{
    wchar_t name[16] = {};
    if (!::GetClassNameW(Window, name, 16) || ::lstrcmpiW(name, L"Button") != 0)
        return false;
    const LONG_PTR kind = ::GetWindowLongPtrW(Window, GWL_STYLE) & BS_TYPEMASK;
    return kind == BS_PUSHBUTTON || kind == BS_DEFPUSHBUTTON;
}

// Finishes a shell drop whichever way the handler leaves.
class TDropFinish {
public:
    explicit TDropFinish(HDROP Drop) : Drop_(Drop) {}
    ~TDropFinish() { ::DragFinish(Drop_); }
    TDropFinish(const TDropFinish&) = delete;
    TDropFinish& operator=(const TDropFinish&) = delete;

private:
    HDROP Drop_;
};

}  // namespace

TMainWindow::TMainWindow(HINSTANCE Instance) : Instance_(Instance), fmMain(Port_)
{
    // A person can answer: a run that would grow the memo file past 2 GiB
    // asks rather than stops.
    fmMain.AskAboutLargeMemo = true;
    HDC screen = ::GetDC(nullptr);
    if (screen) {
        Dpi_ = ::GetDeviceCaps(screen, LOGPIXELSY);
        ::ReleaseDC(nullptr, screen);
    }
    if (Dpi_ <= 0)
        Dpi_ = 96;
}

TMainWindow::~TMainWindow()
{
    // The window closes only after its run, so a worker left here is one
    // the message loop gave up on: it stops at its next record, and the
    // calls it still makes on the window fail once the window is gone.
    Port_.Run().RequestStop();
    if (Form_)
        ::DestroyWindow(Form_);
    if (Worker_.joinable())
        Worker_.join();
    if (Font_)
        ::DeleteObject(Font_);
}

int TMainWindow::Scale(int Pixels) const { return ::MulDiv(Pixels, Dpi_, 96); }

bool TMainWindow::Create(int Show)
{
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &TMainWindow::WindowProc;
    wc.hInstance = Instance_;
    wc.hIcon = ::LoadIconW(Instance_, MAKEINTRESOURCEW(IDI_TARNWICK));
    wc.hIconSm = static_cast<HICON>(::LoadImageW(Instance_, MAKEINTRESOURCEW(IDI_TARNWICK), IMAGE_ICON,
                                                 ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON), 0));
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = TarnwickIds::MainWindowClass;
    if (!::RegisterClassExW(&wc))
        return false;

    RECT frame{0, 0, Scale(ClientWidth), Scale(ClientHeight)};
    ::AdjustWindowRectEx(&frame, FormStyle, FALSE, FormExStyle);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    const int left = (::GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int top = (::GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    if (!::CreateWindowExW(FormExStyle, TarnwickIds::MainWindowClass, Utf8ToWide(MainTexts::Title).c_str(), FormStyle,
                           left, top, width, height, nullptr, nullptr, Instance_, this))
        return false;
    ::ShowWindow(Form_, Show);
    ::UpdateWindow(Form_);
    return true;
}

int TMainWindow::RunMessageLoop()
{
    MSG message;
    for (;;) {
        const BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
        if (got == 0)
            return static_cast<int>(message.wParam);
        if (got < 0)
            return 1;
        if (PreviewKey(message))
            continue;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

LRESULT CALLBACK TMainWindow::WindowProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam)
{
    TMainWindow* self;
    if (Message == WM_NCCREATE) {
        self = static_cast<TMainWindow*>(reinterpret_cast<CREATESTRUCTW*>(LParam)->lpCreateParams);
        self->Form_ = Window;
        ::SetWindowLongPtrW(Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    } else {
        self = reinterpret_cast<TMainWindow*>(::GetWindowLongPtrW(Window, GWLP_USERDATA));
    }
    if (!self)
        return ::DefWindowProcW(Window, Message, WParam, LParam);
    if (Message == WM_NCDESTROY) {
        ::SetWindowLongPtrW(Window, GWLP_USERDATA, 0);
        self->Form_ = nullptr;
        self->Port_.Attach({});
        return ::DefWindowProcW(Window, Message, WParam, LParam);
    }
    return self->HandleMessage(Message, WParam, LParam);
}

LRESULT TMainWindow::HandleMessage(UINT Message, WPARAM WParam, LPARAM LParam)
{
    switch (Message) {
    case WM_CREATE:
        CreateControls();
        fmMain.Run(&TfmMain::FormCreate);
        ::DragAcceptFiles(Form_, TRUE);
        return 0;
    case WM_COMMAND:
        if (HIWORD(WParam) == BN_CLICKED && LParam != 0)
            Clicked(LOWORD(WParam));
        return 0;
    case WM_DROPFILES: FilesDropped(reinterpret_cast<HDROP>(WParam)); return 0;
    case TWin32Port::WmCallOnWindowThread: Port_.CallFromMessage(LParam); return 0;
    case WmRunEnded: RunEnded(); return 0;
    case WM_TIMER:
        if (WParam == RunTimer) {
            Port_.ShowRunState();
            return 0;
        }
        break;
    case WM_SETCURSOR:
        // The window still answers during a run: the pointer says "working
        // in the background", not "wait".
        if (Port_.Busy()) {
            ::SetCursor(::LoadCursorW(nullptr, IDC_APPSTARTING));
            return TRUE;
        }
        break;
    case WM_CLOSE:
        if (Running_) {
            CloseDuringRun();
            return 0;
        }
        break;
    case WM_ACTIVATE:
        // Focus goes back to the control that had it, not to the window.
        if (LOWORD(WParam) == WA_INACTIVE) {
            HWND focus = ::GetFocus();
            if (focus && ::IsChild(Form_, focus))
                FocusWhenInactive_ = focus;
        } else if (!HIWORD(WParam)) {
            // (A run may have disabled it meanwhile.)
            HWND focus = FocusWhenInactive_ && ::IsWindow(FocusWhenInactive_) && ::IsWindowEnabled(FocusWhenInactive_)
                             ? FocusWhenInactive_
                             : ::GetNextDlgTabItem(Form_, nullptr, FALSE);
            if (focus)
                ::SetFocus(focus);
        }
        return 0;
    case WM_DESTROY: ::PostQuitMessage(0); return 0;
    default: break;
    }
    return ::DefWindowProcW(Form_, Message, WParam, LParam);
}

void TMainWindow::CreateControls()
{
    // The window's texts are Russian: asking for the Cyrillic set gets the
    // Cyrillic "MS Sans Serif" on a Russian system and, where that bitmap
    // font has no Cyrillic, a TrueType face that has, instead of boxes.
    Font_ =
        ::CreateFontW(-::MulDiv(FontPoints, Dpi_, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, RUSSIAN_CHARSET,
                      OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, FontFace);

    Tooltip_ = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                                 CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, Form_, nullptr, Instance_,
                                 nullptr);
    // A maximum width makes the tooltip break lines, the All box's hint
    // being the one with two.
    if (Tooltip_)
        ::SendMessageW(Tooltip_, TTM_SETMAXTIPWIDTH, 0, Scale(600));

    // Created in tab order: the order of the children is the order Tab
    // walks them.
    std::array<size_t, std::size(Layout)> order;
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [](size_t a, size_t b) { return Layout[a].TabOrder < Layout[b].TabOrder; });

    TWin32Port::TControls controls;
    controls.Form = Form_;
    for (size_t i : order) {
        const TControlLayout& c = Layout[i];
        HWND control = ::CreateWindowExW(c.ExStyle, c.ClassName, Utf8ToWide(c.Text.Caption).c_str(), c.Style,
                                         Scale(c.Left), Scale(c.Top), Scale(c.Width), Scale(c.Height), Form_,
                                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.Id)), Instance_, nullptr);
        if (!control)
            continue;
        ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(Font_), FALSE);
        if (c.Id == Ids::lbFileName)
            FitLabelToText(control, Font_);
        if (c.Text.Hint && Tooltip_) {
            std::wstring hint = Utf8ToWide(c.Text.Hint);
            TTTOOLINFOW tool{};
            tool.cbSize = sizeof tool;
            tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
            tool.hwnd = Form_;
            tool.uId = reinterpret_cast<UINT_PTR>(control);
            tool.lpszText = &hint[0];
            ::SendMessageW(Tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
        }
        if (c.Id == Ids::edFileName)
            controls.FileName = control;
        else if (c.Id == Ids::Memo1)
            controls.Memo = control;
        else if (c.Id == Ids::cbAll)
            controls.All = control;
        else if (c.Id == Ids::cbBackup)
            controls.Backup = control;
        else if (c.Id == Ids::pbProgress)
            controls.Progress = control;
    }
    // A backup unless the user says otherwise: every change is in place.
    ::SendMessageW(controls.Backup, BM_SETCHECK, BST_CHECKED, 0);
    // Neither box has a length limit (an edit box takes 32K characters
    // unless told otherwise).
    ::SendMessageW(controls.FileName, EM_SETLIMITTEXT, 0, 0);
    ::SendMessageW(controls.Memo, EM_SETLIMITTEXT, 0, 0);
    Port_.Attach(controls);
}

void TMainWindow::Clicked(int Id)
{
    if (Id == Ids::btStop) {
        Port_.Run().RequestStop();
        return;
    }
    // One run at a time: its buttons are disabled, and a click sent to one
    // all the same is not a second run.
    if (Running_)
        return;
    for (const TControlLayout& c : Layout)
        if (c.Id == Id && c.Click) {
            if (c.Long)
                StartRun(c.Click);
            else
                fmMain.Run(c.Click);
            return;
        }
}

void TMainWindow::StartRun(void (TfmMain::*Handler)())
{
    Port_.Run().Start();
    Port_.ClearProgress();
    CloseAfterRun_ = false;
    FocusAfterRun_ = ::GetFocus();
    Running_ = true;
    EnableForRun(true);
    ::SetTimer(Form_, RunTimer, RunTimerMs, nullptr);
    try {
        Worker_ = std::thread([this, Handler] {
            RunOutcome_ = fmMain.Run(Handler);
            ::PostMessageW(Form_, WmRunEnded, 0, 0);
        });
    } catch (const std::system_error&) {
        // No thread to be had: the run works here, as runs once all did.
        RunOutcome_ = fmMain.Run(Handler);
        RunEnded();
    }
}

void TMainWindow::RunEnded()
{
    if (Worker_.joinable())
        Worker_.join();
    ::KillTimer(Form_, RunTimer);
    // The run's last caption, which the timer may not have shown yet.
    Port_.ShowRunState();
    if (RunOutcome_.Kind == TOutcomeKind::Done)
        Port_.FillProgress();
    Running_ = false;
    EnableForRun(false);
    if (CloseAfterRun_) {
        ::DestroyWindow(Form_);
        return;
    }
    HWND focus = FocusAfterRun_ && ::IsWindow(FocusAfterRun_) && ::IsWindowEnabled(FocusAfterRun_)
                     ? FocusAfterRun_
                     : ::GetNextDlgTabItem(Form_, nullptr, FALSE);
    if (focus && ::GetActiveWindow() == Form_)
        ::SetFocus(focus);
}

void TMainWindow::EnableForRun(bool Running)
{
    // Stop changes first at a run's start and last at its end: while it is
    // enabled the window is in a run, whatever else is still changing.
    HWND stop = ::GetDlgItem(Form_, Ids::btStop);
    if (Running) {
        ::EnableWindow(stop, TRUE);
        // Focus on a control about to be disabled would leave the keyboard
        // nowhere: it goes to Stop, and back after the run.
        HWND focus = ::GetFocus();
        if (focus && ::IsChild(Form_, focus))
            ::SetFocus(stop);
    }
    for (const TControlLayout& c : Layout)
        if (c.Id != Ids::btStop && c.Id != Ids::lbFileName && c.Id != Ids::pbProgress)
            ::EnableWindow(::GetDlgItem(Form_, c.Id), !Running);
    if (!Running)
        ::EnableWindow(stop, FALSE);
}

void TMainWindow::CloseDuringRun()
{
    if (AskingToClose_ || CloseAfterRun_)
        return;
    AskingToClose_ = true;
    const int answer = ::MessageBoxW(Form_, Utf8ToWide(MainTexts::ConfirmStopAndClose).c_str(),
                                     Utf8ToWide(MainTexts::Attention).c_str(), MB_OKCANCEL);
    AskingToClose_ = false;
    if (answer != IDOK)
        return;
    // The run may have ended while the question stood.
    if (!Running_) {
        ::DestroyWindow(Form_);
        return;
    }
    CloseAfterRun_ = true;
    Port_.Run().RequestStop();
}

void TMainWindow::FilesDropped(HDROP Drop)
{
    TDropFinish finish(Drop);
    // The file name box is the run's input, and disabled while it works.
    if (Running_)
        return;
    // Only the first item counts, cut to 255 characters as a 256-character
    // buffer cuts it.
    wchar_t name[256] = {};
    if (::DragQueryFileW(Drop, 0, name, 256) == 0)
        return;
    fmMain.WMDropFiles(WideToUtf8(name));
}

bool TMainWindow::PreviewKey(const MSG& Message)
{
    if (Message.message != WM_KEYDOWN && Message.message != WM_SYSKEYDOWN)
        return false;
    if (!Form_ || (Message.hwnd != Form_ && !::IsChild(Form_, Message.hwnd)))
        return false;
    const int key = static_cast<int>(Message.wParam);
    // During a run Help and Exit are disabled, and so are their keys; Tab
    // and Enter still reach Stop.
    if (Running_ && (key == VK_F1 || key == VK_ESCAPE))
        return key == VK_ESCAPE && Message.message == WM_KEYDOWN;
    // F1 shows the help whatever the modifiers, and the key goes on to the
    // focused control all the same.
    fmMain.FormKeyDown(key);
    if (Message.message != WM_KEYDOWN)
        return false;

    const bool modifiers = KeyDown(VK_SHIFT) || KeyDown(VK_CONTROL) || KeyDown(VK_MENU);
    HWND memo = ::GetDlgItem(Form_, Ids::Memo1);
    switch (key) {
    case VK_ESCAPE:
        // Exit is the cancel button; the memo box keeps Esc for itself. (No
        // IsDialogMessage here: it would make a multi-line edit box post
        // WM_CLOSE to its parent on Esc.)
        if (modifiers || Message.hwnd == memo)
            return false;
        fmMain.Run(&TfmMain::btExitClick);
        return true;
    case VK_TAB:
        if (KeyDown(VK_CONTROL) || KeyDown(VK_MENU))
            return false;
        FocusNextControl(KeyDown(VK_SHIFT));
        return true;
    case VK_RETURN:
        // Enter presses the focused button; no button is a default one.
        if (modifiers || !IsPushButton(Message.hwnd))
            return false;
        ::SendMessageW(Message.hwnd, BM_CLICK, 0, 0);
        return true;
    default: return false;
    }
}

void TMainWindow::FocusNextControl(bool Backwards)
{
    HWND focus = ::GetFocus();
    HWND next = ::GetNextDlgTabItem(Form_, focus && ::IsChild(Form_, focus) ? focus : nullptr, Backwards);
    if (!next)
        return;
    ::SetFocus(next);
    // As in a dialog, tabbing into the file name box selects its text.
    if (::GetDlgCtrlID(next) == Ids::edFileName)
        ::SendMessageW(next, EM_SETSEL, 0, -1);
}
