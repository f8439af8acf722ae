// corvina demo: a tour of every component on built-in sample inputs, driven
// as an application drives them, on the reference backends beside
// libCorvina.so. Each step is on its own: a failure is reported and the tour
// goes on.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio/wave_writer.h"
#include "face/face_fmx.h"
#include "framework/exceptions.h"
#include "framework/graphics.h"
#include "framework/threads.h"
#include "generation/sd_fmx.h"
#include "tools/commands.h"
#include "tools/demo_inputs.h"
#include "tools/demo_tour.h"
#include "tools/options.h"
#include "tools/platform.h"
#include "vision/ostrack.h"
#include "vision/remove_anything.h"
#include "vision/remove_bg.h"
#include "vision/sam.h"

namespace Corvina::Tool {

namespace {

using namespace Demo;
using Face::Fmx::TFace;
using Sd::Fmx::TBitmaps;
using Sd::Fmx::TFMXStableDiffusion;
using System::String;
using System::UTF8Encode;
using System::UTF8ToString;

constexpr std::int32_t kVoiceRate = 22050;  // what the reference voice model separates
const char kPrompt[] = "a lighthouse at dusk";

std::string Size(const TBitmap& b) { return std::to_string(b.Width()) + " x " + std::to_string(b.Height()); }

std::string Fixed(double v, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

void Save(const TBitmap& bmp, const fs::path& file) { bmp.SaveToFile(file.u16string()); }

void SaveWav(const std::vector<float>& samples, const fs::path& file) {
  // 16-bit PCM plays in every browser's <audio>.
  Audio::Wave::Reader::TWaveWriter(kVoiceRate, 1, 16).WriteFloatData(samples, file.u16string());
}

// A sound's label with its length, which a player shows only once loaded.
std::string Timed(const std::string& label, std::size_t samples) {
  return label + " (" + Fixed(double(samples) / kVoiceRate, 1) + " s)";
}

// The numbered file name every multi-output subcommand uses: frame-1.png ...
std::string Numbered(const std::string& name, std::size_t index, std::size_t count) {
  return Platform::Utf8Text(NumberedPath(name, index, count));
}

// The top-left corner of the size x size window with the most edges (sum of
// horizontal green steps), on a grid of 16: a detail where enlarging shows.
std::pair<int, int> BusiestWindow(const TBitmap& picture, int size) {
  Fmx::Graphics::TBitmapMapping map(picture);
  std::pair<int, int> best{0, 0};
  long long most = -1;
  for (int y = 0; y + size <= picture.Height(); y += 16) {
    for (int x = 0; x + size <= picture.Width(); x += 16) {
      long long edges = 0;
      for (int row = y; row < y + size; ++row) {
        const auto* p = map.Scanline(row) + 4 * x;
        for (int col = 1; col < size; ++col) edges += std::abs(int(p[4 * col + 1]) - int(p[4 * col - 3]));
      }
      if (edges > most) most = edges, best = {x, y};
    }
  }
  return best;
}

// The generation settings the tour's component uses, as the tool spells them.
std::string Sampling(int width, int height) {
  return " -W " + std::to_string(width) + " -H " + std::to_string(height) + " --steps 12 --seed 7";
}

// The generation component with its two end events turned into a wait.
class TGeneration {
 public:
  TGeneration() : FComponent(nullptr) {
    FComponent.SetModelPath(Model("corvina-sd.cvm").u16string());
    FComponent.SetSampleSteps(12);
    FComponent.SetSeed(7);
    FComponent.SetOnComplete([this](TFMXStableDiffusion*, TBitmaps pictures) {
      FPictures = std::move(pictures);
      FDone = true;
    });
    FComponent.SetOnError([this](TFMXStableDiffusion*, const String& message) {
      FError = UTF8Encode(message);
      FDone = true;
    });
  }
  TFMXStableDiffusion& C() { return FComponent; }
  // Pumps the main thread until the request has ended.
  TBitmaps Wait() {
    while (!FDone) System::Classes::TThread::CheckSynchronize(20);
    FDone = false;
    TBitmaps pictures = std::move(FPictures);
    FPictures.clear();
    if (const std::optional<std::string> error = std::exchange(FError, std::nullopt)) throw std::runtime_error(*error);
    if (pictures.empty()) throw std::runtime_error("the request ended without a picture");
    return pictures;
  }

 private:
  TFMXStableDiffusion FComponent;
  TBitmaps FPictures;
  std::optional<std::string> FError;
  bool FDone = false;
};

// What the steps hand on to later ones. A later step that misses something
// makes do with a stand-in and says so.
struct TState {
  std::unique_ptr<TGeneration> Generation;
  std::vector<TBitmap> Generated;
  std::unique_ptr<Face::Fmx::TFMXFaceDetector> Detector;
  TSound Speech, Mix;

  TGeneration& Generator() {
    if (!Generation) Generation = std::make_unique<TGeneration>();
    return *Generation;
  }
  // A generated picture, or the synthesised one when generation failed.
  TBitmap Picture(std::size_t index, TStep& step) {
    if (index < Generated.size()) return Copy(Generated[index]);
    step.Note("the text-to-image pictures are missing: a synthesised picture instead");
    return SynthesisePicture(512, 512);
  }
  Face::Fmx::TFMXFaceDetector& FaceDetector() {
    if (!Detector) {
      auto d = std::make_unique<Face::Fmx::TFMXFaceDetector>(nullptr);
      d->SetModel(Model("face_detector.cvm").u16string());
      d->SetLandmarkModel(LandmarkModel().u16string());
      d->SetFeatureModel(Model("face_feature.cvm").u16string());
      d->SetActive(true);
      Detector = std::move(d);
    }
    return *Detector;
  }
  // The strongest face of a picture, copied: the next Detect replaces the list.
  TFace MainFace(const TBitmap& picture, const std::string& name) {
    const auto& faces = FaceDetector().Detect(&picture);
    if (faces.Count() == 0) throw std::runtime_error("no face found in " + name);
    return faces[0];
  }
};

// ---------------------------------------------------------------- generation

void TextToImage(TStep& step, TState& s) {
  TGeneration& g = s.Generator();
  g.C().SetWidth(512);
  g.C().SetHeight(512);
  g.C().SetBatchCount(2);
  step.InputText(std::string("prompt: ") + kPrompt);
  g.C().Text2Image(UTF8ToString(kPrompt), u"", nullptr);
  TBitmaps pictures = g.Wait();
  s.Generated.clear();
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    Save(*pictures[i], step.Output(Numbered("picture.png", i, pictures.size()), "picture " + std::to_string(i + 1)));
    s.Generated.push_back(Copy(*pictures[i]));
  }
  step.Caption("prompt \"" + std::string(kPrompt) + "\": " + std::to_string(pictures.size()) + " pictures of " +
               Size(*pictures[0]) + ", 12 steps, seeds 7 and 8. The reference painter reads the prompt as words " +
               "(layout and colour words), so expect shapes and textures, not a lighthouse");
  step.Command("corvina generate " + ShellWord(kPrompt) + Sampling(512, 512) + " -b 2 -o " + step.Relative("picture.png"));
}

void ImageToImage(TStep& step, TState& s) {
  TBitmap input = s.Picture(0, step);
  Save(input, step.Input("input.png", "the first generated picture"));
  TGeneration& g = s.Generator();
  g.C().SetBatchCount(1);
  g.C().SetStrength(0.6f);
  step.InputText("prompt: stormy sea");
  g.C().Image2Image(u"stormy sea", u"", &input, nullptr);
  const TBitmaps out = g.Wait();
  Save(*out[0], step.Output("stormy-sea.png", "\"stormy sea\", strength 0.6"));
  step.Caption("redrew the picture towards \"stormy sea\" at strength 0.6: " + Size(*out[0]) +
               "; its light and shade stay, the colours move towards the prompt's words");
  step.Command("corvina img2img " + step.Relative("input.png") + " 'stormy sea' --strength 0.6" + Sampling(512, 512) +
               " -o " + step.Relative("stormy-sea.png"));
}

void InPaint(TStep& step, TState& s) {
  TBitmap input = s.Picture(0, step);
  const int w = input.Width(), h = input.Height();
  TBitmap mask = MaskOf(w, h, [&](int x, int y) {
    const double dx = x - 0.5 * w, dy = y - 0.6 * h;
    return dx * dx + dy * dy < 0.04 * w * h;
  });
  Save(input, step.Input("input.png", "the first generated picture"));
  Save(mask, step.Input("mask.png", "mask: white is repainted"));
  TGeneration& g = s.Generator();
  g.C().SetBatchCount(1);
  g.C().SetStrength(0.75f);
  step.InputText("prompt: a red door");
  g.C().ImageInPaint(u"a red door", u"", &input, &mask, nullptr);
  const TBitmaps out = g.Wait();
  Save(*out[0], step.Output("red-door.png", "\"a red door\" in the masked disc"));
  step.Caption("repainted the white disc of the mask after \"a red door\" (red shapes, not a door: the painter "
               "reads colour words); every pixel outside the disc is kept: " + Size(*out[0]));
  step.Command("corvina inpaint " + step.Relative("input.png") + " " + step.Relative("mask.png") +
               " 'a red door' --strength 0.75" + Sampling(512, 512) + " -o " + step.Relative("red-door.png"));
}

void Video(TStep& step, TState& s) {
  TBitmap init = s.Picture(1, step);
  init.Resize(256, 256);
  Save(init, step.Input("init.png", "init picture (the second generated one, 256 x 256)"));
  TGeneration& g = s.Generator();
  g.C().SetWidth(256);
  g.C().SetHeight(256);
  g.C().SetVideoFrames(6);
  g.C().SetStrength(0.75f);
  step.InputText("prompt: waves");
  g.C().Video2Video(u"waves", u"", &init);
  const TBitmaps frames = g.Wait();
  for (std::size_t i = 0; i < frames.size(); ++i)
    Save(*frames[i], step.Output(Numbered("frame.png", i, frames.size()), "frame " + std::to_string(i + 1)));
  if (frames.size() > 1) {
    Save(Difference(*frames[0], *frames[frames.size() - 1], 4),
         step.Output("difference.png", "what changed from the first frame to the last, x4"));
  }
  step.Caption(std::to_string(frames.size()) + " frames of \"waves\" from the init picture, " + Size(*frames[0]) +
               "; their shapes and texture drift slowly, which the difference picture shows");
  step.Command("corvina video " + step.Relative("init.png") + " waves --frames 6 --strength 0.75" +
               Sampling(256, 256) + " -o " + step.Relative("frame.png"));
}

// The cat's face, whose fur shows what enlarging does; the generated picture
// (soft all over) when the photo is missing.
void Upscale(TStep& step, TState& s) {
  TBitmap input;
  std::string what = "256 x 256 of chelsea.png (skimage)";
  try {
    input = Crop(LoadPicture(SamplePhoto("chelsea.png")), 100, 0, 256, 256);
  } catch (const EMissingInput&) {
    input = s.Picture(1, step);
    input.Resize(256, 256);
    what = "the second generated picture, 256 x 256";
  }
  Save(input, step.Input("input.png", what));
  TGeneration& g = s.Generator();
  g.C().UpscaleImage(&input, Model("corvina-upscaler-x2.cvm").u16string(), 2);
  const TBitmaps out = g.Wait();
  Save(*out[0], step.Output("upscaled.png", "enlarged by the x2 upscaling model"));
  // At thumbnail size both look alike: the busiest 48 x 48 detail, each at the same scale.
  const auto [cx, cy] = BusiestWindow(input, 48);
  Save(SideBySide(Blocks(Crop(input, cx, cy, 48, 48), 4), Blocks(Crop(*out[0], 2 * cx, 2 * cy, 96, 96), 2), 8),
       step.Output("detail.png", "a 48 x 48 detail: the input as blocks (left), upscaled (right)"));
  step.Caption("enlarged 256 x 256 to " + Size(*out[0]) + " with the x2 upscaling model (Lanczos resampling, no " +
               "invented detail); the detail picture shows the same spot of both at one scale");
  step.Command("corvina upscale " + step.Relative("input.png") + " -o " + step.Relative("upscaled.png"));
}

void Canny(TStep& step, TState& s) {
  const TBitmap photo = LoadPicture(SamplePhoto("chelsea.png"));
  s.Generator();  // loads the library
  Save(photo, step.Input("chelsea.png", "chelsea.png (skimage)"));
  const auto edges = Sd::Fmx::GetCannyOfBitmap(photo);
  Save(*edges, step.Output("edges.png", "Canny edge map"));
  step.Caption("Canny edge map of the cat photo, " + Size(*edges));
  step.Command("corvina canny " + step.Relative("chelsea.png") + " -o " + step.Relative("edges.png"));
}

// ---------------------------------------------------------------- vision

// The reference vision backend is Linux-only: on Windows the vision and face
// steps need the user's sam2.dll and its companions, and are skipped, naming
// what is missing, without them.
void RequireVisionLibrary() {
#if defined(_WIN32)
  try {
    Anything::Fmx::LoadAnyLibs();
  } catch (const System::Sysutils::Exception& e) {
    std::string why = System::UTF8Encode(e.Message());
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == ' ')) why.pop_back();
    throw EMissingInput("no vision library: " + why +
                        " (the reference vision backend is Linux-only; put sam2.dll, onnxruntime.dll and "
                        "opencv_world4100.dll beside corvina.exe)");
  }
#endif
}

