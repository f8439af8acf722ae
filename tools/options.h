// What every subcommand of the corvina tool spells the same way: the options
// for the same things, the checks of input files, the help groups, picture
// files and the --json document.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "framework/graphics.h"

namespace Corvina::Tool {

// Help groups, in the order corvina --help shows them (a subcommand
// without a group of its own goes to the first).
inline constexpr char kGroupGeneration[] = "Generation (diffusion library)";
inline constexpr char kGroupVision[] = "Vision (vision library)";
inline constexpr char kGroupFace[] = "Faces and voice (vision library)";
inline constexpr char kGroupWave[] = "WAV files";
inline constexpr char kGroupStart[] = "Getting started";
inline constexpr char kGroupTool[] = "Shell and manual";

inline constexpr char kVersion[] = "corvina 1.0.0";

// Exit codes, told in corvina --help's footer and the manual page.
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr char kExitCodes[] =
    "Exit status:\n"
    "  0  the work is done\n"
    "  1  the work failed: an unreadable picture or WAV file, a library or model that cannot be loaded,\n"
    "     an output that cannot be written\n"
    "  2  the command line is wrong: an unknown option, a missing argument, a number out of range,\n"
    "     an input file that is missing or not a regular file\n"
    "Every failure is one line on stderr: corvina <subcommand>: <message>";

// A command line that parses but asks for what cannot be: a prompt out of
// the picture, a malformed number list. Exits like a parse error.
class TUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An input file: exists and is a regular file, so a FIFO or a device can
// never block or feed the tool endlessly.
extern const CLI::Validator kInputFile;

// A whole number within 64 bits; the parser alone would saturate.
extern const CLI::Validator kWholeNumber;

// -o,--output PATH. Without a fallback the option is required; the fallback
// is only shown, the subcommand applies it when the option stays empty.
CLI::Option* AddOutput(CLI::App& command, std::string& output, const std::string& what,
                       const char* fallback = nullptr);
CLI::Option* AddJson(CLI::App& command, bool& json);
CLI::Option* AddGpu(CLI::App& command, std::int32_t& gpu);
CLI::Option* AddThreads(CLI::App& command, std::int32_t& threads);
CLI::Option* AddVerbose(CLI::App& command, bool& verbose);
CLI::Option* AddDiffusionLibraryDir(CLI::App& command, std::string& dir);
CLI::Option* AddVisionLibraryDir(CLI::App& command, std::string& dir);
// --model FILE: the one model a subcommand is about; what names it.
CLI::Option* AddModel(CLI::App& command, std::string& model, const std::string& what);
// --model-dir DIR: where the vision subcommands find the model files they
// need under the reference backend's file names.
CLI::Option* AddModelDir(CLI::App& command, std::string& dir);
// The reference backends' models beside the tool (<prefix>/share/corvina/models,
// which the build tree has too), else `fallback` in the source tree.
std::filesystem::path ReferenceModelDir(const std::filesystem::path& fallback);

// Picture files, decoded by the framework (PNG, JPEG, BMP).
std::unique_ptr<Fmx::Graphics::TBitmap> LoadPicture(const std::string& path);
// Creates the missing folders of an output file's path.
void PrepareOutput(const std::filesystem::path& file);
void SavePicture(const Fmx::Graphics::TBitmap& picture, const std::string& path);

// {"file": path, "bytes": size on disk}: what every written file reports.
nlohmann::json WrittenFile(const std::filesystem::path& file);
// The one JSON document of a subcommand, on stdout; bytes of a file name that
// are not UTF-8 are replaced rather than failing after the work is done.
void PrintJson(const nlohmann::json& document);

}  // namespace Corvina::Tool
