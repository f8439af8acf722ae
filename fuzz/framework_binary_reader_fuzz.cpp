// Runs a little program of reads and seeks, taken from the input, against a
// TBinaryReader over the same input. Past-the-end reads must raise, never
// return bytes the stream does not hold.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "framework/binary_reader.h"
#include "framework/exceptions.h"
#include "framework/streams.h"

using namespace System::Classes;

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  const auto total = static_cast<std::int64_t>(size);
  TBinaryReader reader(std::make_unique<TPointerStream>(data, total));
  TStream& stream = reader.BaseStream();
  for (size_t op = 0; op < size && op < 64; ++op) {
    const std::int64_t before = stream.Position();
    const std::int64_t left = before < total ? total - before : 0;
    try {
      switch (data[op] % 8) {
        case 0: {
          const std::uint8_t b = reader.ReadByte();
          Check(left >= 1 && b == data[before]);
          break;
        }
        case 1: {
          const std::uint32_t v = reader.ReadUInt32();
          std::uint32_t expected;
          Check(left >= 4);
          std::memcpy(&expected, data + before, 4);
          Check(v == expected);
          break;
        }
        case 2: reader.ReadInt64(); Check(left >= 8); break;
        case 3: reader.ReadDouble(); Check(left >= 8); break;
        case 4: {
          const auto bytes = reader.ReadBytes(data[op] >> 3);
          Check(static_cast<std::int64_t>(bytes.size()) <= left);
          Check(bytes.empty() || std::memcmp(bytes.data(), data + before, bytes.size()) == 0);
          break;
        }
        case 5: Check((reader.PeekChar() == -1) == (left == 0) && stream.Position() == before); break;
        case 6: stream.Seek(static_cast<std::int8_t>(data[op]), TSeekOrigin::soCurrent); break;
        default: stream.SetPosition(data[op] % (size + 8)); break;
      }
    } catch (const EReadError&) {
      // A failed read leaves the position where it was.
      Check(stream.Position() == before);
    } catch (const EStreamError&) {
    }
  }
  return 0;
}
