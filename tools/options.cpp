#include "tools/options.h"

#include <sys/stat.h>

#include <charconv>
#include <cstdio>
#include <limits>

#include "framework/strings.h"
#include "tools/platform.h"

namespace Corvina::Tool {

namespace fs = std::filesystem;

const CLI::Validator kInputFile(
    [](std::string& path) -> std::string {
      struct stat st {};
      if (::stat(path.c_str(), &st) != 0) return "File does not exist: " + path;
      if (S_ISDIR(st.st_mode)) return "File is actually a directory: " + path;
      if (!S_ISREG(st.st_mode)) return "File is not a regular file (a FIFO, socket or device): " + path;
      return {};
    },
    "FILE");

CLI::Option* AddOutput(CLI::App& command, std::string& output, const std::string& what, const char* fallback) {
  CLI::Option* option = command.add_option("-o,--output", output, what)->type_name("PATH");
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
      if (error == std::errc::result_out_of_range) return "Value " + text + " is out of the 64-bit range";
      if (error != std::errc() || end != text.data() + text.size()) return "Value " + text + " is not a whole number";
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
      ->check(CLI::Range(0, 1024));
}

CLI::Option* AddVerbose(CLI::App& command, bool& verbose) {
  return command.add_flag("-v,--verbose", verbose, "show the library's log lines on stderr");
}

CLI::Option* AddDiffusionLibraryDir(CLI::App& command, std::string& dir) {
  return command
      .add_option("--sd-lib-dir", dir,
                  "folder of the diffusion library libstable-diffusion.so (default: the reference backend)")
      ->check(CLI::ExistingDirectory);
}

CLI::Option* AddVisionLibraryDir(CLI::App& command, std::string& dir) {
  return command
      .add_option("--vision-lib-dir", dir, "folder of the vision library libsam2.so (default: the reference backend)")
      ->check(CLI::ExistingDirectory);
}

CLI::Option* AddModel(CLI::App& command, std::string& model, const std::string& what) {
  return command.add_option("--model", model, what + " model file (default: the reference backend's)")
      ->check(kInputFile);
}

CLI::Option* AddModelDir(CLI::App& command, std::string& dir) {
  return command
      .add_option("--model-dir", dir, "folder of the model files, under the reference backend's names (default: its own)")
      ->check(CLI::ExistingDirectory);
}

std::filesystem::path ReferenceModelDir(const std::filesystem::path& fallback) {
  std::error_code ignored;
  const auto beside = Platform::ProgramFile().parent_path().parent_path() /
                      "share/corvina/models";
  return std::filesystem::is_directory(beside, ignored) ? beside : fallback;
}

std::unique_ptr<Fmx::Graphics::TBitmap> LoadPicture(const std::string& path) {
  auto picture = std::make_unique<Fmx::Graphics::TBitmap>();
  picture->LoadFromFile(System::UTF8ToString(path));
  return picture;
}

void PrepareOutput(const fs::path& file) {
  if (file.has_parent_path()) fs::create_directories(file.parent_path());
}

void SavePicture(const Fmx::Graphics::TBitmap& picture, const std::string& path) {
  PrepareOutput(path);
  picture.SaveToFile(System::UTF8ToString(path));
}

nlohmann::json WrittenFile(const fs::path& file) {
  std::error_code error;
  const std::uintmax_t bytes = fs::file_size(file, error);
  return {{"file", file.string()}, {"bytes", error ? 0 : bytes}};
}

void PrintJson(const nlohmann::json& document) {
  const std::string text = document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  std::printf("%s\n", text.c_str());
}

}  // namespace Corvina::Tool
