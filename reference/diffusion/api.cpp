// The exported entry points. Each one checks every argument first and fails
// the way the library does (a null result, a zeroed image, false), with a log
// line saying why; no C++ exception ever leaves through them.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <unordered_map>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORVINA_LEAK_CHECKED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define CORVINA_LEAK_CHECKED 1
#endif
#ifdef CORVINA_LEAK_CHECKED
#include <sanitizer/lsan_interface.h>
#endif

#include "binding/stablediffusion.h"
#include "reference/diffusion/callbacks.h"
#include "reference/diffusion/canny.h"
#include "reference/diffusion/model_file.h"
#include "reference/diffusion/resample.h"
#include "reference/diffusion/sampling.h"
#include "reference/diffusion/scene.h"

using namespace Stablediffusion;
namespace Ref = Reference::Diffusion;

namespace {

struct DiffusionContext {
  Ref::DiffusionModel model;
  std::string path;
  bool vaeDecodeOnly = false;
  bool freeParams = false;
  int threads = 1;
  rng_type_t rng = CUDA_RNG;
  // With free_params_immediately the weights are gone after one generation.
  std::atomic<bool> spent{false};
};

struct UpscalerContext {
  Ref::UpscalerModel model;
  int threads = 1;
  int tileSize = 128;
};

// Sizes past these are refused instead of exhausting memory.
constexpr int kMaxSide = 8192;
constexpr uint64_t kMaxPixels = 4096ull * 4096ull;
constexpr uint64_t kMaxResultBytes = 1ull << 30;
constexpr uint64_t kMaxWorkingBytes = 2ull << 30;
constexpr int kMaxSteps = 10000;

// Handles the library gave out and not yet freed: a stale or foreign pointer
// is refused with a log line instead of being dereferenced. A call holds its
// own reference while it works, so a context freed meanwhile (from one of its
// callbacks, or from another thread) lives until that call returns.
template <class T>
class Registry {
 public:
  void* Add(std::unique_ptr<T> object) {
    std::shared_ptr<T> shared(std::move(object));
    void* handle = shared.get();
    std::lock_guard guard(FLock);
    FLive.emplace(handle, std::move(shared));
    return handle;
  }
  std::shared_ptr<T> Find(const void* handle) {
    std::lock_guard guard(FLock);
    const auto it = FLive.find(handle);
    return it == FLive.end() ? nullptr : it->second;
  }
  bool Remove(const void* handle) {
    std::shared_ptr<T> doomed;  // released after the lock
    std::lock_guard guard(FLock);
    const auto it = FLive.find(handle);
    if (it == FLive.end()) return false;
    doomed = std::move(it->second);
    FLive.erase(it);
    return true;
  }

 private:
  std::mutex FLock;
  std::unordered_map<const void*, std::shared_ptr<T>> FLive;
};

// One registry per kind, so a context passed where an upscaler belongs (or
// the reverse) is refused rather than misread. Never destroyed: exit destroys
// statics made before the first call (a host's component kept in one) later,
// and their workers may still be inside the library then.
// A host that unloads the library drops the only pointer to them, so the leak
// checker is told they are meant to stay.
template <class T>
Registry<T>* Immortal() {
  Registry<T>* registry = std::make_unique<Registry<T>>().release();
#ifdef CORVINA_LEAK_CHECKED
  __lsan_ignore_object(registry);
#endif
  return registry;
}

Registry<DiffusionContext>& Contexts() {
  static Registry<DiffusionContext>* const contexts = Immortal<DiffusionContext>();
  return *contexts;
}

Registry<UpscalerContext>& Upscalers() {
  static Registry<UpscalerContext>* const upscalers = Immortal<UpscalerContext>();
  return *upscalers;
}

template <class Result, class Body>
Result Guarded(const char* entry, Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& e) {
    LOG_ERROR("%s failed: %s", entry, e.what());
  } catch (...) {
    LOG_ERROR("%s failed", entry);
  }
  return failure;
}

const char* OrEmpty(const char* s) { return s == nullptr ? "" : s; }

float Finite(float v, float fallback) { return std::isfinite(v) ? v : fallback; }

int AlignUp64(int v) { return (v + 63) / 64 * 64; }

