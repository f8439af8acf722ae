// `corvina demo` run as a newcomer runs it, on the reference backends the
// build puts beside libCorvina.so: every picture and sound it promises is
// there and decodes, index.html links only what exists, and a missing sample
// or a failing step is reported while the rest of the tour goes on.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "audio/wave_file_reader.h"
#include "framework/graphics.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using Corvina::Testing::TempDir;

struct TRun {
  int Exit = -1;
  std::string Out, Err;
};

TRun RunDemo(const fs::path& folder, const TempDir& dir, const std::string& env = "") {
  const std::string errFile = dir.Path("stderr.txt").string();
  const std::string cmd = env + " '" CORVINA_TOOL "' demo '" + folder.string() + "' 2>'" + errFile + "'";
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

// Every src and href of the page.
std::vector<std::string> Links(const std::string& html) {
  std::vector<std::string> out;
  for (const std::string attribute : {" src=\"", " href=\""}) {
    for (std::size_t at = html.find(attribute); at != std::string::npos; at = html.find(attribute, at + 1)) {
      const std::size_t begin = at + attribute.size();
      out.push_back(html.substr(begin, html.find('"', begin) - begin));
    }
  }
  return out;
}

// The summary line of a step: status word, component and action come first.
std::string SummaryLine(const std::string& out, const std::string& action) {
  std::size_t at = out.find(" " + action + " ");
  if (at == std::string::npos) return "";
  const std::size_t begin = out.rfind('\n', at) + 1;
  return out.substr(begin, out.find('\n', at) - begin);
}

struct TPicture {
  std::string Path;
  int Width, Height;
};

// Distinct colours in a picture: a blank or single-colour result has one.
std::size_t Colours(const Fmx::Graphics::TBitmap& bmp) {
  std::set<std::uint32_t> seen;
  Fmx::Graphics::TBitmapMapping map(bmp);
  for (int y = 0; y < bmp.Height() && seen.size() < 64; y += 3) {
    const auto* row = reinterpret_cast<const std::uint32_t*>(map.Scanline(y));
    for (int x = 0; x < bmp.Width(); x += 3) seen.insert(row[x]);
  }
  return seen.size();
}

struct TSound {
  std::int64_t Samples = 0;
  std::uint32_t Rate = 0;
  int Channels = 0;
  double Rms = 0;
};

TSound ReadSound(const fs::path& file) {
  Audio::Wave::Reader::TWaveReader wav(file.u16string());
  TSound s;
  s.Rate = wav.SampleRate();
  s.Channels = wav.NumberOfChannel();
  if (wav.DataChunk() == nullptr || wav.BitsPerSample() != 16) return s;
  s.Samples = wav.DataChunk()->SampleCount();
  const auto* bytes = wav.DataChunk()->ChannelData(0);
  double sum = 0;
  for (std::int64_t i = 0; i < s.Samples; ++i) {
    const double v = static_cast<std::int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8) / 32768.0;
    sum += v * v;
  }
  s.Rms = s.Samples > 0 ? std::sqrt(sum / double(s.Samples)) : 0;
  return s;
}

std::vector<TPicture> ExpectedPictures() {
  std::vector<TPicture> p = {
      {"01-text2image/picture-1.png", 512, 512}, {"01-text2image/picture-2.png", 512, 512},
      {"02-img2img/input.png", 512, 512},        {"02-img2img/stormy-sea.png", 512, 512},
      {"03-inpaint/input.png", 512, 512},        {"03-inpaint/mask.png", 512, 512},
      {"03-inpaint/red-door.png", 512, 512},     {"04-video/init.png", 256, 256},
      {"05-upscale/input.png", 256, 256},        {"05-upscale/upscaled.png", 512, 512},
      {"06-canny/chelsea.png", 451, 300},        {"06-canny/edges.png", 451, 300},
      {"07-segment/prompt.png", 600, 400},       {"07-segment/mask.png", 600, 400},
      {"07-segment/overlay.png", 600, 400},      {"09-remove/coffee.png", 600, 400},
      {"09-remove/mask.png", 600, 400},          {"09-remove/removed.png", 600, 400},
      {"10-replace-bg/coffee.png", 600, 400},    {"10-replace-bg/background.png", 512, 512},
      {"10-replace-bg/replaced.png", 600, 400},  {"11-faces/astronaut.png", 512, 512},
      {"04-video/difference.png", 256, 256},     {"05-upscale/detail.png", 392, 192},
      {"12-enhance/difference.png", 512, 512},
      {"11-faces/faces.png", 512, 512},          {"12-enhance/blurred.png", 512, 512},
      {"12-enhance/enhanced.png", 512, 512},     {"13-swap/source.png", 300, 300},
      {"13-swap/target.png", 512, 512},          {"13-swap/swapped.png", 512, 512},
      {"14-portrait/portrait.png", 512, 512},
  };
  for (int i = 1; i <= 6; ++i) p.push_back({"04-video/frame-" + std::to_string(i) + ".png", 256, 256});
  for (int i = 1; i <= 8; ++i) {
    p.push_back({"08-track/frame-" + std::to_string(i) + ".png", 400, 300});
    p.push_back({"08-track/tracked-" + std::to_string(i) + ".png", 400, 300});
  }
  for (int i = 1; i <= 4; ++i) {
    p.push_back({"14-portrait/driving-" + std::to_string(i) + ".png", 512, 512});
    p.push_back({"14-portrait/frame-" + std::to_string(i) + ".png", 512, 512});
    // The first driving frame is still: its difference is black, one colour.
    if (i > 1) p.push_back({"14-portrait/moved-" + std::to_string(i) + ".png", 512, 512});
  }
  return p;
}

}  // namespace

