// The corvina tool run as a user runs it: every subcommand on the reference
// backends (and the generation ones on the recording fake), what they write
// and print, one clear line and a documented exit code for bad input, the
// completion script and the manual page written from the command tree.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "audio/wave_file_reader.h"
#include "audio/wave_writer.h"
#include "framework/graphics.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using Corvina::Testing::TempDir;
using nlohmann::json;

const std::string kFakeDir = CORVINA_FAKE_DIR "fakes/sd";
const std::string kAstronaut = CORVINA_SAMPLE_PHOTOS "astronaut.png";

// Every subcommand, grouped as --help groups them.
const std::vector<std::string> kGeneration = {"generate", "img2img", "inpaint", "video", "upscale", "canny"};
const std::vector<std::string> kVision = {"segment", "track", "remove", "replace-bg"};
const std::vector<std::string> kFace = {"faces", "enhance", "swap", "animate", "separate"};
const std::vector<std::string> kWave = {"wav-info", "wav-convert"};
const std::vector<std::string> kOthers = {"demo", "models", "completion", "man"};

std::vector<std::string> AllSubcommands() {
  std::vector<std::string> all;
  for (const auto* group : {&kGeneration, &kVision, &kFace, &kWave, &kOthers})
    all.insert(all.end(), group->begin(), group->end());
  return all;
}

struct TRun {
  int Exit = -1;
  std::string Out, Err;
};

// A started tool whose stdout is read by Finish; stderr goes to a file.
class TProcess {
 public:
  TProcess(const std::string& args, const fs::path& dir, const std::string& env, int index)
      : FErrFile(dir / ("stderr-" + std::to_string(index) + ".txt")) {
    const std::string cmd = "cd '" + dir.string() + "' && " + env + " '" CORVINA_TOOL "' " + args + " 2>'" +
                            FErrFile.string() + "'";
    FPipe = ::popen(cmd.c_str(), "r");
  }
  TRun Finish() {
    TRun r;
    if (!FPipe) return r;
    std::array<char, 4096> buf;
    while (std::size_t n = std::fread(buf.data(), 1, buf.size(), FPipe)) r.Out.append(buf.data(), n);
    const int status = ::pclose(FPipe);
    FPipe = nullptr;
    r.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.Err = Corvina::Testing::ReadFileBytes(FErrFile);
    return r;
  }
  ~TProcess() {
    if (FPipe) Finish();
  }
  TProcess(const TProcess&) = delete;
  TProcess& operator=(const TProcess&) = delete;

 private:
  fs::path FErrFile;
  FILE* FPipe = nullptr;
};

TRun RunTool(const std::string& args, const TempDir& dir, const std::string& env = "") {
  return TProcess(args, dir.Root(), env, 0).Finish();
}

// Runs the command lines side by side (the reference models load slowly).
std::vector<TRun> RunAll(const std::vector<std::string>& args, const TempDir& dir) {
  std::vector<std::unique_ptr<TProcess>> running;
  for (std::size_t i = 0; i < args.size(); ++i)
    running.push_back(std::make_unique<TProcess>(args[i], dir.Root(), "", int(i)));
  std::vector<TRun> runs;
  for (auto& p : running) runs.push_back(p->Finish());
  return runs;
}

std::pair<int, int> SizeOf(const fs::path& file) {
  Fmx::Graphics::TBitmap bmp;
  bmp.LoadFromFile(file.u16string());
  return {bmp.Width(), bmp.Height()};
}

// Off a terminal, progress is whole lines on stderr, each "<phase> N/M ...".
bool OnlyProgress(const std::string& err) {
  std::istringstream lines(err);
  for (std::string l; std::getline(lines, l);) {
    bool known = false;
    for (const char* phase : {"loading the model ", "sampling ", "upscaling ", "tracking ", "animating ", "separating "}) {
      if (l.rfind(phase, 0) != 0) continue;
      const std::string count = l.substr(std::strlen(phase), l.find(' ', std::strlen(phase)) - std::strlen(phase));
      const auto slash = count.find('/');
      known = slash != std::string::npos && slash > 0 && slash + 1 < count.size() &&
              count.find_first_not_of("0123456789/") == std::string::npos;
    }
    if (!known) return false;
  }
  return true;
}

void WritePicture(const TempDir& dir, const char* name, int w, int h, std::uint32_t colour) {
  Fmx::Graphics::TBitmap picture(w, h);
  picture.Clear(colour);
  picture.SaveToFile(dir.File(name));
}

// Channel 0 a sine of peak 0.5, channel 1 the same at -0.25.
void WriteStereo(const TempDir& dir, const char* name, std::uint16_t bits, int frames = 4000) {
  std::vector<float> samples;
  for (int i = 0; i < frames; ++i) {
    const float s = float(std::sin(i * 2 * M_PI * 440 / 8000));
    samples.push_back(0.5f * s);
    samples.push_back(-0.25f * s);
  }
  Audio::Wave::Reader::TWaveWriter(8000, 2, bits).WriteFloatData(samples, dir.File(name));
}

// ------------------------------------------------------------ generation, fake

