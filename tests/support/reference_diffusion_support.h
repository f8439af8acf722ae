// The reference diffusion backend as a test sees it: loaded with dlopen from
// the build tree like any other copy of the library, with recorders for the
// three callbacks and helpers that take over (and free) its results.
#pragma once

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "binding/stablediffusion.h"
#include "tests/support/native_library.h"

namespace Corvina::Testing {

using namespace Stablediffusion;

struct Picture {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t channel = 0;
  std::vector<uint8_t> pixels;

  bool operator==(const Picture&) const = default;
};

class ReferenceDiffusion {
 public:
  ReferenceDiffusion() : FHandle(OpenLibrary(CORVINA_REFERENCE_SD_LIB)) {
    if (FHandle == nullptr) throw std::runtime_error("cannot open the library: " + LibraryError());
    Resolve(set_log_callback, "sd_set_log_callback");
    Resolve(set_progress_callback, "sd_set_progress_callback");
    Resolve(set_preview_callback, "sd_set_preview_callback");
    Resolve(get_num_physical_cores, "sd_get_num_physical_cores");
    Resolve(ctx_params_init, "sd_ctx_params_init");
    Resolve(new_sd_ctx, "new_sd_ctx");
    Resolve(free_sd_ctx, "free_sd_ctx");
    Resolve(img_gen_params_init, "sd_img_gen_params_init");
    Resolve(generate_image, "generate_image");
    Resolve(vid_gen_params_init, "sd_vid_gen_params_init");
    Resolve(generate_video, "generate_video");
    Resolve(new_upscaler_ctx, "new_upscaler_ctx");
    Resolve(free_upscaler_ctx, "free_upscaler_ctx");
    Resolve(upscale, "upscale");
    Resolve(preprocess_canny, "preprocess_canny");
  }
  ~ReferenceDiffusion() { CloseLibrary(FHandle); }
  ReferenceDiffusion(const ReferenceDiffusion&) = delete;
  ReferenceDiffusion& operator=(const ReferenceDiffusion&) = delete;

  void* Symbol(const char* name) const { return LibrarySymbol(FHandle, name); }

  sd_set_log_callback_fn* set_log_callback = nullptr;
  sd_set_progress_callback_fn* set_progress_callback = nullptr;
  sd_set_preview_callback_fn* set_preview_callback = nullptr;
  sd_get_num_physical_cores_fn* get_num_physical_cores = nullptr;
  sd_ctx_params_init_fn* ctx_params_init = nullptr;
  new_sd_ctx_fn* new_sd_ctx = nullptr;
  free_sd_ctx_fn* free_sd_ctx = nullptr;
  sd_img_gen_params_init_fn* img_gen_params_init = nullptr;
  generate_image_fn* generate_image = nullptr;
  sd_vid_gen_params_init_fn* vid_gen_params_init = nullptr;
  generate_video_fn* generate_video = nullptr;
  new_upscaler_ctx_fn* new_upscaler_ctx = nullptr;
  free_upscaler_ctx_fn* free_upscaler_ctx = nullptr;
  upscale_fn* upscale = nullptr;
  preprocess_canny_fn* preprocess_canny = nullptr;

 private:
  template <class F>
  void Resolve(F& slot, const char* name) {
    slot = reinterpret_cast<F>(LibrarySymbol(FHandle, name));
    if (slot == nullptr) throw std::runtime_error(std::string("missing entry point ") + name);
  }
  void* FHandle;
};

inline std::string ModelPath(const std::string& name) { return std::string(CORVINA_REFERENCE_SD_MODELS) + "/" + name; }

// Copies the library's result images and releases them as the library asks:
// free() on every pixel buffer and on the array.
inline std::vector<Picture> TakeResults(sd_image_t* images, int count) {
  std::vector<Picture> out;
  if (images == nullptr) return out;
  for (int i = 0; i < count; ++i) {
    const sd_image_t& im = images[i];
    Picture p{im.width, im.height, im.channel, {}};
    if (im.data != nullptr) p.pixels.assign(im.data, im.data + size_t(im.width) * im.height * im.channel);
    std::free(im.data);
    out.push_back(std::move(p));
  }
  std::free(images);
  return out;
}

// The same for the one image that upscale() returns by value.
inline Picture TakeImage(sd_image_t image) {
  Picture p{image.width, image.height, image.channel, {}};
  if (image.data != nullptr) p.pixels.assign(image.data, image.data + size_t(image.width) * image.height * image.channel);
  std::free(image.data);
  return p;
}

// What the library reported through its callbacks, safe to fill from any thread.
struct Recorder {
  struct LogLine {
    sd_log_level_t level;
    std::string text;
    std::thread::id thread;
  };
  struct ProgressCall {
    int step, steps;
  };
  struct PreviewCall {
    int step;
    bool noisy;
    std::vector<Picture> frames;
  };

  std::mutex lock;
  std::vector<LogLine> logs;
  std::vector<ProgressCall> progress;
  std::vector<PreviewCall> previews;

  static void OnLog(sd_log_level_t level, const char* text, void* data) {
    auto* self = static_cast<Recorder*>(data);
    std::lock_guard guard(self->lock);
    self->logs.push_back({level, text, std::this_thread::get_id()});
  }
  static void OnProgress(int step, int steps, float, void* data) {
    auto* self = static_cast<Recorder*>(data);
    std::lock_guard guard(self->lock);
    self->progress.push_back({step, steps});
  }
  static void OnPreview(int step, int count, sd_image_t* frames, bool noisy, void* data) {
    auto* self = static_cast<Recorder*>(data);
    PreviewCall call{step, noisy, {}};
    for (int i = 0; i < count; ++i) {
      const sd_image_t& f = frames[i];
      call.frames.push_back(Picture{f.width, f.height, f.channel,
                                    std::vector<uint8_t>(f.data, f.data + size_t(f.width) * f.height * f.channel)});
    }
    std::lock_guard guard(self->lock);
    self->previews.push_back(std::move(call));
  }

  void Clear() {
    std::lock_guard guard(lock);
    logs.clear();
    progress.clear();
    previews.clear();
  }
  bool Logged(const std::string& part) {
    std::lock_guard guard(lock);
    for (const auto& l : logs)
      if (l.text.find(part) != std::string::npos) return true;
    return false;
  }
  bool LoggedError() {
    std::lock_guard guard(lock);
    for (const auto& l : logs)
      if (l.level == SD_LOG_ERROR) return true;
    return false;
  }
};

// Mean absolute difference per byte.
inline double Difference(const Picture& a, const Picture& b) {
  if (a.pixels.size() != b.pixels.size() || a.pixels.empty()) return 255.0;
  double sum = 0;
  for (size_t i = 0; i < a.pixels.size(); ++i) sum += std::abs(int(a.pixels[i]) - int(b.pixels[i]));
  return sum / double(a.pixels.size());
}

}  // namespace Corvina::Testing