void Segment(TStep& step, TState&) {
  RequireVisionLibrary();
  const fs::path source = SamplePhoto("coffee.png");
  const TBitmap photo = LoadPicture(source);
  const System::Types::TRect box{180, 20, 440, 250};
  TBitmap prompt = Copy(photo);
  DrawBox(prompt, box.Left, box.Top, box.Right, box.Bottom, 0xFF00FF00u);
  Save(prompt, step.Input("prompt.png", "coffee.png (skimage) with the box prompt"));
  Anything::Fmx::TFMXSam sam(nullptr);
  sam.SetEncoderModel(Model("sam2_encoder.cvm").u16string());
  sam.SetDecoderModel(Model("sam2_decoder.cvm").u16string());
  sam.SetActive(true);
  sam.LoadImage(&photo);
  sam.AddRect(box);
  const TBitmap* mask = sam.GetRectMask();
  Save(*mask, step.Output("mask.png", "mask"));
  Save(Overlay(photo, *mask), step.Output("overlay.png", "mask over the photo"));
  step.Caption("the mask from a box prompt around the cup (red in the overlay): " + std::to_string(MaskedPixels(*mask)) +
               " of " + std::to_string(std::int64_t(mask->Width()) * mask->Height()) + " pixels. The reference " +
               "backend cuts by focus and colour along sharp edges (a graph cut), not by learned shapes: what " +
               "lies on the object, here the spoon's handle on the cup's rim, goes with it");
  step.Command("corvina segment " + ShellWord(Platform::Utf8Text(source)) + " --box 180,20,440,250 -o " + step.Relative("mask.png") +
               " --overlay " + step.Relative("overlay.png"));
}

