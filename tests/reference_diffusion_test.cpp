// The reference diffusion backend, loaded like any copy of the library:
// every parameter changes the picture it should, callbacks come as the
// library's do, canny and upscaling are real, and bad arguments never crash.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <functional>
#include <limits>
#include <opencv2/imgproc.hpp>

#include "tests/support/reference_diffusion_support.h"
#include "tests/support/test_support.h"

namespace {

using namespace Corvina::Testing;

ReferenceDiffusion& Lib() {
  static ReferenceDiffusion lib;
  return lib;
}

struct ContextDeleter {
  void operator()(void* ctx) const { Lib().free_sd_ctx(ctx); }
};
using Context = std::unique_ptr<void, ContextDeleter>;
struct UpscalerDeleter {
  void operator()(void* ctx) const { Lib().free_upscaler_ctx(ctx); }
};
using Upscaler = std::unique_ptr<void, UpscalerDeleter>;

class ReferenceDiffusionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Lib().set_log_callback(&Recorder::OnLog, &rec);
    Lib().set_progress_callback(&Recorder::OnProgress, &rec);
    Lib().set_preview_callback(nullptr, PREVIEW_NONE, 1, true, false, nullptr);
  }
  void TearDown() override {
    Lib().set_log_callback(nullptr, nullptr);
    Lib().set_progress_callback(nullptr, nullptr);
    Lib().set_preview_callback(nullptr, PREVIEW_NONE, 1, true, false, nullptr);
  }

  Context NewContext(const std::string& model = "corvina-sd.cvm",
                     const std::function<void(sd_ctx_params_t&)>& tweak = {}) {
    const std::string path = ModelPath(model);
    sd_ctx_params_t p;
    Lib().ctx_params_init(&p);
    p.model_path = path.c_str();
    p.vae_decode_only = false;
    p.free_params_immediately = false;
    if (tweak) tweak(p);
    return Context(Lib().new_sd_ctx(&p));
  }

  static sd_img_gen_params_t Params(const char* prompt, int64_t seed, int width = 64, int height = 64, int steps = 8) {
    sd_img_gen_params_t p;
    Lib().img_gen_params_init(&p);
    p.prompt = prompt;
    p.negative_prompt = "";
    p.seed = seed;
    p.width = width;
    p.height = height;
    p.sample_params.sample_steps = steps;
    return p;
  }

  static std::vector<Picture> Generate(void* ctx, const sd_img_gen_params_t& p) {
    return TakeResults(Lib().generate_image(ctx, &p), p.batch_count);
  }
  static Picture GenerateOne(void* ctx, const sd_img_gen_params_t& p) {
    auto pictures = Generate(ctx, p);
    return pictures.empty() ? Picture{} : pictures.front();
  }

  Recorder rec;
};

// A picture as the library takes it, owning its bytes.
struct Input {
  Picture picture;
  sd_image_t View() { return sd_image_t{picture.width, picture.height, picture.channel, picture.pixels.data()}; }
};

Input Solid(uint32_t w, uint32_t h, uint32_t channel, uint8_t value) {
  return Input{Picture{w, h, channel, std::vector<uint8_t>(size_t(w) * h * channel, value)}};
}

TEST_F(ReferenceDiffusionTest, ExportsExactlyTheFifteenEntryPoints) {
  // The loader resolved all fifteen; helpers of our own stay hidden.
  for (const char* hidden : {"_ZN9Reference9Diffusion10CannyEdgesEPKhiiiRKNS0_13CannySettingsE", "LogLine"})
    EXPECT_EQ(Lib().Symbol(hidden), nullptr) << hidden;
  EXPECT_GE(Lib().get_num_physical_cores(), 1);
}

TEST_F(ReferenceDiffusionTest, InitFunctionsWriteEveryByteOfTheirRecord) {
  const auto everyByte = [](auto init, auto record) {
    using R = decltype(record);
    R a, b;
    std::memset(static_cast<void*>(&a), 0x00, sizeof(R));
    std::memset(static_cast<void*>(&b), 0xA5, sizeof(R));
    init(&a);
    init(&b);
    return std::memcmp(&a, &b, sizeof(R)) == 0;
  };
  EXPECT_TRUE(everyByte(Lib().ctx_params_init, sd_ctx_params_t{}));
  EXPECT_TRUE(everyByte(Lib().img_gen_params_init, sd_img_gen_params_t{}));
  EXPECT_TRUE(everyByte(Lib().vid_gen_params_init, sd_vid_gen_params_t{}));

  sd_img_gen_params_t p;
  Lib().img_gen_params_init(&p);
  EXPECT_EQ(p.prompt, nullptr);
  EXPECT_EQ(p.width, 512);
  EXPECT_EQ(p.sample_params.sample_steps, 20);
  EXPECT_EQ(p.batch_count, 1);
}

// "name.cpp:LINE - message\n" with a one-line, non-empty message.
bool LooksLikeLibraryLogLine(const std::string& text) {
  const size_t cpp = text.find(".cpp:");
  if (cpp == std::string::npos || cpp == 0) return false;
  for (size_t i = 0; i < cpp; ++i)
    if (!(std::islower(static_cast<unsigned char>(text[i])) || text[i] == '_')) return false;
  size_t i = cpp + 5;
  const size_t digits = i;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
  if (i == digits || text.compare(i, 3, " - ") != 0) return false;
  const std::string message = text.substr(i + 3);
  return message.size() > 1 && message.back() == '\n' && message.find('\n') == message.size() - 1;
}

TEST_F(ReferenceDiffusionTest, LogLinesReadFileLineDashMessage) {
  for (const char* bad : {"api.cpp:12 - no newline", "api.cpp: - x\n", "api.c:1 - x\n", "api.cpp:1 - \n",
                          "Api.cpp:1 - x\n", "api.cpp:1 - two\nlines\n"})
    EXPECT_FALSE(LooksLikeLibraryLogLine(bad)) << bad;

  auto ctx = NewContext();
  ASSERT_NE(ctx, nullptr);
  GenerateOne(ctx.get(), Params("a red boat", 1));
  std::lock_guard guard(rec.lock);
  ASSERT_GT(rec.logs.size(), 3u);
  for (const auto& line : rec.logs) EXPECT_TRUE(LooksLikeLibraryLogLine(line.text)) << line.text;
}

