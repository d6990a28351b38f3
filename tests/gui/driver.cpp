// The end-to-end driver: starts tarnwick.exe, works its real window the way a
// user would (texts typed into boxes, buttons clicked, message boxes and file
// dialogs answered, keys pressed, a file dropped) and checks what the window
// shows and what lands in the files. Built for Windows only and run under
// Wine by run.sh, which also takes the screenshots the driver asks for.
//
//   tarnwick_gui_driver <tarnwick.exe> <work folder> [--layout-only]
//   tarnwick_gui_driver <tarnwick.exe> <work folder> --bench OPERATION TABLE [TEXT]
//
// The work folder becomes the program's current folder; the tables are made
// in its "data" subfolder, byte by byte, with Windows-1251 texts. The output
// is one PASS or FAIL line per step and a closing count; the exit code is
// non-zero when any step failed. --layout-only checks the window's start-up
// state and layout alone (run.sh uses it at a second dpi setting). --bench
// times one run of Clear, Rewrite or Load from the window (bench/window.sh).
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "controlids.h"
#include "winstr.h"
#include "tablebuilder.h"

namespace Ids = TarnwickIds;

namespace {

// ---------------------------------------------------------------- texts

// A text for a report line: control characters spelled out.
std::string Shown(const std::wstring& Text)
{
    std::string out;
    for (wchar_t c : Text) {
        if (c == L'\r')
            out += "\\r";
        else if (c == L'\n')
            out += "\\n";
        else if (c == L'\t')
            out += "\\t";
        else
            out += WideToUtf8(std::wstring(1, c));
    }
    return "\"" + out + "\"";
}

std::string ShownBytes(const std::string& Bytes)
{
    std::string out;
    char hex[8];
    for (unsigned char c : Bytes) {
        if (c >= 32 && c < 127 && c != '\\') {
            out += static_cast<char>(c);
        } else {
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return "\"" + out + "\"";
}

// ---------------------------------------------------------------- report

int Passed = 0;
int Failed = 0;
std::vector<std::string> StepFailures;

void Check(bool Ok, const std::string& What)
{
    if (!Ok)
        StepFailures.push_back(What);
}

void CheckText(const std::wstring& Got, const std::wstring& Expected, const std::string& What)
{
    Check(Got == Expected, What + ": got " + Shown(Got) + ", expected " + Shown(Expected));
}

void CheckBytes(const std::string& Got, const std::string& Expected, const std::string& What)
{
    Check(Got == Expected, What + ": got " + ShownBytes(Got) + ", expected " + ShownBytes(Expected));
}

void Step(const char* Name, const std::function<void()>& Body)
{
    StepFailures.clear();
    Body();
    if (StepFailures.empty()) {
        ++Passed;
        std::printf("PASS  %s\n", Name);
    } else {
        ++Failed;
        std::printf("FAIL  %s\n", Name);
        for (const std::string& f : StepFailures)
            std::printf("        %s\n", f.c_str());
    }
    std::fflush(stdout);
}

// Polls Condition until it holds or the watchdog runs out.
bool WaitFor(const std::function<bool()>& Condition, DWORD TimeoutMs = 20000)
{
    const ULONGLONG end = ::GetTickCount64() + TimeoutMs;
    for (;;) {
        if (Condition())
            return true;
        if (::GetTickCount64() > end)
            return false;
        ::Sleep(50);
    }
}

// ---------------------------------------------------------------- files

std::wstring Work;  // the program's current folder
std::wstring Data;  // Work\data

std::string ReadBytes(const std::wstring& Path)
{
    HANDLE h = ::CreateFileW(Path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    ::CloseHandle(h);
    return bytes;
}

void WriteBytes(const std::wstring& Path, const std::string& Bytes)
{
    HANDLE h = ::CreateFileW(Path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::printf("cannot write %s\n", WideToUtf8(Path).c_str());
        std::exit(2);
    }
    DWORD put = 0;
    ::WriteFile(h, Bytes.data(), static_cast<DWORD>(Bytes.size()), &put, nullptr);
    ::CloseHandle(h);
}

// ---------------------------------------------------------------- tables

constexpr uint32_t BlockSize = 64;  // of the session's memo files

const std::string NoMemo(10, ' ');

// Reading a table back, independently of the program's own table layer.
struct TTableView {
    std::string Bytes;
    uint32_t RecordCount = 0, HeaderSize = 0, RecordSize = 0;
    std::vector<TFieldSpec> Fields;
    std::vector<uint32_t> Offsets;

    explicit TTableView(const std::string& B) : Bytes(B)
    {
        if (B.size() < 32)
            return;
        RecordCount = ReadLe32(B, 4);
        HeaderSize = ReadLe16(B, 8);
        RecordSize = ReadLe16(B, 10);
        for (size_t at = 32; at + 32 <= B.size() && B[at] != '\x0D'; at += 32) {
            TFieldSpec f;
            f.Name = B.substr(at, 11);
            f.Name.resize(std::strlen(f.Name.c_str()));
            f.Type = B[at + 11];
            f.Size = static_cast<uint8_t>(B[at + 16]);
            Fields.push_back(f);
            Offsets.push_back(ReadLe32(B, at + 12));
        }
    }
    int Field(const std::string& Name) const
    {
        for (size_t i = 0; i < Fields.size(); ++i)
            if (Fields[i].Name == Name)
                return static_cast<int>(i);
        return -1;
    }
    std::string Raw(uint32_t Record, const std::string& Name) const
    {
        const int f = Field(Name);
        if (f < 0)
            return "<no field>";
        const size_t at = HeaderSize + static_cast<size_t>(Record) * RecordSize + Offsets[static_cast<size_t>(f)];
        if (at + Fields[static_cast<size_t>(f)].Size > Bytes.size())
            return "<past end>";
        return Bytes.substr(at, Fields[static_cast<size_t>(f)].Size);
    }
};

// The text of the run at Block, as its length field gives it.
std::string MemoAt(const std::string& Fpt, uint32_t Block)
{
    const size_t at = static_cast<size_t>(Block) * BlockSize;
    if (at + 8 > Fpt.size())
        return "<past end>";
    return Fpt.substr(at + 8, ReadBe32(Fpt, at + 4));
}

// ---------------------------------------------------------------- the fixture

// The memo-bearing table of the session, the same for Info, Save, Clear,
// Rewrite and Load (each gets a copy of its own). Field names and texts are
// Cyrillic where Windows-1251 has to carry them.
const char* const fName = "ИМЯ";
const char* const fDesc = "ОПИСАНИЕ";
const char* const fCount = "КОЛ";
const char* const fNotes = "NOTES";
const char* const fComment = "КОММЕНТ";

const char* const DescText0 = "Дубовый стол\r\nдлина 2 м";
const char* const NotesText0 = "Примечание #1\tтаб";
const char* const CommentBlank0 = "   \r\n";  // reads as blank
const char* const DescText1 = "Мягкий";
const char* const CommentText1 = "Комментарий";
const char* const NotesText2 = "Заметка";
const char* const CommentBlank2 = "\t \r\n";  // reads as blank
constexpr uint32_t DamagedBlock = 999;        // past the end of the memo file

struct TFixture {
    std::string Dbf, Fpt;
    uint32_t NextBlock = 0;
};

TFixture MakeFixture()
{
    TMemoBuilder memo(BlockSize);
    const uint32_t d0 = memo.Add(Cp1251(DescText0));
    const uint32_t n0 = memo.Add(Cp1251(NotesText0));
    const uint32_t c0 = memo.Add(Cp1251(CommentBlank0));
    const uint32_t d1 = memo.Add(Cp1251(DescText1));
    const uint32_t c1 = memo.Add(Cp1251(CommentText1));
    const uint32_t n2 = memo.Add(Cp1251(NotesText2));
    const uint32_t c2 = memo.Add(Cp1251(CommentBlank2));
    TTableSpec table;
    table.Fields = {
        {Cp1251(fName), 'C', 12},  {Cp1251(fDesc), 'M', 10},    {Cp1251(fCount), 'N', 5},
        {Cp1251(fNotes), 'M', 10}, {Cp1251(fComment), 'M', 10}, {"LOWER", 'm', 10},
    };
    table.Records = {
        {Cp1251("Стол"), MemoRef(d0), "    5", MemoRef(n0), MemoRef(c0), NoMemo},
        {Cp1251("Стул"), MemoRef(d1), "   12", NoMemo, MemoRef(c1), NoMemo},
        {Cp1251("Шкаф"), MemoRef(DamagedBlock), "    1", MemoRef(n2), MemoRef(c2), NoMemo},
    };
    return {BuildTable(table), memo.Bytes(), memo.NextBlock()};
}

// The table Pack works on: texts, a run two references share, a lost text
// between them and a reference past the end; only field types Pack knows
// (the session's fixture has one it refuses).
TFixture MakePackFixture()
{
    TMemoBuilder memo(BlockSize);
    const uint32_t d0 = memo.Add(Cp1251(DescText0));
    memo.Add(Cp1251("Старый текст, на который ничто не ведёт"));
    const uint32_t n0 = memo.Add(Cp1251(NotesText0));
    const uint32_t d1 = memo.Add(Cp1251(DescText1));
    TTableSpec table;
    table.Fields = {{Cp1251(fName), 'C', 12}, {Cp1251(fDesc), 'M', 10}, {Cp1251(fNotes), 'M', 10}};
    table.Records = {
        {Cp1251("Стол"), MemoRef(d0), MemoRef(n0)},
        {Cp1251("Стул"), MemoRef(d1), MemoRef(DamagedBlock)},
        {Cp1251("Шкаф"), NoMemo, MemoRef(n0)},
    };
    return {BuildTable(table), memo.Bytes(), memo.NextBlock()};
}

// The table bytes with one field of one record replaced.
std::string WithField(const std::string& Dbf, uint32_t Record, const std::string& Name, const std::string& Value)
{
    TTableView view(Dbf);
    std::string b = Dbf;
    const int f = view.Field(Name);
    const size_t at =
        view.HeaderSize + static_cast<size_t>(Record) * view.RecordSize + view.Offsets[static_cast<size_t>(f)];
    std::string v = Value;
    v.resize(view.Fields[static_cast<size_t>(f)].Size, ' ');
    b.replace(at, v.size(), v);
    return b;
}

// ---------------------------------------------------------------- the program

struct TProgram {
    PROCESS_INFORMATION Process{};
    HWND Form = nullptr;

    HWND Control(int Id) const { return ::GetDlgItem(Form, Id); }
    bool Running() const { return ::WaitForSingleObject(Process.hProcess, 0) == WAIT_TIMEOUT; }
};

TProgram App;

std::wstring ClassOf(HWND Window)
{
    wchar_t name[256] = {};
    ::GetClassNameW(Window, name, 256);
    return name;
}

std::wstring Caption(HWND Window)
{
    // Another process's caption comes from the window manager's copy; a
    // control's text must be asked for (WM_GETTEXT is marshalled).
    wchar_t text[4096] = {};
    ::GetWindowTextW(Window, text, 4096);
    return text;
}

std::wstring TextOf(HWND Window)
{
    // The text may change between asking its length and asking the text
    // (a key press being handled meanwhile): asked again until both agree.
    for (int attempt = 0; attempt < 100; ++attempt) {
        DWORD_PTR length = 0;
        if (!::SendMessageTimeoutW(Window, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, 20000, &length))
            return L"<no answer>";
        std::wstring text(static_cast<size_t>(length) + 2, L'\0');
        DWORD_PTR got = 0;
        ::SendMessageTimeoutW(Window, WM_GETTEXT, length + 2, reinterpret_cast<LPARAM>(&text[0]), SMTO_NORMAL, 20000,
                              &got);
        if (got == length) {
            text.resize(static_cast<size_t>(got));
            return text;
        }
    }
    return L"<changing all the time>";
}

void SetText(HWND Window, const std::wstring& Text)
{
    DWORD_PTR result = 0;
    ::SendMessageTimeoutW(Window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(Text.c_str()), SMTO_NORMAL, 20000, &result);
}

// Whether no run is working: Stop is enabled exactly while one is.
bool Idle() { return !::IsWindowEnabled(App.Control(Ids::btStop)); }

// Waits until the run a click started (on the program's worker thread) has
// ended and the program's thread is back in a message loop, done with what
// the run's end or a quick handler had it do.
bool Settle()
{
    DWORD_PTR result = 0;
    return WaitFor(Idle, 60000) && ::SendMessageTimeoutW(App.Form, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &result) != 0;
}

// A click whose handler shows nothing modal: returns when the handler, or
// the run it started, has.
bool Click(int Id)
{
    DWORD_PTR result = 0;
    return ::SendMessageTimeoutW(App.Control(Id), BM_CLICK, 0, 0, SMTO_NORMAL, 60000, &result) != 0 && Settle();
}

// A click whose handler opens a modal box or dialog: posted, so the driver
// is free to answer it.
void PostClick(int Id) { ::PostMessageW(App.Control(Id), BM_CLICK, 0, 0); }

// Window enumeration callbacks are CALLBACK (stdcall on 32-bit Windows),
// which a lambda cannot be.
BOOL CALLBACK CollectOwnTopWindow(HWND w, LPARAM l)
{
    DWORD pid = 0;
    ::GetWindowThreadProcessId(w, &pid);
    if (pid == App.Process.dwProcessId)
        reinterpret_cast<std::vector<HWND>*>(l)->push_back(w);
    return TRUE;
}

BOOL CALLBACK CollectWindow(HWND w, LPARAM l)
{
    reinterpret_cast<std::vector<HWND>*>(l)->push_back(w);
    return TRUE;
}

std::vector<HWND> TopWindows()
{
    std::vector<HWND> found;
    ::EnumWindows(CollectOwnTopWindow, reinterpret_cast<LPARAM>(&found));
    return found;
}

std::vector<HWND> Children(HWND Parent)
{
    std::vector<HWND> found;
    ::EnumChildWindows(Parent, CollectWindow, reinterpret_cast<LPARAM>(&found));
    return found;
}

constexpr int FilterCombo = 0x470;    // cmb1 of the file dialog templates
constexpr int FileNameCombo = 0x47C;  // cmb13, the explorer dialog's name box
constexpr int FileNameEdit = 0x480;   // edt1, the name box of the older template

bool IsFileDialog(HWND Window) { return ::GetDlgItem(Window, FilterCombo) != nullptr; }

// The visible dialog windows (#32770) of the program that Owner owns.
std::vector<HWND> Dialogs(HWND Owner)
{
    std::vector<HWND> found;
    for (HWND w : TopWindows())
        if (ClassOf(w) == L"#32770" && ::IsWindowVisible(w) && ::GetWindow(w, GW_OWNER) == Owner)
            found.push_back(w);
    return found;
}

HWND WaitForMessageBox(HWND Owner, DWORD TimeoutMs = 20000)
{
    HWND box = nullptr;
    WaitFor(
        [&] {
            for (HWND w : Dialogs(Owner))
                if (!IsFileDialog(w))
                    box = w;
            return box != nullptr;
        },
        TimeoutMs);
    return box;
}

HWND WaitForFileDialog()
{
    HWND dialog = nullptr;
    WaitFor([&] {
        for (HWND w : Dialogs(App.Form))
            if (IsFileDialog(w))
                dialog = w;
        return dialog != nullptr;
    });
    return dialog;
}

std::wstring MessageBoxText(HWND Box)
{
    for (HWND c : Children(Box))
        if (ClassOf(c) == L"Static" && !(::GetWindowLongW(c, GWL_STYLE) & SS_ICON) && ::IsWindowVisible(c)) {
            std::wstring text = TextOf(c);
            if (!text.empty())
                return text;
        }
    return L"<no text>";
}

std::vector<int> VisibleButtons(HWND Box)
{
    std::vector<int> ids;
    for (HWND c : Children(Box))
        if (ClassOf(c) == L"Button" && ::IsWindowVisible(c))
            ids.push_back(::GetDlgCtrlID(c));
    std::sort(ids.begin(), ids.end());
    return ids;
}

bool HasVisibleIcon(HWND Box)
{
    for (HWND c : Children(Box))
        if (ClassOf(c) == L"Static" && (::GetWindowLongW(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
            ::IsWindowVisible(c))
            return true;
    return false;
}

// Presses a button of a box or dialog and waits until the box is gone.
bool Answer(HWND Box, int ButtonId)
{
    ::PostMessageW(Box, WM_COMMAND, MAKEWPARAM(ButtonId, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(Box, ButtonId)));
    return WaitFor([&] { return !::IsWindow(Box) || !::IsWindowVisible(Box); });
}

HWND DialogNameBox(HWND Dialog)
{
    HWND combo = ::GetDlgItem(Dialog, FileNameCombo);
    if (combo) {
        HWND edit = ::FindWindowExW(combo, nullptr, L"Edit", nullptr);
        return edit ? edit : combo;
    }
    return ::GetDlgItem(Dialog, FileNameEdit);
}

std::vector<std::wstring> FilterEntries(HWND Dialog, int& Selected)
{
    std::vector<std::wstring> entries;
    HWND combo = ::GetDlgItem(Dialog, FilterCombo);
    DWORD_PTR count = 0, selected = 0;
    ::SendMessageTimeoutW(combo, CB_GETCOUNT, 0, 0, SMTO_NORMAL, 20000, &count);
    ::SendMessageTimeoutW(combo, CB_GETCURSEL, 0, 0, SMTO_NORMAL, 20000, &selected);
    Selected = static_cast<int>(static_cast<LRESULT>(selected));
    for (DWORD_PTR i = 0; i < count; ++i) {
        DWORD_PTR length = 0;
        ::SendMessageTimeoutW(combo, CB_GETLBTEXTLEN, i, 0, SMTO_NORMAL, 20000, &length);
        std::wstring text(static_cast<size_t>(length) + 1, L'\0');
        DWORD_PTR got = 0;
        ::SendMessageTimeoutW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(&text[0]), SMTO_NORMAL, 20000, &got);
        text.resize(static_cast<size_t>(static_cast<LRESULT>(got) < 0 ? 0 : got));
        entries.push_back(text);
    }
    return entries;
}

// Types a path into a file dialog's name box and presses its OK button.
bool ChooseInDialog(HWND Dialog, const std::wstring& Path)
{
    SetText(DialogNameBox(Dialog), Path);
    ::PostMessageW(Dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(Dialog, IDOK)));
    return WaitFor([&] { return !::IsWindow(Dialog) || !::IsWindowVisible(Dialog) || WaitForMessageBox(Dialog, 0); });
}

// Dismisses whatever box a failed step left open, so the next step starts
// from the plain window.
// Clicks Button (by posting: its dialog is modal) and waits for the file
// dialog it opens; null, reported as What, when none comes.
HWND DialogOf(int Button, const char* What)
{
    PostClick(Button);
    HWND dialog = WaitForFileDialog();
    Check(dialog != nullptr, std::string("no ") + What);
    return dialog;
}

// The dialog's filter entries are First and "all files", the one shown the
// first of them.
void CheckFilters(HWND Dialog, const char* First)
{
    int selected = -1;
    const auto filters = FilterEntries(Dialog, selected);
    Check(filters.size() == 2 && filters[0] == Utf8ToWide(First) && filters[1] == Utf8ToWide("Все файлы (*.*)"),
          "dialog filter entries");
    Check(selected == 0, "the dialog shows filter entry " + std::to_string(selected + 1));
}

// Clicks Button (posted: the box is modal) and waits for the confirmation
// box, titled "Внимание!" and saying Text (empty: saying something, with OK
// and Cancel); null, reported, when none comes.
HWND ConfirmationBox(int Button, const std::wstring& Text)
{
    PostClick(Button);
    HWND box = WaitForMessageBox(App.Form);
    Check(box != nullptr, "no confirmation box");
    if (box) {
        CheckText(Caption(box), Utf8ToWide("Внимание!"), "box title");
        if (Text.empty()) {
            const std::wstring said = MessageBoxText(box);
            Check(!said.empty() && said != L"<no text>", "the box says nothing");
            Check(VisibleButtons(box) == std::vector<int>{IDOK, IDCANCEL}, "the box has not OK and Cancel");
        } else {
            CheckText(MessageBoxText(box), Text, "box text");
        }
    }
    return box;
}

void CloseStrayBoxes()
{
    for (int round = 0; round < 4; ++round) {
        bool any = false;
        for (HWND w : TopWindows())
            if (ClassOf(w) == L"#32770" && ::IsWindowVisible(w)) {
                ::PostMessageW(w, WM_COMMAND, IDCANCEL, 0);
                any = true;
            }
        if (!any)
            return;
        ::Sleep(300);
    }
}

bool Start(const std::wstring& Exe)
{
    STARTUPINFOW si{};
    si.cb = sizeof si;
    std::wstring command = L"\"" + Exe + L"\"";
    App = TProgram{};
    if (!::CreateProcessW(Exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, Work.c_str(), &si,
                          &App.Process))
        return false;
    ::WaitForInputIdle(App.Process.hProcess, 30000);
    WaitFor(
        [] {
            for (HWND w : TopWindows())
                if (ClassOf(w) == Ids::MainWindowClass && ::IsWindowVisible(w))
                    App.Form = w;
            return App.Form != nullptr;
        },
        30000);
    return App.Form != nullptr && Settle();
}

bool Exited(DWORD& Code)
{
    if (::WaitForSingleObject(App.Process.hProcess, 20000) != WAIT_OBJECT_0)
        return false;
    ::GetExitCodeProcess(App.Process.hProcess, &Code);
    return true;
}

// ---------------------------------------------------------------- input

DWORD AppThread() { return ::GetWindowThreadProcessId(App.Form, nullptr); }

HWND FocusedControl()
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!::GetGUIThreadInfo(AppThread(), &info))
        return nullptr;
    return info.hwndFocus;
}

bool BringProgramForward()
{
    ::SetForegroundWindow(App.Form);
    return WaitFor([] { return ::GetForegroundWindow() == App.Form; }, 5000);
}

// Focus moved the way a click would move it, through the program's own
// input queue.
bool FocusControl(int Id)
{
    if (!BringProgramForward())
        return false;
    HWND control = App.Control(Id);
    if (::AttachThreadInput(::GetCurrentThreadId(), AppThread(), TRUE)) {
        ::SetFocus(control);
        ::AttachThreadInput(::GetCurrentThreadId(), AppThread(), FALSE);
    }
    return WaitFor([&] { return FocusedControl() == control; }, 5000);
}

void Key(WORD Vk, bool Up)
{
    INPUT in{};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = Vk;
    in.ki.wScan = static_cast<WORD>(::MapVirtualKeyW(Vk, MAPVK_VK_TO_VSC));
    in.ki.dwFlags = Up ? KEYEVENTF_KEYUP : 0;
    ::SendInput(1, &in, sizeof in);
}

// A key press as the keyboard makes it, with modifiers held around it.
void Press(WORD Vk, std::initializer_list<WORD> Modifiers = {})
{
    for (WORD m : Modifiers)
        Key(m, false);
    Key(Vk, false);
    Key(Vk, true);
    for (WORD m : Modifiers)
        Key(m, true);
}

// Moves the mouse through the input queue, as a hand on the mouse would
// (a warped pointer may not tell the windows under it).
void MoveMouse(int X, int Y)
{
    INPUT in{};
    in.type = INPUT_MOUSE;
    in.mi.dx = ::MulDiv(X, 65535, std::max(::GetSystemMetrics(SM_CXSCREEN) - 1, 1));
    in.mi.dy = ::MulDiv(Y, 65535, std::max(::GetSystemMetrics(SM_CYSCREEN) - 1, 1));
    in.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    ::SendInput(1, &in, sizeof in);
}

// ---------------------------------------------------------------- screenshots

// run.sh watches the work folder: it takes the screenshot named in the
// request file and answers with the done file.
bool Screenshot(const std::string& Name)
{
    const std::wstring request = Work + L"\\screenshot.request";
    const std::wstring done = Work + L"\\screenshot.done";
    ::DeleteFileW(done.c_str());
    WriteBytes(request + L".tmp", Name);
    ::MoveFileW((request + L".tmp").c_str(), request.c_str());
    const bool answered = WaitFor([&] { return ::GetFileAttributesW(done.c_str()) != INVALID_FILE_ATTRIBUTES; }, 60000);
    ::DeleteFileW(done.c_str());
    ::DeleteFileW(request.c_str());
    return answered;
}

// ---------------------------------------------------------------- expectations

// The controls as the window's layout places them: at 96 dpi, scaled.
struct TExpectedControl {
    int Id;
    const char* Name;
    int Left, Top, Width, Height;
    const char* Caption;
    const char* Hint;
};

const TExpectedControl Expected[] = {
    {Ids::edFileName, "edFileName", 8, 24, 241, 21, "", nullptr},
    {Ids::lbFileName, "lbFileName", 8, 8, 50, 13, "DBF файл",
     "Выберите DBF файл, нажав Обзор или перетащив на окно программы"},
    {Ids::btBrowseFileName, "btBrowseFileName", 248, 24, 75, 25, "Обзор...", "Выбрать dbf файл"},
    {Ids::btInfo, "btInfo", 336, 24, 81, 25, "Инфо", "Показать инфорамцию о MEMO полях"},
    {Ids::btClear, "btClear", 336, 88, 81, 25, "Очистить", "Очистить все ссылки на MEMO поля"},
    {Ids::btSave, "btSave", 336, 144, 81, 25, "Сохранить...", "Сохранить текст из MEMO полей в текстовый файл"},
    {Ids::btLoad, "btLoad", 336, 176, 81, 25, "Загрузить...", "Загрузить текст в MEMO поля из текстового файла"},
    {Ids::Memo1, "Memo1", 8, 56, 313, 217, nullptr, nullptr},
    {Ids::cbAll, "cbAll", 336, 120, 81, 17, "Все",
     "Если галочка стоит, будут очищены все поля\rЕсли не стоит, то только испорченные"},
    {Ids::btHelp, "btHelp", 336, 216, 81, 25, "Справка", "Справка, информация об авторе, контакт (F1)"},
    {Ids::btExit, "btExit", 336, 248, 81, 25, "Выход", "Выход из программы"},
    {Ids::btAuto, "btAuto", 336, 56, 81, 25, "Перезапись", "Чтение и перезапись значений MEMO полей"},
    {Ids::btCheck, "btCheck", 8, 282, 81, 25, "Проверить",
     "Полная проверка таблицы и MEMO файла: что повреждено и чем это исправить"},
    {Ids::btRelink, "btRelink", 96, 282, 81, 25, "Связать",
     "Вернуть повреждённым ссылкам их тексты, найденные в MEMO файле"},
    {Ids::btSalvage, "btSalvage", 184, 282, 81, 25, "Спасти...",
     "Сохранить в текстовый файл тексты, на которые не ведёт ни одна ссылка"},
    {Ids::btPack, "btPack", 272, 282, 81, 25, "Сжать",
     "Сжать MEMO файл: оставить только тексты, на которые ведут ссылки"},
    {Ids::cbBackup, "cbBackup", 8, 314, 145, 17, "Резервная копия",
     "Перед изменением скопировать таблицу и MEMO файл рядом с ними (.bak)"},
    {Ids::pbProgress, "pbProgress", 8, 342, 313, 21, nullptr, nullptr},
    {Ids::btStop, "btStop", 336, 340, 81, 25, "Стоп", "Остановить работу на границе записи; файлы останутся целыми"},
};

// Stop is left out: it is disabled, and so no tab stop, while no run works.
// The others are every control that could start a run or change its input,
// all disabled while one works.
const int TabOrder[] = {Ids::edFileName, Ids::btBrowseFileName, Ids::Memo1,  Ids::btInfo,  Ids::btAuto, Ids::btClear,
                        Ids::cbAll,      Ids::btSave,           Ids::btLoad, Ids::btHelp,  Ids::btExit, Ids::btCheck,
                        Ids::btRelink,   Ids::btSalvage,        Ids::btPack, Ids::cbBackup};

const char* const TableNotFound = "DBF файл не найден.";
const char* const SelectionHint = "1) Нажмите кнопку \"Инфо\"\r\n2) Выберите нужные MEMO поля.";
const char* const NoBackups = "Восстановление будет невозможно! Программа не сохраняет резервных копий!";

// The help file of the session and the memo box text it must give: single
// line breaks joined, paragraph breaks kept, the trailing space's line break
// kept, a dollar sign turned into a line break, trailing empty lines gone.
const char* const HelpFile = "Первая строка\r\nвторая\r\n\r\nтри \r\nчетыре$пять\r\n\r\n\r\n";
const char* const HelpShown = "Первая строка вторая\r\n\r\nтри\r\nчетыре\r\nпять";
const char* const HelpMissing = "Файл \"Read_Me.txt\" не найден.";

int Scaled(int Pixels, int Dpi) { return ::MulDiv(Pixels, Dpi, 96); }

// Tool texts of the program's tooltip, by the control they belong to, read
// through a buffer in the program's memory (tooltip messages carry pointers
// that no one marshals).
std::vector<std::pair<HWND, std::wstring>> ToolTexts(HWND Tooltip)
{
    std::vector<std::pair<HWND, std::wstring>> tools;
    HANDLE process = App.Process.hProcess;
    const SIZE_T room = 16384;
    char* remote =
        static_cast<char*>(::VirtualAllocEx(process, nullptr, room, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!remote)
        return tools;
    DWORD_PTR count = 0;
    ::SendMessageTimeoutW(Tooltip, TTM_GETTOOLCOUNT, 0, 0, SMTO_NORMAL, 20000, &count);
    for (DWORD_PTR i = 0; i < count; ++i) {
        TTTOOLINFOW tool{};
        tool.cbSize = sizeof tool;
        tool.lpszText = reinterpret_cast<wchar_t*>(remote + 1024);
        std::vector<char> blank(room, 0);
        SIZE_T moved = 0;
        ::WriteProcessMemory(process, remote, blank.data(), room, &moved);
        ::WriteProcessMemory(process, remote, &tool, sizeof tool, &moved);
        DWORD_PTR ok = 0;
        ::SendMessageTimeoutW(Tooltip, TTM_ENUMTOOLSW, i, reinterpret_cast<LPARAM>(remote), SMTO_NORMAL, 20000, &ok);
        std::vector<wchar_t> text((room - 1024) / sizeof(wchar_t), 0);
        ::ReadProcessMemory(process, remote, &tool, sizeof tool, &moved);
        ::ReadProcessMemory(process, remote + 1024, text.data(), text.size() * sizeof(wchar_t) - 2, &moved);
        if (ok)
            tools.emplace_back(reinterpret_cast<HWND>(tool.uId), std::wstring(text.data()));
    }
    ::VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    return tools;
}

HWND ProgramTooltip()
{
    for (HWND w : TopWindows())
        if (ClassOf(w) == TOOLTIPS_CLASSW)
            return w;
    return nullptr;
}

// Drops Files on the window as the shell does: a DROPFILES block in the
// program's memory, handed over with WM_DROPFILES. The block is not the
// shell's moveable global handle, but DragQueryFileW reads it all the same.
void DropFiles(const std::vector<std::wstring>& Files)
{
    std::string block(sizeof(DROPFILES), '\0');
    DROPFILES header{};
    header.pFiles = sizeof(DROPFILES);
    header.fWide = TRUE;
    std::memcpy(&block[0], &header, sizeof header);
    for (const std::wstring& f : Files)
        block.append(reinterpret_cast<const char*>(f.c_str()), (f.size() + 1) * sizeof(wchar_t));
    block.append(sizeof(wchar_t), '\0');
    void* remote =
        ::VirtualAllocEx(App.Process.hProcess, nullptr, block.size(), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    SIZE_T moved = 0;
    ::WriteProcessMemory(App.Process.hProcess, remote, block.data(), block.size(), &moved);
    // Sent, not posted: a message sent after a posted one (Settle's WM_NULL)
    // may be handled first, and the check would then look too early.
    DWORD_PTR result = 0;
    ::SendMessageTimeoutW(App.Form, WM_DROPFILES, reinterpret_cast<WPARAM>(remote), 0, SMTO_NORMAL, 60000, &result);
}

// A window of the driver's own, to take the foreground away from the
// program before a drop.
HWND Bystander()
{
    static HWND window = nullptr;
    if (!window) {
        WNDCLASSW wc{};
        wc.lpfnWndProc = ::DefWindowProcW;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = L"TarnwickDriverBystander";
        ::RegisterClassW(&wc);
        window = ::CreateWindowExW(0, wc.lpszClassName, L"bystander", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 120, 80,
                                   nullptr, nullptr, wc.hInstance, nullptr);
    }
    return window;
}

void PumpOwnMessages()
{
    MSG m;
    while (::PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&m);
        ::DispatchMessageW(&m);
    }
}

// The last step of a session: Exit closes the window with status 0 (after
// starting the program again when Restart names it); then the tally.
int ExitAndReport(const std::wstring* Restart)
{
    Step("Exit closes the window", [&] {
        if (Restart)
            Check(Start(*Restart), "the program did not start again");
        PostClick(Ids::btExit);
        DWORD code = 1;
        Check(Exited(code), "the program is still running");
        Check(code == 0, "exit code " + std::to_string(code));
    });
    if (App.Running())
        ::TerminateProcess(App.Process.hProcess, 1);
    std::printf("%d passed, %d failed\n", Passed, Failed);
    return Failed == 0 ? 0 : 1;
}

// The lost text of the salvage table, and what Salvage writes for it.
const char* const LostText = "Потерянный\r\nтекст #1";
const char* const LostTextSaved = "Потерянный#13#10текст #351";

// The table of the long runs: big enough that Rewrite takes several
// seconds under Wine however fast the machine (half a microsecond a record
// on an idle one), and small on disk as made: its one memo field leads to
// one of a few texts, record by record in turn.
constexpr uint32_t LargeRecords = 16000000;
constexpr uint32_t LargeTextCount = 16;
std::string LargeText(uint32_t Record)
{
    static const std::string words = Cp1251(": текст, на который ведут многие записи");
    return "N" + std::to_string(Record % LargeTextCount) + words;
}

// Writes the large table and its memo file straight to disk, a chunk of
// records at a time: it is too big to be built in memory first.
uint32_t WriteLargeTable(const std::wstring& Dbf, const std::wstring& Fpt)
{
    TMemoBuilder memo(BlockSize);
    std::vector<uint32_t> blocks;
    for (uint32_t t = 0; t < LargeTextCount; ++t)
        blocks.push_back(memo.Add(LargeText(t)));
    WriteBytes(Fpt, memo.Bytes());

    TTableSpec spec = TableOf({{"NOTES", 'M', 10}});
    spec.RecordCountOverride = static_cast<int32_t>(LargeRecords);
    spec.EndOfFileMark = false;
    HANDLE h = ::CreateFileW(Dbf.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::printf("cannot write %s\n", WideToUtf8(Dbf).c_str());
        std::exit(2);
    }
    std::string chunk = BuildTable(spec);
    DWORD put = 0;
    for (uint32_t r = 0; r < LargeRecords; ++r) {
        chunk += ' ' + MemoRef(blocks[r % LargeTextCount]);
        if (chunk.size() >= (1u << 20) || r + 1 == LargeRecords) {
            if (r + 1 == LargeRecords)
                chunk += '\x1A';
            ::WriteFile(h, chunk.data(), static_cast<DWORD>(chunk.size()), &put, nullptr);
            chunk.clear();
        }
    }
    ::CloseHandle(h);
    return memo.NextBlock();
}

// Reads a file front to back in chunks: the large table's files are too big
// to be read into a 32-bit driver's memory at once.
class TFileChunks {
public:
    explicit TFileChunks(const std::wstring& Path)
        : File_(::CreateFileW(Path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr))
    {
    }
    ~TFileChunks()
    {
        if (File_ != INVALID_HANDLE_VALUE)
            ::CloseHandle(File_);
    }
    TFileChunks(const TFileChunks&) = delete;
    TFileChunks& operator=(const TFileChunks&) = delete;
    bool Open() const { return File_ != INVALID_HANDLE_VALUE; }
    // The bytes from Offset on, as many as the next chunk holds: at least
    // Need of them while the file has them.
    const std::string& At(uint64_t Offset, size_t Need)
    {
        if (Offset < Start_ || Offset + Need > Start_ + Chunk_.size()) {
            Chunk_.assign(std::max<size_t>(Need, 8u << 20), '\0');
            LARGE_INTEGER at;
            at.QuadPart = static_cast<LONGLONG>(Offset);
            DWORD got = 0;
            if (!::SetFilePointerEx(File_, at, nullptr, FILE_BEGIN) ||
                !::ReadFile(File_, &Chunk_[0], static_cast<DWORD>(Chunk_.size()), &got, nullptr))
                got = 0;
            Chunk_.resize(got);
            Start_ = Offset;
        }
        View_ = Chunk_.substr(static_cast<size_t>(Offset - Start_), Need);
        return View_;
    }

private:
    HANDLE File_;
    std::string Chunk_, View_;
    uint64_t Start_ = 0;
};

// The files and the controls the steps of a session work with.
struct TSession {
    std::wstring Exe, Stock, Clear, Rewrite, NoMemo, Locked, Saved, Load, Help;
    // Check, Pack and Salvage; the large table of the long runs.
    std::wstring Damaged, Healthy, Pack, Salvage, Salvaged, Large;
    TFixture Fixture;
    TFixture PackFixture;
    uint32_t LostBlock = 0;       // the salvage table's one lost text
    uint32_t LargeFirstFree = 0;  // where the large memo file ended as made
    HWND Memo = nullptr, FileName = nullptr, All = nullptr;
};

std::wstring FptOf(const std::wstring& Dbf) { return Dbf.substr(0, Dbf.size() - 4) + L".FPT"; }

// Writes the tables, the text file to load and the help file into the work
// folder.
TSession PrepareFiles(const std::wstring& Exe)
{
    TSession s;
    s.Exe = Exe;
    s.Fixture = MakeFixture();
    s.Stock = Data + L"\\stock.dbf";
    s.Clear = Data + L"\\clear.dbf";
    s.Rewrite = Data + L"\\rewrite.dbf";
    s.NoMemo = Data + L"\\nomemo.dbf";
    s.Locked = Data + L"\\locked.dbf";
    s.Saved = Data + L"\\saved.txt";
    s.Load = Data + L"\\load.txt";
    s.Help = Work + L"\\Read_Me.txt";
    for (const std::wstring& t : {s.Stock, s.Clear, s.Rewrite, s.Locked}) {
        WriteBytes(t, s.Fixture.Dbf);
        WriteBytes(FptOf(t), s.Fixture.Fpt);
    }
    TTableSpec noMemo;
    noMemo.Fields = {{"ID", 'N', 4}, {Cp1251("ЗАМЕТКА"), 'M', 10}};
    noMemo.Records = {{"   1", "         8"}};
    WriteBytes(s.NoMemo, BuildTable(noMemo));
    ::DeleteFileW(FptOf(s.NoMemo).c_str());
    WriteBytes(s.Help, Cp1251(HelpFile));

    s.Damaged = Data + L"\\damaged.dbf";
    s.Healthy = Data + L"\\healthy.dbf";
    s.Pack = Data + L"\\pack.dbf";
    s.Salvage = Data + L"\\salvage.dbf";
    s.Salvaged = Data + L"\\salvaged.txt";
    s.Large = Data + L"\\large.dbf";
    WriteBytes(s.Damaged, s.Fixture.Dbf);
    WriteBytes(FptOf(s.Damaged), s.Fixture.Fpt);
    s.PackFixture = MakePackFixture();
    WriteBytes(s.Pack, s.PackFixture.Dbf);
    WriteBytes(FptOf(s.Pack), s.PackFixture.Fpt);
    TMemoBuilder healthyMemo(BlockSize);
    WriteBytes(s.Healthy, BuildTable(NotesTable(healthyMemo, {Cp1251("Первый текст"), Cp1251("Второй текст")})));
    WriteBytes(FptOf(s.Healthy), healthyMemo.Bytes());

    TMemoBuilder salvageMemo(BlockSize);
    const uint32_t kept = salvageMemo.Add(Cp1251("Живой текст"));
    s.LostBlock = salvageMemo.Add(Cp1251(LostText));
    const uint32_t keptToo = salvageMemo.Add(Cp1251("Ещё живой"));
    TTableSpec salvage = TableOf({{"NOTES", 'M', 10}});
    salvage.Records = {{MemoRef(kept)}, {MemoRef(keptToo)}};
    WriteBytes(s.Salvage, BuildTable(salvage));
    WriteBytes(FptOf(s.Salvage), salvageMemo.Bytes());

    s.LargeFirstFree = WriteLargeTable(s.Large, FptOf(s.Large));

    WriteBytes(s.Load, Cp1251("NOTES\tКОЛ\tИМЯ\r\n"
                              "Новая заметка\t7\tКресло\r\n"
                              "\r\n"
                              "Третья\t\t\r\n"
                              "Четвёртая\t42\tДиван\r\n"));
    return s;
}

void CheckProgramImage(const TSession& S)
{
    Step("the ANSI code page is Windows-1251",
         [] { Check(::GetACP() == 1251, "GetACP() is " + std::to_string(::GetACP())); });

    Step("tarnwick.exe carries its icon, manifest and version", [&] {
        HMODULE image =
            ::LoadLibraryExW(S.Exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        Check(image != nullptr, "cannot load tarnwick.exe as data");
        if (!image)
            return;
        auto resource = [&](LPCWSTR Type) {
            HRSRC found = ::FindResourceW(image, MAKEINTRESOURCEW(1), Type);
            HGLOBAL loaded = found ? ::LoadResource(image, found) : nullptr;
            const char* bytes = loaded ? static_cast<const char*>(::LockResource(loaded)) : nullptr;
            return bytes ? std::string(bytes, ::SizeofResource(image, found)) : std::string();
        };
        Check(!resource(RT_GROUP_ICON).empty(), "no icon 1");
        const std::string manifest = resource(RT_MANIFEST);
        Check(manifest.find("Microsoft.Windows.Common-Controls") != std::string::npos &&
                  manifest.find("version=\"6.0.0.0\"") != std::string::npos,
              "the manifest does not ask for common controls 6");
        Check(manifest.find("<dpiAware") != std::string::npos && manifest.find(">true</dpiAware>") != std::string::npos,
              "the manifest does not declare system dpi awareness");
        const std::string version = resource(RT_VERSION);
        const std::wstring product = L"ProductName";
        Check(version.find(std::string(reinterpret_cast<const char*>(product.c_str()), product.size() * 2)) !=
                  std::string::npos,
              "no version resource with a product name");
        ::FreeLibrary(image);
    });
}

void CheckStartUpState(const TSession& S)
{
    Step("start-up state", [&] {
        CheckText(Caption(App.Form), L"Tarnwick", "caption");
        CheckText(TextOf(S.FileName), L"", "file name box");
        Check(::SendMessageW(S.All, BM_GETCHECK, 0, 0) == BST_UNCHECKED, "All is ticked");
        Check(::SendMessageW(App.Control(Ids::cbBackup), BM_GETCHECK, 0, 0) == BST_CHECKED, "Backup is not ticked");
        Check(!::IsWindowEnabled(App.Control(Ids::btStop)), "Stop is enabled with no run");
        for (int id : TabOrder)
            Check(::IsWindowEnabled(App.Control(id)) != FALSE, "control " + std::to_string(id) + " is disabled");
        DWORD_PTR position = 1;
        ::SendMessageTimeoutW(App.Control(Ids::pbProgress), PBM_GETPOS, 0, 0, SMTO_NORMAL, 20000, &position);
        Check(position == 0, "the progress bar starts at " + std::to_string(position));
        const std::wstring text = TextOf(S.Memo);
        const std::wstring instructions = Utf8ToWide(
            "1) Выберите DBF файл с повреждёнными MEMO полями\r\n"
            "2) Нажмите кнопку \"Инфо\"\r\n"
            "3) Выберите нужные поля\r\n"
            "4) Выберите нужную функцию\r\n"
            "\r\n");
        CheckText(text.substr(0, instructions.size()), instructions, "memo box instructions");
        Check(text.size() > instructions.size() + 4, "no contact lines after the instructions: " + Shown(text));
        Check(FocusedControl() == S.FileName, "the file name box does not have the focus");
    });
}

void CheckLayout(const TSession& S)
{
    Step("window layout at the system dpi", [&] {
        HDC screen = ::GetDC(nullptr);
        const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
        ::ReleaseDC(nullptr, screen);
        RECT client;
        ::GetClientRect(App.Form, &client);
        Check(client.right == Scaled(422, dpi) && client.bottom == Scaled(374, dpi),
              "client area " + std::to_string(client.right) + "x" + std::to_string(client.bottom) + " at " +
                  std::to_string(dpi) + " dpi");
        const LONG style = ::GetWindowLongW(App.Form, GWL_STYLE);
        Check((style & WS_CAPTION) == WS_CAPTION && (style & WS_SYSMENU) && (style & WS_MINIMIZEBOX),
              "caption, system menu or minimise box missing");
        Check(!(style & WS_MAXIMIZEBOX) && !(style & WS_THICKFRAME), "the window can be maximised or resized");
        RECT frame;
        ::GetWindowRect(App.Form, &frame);
        const int dx = (frame.left + frame.right) - ::GetSystemMetrics(SM_CXSCREEN);
        const int dy = (frame.top + frame.bottom) - ::GetSystemMetrics(SM_CYSCREEN);
        Check(std::abs(dx) <= 1 && std::abs(dy) <= 1, "the window is not centred on the screen");
        for (const TExpectedControl& c : Expected) {
            HWND control = App.Control(c.Id);
            if (!control) {
                Check(false, std::string(c.Name) + " missing");
                continue;
            }
            RECT r;
            ::GetWindowRect(control, &r);
            ::MapWindowPoints(nullptr, App.Form, reinterpret_cast<POINT*>(&r), 2);
            const bool label = c.Id == Ids::lbFileName;  // grows to its text
            const bool placed =
                r.left == Scaled(c.Left, dpi) && r.top == Scaled(c.Top, dpi) &&
                (label ? r.right - r.left >= Scaled(c.Width, dpi) : r.right - r.left == Scaled(c.Width, dpi)) &&
                (label ? r.bottom - r.top >= Scaled(c.Height, dpi) : r.bottom - r.top == Scaled(c.Height, dpi));
            Check(placed, std::string(c.Name) + " at " + std::to_string(r.left) + "," + std::to_string(r.top) + " " +
                              std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top));
            if (c.Caption)
                CheckText(TextOf(control), Utf8ToWide(c.Caption), std::string(c.Name) + " caption");
        }
        const LONG memoStyle = ::GetWindowLongW(S.Memo, GWL_STYLE);
        Check((memoStyle & ES_MULTILINE) && (memoStyle & ES_WANTRETURN) && (memoStyle & WS_VSCROLL) &&
                  !(memoStyle & ES_AUTOHSCROLL) && !(memoStyle & WS_HSCROLL) && !(memoStyle & ES_READONLY),
              "Memo1 is not an editable word-wrapping box with a vertical scroll bar");
        Check((::GetWindowLongW(S.All, GWL_STYLE) & BS_TYPEMASK) == BS_AUTOCHECKBOX, "cbAll is not a check box");
        Check((::GetWindowLongW(App.Control(Ids::cbBackup), GWL_STYLE) & BS_TYPEMASK) == BS_AUTOCHECKBOX,
              "cbBackup is not a check box");
        CheckText(ClassOf(App.Control(Ids::pbProgress)), PROGRESS_CLASSW, "pbProgress class");
        for (int id : {Ids::btBrowseFileName, Ids::btInfo, Ids::btClear, Ids::btSave, Ids::btLoad, Ids::btHelp,
                       Ids::btExit, Ids::btAuto, Ids::btCheck, Ids::btSalvage, Ids::btPack, Ids::btStop})
            Check((::GetWindowLongW(App.Control(id), GWL_STYLE) & BS_TYPEMASK) == BS_PUSHBUTTON,
                  "button " + std::to_string(id) + " is not a plain push button");
    });
}

void CheckTabOrder(const TSession& S)
{
    Step("tab order", [&] {
        HWND at = S.FileName;
        std::string walked;
        bool ok = true;
        for (size_t i = 1; i <= std::size(TabOrder); ++i) {
            at = ::GetNextDlgTabItem(App.Form, at, FALSE);
            const int want = TabOrder[i % std::size(TabOrder)];
            walked += std::to_string(::GetDlgCtrlID(at)) + " ";
            ok = ok && ::GetDlgCtrlID(at) == want;
        }
        Check(ok, "Tab walks " + walked);
        Check(FocusControl(Ids::edFileName), "cannot focus the file name box");
        Press(VK_TAB);
        Check(WaitFor([&] { return FocusedControl() == App.Control(Ids::btBrowseFileName); }, 5000),
              "Tab from the file name box does not reach Browse");
        Press(VK_TAB);
        Check(WaitFor([&] { return FocusedControl() == S.Memo; }, 5000), "Tab from Browse does not reach Memo1");
        Press(VK_TAB);
        Check(WaitFor([&] { return FocusedControl() == App.Control(Ids::btInfo); }, 5000),
              "Tab from Memo1 does not reach Info (the memo box must not keep Tab)");
        Press(VK_TAB, {VK_SHIFT});
        Check(WaitFor([&] { return FocusedControl() == S.Memo; }, 5000), "Shift+Tab from Info does not reach Memo1");
    });
}

void CheckHints(const TSession& S)
{
    Step("hints", [&] {
        HWND tooltip = ProgramTooltip();
        Check(tooltip != nullptr, "no tooltip window");
        if (!tooltip)
            return;
        const auto tools = ToolTexts(tooltip);
        for (const TExpectedControl& c : Expected) {
            HWND control = App.Control(c.Id);
            const auto found =
                std::find_if(tools.begin(), tools.end(), [&](const auto& t) { return t.first == control; });
            if (!c.Hint) {
                Check(found == tools.end(), std::string(c.Name) + " has a hint");
                continue;
            }
            if (found == tools.end()) {
                Check(false, std::string(c.Name) + " has no hint");
                continue;
            }
            CheckText(found->second, Utf8ToWide(c.Hint), std::string(c.Name) + " hint");
        }
    });

    Step("the All box's hint shows on hover, on two lines (screenshot window-hint-all.png)", [&] {
        HWND tooltip = ProgramTooltip();
        RECT r;
        ::GetWindowRect(S.All, &r);
        BringProgramForward();
        MoveMouse((r.left + r.right) / 2 - 10, (r.top + r.bottom) / 2);
        MoveMouse((r.left + r.right) / 2, (r.top + r.bottom) / 2);
        const bool shown = WaitFor([&] { return tooltip && ::IsWindowVisible(tooltip); }, 10000);
        Check(shown, "the tooltip did not show");
        if (shown) {
            RECT tip;
            ::GetWindowRect(tooltip, &tip);
            HDC screen = ::GetDC(nullptr);
            const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
            ::ReleaseDC(nullptr, screen);
            // Two lines of an 8-point font need more than 20 pixels at 96 dpi.
            Check(tip.bottom - tip.top > Scaled(20, dpi),
                  "the tooltip is one line high: " + std::to_string(tip.bottom - tip.top));
            Check(Screenshot("window-hint-all.png"), "run.sh did not take the screenshot");
        }
        MoveMouse(0, 0);
        WaitFor([&] { return !tooltip || !::IsWindowVisible(tooltip); }, 10000);
    });
}

// Clicks button Id, whose handler shows nothing modal (Failure says what a
// click that does not return means), and checks the caption and the memo
// box it leaves.
void ClickLeaves(int Id, const std::string& Failure, const std::wstring& ExpectedCaption,
                 const std::wstring& ExpectedMemo)
{
    Check(Click(Id), Failure);
    CheckText(Caption(App.Form), ExpectedCaption, "caption");
    CheckText(TextOf(App.Control(Ids::Memo1)), ExpectedMemo, "memo box");
}

// Focuses control Id (Name says which), presses F1 with Modifiers held and
// waits for the memo box to show Text; Box names the box in a failure.
void HelpKeyShows(int Id, const std::string& Name, std::initializer_list<WORD> Modifiers, const std::string& Text,
                  const std::string& Box)
{
    HWND memo = App.Control(Ids::Memo1);
    SetText(memo, L"x");
    Check(FocusControl(Id), "cannot focus " + Name);
    Press(VK_F1, Modifiers);
    const bool shown = WaitFor([&] { return TextOf(memo) == Utf8ToWide(Text); }, 10000);
    Check(shown, Box + ": " + Shown(TextOf(memo)));
}

void CheckInfo(const TSession& S)
{
    Step("Info with an empty file name box", [&] {
        const std::wstring before = TextOf(S.Memo);
        ClickLeaves(Ids::btInfo, "Info did not return", Utf8ToWide(TableNotFound), before);
    });

    Step("Info lists the memo fields (screenshot window-after-info.png)", [&] {
        SetText(S.FileName, S.Stock);
        ClickLeaves(Ids::btInfo, "Info did not return", Utf8ToWide("MEMO полей: 3"),
                    Utf8ToWide(std::string(fDesc) + "\r\n" + fNotes + "\r\n" + fComment));
        CheckBytes(ReadBytes(S.Stock), S.Fixture.Dbf, "table after Info");
        CheckBytes(ReadBytes(FptOf(S.Stock)), S.Fixture.Fpt, "memo file after Info");
        MoveMouse(0, 0);
        Settle();
        Check(Screenshot("window-after-info.png"), "run.sh did not take the screenshot");
    });

    Step("Info without a memo file", [&] {
        SetText(S.FileName, S.NoMemo);
        ClickLeaves(Ids::btInfo, "Info did not return", Utf8ToWide("MEMO файл не найден."), Utf8ToWide("ЗАМЕТКА"));
    });
}

void CheckSave(const TSession& S)
{
    // Save writes the chosen fields; the memo box holds the Info list as
    // Info left it, the field names coming back from window text to table
    // bytes through the code page.
    const std::string savedAll = Cp1251(std::string(fDesc) + "\t" + fNotes + "\t" + fComment + "\r\n" +
                                        "Дубовый стол#13#10длина 2 м\tПримечание #351#09таб\t\r\n"
                                        "Мягкий\t\tКомментарий\r\n"
                                        "\tЗаметка\t\r\n");
    Step("Save through the save dialog", [&] {
        SetText(S.FileName, S.Stock);
        Click(Ids::btInfo);
        HWND dialog = DialogOf(Ids::btSave, "save dialog");
        if (!dialog)
            return;
        const std::wstring offered = TextOf(DialogNameBox(dialog));
        Check(offered.size() >= 9 && offered.substr(offered.size() - 9) == L"stock.txt",
              "the dialog offers " + Shown(offered) + ", not stock.txt");
        CheckFilters(dialog, "Текстовые файлы (*.txt)");
        Check(ChooseInDialog(dialog, S.Saved), "the dialog did not close");
        Check(Settle(), "the program does not answer");
        CheckText(Caption(App.Form), Utf8ToWide("MEMO поля сохранены."), "caption");
        CheckBytes(ReadBytes(S.Saved), savedAll, "saved text file");
    });

    Step("Save over an existing file asks first", [&] {
        SetText(S.Memo, Utf8ToWide(fNotes));
        HWND dialog = DialogOf(Ids::btSave, "save dialog");
        if (!dialog)
            return;
        SetText(DialogNameBox(dialog), S.Saved);
        ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                       reinterpret_cast<LPARAM>(::GetDlgItem(dialog, IDOK)));
        HWND prompt = WaitForMessageBox(dialog);
        Check(prompt != nullptr, "no overwrite prompt");
        if (prompt)
            Answer(prompt, IDYES);
        Check(WaitFor([&] { return !::IsWindow(dialog); }), "the dialog did not close");
        Check(Settle(), "the program does not answer");
        CheckBytes(ReadBytes(S.Saved), Cp1251("NOTES\r\nПримечание #351#09таб\r\n\r\nЗаметка\r\n"), "saved text file");
    });
    CloseStrayBoxes();
}

void CheckClear(const TSession& S)
{
    Step("Clear, then Cancel: the table stays byte for byte", [&] {
        SetText(S.FileName, S.Clear);
        SetText(S.Memo, Utf8ToWide(fNotes));
        const std::wstring caption = Caption(App.Form);
        HWND box = ConfirmationBox(
            Ids::btClear,
            Utf8ToWide(std::string("Вы действительно хотите очистить эти MEMO поля (1 шт.)?\r") + NoBackups));
        if (!box)
            return;
        Check(VisibleButtons(box) == std::vector<int>{IDOK, IDCANCEL}, "the box has not OK and Cancel");
        Check(Answer(box, IDCANCEL), "the box did not close");
        Check(Settle(), "the program does not answer");
        CheckBytes(ReadBytes(S.Clear), S.Fixture.Dbf, "table");
        CheckBytes(ReadBytes(FptOf(S.Clear)), S.Fixture.Fpt, "memo file");
        CheckText(Caption(App.Form), caption, "caption");
    });
    CloseStrayBoxes();

    std::string cleared = S.Fixture.Dbf;
    Step("Clear the damaged references only", [&] {
        SetText(S.FileName, S.Clear);
        SetText(S.Memo, Utf8ToWide(std::string(fDesc) + "\r\n" + fComment));
        Check(::SendMessageW(S.All, BM_GETCHECK, 0, 0) == BST_UNCHECKED, "All is ticked");
        PostClick(Ids::btClear);
        HWND box = WaitForMessageBox(App.Form);
        Check(box != nullptr, "no confirmation box");
        if (!box)
            return;
        CheckText(MessageBoxText(box),
                  Utf8ToWide(std::string("Вы действительно хотите очистить эти MEMO поля (2 шт.)?\r") + NoBackups),
                  "box text");
        Check(Answer(box, IDOK), "the box did not close");
        Check(Settle(), "the program does not answer");
        CheckText(Caption(App.Form), Utf8ToWide("MEMO поля очищены."), "caption");
        // Blank texts and the reference past the end go; real texts stay.
        cleared = WithField(cleared, 0, Cp1251(fComment), NoMemo);
        cleared = WithField(cleared, 2, Cp1251(fDesc), NoMemo);
        cleared = WithField(cleared, 2, Cp1251(fComment), NoMemo);
        CheckBytes(ReadBytes(S.Clear), cleared, "table");
        CheckBytes(ReadBytes(FptOf(S.Clear)), S.Fixture.Fpt, "memo file");
    });
    CloseStrayBoxes();

    Step("Clear all references with All ticked", [&] {
        Check(Click(Ids::cbAll), "the check box click did not return");
        Check(::SendMessageW(S.All, BM_GETCHECK, 0, 0) == BST_CHECKED, "All is not ticked after a click");
        SetText(S.Memo, Utf8ToWide(fNotes));
        PostClick(Ids::btClear);
        HWND box = WaitForMessageBox(App.Form);
        Check(box != nullptr, "no confirmation box");
        if (!box)
            return;
        Check(Answer(box, IDOK), "the box did not close");
        Check(Settle(), "the program does not answer");
        CheckText(Caption(App.Form), Utf8ToWide("MEMO поля очищены."), "caption");
        for (uint32_t r = 0; r < 3; ++r)
            cleared = WithField(cleared, r, Cp1251(fNotes), NoMemo);
        CheckBytes(ReadBytes(S.Clear), cleared, "table");
        CheckBytes(ReadBytes(FptOf(S.Clear)), S.Fixture.Fpt, "memo file");
        Click(Ids::cbAll);
    });
    CloseStrayBoxes();
}

void CheckRewrite(const TSession& S)
{
    Step("Rewrite copies the readable texts to fresh blocks", [&] {
        SetText(S.FileName, S.Rewrite);
        SetText(S.Memo, Utf8ToWide(std::string(fDesc) + "\r\n" + fNotes));
        HWND box = ConfirmationBox(
            Ids::btAuto,
            Utf8ToWide(std::string("Вы действительно хотите перезаписать эти MEMO поля (2 шт.)?\r") + NoBackups));
        if (!box)
            return;
        Check(Answer(box, IDOK), "the box did not close");
        Check(Settle(), "the program does not answer");
        CheckText(Caption(App.Form), Utf8ToWide("MEMO поля переписаны."), "caption");

        const TTableView table(ReadBytes(S.Rewrite));
        const std::string fpt = ReadBytes(FptOf(S.Rewrite));
        // In run order: record by record, the fields in the memo box's order.
        uint32_t next = S.Fixture.NextBlock;
        auto expectRun = [&](uint32_t Record, const char* Field, const char* Text) {
            const std::string ref = table.Raw(Record, Cp1251(Field));
            CheckBytes(ref, MemoRef(next), std::string(Field) + " of record " + std::to_string(Record));
            CheckBytes(MemoAt(fpt, next), Cp1251(Text),
                       std::string(Field) + " text of record " + std::to_string(Record));
            next += (8 + static_cast<uint32_t>(Cp1251(Text).size()) + BlockSize - 1) / BlockSize;
        };
        expectRun(0, fDesc, DescText0);
        expectRun(0, fNotes, NotesText0);
        expectRun(1, fDesc, DescText1);
        CheckBytes(table.Raw(1, Cp1251(fNotes)), NoMemo, "NOTES of record 1");
        CheckBytes(table.Raw(2, Cp1251(fDesc)), NoMemo, "the damaged reference of record 2");
        expectRun(2, fNotes, NotesText2);
        Check(ReadBe32(fpt, 0) == next, "memo header's next free block is " + std::to_string(ReadBe32(fpt, 0)) +
                                            ", expected " + std::to_string(next));
        CheckBytes(fpt.substr(4, S.Fixture.Fpt.size() - 4), S.Fixture.Fpt.substr(4), "the memo file's old blocks");
        const TTableView before(S.Fixture.Dbf);
        for (uint32_t r = 0; r < 3; ++r)
            for (const char* f : {fName, fCount, fComment})
                CheckBytes(table.Raw(r, Cp1251(f)), before.Raw(r, Cp1251(f)),
                           std::string(f) + " of record " + std::to_string(r));
    });
    CloseStrayBoxes();
}

void CheckLoad(const TSession& S)
{
    Step("Load through the open dialog", [&] {
        SetText(S.FileName, S.Stock);
        HWND dialog = DialogOf(Ids::btLoad, "open dialog");
        if (!dialog)
            return;
        CheckFilters(dialog, "Текстовые файлы (*.txt)");
        Check(ChooseInDialog(dialog, S.Load), "the dialog did not close");
        HWND box = WaitForMessageBox(App.Form);
        Check(box != nullptr, "no confirmation box");
        if (!box)
            return;
        CheckText(Caption(box), Utf8ToWide("Внимание!"), "box title");
        CheckText(MessageBoxText(box),
                  Utf8ToWide(std::string("Вы действительно хотите загрузить MEMO поля из текстового файла?\r"
                                         "Названия полей указаны в первой строке файла.\r") +
                             NoBackups),
                  "box text");
        Check(Answer(box, IDOK), "the box did not close");
        Check(Settle(), "the program does not answer");
        CheckText(Caption(App.Form), Utf8ToWide("MEMO поля загружены."), "caption");

        const TTableView table(ReadBytes(S.Stock));
        const std::string fpt = ReadBytes(FptOf(S.Stock));
        const TTableView before(S.Fixture.Dbf);
        Check(table.RecordCount == 4, "record count " + std::to_string(table.RecordCount) + ", expected 4");
        auto memoText = [&](uint32_t Record) {
            const std::string ref = table.Raw(Record, Cp1251(fNotes));
            return MemoAt(fpt, static_cast<uint32_t>(std::strtoul(ref.c_str(), nullptr, 10)));
        };
        CheckBytes(memoText(0), Cp1251("Новая заметка"), "NOTES of record 0");
        CheckBytes(table.Raw(0, Cp1251(fCount)), "    7", "КОЛ of record 0");
        CheckBytes(table.Raw(0, Cp1251(fName)), Cp1251("Кресло      "), "ИМЯ of record 0");
        for (const char* f : {fName, fDesc, fCount, fNotes, fComment})
            CheckBytes(table.Raw(1, Cp1251(f)), before.Raw(1, Cp1251(f)), std::string(f) + " of the skipped record 1");
        CheckBytes(memoText(2), Cp1251("Третья"), "NOTES of record 2");
        CheckBytes(table.Raw(2, Cp1251(fCount)), "     ", "КОЛ of record 2");
        CheckBytes(table.Raw(2, Cp1251(fName)), std::string(12, ' '), "ИМЯ of record 2");
        CheckBytes(memoText(3), Cp1251("Четвёртая"), "NOTES of the appended record 3");
        CheckBytes(table.Raw(3, Cp1251(fCount)), "   42", "КОЛ of record 3");
        CheckBytes(table.Raw(3, Cp1251(fName)), Cp1251("Диван       "), "ИМЯ of record 3");
        CheckBytes(table.Raw(3, Cp1251(fDesc)), NoMemo, "ОПИСАНИЕ of record 3");
    });
    CloseStrayBoxes();
}

void CheckBrowse(const TSession& S)
{
    Step("Browse puts the chosen table into the file name box", [&] {
        SetText(S.FileName, L"");
        const std::wstring memoBefore = TextOf(S.Memo);
        const std::wstring captionBefore = Caption(App.Form);
        HWND dialog = DialogOf(Ids::btBrowseFileName, "open dialog");
        if (!dialog)
            return;
        CheckFilters(dialog, "dbf файлы (*.dbf)");
        // The one dialog keeps the name last chosen in it, by Load.
        const std::wstring offered = TextOf(DialogNameBox(dialog));
        Check(offered.size() >= 8 && offered.substr(offered.size() - 8) == L"load.txt",
              "the dialog offers " + Shown(offered) + ", not load.txt");
        Check(ChooseInDialog(dialog, S.Clear), "the dialog did not close");
        Check(Settle(), "the program does not answer");
        CheckText(TextOf(S.FileName), S.Clear, "file name box");
        CheckText(TextOf(S.Memo), memoBefore, "memo box");
        CheckText(Caption(App.Form), captionBefore, "caption");
    });
    CloseStrayBoxes();

    Step("Browse, then Cancel: the file name box keeps its text", [&] {
        SetText(S.FileName, L"C:\\kept.dbf");
        HWND dialog = DialogOf(Ids::btBrowseFileName, "open dialog");
        if (!dialog)
            return;
        Check(Answer(dialog, IDCANCEL), "the dialog did not close");
        Check(Settle(), "the program does not answer");
        CheckText(TextOf(S.FileName), L"C:\\kept.dbf", "file name box");
    });
    CloseStrayBoxes();
}

void CheckHelp(const TSession& S)
{
    Step("a memo box line naming no field gives the two-line hint", [&] {
        SetText(S.FileName, S.Clear);
        SetText(S.Memo, Utf8ToWide(std::string(fDesc) + "\r\nНЕТ ТАКОГО"));
        const std::wstring caption = Caption(App.Form);
        const std::string tableBefore = ReadBytes(S.Clear);
        ClickLeaves(Ids::btClear, "Clear did not return (a box is open?)", caption, Utf8ToWide(SelectionHint));
        CheckBytes(ReadBytes(S.Clear), tableBefore, "table");
    });
    CloseStrayBoxes();

    // The file dialogs have been used on the data folder by now: the help
    // file is still looked up in the program's own current folder.
    Step("Help shows Read_Me.txt reflowed", [&] {
        const std::wstring caption = Caption(App.Form);
        ClickLeaves(Ids::btHelp, "Help did not return", caption, Utf8ToWide(HelpShown));
    });

    Step("F1 shows the help from the file name box",
         [&] { HelpKeyShows(Ids::edFileName, "the file name box", {}, HelpShown, "memo box"); });

    Step("Shift+F1 shows the help from the memo box",
         [&] { HelpKeyShows(Ids::Memo1, "the memo box", {VK_SHIFT}, HelpShown, "memo box"); });

    Step("Help and F1 without Read_Me.txt", [&] {
        ::DeleteFileW(S.Help.c_str());
        SetText(S.Memo, Utf8ToWide(std::string(fDesc)));
        Check(Click(Ids::btHelp), "Help did not return");
        CheckText(TextOf(S.Memo), Utf8ToWide(HelpMissing), "memo box after Help");
        HelpKeyShows(Ids::btInfo, "Info", {VK_CONTROL}, HelpMissing, "memo box after Ctrl+F1");
        WriteBytes(S.Help, Cp1251(HelpFile));
    });
}

void CheckDropAndErrors(const TSession& S)
{
    Step("a file dropped on the window", [&] {
        SetText(S.FileName, L"");
        SetText(S.Memo, L"memo");
        const std::wstring caption = Caption(App.Form);
        ::SetForegroundWindow(Bystander());
        PumpOwnMessages();
        WaitFor([] { return ::GetForegroundWindow() == Bystander(); }, 5000);
        const bool away = ::GetForegroundWindow() != App.Form;
        DropFiles({S.Stock, S.Clear, S.Rewrite});
        CheckText(TextOf(S.FileName), S.Stock, "file name box after dropping three files");
        CheckText(TextOf(S.Memo), L"memo", "memo box");
        CheckText(Caption(App.Form), caption, "caption");
        Check(away, "the driver could not take the foreground away first");
        Check(WaitFor([] { return ::GetForegroundWindow() == App.Form; }, 5000),
              "the program did not come to the front");

        std::wstring longPath = L"C:\\";
        while (longPath.size() < 300)
            longPath += L"очень длинное имя папки\\";
        longPath += L"table.dbf";
        DropFiles({longPath});
        CheckText(TextOf(S.FileName), longPath.substr(0, 255), "file name box after dropping a 300-character path");
    });

    Step("an error of the table layer shows in the error box", [&] {
        // Another program holding the table without sharing it for writing:
        // the read-write open fails.
        HANDLE holder =
            ::CreateFileW(S.Locked.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        Check(holder != INVALID_HANDLE_VALUE, "cannot hold the table open");
        SetText(S.FileName, S.Locked);
        SetText(S.Memo, L"memo");
        const std::wstring caption = Caption(App.Form);
        PostClick(Ids::btInfo);
        HWND box = WaitForMessageBox(App.Form);
        Check(box != nullptr, "no error box");
        if (box) {
            CheckText(Caption(box), L"Tarnwick", "box title");
            // The message ends in a double quote, which sorts before the
            // full stop: no full stop is added.
            CheckText(MessageBoxText(box), Utf8ToWide("Ошибка открытия файла \"") + S.Locked + L"\"", "box text");
            Check(VisibleButtons(box) == std::vector<int>{IDOK}, "the box has other buttons than OK");
            Check(HasVisibleIcon(box), "the box shows no icon");
            Check(Answer(box, IDOK), "the box did not close");
        }
        Check(Settle(), "the program does not answer");
        CheckText(Caption(App.Form), caption, "caption");
        CheckText(TextOf(S.Memo), L"memo", "memo box");
        if (holder != INVALID_HANDLE_VALUE)
            ::CloseHandle(holder);
    });
    CloseStrayBoxes();
}

void CheckEscape(const TSession& S)
{
    Step("Esc in the memo box does not close the window", [&] {
        SetText(S.Memo, L"");
        Check(FocusControl(Ids::Memo1), "cannot focus the memo box");
        Press(VK_ESCAPE);
        // Keys are handled in order: once the letter typed after Esc is in
        // the box, Esc has been handled too.
        Press('Q');
        const bool typed = WaitFor([&] { return App.Running() && TextOf(S.Memo).size() == 1; }, 10000);
        Check(typed, App.Running() ? "memo box " + Shown(TextOf(S.Memo)) : "the program has ended");
    });

    Step("Esc elsewhere closes the window", [&] {
        Check(FocusControl(Ids::edFileName), "cannot focus the file name box");
        Press(VK_ESCAPE);
        DWORD code = 1;
        Check(Exited(code), "the program is still running");
        Check(code == 0, "exit code " + std::to_string(code));
    });
}

// Whether the memo box's text holds Words.
bool MemoSays(const char* Words)
{
    return TextOf(App.Control(Ids::Memo1)).find(Utf8ToWide(Words)) != std::wstring::npos;
}

// The verdicts Check ends its report with.
const char* const DamageFound = "найдены повреждения";
const char* const TableHealthy = "таблица исправна";

void CheckNewOperations(const TSession& S)
{
    Step("Check on a damaged table shows the damage and changes nothing", [&] {
        SetText(S.FileName, S.Damaged);
        Check(Click(Ids::btInfo), "Info did not return");
        Check(Click(Ids::btCheck), "Check did not return (a box is open?)");
        Check(MemoSays(DamageFound), "memo box " + Shown(TextOf(S.Memo)) + " does not say " + DamageFound);
        CheckText(Caption(App.Form), Utf8ToWide(DamageFound), "caption");
        CheckBytes(ReadBytes(S.Damaged), S.Fixture.Dbf, "table");
        CheckBytes(ReadBytes(FptOf(S.Damaged)), S.Fixture.Fpt, "memo file");
    });
    CloseStrayBoxes();

    Step("Check on a healthy table says so", [&] {
        SetText(S.FileName, S.Healthy);
        Check(Click(Ids::btInfo), "Info did not return");
        Check(Click(Ids::btCheck), "Check did not return (a box is open?)");
        Check(MemoSays(TableHealthy) && !MemoSays(DamageFound),
              "memo box " + Shown(TextOf(S.Memo)) + " does not say " + TableHealthy);
        CheckText(Caption(App.Form), Utf8ToWide(TableHealthy), "caption");
    });
    CloseStrayBoxes();

    Step("Pack refuses a field type it does not know, before asking, and changes nothing", [&] {
        // The session's fixture has a memo field of type "m".
        SetText(S.FileName, S.Damaged);
        Check(Click(Ids::btPack), "Pack did not return (a box is open?)");
        const std::wstring caption = Caption(App.Form);
        Check(caption.find(L"LOWER") != std::wstring::npos &&
                  caption.find(Utf8ToWide("Таблица не изменена.")) != std::wstring::npos,
              "caption " + Shown(caption));
        CheckBytes(ReadBytes(S.Damaged), S.Fixture.Dbf, "table");
        CheckBytes(ReadBytes(FptOf(S.Damaged)), S.Fixture.Fpt, "memo file");
        Check(ReadBytes(S.Damaged + L".bak") == "<missing>", "a backup was made");
    });
    CloseStrayBoxes();

    Step("Pack with Backup ticked: backups beside the table, the memo file compact", [&] {
        Check(::SendMessageW(App.Control(Ids::cbBackup), BM_GETCHECK, 0, 0) == BST_CHECKED, "Backup is not ticked");
        SetText(S.FileName, S.Pack);
        HWND box = ConfirmationBox(Ids::btPack, L"");
        if (!box)
            return Check(false, "caption " + Shown(Caption(App.Form)));
        Check(Answer(box, IDOK), "the box did not close");
        Check(Settle(), "the program does not answer");
        CheckBytes(ReadBytes(S.Pack + L".bak"), S.PackFixture.Dbf, "the table's backup");
        CheckBytes(ReadBytes(FptOf(S.Pack) + L".bak"), S.PackFixture.Fpt, "the memo file's backup");

        // Every reference that led to a text leads to the same text, those
        // that shared a run to a copy each; the one that led past the end
        // is blank; the lost text is gone and nothing lies past the runs.
        const TTableView before(S.PackFixture.Dbf), after(ReadBytes(S.Pack));
        const std::string fpt = ReadBytes(FptOf(S.Pack));
        std::vector<std::string> refs;
        for (uint32_t r = 0; r < 3; ++r)
            for (const char* f : {fDesc, fNotes}) {
                const std::string was = before.Raw(r, Cp1251(f)), now = after.Raw(r, Cp1251(f));
                const std::string what = std::string(f) + " of record " + std::to_string(r);
                if (was == NoMemo || std::strtoul(was.c_str(), nullptr, 10) == DamagedBlock) {
                    CheckBytes(now, NoMemo, what);
                    continue;
                }
                CheckBytes(MemoAt(fpt, static_cast<uint32_t>(std::strtoul(now.c_str(), nullptr, 10))),
                           MemoAt(S.PackFixture.Fpt, static_cast<uint32_t>(std::strtoul(was.c_str(), nullptr, 10))),
                           what);
                Check(std::find(refs.begin(), refs.end(), now) == refs.end(), what + " shares a run");
                refs.push_back(now);
            }
        CheckBytes(after.Raw(1, Cp1251(fName)), before.Raw(1, Cp1251(fName)), "ИМЯ of record 1");
        Check(fpt.size() >= 4 && static_cast<uint64_t>(ReadBe32(fpt, 0)) * BlockSize == fpt.size(),
              "the memo file is " + std::to_string(fpt.size()) + " bytes, its next free block " +
                  std::to_string(fpt.size() >= 4 ? ReadBe32(fpt, 0) : 0));
        Check(fpt.find(Cp1251("Старый текст")) == std::string::npos, "the lost text is still in the memo file");
        Check(Click(Ids::btCheck), "Check did not return");
        Check(MemoSays(TableHealthy) && !MemoSays(DamageFound),
              "Check after Pack: " + Shown(TextOf(S.Memo)) + " does not say " + TableHealthy);
    });
    CloseStrayBoxes();

    Step("Salvage writes the lost texts through the save dialog", [&] {
        SetText(S.FileName, S.Salvage);
        const std::string table = ReadBytes(S.Salvage), memo = ReadBytes(FptOf(S.Salvage));
        HWND dialog = DialogOf(Ids::btSalvage, "save dialog");
        if (!dialog)
            return;
        Check(ChooseInDialog(dialog, S.Salvaged), "the dialog did not close");
        Check(Settle(), "the program does not answer");
        CheckBytes(ReadBytes(S.Salvaged),
                   "BLOCK\tTEXT\r\n" + std::to_string(S.LostBlock) + "\t" + Cp1251(LostTextSaved) + "\r\n",
                   "salvaged text file");
        CheckBytes(ReadBytes(S.Salvage), table, "table");
        CheckBytes(ReadBytes(FptOf(S.Salvage)), memo, "memo file");
    });
    CloseStrayBoxes();
}

// Every record of the large table leads to its text, inside the memo
// file's runs, and no two records share a copy a Rewrite appended; returns
// how many records lead to such copies. The files are read front to back:
// first the table, noting which text each block must hold, then the memo
// file.
uint32_t CheckLargeTexts(const TSession& S)
{
    TFileChunks dbf(S.Large), fpt(FptOf(S.Large));
    Check(dbf.Open() && fpt.Open(), "cannot open the large table's files");
    const std::string header = dbf.At(0, 32), fptHeader = fpt.At(0, 8);
    if (header.size() < 32 || fptHeader.size() < 8)
        return Check(false, "the large table's headers are cut short"), 0;
    const uint32_t count = ReadLe32(header, 4), headerSize = ReadLe16(header, 8), recordSize = ReadLe16(header, 10);
    Check(count == LargeRecords, "record count " + std::to_string(count));
    const uint32_t nextFree = ReadBe32(fptHeader, 0);
    // The text each block must hold (its number + 1), 0 for none; a copy
    // two records lead to is marked Shared.
    constexpr uint8_t Shared = 0xFF;
    std::vector<uint8_t> expected(nextFree, 0);
    uint32_t outside = 0, shared = 0, copies = 0;
    for (uint32_t r = 0; r < count && r < LargeRecords; ++r) {
        const std::string ref = dbf.At(headerSize + static_cast<uint64_t>(r) * recordSize + 1, 10);
        if (ref.size() < 10)
            return Check(false, "the table is cut short at record " + std::to_string(r)), 0;
        const uint32_t block = static_cast<uint32_t>(std::strtoul(ref.c_str(), nullptr, 10));
        const uint8_t text = static_cast<uint8_t>(r % LargeTextCount + 1);
        if (block >= nextFree) {
            ++outside;
            continue;
        }
        if (block >= S.LargeFirstFree) {
            ++copies;
            if (expected[block] != 0) {
                ++shared;
                expected[block] = Shared;
                continue;
            }
        } else if (expected[block] != 0 && expected[block] != text) {
            ++shared;
        }
        expected[block] = text;
    }
    uint32_t wrong = 0;
    for (uint32_t block = 0; block < nextFree; ++block) {
        if (expected[block] == 0 || expected[block] == Shared)
            continue;
        const std::string want = LargeText(expected[block] - 1u);
        const std::string run = fpt.At(static_cast<uint64_t>(block) * BlockSize, 8 + want.size());
        if (run.size() < 8 + want.size() || ReadBe32(run, 4) != want.size() || run.compare(8, want.size(), want) != 0)
            ++wrong;
    }
    Check(outside == 0, std::to_string(outside) + " records lead past the memo file's next free block");
    Check(shared == 0, std::to_string(shared) + " records share a copy or a text with another");
    Check(wrong == 0, std::to_string(wrong) + " runs do not hold the text their records want");
    return copies;
}

// Starts Rewrite of the large table: the question answered OK, the run
// under way. False, reported, when it did not start.
bool StartLargeRewrite(const TSession& S)
{
    // (The program may have been started again: its controls are new.) No
    // backup: copying the large table would only make the test slower.
    if (::SendMessageW(App.Control(Ids::cbBackup), BM_GETCHECK, 0, 0) == BST_CHECKED)
        Click(Ids::cbBackup);
    SetText(App.Control(Ids::edFileName), S.Large);
    SetText(App.Control(Ids::Memo1), L"NOTES");
    HWND box = ConfirmationBox(
        Ids::btAuto,
        Utf8ToWide(std::string("Вы действительно хотите перезаписать эти MEMO поля (1 шт.)?\r") + NoBackups));
    if (!box || !Answer(box, IDOK))
        return false;
    const bool started = WaitFor([] { return Caption(App.Form).find(L'/') != std::wstring::npos || Idle(); }, 30000);
    Check(started && !Idle(), "no run under way: caption " + Shown(Caption(App.Form)));
    return started && !Idle();
}

void CheckLongRun(const TSession& S)
{
    bool running = false;
    Step("during a long Rewrite the window answers within a second and shows the progress", [&] {
        if (!App.Running())
            Check(Start(S.Exe), "the program did not start again");
        running = StartLargeRewrite(S);
        if (!running)
            return;
        HWND progress = App.Control(Ids::pbProgress);
        ULONGLONG slowest = 0;
        int unanswered = 0;
        std::vector<std::wstring> captions;
        DWORD_PTR position = 0;
        const ULONGLONG until = ::GetTickCount64() + 3000;
        int asked = 0;
        while (::GetTickCount64() < until && !Idle()) {
            ++asked;
            const ULONGLONG sent = ::GetTickCount64();
            DWORD_PTR result = 0;
            if (!::SendMessageTimeoutW(App.Form, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result))
                ++unanswered;
            slowest = std::max(slowest, ::GetTickCount64() - sent);
            const std::wstring caption = Caption(App.Form);
            if (captions.empty() || captions.back() != caption)
                captions.push_back(caption);
            DWORD_PTR at = 0;
            if (::SendMessageTimeoutW(progress, PBM_GETPOS, 0, 0, SMTO_NORMAL, 1000, &at))
                position = std::max(position, at);
            ::Sleep(50);
        }
        std::printf("        %d answers in 3 s, the slowest in %llu ms; %zu captions, the bar at %u/1000\n", asked,
                    static_cast<unsigned long long>(slowest), captions.size(), static_cast<unsigned>(position));
        Check(!Idle(), "the run took less than 3 s: the table is too small for this test");
        Check(unanswered == 0, std::to_string(unanswered) + " messages were not answered within a second");
        Check(slowest < 1000, "the slowest answer took " + std::to_string(slowest) + " ms");
        // The caption moves on several times a second, not only at the end.
        Check(captions.size() >= 5, std::to_string(captions.size()) + " captions in 3 s");
        Check(position > 0, "the progress bar did not move");
        for (int id : TabOrder)
            Check(!::IsWindowEnabled(App.Control(id)), "control " + std::to_string(id) + " is enabled during the run");
        Check(::IsWindowEnabled(App.Control(Ids::btStop)) != FALSE, "Stop is disabled during the run");

        // The window goes down to the task bar and back, and moves, while
        // the run goes on.
        DWORD_PTR result = 0;
        ::SendMessageTimeoutW(App.Form, WM_SYSCOMMAND, SC_MINIMIZE, 0, SMTO_NORMAL, 1000, &result);
        Check(WaitFor([] { return ::IsIconic(App.Form) != FALSE; }, 2000), "the window did not minimise");
        ::SendMessageTimeoutW(App.Form, WM_SYSCOMMAND, SC_RESTORE, 0, SMTO_NORMAL, 1000, &result);
        Check(WaitFor([] { return !::IsIconic(App.Form); }, 2000), "the window was not restored");
        RECT was;
        ::GetWindowRect(App.Form, &was);
        ::SetWindowPos(App.Form, nullptr, was.left + 40, was.top + 30, 0, 0,
                       SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_ASYNCWINDOWPOS);
        Check(WaitFor(
                  [&] {
                      RECT now;
                      ::GetWindowRect(App.Form, &now);
                      return now.left == was.left + 40 && now.top == was.top + 30;
                  },
                  1000),
              "the window did not move within a second");
        ::SetWindowPos(App.Form, nullptr, was.left, was.top, 0, 0,
                       SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_ASYNCWINDOWPOS);
        MoveMouse(0, 0);
        Check(Screenshot("window-during-run.png"), "run.sh did not take the screenshot");
        Check(!Idle(), "the run ended before Stop could be tried: the table is too small for this test");
    });

    Step("Stop ends the run at a record boundary, every text readable", [&] {
        if (!running)
            return Check(false, "no run to stop");
        // The keyboard reaches Stop: the focus went there when the run
        // disabled the button that had it, and Enter presses it.
        HWND stop = App.Control(Ids::btStop);
        Check(BringProgramForward(), "cannot bring the program forward");
        Check(FocusedControl() == stop, "the focus is not on Stop during the run");
        const ULONGLONG pressed = ::GetTickCount64();
        if (FocusedControl() == stop)
            Press(VK_RETURN);
        else
            PostClick(Ids::btStop);
        Check(WaitFor(Idle, 30000) && Settle(), "the run did not end after Stop");
        const ULONGLONG took = ::GetTickCount64() - pressed;
        Check(FocusedControl() == App.Control(Ids::btAuto), "the focus did not go back to Rewrite after the run");
        Check(took < 5000, "the run took " + std::to_string(took) + " ms to stop");
        const std::wstring caption = Caption(App.Form);
        Check(caption.rfind(Utf8ToWide("Остановлено: обработано "), 0) == 0 &&
                  caption.find(Utf8ToWide("Файлы целы.")) != std::wstring::npos,
              "caption " + Shown(caption));
        const uint32_t moved = CheckLargeTexts(S);
        Check(moved > 0 && moved < LargeRecords, std::to_string(moved) + " of " + std::to_string(LargeRecords) +
                                                     " texts were copied: the run did not stop halfway");
        for (int id : TabOrder)
            Check(::IsWindowEnabled(App.Control(id)) != FALSE, "control " + std::to_string(id) + " stays disabled");
    });
    CloseStrayBoxes();

    Step("closing the window during a run asks first, then stops the run and closes", [&] {
        if (!StartLargeRewrite(S))
            return;
        ::PostMessageW(App.Form, WM_CLOSE, 0, 0);
        HWND box = WaitForMessageBox(App.Form);
        Check(box != nullptr, "no question");
        if (!box)
            return;
        CheckText(Caption(box), Utf8ToWide("Внимание!"), "box title");
        CheckText(MessageBoxText(box),
                  Utf8ToWide("Работа ещё идёт. Остановить её на границе записи и закрыть программу?\r"
                             "Файлы останутся целыми."),
                  "box text");
        Check(Answer(box, IDCANCEL), "the box did not close");
        Check(App.Running() && !Idle(), "Cancel did not leave the run working");
        ::PostMessageW(App.Form, WM_CLOSE, 0, 0);
        box = WaitForMessageBox(App.Form);
        Check(box != nullptr, "no question the second time");
        if (box)
            Check(Answer(box, IDOK), "the box did not close");
        DWORD code = 1;
        Check(Exited(code), "the program is still running");
        Check(code == 0, "exit code " + std::to_string(code));
        CheckLargeTexts(S);
    });
    if (App.Running())
        ::TerminateProcess(App.Process.hProcess, 1);
}

// One timed run for bench/window.sh: Operation (clear, rewrite or load) on
// Table, Load reading TextFile, with Backup unticked as the command line
// makes none by default. Prints the milliseconds from the confirmation's
// close to the run's end, and the caption it ended with.
int BenchRun(const std::wstring& Exe, const std::wstring& Operation, const std::wstring& Table,
             const std::wstring& TextFile)
{
    const int button = Operation == L"clear"     ? Ids::btClear
                       : Operation == L"rewrite" ? Ids::btAuto
                       : Operation == L"load"    ? Ids::btLoad
                                                 : 0;
    if (!button) {
        std::printf("bench: no operation %s\n", WideToUtf8(Operation).c_str());
        return 2;
    }
    if (!Start(Exe)) {
        std::printf("bench: the program did not start\n");
        return 1;
    }
    if (::SendMessageW(App.Control(Ids::cbBackup), BM_GETCHECK, 0, 0) == BST_CHECKED)
        Click(Ids::cbBackup);
    SetText(App.Control(Ids::edFileName), Table);
    Click(Ids::btInfo);
    if (button == Ids::btLoad) {
        HWND dialog = DialogOf(button, "open dialog");
        if (!dialog || !ChooseInDialog(dialog, TextFile)) {
            std::printf("bench: the open dialog did not take the text file\n");
            return 1;
        }
    } else {
        PostClick(button);
    }
    HWND box = WaitForMessageBox(App.Form);
    if (!box) {
        std::printf("bench: no confirmation box\n");
        return 1;
    }
    // Timed from the moment the box is gone: Wine without a window manager
    // takes up to 2 s to take a box off the screen, and the command line
    // (--yes) shows none.
    ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(box, IDOK)));
    const ULONGLONG deadline = ::GetTickCount64() + 3600 * 1000;
    while (::IsWindow(box) && ::GetTickCount64() < deadline)
        ::Sleep(5);
    LARGE_INTEGER frequency, started, ended;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&started);
    // Polled often: the poll's step is the figure's error.
    while (!Idle() && ::GetTickCount64() < deadline)
        ::Sleep(5);
    ::QueryPerformanceCounter(&ended);
    const long long ms = (ended.QuadPart - started.QuadPart) * 1000 / frequency.QuadPart;
    std::printf("window %s %lld ms, caption %s\n", WideToUtf8(Operation).c_str(), ms, Shown(Caption(App.Form)).c_str());
    PostClick(Ids::btExit);
    DWORD code = 1;
    if (!Exited(code))
        ::TerminateProcess(App.Process.hProcess, 1);
    return Idle() ? 0 : 1;
}

