// What the console front end needs of the platform: terminals, arguments,
// and the code page table bytes are shown in.
#pragma once

#include <string>
#include <vector>

// Sets the console up for UTF-8 output where that needs doing.
void PrepareConsole();
// The command line as UTF-8.
std::vector<std::string> CommandLineArguments(int argc, char** argv);
bool StdinIsTerminal();
bool StderrIsTerminal();
// Terminal width in columns, or 80.
int TerminalWidth();
// Table bytes as console text and back: the ANSI code page on Windows; as
// they are elsewhere, where the table's bytes are what a user types and sees.
std::string ConsoleFromTable(const std::string& Bytes);
std::string ConsoleToTable(const std::string& Text);
// The help text, already turned into console text by the port, as a
// terminal shows it. The help file is written in the Windows code page for
// Russian; a UTF-8 terminal gets it converted.
std::string ConsoleHelpText(const std::string& Text);
