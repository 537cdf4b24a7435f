#include "gpu/vulkan_device_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "gpu/dispatch.h"

namespace kestrune {
namespace vulkan_device_info_test {

constexpr VkDeviceSize kGiB = VkDeviceSize{1} << 30;

// A physical device as the driver reports it: type, name, heaps and the compute limits.
struct Device {
  const char* name;
  VkPhysicalDeviceType type;
  std::vector<std::pair<VkDeviceSize, bool>> heaps;  // size, device-local
  uint32_t invocations = 1024;
  uint32_t group_size_x = 1024;
  uint32_t group_count_x = 65535;
};

AdapterInfo describe(const Device& d) {
  VkPhysicalDeviceProperties props{};
  std::strncpy(props.deviceName, d.name, VK_MAX_PHYSICAL_DEVICE_NAME_SIZE - 1);
  props.deviceType = d.type;
  props.vendorID = 0x1002;
  props.limits.maxComputeWorkGroupInvocations = d.invocations;
  props.limits.maxComputeWorkGroupSize[0] = d.group_size_x;
  props.limits.maxComputeWorkGroupCount[0] = d.group_count_x;
  VkPhysicalDeviceMemoryProperties mem{};
  for (const auto& [size, local] : d.heaps) {
    const VkMemoryHeapFlags flags = local ? VkMemoryHeapFlags{VK_MEMORY_HEAP_DEVICE_LOCAL_BIT} : 0u;
    mem.memoryHeaps[mem.memoryHeapCount++] = {size, flags};
  }
  return describe_vulkan_device(props, mem);
}

constexpr auto kDiscrete = VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU;
constexpr auto kIntegrated = VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU;
constexpr auto kVirtual = VK_PHYSICAL_DEVICE_TYPE_VIRTUAL_GPU;
constexpr auto kCpu = VK_PHYSICAL_DEVICE_TYPE_CPU;
constexpr auto kOther = VK_PHYSICAL_DEVICE_TYPE_OTHER;

// An integrated GPU whose one heap is a large share of system memory, as Mesa reports it.
const Device kIgpu{"Integrated Graphics (ADL GT2)", kIntegrated, {{24 * kGiB, true}}};
const Device kDgpu8{"Discrete 8G", kDiscrete, {{8 * kGiB, true}, {32 * kGiB, false}}};
const Device kDgpu12{"Discrete 12G", kDiscrete, {{12 * kGiB, true}, {256 << 20, true}}};
const Device kVgpu{"Virtual GPU", kVirtual, {{32 * kGiB, true}}};
const Device kCpuDev{"llvmpipe (LLVM 15.0.6, 256 bits)", kCpu, {{64 * kGiB, true}}};
const Device kOtherDev{"Other Device", kOther, {{64 * kGiB, true}}};
const Device kSmallGroups{"Discrete 16G, 128 threads", kDiscrete, {{16 * kGiB, true}}, 128, 128};
const Device kNarrowX{"Discrete 16G, narrow x", kDiscrete, {{16 * kGiB, true}}, 1024, 128};
const Device kFewGroups{"Discrete 16G, 1024 groups", kDiscrete, {{16 * kGiB, true}}, 1024, 1024,
                        1024};

TEST(VulkanDeviceChoice, KindFirstThenMemoryHintFirstUnusableSkipped) {
  struct Case {
    const char* what;
    std::vector<Device> devices;
    std::optional<std::string> hint;
    std::optional<size_t> refused;   // the shipped rule: no CPU device
    std::optional<size_t> accepted;  // the software test build
  } cases[] = {
      {"hybrid laptop: discrete beats a bigger integrated heap", {kIgpu, kDgpu8}, {}, 1, 1},
      {"hybrid laptop, hint names the integrated GPU", {kDgpu8, kIgpu}, "adl", 1, 1},
      {"two discrete cards: more device-local memory", {kDgpu8, kDgpu12}, {}, 1, 1},
      {"two discrete cards: host heap does not count", {kDgpu12, kDgpu8}, {}, 0, 0},
      {"discrete + virtual", {kVgpu, kDgpu8}, {}, 1, 1},
      {"virtual before other", {kOtherDev, kVgpu}, {}, 1, 1},
      {"software only", {kCpuDev}, {}, std::nullopt, 0},
      {"software last even when accepted", {kCpuDev, kOtherDev}, {}, 1, 1},
      {"integrated + software", {kCpuDev, kIgpu}, {}, 1, 1},
      {"too few threads per group: skipped", {kSmallGroups, kIgpu}, {}, 1, 1},
      {"group too narrow along x: skipped", {kNarrowX, kIgpu}, {}, 1, 1},
      {"too few groups: skipped", {kFewGroups, kIgpu}, {}, 1, 1},
      {"hint naming an unusable device", {kSmallGroups, kIgpu}, "128 threads", 1, 1},
      {"nothing usable", {kSmallGroups, kFewGroups}, {}, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    std::vector<AdapterInfo> infos;
    for (const Device& d : c.devices) infos.push_back(describe(d));
    EXPECT_EQ(choose_adapter(infos, c.hint, SoftwareAdapters::Refused), c.refused) << c.what;
    EXPECT_EQ(choose_adapter(infos, c.hint, SoftwareAdapters::Accepted), c.accepted) << c.what;
  }
}

TEST(VulkanDeviceChoice, DescribesNameMemoryAndLimitsExactly) {
  const AdapterInfo d = describe(kDgpu12);
  EXPECT_EQ(d.name, "Discrete 12G");
  EXPECT_EQ(d.dedicated_video_memory, 12 * kGiB + (256 << 20));
  EXPECT_EQ(d.kind, AdapterKind::Discrete);
  EXPECT_FALSE(d.software);
  EXPECT_TRUE(describe(kCpuDev).software);
  // The limits exactly at what the dispatch uses are enough; one less of any is not.
  const Device exact{"Exact", kDiscrete, {}, kGroupThreads, kGroupThreads, kDispatchGroups};
  EXPECT_TRUE(describe(exact).usable);
  for (uint32_t Device::*limit : {&Device::invocations, &Device::group_size_x,
                                  &Device::group_count_x}) {
    Device short_one = exact;
    short_one.*limit -= 1;
    EXPECT_FALSE(describe(short_one).usable);
  }
}

}  // namespace vulkan_device_info_test
}  // namespace kestrune
