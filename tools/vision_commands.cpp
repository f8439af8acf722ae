// corvina segment | track | remove | replace-bg: the vision components on
// picture files, with the reference vision backend unless told otherwise.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "framework/exceptions.h"
#include "framework/graphics.h"
#include "tools/commands.h"
#include "vision/anything_fmx.h"
#include "vision/ostrack.h"
#include "vision/remove_anything.h"
#include "vision/remove_bg.h"
#include "vision/sam.h"

namespace Corvina::Tool {

namespace {

namespace fs = std::filesystem;
using Fmx::Graphics::TBitmap;
using Fmx::Graphics::TBitmapMapping;
using Fmx::Graphics::TMapAccess;
using nlohmann::json;
using System::Sysutils::Exception;

const std::string kModels = CORVINA_VISION_MODELS_DIR;

// Options every vision subcommand takes.
struct TLibraryOptions {
  std::string LibraryDir;
  std::int32_t Gpu = -1;
  bool Json = false;

  void Add(CLI::App& command) {
    command.add_option("--vision-lib-dir", LibraryDir,
                       "folder of another libsam2.so with the same entry points (default: the reference backend)");
    command.add_option("--gpu", Gpu, "GPU device number handed to the library (-1: processor)");
    command.add_flag("--json", Json, "print the result as JSON");
  }
  // Before the first component: where the library comes from.
  void Apply() const {
    if (LibraryDir.empty()) return;
    if (!fs::is_directory(LibraryDir)) throw Exception(System::UTF8ToString("--vision-lib-dir: no folder " + LibraryDir));
    Anything::Fmx::ANY_DLL_PATH = fs::path(LibraryDir).u16string() + u"/";
  }
};

System::String Native(const std::string& path) { return System::UTF8ToString(path); }

std::unique_ptr<TBitmap> Load(const std::string& path) {
  auto bmp = std::make_unique<TBitmap>();
  bmp->LoadFromFile(Native(path));
  return bmp;
}

void Save(const TBitmap& bmp, const std::string& path) {
  if (const fs::path parent = fs::path(path).parent_path(); !parent.empty()) fs::create_directories(parent);
  bmp.SaveToFile(Native(path));
}

// "x,y" or "l,t,r,b": count whole numbers separated by commas.
std::vector<std::int32_t> Numbers(const std::string& text, size_t count, const char* what) {
  std::vector<std::int32_t> values;
  const char* p = text.data();
  const char* end = text.data() + text.size();
  while (p < end && values.size() < count + 1) {
    std::int32_t v = 0;
    const auto [next, error] = std::from_chars(p, end, v);
    if (error != std::errc() || (next != end && *next != ',')) break;
    values.push_back(v);
    p = next == end ? end : next + 1;
    if (next != end && p == end) values.push_back(0);  // a trailing comma counts as one number too many
  }
  if (values.size() != count || p != end)
    throw Exception(Native(std::string(what) + ": '" + text + "' is not " + std::to_string(count) +
                           " whole numbers separated by commas"));
  return values;
}

System::Types::TRect Box(const std::string& text, const char* what) {
  const auto v = Numbers(text, 4, what);
  if (v[2] <= v[0] || v[3] <= v[1])
    throw Exception(System::UTF8ToString(std::string(what) + ": '" + text + "' needs right > left and bottom > top"));
  return {v[0], v[1], v[2], v[3]};
}

void SetPixel(const TBitmapMapping& map, const TBitmap& bmp, int x, int y, std::uint32_t colour) {
  if (x < 0 || y < 0 || x >= bmp.Width() || y >= bmp.Height()) return;
  reinterpret_cast<std::uint32_t*>(map.WritableScanline(y))[x] = colour;
}

// A 2-pixel outline, clipped to the picture.
void DrawBox(TBitmap& bmp, int left, int top, int right, int bottom, std::uint32_t colour) {
  TBitmapMapping map(bmp, TMapAccess::Write);
  for (int t = 0; t < 2; ++t) {
    for (int x = left; x <= right; ++x) {
      SetPixel(map, bmp, x, top + t, colour);
      SetPixel(map, bmp, x, bottom - t, colour);
    }
    for (int y = top; y <= bottom; ++y) {
      SetPixel(map, bmp, left + t, y, colour);
      SetPixel(map, bmp, right - t, y, colour);
    }
  }
}

// Half-transparent red over the masked pixels (gray above 127).
std::unique_ptr<TBitmap> Overlay(const TBitmap& picture, const TBitmap& mask) {
  auto out = std::make_unique<TBitmap>();
  out->Assign(picture);
  TBitmapMapping dst(*out, TMapAccess::Write);
  TBitmapMapping src(mask);
  for (int y = 0; y < out->Height(); ++y) {
    auto* d = dst.WritableScanline(y);
    const auto* m = src.Scanline(y);
    for (int x = 0; x < out->Width(); ++x, d += 4, m += 4)
      if (m[0] > 127) d[0] = d[0] / 2, d[1] = d[1] / 2, d[2] = static_cast<std::uint8_t>(d[2] / 2 + 128);
  }
  return out;
}

std::int64_t MaskedPixels(const TBitmap& mask) {
  TBitmapMapping map(mask);
  std::int64_t n = 0;
  for (int y = 0; y < mask.Height(); ++y) {
    const auto* p = map.Scanline(y);
    for (int x = 0; x < mask.Width(); ++x) n += p[4 * x] > 127;
  }
  return n;
}

void Report(bool asJson, const json& result, const std::string& line) {
  if (asJson) {
    std::printf("%s\n", result.dump().c_str());
  } else {
    std::printf("%s\n", line.c_str());
  }
}

// One printf conversion for a number ("%d", "%03d") and no other '%'.
bool IsNumberedPattern(const std::string& text) {
  int conversions = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') continue;
    size_t j = i + 1;
    while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j]))) ++j;
    if (j >= text.size() || text[j] != 'd') return false;
    ++conversions;
    i = j;
  }
  return conversions == 1;
}

