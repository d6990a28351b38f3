// Every text of the command line, in English and Russian side by side, and
// the English for the Russian texts the handlers and the table layer produce.
// One language per run: the user's, when it is Russian; English otherwise.
// The run passes it to every text it says; nothing keeps it globally.
// The window keeps its Russian texts; only the console port translates.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "repairtexts.h"

// The POSIX rule: the first of LC_ALL, LC_MESSAGES and LANG that is set and
// not empty decides; Russian when it starts with "ru". Null for an unset one.
TLanguage LanguageFromLocale(const char* LcAll, const char* LcMessages, const char* Lang);

// A text of the handlers or the table layer (Russian, as the window shows
// it), or an error the command line's own steps raise (Russian too), in
// Language:
// unchanged in Russian; in English translated as a whole, or by its fixed
// part with the names and numbers in it kept. A text the catalog does not
// know stays as it is.
std::string Translate(const std::string& Russian, TLanguage Language);

// The whole usage, and the usage of one command (empty for an unknown one).
std::string UsageText(TLanguage Language);
std::string CommandUsageText(const std::string& Command, TLanguage Language);

// The texts of the command line.
namespace Texts {
extern const TText TryHelp;
extern const TText NoCommand;
extern const TText UnknownCommand;
extern const TText UnknownOption;
extern const TText OptionNeedsValue;
extern const TText WrongFileCount;
extern const TText OptionNotTaken;
extern const TText BadCodePage;
extern const TText BadEncoding;
extern const TText NoCodePageMark;
extern const TText NotInCodePage;
extern const TText NotUtf8;
extern const TText NoMemoField;
extern const TText Confirm;
extern const TText NoTerminal;
extern const TText RecordsPerSecond;

}  // namespace Texts

// An answer to the confirmation that says yes, in either language.
bool IsYes(const std::string& Answer);
