// TFMXStableDiffusion: image and video generation, inpainting and upscaling
// through the diffusion library (libstable-diffusion.so / stable-diffusion.dll).
// Requests return at once; the component runs them one at a time, in call
// order, on its worker, and reports each with exactly one OnComplete or
// OnError on the main thread.
// Those events (and OnLog, OnProgress, OnPreview) run only while the main
// thread pumps TThread::CheckSynchronize (or waits in TThreadGroup::WaitFor):
// a program whose main thread never pumps gets no OnComplete, and no message.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "binding/stablediffusion.h"
#include "framework/components.h"
#include "framework/graphics.h"
#include "framework/stringlist.h"
#include "framework/threads.h"
#include "generation/sd_images.h"

namespace Sd::Fmx {

using namespace Stablediffusion;
using System::String;
using System::Classes::TComponent;
using System::Classes::TPropertyTable;
using System::Classes::TStringList;
using System::Classes::TStrings;

class TFMXStableDiffusion;

// Handlers run on the main thread; bitmaps handed to them are theirs.
using TSDOnLogEvent = std::function<void(TFMXStableDiffusion* Sender, const String& text)>;
using TSDOnProgressEvent = std::function<void(TFMXStableDiffusion* Sender, std::int32_t step, std::int32_t steps, float time)>;
using TSDOnCompleteEvent = std::function<void(TFMXStableDiffusion* Sender, TBitmaps outputs)>;
using TSDOnErrorEvent = std::function<void(TFMXStableDiffusion* Sender, const String& msg)>;
using TSDOnPreviewEvent = std::function<void(TFMXStableDiffusion* Sender, std::int32_t step, TBitmaps frames)>;

class TFMXStableDiffusion : public TComponent {
 public:
  static const TPropertyTable& Properties();
  const TPropertyTable& PublishedProperties() const override { return Properties(); }

  // Pictures a request may ask for: each side at most kMaxSide, at most
  // kMaxPixels in all, and the bitmaps it delivers (BatchCount or VideoFrames
  // of them, 4 bytes a pixel) at most kMaxDeliveredBytes.
  static constexpr std::int32_t kMaxSide = 16384;
  static constexpr std::int64_t kMaxPixels = std::int64_t(8192) * 8192;
  static constexpr std::int64_t kMaxDeliveredBytes = std::int64_t(4) << 30;
  // The library's own maximum: more Threads can crash it (each request,
  // and SetActive(true), refuses them).
  static constexpr std::int32_t kMaxThreads = 512;

  // At run time the first construction loads the library (LoadSDLibs) and
  // every construction registers the log and progress callbacks.
  explicit TFMXStableDiffusion(TComponent* AOwner);
  // Once destruction has begun (also when a handler frees the component) no
  // event reaches a handler, except the OnError "Request cancelled: the
  // component is being destroyed" of each request not yet started. The
  // running request is waited for (pumping CheckSynchronize on the main
  // thread), its result dropped; then the contexts go. A handler may free
  // the component that raised it: the framework defers that free until the
  // main thread pumps outside the handler. A request made once the queue is
  // cancelled (from a cancellation's handler) raises that same message.
  ~TFMXStableDiffusion() override;

