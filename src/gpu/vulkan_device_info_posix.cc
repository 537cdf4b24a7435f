#include "gpu/vulkan_device_info.h"

#include <cstring>

#include "gpu/gpu_device.h"
#include "util/unicode_text.h"

namespace kestrune {
namespace {

AdapterKind kind_of(VkPhysicalDeviceType type) {
  switch (type) {
    case VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU: return AdapterKind::Discrete;
    case VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU: return AdapterKind::Integrated;
    case VK_PHYSICAL_DEVICE_TYPE_VIRTUAL_GPU: return AdapterKind::Virtual;
    case VK_PHYSICAL_DEVICE_TYPE_CPU: return AdapterKind::Cpu;
    default: return AdapterKind::Other;
  }
}

}  // namespace

AdapterInfo describe_vulkan_device(const VkPhysicalDeviceProperties& props,
                                   const VkPhysicalDeviceMemoryProperties& mem) {
  AdapterInfo info;
  const size_t len = strnlen(props.deviceName, VK_MAX_PHYSICAL_DEVICE_NAME_SIZE);
  info.name = trim_unicode_white_space(std::string_view(props.deviceName, len));
  for (uint32_t i = 0; i < mem.memoryHeapCount && i < VK_MAX_MEMORY_HEAPS; ++i) {
    if (mem.memoryHeaps[i].flags & VK_MEMORY_HEAP_DEVICE_LOCAL_BIT) {
      info.dedicated_video_memory += mem.memoryHeaps[i].size;
    }
  }
  info.vendor_id = props.vendorID;
  info.kind = kind_of(props.deviceType);
  info.software = info.kind == AdapterKind::Cpu;
  const VkPhysicalDeviceLimits& limits = props.limits;
  info.usable = limits.maxComputeWorkGroupInvocations >= kGroupThreads &&
                limits.maxComputeWorkGroupSize[0] >= kGroupThreads &&
                limits.maxComputeWorkGroupCount[0] >= kDispatchGroups;
  return info;
}

}  // namespace kestrune
