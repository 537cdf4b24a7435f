#pragma once
// Whether the GPU set-up may choose a software device. The shipped program never does: a
// CPU rasterizer would only add CPU load under the GPU's name. The native test build
// accepts one, so the real device path runs on machines without a GPU.

#include "gpu/adapter_choice.h"

namespace kestrune {

SoftwareAdapters software_gpu_policy();

}  // namespace kestrune
