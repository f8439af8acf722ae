// The corvina tool on names beyond ASCII: its arguments are UTF-8, and every
// path it checks, makes, reads or reports must reach the system whole (on
// Windows a plain std::string path goes through the ANSI code page).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "audio/wave_writer.h"
#include "framework/graphics.h"
#include "tests/support/test_support.h"
#include "tools/platform.h"

using namespace Corvina::Testing;
namespace Platform = Corvina::Tool::Platform;
namespace fs = std::filesystem;

namespace {

std::string Utf8Text(const fs::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}

}  // namespace

TEST(ToolOnUnicodePaths, ReadsChecksAndWritesFilesInFoldersOutsideTheAnsiCodePage) {
  TempDir temp;
  const fs::path folder = temp.Path("Modèles 模型");
  fs::create_directories(folder);
  const std::string in = Utf8Text(folder) + "/";
  Fmx::Graphics::TBitmap(64, 64).SaveToFile(FileName(folder / Utf8Path("photo é.png")));
  Audio::Wave::Reader::TWaveWriter(8000, 1, 32).WriteFloatData(std::vector<float>(100, 0.25f),
                                                               FileName(folder / Utf8Path("voix 声音.wav")));
  const std::string tool = Utf8Text(Platform::ProgramFile().parent_path() / CORVINA_TOOL_NAME);
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::vector<const char*> made;
  };
  const std::vector<Case> cases = {
      {"picture in, picture out in a new folder", {"canny", in + "photo é.png", "-o", in + "bords 边/é.png"},
       {"bords 边/é.png"}},
      {"WAV in, WAV out in a new folder", {"wav-convert", in + "voix 声音.wav", "-o", in + "sons 声/out.wav"},
       {"sons 声/out.wav"}},
      {"numbered pictures", {"generate", "cell", "-b", "2", "-W", "64", "-H", "64", "--steps", "1", "-o", in + "模.png"},
       {"模-1.png", "模-2.png"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {tool};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    EXPECT_NO_THROW(EXPECT_TRUE(Platform::RunQuietly(argv)) << c.what) << c.what;
    for (const char* name : c.made) EXPECT_TRUE(fs::is_regular_file(folder / Utf8Path(name))) << c.what << ": " << name;
  }
}
