#include "generation/stable_diffusion.h"

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "binding/stablediffusion_library.h"
#include "framework/exceptions.h"
#include "framework/immortal.h"
#include "framework/log.h"

namespace Sd::Fmx {

using System::UTF8Encode;
using System::Classes::csDesigning;
using System::Classes::csDestroying;
using System::Classes::NoDefault;
using System::Classes::TThread;
using System::Sysutils::Exception;
using System::Sysutils::Format;

namespace {

// The message an exception carries, whatever its type.
String MessageOf(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const Exception& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return System::UTF8ToString(e.what());
  } catch (...) {
    return u"Unknown error";
  }
}

void LogDropped(const char16_t* where, std::exception_ptr error) noexcept {
  try {
    ::Fmx::Types::Log::d(u"TFMXStableDiffusion: %s: %s", where, MessageOf(error));
  } catch (...) {
  }
}

void CheckAtLeastOne(const char16_t* property, std::int32_t value) {
  if (value < 1) throw Exception(Format(u"TFMXStableDiffusion.%s must be at least 1, got %d", property, value));
}

void CheckAtMost(const char16_t* property, std::int32_t value, std::int32_t limit) {
  if (value > limit)
    throw Exception(Format(u"TFMXStableDiffusion.%s must be at most %d, got %d", property, limit, value));
}

void CheckFinite(const char16_t* property, float value) {
  if (!std::isfinite(value))
    throw Exception(Format(u"TFMXStableDiffusion.%s must be a finite number, got %g", property, double(value)));
}

// An upscaled picture is held to the sizes of the generated ones; sides of
// at most 2^46 (a bitmap's side times a 32-bit Scale) cannot overflow here.
void CheckUpscaled(std::uint64_t width, std::uint64_t height, const String& made) {
  const auto side = std::uint64_t(TFMXStableDiffusion::kMaxSide);
  if (width > side || height > side)
    throw Exception(Format(u"TFMXStableDiffusion.UpscaleImage: %s %d x %d picture; each side must be at most %d", made,
                           std::int64_t(width), std::int64_t(height), std::int64_t(side)));
  if (width * height > std::uint64_t(TFMXStableDiffusion::kMaxPixels))
    throw Exception(Format(u"TFMXStableDiffusion.UpscaleImage: %s %d x %d picture; at most %d pixels", made,
                           std::int64_t(width), std::int64_t(height), TFMXStableDiffusion::kMaxPixels));
}

// The library reads its texts up to the first NUL: a prompt would lose its
// tail, a path name another file.
void CheckNoNul(const String& text, const String& subject) {
  if (text.find(u'\0') != String::npos) throw Exception(subject + u" must not contain a NUL character");
}

// The library crashes on this pair.
void CheckPreviewBesideTAESD(preview_t mode, bool hasTAESD) {
  if (mode == PREVIEW_VAE && hasTAESD)
    throw Exception(u"TFMXStableDiffusion: PreviewMode PREVIEW_VAE can not be used with a TAESDPath");
}

void CheckAssigned(const TBitmap* bitmap, const char16_t* message) {
  if (!bitmap) throw Exception(message);
}

void CheckNotMapped(const TBitmap* bitmap, const char16_t* what) {
  if (bitmap && bitmap->IsMapped())
    throw Exception(Format(u"TFMXStableDiffusion: %s is mapped; unmap it before the request", what));
}

// An input picture at the request's size, made aside: the caller's bitmap
// takes it only once every input of the call is converted, so that a call
// that raises leaves the caller's bitmaps as they were.
class TFittedInput {
 public:
  TFittedInput(TBitmap& bitmap, std::int32_t width, std::int32_t height) : FTarget(bitmap) {
    if (bitmap.Width() == width && bitmap.Height() == height) return;
    FResized.emplace();
    FResized->Assign(bitmap);
    FResized->Resize(width, height);
  }
  const TBitmap& Picture() const { return FResized ? *FResized : FTarget; }
  // Cannot fail: the caller's bitmap was checked unmapped at the door.
  void Commit() {
    if (FResized) FTarget = std::move(*FResized);
  }

 private:
  TBitmap& FTarget;
  std::optional<TBitmap> FResized;
};

// Models the library names when it loads them ("Version: ..." at activation)
// that make pictures, not videos; generate_video aborts on them.
bool IsImageModel(std::string_view version) {
  static constexpr std::string_view kImageModels[] = {
      "SD 1.x", "SD 1.x Inpaint", "Instruct-Pix2Pix", "SD 1.x Tiny UNet", "SD 2.x", "SD 2.x Inpaint",
      "SD 2.x Tiny UNet", "SDXL", "SDXL Inpaint", "SDXL Instruct-Pix2Pix", "SDXL (SSD1B)", "SD3.x", "Flux",
      "Flux Fill", "Flux Control", "Flex.2", "Chroma Radiance", "Qwen Image", "Flux.2", "Z-Image", "Ovis Image"};
  for (std::string_view name : kImageModels)
    if (version == name) return true;
  return false;
}

// The model named by a library log line "file:line - Version: NAME", if it is one.
std::optional<std::string> ModelVersionIn(std::string_view line) {
  const auto dash = line.find(" - ");
  if (dash == std::string_view::npos) return std::nullopt;
  std::string_view message = line.substr(dash + 3);
  constexpr std::string_view kVersion = "Version: ";
  if (!message.starts_with(kVersion)) return std::nullopt;
  message.remove_prefix(kVersion.size());
  while (!message.empty() && std::isspace(static_cast<unsigned char>(message.back()))) message.remove_suffix(1);
  return std::string(message);
}

}  // namespace

// ---- what a request captures ----

// The properties as they were when the request was made.
struct TFMXStableDiffusion::TSettings {
  String ModelPath, ClipLPath, ClipGPath, T5XXLPath, DiffusionModelPath, LLMPath, VAEPath, TAESDPath,
      ControlNetPath, LoraDir, EmbedDir, StackedIdEmbedDir, InputIdImagesPath;
  bool VaeTiling, KeepClipCpu, KeepControlnetOnCpu, KeepVaeOnCpu, FlashAttn, OffloadParamsToCPU, VaeDecodeOnly,
      FreeParams, PreviewDenoised, PreviewNoisy;
  std::int32_t Threads, Width, Height, ClipSkip, SampleSteps, BatchCount, VideoFrames, PreviewInterval;
  rng_type_t RngType;
  scheduler_t Schedule;
  sample_method_t SampleMethod;
  preview_t PreviewMode;
  sd_type_t SDType;
  float SLGScale, SkipLayerStart, SkipLayerEnd, CfgScale, Guidance, ControlStrength, StyleStrength, Strength,
      MoEBoundary, VaceStrength;
  std::int64_t Seed;
  std::vector<std::int32_t> Layers;
};