int PhysicalCores() {
  // Hyper-threads share one "thread_siblings_list"; count each list once.
  std::set<std::string> cores;
  for (unsigned cpu = 0; cpu < 4096; ++cpu) {
    std::ifstream in("/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/thread_siblings_list");
    if (!in) break;
    std::string siblings;
    std::getline(in, siblings);
    cores.insert(siblings);
  }
  if (!cores.empty()) return int(cores.size());
  return std::max(1, int(std::thread::hardware_concurrency()));
}

// An image argument: absent (null data), or a picture this library can read.
bool ReadImage(const char* entry, const char* what, const sd_image_t& image, std::optional<Ref::PixelView>& view) {
  if (image.data == nullptr) return true;
  if (image.width == 0 || image.height == 0 || image.width > kMaxSide || image.height > kMaxSide) {
    LOG_ERROR("%s: %s has the size %ux%u; expected 1 to %d pixels each way", entry, what, image.width, image.height,
              kMaxSide);
    return false;
  }
  if (image.channel != 1 && image.channel != 3 && image.channel != 4) {
    LOG_ERROR("%s: %s has %u channels; expected 1, 3 or 4", entry, what, image.channel);
    return false;
  }
  view = Ref::PixelView{int(image.width), int(image.height), int(image.channel), image.data};
  return true;
}

std::shared_ptr<DiffusionContext> LiveContext(const char* entry, PPsd_ctx_t handle) {
  if (handle == nullptr) {
    LOG_ERROR("%s: the context is null", entry);
    return nullptr;
  }
  auto ctx = Contexts().Find(handle);
  if (ctx == nullptr) LOG_ERROR("%s: %p is not a live context of this library", entry, handle);
  return ctx;
}

// Output size and sampling settings shared by image and video requests.
struct Common {
  int width = 0, height = 0, steps = 0;
  Ref::Look look;
  Ref::Conditioning conditioning;
  int64_t seed = 0;
};

bool ReadCommon(const char* entry, DiffusionContext& ctx, const char* prompt, const char* negative, int clipSkip, int width,
                int height, const sd_sample_params_t& sample, int64_t seed, Common& out) {
  if (prompt == nullptr || negative == nullptr) {
    LOG_ERROR("%s: the %s is null", entry, prompt == nullptr ? "prompt" : "negative prompt");
    return false;
  }
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) {
    LOG_ERROR("%s: the size %dx%d is outside 1 to %d", entry, width, height, kMaxSide);
    return false;
  }
  if (sample.sample_steps < 1 || sample.sample_steps > kMaxSteps) {
    LOG_ERROR("%s: sample_steps is %d; expected 1 to %d", entry, sample.sample_steps, kMaxSteps);
    return false;
  }
  if (sample.guidance.slg.layer_count > 0 && sample.guidance.slg.layers == nullptr) {
    LOG_ERROR("%s: %llu skip layers given without the layer array", entry,
              static_cast<unsigned long long>(sample.guidance.slg.layer_count));
    return false;
  }
  out.width = AlignUp64(width);
  out.height = AlignUp64(height);
  if (out.width != width || out.height != height)
    LOG_WARN("align up %dx%d to %dx%d", width, height, out.width, out.height);
  if (uint64_t(out.width) * uint64_t(out.height) > kMaxPixels) {
    LOG_ERROR("%s: %dx%d is more than %llu pixels", entry, out.width, out.height,
              static_cast<unsigned long long>(kMaxPixels));
    return false;
  }
  out.steps = sample.sample_steps;

  int method = sample.sample_method;
  if (method == SAMPLE_METHOD_COUNT) method = EULER_A_SAMPLE_METHOD;
  if (method < 0 || method > SAMPLE_METHOD_COUNT) {
    LOG_WARN("unknown sample method %d, using euler_a", method);
    method = EULER_A_SAMPLE_METHOD;
  }
  int scheduler = sample.scheduler;
  if (scheduler == SCHEDULER_COUNT) scheduler = DISCRETE_SCHEDULER;
  if (scheduler < 0 || scheduler > SCHEDULER_COUNT) {
    LOG_WARN("unknown scheduler %d, using discrete", scheduler);
    scheduler = DISCRETE_SCHEDULER;
  }

  out.seed = seed;
  if (out.seed < 0) {
    out.seed = int64_t(std::random_device{}() & 0x7FFFFFFF);
    LOG_INFO("seed is negative, using the random seed %lld", static_cast<long long>(out.seed));
  }
  out.conditioning = Ref::Condition(ctx.model, prompt, negative, clipSkip);
  const float cfg = Finite(sample.guidance.txt_cfg, 7.0f);
  out.look.cfg = cfg;
  out.look.guidance = std::isfinite(sample.guidance.img_cfg) ? sample.guidance.img_cfg : cfg;
  out.look.sampleMethod = method;
  out.look.scheduler = scheduler;
  out.look.detailOctaves = std::clamp(1 + out.steps / 4, 1, 7);
  return true;
}