  // ---- requests: checked and converted here, run on the worker ----
  // Everything is checked before anything is allocated or a bitmap touched:
  // the sizes above, every float the request hands to the library (finite),
  // no VaeDecodeOnly with an input picture (the library aborts), and no NUL
  // in a text the library reads (prompts, paths: it would stop there). Input,
  // mask and control bitmaps then take Width x Height in place, once all of
  // them are converted, before the call returns; the caller may then reuse
  // them. A call that raises leaves them as they were.
  // Video2Video needs a video model: when the library named an image model
  // at activation (SD 1.x, SDXL, Flux, ...) the request ends with OnError
  // before the library is asked, which would abort on it. A library that
  // names no model is trusted.
  void Text2Image(const String& prompt, const String& negative, TBitmap* controlImage);
  void Image2Image(const String& prompt, const String& negative, TBitmap* inputImage, TBitmap* controlImage);
  void ImageInPaint(const String& prompt, const String& negative, TBitmap* inputImage, TBitmap* maskImage,
                    TBitmap* controlImage);
  void Video2Video(const String& prompt, const String& negative, TBitmap* initImage);
  // Input is read as it is (not resized). The result has the model's scale.
  // Input at Scale, and the picture the library makes, are held to the
  // sizes above (kMaxSide a side, kMaxPixels in all): a larger claim is
  // refused here, a larger result ends with OnError, unconverted.
  void UpscaleImage(TBitmap* Input, const String& ScaleModel, std::uint32_t Scale);

  // Threads when not 0, else the library's count of physical cores.
  std::int32_t GetThreadCount() const;
  // FLayers from the SkipLayers lines (StrToInt each).
  void UpdateLayers();
  // Requests accepted and not yet finished. A request counts as finished
  // before its OnComplete or OnError is raised, so those handlers may change
  // Active (unless another request is queued).
  int PendingRequests() const;
  // The last line the library logged at error level while working for this
  // component, empty when none: the reason behind a fixed failure message
  // such as "Failed to generate image". Any thread may ask.
  String LastLibraryError() const;

