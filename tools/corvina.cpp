// corvina: the package's components driven from a terminal.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/commands.h"
#include "tools/options.h"
#include "tools/platform.h"

namespace {

// The subcommand a failure belongs to, for its one line.
std::string Prefix(const CLI::App& app) {
  const auto chosen = app.get_subcommands();
  return chosen.empty() ? "corvina" : "corvina " + chosen.front()->get_name();
}

}  // namespace

int main(int argc, char** rawArgv) {
  using namespace Corvina::Tool;
  std::vector<std::string> arguments = Platform::Utf8Arguments(argc, rawArgv);
  std::vector<char*> argvUtf8;
  for (std::string& a : arguments) argvUtf8.push_back(a.data());
  argvUtf8.push_back(nullptr);
  char** argv = argvUtf8.data();
  CLI::App app{"the Corvina components driven from a terminal", "corvina"};
  app.require_subcommand(1);
  app.set_version_flag("--version", kVersion);
  app.footer(kExitCodes);

  TCommands commands;
  AddDemoCommand(app, commands);
  AddGenerationCommands(app, commands);
  AddVisionCommands(app, commands);
  AddFaceCommands(app, commands);
  AddWaveCommands(app, commands);
  AddManualCommands(app, commands);
  for (CLI::App* c : app.get_subcommands([](const CLI::App* c) { return c->get_group() == "Subcommands"; }))
    c->group(kGroupStart);

  // Without this, a misspelt subcommand reads as a missing one.
  if (argc > 1 && argv[1][0] != '-' &&
      app.get_subcommands([&](const CLI::App* c) { return c->check_name(argv[1]); }).empty()) {
    std::fprintf(stderr, "corvina: unknown subcommand '%s'; corvina --help lists them\n", argv[1]);
    return kExitUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);  // --help, --version
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "%s: %s\n", Prefix(app).c_str(), e.what());
    return kExitUsage;
  }
  for (const auto& command : commands) {
    if (!command.Command->parsed()) continue;
    try {
      return command.Run();
    } catch (const TUsageError& e) {
      std::fprintf(stderr, "corvina %s: %s\n", command.Command->get_name().c_str(), e.what());
      return kExitUsage;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "corvina %s: %s\n", command.Command->get_name().c_str(), e.what());
    } catch (...) {
      std::fprintf(stderr, "corvina %s: failed for an unknown reason\n", command.Command->get_name().c_str());
    }
    return kExitFailure;
  }
  return 0;
}