// The random generator of the context decides how a seed becomes noise.
uint64_t NoiseSeed(const DiffusionContext& ctx, int64_t seed) {
  switch (ctx.rng) {
    case STD_DEFAULT_RNG: return Ref::MixBits(uint64_t(seed) ^ 0x5354445F524E47ull);
    case CPU_RNG: return Ref::MixBits(uint64_t(seed) ^ 0x4350555F524E47ull);
    default: return uint64_t(seed);
  }
}

bool ResultFits(const char* entry, int count, int width, int height) {
  const uint64_t bytes = uint64_t(count) * uint64_t(width) * uint64_t(height) * 3;
  if (bytes > kMaxResultBytes) {
    LOG_ERROR("%s: %d results of %dx%d need %llu bytes, more than the limit of %llu", entry, count, width, height,
              static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(kMaxResultBytes));
    return false;
  }
  return true;
}

// Results belong to the caller, who releases each `data` and the array with
// free(), as with the library itself.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

sd_image_t* HandOver(std::vector<std::vector<uint8_t>>&& pictures, int width, int height) {
  std::unique_ptr<sd_image_t[], FreeDeleter> array(
      static_cast<sd_image_t*>(std::calloc(pictures.size(), sizeof(sd_image_t))));
  if (!array) return nullptr;
  std::vector<std::unique_ptr<uint8_t, FreeDeleter>> owned;
  for (size_t i = 0; i < pictures.size(); ++i) {
    owned.emplace_back(static_cast<uint8_t*>(std::malloc(pictures[i].size())));
    if (!owned.back()) return nullptr;
    std::memcpy(owned.back().get(), pictures[i].data(), pictures[i].size());
    pictures[i] = {};
  }
  for (size_t i = 0; i < owned.size(); ++i) array[i] = sd_image_t{uint32_t(width), uint32_t(height), 3, owned[i].release()};
  return array.release();
}

// Unsharp mask against a half-size copy: restores some of the crispness a
// smooth resampling filter takes away.
void Sharpen(uint8_t* rgb, int width, int height, float amount) {
  const int halfW = std::max(1, width / 2), halfH = std::max(1, height / 2);
  std::vector<uint8_t> half(size_t(halfW) * size_t(halfH) * 3), soft(size_t(width) * size_t(height) * 3);
  Ref::Resample(rgb, width, height, 3, half.data(), halfW, halfH, Ref::ResampleFilter::Bicubic);
  Ref::Resample(half.data(), halfW, halfH, 3, soft.data(), width, height, Ref::ResampleFilter::Bicubic);
  for (size_t i = 0; i < soft.size(); ++i)
    rgb[i] = uint8_t(std::clamp(float(rgb[i]) + amount * float(int(rgb[i]) - int(soft[i])), 0.0f, 255.0f) + 0.5f);
}

bool ClaimContext(const char* entry, DiffusionContext& ctx) {
  if (ctx.freeParams && ctx.spent.exchange(true)) {
    LOG_ERROR("%s: the model weights were freed after the first generation (free_params_immediately); "
              "create a new context",
              entry);
    return false;
  }
  return true;
}

}  // namespace

#define SD_EXPORT extern "C" __attribute__((visibility("default")))

SD_EXPORT void sd_set_log_callback(sd_log_cb_t cb, void* data) { Ref::SetLogCallback(cb, data); }

SD_EXPORT void sd_set_progress_callback(sd_progress_cb_t cb, void* data) { Ref::SetProgressCallback(cb, data); }