TEST_F(ReferenceDiffusionTest, ModelsThatCannotBeLoadedGiveNullAndAnErrorLine) {
  TempDir dir;
  const auto write = [&](const char* name, const std::string& text) {
    WriteFileBytes(dir.Path(name), text);
    return dir.Path(name).string();
  };
  struct Case {
    std::string path;
    std::string logged;
  };
  const std::string header = "CORVINA-MODEL 1\n";
  ASSERT_EQ(::mkfifo(dir.Path("fifo").c_str(), 0600), 0);
  const Case cases[] = {
      {dir.Path("missing.cvm").string(), "No such file"},
      {write("foreign.safetensors", std::string("\x08\x00\x00\x00\x00\x00\x00\x00{}", 10)), "header"},
      {write("empty.cvm", ""), "header"},
      {write("wrong-version.cvm", "CORVINA-MODEL 2\nkind = diffusion\n"), "header"},
      {write("no-kind.cvm", header + "palette = #000000 #ffffff\n"), "no 'kind'"},
      {write("bad-kind.cvm", header + "kind = vae\n"), "kind"},
      {write("no-palette.cvm", header + "kind = diffusion\n"), "palette"},
      {write("one-colour.cvm", header + "kind = diffusion\npalette = #000000\n"), "palette"},
      {write("bad-colour.cvm", header + "kind = diffusion\npalette = #00000g #ffffff\n"), "palette"},
      {write("bad-style.cvm", header + "kind = diffusion\nstyle = cubes\npalette = #000000 #ffffff\n"), "style"},
      {write("detail.cvm", header + "kind = diffusion\npalette = #000000 #ffffff\ndetail = 1.5\n"), "detail"},
      {write("unknown-key.cvm", header + "kind = diffusion\npalette = #000000 #ffffff\ncolour = red\n"), "colour"},
      {write("twice.cvm", header + "kind = diffusion\nkind = diffusion\n"), "twice"},
      {write("tensors.cvm", header + "kind = diffusion\npalette = #000000 #ffffff\ntensors = 0\n"), "tensors"},
      {write("nine-colours.cvm", header + "kind = diffusion\npalette = #111111 #222222 #333333 #444444 #555555 "
                                          "#666666 #777777 #888888 #999999\n"),
       "palette"},
      {write("nan-detail.cvm", header + "kind = diffusion\npalette = #000000 #ffffff\ndetail = nan\n"), "detail"},
      {write("no-equals.cvm", header + "kind diffusion\n"), "key = value"},
      {write("huge.cvm", header + std::string(70000, '#')), "64 KiB"},
      {dir.Root().string(), "not a regular file"},
      {"/dev/zero", "not a regular file"},
      {dir.Path("fifo").string(), "not a regular file"},  // would block a plain read
      {ModelPath("corvina-upscaler-x2.cvm"), "upscaler model"},
  };
  for (const auto& c : cases) {
    rec.Clear();
    EXPECT_EQ(NewContext("", [&](sd_ctx_params_t& p) { p.model_path = c.path.c_str(); }), nullptr) << c.path;
    EXPECT_TRUE(rec.LoggedError()) << c.path;
    EXPECT_TRUE(rec.Logged(c.logged)) << c.path << " should log " << c.logged;
  }
  rec.Clear();
  EXPECT_EQ(Upscaler(Lib().new_upscaler_ctx(ModelPath("corvina-sd.cvm").c_str(), false, false, 1, 128)), nullptr);
  EXPECT_TRUE(rec.Logged("not an upscaler model"));

  const Case upscalers[] = {
      {write("no-scale.cvm", header + "kind = upscaler\n"), "no 'scale'"},
      {write("scale-9.cvm", header + "kind = upscaler\nscale = 9\n"), "scale"},
      {write("scale-x.cvm", header + "kind = upscaler\nscale = 2x\n"), "scale"},
      {write("filter.cvm", header + "kind = upscaler\nscale = 2\nfilter = nearest\n"), "filter"},
      {write("sharpen.cvm", header + "kind = upscaler\nscale = 2\nsharpen = 3\n"), "sharpen"},
      {write("palette.cvm", header + "kind = upscaler\nscale = 2\npalette = #000000 #ffffff\n"), "palette"},
  };
  for (const auto& c : upscalers) {
    rec.Clear();
    EXPECT_EQ(Upscaler(Lib().new_upscaler_ctx(c.path.c_str(), false, false, 1, 128)), nullptr) << c.path;
    EXPECT_TRUE(rec.Logged(c.logged)) << c.path << " should log " << c.logged;
  }
}

TEST_F(ReferenceDiffusionTest, LoadingReportsTensorProgressAndLogsFromALoaderThread) {
  auto ctx = NewContext();
  ASSERT_NE(ctx, nullptr);
  std::lock_guard guard(rec.lock);
  ASSERT_EQ(rec.progress.size(), 24u);  // the sample model's tensor count
  EXPECT_EQ(rec.progress.back().step, 24);
  const auto caller = std::this_thread::get_id();
  EXPECT_TRUE(std::any_of(rec.logs.begin(), rec.logs.end(), [&](const auto& l) { return l.thread != caller; }));
}

TEST_F(ReferenceDiffusionTest, SamePromptAndSeedGiveTheSameBytesAndEachChangeGivesAnotherPicture) {
  auto ctx = NewContext();
  ASSERT_NE(ctx, nullptr);
  const Picture base = GenerateOne(ctx.get(), Params("a red boat on the sea", 42));
  ASSERT_EQ(base.pixels.size(), 64u * 64 * 3);
  EXPECT_EQ(GenerateOne(ctx.get(), Params("a red boat on the sea", 42)), base);

  struct Variation {
    const char* what;
    std::function<void(sd_img_gen_params_t&)> change;
  };
  const Variation variations[] = {
      {"seed", [](auto& p) { p.seed = 43; }},
      {"prompt", [](auto& p) { p.prompt = "a green forest at night"; }},
      {"negative prompt", [](auto& p) { p.negative_prompt = "red"; }},
      {"clip skip", [](auto& p) { p.clip_skip = 3; }},
      {"cfg scale", [](auto& p) { p.sample_params.guidance.txt_cfg = 1.5f; }},
      {"guidance", [](auto& p) { p.sample_params.guidance.img_cfg = 0.0f; }},
      {"steps", [](auto& p) { p.sample_params.sample_steps = 1; }},
      {"sample method", [](auto& p) { p.sample_params.sample_method = LCM_SAMPLE_METHOD; }},
      {"scheduler", [](auto& p) { p.sample_params.scheduler = KARRAS_SCHEDULER; }},
  };
  for (const auto& v : variations) {
    auto p = Params("a red boat on the sea", 42);
    v.change(p);
    const Picture other = GenerateOne(ctx.get(), p);
    EXPECT_GT(Difference(base, other), 1.0) << v.what;
  }

  auto cells = NewContext("corvina-sd-cells.cvm");
  EXPECT_GT(Difference(base, GenerateOne(cells.get(), Params("a red boat on the sea", 42))), 1.0) << "model";
  auto cpuRng = NewContext("corvina-sd.cvm", [](auto& p) { p.rng_type = CPU_RNG; });
  EXPECT_GT(Difference(base, GenerateOne(cpuRng.get(), Params("a red boat on the sea", 42))), 1.0) << "rng";
}

