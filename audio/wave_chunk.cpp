#include "audio/wave_chunk.h"

#include "audio/wave_messages.h"
#include "framework/exceptions.h"

namespace Audio::Wave::Reader {

using System::Classes::TBinaryReader;
using System::Classes::TSeekOrigin;
using System::Sysutils::Exception;

THeaderChunk::THeaderChunk(TBinaryReader& IOStream) : FIOStream(&IOStream) {}

THeaderChunk::~THeaderChunk() = default;

bool THeaderChunk::Read() {
  auto& stream = FIOStream->BaseStream();
  if (FIdentify.Int32 != 0) {
    FOffset = stream.Seek(-4, TSeekOrigin::soCurrent);
    if (FIOStream->ReadUInt32() != FIdentify.Int32) throw Exception(Messages::kErrorMessage);
  } else {
    FOffset = stream.Position();
    FIdentify = TFourCC(FIOStream->ReadUInt32());
  }
  FSize = FIOStream->ReadUInt32();
  return true;
}

TChunk::TChunk(TChunk* Owner, TBinaryReader& IOStream) : THeaderChunk(IOStream), FOwner(Owner) {}

TChunk::TChunk(TFourCC Identify, TBinaryReader& IOStream) : THeaderChunk(IOStream) { FIdentify = Identify; }

TChunk::~TChunk() = default;

bool TChunk::Read() { return THeaderChunk::Read(); }

}  // namespace Audio::Wave::Reader
