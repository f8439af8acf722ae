// What the tool asks of the system, the same on Linux and Windows.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace Corvina::Tool::Platform {

// The command line as UTF-8 (on Windows taken from the wide command line, so
// names outside the ANSI code page survive), with the console set to show
// UTF-8 output. Called first thing in main.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// A path from the tool's UTF-8 text and back. A plain std::string names a
// path in the ANSI code page on Windows, which mangles or refuses names
// outside it, so the tool never converts between the two directly.
inline std::filesystem::path Utf8Path(std::string_view text) {
  return std::u8string_view(reinterpret_cast<const char8_t*>(text.data()), text.size());
}
inline std::string Utf8Text(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}
inline std::string Utf8GenericText(const std::filesystem::path& path) {
  const std::u8string text = path.generic_u8string();
  return {text.begin(), text.end()};
}

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
