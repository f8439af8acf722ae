// portrait_studio: paints a backdrop from a prompt, finds the faces in a
// portrait, and puts the portrait's subject in front of the backdrop.
//
//   portrait_studio PHOTO [OUTDIR] [PROMPT]
//
// Writes OUTDIR/backdrop.png, OUTDIR/faces.png and OUTDIR/composite.png
// (OUTDIR defaults to "studio"). Runs on whatever inference libraries the
// package finds; installed, those are the reference backends beside
// libCorvina.so, with the sample models of CORVINA_MODELS_DIR. Where no
// vision library loads (the Windows package has none), it paints the
// backdrop only and prints why.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <unistd.h>

#include "face/face_detector.h"
#include "framework/graphics.h"
#include "framework/strings.h"
#include "framework/threads.h"
#include "generation/stable_diffusion.h"
#include "vision/remove_bg.h"

#ifndef CORVINA_MODELS_DIR
#error "CORVINA_MODELS_DIR must name the folder of the sample models"
#endif
#ifndef CORVINA_LANDMARK_MODEL
#define CORVINA_LANDMARK_MODEL "/usr/share/dlib/shape_predictor_68_face_landmarks.dat"
#endif

namespace {

namespace fs = std::filesystem;
using Fmx::Graphics::TBitmap;
using System::String;
using System::UTF8Encode;
using System::UTF8ToString;

String Model(const char* name) { return (fs::path(CORVINA_MODELS_DIR) / name).u16string(); }

// Text to image is asynchronous: the request runs on the component's worker
// and its events arrive on this (the main) thread while it pumps.
std::unique_ptr<TBitmap> PaintBackdrop(const std::string& prompt, int width, int height) {
  Sd::Fmx::TFMXStableDiffusion painter(nullptr);
  painter.SetModelPath(Model("corvina-sd.cvm"));
  painter.SetWidth(width);
  painter.SetHeight(height);
  painter.SetSampleSteps(12);
  painter.SetSeed(2024);

  std::unique_ptr<TBitmap> picture;
  std::optional<std::string> error;
  bool done = false;
  // Loading the model reports progress too, then each sampling step does.
  const bool terminal = ::isatty(::fileno(stdout)) == 1;
  painter.SetOnProgress([terminal](auto*, std::int32_t step, std::int32_t steps, float) {
    if (!terminal) return;
    std::printf("\rbackdrop: %d/%d ", step, steps);
    std::fflush(stdout);
  });
  painter.SetOnComplete([&](auto*, Sd::Fmx::TBitmaps outputs) {
    if (!outputs.empty()) picture = std::move(outputs.front());
    done = true;
  });
  painter.SetOnError([&](auto*, const String& message) {
    error = UTF8Encode(message);
    done = true;
  });

  painter.Text2Image(UTF8ToString(prompt), u"", nullptr);
  while (!done) System::Classes::TThread::CheckSynchronize(50);
  if (terminal) std::printf("\n");
  if (error) throw std::runtime_error("painting failed: " + *error);
  if (!picture) throw std::runtime_error("painting gave no picture");
  return picture;
}

void Frame(TBitmap& picture, const Face::Fmx::TFace& face) {
  Fmx::Graphics::TBitmapMapping map(picture, Fmx::Graphics::TMapAccess::ReadWrite);
  auto plot = [&](int x, int y) {
    if (x >= 0 && y >= 0 && x < picture.Width() && y < picture.Height())
      reinterpret_cast<std::uint32_t*>(map.WritableScanline(y))[x] = 0xFFFFD700u;  // gold
  };
  const auto& box = face.bounding_box;
  const int l = int(std::lround(box.Left)), t = int(std::lround(box.Top));
  const int r = int(std::lround(box.Right)), b = int(std::lround(box.Bottom));
  for (int k = 0; k < 3; ++k) {
    for (int x = l; x <= r; ++x) plot(x, t + k), plot(x, b - k);
    for (int y = t; y <= b; ++y) plot(l + k, y), plot(r - k, y);
  }
  for (const auto& p : face.landmark_5)
    for (int d = -4; d <= 4; ++d) plot(int(std::lround(p.X)) + d, int(std::lround(p.Y))), plot(int(std::lround(p.X)), int(std::lround(p.Y)) + d);
}

int FindFaces(const TBitmap& photo, const fs::path& out) {
  Face::Fmx::TFMXFaceDetector detector(nullptr);
  detector.SetModel(Model("face_detector.cvm"));
  detector.SetLandmarkModel(UTF8ToString(CORVINA_LANDMARK_MODEL));
  detector.SetFeatureModel(Model("face_feature.cvm"));
  detector.SetActive(true);
  const auto& faces = detector.Detect(&photo);

  TBitmap marked;
  marked.Assign(photo);
  for (int i = 0; i < faces.Count(); ++i) {
    const auto& box = faces[i].bounding_box;
    std::printf("face %d: (%.0f, %.0f)-(%.0f, %.0f), score %.2f\n", i + 1, box.Left, box.Top, box.Right, box.Bottom,
                faces[i].score);
    Frame(marked, faces[i]);
  }
  marked.SaveToFile((out / "faces.png").u16string());
  return faces.Count();
}

std::unique_ptr<TBitmap> Composite(const TBitmap& photo, TBitmap& backdrop) {
  Anything::Fmx::TFMXRemoveBg cutter(nullptr);
  cutter.SetModel(Model("rmbg.cvm"));
  cutter.SetActive(true);
  TBitmap subject;  // ReplaceBackground resizes its inputs in place
  subject.Assign(photo);
  return cutter.ReplaceBackground(&subject, &backdrop);
}

// The vision components load their library when the first one is made. The
// Windows package brings none (applications ship their own sam2.dll), so
// without one the example says why it skips them instead of failing.
std::optional<std::string> VisionLibraryMissing() {
  try {
    Anything::Fmx::TFMXRemoveBg probe(nullptr);
    return std::nullopt;
  } catch (const std::exception& e) {
    std::string why = e.what();
    while (!why.empty() && std::isspace(static_cast<unsigned char>(why.back()))) why.pop_back();
    return why;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: %s PHOTO [OUTDIR] [PROMPT]\n", argv[0]);
    return 2;
  }
  const fs::path out = argc > 2 ? argv[2] : "studio";
  const std::string prompt = argc > 3 ? argv[3] : "a sunset over a calm blue sea";
  try {
    TBitmap photo;
    photo.LoadFromFile(UTF8ToString(argv[1]));
    fs::create_directories(out);

    auto backdrop = PaintBackdrop(prompt, photo.Width(), photo.Height());
    backdrop->SaveToFile((out / "backdrop.png").u16string());

    if (const auto why = VisionLibraryMissing()) {
      std::printf("faces and composite skipped: %s\n", why->c_str());
      std::printf("wrote %s\n", (out / "backdrop.png").string().c_str());
      return 0;
    }
    const int faces = FindFaces(photo, out);
    std::printf("%d face%s found\n", faces, faces == 1 ? "" : "s");

    auto composite = Composite(photo, *backdrop);
    composite->SaveToFile((out / "composite.png").u16string());
    std::printf("wrote %s, %s and %s\n", (out / "backdrop.png").string().c_str(),
                (out / "faces.png").string().c_str(), (out / "composite.png").string().c_str());
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "portrait_studio: %s\n", e.what());
    return 1;
  }
}
