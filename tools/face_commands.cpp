// corvina faces | enhance | swap | animate | separate: the face and voice
// components on picture and WAV files, with the reference vision backend
// unless told otherwise.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "audio/wave_file_reader.h"
#include "audio/wave_writer.h"
#include "face/face_fmx.h"
#include "framework/exceptions.h"
#include "framework/graphics.h"
#include "framework/threads.h"
#include "tools/commands.h"
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
  std::string ModelDir = CORVINA_REFERENCE_VISION_MODELS;
  std::string ShapeModel = CORVINA_DLIB_SHAPE_MODEL;
  std::int32_t Gpu = -1;

  void Add(CLI::App& command) {
    command.add_option("--vision-lib-dir", LibraryDir,
                       "folder of another libsam2.so with the same entry points (default: the reference backend)");
    command.add_option("--model-dir", ModelDir, "folder of the model files (default: the reference backend's)");
    command.add_option("--landmark-model", ShapeModel, "68-point landmark model (default: dlib's, from libdlib-data)");
    command.add_option("--gpu", Gpu, "GPU device number handed to the library (-1: processor)");
  }
  void Apply() const {
    if (LibraryDir.empty()) return;
    if (!fs::is_directory(LibraryDir)) throw Exception(Native("--vision-lib-dir: no folder " + LibraryDir));
    Anything::Fmx::ANY_DLL_PATH = fs::path(LibraryDir).u16string() + u"/";
  }
  String Model(const char* name) const { return (fs::path(ModelDir) / name).u16string(); }

  std::unique_ptr<TFMXFaceDetector> Detector() const {
    auto d = std::make_unique<TFMXFaceDetector>(nullptr);
    d->SetModel(Model("face_detector.cvm"));
    d->SetLandmarkModel(Native(ShapeModel));
    d->SetFeatureModel(Model("face_feature.cvm"));
    d->SetGPUDeviceID(Gpu);
    return d;
  }
};

std::unique_ptr<TBitmap> Load(const std::string& path) {
  auto bmp = std::make_unique<TBitmap>();
  bmp->LoadFromFile(Native(path));
  return bmp;
}