// The frames of a folder (picture files sorted by name) or of a numbered
// series given as a pattern with one printf number ("frames/f%03d.png",
// counting from 0 or 1 until the first gap).
std::vector<std::string> Frames(const std::string& source) {
  std::vector<std::string> frames;
  if (fs::is_directory(source)) {
    for (const auto& e : fs::directory_iterator(source)) {
      std::string ext = e.path().extension().string();
      std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
      if (e.is_regular_file() && (ext == ".png" || ext == ".jpg" || ext == ".jpeg" || ext == ".bmp"))
        frames.push_back(e.path().string());
    }
    std::sort(frames.begin(), frames.end());
  } else if (IsNumberedPattern(source)) {
    char name[4096];
    for (int first : {0, 1}) {
      for (int i = first;; ++i) {
        std::snprintf(name, sizeof name, source.c_str(), i);
        if (!fs::is_regular_file(name)) break;
        frames.push_back(name);
      }
      if (!frames.empty()) break;
    }
  } else {
    throw Exception(Native("frames: '" + source + "' is neither a folder nor a numbered pattern such as f%03d.png"));
  }
  if (frames.empty()) throw Exception(Native("frames: no picture files in '" + source + "'"));
  return frames;
}

// Progress on a terminal only, so redirected output stays clean.
class TProgress {
 public:
  explicit TProgress(size_t total) : FTotal(total), FShow(::isatty(2)) {}
  ~TProgress() {
    if (FShow) std::fprintf(stderr, "\n");
  }
  void Step(size_t done) const {
    if (!FShow) return;
    const int width = 30;
    const int filled = static_cast<int>(width * done / FTotal);
    std::fprintf(stderr, "\rtracking [%.*s%*s] %zu/%zu", filled, "##############################", width - filled, "",
                 done, FTotal);
    std::fflush(stderr);
  }

 private:
  size_t FTotal;
  bool FShow;
};

struct TSegmentOptions {
  TLibraryOptions Library;
  std::string Encoder = kModels + "sam2_encoder.cvm";
  std::string Decoder = kModels + "sam2_decoder.cvm";
  std::string Image, Output, OverlayFile;
  std::vector<std::string> Points, Boxes;
};