  // ---- published properties ----
  bool Active() const { return FActive.load(); }
  // Creates the library context (checking the model files, and that no path
  // holds a NUL) or frees it.
  // Refused while designing and while a request is pending. The library's
  // log lines reach OnLog before it returns; such a handler may free the
  // component (freed once SetActive has returned) but neither change Active
  // nor make a request, which raise. Context settings
  // (FreeParams, VaeDecodeOnly, ...) changed later wait for the next
  // activation: requests go by those the live context was made with.
  void SetActive(bool Value);
  const String& ModelPath() const { return FModelPath; }
  void SetModelPath(const String& v) { FModelPath = v; }
  const String& ClipLPath() const { return FClipLPath; }
  void SetClipLPath(const String& v) { FClipLPath = v; }
  const String& ClipGPath() const { return FClipGPath; }
  void SetClipGPath(const String& v) { FClipGPath = v; }
  const String& T5XXLPath() const { return FT5XXLPath; }
  void SetT5XXLPath(const String& v) { FT5XXLPath = v; }
  const String& DiffusionModelPath() const { return FDiffusionModelPath; }
  void SetDiffusionModelPath(const String& v) { FDiffusionModelPath = v; }
  const String& LLMPath() const { return FLLMPath; }
  void SetLLMPath(const String& v) { FLLMPath = v; }
  const String& VAEPath() const { return FVAEPath; }
  void SetVAEPath(const String& v) { FVAEPath = v; }
  const String& TAESDPath() const { return FTAESDPath; }
  void SetTAESDPath(const String& v) { FTAESDPath = v; }
  const String& ControlNetPath() const { return FControlNetPath; }
  void SetControlNetPath(const String& v) { FControlNetPath = v; }
  const String& LoraDir() const { return FLoraDir; }
  void SetLoraDir(const String& v) { FLoraDir = v; }
  const String& EmbedDir() const { return FEmbedDir; }
  void SetEmbedDir(const String& v) { FEmbedDir = v; }
  const String& StackedIdEmbedDir() const { return FStackedIdEmbedDir; }
  void SetStackedIdEmbedDir(const String& v) { FStackedIdEmbedDir = v; }
  bool VaeTiling() const { return FVaeTiling; }
  void SetVaeTiling(bool v) { FVaeTiling = v; }
  std::int32_t Threads() const { return FThreads; }
  void SetThreads(std::int32_t v) { FThreads = v; }
  rng_type_t RngType() const { return FRngType; }
  void SetRngType(rng_type_t v) { FRngType = v; }
  scheduler_t Schedule() const { return FSchedule; }
  void SetSchedule(scheduler_t v) { FSchedule = v; }
  bool KeepClipCpu() const { return FKeepClipCpu; }
  void SetKeepClipCpu(bool v) { FKeepClipCpu = v; }
  bool KeepControlnetOnCpu() const { return FKeepControlnetOnCpu; }
  void SetKeepControlnetOnCpu(bool v) { FKeepControlnetOnCpu = v; }
  bool KeepVaeOnCpu() const { return FKeepVaeOnCpu; }
  void SetKeepVaeOnCpu(bool v) { FKeepVaeOnCpu = v; }
  bool FlashAttn() const { return FFlashAttn; }
  void SetFlashAttn(bool v) { FFlashAttn = v; }
  bool OffloadParamsToCPU() const { return FOffloadParamsToCPU; }
  void SetOffloadParamsToCPU(bool v) { FOffloadParamsToCPU = v; }
  bool DiffusionFlashAttn() const { return FDiffusionFlashAttn; }
  void SetDiffusionFlashAttn(bool v) { FDiffusionFlashAttn = v; }
  float SLGScale() const { return FSLGScale; }
  void SetSLGScale(float v) { FSLGScale = v; }
  float SkipLayerStart() const { return FSkipLayerStart; }
  void SetSkipLayerStart(float v) { FSkipLayerStart = v; }
  float SkipLayerEnd() const { return FSkipLayerEnd; }
  void SetSkipLayerEnd(float v) { FSkipLayerEnd = v; }
  // The list itself: editing it in place changes nothing until it is
  // assigned back with SetSkipLayers.
  TStrings& SkipLayers() const { return *FSkipLayers; }
  // Converts every line first: a bad one raises the framework's conversion
  // error and leaves both the list and the layers as they were.
  void SetSkipLayers(const TStrings& Value);
  std::int32_t Width() const { return FWidth; }
  void SetWidth(std::int32_t v) { FWidth = v; }
  std::int32_t Height() const { return FHeight; }
  void SetHeight(std::int32_t v) { FHeight = v; }
  std::int32_t ClipSkip() const { return FClipSkip; }
  void SetClipSkip(std::int32_t v) { FClipSkip = v; }
  float CfgScale() const { return FCfgScale; }
  void SetCfgScale(float v) { FCfgScale = v; }
  float Guidance() const { return FGuidance; }
  void SetGuidance(float v) { FGuidance = v; }
  sample_method_t SampleMethod() const { return FSampleMethod; }
  void SetSampleMethod(sample_method_t v) { FSampleMethod = v; }
  std::int32_t SampleSteps() const { return FSampleSteps; }
  void SetSampleSteps(std::int32_t v) { FSampleSteps = v; }
  std::int64_t Seed() const { return FSeed; }
  void SetSeed(std::int64_t v) { FSeed = v; }
  std::int32_t BatchCount() const { return FBatchCount; }
  void SetBatchCount(std::int32_t v) { FBatchCount = v; }
  float ControlStrength() const { return FControlStrength; }
  void SetControlStrength(float v) { FControlStrength = v; }
  float StyleStrength() const { return FStyleStrength; }
  void SetStyleStrength(float v) { FStyleStrength = v; }
  float Strength() const { return FStrength; }
  void SetStrength(float v) { FStrength = v; }
  bool NormalizeInput() const { return FNormalizeInput; }
  void SetNormalizeInput(bool v) { FNormalizeInput = v; }
  const String& InputIdImagesPath() const { return FInputIdImagesPath; }
  void SetInputIdImagesPath(const String& v) { FInputIdImagesPath = v; }
  bool VaeDecodeOnly() const { return FVaeDecodeOnly; }
  void SetVaeDecodeOnly(bool v) { FVaeDecodeOnly = v; }
  // The context serves one generation: it is freed after each request made
  // with such a context.
  bool FreeParams() const { return FFreeParams; }
  void SetFreeParams(bool v) { FFreeParams = v; }
  std::int32_t VideoFrames() const { return FVideoFrames; }
  void SetVideoFrames(std::int32_t v) { FVideoFrames = v; }
  float MoEBoundary() const { return FMoEBoundary; }
  void SetMoEBoundary(float v) { FMoEBoundary = v; }
  float VaceStrength() const { return FVaceStrength; }
  void SetVaceStrength(float v) { FVaceStrength = v; }
  // The library keeps one preview setting for the process: each generation
  // registers its own, and generations of components whose preview settings
  // differ take turns.
  preview_t PreviewMode() const { return FPreviewMode; }
  void SetPreviewMode(preview_t v) { FPreviewMode = v; }
  std::int32_t PreviewInterval() const { return FPreviewInterval; }
  // Raises "Preview Interval must be no less than 1" below 1.
  void SetPreviewInterval(std::int32_t Value);
  bool PreviewDenoised() const { return FPreviewDenoised; }
  void SetPreviewDenoised(bool v) { FPreviewDenoised = v; }
  bool PreviewNoisy() const { return FPreviewNoisy; }
  void SetPreviewNoisy(bool v) { FPreviewNoisy = v; }
  // The weight type for the next activation (no property of its own).
  void SetSDType(sd_type_t Value) { FSDType = Value; }
  sd_type_t SDType() const { return FSDType; }