TEST_F(ReferenceDiffusionTest, ResultsHaveTheAlignedSizeAndOneImagePerBatchItem) {
  auto ctx = NewContext();
  ASSERT_NE(ctx, nullptr);
  struct Case {
    int width, height, batch;
    uint32_t outWidth, outHeight;
  };
  for (const Case c : {Case{64, 64, 1, 64, 64}, Case{70, 50, 2, 128, 64}, Case{128, 64, 3, 128, 64},
                       Case{1, 1, 1, 64, 64}}) {
    auto p = Params("sky", 5, c.width, c.height, 2);
    p.batch_count = c.batch;
    const auto pictures = Generate(ctx.get(), p);
    ASSERT_EQ(pictures.size(), size_t(c.batch));
    for (const auto& pic : pictures) {
      EXPECT_EQ(pic.width, c.outWidth);
      EXPECT_EQ(pic.height, c.outHeight);
      EXPECT_EQ(pic.channel, 3u);
    }
  }
  // The largest seed is a seed like any other, also for the next batch item.
  auto last = Params("sky", std::numeric_limits<int64_t>::max(), 64, 64, 2);
  last.batch_count = 2;
  EXPECT_EQ(Generate(ctx.get(), last).size(), 2u);
  // Item i of a batch is the picture of seed + i.
  auto p = Params("sky", 5);
  p.batch_count = 2;
  const auto batch = Generate(ctx.get(), p);
  ASSERT_EQ(batch.size(), 2u);
  EXPECT_EQ(batch[1], GenerateOne(ctx.get(), Params("sky", 6)));
  EXPECT_NE(batch[0], batch[1]);
}

TEST_F(ReferenceDiffusionTest, ProgressFiresOncePerStepOfEveryImage) {
  auto ctx = NewContext();
  ASSERT_NE(ctx, nullptr);
  struct Case {
    int steps, batch;
    float strength;
    bool fromImage;
    int expectedPerImage;
  };
  Input init = Solid(64, 64, 3, 100);
  for (const Case c : {Case{1, 1, 0.75f, false, 1}, Case{7, 1, 0.75f, false, 7}, Case{5, 3, 0.75f, false, 5},
                       Case{20, 1, 0.5f, true, 10}, Case{20, 1, 0.01f, true, 1}}) {
    auto p = Params("sea", 1, 64, 64, c.steps);
    p.batch_count = c.batch;
    p.strength = c.strength;
    if (c.fromImage) p.init_image = init.View();
    rec.Clear();
    ASSERT_EQ(Generate(ctx.get(), p).size(), size_t(c.batch));
    std::lock_guard guard(rec.lock);
    ASSERT_EQ(rec.progress.size(), size_t(c.batch * c.expectedPerImage)) << c.steps;
    for (size_t i = 0; i < rec.progress.size(); ++i) {
      EXPECT_EQ(rec.progress[i].step, int(i % size_t(c.expectedPerImage)) + 1);
      EXPECT_EQ(rec.progress[i].steps, c.expectedPerImage);
    }
  }
}

TEST_F(ReferenceDiffusionTest, DenoisedPreviewsComeCloserToTheResultStepByStep) {
  auto ctx = NewContext();
  ASSERT_NE(ctx, nullptr);
  Lib().set_preview_callback(&Recorder::OnPreview, PREVIEW_VAE, 1, true, false, &rec);
  rec.Clear();
  const Picture result = GenerateOne(ctx.get(), Params("sunset", 3, 64, 64, 10));
  std::lock_guard guard(rec.lock);
  ASSERT_EQ(rec.previews.size(), 10u);
  double previous = 1e9;
  for (size_t i = 0; i < rec.previews.size(); ++i) {
    ASSERT_EQ(rec.previews[i].frames.size(), 1u);
    EXPECT_EQ(rec.previews[i].step, int(i) + 1);
    EXPECT_FALSE(rec.previews[i].noisy);
    const double d = Difference(rec.previews[i].frames[0], result);
    EXPECT_LT(d, previous) << "step " << i + 1;
    previous = d;
  }
  EXPECT_EQ(rec.previews.back().frames[0], result);
  EXPECT_GT(Difference(rec.previews.front().frames[0], result), 1.0);
}

TEST_F(ReferenceDiffusionTest, PreviewSettingsChooseModeIntervalAndKinds) {
  auto ctx = NewContext();
  ASSERT_NE(ctx, nullptr);
  struct Case {
    preview_t mode;
    int interval;
    bool denoised, noisy;
    size_t calls;
    uint32_t size;
  };
  for (const Case c : {Case{PREVIEW_NONE, 1, true, true, 0, 0}, Case{PREVIEW_VAE, 3, true, false, 4, 128},
                       Case{PREVIEW_TAE, 1, true, true, 24, 128}, Case{PREVIEW_PROJ, 4, false, true, 3, 16},
                       Case{PREVIEW_VAE, 0, true, false, 12, 128}, Case{preview_t(9), 1, true, true, 0, 0}}) {
    Lib().set_preview_callback(&Recorder::OnPreview, c.mode, c.interval, c.denoised, c.noisy, &rec);
    rec.Clear();
    GenerateOne(ctx.get(), Params("ocean", 8, 128, 128, 12));
    std::lock_guard guard(rec.lock);
    ASSERT_EQ(rec.previews.size(), c.calls) << int(c.mode) << " interval " << c.interval;
    for (const auto& call : rec.previews) {
      EXPECT_EQ(call.step % std::max(1, c.interval), 0);
      EXPECT_TRUE(call.noisy ? c.noisy : c.denoised);
      EXPECT_EQ(call.frames.at(0).width, c.size);
      EXPECT_EQ(call.frames.at(0).height, c.size);
    }
  }
}

