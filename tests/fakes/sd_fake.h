// The recording fake of the diffusion library, as a test sees it. The fake is
// a real libstable-diffusion.so exporting the library's fifteen entry points;
// a test that has it loaded reaches its state through corvina_fake_sd(),
// scripts what the next calls do and reads back deep copies of every call.
#pragma once

#include "tests/support/native_library.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "binding/stablediffusion.h"

namespace Corvina::Fakes {

using namespace Stablediffusion;

// A picture as the fake saw it or will return it.
struct TFakeImage {
  std::uint32_t Width = 0;
  std::uint32_t Height = 0;
  std::uint32_t Channel = 0;
  bool NullData = false;
  std::vector<std::uint8_t> Pixels;  // copied bytes, Width * Height * Channel
};

inline TFakeImage FakeImage(std::uint32_t w, std::uint32_t h, std::uint32_t channel, bool nullData = false) {
  TFakeImage img;
  img.Width = w, img.Height = h, img.Channel = channel, img.NullData = nullData;
  return img;
}

// One thing the library reports while it works.
struct TFakeEvent {
  enum TKind { Log, Progress, Preview } Kind = Log;
  std::string Text;                     // Log: the text handed over
  bool NullText = false;                // Log: a null pointer instead of Text
  std::int32_t Step = 0, Steps = 0;     // Progress and Preview
  float Time = 0;                       // Progress
  std::int32_t Frames = 0;              // Preview: frame count
  std::uint32_t FrameWidth = 0, FrameHeight = 0;
};

inline TFakeEvent LogEvent(std::string text) {
  TFakeEvent e;
  e.Kind = TFakeEvent::Log, e.Text = std::move(text);
  return e;
}
inline TFakeEvent NullLogEvent() {
  TFakeEvent e;
  e.Kind = TFakeEvent::Log, e.NullText = true;
  return e;
}
inline TFakeEvent ProgressEvent(std::int32_t step, std::int32_t steps, float time) {
  TFakeEvent e;
  e.Kind = TFakeEvent::Progress, e.Step = step, e.Steps = steps, e.Time = time;
  return e;
}
inline TFakeEvent PreviewEvent(std::int32_t step, std::int32_t frames, std::uint32_t w, std::uint32_t h) {
  TFakeEvent e;
  e.Kind = TFakeEvent::Preview, e.Step = step, e.Frames = frames, e.FrameWidth = w, e.FrameHeight = h;
  return e;
}

// What one entry point does with the callbacks during its call.
struct TFakeCallbacks {
  std::vector<TFakeEvent> Events;
  bool FromOtherThread = false;  // fire them from a thread of the library's own
};

// Entry points that may be scripted.
enum class TFakeEntry { NewSdCtx, GenerateImage, GenerateVideo, NewUpscalerCtx, Upscale, PreprocessCanny };

struct TFakeScript {
  std::map<TFakeEntry, TFakeCallbacks> Callbacks;
  bool NewSdCtxFails = false;
  bool NewUpscalerCtxFails = false;
  bool UpscaleFails = false;            // result with null data
  std::uint32_t UpscaleModelFactor = 2;  // the real library ignores the factor it is given
  bool CannyFails = false;
  std::int32_t PhysicalCores = 6;
  // generate_image / generate_video: null instead of images.
  bool GenerateFails = false;
  // Result sizes: empty = the asked width x height for each of batch_count
  // images (video: video_frames frames); otherwise exactly these images.
  std::vector<TFakeImage> Results;
  // Runs inside the named entry point on the calling thread, after the
  // callbacks and before returning; tests use it to hold a call open.
  std::function<void(TFakeEntry)> Hook;
  // False for benchmarks: a library keeps no log of its calls, and a growing
  // one moves the heap under the results it allocates.
  bool KeepCalls = true;
};

// A deep copy of one call.
struct TFakeCall {
  std::string Name;
  std::thread::id Thread;
  void* Context = nullptr;  // the context or upscaler context it received or made
  std::optional<sd_ctx_params_t> CtxParams;
  std::optional<sd_img_gen_params_t> ImgParams;
  std::optional<sd_vid_gen_params_t> VidParams;
  std::map<std::string, std::optional<std::string>> Texts;  // text fields and arguments, nullopt = null
  std::map<std::string, TFakeImage> Images;                 // init_image, mask_image, control_image, input, ...
  std::vector<std::int32_t> SlgLayers;
  // Callback registrations and other scalar arguments.
  void* Callback = nullptr;
  void* Data = nullptr;
  std::int32_t Mode = 0, Interval = 0, Threads = 0, TileSize = 0;
  bool Flag1 = false, Flag2 = false, Flag3 = false;
  std::uint32_t Factor = 0;
  float Floats[4] = {};
};

struct TFakeSd {
  std::mutex Mutex;
  TFakeScript Script;
  std::vector<TFakeCall> Calls;
  // Contract breaches a real library would crash on (null context, a second
  // generation after free_params_immediately, small canny pictures, ...).
  std::vector<std::string> Violations;
  std::atomic<int> LiveContexts{0};
  std::atomic<int> LiveUpscalers{0};
  // Last registrations. As the library, the fake sends no preview while
  // the mode is PREVIEW_NONE.
  sd_log_cb_t LogCb = nullptr;
  void* LogData = nullptr;
  sd_progress_cb_t ProgressCb = nullptr;
  void* ProgressData = nullptr;
  sd_preview_cb_t PreviewCb = nullptr;
  void* PreviewData = nullptr;
  preview_t PreviewMode = PREVIEW_NONE;
  std::int32_t PreviewInterval = 1;
  bool PreviewDenoised = true, PreviewNoisy = false;
  // Generations in progress: the library reads the preview registration
  // while it samples, so changing it then is a violation.
  std::atomic<int> Generating{0};

  // Forgets calls, violations and the script; keeps registrations.
  void Reset() {
    std::lock_guard lock(Mutex);
    Script = TFakeScript();
    Calls.clear();
    Violations.clear();
  }
  std::vector<TFakeCall> CallsNamed(const std::string& name) {
    std::lock_guard lock(Mutex);
    std::vector<TFakeCall> out;
    for (const TFakeCall& c : Calls)
      if (c.Name == name) out.push_back(c);
    return out;
  }
  std::vector<std::string> CallNames() {
    std::lock_guard lock(Mutex);
    std::vector<std::string> out;
    for (const TFakeCall& c : Calls) out.push_back(c.Name);
    return out;
  }
  std::vector<std::string> TakeViolations() {
    std::lock_guard lock(Mutex);
    return std::exchange(Violations, {});
  }
};

// The pixel a fake result image has at (x, y): distinct per image, so tests
// can tell images, rows and channels apart.
inline std::uint8_t FakeResultByte(std::uint32_t image, std::uint32_t x, std::uint32_t y, std::uint32_t c) {
  return static_cast<std::uint8_t>(c == 0 ? x + 7 * image : c == 1 ? y + 3 * image : 40 * image + 5 + c);
}

}  // namespace Corvina::Fakes

namespace Corvina::Fakes {

// The state of the fake loaded from file (it must be loaded already: the
// fake is linked with nodelete, so the pointer stays valid for the process).
inline TFakeSd& LoadedFakeSd(const std::string& file) {
  void* h = Testing::LoadedLibrary(file);
  if (!h) throw std::runtime_error("the diffusion fake is not loaded: " + file);
  auto* access = reinterpret_cast<TFakeSd* (*)()>(Testing::LibrarySymbol(h, "corvina_fake_sd"));
  if (!access) throw std::runtime_error("not the diffusion fake: " + file);
  return *access();
}

}  // namespace Corvina::Fakes
