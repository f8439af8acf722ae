// TFMXStableDiffusion against a real shared build of stable-diffusion.cpp,
// driven as an application drives it: properties, requests, events pumped on
// the main thread. Every test skips unless CORVINA_REAL_SD_LIB names the
// library file. The models are random (tiny_models.h): they prove that the
// component and the library agree on layouts, call order, strings, ownership
// and threads, not that pictures look like anything.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "binding/stablediffusion_library.h"
#include "framework/graphics.h"
#include "framework/threads.h"
#include "generation/sd_fmx.h"
#include "tests/support/bitmap_support.h"
#include "tests/support/test_support.h"
#include "tiny_models.h"

namespace {

using namespace std::chrono_literals;
using namespace Corvina::RealTests;
using Corvina::Testing::MessageOf;
using Corvina::Testing::Pixels;
using Corvina::Testing::TempDir;
using Fmx::Graphics::TBitmap;
using Sd::Fmx::TFMXStableDiffusion;
using System::String;
using System::UTF8ToString;
using System::Classes::TThread;
using System::Uitypes::TAlphaColor;

namespace fs = std::filesystem;

// The library's threads spin and the machine is shared: waits are generous and
// the figures printed below vary with load.
constexpr auto kRequestTimeout = 900s;

const fs::path kModelDir = CORVINA_REAL_MODEL_DIR;

std::optional<fs::path> RealLibraryFile() {
  const char* value = std::getenv("CORVINA_REAL_SD_LIB");
  if (value == nullptr || *value == '\0') return std::nullopt;
  return fs::path(value);
}

// SD_DLL_PATH names a folder and the file name is fixed, so a library file of
// another name is reached through a link of the right name in the build folder
// (made beside and renamed into place: test processes run side by side). On
// Windows a symbolic link needs a privilege: the link is a copy there.
String FolderFor(const fs::path& library) {
  fs::path folder = library.parent_path();
  const fs::path name(Stablediffusion::SD_DLL_NAME);
  if (library.filename() != name) {
    folder = kModelDir / "lib";
    fs::create_directories(folder);
    const fs::path link = folder / name;
    const fs::path target = fs::absolute(library);
    const fs::path fresh = folder / ("link." + std::to_string(::getpid()));
#ifdef _WIN32
    if (!fs::exists(link) || fs::file_size(link) != fs::file_size(target) ||
        fs::last_write_time(link) < fs::last_write_time(target)) {
      fs::copy_file(target, fresh, fs::copy_options::overwrite_existing);
      fs::rename(fresh, link);
    }
#else
    std::error_code ec;
    if (fs::read_symlink(link, ec) != target) {
      fs::remove(fresh, ec);
      fs::create_symlink(target, fresh);
      fs::rename(fresh, link);
    }
#endif
  }
  return String((fs::absolute(folder) / "").u16string());
}

fs::path TinySd1Model() { return EnsureModel(kModelDir / "tiny-sd1-decoder-v1.gguf", TinySd1Tensors(false), 1); }
// The same network with the autoencoder's encoder, which image-to-image needs.
fs::path TinySd1EncoderModel() {
  return EnsureModel(kModelDir / "tiny-sd1-encoder-v1.gguf", TinySd1Tensors(true), 1);
}
fs::path TinyEsrgan(int scale) {
  return EnsureModel(kModelDir / ("tiny-esrgan-x" + std::to_string(scale) + "-v1.gguf"), TinyEsrganTensors(scale), 2);
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Figures for the README: one line per case, easy to grep from ctest output.
void Figure(const std::string& what, double seconds) {
  std::cout << "[ figure ] " << what << ": " << seconds << " s" << std::endl;
  ::testing::Test::RecordProperty(what, std::to_string(seconds));
}

// Everything the component reported, each handler checking it runs on the
// main thread, as the component promises.
struct Events {
  std::vector<std::string> logs;
  struct Progress {
    int step, steps;
    float time;
  };
  std::vector<Progress> progress;
  std::vector<std::pair<int, std::vector<std::pair<int, int>>>> previews;  // step, frame sizes
  std::optional<std::vector<std::unique_ptr<TBitmap>>> outputs;
  std::optional<std::string> error;
  int offMainThread = 0;

  void Attach(TFMXStableDiffusion& sd) {
    const auto onMain = [this] {
      if (!TThread::IsMainThread()) ++offMainThread;
    };
    sd.SetOnLog([this, onMain](auto*, const String& text) {
      onMain();
      logs.push_back(System::UTF8Encode(text));
    });
    sd.SetOnProgress([this, onMain](auto*, int step, int steps, float time) {
      onMain();
      progress.push_back({step, steps, time});
    });
    sd.SetOnPreview([this, onMain](auto*, int step, auto&& frames) {
      onMain();
      std::vector<std::pair<int, int>> sizes;
      for (const auto& f : frames) sizes.emplace_back(f->Width(), f->Height());
      previews.emplace_back(step, sizes);
    });
    sd.SetOnComplete([this, onMain](auto*, auto&& bitmaps) {
      onMain();
      outputs.emplace(std::move(bitmaps));
    });
    sd.SetOnError([this, onMain](auto*, const String& msg) {
      onMain();
      error = System::UTF8Encode(msg);
    });
  }

  bool Ended() const { return outputs.has_value() || error.has_value(); }

  // Pumps the main thread until the request has ended.
  bool WaitForEnd() {
    const auto deadline = std::chrono::steady_clock::now() + kRequestTimeout;
    while (!Ended() && std::chrono::steady_clock::now() < deadline) TThread::CheckSynchronize(20);
    return Ended();
  }

  bool Logged(const std::string& part) const {
    for (const auto& l : logs)
      if (l.find(part) != std::string::npos) return true;
    return false;
  }
};

class RealLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto library = RealLibraryFile();
    if (!library)
      GTEST_SKIP() << "CORVINA_REAL_SD_LIB is not set: it names a shared build of stable-diffusion.cpp ("
                   << fs::path(Stablediffusion::SD_DLL_NAME).string() << ") that this suite drives; skipped";
    ASSERT_TRUE(fs::exists(*library)) << "CORVINA_REAL_SD_LIB names " << *library << ", which does not exist";
    Stablediffusion::SD_DLL_PATH = FolderFor(*library);
  }

