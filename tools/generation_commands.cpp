// corvina generate | img2img | inpaint | video | upscale | canny: the
// generation component driven as an application drives it (properties,
// Active, a request, events pumped on the main thread).

#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>
#include <functional>
#include <optional>
#include <random>
#include <string>

#include "framework/exceptions.h"
#include "framework/graphics.h"
#include "framework/threads.h"
#include "generation/sd_fmx.h"
#include "tools/commands.h"
#include "tools/options.h"
#include "tools/platform.h"

namespace Corvina::Tool {

namespace {

namespace fs = std::filesystem;
using ::Fmx::Graphics::TBitmap;
using Sd::Fmx::TBitmaps;
using Sd::Fmx::TFMXStableDiffusion;
using System::String;
using System::UTF8Encode;
using System::UTF8ToString;
using System::Sysutils::Exception;

// Bounds that keep a request's memory within reach of one machine; a side
// past 8192 is refused by the libraries themselves.
constexpr int kMaxSide = 8192;
const CLI::Range kPictureSide(1, kMaxSide);
// The reference backend's limit on one picture, after its alignment to 64.
constexpr std::int64_t kReferencePixels = 1 << 24;
const CLI::Range kSteps(1, 10000);
const CLI::Range kBatch(1, 64);
const CLI::Range kFrames(1, 1000);
const CLI::Range kScale(1, 16);
const CLI::Range kStrength(0.0f, 1.0f);

struct TOptions {
  std::string LibDir;
  std::string Model;
  std::string Output;
  std::string Prompt;
  std::string Negative;
  std::string Input;  // input or init picture
  std::string Mask;
  std::string Control;
  int Width = 512;
  int Height = 512;
  int Steps = 20;
  int Batch = 1;
  int Frames = 8;
  std::int64_t Seed = 42;
  float Cfg = 7.0f;
  float Strength = 0.75f;
  unsigned Scale = 2;
  bool ScaleGiven = false;
  int Threads = 0;
  bool VaeDecodeOnly = false;
  bool Json = false;
};

// The component's fixed message, with the reason the library logged for it.
std::string WithReason(const std::string& message, const String& libraryLine) {
  std::string reason = UTF8Encode(libraryLine);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
  // "file.cpp:LINE - text": the text is the reason.
  if (const auto dash = reason.find(" - "); dash != std::string::npos && reason.find(':') < dash)
    reason.erase(0, dash + 3);
  if (reason.empty() || message.find(reason) != std::string::npos) return message;
  return message + " (library: " + reason + ")";
}

// A negative seed is drawn here rather than by the library, so that the
// seed of every result is known and the run can be repeated.
std::int64_t SeedToUse(std::int64_t seed) {
  if (seed >= 0) return seed;
  std::random_device device;
  return std::uniform_int_distribution<std::int64_t>(0, std::numeric_limits<std::int32_t>::max())(device);
}

void UseLibraryFolder(const std::string& dir) {
  if (dir.empty()) return;  // the library beside libCorvina.so
  std::string folder = dir;
  if (folder.back() != '/') folder += '/';
  Sd::Fmx::SD_DLL_PATH = UTF8ToString(folder);
}

std::string DefaultModel(const TOptions& o, const char* sample) {
  if (!o.Model.empty()) return o.Model;
  // A real library needs a real model: only the reference backend has samples.
  if (!o.LibDir.empty()) throw Exception(u"--model is required with --sd-lib-dir");
  return Platform::Utf8Text(SampleModelDir() / sample);
}

// Which seed made each result: a batch counts up from the seed (the
// library's rule), the frames of a video share it, an upscale has none.
enum class TSeeds { PerPicture, Shared, None };

// What the events of one request leave behind, and how they look on screen.
class TSession {
 public:
  TSession(TFMXStableDiffusion& c, const TOptions& o, const char* command, TSeeds seeds)
      : FComponent(c), FOptions(o), FCommand(command), FSeeds(seeds), FProgress("loading the model") {
    c.SetOnLog([this](TFMXStableDiffusion*, const String& text) {
      if (!Console().Verbose) return;
      FProgress.Break();
      std::fputs(UTF8Encode(text).c_str(), stderr);
      if (text.empty() || text.back() != u'\n') std::fputc('\n', stderr);
    });
    c.SetOnProgress([this](TFMXStableDiffusion*, std::int32_t step, std::int32_t steps, float time) {
      char rate[32] = "";
      if (time >= 0.01f) std::snprintf(rate, sizeof rate, "%.2fs/it", double(time));
      FProgress.Show(step, steps, rate);
    });
    c.SetOnComplete([this](TFMXStableDiffusion*, TBitmaps outputs) { Save(std::move(outputs)); });
    c.SetOnError([this](TFMXStableDiffusion*, const String& msg) {
      FProgress.Break();
      FError = WithReason(UTF8Encode(msg), FComponent.LastLibraryError());
      FDone = true;
    });
  }

