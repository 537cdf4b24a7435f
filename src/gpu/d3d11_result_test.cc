#include "gpu/d3d11_result.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace d3d11_result_test {

constexpr int32_t hr(uint32_t v) { return static_cast<int32_t>(v); }

TEST(DescribeDeviceError, RemovalReasonWinsOnlyWhenKnown) {
  struct Case {
    int32_t removed;
    int32_t call;
    const char* detail;
  } cases[] = {
      {0, hr(0x80070057), "HRESULT (0x80070057)"},
      {0, kDxgiErrorDeviceRemoved, "DXGI_ERROR_DEVICE_REMOVED (0x887A0005)"},
      {kDxgiErrorDeviceHung, hr(0x80070057), "DXGI_ERROR_DEVICE_HUNG (0x887A0006)"},
      {kDxgiErrorDeviceReset, hr(0x80004005), "DXGI_ERROR_DEVICE_RESET (0x887A0007)"},
      {kDxgiErrorDriverInternalError, kDxgiErrorDeviceRemoved,
       "DXGI_ERROR_DRIVER_INTERNAL_ERROR (0x887A0020)"},
      // An unknown removal reason is ignored in favour of the call's result.
      {hr(0x8007000E), kDxgiErrorDeviceHung, "DXGI_ERROR_DEVICE_HUNG (0x887A0006)"},
      // A success code is not a removal reason, even one that looks like a table entry.
      {0x087A0005, hr(0x80004005), "HRESULT (0x80004005)"},
      {0, 0x0000ABCD, "HRESULT (0x0000ABCD)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(describe_device_error(c.removed, c.call), (GpuFailure{"gpuDeviceRemoved", c.detail}));
  }
}

TEST(DescribeDeviceError, HangNamesAnyFailingReasonElseHung) {
  struct Case {
    int32_t removed;
    const char* detail;
  } cases[] = {
      {0, "DXGI_ERROR_DEVICE_HUNG (0x887A0006) after 1500 ms"},
      {1, "DXGI_ERROR_DEVICE_HUNG (0x887A0006) after 1500 ms"},
      {kDxgiErrorDeviceRemoved, "DXGI_ERROR_DEVICE_REMOVED (0x887A0005) after 1500 ms"},
      {hr(0x8007000E), "HRESULT (0x8007000E) after 1500 ms"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(d3d11_hang_failure(c.removed), (GpuFailure{"gpuDeviceRemoved", c.detail}));
  }
}

}  // namespace d3d11_result_test
}  // namespace kestrune
