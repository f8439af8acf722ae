// corvina generate | img2img | inpaint | video | upscale | canny: the
// generation component driven as an application drives it (properties,
// Active, a request, events pumped on the main thread).

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>
#include <functional>
#include <optional>
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

// The reference backend's sample models, used when --model is not given.
fs::path SampleModels() { return ReferenceModelDir(CORVINA_REFERENCE_SD_MODELS); }

// Bounds that keep a request's memory within reach of one machine.
const CLI::Range kPictureSide(1, 16384);
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
  int Threads = 0;
  bool Verbose = false;
  bool Json = false;
};

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
  return (SampleModels() / sample).string();
}

// out.png, out-2.png, ... for several results; out-001.png ... for frames.
fs::path NumberedPath(const fs::path& base, std::size_t index, std::size_t count, int digits) {
  if (count == 1) return base;
  char number[16];
  std::snprintf(number, sizeof number, "-%0*zu", digits, index + 1);
  fs::path p = base;
  p.replace_filename(base.stem().string() + number + base.extension().string());
  return p;
}

// Which seed made each result: a batch counts up from the seed (the
// library's rule), the frames of a video share it, an upscale has none.
enum class TSeeds { PerPicture, Shared, None };

// What the events of one request leave behind, and how they look on screen.
class TSession {
 public:
  TSession(TFMXStableDiffusion& c, const TOptions& o, const char* command, int digits, TSeeds seeds)
      : FOptions(o), FCommand(command), FDigits(digits), FSeeds(seeds), FTerminal(Platform::IsTerminal(2)) {
    c.SetOnLog([this](TFMXStableDiffusion*, const String& text) {
      if (!FOptions.Verbose) return;
      EndBar();
      std::fputs(UTF8Encode(text).c_str(), stderr);
      if (text.empty() || text.back() != u'\n') std::fputc('\n', stderr);
    });
    c.SetOnProgress([this](TFMXStableDiffusion*, std::int32_t step, std::int32_t steps, float time) {
      Progress(step, steps, time);
    });
    c.SetOnComplete([this](TFMXStableDiffusion*, TBitmaps outputs) { Save(std::move(outputs)); });
    c.SetOnError([this](TFMXStableDiffusion*, const String& msg) {
      EndBar();
      FError = UTF8Encode(msg);
      FDone = true;
    });
  }

  // Pumps the main thread until the request has ended; the exit code.
  int Wait() {
    while (!FDone) System::Classes::TThread::CheckSynchronize(50);
    if (FError) {
      std::fprintf(stderr, "corvina %s: %s\n", FCommand, FError->c_str());
      return kExitFailure;
    }
    if (FOptions.Json) PrintJson({{"files", FFiles}});
    return 0;
  }

 private:
  // A bar on a terminal; off it, plain lines unless stdout carries JSON.
  void Progress(std::int32_t step, std::int32_t steps, float time) {
    if (!FTerminal) {
      if (!FOptions.Json) std::printf("step %d/%d (%.2fs)\n", step, steps, time);
      return;
    }
    constexpr int kWidth = 30;
    const double part = steps > 0 ? std::clamp(double(step) / steps, 0.0, 1.0) : 0.0;
    const int filled = int(std::lround(part * kWidth));
    std::fprintf(stderr, "\r[%s%s] %d/%d %.2fs/it", std::string(std::size_t(filled), '#').c_str(),
                 std::string(std::size_t(kWidth - filled), ' ').c_str(), step, steps, time);
    std::fflush(stderr);
    FBarShown = true;
  }

  void EndBar() {
    if (!FBarShown) return;
    std::fprintf(stderr, "\n");
    FBarShown = false;
  }

  nlohmann::json SeedOf(std::size_t index) const {
    if (FSeeds == TSeeds::None || FOptions.Seed < 0) return nullptr;  // the library drew one
    if (FSeeds == TSeeds::Shared) return FOptions.Seed;
    return std::int64_t(std::uint64_t(FOptions.Seed) + index);
  }

