// Test build, never shipped: runs the GPU load on a software Vulkan device, so the real
// device path runs on machines without a GPU.

#include "main/startup.h"

int main() {
  kestrune::ProgramVariant variant;
  variant.gpu.software = kestrune::SoftwareAdapters::Accepted;
  kestrune::run_program(variant);
}