TEST_F(ReferenceDiffusionTest, StrengthMovesImageToImageFurtherFromTheInit) {
  auto ctx = NewContext();
  ASSERT_NE(ctx, nullptr);
  Input init = Solid(64, 64, 3, 0);
  for (size_t i = 0; i < init.picture.pixels.size(); ++i) init.picture.pixels[i] = uint8_t((i * 7) % 251);
  double previous = -1;
  for (const float strength : {0.0f, 0.2f, 0.5f, 0.8f, 1.0f}) {
    auto p = Params("gold", 9);
    p.init_image = init.View();
    p.strength = strength;
    const Picture out = GenerateOne(ctx.get(), p);
    const double d = Difference(out, init.picture);
    if (strength == 0.0f) {
      EXPECT_EQ(out, init.picture);
    } else {
      EXPECT_GT(d, previous) << strength;
    }
    previous = d;
  }
}

TEST_F(ReferenceDiffusionTest, InpaintingChangesOnlyTheMaskedPixels) {
  auto ctx = NewContext();
  ASSERT_NE(ctx, nullptr);
  Input init = Solid(64, 64, 3, 90);
  Input mask = Solid(64, 64, 1, 0);
  for (uint32_t y = 0; y < 64; ++y)
    for (uint32_t x = 32; x < 64; ++x) mask.picture.pixels[y * 64 + x] = y < 32 ? 255 : 128;
  auto p = Params("fire", 4);
  p.init_image = init.View();
  p.mask_image = mask.View();
  p.strength = 1.0f;
  const Picture out = GenerateOne(ctx.get(), p);
  ASSERT_EQ(out.pixels.size(), init.picture.pixels.size());
  int changedFull = 0, changedHalf = 0;
  double full = 0, half = 0;
  for (uint32_t y = 0; y < 64; ++y) {
    for (uint32_t x = 0; x < 64; ++x) {
      for (int c = 0; c < 3; ++c) {
        const size_t i = (size_t(y) * 64 + x) * 3 + size_t(c);
        const int delta = std::abs(int(out.pixels[i]) - 90);
        if (x < 32) {
          ASSERT_EQ(out.pixels[i], 90) << x << "," << y;
        } else if (y < 32) {
          full += delta;
          changedFull += delta > 0;
        } else {
          half += delta;
          changedHalf += delta > 0;
        }
      }
    }
  }
  EXPECT_GT(changedFull, 32 * 32 * 3 / 2);
  EXPECT_GT(changedHalf, 32 * 32 * 3 / 2);
  EXPECT_GT(full, half);  // a gray mask repaints less than white
}

TEST_F(ReferenceDiffusionTest, ControlImageDrawsItsEdgesIntoThePicture) {
  auto ctx = NewContext();
  ASSERT_NE(ctx, nullptr);
  Input control = Solid(64, 64, 3, 0);
  for (uint32_t y = 16; y < 48; ++y)
    for (uint32_t x = 16; x < 48; ++x) std::memset(&control.picture.pixels[(y * 64 + x) * 3], 255, 3);
  const Picture plain = GenerateOne(ctx.get(), Params("snow", 2));
  auto p = Params("snow", 2);
  p.control_image = control.View();
  p.control_strength = 0.9f;
  const Picture guided = GenerateOne(ctx.get(), p);
  // Darker along the square's outline, unchanged far from it.
  const auto at = [](const Picture& pic, int x, int y) { return int(pic.pixels[(size_t(y) * 64 + x) * 3]); };
  const auto outline = [&](const Picture& pic) {
    int sum = 0;
    for (int k = 14; k <= 17; ++k) sum += at(pic, k, 32) + at(pic, 32, k) + at(pic, 60 - k, 32) + at(pic, 32, 60 - k);
    return sum;
  };
  EXPECT_LT(outline(guided), outline(plain) - 40);
  EXPECT_EQ(at(guided, 4, 4), at(plain, 4, 4));
  EXPECT_EQ(at(guided, 32, 32), at(plain, 32, 32));
}

TEST_F(ReferenceDiffusionTest, VideoFramesMoveSmoothly) {
  auto ctx = NewContext();
  ASSERT_NE(ctx, nullptr);
  sd_vid_gen_params_t p;
  Lib().vid_gen_params_init(&p);
  p.prompt = "waves on the ocean";
  p.negative_prompt = "";
  p.width = 64;
  p.height = 64;
  p.seed = 11;
  p.video_frames = 5;
  p.sample_params.sample_steps = 4;
  rec.Clear();
  int count = -1;
  const auto frames = TakeResults(Lib().generate_video(ctx.get(), &p, &count), 5);
  ASSERT_EQ(count, 5);
  ASSERT_EQ(frames.size(), 5u);
  for (size_t i = 1; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].width, 64u);
    EXPECT_GT(Difference(frames[i], frames[i - 1]), 0.2) << i;
  }
  EXPECT_GT(Difference(frames.front(), frames.back()), Difference(frames[0], frames[1]));
  std::lock_guard guard(rec.lock);
  EXPECT_EQ(rec.progress.size(), 4u);
}

TEST_F(ReferenceDiffusionTest, ContextSettingsThatForbidARequestRefuseIt) {
  auto once = NewContext("corvina-sd.cvm", [](auto& p) { p.free_params_immediately = true; });
  ASSERT_NE(once, nullptr);
  EXPECT_EQ(Generate(once.get(), Params("sky", 1)).size(), 1u);
  rec.Clear();
  EXPECT_TRUE(Generate(once.get(), Params("sky", 1)).empty());
  EXPECT_TRUE(rec.Logged("free_params_immediately"));

  auto decodeOnly = NewContext("corvina-sd.cvm", [](auto& p) { p.vae_decode_only = true; });
  ASSERT_NE(decodeOnly, nullptr);
  Input init = Solid(64, 64, 3, 10);
  auto p = Params("sky", 1);
  p.init_image = init.View();
  rec.Clear();
  EXPECT_TRUE(Generate(decodeOnly.get(), p).empty());
  EXPECT_TRUE(rec.Logged("vae_decode_only"));
  EXPECT_EQ(Generate(decodeOnly.get(), Params("sky", 1)).size(), 1u);
}