SD_EXPORT void sd_set_preview_callback(sd_preview_cb_t cb, preview_t mode, int32_t interval, bool denoised,
                                       bool noisy, void* data) {
  Ref::PreviewSettings settings{cb, mode, interval, denoised, noisy, data};
  if (mode < PREVIEW_NONE || mode > PREVIEW_VAE) {
    LOG_WARN("unknown preview mode %d, previews are off", int(mode));
    settings.mode = PREVIEW_NONE;
  }
  if (interval < 1) {
    LOG_WARN("preview interval %d is below 1, using 1", interval);
    settings.interval = 1;
  }
  Ref::SetPreviewCallback(settings);
}

SD_EXPORT int32_t sd_get_num_physical_cores() {
  return Guarded("sd_get_num_physical_cores", 1, [] { return PhysicalCores(); });
}

SD_EXPORT void sd_ctx_params_init(sd_ctx_params_t* params) {
  if (params == nullptr) return;
  std::memset(static_cast<void*>(params), 0, sizeof *params);
  params->vae_decode_only = true;
  params->free_params_immediately = true;
  params->n_threads = Guarded("sd_ctx_params_init", 1, [] { return PhysicalCores(); });
  params->wtype = sd_type_t(40);  // the "count" of weight types: keep the file's own types
  params->rng_type = CUDA_RNG;
  params->sampler_rng_type = RNG_TYPE_COUNT;
  params->prediction = PREDICTION_COUNT;
  params->lora_apply_mode = LORA_APPLY_AUTO;
  params->enable_mmap = false;
  params->chroma_use_dit_mask = true;
  params->chroma_t5_mask_pad = 1;
  params->flow_shift = INFINITY;
}

SD_EXPORT PPsd_ctx_t new_sd_ctx(const sd_ctx_params_t* params) {
  return Guarded("new_sd_ctx", PPsd_ctx_t(nullptr), [&]() -> PPsd_ctx_t {
    if (params == nullptr) {
      LOG_ERROR("new_sd_ctx: the parameters are null");
      return nullptr;
    }
    std::string path = OrEmpty(params->model_path);
    if (path.empty()) path = OrEmpty(params->diffusion_model_path);
    if (path.empty()) {
      LOG_ERROR("new_sd_ctx: neither model_path nor diffusion_model_path names a model");
      return nullptr;
    }
    LOG_INFO("loading model from '%s'", path.c_str());
    Ref::ModelFile file = Ref::LoadModelFile(path);
    if (!file.error.empty()) {
      LOG_ERROR("init model loader from file failed: %s", file.error.c_str());
      return nullptr;
    }
    if (!file.diffusion) {
      LOG_ERROR("'%s' is an upscaler model, not a diffusion model", path.c_str());
      return nullptr;
    }
    auto ctx = std::make_unique<DiffusionContext>();
    ctx->model = std::move(*file.diffusion);
    ctx->path = path;
    ctx->vaeDecodeOnly = params->vae_decode_only;
    ctx->freeParams = params->free_params_immediately;
    ctx->threads = params->n_threads > 0 ? params->n_threads : PhysicalCores();
    ctx->rng = params->rng_type;
    if (ctx->rng < STD_DEFAULT_RNG || ctx->rng >= RNG_TYPE_COUNT) {
      LOG_WARN("unknown rng type %d, using cuda", int(ctx->rng));
      ctx->rng = CUDA_RNG;
    }
    LOG_INFO("using %d threads, weight type %d", ctx->threads, int(params->wtype));
    for (const auto& [name, value] : {std::pair{"vae", params->vae_path}, std::pair{"taesd", params->taesd_path},
                                      std::pair{"control net", params->control_net_path}}) {
      if (*OrEmpty(value) != '\0') LOG_INFO("%s model '%s' is not needed by this backend", name, value);
    }

    // The real loader reads tensors on worker threads, and some of its log
    // lines come from there; hosts must cope with that, so this one does too.
    const int tensors = ctx->model.tensors;
    std::thread loader([tensors, name = ctx->model.name] {
      LOG_DEBUG("loader thread: %d tensors of '%s'", tensors, name.c_str());
    });
    loader.join();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 1; i <= tensors; ++i)
      Ref::ReportProgress(i, tensors, std::chrono::duration<float>(std::chrono::steady_clock::now() - start).count());
    LOG_INFO("model '%s' loaded: %zu colours, detail %.2f", ctx->model.name.c_str(), ctx->model.palette.size(),
             double(ctx->model.detail));
    return Contexts().Add(std::move(ctx));
  });
}