  // Loads the model before the request, so its progress has its own label.
  void Activate() {
    try {
      FComponent.SetActive(true);
    } catch (const Exception& e) {
      FProgress.Break();
      throw std::runtime_error(WithReason(e.what(), FComponent.LastLibraryError()));
    }
    Phase("sampling");
  }
  void Phase(const char* label) { FProgress.Relabel(label); }

  // Pumps the main thread until the request has ended; the exit code.
  int Wait() {
    while (!FDone) System::Classes::TThread::CheckSynchronize(50);
    FProgress.Break();
    if (FError) {
      std::fprintf(stderr, "corvina %s: %s\n", FCommand, FError->c_str());
      return kExitFailure;
    }
    if (FOptions.Json) {
      nlohmann::json document = {{"files", FFiles}};
      if (FSeeds != TSeeds::None) document["seed"] = FOptions.Seed;
      PrintJson(document);
    }
    return 0;
  }
  const nlohmann::json& Files() const { return FFiles; }

 private:
  std::int64_t SeedOf(std::size_t index) const {
    if (FSeeds == TSeeds::Shared) return FOptions.Seed;
    return std::int64_t(std::uint64_t(FOptions.Seed) + index);  // wraps as the library's counter does
  }

  // A failure to write reaches the user as the request's error.
  void Save(TBitmaps outputs) {
    FProgress.Break();
    try {
      const fs::path base = Platform::Utf8Path(FOptions.Output);
      PrepareOutput(FOptions.Output);
      for (std::size_t i = 0; i < outputs.size(); ++i) {
        const fs::path file = NumberedPath(base, i, outputs.size());
        outputs[i]->SaveToFile(file.u16string());
        nlohmann::json entry = WrittenFile(Platform::Utf8Text(file));
        entry["width"] = outputs[i]->Width();
        entry["height"] = outputs[i]->Height();
        std::string seed;
        if (FSeeds != TSeeds::None) {
          entry["seed"] = SeedOf(i);
          seed = ", seed " + std::to_string(SeedOf(i));
        }
        FFiles.push_back(std::move(entry));
        if (!FOptions.Json)
          Info("wrote %s (%d x %d%s)", Platform::Utf8Text(file).c_str(), outputs[i]->Width(), outputs[i]->Height(), seed.c_str());
      }
    } catch (const std::exception& e) {
      FError = e.what();
    }
    FDone = true;
  }

