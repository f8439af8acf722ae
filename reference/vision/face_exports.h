// The entry points of the face, portrait and voice families, declared from the
// binding's function types so that a signature drift does not compile.
#pragma once

#include "binding/anything.h"

#define CORVINA_FACE_AND_VOICE_ENTRY_POINTS(X) \
  X(lp_init)                                   \
  X(lp_set_input)                              \
  X(lp_execute)                                \
  X(lp_destroy)                                \
  X(face_detector_init)                        \
  X(face_detector_execute)                     \
  X(face_detector_landmark_5)                  \
  X(face_detector_destroy)                     \
  X(face_enhancer_init)                        \
  X(face_enhancer_execute)                     \
  X(face_enhancer_destroy)                     \
  X(face_swapper_init)                         \
  X(face_swapper_execute)                      \
  X(face_swapper_destroy)                      \
  X(voice_extractor_init)                      \
  X(voice_extractor_execute)                   \
  X(voice_extractor_destroy)

extern "C" {
#define CORVINA_DECLARE_EXPORT(name) Anything::name##_fn name;
CORVINA_FACE_AND_VOICE_ENTRY_POINTS(CORVINA_DECLARE_EXPORT)
#undef CORVINA_DECLARE_EXPORT
}
