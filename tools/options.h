// What every subcommand of the corvina tool spells the same way: the options
// for the same things, the checks of input files, the help groups, picture
// files and the --json document.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "framework/exceptions.h"
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
    "     an input file that is missing or not a regular file, an output path that is a folder or\n"
    "     names an unknown format; all checked before any work\n"
    "Every failure is one line on stderr: corvina <subcommand>: <message>";

// A command line that parses but asks for what cannot be: a prompt out of
// the picture, a malformed number list. Exits like a parse error.
class TUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What every subcommand shares for the process's one run: -q keeps stdout
// and stderr to errors, warnings and the requested output; -v adds detail.
struct TConsole {
  bool Quiet = false;
  bool Verbose = false;
};
TConsole& Console();
// MinGW checks printf formats against the Windows C library unless told that
// its own C99 printf is in use, as it is here.
#if defined(__MINGW32__)
#define CORVINA_TOOL_PRINTF gnu_printf
#else
#define CORVINA_TOOL_PRINTF printf
#endif
// What was done, on stdout (the subcommand's own report); nothing with -q.
void Info(const char* format, ...) __attribute__((format(CORVINA_TOOL_PRINTF, 1, 2)));
// A detail for -v, on stderr.
void Detail(const char* format, ...) __attribute__((format(CORVINA_TOOL_PRINTF, 1, 2)));
// Something the user should know although the work succeeded, on stderr.
void Warning(const char* format, ...) __attribute__((format(CORVINA_TOOL_PRINTF, 1, 2)));

// Progress of one phase on stderr, never on stdout: a bar on a terminal,
// off it a line at every tenth of the way, nothing with -q.
class TProgress {
 public:
  explicit TProgress(std::string label);
  ~TProgress();
  TProgress(const TProgress&) = delete;
  TProgress& operator=(const TProgress&) = delete;

  void Show(std::int64_t done, std::int64_t total, const std::string& extra = "");
  // A new phase: the bar so far keeps its line.
  void Relabel(std::string label);
  // Ends the bar's line, so that other text starts on a line of its own.
  void Break();

 private:
  std::string FLabel;
  bool FTerminal;
  bool FOpen = false;
  std::int64_t FLastTenth = -1;
};

// An input file: exists and is a regular file, so a FIFO or a device can
// never block or feed the tool endlessly.
extern const CLI::Validator kInputFile;

// A whole number within 64 bits; the parser alone would saturate.
extern const CLI::Validator kWholeNumber;

// What an output path must be, checked while the command line is read, so a
// wrong one is refused (exit 2) before any work.
enum class TOutputKind { Picture, Wave, Folder, Text };
CLI::Validator OutputCheck(TOutputKind kind);
// Picture formats the framework writes, as the help names them.
inline constexpr char kPictureFormats[] = ".png, .jpg, .jpeg or .bmp";

// -o,--output PATH. Without a fallback the option is required; the fallback
// is only shown, the subcommand applies it when the option stays empty.
CLI::Option* AddOutput(CLI::App& command, std::string& output, const std::string& what, TOutputKind kind,
                       const char* fallback = nullptr);
CLI::Option* AddJson(CLI::App& command, bool& json);
CLI::Option* AddGpu(CLI::App& command, std::int32_t& gpu);
CLI::Option* AddThreads(CLI::App& command, std::int32_t& threads);
CLI::Option* AddDiffusionLibraryDir(CLI::App& command, std::string& dir);
CLI::Option* AddVisionLibraryDir(CLI::App& command, std::string& dir);
// --model FILE: the one model a subcommand is about; what names it. A bare
// file name that is not in the working folder is looked up among the sample
// models (corvina models lists them).
CLI::Option* AddModel(CLI::App& command, std::string& model, const std::string& what);
// --model-dir DIR: where the vision subcommands find the model files they
// need under the reference backend's file names.
CLI::Option* AddModelDir(CLI::App& command, std::string& dir);
// Before the first vision component: the library in dir (--vision-lib-dir),
// or the reference backend's when dir is empty.
void UseVisionLibrary(const std::string& dir);
// name in the --model-dir folder, which must hold it: the component's own
// message would not name the file.
std::filesystem::path ModelInDir(const std::string& dir, const char* name);

// Activates a component, timed for -v; a failure adds the models it was
// given, as "(models)".
template <typename C>
void Activate(C& component, const std::string& models) {
  const auto start = std::chrono::steady_clock::now();
  try {
    component.SetActive(true);
  } catch (const System::Sysutils::Exception& e) {
    throw std::runtime_error(std::string(e.what()) + " (" + models + ")");
  }
  Detail("models loaded in %.2f s", std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

// The reference backends' models beside the tool (<prefix>/share/corvina/models,
// which the build tree has too), else `fallback` in the source tree.
std::filesystem::path ReferenceModelDir(const std::filesystem::path& fallback);
// The folder of the sample models of both backends.
std::filesystem::path SampleModelDir();

// base.png for one file; base-1.png ... base-N.png for several, the number
// zero-padded to the width of N (01 ... 12): every multi-output subcommand
// and the demo name their files so.
std::filesystem::path NumberedPath(const std::filesystem::path& base, std::size_t index, std::size_t count);
inline constexpr char kNumberingHelp[] =
    "several get -1, -2, ... before the extension, zero-padded to the count's width (-01 ... -12)";

// Picture files, decoded by the framework (PNG, JPEG, BMP).
std::unique_ptr<Fmx::Graphics::TBitmap> LoadPicture(const std::string& path);
// Creates the missing folders of an output file's path (UTF-8, as every
// path the tool holds as text); a failure says which.
void PrepareOutput(const std::string& file);
void SavePicture(const Fmx::Graphics::TBitmap& picture, const std::string& path);

// {"file": path, "bytes": size on disk}: what every written file reports.
nlohmann::json WrittenFile(const std::string& file);
// The one JSON document of a subcommand, on stdout; bytes of a file name that
// are not UTF-8 are replaced rather than failing after the work is done.
void PrintJson(const nlohmann::json& document);

}  // namespace Corvina::Tool
