// The help file as the memo box shows it.
#pragma once

#include <string>

// The help file, in the current folder (the command line also looks beside
// the program).
constexpr const char* HelpFileName = "Read_Me.txt";

// The help file's text reflowed for the memo box: line breaks normalised to
// CR LF, the text cut at a zero byte and its trailing blanks removed, single
// line breaks inside paragraphs joined with a space.
std::string ReflowHelpText(const std::string& FileBytes);