void Track(TStep& step, TState&) {
  RequireVisionLibrary();
  const TBitmap photo = LoadPicture(SamplePhoto("coffee.png"));
  // A camera pan: a window sliding over the photo, so the cup moves in the
  // frames; the cup stays whole in every one.
  constexpr int kFrames = 8, kW = 400, kH = 300;
  const System::Types::TRect first{163, 18, 393, 210};
  Anything::Fmx::TFMXOSTrack tracker(nullptr);
  tracker.SetModel(Model("ostrack.cvm").u16string());
  tracker.SetActive(true);
  Anything::TDrOBB box{};
  for (int i = 0; i < kFrames; ++i) {
    const int x = 15 + i * 22, y = (i % 3) * 8;
    TBitmap frame = Crop(photo, x, y, kW, kH);
    const std::string n = std::to_string(i + 1);
    Save(frame, step.Input(Numbered("frame.png", std::size_t(i), kFrames), "frame " + n));
    if (i == 0) {
      tracker.InitTrack(&frame, first);
      box = {{float(first.Left), float(first.Top), float(first.Right), float(first.Bottom)}, 1.0f, 0};
    } else {
      tracker.Track(&frame, &box);
    }
    DrawBox(frame, int(box.box.x0), int(box.box.y0), int(box.box.x1), int(box.box.y1), 0xFF00FF00u);
    Save(frame, step.Output(Numbered("tracked.png", std::size_t(i), kFrames), "frame " + n + ", score " +
                                                                                   Fixed(box.score, 2)));
  }
  step.Command("corvina track " + step.Relative("frame-%d.png") + " --box 163,18,393,210 -o " +
               step.Relative("tracked"));
  step.Caption("followed the cup through " + std::to_string(kFrames) + " frames of a pan over coffee.png; last box (" +
               Fixed(box.box.x0, 0) + ", " + Fixed(box.box.y0, 0) + ") - (" + Fixed(box.box.x1, 0) + ", " +
               Fixed(box.box.y1, 0) + ")");
}

