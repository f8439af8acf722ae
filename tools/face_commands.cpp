// corvina faces | enhance | swap | animate | separate: the face and voice
// components on picture and WAV files, with the reference vision backend
// unless told otherwise.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <span>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "audio/wave_writer.h"
#include "face/face_fmx.h"
#include "framework/exceptions.h"
#include "framework/graphics.h"
#include "framework/threads.h"
#include "tools/commands.h"
#include "tools/options.h"
#include "tools/platform.h"
#include "tools/wave_samples.h"
#include "vision/anything_fmx.h"

namespace Corvina::Tool {

namespace {

namespace fs = std::filesystem;
using namespace Face::Fmx;
using Fmx::Graphics::TBitmap;
using Fmx::Graphics::TBitmapMapping;
using Fmx::Graphics::TMapAccess;
using nlohmann::json;
using System::String;
using System::Sysutils::Exception;

String Native(const std::string& path) { return System::UTF8ToString(path); }

// Where the models of the reference backend live, and the library to use.
struct TFaceOptions {
  std::string LibraryDir;
  std::string ModelDir = Platform::Utf8Text(ReferenceModelDir(CORVINA_REFERENCE_VISION_MODELS));
  std::string ShapeModel = CORVINA_DLIB_SHAPE_MODEL;
  std::int32_t Gpu = -1;
  bool Json = false;

  void Add(CLI::App& command, bool landmarks = true) {
    command.group(kGroupFace);
    AddVisionLibraryDir(command, LibraryDir);
    AddModelDir(command, ModelDir);
    if (landmarks)
      command.add_option("--landmark-model", ShapeModel, "68-point landmark model file (default: dlib's, from libdlib-data)")
          ->check(kInputFile);
    AddGpu(command, Gpu);
    AddJson(command, Json);
  }
  void Apply() const { UseVisionLibrary(LibraryDir); }
  String Model(const char* name) const { return ModelInDir(ModelDir, name).u16string(); }
  // Where a failed activation's models came from.
  std::string Models() const { return "models from " + ModelDir; }