SD_EXPORT void free_sd_ctx(PPsd_ctx_t ctx) {
  if (ctx == nullptr) return;
  if (!Contexts().Remove(ctx)) LOG_ERROR("free_sd_ctx: %p is not a live context of this library", ctx);
}

namespace {

// The library's own defaults for one sampling pass.
void InitSampleParams(sd_sample_params_t& sample) {
  sample.guidance.txt_cfg = 7.0f;
  sample.guidance.img_cfg = INFINITY;
  sample.guidance.distilled_guidance = 3.5f;
  sample.guidance.slg.layer_start = 0.01f;
  sample.guidance.slg.layer_end = 0.2f;
  sample.scheduler = SCHEDULER_COUNT;
  sample.sample_method = SAMPLE_METHOD_COUNT;
  sample.sample_steps = 20;
  sample.eta = INFINITY;
}

void InitCacheParams(sd_cache_params_t& cache) {
  cache.mode = SD_CACHE_DISABLED;
  cache.reuse_threshold = 1.0f;
  cache.start_percent = 0.15f;
  cache.end_percent = 0.95f;
}

// A count of items needs the array that holds them.
template <class TCount>
bool ArrayGiven(const char* entry, TCount count, const void* array, const char* what) {
  if (count <= 0 || array != nullptr) return true;
  LOG_ERROR("%s: %lld %s given without their array", entry, static_cast<long long>(count), what);
  return false;
}

bool EncoderAvailable(const char* entry, const Ref::SamplingJob& job, const DiffusionContext& ctx) {
  if (!job.init || !ctx.vaeDecodeOnly) return true;
  LOG_ERROR("%s: an init image needs the VAE encoder, but the context was created with vae_decode_only", entry);
  return false;
}

}  // namespace

SD_EXPORT void sd_img_gen_params_init(sd_img_gen_params_t* params) {
  if (params == nullptr) return;
  std::memset(static_cast<void*>(params), 0, sizeof *params);
  params->clip_skip = -1;
  InitSampleParams(params->sample_params);
  params->width = 512;
  params->height = 512;
  params->strength = 0.75f;
  params->seed = -1;
  params->batch_count = 1;
  params->control_strength = 0.9f;
  params->pm_params.style_strength = 20.0f;
  params->vae_tiling_params.target_overlap = 0.5f;
  InitCacheParams(params->cache);
}

SD_EXPORT sd_image_t* generate_image(PPsd_ctx_t handle, const sd_img_gen_params_t* params) {
  constexpr const char* kEntry = "generate_image";
  return Guarded(kEntry, static_cast<sd_image_t*>(nullptr), [&]() -> sd_image_t* {
    const std::shared_ptr<DiffusionContext> ctx = LiveContext(kEntry, handle);
    if (ctx == nullptr) return nullptr;
    if (params == nullptr) {
      LOG_ERROR("%s: the parameters are null", kEntry);
      return nullptr;
    }
    Common common;
    if (!ReadCommon(kEntry, *ctx, params->prompt, params->negative_prompt, params->clip_skip, params->width,
                    params->height, params->sample_params, params->seed, common))
      return nullptr;
    if (params->batch_count < 1) {
      LOG_ERROR("%s: batch_count is %d; expected at least 1", kEntry, params->batch_count);
      return nullptr;
    }
    if (!ArrayGiven(kEntry, params->lora_count, params->loras, "LoRAs") ||
        !ArrayGiven(kEntry, params->ref_images_count, params->ref_images, "reference images"))
      return nullptr;
    Ref::SamplingJob job;
    if (!ReadImage(kEntry, "init_image", params->init_image, job.init) ||
        !ReadImage(kEntry, "mask_image", params->mask_image, job.mask) ||
        !ReadImage(kEntry, "control_image", params->control_image, job.control))
      return nullptr;
    if (!ResultFits(kEntry, params->batch_count, common.width, common.height)) return nullptr;
    if (!EncoderAvailable(kEntry, job, *ctx) || !ClaimContext(kEntry, *ctx)) return nullptr;

    job.model = &ctx->model;
    job.conditioning = common.conditioning;
    job.width = common.width;
    job.height = common.height;
    job.strength = std::clamp(Finite(params->strength, 0.75f), 0.0f, 1.0f);
    job.controlStrength = Finite(params->control_strength, 0.0f);
    // Image-to-image starts part way down the noise schedule.
    job.steps = job.init ? std::max(1, int(float(common.steps) * job.strength)) : common.steps;
    LOG_INFO("%s: %dx%d, %d steps, seed %lld, batch %d%s%s", kEntry, job.width, job.height, job.steps,
             static_cast<long long>(common.seed), params->batch_count, job.init ? ", from an init image" : "",
             job.mask ? " with a mask" : "");

    const auto start = std::chrono::steady_clock::now();
    std::vector<std::vector<uint8_t>> pictures;
    for (int b = 0; b < params->batch_count; ++b) {
      job.look = common.look;
      // Wraps around instead of overflowing at the largest seed.
      job.look.seed = NoiseSeed(*ctx, int64_t(uint64_t(common.seed) + uint64_t(b)));
      auto frames = Ref::RunSampling(job);
      pictures.push_back(std::move(frames.front()));
      LOG_INFO("sampling of image %d/%d completed", b + 1, params->batch_count);
    }
    sd_image_t* result = HandOver(std::move(pictures), job.width, job.height);
    if (result == nullptr) {
      LOG_ERROR("%s: out of memory for the results", kEntry);
      return nullptr;
    }
    LOG_INFO("%s completed in %.2fs", kEntry,
             double(std::chrono::duration<float>(std::chrono::steady_clock::now() - start).count()));
    return result;
  });
}

