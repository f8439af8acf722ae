#include "face/voice_extractor.h"

#include <chrono>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include "framework/exceptions.h"
#include "framework/immortal.h"
#include "framework/log.h"
#include "vision/anything_fmx.h"

namespace Face::Fmx {

using System::String;
using System::Classes::TThread;
using System::Sysutils::Exception;
using System::Sysutils::Format;
namespace Detail = Anything::Fmx::Detail;

namespace {
constexpr char16_t kFamily[] = u"Voice Extractor";
}  // namespace

// Shared by the component, its worker and the library callback. Owner is read
// and cleared on the main thread only, so a delivery that runs there either
// sees a live component or none.
struct TFMXVoiceExtractor::TSink {
  explicit TSink(TFMXVoiceExtractor& owner) : Owner(&owner), Self(&owner) {}
  TFMXVoiceExtractor* Owner;
  // Names the component to the hand-over (which drops its calls once the
  // component goes); never dereferenced off the main thread.
  const System::Classes::TComponent* Self;
  std::mutex Mutex;
  std::optional<String> Failure;  // the first handler failure of the running extraction

  void Fail(const String& message) {
    std::lock_guard lock(Mutex);
    if (!Failure) Failure = message;
  }
  std::optional<String> TakeFailure() {
    std::lock_guard lock(Mutex);
    return std::exchange(Failure, std::nullopt);
  }
};

namespace {

// The library calls back with the arg it was given; the callback finds the
// sink here instead of trusting that pointer, so a late call for a component
// that is gone finds nothing.
// Never destroyed: the library may call back at exit.
std::mutex& RegistryMutex() {
  static System::TImmortal<std::mutex> mutex;
  return mutex.Value;
}
std::unordered_map<const void*, std::weak_ptr<void>>& Registry() {
  static System::TImmortal<std::unordered_map<const void*, std::weak_ptr<void>>> registry;
  return registry.Value;
}

String MessageOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const Exception& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return System::UTF8ToString(e.what());
  } catch (...) {
    return u"unknown exception";
  }
}

}  // namespace

void SubtractVoice(const float* mix, const float* voice, float* out, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i)
    out[i] = static_cast<float>(static_cast<double>(mix[i]) - static_cast<double>(voice[i]));
}

TFMXVoiceExtractor::TFMXVoiceExtractor(System::Classes::TComponent* AOwner)
    : TComponent(AOwner), FSink(std::make_shared<TSink>(*this)), FWorkers(*this) {
  if (!ComponentState().Contains(System::Classes::csDesigning)) Anything::Fmx::LoadAnyLibs();
  std::lock_guard lock(RegistryMutex());
  Registry()[this] = FSink;
}

void TFMXVoiceExtractor::BeforeDestruction() { FSink->Owner = nullptr; }

TFMXVoiceExtractor::~TFMXVoiceExtractor() {
  // Normally the framework has waited already; not when the component was a
  // member or on the stack.
  FSink->Owner = nullptr;
  try {
    FWorkers.WaitFor();
  } catch (...) {
    ::Fmx::Types::Log::d(u"TFMXVoiceExtractor: a handed-over call failed while the component waited for its worker");
  }
  {
    std::lock_guard lock(RegistryMutex());
    Registry().erase(this);
  }
  FContext.reset();
}

void TFMXVoiceExtractor::SetActive(bool Value) {
  if (Value == FActive) return;
  if (Value) {
    Detail::CheckCanActivate(*this, kFamily, reinterpret_cast<const void*>(Anything::voice_extractor_init));
    Detail::CheckModelFile(FModel, Format(u"Model File %s does not exist", FModel).c_str());
    const std::string model = System::UTF8Encode(FModel);
    FContext = decltype(FContext)(
        Anything::voice_extractor_init(model.c_str(), FGPUDeviceID, this, &TFMXVoiceExtractor::ProgressCallback));
    if (!FContext) throw Exception(u"Failed to init Voice Extractor");
  } else {
    if (FExtracting) throw Exception(u"Cannot deactivate Voice Extractor while an extraction runs");
    FContext.reset();
  }
  FActive = Value;
}

