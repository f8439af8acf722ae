// The corvina tool's generation subcommands, run as a user runs them, against
// the recording fake of the diffusion library: what they write, what they
// print, and one clear line with a non-zero exit for bad input.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/graphics.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using Corvina::Testing::TempDir;

const std::string kFakeDir = CORVINA_FAKE_DIR "fakes/sd";

struct TRun {
  int Exit = -1;
  std::string Out, Err;
};

// Runs the tool through the shell with stdout and stderr kept apart.
TRun RunTool(const std::string& args, const TempDir& dir, const std::string& env = "") {
  const std::string errFile = dir.Path("stderr.txt").string();
  const std::string cmd = "cd '" + dir.Root().string() + "' && " + env + " '" CORVINA_TOOL "' " + args + " 2>'" +
                          errFile + "'";
  TRun r;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return r;
  std::array<char, 4096> buf;
  while (std::size_t n = std::fread(buf.data(), 1, buf.size(), p)) r.Out.append(buf.data(), n);
  const int status = ::pclose(p);
  r.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.Err = Corvina::Testing::ReadFileBytes(errFile);
  return r;
}

std::pair<int, int> SizeOf(const fs::path& file) {
  Fmx::Graphics::TBitmap bmp;
  bmp.LoadFromFile(file.u16string());
  return {bmp.Width(), bmp.Height()};
}

class GenerationTool : public ::testing::Test {
 protected:
  void SetUp() override {
    Fmx::Graphics::TBitmap picture(70, 40);
    picture.Clear(0xFF336699u);
    picture.SaveToFile(dir.File("in.png"));
    picture.SaveToFile(dir.File("mask.png"));
    Corvina::Testing::WriteFileBytes(dir.Path("m.gguf"), "model");
  }
  TempDir dir;
  const std::string lib = "--sd-lib-dir '" + kFakeDir + "' --model m.gguf ";
};

TEST_F(GenerationTool, SubcommandsWriteTheirPictures) {
  struct Case {
    std::string args;
    std::vector<std::string> files;
    std::pair<int, int> size;
  };
  const Case cases[] = {
      {"generate 'a cat' -W 64 -H 48 -o out/cat.png", {"out/cat.png"}, {64, 48}},
      {"generate 'cats' -b 3 -W 32 -H 32 -o many.png", {"many-1.png", "many-2.png", "many-3.png"}, {32, 32}},
      {"img2img in.png 'a dog' -W 32 -H 40 --strength 0.5 -o dog.png", {"dog.png"}, {32, 40}},
      {"inpaint in.png mask.png 'a hat' -W 16 -H 16 -o hat.png", {"hat.png"}, {16, 16}},
      {"video in.png 'waves' --frames 3 -W 24 -H 24 -o v/f.png", {"v/f-001.png", "v/f-002.png", "v/f-003.png"}, {24, 24}},
      {"upscale in.png -o big.png", {"big.png"}, {140, 80}},  // the fake's model doubles
      {"canny in.png -o edges.png", {"edges.png"}, {70, 40}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const TRun r = RunTool(c.args + " " + lib, dir);
    EXPECT_EQ(r.Exit, 0) << r.Err;
    EXPECT_EQ(r.Err, "");
    for (const std::string& f : c.files) {
      ASSERT_TRUE(fs::exists(dir.Path(f))) << f;
      EXPECT_EQ(SizeOf(dir.Path(f)), c.size) << f;
      EXPECT_NE(r.Out.find("wrote " + f), std::string::npos) << r.Out;
    }
  }
}

TEST_F(GenerationTool, ProgressIsPlainLinesOffATerminalAndLogLinesNeedVerbose) {
  const std::string env = "CORVINA_FAKE_SD_CHATTY=1";
  const TRun quiet = RunTool("generate p -W 8 -H 8 " + lib, dir, env);
  EXPECT_EQ(quiet.Exit, 0);
  EXPECT_NE(quiet.Out.find("step 1/2 (0.25s)\nstep 2/2 (0.25s)\n"), std::string::npos) << quiet.Out;
  EXPECT_EQ(quiet.Err, "");
  const TRun verbose = RunTool("generate p -v -W 8 -H 8 " + lib, dir, env);
  EXPECT_EQ(verbose.Exit, 0);
  EXPECT_EQ(verbose.Err, "fake.cpp:7 - working\n");
}

TEST_F(GenerationTool, BadInputGivesOneClearLineAndAFailingExit) {
  struct Case {
    std::string args;
    std::string errStart;
  };
  const Case cases[] = {
      {"img2img missing.png 'x' " + lib, "corvina: input: File does not exist: missing.png\n"},
      {"generate x --sd-lib-dir '" + kFakeDir + "'", "corvina generate: --model is required with --sd-lib-dir"},
      {"generate x --model m --sd-lib-dir .", "corvina generate: Can not load ./libstable-diffusion.so "},
      {"generate x --sd-lib-dir '" + kFakeDir + "' --model absent.gguf", "corvina generate: Model File does not exist\n"},
      {"generate x -W 0 " + lib, "corvina: --width: Value 0 not in range 1 to 2147483647\n"},
      {"upscale in.png --scale 0 " + lib, "corvina: --scale: Value 0 not in range 1 to 2147483647\n"},
      {"canny mask.png -o /proc/forbidden/e.png " + lib, "corvina canny: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const TRun r = RunTool(c.args, dir);
    EXPECT_NE(r.Exit, 0);
    EXPECT_EQ(r.Err.substr(0, c.errStart.size()), c.errStart) << r.Err;
    EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1) << r.Err;
  }
}

}  // namespace
