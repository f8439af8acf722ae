// The parts of `corvina demo` that can go wrong quietly: the inputs it makes
// (crops, shifts, the LFW face file, WAV reading, resampling) and the tour's
// bookkeeping (statuses, exit code, a page that links only what exists).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/wave_writer.h"
#include "framework/exceptions.h"
#include "framework/graphics.h"
#include "tests/support/test_support.h"
#include "tools/demo_inputs.h"
#include "tools/demo_tour.h"

namespace {

namespace fs = std::filesystem;
using namespace Corvina::Tool::Demo;
using Corvina::Testing::TempDir;
using Fmx::Graphics::TBitmapMapping;
using Fmx::Graphics::TMapAccess;

// Every pixel different: x in blue, y in green.
TBitmap Numbered(int w, int h) {
  TBitmap bmp(w, h);
  TBitmapMapping map(bmp, TMapAccess::Write);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) map.Data().SetPixel(x, y, 0xFF000000u | std::uint32_t(y) << 8 | std::uint32_t(x));
  return bmp;
}

std::uint32_t Pixel(const TBitmap& bmp, int x, int y) { return TBitmapMapping(bmp).Data().GetPixel(x, y); }

TEST(DemoPictures, CropCopiesTheWindowAndRefusesOneOutsideThePicture) {
  const TBitmap source = Numbered(40, 30);
  const TBitmap window = Crop(source, 5, 7, 20, 10);
  ASSERT_EQ(window.Width(), 20);
  ASSERT_EQ(window.Height(), 10);
  EXPECT_EQ(Pixel(window, 0, 0), Pixel(source, 5, 7));
  EXPECT_EQ(Pixel(window, 19, 9), Pixel(source, 24, 16));
  const struct {
    int x, y, w, h;
  } outside[] = {{-1, 0, 10, 10}, {0, -1, 10, 10}, {0, 0, 0, 10}, {0, 0, 10, -3}, {31, 0, 10, 10}, {0, 21, 10, 10}};
  for (const auto& c : outside)
    EXPECT_THROW(Crop(source, c.x, c.y, c.w, c.h), std::invalid_argument) << c.x << "," << c.y << " " << c.w << "x" << c.h;
}

TEST(DemoPictures, ShiftMovesEveryPixelAndRepeatsTheEdges) {
  const TBitmap source = Numbered(16, 12);
  const struct {
    int dx, dy;
  } shifts[] = {{0, 0}, {3, 0}, {0, -2}, {-5, 4}, {20, 20}};
  for (const auto& s : shifts) {
    SCOPED_TRACE(std::to_string(s.dx) + "," + std::to_string(s.dy));
    const TBitmap moved = Shifted(source, s.dx, s.dy);
    for (int y = 0; y < 12; ++y)
      for (int x = 0; x < 16; ++x)
        ASSERT_EQ(Pixel(moved, x, y), Pixel(source, std::clamp(x - s.dx, 0, 15), std::clamp(y - s.dy, 0, 11)))
            << x << "," << y;
  }
}

// The views that make small differences visible: each output pixel is a
// named source pixel, or their difference times the gain.
TEST(DemoPictures, BlocksSideBySideAndDifferenceViews) {
  const TBitmap a = Numbered(6, 4), b = Shifted(Numbered(6, 4), 1, 0);
  const TBitmap blocks = Blocks(a, 3);
  ASSERT_EQ(std::make_pair(blocks.Width(), blocks.Height()), std::make_pair(18, 12));
  const TBitmap pair = SideBySide(a, Numbered(2, 7), 5);
  ASSERT_EQ(std::make_pair(pair.Width(), pair.Height()), std::make_pair(13, 7));
  const TBitmap diff = Difference(a, b, 40);
  const struct {
    const TBitmap* view;
    int x, y;
    std::uint32_t expected;
  } cases[] = {
      {&blocks, 0, 0, Pixel(a, 0, 0)},   {&blocks, 2, 2, Pixel(a, 0, 0)},  {&blocks, 3, 2, Pixel(a, 1, 0)},
      {&blocks, 17, 11, Pixel(a, 5, 3)}, {&pair, 5, 3, Pixel(a, 5, 3)},    {&pair, 6, 0, 0xFFFFFFFFu},
      {&pair, 0, 5, 0xFFFFFFFFu},        {&pair, 12, 6, 0xFF000601u},      {&diff, 0, 0, 0xFF000000u},
      {&diff, 3, 2, 0xFF000028u},        {&diff, 5, 3, 0xFF000028u},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Pixel(*c.view, c.x, c.y), c.expected) << (c.view == &blocks ? "blocks " : c.view == &pair ? "pair " : "diff ")
                                                    << c.x << "," << c.y;
  // Differences saturate instead of wrapping.
  EXPECT_EQ(Pixel(Difference(Numbered(6, 4), Shifted(Numbered(6, 4), 0, 3), 200), 0, 3), 0xFF00FF00u);
  EXPECT_THROW(Difference(a, Numbered(5, 4), 1), std::invalid_argument);
  EXPECT_THROW(Blocks(a, 0), std::invalid_argument);
}

