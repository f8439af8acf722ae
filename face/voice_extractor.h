// TFMXVoiceExtractor: splits float samples into a voice track and a
// background track with the vision library's voice_extractor_ family. Extract
// returns at once; a worker runs the separation and the component reports
// progress, completion (OnProgress with Done) or failure (OnError) on the main
// thread.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "binding/anything.h"
#include "framework/components.h"
#include "framework/threads.h"
#include "vision/component_support.h"

namespace Face::Fmx {

using TVoiceExtractorProgressEvent =
    std::function<void(System::Classes::TComponent* Sender, std::int32_t progress, bool Done)>;
// Raised instead of the final progress event when an extraction fails.
using TVoiceExtractorErrorEvent =
    std::function<void(System::Classes::TComponent* Sender, const System::String& Message)>;

class TFMXVoiceExtractor : public System::Classes::TComponent {
 public:
  static const System::Classes::TPropertyTable& Properties() {
    using T = TFMXVoiceExtractor;
    static const System::Classes::TPropertyTable table =
        System::Classes::TPropertyTable::Of<T>(u"TFMXVoiceExtractor", TComponent::Properties())
            .Str(u"Model", &T::Model, &T::SetModel, u"")
            .Int(u"GPUDeviceID", &T::GPUDeviceID, &T::SetGPUDeviceID, -1);
    return table;
  }
  const System::Classes::TPropertyTable& PublishedProperties() const override { return Properties(); }

  // Loads the vision library unless designing; its failure propagates.
  explicit TFMXVoiceExtractor(System::Classes::TComponent* AOwner);
  // A running extraction is waited for (pumping CheckSynchronize on the main
  // thread) and none of its events arrives once destruction has begun; freed
  // from inside one of its own events, the component goes once that event
  // has returned.
  ~TFMXVoiceExtractor() override;

  // Copies Audio and separates it on a worker; one extraction at a time.
  // Raises when inactive, busy or given no samples.
  void Extract(const std::vector<float>& Audio);
  bool Extracting() const { return FExtracting; }

  bool Active() const { return FActive; }
  // Deactivating while an extraction runs raises: the worker uses the context.
  void SetActive(bool Value);
  // Complete once the event with Done has arrived.
  const std::vector<float>& Vocal() const { return FVocal; }
  const std::vector<float>& BackgroundMusic() const { return FBgm; }
  const System::String& Model() const { return FModel; }
  void SetModel(const System::String& Value) { FModel = Value; }
  std::int32_t GPUDeviceID() const { return FGPUDeviceID; }
  void SetGPUDeviceID(std::int32_t Value) { FGPUDeviceID = Value; }

  const TVoiceExtractorProgressEvent& OnProgress() const { return FOnProgress; }
  void SetOnProgress(TVoiceExtractorProgressEvent Value) { FOnProgress = std::move(Value); }
  const TVoiceExtractorErrorEvent& OnError() const { return FOnError; }
  void SetOnError(TVoiceExtractorErrorEvent Value) { FOnError = std::move(Value); }

 protected:
  void BeforeDestruction() override;
  // Main thread only; nothing happens without a handler.
  virtual void DoProgress(std::int32_t progress, bool Done);
  virtual void DoError(const System::String& Message);

 private:
  struct TSink;
  static void ProgressCallback(void* arg, std::int32_t progress);
  // The entry point is taken, and the library held, on the calling thread: an
  // UnLoadAnyLibs while the worker runs nulls the one and would free the other.
  static void Work(std::shared_ptr<TSink> sink, void* context, Anything::voice_extractor_execute_fn* execute,
                   Anything::Fmx::TAnyLibsHold hold, std::shared_ptr<const std::vector<float>> audio);

  Anything::Fmx::Detail::TLibraryContext<Anything::voice_extractor_destroy> FContext;
  std::int32_t FGPUDeviceID = -1;
  System::String FModel;
  bool FActive = false;
  TVoiceExtractorProgressEvent FOnProgress;
  std::vector<float> FBgm;
  std::vector<float> FVocal;
  TVoiceExtractorErrorEvent FOnError;
  std::shared_ptr<TSink> FSink;  // what the library callback and the worker reach the component through
  bool FExtracting = false;
  System::Classes::TThreadGroup FWorkers;  // built with the component: destruction waits for it
};

// Mix minus voice, sample by sample, each difference taken in double
// precision and rounded to single; out may be mix.
void SubtractVoice(const float* mix, const float* voice, float* out, std::size_t count);

}  // namespace Face::Fmx
