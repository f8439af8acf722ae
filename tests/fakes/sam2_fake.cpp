// A vision library that records what it is given and answers as scripted.
// See sam2_fake.h for what each call records and how results are scripted.
#include "tests/fakes/sam2_fake.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

using namespace Anything;
using Corvina::Fake::TFakeCall;
using Corvina::Fake::TFakeImage;

extern "C" {
#define FAKE_DECLARE_EXPORT(name) __attribute__((visibility("default"))) Anything::name##_fn name;
ANYTHING_ENTRY_POINTS(FAKE_DECLARE_EXPORT)
#undef FAKE_DECLARE_EXPORT
}

namespace {

std::int64_t MonotonicNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

const std::int64_t gLoadedAt = MonotonicNs();

// One context per successful _init; the results it hands out live here until
// its next call.
struct TContext {
  std::string Family;
  std::int32_t Width = 0;  // of the last loaded image (sam)
  std::int32_t Height = 0;
  TDrBBox Target{};        // last InitTrack edges (ostrack)
  std::vector<std::uint8_t> Result;
  std::vector<TBBox> Faces;
  std::vector<float> Feature;
  std::vector<float> Vocals;
  void* Arg = nullptr;
  TVoiceExtractorProgressCallback Progress = nullptr;
};

struct TState {
  std::mutex Mutex;
  bool Recording = true;
  std::vector<TFakeCall> Calls;
  std::set<std::string> FailingInits;
  std::set<std::string> Throwing;
  std::map<std::string, std::int32_t> DelayMs;
  std::map<std::string, std::optional<std::vector<std::uint8_t>>> Buffers;  // nullopt: return null
  std::optional<TDrOBB> TrackResult;
  std::vector<TBBox> Faces;
  std::vector<float> Landmark5;
  std::vector<float> Landmark68;
  std::vector<float> Feature;
  std::vector<std::vector<float>> Features;  // per record, when set
  std::vector<float> Vocals;
  std::vector<std::int32_t> Progress;
  bool ProgressOtherThread = false;
  std::map<const TContext*, std::unique_ptr<TContext>> Live;
  std::int32_t Foreign = 0;

  TState() { ResetScripts(); }

  void ResetScripts() {
    Recording = true;
    Calls.clear();
    FailingInits.clear();
    Throwing.clear();
    DelayMs.clear();
    Buffers.clear();
    TrackResult.reset();
    Faces.clear();
    Landmark5.resize(10);
    for (int i = 0; i < 10; ++i) Landmark5[i] = static_cast<float>(i + 1);
    Landmark68.resize(136);
    for (int i = 0; i < 136; ++i) Landmark68[i] = static_cast<float>(100 + i);
    Feature = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f, 0.8f};
    Features.clear();
    Vocals.clear();
    Progress.clear();
    ProgressOtherThread = false;
    Foreign = 0;
  }
};

TState& State() {
  static TState state;
  return state;
}

TFakeImage CopyImage(const std::uint8_t* pixels, std::int32_t width, std::int32_t height, std::int32_t pitch) {
  TFakeImage image{width, height, pitch, {}};
  if (pixels && width > 0 && height > 0 && pitch >= width * 4) {
    const std::size_t row = static_cast<std::size_t>(width) * 4;
    image.Pixels.resize(row * static_cast<std::size_t>(height));
    for (std::int32_t y = 0; y < height; ++y)
      std::memcpy(image.Pixels.data() + row * y, pixels + static_cast<std::size_t>(pitch) * y, row);
  }
  return image;
}

