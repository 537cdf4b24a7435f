#include <gtest/gtest.h>

#include "gpu/dispatch.h"
#include "main/runtime.h"

namespace kestrune {
namespace program_variant_test {

// The shipped program runs with the default variant: the kill-on-close job probe, no software
// device, no stand-in shader, and calibration from the initial work size. The test builds
// change these on purpose; the shipped program must not pick up any of it.
TEST(ProgramVariant, TheShippedProgramKeepsEveryRule) {
  const ProgramVariant shipped;
  EXPECT_EQ(shipped.probe_job, &os::probe_job);
  EXPECT_EQ(shipped.gpu.software, SoftwareAdapters::Refused);
  EXPECT_TRUE(shipped.gpu.shader_fallback.empty());
  EXPECT_EQ(shipped.gpu.calibration_start, CalibrationStart::Initial);
  EXPECT_EQ(os_gpu_platform(shipped.gpu)->calibration_start(), CalibrationStart::Initial);
  EXPECT_EQ(first_calibration_iters(shipped.gpu.calibration_start), 256u);
}

}  // namespace program_variant_test
}  // namespace kestrune
