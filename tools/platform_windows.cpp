#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <shellapi.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "framework/strings.h"
#include "tools/platform.h"

namespace Corvina::Tool::Platform {

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  // Everything the tool prints is UTF-8; a console shows it as such.
  ::SetConsoleOutputCP(CP_UTF8);
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr || count != argc) {
    if (wide) ::LocalFree(wide);
    return {argv, argv + argc};
  }
  std::vector<std::string> out;
  // wchar_t is UTF-16 here, as the framework's strings are.
  for (int i = 0; i < count; ++i) {
    const std::wstring_view arg(wide[i]);
    out.push_back(System::UTF8Encode(System::String(arg.begin(), arg.end())));
  }
  ::LocalFree(wide);
  return out;
}

bool IsTerminal(int stream) { return ::_isatty(stream) != 0; }

std::filesystem::path ProgramFile() {
  std::wstring file(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, file.data(), static_cast<DWORD>(file.size()));
    if (n == 0) return {};
    if (n < file.size()) {
      file.resize(n);
      return file;
    }
    file.resize(file.size() * 2);
  }
}

namespace {

// The C run-time joins the arguments into one command line with spaces and
// no quotes, so each is quoted here the way the child splits it again.
std::wstring Quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  for (auto it = arg.begin();; ++it) {
    std::size_t slashes = 0;
    for (; it != arg.end() && *it == L'\\'; ++it) ++slashes;
    // Backslashes count double only before a quote, the closing one included.
    if (it == arg.end()) {
      out.append(slashes * 2, L'\\');
      break;
    }
    out.append(*it == L'"' ? slashes * 2 + 1 : slashes, L'\\');
    out.push_back(*it);
  }
  out.push_back(L'"');
  return out;
}

}  // namespace

bool RunQuietly(const std::vector<std::string>& argv) {
  std::vector<std::wstring> wide;
  for (const std::string& a : argv) {
    const System::String text = System::UTF8ToString(a);
    wide.emplace_back(text.begin(), text.end());
  }
  const std::wstring program = wide.at(0);
  for (std::wstring& a : wide) a = Quoted(a);
  std::vector<const wchar_t*> args;
  for (const std::wstring& a : wide) args.push_back(a.c_str());
  args.push_back(nullptr);
  std::fflush(stdout);
  std::fflush(stderr);
  // The child inherits the standard handles: point them at NUL meanwhile.
  const int savedOut = ::_dup(1), savedErr = ::_dup(2);
  const int null = ::_wopen(L"NUL", _O_WRONLY);
  if (null >= 0) {
    ::_dup2(null, 1);
    ::_dup2(null, 2);
    ::_close(null);
  }
  const intptr_t status = ::_wspawnvp(_P_WAIT, program.c_str(), args.data());
  const int error = errno;
  ::_dup2(savedOut, 1);
  ::_dup2(savedErr, 2);
  ::_close(savedOut);
  ::_close(savedErr);
  if (status == -1 && error == ENOENT) return false;
  if (status == -1) throw std::runtime_error(argv[0] + ": " + std::strerror(error));
  if (status != 0) throw std::runtime_error(argv[0] + " failed");
  return true;
}

TStdoutToStderr::TStdoutToStderr() : FSaved((std::fflush(stdout), ::_dup(1))) {
  if (FSaved >= 0) ::_dup2(2, 1);
}

TStdoutToStderr::~TStdoutToStderr() {
  if (FSaved < 0) return;
  std::fflush(stdout);
  ::_dup2(FSaved, 1);
  ::_close(FSaved);
}

}  // namespace Corvina::Tool::Platform
