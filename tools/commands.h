// The corvina tool's subcommands. Each topic adds its own in a file of its
// own (tools/<topic>_command(s).cpp) through one Add...Commands function;
// main parses the command line and runs the one that was chosen.
#pragma once

#include <functional>
#include <vector>

#include <CLI/CLI.hpp>

namespace Corvina::Tool {

// A parsed subcommand and what runs it; Run returns the exit code and may
// throw: main prints "corvina <subcommand>: <message>" and exits with 1
// (2 for a TUsageError, as for a command line CLI11 refuses).
// Options that mean the same in several subcommands come from tools/options.h.
struct TCommand {
  CLI::App* Command;
  std::function<int()> Run;
};
using TCommands = std::vector<TCommand>;

void AddDemoCommand(CLI::App& app, TCommands& commands);
void AddGenerationCommands(CLI::App& app, TCommands& commands);
void AddVisionCommands(CLI::App& app, TCommands& commands);
void AddFaceCommands(CLI::App& app, TCommands& commands);
void AddWaveCommands(CLI::App& app, TCommands& commands);
void AddManualCommands(CLI::App& app, TCommands& commands);
void AddModelsCommand(CLI::App& app, TCommands& commands);
// An EXAMPLES section in the --help of the tool and of each subcommand
// (the manual page shows the same): after every subcommand is added.
void AddExamples(CLI::App& app);

}  // namespace Corvina::Tool
