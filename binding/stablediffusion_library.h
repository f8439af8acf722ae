// Loading the diffusion library: the folder it comes from, one variable per
// entry point, and the load and unload routines. Every component that talks
// to the library goes through these variables; none calls dlopen itself.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include "binding/stablediffusion.h"
#include "framework/strings.h"

namespace Stablediffusion {

// The library's file name on this platform.
#ifdef _WIN32
inline constexpr char16_t SD_DLL_NAME[] = u"stable-diffusion.dll";
#else
inline constexpr char16_t SD_DLL_NAME[] = u"libstable-diffusion.so";
#endif

// The folder of the library, ending with a path separator; empty (the
// default) looks the file up by its bare name and then beside libCorvina.so,
// where the reference backend is built. Set it before the first generation
// component is made.
extern System::String SD_DLL_PATH;

// Null until LoadSDLibs has resolved them, null again after UnLoadSDLibs.
extern sd_set_log_callback_fn* sd_set_log_callback;
extern sd_set_progress_callback_fn* sd_set_progress_callback;
extern sd_set_preview_callback_fn* sd_set_preview_callback;
extern sd_get_num_physical_cores_fn* sd_get_num_physical_cores;
extern sd_ctx_params_init_fn* sd_ctx_params_init;
extern new_sd_ctx_fn* new_sd_ctx;
extern free_sd_ctx_fn* free_sd_ctx;
extern sd_img_gen_params_init_fn* sd_img_gen_params_init;
extern generate_image_fn* generate_image;
extern sd_vid_gen_params_init_fn* sd_vid_gen_params_init;
extern generate_video_fn* generate_video;
extern new_upscaler_ctx_fn* new_upscaler_ctx;
extern free_upscaler_ctx_fn* free_upscaler_ctx;
extern upscale_fn* upscale;
extern preprocess_canny_fn* preprocess_canny;

// Loads SD_DLL_PATH + SD_DLL_NAME once per process and resolves the fifteen
// entry points in the library's documented order. All or nothing: when the
// file does not load ("Can not load %s %s") or an export is missing
// ("Load %s failed!"), the library is freed, every variable is null again and
// the next call tries the whole load anew.
void LoadSDLibs();

// Frees the library and nulls every variable. A later LoadSDLibs loads it
// again (with SD_DLL_PATH as it is then). Main thread. While a TSDLibsUse is
// out (a request running, a context alive) the library counts as unloaded at
// once, but stays in memory with its variables set until the last use ends;
// a LoadSDLibs meanwhile takes that library back.
void UnLoadSDLibs();

// Keeps the library and its entry points for a caller that is inside it or
// holds one of its contexts. Taken while the library is loaded (or under
// another use); released on any thread.
class TSDLibsUse {
 public:
  TSDLibsUse();
  ~TSDLibsUse();
  TSDLibsUse(const TSDLibsUse&) = delete;
  TSDLibsUse& operator=(const TSDLibsUse&) = delete;
};

// True while every entry point is resolved and no UnLoadSDLibs came since.
bool SDLibsLoaded();

// Raises "The diffusion library is not loaded" unless SDLibsLoaded(), so that
// no entry point is ever called through a null variable.
void RequireSDLibs();

}  // namespace Stablediffusion