int Segment(const TSegmentOptions& o) {
  if (o.Points.empty() == o.Boxes.empty()) throw Exception(u"give either --point or --box prompts, not both or none");
  o.Library.Apply();
  auto image = Load(o.Image);
  Anything::Fmx::TFMXSam sam(nullptr);
  sam.SetEncoderModel(Native(o.Encoder));
  sam.SetDecoderModel(Native(o.Decoder));
  sam.SetGPUDeviceID(o.Library.Gpu);
  sam.SetActive(true);
  sam.LoadImage(image.get());
  for (const auto& p : o.Points) {
    const auto v = Numbers(p, 2, "--point");
    sam.AddPoint({v[0], v[1]});
  }
  for (const auto& b : o.Boxes) sam.AddRect(Box(b, "--box"));
  const TBitmap* mask = o.Points.empty() ? sam.GetRectMask() : sam.GetPointMask();
  Save(*mask, o.Output);
  if (!o.OverlayFile.empty()) Save(*Overlay(*image, *mask), o.OverlayFile);
  const std::int64_t covered = MaskedPixels(*mask);
  Report(o.Library.Json,
         {{"mask", o.Output}, {"width", mask->Width()}, {"height", mask->Height()}, {"maskedPixels", covered}},
         "mask " + o.Output + ": " + std::to_string(mask->Width()) + " x " + std::to_string(mask->Height()) + ", " +
             std::to_string(covered) + " pixels masked");
  return 0;
}

struct TTrackOptions {
  TLibraryOptions Library;
  std::string Model = kModels + "ostrack.cvm";
  std::string Source, FirstBox, OutDir;
};

int Track(const TTrackOptions& o) {
  const System::Types::TRect first = Box(o.FirstBox, "--box");
  const auto frames = Frames(o.Source);
  o.Library.Apply();
  Anything::Fmx::TFMXOSTrack tracker(nullptr);
  tracker.SetModel(Native(o.Model));
  tracker.SetGPUDeviceID(o.Library.Gpu);
  tracker.SetActive(true);
  TProgress progress(frames.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    auto frame = Load(frames[i]);
    Anything::TDrOBB box{{static_cast<float>(first.Left), static_cast<float>(first.Top),
                          static_cast<float>(first.Right), static_cast<float>(first.Bottom)},
                         1.0f, 0};
    if (i == 0) {
      tracker.InitTrack(frame.get(), first);
    } else {
      tracker.Track(frame.get(), &box);
    }
    const json line = {{"frame", i},           {"file", frames[i]},   {"box", {box.box.x0, box.box.y0, box.box.x1, box.box.y1}},
                       {"score", box.score}, {"class", box.class_id}};
    std::printf("%s\n", line.dump().c_str());
    if (!o.OutDir.empty()) {
      DrawBox(*frame, static_cast<int>(box.box.x0), static_cast<int>(box.box.y0), static_cast<int>(box.box.x1),
              static_cast<int>(box.box.y1), 0xFF00FF00u);
      Save(*frame, (fs::path(o.OutDir) / (fs::path(frames[i]).stem().string() + ".png")).string());
    }
    progress.Step(i + 1);
  }
  return 0;
}

struct TRemoveOptions {
  TLibraryOptions Library;
  std::string Model = kModels + "lama.cvm";
  std::string Image, Mask, Output;
};

int Remove(const TRemoveOptions& o) {
  o.Library.Apply();
  auto image = Load(o.Image);
  auto mask = Load(o.Mask);
  Anything::Fmx::TFMXRemoveAnything remover(nullptr);
  remover.SetModel(Native(o.Model));
  remover.SetGPUDeviceID(o.Library.Gpu);
  remover.SetActive(true);
  auto result = remover.RemoveAnything(image.get(), mask.get());
  Save(*result, o.Output);
  Report(o.Library.Json, {{"output", o.Output}, {"width", result->Width()}, {"height", result->Height()}},
         "object removed: " + o.Output + " (" + std::to_string(result->Width()) + " x " +
             std::to_string(result->Height()) + ")");
  return 0;
}