// ---- Canny ----

Picture Canny(Picture pic, float high, float low, float weak, float strong, bool inverse) {
  EXPECT_TRUE(Lib().preprocess_canny(sd_image_t{pic.width, pic.height, pic.channel, pic.pixels.data()}, high, low,
                                     weak, strong, inverse));
  return pic;
}

// A bright square (value `inner`) on a dark ground, and a faint square beside it.
Picture Squares(uint32_t channel, uint8_t bright, uint8_t faint) {
  Picture p{96, 64, channel, std::vector<uint8_t>(96 * 64 * channel, 20)};
  for (uint32_t y = 16; y < 48; ++y)
    for (uint32_t x = 0; x < 96; ++x) {
      const uint8_t v = (x >= 8 && x < 40) ? bright : (x >= 56 && x < 88) ? faint : 20;
      for (uint32_t c = 0; c < std::min(channel, 3u); ++c) p.pixels[(y * 96 + x) * channel + c] = v;
    }
  return p;
}

uint8_t At(const Picture& p, uint32_t x, uint32_t y, uint32_t c = 0) { return p.pixels[(y * p.width + x) * p.channel + c]; }

TEST_F(ReferenceDiffusionTest, CannyFindsTheOutlinesOfShapes) {
  const Picture edges = Canny(Squares(3, 220, 20), 0.08f, 0.08f, 0.8f, 1.0f, false);
  // Every row through the square crosses its left and right outline, one
  // thin line each, and nothing inside or outside.
  for (uint32_t y = 20; y < 44; ++y) {
    int onLeft = 0, onRight = 0;
    for (uint32_t x = 0; x < 96; ++x) {
      const uint8_t e = At(edges, x, y);
      ASSERT_EQ(e, At(edges, x, y, 1));
      ASSERT_EQ(e, At(edges, x, y, 2));
      if (e == 0) continue;
      if (x >= 6 && x <= 9) {
        ++onLeft;
      } else if (x >= 38 && x <= 41) {
        ++onRight;
      } else {
        ADD_FAILURE() << "edge at " << x << "," << y;
      }
      EXPECT_EQ(e, 255);
    }
    EXPECT_EQ(onLeft, 1) << y;
    EXPECT_EQ(onRight, 1) << y;
  }
}

TEST_F(ReferenceDiffusionTest, CannyThresholdsSplitStrongWeakAndNoEdges) {
  // The faint square's edges are about a fifth as strong as the bright one's.
  const Picture scene = Squares(3, 240, 60);
  struct Case {
    float high, low;
    uint8_t brightEdge, faintEdge;
  };
  for (const Case c : {Case{0.5f, 0.1f, 255, 102}, Case{0.1f, 0.05f, 255, 255}, Case{0.5f, 0.4f, 255, 0},
                       Case{1.1f, 1.05f, 0, 0}}) {
    const Picture edges = Canny(scene, c.high, c.low, 0.4f, 1.0f, false);
    EXPECT_EQ(std::max(At(edges, 8, 32), At(edges, 7, 32)), c.brightEdge) << c.high << "/" << c.low;
    EXPECT_EQ(std::max(At(edges, 56, 32), At(edges, 55, 32)), c.faintEdge) << c.high << "/" << c.low;
  }
}

TEST_F(ReferenceDiffusionTest, CannyInverseFlipsEveryPixelAndKeepsAlpha) {
  for (const uint32_t channel : {1u, 3u, 4u}) {
    Picture scene = Squares(channel, 200, 90);
    if (channel == 4)
      for (size_t i = 3; i < scene.pixels.size(); i += 4) scene.pixels[i] = 77;
    const Picture plain = Canny(scene, 0.3f, 0.1f, 0.5f, 1.0f, false);
    const Picture inverse = Canny(scene, 0.3f, 0.1f, 0.5f, 1.0f, true);
    size_t edges = 0;
    for (size_t i = 0; i < plain.pixels.size(); ++i) {
      if (channel == 4 && i % 4 == 3) {
        ASSERT_EQ(inverse.pixels[i], 77);
        continue;
      }
      ASSERT_EQ(inverse.pixels[i], 255 - plain.pixels[i]) << channel << " byte " << i;
      edges += plain.pixels[i] != 0;
    }
    EXPECT_GT(edges, 100u) << channel;
  }
}

TEST_F(ReferenceDiffusionTest, CannyAgreesWithOpenCVOnWhereEdgesAre) {
  // A smooth blob: both detectors should mark nearly the same outline.
  Picture pic{128, 128, 3, std::vector<uint8_t>(128 * 128 * 3)};
  cv::Mat gray(128, 128, CV_8UC1);
  for (int y = 0; y < 128; ++y)
    for (int x = 0; x < 128; ++x) {
      const double d = std::hypot(x - 60.0, (y - 66.0) * 1.4);
      const uint8_t v = d < 40 ? 200 : 40;
      gray.at<uint8_t>(y, x) = v;
      std::memset(&pic.pixels[(size_t(y) * 128 + x) * 3], v, 3);
    }
  const Picture ours = Canny(pic, 0.3f, 0.1f, 1.0f, 1.0f, false);
  cv::Mat blurred, theirs;
  cv::GaussianBlur(gray, blurred, cv::Size(5, 5), 1.4);
  cv::Canny(blurred, theirs, 50, 150);
  int ourCount = 0, near = 0;
  for (int y = 2; y < 126; ++y)
    for (int x = 2; x < 126; ++x) {
      if (At(ours, x, y) == 0) continue;
      ++ourCount;
      bool found = false;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) found |= theirs.at<uint8_t>(y + dy, x + dx) != 0;
      near += found;
    }
  EXPECT_GT(ourCount, 150);
  EXPECT_GE(near, ourCount * 95 / 100);
}

// ---- Upscaling ----

