#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <iostream>
#include <streambuf>
#include <string>

#include "console.h"
#include "crlf.h"
#include "winstr.h"

namespace {

// Output in binary mode, with the line ends TCrLfFilter gives it.
class TCrLfBuffer final : public std::streambuf {
public:
    explicit TCrLfBuffer(FILE* File) : File_(File) {}

protected:
    int_type overflow(int_type Ch) override
    {
        if (traits_type::eq_int_type(Ch, traits_type::eof()))
            return traits_type::not_eof(Ch);
        const char c = traits_type::to_char_type(Ch);
        return Put(&c, 1) == 1 ? Ch : traits_type::eof();
    }
    std::streamsize xsputn(const char* Data, std::streamsize Count) override { return Put(Data, Count); }
    int sync() override { return std::fflush(File_) == 0 ? 0 : -1; }

private:
    std::streamsize Put(const char* Data, std::streamsize Count)
    {
        Out_.clear();
        Filter_.Put(Data, static_cast<size_t>(Count), Out_);
        return std::fwrite(Out_.data(), 1, Out_.size(), File_) == Out_.size() ? Count : 0;
    }

    FILE* File_;
    TCrLfFilter Filter_;
    std::string Out_;
};

}  // namespace

void PrepareConsole()
{
    ::SetConsoleOutputCP(CP_UTF8);
    ::SetConsoleCP(CP_UTF8);
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // Never destroyed: the standard streams flush through them until the
    // very end of the process, after any static object is gone.
    std::cout.rdbuf(new TCrLfBuffer(stdout));
    std::cerr.rdbuf(new TCrLfBuffer(stderr));
}

std::vector<std::string> CommandLineArguments(int, char**)
{
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i)
        args.push_back(WideToUtf8(wide[i]));
    ::LocalFree(wide);
    return args;
}

TLanguage UserLanguage()
{
    return PRIMARYLANGID(::GetUserDefaultUILanguage()) == LANG_RUSSIAN ? TLanguage::Russian : TLanguage::English;
}

// The console is set to UTF-8 output, and so is what goes to a file.
bool TerminalReadsUtf8() { return true; }

std::string ProgramFolder(const std::string&)
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0)
            return std::string();
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::string() : WideToUtf8(path.substr(0, slash + 1));
}

bool StdinIsTerminal() { return _isatty(_fileno(stdin)) != 0; }
bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

int TerminalWidth()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
    return 80;
}

std::string ConsoleFromTable(const std::string& Bytes) { return WideToUtf8(AnsiToWide(Bytes)); }
std::string ConsoleToTable(const std::string& Text) { return WideToAnsi(Utf8ToWide(Text)); }
