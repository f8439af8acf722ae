// Unit Face.FMX: TFace with NumpyNorm and NumpyDot, and the face and voice
// components that drive the vision library's face, portrait and voice families.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include "face/face.h"
#include "face/face_detector.h"
#include "face/face_enhancer.h"
#include "face/face_swapper.h"
#include "face/live_portrait.h"
#include "face/voice_extractor.h"