// Records one call (when recording), sleeps for a scripted delay, and throws
// when the entry is scripted to.
class TCall {
 public:
  TCall(const char* entry, const void* context) : FEntry(entry) {
    FRecord.Entry = entry;
    FRecord.Context = context;
    FRecord.Thread = std::this_thread::get_id();
    std::lock_guard lock(State().Mutex);
    FRecording = State().Recording;
  }
  TCall& Text(const char* s) {
    if (FRecording) FRecord.Texts.push_back(s ? s : "<null>");
    return *this;
  }
  TCall& Int(std::int64_t v) {
    if (FRecording) FRecord.Ints.push_back(v);
    return *this;
  }
  TCall& Float(float v) {
    if (FRecording) FRecord.Floats.push_back(v);
    return *this;
  }
  TCall& Pointer(const void* p) {
    if (FRecording) FRecord.Pointers.push_back(p);
    return *this;
  }
  TCall& Image(const std::uint8_t* pixels, std::int32_t width, std::int32_t height, std::int32_t pitch) {
    if (FRecording) FRecord.Images.push_back(CopyImage(pixels, width, height, pitch));
    return *this;
  }
  TCall& Array(const float* values, std::int64_t count) {
    if (FRecording)
      FRecord.Arrays.push_back(values && count > 0 ? std::vector<float>(values, values + count) : std::vector<float>());
    return *this;
  }
  // Files the record, then plays the scripted delay and failure.
  void Done() {
    std::int32_t delay = 0;
    bool throws = false;
    {
      std::lock_guard lock(State().Mutex);
      if (FRecording) State().Calls.push_back(std::move(FRecord));
      if (auto it = State().DelayMs.find(FEntry); it != State().DelayMs.end()) delay = it->second;
      throws = State().Throwing.count(FEntry) != 0;
    }
    if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    if (throws) throw std::runtime_error("fake " + FEntry + " failed");
  }

 private:
  std::string FEntry;
  TFakeCall FRecord;
  bool FRecording = true;
};

void* Init(const char* family) {
  std::lock_guard lock(State().Mutex);
  if (State().FailingInits.count(family)) return nullptr;
  auto context = std::make_unique<TContext>();
  context->Family = family;
  TContext* handle = context.get();
  State().Live.emplace(handle, std::move(context));
  return handle;
}

// The context when it is a live one of this family; counts the others.
TContext* Live(void* ctx, const char* family) {
  std::lock_guard lock(State().Mutex);
  auto* context = static_cast<TContext*>(ctx);
  if (!State().Live.count(context) || context->Family != family) {
    ++State().Foreign;
    return nullptr;
  }
  return context;
}

void Destroy(void* ctx, const char* family) {
  TContext* context = Live(ctx, family);
  if (!context) return;
  std::lock_guard lock(State().Mutex);
  State().Live.erase(context);
}

// The scripted buffer of entry, or the fallback when unscripted.
template <class Fallback>
const std::uint8_t* Result(TContext& context, const char* entry, Fallback fallback) {
  {
    std::lock_guard lock(State().Mutex);
    if (auto it = State().Buffers.find(entry); it != State().Buffers.end()) {
      if (!it->second) return nullptr;
      return it->second->data();  // scripted bytes are returned without work, as an instant library
    }
  }
  context.Result.clear();
  fallback(context.Result);
  return context.Result.data();
}

void ImageBgr(std::vector<std::uint8_t>& out, const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
              std::int32_t pitch) {
  if (!pixels || width <= 0 || height <= 0 || pitch < width * 4) return;
  out.resize(static_cast<std::size_t>(width) * height * 3);
  std::uint8_t* d = out.data();
  for (std::int32_t y = 0; y < height; ++y) {
    const std::uint8_t* s = pixels + static_cast<std::size_t>(pitch) * y;
    for (std::int32_t x = 0; x < width; ++x, s += 4, d += 3) {
      d[0] = s[0];
      d[1] = s[1];
      d[2] = s[2];
    }
  }
}

void MaskPattern(std::vector<std::uint8_t>& out, std::int32_t width, std::int32_t height) {
  if (width <= 0 || height <= 0) return;
  out.resize(static_cast<std::size_t>(width) * height);
  for (std::int32_t y = 0; y < height; ++y)
    for (std::int32_t x = 0; x < width; ++x)
      out[static_cast<std::size_t>(y) * width + x] = static_cast<std::uint8_t>((3 * x + 5 * y) & 255);
}

}  // namespace

// ---- segmentation ----

void* sam_init(const char* encoder_model, const char* decoder_model, const char* device) {
  TCall("sam_init", nullptr).Text(encoder_model).Text(decoder_model).Text(device).Done();
  return Init("sam");
}

void sam_load_image(void* ctx, const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                    std::int32_t pitch) {
  TCall("sam_load_image", ctx).Image(pixels, width, height, pitch).Done();
  if (TContext* c = Live(ctx, "sam")) {
    c->Width = width;
    c->Height = height;
  }
}