class GenerationTool : public ::testing::Test {
 protected:
  void SetUp() override {
    WritePicture(dir, "in.png", 70, 40, 0xFF336699u);
    WritePicture(dir, "mask.png", 70, 40, 0xFF336699u);
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
      {"video in.png 'waves' --frames 3 -W 24 -H 24 -o v/f.png", {"v/f-1.png", "v/f-2.png", "v/f-3.png"}, {24, 24}},
      // Numbers are as wide as the count, from 1.
      {"generate 'cats' -b 10 -W 8 -H 8 -o ten.png", {"ten-01.png", "ten-09.png", "ten-10.png"}, {8, 8}},
      {"generate 'a cat' -W 8 -H 8 --vae-decode-only -o vae.png", {"vae.png"}, {8, 8}},
      {"upscale in.png -o big.png", {"big.png"}, {140, 80}},  // the fake's model doubles
      {"canny in.png -o edges.png", {"edges.png"}, {70, 40}},
      // Without -o each subcommand has a file of its own.
      {"generate 'a cat' -W 8 -H 8", {"out/generated.png"}, {8, 8}},
      {"img2img in.png 'a dog' -W 8 -H 8", {"out/img2img.png"}, {8, 8}},
      {"upscale in.png", {"out/upscaled.png"}, {140, 80}},
      {"canny in.png", {"out/canny.png"}, {70, 40}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    // canny runs no model: it takes only the library folder.
    const TRun r = RunTool(c.args + " " + (c.args.rfind("canny", 0) == 0 ? "--sd-lib-dir '" + kFakeDir + "'" : lib), dir);
    EXPECT_EQ(r.Exit, 0) << r.Err;
    EXPECT_TRUE(OnlyProgress(r.Err)) << r.Err;
    for (const std::string& f : c.files) {
      ASSERT_TRUE(fs::exists(dir.Path(f))) << f;
      EXPECT_EQ(SizeOf(dir.Path(f)), c.size) << f;
      EXPECT_NE(r.Out.find("wrote " + f), std::string::npos) << r.Out;
    }
  }
}

// Redirected, stdout holds the report (or the JSON document) alone: progress
// goes to stderr, as lines, the model load under a name of its own.
TEST_F(GenerationTool, ProgressGoesToStderrAndQuietLeavesOnlyTheOutput) {
  const std::string env = "CORVINA_FAKE_SD_CHATTY=1";
  struct Case {
    std::string options, out;
    std::vector<std::string> errLines;  // in this order
  };
  const Case cases[] = {
      {"", "wrote out/generated.png (8 x 8, seed 42)\n", {"sampling 1/2 0.25s/it", "sampling 2/2 0.25s/it"}},
      {"-q", "", {}},
      {"--quiet --json", "{", {}},
      {"-v", "wrote out/generated.png (8 x 8, seed 42)\n",
       {"seed 42", "fake.cpp:7 - working", "sampling 1/2 0.25s/it", "sampling 2/2 0.25s/it"}},
      {"-v -q", "", {"seed 42", "fake.cpp:7 - working"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    const TRun r = RunTool("generate p -W 8 -H 8 " + lib + c.options, dir, env);
    EXPECT_EQ(r.Exit, 0) << r.Err;
    EXPECT_EQ(r.Out.substr(0, c.out.size()), c.out);
    if (c.out == "{") {
      EXPECT_TRUE(json::accept(r.Out)) << r.Out;
    }
    if (c.out.empty() || c.out == "{") {
      EXPECT_EQ(r.Out.find("wrote"), std::string::npos) << r.Out;
    }
    std::string expected;
    for (const auto& l : c.errLines) expected += l + "\n";
    EXPECT_EQ(r.Err, expected);
  }
}

TEST_F(GenerationTool, BadInputGivesOneClearLineAndAFailingExit) {
  struct Case {
    std::string args;
    std::string errStart;
    int exit;
  };
  const Case cases[] = {
      {"img2img missing.png 'x' " + lib, "corvina img2img: input: 'missing.png' does not exist\n", 2},
      {"generate x --sd-lib-dir '" + kFakeDir + "'", "corvina generate: --model is required with --sd-lib-dir", 1},
      {"generate x --model m.gguf --sd-lib-dir .", "corvina generate: Can not load ./libstable-diffusion.so ", 1},
      {"generate x --sd-lib-dir '" + kFakeDir + "' --model absent.gguf",
       "corvina generate: --model: 'absent.gguf' does not exist, here or among the sample models in ", 2},
      {"generate x -W 0 " + lib, "corvina generate: --width: 0 is not a number from 1 to 8192\n", 2},
      {"generate x -H 8193 " + lib, "corvina generate: --height: 8193 is not a number from 1 to 8192\n", 2},
      {"upscale in.png --scale 0 " + lib, "corvina upscale: --scale: 0 is not a number from 1 to 16\n", 2},
      {"img2img in.png x --vae-decode-only " + lib, "corvina img2img: unexpected argument(s): --vae-decode-only", 2},
      {"canny mask.png -o /proc/forbidden/e.png", "corvina canny: ", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const TRun r = RunTool(c.args, dir);
    EXPECT_EQ(r.Exit, c.exit);
    EXPECT_EQ(r.Err.substr(0, c.errStart.size()), c.errStart) << r.Err;
    EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1) << r.Err;
  }
}

// ------------------------------------------------------------ reference backends

class CorvinaTool : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = std::make_unique<TempDir>();
    WritePicture(*dir, "in.png", 70, 40, 0xFF336699u);
    WritePicture(*dir, "mask.png", 70, 40, 0xFFFFFFFFu);
    fs::copy_file(kAstronaut, dir->Path("astronaut.png"));
    WritePicture(*dir, "mask512.png", 512, 512, 0xFF000000u);
    fs::create_directories(dir->Path("frames"));
    for (const char* f : {"frames/f000.png", "frames/f001.png", "frames/f002.png"})
      fs::copy_file(kAstronaut, dir->Path(f));
    WriteStereo(*dir, "stereo16.wav", 16);
    WriteStereo(*dir, "stereo32.wav", 32);
    WriteStereo(*dir, "empty.wav", 16, 0);
    Corvina::Testing::WriteFileBytes(dir->Path("zero.png"), "");
    Corvina::Testing::WriteFileBytes(dir->Path("zero.wav"), "");
    const std::string png = Corvina::Testing::ReadFileBytes(kAstronaut);
    Corvina::Testing::WriteFileBytes(dir->Path("cut.png"), png.substr(0, 300));
    // An A-law file: a width the reader takes, samples the tool cannot decode.
    std::string alaw = Corvina::Testing::ReadFileBytes(dir->Path("stereo16.wav"));
    alaw[20] = 6, alaw[34] = 8, alaw[32] = 2;
    Corvina::Testing::WriteFileBytes(dir->Path("alaw.wav"), alaw);
    fs::create_directories(dir->Path("nolib"));
    ::mkfifo(dir->Path("fifo").c_str(), 0600);
  }
  static void TearDownTestSuite() { dir.reset(); }
  static std::unique_ptr<TempDir> dir;
};

std::unique_ptr<TempDir> CorvinaTool::dir;

TEST_F(CorvinaTool, EverySubcommandWritesWhatItsJsonDocumentLists) {
  struct Case {
    std::string args;
    std::vector<std::string> keys;  // besides "files"
    std::vector<std::tuple<std::string, int, int>> pictures;  // file, width, height
    std::vector<std::string> wavs;
  };
  const std::vector<Case> cases = {
            // The reference library, like the real one, works in multiples of 64.
      {"generate 'a cat' -W 64 -H 128 -b 2 --seed 7 --steps 2 -o gen/cat.png", {}, {{"gen/cat-1.png", 64, 128}, {"gen/cat-2.png", 64, 128}}, {}},
      {"img2img in.png dog -W 128 -H 64 --steps 2 -o i2i.png", {}, {{"i2i.png", 128, 64}}, {}},
      {"inpaint in.png mask.png hat -W 64 -H 64 --steps 2 -o hat.png", {}, {{"hat.png", 64, 64}}, {}},
      {"video in.png waves --frames 2 -W 64 -H 64 --steps 2 -o v/f.png", {}, {{"v/f-1.png", 64, 64}, {"v/f-2.png", 64, 64}}, {}},
      {"upscale in.png -o up.png", {}, {{"up.png", 140, 80}}, {}},
      {"canny in.png -o edges.png", {}, {{"edges.png", 70, 40}}, {}},
      {"segment astronaut.png --point 220,130 -o seg/mask.png --overlay seg/over.png", {"mask"}, {{"seg/mask.png", 512, 512}, {"seg/over.png", 512, 512}}, {}},
      {"track frames --box 180,80,270,170 -o tracked", {"frames"}, {{"tracked/frame-1.png", 512, 512}, {"tracked/frame-2.png", 512, 512}, {"tracked/frame-3.png", 512, 512}}, {}},
      {"remove astronaut.png --mask mask512.png -o removed.png", {}, {{"removed.png", 512, 512}}, {}},
      {"replace-bg astronaut.png --background in.png -o bg.png", {}, {{"bg.png", 512, 512}}, {}},
      {"faces astronaut.png -o faces.png", {"faces"}, {{"faces.png", 512, 512}}, {}},
      {"enhance astronaut.png -o enhanced.png", {"faces"}, {{"enhanced.png", 512, 512}}, {}},
      {"swap astronaut.png astronaut.png -o swapped.png", {"faces"}, {{"swapped.png", 512, 512}}, {}},
      {"animate astronaut.png astronaut.png astronaut.png -o animated", {"frames"}, {{"animated/frame-1.png", 512, 512}, {"animated/frame-2.png", 512, 512}}, {}},
      {"separate stereo16.wav -o sep/vocals.wav --background sep/bg.wav", {"samples", "sample_rate"}, {}, {"sep/vocals.wav", "sep/bg.wav"}},
      {"wav-info stereo16.wav", {"format", "channels", "sample_rate", "bits_per_sample", "frames", "duration", "peaks"}, {}, {}},
      {"wav-convert stereo16.wav -o conv/mono.wav --format float32 --channels 1", {}, {}, {"conv/mono.wav"}},
  };
  std::vector<std::string> args;
  for (const Case& c : cases) args.push_back(c.args + " --json -q");
  const std::vector<TRun> runs = RunAll(args, *dir);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const TRun& r = runs[i];
    SCOPED_TRACE(c.args);
    EXPECT_EQ(r.Exit, 0) << r.Err;
    EXPECT_EQ(r.Err, "");
    ASSERT_TRUE(json::accept(r.Out)) << r.Out;
    const json doc = json::parse(r.Out);
    for (const auto& key : c.keys) EXPECT_TRUE(doc.contains(key)) << key << " in " << r.Out;
    const json files = doc.value("files", json::array());
    if (c.args.rfind("wav-info", 0) == 0) continue;  // reads, writes nothing
    ASSERT_EQ(files.size(), c.pictures.size() + c.wavs.size()) << r.Out;
    std::size_t k = 0;
    for (const auto& [file, w, h] : c.pictures) {
      const json& entry = files[k++];
      EXPECT_EQ(entry["file"], file);
      ASSERT_TRUE(fs::exists(dir->Path(file))) << file;
      EXPECT_EQ(entry["bytes"], fs::file_size(dir->Path(file))) << file;
      EXPECT_EQ(SizeOf(dir->Path(file)), std::make_pair(w, h)) << file;
      EXPECT_EQ(entry["width"], w);
      EXPECT_EQ(entry["height"], h);
    }
    for (const auto& file : c.wavs) {
      const json& entry = files[k++];
      EXPECT_EQ(entry["file"], file);
      ASSERT_TRUE(fs::exists(dir->Path(file))) << file;
      EXPECT_EQ(entry["bytes"], fs::file_size(dir->Path(file))) << file;
      EXPECT_EQ(fs::file_size(dir->Path(file)), 44u + 4000u * 4u) << file;  // mono float, every frame
    }
  }
}