SD_EXPORT void sd_vid_gen_params_init(sd_vid_gen_params_t* params) {
  if (params == nullptr) return;
  std::memset(static_cast<void*>(params), 0, sizeof *params);
  params->clip_skip = -1;
  InitSampleParams(params->sample_params);
  InitSampleParams(params->high_noise_sample_params);
  params->high_noise_sample_params.sample_steps = -1;
  params->width = 512;
  params->height = 512;
  params->moe_boundary = 0.875f;
  params->strength = 0.75f;
  params->seed = -1;
  params->video_frames = 6;
  params->vace_strength = 1.0f;
  InitCacheParams(params->cache);
}

SD_EXPORT sd_image_t* generate_video(PPsd_ctx_t handle, const sd_vid_gen_params_t* params, int32_t* num_frames_out) {
  constexpr const char* kEntry = "generate_video";
  if (num_frames_out != nullptr) *num_frames_out = 0;
  return Guarded(kEntry, static_cast<sd_image_t*>(nullptr), [&]() -> sd_image_t* {
    const std::shared_ptr<DiffusionContext> ctx = LiveContext(kEntry, handle);
    if (ctx == nullptr) return nullptr;
    if (params == nullptr || num_frames_out == nullptr) {
      LOG_ERROR("%s: the %s is null", kEntry, params == nullptr ? "parameter record" : "frame count pointer");
      return nullptr;
    }
    Common common;
    if (!ReadCommon(kEntry, *ctx, params->prompt, params->negative_prompt, params->clip_skip, params->width,
                    params->height, params->sample_params, params->seed, common))
      return nullptr;
    if (params->video_frames < 1) {
      LOG_ERROR("%s: video_frames is %d; expected at least 1", kEntry, params->video_frames);
      return nullptr;
    }
    if (!ArrayGiven(kEntry, params->lora_count, params->loras, "LoRAs") ||
        !ArrayGiven(kEntry, params->control_frames_size, params->control_frames, "control frames"))
      return nullptr;
    Ref::SamplingJob job;
    std::optional<Ref::PixelView> endImage;
    if (!ReadImage(kEntry, "init_image", params->init_image, job.init) ||
        !ReadImage(kEntry, "end_image", params->end_image, endImage))
      return nullptr;
    if (!ResultFits(kEntry, params->video_frames, common.width, common.height)) return nullptr;
    // Every frame is worked on at once, in floats, with previews three times over.
    const uint64_t working = uint64_t(params->video_frames) * uint64_t(common.width) * uint64_t(common.height) * 39;
    if (working > kMaxWorkingBytes) {
      LOG_ERROR("%s: %d frames of %dx%d need %llu bytes of working memory, more than the limit of %llu", kEntry,
                params->video_frames, common.width, common.height, static_cast<unsigned long long>(working),
                static_cast<unsigned long long>(kMaxWorkingBytes));
      return nullptr;
    }
    if (!EncoderAvailable(kEntry, job, *ctx) || !ClaimContext(kEntry, *ctx)) return nullptr;

    job.model = &ctx->model;
    job.conditioning = common.conditioning;
    job.look = common.look;
    job.look.seed = NoiseSeed(*ctx, common.seed);
    job.width = common.width;
    job.height = common.height;
    job.steps = common.steps;
    job.frames = params->video_frames;
    job.strength = std::clamp(Finite(params->strength, 0.75f), 0.0f, 1.0f);
    LOG_INFO("%s: %d frames of %dx%d, %d steps, seed %lld", kEntry, job.frames, job.width, job.height, job.steps,
             static_cast<long long>(common.seed));
    const auto start = std::chrono::steady_clock::now();
    sd_image_t* result = HandOver(Ref::RunSampling(job), job.width, job.height);
    if (result == nullptr) {
      LOG_ERROR("%s: out of memory for the frames", kEntry);
      return nullptr;
    }
    *num_frames_out = job.frames;
    LOG_INFO("%s completed in %.2fs", kEntry,
             double(std::chrono::duration<float>(std::chrono::steady_clock::now() - start).count()));
    return result;
  });
}