struct TFMXStableDiffusion::TRequest {
  enum TKind { Images, Video, Upscale } Kind = Images;
  TSettings Settings;
  String Prompt, Negative;
  TSDImageBuffer Init;     // image requests: input; video: init image; upscale: input
  TSDImageBuffer Mask;     // image requests
  TSDImageBuffer Control;  // image requests, when a control image was given
  String ScaleModel;
  std::uint32_t Scale = 0;
  // Made on the main thread with the request: the library stays until the
  // request has returned from it, whatever UnLoadSDLibs does meanwhile.
  Stablediffusion::TSDLibsUse Use;
};

// ---- library callbacks ----

// One library call in progress on behalf of a component. The library calls
// back on the thread inside it and, while loading models, from threads of
// its own. Callbacks on the calling thread are raised at once; those from
// other threads are kept and raised on the calling thread at its next
// callback or when the call returns, so no library thread ever waits for the
// main thread (which may itself be the one inside the library).
struct TCallbackRoute {
  TFMXStableDiffusion* Component;
  std::thread::id Thread = std::this_thread::get_id();
  std::mutex Mutex;
  bool Closed = false;
  std::vector<std::function<void()>> Pending;
  std::exception_ptr Error;  // the first exception a handler raised
  std::string ModelVersion;  // the first the library named

  explicit TCallbackRoute(TFMXStableDiffusion& component) : Component(&component) {}

  // Asked before frames are converted: the component is alive while its
  // route is open, and the route cannot close while this holds its lock.
  bool WantsPreview() {
    std::lock_guard lock(Mutex);
    return !Closed && Component->HasPreviewHandler();
  }

  void NoteModelVersion(std::string version) {
    std::lock_guard lock(Mutex);
    if (ModelVersion.empty()) ModelVersion = std::move(version);
  }

  void Raise(std::function<void()> event) {
    if (std::this_thread::get_id() != Thread) {
      std::lock_guard lock(Mutex);
      if (!Closed) Pending.push_back(std::move(event));
      return;
    }
    RaisePending();
    Run(event);
  }

  void RaisePending() {
    std::vector<std::function<void()>> events;
    {
      std::lock_guard lock(Mutex);
      events.swap(Pending);
    }
    for (auto& e : events) Run(e);
  }

  void Run(const std::function<void()>& event) {
    try {
      event();
    } catch (...) {
      if (!Error) Error = std::current_exception();
    }
  }

  static void Log(TFMXStableDiffusion* c, const String& text) { c->DoLog(text); }
  // Kept on the library's thread at once: the reason must be there when
  // the request's OnError is raised, whether or not anyone listens to OnLog.
  void NoteError(const String& text) {
    std::lock_guard lock(Mutex);
    if (Closed) return;
    std::lock_guard componentLock(Component->FEventMutex);
    Component->FLastLibraryError = text;
  }
  static void Progress(TFMXStableDiffusion* c, std::int32_t step, std::int32_t steps, float time) {
    c->DoProgress(step, steps, time);
  }
  static void Preview(TFMXStableDiffusion* c, std::int32_t step, TBitmaps frames) { c->DoPreview(step, std::move(frames)); }
};

namespace {

// Routes in progress, most recent last. A callback goes to the route of its
// own thread, else (a library thread) to the most recent one.
// Never destroyed: a library thread may still call back at exit.
System::TImmortal<std::mutex> gRoutesMutexStorage;
System::TImmortal<std::vector<std::shared_ptr<TCallbackRoute>>> gRoutesStorage;
std::mutex& gRoutesMutex = gRoutesMutexStorage.Value;
std::vector<std::shared_ptr<TCallbackRoute>>& gRoutes = gRoutesStorage.Value;

std::shared_ptr<TCallbackRoute> FindRoute() {
  std::lock_guard lock(gRoutesMutex);
  const auto self = std::this_thread::get_id();
  for (auto it = gRoutes.rbegin(); it != gRoutes.rend(); ++it)
    if ((*it)->Thread == self) return *it;
  return gRoutes.empty() ? nullptr : gRoutes.back();
}

// Opens a route for the calls made while it lives. Finish closes it, raises
// what other threads left and gives back the first handler exception.
class TRouteScope {
 public:
  explicit TRouteScope(TFMXStableDiffusion& component) : FRoute(std::make_shared<TCallbackRoute>(component)) {
    std::lock_guard lock(gRoutesMutex);
    gRoutes.push_back(FRoute);
  }
  ~TRouteScope() { Close(); }
  TRouteScope(const TRouteScope&) = delete;
  TRouteScope& operator=(const TRouteScope&) = delete;

  std::exception_ptr Finish() {
    Close();
    FRoute->RaisePending();
    return FRoute->Error;
  }

  std::string ModelVersion() const {
    std::lock_guard lock(FRoute->Mutex);
    return FRoute->ModelVersion;
  }

 private:
  void Close() noexcept {
    {
      std::lock_guard lock(gRoutesMutex);
      std::erase(gRoutes, FRoute);
    }
    std::lock_guard lock(FRoute->Mutex);
    FRoute->Closed = true;
  }

  std::shared_ptr<TCallbackRoute> FRoute;
};

// The trampolines live as long as the process: the library keeps them after
// every component is gone. They never look at data, and nothing escapes them.
extern "C" void SDLogCallback(sd_log_level_t level, const char* text, void*) noexcept {
  try {
    auto route = FindRoute();
    // A line without text carries nothing to show.
    if (!route || !text) return;
    if (auto version = ModelVersionIn(text)) route->NoteModelVersion(std::move(*version));
    String line = System::UTF8ToString(text);
    if (level == SD_LOG_ERROR) route->NoteError(line);
    route->Raise([c = route->Component, line] { TCallbackRoute::Log(c, line); });
  } catch (...) {
  }
}

extern "C" void SDProgressCallback(std::int32_t step, std::int32_t steps, float time, void*) noexcept {
  try {
    auto route = FindRoute();
    if (!route) return;
    route->Raise([c = route->Component, step, steps, time] { TCallbackRoute::Progress(c, step, steps, time); });
  } catch (...) {
  }
}

extern "C" void SDPreviewCallback(std::int32_t step, std::int32_t frame_count, sd_image_t* frames, bool,
                                  void*) noexcept {
  try {
    auto route = FindRoute();
    if (!route || !route->WantsPreview()) return;
    // Frames are the library's only during this call: convert them now.
    auto bitmaps = std::make_shared<TBitmaps>();
    for (std::int32_t i = 0; frames && i < frame_count; ++i) bitmaps->push_back(SDImage2Bitmap(&frames[i]));
    route->Raise([c = route->Component, step, bitmaps] { TCallbackRoute::Preview(c, step, std::move(*bitmaps)); });
  } catch (...) {
  }
}

// The library keeps one preview callback, mode, interval and kinds for the
// process and reads them while it samples: a mode switched under a running
// generation has it draw into a picture it never allocated. Generations with
// the same settings share the registration; others wait for their turn.
struct TPreviewSettings {
  preview_t Mode;
  std::int32_t Interval;
  bool Denoised, Noisy;
  bool operator==(const TPreviewSettings&) const = default;
};

class TPreviewTurns {
 public:
  // False when leaving became true while it waited.
  bool Enter(const TPreviewSettings& settings, const std::atomic<bool>& leaving) {
    std::unique_lock lock(FMutex);
    FChanged.wait(lock, [&] { return FUsers == 0 || FCurrent == settings || leaving; });
    if (FUsers != 0 && !(FCurrent == settings)) return false;
    if (FUsers == 0) {
      FCurrent = settings;
      // The trampoline finds its component by the route, not by data.
      sd_set_preview_callback(SDPreviewCallback, settings.Mode, settings.Interval, settings.Denoised, settings.Noisy,
                              nullptr);
    }
    ++FUsers;
    return true;
  }
  void Leave() noexcept {
    {
      std::lock_guard lock(FMutex);
      --FUsers;
    }
    FChanged.notify_all();
  }
  void WakeAll() noexcept {
    { std::lock_guard lock(FMutex); }
    FChanged.notify_all();
  }