// The layout-only session ends with a screenshot of the window at the
// system's dpi.
int ScreenshotAtSystemDpi()
{
    HDC screen = ::GetDC(nullptr);
    const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
    ::ReleaseDC(nullptr, screen);
    const std::string shot = "window-at-" + std::to_string(dpi) + "dpi.png";
    Step(("screenshot " + shot).c_str(), [&] {
        MoveMouse(0, 0);
        Settle();
        Check(Screenshot(shot), "run.sh did not take the screenshot");
    });
    return ExitAndReport(nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const bool layoutOnly = argc == 4 && std::wstring(argv[3]) == L"--layout-only";
    const bool bench = argc >= 6 && std::wstring(argv[3]) == L"--bench";
    if (argc != 3 && !layoutOnly && !bench) {
        std::printf(
            "usage: tarnwick_gui_driver <tarnwick.exe> <work folder> [--layout-only]\n"
            "       tarnwick_gui_driver <tarnwick.exe> <work folder> --bench clear|rewrite|load TABLE [TEXT]\n");
        return 2;
    }
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    // Window rectangles in real pixels, as the program (dpi aware) places
    // them, not scaled for an unaware reader.
    ::SetProcessDPIAware();
    Work = argv[2];
    if (bench)
        return BenchRun(argv[1], argv[4], argv[5], argc > 6 ? argv[6] : L"");
    Data = Work + L"\\data";
    ::CreateDirectoryW(Work.c_str(), nullptr);
    ::CreateDirectoryW(Data.c_str(), nullptr);
    TSession s = PrepareFiles(argv[1]);

    CheckProgramImage(s);
    bool started = false;
    Step("the program starts and shows its window", [&] {
        started = Start(s.Exe);
        Check(started, "no visible window of class TfmMain");
    });
    if (!started) {
        std::printf("%d passed, %d failed\n", Passed, Failed + 1);
        return 1;
    }
    s.Memo = App.Control(Ids::Memo1);
    s.FileName = App.Control(Ids::edFileName);
    s.All = App.Control(Ids::cbAll);

    CheckStartUpState(s);
    CheckLayout(s);
    CheckTabOrder(s);
    if (layoutOnly)
        return ScreenshotAtSystemDpi();
    for (void (*check)(const TSession&) :
         {CheckHints, CheckInfo, CheckSave, CheckClear, CheckRewrite, CheckLoad, CheckBrowse, CheckHelp,
          CheckDropAndErrors, CheckNewOperations, CheckEscape, CheckLongRun})
        check(s);
    if (App.Running())
        ::TerminateProcess(App.Process.hProcess, 1);
    return ExitAndReport(&s.Exe);
}