// A .npy file as numpy writes it: magic, version, header length, header, data.
std::string Npy(const std::string& header, const std::vector<double>& values, const char* version = "\x01\x00") {
  std::string text = header;
  while ((10 + text.size() + 1) % 64 != 0) text += ' ';
  text += '\n';
  std::string file = std::string("\x93NUMPY", 6) + std::string(version, 2);
  file += char(text.size() & 0xFF);
  file += char(text.size() >> 8);
  file += text;
  file.append(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(double));
  return file;
}

const char kGoodHeader[] = "{'descr': '<f8', 'fortran_order': False, 'shape': (2, 25, 25), }";

TEST(DemoPictures, LfwFaceEnlargesAndFramesTheChosenFace) {
  TempDir dir;
  std::vector<double> faces(2 * 625, 0.2);
  for (int i = 625; i < 1250; ++i) faces[std::size_t(i)] = 0.8;  // face 1 is lighter
  Corvina::Testing::WriteFileBytes(dir.Path("faces.npy"), Npy(kGoodHeader, faces));
  for (const int index : {0, 1}) {
    const TBitmap face = LfwFace(dir.Path("faces.npy"), index);
    ASSERT_EQ(face.Width(), 300);
    ASSERT_EQ(face.Height(), 300);
    const std::uint32_t gray = index == 0 ? 51 : 204;
    for (const auto& [x, y] : {std::pair{0, 0}, std::pair{150, 150}, std::pair{299, 10}})
      EXPECT_EQ(Pixel(face, x, y), 0xFF000000u | gray << 16 | gray << 8 | gray) << index << " at " << x << "," << y;
  }
}