void TFMXVoiceExtractor::Extract(const std::vector<float>& Audio) {
  void* context = Detail::RequireContext(FContext, kFamily);
  if (FExtracting) throw Exception(u"VoiceExtractor.Extract: an extraction is already running");
  if (Audio.empty()) throw Exception(u"VoiceExtractor.Extract: Audio is empty");
  if (Audio.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    throw Exception(Format(u"VoiceExtractor.Extract: Audio has %d samples, more than the library takes",
                           static_cast<std::int64_t>(Audio.size())));
  // One NaN or infinity spoils the whole separation (the reference library
  // then hands out no vocals), so it is named here instead.
  Detail::CheckFinite(u"VoiceExtractor.Extract: Audio", Audio);
  auto audio = std::make_shared<const std::vector<float>>(Audio);
  auto hold = std::make_shared<Anything::Fmx::TAnyLibsHold>();
  FExtracting = true;
  try {
    FWorkers.Start([sink = FSink, context, execute = Anything::voice_extractor_execute, hold, audio] {
      Work(sink, context, execute, std::move(*hold), audio);
    });
  } catch (...) {
    FExtracting = false;
    throw;
  }
}

void TFMXVoiceExtractor::Work(std::shared_ptr<TSink> sink, void* context,
                              Anything::voice_extractor_execute_fn* execute, Anything::Fmx::TAnyLibsHold hold,
                              std::shared_ptr<const std::vector<float>> audio) {
  const std::size_t n = audio->size();
  String failure;
  std::vector<float> vocal, bgm;
  try {
    float* vocals = nullptr;
    sink->TakeFailure();
    execute(context, audio->data(), static_cast<std::int32_t>(n), &vocals);
    if (auto handlerFailure = sink->TakeFailure()) {
      failure = *handlerFailure;
    } else if (!vocals) {
      failure = u"Voice Extractor returned no vocals";
    } else {
      vocal.assign(vocals, vocals + n);
      bgm.resize(n);
      SubtractVoice(audio->data(), vocal.data(), bgm.data(), n);
    }
  } catch (...) {
    failure = Format(u"Voice Extractor failed: %s", MessageOf(std::current_exception()));
  }
  {
    // Nothing below touches the library: an unload waiting for it may go on.
    const Anything::Fmx::TAnyLibsHold done = std::move(hold);
  }
  try {
    TThread::Synchronize(nullptr, [&] {
      TFMXVoiceExtractor* owner = sink->Owner;
      if (!owner) return;
      owner->FExtracting = false;
      if (!failure.empty()) {
        owner->DoError(failure);
        return;
      }
      owner->FVocal = std::move(vocal);
      owner->FBgm = std::move(bgm);
      owner->DoProgress(100, true);
    });
  } catch (...) {
    ::Fmx::Types::Log::d(u"TFMXVoiceExtractor: " + MessageOf(std::current_exception()));
  }
}

void TFMXVoiceExtractor::ProgressCallback(void* arg, std::int32_t progress) {
  // Called from C: nothing may escape.
  try {
    std::shared_ptr<TSink> sink;
    {
      std::lock_guard lock(RegistryMutex());
      const auto it = Registry().find(arg);
      if (it != Registry().end()) sink = std::static_pointer_cast<TSink>(it->second.lock());
    }
    if (!sink) return;
    try {
      TThread::Synchronize(*sink->Self, [&] {
        if (sink->Owner) sink->Owner->DoProgress(progress, false);
      });
    } catch (...) {
      sink->Fail(MessageOf(std::current_exception()));
    }
    TThread::Sleep(10);
  } catch (...) {
  }
}

void TFMXVoiceExtractor::DoProgress(std::int32_t progress, bool Done) {
  if (FOnProgress) FOnProgress(this, progress, Done);
}

void TFMXVoiceExtractor::DoError(const String& Message) {
  if (FOnError) FOnError(this, Message);
}

}  // namespace Face::Fmx