  TFMXStableDiffusion& FComponent;
  const TOptions& FOptions;
  const char* FCommand;
  TSeeds FSeeds;
  TProgress FProgress;
  bool FDone = false;
  std::optional<std::string> FError;
  nlohmann::json FFiles = nlohmann::json::array();
};

std::unique_ptr<TFMXStableDiffusion> MakeComponent(const TOptions& o) {
  UseLibraryFolder(o.LibDir);
  auto c = std::make_unique<TFMXStableDiffusion>(nullptr);
  c->SetWidth(o.Width);
  c->SetHeight(o.Height);
  c->SetSampleSteps(o.Steps);
  c->SetBatchCount(o.Batch);
  c->SetSeed(o.Seed);
  c->SetCfgScale(o.Cfg);
  c->SetStrength(o.Strength);
  c->SetVideoFrames(o.Frames);
  c->SetThreads(o.Threads);
  c->SetVaeDecodeOnly(o.VaeDecodeOnly);
  return c;
}

// The library's size, aligned up to 64 as both libraries align it.
std::int64_t Aligned(int side) { return (std::int64_t(side) + 63) / 64 * 64; }

// The pictures of one request must fit in memory together, and each one in
// the reference backend.
void CheckRequestSize(const TOptions& o, bool video) {
  if (o.LibDir.empty() && Aligned(o.Width) * Aligned(o.Height) > kReferencePixels)
    throw TUsageError("-W " + std::to_string(o.Width) + " -H " + std::to_string(o.Height) + " makes " +
                      std::to_string(Aligned(o.Width)) + " x " + std::to_string(Aligned(o.Height)) +
                      " pictures (sizes are aligned up to 64); the reference backend makes at most " +
                      std::to_string(kReferencePixels) + " pixels (4096 x 4096)");
  constexpr double kMaxPixels = 1 << 28;
  const double pixels = double(o.Width) * o.Height * (video ? o.Frames : o.Batch);
  if (pixels <= kMaxPixels) return;
  throw TUsageError("the request asks for " + std::to_string(std::int64_t(pixels)) + " pixels (" +
                    std::to_string(o.Width) + " x " + std::to_string(o.Height) + " x " +
                    std::to_string(video ? o.Frames : o.Batch) + "); at most " +
                    std::to_string(std::int64_t(kMaxPixels)) + " fit in one request");
}

int Generate(TOptions o, const char* command) {
  const std::string name = command;
  CheckRequestSize(o, name == "video");
  o.Seed = SeedToUse(o.Seed);
  Detail("seed %lld", static_cast<long long>(o.Seed));
  std::unique_ptr<TBitmap> control = o.Control.empty() ? nullptr : LoadPicture(o.Control);
  std::unique_ptr<TBitmap> input = o.Input.empty() ? nullptr : LoadPicture(o.Input);
  std::unique_ptr<TBitmap> mask = o.Mask.empty() ? nullptr : LoadPicture(o.Mask);
  auto c = MakeComponent(o);
  c->SetModelPath(UTF8ToString(DefaultModel(o, "corvina-sd.cvm")));
  TSession session(*c, o, command, name == "video" ? TSeeds::Shared : TSeeds::PerPicture);
  session.Activate();
  const String prompt = UTF8ToString(o.Prompt), negative = UTF8ToString(o.Negative);
  if (name == "generate") {
    c->Text2Image(prompt, negative, control.get());
  } else if (name == "img2img") {
    c->Image2Image(prompt, negative, input.get(), control.get());
  } else if (name == "inpaint") {
    c->ImageInPaint(prompt, negative, input.get(), mask.get(), control.get());
  } else {
    c->Video2Video(prompt, negative, input.get());
  }
  return session.Wait();
}

int Upscale(const TOptions& o) {
  auto input = LoadPicture(o.Input);
  const int width = input->Width();
  auto c = MakeComponent(o);
  TSession session(*c, o, "upscale", TSeeds::None);
  session.Phase("upscaling");
  c->UpscaleImage(input.get(), UTF8ToString(DefaultModel(o, "corvina-upscaler-x2.cvm")), o.Scale);
  const int status = session.Wait();
  // The library applies the model's own factor, whatever it is asked.
  if (status == 0 && o.ScaleGiven && !session.Files().empty()) {
    const int made = session.Files()[0]["width"].get<int>();
    if (made != width * int(o.Scale))
      Warning("the model enlarges x%g, not x%u as --scale asked: the upscaling model decides the factor",
              double(made) / width, o.Scale);
  }
  return status;
}

int Canny(const TOptions& o) {
  // The library is loaded by the first component made at run time.
  auto c = MakeComponent(o);
  auto input = LoadPicture(o.Input);
  auto edges = Sd::Fmx::GetCannyOfBitmap(*input);
  SavePicture(*edges, o.Output);
  if (o.Json) {
    nlohmann::json entry = WrittenFile(o.Output);
    entry["width"] = edges->Width();
    entry["height"] = edges->Height();
    PrintJson({{"files", {entry}}});
  } else {
    Info("wrote %s (%d x %d)", o.Output.c_str(), edges->Width(), edges->Height());
  }
  return 0;
}

// What the subcommands that run a model share.
void AddModelOptions(CLI::App* cmd, TOptions& o, const char* what) {
  AddModel(*cmd, o.Model, what);
  AddThreads(*cmd, o.Threads);
}

void AddSamplingOptions(CLI::App* cmd, TOptions& o, bool batch) {
  cmd->add_option("-W,--width", o.Width, "width in pixels")->capture_default_str()->check(kPictureSide);
  cmd->add_option("-H,--height", o.Height, "height in pixels")->capture_default_str()->check(kPictureSide);
  cmd->add_option("--steps", o.Steps, "sampling steps")->capture_default_str()->check(kSteps);
  cmd->add_option("--seed", o.Seed, "seed; -1 draws one (--json and -v tell which)")->capture_default_str()->check(kWholeNumber);
  cmd->add_option("--cfg", o.Cfg, "classifier-free guidance scale")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  cmd->add_option("-n,--negative", o.Negative, "negative prompt");
  if (batch) cmd->add_option("-b,--batch", o.Batch, "pictures to make")->capture_default_str()->check(kBatch);
}

}  // namespace

void AddGenerationCommands(CLI::App& app, TCommands& commands) {
  auto o = std::make_shared<TOptions>();
  // Positionals in order: the pictures the command reads, then the prompt.
  auto picture = [&](const char* name, const char* about, std::vector<const char*> inputs) {
    CLI::App* cmd = app.add_subcommand(name, about);
    cmd->group(kGroupGeneration);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      cmd->add_option(inputs[i], i == 0 ? o->Input : o->Mask, std::string(inputs[i]) + " picture (PNG, JPEG or BMP)")
          ->required()
          ->check(kInputFile);
    }
    AddOutput(*cmd, o->Output, std::string("picture to write (") + kPictureFormats + "); " + kNumberingHelp,
              TOutputKind::Picture, "");
    AddDiffusionLibraryDir(*cmd, o->LibDir);
    AddJson(*cmd, o->Json);
    return cmd;
  };
  // The subcommands share the options: each applies its own output fallback.
  auto add = [&](CLI::App* cmd, const char* output, std::function<int(const TOptions&)> run) {
    cmd->get_option("--output")->default_str(output);
    commands.push_back({cmd, [o, output, run] {
                          if (o->Output.empty()) o->Output = output;
                          return run(*o);
                        }});
  };

