#include "reference/vision/common.h"

#include <charconv>
#include <cmath>
#include <fstream>
#include <mutex>
#include <unordered_map>

#include <opencv2/imgproc.hpp>

namespace Corvina::Reference::Vision {

namespace {

struct Registry {
  std::mutex lock;
  std::unordered_map<void*, std::unique_ptr<Context>> live;
};

Registry& Contexts() {
  static Registry registry;
  return registry;
}

std::string Trimmed(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t\r");
  return std::string(s.substr(first, last - first + 1));
}

}  // namespace

void* Register(std::unique_ptr<Context> context) {
  if (!context) return nullptr;
  void* address = context.get();
  auto& r = Contexts();
  std::lock_guard guard(r.lock);
  r.live.emplace(address, std::move(context));
  return address;
}

Context* Find(void* ctx) {
  if (ctx == nullptr) return nullptr;
  auto& r = Contexts();
  std::lock_guard guard(r.lock);
  const auto it = r.live.find(ctx);
  return it == r.live.end() ? nullptr : it->second.get();
}

bool Release(void* ctx, bool (*isFamily)(Context*)) {
  if (ctx == nullptr) return false;
  std::unique_ptr<Context> doomed;
  {
    auto& r = Contexts();
    std::lock_guard guard(r.lock);
    const auto it = r.live.find(ctx);
    if (it == r.live.end() || !isFamily(it->second.get())) return false;
    doomed = std::move(it->second);
    r.live.erase(it);
  }
  // The context dies outside the lock: its destructor may be slow.
  return true;
}

bool ImageArgs::Valid() const {
  if (pixels == nullptr || width <= 0 || height <= 0) return false;
  if (width > kMaxSide || height > kMaxSide) return false;
  return static_cast<std::int64_t>(pitch) >= static_cast<std::int64_t>(width) * 4;
}

cv::Mat ImageArgs::Bgra() const {
  return cv::Mat(height, width, CV_8UC4, const_cast<void*>(pixels), static_cast<std::size_t>(pitch));
}

cv::Mat ImageArgs::Bgr() const {
  cv::Mat bgr;
  cv::cvtColor(Bgra(), bgr, cv::COLOR_BGRA2BGR);
  return bgr;
}

std::optional<ModelFile> ModelFile::Read(const char* path, std::string_view family) {
  if (path == nullptr || *path == '\0') return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text(kMaxBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  return Parse(text, family);
}

std::optional<ModelFile> ModelFile::Parse(std::string_view text, std::string_view family) {
  if (text.size() > kMaxBytes) return std::nullopt;
  ModelFile model;
  std::string_view rest = text;
  bool first = true;
  while (!rest.empty()) {
    const auto end = rest.find('\n');
    const std::string line = Trimmed(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    if (first) {
      if (line != kMagic) return std::nullopt;
      first = false;
      continue;
    }
    if (line.empty() || line.front() == '#') continue;
    const auto colon = line.find(':');
    if (colon == std::string::npos) return std::nullopt;
    model.FValues[Trimmed(std::string_view(line).substr(0, colon))] =
        Trimmed(std::string_view(line).substr(colon + 1));
  }
  if (first) return std::nullopt;
  const auto it = model.FValues.find("family");
  if (it == model.FValues.end() || it->second != family) return std::nullopt;
  return model;
}

std::optional<double> ModelFile::Number(const std::string& key, double fallback, double lo, double hi) const {
  const auto it = FValues.find(key);
  if (it == FValues.end()) return fallback;
  const std::string& s = it->second;
  double value = 0;
  const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (error != std::errc{} || end != s.data() + s.size() || !std::isfinite(value)) return std::nullopt;
  if (value < lo || value > hi) return std::nullopt;
  return value;
}

std::optional<std::string> ModelFile::Text(const std::string& key, std::string fallback) const {
  const auto it = FValues.find(key);
  if (it == FValues.end()) return fallback;
  return it->second;
}

const std::uint8_t* StoreBgr(const cv::Mat& bgr, std::vector<std::uint8_t>& buffer) {
  CV_Assert(bgr.type() == CV_8UC3);
  buffer.resize(bgr.total() * 3);
  cv::Mat packed(bgr.rows, bgr.cols, CV_8UC3, buffer.data());
  bgr.copyTo(packed);
  return buffer.data();
}

const std::uint8_t* StoreGray(const cv::Mat& gray, std::vector<std::uint8_t>& buffer) {
  CV_Assert(gray.type() == CV_8UC1);
  buffer.resize(gray.total());
  cv::Mat packed(gray.rows, gray.cols, CV_8UC1, buffer.data());
  gray.copyTo(packed);
  return buffer.data();
}

cv::Mat Shrink(const cv::Mat& image, int maxSide, double& factor) {
  const int longest = std::max(image.cols, image.rows);
  if (longest <= maxSide) {
    factor = 1.0;
    return image;
  }
  factor = static_cast<double>(maxSide) / longest;
  cv::Mat small;
  const cv::Size size(std::max(1, static_cast<int>(std::lround(image.cols * factor))),
                      std::max(1, static_cast<int>(std::lround(image.rows * factor))));
  cv::resize(image, small, size, 0, 0, cv::INTER_AREA);
  return small;
}

void FillHoles(cv::Mat& mask) {
  // Flood the background from a one-pixel frame around the picture: what the
  // flood cannot reach is enclosed by the object.
  cv::Mat framed;
  cv::copyMakeBorder(mask, framed, 1, 1, 1, 1, cv::BORDER_CONSTANT, cv::Scalar(0));
  cv::floodFill(framed, cv::Point(0, 0), cv::Scalar(128));
  cv::Mat inner = framed(cv::Rect(1, 1, mask.cols, mask.rows));
  mask.setTo(255, inner != 128);
}

}  // namespace Corvina::Reference::Vision