TEST(DemoTool, TourWritesEveryPictureAndSoundAndAnIndexOfThem) {
  TempDir dir;
  const fs::path out = dir.Path("out/demo");
  const TRun run = RunDemo(out, dir);
  ASSERT_EQ(run.Exit, 0) << run.Out << run.Err;
  EXPECT_EQ(run.Err, "");
  EXPECT_NE(run.Out.find("16 steps in"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("16 done, 0 failed, 0 skipped"), std::string::npos) << run.Out;

  std::set<std::string> expected;
  for (const TPicture& p : ExpectedPictures()) {
    SCOPED_TRACE(p.Path);
    expected.insert(p.Path);
    ASSERT_TRUE(fs::is_regular_file(out / p.Path));
    Fmx::Graphics::TBitmap bmp;
    bmp.LoadFromFile((out / p.Path).u16string());
    EXPECT_EQ(bmp.Width(), p.Width);
    EXPECT_EQ(bmp.Height(), p.Height);
    EXPECT_GE(Colours(bmp), 2u) << "a picture of one colour";
  }

  const TSound mix = ReadSound(out / "15-wav/mix.wav");
  EXPECT_EQ(mix.Rate, 22050u);
  EXPECT_GT(mix.Samples, 22050) << "under a second of sound";
  const struct {
    const char* Path;
    double MinRms;
  } sounds[] = {{"15-wav/speech.wav", 0.01}, {"15-wav/music.wav", 0.01}, {"15-wav/mix.wav", 0.01},
                {"16-voice/mix.wav", 0.01},  {"16-voice/vocals.wav", 0.005}, {"16-voice/background.wav", 0.005}};
  for (const auto& s : sounds) {
    SCOPED_TRACE(s.Path);
    expected.insert(s.Path);
    ASSERT_TRUE(fs::is_regular_file(out / s.Path));
    const TSound sound = ReadSound(out / s.Path);
    EXPECT_EQ(sound.Channels, 1);
    EXPECT_EQ(sound.Rate, 22050u);
    EXPECT_GT(sound.Rms, s.MinRms) << "silence";
    if (std::string(s.Path) != "15-wav/speech.wav") {
      EXPECT_EQ(sound.Samples, mix.Samples);
    }
  }

  const std::string html = Corvina::Testing::ReadFileBytes(out / "index.html");
  std::set<std::string> linked;
  for (const std::string& link : Links(html)) {
    SCOPED_TRACE(link);
    EXPECT_FALSE(fs::path(link).is_absolute());
    EXPECT_EQ(link.find(".."), std::string::npos);
    EXPECT_TRUE(fs::is_regular_file(out / link));
    linked.insert(link);
  }
  expected.insert("14-portrait/moved-1.png");
  for (const std::string& file : expected) EXPECT_TRUE(linked.count(file)) << file << " is not on the page";
  EXPECT_EQ(html.find("FAILED"), std::string::npos);
  // Every sound's label tells its length; every step shows its command.
  EXPECT_NE(html.find("<figcaption>mix ("), std::string::npos);
  EXPECT_EQ(html.find("preload=\"none\""), std::string::npos);
  std::vector<std::string> commands;
  for (std::size_t at = html.find("<pre class=\"cmd\">$ "); at != std::string::npos;
       at = html.find("<pre class=\"cmd\">$ ", at + 1)) {
    const std::size_t begin = at + std::strlen("<pre class=\"cmd\">$ ");
    commands.push_back(html.substr(begin, html.find("</pre>", begin) - begin));
  }
  ASSERT_EQ(commands.size(), 16u);
  for (const std::string& c : commands) EXPECT_EQ(c.rfind("corvina ", 0), 0u) << c;

  // Run in the output folder, the commands make the same files again.
  const char* const checked[] = {"01-text2image/picture-1.png", "01-text2image/picture-2.png", "02-img2img/stormy-sea.png",
                                 "05-upscale/upscaled.png", "12-enhance/enhanced.png"};
  std::map<std::string, std::string> before;
  for (const char* f : checked) before[f] = Corvina::Testing::ReadFileBytes(out / f);
  for (const char* f : checked) fs::remove(out / f);  // only the commands may bring them back
  for (const std::string& c : {commands[0], commands[1], commands[4], commands[11]}) {
    std::string line;  // as the page escapes it, back to the shell's text
    for (std::size_t i = 0; i < c.size(); ++i) {
      const std::pair<const char*, char> entities[] = {{"&#39;", '\''}, {"&quot;", '"'}, {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}};
      bool replaced = false;
      for (const auto& [entity, ch] : entities)
        if (c.compare(i, std::strlen(entity), entity) == 0) line += ch, i += std::strlen(entity) - 1, replaced = true;
      if (!replaced) line += c[i];
    }
    SCOPED_TRACE(line);
    const std::string cmd = "cd '" + out.string() + "' && '" CORVINA_TOOL "'" + line.substr(7) + " -q 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::array<char, 4096> buf;
    std::string said;
    while (std::size_t n = std::fread(buf.data(), 1, buf.size(), p)) said.append(buf.data(), n);
    EXPECT_EQ(::pclose(p), 0) << said;
  }
  for (const char* f : checked) {
    ASSERT_TRUE(fs::exists(out / f)) << f << " not made again";
    EXPECT_EQ(Corvina::Testing::ReadFileBytes(out / f), before[f]) << f;
  }
}

TEST(DemoTool, MissingSamplesAndAFailedStepAreReportedAndTheTourGoesOn) {
  TempDir dir;
  const fs::path out = dir.Path("out");
  fs::create_directories(out);
  fs::create_directories(dir.Path("no-photos"));
  fs::create_directories(dir.Path("no-programs"));
  // A file where the first step's folder belongs: that step cannot write.
  Corvina::Testing::WriteFileBytes(out / "01-text2image", "in the way");
  const TRun run = RunDemo(out, dir,
                           "CORVINA_DEMO_SAMPLES='" + dir.Path("no-photos").string() + "' PATH='" +
                               dir.Path("no-programs").string() + "'");
  EXPECT_EQ(run.Exit, 1) << run.Out << run.Err;
  EXPECT_NE(run.Out.find("16 steps in"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("6 done, 1 failed, 9 skipped"), std::string::npos) << run.Out;

  const struct {
    const char* Action;
    const char* Status;
    const char* Detail;
  } steps[] = {
      {"Text2Image", "FAILED", "01-text2image"},
      {"Image2Image", "done", "02-img2img/stormy-sea.png"},
      {"ImageInPaint", "done", "03-inpaint/red-door.png"},
      {"Video2Video", "done", "04-video/frame-1.png"},
      {"UpscaleImage", "done", "05-upscale/upscaled.png"},
      {"GetCannyOfBitmap", "skipped", "chelsea.png is missing"},
      {"segment from a box", "skipped", "coffee.png is missing"},
      {"track through frames", "skipped", "python3-skimage"},
      {"erase an object", "skipped", "python3-skimage"},
      {"replace the background", "skipped", "coffee.png is missing"},
      {"find faces", "skipped", "astronaut.png is missing"},
      {"restore a face", "skipped", "python3-skimage"},
      {"swap a face", "skipped", "lfw_subset.npy is missing"},
      {"animate a portrait", "skipped", "astronaut.png is missing"},
      {"read speech, write a mix", "done", "15-wav/mix.wav"},
      {"separate voice and music", "done", "16-voice/vocals.wav"},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.Action);
    const std::string line = SummaryLine(run.Out, s.Action);
    EXPECT_EQ(line.find("  " + std::string(s.Status) + " "), 0u) << line;
    EXPECT_NE(line.find(s.Detail), std::string::npos) << line;
  }

  const std::string html = Corvina::Testing::ReadFileBytes(out / "index.html");
  for (const std::string& link : Links(html)) EXPECT_TRUE(fs::is_regular_file(out / link)) << link;
  EXPECT_NE(html.find("a synthesised picture instead"), std::string::npos) << "img2img without the generated picture";
  EXPECT_NE(html.find("espeak-ng is missing (Debian package espeak-ng)"), std::string::npos);
  EXPECT_NE(html.find("it comes with the Debian package python3-skimage"), std::string::npos);
  EXPECT_EQ(ReadSound(out / "16-voice/vocals.wav").Rate, 22050u);
}

TEST(DemoTool, AnOutputFolderThatCannotBeMadeIsOneLineAndAFailingExit) {
  TempDir dir;
  Corvina::Testing::WriteFileBytes(dir.Path("a-file"), "not a folder");
  const struct {
    std::string folder;
    std::string err;
    int exit;
  } cases[] = {
      // Refused with the command line, before any step runs.
      {"", "corvina demo: folder: the path is empty\n", 2},
      {dir.Path("a-file").string(), "corvina demo: folder: '" + dir.Path("a-file").string() + "' is a file, not a folder\n", 2},
      {dir.Path("a-file/below").string(), "corvina demo: folder: '" + dir.Path("a-file/below").string() +
                                              "' cannot be made: '" + dir.Path("a-file").string() + "' is a file, not a folder\n", 2},
      {"/proc/no-such-folder/demo", "corvina demo: cannot make the folder '/proc/no-such-folder/demo': ", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    const TRun run = RunDemo(c.folder, dir);
    EXPECT_EQ(run.Exit, c.exit);
    EXPECT_EQ(run.Out, "");
    EXPECT_EQ(run.Err.rfind(c.err, 0), 0u) << run.Err;
    EXPECT_EQ(std::count(run.Err.begin(), run.Err.end(), '\n'), 1) << run.Err;
  }
}
