#pragma once
// How a failing Direct3D call is named in reports, and what an event query's poll means.
// HRESULTs travel as int32_t so that this stays free of platform headers (and is tested
// on every platform).

#include <cstdint>
#include <string>

#include "gpu/gpu_device.h"

namespace kestrune {

inline constexpr int32_t kDxgiErrorDeviceRemoved = static_cast<int32_t>(0x887A0005u);
inline constexpr int32_t kDxgiErrorDeviceHung = static_cast<int32_t>(0x887A0006u);
inline constexpr int32_t kDxgiErrorDeviceReset = static_cast<int32_t>(0x887A0007u);
inline constexpr int32_t kDxgiErrorDriverInternalError = static_cast<int32_t>(0x887A0020u);

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
GpuFailure d3d11_hang_failure(int32_t removed_reason);

/// What one GetData poll of the event query means: `get_data` is its result (1, "not yet
/// complete", is no failure), `done` the flag it wrote, `removed_reason` what
/// GetDeviceRemovedReason returns after it (read only when the poll failed or is done).
/// A failing poll, or a failing removal reason once the work is done, is Failed.
DevicePoll d3d11_poll(int32_t get_data, bool done, int32_t removed_reason);

}  // namespace kestrune