TEST_F(CorvinaTool, JsonDocumentsCarryTheResultsData) {
  const std::vector<TRun> runs =
      RunAll({"generate x -W 8 -H 8 -b 3 --seed 9223372036854775807 --steps 1 -o seeds.png --json -q",
              "video in.png x -W 8 -H 8 --frames 2 --seed 5 --steps 1 -o vs/f.png --json",
              "segment astronaut.png --box 180,80,270,170 -o boxmask.png --json", "wav-info stereo16.wav --json",
              "track frames --box 180,80,270,170 --json -q",
              "generate x -W 8 -H 8 -b 2 --seed -1 --steps 1 -o drawn.png --json -q"},
             *dir);
  for (const TRun& r : runs) ASSERT_TRUE(r.Exit == 0 && json::accept(r.Out)) << r.Err << r.Out;
  // A batch counts up from the seed and wraps as the library does; video frames share it.
  const json batch = json::parse(runs[0].Out)["files"];
  ASSERT_EQ(batch.size(), 3u);
  EXPECT_EQ(batch[0]["seed"], 9223372036854775807LL);
  EXPECT_EQ(batch[1]["seed"], std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(batch[2]["seed"], std::numeric_limits<std::int64_t>::min() + 1);
  const json video = json::parse(runs[1].Out);
  ASSERT_EQ(video["files"].size(), 2u);
  for (const json& frame : video["files"]) EXPECT_EQ(frame["seed"], 5);
  // The box prompt's mask lies inside the box.
  const json mask = json::parse(runs[2].Out)["mask"];
  EXPECT_GT(mask["masked_pixels"].get<int>(), 0);
  EXPECT_NEAR(mask["fraction"].get<double>(), mask["masked_pixels"].get<double>() / (512.0 * 512.0), 1e-9);
  ASSERT_EQ(mask["box"].size(), 4u);
  EXPECT_GE(mask["box"][0].get<int>(), 180);
  EXPECT_GE(mask["box"][1].get<int>(), 80);
  EXPECT_LE(mask["box"][2].get<int>(), 271);
  EXPECT_LE(mask["box"][3].get<int>(), 171);
  const json info = json::parse(runs[3].Out);
  EXPECT_EQ(info["format"], "PCM");
  EXPECT_EQ(info["channels"], 2);
  EXPECT_EQ(info["sample_rate"], 8000);
  EXPECT_EQ(info["bits_per_sample"], 16);
  EXPECT_EQ(info["frames"], 4000);
  EXPECT_DOUBLE_EQ(info["duration"].get<double>(), 0.5);
  EXPECT_NEAR(info["peaks"][0].get<double>(), 0.5, 1e-4);
  EXPECT_NEAR(info["peaks"][1].get<double>(), 0.25, 1e-4);
  const json frames = json::parse(runs[4].Out)["frames"];
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0]["box"], json({180.0, 80.0, 270.0, 170.0}));  // the first frame is the given box
  EXPECT_EQ(frames[2]["file"], "frames/f002.png");
  EXPECT_EQ(frames[2]["frame"], 3);  // counted from 1, as the annotated files are
  // A drawn seed is reported, and repeating it repeats the pictures.
  const json drawn = json::parse(runs[5].Out);
  ASSERT_TRUE(drawn["seed"].is_number_integer()) << runs[5].Out;
  const std::int64_t seed = drawn["seed"].get<std::int64_t>();
  EXPECT_GE(seed, 0);
  ASSERT_EQ(drawn["files"].size(), 2u);
  EXPECT_EQ(drawn["files"][0]["seed"], seed);
  EXPECT_EQ(drawn["files"][1]["seed"], seed + 1);
  const TRun again = RunTool("generate x -W 8 -H 8 -b 2 --steps 1 -o again.png -q --seed " + std::to_string(seed), *dir);
  ASSERT_EQ(again.Exit, 0) << again.Err;
  for (const char* n : {"-1.png", "-2.png"})
    EXPECT_EQ(Corvina::Testing::ReadFileBytes(dir->Path(std::string("again") + n)),
              Corvina::Testing::ReadFileBytes(dir->Path(std::string("drawn") + n)));
}