  std::unique_ptr<TFMXFaceDetector> Detector() const {
    auto d = std::make_unique<TFMXFaceDetector>(nullptr);
    d->SetModel(Model("face_detector.cvm"));
    d->SetLandmarkModel(Native(ShapeModel));
    d->SetFeatureModel(Model("face_feature.cvm"));
    d->SetGPUDeviceID(Gpu);
    return d;
  }
};

std::unique_ptr<TBitmap> Load(const std::string& path) { return LoadPicture(path); }

void Save(const TBitmap& bmp, const std::string& path) { SavePicture(bmp, path); }

json PictureFile(const std::string& path, const TBitmap& picture) {
  json entry = WrittenFile(path);
  entry["width"] = picture.Width();
  entry["height"] = picture.Height();
  return entry;
}

void Plot(const TBitmapMapping& map, const TBitmap& bmp, int x, int y, std::uint32_t colour) {
  if (x < 0 || y < 0 || x >= bmp.Width() || y >= bmp.Height()) return;
  reinterpret_cast<std::uint32_t*>(map.WritableScanline(y))[x] = colour;
}

// Box outlines, the 68 points as dots and the five points as crosses.
void Annotate(TBitmap& bmp, const System::Generics::Collections::TList<TFace>& faces) {
  TBitmapMapping map(bmp, TMapAccess::Write);
  for (const TFace& f : faces) {
    const int l = static_cast<int>(std::lround(f.bounding_box.Left)), t = static_cast<int>(std::lround(f.bounding_box.Top));
    const int r = static_cast<int>(std::lround(f.bounding_box.Right)),
              b = static_cast<int>(std::lround(f.bounding_box.Bottom));
    for (int k = 0; k < 2; ++k) {
      for (int x = l; x <= r; ++x) Plot(map, bmp, x, t + k, 0xFF00FF00u), Plot(map, bmp, x, b - k, 0xFF00FF00u);
      for (int y = t; y <= b; ++y) Plot(map, bmp, l + k, y, 0xFF00FF00u), Plot(map, bmp, r - k, y, 0xFF00FF00u);
    }
    for (const auto& p : f.landmark_68)
      Plot(map, bmp, static_cast<int>(std::lround(p.X)), static_cast<int>(std::lround(p.Y)), 0xFFFFFF00u);
    for (const auto& p : f.landmark_5) {
      const int x = static_cast<int>(std::lround(p.X)), y = static_cast<int>(std::lround(p.Y));
      for (int d = -3; d <= 3; ++d) Plot(map, bmp, x + d, y, 0xFFFF0000u), Plot(map, bmp, x, y + d, 0xFFFF0000u);
    }
  }
}

json FaceJson(const TFace& f) {
  json points5 = json::array(), points68 = json::array();
  for (const auto& p : f.landmark_5) points5.push_back({p.X, p.Y});
  for (const auto& p : f.landmark_68) points68.push_back({p.X, p.Y});
  return {{"box", {f.bounding_box.Left, f.bounding_box.Top, f.bounding_box.Right, f.bounding_box.Bottom}},
          {"score", f.score},
          {"landmark_5", points5},
          {"landmark_68", points68},
          {"embedding_length", f.embeddings.size()}};
}

// The faces of a picture, strongest first as the library reports them.
const System::Generics::Collections::TList<TFace>& Faces(TFMXFaceDetector& detector, const TBitmap& picture,
                                                        const std::string& path) {
  const auto& faces = detector.Detect(&picture);
  if (faces.Count() == 0) throw Exception(Native("no face found in " + path));
  return faces;
}

// ---------------------------------------------------------------- audio files

// The mix as mono: the reference separation model takes one channel.
std::vector<float> ReadMono(const std::string& path, std::int32_t& rate) {
  TWaveSamples wave = ReadWave(path);
  for (const auto& w : wave.Warnings) Warning("%s", w.c_str());
  if (wave.SampleRate > std::uint32_t(std::numeric_limits<std::int32_t>::max()))
    throw Exception(Native(path + ": a sample rate of " + std::to_string(wave.SampleRate) + " Hz cannot be written"));
  rate = std::int32_t(wave.SampleRate);
  std::vector<float> mono(std::size_t(wave.Frames), 0.0f);
  for (const auto& channel : wave.Samples)
    for (std::size_t i = 0; i < mono.size(); ++i) mono[i] += channel[i] / float(wave.Channels);
  return mono;
}

// ---------------------------------------------------------------- subcommands

struct TFacesCommand {
  TFaceOptions Options;
  std::string Picture, Annotated;
  float Confidence = 0.5f;

  int Run() const {
    // Inputs first: a bad file fails before the models load.
    const auto picture = Load(Picture);
    Options.Apply();
    auto detector = Options.Detector();
    detector->SetConfidenceTh(Confidence);
    Activate(*detector, Options.Models());
    const auto& faces = detector->Detect(picture.get());
    json list = json::array(), files = json::array();
    for (const TFace& f : faces) list.push_back(FaceJson(f));
    if (!Annotated.empty()) {
      TBitmap copy;
      copy.Assign(*picture);
      Annotate(copy, faces);
      Save(copy, Annotated);
      files.push_back(PictureFile(Annotated, copy));
    }
    if (Options.Json) {
      PrintJson({{"faces", list}, {"files", files}});
      return 0;
    }
    int n = 0;
    for (const TFace& f : faces)
      Info("face %d: box %.1f,%.1f,%.1f,%.1f score %.3f, %zu landmarks", ++n, f.bounding_box.Left, f.bounding_box.Top,
           f.bounding_box.Right, f.bounding_box.Bottom, f.score, f.landmark_5.size() + f.landmark_68.size());
    Info("%d face(s)%s%s", faces.Count(), Annotated.empty() ? "" : "; annotated picture: ", Annotated.c_str());
    return 0;
  }
};

struct TEnhanceCommand {
  TFaceOptions Options;
  std::string Picture, Output;
  float Fidelity = 0.7f;

