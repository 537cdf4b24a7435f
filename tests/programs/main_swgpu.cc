// Test build, never shipped: runs the GPU load on a software Vulkan device, so the real
// device path runs on machines without a GPU. Calibration starts at the smallest work size:
// at the initial one a software device on a busy machine can take most of the hang limit.

#include "main/startup.h"

int main() {
  kestrune::ProgramVariant variant;
  variant.gpu.software = kestrune::SoftwareAdapters::Accepted;
  variant.gpu.calibration_start = kestrune::CalibrationStart::Smallest;
  kestrune::run_program(variant);
}
