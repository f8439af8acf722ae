// corvina: the package's components driven from a terminal.
#include <cstdio>
#include <exception>
#include <string>

#include <CLI/CLI.hpp>

#include "tools/commands.h"

int main(int argc, char** argv) {
  using namespace Corvina::Tool;
  CLI::App app{"corvina: the Corvina components driven from a terminal"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "corvina 1.0.0");
  // Bad input is one line, like every other failure of the tool.
  app.failure_message([](const CLI::App*, const CLI::Error& e) { return "corvina: " + std::string(e.what()) + "\n"; });

  TCommands commands;
  AddDemoCommand(app, commands);
  AddGenerationCommands(app, commands);

  CLI11_PARSE(app, argc, argv);
  for (const auto& command : commands) {
    if (!command.Command->parsed()) continue;
    try {
      return command.Run();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "corvina %s: %s\n", command.Command->get_name().c_str(), e.what());
      return 1;
    }
  }
  return 0;
}
