#include "reference/diffusion/callbacks.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <type_traits>

namespace Reference::Diffusion {
namespace {

struct Registrations {
  std::mutex lock;
  Stablediffusion::sd_log_cb_t log = nullptr;
  void* logData = nullptr;
  Stablediffusion::sd_progress_cb_t progress = nullptr;
  void* progressData = nullptr;
  PreviewSettings preview;
};

// Nothing to destroy at exit, when a host's worker may still log. Windows
// ends every other thread before it destroys a DLL's statics at exit, and its
// std::mutex (winpthreads) has a destructor.
#if !defined(_WIN32)
static_assert(std::is_trivially_destructible_v<Registrations>);
#endif

Registrations& Current() {
  static Registrations registrations;
  return registrations;
}

}  // namespace

void SetLogCallback(Stablediffusion::sd_log_cb_t cb, void* data) {
  std::lock_guard guard(Current().lock);
  Current().log = cb;
  Current().logData = data;
}

void SetProgressCallback(Stablediffusion::sd_progress_cb_t cb, void* data) {
  std::lock_guard guard(Current().lock);
  Current().progress = cb;
  Current().progressData = data;
}

void SetPreviewCallback(const PreviewSettings& settings) {
  std::lock_guard guard(Current().lock);
  Current().preview = settings;
}

PreviewSettings CurrentPreview() {
  std::lock_guard guard(Current().lock);
  return Current().preview;
}

void LogLine(Stablediffusion::sd_log_level_t level, const char* file, int line, const char* format, ...) {
  Stablediffusion::sd_log_cb_t cb;
  void* data;
  {
    std::lock_guard guard(Current().lock);
    cb = Current().log;
    data = Current().logData;
  }
  if (cb == nullptr) return;

  std::string text = std::string(file) + ":" + std::to_string(line) + " - ";
  const size_t prefix = text.size();
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  if (length > 0) {
    text.resize(prefix + size_t(length) + 1);
    std::vsnprintf(text.data() + prefix, size_t(length) + 1, format, again);
    text.resize(prefix + size_t(length));
  }
  va_end(again);
  va_end(args);
  text += '\n';
  cb(level, text.c_str(), data);
}

void ReportProgress(int step, int steps, float seconds) {
  Stablediffusion::sd_progress_cb_t cb;
  void* data;
  {
    std::lock_guard guard(Current().lock);
    cb = Current().progress;
    data = Current().progressData;
  }
  if (cb != nullptr) cb(step, steps, seconds, data);
}

}  // namespace Reference::Diffusion