void RemoveObject(TStep& step, TState&) {
  RequireVisionLibrary();
  const fs::path source = SamplePhoto("coffee.png");
  const TBitmap photo = LoadPicture(source);
  // The spoon: its handle as a thick segment, its bowl as a disc.
  const TBitmap mask = MaskOf(photo.Width(), photo.Height(), [](int x, int y) {
    const double ax = 414, ay = 64, bx = 372, by = 250;
    const double t = std::clamp(((x - ax) * (bx - ax) + (y - ay) * (by - ay)) /
                                    ((bx - ax) * (bx - ax) + (by - ay) * (by - ay)), 0.0, 1.0);
    const double hx = x - (ax + t * (bx - ax)), hy = y - (ay + t * (by - ay));
    const double cx = x - 366.0, cy = y - 284.0;
    return hx * hx + hy * hy < 20 * 20 || cx * cx + cy * cy < 46 * 46;
  });
  Save(photo, step.Input("coffee.png", "coffee.png (skimage)"));
  Save(mask, step.Input("mask.png", "mask: the spoon"));
  Anything::Fmx::TFMXRemoveAnything remover(nullptr);
  remover.SetModel(Model("lama.cvm").u16string());
  remover.SetActive(true);
  const auto result = remover.RemoveAnything(&photo, &mask);
  Save(*result, step.Output("removed.png", "the spoon erased and filled in"));
  step.Caption("erased the spoon (" + std::to_string(MaskedPixels(mask)) + " masked pixels) and filled the hole " +
               "with patches copied from around it (exemplar fill: edges and texture carried in, no blur; where an " +
               "outline turns inside the hole its shape is guessed): " + Size(*result));
  step.Command("corvina remove " + ShellWord(Platform::Utf8Text(source)) + " --mask " + step.Relative("mask.png") + " -o " +
               step.Relative("removed.png"));
}