void sam_add_rect(void* ctx, std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height) {
  TCall("sam_add_rect", ctx).Int(x).Int(y).Int(width).Int(height).Done();
  Live(ctx, "sam");
}

void sam_add_point(void* ctx, std::int32_t x, std::int32_t y) {
  TCall("sam_add_point", ctx).Int(x).Int(y).Done();
  Live(ctx, "sam");
}

void sam_clear(void* ctx) {
  TCall("sam_clear", ctx).Done();
  Live(ctx, "sam");
}

static const std::uint8_t* SamMask(void* ctx, const char* entry) {
  TCall(entry, ctx).Done();
  TContext* c = Live(ctx, "sam");
  if (!c) return nullptr;
  return Result(*c, entry, [c](std::vector<std::uint8_t>& out) { MaskPattern(out, c->Width, c->Height); });
}

const std::uint8_t* sam_get_rect_mask(void* ctx) { return SamMask(ctx, "sam_get_rect_mask"); }
const std::uint8_t* sam_get_point_mask(void* ctx) { return SamMask(ctx, "sam_get_point_mask"); }

void sam_destroy(void* ctx) {
  TCall("sam_destroy", ctx).Done();
  Destroy(ctx, "sam");
}

// ---- tracking ----

void* ostrack_init(const char* model, std::int32_t gpu_device) {
  TCall("ostrack_init", nullptr).Text(model).Int(gpu_device).Done();
  return Init("ostrack");
}

void ostrack_init_image(void* ctx, const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                        std::int32_t pitch, std::int32_t left, std::int32_t top, std::int32_t right,
                        std::int32_t bottom) {
  TCall("ostrack_init_image", ctx).Image(pixels, width, height, pitch).Int(left).Int(top).Int(right).Int(bottom).Done();
  if (TContext* c = Live(ctx, "ostrack"))
    c->Target = TDrBBox{static_cast<float>(left), static_cast<float>(top), static_cast<float>(right),
                        static_cast<float>(bottom)};
}

void ostrack_track(void* ctx, const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                   std::int32_t pitch, TDrOBB* result) {
  TCall("ostrack_track", ctx).Image(pixels, width, height, pitch).Pointer(result).Done();
  TContext* c = Live(ctx, "ostrack");
  if (!c || !result) return;
  std::lock_guard lock(State().Mutex);
  *result = State().TrackResult.value_or(TDrOBB{c->Target, 1.0f, 0});
}

void ostrack_destroy(void* ctx) {
  TCall("ostrack_destroy", ctx).Done();
  Destroy(ctx, "ostrack");
}

// ---- removal and background ----

void* lama_init(const char* model, std::int32_t gpu_device) {
  TCall("lama_init", nullptr).Text(model).Int(gpu_device).Done();
  return Init("lama");
}

const std::uint8_t* lama_execute(void* ctx, const std::uint8_t* pixels, const std::uint8_t* mask_pixels,
                                 std::int32_t width, std::int32_t height, std::int32_t pitch) {
  TCall("lama_execute", ctx).Image(pixels, width, height, pitch).Image(mask_pixels, width, height, pitch).Done();
  TContext* c = Live(ctx, "lama");
  if (!c) return nullptr;
  return Result(*c, "lama_execute",
                [&](std::vector<std::uint8_t>& out) { ImageBgr(out, pixels, width, height, pitch); });
}

void lama_destroy(void* ctx) {
  TCall("lama_destroy", ctx).Done();
  Destroy(ctx, "lama");
}

void* rmbg_init(const char* model, std::int32_t gpu_device) {
  TCall("rmbg_init", nullptr).Text(model).Int(gpu_device).Done();
  return Init("rmbg");
}

const std::uint8_t* rmbg_execute(void* ctx, const std::uint8_t* pixels, const std::uint8_t* background_pixels,
                                 std::int32_t width, std::int32_t height, std::int32_t pitch) {
  TCall("rmbg_execute", ctx).Image(pixels, width, height, pitch).Image(background_pixels, width, height, pitch).Done();
  TContext* c = Live(ctx, "rmbg");
  if (!c) return nullptr;
  return Result(*c, "rmbg_execute",
                [&](std::vector<std::uint8_t>& out) { ImageBgr(out, pixels, width, height, pitch); });
}