// What each output format and channel count does to the samples, read back
// with wav-info.
TEST_F(CorvinaTool, WavConvertKeepsTheSignalInEveryFormat) {
  struct Case {
    std::string input, options, format;
    int bits, channels;
    std::vector<double> peaks;
    double tolerance;
  };
  const Case cases[] = {
      {"stereo16.wav", "--format pcm16", "PCM", 16, 2, {0.5, 0.25}, 1e-4},
      {"stereo16.wav", "--format pcm24", "PCM", 24, 2, {0.5, 0.25}, 1e-4},
      {"stereo16.wav", "--format pcm8", "PCM", 8, 2, {0.5, 0.25}, 1.0 / 127},
      {"stereo16.wav", "", "PCM", 16, 2, {0.5, 0.25}, 1e-4},          // the input's format by default
      {"stereo32.wav", "--format pcm16", "PCM", 16, 2, {0.5, 0.25}, 1e-4},
      {"stereo32.wav", "", "IEEE float", 32, 2, {0.5, 0.25}, 1e-7},
      {"stereo16.wav", "--channels 1", "PCM", 16, 1, {0.125}, 1e-4},  // (0.5 - 0.25) / 2
  };
  std::vector<std::string> converts;
  for (std::size_t i = 0; i < std::size(cases); ++i)
    converts.push_back("wav-convert " + cases[i].input + " -o c" + std::to_string(i) + ".wav " + cases[i].options);
  for (const TRun& r : RunAll(converts, *dir)) ASSERT_EQ(r.Exit, 0) << r.Err;
  std::vector<std::string> infos;
  for (std::size_t i = 0; i < std::size(cases); ++i) infos.push_back("wav-info --json c" + std::to_string(i) + ".wav");
  const std::vector<TRun> runs = RunAll(infos, *dir);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(converts[i]);
    ASSERT_TRUE(json::accept(runs[i].Out)) << runs[i].Err;
    const json info = json::parse(runs[i].Out);
    EXPECT_EQ(info["format"], c.format);
    EXPECT_EQ(info["bits_per_sample"], c.bits);
    EXPECT_EQ(info["channels"], c.channels);
    EXPECT_EQ(info["frames"], 4000);
    ASSERT_EQ(info["peaks"].size(), c.peaks.size());
    for (std::size_t k = 0; k < c.peaks.size(); ++k) EXPECT_NEAR(info["peaks"][k].get<double>(), c.peaks[k], c.tolerance);
  }
  // 16-bit samples come back as they were, bit for bit.
  Audio::Wave::Reader::TWaveReader before(dir->File("stereo16.wav")), after(dir->File("c0.wav"));
  for (int ch = 0; ch < 2; ++ch)
    EXPECT_EQ(std::memcmp(before.DataChunk()->ChannelData(ch), after.DataChunk()->ChannelData(ch), 4000 * 2), 0);
}