// The cup: sharp, and apart in colour from the picture's rim, which is what
// the reference backend's matte goes by.
void ReplaceBackground(TStep& step, TState& s) {
  RequireVisionLibrary();
  TBitmap photo = LoadPicture(SamplePhoto("coffee.png"));
  TBitmap background = s.Picture(1, step);
  Save(photo, step.Input("coffee.png", "coffee.png (skimage)"));
  Save(background, step.Input("background.png", "new background"));
  Anything::Fmx::TFMXRemoveBg replacer(nullptr);
  replacer.SetModel(Model("rmbg.cvm").u16string());
  replacer.SetActive(true);
  const auto result = replacer.ReplaceBackground(&photo, &background);
  Save(*result, step.Output("replaced.png", "the foreground over the new background"));
  step.Caption("put the photo's foreground over the generated picture: " + Size(*result) +
               " (sizes rounded up to multiples of 8). The reference backend's matte weighs what is in focus, " +
               "what differs from the colours at the picture's rim and any faces, then cuts along sharp edges; " +
               "it knows no objects, so a part that looks like the background can go with it");
  step.Command("corvina replace-bg " + step.Relative("coffee.png") + " --background " +
               step.Relative("background.png") + " -o " + step.Relative("replaced.png"));
}

// ---------------------------------------------------------------- faces

void Annotate(TBitmap& bmp, const TFace& f) {
  DrawBox(bmp, int(f.bounding_box.Left), int(f.bounding_box.Top), int(f.bounding_box.Right),
          int(f.bounding_box.Bottom), 0xFF00FF00u);
  for (const auto& p : f.landmark_68) DrawDot(bmp, int(std::lround(p.X)), int(std::lround(p.Y)), 1, 0xFFFFFF00u);
  for (const auto& p : f.landmark_5) DrawDot(bmp, int(std::lround(p.X)), int(std::lround(p.Y)), 3, 0xFFFF0000u);
}

void DetectFaces(TStep& step, TState& s) {
  RequireVisionLibrary();
  const fs::path source = SamplePhoto("astronaut.png");
  const TBitmap photo = LoadPicture(source);
  Save(photo, step.Input("astronaut.png", "astronaut.png (skimage)"));
  auto& detector = s.FaceDetector();
  const auto& faces = detector.Detect(&photo);
  TBitmap annotated = Copy(photo);
  for (const TFace& f : faces) Annotate(annotated, f);
  Save(annotated, step.Output("faces.png", "boxes, 68 landmarks (yellow), 5 key points (red)"));
  if (faces.Count() == 0) throw std::runtime_error("no face found in astronaut.png");
  const TFace& f = faces[0];
  step.Caption(std::to_string(faces.Count()) + " face(s); the first at (" + Fixed(f.bounding_box.Left, 0) + ", " +
               Fixed(f.bounding_box.Top, 0) + ") - (" + Fixed(f.bounding_box.Right, 0) + ", " +
               Fixed(f.bounding_box.Bottom, 0) + "), score " + Fixed(f.score, 2) + ", " +
               std::to_string(f.embeddings.size()) + "-value identity vector");
  step.Command("corvina faces " + ShellWord(Platform::Utf8Text(source)) + " -o " + step.Relative("faces.png"));
}