 private:
  std::mutex FMutex;
  std::condition_variable FChanged;
  int FUsers = 0;
  TPreviewSettings FCurrent{};
};

// Never destroyed: the worker of a component kept in a static or leaked may
// still be waiting here at exit.
System::TImmortal<TPreviewTurns> gPreviewTurnsStorage;
TPreviewTurns& gPreviewTurns = gPreviewTurnsStorage.Value;

class TPreviewTurn {
 public:
  TPreviewTurn(const TPreviewSettings& settings, const std::atomic<bool>& leaving) {
    if (!gPreviewTurns.Enter(settings, leaving))
      throw Exception(u"Request cancelled: the component is being destroyed");
  }
  ~TPreviewTurn() { gPreviewTurns.Leave(); }
  TPreviewTurn(const TPreviewTurn&) = delete;
  TPreviewTurn& operator=(const TPreviewTurn&) = delete;
};

const std::vector<String> kRngTypeNames = {u"STD_DEFAULT_RNG", u"CUDA_RNG", u"CPU_RNG", u"RNG_TYPE_COUNT"};
const std::vector<String> kSchedulerNames = {
    u"DISCRETE_SCHEDULER", u"KARRAS_SCHEDULER",     u"EXPONENTIAL_SCHEDULER", u"AYS_SCHEDULER",
    u"GITS_SCHEDULER",     u"SGM_UNIFORM_SCHEDULER", u"SIMPLE_SCHEDULER",      u"SMOOTHSTEP_SCHEDULER",
    u"KL_OPTIMAL_SCHEDULER", u"LCM_SCHEDULER",       u"SCHEDULER_COUNT"};
const std::vector<String> kSampleMethodNames = {
    u"EULER_SAMPLE_METHOD",     u"EULER_A_SAMPLE_METHOD",   u"HEUN_SAMPLE_METHOD",
    u"DPM2_SAMPLE_METHOD",      u"DPMPP2S_A_SAMPLE_METHOD", u"DPMPP2M_SAMPLE_METHOD",
    u"DPMPP2Mv2_SAMPLE_METHOD", u"IPNDM_SAMPLE_METHOD",     u"IPNDM_V_SAMPLE_METHOD",
    u"LCM_SAMPLE_METHOD",       u"DDIM_TRAILING_SAMPLE_METHOD", u"TCD_SAMPLE_METHOD",
    u"SAMPLE_METHOD_COUNT"};
const std::vector<String> kPreviewNames = {u"PREVIEW_NONE", u"PREVIEW_PROJ", u"PREVIEW_TAE", u"PREVIEW_VAE"};

}  // namespace

// ---- published properties, in streaming order ----

