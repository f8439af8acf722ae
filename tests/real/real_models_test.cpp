// The random model files of the real-library suite, read back with a GGUF
// reader of their own: a fault here would otherwise show up only as a model the
// real library refuses, far from its cause.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <set>

#include "tests/support/test_support.h"
#include "tiny_models.h"

namespace {

using namespace Corvina::RealTests;
using Corvina::Testing::Bytes;
using Corvina::Testing::ReadFileBytes;
using Corvina::Testing::TempDir;

struct ReadTensor {
  std::string name;
  std::vector<std::int64_t> ne;
  std::uint32_t type = 0;
  std::uint64_t offset = 0;
};

struct ReadFile {
  std::vector<ReadTensor> tensors;
  std::uint64_t dataStart = 0;
};

class Cursor {
 public:
  explicit Cursor(const Bytes& b) : bytes_(b) {}
  template <typename T>
  T Get() {
    if (pos_ + sizeof(T) > bytes_.size()) throw std::out_of_range("GGUF cut short");
    T v;
    std::memcpy(&v, bytes_.data() + pos_, sizeof v);
    pos_ += sizeof v;
    return v;
  }
  std::string String() {
    const auto n = Get<std::uint64_t>();
    if (pos_ + n > bytes_.size()) throw std::out_of_range("GGUF string cut short");
    std::string s(bytes_.data() + pos_, n);
    pos_ += n;
    return s;
  }
  std::uint64_t Pos() const { return pos_; }