  // ---- events ----
  void SetOnLog(TSDOnLogEvent v);
  void SetOnProgress(TSDOnProgressEvent v);
  void SetOnComplete(TSDOnCompleteEvent v);
  void SetOnError(TSDOnErrorEvent v);
  void SetOnPreview(TSDOnPreviewEvent v);

 protected:
  // Cancels the requests that have not started, before the framework waits
  // for the worker.
  void BeforeDestruction() override;

  // Each raises its event on the main thread and waits for the handler;
  // nothing happens when no handler is set, or once destruction has begun
  // (see the destructor). A handler's exception comes back out of these.
  virtual void DoLog(const String& text);
  virtual void DoProgress(std::int32_t step, std::int32_t steps, float time);
  virtual void DoComplete(TBitmaps outputs);
  virtual void DoError(const String& msg);
  virtual void DoPreview(std::int32_t step, TBitmaps frames);

 private:
  struct TSettings;
  struct TRequest;
  friend struct TCallbackRoute;

  enum class TRequestKind { Image, ImageFromInput, Video };

  TSettings Snapshot() const;
  void CheckGenerationSettings(TRequestKind kind, bool withControl) const;
  static void CheckPrompts(const String& prompt, const String& negative);
  void EnqueueImages(const String& prompt, const String& negative, TBitmap& inputImage, TBitmap* maskImage,
                     TBitmap* controlImage);
  void Enqueue(std::unique_ptr<TRequest> request);
  void RunQueue();
  void StopWorker();
  TBitmaps Run(TRequest& request);
  void Finish(TBitmaps outputs, std::exception_ptr error);
  void Activate(const TSettings& settings);
  void Deactivate();
  void UpdateLibraryUse();  // held while FContext or FUpScaleContext lives
  TBitmaps GenerateImages(TRequest& request);
  TBitmaps GenerateVideo(TRequest& request);
  TBitmaps Upscale(TRequest& request);
  template <class F>
  void RaiseOnMainThread(F&& call);
  bool HearsEvents() const;
  bool HasPreviewHandler() const;