TEST_F(ReferenceDiffusionTest, UpscaleUsesTheModelsOwnFactor) {
  struct Case {
    const char* model;
    uint32_t askedFactor, scale;
    uint32_t inChannel;
  };
  for (const Case c : {Case{"corvina-upscaler-x2.cvm", 4, 2, 3}, Case{"corvina-upscaler-x2.cvm", 0, 2, 1},
                       Case{"corvina-upscaler-x4.cvm", 2, 4, 4}}) {
    Upscaler up(Lib().new_upscaler_ctx(ModelPath(c.model).c_str(), false, false, 2, 16));
    ASSERT_NE(up, nullptr) << c.model;
    Input in = Solid(40, 30, c.inChannel, 128);
    rec.Clear();
    const Picture out = TakeImage(Lib().upscale(up.get(), in.View(), c.askedFactor));
    EXPECT_EQ(out.width, 40 * c.scale);
    EXPECT_EQ(out.height, 30 * c.scale);
    EXPECT_EQ(out.channel, 3u);
    // A flat picture stays flat through any filter.
    ASSERT_EQ(out.pixels.size(), size_t(out.width) * out.height * 3);
    EXPECT_TRUE(std::all_of(out.pixels.begin(), out.pixels.end(), [](uint8_t v) { return v == 128; }));
    std::lock_guard guard(rec.lock);
    // One progress report per band of 16 input rows.
    EXPECT_EQ(rec.progress.size(), 2u);
  }
}
}  // namespace

