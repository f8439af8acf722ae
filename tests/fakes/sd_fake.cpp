// A recording fake of the diffusion library; see sd_fake.h.
#include "tests/fakes/sd_fake.h"

#if defined(_WIN32)
#include <windows.h>
#endif

#include <cstdlib>
#include <cstring>
#include <type_traits>

using namespace Corvina::Fakes;

namespace {

#if defined(_WIN32)
// Loaded once, it stays, as the Linux build's nodelete keeps it: tests reach
// its state after the package has freed the library.
const bool gPinned = [] {
  HMODULE self = nullptr;
  return ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                              reinterpret_cast<LPCWSTR>(&gPinned), &self) != 0;
}();
#endif

// A process that cannot reach the fake's state (a tool under test) asks for
// a little log and progress through the environment.
void ScriptFromEnvironment(TFakeSd& f) {
  if (!std::getenv("CORVINA_FAKE_SD_CHATTY")) return;
  TFakeCallbacks chatter;
  chatter.Events = {LogEvent("fake.cpp:7 - working\n"), ProgressEvent(1, 2, 0.25f), ProgressEvent(2, 2, 0.25f)};
  f.Script.Callbacks[TFakeEntry::GenerateImage] = chatter;
  f.Script.Callbacks[TFakeEntry::GenerateVideo] = chatter;
}

TFakeSd& Fake() {
  static TFakeSd fake;
  static const bool scripted = (ScriptFromEnvironment(fake), true);
  (void)scripted;
  return fake;
}

struct TFakeContext {
  bool FreeParamsImmediately = false;
  bool VaeDecodeOnly = false;
  int Generations = 0;
};

// Counts a generation in progress for as long as it lives.
struct TGenerating {
  TGenerating() { ++Fake().Generating; }
  ~TGenerating() { --Fake().Generating; }
  TGenerating(const TGenerating&) = delete;
  TGenerating& operator=(const TGenerating&) = delete;
};

struct TFakeUpscaler {
  std::uint32_t Factor = 2;
};

// Sentinels: texts the component must overwrite or leave alone are told apart
// by address, numbers by values no caller would choose.
const char* Sentinel(const char* field) {
  static std::mutex m;
  static std::map<std::string, std::string> texts;
  std::lock_guard lock(m);
  auto [it, added] = texts.try_emplace(field, std::string("default:") + field);
  return it->second.c_str();
}

std::optional<std::string> TextOf(const char* s) {
  if (!s) return std::nullopt;
  return std::string(s);
}

// The pixels of the images the init functions put into records.
std::uint8_t gSentinelPixels[4] = {1, 2, 3, 4};

TFakeImage CopyImage(const sd_image_t& img) {
  TFakeImage out{img.width, img.height, img.channel, img.data == nullptr, {}};
  if (img.data && img.data != gSentinelPixels) {
    const size_t n = size_t(img.width) * img.height * img.channel;
    out.Pixels.assign(img.data, img.data + n);
  }
  return out;
}

TFakeCall NewCall(const char* name) {
  TFakeCall call;
  call.Name = name;
  return call;
}

void Record(TFakeCall call) {
  call.Thread = std::this_thread::get_id();
  std::lock_guard lock(Fake().Mutex);
  if (Fake().Script.KeepCalls) Fake().Calls.push_back(std::move(call));
}

void Violation(std::string what) {
  std::lock_guard lock(Fake().Mutex);
  Fake().Violations.push_back(std::move(what));
}

TFakeScript ScriptCopy() {
  std::lock_guard lock(Fake().Mutex);
  return Fake().Script;
}

void FillResult(sd_image_t& img, std::uint32_t index, std::uint32_t w, std::uint32_t h, std::uint32_t c) {
  img.width = w;
  img.height = h;
  img.channel = c;
  img.data = static_cast<std::uint8_t*>(std::malloc(size_t(w) * h * c));
  for (std::uint32_t y = 0; y < h; ++y)
    for (std::uint32_t x = 0; x < w; ++x)
      for (std::uint32_t k = 0; k < c; ++k) img.data[(size_t(y) * w + x) * c + k] = FakeResultByte(index, x, y, k);
}