  // Constructing the component loads the library (once per process).
  std::unique_ptr<TFMXStableDiffusion> MakeComponent() { return std::make_unique<TFMXStableDiffusion>(nullptr); }
};

// "file.cpp:LINE - message" (padded before the dash), one line with its newline.
bool IsLibraryLogLine(const std::string& l) {
  const auto colon = l.find(':');
  if (colon == std::string::npos || l.empty() || l.back() != '\n') return false;
  const std::string file = l.substr(0, colon);
  const bool source = file.ends_with(".cpp") || file.ends_with(".hpp") || file.ends_with(".h");
  std::size_t i = colon + 1;
  const std::size_t digits = i;
  while (i < l.size() && std::isdigit(static_cast<unsigned char>(l[i]))) ++i;
  if (!source || i == digits) return false;
  while (i < l.size() && l[i] == ' ') ++i;
  return l.compare(i, 2, "- ") == 0 && l.find('\n') == l.size() - 1;
}

// A picture with one vertical edge: black left of w/2, white from there on.
std::unique_ptr<TBitmap> EdgePicture(int w, int h) {
  auto bmp = std::make_unique<TBitmap>(w, h);
  std::vector<TAlphaColor> pixels(static_cast<std::size_t>(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) pixels[static_cast<std::size_t>(y) * w + x] = x >= w / 2 ? 0xFFFFFFFFu : 0xFF000000u;
  Corvina::Testing::Fill(*bmp, pixels);
  return bmp;
}

TEST_F(RealLibrary, CannyOfPicturesOfEverySizeKeepsTheSizeAndMarksOnlyTheEdge) {
  struct Size {
    int w, h;
  };
  // The library sizes its work memory by the area and crashes below about
  // 3900 pixels (62x62, 64x60 and 128x30 crash; 63x63 and 128x31 work): the
  // component must pad every picture narrower or lower than 64.
  const std::vector<Size> sizes = {{64, 64}, {63, 63}, {128, 31}, {200, 100}, {62, 62}, {64, 60},
                                   {128, 30}, {200, 10}, {40, 90}, {32, 32},  {16, 16}, {8, 120},
                                   {2, 2},    {1, 1}};
  auto sd = MakeComponent();
  for (const auto& s : sizes) {
    SCOPED_TRACE(std::to_string(s.w) + "x" + std::to_string(s.h));
    const auto picture = EdgePicture(s.w, s.h);
    const auto started = std::chrono::steady_clock::now();
    std::unique_ptr<TBitmap> edges;
    ASSERT_NO_THROW(edges = Sd::Fmx::GetCannyOfBitmap(*picture));
    Figure("canny " + std::to_string(s.w) + "x" + std::to_string(s.h), Seconds(std::chrono::steady_clock::now() - started));
    ASSERT_NE(edges, nullptr);
    ASSERT_EQ(edges->Width(), s.w);
    ASSERT_EQ(edges->Height(), s.h);
    const auto px = Pixels(*edges);
    int edgePixels = 0;
    for (int y = 0; y < s.h; ++y)
      for (int x = 0; x < s.w; ++x) {
        const TAlphaColor c = px[static_cast<std::size_t>(y) * s.w + x];
        const unsigned r = (c >> 16) & 0xFF, g = (c >> 8) & 0xFF, b = c & 0xFF;
        ASSERT_EQ(c >> 24, 0xFFu) << "(" << x << "," << y << ") not opaque";
        ASSERT_TRUE(r == g && g == b) << "(" << x << "," << y << ") not gray";
        if (std::abs(x - s.w / 2) > 4) {
          ASSERT_EQ(r, 0u) << "(" << x << "," << y << ") marked far from the edge";
        }
        if (r == 255) ++edgePixels;
      }
    // A picture of one column has no edge; every wider one shows it on its
    // inner rows (the library leaves the outermost rows blank).
    if (s.w >= 2 && s.h >= 3) {
      EXPECT_GE(edgePixels, s.h - 2) << "the edge is missing";
    }
  }
}

TEST_F(RealLibrary, FailedActivationEndsWithItsMessageAndTheLibrarysOwnLogLines) {
  TempDir dir;
  const fs::path text = dir.Path("notes.txt");
  Corvina::Testing::WriteFileBytes(text, "not a model\n");
  struct Row {
    const char* what;
    fs::path model;
    bool viaRequest;  // activation by Text2Image on the worker, else SetActive on the main thread
    std::string message;
    std::vector<std::string> logged;
  };
  const std::vector<Row> rows = {
      {"missing file, SetActive", dir.Path("absent.gguf"), false, "Model File does not exist", {}},
      {"text file, SetActive", text, false, "Failed to init Stable Diffusion",
       {"unknown format", "get sd version from file failed"}},
      {"upscaler model, SetActive", TinyEsrgan(2), false, "Failed to init Stable Diffusion",
       {"using gguf format", "get sd version from file failed"}},
      {"missing file, Text2Image", dir.Path("absent.gguf"), true, "Model File does not exist", {}},
      {"text file, Text2Image", text, true, "Failed to init Stable Diffusion", {"unknown format"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    auto sd = MakeComponent();
    Events events;
    events.Attach(*sd);
    sd->SetModelPath(UTF8ToString(row.model.string()));
    if (row.viaRequest) {
      sd->Text2Image(u"a fox", u"", nullptr);
      ASSERT_TRUE(events.WaitForEnd());
      ASSERT_TRUE(events.error.has_value()) << "ended with OnComplete";
      EXPECT_EQ(*events.error, row.message);
    } else {
      // Log lines of an activation on the main thread arrive before SetActive returns.
      EXPECT_EQ(System::UTF8Encode(MessageOf([&] { sd->SetActive(true); })), row.message);
    }
    EXPECT_FALSE(sd->Active());
    for (const auto& part : row.logged) EXPECT_TRUE(events.Logged(part)) << "no log line with: " << part;
    if (row.logged.empty()) {
      EXPECT_TRUE(events.logs.empty()) << "the library was asked for a file that is not there";
    }
    for (const auto& l : events.logs) EXPECT_TRUE(IsLibraryLogLine(l)) << "log line: " << l;
    EXPECT_EQ(events.offMainThread, 0);
  }
}

TEST_F(RealLibrary, UpscaleDeliversOnePictureAtTheModelsOwnFactor) {
  struct Row {
    const char* what;
    std::optional<int> modelScale;  // none: a model file that is not there
    int w, h;
    unsigned askedScale;
    std::optional<std::pair<int, int>> delivered;
    std::string error;
  };
  // The library ignores the factor it is given: the model's own scale decides.
  const std::vector<Row> rows = {
      {"x2 model asked for 4", 2, 40, 30, 4, std::pair{80, 60}, ""},
      {"x2 model again, asked for 2", 2, 24, 24, 2, std::pair{48, 48}, ""},
      {"x1 model", 1, 20, 10, 2, std::pair{20, 10}, ""},
      {"missing model", std::nullopt, 20, 10, 2, std::nullopt, "Failed to load upscale model"},
  };
  TempDir dir;
  auto sd = MakeComponent();  // never activated: upscaling needs no diffusion context
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Events events;
    events.Attach(*sd);
    const fs::path model = row.modelScale ? TinyEsrgan(*row.modelScale) : dir.Path("absent.gguf");
    auto input = EdgePicture(row.w, row.h);
    const auto started = std::chrono::steady_clock::now();
    sd->UpscaleImage(input.get(), UTF8ToString(model.string()), row.askedScale);
    input.reset();  // the request converted it before returning
    ASSERT_TRUE(events.WaitForEnd());
    Figure(std::string("upscale ") + row.what, Seconds(std::chrono::steady_clock::now() - started));
    if (row.delivered) {
      ASSERT_FALSE(events.error.has_value()) << *events.error;
      ASSERT_EQ(events.outputs->size(), 1u);
      const auto& out = *(*events.outputs)[0];
      EXPECT_EQ(std::pair(out.Width(), out.Height()), *row.delivered);
      for (TAlphaColor c : Pixels(out)) ASSERT_EQ(c >> 24, 0xFFu) << "a pixel was left out";
      EXPECT_TRUE(events.Logged("esrgan model loaded with scale=" + std::to_string(*row.modelScale)));
    } else {
      ASSERT_TRUE(events.error.has_value());
      EXPECT_EQ(*events.error, row.error);
    }
    EXPECT_FALSE(sd->Active());
    EXPECT_EQ(events.offMainThread, 0);
  }
}

// What the library cannot survive must never reach it: it divides by zero on a
// picture without pixels. Each row must end in a clear failure, on the calling
// thread or through OnError, with the process alive.
TEST_F(RealLibrary, PicturesWithoutPixelsAreRefusedBeforeTheLibrarySeesThem) {
  struct Row {
    const char* what;
    int w, h;
  };
  const std::vector<Row> rows = {{"0x0", 0, 0}, {"0x5", 0, 5}, {"7x0", 7, 0}};
  auto sd = MakeComponent();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    TBitmap empty(row.w, row.h);
    EXPECT_NE(MessageOf([&] { Sd::Fmx::GetCannyOfBitmap(empty); }), u"<nothing raised>") << "canny";

    Events events;
    events.Attach(*sd);
    const String raised =
        MessageOf([&] { sd->UpscaleImage(&empty, UTF8ToString(TinyEsrgan(2).string()), 2); });
    if (raised == u"<nothing raised>") {
      ASSERT_TRUE(events.WaitForEnd());
      EXPECT_TRUE(events.error.has_value()) << "an empty picture was upscaled";
    }
  }
}

// Handlers are the application's code and may throw; the library must never
// see the exception, and the request must end with it.
TEST_F(RealLibrary, AThrowingHandlerEndsTheRequestWithItsMessage) {
  struct Row {
    const char* what;
    bool throwFromLog;  // else from OnProgress
  };
  const std::vector<Row> rows = {{"OnLog throws", true}, {"OnProgress throws", false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    auto sd = MakeComponent();
    Events events;
    events.Attach(*sd);
    int calls = 0;
    const auto fail = [&] {
      if (++calls == 1) throw System::Sysutils::Exception(u"handler gave up");
    };
    if (row.throwFromLog)
      sd->SetOnLog([&](auto*, const String&) { fail(); });
    else
      sd->SetOnProgress([&](auto*, int, int, float) { fail(); });
    auto input = EdgePicture(24, 16);
    sd->UpscaleImage(input.get(), UTF8ToString(TinyEsrgan(2).string()), 2);
    ASSERT_TRUE(events.WaitForEnd());
    EXPECT_GE(calls, 1) << "the handler was never called";
    ASSERT_TRUE(events.error.has_value()) << "ended with OnComplete";
    EXPECT_EQ(*events.error, "handler gave up");
  }
}

// Requests of one component run one after another in call order, even when
// the application starts the next before the first has ended.
TEST_F(RealLibrary, BackToBackUpscalesEndInCallOrderWithTheirOwnModels) {
  auto sd = MakeComponent();
  std::vector<std::pair<int, int>> delivered;
  std::vector<std::string> errors;
  sd->SetOnComplete([&](auto*, auto&& bitmaps) { delivered.emplace_back(bitmaps[0]->Width(), bitmaps[0]->Height()); });
  sd->SetOnError([&](auto*, const String& msg) { errors.push_back(System::UTF8Encode(msg)); });
  auto a = EdgePicture(20, 10), b = EdgePicture(30, 12), c = EdgePicture(8, 8);
  sd->UpscaleImage(a.get(), UTF8ToString(TinyEsrgan(2).string()), 2);
  sd->UpscaleImage(b.get(), UTF8ToString(TinyEsrgan(1).string()), 2);
  sd->UpscaleImage(c.get(), UTF8ToString(TinyEsrgan(4).string()), 2);
  const auto deadline = std::chrono::steady_clock::now() + kRequestTimeout;
  while (delivered.size() + errors.size() < 3 && std::chrono::steady_clock::now() < deadline)
    TThread::CheckSynchronize(20);
  EXPECT_TRUE(errors.empty()) << errors.front();
  EXPECT_EQ(delivered, (std::vector<std::pair<int, int>>{{40, 20}, {30, 12}, {32, 32}}));
}

// The library has one log and one progress callback for the whole process;
// two components working at once must each hear only their own request.
TEST_F(RealLibrary, TwoComponentsUpscalingAtOnceEachHearOnlyTheirOwnLogLines) {
  auto a = MakeComponent(), b = MakeComponent();
  Events ea, eb;
  ea.Attach(*a);
  eb.Attach(*b);
  auto pa = EdgePicture(32, 16), pb = EdgePicture(16, 8);
  a->UpscaleImage(pa.get(), UTF8ToString(TinyEsrgan(2).string()), 2);
  b->UpscaleImage(pb.get(), UTF8ToString(TinyEsrgan(4).string()), 4);
  ASSERT_TRUE(ea.WaitForEnd());
  ASSERT_TRUE(eb.WaitForEnd());
  ASSERT_FALSE(ea.error.has_value()) << *ea.error;
  ASSERT_FALSE(eb.error.has_value()) << *eb.error;
  EXPECT_EQ(std::pair((*ea.outputs)[0]->Width(), (*ea.outputs)[0]->Height()), std::pair(64, 32));
  EXPECT_EQ(std::pair((*eb.outputs)[0]->Width(), (*eb.outputs)[0]->Height()), std::pair(64, 32));
  EXPECT_TRUE(ea.Logged("tiny-esrgan-x2")) << "a missed its own lines";
  EXPECT_TRUE(eb.Logged("tiny-esrgan-x4")) << "b missed its own lines";
  EXPECT_FALSE(ea.Logged("tiny-esrgan-x4")) << "a heard b's request";
  EXPECT_FALSE(eb.Logged("tiny-esrgan-x2")) << "b heard a's request";
}

// Destroying the component while the library works: the destructor waits for
// the request inside the library (pumping the main thread), then frees the
// contexts; once destruction has begun no event reaches the handlers.
TEST_F(RealLibrary, DestroyingTheComponentMidRequestWaitsForTheLibrary) {
  auto sd = MakeComponent();
  bool inLibrary = false, destroying = false;
  int logsAfter = 0;
  std::optional<std::pair<int, int>> delivered;
  std::optional<std::string> error;
  sd->SetOnLog([&](auto*, const String&) {
    inLibrary = true;
    logsAfter += destroying;
  });
  sd->SetOnComplete([&](auto*, auto&& bitmaps) { delivered.emplace(bitmaps[0]->Width(), bitmaps[0]->Height()); });
  sd->SetOnError([&](auto*, const String& msg) { error = System::UTF8Encode(msg); });
  auto input = EdgePicture(64, 48);
  sd->UpscaleImage(input.get(), UTF8ToString(TinyEsrgan(2).string()), 2);
  const auto deadline = std::chrono::steady_clock::now() + kRequestTimeout;
  while (!inLibrary && std::chrono::steady_clock::now() < deadline) TThread::CheckSynchronize(1);
  ASSERT_TRUE(inLibrary);
  destroying = true;
  sd.reset();
  EXPECT_FALSE(error.has_value()) << *error;
  EXPECT_FALSE(delivered.has_value()) << "OnComplete reached a component being destroyed";
  EXPECT_EQ(logsAfter, 0) << "OnLog reached a component being destroyed";
  // A component made afterwards still works with the same library.
  auto again = MakeComponent();
  const auto edges = Sd::Fmx::GetCannyOfBitmap(*EdgePicture(64, 64));
  EXPECT_EQ(edges->Width(), 64);
}

// One sampling step of the random SD1 model: the whole road of a request
// through the real library, with previews, in a few seconds on an idle machine.
void UseTinySettings(TFMXStableDiffusion& sd) {
  sd.SetModelPath(UTF8ToString(TinySd1Model().string()));
  sd.SetVaeDecodeOnly(true);  // the file carries no VAE encoder
  sd.SetSampleSteps(1);
  sd.SetCfgScale(1.0f);  // no second text pass for the negative prompt
  sd.SetSeed(42);
  sd.SetThreads(2);
}

TEST_F(RealLibrary, TextToImageWithARandomSd1ModelDeliversPicturesAtTheLibrarysSize) {
  struct Row {
    const char* what;
    int w, h, batch;
    std::pair<int, int> delivered;
    std::u16string prompt;
  };
  // SD1 sizes are aligned up to multiples of 64; the component hands on what
  // the library made. The library echoes the prompt in its log, which shows
  // UTF-8 going in and coming back out intact.
  const std::vector<Row> rows = {
      {"64x64", 64, 64, 1, {64, 64}, u"a red fox in the snow"},
      {"40x24 aligned up", 40, 24, 1, {64, 64}, u"ein Fuchs im Schnee, \u72d0, \U0001F98A"},
  };
  auto sd = MakeComponent();
  UseTinySettings(*sd);
  sd->SetPreviewMode(Stablediffusion::PREVIEW_PROJ);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Events events;
    events.Attach(*sd);
    sd->SetWidth(row.w);
    sd->SetHeight(row.h);
    sd->SetBatchCount(row.batch);
    const auto started = std::chrono::steady_clock::now();
    sd->Text2Image(row.prompt, u"blurry", nullptr);
    ASSERT_TRUE(events.WaitForEnd());
    Figure(std::string("text2image ") + row.what + (sd->Active() ? "" : " (inactive after)"),
           Seconds(std::chrono::steady_clock::now() - started));
    ASSERT_FALSE(events.error.has_value()) << *events.error;
    ASSERT_EQ(events.outputs->size(), static_cast<std::size_t>(row.batch));
    for (const auto& bmp : *events.outputs) {
      EXPECT_EQ(std::pair(bmp->Width(), bmp->Height()), row.delivered);
      const auto px = Pixels(*bmp);
      for (TAlphaColor c : px) ASSERT_EQ(c >> 24, 0xFFu) << "a pixel was left out";
      EXPECT_GT(std::set<TAlphaColor>(px.begin(), px.end()).size(), 16u) << "a flat picture";
    }
    EXPECT_TRUE(sd->Active());
    EXPECT_TRUE(events.Logged("parse '" + System::UTF8Encode(row.prompt) + "'")) << "the prompt did not come back";
    if (&row == &rows.front()) {
      EXPECT_TRUE(events.Logged("Version: SD 1.x Tiny UNet")) << "the library took the model for another kind";
    }
    // Sampling progress ends at its last step; the library also reports model
    // loading through the same callback, with other counts.
    bool sampled = false;
    for (const auto& p : events.progress) sampled |= p.step == 1 && p.steps == 1;
    EXPECT_TRUE(sampled);
    ASSERT_FALSE(events.previews.empty()) << "no preview frame";
    for (const auto& [step, frames] : events.previews) {
      EXPECT_EQ(step, 1);
      ASSERT_EQ(frames.size(), 1u);
      // Projection previews are latent-sized: an eighth of the picture.
      EXPECT_EQ(frames[0], std::pair(row.delivered.first / 8, row.delivered.second / 8));
    }
    EXPECT_EQ(events.offMainThread, 0);
  }
}

TEST_F(RealLibrary, FreeParamsServesEachRequestWithAFreshContext) {
  // The library crashes on a second generation in a context that freed its
  // parameters; the component must not let one happen, whatever FreeParams
  // says after the context was made.
  struct Row {
    const char* what;
    bool activateFirst;  // activate with FreeParams, then clear it
  };
  for (const Row& row : {Row{"set before the requests", false}, Row{"cleared after activation", true}}) {
    SCOPED_TRACE(row.what);
    auto sd = MakeComponent();
    UseTinySettings(*sd);
    sd->SetWidth(64);
    sd->SetHeight(64);
    sd->SetFreeParams(true);
    if (row.activateFirst) {
      sd->SetActive(true);
      sd->SetFreeParams(false);
    }
    for (int request = 1; request <= 2; ++request) {
      SCOPED_TRACE(request);
      Events events;
      events.Attach(*sd);
      const auto started = std::chrono::steady_clock::now();
      sd->Text2Image(u"a lighthouse", u"", nullptr);
      ASSERT_TRUE(events.WaitForEnd());
      Figure(std::string("text2image with FreeParams ") + row.what + ", request " + std::to_string(request),
             Seconds(std::chrono::steady_clock::now() - started));
      ASSERT_FALSE(events.error.has_value()) << *events.error;
      ASSERT_EQ(events.outputs->size(), 1u);
      if (request == 2 || !row.activateFirst) {
        EXPECT_TRUE(events.Logged("loading tensors completed")) << "the request did not load a fresh context";
      }
    }
  }
}

// What the library aborts on is refused before it is asked: an input picture
// for a context without the VAE encoder (on the calling thread when the
// property says so, else through OnError), and a video from an image model.
TEST_F(RealLibrary, RequestsTheLibraryWouldAbortOnAreRefusedAndTheProcessLives) {
  const std::string decodeOnly =
      "TFMXStableDiffusion.VaeDecodeOnly must be false for Image2Image and ImageInPaint: the input picture needs "
      "the VAE encoder";
  auto sd = MakeComponent();
  UseTinySettings(*sd);  // VaeDecodeOnly: the file has no encoder
  sd->SetWidth(64);
  sd->SetHeight(64);
  auto input = EdgePicture(96, 80), mask = EdgePicture(32, 32);
  EXPECT_EQ(System::UTF8Encode(MessageOf([&] { sd->Image2Image(u"a fox", u"", input.get(), nullptr); })), decodeOnly);
  EXPECT_EQ(System::UTF8Encode(MessageOf([&] { sd->ImageInPaint(u"a fox", u"", input.get(), mask.get(), nullptr); })),
            decodeOnly);
  EXPECT_EQ(std::pair(input->Width(), input->Height()), std::pair(96, 80)) << "a refused call touched its input";

  struct Row {
    const char* what;
    std::function<void()> request;
    std::string error;
  };
  const std::vector<Row> rows = {
      {"image to image on a decode-only context",
       [&] {
         sd->SetVaeDecodeOnly(false);  // too late for the live context
         sd->Image2Image(u"a fox", u"", input.get(), nullptr);
       },
       "TFMXStableDiffusion: the active context was made with VaeDecodeOnly and can not encode the input picture; "
       "deactivate it first"},
      {"video from an SD 1.x model", [&] { sd->Video2Video(u"a fox", u"", input.get()); },
       "TFMXStableDiffusion.Video2Video needs a video model (Wan 2.x); the active model is SD 1.x Tiny UNet"},
  };
  sd->SetActive(true);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Events events;
    events.Attach(*sd);
    row.request();
    ASSERT_TRUE(events.WaitForEnd());
    ASSERT_TRUE(events.error.has_value()) << "ended with OnComplete";
    EXPECT_EQ(*events.error, row.error);
  }
  EXPECT_TRUE(sd->Active());
}

