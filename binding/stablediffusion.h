// The plain-C interface of the diffusion library (stable-diffusion.cpp's
// exported functions): enumerations, the records that cross the boundary,
// the three callback types and the signature of each entry point.
//
// This header depends on nothing but the C++ standard library, so a library
// that exports these entry points (ours in reference/, a test fake) includes
// it for the records and stays in step with the package. The records must
// match the library's own declarations byte for byte (64-bit, natural
// alignment); every size and offset is checked below.
//
// A library that implements the interface declares its exports with these
// types' signatures and checks them, e.g.
//   static_assert(std::is_same_v<decltype(generate_image), Stablediffusion::generate_image_fn>);
#pragma once

// Needs C++20; kept inline so that this header stays free of the others.
#if defined(_MSVC_LANG) ? _MSVC_LANG < 202002L : __cplusplus < 202002L
#error "Corvina needs C++20: compile with -std=c++20 (or /std:c++20) or later"
#endif

#include <cstddef>
#include <cstdint>

namespace Stablediffusion {

// Every enumeration is a 32-bit integer counted from 0, as a C enum is.
enum rng_type_t : std::int32_t { STD_DEFAULT_RNG, CUDA_RNG, CPU_RNG, RNG_TYPE_COUNT };

enum sample_method_t : std::int32_t {
  EULER_SAMPLE_METHOD,
  EULER_A_SAMPLE_METHOD,
  HEUN_SAMPLE_METHOD,
  DPM2_SAMPLE_METHOD,
  DPMPP2S_A_SAMPLE_METHOD,
  DPMPP2M_SAMPLE_METHOD,
  DPMPP2Mv2_SAMPLE_METHOD,
  IPNDM_SAMPLE_METHOD,
  IPNDM_V_SAMPLE_METHOD,
  LCM_SAMPLE_METHOD,
  DDIM_TRAILING_SAMPLE_METHOD,
  TCD_SAMPLE_METHOD,
  SAMPLE_METHOD_COUNT
};

enum scheduler_t : std::int32_t {
  DISCRETE_SCHEDULER,
  KARRAS_SCHEDULER,
  EXPONENTIAL_SCHEDULER,
  AYS_SCHEDULER,
  GITS_SCHEDULER,
  SGM_UNIFORM_SCHEDULER,
  SIMPLE_SCHEDULER,
  SMOOTHSTEP_SCHEDULER,
  KL_OPTIMAL_SCHEDULER,
  LCM_SCHEDULER,
  SCHEDULER_COUNT
};

enum prediction_t : std::int32_t { EPS_PRED, V_PRED, EDM_V_PRED, FLOW_PRED, FLUX_FLOW_PRED, FLUX2_FLOW_PRED, PREDICTION_COUNT };

enum sd_cache_mode_t : std::int32_t {
  SD_CACHE_DISABLED,
  SD_CACHE_EASYCACHE,
  SD_CACHE_UCACHE,
  SD_CACHE_DBCACHE,
  SD_CACHE_TAYLORSEER,
  SD_CACHE_CACHE_DIT
};

enum preview_t : std::int32_t { PREVIEW_NONE, PREVIEW_PROJ, PREVIEW_TAE, PREVIEW_VAE };

enum lora_apply_mode_t : std::int32_t { LORA_APPLY_AUTO, LORA_APPLY_IMMEDIATELY, LORA_APPLY_AT_RUNTIME, LORA_APPLY_MODE_COUNT };

enum sd_log_level_t : std::int32_t { SD_LOG_DEBUG, SD_LOG_INFO, SD_LOG_WARN, SD_LOG_ERROR };

// The library's weight types; the package names none of them and only ever
// passes the number it is given.
enum sd_type_t : std::int32_t {};

// One picture: rows top first, no padding, `channel` bytes per pixel
// (3 = R, G, B; 1 = gray).
struct sd_image_t {
  std::uint32_t width;
  std::uint32_t height;
  std::uint32_t channel;
  std::uint8_t* data;
};

struct sd_tiling_params_t {
  bool enabled;
  std::int32_t tile_size_x;
  std::int32_t tile_size_y;
  float target_overlap;
  float rel_size_x;
  float rel_size_y;
};

struct sd_embedding_t {
  const char* name;
  const char* path;
};

struct sd_ctx_params_t {
  const char* model_path;
  const char* clip_l_path;
  const char* clip_g_path;
  const char* clip_vision_path;
  const char* t5xxl_path;
  const char* llm_path;
  const char* llm_vision_path;
  const char* diffusion_model_path;
  const char* high_noise_diffusion_model_path;
  const char* vae_path;
  const char* taesd_path;
  const char* control_net_path;
  const sd_embedding_t* embeddings;
  std::uint32_t embedding_count;
  const char* photo_maker_path;
  const char* tensor_type_rules;
  bool vae_decode_only;
  bool free_params_immediately;
  std::int32_t n_threads;
  sd_type_t wtype;
  rng_type_t rng_type;
  rng_type_t sampler_rng_type;
  prediction_t prediction;
  lora_apply_mode_t lora_apply_mode;
  bool offload_params_to_cpu;
  bool enable_mmap;
  bool keep_clip_on_cpu;
  bool keep_control_net_on_cpu;
  bool keep_vae_on_cpu;
  bool diffusion_flash_attn;
  bool tae_preview_only;
  bool diffusion_conv_direct;
  bool vae_conv_direct;
  bool circular_x;
  bool circular_y;
  bool force_sdxl_vae_conv_scale;
  bool chroma_use_dit_mask;
  bool chroma_use_t5_mask;
  std::int32_t chroma_t5_mask_pad;
  bool qwen_image_zero_cond_t;
  float flow_shift;
};

struct sd_slg_params_t {
  std::int32_t* layers;
  std::uint64_t layer_count;
  float layer_start;
  float layer_end;
  float scale;
};

struct sd_guidance_params_t {
  float txt_cfg;
  float img_cfg;
  float distilled_guidance;
  sd_slg_params_t slg;
};

struct sd_sample_params_t {
  sd_guidance_params_t guidance;
  scheduler_t scheduler;
  sample_method_t sample_method;
  std::int32_t sample_steps;
  float eta;
  std::int32_t shifted_timestep;
  float* custom_sigmas;
  std::int32_t custom_sigmas_count;
};

struct sd_pm_params_t {
  sd_image_t* id_images;
  std::int32_t id_images_count;
  const char* id_embed_path;
  float style_strength;
};

struct sd_cache_params_t {
  sd_cache_mode_t mode;
  float reuse_threshold;
  float start_percent;
  float end_percent;
  float error_decay_rate;
  bool use_relative_threshold;
  bool reset_error_on_compute;
  std::int32_t Fn_compute_blocks;
  std::int32_t Bn_compute_blocks;
  float residual_diff_threshold;
  std::int32_t max_warmup_steps;
  std::int32_t max_cached_steps;
  std::int32_t max_continuous_cached_steps;
  std::int32_t taylorseer_n_derivatives;
  std::int32_t taylorseer_skip_interval;
  const char* scm_mask;
  bool scm_policy_dynamic;
};

struct sd_lora_t {
  bool is_high_noise;
  float multiplier;
  const char* path;
};

struct sd_img_gen_params_t {
  const sd_lora_t* loras;
  std::uint32_t lora_count;
  const char* prompt;
  const char* negative_prompt;
  std::int32_t clip_skip;
  sd_image_t init_image;
  sd_image_t* ref_images;
  std::int32_t ref_images_count;
  bool auto_resize_ref_image;
  bool increase_ref_index;
  sd_image_t mask_image;
  std::int32_t width;
  std::int32_t height;
  sd_sample_params_t sample_params;
  float strength;
  std::int64_t seed;
  std::int32_t batch_count;
  sd_image_t control_image;
  float control_strength;
  sd_pm_params_t pm_params;
  sd_tiling_params_t vae_tiling_params;
  sd_cache_params_t cache;
};

struct sd_vid_gen_params_t {
  const sd_lora_t* loras;
  std::uint32_t lora_count;
  const char* prompt;
  const char* negative_prompt;
  std::int32_t clip_skip;
  sd_image_t init_image;
  sd_image_t end_image;
  sd_image_t* control_frames;
  std::int32_t control_frames_size;
  std::int32_t width;
  std::int32_t height;
  sd_sample_params_t sample_params;
  sd_sample_params_t high_noise_sample_params;
  float moe_boundary;
  float strength;
  std::int64_t seed;
  std::int32_t video_frames;
  float vace_strength;
  sd_cache_params_t cache;
};

// Pointer types as the package spells them. The two contexts are opaque: the
// package only stores them and passes them back.
using PUInt8 = std::uint8_t*;
using Psd_image_t = sd_image_t*;
using Prng_type_t = rng_type_t*;
using Psample_method_t = sample_method_t*;
using Pscheduler_t = scheduler_t*;
using Pprediction_t = prediction_t*;
using Psd_cache_mode_t = sd_cache_mode_t*;
using Ppreview_t = preview_t*;
using Plora_apply_mode_t = lora_apply_mode_t*;
using Psd_type_t = sd_type_t*;
using Psd_log_level_t = sd_log_level_t*;
using Psd_embedding_t = sd_embedding_t*;
using Psd_ctx_params_t = sd_ctx_params_t*;
using Psd_lora_t = sd_lora_t*;
using Psd_img_gen_params_t = sd_img_gen_params_t*;
using Psd_vid_gen_params_t = sd_vid_gen_params_t*;
using PPsd_ctx_t = void*;
using PPupscaler_ctx_t = void*;

// Callbacks the library calls (cdecl, the platform's C convention).
extern "C" {
using sd_log_cb_t = void (*)(sd_log_level_t level, const char* text, void* data);
using sd_progress_cb_t = void (*)(std::int32_t step, std::int32_t steps, float time, void* data);
using sd_preview_cb_t = void (*)(std::int32_t step, std::int32_t frame_count, sd_image_t* frames, bool is_noisy,
                                 void* data);
}

// The function type of each entry point, named after the export with _fn
// appended. A library that implements them can check itself against these.
extern "C" {
using sd_set_log_callback_fn = void(sd_log_cb_t cb, void* data);
using sd_set_progress_callback_fn = void(sd_progress_cb_t cb, void* data);
using sd_set_preview_callback_fn = void(sd_preview_cb_t cb, preview_t mode, std::int32_t interval, bool denoised,
                                        bool noisy, void* data);
using sd_get_num_physical_cores_fn = std::int32_t();
using sd_ctx_params_init_fn = void(sd_ctx_params_t* params);
using new_sd_ctx_fn = PPsd_ctx_t(const sd_ctx_params_t* params);
using free_sd_ctx_fn = void(PPsd_ctx_t ctx);
using sd_img_gen_params_init_fn = void(sd_img_gen_params_t* params);
using generate_image_fn = sd_image_t*(PPsd_ctx_t ctx, const sd_img_gen_params_t* params);
using sd_vid_gen_params_init_fn = void(sd_vid_gen_params_t* params);
using generate_video_fn = sd_image_t*(PPsd_ctx_t ctx, const sd_vid_gen_params_t* params, std::int32_t* num_frames_out);
using new_upscaler_ctx_fn = PPupscaler_ctx_t(const char* esrgan_path, bool offload_params_to_cpu, bool direct,
                                             std::int32_t n_threads, std::int32_t tile_size);
using free_upscaler_ctx_fn = void(PPupscaler_ctx_t ctx);
using upscale_fn = sd_image_t(PPupscaler_ctx_t ctx, sd_image_t input_image, std::uint32_t upscale_factor);
using preprocess_canny_fn = bool(sd_image_t image, float high_threshold, float low_threshold, float weak,
                                 float strong, bool inverse);
}

// ---- layout checks: sizes and offsets as the library has them ----

static_assert(sizeof(bool) == 1 && sizeof(void*) == 8, "the records assume one-byte bool and 64-bit pointers");
static_assert(sizeof(rng_type_t) == 4 && sizeof(sample_method_t) == 4 && sizeof(scheduler_t) == 4 &&
              sizeof(prediction_t) == 4 && sizeof(sd_cache_mode_t) == 4 && sizeof(preview_t) == 4 &&
              sizeof(lora_apply_mode_t) == 4 && sizeof(sd_log_level_t) == 4 && sizeof(sd_type_t) == 4);

static_assert(sizeof(sd_image_t) == 24);
static_assert(offsetof(sd_image_t, width) == 0);
static_assert(offsetof(sd_image_t, height) == 4);
static_assert(offsetof(sd_image_t, channel) == 8);
static_assert(offsetof(sd_image_t, data) == 16);

static_assert(sizeof(sd_tiling_params_t) == 24);
static_assert(offsetof(sd_tiling_params_t, enabled) == 0);
static_assert(offsetof(sd_tiling_params_t, tile_size_x) == 4);
static_assert(offsetof(sd_tiling_params_t, tile_size_y) == 8);
static_assert(offsetof(sd_tiling_params_t, target_overlap) == 12);
static_assert(offsetof(sd_tiling_params_t, rel_size_x) == 16);
static_assert(offsetof(sd_tiling_params_t, rel_size_y) == 20);

static_assert(sizeof(sd_embedding_t) == 16);
static_assert(offsetof(sd_embedding_t, name) == 0);
static_assert(offsetof(sd_embedding_t, path) == 8);

static_assert(sizeof(sd_ctx_params_t) == 184);
static_assert(offsetof(sd_ctx_params_t, model_path) == 0);
static_assert(offsetof(sd_ctx_params_t, clip_l_path) == 8);
static_assert(offsetof(sd_ctx_params_t, clip_g_path) == 16);
static_assert(offsetof(sd_ctx_params_t, clip_vision_path) == 24);
static_assert(offsetof(sd_ctx_params_t, t5xxl_path) == 32);
static_assert(offsetof(sd_ctx_params_t, llm_path) == 40);
static_assert(offsetof(sd_ctx_params_t, llm_vision_path) == 48);
static_assert(offsetof(sd_ctx_params_t, diffusion_model_path) == 56);
static_assert(offsetof(sd_ctx_params_t, high_noise_diffusion_model_path) == 64);
static_assert(offsetof(sd_ctx_params_t, vae_path) == 72);
static_assert(offsetof(sd_ctx_params_t, taesd_path) == 80);
static_assert(offsetof(sd_ctx_params_t, control_net_path) == 88);
static_assert(offsetof(sd_ctx_params_t, embeddings) == 96);
static_assert(offsetof(sd_ctx_params_t, embedding_count) == 104);
static_assert(offsetof(sd_ctx_params_t, photo_maker_path) == 112);
static_assert(offsetof(sd_ctx_params_t, tensor_type_rules) == 120);
static_assert(offsetof(sd_ctx_params_t, vae_decode_only) == 128);
static_assert(offsetof(sd_ctx_params_t, free_params_immediately) == 129);
static_assert(offsetof(sd_ctx_params_t, n_threads) == 132);
static_assert(offsetof(sd_ctx_params_t, wtype) == 136);
static_assert(offsetof(sd_ctx_params_t, rng_type) == 140);
static_assert(offsetof(sd_ctx_params_t, sampler_rng_type) == 144);
static_assert(offsetof(sd_ctx_params_t, prediction) == 148);
static_assert(offsetof(sd_ctx_params_t, lora_apply_mode) == 152);
static_assert(offsetof(sd_ctx_params_t, offload_params_to_cpu) == 156);
static_assert(offsetof(sd_ctx_params_t, enable_mmap) == 157);
static_assert(offsetof(sd_ctx_params_t, keep_clip_on_cpu) == 158);
static_assert(offsetof(sd_ctx_params_t, keep_control_net_on_cpu) == 159);
static_assert(offsetof(sd_ctx_params_t, keep_vae_on_cpu) == 160);
static_assert(offsetof(sd_ctx_params_t, diffusion_flash_attn) == 161);
static_assert(offsetof(sd_ctx_params_t, tae_preview_only) == 162);
static_assert(offsetof(sd_ctx_params_t, diffusion_conv_direct) == 163);
static_assert(offsetof(sd_ctx_params_t, vae_conv_direct) == 164);
static_assert(offsetof(sd_ctx_params_t, circular_x) == 165);
static_assert(offsetof(sd_ctx_params_t, circular_y) == 166);
static_assert(offsetof(sd_ctx_params_t, force_sdxl_vae_conv_scale) == 167);
static_assert(offsetof(sd_ctx_params_t, chroma_use_dit_mask) == 168);
static_assert(offsetof(sd_ctx_params_t, chroma_use_t5_mask) == 169);
static_assert(offsetof(sd_ctx_params_t, chroma_t5_mask_pad) == 172);
static_assert(offsetof(sd_ctx_params_t, qwen_image_zero_cond_t) == 176);
static_assert(offsetof(sd_ctx_params_t, flow_shift) == 180);

static_assert(sizeof(sd_slg_params_t) == 32);
static_assert(offsetof(sd_slg_params_t, layers) == 0);
static_assert(offsetof(sd_slg_params_t, layer_count) == 8);
static_assert(offsetof(sd_slg_params_t, layer_start) == 16);
static_assert(offsetof(sd_slg_params_t, layer_end) == 20);
static_assert(offsetof(sd_slg_params_t, scale) == 24);

static_assert(sizeof(sd_guidance_params_t) == 48);
static_assert(offsetof(sd_guidance_params_t, txt_cfg) == 0);
static_assert(offsetof(sd_guidance_params_t, img_cfg) == 4);
static_assert(offsetof(sd_guidance_params_t, distilled_guidance) == 8);
static_assert(offsetof(sd_guidance_params_t, slg) == 16);

static_assert(sizeof(sd_sample_params_t) == 88);
static_assert(offsetof(sd_sample_params_t, guidance) == 0);
static_assert(offsetof(sd_sample_params_t, scheduler) == 48);
static_assert(offsetof(sd_sample_params_t, sample_method) == 52);
static_assert(offsetof(sd_sample_params_t, sample_steps) == 56);
static_assert(offsetof(sd_sample_params_t, eta) == 60);
static_assert(offsetof(sd_sample_params_t, shifted_timestep) == 64);
static_assert(offsetof(sd_sample_params_t, custom_sigmas) == 72);
static_assert(offsetof(sd_sample_params_t, custom_sigmas_count) == 80);

static_assert(sizeof(sd_pm_params_t) == 32);
static_assert(offsetof(sd_pm_params_t, id_images) == 0);
static_assert(offsetof(sd_pm_params_t, id_images_count) == 8);
static_assert(offsetof(sd_pm_params_t, id_embed_path) == 16);
static_assert(offsetof(sd_pm_params_t, style_strength) == 24);

static_assert(sizeof(sd_cache_params_t) == 72);
static_assert(offsetof(sd_cache_params_t, mode) == 0);
static_assert(offsetof(sd_cache_params_t, reuse_threshold) == 4);
static_assert(offsetof(sd_cache_params_t, start_percent) == 8);
static_assert(offsetof(sd_cache_params_t, end_percent) == 12);
static_assert(offsetof(sd_cache_params_t, error_decay_rate) == 16);
static_assert(offsetof(sd_cache_params_t, use_relative_threshold) == 20);
static_assert(offsetof(sd_cache_params_t, reset_error_on_compute) == 21);
static_assert(offsetof(sd_cache_params_t, Fn_compute_blocks) == 24);
static_assert(offsetof(sd_cache_params_t, Bn_compute_blocks) == 28);
static_assert(offsetof(sd_cache_params_t, residual_diff_threshold) == 32);
static_assert(offsetof(sd_cache_params_t, max_warmup_steps) == 36);
static_assert(offsetof(sd_cache_params_t, max_cached_steps) == 40);
static_assert(offsetof(sd_cache_params_t, max_continuous_cached_steps) == 44);
static_assert(offsetof(sd_cache_params_t, taylorseer_n_derivatives) == 48);
static_assert(offsetof(sd_cache_params_t, taylorseer_skip_interval) == 52);
static_assert(offsetof(sd_cache_params_t, scm_mask) == 56);
static_assert(offsetof(sd_cache_params_t, scm_policy_dynamic) == 64);

static_assert(sizeof(sd_lora_t) == 16);
static_assert(offsetof(sd_lora_t, is_high_noise) == 0);
static_assert(offsetof(sd_lora_t, multiplier) == 4);
static_assert(offsetof(sd_lora_t, path) == 8);

static_assert(sizeof(sd_img_gen_params_t) == 384);
static_assert(offsetof(sd_img_gen_params_t, loras) == 0);
static_assert(offsetof(sd_img_gen_params_t, lora_count) == 8);
static_assert(offsetof(sd_img_gen_params_t, prompt) == 16);
static_assert(offsetof(sd_img_gen_params_t, negative_prompt) == 24);
static_assert(offsetof(sd_img_gen_params_t, clip_skip) == 32);
static_assert(offsetof(sd_img_gen_params_t, init_image) == 40);
static_assert(offsetof(sd_img_gen_params_t, ref_images) == 64);
static_assert(offsetof(sd_img_gen_params_t, ref_images_count) == 72);
static_assert(offsetof(sd_img_gen_params_t, auto_resize_ref_image) == 76);
static_assert(offsetof(sd_img_gen_params_t, increase_ref_index) == 77);
static_assert(offsetof(sd_img_gen_params_t, mask_image) == 80);
static_assert(offsetof(sd_img_gen_params_t, width) == 104);
static_assert(offsetof(sd_img_gen_params_t, height) == 108);
static_assert(offsetof(sd_img_gen_params_t, sample_params) == 112);
static_assert(offsetof(sd_img_gen_params_t, strength) == 200);
static_assert(offsetof(sd_img_gen_params_t, seed) == 208);
static_assert(offsetof(sd_img_gen_params_t, batch_count) == 216);
static_assert(offsetof(sd_img_gen_params_t, control_image) == 224);
static_assert(offsetof(sd_img_gen_params_t, control_strength) == 248);
static_assert(offsetof(sd_img_gen_params_t, pm_params) == 256);
static_assert(offsetof(sd_img_gen_params_t, vae_tiling_params) == 288);
static_assert(offsetof(sd_img_gen_params_t, cache) == 312);

static_assert(sizeof(sd_vid_gen_params_t) == 384);
static_assert(offsetof(sd_vid_gen_params_t, loras) == 0);
static_assert(offsetof(sd_vid_gen_params_t, lora_count) == 8);
static_assert(offsetof(sd_vid_gen_params_t, prompt) == 16);
static_assert(offsetof(sd_vid_gen_params_t, negative_prompt) == 24);
static_assert(offsetof(sd_vid_gen_params_t, clip_skip) == 32);
static_assert(offsetof(sd_vid_gen_params_t, init_image) == 40);
static_assert(offsetof(sd_vid_gen_params_t, end_image) == 64);
static_assert(offsetof(sd_vid_gen_params_t, control_frames) == 88);
static_assert(offsetof(sd_vid_gen_params_t, control_frames_size) == 96);
static_assert(offsetof(sd_vid_gen_params_t, width) == 100);
static_assert(offsetof(sd_vid_gen_params_t, height) == 104);
static_assert(offsetof(sd_vid_gen_params_t, sample_params) == 112);
static_assert(offsetof(sd_vid_gen_params_t, high_noise_sample_params) == 200);
static_assert(offsetof(sd_vid_gen_params_t, moe_boundary) == 288);
static_assert(offsetof(sd_vid_gen_params_t, strength) == 292);
static_assert(offsetof(sd_vid_gen_params_t, seed) == 296);
static_assert(offsetof(sd_vid_gen_params_t, video_frames) == 304);
static_assert(offsetof(sd_vid_gen_params_t, vace_strength) == 308);
static_assert(offsetof(sd_vid_gen_params_t, cache) == 312);

}  // namespace Stablediffusion
