#include "binding/stablediffusion_library.h"

#include <atomic>
#include <exception>
#include <iterator>
#include <mutex>

#include "framework/dynlib.h"
#include "framework/exceptions.h"
#include "framework/immortal.h"
#include "utils/loader.h"

namespace Stablediffusion {

System::String SD_DLL_PATH;

sd_set_log_callback_fn* sd_set_log_callback = nullptr;
sd_set_progress_callback_fn* sd_set_progress_callback = nullptr;
sd_set_preview_callback_fn* sd_set_preview_callback = nullptr;
sd_get_num_physical_cores_fn* sd_get_num_physical_cores = nullptr;
sd_ctx_params_init_fn* sd_ctx_params_init = nullptr;
new_sd_ctx_fn* new_sd_ctx = nullptr;
free_sd_ctx_fn* free_sd_ctx = nullptr;
sd_img_gen_params_init_fn* sd_img_gen_params_init = nullptr;
generate_image_fn* generate_image = nullptr;
sd_vid_gen_params_init_fn* sd_vid_gen_params_init = nullptr;
generate_video_fn* generate_video = nullptr;
new_upscaler_ctx_fn* new_upscaler_ctx = nullptr;
free_upscaler_ctx_fn* free_upscaler_ctx = nullptr;
upscale_fn* upscale = nullptr;
preprocess_canny_fn* preprocess_canny = nullptr;

namespace {

// Read by workers (a request's activation checks it), written on the main thread.
std::atomic<System::HMODULE> SDLibHandle{0};

// Uses end on workers. Never destroyed: a worker may end its use at exit.
struct TUses {
  std::mutex Mutex;
  int Count = 0;
  System::HMODULE Unloaded = 0;  // freed when Count drops to 0
};
System::TImmortal<TUses> gUsesStorage;
TUses& gUses = gUsesStorage.Value;

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
  {
    std::lock_guard lock(gUses.Mutex);
    if (gUses.Unloaded != 0) {
      SDLibHandle = std::exchange(gUses.Unloaded, 0);
      return;
    }
  }
  System::TLibraryHandle library(Utils::LoadLibraryOrBesidePackage(SD_DLL_PATH, SD_DLL_NAME));
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
  const System::HMODULE library = SDLibHandle.exchange(0);
  if (library == 0) return;
  {
    // Freed now, a running request would return into unmapped code.
    std::lock_guard lock(gUses.Mutex);
    if (gUses.Count > 0) {
      gUses.Unloaded = library;
      return;
    }
  }
  System::FreeLibrary(library);
  ClearEntryPoints();
}

TSDLibsUse::TSDLibsUse() {
  std::lock_guard lock(gUses.Mutex);
  ++gUses.Count;
}

TSDLibsUse::~TSDLibsUse() {
  System::HMODULE unloaded = 0;
  {
    std::lock_guard lock(gUses.Mutex);
    if (--gUses.Count == 0) unloaded = std::exchange(gUses.Unloaded, 0);
    if (unloaded != 0) ClearEntryPoints();
  }
  if (unloaded != 0) System::FreeLibrary(unloaded);
}

bool SDLibsLoaded() { return SDLibHandle != 0; }

void RequireSDLibs() {
  if (!SDLibsLoaded()) throw System::Sysutils::Exception(u"The diffusion library is not loaded");
}

}  // namespace Stablediffusion
