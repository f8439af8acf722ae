#include "tools/options.h"

#include <algorithm>
#include <cstdarg>
#include <charconv>
#include <cstdio>
#include <limits>

#include "framework/strings.h"
#include "generation/stable_diffusion.h"
#include "tools/platform.h"
#include "vision/anything_fmx.h"

namespace Corvina::Tool {

namespace fs = std::filesystem;

namespace {

void Print(FILE* to, const char* prefix, const char* format, va_list args) {
  std::fputs(prefix, to);
  std::vfprintf(to, format, args);
  std::fputc('\n', to);
}

// The nearest part of a path that exists, when it is not a folder: nothing
// can be made below it.
std::string FileInTheWay(const fs::path& path) {
  std::error_code ignored;
  for (fs::path p = path.parent_path(); !p.empty(); p = p.parent_path()) {
    if (fs::exists(p, ignored)) return fs::is_directory(p, ignored) ? "" : Platform::Utf8Text(p);
    if (p == p.parent_path()) break;
  }
  return "";
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return text;
}

std::string CheckOutputPath(const std::string& path, TOutputKind kind) {
  if (path.empty()) return "the path is empty";
  if (path == "-") return "'-' (stdout) cannot take the output; name a file";
  std::error_code ignored;
  const fs::path p = Platform::Utf8Path(path);
  if (const std::string file = FileInTheWay(p); !file.empty())
    return "'" + path + "' cannot be made: '" + file + "' is a file, not a folder";
  const bool folder = fs::is_directory(p, ignored) || path.back() == '/';
  if (kind == TOutputKind::Folder) {
    if (fs::exists(p, ignored) && !fs::is_directory(p, ignored)) return "'" + path + "' is a file, not a folder";
    return {};
  }
  if (folder) return "'" + path + "' is a folder; name a file in it";
  const std::string ext = Lower(Platform::Utf8Text(p.extension()));
  if (kind == TOutputKind::Picture && ext != ".png" && ext != ".jpg" && ext != ".jpeg" && ext != ".bmp")
    return "'" + path + "' " + (ext.empty() ? "has no picture extension" : "has the unknown picture format '" + ext + "'") +
           "; use " + kPictureFormats;
  if (kind == TOutputKind::Wave && ext != ".wav")
    return "'" + path + "' is not a .wav file name; the tool writes WAV files only";
  return {};
}

}  // namespace

TConsole& Console() {
  static TConsole console;
  return console;
}

void Info(const char* format, ...) {
  if (Console().Quiet) return;
  va_list args;
  va_start(args, format);
  Print(stdout, "", format, args);
  va_end(args);
}

void Detail(const char* format, ...) {
  if (!Console().Verbose) return;
  va_list args;
  va_start(args, format);
  Print(stderr, "", format, args);
  va_end(args);
}

void Warning(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Print(stderr, "warning: ", format, args);
  va_end(args);
}

TProgress::TProgress(std::string label) : FLabel(std::move(label)), FTerminal(Platform::IsTerminal(2)) {}

TProgress::~TProgress() { Break(); }

void TProgress::Relabel(std::string label) {
  Break();
  FLabel = std::move(label);
  FLastTenth = -1;
}

void TProgress::Break() {
  if (!FOpen) return;
  std::fputc('\n', stderr);
  FOpen = false;
}

void TProgress::Show(std::int64_t done, std::int64_t total, const std::string& extra) {
  if (Console().Quiet || total <= 0) return;
  done = std::clamp<std::int64_t>(done, 0, total);
  const std::string tail = extra.empty() ? "" : " " + extra;
  if (!FTerminal) {
    const std::int64_t tenth = done * 10 / total;
    if (tenth == FLastTenth && done != total) return;
    FLastTenth = tenth;
    std::fprintf(stderr, "%s %lld/%lld%s\n", FLabel.c_str(), static_cast<long long>(done),
                 static_cast<long long>(total), tail.c_str());
    return;
  }
  constexpr std::int64_t kWidth = 30;
  const std::int64_t filled = done * kWidth / total;
  std::fprintf(stderr, "\r%s [%s%s] %lld/%lld%s\033[K", FLabel.c_str(), std::string(std::size_t(filled), '#').c_str(),
               std::string(std::size_t(kWidth - filled), ' ').c_str(), static_cast<long long>(done),
               static_cast<long long>(total), tail.c_str());
  std::fflush(stderr);
  FOpen = true;
}

const CLI::Validator kInputFile(
    [](std::string& path) -> std::string {
      std::error_code ignored;
      const fs::file_status st = fs::status(Platform::Utf8Path(path), ignored);
      if (!fs::exists(st)) return "'" + path + "' does not exist";
      if (fs::is_directory(st)) return "'" + path + "' is a folder, not a file";
      if (!fs::is_regular_file(st)) return "'" + path + "' is not a regular file (a FIFO, socket or device)";
      return {};
    },
    "FILE");

// CLI11's own folder check, with its texts, but on the UTF-8 name.
const CLI::Validator kInputFolder(
    [](std::string& path) -> std::string {
      std::error_code ignored;
      const fs::file_status st = fs::status(Platform::Utf8Path(path), ignored);
      if (!fs::exists(st)) return "Directory does not exist: " + path;
      if (!fs::is_directory(st)) return "Directory is actually a file: " + path;
      return {};
    },
    "DIR");

CLI::Validator OutputCheck(TOutputKind kind) {
  return CLI::Validator([kind](std::string& path) { return CheckOutputPath(path, kind); },
                        kind == TOutputKind::Folder ? "DIR" : "FILE");
}

CLI::Option* AddOutput(CLI::App& command, std::string& output, const std::string& what, TOutputKind kind,
                       const char* fallback) {
  CLI::Option* option = command.add_option("-o,--output", output, what)->check(OutputCheck(kind))->type_name(
      kind == TOutputKind::Folder ? "DIR" : "PATH");
  // Only shown: subcommands may share one variable, which a default_val
  // would fill with the last subcommand's fallback.
  if (fallback) {
    if (*fallback) option->default_str(fallback);
  } else {
    option->required();
  }
  return option;
}

const CLI::Validator kWholeNumber(
    [](std::string& text) -> std::string {
      std::int64_t value = 0;
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
      if (error == std::errc::result_out_of_range) return text + " is outside the 64-bit range";
      if (error != std::errc() || end != text.data() + text.size()) return "'" + text + "' is not a whole number";
      return {};
    },
    "INT");

CLI::Option* AddJson(CLI::App& command, bool& json) {
  return command.add_flag("--json", json, "print the result as one JSON document on stdout");
}

CLI::Option* AddGpu(CLI::App& command, std::int32_t& gpu) {
  return command.add_option("--gpu", gpu, "GPU device number handed to the library, -1 for the processor")
      ->capture_default_str()
      ->check(CLI::Range(-1, 1023));
}

CLI::Option* AddThreads(CLI::App& command, std::int32_t& threads) {
  return command.add_option("-t,--threads", threads, "threads the library may use, 0 for its count of physical cores")
      ->capture_default_str()
      ->check(CLI::Range(0, Sd::Fmx::TFMXStableDiffusion::kMaxThreads));
}

namespace {
#if defined(_WIN32)
constexpr const char* kDiffusionLibrary = "stable-diffusion.dll";
constexpr const char* kVisionLibrary = "sam2.dll";
// The reference vision backend is built for Linux only.
constexpr const char* kDefaultVisionLibrary = "sam2.dll where Windows finds it";
#else
constexpr const char* kDiffusionLibrary = "libstable-diffusion.so";
constexpr const char* kVisionLibrary = "libsam2.so";
constexpr const char* kDefaultVisionLibrary = "the reference backend beside libCorvina.so";
#endif
}  // namespace

CLI::Option* AddDiffusionLibraryDir(CLI::App& command, std::string& dir) {
  return command
      .add_option("--sd-lib-dir", dir,
                  std::string("folder of the diffusion library ") + kDiffusionLibrary + " (default: the reference backend)")
      ->check(kInputFolder);
}

CLI::Option* AddVisionLibraryDir(CLI::App& command, std::string& dir) {
  return command
      .add_option("--vision-lib-dir", dir,
                  std::string("folder of the vision library ") + kVisionLibrary + " (default: " + kDefaultVisionLibrary + ")")
      ->check(kInputFolder);
}

CLI::Option* AddModel(CLI::App& command, std::string& model, const std::string& what) {
  const CLI::Validator sampleName(
      [](std::string& name) -> std::string {
        std::error_code ignored;
        if (name.find('/') != std::string::npos || fs::exists(Platform::Utf8Path(name), ignored)) return {};
        const fs::path sample = SampleModelDir() / Platform::Utf8Path(name);
        if (!fs::exists(sample, ignored))
          return "'" + name + "' does not exist, here or among the sample models in " +
                 Platform::Utf8Text(SampleModelDir()) + " (corvina models lists them)";
        name = Platform::Utf8Text(sample);
        return {};
      },
      "");
  return command
      .add_option("--model", model,
                  what + " model file, or a sample model's name such as corvina-sd-cells.cvm (default: the reference "
                         "backend's)")
      ->transform(sampleName)
      ->check(kInputFile);
}

CLI::Option* AddModelDir(CLI::App& command, std::string& dir) {
  return command
      .add_option("--model-dir", dir, "folder of the model files, under the reference backend's names (default: its own)")
      ->check(kInputFolder);
}

void UseVisionLibrary(const std::string& dir) {
  Detail("vision library: %s", (dir.empty() ? std::string(kDefaultVisionLibrary) : dir + "/" + kVisionLibrary).c_str());
  if (!dir.empty()) Anything::Fmx::ANY_DLL_PATH = Platform::Utf8Path(dir).u16string() + u"/";
}

fs::path ModelInDir(const std::string& dir, const char* name) {
  const fs::path file = Platform::Utf8Path(dir) / name;
  std::error_code ignored;
  if (!fs::is_regular_file(file, ignored))
    throw TUsageError("--model-dir: the model file '" + Platform::Utf8Text(file) + "' does not exist");
  Detail("model: %s", Platform::Utf8Text(file).c_str());
  return file;
}

std::filesystem::path ReferenceModelDir(const std::filesystem::path& fallback) {
  std::error_code ignored;
  const auto beside = Platform::ProgramFile().parent_path().parent_path() /
                      "share/corvina/models";
  return std::filesystem::is_directory(beside, ignored) ? beside : fallback;
}

fs::path SampleModelDir() {
  return ReferenceModelDir(CORVINA_REFERENCE_SD_MODELS);
}

fs::path NumberedPath(const fs::path& base, std::size_t index, std::size_t count) {
  if (count <= 1) return base;
  const int digits = int(std::to_string(count).size());
  char number[32];
  std::snprintf(number, sizeof number, "-%0*zu", digits, index + 1);
  fs::path p = base;
  p.replace_filename(Platform::Utf8Path(Platform::Utf8Text(base.stem()) + number + Platform::Utf8Text(base.extension())));
  return p;
}

std::unique_ptr<Fmx::Graphics::TBitmap> LoadPicture(const std::string& path) {
  auto picture = std::make_unique<Fmx::Graphics::TBitmap>();
  picture->LoadFromFile(System::UTF8ToString(path));
  return picture;
}

void PrepareOutput(const std::string& name) {
  const fs::path file = Platform::Utf8Path(name);
  if (!file.has_parent_path()) return;
  std::error_code error;
  fs::create_directories(file.parent_path(), error);
  if (error)
    throw std::runtime_error("cannot make the folder '" + Platform::Utf8Text(file.parent_path()) + "': " + error.message());
}

void SavePicture(const Fmx::Graphics::TBitmap& picture, const std::string& path) {
  PrepareOutput(path);
  picture.SaveToFile(System::UTF8ToString(path));
}

nlohmann::json WrittenFile(const std::string& file) {
  std::error_code error;
  const std::uintmax_t bytes = fs::file_size(Platform::Utf8Path(file), error);
  return {{"file", file}, {"bytes", error ? 0 : bytes}};
}

void PrintJson(const nlohmann::json& document) {
  const std::string text = document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  std::printf("%s\n", text.c_str());
}

}  // namespace Corvina::Tool