namespace {

TEST_F(ReferenceDiffusionTest, UpscaledPicturesAreAsGoodAsOpenCVsAndBetterThanNearest) {
  // A detailed picture, shrunk by 2; enlarging it again should come back
  // close to the original.
  auto ctx = NewContext("corvina-sd-cells.cvm");
  ASSERT_NE(ctx, nullptr);
  auto p = Params("a purple and gold marble", 12, 256, 256, 20);
  p.sample_params.sample_method = EULER_SAMPLE_METHOD;
  const Picture original = GenerateOne(ctx.get(), p);
  ASSERT_EQ(original.width, 256u);
  cv::Mat full(256, 256, CV_8UC3, const_cast<uint8_t*>(original.pixels.data())), half;
  cv::resize(full, half, cv::Size(128, 128), 0, 0, cv::INTER_AREA);

  const auto psnr = [](const cv::Mat& a, const cv::Mat& b) { return cv::PSNR(a, b); };
  Upscaler up(Lib().new_upscaler_ctx(ModelPath("corvina-upscaler-x2.cvm").c_str(), false, false, 1, 128));
  ASSERT_NE(up, nullptr);
  Picture ours = TakeImage(Lib().upscale(up.get(), sd_image_t{128, 128, 3, half.data}, 2));
  ASSERT_EQ(ours.width, 256u);
  const cv::Mat oursMat(256, 256, CV_8UC3, ours.pixels.data());
  cv::Mat lanczos, cubic, nearest;
  cv::resize(half, lanczos, cv::Size(256, 256), 0, 0, cv::INTER_LANCZOS4);
  cv::resize(half, cubic, cv::Size(256, 256), 0, 0, cv::INTER_CUBIC);
  cv::resize(half, nearest, cv::Size(256, 256), 0, 0, cv::INTER_NEAREST);

  EXPECT_GT(psnr(oursMat, lanczos), 45.0);  // nearly the same filter
  EXPECT_GT(psnr(oursMat, full), psnr(nearest, full) + 3.0);
  EXPECT_GT(psnr(oursMat, full), psnr(cubic, full) - 0.5);
}

TEST_F(ReferenceDiffusionTest, BadArgumentsFailWithALogLineAndNeverCrash) {
  auto ctx = NewContext();
  ASSERT_NE(ctx, nullptr);
  Upscaler up(Lib().new_upscaler_ctx(ModelPath("corvina-upscaler-x2.cvm").c_str(), false, false, 1, 128));
  ASSERT_NE(up, nullptr);
  Input rgb = Solid(16, 16, 3, 50);
  int stranger = 0;
  const auto generate = [&](const std::function<void(sd_img_gen_params_t&)>& spoil) {
    auto p = Params("sky", 1);
    spoil(p);
    return Lib().generate_image(ctx.get(), &p) == nullptr;
  };
  const auto video = [&](const std::function<void(sd_vid_gen_params_t&)>& spoil) {
    sd_vid_gen_params_t p;
    Lib().vid_gen_params_init(&p);
    p.prompt = "sky";
    p.negative_prompt = "";
    p.width = p.height = 64;
    spoil(p);
    int count = 7;
    const bool refused = Lib().generate_video(ctx.get(), &p, &count) == nullptr;
    return refused && count == 0;
  };
  const auto canny = [&](sd_image_t image, float high = 0.1f) {
    return !Lib().preprocess_canny(image, high, 0.1f, 0.5f, 1.0f, false);
  };
  const auto upscaled = [&](void* with, sd_image_t image) {
    const sd_image_t out = Lib().upscale(with, image, 2);
    return out.data == nullptr && out.width == 0 && out.height == 0;
  };
  uint8_t pixel[4] = {};
  const std::string sd = ModelPath("corvina-sd.cvm");

  struct Case {
    const char* what;
    std::function<bool()> refused;
  };
  const Case cases[] = {
      {"new_sd_ctx(null)", [&] { return Lib().new_sd_ctx(nullptr) == nullptr; }},
      {"no model path", [&] { return NewContext("", [](auto& p) { p.model_path = nullptr; }) == nullptr; }},
      {"generate_image(null context)", [&] { auto p = Params("sky", 1); return !Lib().generate_image(nullptr, &p); }},
      {"generate_image(stranger)", [&] { auto p = Params("sky", 1); return !Lib().generate_image(&stranger, &p); }},
      {"generate_image(null params)", [&] { return Lib().generate_image(ctx.get(), nullptr) == nullptr; }},
      {"null prompt", [&] { return generate([](auto& p) { p.prompt = nullptr; }); }},
      {"null negative prompt", [&] { return generate([](auto& p) { p.negative_prompt = nullptr; }); }},
      {"width 0", [&] { return generate([](auto& p) { p.width = 0; }); }},
      {"height -5", [&] { return generate([](auto& p) { p.height = -5; }); }},
      {"width 100000", [&] { return generate([](auto& p) { p.width = 100000; }); }},
      {"8192 x 8192", [&] { return generate([](auto& p) { p.width = p.height = 8192; }); }},
      {"batch 0", [&] { return generate([](auto& p) { p.batch_count = 0; }); }},
      {"batch 2^31-1", [&] { return generate([](auto& p) { p.batch_count = 0x7FFFFFFF; }); }},
      {"steps 0", [&] { return generate([](auto& p) { p.sample_params.sample_steps = 0; }); }},
      {"steps -1", [&] { return generate([](auto& p) { p.sample_params.sample_steps = -1; }); }},
      {"loras without array", [&] { return generate([](auto& p) { p.lora_count = 2; }); }},
      {"ref images without array", [&] { return generate([](auto& p) { p.ref_images_count = 1; }); }},
      {"skip layers without array", [&] { return generate([](auto& p) { p.sample_params.guidance.slg.layer_count = 3; }); }},
      {"init image of 2 channels", [&] { return generate([&](auto& p) { p.init_image = {16, 16, 2, rgb.picture.pixels.data()}; }); }},
      {"init image 0 wide", [&] { return generate([&](auto& p) { p.init_image = {0, 16, 3, rgb.picture.pixels.data()}; }); }},
      {"mask of 5 channels", [&] { return generate([&](auto& p) { p.init_image = rgb.View(); p.mask_image = {16, 16, 5, rgb.picture.pixels.data()}; }); }},
      {"control image 0 high", [&] { return generate([&](auto& p) { p.control_image = {16, 0, 3, rgb.picture.pixels.data()}; }); }},
      {"generate_video(null context)", [&] { int n = 3; return !Lib().generate_video(nullptr, nullptr, &n) && n == 0; }},
      {"generate_video(null count)", [&] { sd_vid_gen_params_t p; Lib().vid_gen_params_init(&p); return !Lib().generate_video(ctx.get(), &p, nullptr); }},
      {"video with null params", [&] { int n = 3; return !Lib().generate_video(ctx.get(), nullptr, &n) && n == 0; }},
      {"video frames 0", [&] { return video([](auto& p) { p.video_frames = 0; }); }},
      {"video frames 10^9", [&] { return video([](auto& p) { p.video_frames = 1000000000; }); }},
      {"video frames past working memory", [&] { return video([](auto& p) { p.width = p.height = 2048; p.video_frames = 20; }); }},
      {"video null prompt", [&] { return video([](auto& p) { p.prompt = nullptr; }); }},
      {"video steps 0", [&] { return video([](auto& p) { p.sample_params.sample_steps = 0; }); }},
      {"video control frames without array", [&] { return video([](auto& p) { p.control_frames_size = 4; }); }},
      {"new_upscaler_ctx(null)", [&] { return Lib().new_upscaler_ctx(nullptr, false, false, 1, 128) == nullptr; }},
      {"new_upscaler_ctx(\"\")", [&] { return Lib().new_upscaler_ctx("", false, false, 1, 128) == nullptr; }},
      {"upscaler tile 0", [&] { return Lib().new_upscaler_ctx(ModelPath("corvina-upscaler-x2.cvm").c_str(), false, false, 1, 0) == nullptr; }},
      {"upscale(null context)", [&] { return upscaled(nullptr, rgb.View()); }},
      {"upscale(stranger)", [&] { return upscaled(&stranger, rgb.View()); }},
      {"upscale(diffusion context)", [&] { return upscaled(ctx.get(), rgb.View()); }},
      {"upscale null data", [&] { return upscaled(up.get(), {16, 16, 3, nullptr}); }},
      {"upscale 0 wide", [&] { return upscaled(up.get(), {0, 16, 3, pixel}); }},
      {"upscale 2 channels", [&] { return upscaled(up.get(), {2, 2, 2, pixel}); }},
      {"upscale 9000 wide", [&] { return upscaled(up.get(), {9000, 1, 1, pixel}); }},
      {"canny null data", [&] { return canny({16, 16, 3, nullptr}); }},
      {"canny 0 high", [&] { return canny({1, 0, 3, pixel}); }},
      {"canny 0 channels", [&] { return canny({1, 1, 0, pixel}); }},
      {"canny 2 channels", [&] { return canny({1, 1, 2, pixel}); }},
      {"canny NaN threshold", [&] { return canny({1, 1, 3, pixel}, std::numeric_limits<float>::quiet_NaN()); }},
  };
  for (const auto& c : cases) {
    rec.Clear();
    EXPECT_TRUE(c.refused()) << c.what;
    EXPECT_TRUE(rec.LoggedError()) << c.what;
  }

  // Calls with nothing to report do nothing, quietly.
  rec.Clear();
  Lib().free_sd_ctx(nullptr);
  Lib().free_upscaler_ctx(nullptr);
  Lib().ctx_params_init(nullptr);
  Lib().img_gen_params_init(nullptr);
  Lib().vid_gen_params_init(nullptr);
  EXPECT_TRUE(rec.logs.empty());
  // A pointer the library never gave out is refused, not freed.
  for (const auto& wrongFree : std::initializer_list<std::function<void()>>{
           [&] { Lib().free_sd_ctx(&stranger); }, [&] { Lib().free_sd_ctx(up.get()); },
           [&] { Lib().free_upscaler_ctx(ctx.get()); }, [&] { Lib().free_upscaler_ctx(&stranger); }}) {
    rec.Clear();
    wrongFree();
    EXPECT_TRUE(rec.LoggedError());
  }
  // Both real contexts survived all of that.
  EXPECT_EQ(Generate(ctx.get(), Params("sky", 1)).size(), 1u);
  EXPECT_EQ(TakeImage(Lib().upscale(up.get(), rgb.View(), 2)).width, 32u);
}

TEST_F(ReferenceDiffusionTest, AnyPositiveTileSizeWorks) {
  for (const int tile : {1, 7, 128, std::numeric_limits<int>::max()}) {
    Upscaler up(Lib().new_upscaler_ctx(ModelPath("corvina-upscaler-x4.cvm").c_str(), false, false, 1, tile));
    ASSERT_NE(up, nullptr) << tile;
    Input in = Solid(9, 5, 3, 40);
    rec.Clear();
    EXPECT_EQ(TakeImage(Lib().upscale(up.get(), in.View(), 4)).height, 20u) << tile;
    std::lock_guard guard(rec.lock);
    EXPECT_EQ(rec.progress.size(), size_t(tile == 1 ? 5 : 1)) << tile;
  }
}

TEST_F(ReferenceDiffusionTest, TinyAndOddPicturesAreHandled) {
  // Sizes the real library cannot survive in canny, and odd channel counts.
  for (const auto& [w, h] : {std::pair{1u, 1u}, {2u, 1u}, {1u, 7u}, {5u, 3u}, {62u, 62u}, {63u, 63u}}) {
    Picture pic{w, h, 3, std::vector<uint8_t>(size_t(w) * h * 3)};
    for (size_t i = 0; i < pic.pixels.size(); ++i) pic.pixels[i] = uint8_t(i * 37);
    EXPECT_TRUE(Lib().preprocess_canny(sd_image_t{w, h, 3, pic.pixels.data()}, 0.08f, 0.08f, 0.8f, 1.0f, false)) << w;
    Upscaler up(Lib().new_upscaler_ctx(ModelPath("corvina-upscaler-x4.cvm").c_str(), false, false, 1, 128));
    EXPECT_EQ(TakeImage(Lib().upscale(up.get(), sd_image_t{w, h, 3, pic.pixels.data()}, 4)).height, h * 4);
  }
  auto ctx = NewContext();
  Input gray = Solid(3, 5, 1, 200);
  auto p = Params("sky", 1);
  p.init_image = gray.View();  // resized to the output and widened to RGB
  p.strength = 0.0f;
  const Picture out = GenerateOne(ctx.get(), p);
  ASSERT_EQ(out.pixels.size(), 64u * 64 * 3);
  EXPECT_TRUE(std::all_of(out.pixels.begin(), out.pixels.end(), [](uint8_t v) { return v == 200; }));
}

}  // namespace