  // Published fields, in property order.
  std::atomic<bool> FActive{false};
  String FModelPath;
  String FClipLPath;
  String FClipGPath;
  String FT5XXLPath;
  String FDiffusionModelPath;
  String FLLMPath;
  String FVAEPath;
  String FTAESDPath;
  String FControlNetPath;
  String FLoraDir;
  String FEmbedDir;
  String FStackedIdEmbedDir;
  bool FVaeTiling = false;
  std::int32_t FThreads = 0;
  rng_type_t FRngType = CUDA_RNG;
  scheduler_t FSchedule = DISCRETE_SCHEDULER;
  bool FKeepClipCpu = false;
  bool FKeepControlnetOnCpu = false;
  bool FKeepVaeOnCpu = false;
  bool FFlashAttn = false;
  bool FOffloadParamsToCPU = false;
  bool FDiffusionFlashAttn = false;
  float FSLGScale = 0.0f;
  float FSkipLayerStart = 0.01f;
  float FSkipLayerEnd = 0.2f;
  std::unique_ptr<TStringList> FSkipLayers;
  std::int32_t FWidth = 512;
  std::int32_t FHeight = 512;
  std::int32_t FClipSkip = -1;
  float FCfgScale = 7.0f;
  float FGuidance = 3.5f;
  sample_method_t FSampleMethod = EULER_SAMPLE_METHOD;
  std::int32_t FSampleSteps = 20;
  std::int64_t FSeed = 0;
  std::int32_t FBatchCount = 1;
  float FControlStrength = 0.9f;
  float FStyleStrength = 20.0f;
  float FStrength = 0.75f;
  bool FNormalizeInput = false;
  String FInputIdImagesPath;
  bool FVaeDecodeOnly = false;
  bool FFreeParams = false;
  std::int32_t FVideoFrames = 16;
  float FMoEBoundary = 0.0f;
  float FVaceStrength = 0.0f;
  preview_t FPreviewMode = PREVIEW_NONE;
  std::int32_t FPreviewInterval = 1;
  bool FPreviewDenoised = true;
  bool FPreviewNoisy = false;
  sd_type_t FSDType = sd_type_t(40);
  std::vector<std::int32_t> FLayers;

  // Event handlers: set on the main thread, looked at from the worker.
  mutable std::mutex FEventMutex;
  String FLastLibraryError;  // under FEventMutex
  TSDOnLogEvent FOnLog;
  TSDOnProgressEvent FOnProgress;
  TSDOnCompleteEvent FOnComplete;
  TSDOnErrorEvent FOnError;
  TSDOnPreviewEvent FOnPreview;

  // Library contexts: the worker's while a request is pending, else the
  // main thread's; so are the facts of the live context beside them.
  PPsd_ctx_t FContext = nullptr;
  PPupscaler_ctx_t FUpScaleContext = nullptr;
  // Keeps the library in memory while either context lives (UnLoadSDLibs
  // waits for it); a Stablediffusion::TSDLibsUse.
  std::shared_ptr<void> FLibraryUse;
  bool FContextFreesParams = false;
  bool FContextDecodeOnly = false;
  bool FContextHasTAESD = false;
  std::string FContextModelVersion;  // as the library logged it, or empty

  // Main thread: destruction raises the cancellations of queued requests.
  bool FCancelling = false;
  // SetActive(true) is making the context; its handlers run meanwhile.
  bool FSettingActive = false;

  // Requests accepted and not reported yet. The worker stays a while after
  // the queue runs dry: a fresh thread per request would start from a fresh
  // malloc arena and fault in every page of the library's results again.
  mutable std::mutex FQueueMutex;
  std::condition_variable FQueueChanged;
  std::deque<std::unique_ptr<TRequest>> FQueue;
  bool FBusy = false;           // the worker runs a request taken off FQueue
  bool FWorkerAlive = false;    // the worker thread exists, busy or idle
  // Destruction: the idle worker ends at once, and one waiting for its turn
  // at the library's preview setting gives up. Set under FQueueMutex.
  std::atomic<bool> FWorkerLeaving{false};
  // Built with the component: destruction waits for it and drops its
  // pending calls before any destructor runs.
  System::Classes::TThreadGroup FWorker{*this};
};

}  // namespace Sd::Fmx
