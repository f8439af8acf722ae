#include "tiny_models.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

namespace Corvina::RealTests {
namespace {

using Tensors = std::vector<TensorSpec>;

// Linear weights go in as Q4_0 where rows allow it, which keeps the SD1 file near
// 600 MB; convolutions are F16 because the library holds them as F16 whatever
// the file says, and Q4_0 needs rows of whole 32-element blocks.
constexpr std::int64_t kQ4Block = 32;
constexpr std::size_t kQ4BlockBytes = 2 + kQ4Block / 2;
constexpr std::uint64_t kGgufAlignment = 32;

void Linear(Tensors& t, const std::string& p, std::int64_t in, std::int64_t out, bool bias = true) {
  t.push_back({p + ".weight", in % kQ4Block == 0 ? TensorType::Q4_0 : TensorType::F32, {in, out}});
  if (bias) t.push_back({p + ".bias", TensorType::F32, {out}});
}

void Conv(Tensors& t, const std::string& p, std::int64_t in, std::int64_t out, std::int64_t k) {
  t.push_back({p + ".weight", TensorType::F16, {k, k, in, out}});
  t.push_back({p + ".bias", TensorType::F32, {out}});
}

void Norm(Tensors& t, const std::string& p, std::int64_t channels) {
  t.push_back({p + ".weight", TensorType::F32, {channels}});
  t.push_back({p + ".bias", TensorType::F32, {channels}});
}

// ---- CLIP ViT-L/14 text encoder, as SD1 checkpoints name it.
void ClipText(Tensors& t) {
  const std::string p = "cond_stage_model.transformer.text_model.";
  constexpr std::int64_t kHidden = 768, kMlp = 3072, kVocab = 49408, kPositions = 77, kLayers = 12;
  t.push_back({p + "embeddings.token_embedding.weight", TensorType::F16, {kHidden, kVocab}});
  t.push_back({p + "embeddings.position_embedding.weight", TensorType::F32, {kHidden, kPositions}});
  for (int i = 0; i < kLayers; ++i) {
    const std::string l = p + "encoder.layers." + std::to_string(i) + ".";
    Norm(t, l + "layer_norm1", kHidden);
    Norm(t, l + "layer_norm2", kHidden);
    for (const char* proj : {"q_proj", "k_proj", "v_proj", "out_proj"})
      Linear(t, l + "self_attn." + proj, kHidden, kHidden);
    Linear(t, l + "mlp.fc1", kHidden, kMlp);
    Linear(t, l + "mlp.fc2", kMlp, kHidden);
  }
  Norm(t, p + "final_layer_norm", kHidden);
}

// ---- U-Net: SD1 layout with one residual block per level and no middle block.
constexpr std::int64_t kTimeEmbed = 1280, kContext = 768;

void UnetResBlock(Tensors& t, const std::string& p, std::int64_t in, std::int64_t out) {
  Norm(t, p + ".in_layers.0", in);
  Conv(t, p + ".in_layers.2", in, out, 3);
  Linear(t, p + ".emb_layers.1", kTimeEmbed, out);
  Norm(t, p + ".out_layers.0", out);
  Conv(t, p + ".out_layers.3", out, out, 3);
  if (in != out) Conv(t, p + ".skip_connection", in, out, 1);
}

void SpatialTransformer(Tensors& t, const std::string& p, std::int64_t ch) {
  Norm(t, p + ".norm", ch);
  Conv(t, p + ".proj_in", ch, ch, 1);
  const std::string b = p + ".transformer_blocks.0.";
  for (const char* attn : {"attn1", "attn2"}) {
    const std::int64_t kvIn = std::string(attn) == "attn1" ? ch : kContext;
    Linear(t, b + attn + ".to_q", ch, ch, false);
    Linear(t, b + attn + ".to_k", kvIn, ch, false);
    Linear(t, b + attn + ".to_v", kvIn, ch, false);
    Linear(t, b + attn + ".to_out.0", ch, ch);
  }
  Linear(t, b + "ff.net.0.proj", ch, ch * 8);  // GEGLU: value and gate
  Linear(t, b + "ff.net.2", ch * 4, ch);
  for (const char* norm : {"norm1", "norm2", "norm3"}) Norm(t, b + norm, ch);
  Conv(t, p + ".proj_out", ch, ch, 1);
}

void TinyUnet(Tensors& t) {
  const std::string p = "model.diffusion_model.";
  constexpr std::int64_t kModel = 320;
  constexpr std::array<std::int64_t, 3> kMult = {1, 2, 4};
  Linear(t, p + "time_embed.0", kModel, kTimeEmbed);
  Linear(t, p + "time_embed.2", kTimeEmbed, kTimeEmbed);
  Conv(t, p + "input_blocks.0.0", 4, kModel, 3);

  // Block numbers follow the full SD1 layout with its second residual block
  // per level missing, so the tiny network skips one index per level.
  std::vector<std::int64_t> skipChannels = {kModel};
  std::int64_t ch = kModel;
  int index = 0;
  for (std::size_t level = 0; level < kMult.size(); ++level) {
    const std::int64_t out = kMult[level] * kModel;
    const std::string block = p + "input_blocks." + std::to_string(++index);
    UnetResBlock(t, block + ".0", ch, out);
    SpatialTransformer(t, block + ".1", out);
    ch = out;
    skipChannels.push_back(ch);
    ++index;
    if (level + 1 < kMult.size()) {
      Conv(t, p + "input_blocks." + std::to_string(++index) + ".0.op", ch, ch, 3);
      skipChannels.push_back(ch);
    }
  }

  int outIndex = 0;
  for (int level = static_cast<int>(kMult.size()) - 1; level >= 0; --level) {
    const std::int64_t out = kMult[level] * kModel;
    for (int j = 0; j < 2; ++j) {
      const std::int64_t skip = skipChannels.back();
      skipChannels.pop_back();
      const std::string block = p + "output_blocks." + std::to_string(outIndex);
      UnetResBlock(t, block + ".0", ch + skip, out);
      SpatialTransformer(t, block + ".1", out);
      ch = out;
      if (level > 0 && j == 1) {
        ++outIndex;
        const int upsample = outIndex == 2 ? 1 : 2;
        Conv(t, p + "output_blocks." + std::to_string(outIndex) + "." + std::to_string(upsample) + ".conv",
             ch, ch, 3);
      }
      ++outIndex;
    }
  }
  Norm(t, p + "out.0", kModel);
  Conv(t, p + "out.2", kModel, 4, 3);
}

// ---- KL autoencoder (SD1 VAE).
void VaeResBlock(Tensors& t, const std::string& p, std::int64_t in, std::int64_t out) {
  Norm(t, p + ".norm1", in);
  Conv(t, p + ".conv1", in, out, 3);
  Norm(t, p + ".norm2", out);
  Conv(t, p + ".conv2", out, out, 3);
  if (in != out) Conv(t, p + ".nin_shortcut", in, out, 1);
}

void VaeMid(Tensors& t, const std::string& p, std::int64_t ch) {
  VaeResBlock(t, p + ".block_1", ch, ch);
  Norm(t, p + ".attn_1.norm", ch);
  for (const char* c : {"q", "k", "v", "proj_out"}) Conv(t, p + ".attn_1." + c, ch, ch, 1);
  VaeResBlock(t, p + ".block_2", ch, ch);
}

constexpr std::int64_t kVaeBase = 128;
constexpr std::array<std::int64_t, 4> kVaeMult = {1, 2, 4, 4};

void VaeEncoder(Tensors& t) {
  const std::string p = "first_stage_model.encoder.";
  Conv(t, p + "conv_in", 3, kVaeBase, 3);
  std::int64_t in = kVaeBase;
  for (std::size_t i = 0; i < kVaeMult.size(); ++i) {
    const std::int64_t out = kVaeBase * kVaeMult[i];
    const std::string d = p + "down." + std::to_string(i);
    VaeResBlock(t, d + ".block.0", in, out);
    VaeResBlock(t, d + ".block.1", out, out);
    if (i + 1 < kVaeMult.size()) Conv(t, d + ".downsample.conv", out, out, 3);
    in = out;
  }
  VaeMid(t, p + "mid", in);
  Norm(t, p + "norm_out", in);
  Conv(t, p + "conv_out", in, 8, 3);
  Conv(t, "first_stage_model.quant_conv", 8, 8, 1);
}

void VaeDecoder(Tensors& t) {
  const std::string p = "first_stage_model.decoder.";
  std::int64_t in = kVaeBase * kVaeMult.back();
  Conv(t, p + "conv_in", 4, in, 3);
  VaeMid(t, p + "mid", in);
  for (int i = static_cast<int>(kVaeMult.size()) - 1; i >= 0; --i) {
    const std::int64_t out = kVaeBase * kVaeMult[i];
    const std::string u = p + "up." + std::to_string(i);
    VaeResBlock(t, u + ".block.0", in, out);
    VaeResBlock(t, u + ".block.1", out, out);
    VaeResBlock(t, u + ".block.2", out, out);
    if (i != 0) Conv(t, u + ".upsample.conv", out, out, 3);
    in = out;
  }
  Norm(t, p + "norm_out", in);
  Conv(t, p + "conv_out", in, 3, 3);
  Conv(t, "first_stage_model.post_quant_conv", 4, 4, 1);
}

// ---- Random values.
struct SplitMix64 {
  std::uint64_t state;
  std::uint64_t Next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
};

// Enough for the small magnitudes written here: no infinities, tiny values flush to 0.
std::uint16_t ToHalf(float value) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  const std::uint16_t sign = static_cast<std::uint16_t>((bits >> 16) & 0x8000u);
  const int exponent = static_cast<int>((bits >> 23) & 0xFFu) - 127 + 15;
  if (exponent <= 0) return sign;
  if (exponent >= 31) return static_cast<std::uint16_t>(sign | 0x7BFFu);
  return static_cast<std::uint16_t>(sign | (exponent << 10) | ((bits & 0x7FFFFFu) >> 13));
}

std::int64_t Elements(const TensorSpec& t) {
  std::int64_t n = 1;
  for (auto d : t.ne) n *= d;
  return n;
}

bool EndsWith(const std::string& s, const char* tail) {
  const std::size_t n = std::strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// Uniform in +-1/sqrt(fan-in), so activations keep their size through the layers.
float Limit(const TensorSpec& t) {
  std::int64_t fanIn = 1;
  for (std::size_t i = 0; i + 1 < t.ne.size(); ++i) fanIn *= t.ne[i];
  return 1.0f / std::sqrt(static_cast<float>(fanIn));
}

class Writer {
 public:
  explicit Writer(const std::filesystem::path& path) : out_(path, std::ios::binary | std::ios::trunc) {
    if (!out_) throw std::runtime_error("cannot write " + path.string());
    buffer_.reserve(kChunk);
  }
  template <typename T>
  void Put(const T& value) {
    const auto* bytes = reinterpret_cast<const char*>(&value);
    Bytes(bytes, sizeof value);
  }
  void Bytes(const char* data, std::size_t size) {
    buffer_.insert(buffer_.end(), data, data + size);
    if (buffer_.size() >= kChunk) Flush();
  }
  void String(const std::string& s) {
    Put<std::uint64_t>(s.size());
    Bytes(s.data(), s.size());
  }
  void PadTo(std::uint64_t alignment) {
    while (written_ + buffer_.size() < AlignUp(written_ + buffer_.size(), alignment)) Put<char>(0);
  }
  void Close() {
    Flush();
    out_.close();
    if (!out_) throw std::runtime_error("writing a model file failed");
  }
  static std::uint64_t AlignUp(std::uint64_t n, std::uint64_t a) { return (n + a - 1) / a * a; }

 private:
  static constexpr std::size_t kChunk = 1u << 22;
  void Flush() {
    out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    written_ += buffer_.size();
    buffer_.clear();
  }
  std::ofstream out_;
  std::vector<char> buffer_;
  std::uint64_t written_ = 0;
};

void WriteValues(Writer& w, const TensorSpec& t, SplitMix64& rng) {
  const std::int64_t n = Elements(t);
  if (t.ne.size() == 1) {  // norm scales 1, biases 0
    const float value = EndsWith(t.name, ".weight") ? 1.0f : 0.0f;
    for (std::int64_t i = 0; i < n; ++i) w.Put(value);
    return;
  }
  const float limit = Limit(t);
  // One table of 256 evenly spread values per tensor; each random byte picks one.
  std::array<float, 256> table{};
  for (int i = 0; i < 256; ++i) table[i] = limit * (static_cast<float>(i) - 127.5f) / 127.5f;
  switch (t.type) {
    case TensorType::F32:
      for (std::int64_t i = 0; i < n; i += 8) {
        std::uint64_t r = rng.Next();
        for (std::int64_t k = 0; k < 8 && i + k < n; ++k, r >>= 8) w.Put(table[r & 0xFF]);
      }
      break;
    case TensorType::F16: {
      std::array<std::uint16_t, 256> halves{};
      for (int i = 0; i < 256; ++i) halves[i] = ToHalf(table[i]);
      for (std::int64_t i = 0; i < n; i += 8) {
        std::uint64_t r = rng.Next();
        for (std::int64_t k = 0; k < 8 && i + k < n; ++k, r >>= 8) w.Put(halves[r & 0xFF]);
      }
      break;
    }
    case TensorType::Q4_0: {
      // Each block is a scale d and 32 four-bit codes q meaning (q - 8) * d.
      const std::uint16_t d = ToHalf(limit / 8.0f);
      for (std::int64_t block = 0; block < n / kQ4Block; ++block) {
        w.Put(d);
        const std::uint64_t a = rng.Next(), b = rng.Next();
        w.Put(a);
        w.Put(b);
      }
      break;
    }
  }
}

}  // namespace

std::vector<TensorSpec> TinySd1Tensors(bool withVaeEncoder) {
  Tensors t;
  ClipText(t);
  TinyUnet(t);
  if (withVaeEncoder) VaeEncoder(t);
  VaeDecoder(t);
  return t;
}

std::vector<TensorSpec> TinyEsrganTensors(int scale) {
  if (scale != 1 && scale != 2 && scale != 4) throw std::invalid_argument("ESRGAN scale must be 1, 2 or 4");
  constexpr std::int64_t kFeat = 64, kGrow = 32;
  Tensors t;
  Conv(t, "conv_first", 3, kFeat, 3);
  for (int rdb = 1; rdb <= 3; ++rdb)
    for (int k = 1; k <= 5; ++k)
      Conv(t, "body.0.rdb" + std::to_string(rdb) + ".conv" + std::to_string(k), kFeat + (k - 1) * kGrow,
           k < 5 ? kGrow : kFeat, 3);
  Conv(t, "conv_body", kFeat, kFeat, 3);
  if (scale >= 2) Conv(t, "conv_up1", kFeat, kFeat, 3);
  if (scale == 4) Conv(t, "conv_up2", kFeat, kFeat, 3);
  Conv(t, "conv_hr", kFeat, kFeat, 3);
  Conv(t, "conv_last", kFeat, 3, 3);
  return t;
}

std::uint64_t TensorBytes(const TensorSpec& t) {
  const auto n = static_cast<std::uint64_t>(Elements(t));
  switch (t.type) {
    case TensorType::F32: return n * 4;
    case TensorType::F16: return n * 2;
    case TensorType::Q4_0: return n / kQ4Block * kQ4BlockBytes;
  }
  return 0;
}

void WriteGguf(const std::filesystem::path& path, const std::vector<TensorSpec>& tensors, std::uint64_t seed) {
  for (const auto& t : tensors)
    if (t.type == TensorType::Q4_0 && t.ne[0] % kQ4Block != 0)
      throw std::invalid_argument(t.name + ": Q4_0 rows must be whole blocks");

  const auto temporary = path.string() + ".tmp" + std::to_string(::getpid());
  {
    Writer w(temporary);
    w.Put<std::uint32_t>(0x46554747u);  // "GGUF"
    w.Put<std::uint32_t>(3);
    w.Put<std::uint64_t>(tensors.size());
    w.Put<std::uint64_t>(0);  // no metadata
    std::uint64_t offset = 0;
    for (const auto& t : tensors) {
      w.String(t.name);
      w.Put<std::uint32_t>(static_cast<std::uint32_t>(t.ne.size()));
      for (auto d : t.ne) w.Put<std::uint64_t>(static_cast<std::uint64_t>(d));
      w.Put<std::uint32_t>(static_cast<std::uint32_t>(t.type));
      w.Put<std::uint64_t>(offset);
      offset = Writer::AlignUp(offset + TensorBytes(t), kGgufAlignment);
    }
    w.PadTo(kGgufAlignment);
    SplitMix64 rng{seed};
    for (const auto& t : tensors) {
      WriteValues(w, t, rng);
      w.PadTo(kGgufAlignment);
    }
    w.Close();
  }
  std::filesystem::rename(temporary, path);
}

std::filesystem::path EnsureModel(const std::filesystem::path& path, const std::vector<TensorSpec>& tensors,
                                  std::uint64_t seed) {
  if (!std::filesystem::exists(path)) {
    std::filesystem::create_directories(path.parent_path());
    WriteGguf(path, tensors, seed);
  }
  return path;
}

}  // namespace Corvina::RealTests