void Save(const TBitmap& bmp, const std::string& path) {
  if (const fs::path parent = fs::path(path).parent_path(); !parent.empty()) fs::create_directories(parent);
  bmp.SaveToFile(Native(path));
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

// One channel of samples as floats: integer PCM scaled to [-1, 1), IEEE float as it is.
std::vector<float> ChannelFloats(const Audio::Wave::Reader::TWaveReader& wav, int channel) {
  const auto* data = wav.DataChunk();
  const std::uint8_t* bytes = data->ChannelData(channel);
  const std::int32_t n = data->SampleCount();
  const int bits = wav.BitsPerSample();
  const bool isFloat = wav.FMTChunk()->CompressionCode() == 3;
  std::vector<float> out(static_cast<size_t>(n));
  for (std::int32_t i = 0; i < n; ++i) {
    const std::uint8_t* s = bytes + static_cast<size_t>(i) * (bits / 8);
    if (isFloat && bits == 32) {
      std::memcpy(&out[i], s, 4);
    } else if (bits == 8) {
      out[i] = (static_cast<int>(s[0]) - 128) / 128.0f;
    } else if (bits == 16) {
      out[i] = static_cast<std::int16_t>(s[0] | s[1] << 8) / 32768.0f;
    } else if (bits == 24) {
      const std::int32_t v = static_cast<std::int32_t>(static_cast<std::uint32_t>(s[0]) << 8 |
                                                       static_cast<std::uint32_t>(s[1]) << 16 |
                                                       static_cast<std::uint32_t>(s[2]) << 24) >> 8;
      out[i] = static_cast<float>(v) / 8388608.0f;
    } else if (bits == 32) {
      std::int32_t v;
      std::memcpy(&v, s, 4);
      out[i] = static_cast<float>(v / 2147483648.0);
    } else {
      throw Exception(System::Sysutils::Format(u"%d-bit samples are not supported", bits));
    }
  }
  return out;
}

// The mix as mono: the reference separation model takes one channel.
std::vector<float> ReadMono(const std::string& path, std::int32_t& rate) {
  Audio::Wave::Reader::TWaveReader wav(Native(path));
  if (!wav.DataChunk() || !wav.FMTChunk()) throw Exception(Native(path + " holds no samples"));
  rate = static_cast<std::int32_t>(wav.SampleRate());
  const int channels = wav.NumberOfChannel();
  std::vector<float> mono;
  for (int c = 0; c < channels; ++c) {
    const auto samples = ChannelFloats(wav, c);
    if (mono.empty()) mono.assign(samples.size(), 0.0f);
    for (size_t i = 0; i < samples.size(); ++i) mono[i] += samples[i] / static_cast<float>(channels);
  }
  return mono;
}

void ProgressBar(int percent, bool done) {
  if (!::isatty(STDERR_FILENO) && !done) return;
  const int width = 40, filled = percent * width / 100;
  std::fprintf(stderr, "\rseparating [%s%s] %3d%%%s", std::string(static_cast<size_t>(filled), '#').c_str(),
               std::string(static_cast<size_t>(width - filled), ' ').c_str(), percent, done ? "\n" : "");
}

// ---------------------------------------------------------------- subcommands

struct TFacesCommand {
  TFaceOptions Options;
  std::string Picture, Annotated;
  float Confidence = 0.5f;

  int Run() const {
    Options.Apply();
    auto detector = Options.Detector();
    detector->SetConfidenceTh(Confidence);
    detector->SetActive(true);
    const auto picture = Load(Picture);
    const auto& faces = detector->Detect(picture.get());
    json out = json::array();
    for (const TFace& f : faces) out.push_back(FaceJson(f));
    std::printf("%s\n", out.dump(2).c_str());
    if (!Annotated.empty()) {
      TBitmap copy;
      copy.Assign(*picture);
      Annotate(copy, faces);
      Save(copy, Annotated);
      std::fprintf(stderr, "%d face(s); annotated picture: %s\n", faces.Count(), Annotated.c_str());
    }
    return 0;
  }
};

struct TEnhanceCommand {
  TFaceOptions Options;
  std::string Picture, Output;
  float Fidelity = 0.7f;

  int Run() const {
    Options.Apply();
    auto detector = Options.Detector();
    detector->SetActive(true);
    TFMXFaceEnhancer enhancer(nullptr);
    enhancer.SetModel(Options.Model("face_enhancer.cvm"));
    enhancer.SetFidelity(Fidelity);
    enhancer.SetGPUDeviceID(Options.Gpu);
    enhancer.SetActive(true);
    auto picture = Load(Picture);
    const auto faces = Faces(*detector, *picture, Picture);  // a copy: the next Detect would replace it
    for (const TFace& f : faces) picture = enhancer.Enhance(picture.get(), f);
    Save(*picture, Output);
    std::printf("restored %d face(s): %s\n", faces.Count(), Output.c_str());
    return 0;
  }
};

struct TSwapCommand {
  TFaceOptions Options;
  std::string Source, Target, Output;

  int Run() const {
    Options.Apply();
    auto detector = Options.Detector();
    detector->SetActive(true);
    TFMXFaceSwapper swapper(nullptr);
    swapper.SetModel(Options.Model("face_swapper.cvm"));
    swapper.SetModelMatrix(Options.Model("face_swapper_matrix.cvm"));
    swapper.SetGPUDeviceID(Options.Gpu);
    swapper.SetActive(true);
    const auto source = Load(Source);
    const TFace identity = Faces(*detector, *source, Source)[0];
    auto picture = Load(Target);
    const auto targets = Faces(*detector, *picture, Target);
    for (const TFace& f : targets) picture = swapper.SwapFace(picture.get(), identity, f);
    Save(*picture, Output);
    std::printf("gave %d face(s) the source's identity: %s\n", targets.Count(), Output.c_str());
    return 0;
  }
};

struct TAnimateCommand {
  TFaceOptions Options;
  std::string Portrait, OutputDir;
  std::vector<std::string> Frames;

  int Run() const {
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
    lp.SetActive(true);
    const auto portrait = Load(Portrait);
    lp.SetInputImage(portrait.get());
    int n = 0;
    for (const auto& path : Frames) {
      const auto driving = Load(path);
      const auto frame = lp.LivePortrait(driving.get());
      char name[32];
      std::snprintf(name, sizeof name, "frame-%04d.png", n++);
      Save(*frame, (fs::path(OutputDir) / name).string());
      if (::isatty(STDERR_FILENO)) std::fprintf(stderr, "\ranimated %d/%zu", n, Frames.size());
    }
    if (::isatty(STDERR_FILENO)) std::fprintf(stderr, "\n");
    std::printf("%d frame(s) in %s\n", n, OutputDir.c_str());
    return 0;
  }
};

struct TSeparateCommand {
  TFaceOptions Options;
  std::string Mix, Vocals, Background;

  int Run() const {
    Options.Apply();
    std::int32_t rate = 0;
    const auto samples = ReadMono(Mix, rate);
    TFMXVoiceExtractor extractor(nullptr);
    extractor.SetModel(Options.Model("voice_extractor.cvm"));
    extractor.SetGPUDeviceID(Options.Gpu);
    String failure;
    bool finished = false;
    extractor.SetOnProgress([&](System::Classes::TComponent*, std::int32_t progress, bool done) {
      ProgressBar(progress, done);
      finished = done;
    });
    extractor.SetOnError([&](System::Classes::TComponent*, const String& message) {
      failure = message;
      finished = true;
    });
    extractor.SetActive(true);
    extractor.Extract(samples);
    while (!finished) System::Classes::TThread::CheckSynchronize(50);
    if (!failure.empty()) throw Exception(failure);
    const Audio::Wave::Reader::TWaveWriter writer(rate, 1, 32);
    writer.WriteFloatData(extractor.Vocal(), Native(Vocals));
    writer.WriteFloatData(extractor.BackgroundMusic(), Native(Background));
    std::printf("%zu samples at %d Hz: vocals %s, background %s\n", samples.size(), rate, Vocals.c_str(),
                Background.c_str());
    return 0;
  }
};

}  // namespace

