#include <dlfcn.h>

#include "gpu/vulkan_api.h"

namespace kestrune {

VulkanLibrary::~VulkanLibrary() {
  if (handle_) dlclose(handle_);
}

bool VulkanLibrary::open(VulkanApi& api) {
  if (!handle_) handle_ = dlopen("libvulkan.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!handle_) return false;
  api.vkGetInstanceProcAddr =
      reinterpret_cast<PFN_vkGetInstanceProcAddr>(dlsym(handle_, "vkGetInstanceProcAddr"));
  if (!api.vkGetInstanceProcAddr) return false;
  bool ok = true;
#define KL_VK_LOAD(name)                                                                 \
  api.name = reinterpret_cast<PFN_##name>(api.vkGetInstanceProcAddr(nullptr, #name)); \
  ok = ok && api.name != nullptr;
  KL_VK_GLOBAL_FUNCTIONS(KL_VK_LOAD)
#undef KL_VK_LOAD
  return ok;
}

bool load_instance_functions(VulkanApi& api, VkInstance instance) {
  bool ok = true;
#define KL_VK_LOAD(name)                                                                  \
  api.name = reinterpret_cast<PFN_##name>(api.vkGetInstanceProcAddr(instance, #name)); \
  ok = ok && api.name != nullptr;
  KL_VK_INSTANCE_FUNCTIONS(KL_VK_LOAD)
#undef KL_VK_LOAD
  return ok;
}

bool load_device_functions(VulkanApi& api, VkDevice device) {
  bool ok = true;
#define KL_VK_LOAD(name)                                                         \
  api.name = reinterpret_cast<PFN_##name>(api.vkGetDeviceProcAddr(device, #name)); \
  ok = ok && api.name != nullptr;
  KL_VK_DEVICE_FUNCTIONS(KL_VK_LOAD)
#undef KL_VK_LOAD
  return ok;
}

}  // namespace kestrune