void rmbg_destroy(void* ctx) {
  TCall("rmbg_destroy", ctx).Done();
  Destroy(ctx, "rmbg");
}

// ---- portrait animation ----

void* lp_init(const char* feature_model, const char* motion_model, const char* warping_model,
              const char* stitching_model, const char* landmark_model, const char* face_model,
              const char* face_pose_model, const char* mask_template, std::int32_t gpu_device) {
  TCall("lp_init", nullptr)
      .Text(feature_model)
      .Text(motion_model)
      .Text(warping_model)
      .Text(stitching_model)
      .Text(landmark_model)
      .Text(face_model)
      .Text(face_pose_model)
      .Text(mask_template)
      .Int(gpu_device)
      .Done();
  return Init("lp");
}

void lp_set_input(void* ctx, const std::uint8_t* pixels, std::int32_t width, std::int32_t height, std::int32_t pitch) {
  TCall("lp_set_input", ctx).Image(pixels, width, height, pitch).Done();
  Live(ctx, "lp");
}

const std::uint8_t* lp_execute(void* ctx, std::int32_t frame, const std::uint8_t* pixels, std::int32_t width,
                               std::int32_t height, std::int32_t pitch) {
  TCall("lp_execute", ctx).Int(frame).Image(pixels, width, height, pitch).Done();
  TContext* c = Live(ctx, "lp");
  if (!c) return nullptr;
  return Result(*c, "lp_execute", [&](std::vector<std::uint8_t>& out) { ImageBgr(out, pixels, width, height, pitch); });
}

void lp_destroy(void* ctx) {
  TCall("lp_destroy", ctx).Done();
  Destroy(ctx, "lp");
}

// ---- faces ----

void* face_detector_init(const char* model, const char* landmark_model, const char* feature_model,
                         std::int32_t gpu_device, float confidence_threshold, float overlap_threshold) {
  TCall("face_detector_init", nullptr)
      .Text(model)
      .Text(landmark_model)
      .Text(feature_model)
      .Int(gpu_device)
      .Float(confidence_threshold)
      .Float(overlap_threshold)
      .Done();
  return Init("face_detector");
}

void face_detector_execute(void* ctx, const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                           std::int32_t pitch, std::int32_t* count, TBBox** boxes) {
  TCall("face_detector_execute", ctx).Image(pixels, width, height, pitch).Pointer(count).Pointer(boxes).Done();
  TContext* c = Live(ctx, "face_detector");
  if (count) *count = 0;
  if (boxes) *boxes = nullptr;
  if (!c || !count || !boxes) return;
  std::lock_guard lock(State().Mutex);
  c->Faces = State().Faces;
  *count = static_cast<std::int32_t>(c->Faces.size());
  *boxes = c->Faces.data();
}

void face_detector_landmark_5(void* ctx, const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                              std::int32_t pitch, TBBox* box, std::int32_t* feature_length, float** feature) {
  TCall("face_detector_landmark_5", ctx)
      .Image(pixels, width, height, pitch)
      .Pointer(box)
      .Pointer(feature_length)
      .Pointer(feature)
      .Done();
  TContext* c = Live(ctx, "face_detector");
  if (feature_length) *feature_length = 0;
  if (feature) *feature = nullptr;
  if (!c || !box || !feature_length || !feature) return;
  std::lock_guard lock(State().Mutex);
  std::copy(State().Landmark5.begin(), State().Landmark5.end(), box->landmark_5);
  std::copy(State().Landmark68.begin(), State().Landmark68.end(), box->landmark_68);
  // Which record of the context's array this is, if it is one of them.
  const auto at = reinterpret_cast<std::uintptr_t>(box);
  const auto first = reinterpret_cast<std::uintptr_t>(c->Faces.data());
  const std::size_t record = (at - first) / sizeof(TBBox);
  if (!State().Features.empty() && at >= first && record < c->Faces.size())
    c->Feature = State().Features[record % State().Features.size()];
  else
    c->Feature = State().Feature;
  *feature_length = static_cast<std::int32_t>(c->Feature.size());
  *feature = c->Feature.data();
}

void face_detector_destroy(void* ctx) {
  TCall("face_detector_destroy", ctx).Done();
  Destroy(ctx, "face_detector");
}

