// corvina demo: a tour of the components on built-in inputs.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "framework/graphics.h"
#include "tools/commands.h"
#include "utils/utils.h"

namespace Corvina::Tool {

namespace {

namespace fs = std::filesystem;
using Fmx::Graphics::TBitmap;
using Fmx::Graphics::TBitmapMapping;
using Fmx::Graphics::TMapAccess;
using System::Types::RectF;
using System::Types::TRectF;

// A sunset-coloured gradient with a sun, a dark block and thin stripes:
// smooth areas and hard edges, so scaling artefacts would show.
TBitmap SynthesisePicture(int w, int h) {
  TBitmap bmp(w, h);
  TBitmapMapping map(bmp, TMapAccess::Write);
  for (int y = 0; y < h; ++y) {
    auto* row = reinterpret_cast<std::uint32_t*>(map.WritableScanline(y));
    for (int x = 0; x < w; ++x) {
      const double u = double(x) / w, v = double(y) / h;
      int r = int(255 * (1 - 0.6 * v)), g = int(90 + 120 * u * (1 - v)), b = int(60 + 180 * v);
      const double dx = x - 0.3 * w, dy = y - 0.4 * h;
      if (dx * dx + dy * dy < 0.02 * w * h) r = 255, g = 220, b = 40;
      if (x > 0.6 * w && x < 0.85 * w && y > 0.5 * h) r = 30, g = 30, b = 50;
      if (y % 16 < 2 && y > 0.8 * h) r = g = b = 240;
      row[x] = 0xFF000000u | std::uint32_t(r) << 16 | std::uint32_t(g) << 8 | std::uint32_t(b);
    }
  }
  return bmp;
}

void Print(const char* what, const TRectF& r) {
  std::printf("  %s: (%g, %g) - (%g, %g), %g x %g\n", what, r.Left, r.Top, r.Right, r.Bottom, r.Width(), r.Height());
}

int Demo(const fs::path& out) {
  fs::create_directories(out);
  std::printf("corvina demo: output folder %s\n", out.string().c_str());

  TBitmap picture = SynthesisePicture(640, 400);
  const fs::path original = out / "picture.png";
  picture.SaveToFile(original.u16string());
  std::printf("1. synthesised a %d x %d picture, saved as %s\n", picture.Width(), picture.Height(),
              original.string().c_str());

  TBitmap squeezed;
  squeezed.LoadFromFile(original.u16string());
  Utils::StretchBitmap(squeezed, 300, 300);
  const fs::path stretched = out / "picture-300x300.png";
  squeezed.SaveToFile(stretched.u16string());
  std::printf("2. read it back and stretched it to %d x %d (aspect 1.6 -> 1.0), saved as %s\n", squeezed.Width(),
              squeezed.Height(), stretched.string().c_str());

  const TRectF view = RectF(0, 0, 1000, 1000);
  TRectF shown = RectF(0, 0, float(picture.Width()), float(picture.Height()));
  const float ratio = Utils::FitRect2(shown, view);
  std::printf("3. shown fitted in a 1000 x 1000 view (aspect %.4f) the picture occupies\n", ratio);
  Print("picture in view", shown);
  for (const auto& [x, y] : {std::pair{500.0f, 500.0f}, std::pair{0.0f, 0.0f}, std::pair{999.0f, 811.0f}}) {
    const auto p = Utils::ClientToBitmap(picture, view, x, y);
    const bool inside = p.X >= 0 && p.Y >= 0 && p.X < picture.Width() && p.Y < picture.Height();
    std::printf("  view point (%g, %g) -> picture pixel (%g, %g)%s\n", x, y, p.X, p.Y,
                inside ? "" : "  (outside the picture)");
  }
  return 0;
}

}  // namespace

void AddDemoCommand(CLI::App& app, TCommands& commands) {
  auto folder = std::make_shared<fs::path>("out/demo");
  auto* demo = app.add_subcommand("demo", "synthesise, save, stretch and map a picture");
  demo->add_option("folder", *folder, "output folder")->capture_default_str();
  commands.push_back({demo, [folder] { return Demo(*folder); }});
}

}  // namespace Corvina::Tool
