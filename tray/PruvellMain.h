// The program frame: what runs before the main form exists, and the order
// of start-up and shut-down.
#pragma once

#include <QString>

namespace pruvell {

// The program's directory, with its trailing separator.
QString ProgramDirectory();

// Writes the two shipped language files into the data directory
// ("EN_1033.lng" and "VN_1066.lng"), replacing what is there.
bool ExtractLanguageFiles(const QString& dataDirectory);

// Copies "MgrConfig.ini" from the program directory into the data directory
// when the data directory has none yet; an existing copy is never replaced.
void SeedUserConfig(const QString& programDirectory, const QString& dataDirectory);

// Picks the language from the program directory's "English.ini", loads its
// file from the data directory and gives the CSP resource library name.
QString ChooseLanguage(const QString& programDirectory, const QString& dataDirectory);

// The main block.
int RunPruvell(int argc, char** argv);

} // namespace pruvell