void EnhanceFace(TStep& step, TState& s) {
  RequireVisionLibrary();
  const TBitmap photo = Degraded(LoadPicture(SamplePhoto("astronaut.png")), 4);
  Save(photo, step.Input("blurred.png", "astronaut.png shrunk 4 times and enlarged again"));
  const TFace face = s.MainFace(photo, "the blurred astronaut");
  Face::Fmx::TFMXFaceEnhancer enhancer(nullptr);
  enhancer.SetModel(Model("face_enhancer.cvm").u16string());
  enhancer.SetFidelity(0.5f);
  enhancer.SetActive(true);
  const auto result = enhancer.Enhance(&photo, face);
  Save(*result, step.Output("enhanced.png", "restored face, fidelity 0.5"));
  // The change is small beside the whole picture: the face at twice the size,
  // before and after, and where the pixels changed.
  const auto& b = face.bounding_box;
  const int x = std::clamp(int(b.Left), 0, photo.Width() - 1), y = std::clamp(int(b.Top), 0, photo.Height() - 1);
  const int w = std::clamp(int(b.Right) - x, 1, photo.Width() - x), h = std::clamp(int(b.Bottom) - y, 1, photo.Height() - y);
  Save(SideBySide(Blocks(Crop(photo, x, y, w, h), 2), Blocks(Crop(*result, x, y, w, h), 2), 8),
       step.Output("face.png", "the face at twice the size: blurred (left), restored (right)"));
  Save(Difference(photo, *result, 4), step.Output("difference.png", "where the pixels changed, x4"));
  step.Caption("restored the face of a blurred copy of the astronaut at fidelity 0.5: " + Size(*result) +
               ". The reference backend denoises and sharpens inside the face's ellipse (no learned detail); the " +
               "difference picture shows that nothing outside it changed");
  step.Command("corvina enhance " + step.Relative("blurred.png") + " --fidelity 0.5 -o " +
               step.Relative("enhanced.png"));
}

void SwapFace(TStep& step, TState& s) {
  RequireVisionLibrary();
  const TBitmap source = LfwFace(SamplePhoto("lfw_subset.npy"), 0);
  const TBitmap target = LoadPicture(SamplePhoto("astronaut.png"));
  Save(source, step.Input("source.png", "source face: skimage's LFW sample, face 0"));
  Save(target, step.Input("target.png", "target: astronaut.png"));
  const TFace identity = s.MainFace(source, "the LFW face");
  const TFace where = s.MainFace(target, "astronaut.png");
  Face::Fmx::TFMXFaceSwapper swapper(nullptr);
  swapper.SetModel(Model("face_swapper.cvm").u16string());
  swapper.SetModelMatrix(Model("face_swapper_matrix.cvm").u16string());
  swapper.SetActive(true);
  const auto result = swapper.SwapFace(&target, identity, where);
  Save(*result, step.Output("swapped.png", "the astronaut with the source's identity"));
  step.Caption("gave the astronaut's face the appearance of the LFW face: " + Size(*result) +
               ". The reference backend repaints the face's colours from the source and keeps part of its texture; " +
               "a swap network would carry the identity much further");
  step.Command("corvina swap " + step.Relative("source.png") + " " + step.Relative("target.png") + " -o " +
               step.Relative("swapped.png"));
}