void* face_enhancer_init(const char* model, std::int32_t gpu_device, float fidelity) {
  TCall("face_enhancer_init", nullptr).Text(model).Int(gpu_device).Float(fidelity).Done();
  return Init("face_enhancer");
}

const std::uint8_t* face_enhancer_execute(void* ctx, const std::uint8_t* pixels, std::int32_t width,
                                          std::int32_t height, std::int32_t pitch, const float* landmarks_5) {
  TCall("face_enhancer_execute", ctx).Image(pixels, width, height, pitch).Array(landmarks_5, 10).Done();
  TContext* c = Live(ctx, "face_enhancer");
  if (!c) return nullptr;
  return Result(*c, "face_enhancer_execute",
                [&](std::vector<std::uint8_t>& out) { ImageBgr(out, pixels, width, height, pitch); });
}

void face_enhancer_destroy(void* ctx) {
  TCall("face_enhancer_destroy", ctx).Done();
  Destroy(ctx, "face_enhancer");
}

void* face_swapper_init(const char* model, const char* model_matrix, std::int32_t gpu_device) {
  TCall("face_swapper_init", nullptr).Text(model).Text(model_matrix).Int(gpu_device).Done();
  return Init("face_swapper");
}

const std::uint8_t* face_swapper_execute(void* ctx, const std::uint8_t* pixels, std::int32_t width,
                                         std::int32_t height, std::int32_t pitch, const float* target_landmarks_5,
                                         std::int32_t embedding_length, const float* embedding) {
  TCall("face_swapper_execute", ctx)
      .Image(pixels, width, height, pitch)
      .Array(target_landmarks_5, 10)
      .Int(embedding_length)
      .Array(embedding, embedding_length)
      .Done();
  TContext* c = Live(ctx, "face_swapper");
  if (!c) return nullptr;
  return Result(*c, "face_swapper_execute",
                [&](std::vector<std::uint8_t>& out) { ImageBgr(out, pixels, width, height, pitch); });
}

void face_swapper_destroy(void* ctx) {
  TCall("face_swapper_destroy", ctx).Done();
  Destroy(ctx, "face_swapper");
}

// ---- voice ----

void* voice_extractor_init(const char* model, std::int32_t gpu_device, void* arg,
                           TVoiceExtractorProgressCallback progress) {
  TCall("voice_extractor_init", nullptr)
      .Text(model)
      .Int(gpu_device)
      .Pointer(arg)
      .Pointer(reinterpret_cast<const void*>(progress))
      .Done();
  auto* context = static_cast<TContext*>(Init("voice_extractor"));
  if (context) {
    context->Arg = arg;
    context->Progress = progress;
  }
  return context;
}

void voice_extractor_execute(void* ctx, const float* samples, std::int32_t sample_count, float** vocals) {
  TCall("voice_extractor_execute", ctx).Int(sample_count).Array(samples, sample_count).Done();
  TContext* c = Live(ctx, "voice_extractor");
  if (vocals) *vocals = nullptr;
  if (!c || !vocals || !samples || sample_count <= 0) return;
  std::vector<std::int32_t> progress;
  bool otherThread = false;
  {
    std::lock_guard lock(State().Mutex);
    progress = State().Progress;
    otherThread = State().ProgressOtherThread;
    const std::vector<float>& scripted = State().Vocals;
    c->Vocals.resize(static_cast<std::size_t>(sample_count));
    for (std::int32_t i = 0; i < sample_count; ++i)
      c->Vocals[i] = scripted.empty() ? samples[i] * 0.5f : scripted[static_cast<std::size_t>(i) % scripted.size()];
  }
  if (c->Progress) {
    auto report = [c, &progress] {
      for (std::int32_t value : progress) c->Progress(c->Arg, value);
    };
    if (otherThread) {
      std::thread(report).join();
    } else {
      report();
    }
  }
  {
    std::lock_guard lock(State().Mutex);
    const auto it = State().Buffers.find("voice_extractor_execute");
    if (it != State().Buffers.end() && !it->second) return;  // scripted to hand out no vocals
  }
  *vocals = c->Vocals.data();
}

void voice_extractor_destroy(void* ctx) {
  TCall("voice_extractor_destroy", ctx).Done();
  Destroy(ctx, "voice_extractor");
}

