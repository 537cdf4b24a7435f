#include "gpu/vulkan_result.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace vulkan_result_test {

TEST(VulkanResult, FailuresNamedWithResultAndDecimalCode) {
  struct Case {
    const char* what;
    GpuFailure got;
    const char* detail;
  } cases[] = {
      {"lost device wins over the call's result", describe_vulkan_error(true, -2),
       "VK_ERROR_DEVICE_LOST (-4)"},
      {"call's own result while the device is fine", describe_vulkan_error(false, -2),
       "VK_ERROR_OUT_OF_DEVICE_MEMORY (-2)"},
      {"unlisted result", describe_vulkan_error(false, -1000069000), "VkResult (-1000069000)"},
      {"hang on a working device", vulkan_hang_failure(false), "VK_TIMEOUT (2) after 1500 ms"},
      {"hang on a lost device", vulkan_hang_failure(true), "VK_ERROR_DEVICE_LOST (-4) after 1500 ms"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.got, (GpuFailure{"gpuDeviceRemoved", c.detail})) << c.what;
  }
}

}  // namespace vulkan_result_test
}  // namespace kestrune
