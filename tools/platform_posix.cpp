#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "tools/platform.h"

namespace Corvina::Tool::Platform {

std::vector<std::string> Utf8Arguments(int argc, char** argv) { return {argv, argv + argc}; }

bool IsTerminal(int stream) { return ::isatty(stream) == 1; }

std::filesystem::path ProgramFile() {
  std::error_code ignored;
  return std::filesystem::read_symlink("/proc/self/exe", ignored);
}

bool RunQuietly(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned == ENOENT) return false;
  if (spawned != 0) throw std::runtime_error(argv[0] + ": " + std::strerror(spawned));
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) throw std::runtime_error(argv[0] + ": " + std::strerror(errno));
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(argv[0] + " failed");
  return true;
}

TStdoutToStderr::TStdoutToStderr() : FSaved((std::fflush(stdout), ::dup(STDOUT_FILENO))) {
  if (FSaved >= 0) ::dup2(STDERR_FILENO, STDOUT_FILENO);
}

TStdoutToStderr::~TStdoutToStderr() {
  if (FSaved < 0) return;
  std::fflush(stdout);
  ::dup2(FSaved, STDOUT_FILENO);
  ::close(FSaved);
}

}  // namespace Corvina::Tool::Platform