void AnimatePortrait(TStep& step, TState&) {
  RequireVisionLibrary();
  const TBitmap portrait = LoadPicture(SamplePhoto("astronaut.png"));
  Save(portrait, step.Input("portrait.png", "portrait: astronaut.png"));
  Face::Fmx::TFMXLivePortrait lp(nullptr);
  const String model = Model("live_portrait.cvm").u16string();
  for (auto set : {&Face::Fmx::TFMXLivePortrait::SetFeatureModel, &Face::Fmx::TFMXLivePortrait::SetMotionModel,
                   &Face::Fmx::TFMXLivePortrait::SetWarpingModel, &Face::Fmx::TFMXLivePortrait::SetStitchingModel,
                   &Face::Fmx::TFMXLivePortrait::SetFaceModel, &Face::Fmx::TFMXLivePortrait::SetFacePoseModel,
                   &Face::Fmx::TFMXLivePortrait::SetMaskTemplate})
    (lp.*set)(model);
  lp.SetLandMarkModel(LandmarkModel().u16string());
  lp.SetActive(true);
  lp.SetInputImage(&portrait);
  // The driving face moves: still, right, down, up-left.
  const struct {
    int dx, dy;
  } moves[] = {{0, 0}, {24, 0}, {0, 18}, {-20, -12}};
  const std::size_t count = std::size(moves);
  std::size_t n = 0;
  std::string drivingFiles;
  for (const auto& m : moves) {
    const std::string k = std::to_string(n + 1);
    const TBitmap driving = Shifted(portrait, m.dx, m.dy);
    const std::string name = Numbered("driving.png", n, count);
    Save(driving, step.Input(name, "driving frame " + k + " (moved " + std::to_string(m.dx) + ", " +
                                       std::to_string(m.dy) + ")"));
    drivingFiles += " " + step.Relative(name);
    const auto frame = lp.LivePortrait(&driving);
    Save(*frame, step.Output(Numbered("frame.png", n, count), "animated frame " + k));
    // The frames differ from the portrait by a few pixels of movement.
    Save(Difference(portrait, *frame, 4), step.Output(Numbered("moved.png", n, count),
                                                      "frame " + k + ": what moved against the portrait, x4"));
    ++n;
  }
  step.Caption("moved the portrait like the face in " + std::to_string(n) + " driving frames. The warp follows the " +
               "68 face landmarks and anchors at the picture's border, so it shifts the face and, less towards the " +
               "edges, what lies around it; the \"moved\" pictures are bright where pixels changed");
  step.Command("corvina animate " + step.Relative("portrait.png") + drivingFiles + " -o " + step.Relative("animated"));
}

// ---------------------------------------------------------------- sound

void MakeMix(TStep& step, TState& s) {
  const fs::path speechFile = step.Folder() / "speech.wav";
  const char kText[] = "Corvina separates the voice from the music behind it.";
  TSound speech;
  std::string said = "espeak-ng saying \"" + std::string(kText) + "\"";
  if (RunProgram({"espeak-ng", "-w", Platform::Utf8Text(speechFile), kText})) {
    speech = Resampled(ReadMonoWav(speechFile), kVoiceRate);
  } else {
    speech = SynthesisedVoice(kVoiceRate, 3.0);
    SaveWav(speech.Samples, speechFile);
    said = "a synthesised vowel voice";
    step.Note("espeak-ng is missing (Debian package espeak-ng): a synthesised vowel voice instead");
  }
  if (speech.Samples.size() < std::size_t(kVoiceRate) / 2) throw std::runtime_error("the speech is shorter than 0.5 s");
  const std::vector<float> music = Chords(speech.Samples.size(), kVoiceRate, float(Rms(speech.Samples) * 1.5));
  std::vector<float> mix(speech.Samples.size());
  for (std::size_t i = 0; i < mix.size(); ++i) mix[i] = std::clamp(speech.Samples[i] + music[i], -1.0f, 1.0f);
  // Recorded once the lengths are known, for the labels.
  step.Input("speech.wav", Timed("speech", speech.Samples.size()));
  SaveWav(music, step.Input("music.wav", Timed("music: four held chords", music.size())));
  const fs::path mixFile = step.Output("mix.wav", Timed("speech + music, 16-bit", mix.size()));
  SaveWav(mix, mixFile);
  // Read back what was written: the mix the separation gets is the file's.
  s.Mix = ReadMonoWav(mixFile);
  s.Speech = speech;
  if (s.Mix.Samples.size() != mix.size() || s.Mix.Rate != kVoiceRate)
    throw std::runtime_error("mix.wav read back with " + std::to_string(s.Mix.Samples.size()) + " samples at " +
                             std::to_string(s.Mix.Rate) + " Hz, written with " + std::to_string(mix.size()));
  step.Caption("read " + said + ", mixed it with four chords, wrote the mix as a 16-bit WAV and read it back: " +
               std::to_string(s.Mix.Samples.size()) + " samples at " + std::to_string(kVoiceRate) + " Hz, " +
               Fixed(double(s.Mix.Samples.size()) / kVoiceRate, 1) + " s");
  step.Command("corvina wav-info " + step.Relative("mix.wav"));
}

double Distance(const std::vector<float>& a, const std::vector<float>& b) {
  double sum = 0;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) sum += std::pow(double(a[i]) - b[i], 2);
  return std::sqrt(sum);
}