  CLI::App* generate = picture("generate", "draw pictures from a text prompt", {});
  generate->add_option("prompt", o->Prompt, "what to draw")->required();
  generate->add_option("--control", o->Control, "control picture")->check(kInputFile);
  generate->add_flag("--vae-decode-only", o->VaeDecodeOnly,
                     "load the model without its VAE encoder (for a model that has none; text to image only)");
  AddSamplingOptions(generate, *o, true);
  AddModelOptions(generate, *o, "diffusion");
  add(generate, "out/generated.png", [](const TOptions& x) { return Generate(x, "generate"); });

  CLI::App* img2img = picture("img2img", "redraw a picture after a text prompt", {"input"});
  img2img->add_option("prompt", o->Prompt, "what to draw")->required();
  img2img->add_option("--strength", o->Strength, "how far from the input, 0..1")
      ->capture_default_str()
      ->check(kStrength);
  img2img->add_option("--control", o->Control, "control picture")->check(kInputFile);
  AddSamplingOptions(img2img, *o, true);
  AddModelOptions(img2img, *o, "diffusion");
  add(img2img, "out/img2img.png", [](const TOptions& x) { return Generate(x, "img2img"); });

  CLI::App* inpaint = picture("inpaint", "repaint the white part of a mask after a text prompt", {"input", "mask"});
  inpaint->add_option("prompt", o->Prompt, "what to draw")->required();
  inpaint->add_option("--strength", o->Strength, "how far from the input, 0..1")
      ->capture_default_str()
      ->check(kStrength);
  AddSamplingOptions(inpaint, *o, true);
  AddModelOptions(inpaint, *o, "diffusion");
  add(inpaint, "out/inpaint.png", [](const TOptions& x) { return Generate(x, "inpaint"); });

  CLI::App* video = picture("video", "make video frames from a picture and a text prompt", {"init"});
  video->add_option("prompt", o->Prompt, "what to show")->required();
  video->add_option("--frames", o->Frames, "frames to make")->capture_default_str()->check(kFrames);
  video->add_option("--strength", o->Strength, "how far from the init picture, 0..1")
      ->capture_default_str()
      ->check(kStrength);
  AddSamplingOptions(video, *o, false);
  AddModelOptions(video, *o, "diffusion");
  add(video, "out/video/frame.png", [](const TOptions& x) { return Generate(x, "video"); });

  CLI::App* upscale = picture("upscale", "enlarge a picture with an upscaling model", {"input"});
  upscale->add_option("--scale", o->Scale, "factor asked of the library; the model's own factor applies, and a "
                                          "different one is named on stderr")
      ->capture_default_str()
      ->check(kScale)
      ->each([o](const std::string&) { o->ScaleGiven = true; });
  AddModelOptions(upscale, *o, "upscaling");
  add(upscale, "out/upscaled.png", [](const TOptions& x) { return Upscale(x); });

  CLI::App* canny = picture("canny", "draw the Canny edge map of a picture", {"input"});
  add(canny, "out/canny.png", [](const TOptions& x) { return Canny(x); });
}

}  // namespace Corvina::Tool
