// The binary interface of the vision library (libsam2.so / sam2.dll): the
// records it exchanges, its progress callback, the signature of each of its
// 35 entry points, and one variable per entry point that LoadAnyLibs fills.
//
// Nothing here depends on the framework, so a library that implements the
// interface includes this header and declares its exports from the same
// function types, which makes the compiler refuse any signature drift:
//
//   extern "C" {
//   #define DECLARE_EXPORT(name) Anything::name##_fn name;
//   ANYTHING_ENTRY_POINTS(DECLARE_EXPORT)
//   }
//
// Pixels are handed over as a mapped image: pixels, width, height, pitch, 4
// bytes per pixel in B, G, R, A order, rows pitch bytes apart, top row first.
// Gray results are width x height bytes, BGR results width x height x 3,
// rows without gaps; both belong to the library and stay valid until the
// next call on the same context.
#pragma once

// Needs C++20; kept inline so that this header stays free of the others.
#if defined(_MSVC_LANG) ? _MSVC_LANG < 202002L : __cplusplus < 202002L
#error "Corvina needs C++20: compile with -std=c++20 (or /std:c++20) or later"
#endif

#include <cstddef>
#include <cstdint>

namespace Anything {

struct TDrBBox {
  float x0;
  float y0;
  float x1;
  float y1;
};
static_assert(sizeof(TDrBBox) == 16);
static_assert(offsetof(TDrBBox, x0) == 0);
static_assert(offsetof(TDrBBox, y0) == 4);
static_assert(offsetof(TDrBBox, x1) == 8);
static_assert(offsetof(TDrBBox, y1) == 12);

// One tracking step's result.
struct TDrOBB {
  TDrBBox box;
  float score;
  std::int32_t class_id;
};
using PDrOBB = TDrOBB*;
static_assert(sizeof(TDrOBB) == 24);
static_assert(offsetof(TDrOBB, box) == 0);
static_assert(offsetof(TDrOBB, score) == 16);
static_assert(offsetof(TDrOBB, class_id) == 20);

// One detected face. Points are x then y, in image pixels.
struct TBBox {
  float xmin;
  float ymin;
  float xmax;
  float ymax;
  float score;
  float kps[10];
  float landmark_2d_106[212];
  float landmark_5[10];
  float landmark_68[136];
};
using PBBox = TBBox*;
static_assert(sizeof(TBBox) == 1492);
static_assert(sizeof(TBBox) == 373 * sizeof(float));
static_assert(offsetof(TBBox, xmin) == 0);
static_assert(offsetof(TBBox, ymin) == 4);
static_assert(offsetof(TBBox, xmax) == 8);
static_assert(offsetof(TBBox, ymax) == 12);
static_assert(offsetof(TBBox, score) == 16);
static_assert(offsetof(TBBox, kps) == 20);
static_assert(offsetof(TBBox, landmark_2d_106) == 60);
static_assert(offsetof(TBBox, landmark_5) == 908);
static_assert(offsetof(TBBox, landmark_68) == 948);

// Called by the library, possibly from another thread, with the arg given to
// voice_extractor_init.
using TVoiceExtractorProgressCallback = void (*)(void* arg, std::int32_t progress);

// Function types, one per entry point. Results of type void are the ones the
// package ignores; const results are library-owned buffers.
using sam_init_fn = void*(const char* encoder_model, const char* decoder_model, const char* device);
using sam_load_image_fn = void(void* ctx, const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                               std::int32_t pitch);
using sam_add_rect_fn = void(void* ctx, std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height);
using sam_add_point_fn = void(void* ctx, std::int32_t x, std::int32_t y);
using sam_clear_fn = void(void* ctx);
using sam_get_rect_mask_fn = const std::uint8_t*(void* ctx);   // gray, loaded image's size
using sam_get_point_mask_fn = const std::uint8_t*(void* ctx);  // gray, loaded image's size
using sam_destroy_fn = void(void* ctx);

using ostrack_init_fn = void*(const char* model, std::int32_t gpu_device);
using ostrack_init_image_fn = void(void* ctx, const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                                   std::int32_t pitch, std::int32_t left, std::int32_t top, std::int32_t right,
                                   std::int32_t bottom);
using ostrack_track_fn = void(void* ctx, const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                              std::int32_t pitch, TDrOBB* result);
using ostrack_destroy_fn = void(void* ctx);

// mask pixels and the image share width, height and pitch.
using lama_init_fn = void*(const char* model, std::int32_t gpu_device);
using lama_execute_fn = const std::uint8_t*(void* ctx, const std::uint8_t* pixels, const std::uint8_t* mask_pixels,
                                            std::int32_t width, std::int32_t height, std::int32_t pitch);  // BGR
using lama_destroy_fn = void(void* ctx);

// background pixels and the image share width, height and pitch.
using rmbg_init_fn = void*(const char* model, std::int32_t gpu_device);
using rmbg_execute_fn = const std::uint8_t*(void* ctx, const std::uint8_t* pixels,
                                            const std::uint8_t* background_pixels, std::int32_t width,
                                            std::int32_t height, std::int32_t pitch);  // BGR
using rmbg_destroy_fn = void(void* ctx);

using lp_init_fn = void*(const char* feature_model, const char* motion_model, const char* warping_model,
                         const char* stitching_model, const char* landmark_model, const char* face_model,
                         const char* face_pose_model, const char* mask_template, std::int32_t gpu_device);
using lp_set_input_fn = void(void* ctx, const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                             std::int32_t pitch);
using lp_execute_fn = const std::uint8_t*(void* ctx, std::int32_t frame, const std::uint8_t* pixels,
                                          std::int32_t width, std::int32_t height,
                                          std::int32_t pitch);  // BGR, driving frame's size
using lp_destroy_fn = void(void* ctx);

using face_detector_init_fn = void*(const char* model, const char* landmark_model, const char* feature_model,
                                    std::int32_t gpu_device, float confidence_threshold, float overlap_threshold);
// Writes both outputs on every call: the count (0 without faces) and a
// library-owned array of that many records.
using face_detector_execute_fn = void(void* ctx, const std::uint8_t* pixels, std::int32_t width,
                                      std::int32_t height, std::int32_t pitch, std::int32_t* count,
                                      TBBox** boxes);
// box is an element of the array just returned; fills its landmark_5 and
// landmark_68 and hands out a library-owned feature vector.
using face_detector_landmark_5_fn = void(void* ctx, const std::uint8_t* pixels, std::int32_t width,
                                         std::int32_t height, std::int32_t pitch, TBBox* box,
                                         std::int32_t* feature_length, float** feature);
using face_detector_destroy_fn = void(void* ctx);

using face_enhancer_init_fn = void*(const char* model, std::int32_t gpu_device, float fidelity);
using face_enhancer_execute_fn = const std::uint8_t*(void* ctx, const std::uint8_t* pixels, std::int32_t width,
                                                     std::int32_t height, std::int32_t pitch,
                                                     const float* landmarks_5);  // BGR
using face_enhancer_destroy_fn = void(void* ctx);

using face_swapper_init_fn = void*(const char* model, const char* model_matrix, std::int32_t gpu_device);
using face_swapper_execute_fn = const std::uint8_t*(void* ctx, const std::uint8_t* pixels, std::int32_t width,
                                                    std::int32_t height, std::int32_t pitch,
                                                    const float* target_landmarks_5, std::int32_t embedding_length,
                                                    const float* embedding);  // BGR
using face_swapper_destroy_fn = void(void* ctx);

using voice_extractor_init_fn = void*(const char* model, std::int32_t gpu_device, void* arg,
                                      TVoiceExtractorProgressCallback progress);
// vocals: a library-owned array of sample_count values.
using voice_extractor_execute_fn = void(void* ctx, const float* samples, std::int32_t sample_count, float** vocals);
using voice_extractor_destroy_fn = void(void* ctx);

// Every entry point, in the order LoadAnyLibs resolves them.
#define ANYTHING_ENTRY_POINTS(X) \
  X(sam_init)                    \
  X(sam_load_image)              \
  X(sam_add_rect)                \
  X(sam_add_point)               \
  X(sam_clear)                   \
  X(sam_get_rect_mask)           \
  X(sam_get_point_mask)          \
  X(sam_destroy)                 \
  X(ostrack_init)                \
  X(ostrack_init_image)          \
  X(ostrack_track)               \
  X(ostrack_destroy)             \
  X(lama_init)                   \
  X(lama_execute)                \
  X(lama_destroy)                \
  X(rmbg_init)                   \
  X(rmbg_execute)                \
  X(rmbg_destroy)                \
  X(lp_init)                     \
  X(lp_set_input)                \
  X(lp_execute)                  \
  X(lp_destroy)                  \
  X(face_detector_init)          \
  X(face_detector_execute)       \
  X(face_detector_landmark_5)    \
  X(face_detector_destroy)       \
  X(face_enhancer_init)          \
  X(face_enhancer_execute)       \
  X(face_enhancer_destroy)       \
  X(face_swapper_init)           \
  X(face_swapper_execute)        \
  X(face_swapper_destroy)        \
  X(voice_extractor_init)        \
  X(voice_extractor_execute)     \
  X(voice_extractor_destroy)

inline constexpr int kEntryPointCount = 35;

// The resolved addresses, null until LoadAnyLibs has resolved every one and
// again after UnLoadAnyLibs. Written only by those two, on the thread that
// creates components. Defined in the package (libCorvina).
#define ANYTHING_DECLARE_VARIABLE(name) extern name##_fn* name;
ANYTHING_ENTRY_POINTS(ANYTHING_DECLARE_VARIABLE)
#undef ANYTHING_DECLARE_VARIABLE

}  // namespace Anything