 private:
  const Bytes& bytes_;
  std::uint64_t pos_ = 0;
};

ReadFile Parse(const Bytes& bytes) {
  Cursor c(bytes);
  EXPECT_EQ(c.Get<std::uint32_t>(), 0x46554747u);  // "GGUF"
  EXPECT_EQ(c.Get<std::uint32_t>(), 3u);
  const auto count = c.Get<std::uint64_t>();
  EXPECT_EQ(c.Get<std::uint64_t>(), 0u);
  ReadFile f;
  for (std::uint64_t i = 0; i < count; ++i) {
    ReadTensor t;
    t.name = c.String();
    const auto dims = c.Get<std::uint32_t>();
    for (std::uint32_t d = 0; d < dims; ++d) t.ne.push_back(static_cast<std::int64_t>(c.Get<std::uint64_t>()));
    t.type = c.Get<std::uint32_t>();
    t.offset = c.Get<std::uint64_t>();
    f.tensors.push_back(t);
  }
  f.dataStart = (c.Pos() + 31) / 32 * 32;
  return f;
}

float HalfToFloat(std::uint16_t h) {
  const int exponent = (h >> 10) & 0x1F;
  const float mantissa = static_cast<float>(h & 0x3FF) / 1024.0f;
  const float magnitude = exponent == 0 ? std::ldexp(mantissa, -14) : std::ldexp(1.0f + mantissa, exponent - 15);
  return (h & 0x8000) ? -magnitude : magnitude;
}

template <typename T>
T At(const Bytes& bytes, std::uint64_t offset) {
  T v;
  std::memcpy(&v, bytes.data() + offset, sizeof v);
  return v;
}

TEST(TinyModels, WrittenFileReadsBackWithEveryTensorAlignedInPlaceAndOfItsSize) {
  const std::vector<TensorSpec> specs = {
      {"a.weight", TensorType::Q4_0, {64, 3}},
      {"b.weight", TensorType::F16, {3, 3, 5, 7}},
      {"b.bias", TensorType::F32, {7}},
      {"n.weight", TensorType::F32, {5}},
      {"c.weight", TensorType::F32, {10, 4}},
  };
  TempDir dir;
  WriteGguf(dir.Path("m.gguf"), specs, 7);
  const Bytes bytes = ReadFileBytes(dir.Path("m.gguf"));
  const ReadFile f = Parse(bytes);
  ASSERT_EQ(f.tensors.size(), specs.size());
  std::uint64_t end = 0;
  for (std::size_t i = 0; i < specs.size(); ++i) {
    SCOPED_TRACE(specs[i].name);
    EXPECT_EQ(f.tensors[i].name, specs[i].name);
    EXPECT_EQ(f.tensors[i].ne, specs[i].ne);
    EXPECT_EQ(f.tensors[i].type, static_cast<std::uint32_t>(specs[i].type));
    EXPECT_EQ(f.tensors[i].offset % 32, 0u);
    EXPECT_GE(f.tensors[i].offset, end) << "overlaps the tensor before";
    end = f.tensors[i].offset + TensorBytes(specs[i]);
  }
  EXPECT_EQ(TensorBytes(specs[0]), 3u * 2 * 18);  // two Q4_0 blocks per row
  EXPECT_EQ(bytes.size(), f.dataStart + (end + 31) / 32 * 32);
}

TEST(TinyModels, ValuesAreNormScalesOneBiasesZeroAndWeightsSpreadWithinTheirFanIn) {
  const std::vector<TensorSpec> specs = {
      {"w.weight", TensorType::F16, {3, 3, 16, 8}},  // fan-in 144
      {"w.bias", TensorType::F32, {8}},
      {"norm.weight", TensorType::F32, {16}},
      {"l.weight", TensorType::F32, {64, 4}},  // fan-in 64
      {"q.weight", TensorType::Q4_0, {64, 4}},
  };
  TempDir dir;
  WriteGguf(dir.Path("m.gguf"), specs, 11);
  const Bytes bytes = ReadFileBytes(dir.Path("m.gguf"));
  const ReadFile f = Parse(bytes);
  ASSERT_EQ(f.tensors.size(), specs.size());
  const auto base = [&](int i) { return f.dataStart + f.tensors[i].offset; };

  std::set<std::uint16_t> halves;
  for (int i = 0; i < 3 * 3 * 16 * 8; ++i) {
    const float v = HalfToFloat(At<std::uint16_t>(bytes, base(0) + 2 * i));
    ASSERT_LE(std::fabs(v), 1.0f / 12.0f + 1e-3f);
    halves.insert(At<std::uint16_t>(bytes, base(0) + 2 * i));
  }
  EXPECT_GT(halves.size(), 100u) << "weights barely vary";
  for (int i = 0; i < 8; ++i) EXPECT_EQ(At<float>(bytes, base(1) + 4 * i), 0.0f);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(At<float>(bytes, base(2) + 4 * i), 1.0f);
  for (int i = 0; i < 64 * 4; ++i) ASSERT_LE(std::fabs(At<float>(bytes, base(3) + 4 * i)), 0.125f + 1e-6f);
  // Q4_0: every block's scale keeps (q - 8) * d within the same limit.
  for (int block = 0; block < 8; ++block) {
    const float d = HalfToFloat(At<std::uint16_t>(bytes, base(4) + 18 * block));
    EXPECT_GT(d, 0.0f);
    EXPECT_LE(8.0f * d, 0.125f + 1e-3f);
  }
}

TEST(TinyModels, RefusesQ4RowsThatAreNotWholeBlocksAndEsrganScalesItCannotName) {
  TempDir dir;
  EXPECT_THROW(WriteGguf(dir.Path("m.gguf"), {{"x.weight", TensorType::Q4_0, {48, 2}}}, 1), std::invalid_argument);
  EXPECT_TRUE(dir.Entries().empty()) << "a refused model leaves no file behind";
  for (int scale : {0, 3, 8}) EXPECT_THROW(TinyEsrganTensors(scale), std::invalid_argument) << scale;
}

TEST(TinyModels, EnsureModelKeepsAFileThatIsAlreadyThere) {
  TempDir dir;
  const auto path = dir.Path("m.gguf");
  Corvina::Testing::WriteFileBytes(path, "kept");
  EnsureModel(path, TinyEsrganTensors(2), 1);
  EXPECT_EQ(ReadFileBytes(path), "kept");
  std::filesystem::remove(path);
  EnsureModel(path, TinyEsrganTensors(2), 1);
  EXPECT_EQ(ReadFileBytes(path).substr(0, 4), "GGUF");
}

// What the library reads from tensor names to choose its network: the model
// kinds and the factors below must come out of these files.
TEST(TinyModels, NamesCarryWhatTheLibraryDetectsModelsBy) {
  struct Row {
    const char* what;
    std::vector<TensorSpec> tensors;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  };
  const std::vector<Row> rows = {
      {"ESRGAN x1", TinyEsrganTensors(1), {"conv_first.weight", "body.0.rdb3.conv5.weight"},
       {"conv_up1.weight", "conv_up2.weight", "body.1.rdb1.conv1.weight"}},
      {"ESRGAN x2", TinyEsrganTensors(2), {"conv_up1.weight"}, {"conv_up2.weight"}},
      {"ESRGAN x4", TinyEsrganTensors(4), {"conv_up1.weight", "conv_up2.weight"}, {}},
      {"SD1 tiny U-Net, decoder only", TinySd1Tensors(false),
       {"model.diffusion_model.input_blocks.0.0.weight", "first_stage_model.decoder.conv_in.weight",
        "cond_stage_model.transformer.text_model.encoder.layers.11.mlp.fc2.weight"},
       {"model.diffusion_model.middle_block.1.norm.weight", "first_stage_model.encoder.conv_in.weight",
        "cond_stage_model.transformer.text_model.encoder.layers.12.mlp.fc2.weight"}},
      {"SD1 with encoder", TinySd1Tensors(true), {"first_stage_model.encoder.conv_out.weight",
                                                   "first_stage_model.quant_conv.weight"}, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::map<std::string, const TensorSpec*> byName;
    for (const auto& t : row.tensors) EXPECT_TRUE(byName.emplace(t.name, &t).second) << "duplicate " << t.name;
    for (const auto& name : row.present) EXPECT_TRUE(byName.count(name)) << name;
    for (const auto& name : row.absent) EXPECT_FALSE(byName.count(name)) << name;
    if (auto it = byName.find("cond_stage_model.transformer.text_model.embeddings.token_embedding.weight");
        it != byName.end()) {
      EXPECT_EQ(it->second->ne[0], 768) << "SD1 is told from SD2 by the text width";
      EXPECT_EQ(byName.at("model.diffusion_model.input_blocks.0.0.weight")->ne[2], 4) << "not inpainting";
    }
  }
}

}  // namespace