// ---- control ----

extern "C" {

__attribute__((visibility("default"))) void fake_sam2_reset() {
  std::lock_guard lock(State().Mutex);
  State().ResetScripts();
}

__attribute__((visibility("default"))) void fake_sam2_set_recording(bool on) {
  std::lock_guard lock(State().Mutex);
  State().Recording = on;
}

__attribute__((visibility("default"))) void fake_sam2_calls(std::vector<TFakeCall>* out) {
  std::lock_guard lock(State().Mutex);
  *out = State().Calls;
}

__attribute__((visibility("default"))) void fake_sam2_set_init_fails(const char* family, bool fails) {
  std::lock_guard lock(State().Mutex);
  if (fails) {
    State().FailingInits.insert(family);
  } else {
    State().FailingInits.erase(family);
  }
}

__attribute__((visibility("default"))) void fake_sam2_set_throws(const char* entry, bool throws) {
  std::lock_guard lock(State().Mutex);
  if (throws) {
    State().Throwing.insert(entry);
  } else {
    State().Throwing.erase(entry);
  }
}

__attribute__((visibility("default"))) void fake_sam2_set_delay(const char* entry, std::int32_t milliseconds) {
  std::lock_guard lock(State().Mutex);
  State().DelayMs[entry] = milliseconds;
}

__attribute__((visibility("default"))) void fake_sam2_set_buffer(const char* entry, const std::uint8_t* data,
                                                                 std::size_t size) {
  std::lock_guard lock(State().Mutex);
  if (data) {
    State().Buffers[entry] = std::vector<std::uint8_t>(data, data + size);
  } else {
    State().Buffers[entry] = std::nullopt;
  }
}

__attribute__((visibility("default"))) void fake_sam2_set_track_result(const TDrOBB* result) {
  std::lock_guard lock(State().Mutex);
  if (result) {
    State().TrackResult = *result;
  } else {
    State().TrackResult.reset();
  }
}

__attribute__((visibility("default"))) void fake_sam2_set_faces(const TBBox* faces, std::int32_t count) {
  std::lock_guard lock(State().Mutex);
  State().Faces.assign(faces, faces + std::max(count, 0));
}

__attribute__((visibility("default"))) void fake_sam2_set_landmarks(const float* landmark_5, const float* landmark_68) {
  std::lock_guard lock(State().Mutex);
  if (landmark_5) State().Landmark5.assign(landmark_5, landmark_5 + 10);
  if (landmark_68) State().Landmark68.assign(landmark_68, landmark_68 + 136);
}

__attribute__((visibility("default"))) void fake_sam2_set_feature(const float* feature, std::int32_t length) {
  std::lock_guard lock(State().Mutex);
  State().Feature.assign(feature, feature + std::max(length, 0));
}

__attribute__((visibility("default"))) void fake_sam2_set_features(const float* data, const std::int32_t* lengths,
                                                                   std::int32_t count) {
  std::lock_guard lock(State().Mutex);
  State().Features.clear();
  for (std::int32_t k = 0; k < count; ++k) {
    const std::int32_t length = std::max(lengths[k], 0);
    State().Features.emplace_back(data, data + length);
    data += length;
  }
}

__attribute__((visibility("default"))) void fake_sam2_set_vocals(const float* vocals, std::int32_t length) {
  std::lock_guard lock(State().Mutex);
  State().Vocals.assign(vocals, vocals + std::max(length, 0));
}

__attribute__((visibility("default"))) void fake_sam2_set_progress(const std::int32_t* values, std::int32_t count,
                                                                   bool other_thread) {
  std::lock_guard lock(State().Mutex);
  State().Progress.assign(values, values + std::max(count, 0));
  State().ProgressOtherThread = other_thread;
}

__attribute__((visibility("default"))) std::int32_t fake_sam2_live_contexts() {
  std::lock_guard lock(State().Mutex);
  return static_cast<std::int32_t>(State().Live.size());
}

__attribute__((visibility("default"))) std::int32_t fake_sam2_foreign_contexts() {
  std::lock_guard lock(State().Mutex);
  return State().Foreign;
}

__attribute__((visibility("default"))) std::int64_t fake_sam2_loaded_at() { return gLoadedAt; }

}  // extern "C"
