#pragma once
// What the device choice knows about one Vulkan physical device.

#include "gpu/adapter_choice.h"
#include "gpu/vulkan_api.h"

namespace kestrune {

/// The device's name (trimmed), vendor, kind (from its device type; a CPU device counts as
/// software), the sum of its device-local heaps, and whether it can run the load at all: a
/// group of kGroupThreads threads and kDispatchGroups groups along x, which the device's
/// limits may not allow (128 threads is all a device must support).
AdapterInfo describe_vulkan_device(const VkPhysicalDeviceProperties& props,
                                   const VkPhysicalDeviceMemoryProperties& mem);

}  // namespace kestrune