// The library's own way: a calloc'd array, every data malloc'd.
sd_image_t* MakeResults(const TFakeScript& script, std::uint32_t count, std::int32_t w, std::int32_t h) {
  if (!script.Results.empty()) count = static_cast<std::uint32_t>(script.Results.size());
  auto* images = static_cast<sd_image_t*>(std::calloc(count, sizeof(sd_image_t)));
  for (std::uint32_t i = 0; i < count; ++i) {
    if (script.Results.empty()) {
      FillResult(images[i], i, std::uint32_t(w), std::uint32_t(h), 3);
    } else {
      const TFakeImage& r = script.Results[i];
      if (r.NullData) {
        images[i] = sd_image_t{r.Width, r.Height, r.Channel, nullptr};
      } else {
        FillResult(images[i], i, r.Width, r.Height, r.Channel);
      }
    }
  }
  return images;
}

void FireEvent(const TFakeEvent& e);

// A C++ exception must never unwind through the library's C frames.
void FireEvents(const std::vector<TFakeEvent>& events) {
  for (const TFakeEvent& e : events) {
    try {
      FireEvent(e);
    } catch (...) {
      Violation("a C++ exception left a callback into the library");
    }
  }
}

void FireEvent(const TFakeEvent& e) {
  TFakeSd& f = Fake();
  {
    switch (e.Kind) {
      case TFakeEvent::Log:
        if (f.LogCb) f.LogCb(SD_LOG_INFO, e.NullText ? nullptr : e.Text.c_str(), f.LogData);
        break;
      case TFakeEvent::Progress:
        if (f.ProgressCb) f.ProgressCb(e.Step, e.Steps, e.Time, f.ProgressData);
        break;
      case TFakeEvent::Preview: {
        sd_preview_cb_t cb;
        void* data;
        {
          std::lock_guard lock(f.Mutex);
          if (f.PreviewMode == PREVIEW_NONE) break;
          cb = f.PreviewCb, data = f.PreviewData;
        }
        if (!cb) break;
        std::vector<sd_image_t> frames(size_t(e.Frames));
        for (std::int32_t i = 0; i < e.Frames; ++i) FillResult(frames[size_t(i)], std::uint32_t(i), e.FrameWidth, e.FrameHeight, 3);
        cb(e.Step, e.Frames, frames.data(), false, data);
        for (sd_image_t& fr : frames) std::free(fr.data);
        break;
      }
    }
  }
}

void RunCallbacks(const TFakeScript& script, TFakeEntry entry) {
  auto it = script.Callbacks.find(entry);
  if (it != script.Callbacks.end()) {
    if (it->second.FromOtherThread) {
      std::thread t(FireEvents, it->second.Events);
      t.join();
    } else {
      FireEvents(it->second.Events);
    }
  }
  if (script.Hook) script.Hook(entry);
}

void RecordImgParams(TFakeCall& call, const sd_img_gen_params_t& p) {
  call.ImgParams = p;
  call.Texts["prompt"] = TextOf(p.prompt);
  call.Texts["negative_prompt"] = TextOf(p.negative_prompt);
  call.Texts["pm_params.id_embed_path"] = TextOf(p.pm_params.id_embed_path);
  call.Images["init_image"] = CopyImage(p.init_image);
  call.Images["mask_image"] = CopyImage(p.mask_image);
  call.Images["control_image"] = CopyImage(p.control_image);
  const sd_slg_params_t& slg = p.sample_params.guidance.slg;
  if (slg.layers && slg.layer_count < 4096) call.SlgLayers.assign(slg.layers, slg.layers + slg.layer_count);
}

void InitSample(sd_sample_params_t& s, int salt) {
  s.guidance.txt_cfg = 1.25f + salt;
  s.guidance.img_cfg = 2.5f + salt;
  s.guidance.distilled_guidance = 3.75f + salt;
  static std::int32_t defaultLayers[] = {61, 62, 63};
  s.guidance.slg.layers = defaultLayers;
  s.guidance.slg.layer_count = 3;
  s.guidance.slg.layer_start = 0.125f + salt;
  s.guidance.slg.layer_end = 0.875f + salt;
  s.guidance.slg.scale = 4.5f + salt;
  s.scheduler = SCHEDULER_COUNT;
  s.sample_method = SAMPLE_METHOD_COUNT;
  s.sample_steps = 97 + salt;
  s.eta = 0.625f + salt;
  s.shifted_timestep = 13 + salt;
  static float sigmas[] = {9.f, 8.f};
  s.custom_sigmas = sigmas;
  s.custom_sigmas_count = 2;
}

