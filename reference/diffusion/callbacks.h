// The process-wide callback registrations of the library and the one way its
// code logs, reports progress and shows preview frames. A registration may
// change on one thread while another thread is inside the library, so each
// report takes a snapshot under a lock and calls out without holding it.
#pragma once

#include <cstdint>

#include "binding/stablediffusion.h"

namespace Reference::Diffusion {

void SetLogCallback(Stablediffusion::sd_log_cb_t cb, void* data);
void SetProgressCallback(Stablediffusion::sd_progress_cb_t cb, void* data);

struct PreviewSettings {
  Stablediffusion::sd_preview_cb_t callback = nullptr;
  Stablediffusion::preview_t mode = Stablediffusion::PREVIEW_NONE;
  int interval = 1;
  bool denoised = true;
  bool noisy = false;
  void* data = nullptr;
};
void SetPreviewCallback(const PreviewSettings& settings);
PreviewSettings CurrentPreview();

// Lines read "file.cpp:LINE - message\n", as the library's own log does.
// MinGW's printf checks follow the Windows C library unless told that its
// own C99 printf is in use, as here.
#if defined(__MINGW32__)
#define REF_PRINTF_FORMAT gnu_printf
#else
#define REF_PRINTF_FORMAT printf
#endif
void LogLine(Stablediffusion::sd_log_level_t level, const char* file, int line, const char* format, ...)
    __attribute__((format(REF_PRINTF_FORMAT, 4, 5)));

void ReportProgress(int step, int steps, float seconds);

}  // namespace Reference::Diffusion

#define REF_LOG(level, ...) ::Reference::Diffusion::LogLine(level, __FILE_NAME__, __LINE__, __VA_ARGS__)
#define LOG_DEBUG(...) REF_LOG(::Stablediffusion::SD_LOG_DEBUG, __VA_ARGS__)
#define LOG_INFO(...) REF_LOG(::Stablediffusion::SD_LOG_INFO, __VA_ARGS__)
#define LOG_WARN(...) REF_LOG(::Stablediffusion::SD_LOG_WARN, __VA_ARGS__)
#define LOG_ERROR(...) REF_LOG(::Stablediffusion::SD_LOG_ERROR, __VA_ARGS__)
