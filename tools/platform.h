// What the tool asks of the system, the same on Linux and Windows.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace Corvina::Tool::Platform {

// The command line as UTF-8 (on Windows taken from the wide command line, so
// names outside the ANSI code page survive), with the console set to show
// UTF-8 output. Called first thing in main.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// Whether standard output (1) or error (2) is a terminal or console.
bool IsTerminal(int stream);

// The running program's own file, empty when the system cannot tell.
std::filesystem::path ProgramFile();

// Runs a program found on the search path with its output thrown away;
// false when there is no such program. Raises when it fails.
bool RunQuietly(const std::vector<std::string>& argv);

// Standard output sent to standard error while it lives.
class TStdoutToStderr {
 public:
  TStdoutToStderr();
  ~TStdoutToStderr();
  TStdoutToStderr(const TStdoutToStderr&) = delete;
  TStdoutToStderr& operator=(const TStdoutToStderr&) = delete;

 private:
  int FSaved;
};

}  // namespace Corvina::Tool::Platform