TEST(DemoPictures, LfwFaceRefusesFilesThatAreNotTheSampleAndFacesItDoesNotHold) {
  TempDir dir;
  const std::vector<double> two(2 * 625, 0.5);
  const struct {
    const char* name;
    std::string bytes;
    int index;
  } cases[] = {
      {"not numpy", "PNG and more bytes than a header", 0},
      {"version 2", Npy(kGoodHeader, two, "\x02\x00"), 0},
      {"float32", Npy("{'descr': '<f4', 'fortran_order': False, 'shape': (2, 25, 25), }", two), 0},
      {"column order", Npy("{'descr': '<f8', 'fortran_order': True, 'shape': (2, 25, 25), }", two), 0},
      {"other face size", Npy("{'descr': '<f8', 'fortran_order': False, 'shape': (2, 24, 24), }", two), 0},
      {"negative index", Npy(kGoodHeader, two), -1},
      {"index past the end", Npy(kGoodHeader, two), 2},
      {"data cut short", Npy(kGoodHeader, std::vector<double>(625 + 100, 0.5)), 1},
      {"header cut short", Npy(kGoodHeader, two).substr(0, 40), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Corvina::Testing::WriteFileBytes(dir.Path("bad.npy"), c.bytes);
    EXPECT_ANY_THROW(LfwFace(dir.Path("bad.npy"), c.index));
  }
  EXPECT_ANY_THROW(LfwFace(dir.Path("absent.npy"), 0));
}

TEST(DemoSounds, ReadMonoWavAveragesTheChannelsOfEveryWidthTheWriterMakes) {
  TempDir dir;
  // Left and right of three frames; their means are 0.5, -0.25 and 0.
  const std::vector<float> stereo = {0.75f, 0.25f, -0.5f, 0.0f, 0.5f, -0.5f};
  const struct {
    std::uint16_t bits;
    float tolerance;
  } widths[] = {{8, 1.0f / 64}, {16, 1.0f / 16384}, {24, 1.0f / 4e6f}, {32, 0.0f}};
  for (const auto& w : widths) {
    SCOPED_TRACE(w.bits);
    const fs::path file = dir.Path("s" + std::to_string(w.bits) + ".wav");
    Audio::Wave::Reader::TWaveWriter(16000, 2, w.bits).WriteFloatData(stereo, file.u16string());
    const TSound sound = ReadMonoWav(file);
    EXPECT_EQ(sound.Rate, 16000);
    ASSERT_EQ(sound.Samples.size(), 3u);
    EXPECT_NEAR(sound.Samples[0], 0.5f, w.tolerance);
    EXPECT_NEAR(sound.Samples[1], -0.25f, w.tolerance);
    EXPECT_NEAR(sound.Samples[2], 0.0f, w.tolerance);
  }
  Corvina::Testing::WriteFileBytes(dir.Path("text.wav"), "not a wave file at all, just words");
  EXPECT_ANY_THROW(ReadMonoWav(dir.Path("text.wav")));
}

TEST(DemoSounds, ResamplingKeepsTheDurationAndTheShape) {
  TSound ramp{std::vector<float>(4410), 44100};
  for (std::size_t i = 0; i < ramp.Samples.size(); ++i) ramp.Samples[i] = float(i) / 4410.0f;
  const struct {
    std::int32_t rate;
    std::size_t count;
  } rates[] = {{22050, 2205}, {44100, 4410}, {48000, 4800}, {8000, 800}};
  for (const auto& r : rates) {
    SCOPED_TRACE(r.rate);
    const TSound out = Resampled(ramp, r.rate);
    EXPECT_EQ(out.Rate, r.rate);
    ASSERT_EQ(out.Samples.size(), r.count);
    // The ramp rises by 10 per second whatever the rate.
    const std::size_t mid = r.count / 2;
    EXPECT_NEAR(out.Samples[mid], 10.0 * double(mid) / r.rate, 1e-3);
  }
  EXPECT_THROW(Resampled(ramp, 0), std::invalid_argument);
  EXPECT_THROW(Resampled(TSound{{0.1f}, 0}, 22050), std::invalid_argument);
}

TEST(DemoSounds, StandInVoiceAndChordsAreAudibleAndBounded) {
  const TSound voice = SynthesisedVoice(22050, 2.0);
  EXPECT_EQ(voice.Samples.size(), 44100u);
  EXPECT_NEAR(Rms(voice.Samples), 0.1, 1e-3);
  const std::vector<float> chords = Chords(44100, 22050, 0.2f);
  EXPECT_GT(Rms(chords), 0.01);
  for (const float s : chords) ASSERT_LE(std::abs(s), 0.2f * 1.3f * 1.5f);
  for (const float s : voice.Samples) ASSERT_TRUE(std::isfinite(s));
}

TEST(DemoTour, StepsEndDoneFailedOrSkippedAndOnlyFailuresSetTheExitCode) {
  const struct {
    const char* name;
    std::function<void(TStep&)> body;
    TStepStatus status;
    const char* message;
  } cases[] = {
      {"done", [](TStep& s) { s.Caption("fine"); }, TStepStatus::Done, ""},
      {"missing sample", [](TStep&) { throw EMissingInput("/nowhere/cat.png", "python3-skimage"); },
       TStepStatus::Skipped, "cat.png is missing (looked in /nowhere; it comes with the Debian package python3-skimage)"},
      {"component failure", [](TStep&) { throw System::Sysutils::Exception(u"Model File x does not exist"); },
       TStepStatus::Failed, "Model File x does not exist"},
      {"anything else", [](TStep&) { throw 42; }, TStepStatus::Failed, "unknown exception"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    TTour tour(dir.Path("out"));
    tour.Run("step", "TComponent", "act", c.body);
    ASSERT_EQ(tour.Results().size(), 1u);
    EXPECT_EQ(tour.Results()[0].Status, c.status);
    EXPECT_EQ(tour.Results()[0].Message, c.message);
    testing::internal::CaptureStdout();
    const int exit = tour.Finish(1.0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(exit, c.status == TStepStatus::Failed ? 1 : 0);
  }
}

TEST(DemoTour, PageLinksOnlyTheFilesThatWereWrittenAndEscapesText) {
  TempDir dir;
  TTour tour(dir.Path("out"));
  tour.Run("one", "TFMX<One>", "draw & \"say\"", [](TStep& s) {
    Corvina::Testing::WriteFileBytes(s.Input("in.png", "input"), "png");
    Corvina::Testing::WriteFileBytes(s.Output("sub/out.wav", "sound"), "wav");
    s.Output("never.png", "not written");
    s.Caption("made <two> files");
    s.InputText("prompt: <a cat>");
    s.Command("corvina generate '<a cat>' -o one/out.png");
    s.Note("a stand-in");
  });
  tour.Run("two", "TFMXTwo", "fail", [](TStep& s) {
    s.Output("half.png", "never written");
    throw std::runtime_error("broke <here>");
  });
  testing::internal::CaptureStdout();
  EXPECT_EQ(tour.Finish(2.5), 1);
  const std::string summary = testing::internal::GetCapturedStdout();
  EXPECT_NE(summary.find("2 steps in 2.50 s: 1 done, 1 failed, 0 skipped"), std::string::npos) << summary;
  EXPECT_NE(summary.find("one/sub/out.wav"), std::string::npos) << summary;
  EXPECT_NE(summary.find("broke <here>"), std::string::npos) << summary;

  const std::string html = Corvina::Testing::ReadFileBytes(dir.Path("out/index.html"));
  EXPECT_NE(html.find("<img src=\"one/in.png\""), std::string::npos);
  // The player loads the sound's header, so it shows its length before playing.
  EXPECT_NE(html.find("<audio controls preload=\"metadata\" src=\"one/sub/out.wav\">"), std::string::npos);
  EXPECT_NE(html.find("<pre class=\"cmd\">$ corvina generate &#39;&lt;a cat&gt;&#39; -o one/out.png</pre>"),
            std::string::npos);
  EXPECT_EQ(html.find("never.png"), std::string::npos);
  EXPECT_EQ(html.find("half.png"), std::string::npos);
  EXPECT_NE(html.find("TFMX&lt;One&gt;: draw &amp; &quot;say&quot;"), std::string::npos);
  EXPECT_NE(html.find("made &lt;two&gt; files; a stand-in"), std::string::npos);
  EXPECT_NE(html.find("<blockquote>prompt: &lt;a cat&gt;</blockquote>"), std::string::npos);
  EXPECT_NE(html.find("FAILED: broke &lt;here&gt;"), std::string::npos);
  EXPECT_EQ(html.find("<here>"), std::string::npos);
}

TEST(DemoTour, ShellWordsQuoteOnlyWhatTheShellWouldSplitOrExpand) {
  const struct {
    const char* word;
    const char* quoted;
  } cases[] = {{"01-step/frame-%d.png", "01-step/frame-%d.png"}, {"a lighthouse", "'a lighthouse'"},
               {"it's", "'it'\\''s'"}, {"$HOME", "'$HOME'"}, {"", "''"}, {"180,20,440,250", "180,20,440,250"}};
  for (const auto& c : cases) EXPECT_EQ(ShellWord(c.word), c.quoted) << c.word;
}

TEST(DemoTour, AStepFolderThatCannotBeMadeFailsThatStepOnly) {
  TempDir dir;
  TTour tour(dir.Path("out"));
  Corvina::Testing::WriteFileBytes(dir.Path("out/blocked"), "a file");
  bool ran = false;
  tour.Run("blocked", "TFMXA", "a", [&](TStep&) { ran = true; });
  tour.Run("free", "TFMXB", "b", [](TStep& s) { Corvina::Testing::WriteFileBytes(s.Output("x.png", "x"), "x"); });
  EXPECT_FALSE(ran);
  EXPECT_EQ(tour.Results()[0].Status, TStepStatus::Failed);
  EXPECT_EQ(tour.Results()[1].Status, TStepStatus::Done);
  EXPECT_TRUE(fs::is_regular_file(dir.Path("out/free/x.png")));
}

}  // namespace
