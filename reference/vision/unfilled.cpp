// Families whose source file is not in this folder yet: they are exported so
// that the library has every entry point, but no context can be created, and
// every work call leaves its outputs empty. CMakeLists.txt compiles a family's
// block here only while its own file is absent.
#include "reference/vision/common.h"
#include "reference/vision/entry_points.h"

#ifdef CORVINA_SAM2_UNFILLED_LIVE_PORTRAIT
CORVINA_SAM2_EXPORT void* lp_init(const char*, const char*, const char*, const char*, const char*, const char*,
                                  const char*, const char*, std::int32_t) {
  return nullptr;
}
CORVINA_SAM2_EXPORT void lp_set_input(void*, const std::uint8_t*, std::int32_t, std::int32_t, std::int32_t) {}
CORVINA_SAM2_EXPORT const std::uint8_t* lp_execute(void*, std::int32_t, const std::uint8_t*, std::int32_t,
                                                   std::int32_t, std::int32_t) {
  return nullptr;
}
CORVINA_SAM2_EXPORT void lp_destroy(void*) {}
#endif

#ifdef CORVINA_SAM2_UNFILLED_FACE_DETECT
CORVINA_SAM2_EXPORT void* face_detector_init(const char*, const char*, const char*, std::int32_t, float, float) {
  return nullptr;
}
CORVINA_SAM2_EXPORT void face_detector_execute(void*, const std::uint8_t*, std::int32_t, std::int32_t, std::int32_t,
                                               std::int32_t* count, TBBox** boxes) {
  if (count != nullptr) *count = 0;
  if (boxes != nullptr) *boxes = nullptr;
}
CORVINA_SAM2_EXPORT void face_detector_landmark_5(void*, const std::uint8_t*, std::int32_t, std::int32_t,
                                                  std::int32_t, TBBox*, std::int32_t* featureLength,
                                                  float** feature) {
  if (featureLength != nullptr) *featureLength = 0;
  if (feature != nullptr) *feature = nullptr;
}
CORVINA_SAM2_EXPORT void face_detector_destroy(void*) {}
#endif

#ifdef CORVINA_SAM2_UNFILLED_FACE_ENHANCE
CORVINA_SAM2_EXPORT void* face_enhancer_init(const char*, std::int32_t, float) { return nullptr; }
CORVINA_SAM2_EXPORT const std::uint8_t* face_enhancer_execute(void*, const std::uint8_t*, std::int32_t,
                                                              std::int32_t, std::int32_t, const float*) {
  return nullptr;
}
CORVINA_SAM2_EXPORT void face_enhancer_destroy(void*) {}
#endif

#ifdef CORVINA_SAM2_UNFILLED_FACE_SWAP
CORVINA_SAM2_EXPORT void* face_swapper_init(const char*, const char*, std::int32_t) { return nullptr; }
CORVINA_SAM2_EXPORT const std::uint8_t* face_swapper_execute(void*, const std::uint8_t*, std::int32_t, std::int32_t,
                                                             std::int32_t, const float*, std::int32_t,
                                                             const float*) {
  return nullptr;
}
CORVINA_SAM2_EXPORT void face_swapper_destroy(void*) {}
#endif

#ifdef CORVINA_SAM2_UNFILLED_VOICE
CORVINA_SAM2_EXPORT void* voice_extractor_init(const char*, std::int32_t, void*, TVoiceExtractorProgressCallback) {
  return nullptr;
}
CORVINA_SAM2_EXPORT void voice_extractor_execute(void*, const float*, std::int32_t, float** vocals) {
  if (vocals != nullptr) *vocals = nullptr;
}
CORVINA_SAM2_EXPORT void voice_extractor_destroy(void*) {}
#endif
