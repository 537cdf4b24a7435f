#include "variants/gpu_software_policy.h"

namespace kestrune {

SoftwareAdapters software_gpu_policy() { return SoftwareAdapters::Refused; }

}  // namespace kestrune
