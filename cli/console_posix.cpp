#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>

#include "console.h"

namespace {

// The first of the variables that is set and not empty, as the C library
// chooses a locale category.
const char* LocaleVariable(const char* Category)
{
    for (const char* name : {"LC_ALL", Category, "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return value;
    }
    return "";
}

}  // namespace

void PrepareConsole() {}

std::vector<std::string> CommandLineArguments(int argc, char** argv)
{
    return std::vector<std::string>(argv, argv + argc);
}

TLanguage UserLanguage()
{
    return LanguageFromLocale(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"));
}

bool TerminalReadsUtf8()
{
    std::string value = LocaleVariable("LC_CTYPE");
    for (char& c : value)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return value.find("utf-8") != std::string::npos || value.find("utf8") != std::string::npos;
}

std::string ProgramFolder(const std::string& Argv0)
{
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    std::string program = length > 0 ? std::string(path, static_cast<size_t>(length)) : Argv0;
    const size_t slash = program.find_last_of('/');
    return slash == std::string::npos ? std::string() : program.substr(0, slash + 1);
}

bool StdinIsTerminal() { return ::isatty(STDIN_FILENO) != 0; }
bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) != 0; }

int TerminalWidth()
{
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20)
        return size.ws_col;
    return 80;
}

std::string ConsoleFromTable(const std::string& Bytes) { return Bytes; }
std::string ConsoleToTable(const std::string& Text) { return Text; }