void InitCache(sd_cache_params_t& c) {
  c.mode = SD_CACHE_TAYLORSEER;
  c.reuse_threshold = 0.3125f;
  c.start_percent = 0.1875f;
  c.end_percent = 0.9375f;
  c.error_decay_rate = 0.0625f;
  c.use_relative_threshold = true;
  c.reset_error_on_compute = true;
  c.Fn_compute_blocks = 31;
  c.Bn_compute_blocks = 32;
  c.residual_diff_threshold = 0.4375f;
  c.max_warmup_steps = 33;
  c.max_cached_steps = 34;
  c.max_continuous_cached_steps = 35;
  c.taylorseer_n_derivatives = 36;
  c.taylorseer_skip_interval = 37;
  c.scm_mask = Sentinel("cache.scm_mask");
  c.scm_policy_dynamic = true;
}

// Field by field, so that padding keeps the init's byte pattern and two
// records filled by the init compare equal byte for byte.
void SetSentinelImage(sd_image_t& img, std::uint32_t salt) {
  img.width = 900 + salt;
  img.height = 800 + salt;
  img.channel = 7;
  img.data = gSentinelPixels;
}

}  // namespace

extern "C" {

TFakeSd* corvina_fake_sd() { return &Fake(); }

void sd_set_log_callback(sd_log_cb_t cb, void* data) {
  TFakeCall call = NewCall("sd_set_log_callback");
  call.Callback = reinterpret_cast<void*>(cb);
  call.Data = data;
  Record(std::move(call));
  std::lock_guard lock(Fake().Mutex);
  Fake().LogCb = cb;
  Fake().LogData = data;
}

void sd_set_progress_callback(sd_progress_cb_t cb, void* data) {
  TFakeCall call = NewCall("sd_set_progress_callback");
  call.Callback = reinterpret_cast<void*>(cb);
  call.Data = data;
  Record(std::move(call));
  std::lock_guard lock(Fake().Mutex);
  Fake().ProgressCb = cb;
  Fake().ProgressData = data;
}

void sd_set_preview_callback(sd_preview_cb_t cb, preview_t mode, std::int32_t interval, bool denoised, bool noisy,
                             void* data) {
  TFakeCall call = NewCall("sd_set_preview_callback");
  call.Callback = reinterpret_cast<void*>(cb);
  call.Data = data;
  call.Mode = mode;
  call.Interval = interval;
  call.Flag1 = denoised;
  call.Flag2 = noisy;
  Record(std::move(call));
  TFakeSd& f = Fake();
  std::lock_guard lock(f.Mutex);
  const bool changed = mode != f.PreviewMode || interval != f.PreviewInterval || denoised != f.PreviewDenoised ||
                       noisy != f.PreviewNoisy || cb != f.PreviewCb;
  if (changed && f.Generating > 0)
    f.Violations.push_back("sd_set_preview_callback: the preview settings changed while a generation samples");
  f.PreviewCb = cb;
  f.PreviewData = data;
  f.PreviewMode = mode;
  f.PreviewInterval = interval;
  f.PreviewDenoised = denoised;
  f.PreviewNoisy = noisy;
}

std::int32_t sd_get_num_physical_cores() {
  Record(NewCall("sd_get_num_physical_cores"));
  return ScriptCopy().PhysicalCores;
}

void sd_ctx_params_init(sd_ctx_params_t* p) {
  Record(NewCall("sd_ctx_params_init"));
  if (!p) return Violation("sd_ctx_params_init: null record");
  std::memset(p, 0xA5, sizeof *p);
  p->model_path = Sentinel("model_path");
  p->clip_l_path = Sentinel("clip_l_path");
  p->clip_g_path = Sentinel("clip_g_path");
  p->clip_vision_path = Sentinel("clip_vision_path");
  p->t5xxl_path = Sentinel("t5xxl_path");
  p->llm_path = Sentinel("llm_path");
  p->llm_vision_path = Sentinel("llm_vision_path");
  p->diffusion_model_path = Sentinel("diffusion_model_path");
  p->high_noise_diffusion_model_path = Sentinel("high_noise_diffusion_model_path");
  p->vae_path = Sentinel("vae_path");
  p->taesd_path = Sentinel("taesd_path");
  p->control_net_path = Sentinel("control_net_path");
  static sd_embedding_t embeddings[1] = {{"emb", "emb.pt"}};
  p->embeddings = embeddings;
  p->embedding_count = 1;
  p->photo_maker_path = Sentinel("photo_maker_path");
  p->tensor_type_rules = Sentinel("tensor_type_rules");
  p->vae_decode_only = true;
  p->free_params_immediately = true;
  p->n_threads = -77;
  p->wtype = sd_type_t(23);
  p->rng_type = RNG_TYPE_COUNT;
  p->sampler_rng_type = CPU_RNG;
  p->prediction = FLUX2_FLOW_PRED;
  p->lora_apply_mode = LORA_APPLY_AT_RUNTIME;
  p->offload_params_to_cpu = true;
  p->enable_mmap = true;
  p->keep_clip_on_cpu = true;
  p->keep_control_net_on_cpu = true;
  p->keep_vae_on_cpu = true;
  p->diffusion_flash_attn = true;
  p->tae_preview_only = true;
  p->diffusion_conv_direct = true;
  p->vae_conv_direct = true;
  p->circular_x = true;
  p->circular_y = true;
  p->force_sdxl_vae_conv_scale = true;
  p->chroma_use_dit_mask = true;
  p->chroma_use_t5_mask = true;
  p->chroma_t5_mask_pad = 19;
  p->qwen_image_zero_cond_t = true;
  p->flow_shift = 2.375f;
}

void* new_sd_ctx(const sd_ctx_params_t* p) {
  TFakeCall call = NewCall("new_sd_ctx");
  const TFakeScript script = ScriptCopy();
  if (!p) {
    Record(std::move(call));
    Violation("new_sd_ctx: null record");
    return nullptr;
  }
  call.CtxParams = *p;
  const std::pair<const char*, const char*> texts[] = {
      {"model_path", p->model_path},
      {"clip_l_path", p->clip_l_path},
      {"clip_g_path", p->clip_g_path},
      {"clip_vision_path", p->clip_vision_path},
      {"t5xxl_path", p->t5xxl_path},
      {"llm_path", p->llm_path},
      {"llm_vision_path", p->llm_vision_path},
      {"diffusion_model_path", p->diffusion_model_path},
      {"high_noise_diffusion_model_path", p->high_noise_diffusion_model_path},
      {"vae_path", p->vae_path},
      {"taesd_path", p->taesd_path},
      {"control_net_path", p->control_net_path},
      {"photo_maker_path", p->photo_maker_path},
      {"tensor_type_rules", p->tensor_type_rules},
  };
  for (const auto& [name, value] : texts) call.Texts[name] = TextOf(value);
  RunCallbacks(script, TFakeEntry::NewSdCtx);
  TFakeContext* ctx = nullptr;
  if (!script.NewSdCtxFails) {
    ctx = new TFakeContext{p->free_params_immediately, p->vae_decode_only, 0};
    ++Fake().LiveContexts;
  }
  call.Context = ctx;
  Record(std::move(call));
  return ctx;
}

void free_sd_ctx(void* ctx) {
  TFakeCall call = NewCall("free_sd_ctx");
  call.Context = ctx;
  Record(std::move(call));
  if (!ctx) return Violation("free_sd_ctx: null context");
  delete static_cast<TFakeContext*>(ctx);
  --Fake().LiveContexts;
}

void sd_img_gen_params_init(sd_img_gen_params_t* p) {
  Record(NewCall("sd_img_gen_params_init"));
  if (!p) return Violation("sd_img_gen_params_init: null record");
  std::memset(p, 0x5A, sizeof *p);
  static sd_lora_t loras[1] = {{true, 0.5f, "lora.safetensors"}};
  p->loras = loras;
  p->lora_count = 1;
  p->prompt = Sentinel("prompt");
  p->negative_prompt = Sentinel("negative_prompt");
  p->clip_skip = -55;
  SetSentinelImage(p->init_image, 1);
  static sd_image_t refs[1] = {{902, 802, 7, gSentinelPixels}};
  p->ref_images = refs;
  p->ref_images_count = 1;
  p->auto_resize_ref_image = true;
  p->increase_ref_index = true;
  SetSentinelImage(p->mask_image, 3);
  p->width = 777;
  p->height = 555;
  InitSample(p->sample_params, 0);
  p->strength = 0.3125f;
  p->seed = 0x123456789LL;
  p->batch_count = 99;
  SetSentinelImage(p->control_image, 4);
  p->control_strength = 0.1875f;
  static sd_image_t ids[1] = {{905, 805, 7, gSentinelPixels}};
  p->pm_params.id_images = ids;
  p->pm_params.id_images_count = 1;
  p->pm_params.id_embed_path = Sentinel("pm_params.id_embed_path");
  p->pm_params.style_strength = 66.5f;
  p->vae_tiling_params.enabled = true;
  p->vae_tiling_params.tile_size_x = 41;
  p->vae_tiling_params.tile_size_y = 42;
  p->vae_tiling_params.target_overlap = 0.4375f;
  p->vae_tiling_params.rel_size_x = 0.5625f;
  p->vae_tiling_params.rel_size_y = 0.6875f;
  InitCache(p->cache);
}

sd_image_t* generate_image(void* ctx, const sd_img_gen_params_t* p) {
  TFakeCall call = NewCall("generate_image");
  call.Context = ctx;
  const TFakeScript script = ScriptCopy();
  if (!ctx || !p) {
    Record(std::move(call));
    Violation("generate_image: null context or record");
    return nullptr;
  }
  RecordImgParams(call, *p);
  Record(std::move(call));
  const TGenerating generating;
  auto* c = static_cast<TFakeContext*>(ctx);
  if (c->FreeParamsImmediately && c->Generations > 0)
    Violation("generate_image: second generation on a context with free_params_immediately");
  if (c->VaeDecodeOnly && p->init_image.data)
    Violation("generate_image: an init image on a context made with vae_decode_only (the library aborts)");
  ++c->Generations;
  RunCallbacks(script, TFakeEntry::GenerateImage);
  if (script.GenerateFails) return nullptr;
  if (p->batch_count < 1 || p->width < 1 || p->height < 1) {
    Violation("generate_image: empty batch or size");
    return nullptr;
  }
  return MakeResults(script, std::uint32_t(p->batch_count), p->width, p->height);
}

void sd_vid_gen_params_init(sd_vid_gen_params_t* p) {
  Record(NewCall("sd_vid_gen_params_init"));
  if (!p) return Violation("sd_vid_gen_params_init: null record");
  std::memset(p, 0x3C, sizeof *p);
  static sd_lora_t loras[1] = {{false, 0.75f, "lora2.safetensors"}};
  p->loras = loras;
  p->lora_count = 1;
  p->prompt = Sentinel("prompt");
  p->negative_prompt = Sentinel("negative_prompt");
  p->clip_skip = -44;
  SetSentinelImage(p->init_image, 11);
  SetSentinelImage(p->end_image, 12);
  static sd_image_t frames[1] = {{913, 813, 7, gSentinelPixels}};
  p->control_frames = frames;
  p->control_frames_size = 1;
  p->width = 333;
  p->height = 222;
  InitSample(p->sample_params, 1);
  InitSample(p->high_noise_sample_params, 2);
  p->moe_boundary = 0.8125f;
  p->strength = 0.4375f;
  p->seed = 0x987654321LL;
  p->video_frames = 77;
  p->vace_strength = 0.5625f;
  InitCache(p->cache);
}

sd_image_t* generate_video(void* ctx, const sd_vid_gen_params_t* p, std::int32_t* count) {
  TFakeCall call = NewCall("generate_video");
  call.Context = ctx;
  const TFakeScript script = ScriptCopy();
  if (!ctx || !p || !count) {
    Record(std::move(call));
    Violation("generate_video: null context, record or count");
    return nullptr;
  }
  call.VidParams = *p;
  call.Texts["prompt"] = TextOf(p->prompt);
  call.Texts["negative_prompt"] = TextOf(p->negative_prompt);
  call.Images["init_image"] = CopyImage(p->init_image);
  call.Images["end_image"] = CopyImage(p->end_image);
  Record(std::move(call));
  const TGenerating generating;
  auto* c = static_cast<TFakeContext*>(ctx);
  if (c->FreeParamsImmediately && c->Generations > 0)
    Violation("generate_video: second generation on a context with free_params_immediately");
  ++c->Generations;
  RunCallbacks(script, TFakeEntry::GenerateVideo);
  *count = 0;
  if (script.GenerateFails) return nullptr;
  if (p->video_frames < 1 || p->width < 1 || p->height < 1) {
    Violation("generate_video: no frames or empty size");
    return nullptr;
  }
  const std::uint32_t n = script.Results.empty() ? std::uint32_t(p->video_frames) : std::uint32_t(script.Results.size());
  *count = std::int32_t(n);
  return MakeResults(script, n, p->width, p->height);
}

void* new_upscaler_ctx(const char* path, bool offload, bool direct, std::int32_t threads, std::int32_t tile) {
  TFakeCall call = NewCall("new_upscaler_ctx");
  call.Texts["esrgan_path"] = TextOf(path);
  call.Flag1 = offload;
  call.Flag2 = direct;
  call.Threads = threads;
  call.TileSize = tile;
  const TFakeScript script = ScriptCopy();
  RunCallbacks(script, TFakeEntry::NewUpscalerCtx);
  TFakeUpscaler* ctx = nullptr;
  if (!path) Violation("new_upscaler_ctx: null path");
  if (path && !script.NewUpscalerCtxFails) {
    ctx = new TFakeUpscaler{script.UpscaleModelFactor};
    ++Fake().LiveUpscalers;
  }
  call.Context = ctx;
  Record(std::move(call));
  return ctx;
}

void free_upscaler_ctx(void* ctx) {
  TFakeCall call = NewCall("free_upscaler_ctx");
  call.Context = ctx;
  Record(std::move(call));
  if (!ctx) return Violation("free_upscaler_ctx: null context");
  delete static_cast<TFakeUpscaler*>(ctx);
  --Fake().LiveUpscalers;
}

sd_image_t upscale(void* ctx, sd_image_t input, std::uint32_t factor) {
  TFakeCall call = NewCall("upscale");
  call.Context = ctx;
  call.Images["input"] = CopyImage(input);
  call.Factor = factor;
  Record(std::move(call));
  const TFakeScript script = ScriptCopy();
  if (!ctx || !input.data) {
    Violation("upscale: null context or input");
    return sd_image_t{0, 0, 0, nullptr};
  }
  RunCallbacks(script, TFakeEntry::Upscale);
  if (script.UpscaleFails) return sd_image_t{0, 0, 0, nullptr};
  const std::uint32_t f = static_cast<TFakeUpscaler*>(ctx)->Factor;
  sd_image_t out{input.width * f, input.height * f, input.channel, nullptr};
  out.data = static_cast<std::uint8_t*>(std::malloc(size_t(out.width) * out.height * out.channel));
  for (std::uint32_t y = 0; y < out.height; ++y)
    for (std::uint32_t x = 0; x < out.width; ++x)
      std::memcpy(out.data + (size_t(y) * out.width + x) * out.channel,
                  input.data + (size_t(y / f) * input.width + x / f) * input.channel, input.channel);
  return out;
}

#ifndef CORVINA_FAKE_SD_WITHOUT_CANNY
bool preprocess_canny(sd_image_t image, float high, float low, float weak, float strong, bool inverse) {
  TFakeCall call = NewCall("preprocess_canny");
  call.Images["image"] = CopyImage(image);
  call.Floats[0] = high;
  call.Floats[1] = low;
  call.Floats[2] = weak;
  call.Floats[3] = strong;
  call.Flag1 = inverse;
  Record(std::move(call));
  const TFakeScript script = ScriptCopy();
  // The real library aborts on other channel counts and crashes below 63x63.
  if (image.channel != 3 || image.width < 64 || image.height < 64 || !image.data) {
    Violation("preprocess_canny: picture the library cannot survive");
    return false;
  }
  RunCallbacks(script, TFakeEntry::PreprocessCanny);
  if (script.CannyFails) return false;
  // A recognisable "edge map": every byte inverted, in place.
  const size_t n = size_t(image.width) * image.height * image.channel;
  for (size_t i = 0; i < n; ++i) image.data[i] = static_cast<std::uint8_t>(255 - image.data[i]);
  return true;
}
#endif

}  // extern "C"

// The fake must keep the library's exact signatures.
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
#ifndef CORVINA_FAKE_SD_WITHOUT_CANNY
static_assert(std::is_same_v<decltype(preprocess_canny), preprocess_canny_fn>);
#endif