SD_EXPORT PPupscaler_ctx_t new_upscaler_ctx(const char* esrgan_path, bool offload_params_to_cpu, bool direct,
                                            int32_t n_threads, int32_t tile_size) {
  return Guarded("new_upscaler_ctx", PPupscaler_ctx_t(nullptr), [&]() -> PPupscaler_ctx_t {
    if (esrgan_path == nullptr || *esrgan_path == '\0') {
      LOG_ERROR("new_upscaler_ctx: no model path");
      return nullptr;
    }
    if (tile_size < 1) {
      LOG_ERROR("new_upscaler_ctx: tile size %d; expected at least 1", tile_size);
      return nullptr;
    }
    LOG_INFO("loading upscaler model from '%s'%s%s", esrgan_path, offload_params_to_cpu ? ", weights on the CPU" : "",
             direct ? ", direct convolutions" : "");
    Ref::ModelFile file = Ref::LoadModelFile(esrgan_path);
    if (!file.error.empty()) {
      LOG_ERROR("load upscaler model failed: %s", file.error.c_str());
      return nullptr;
    }
    if (!file.upscaler) {
      LOG_ERROR("'%s' is a diffusion model, not an upscaler model", esrgan_path);
      return nullptr;
    }
    auto ctx = std::make_unique<UpscalerContext>();
    ctx->model = std::move(*file.upscaler);
    ctx->threads = n_threads > 0 ? n_threads : PhysicalCores();
    ctx->tileSize = tile_size;
    LOG_INFO("upscaler '%s' loaded: x%d", ctx->model.name.c_str(), ctx->model.scale);
    return Upscalers().Add(std::move(ctx));
  });
}

SD_EXPORT void free_upscaler_ctx(PPupscaler_ctx_t ctx) {
  if (ctx == nullptr) return;
  if (!Upscalers().Remove(ctx)) LOG_ERROR("free_upscaler_ctx: %p is not a live upscaler context of this library", ctx);
}

