// Unit SD.FMX: the generation component, its picture exchange, and the
// library's folder and loading under the names the unit exports.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include "binding/stablediffusion_library.h"
#include "generation/sd_images.h"
#include "generation/stable_diffusion.h"

namespace Sd::Fmx {

using Stablediffusion::LoadSDLibs;
using Stablediffusion::SD_DLL_PATH;
using Stablediffusion::UnLoadSDLibs;

}  // namespace Sd::Fmx