  // A failure to write reaches the user as the request's error.
  void Save(TBitmaps outputs) {
    EndBar();
    try {
      const fs::path base = FOptions.Output;
      PrepareOutput(base);
      for (std::size_t i = 0; i < outputs.size(); ++i) {
        const fs::path file = NumberedPath(base, i, outputs.size(), FDigits);
        outputs[i]->SaveToFile(file.u16string());
        nlohmann::json entry = WrittenFile(file);
        entry["width"] = outputs[i]->Width();
        entry["height"] = outputs[i]->Height();
        if (FSeeds != TSeeds::None) entry["seed"] = SeedOf(i);
        FFiles.push_back(std::move(entry));
        if (!FOptions.Json)
          std::printf("wrote %s (%d x %d)\n", file.string().c_str(), outputs[i]->Width(), outputs[i]->Height());
      }
    } catch (const std::exception& e) {
      FError = e.what();
    }
    FDone = true;
  }

  const TOptions& FOptions;
  const char* FCommand;
  int FDigits;
  TSeeds FSeeds;
  bool FTerminal;
  bool FBarShown = false;
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
  return c;
}

// The pictures of one request must fit in memory together.
void CheckRequestSize(const TOptions& o, bool video) {
  constexpr double kMaxPixels = 1 << 28;
  const double pixels = double(o.Width) * o.Height * (video ? o.Frames : o.Batch);
  if (pixels <= kMaxPixels) return;
  throw TUsageError("the request asks for " + std::to_string(std::int64_t(pixels)) + " pixels (" +
                    std::to_string(o.Width) + " x " + std::to_string(o.Height) + " x " +
                    std::to_string(video ? o.Frames : o.Batch) + "); at most " +
                    std::to_string(std::int64_t(kMaxPixels)) + " fit in one request");
}

int Generate(const TOptions& o, const char* command) {
  CheckRequestSize(o, std::string(command) == "video");
  auto c = MakeComponent(o);
  c->SetModelPath(UTF8ToString(DefaultModel(o, "corvina-sd.cvm")));
  const bool video = std::string(command) == "video";
  TSession session(*c, o, command, video ? 3 : 1, video ? TSeeds::Shared : TSeeds::PerPicture);
  const String prompt = UTF8ToString(o.Prompt), negative = UTF8ToString(o.Negative);
  std::unique_ptr<TBitmap> control = o.Control.empty() ? nullptr : LoadPicture(o.Control);
  std::unique_ptr<TBitmap> input = o.Input.empty() ? nullptr : LoadPicture(o.Input);
  std::unique_ptr<TBitmap> mask = o.Mask.empty() ? nullptr : LoadPicture(o.Mask);
  const std::string name = command;
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
  auto c = MakeComponent(o);
  TSession session(*c, o, "upscale", 1, TSeeds::None);
  auto input = LoadPicture(o.Input);
  c->UpscaleImage(input.get(), UTF8ToString(DefaultModel(o, "corvina-upscaler-x2.cvm")), o.Scale);
  return session.Wait();
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
    std::printf("wrote %s (%d x %d)\n", o.Output.c_str(), edges->Width(), edges->Height());
  }
  return 0;
}

// What the subcommands that run a model share.
void AddModelOptions(CLI::App* cmd, TOptions& o, const char* what) {
  AddModel(*cmd, o.Model, what);
  AddThreads(*cmd, o.Threads);
  AddVerbose(*cmd, o.Verbose);
}

void AddSamplingOptions(CLI::App* cmd, TOptions& o, bool batch) {
  cmd->add_option("-W,--width", o.Width, "width in pixels")->capture_default_str()->check(kPictureSide);
  cmd->add_option("-H,--height", o.Height, "height in pixels")->capture_default_str()->check(kPictureSide);
  cmd->add_option("--steps", o.Steps, "sampling steps")->capture_default_str()->check(kSteps);
  cmd->add_option("--seed", o.Seed, "seed, -1 lets the library draw one")->capture_default_str()->check(kWholeNumber);
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
    AddOutput(*cmd, o->Output, "picture to write; several get -1, -2, ... before the extension", "");
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
  upscale->add_option("--scale", o->Scale, "factor asked of the library (the model's own factor applies)")
      ->capture_default_str()
      ->check(kScale);
  AddModelOptions(upscale, *o, "upscaling");
  add(upscale, "out/upscaled.png", [](const TOptions& x) { return Upscale(x); });

  CLI::App* canny = picture("canny", "draw the Canny edge map of a picture", {"input"});
  add(canny, "out/canny.png", [](const TOptions& x) { return Canny(x); });
}

}  // namespace Corvina::Tool
