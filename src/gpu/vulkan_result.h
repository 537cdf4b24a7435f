#pragma once
// How a failing Vulkan call is named in reports: the same "{name} ({code})" form as the
// Direct3D names, with the VkResult's enumerator name and its decimal value. Results travel
// as int32_t so that this stays free of the Vulkan headers.

#include <cstdint>

#include "gpu/gpu_device.h"

namespace kestrune {

inline constexpr int32_t kVkNotReady = 1;
inline constexpr int32_t kVkTimeout = 2;
inline constexpr int32_t kVkErrorDeviceLost = -4;

/// The enumerator name of a core Vulkan 1.0 result, or "VkResult" for any other value.
const char* vk_result_name(int32_t result);

/// Names a failed call: VK_ERROR_DEVICE_LOST when the device is known to be lost, the
/// call's own result otherwise.
GpuFailure describe_vulkan_error(bool lost, int32_t call_result);

/// A dispatch that did not complete within the hang limit: VK_ERROR_DEVICE_LOST when the
/// device is known to be lost, VK_TIMEOUT otherwise, followed by " after 1500 ms".
GpuFailure vulkan_hang_failure(bool lost);

}  // namespace kestrune