  int Run() const {
    auto picture = Load(Picture);
    Options.Apply();
    auto detector = Options.Detector();
    Activate(*detector, Options.Models());
    TFMXFaceEnhancer enhancer(nullptr);
    enhancer.SetModel(Options.Model("face_enhancer.cvm"));
    enhancer.SetFidelity(Fidelity);
    enhancer.SetGPUDeviceID(Options.Gpu);
    Activate(enhancer, Options.Models());
    const auto faces = Faces(*detector, *picture, Picture);  // a copy: the next Detect would replace it
    for (const TFace& f : faces) picture = enhancer.Enhance(picture.get(), f);
    Save(*picture, Output);
    if (Options.Json) {
      PrintJson({{"faces", faces.Count()}, {"files", {PictureFile(Output, *picture)}}});
    } else {
      Info("restored %d face(s): %s", faces.Count(), Output.c_str());
    }
    return 0;
  }
};

struct TSwapCommand {
  TFaceOptions Options;
  std::string Source, Target, Output;

  int Run() const {
    const auto source = Load(Source);
    auto picture = Load(Target);
    Options.Apply();
    auto detector = Options.Detector();
    Activate(*detector, Options.Models());
    TFMXFaceSwapper swapper(nullptr);
    swapper.SetModel(Options.Model("face_swapper.cvm"));
    swapper.SetModelMatrix(Options.Model("face_swapper_matrix.cvm"));
    swapper.SetGPUDeviceID(Options.Gpu);
    Activate(swapper, Options.Models());
    const TFace identity = Faces(*detector, *source, Source)[0];
    const auto targets = Faces(*detector, *picture, Target);
    for (const TFace& f : targets) picture = swapper.SwapFace(picture.get(), identity, f);
    Save(*picture, Output);
    if (Options.Json) {
      PrintJson({{"faces", targets.Count()}, {"files", {PictureFile(Output, *picture)}}});
    } else {
      Info("gave %d face(s) the source's identity: %s", targets.Count(), Output.c_str());
    }
    return 0;
  }
};

struct TAnimateCommand {
  TFaceOptions Options;
  std::string Portrait, OutputDir;
  std::vector<std::string> Frames;

  int Run() const {
    const auto portrait = Load(Portrait);
    Options.Apply();
    TFMXLivePortrait lp(nullptr);
    const String model = Options.Model("live_portrait.cvm");
    for (auto set : {&TFMXLivePortrait::SetFeatureModel, &TFMXLivePortrait::SetMotionModel,
                     &TFMXLivePortrait::SetWarpingModel, &TFMXLivePortrait::SetStitchingModel,
                     &TFMXLivePortrait::SetFaceModel, &TFMXLivePortrait::SetFacePoseModel,
                     &TFMXLivePortrait::SetMaskTemplate})
      (lp.*set)(model);
    lp.SetLandMarkModel(Native(Options.ShapeModel));
    lp.SetGPUDeviceID(Options.Gpu);
    Activate(lp, Options.Models());
    lp.SetInputImage(portrait.get());
    std::size_t n = 0;
    json files = json::array();
    TProgress progress("animating");
    for (const auto& path : Frames) {
      const auto driving = Load(path);
      const auto frame = lp.LivePortrait(driving.get());
      const std::string file = Platform::Utf8Text(NumberedPath(Platform::Utf8Path(OutputDir) / "frame.png", n++, Frames.size()));
      Save(*frame, file);
      files.push_back(PictureFile(file, *frame));
      progress.Show(std::int64_t(n), std::int64_t(Frames.size()));
    }
    progress.Break();
    if (Options.Json) {
      PrintJson({{"frames", n}, {"files", files}});
    } else {
      Info("%zu frame(s) in %s", n, OutputDir.c_str());
    }
    return 0;
  }
};

struct TSeparateCommand {
  TFaceOptions Options;
  std::string Mix, Vocals, Background, Model;

