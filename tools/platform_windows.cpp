#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <shellapi.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "tools/platform.h"

namespace Corvina::Tool::Platform {

namespace {

std::string Utf8(const wchar_t* text) {
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return {};
  std::string out(static_cast<std::size_t>(bytes - 1), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), bytes, nullptr, nullptr);
  return out;
}

std::wstring Wide(const std::string& text) {
  const int units = ::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  if (units <= 1) return {};
  std::wstring out(static_cast<std::size_t>(units - 1), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), units);
  return out;
}

}  // namespace

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
  for (int i = 0; i < count; ++i) out.push_back(Utf8(wide[i]));
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

bool RunQuietly(const std::vector<std::string>& argv) {
  std::vector<std::wstring> wide;
  for (const std::string& a : argv) wide.push_back(Wide(a));
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
  const intptr_t status = ::_wspawnvp(_P_WAIT, args[0], args.data());
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
