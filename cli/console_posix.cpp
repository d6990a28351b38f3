#include <sys/ioctl.h>
#include <unistd.h>

#include "cli/console.h"

void PrepareConsole() {}

std::vector<std::string> CommandLineArguments(int argc, char** argv)
{
    return std::vector<std::string>(argv, argv + argc);
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