  int Run() const {
    Options.Apply();
    std::int32_t rate = 0;
    const auto samples = ReadMono(Mix, rate);
    TFMXVoiceExtractor extractor(nullptr);
    extractor.SetModel(Model.empty() ? Options.Model("voice_extractor.cvm") : Native(Model));
    extractor.SetGPUDeviceID(Options.Gpu);
    String failure;
    bool finished = false;
    TProgress bar("separating");
    extractor.SetOnProgress([&](System::Classes::TComponent*, std::int32_t progress, bool done) {
      bar.Show(progress, 100, "%");
      finished = done;
    });
    extractor.SetOnError([&](System::Classes::TComponent*, const String& message) {
      failure = message;
      finished = true;
    });
    Activate(extractor, Options.Models());
    extractor.Extract(samples);
    while (!finished) System::Classes::TThread::CheckSynchronize(50);
    bar.Break();
    if (!failure.empty()) throw Exception(failure);
    const Audio::Wave::Reader::TWaveWriter writer(rate, 1, 32);
    json files = json::array();
    const auto write = [&](std::span<const float> part, const std::string& file) {
      PrepareOutput(file);
      writer.WriteFloatData(part, Native(file));
      json entry = WrittenFile(file);
      entry["samples"] = part.size();
      files.push_back(std::move(entry));
    };
    write(extractor.Vocal(), Vocals);
    if (!Background.empty()) write(extractor.BackgroundMusic(), Background);
    if (Options.Json) {
      PrintJson({{"samples", samples.size()}, {"sample_rate", rate}, {"files", files}});
    } else {
      Info("%zu samples at %d Hz: vocals %s%s%s", samples.size(), rate, Vocals.c_str(),
           Background.empty() ? "" : ", background ", Background.c_str());
    }
    return 0;
  }
};

}  // namespace

void AddFaceCommands(CLI::App& app, TCommands& commands) {
  {
    auto state = std::make_shared<TFacesCommand>();
    auto* c = app.add_subcommand("faces", "find faces: boxes, scores and landmarks, and an annotated picture");
    c->add_option("picture", state->Picture, "picture file (PNG, JPEG, BMP)")->required()->check(kInputFile);
    AddOutput(*c, state->Annotated, "annotated copy of the picture: boxes and landmarks drawn", TOutputKind::Picture,
              "");
    c->add_option("--confidence", state->Confidence, "lowest score reported, 0..1")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 1.0));
    state->Options.Add(*c);
    commands.push_back({c, [state] { return state->Run(); }});
  }
  {
    auto state = std::make_shared<TEnhanceCommand>();
    auto* c = app.add_subcommand("enhance", "restore every face of a picture");
    c->add_option("picture", state->Picture, "picture file")->required()->check(kInputFile);
    AddOutput(*c, state->Output, "restored picture to write", TOutputKind::Picture);
    c->add_option("--fidelity", state->Fidelity,
                  "closeness to the input, 0..1: 1 adds no detail (the reference backend still denoises the face), "
                  "0 restores most")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 1.0));
    state->Options.Add(*c);
    commands.push_back({c, [state] { return state->Run(); }});
  }
  {
    auto state = std::make_shared<TSwapCommand>();
    auto* c = app.add_subcommand("swap", "give the faces of a target picture the identity of a source face");
    c->add_option("source", state->Source, "picture with the face to copy")->required()->check(kInputFile);
    c->add_option("target", state->Target, "picture whose faces change")->required()->check(kInputFile);
    AddOutput(*c, state->Output, "result picture to write", TOutputKind::Picture);
    state->Options.Add(*c);
    commands.push_back({c, [state] { return state->Run(); }});
  }
  {
    auto state = std::make_shared<TAnimateCommand>();
    auto* c = app.add_subcommand("animate", "move a portrait like the face in a series of driving frames");
    c->add_option("portrait", state->Portrait, "portrait picture")->required()->check(kInputFile);
    c->add_option("frames", state->Frames, "driving frames, in order")->required()->check(kInputFile);
    AddOutput(*c, state->OutputDir, std::string("folder for the frames: frame.png, ") + kNumberingHelp,
              TOutputKind::Folder);
    state->Options.Add(*c);
    commands.push_back({c, [state] { return state->Run(); }});
  }
  {
    auto state = std::make_shared<TSeparateCommand>();
    auto* c = app.add_subcommand("separate",
                                 "split a WAV mix into vocals and background WAV files; held accompaniment and notes that "
                                 "ring at one pitch (plucked or struck) leave the vocals, a gliding instrument stays");
    c->add_option("mix", state->Mix, "WAV file")->required()->check(kInputFile);
    AddOutput(*c, state->Vocals, "vocals WAV to write (32-bit float)", TOutputKind::Wave);
    c->add_option("--background", state->Background, "also write the background WAV here (32-bit float)")
        ->check(OutputCheck(TOutputKind::Wave));
    AddModel(*c, state->Model, "voice separation");
    state->Options.Add(*c, false);
    commands.push_back({c, [state] { return state->Run(); }});
  }
}

}  // namespace Corvina::Tool
