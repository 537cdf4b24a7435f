// Under AddressSanitizer the software Vulkan driver's memory looks leaked once the loader
// unloads the driver at vkDestroyInstance: the driver's own globals that still point at it
// are unmapped with it, so the leak check at exit finds no root. Loading the driver once
// more, never to be unloaded, keeps those roots mapped; a leak of ours is still reported.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KL_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KL_ASAN 1
#endif

#if defined(KL_ASAN) && !defined(_WIN32)
#include <dlfcn.h>

namespace {
[[maybe_unused]] const bool kSoftwareDriverKept =
    dlopen("libvulkan_lvp.so", RTLD_LAZY | RTLD_NODELETE) != nullptr;
}  // namespace
#endif
