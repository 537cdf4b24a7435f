#pragma once
// The Vulkan entry points the GPU engine uses, loaded at run time: the program has no
// link-time dependency on the Vulkan loader, and a machine without one just has no GPU load.

#ifndef VK_NO_PROTOTYPES
#define VK_NO_PROTOTYPES
#endif
#include <vulkan/vulkan.h>

namespace kestrune {

#define KL_VK_GLOBAL_FUNCTIONS(X) X(vkCreateInstance)

#define KL_VK_INSTANCE_FUNCTIONS(X)          \
  X(vkDestroyInstance)                       \
  X(vkEnumeratePhysicalDevices)              \
  X(vkGetPhysicalDeviceProperties)           \
  X(vkGetPhysicalDeviceMemoryProperties)     \
  X(vkGetPhysicalDeviceQueueFamilyProperties) \
  X(vkCreateDevice)                          \
  X(vkGetDeviceProcAddr)

#define KL_VK_DEVICE_FUNCTIONS(X)   \
  X(vkDestroyDevice)                \
  X(vkGetDeviceQueue)               \
  X(vkCreateBuffer)                 \
  X(vkDestroyBuffer)                \
  X(vkGetBufferMemoryRequirements)  \
  X(vkAllocateMemory)               \
  X(vkFreeMemory)                   \
  X(vkBindBufferMemory)             \
  X(vkMapMemory)                    \
  X(vkUnmapMemory)                  \
  X(vkCreateShaderModule)           \
  X(vkDestroyShaderModule)          \
  X(vkCreateDescriptorSetLayout)    \
  X(vkDestroyDescriptorSetLayout)   \
  X(vkCreatePipelineLayout)         \
  X(vkDestroyPipelineLayout)        \
  X(vkCreateComputePipelines)       \
  X(vkDestroyPipeline)              \
  X(vkCreateDescriptorPool)         \
  X(vkDestroyDescriptorPool)        \
  X(vkAllocateDescriptorSets)       \
  X(vkUpdateDescriptorSets)         \
  X(vkCreateCommandPool)            \
  X(vkDestroyCommandPool)           \
  X(vkAllocateCommandBuffers)       \
  X(vkBeginCommandBuffer)           \
  X(vkEndCommandBuffer)             \
  X(vkCmdBindPipeline)              \
  X(vkCmdBindDescriptorSets)        \
  X(vkCmdDispatch)                  \
  X(vkCmdPipelineBarrier)           \
  X(vkInvalidateMappedMemoryRanges) \
  X(vkCreateFence)                  \
  X(vkDestroyFence)                 \
  X(vkResetFences)                  \
  X(vkGetFenceStatus)               \
  X(vkWaitForFences)                \
  X(vkQueueSubmit)

#define KL_VK_DECLARE(name) PFN_##name name = nullptr;

/// One table per GPU thread; filled in three stages as the instance and device appear.
struct VulkanApi {
  PFN_vkGetInstanceProcAddr vkGetInstanceProcAddr = nullptr;
  KL_VK_GLOBAL_FUNCTIONS(KL_VK_DECLARE)
  KL_VK_INSTANCE_FUNCTIONS(KL_VK_DECLARE)
  KL_VK_DEVICE_FUNCTIONS(KL_VK_DECLARE)
};

#undef KL_VK_DECLARE

/// The opened loader library; closing it is the last thing the GPU thread's clean-up does.
class VulkanLibrary {
 public:
  VulkanLibrary() = default;
  VulkanLibrary(const VulkanLibrary&) = delete;
  VulkanLibrary& operator=(const VulkanLibrary&) = delete;
  ~VulkanLibrary();

  /// Opens libvulkan.so.1 and fills the global entry points. False when the library or any
  /// of them is missing.
  bool open(VulkanApi& api);

  /// Leaves the library loaded for the rest of the process: a driver that may still run
  /// work must keep its code.
  void keep_loaded() { handle_ = nullptr; }

 private:
  void* handle_ = nullptr;
};

/// Fills the instance-level entry points; false when any is missing.
bool load_instance_functions(VulkanApi& api, VkInstance instance);

/// Fills the device-level entry points; false when any is missing.
bool load_device_functions(VulkanApi& api, VkDevice device);

}  // namespace kestrune
