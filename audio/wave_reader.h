// Unit audio.wave.reader: a RIFF/WAVE reader that splits sample data into
// raw per-channel buffers, and a writer for float sample arrays.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include "audio/wave_chunk.h"
#include "audio/wave_chunks.h"
#include "audio/wave_data_chunk.h"
#include "audio/wave_file_reader.h"
#include "audio/wave_writer.h"
