// The standard streams and argument words of a console program.
#pragma once

#include <string>
#include <vector>

namespace kdht::platform {

// Writes UTF-8 text to standard output / standard error: as characters to a console, as the
// UTF-8 bytes themselves to a pipe or file. Nothing is written when the stream is closed.
void WriteStdout(const std::string& utf8);
void WriteStderr(const std::string& utf8);

// The program's arguments split into words by the system's rules (quotes group blanks),
// without the program name.
std::vector<std::string> CommandLineWords();

}  // namespace kdht::platform