// GCC 12 at -O3 takes the empty optional of an enumeration without a default
// for a read of uninitialised memory.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
const TPropertyTable& TFMXStableDiffusion::Properties() {
  using T = TFMXStableDiffusion;
  static const TPropertyTable table =
      TPropertyTable::Of<T>(u"TFMXStableDiffusion", TComponent::Properties())
          .Bool(u"Active", &T::Active, &T::SetActive, NoDefault)
          .Str(u"ModelPath", &T::ModelPath, &T::SetModelPath, u"")
          .Str(u"ClipLPath", &T::ClipLPath, &T::SetClipLPath, u"")
          .Str(u"ClipGPath", &T::ClipGPath, &T::SetClipGPath, u"")
          .Str(u"T5XXLPath", &T::T5XXLPath, &T::SetT5XXLPath, u"")
          .Str(u"DiffusionModelPath", &T::DiffusionModelPath, &T::SetDiffusionModelPath, u"")
          .Str(u"LLMPath", &T::LLMPath, &T::SetLLMPath, u"")
          .Str(u"VAEPath", &T::VAEPath, &T::SetVAEPath, u"")
          .Str(u"TAESDPath", &T::TAESDPath, &T::SetTAESDPath, u"")
          .Str(u"ControlNetPath", &T::ControlNetPath, &T::SetControlNetPath, u"")
          .Str(u"LoraDir", &T::LoraDir, &T::SetLoraDir, u"")
          .Str(u"EmbedDir", &T::EmbedDir, &T::SetEmbedDir, u"")
          .Str(u"StackedIdEmbedDir", &T::StackedIdEmbedDir, &T::SetStackedIdEmbedDir, u"")
          .Bool(u"VaeTiling", &T::VaeTiling, &T::SetVaeTiling, NoDefault)
          .Int(u"Threads", &T::Threads, &T::SetThreads, NoDefault)
          .Enum(u"RngType", &T::RngType, &T::SetRngType, kRngTypeNames, CUDA_RNG)
          .Enum(u"Schedule", &T::Schedule, &T::SetSchedule, kSchedulerNames, NoDefault)
          .Bool(u"KeepClipCpu", &T::KeepClipCpu, &T::SetKeepClipCpu, NoDefault)
          .Bool(u"KeepControlnetOnCpu", &T::KeepControlnetOnCpu, &T::SetKeepControlnetOnCpu, NoDefault)
          .Bool(u"KeepVaeOnCpu", &T::KeepVaeOnCpu, &T::SetKeepVaeOnCpu, NoDefault)
          .Bool(u"FlashAttn", &T::FlashAttn, &T::SetFlashAttn, NoDefault)
          .Bool(u"OffloadParamsToCPU", &T::OffloadParamsToCPU, &T::SetOffloadParamsToCPU, false)
          .Bool(u"DiffusionFlashAttn", &T::DiffusionFlashAttn, &T::SetDiffusionFlashAttn, false)
          .Single(u"SLGScale", &T::SLGScale, &T::SetSLGScale, 0.0f)
          .Single(u"SkipLayerStart", &T::SkipLayerStart, &T::SetSkipLayerStart, 0.0f)
          .Single(u"SkipLayerEnd", &T::SkipLayerEnd, &T::SetSkipLayerEnd, 0.0f)
          .Strings(u"SkipLayers", &T::SkipLayers, &T::SetSkipLayers, NoDefault)
          .Int(u"Width", &T::Width, &T::SetWidth, 512)
          .Int(u"Height", &T::Height, &T::SetHeight, 512)
          .Int(u"ClipSkip", &T::ClipSkip, &T::SetClipSkip, -1)
          .Single(u"CfgScale", &T::CfgScale, &T::SetCfgScale, 0.0f)
          .Single(u"Guidance", &T::Guidance, &T::SetGuidance, 0.0f)
          .Enum(u"SampleMethod", &T::SampleMethod, &T::SetSampleMethod, kSampleMethodNames, NoDefault)
          .Int(u"SampleSteps", &T::SampleSteps, &T::SetSampleSteps, 20)
          .Int64(u"Seed", &T::Seed, &T::SetSeed, NoDefault)
          .Int(u"BatchCount", &T::BatchCount, &T::SetBatchCount, 1)
          .Single(u"ControlStrength", &T::ControlStrength, &T::SetControlStrength, 0.0f)
          .Single(u"StyleStrength", &T::StyleStrength, &T::SetStyleStrength, 0.0f)
          .Single(u"Strength", &T::Strength, &T::SetStrength, 0.0f)
          .Bool(u"NormalizeInput", &T::NormalizeInput, &T::SetNormalizeInput, NoDefault)
          .Str(u"InputIdImagesPath", &T::InputIdImagesPath, &T::SetInputIdImagesPath, u"")
          .Bool(u"VaeDecodeOnly", &T::VaeDecodeOnly, &T::SetVaeDecodeOnly, NoDefault)
          .Bool(u"FreeParams", &T::FreeParams, &T::SetFreeParams, NoDefault)
          .Int(u"VideoFrames", &T::VideoFrames, &T::SetVideoFrames, 16)
          .Single(u"MoEBoundary", &T::MoEBoundary, &T::SetMoEBoundary, 0.0f)
          .Single(u"VaceStrength", &T::VaceStrength, &T::SetVaceStrength, 0.0f)
          .Enum(u"PreviewMode", &T::PreviewMode, &T::SetPreviewMode, kPreviewNames, PREVIEW_NONE)
          .Int(u"PreviewInterval", &T::PreviewInterval, &T::SetPreviewInterval, 1)
          .Bool(u"PreviewDenoised", &T::PreviewDenoised, &T::SetPreviewDenoised, true)
          .Bool(u"PreviewNoisy", &T::PreviewNoisy, &T::SetPreviewNoisy, false);
  return table;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// ---- life ----

TFMXStableDiffusion::TFMXStableDiffusion(TComponent* AOwner)
    : TComponent(AOwner), FSkipLayers(std::make_unique<TStringList>(TStringList{u"7", u"8", u"9"})) {
  UpdateLayers();
  if (ComponentState().Contains(csDesigning)) return;
  LoadSDLibs();
  sd_set_log_callback(SDLogCallback, this);
  sd_set_progress_callback(SDProgressCallback, this);
}

void TFMXStableDiffusion::BeforeDestruction() {
  std::deque<std::unique_ptr<TRequest>> cancelled;
  {
    std::lock_guard lock(FQueueMutex);
    cancelled.swap(FQueue);
  }
  StopWorker();
  FCancelling = true;
  for (std::size_t i = 0; i < cancelled.size(); ++i) {
    try {
      DoError(u"Request cancelled: the component is being destroyed");
    } catch (...) {
      LogDropped(u"OnError of a cancelled request", std::current_exception());
    }
  }
  FCancelling = false;
}

TFMXStableDiffusion::~TFMXStableDiffusion() {
  // The framework has waited for the worker already; this covers a
  // destruction that did not go through it.
  StopWorker();
  try {
    FWorker.WaitFor();
  } catch (...) {
    LogDropped(u"waiting for the worker", std::current_exception());
  }
  Deactivate();
  if (FUpScaleContext) free_upscaler_ctx(std::exchange(FUpScaleContext, nullptr));
  UpdateLibraryUse();
}

void TFMXStableDiffusion::UpdateLibraryUse() {
  if (!FContext && !FUpScaleContext) {
    FLibraryUse.reset();
  } else if (!FLibraryUse) {
    FLibraryUse = std::make_shared<Stablediffusion::TSDLibsUse>();
  }
}

// ---- activation ----

void TFMXStableDiffusion::SetActive(bool Value) {
  // Its handlers run while the context is made, with this call below them.
  if (FSettingActive)
    throw Exception(u"TFMXStableDiffusion.Active can not change while the component is being activated");
  if (Value == FActive) return;
  if (Value && ComponentState().Contains(csDesigning))
    throw Exception(u"TFMXStableDiffusion can not be activated while designing");
  if (PendingRequests() > 0)
    throw Exception(u"TFMXStableDiffusion.Active can not change while a request is running");
  if (Value) {
    CheckAtMost(u"Threads", FThreads, kMaxThreads);
    // A handler freeing the component meanwhile has the framework free it
    // once this call has returned.
    const System::Classes::TInlineEventScope handlers(*this);
    FSettingActive = true;
    const struct TDone {
      bool& Flag;
      ~TDone() { Flag = false; }
    } done{FSettingActive};
    Activate(Snapshot());
  } else {
    Deactivate();
  }
}

void TFMXStableDiffusion::Activate(const TSettings& s) {
  struct TCheck {
    const String& Path;
    bool Folder;
    const char16_t* Message;
  };
  const TCheck checks[] = {
      {s.ModelPath, false, u"Model File does not exist"},
      {s.VAEPath, false, u"Vae Model File does not exist"},
      {s.TAESDPath, false, u"TAESDPath Model File does not exist"},
      {s.ControlNetPath, false, u"ControlNet Model File does not exist"},
      {s.LLMPath, false, u"LLM Model File does not exist"},
      {s.LoraDir, true, u"Lora directory does not exist"},
      {s.EmbedDir, true, u"Embed directory does not exist"},
      {s.StackedIdEmbedDir, true, u"StackedIdEmbed directory does not exist"},
  };
  for (const TCheck& c : checks) {
    if (System::Sysutils::Trim(c.Path).empty()) continue;
    const bool exists = c.Folder ? System::Sysutils::DirectoryExists(c.Path) : System::Sysutils::FileExists(c.Path);
    if (!exists) throw Exception(c.Message);
  }
  const std::pair<const char16_t*, const String*> texts[] = {
      {u"ModelPath", &s.ModelPath}, {u"ClipLPath", &s.ClipLPath},   {u"ClipGPath", &s.ClipGPath},
      {u"T5XXLPath", &s.T5XXLPath}, {u"DiffusionModelPath", &s.DiffusionModelPath}, {u"LLMPath", &s.LLMPath},
      {u"VAEPath", &s.VAEPath},     {u"TAESDPath", &s.TAESDPath}, {u"ControlNetPath", &s.ControlNetPath},
  };
  for (const auto& [name, text] : texts) CheckNoNul(*text, u"TFMXStableDiffusion." + String(name));
  CheckPreviewBesideTAESD(s.PreviewMode, !s.TAESDPath.empty());
  RequireSDLibs();
  // A handler may unload the library while it makes the context.
  const Stablediffusion::TSDLibsUse use;

  sd_ctx_params_t p;
  sd_ctx_params_init(&p);
  const std::string model = UTF8Encode(s.ModelPath), clipL = UTF8Encode(s.ClipLPath),
                    clipG = UTF8Encode(s.ClipGPath), t5xxl = UTF8Encode(s.T5XXLPath), llm = UTF8Encode(s.LLMPath),
                    diffusion = UTF8Encode(s.DiffusionModelPath), vae = UTF8Encode(s.VAEPath),
                    taesd = UTF8Encode(s.TAESDPath), controlNet = UTF8Encode(s.ControlNetPath);
  p.model_path = model.c_str();
  p.clip_l_path = clipL.c_str();
  p.clip_g_path = clipG.c_str();
  p.t5xxl_path = t5xxl.c_str();
  p.llm_path = llm.c_str();
  p.diffusion_model_path = diffusion.c_str();
  p.vae_path = vae.c_str();
  p.taesd_path = taesd.c_str();
  p.control_net_path = controlNet.c_str();
  p.vae_decode_only = s.VaeDecodeOnly;
  p.free_params_immediately = s.FreeParams;
  p.n_threads = s.Threads != 0 ? s.Threads : sd_get_num_physical_cores();
  p.wtype = s.SDType;
  p.rng_type = s.RngType;
  p.keep_clip_on_cpu = s.KeepClipCpu;
  p.keep_control_net_on_cpu = s.KeepControlnetOnCpu;
  p.offload_params_to_cpu = s.OffloadParamsToCPU;
  p.keep_vae_on_cpu = s.KeepVaeOnCpu;
  p.diffusion_flash_attn = s.FlashAttn;

  TRouteScope route(*this);
  PPsd_ctx_t context = new_sd_ctx(&p);
  if (std::exception_ptr error = route.Finish()) {
    if (context) free_sd_ctx(context);
    std::rethrow_exception(error);
  }
  if (!context) throw Exception(u"Failed to init Stable Diffusion");
  // The preview setting is the process's, not the context's: each
  // generation registers its own.
  FContext = context;
  UpdateLibraryUse();
  FContextFreesParams = s.FreeParams;
  FContextDecodeOnly = s.VaeDecodeOnly;
  FContextHasTAESD = !s.TAESDPath.empty();
  FContextModelVersion = route.ModelVersion();
  FActive = true;
}

void TFMXStableDiffusion::Deactivate() {
  if (FContext) free_sd_ctx(std::exchange(FContext, nullptr));
  UpdateLibraryUse();
  FContextFreesParams = FContextDecodeOnly = FContextHasTAESD = false;
  FContextModelVersion.clear();
  FActive = false;
}

std::int32_t TFMXStableDiffusion::GetThreadCount() const {
  if (FThreads != 0) return FThreads;
  RequireSDLibs();
  return sd_get_num_physical_cores();
}

namespace {

std::vector<std::int32_t> ParseLayers(const TStrings& lines) {
  std::vector<std::int32_t> layers(std::size_t(lines.Count()));
  for (std::size_t i = 0; i < layers.size(); ++i) layers[i] = System::Sysutils::StrToInt(lines.Get(int(i)));
  return layers;
}

}  // namespace

void TFMXStableDiffusion::UpdateLayers() { FLayers = ParseLayers(*FSkipLayers); }

void TFMXStableDiffusion::SetSkipLayers(const TStrings& Value) {
  std::vector<std::int32_t> layers = ParseLayers(Value);
  FSkipLayers->Assign(Value);
  FLayers = std::move(layers);
}

void TFMXStableDiffusion::SetPreviewInterval(std::int32_t Value) {
  if (Value < 1) throw Exception(u"Preview Interval must be no less than 1");
  FPreviewInterval = Value;
}

TFMXStableDiffusion::TSettings TFMXStableDiffusion::Snapshot() const {
  TSettings s;
  s.ModelPath = FModelPath;
  s.ClipLPath = FClipLPath;
  s.ClipGPath = FClipGPath;
  s.T5XXLPath = FT5XXLPath;
  s.DiffusionModelPath = FDiffusionModelPath;
  s.LLMPath = FLLMPath;
  s.VAEPath = FVAEPath;
  s.TAESDPath = FTAESDPath;
  s.ControlNetPath = FControlNetPath;
  s.LoraDir = FLoraDir;
  s.EmbedDir = FEmbedDir;
  s.StackedIdEmbedDir = FStackedIdEmbedDir;
  s.InputIdImagesPath = FInputIdImagesPath;
  s.VaeTiling = FVaeTiling;
  s.KeepClipCpu = FKeepClipCpu;
  s.KeepControlnetOnCpu = FKeepControlnetOnCpu;
  s.KeepVaeOnCpu = FKeepVaeOnCpu;
  s.FlashAttn = FFlashAttn;
  s.OffloadParamsToCPU = FOffloadParamsToCPU;
  s.VaeDecodeOnly = FVaeDecodeOnly;
  s.FreeParams = FFreeParams;
  s.PreviewDenoised = FPreviewDenoised;
  s.PreviewNoisy = FPreviewNoisy;
  s.Threads = FThreads;
  s.Width = FWidth;
  s.Height = FHeight;
  s.ClipSkip = FClipSkip;
  s.SampleSteps = FSampleSteps;
  s.BatchCount = FBatchCount;
  s.VideoFrames = FVideoFrames;
  s.PreviewInterval = FPreviewInterval;
  s.RngType = FRngType;
  s.Schedule = FSchedule;
  s.SampleMethod = FSampleMethod;
  s.PreviewMode = FPreviewMode;
  s.SDType = FSDType;
  s.SLGScale = FSLGScale;
  s.SkipLayerStart = FSkipLayerStart;
  s.SkipLayerEnd = FSkipLayerEnd;
  s.CfgScale = FCfgScale;
  s.Guidance = FGuidance;
  s.ControlStrength = FControlStrength;
  s.StyleStrength = FStyleStrength;
  s.Strength = FStrength;
  s.MoEBoundary = FMoEBoundary;
  s.VaceStrength = FVaceStrength;
  s.Seed = FSeed;
  s.Layers = FLayers;
  return s;
}

// ---- requests: the calling thread's part ----

void TFMXStableDiffusion::CheckGenerationSettings(TRequestKind kind, bool withControl) const {
  if (ComponentState().Contains(csDesigning))
    throw Exception(u"TFMXStableDiffusion can not run requests while designing");
  const bool video = kind == TRequestKind::Video;
  CheckAtLeastOne(u"Width", FWidth);
  CheckAtLeastOne(u"Height", FHeight);
  if (!video) CheckAtLeastOne(u"BatchCount", FBatchCount);
  CheckAtLeastOne(u"SampleSteps", FSampleSteps);
  if (video) CheckAtLeastOne(u"VideoFrames", FVideoFrames);
  CheckAtMost(u"Width", FWidth, kMaxSide);
  CheckAtMost(u"Height", FHeight, kMaxSide);
  CheckAtMost(u"Threads", FThreads, kMaxThreads);
  // Both sides are bounded above, so these products cannot overflow.
  const std::int64_t pixels = std::int64_t(FWidth) * FHeight;
  if (pixels > kMaxPixels)
    throw Exception(Format(u"TFMXStableDiffusion: Width x Height must be at most %d pixels, got %d x %d", kMaxPixels,
                           FWidth, FHeight));
  const std::int32_t count = video ? FVideoFrames : FBatchCount;
  const std::int64_t bytes = count * pixels * 4;
  if (bytes > kMaxDeliveredBytes)
    throw Exception(Format(u"TFMXStableDiffusion.%s: %d pictures of %d x %d need %d bytes, more than %d",
                           video ? u"VideoFrames" : u"BatchCount", count, FWidth, FHeight, bytes, kMaxDeliveredBytes));
  // Every float the request hands to the library, in property order.
  if (!video) {
    if (!FLayers.empty()) {
      CheckFinite(u"SLGScale", FSLGScale);
      CheckFinite(u"SkipLayerStart", FSkipLayerStart);
      CheckFinite(u"SkipLayerEnd", FSkipLayerEnd);
    }
    CheckFinite(u"CfgScale", FCfgScale);
    CheckFinite(u"Guidance", FGuidance);
    if (withControl) CheckFinite(u"ControlStrength", FControlStrength);
    CheckFinite(u"StyleStrength", FStyleStrength);
  }
  if (kind != TRequestKind::Image) CheckFinite(u"Strength", FStrength);
  if (video) {
    CheckFinite(u"MoEBoundary", FMoEBoundary);
    CheckFinite(u"VaceStrength", FVaceStrength);
  }
  if (!video) CheckNoNul(FInputIdImagesPath, u"TFMXStableDiffusion.InputIdImagesPath");
  // The library aborts when asked to encode a picture without the encoder.
  if (kind == TRequestKind::ImageFromInput && FVaeDecodeOnly)
    throw Exception(u"TFMXStableDiffusion.VaeDecodeOnly must be false for Image2Image and ImageInPaint: "
                    u"the input picture needs the VAE encoder");
  RequireSDLibs();
}

void TFMXStableDiffusion::Text2Image(const String& prompt, const String& negative, TBitmap* controlImage) {
  CheckGenerationSettings(TRequestKind::Image, controlImage != nullptr);
  CheckPrompts(prompt, negative);
  CheckNotMapped(controlImage, u"Control Image");
  auto r = std::make_unique<TRequest>();
  r->Kind = TRequest::Images;
  r->Settings = Snapshot();
  r->Prompt = prompt;
  r->Negative = negative;
  std::optional<TFittedInput> control;
  if (controlImage) {
    control.emplace(*controlImage, FWidth, FHeight);
    r->Control = Bitmap2SDImage(control->Picture());
  }
  Enqueue(std::move(r));
  if (control) control->Commit();
}

void TFMXStableDiffusion::Image2Image(const String& prompt, const String& negative, TBitmap* inputImage,
                                      TBitmap* controlImage) {
  CheckAssigned(inputImage, u"Input Image can not be nil");
  // Image-to-image is inpainting under an all-white mask.
  EnqueueImages(prompt, negative, *inputImage, nullptr, controlImage);
}

void TFMXStableDiffusion::ImageInPaint(const String& prompt, const String& negative, TBitmap* inputImage,
                                       TBitmap* maskImage, TBitmap* controlImage) {
  CheckAssigned(inputImage, u"Input Image can not be nil");
  CheckAssigned(maskImage, u"Mask Image can not be nil");
  EnqueueImages(prompt, negative, *inputImage, maskImage, controlImage);
}

// A null maskImage stands for an all-white one.
void TFMXStableDiffusion::EnqueueImages(const String& prompt, const String& negative, TBitmap& inputImage,
                                        TBitmap* maskImage, TBitmap* controlImage) {
  CheckGenerationSettings(TRequestKind::ImageFromInput, controlImage != nullptr);
  CheckPrompts(prompt, negative);
  CheckNotMapped(&inputImage, u"Input Image");
  CheckNotMapped(maskImage, u"Mask Image");
  CheckNotMapped(controlImage, u"Control Image");
  auto r = std::make_unique<TRequest>();
  r->Kind = TRequest::Images;
  r->Settings = Snapshot();
  r->Prompt = prompt;
  r->Negative = negative;
  std::optional<TFittedInput> control, mask;
  if (controlImage) {
    control.emplace(*controlImage, FWidth, FHeight);
    r->Control = Bitmap2SDImage(control->Picture());
  }
  TFittedInput input(inputImage, FWidth, FHeight);
  r->Init = Bitmap2SDImage(input.Picture());
  if (maskImage) {
    mask.emplace(*maskImage, FWidth, FHeight);
    r->Mask = Bitmap2SDMask(mask->Picture());
  } else {
    r->Mask = TSDImageBuffer(std::uint32_t(FWidth), std::uint32_t(FHeight), 1);
    std::memset(r->Mask.Data(), 0xFF, r->Mask.Size());
  }
  Enqueue(std::move(r));
  if (control) control->Commit();
  input.Commit();
  if (mask) mask->Commit();
}

void TFMXStableDiffusion::Video2Video(const String& prompt, const String& negative, TBitmap* initImage) {
  CheckAssigned(initImage, u"Init Image can not be nil");
  CheckGenerationSettings(TRequestKind::Video, false);
  CheckPrompts(prompt, negative);
  CheckNotMapped(initImage, u"Init Image");
  auto r = std::make_unique<TRequest>();
  r->Kind = TRequest::Video;
  r->Settings = Snapshot();
  r->Prompt = prompt;
  r->Negative = negative;
  TFittedInput init(*initImage, FWidth, FHeight);
  r->Init = Bitmap2SDImage(init.Picture());
  Enqueue(std::move(r));
  init.Commit();
}

void TFMXStableDiffusion::UpscaleImage(TBitmap* Input, const String& ScaleModel, std::uint32_t Scale) {
  CheckAssigned(Input, u"Input Image can not be nil");
  if (Input->IsEmpty())
    throw Exception(Format(u"TFMXStableDiffusion.UpscaleImage: the input image is empty (%d x %d)", Input->Width(),
                           Input->Height()));
  if (Scale == 0) throw Exception(u"TFMXStableDiffusion.UpscaleImage: Scale must be at least 1, got 0");
  CheckUpscaled(std::uint64_t(Input->Width()) * Scale, std::uint64_t(Input->Height()) * Scale,
                Format(u"%d x %d at Scale %d makes a", Input->Width(), Input->Height(), std::int64_t(Scale)));
  CheckAtMost(u"Threads", FThreads, kMaxThreads);
  CheckNoNul(ScaleModel, u"TFMXStableDiffusion.UpscaleImage: the model path");
  if (ComponentState().Contains(csDesigning))
    throw Exception(u"TFMXStableDiffusion can not run requests while designing");
  RequireSDLibs();
  auto r = std::make_unique<TRequest>();
  r->Kind = TRequest::Upscale;
  r->Settings = Snapshot();
  r->ScaleModel = ScaleModel;
  r->Scale = Scale;
  r->Init = Bitmap2SDImage(*Input);
  Enqueue(std::move(r));
}

void TFMXStableDiffusion::CheckPrompts(const String& prompt, const String& negative) {
  CheckNoNul(prompt, u"TFMXStableDiffusion: the prompt");
  CheckNoNul(negative, u"TFMXStableDiffusion: the negative prompt");
}

String TFMXStableDiffusion::LastLibraryError() const {
  std::lock_guard lock(FEventMutex);
  return FLastLibraryError;
}

int TFMXStableDiffusion::PendingRequests() const {
  std::lock_guard lock(FQueueMutex);
  return int(FQueue.size()) + (FBusy ? 1 : 0);
}

void TFMXStableDiffusion::Enqueue(std::unique_ptr<TRequest> request) {
  // The worker would make a second context beside the one SetActive makes.
  if (FSettingActive) throw Exception(u"TFMXStableDiffusion can not take a request while it is being activated");
  bool start;
  {
    std::lock_guard lock(FQueueMutex);
    // Destruction has cancelled the queue already: nothing would run or
    // report this one (a cancellation handler asking again).
    if (FWorkerLeaving) throw Exception(u"Request cancelled: the component is being destroyed");
    FQueue.push_back(std::move(request));
    start = !FWorkerAlive;
    FWorkerAlive = true;
  }
  if (!start) {
    FQueueChanged.notify_one();
    return;
  }
  try {
    FWorker.Start([this] { RunQueue(); });
  } catch (...) {
    std::lock_guard lock(FQueueMutex);
    FQueue.clear();
    FWorkerAlive = false;
    throw;
  }
}

void TFMXStableDiffusion::StopWorker() {
  {
    std::lock_guard lock(FQueueMutex);
    FWorkerLeaving = true;
  }
  FQueueChanged.notify_all();
  gPreviewTurns.WakeAll();
}

// ---- requests: the worker's part ----

void TFMXStableDiffusion::RunQueue() {
  // Long enough for a program's next request, short enough that an idle
  // component does not keep a thread for good.
  constexpr auto kLinger = std::chrono::seconds(2);
  for (;;) {
    std::unique_ptr<TRequest> request;
    {
      std::unique_lock lock(FQueueMutex);
      FQueueChanged.wait_for(lock, kLinger, [this] { return !FQueue.empty() || FWorkerLeaving; });
      if (FQueue.empty() || FWorkerLeaving) {
        FWorkerAlive = false;
        return;
      }
      request = std::move(FQueue.front());
      FQueue.pop_front();
      FBusy = true;
    }
    TBitmaps outputs;
    std::exception_ptr error;
    try {
      outputs = Run(*request);
    } catch (...) {
      error = std::current_exception();
    }
    // The library crashes on a second generation with a context that freed
    // its weights; what counts is how the live context was made.
    if (request->Kind != TRequest::Upscale && FContext && FContextFreesParams) Deactivate();
    request.reset();
    // Finished before its final event, so that the handler may change Active.
    {
      std::lock_guard lock(FQueueMutex);
      FBusy = false;
    }
    Finish(std::move(outputs), error);
  }
}

TBitmaps TFMXStableDiffusion::Run(TRequest& request) {
  switch (request.Kind) {
    case TRequest::Images: return GenerateImages(request);
    case TRequest::Video: return GenerateVideo(request);
    case TRequest::Upscale: return Upscale(request);
  }
  return {};
}

void TFMXStableDiffusion::Finish(TBitmaps outputs, std::exception_ptr error) {
  if (!error) {
    try {
      DoComplete(std::move(outputs));
      return;
    } catch (...) {
      error = std::current_exception();
    }
  }
  try {
    DoError(MessageOf(error));
  } catch (...) {
    LogDropped(u"OnError", std::current_exception());
  }
}

TBitmaps TFMXStableDiffusion::GenerateImages(TRequest& r) {
  const TSettings& s = r.Settings;
  if (!FActive) Activate(s);
  if (!FContext) throw Exception(u"Stable Diffusion not inited");
  // Settings changed after activation are checked against the live context.
  if (!r.Init.Empty() && FContextDecodeOnly)
    throw Exception(u"TFMXStableDiffusion: the active context was made with VaeDecodeOnly and can not encode the "
                    u"input picture; deactivate it first");
  CheckPreviewBesideTAESD(s.PreviewMode, FContextHasTAESD);

  sd_img_gen_params_t p;
  sd_img_gen_params_init(&p);
  const std::string prompt = UTF8Encode(r.Prompt), negative = UTF8Encode(r.Negative),
                    idEmbed = UTF8Encode(s.InputIdImagesPath);
  p.prompt = prompt.c_str();
  p.negative_prompt = negative.c_str();
  p.clip_skip = s.ClipSkip;
  if (!r.Init.Empty()) {
    p.init_image = r.Init.Image();
    p.mask_image = r.Mask.Image();
    p.strength = s.Strength;
  }
  p.width = s.Width;
  p.height = s.Height;
  p.sample_params.guidance.txt_cfg = s.CfgScale;
  p.sample_params.guidance.img_cfg = s.Guidance;
  p.sample_params.sample_method = s.SampleMethod;
  p.sample_params.sample_steps = s.SampleSteps;
  p.sample_params.scheduler = s.Schedule;
  p.seed = s.Seed;
  p.batch_count = s.BatchCount;
  p.vae_tiling_params.enabled = s.VaeTiling;
  if (!r.Control.Empty()) {
    p.control_image = r.Control.Image();
    p.control_strength = s.ControlStrength;
  }
  p.pm_params.style_strength = s.StyleStrength;
  p.pm_params.id_embed_path = idEmbed.c_str();
  std::vector<std::int32_t> layers = s.Layers;
  if (!layers.empty()) {
    sd_slg_params_t& slg = p.sample_params.guidance.slg;
    slg.layers = layers.data();
    slg.layer_count = layers.size();
    slg.scale = s.SLGScale;
    slg.layer_start = s.SkipLayerStart;
    slg.layer_end = s.SkipLayerEnd;
  }

  TPreviewTurn turn({s.PreviewMode, s.PreviewInterval, s.PreviewDenoised, s.PreviewNoisy}, FWorkerLeaving);
  TRouteScope route(*this);
  TSDImageArray results(generate_image(FContext, &p), s.BatchCount);
  if (std::exception_ptr error = route.Finish()) std::rethrow_exception(error);
  if (!results.Images()) throw Exception(u"Failed to generate image");
  return ConvertResults(results, u"Failed to generate image");
}

TBitmaps TFMXStableDiffusion::GenerateVideo(TRequest& r) {
  const TSettings& s = r.Settings;
  if (!FActive) Activate(s);
  if (!FContext) throw Exception(u"Stable Diffusion not inited");
  if (IsImageModel(FContextModelVersion))
    throw Exception(Format(u"TFMXStableDiffusion.Video2Video needs a video model (Wan 2.x); the active model is %s",
                           System::UTF8ToString(FContextModelVersion)));
  CheckPreviewBesideTAESD(s.PreviewMode, FContextHasTAESD);

  sd_vid_gen_params_t p;
  sd_vid_gen_params_init(&p);
  const std::string prompt = UTF8Encode(r.Prompt), negative = UTF8Encode(r.Negative);
  p.prompt = prompt.c_str();
  p.negative_prompt = negative.c_str();
  p.clip_skip = s.ClipSkip;
  p.init_image = r.Init.Image();
  p.width = s.Width;
  p.height = s.Height;
  p.sample_params.sample_method = s.SampleMethod;
  p.sample_params.sample_steps = s.SampleSteps;
  p.sample_params.scheduler = s.Schedule;
  p.strength = s.Strength;
  p.seed = s.Seed;
  p.video_frames = s.VideoFrames;
  p.vace_strength = s.VaceStrength;
  p.moe_boundary = s.MoEBoundary;

  TPreviewTurn turn({s.PreviewMode, s.PreviewInterval, s.PreviewDenoised, s.PreviewNoisy}, FWorkerLeaving);
  TRouteScope route(*this);
  std::int32_t count = 0;
  sd_image_t* frames = generate_video(FContext, &p, &count);
  TSDImageArray results(frames, count);
  if (std::exception_ptr error = route.Finish()) std::rethrow_exception(error);
  if (!frames || count < 1) throw Exception(u"Failed to generate video");
  return ConvertResults(results, u"Failed to generate video");
}

TBitmaps TFMXStableDiffusion::Upscale(TRequest& r) {
  if (FUpScaleContext) free_upscaler_ctx(std::exchange(FUpScaleContext, nullptr));
  const std::string model = UTF8Encode(r.ScaleModel);
  const std::int32_t threads = r.Settings.Threads != 0 ? r.Settings.Threads : sd_get_num_physical_cores();

  TRouteScope route(*this);
  FUpScaleContext = new_upscaler_ctx(model.c_str(), false, false, threads, 128);
  UpdateLibraryUse();
  sd_image_t result{0, 0, 0, nullptr};
  if (FUpScaleContext) result = upscale(FUpScaleContext, r.Init.Image(), r.Scale);
  // Released as soon as it is converted, before the event.
  const std::unique_ptr<std::uint8_t, TCFree> pixels(result.data);
  if (std::exception_ptr error = route.Finish()) std::rethrow_exception(error);
  if (!FUpScaleContext) throw Exception(u"Failed to load upscale model");
  if (!result.data) throw Exception(u"Failed to upscale image");
  // The library goes by its model's factor, whatever Scale said.
  CheckUpscaled(result.width, result.height, u"the library made a");
  TBitmaps outputs;
  outputs.push_back(SDImage2Bitmap(&result));
  return outputs;
}

// ---- events ----

// On behalf of this component: a call still pending when its destruction
// begins is dropped, and the worker gets EThreadCallDropped. A handler that
// freed the component leaves the queued requests to the cancellation.
template <class F>
void TFMXStableDiffusion::RaiseOnMainThread(F&& call) {
  TThread::Synchronize(*this, [&] {
    const struct TStopIfFreed {
      TFMXStableDiffusion& C;
      ~TStopIfFreed() {
        if (!C.HearsEvents()) C.StopWorker();
      }
    } stopIfFreed{*this};
    call();
  });
}

namespace {

template <class H>
H Copy(std::mutex& m, const H& handler) {
  std::lock_guard lock(m);
  return handler;
}

// Handlers are set on the main thread and read by workers.
template <class H>
void Store(std::mutex& m, H& handler, H value) {
  std::lock_guard lock(m);
  handler = std::move(value);
}

}  // namespace

// Main thread only: once destruction has begun (a handler may have freed the
// component under a running request) handlers hear nothing more.
bool TFMXStableDiffusion::HearsEvents() const { return !ComponentState().Contains(csDestroying); }

bool TFMXStableDiffusion::HasPreviewHandler() const { return bool(Copy(FEventMutex, FOnPreview)); }

void TFMXStableDiffusion::DoLog(const String& text) {
  if (!Copy(FEventMutex, FOnLog)) return;
  RaiseOnMainThread([&] {
    if (!HearsEvents()) return;
    if (auto h = Copy(FEventMutex, FOnLog)) h(this, text);
  });
}

void TFMXStableDiffusion::DoProgress(std::int32_t step, std::int32_t steps, float time) {
  if (!Copy(FEventMutex, FOnProgress)) return;
  RaiseOnMainThread([&] {
    if (!HearsEvents()) return;
    if (auto h = Copy(FEventMutex, FOnProgress)) h(this, step, steps, time);
  });
}

void TFMXStableDiffusion::DoComplete(TBitmaps outputs) {
  if (!Copy(FEventMutex, FOnComplete)) return;
  RaiseOnMainThread([&] {
    if (!HearsEvents()) return;
    if (auto h = Copy(FEventMutex, FOnComplete)) h(this, std::move(outputs));
  });
}

void TFMXStableDiffusion::DoError(const String& msg) {
  if (!Copy(FEventMutex, FOnError)) return;
  // The cancellations destruction raises (on the main thread) are the one
  // event it lets through; not a worker's event that a handler of theirs
  // happens to pump.
  const bool cancellation = TThread::IsMainThread() && FCancelling;
  RaiseOnMainThread([&] {
    if (!cancellation && !HearsEvents()) return;
    if (auto h = Copy(FEventMutex, FOnError)) h(this, msg);
  });
}

void TFMXStableDiffusion::DoPreview(std::int32_t step, TBitmaps frames) {
  if (!Copy(FEventMutex, FOnPreview)) return;
  RaiseOnMainThread([&] {
    if (!HearsEvents()) return;
    if (auto h = Copy(FEventMutex, FOnPreview)) h(this, step, std::move(frames));
  });
}

void TFMXStableDiffusion::SetOnLog(TSDOnLogEvent v) { Store(FEventMutex, FOnLog, std::move(v)); }
void TFMXStableDiffusion::SetOnProgress(TSDOnProgressEvent v) { Store(FEventMutex, FOnProgress, std::move(v)); }
void TFMXStableDiffusion::SetOnComplete(TSDOnCompleteEvent v) { Store(FEventMutex, FOnComplete, std::move(v)); }
void TFMXStableDiffusion::SetOnError(TSDOnErrorEvent v) { Store(FEventMutex, FOnError, std::move(v)); }
void TFMXStableDiffusion::SetOnPreview(TSDOnPreviewEvent v) { Store(FEventMutex, FOnPreview, std::move(v)); }

}  // namespace Sd::Fmx