void AddFaceCommands(CLI::App& app, TCommands& commands) {
  {
    auto state = std::make_shared<TFacesCommand>();
    auto* c = app.add_subcommand("faces", "find faces: boxes, scores and landmarks as JSON, an annotated picture");
    c->add_option("picture", state->Picture, "picture file (PNG, JPEG, BMP)")->required()->check(CLI::ExistingFile);
    c->add_option("--annotated", state->Annotated, "write the picture with boxes and landmarks drawn here");
    c->add_option("--confidence", state->Confidence, "lowest score reported (0..1)")->check(CLI::Range(0.0, 1.0));
    state->Options.Add(*c);
    commands.push_back({c, [state] { return state->Run(); }});
  }
  {
    auto state = std::make_shared<TEnhanceCommand>();
    auto* c = app.add_subcommand("enhance", "restore every face of a picture");
    c->add_option("picture", state->Picture, "picture file")->required()->check(CLI::ExistingFile);
    c->add_option("output", state->Output, "restored picture")->required();
    c->add_option("--fidelity", state->Fidelity, "1 keeps the face as it is, 0 restores most")
        ->check(CLI::Range(0.0, 1.0));
    state->Options.Add(*c);
    commands.push_back({c, [state] { return state->Run(); }});
  }
  {
    auto state = std::make_shared<TSwapCommand>();
    auto* c = app.add_subcommand("swap", "give the faces of a target picture the identity of a source face");
    c->add_option("source", state->Source, "picture with the face to copy")->required()->check(CLI::ExistingFile);
    c->add_option("target", state->Target, "picture whose faces change")->required()->check(CLI::ExistingFile);
    c->add_option("output", state->Output, "result picture")->required();
    state->Options.Add(*c);
    commands.push_back({c, [state] { return state->Run(); }});
  }
  {
    auto state = std::make_shared<TAnimateCommand>();
    auto* c = app.add_subcommand("animate", "move a portrait like the face in a series of driving frames");
    c->add_option("portrait", state->Portrait, "portrait picture")->required()->check(CLI::ExistingFile);
    c->add_option("frames", state->Frames, "driving frames, in order")->required()->check(CLI::ExistingFile);
    c->add_option("--out", state->OutputDir, "folder for frame-0000.png, ...")->required();
    state->Options.Add(*c);
    commands.push_back({c, [state] { return state->Run(); }});
  }
  {
    auto state = std::make_shared<TSeparateCommand>();
    auto* c = app.add_subcommand("separate", "split a WAV mix into vocals and background WAVs");
    c->add_option("mix", state->Mix, "WAV file")->required()->check(CLI::ExistingFile);
    c->add_option("--vocals", state->Vocals, "vocals WAV (32-bit float)")->required();
    c->add_option("--background", state->Background, "background WAV (32-bit float)")->required();
    state->Options.Add(*c);
    commands.push_back({c, [state] { return state->Run(); }});
  }
}

}  // namespace Corvina::Tool
