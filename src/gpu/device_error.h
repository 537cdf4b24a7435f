#pragma once
// How a failing Direct3D call is named in reports. HRESULTs travel as int32_t so that this
// stays free of platform headers.

#include <cstdint>
#include <string>

namespace kestrune {

inline constexpr int32_t kDxgiErrorDeviceRemoved = static_cast<int32_t>(0x887A0005u);
inline constexpr int32_t kDxgiErrorDeviceHung = static_cast<int32_t>(0x887A0006u);
inline constexpr int32_t kDxgiErrorDeviceReset = static_cast<int32_t>(0x887A0007u);
inline constexpr int32_t kDxgiErrorDriverInternalError = static_cast<int32_t>(0x887A0020u);

/// A dispatch still incomplete this long counts as a hung device.
inline constexpr uint32_t kDispatchHangLimitMs = 1500;
inline constexpr uint64_t kDispatchHangLimitNs = uint64_t{kDispatchHangLimitMs} * 1'000'000;

/// A GPU failure as the supervisor receives it.
struct GpuFailure {
  std::string code;    // always "gpuDeviceRemoved" for device errors
  std::string detail;  // e.g. "DXGI_ERROR_DEVICE_REMOVED (0x887A0005)"
  bool operator==(const GpuFailure&) const = default;
};

/// The table name of one of the four device-loss codes, or "HRESULT" for any other code.
const char* device_error_name(int32_t code);

/// "0x" and the code as eight upper-case hexadecimal digits.
std::string hresult_hex(int32_t code);

/// Names a failed call: the device's removal reason when it is a failure among the four
/// known codes, the call's own result otherwise. `removed_reason` is what
/// GetDeviceRemovedReason returned just now.
GpuFailure describe_device_error(int32_t removed_reason, int32_t call_result);

/// A dispatch that did not complete within the hang limit: the removal reason when it is a
/// failure (any code), DXGI_ERROR_DEVICE_HUNG otherwise, followed by " after 1500 ms".
GpuFailure hang_failure(int32_t removed_reason);

}  // namespace kestrune
