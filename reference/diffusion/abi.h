// The records, enumerations and callback types of the diffusion library's C
// interface, as this backend receives and returns them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Stablediffusion {

enum rng_type_t : int32_t { STD_DEFAULT_RNG, CUDA_RNG, CPU_RNG, RNG_TYPE_COUNT };
enum sample_method_t : int32_t {
  EULER_SAMPLE_METHOD, EULER_A_SAMPLE_METHOD, HEUN_SAMPLE_METHOD, DPM2_SAMPLE_METHOD, DPMPP2S_A_SAMPLE_METHOD,
  DPMPP2M_SAMPLE_METHOD, DPMPP2Mv2_SAMPLE_METHOD, IPNDM_SAMPLE_METHOD, IPNDM_V_SAMPLE_METHOD, LCM_SAMPLE_METHOD,
  DDIM_TRAILING_SAMPLE_METHOD, TCD_SAMPLE_METHOD, SAMPLE_METHOD_COUNT
};
enum scheduler_t : int32_t {
  DISCRETE_SCHEDULER, KARRAS_SCHEDULER, EXPONENTIAL_SCHEDULER, AYS_SCHEDULER, GITS_SCHEDULER, SGM_UNIFORM_SCHEDULER,
  SIMPLE_SCHEDULER, SMOOTHSTEP_SCHEDULER, KL_OPTIMAL_SCHEDULER, LCM_SCHEDULER, SCHEDULER_COUNT
};
enum prediction_t : int32_t { EPS_PRED, V_PRED, EDM_V_PRED, FLOW_PRED, FLUX_FLOW_PRED, FLUX2_FLOW_PRED, PREDICTION_COUNT };
enum sd_cache_mode_t : int32_t {
  SD_CACHE_DISABLED, SD_CACHE_EASYCACHE, SD_CACHE_UCACHE, SD_CACHE_DBCACHE, SD_CACHE_TAYLORSEER, SD_CACHE_CACHE_DIT
};
enum preview_t : int32_t { PREVIEW_NONE, PREVIEW_PROJ, PREVIEW_TAE, PREVIEW_VAE };
enum lora_apply_mode_t : int32_t { LORA_APPLY_AUTO, LORA_APPLY_IMMEDIATELY, LORA_APPLY_AT_RUNTIME, LORA_APPLY_MODE_COUNT };
enum sd_log_level_t : int32_t { SD_LOG_DEBUG, SD_LOG_INFO, SD_LOG_WARN, SD_LOG_ERROR };
using sd_type_t = int32_t;

struct sd_image_t {
  uint32_t width;
  uint32_t height;
  uint32_t channel;
  uint8_t* data;
};

struct sd_tiling_params_t {
  bool enabled;
  int32_t tile_size_x;
  int32_t tile_size_y;
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
  uint32_t embedding_count;
  const char* photo_maker_path;
  const char* tensor_type_rules;
  bool vae_decode_only;
  bool free_params_immediately;
  int32_t n_threads;
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
  int32_t chroma_t5_mask_pad;
  bool qwen_image_zero_cond_t;
  float flow_shift;
};

struct sd_slg_params_t {
  int32_t* layers;
  uint64_t layer_count;
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
  int32_t sample_steps;
  float eta;
  int32_t shifted_timestep;
  float* custom_sigmas;
  int32_t custom_sigmas_count;
};

struct sd_pm_params_t {
  sd_image_t* id_images;
  int32_t id_images_count;
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
  int32_t Fn_compute_blocks;
  int32_t Bn_compute_blocks;
  float residual_diff_threshold;
  int32_t max_warmup_steps;
  int32_t max_cached_steps;
  int32_t max_continuous_cached_steps;
  int32_t taylorseer_n_derivatives;
  int32_t taylorseer_skip_interval;
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
  uint32_t lora_count;
  const char* prompt;
  const char* negative_prompt;
  int32_t clip_skip;
  sd_image_t init_image;
  sd_image_t* ref_images;
  int32_t ref_images_count;
  bool auto_resize_ref_image;
  bool increase_ref_index;
  sd_image_t mask_image;
  int32_t width;
  int32_t height;
  sd_sample_params_t sample_params;
  float strength;
  int64_t seed;
  int32_t batch_count;
  sd_image_t control_image;
  float control_strength;
  sd_pm_params_t pm_params;
  sd_tiling_params_t vae_tiling_params;
  sd_cache_params_t cache;
};

struct sd_vid_gen_params_t {
  const sd_lora_t* loras;
  uint32_t lora_count;
  const char* prompt;
  const char* negative_prompt;
  int32_t clip_skip;
  sd_image_t init_image;
  sd_image_t end_image;
  sd_image_t* control_frames;
  int32_t control_frames_size;
  int32_t width;
  int32_t height;
  sd_sample_params_t sample_params;
  sd_sample_params_t high_noise_sample_params;
  float moe_boundary;
  float strength;
  int64_t seed;
  int32_t video_frames;
  float vace_strength;
  sd_cache_params_t cache;
};

using sd_log_cb_t = void (*)(sd_log_level_t level, const char* text, void* data);
using sd_progress_cb_t = void (*)(int32_t step, int32_t steps, float time, void* data);
using sd_preview_cb_t = void (*)(int32_t step, int32_t frame_count, sd_image_t* frames, bool is_noisy, void* data);

}  // namespace Stablediffusion