TEST_F(CorvinaTool, BadInputGivesOneLineAndTheDocumentedExitCode) {
  struct Case {
    std::string args;
    int exit;
    std::string errStart;
  };
  const std::vector<Case> cases = {
      {"", 2, "corvina: a subcommand is missing; corvina --help lists them"},
      {"bogus", 2, "corvina: unknown subcommand 'bogus'"},
      {"faces missing.png", 2, "corvina faces: picture: 'missing.png' does not exist"},
      {"faces fifo", 2, "corvina faces: picture: 'fifo' is not a regular file"},
      {"wav-info fifo", 2, "corvina wav-info: input: 'fifo' is not a regular file"},
      {"segment /dev/null --point 1,1 -o m.png", 2, "corvina segment: image: '/dev/null' is not a regular file"},
      {"remove astronaut.png --mask frames -o r.png", 2, "corvina remove: --mask: 'frames' is a folder, not a file"},
      {"generate x -W 0", 2, "corvina generate: --width: 0 is not a number from 1 to 8192"},
      {"generate x -W abc", 2, "corvina generate: --width: abc is not a number from 1 to 8192"},
      {"generate x -W 5 -W 6", 2, "corvina generate: --width is given 2 times; give it once"},
      {"generate", 2, "corvina generate: prompt is missing (corvina generate --help shows the options)"},
      {"generate x y", 2, "corvina generate: unexpected argument(s): y (corvina generate --help shows the options)"},
      {"generate x -W 8192 -H 8192", 2, "corvina generate: -W 8192 -H 8192 makes 8192 x 8192 pictures"},
      {"generate x -W 8192 -H 8192 -b 8 --sd-lib-dir nolib --model zero.png", 2,
       "corvina generate: the request asks for 536870912 pixels"},
      {"generate x -t -1", 2, "corvina generate: --threads: -1 is not a number from 0 to 512"},
      {"generate x -t 513", 2, "corvina generate: --threads: 513 is not a number from 0 to 512"},
      {"generate x --seed 99999999999999999999", 2, "corvina generate: --seed: 99999999999999999999 is outside the 64-bit range"},
      {"generate x --model no-such.cvm", 2, "corvina generate: --model: 'no-such.cvm' does not exist, here or among the sample models"},
      {"faces astronaut.png --confidence 2", 2, "corvina faces: --confidence: 2 is not a number from"},
      {"separate stereo16.wav -o v.wav --gpu -2", 2, "corvina separate: --gpu: -2 is not a number from -1 to 1023"},
      {"segment astronaut.png --point 9999,5 -o m.png", 2, "corvina segment: --point: 9999,5 lies outside the 512 x 512 picture"},
      {"segment astronaut.png --point 1,x -o m.png", 2, "corvina segment: --point: '1,x' is not 2 whole numbers"},
      {"segment astronaut.png -o m.png", 2, "corvina segment: give either --point or --box"},
      {"segment astronaut.png --point 1,1 -o m.png --model-dir nolib", 2,
       "corvina segment: --model-dir: the model file 'nolib/sam2_encoder.cvm' does not exist"},
      {"swap astronaut.png astronaut.png -o s.png --model-dir nolib", 2,
       "corvina swap: --model-dir: the model file 'nolib/face_detector.cvm' does not exist"},
      {"track frames --box 5,5,2,2", 2, "corvina track: --box: '5,5,2,2' needs right > left"},
      {"track nothere --box 1,1,5,5", 2, "corvina track: frames: 'nothere' is neither a folder"},
      {"remove astronaut.png --mask in.png -o r.png", 2,
       "corvina remove: --mask: the mask is 70 x 40, the picture 512 x 512; they must be the same size"},
      {"segment astronaut.png --point 1,1 -o m.png --vision-lib-dir /nonexistent", 2,
       "corvina segment: --vision-lib-dir: the folder '/nonexistent' does not exist"},
      {"wav-convert stereo16.wav -o o.wav --channels 3", 2, "corvina wav-convert: --channels: 2 channels cannot become 3"},
      {"wav-convert stereo16.wav -o o.wav --format pcm32", 2,
       "corvina wav-convert: --format: 'pcm32' is not one of {pcm8,pcm16,pcm24,float32}"},
      {"completion tcsh", 2, "corvina completion: shell: 'tcsh' is not one of {bash,zsh,fish}"},
      // Output paths are refused before any work: no progress line comes first.
      {"generate x -o out.webp", 2, "corvina generate: --output: 'out.webp' has the unknown picture format '.webp'"},
      {"generate x -o nolib", 2, "corvina generate: --output: 'nolib' is a folder; name a file in it"},
      {"upscale in.png -o noext", 2, "corvina upscale: --output: 'noext' has no picture extension"},
      {"faces astronaut.png -o -", 2, "corvina faces: --output: '-' (stdout) cannot take the output"},
      {"segment astronaut.png --point 1,1 -o m.png --overlay o.gif", 2, "corvina segment: --overlay: 'o.gif' has the unknown"},
      {"track frames --box 180,80,270,170 -o in.png", 2, "corvina track: --output: 'in.png' is a file, not a folder"},
      {"wav-convert stereo16.wav -o x.mp3", 2, "corvina wav-convert: --output: 'x.mp3' is not a .wav file name"},
      {"separate stereo16.wav -o v.wav --background b.flac", 2, "corvina separate: --background: 'b.flac' is not a .wav"},
      {"canny in.png -o in.png/e.png", 2, "corvina canny: --output: 'in.png/e.png' cannot be made: 'in.png' is a file"},
      {"wav-convert stereo16.wav -o stereo16.wav/x.wav", 2, "corvina wav-convert: --output: 'stereo16.wav/x.wav' cannot be made"},
      {"faces zero.png", 1, "corvina faces: Cannot load image \"zero.png\": the file is empty"},
      {"enhance cut.png -o e.png", 1, "corvina enhance: Cannot load image \"cut.png\""},
      {"wav-info zero.wav", 1, "corvina wav-info: zero.wav: Error read RIFF header (the file is empty)\n"},
      {"wav-info alaw.wav", 1, "corvina wav-info: alaw.wav: samples of format code 6 are neither integer PCM nor IEEE float"},
      {"wav-convert in.png -o x.wav", 1, "corvina wav-convert: in.png: Error read RIFF header (it is a PNG picture, not a WAV file)\n"},
      {"separate empty.wav -o v.wav", 1, "corvina separate: "},
      // The library's own reason follows the component's fixed message.
      {"generate x --model corvina-upscaler-x2.cvm -o x.png", 1,
       "corvina generate: Failed to init Stable Diffusion (library: '"},
      {"generate x -W 8192 -H 8192 -o x.png -q --model corvina-sd.cvm --sd-lib-dir " CORVINA_FAKE_DIR, 1,
       "corvina generate: Failed to generate image (library: generate_image: 8192x8192 is more than 16777216 pixels)\n"},
      {"segment astronaut.png --point 1,1 -o m.png --vision-lib-dir nolib", 1, "corvina segment: Can not load"},
  };
  std::vector<std::string> args;
  for (const Case& c : cases) args.push_back(c.args);
  const std::vector<TRun> runs = RunAll(args, *dir);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const TRun& r = runs[i];
    SCOPED_TRACE(c.args);
    EXPECT_EQ(r.Exit, c.exit) << r.Err;
    EXPECT_EQ(r.Err.substr(0, c.errStart.size()), c.errStart) << r.Err;
    EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1) << r.Err;
    EXPECT_EQ(r.Out, "");
  }
  EXPECT_FALSE(fs::exists(dir->Path("stereo16.wav/x.wav")));
}

