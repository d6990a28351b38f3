// What the console front end needs of the platform: terminals, arguments,
// the user's language, and the code page table bytes are shown in.
#pragma once

#include <string>
#include <vector>

#include "texts.h"

// Sets the console up: UTF-8 output, and on Windows binary output with
// every line ending in one CR LF (text mode would turn the CR LF of a text
// into CR CR LF).
void PrepareConsole();
// The command line as UTF-8.
std::vector<std::string> CommandLineArguments(int argc, char** argv);
// The user's language: POSIX from the locale variables, Windows from the
// user's interface language.
TLanguage UserLanguage();
// Whether the terminal reads UTF-8, so table bytes are converted for it.
bool TerminalReadsUtf8();
// The folder of the running program, with a separator at its end; empty
// when it cannot be told.
std::string ProgramFolder(const std::string& Argv0);
bool StdinIsTerminal();
bool StderrIsTerminal();
// Terminal width in columns, or 80.
int TerminalWidth();
// Table bytes as console text and back when the table's code page is not
// known: the ANSI code page on Windows; as they are elsewhere.
std::string ConsoleFromTable(const std::string& Bytes);
std::string ConsoleToTable(const std::string& Text);