SD_EXPORT sd_image_t upscale(PPupscaler_ctx_t handle, sd_image_t input_image, uint32_t upscale_factor) {
  constexpr const char* kEntry = "upscale";
  return Guarded(kEntry, sd_image_t{}, [&]() -> sd_image_t {
    const std::shared_ptr<const UpscalerContext> ctx = Upscalers().Find(handle);
    if (ctx == nullptr) {
      LOG_ERROR("%s: %p is not a live upscaler context", kEntry, handle);
      return {};
    }
    std::optional<Ref::PixelView> input;
    if (!ReadImage(kEntry, "the input image", input_image, input)) return {};
    if (!input) {
      LOG_ERROR("%s: the input image has no pixels", kEntry);
      return {};
    }
    const Ref::UpscalerModel& model = ctx->model;
    if (upscale_factor != uint32_t(model.scale))
      LOG_INFO("upscale factor %u ignored: the model '%s' upscales by %d", upscale_factor, model.name.c_str(),
               model.scale);
    const int width = input->width * model.scale, height = input->height * model.scale;
    if (uint64_t(width) * uint64_t(height) > kMaxPixels * 4 || !ResultFits(kEntry, 1, width, height)) return {};

    const std::vector<uint8_t> rgb = Ref::Conform(*input, input->width, input->height, 3);
    const size_t bytes = size_t(width) * size_t(height) * 3;
    std::unique_ptr<uint8_t, FreeDeleter> data(static_cast<uint8_t*>(std::malloc(bytes)));
    if (!data) {
      LOG_ERROR("%s: out of memory for the result", kEntry);
      return {};
    }
    const Ref::Resampler resampler(rgb.data(), input->width, input->height, 3, width, height, model.filter);
    // One band of output rows per tile row, so progress moves as tiles do.
    const int band = int(std::clamp<int64_t>(int64_t(ctx->tileSize) * model.scale, 1, height));
    const int bands = (height + band - 1) / band;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < bands; ++i) {
      resampler.Rows(i * band, std::min(height, (i + 1) * band), data.get());
      Ref::ReportProgress(i + 1, bands,
                          std::chrono::duration<float>(std::chrono::steady_clock::now() - start).count());
    }
    if (model.sharpen > 0) Sharpen(data.get(), width, height, model.sharpen);
    LOG_INFO("input image upscaled to %dx%d", width, height);
    return sd_image_t{uint32_t(width), uint32_t(height), 3, data.release()};
  });
}

SD_EXPORT bool preprocess_canny(sd_image_t image, float high_threshold, float low_threshold, float weak, float strong,
                                bool inverse) {
  constexpr const char* kEntry = "preprocess_canny";
  return Guarded(kEntry, false, [&] {
    std::optional<Ref::PixelView> view;
    if (!ReadImage(kEntry, "the image", image, view)) return false;
    if (!view) {
      LOG_ERROR("%s: the image has no pixels", kEntry);
      return false;
    }
    for (const float v : {high_threshold, low_threshold, weak, strong}) {
      if (!std::isfinite(v)) {
        LOG_ERROR("%s: thresholds and edge values must be finite", kEntry);
        return false;
      }
    }
    const auto edges = Ref::CannyEdges(image.data, view->width, view->height, view->channels,
                                       Ref::CannySettings{high_threshold, low_threshold, weak, strong, inverse});
    // Gray into every colour channel; a fourth (alpha) channel is left alone.
    uint8_t* out = image.data;
    switch (image.channel) {
      case 1:
        std::memcpy(out, edges.data(), edges.size());
        break;
      default:
        for (size_t i = 0; i < edges.size(); ++i, out += image.channel) out[0] = out[1] = out[2] = edges[i];
        break;
    }
    return true;
  });
}

// Every export has exactly the type the package's binding declares.
static_assert(std::is_same_v<decltype(sd_set_log_callback), sd_set_log_callback_fn>);
static_assert(std::is_same_v<decltype(sd_set_progress_callback), sd_set_progress_callback_fn>);
static_assert(std::is_same_v<decltype(sd_set_preview_callback), sd_set_preview_callback_fn>);
static_assert(std::is_same_v<decltype(sd_get_num_physical_cores), sd_get_num_physical_cores_fn>);
static_assert(std::is_same_v<decltype(sd_ctx_params_init), sd_ctx_params_init_fn>);
static_assert(std::is_same_v<decltype(new_sd_ctx), new_sd_ctx_fn>);
static_assert(std::is_same_v<decltype(free_sd_ctx), free_sd_ctx_fn>);
static_assert(std::is_same_v<decltype(sd_img_gen_params_init), sd_img_gen_params_init_fn>);
static_assert(std::is_same_v<decltype(generate_image), generate_image_fn>);
static_assert(std::is_same_v<decltype(sd_vid_gen_params_init), sd_vid_gen_params_init_fn>);
static_assert(std::is_same_v<decltype(generate_video), generate_video_fn>);
static_assert(std::is_same_v<decltype(new_upscaler_ctx), new_upscaler_ctx_fn>);
static_assert(std::is_same_v<decltype(free_upscaler_ctx), free_upscaler_ctx_fn>);
static_assert(std::is_same_v<decltype(upscale), upscale_fn>);
static_assert(std::is_same_v<decltype(preprocess_canny), preprocess_canny_fn>);