// The same things are spelt the same way in every subcommand that has them.
TEST_F(CorvinaTool, SubcommandsShareTheirOptionNames) {
  struct Case {
    const std::vector<std::string>* group;
    std::vector<std::string> options;
  };
  const std::vector<std::string> all = AllSubcommands();
  const Case cases[] = {
      {&kGeneration, {"-o,--output", "--sd-lib-dir", "--json"}},
      {&kVision, {"-o,--output", "--vision-lib-dir", "--model-dir", "--gpu", "--json"}},
      {&kFace, {"-o,--output", "--vision-lib-dir", "--model-dir", "--gpu", "--json"}},
      {&kWave, {"--json"}},
      {&all, {"-q,--quiet", "-v,--verbose"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args;
    for (const auto& name : *c.group) args.push_back(name + " --help");
    const std::vector<TRun> runs = RunAll(args, *dir);
    for (std::size_t i = 0; i < runs.size(); ++i) {
      SCOPED_TRACE(args[i]);
      EXPECT_EQ(runs[i].Exit, 0);
      for (const auto& option : c.options) EXPECT_NE(runs[i].Out.find("  " + option + " "), std::string::npos) << option;
    }
  }
  // The model runners take the same thread and log options.
  for (const char* name : {"generate", "img2img", "inpaint", "video", "upscale"}) {
    const TRun r = RunTool(std::string(name) + " --help", *dir);
    for (const char* option : {"-t,--threads", "-v,--verbose", "--model"})
      EXPECT_NE(r.Out.find(option), std::string::npos) << name << " " << option;
  }
  const TRun help = RunTool("--help", *dir);
  EXPECT_EQ(help.Exit, 0);
  for (const auto& name : AllSubcommands()) EXPECT_NE(help.Out.find("\n  " + name + " "), std::string::npos) << name;
  EXPECT_NE(help.Out.find("Exit status:"), std::string::npos);
  EXPECT_NE(help.Out.find("Examples:\n  corvina demo out/demo\n"), std::string::npos) << help.Out;
  // Each subcommand shows examples of itself, and -o says how several files are named.
  for (const auto& name : AllSubcommands()) {
    const TRun r = RunTool(name + " --help", *dir);
    const auto at = r.Out.find("Examples:\n  ");
    ASSERT_NE(at, std::string::npos) << name;
    EXPECT_TRUE(r.Out.find("corvina " + name, at) != std::string::npos ||
                r.Out.find("corvina completion", at) != std::string::npos) << r.Out;
  }
  for (const char* name : {"generate", "img2img", "inpaint", "video", "track", "animate"})
    EXPECT_NE(RunTool(std::string(name) + " --help", *dir).Out.find("zero-padded to the count's width"),
              std::string::npos) << name;
}

TEST_F(CorvinaTool, ModelsAreListedAndTakenByTheirBareName) {
  const TRun list = RunTool("models --json", *dir);
  ASSERT_EQ(list.Exit, 0) << list.Err;
  const json models = json::parse(list.Out)["models"];
  std::map<std::string, std::string> uses;
  for (const json& m : models) uses[m["file"]] = m["subcommands"].get<std::string>() + " | " + m["what"].get<std::string>();
  EXPECT_EQ(uses.size(), 16u);
  EXPECT_EQ(uses["corvina-sd-cells.cvm"], "generate, img2img, inpaint, video | picture generation, 'cells' texture");
  EXPECT_EQ(uses["corvina-upscaler-x4.cvm"], "upscale | upscaling x4, bicubic filter");
  EXPECT_EQ(uses["voice_extractor.cvm"], "separate | voice separation");
  EXPECT_EQ(uses["sam2_encoder.cvm"], "segment | segmentation, picture encoder");
  const TRun text = RunTool("models", *dir);
  EXPECT_NE(text.Out.find("\n  corvina-sd-cells.cvm     picture generation, 'cells' texture; used by generate"),
            std::string::npos) << text.Out;
  EXPECT_EQ(RunTool("models -q", *dir).Out, "");
  // A bare name picks the sample: the x4 upscaler makes four times the size,
  // and --scale asking for another factor is told on stderr.
  const std::vector<TRun> runs = RunAll({"upscale in.png --model corvina-upscaler-x4.cvm -o up4.png -q --json",
                                         "upscale in.png --scale 4 -o up2.png -q", "upscale in.png --scale 2 -o up22.png -q"},
                                        *dir);
  ASSERT_EQ(runs[0].Exit, 0) << runs[0].Err;
  EXPECT_EQ(json::parse(runs[0].Out)["files"][0]["width"], 280);
  EXPECT_EQ(runs[0].Err, "");
  EXPECT_EQ(runs[1].Exit, 0);
  EXPECT_EQ(runs[1].Err, "warning: the model enlarges x2, not x4 as --scale asked: the upscaling model decides the factor\n");
  EXPECT_EQ(runs[2].Err, "");
}

TEST_F(CorvinaTool, CompletionScriptCompletesSubcommandsOptionsAndValues) {
  const TRun script = RunTool("completion bash", *dir);
  ASSERT_EQ(script.Exit, 0) << script.Err;
  for (const auto& name : AllSubcommands()) EXPECT_NE(script.Out.find(name), std::string::npos) << name;
  Corvina::Testing::WriteFileBytes(dir->Path("corvina.bash"), script.Out);
  struct Case {
    std::string words;  // the last word is the one being completed
    std::vector<std::string> expected, unexpected;
  };
  const Case cases[] = {
      {"corvina wav-c", {"wav-convert"}, {"wav-info"}},
      {"corvina wav-convert x.wav --for", {"--format"}, {}},
      {"corvina wav-convert x.wav --format pcm1", {"pcm16"}, {"pcm8", "float32"}},
      {"corvina segment --vision-lib", {"--vision-lib-dir"}, {}},
      {"corvina generate --", {"--sd-lib-dir", "--threads", "--json", "--output"}, {"--vision-lib-dir", "--gpu"}},
      {"corvina generate --sd-lib-dir fram", {"frames"}, {}},
      {"corvina faces astro", {"astronaut.png"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words);
    const std::string args = "-c '. ./corvina.bash; COMP_WORDS=(" + c.words +
                             "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _corvina; printf \"%s\\n\" \"${COMPREPLY[@]}\"'";
    const std::string cmd = "cd '" + dir->Root().string() + "' && bash " + args;
    FILE* p = ::popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    std::array<char, 4096> buf;
    while (std::size_t n = std::fread(buf.data(), 1, buf.size(), p)) out.append(buf.data(), n);
    EXPECT_EQ(::pclose(p), 0);
    for (const auto& word : c.expected) EXPECT_NE(out.find(word + "\n"), std::string::npos) << word << " in " << out;
    for (const auto& word : c.unexpected) EXPECT_EQ(out.find(word + "\n"), std::string::npos) << word << " in " << out;
  }
}

std::string Shell(const std::string& cmd) {
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return "popen failed";
  std::string out;
  std::array<char, 4096> buf;
  while (std::size_t n = std::fread(buf.data(), 1, buf.size(), p)) out.append(buf.data(), n);
  const int status = ::pclose(p);
  return status == 0 ? out : out + "\n(exit " + std::to_string(status) + ")";
}

TEST_F(CorvinaTool, ZshAndFishCompletionScriptsParseAndComplete) {
  for (const char* shell : {"zsh", "fish"}) {
    const TRun script = RunTool(std::string("completion ") + shell + " -o corvina." + shell, *dir);
    ASSERT_EQ(script.Exit, 0) << script.Err;
    const std::string text = Corvina::Testing::ReadFileBytes(dir->Path(std::string("corvina.") + shell));
    for (const auto& name : AllSubcommands()) EXPECT_NE(text.find(name), std::string::npos) << shell << " " << name;
  }
  const std::string root = "cd '" + dir->Root().string() + "' && ";
  if (fs::exists("/usr/bin/zsh")) {
    EXPECT_EQ(Shell(root + "zsh -n corvina.zsh 2>&1"), "");
    // Loaded as compinit loads it, the function is defined and registered.
    EXPECT_EQ(Shell(root + "zsh -fc 'autoload -Uz compinit && compinit -u -D; source ./corvina.zsh; "
                           "print -r -- ${_comps[corvina]}' 2>&1"),
              "_corvina\n");
  }
  if (fs::exists("/usr/bin/fish")) {
    struct Case {
      std::string line;
      std::vector<std::string> expected, unexpected;
    };
    const Case cases[] = {
        {"corvina wav-c", {"wav-convert"}, {"wav-info"}},
        {"corvina wav-convert x.wav --for", {"--format"}, {}},
        {"corvina wav-convert x.wav --format pcm1", {"pcm16"}, {"pcm8", "float32"}},
        {"corvina completion zsh --qu", {"--quiet"}, {}},
        {"corvina generate --", {"--sd-lib-dir", "--threads", "--vae-decode-only"}, {"--vision-lib-dir", "--gpu"}},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.line);
      const std::string out =
          Shell(root + "fish --no-config -c 'source corvina.fish; complete -C\"" + c.line + "\"' 2>&1");
      for (const auto& word : c.expected) EXPECT_NE(out.find(word), std::string::npos) << word << " in " << out;
      for (const auto& word : c.unexpected)
        EXPECT_EQ(out.find(word + "\t"), std::string::npos) << word << " in " << out;
    }
  }
}

TEST_F(CorvinaTool, ManualPageIsBuiltAndRendersEverySubcommand) {
  ASSERT_TRUE(fs::exists(CORVINA_MAN_PAGE));
  const std::string page = Corvina::Testing::ReadFileBytes(CORVINA_MAN_PAGE);
  EXPECT_EQ(page.rfind(".TH CORVINA 1", 0), 0u);
  EXPECT_NE(page.find(".SH EXAMPLES\n"), std::string::npos);
  for (const auto& name : AllSubcommands()) {
    std::string escaped;
    for (const char ch : name) escaped += ch == '-' ? std::string("\\-") : std::string(1, ch);
    EXPECT_NE(page.find(".SS " + escaped + "\n"), std::string::npos) << name;
  }
  // groff warns about every malformed request; man -l shows the page.
  TRun check = RunTool("man > current.1 && groff -man -Tutf8 -ww -z '" CORVINA_MAN_PAGE "' 1>&2", *dir);
  EXPECT_EQ(check.Exit, 0);
  EXPECT_EQ(check.Err, "");
  EXPECT_EQ(Corvina::Testing::ReadFileBytes(dir->Path("current.1")), page);  // the build's page is up to date
  if (fs::exists("/usr/bin/man")) {
    FILE* p = ::popen("MANWIDTH=100 man -l '" CORVINA_MAN_PAGE "' 2>&1", "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    std::array<char, 4096> buf;
    while (std::size_t n = std::fread(buf.data(), 1, buf.size(), p)) out.append(buf.data(), n);
    EXPECT_EQ(::pclose(p), 0);
    EXPECT_NE(out.find("EXIT STATUS"), std::string::npos) << out;
    EXPECT_NE(out.find("EXAMPLES"), std::string::npos) << out;
    EXPECT_NE(out.find("a lighthouse at dusk"), std::string::npos);
    EXPECT_NE(out.find("wav-convert"), std::string::npos);
  }
}

}  // namespace