namespace {

// A host may free a context from inside one of its callbacks (a component
// destroyed in its progress handler): the call in progress finishes on its own
// reference, later calls are refused.
struct Freeing {
  const ReferenceDiffusion* lib = nullptr;
  void* handle = nullptr;
  bool upscaler = false;
  int calls = 0;
  static void OnProgress(int, int, float, void* data) {
    auto* self = static_cast<Freeing*>(data);
    if (self->calls++ != 0) return;
    if (self->upscaler) {
      self->lib->free_upscaler_ctx(self->handle);
    } else {
      self->lib->free_sd_ctx(self->handle);
    }
  }
};

TEST_F(ReferenceDiffusionTest, AContextFreedFromItsOwnCallbackOutlivesTheCallInProgress) {
  const std::string model = ModelPath("corvina-sd.cvm");
  sd_ctx_params_t cp;
  Lib().ctx_params_init(&cp);
  cp.model_path = model.c_str();
  cp.free_params_immediately = false;
  void* ctx = Lib().new_sd_ctx(&cp);
  ASSERT_NE(ctx, nullptr);
  Freeing freeing{&Lib(), ctx, false, 0};
  Lib().set_progress_callback(&Freeing::OnProgress, &freeing);
  const auto during = Generate(ctx, Params("sky", 1, 64, 64, 5));
  ASSERT_EQ(during.size(), 1u);
  EXPECT_EQ(during[0].width, 64u);
  EXPECT_EQ(freeing.calls, 5);
  rec.Clear();
  EXPECT_TRUE(Generate(ctx, Params("sky", 1)).empty());
  EXPECT_TRUE(rec.Logged("not a live context"));

  void* up = Lib().new_upscaler_ctx(ModelPath("corvina-upscaler-x2.cvm").c_str(), false, false, 1, 8);
  ASSERT_NE(up, nullptr);
  Freeing freeingUp{&Lib(), up, true, 0};
  Lib().set_progress_callback(&Freeing::OnProgress, &freeingUp);
  Input in = Solid(16, 32, 3, 9);
  EXPECT_EQ(TakeImage(Lib().upscale(up, in.View(), 2)).height, 64u);
  EXPECT_EQ(freeingUp.calls, 4);
  EXPECT_EQ(TakeImage(Lib().upscale(up, in.View(), 2)).height, 0u);
}

// Callbacks may call back into the library: registrations are never held
// locked while a callback runs.
struct Reentrant {
  const ReferenceDiffusion* lib = nullptr;
  Recorder* rec = nullptr;
  static void OnLog(sd_log_level_t level, const char* text, void* data) {
    auto* self = static_cast<Reentrant*>(data);
    self->lib->set_log_callback(&Reentrant::OnLog, self);
    self->lib->set_preview_callback(nullptr, PREVIEW_NONE, 1, true, false, nullptr);
    Recorder::OnLog(level, text, self->rec);
  }
};

TEST_F(ReferenceDiffusionTest, CallbacksMayReRegisterFromInsideTheLibrary) {
  Reentrant reentrant{&Lib(), &rec};
  Lib().set_log_callback(&Reentrant::OnLog, &reentrant);
  auto ctx = NewContext();
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(Generate(ctx.get(), Params("sky", 1)).size(), 1u);
  EXPECT_TRUE(rec.Logged("generate_image completed"));
}

TEST_F(ReferenceDiffusionTest, LongLogLinesAreNotCut) {
  TempDir dir;
  const std::string name(900, 'n');
  const std::string path = dir.Path(name + ".cvm").string() + "/" + name + ".cvm";
  EXPECT_EQ(NewContext("", [&](sd_ctx_params_t& p) { p.model_path = path.c_str(); }), nullptr);
  EXPECT_TRUE(rec.Logged(path + "': "));
}

}  // namespace

namespace {

TEST_F(ReferenceDiffusionTest, EveryStyleOfAModelFilePaintsItsOwnPicture) {
  TempDir dir;
  std::vector<Picture> pictures;
  for (const char* style : {"waves", "cells", "rings", "marble"}) {
    const auto path = dir.Path(std::string(style) + ".cvm");
    WriteFileBytes(path, std::string("CORVINA-MODEL 1\n# comment\n\nkind = diffusion\nstyle = ") + style +
                             "\npalette = #202020 #808080 #e0e0e0\ndetail = 1\ntensors = 3\n");
    auto ctx = NewContext("", [&](sd_ctx_params_t& p) { p.model_path = path.c_str(); });
    ASSERT_NE(ctx, nullptr) << style;
    pictures.push_back(GenerateOne(ctx.get(), Params("", 5)));
  }
  for (size_t i = 0; i < pictures.size(); ++i)
    for (size_t j = i + 1; j < pictures.size(); ++j) EXPECT_GT(Difference(pictures[i], pictures[j]), 1.0) << i << j;
}

}  // namespace
