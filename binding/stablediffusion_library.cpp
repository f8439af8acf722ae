#include "binding/stablediffusion_library.h"

#include <iterator>

#include "framework/dynlib.h"
#include "framework/exceptions.h"
#include "utils/loader.h"

namespace Stablediffusion {

System::String SD_DLL_PATH;

Tsd_set_log_callback sd_set_log_callback = nullptr;
Tsd_set_progress_callback sd_set_progress_callback = nullptr;
Tsd_set_preview_callback sd_set_preview_callback = nullptr;
Tsd_get_num_physical_cores sd_get_num_physical_cores = nullptr;
Tsd_ctx_params_init sd_ctx_params_init = nullptr;
Tnew_sd_ctx new_sd_ctx = nullptr;
Tfree_sd_ctx free_sd_ctx = nullptr;
Tsd_img_gen_params_init sd_img_gen_params_init = nullptr;
Tgenerate_image generate_image = nullptr;
Tsd_vid_gen_params_init sd_vid_gen_params_init = nullptr;
Tgenerate_video generate_video = nullptr;
Tnew_upscaler_ctx new_upscaler_ctx = nullptr;
Tfree_upscaler_ctx free_upscaler_ctx = nullptr;
Tupscale upscale = nullptr;
Tpreprocess_canny preprocess_canny = nullptr;

namespace {

System::HMODULE SDLibHandle = 0;

// One entry of the resolution order: the export's name and its variable.
struct TEntryPoint {
  const char16_t* Name;
  void** Variable;
};

template <class F>
void** Slot(F& variable) {
  return reinterpret_cast<void**>(&variable);
}

// The order in which the library's exports are resolved (and nulled).
const TEntryPoint kEntryPoints[] = {
    {u"sd_set_log_callback", Slot(sd_set_log_callback)},
    {u"sd_set_progress_callback", Slot(sd_set_progress_callback)},
    {u"sd_set_preview_callback", Slot(sd_set_preview_callback)},
    {u"sd_get_num_physical_cores", Slot(sd_get_num_physical_cores)},
    {u"sd_ctx_params_init", Slot(sd_ctx_params_init)},
    {u"new_sd_ctx", Slot(new_sd_ctx)},
    {u"free_sd_ctx", Slot(free_sd_ctx)},
    {u"sd_img_gen_params_init", Slot(sd_img_gen_params_init)},
    {u"generate_image", Slot(generate_image)},
    {u"sd_vid_gen_params_init", Slot(sd_vid_gen_params_init)},
    {u"generate_video", Slot(generate_video)},
    {u"new_upscaler_ctx", Slot(new_upscaler_ctx)},
    {u"free_upscaler_ctx", Slot(free_upscaler_ctx)},
    {u"upscale", Slot(upscale)},
    {u"preprocess_canny", Slot(preprocess_canny)},
};
static_assert(std::size(kEntryPoints) == 15);

void ClearEntryPoints() {
  for (const TEntryPoint& e : kEntryPoints) *e.Variable = nullptr;
}

}  // namespace

void LoadSDLibs() {
  if (SDLibHandle != 0) return;
  System::TLibraryHandle library(Utils::MySafeLoadLibrary(SD_DLL_PATH, SD_DLL_NAME));
  try {
    for (const TEntryPoint& e : kEntryPoints) *e.Variable = Utils::SafeGetProcAddress(library.get(), e.Name);
  } catch (...) {
    // A half-resolved table would let a later call jump through null; start
    // over next time instead.
    ClearEntryPoints();
    throw;
  }
  SDLibHandle = library.release();
}

void UnLoadSDLibs() {
  if (SDLibHandle == 0) return;
  System::FreeLibrary(SDLibHandle);
  ClearEntryPoints();
  SDLibHandle = 0;
}

bool SDLibsLoaded() { return SDLibHandle != 0; }

void RequireSDLibs() {
  if (!SDLibsLoaded()) throw System::Sysutils::Exception(u"The diffusion library is not loaded");
}

}  // namespace Stablediffusion
