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

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// CLI11's messages, said as the tool's own are; anything else passes as it
// is. (By hand: std::regex trips GCC 12's uninitialised-use warning at -O1.)
std::string Reworded(const std::string& message, const std::string& prefix) {
  const std::string help = " (" + prefix + " --help shows the options)";
  // "<what>: <rest>", split at the first marker found.
  auto split = [&](const std::string& marker, std::string& before, std::string& after) {
    const auto at = message.find(marker);
    if (at == std::string::npos) return false;
    before = message.substr(0, at), after = message.substr(at + marker.size());
    return true;
  };
  std::string what, rest;
  if (message == "A subcommand is required") return "a subcommand is missing; corvina --help lists them";
  if (split(": At Most 1 required but received ", what, rest)) return what + " is given " + rest + " times; give it once";
  if (split(": Value ", what, rest)) {
    const auto range = rest.find(" not in range "), to = rest.rfind(" to ");
    if (range != std::string::npos && to != std::string::npos && to > range)
      return what + ": " + rest.substr(0, range) + " is not a number from " +
             rest.substr(range + 14, to - range - 14) + " to " + rest.substr(to + 4);
  }
  if (split(": Directory does not exist: ", what, rest)) return what + ": the folder '" + rest + "' does not exist";
  if (split(": Directory is actually a file: ", what, rest)) return what + ": '" + rest + "' is a file, not a folder";
  if (split(": ", what, rest) && EndsWith(rest, "}")) {
    if (const auto set = rest.find(" not in {"); set != std::string::npos)
      return what + ": '" + rest.substr(0, set) + "' is not one of " + rest.substr(set + 8);
  }
  if (split(": 1 required ", what, rest) && EndsWith(rest, " missing")) return what + " needs a value";
  if (split("Could not convert: ", what, rest) && what.empty()) {
    if (const auto eq = rest.find(" = "); eq != std::string::npos)
      return rest.substr(0, eq) + ": '" + rest.substr(eq + 3) + "' is not a number";
  }
  for (const char* marker : {"The following argument was not expected: ", "The following arguments were not expected: "})
    if (split(marker, what, rest) && what.empty()) return "unexpected argument(s): " + rest + help;
  if (EndsWith(message, " is required")) return message.substr(0, message.size() - 12) + " is missing" + help;
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
