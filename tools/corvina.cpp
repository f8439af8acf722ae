// corvina: the package's components driven from a terminal.
#include <cstdio>
#include <exception>
#include <regex>
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

// CLI11's messages, said as the tool's own are; anything else passes as it is.
std::string Reworded(std::string message, const std::string& prefix) {
  const std::string help = " (" + prefix + " --help shows the options)";
  const struct {
    const char* From;
    std::string To;
  } rules[] = {
      {R"(^A subcommand is required$)", "a subcommand is missing; corvina --help lists them"},
      {R"(^(.*): At Most 1 required but received (\d+)$)", "$1 is given $2 times; give it once"},
      {R"(^(.*): Value (.*) not in range (.*) to (.*)$)", "$1: $2 is not a number from $3 to $4"},
      {R"(^(.*): (.*) not in \{(.*)\}$)", "$1: '$2' is not one of {$3}"},
      {R"(^(.*): 1 required (\w+) missing$)", "$1 needs a value"},
      {R"(^(.*) is required$)", "$1 is missing" + help},
      {R"(^The following arguments? (was|were) not expected: (.*)$)", "unexpected argument(s): $2" + help},
      {R"(^Could not convert: (.*) = (.*)$)", "$1: '$2' is not a number"},
      {R"(^(.*): Directory does not exist: (.*)$)", "$1: the folder '$2' does not exist"},
      {R"(^(.*): Directory is actually a file: (.*)$)", "$1: '$2' is a file, not a folder"},
  };
  for (const auto& rule : rules) {
    const std::regex pattern(rule.From);
    if (std::regex_match(message, pattern)) return std::regex_replace(message, pattern, rule.To);
  }
  return message;
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
  AddModelsCommand(app, commands);
  AddManualCommands(app, commands);
  for (CLI::App* c : app.get_subcommands([](const CLI::App* c) { return c->get_group() == "Subcommands"; }))
    c->group(kGroupStart);
  for (CLI::App* c : app.get_subcommands({})) {
    c->add_flag("-q,--quiet", Console().Quiet, "no progress and no report: only errors, warnings and the output asked for");
    c->add_flag("-v,--verbose", Console().Verbose, "details on stderr: the library's log lines, models, seeds, times");
  }
  AddExamples(app);

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
    std::fprintf(stderr, "%s: %s\n", Prefix(app).c_str(), Reworded(e.what(), Prefix(app)).c_str());
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