void SeparateVoice(TStep& step, TState& s) {
  RequireVisionLibrary();
  if (s.Mix.Samples.empty()) throw std::runtime_error("no mix: the WAV step did not make one");
  SaveWav(s.Mix.Samples, step.Input("mix.wav", Timed("mix", s.Mix.Samples.size())));
  Face::Fmx::TFMXVoiceExtractor extractor(nullptr);
  extractor.SetModel(Model("voice_extractor.cvm").u16string());
  bool finished = false;
  std::string failure;
  extractor.SetOnProgress([&](System::Classes::TComponent*, std::int32_t, bool done) { finished = done; });
  extractor.SetOnError([&](System::Classes::TComponent*, const String& message) {
    failure = UTF8Encode(message);
    finished = true;
  });
  extractor.SetActive(true);
  extractor.Extract(s.Mix.Samples);
  while (!finished) System::Classes::TThread::CheckSynchronize(20);
  if (!failure.empty()) throw std::runtime_error(failure);
  SaveWav(extractor.Vocal(), step.Output("vocals.wav", Timed("vocals", extractor.Vocal().size())));
  SaveWav(extractor.BackgroundMusic(),
          step.Output("background.wav", Timed("background", extractor.BackgroundMusic().size())));
  const double before = Distance(s.Mix.Samples, s.Speech.Samples);
  const double after = Distance(extractor.Vocal(), s.Speech.Samples);
  step.Caption("split the mix into vocals and background; the vocals are " +
               Fixed(before > 0 && after > 0 ? 20 * std::log10(before / after) : 0.0, 1) +
               " dB closer to the speech than the mix. The reference separator takes out held accompaniment (these " +
               "chords) and notes that ring at one pitch; a gliding instrument would stay in the vocals");
  step.Command("corvina separate " + step.Relative("mix.wav") + " -o " + step.Relative("vocals.wav") +
               " --background " + step.Relative("background.wav"));
}

int Tour(const fs::path& folder) {
  if (folder.empty()) throw std::invalid_argument("the output folder name is empty");
  const auto start = std::chrono::steady_clock::now();
  TTour tour(folder, Console().Quiet);
  Info("corvina demo: a tour of the components into %s", Platform::Utf8Text(folder).c_str());
  std::fflush(stdout);
  TState state;
  const struct {
    const char* Folder;
    const char* Component;
    const char* Action;
    void (*Body)(TStep&, TState&);
  } steps[] = {
      {"01-text2image", "TFMXStableDiffusion", "Text2Image", TextToImage},
      {"02-img2img", "TFMXStableDiffusion", "Image2Image", ImageToImage},
      {"03-inpaint", "TFMXStableDiffusion", "ImageInPaint", InPaint},
      {"04-video", "TFMXStableDiffusion", "Video2Video", Video},
      {"05-upscale", "TFMXStableDiffusion", "UpscaleImage", Upscale},
      {"06-canny", "SD.FMX", "GetCannyOfBitmap", Canny},
      {"07-segment", "TFMXSam", "segment from a box", Segment},
      {"08-track", "TFMXOSTrack", "track through frames", Track},
      {"09-remove", "TFMXRemoveAnything", "erase an object", RemoveObject},
      {"10-replace-bg", "TFMXRemoveBg", "replace the background", ReplaceBackground},
      {"11-faces", "TFMXFaceDetector", "find faces", DetectFaces},
      {"12-enhance", "TFMXFaceEnhancer", "restore a face", EnhanceFace},
      {"13-swap", "TFMXFaceSwapper", "swap a face", SwapFace},
      {"14-portrait", "TFMXLivePortrait", "animate a portrait", AnimatePortrait},
      {"15-wav", "TWaveReader/TWaveWriter", "read speech, write a mix", MakeMix},
      {"16-voice", "TFMXVoiceExtractor", "separate voice and music", SeparateVoice},
  };
  for (const auto& step : steps)
    tour.Run(step.Folder, step.Component, step.Action, [&](TStep& s) { step.Body(s, state); });
  state = {};  // the components go before the summary
  return tour.Finish(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

}  // namespace

void AddDemoCommand(CLI::App& app, TCommands& commands) {
  auto folder = std::make_shared<std::string>("out/demo");
  auto* demo = app.add_subcommand(
      "demo", "a tour of every component on sample inputs: pictures, sounds and index.html in the folder");
  demo->add_option("folder", *folder, "output folder")->capture_default_str()->check(OutputCheck(TOutputKind::Folder));
  commands.push_back({demo, [folder] { return Tour(Platform::Utf8Path(*folder)); }});
}

}  // namespace Corvina::Tool