// The library keeps one preview callback and mode for the process; another
// component activated later, without previews, must not silence this one's.
TEST_F(RealLibrary, PreviewsReachTheirComponentWhenAnotherIsActiveWithout) {
  auto a = MakeComponent(), b = MakeComponent();
  UseTinySettings(*a);
  UseTinySettings(*b);
  a->SetWidth(64);
  a->SetHeight(64);
  a->SetActive(true);
  a->SetPreviewMode(Stablediffusion::PREVIEW_PROJ);  // after activation: reaches the next generation
  b->SetActive(true);
  Events ea, eb;
  ea.Attach(*a);
  eb.Attach(*b);
  const auto started = std::chrono::steady_clock::now();
  a->Text2Image(u"a red fox", u"", nullptr);
  ASSERT_TRUE(ea.WaitForEnd());
  Figure("text2image with previews beside another component", Seconds(std::chrono::steady_clock::now() - started));
  ASSERT_FALSE(ea.error.has_value()) << *ea.error;
  ASSERT_FALSE(ea.previews.empty()) << "the previews were lost";
  EXPECT_EQ(ea.previews.front().second, (std::vector<std::pair<int, int>>{{8, 8}}));
  EXPECT_TRUE(eb.previews.empty());
}

TEST_F(RealLibrary, ImageToImageAndInpaintingEncodeTheirInputAndDeliverAPictureOfTheComponentsSize) {
  auto sd = MakeComponent();
  UseTinySettings(*sd);
  sd->SetModelPath(UTF8ToString(TinySd1EncoderModel().string()));
  sd->SetVaeDecodeOnly(false);
  sd->SetWidth(64);
  sd->SetHeight(64);
  sd->SetStrength(0.5f);
  for (const bool inpaint : {false, true}) {
    SCOPED_TRACE(inpaint ? "inpainting" : "image to image");
    Events events;
    events.Attach(*sd);
    // Inputs of other sizes are resized in place to Width x Height.
    auto input = EdgePicture(96, 80);
    auto mask = EdgePicture(32, 32);
    const auto started = std::chrono::steady_clock::now();
    if (inpaint)
      sd->ImageInPaint(u"a fox", u"", input.get(), mask.get(), nullptr);
    else
      sd->Image2Image(u"a fox", u"", input.get(), nullptr);
    EXPECT_EQ(std::pair(input->Width(), input->Height()), std::pair(64, 64));
    if (inpaint) {
      EXPECT_EQ(std::pair(mask->Width(), mask->Height()), std::pair(64, 64));
    }
    ASSERT_TRUE(events.WaitForEnd());
    Figure(inpaint ? "inpaint 64x64" : "image2image 64x64", Seconds(std::chrono::steady_clock::now() - started));
    ASSERT_FALSE(events.error.has_value()) << *events.error;
    ASSERT_EQ(events.outputs->size(), 1u);
    const auto& out = *events.outputs->front();
    EXPECT_EQ(std::pair(out.Width(), out.Height()), std::pair(64, 64));
    for (TAlphaColor c : Pixels(out)) ASSERT_EQ(c >> 24, 0xFFu) << "a pixel was left out";
    EXPECT_TRUE(events.Logged("IMG2IMG")) << "the library did not see the input picture";
    EXPECT_TRUE(events.Logged("encode_first_stage completed")) << "the input was not encoded";
    EXPECT_EQ(events.offMainThread, 0);
  }
}

}  // namespace