struct TReplaceOptions {
  TLibraryOptions Library;
  std::string Model = kModels + "rmbg.cvm";
  std::string Image, Background, Output;
};

int ReplaceBackground(const TReplaceOptions& o) {
  o.Library.Apply();
  auto image = Load(o.Image);
  auto background = Load(o.Background);
  Anything::Fmx::TFMXRemoveBg replacer(nullptr);
  replacer.SetModel(Native(o.Model));
  replacer.SetGPUDeviceID(o.Library.Gpu);
  replacer.SetActive(true);
  auto result = replacer.ReplaceBackground(image.get(), background.get());
  Save(*result, o.Output);
  Report(o.Library.Json, {{"output", o.Output}, {"width", result->Width()}, {"height", result->Height()}},
         "background replaced: " + o.Output + " (" + std::to_string(result->Width()) + " x " +
             std::to_string(result->Height()) + ", sizes rounded up to multiples of 8)");
  return 0;
}

}  // namespace

void AddVisionCommands(CLI::App& app, TCommands& commands) {
  auto segment = std::make_shared<TSegmentOptions>();
  CLI::App* s = app.add_subcommand("segment", "cut an object out of a picture from point or box prompts");
  s->add_option("image", segment->Image, "picture file (PNG, JPEG, BMP)")->required()->check(CLI::ExistingFile);
  s->add_option("-o,--output", segment->Output, "mask PNG to write")->required();
  s->add_option("--point", segment->Points, "a point on the object, x,y (repeatable)");
  s->add_option("--box", segment->Boxes, "a box around the object, left,top,right,bottom (repeatable)");
  s->add_option("--overlay", segment->OverlayFile, "also write the picture with the mask shown in red");
  s->add_option("--encoder", segment->Encoder, "encoder model file")->check(CLI::ExistingFile);
  s->add_option("--decoder", segment->Decoder, "decoder model file")->check(CLI::ExistingFile);
  segment->Library.Add(*s);
  commands.push_back({s, [segment] { return Segment(*segment); }});

  auto track = std::make_shared<TTrackOptions>();
  CLI::App* t = app.add_subcommand("track", "follow an object through frames; prints one JSON line per frame");
  t->add_option("frames", track->Source, "folder of frames, or a numbered series such as frames/f%03d.png")
      ->required();
  t->add_option("--box", track->FirstBox, "the object in the first frame, left,top,right,bottom")->required();
  t->add_option("-o,--output", track->OutDir, "folder for annotated copies of the frames");
  t->add_option("--model", track->Model, "tracker model file")->check(CLI::ExistingFile);
  track->Library.Add(*t);
  commands.push_back({t, [track] { return Track(*track); }});

  auto remove = std::make_shared<TRemoveOptions>();
  CLI::App* r = app.add_subcommand("remove", "erase the masked region of a picture and fill it in");
  r->add_option("image", remove->Image, "picture file")->required()->check(CLI::ExistingFile);
  r->add_option("--mask", remove->Mask, "mask of the same size, white where to erase")
      ->required()
      ->check(CLI::ExistingFile);
  r->add_option("-o,--output", remove->Output, "picture to write")->required();
  r->add_option("--model", remove->Model, "inpainting model file")->check(CLI::ExistingFile);
  remove->Library.Add(*r);
  commands.push_back({r, [remove] { return Remove(*remove); }});

  auto replace = std::make_shared<TReplaceOptions>();
  CLI::App* b = app.add_subcommand("replace-bg", "keep a picture's foreground and put it over a new background");
  b->add_option("image", replace->Image, "picture file")->required()->check(CLI::ExistingFile);
  b->add_option("--background", replace->Background, "new background, stretched to the picture")
      ->required()
      ->check(CLI::ExistingFile);
  b->add_option("-o,--output", replace->Output, "picture to write")->required();
  b->add_option("--model", replace->Model, "background model file")->check(CLI::ExistingFile);
  replace->Library.Add(*b);
  commands.push_back({b, [replace] { return ReplaceBackground(*replace); }});
}

}  // namespace Corvina::Tool
