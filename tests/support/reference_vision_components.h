// The vision components on the reference vision backend, as the end-to-end
// and quality suites drive them: the backend found the default way
// (ANY_DLL_PATH empty: libsam2.so beside libCorvina.so), each component
// made active on the sample model files.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "framework/strings.h"
#include "vision/anything_fmx.h"
#include "vision/ostrack.h"
#include "vision/remove_anything.h"
#include "vision/remove_bg.h"
#include "vision/sam.h"

namespace Corvina::Testing {

// A sample model of the reference backend, as a component's file name.
inline System::String ReferenceVisionModel(const char* name) {
  return System::UTF8ToString(std::string(CORVINA_REFERENCE_VISION_MODELS) + name);
}

// Each component active on its sample model.
inline std::unique_ptr<Anything::Fmx::TFMXSam> ReferenceSam() {
  auto sam = std::make_unique<Anything::Fmx::TFMXSam>(nullptr);
  sam->SetEncoderModel(ReferenceVisionModel("sam2_encoder.cvm"));
  sam->SetDecoderModel(ReferenceVisionModel("sam2_decoder.cvm"));
  sam->SetActive(true);
  return sam;
}
inline std::unique_ptr<Anything::Fmx::TFMXOSTrack> ReferenceTracker() {
  auto t = std::make_unique<Anything::Fmx::TFMXOSTrack>(nullptr);
  t->SetModel(ReferenceVisionModel("ostrack.cvm"));
  t->SetActive(true);
  return t;
}
inline std::unique_ptr<Anything::Fmx::TFMXRemoveAnything> ReferenceRemover() {
  auto r = std::make_unique<Anything::Fmx::TFMXRemoveAnything>(nullptr);
  r->SetModel(ReferenceVisionModel("lama.cvm"));
  r->SetActive(true);
  return r;
}
inline std::unique_ptr<Anything::Fmx::TFMXRemoveBg> ReferenceReplacer() {
  auto r = std::make_unique<Anything::Fmx::TFMXRemoveBg>(nullptr);
  r->SetModel(ReferenceVisionModel("rmbg.cvm"));
  r->SetActive(true);
  return r;
}

// A suite that finds the backend the default way, from a clean start.
class ReferenceVisionComponents : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Anything::Fmx::UnLoadAnyLibs();
    Anything::Fmx::ANY_DLL_PATH.clear();
  }
  static void TearDownTestSuite() { Anything::Fmx::UnLoadAnyLibs(); }
};

}  // namespace Corvina::Testing
