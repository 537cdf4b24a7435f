#pragma once
// The Vulkan side of the GPU engine on POSIX systems: device choice, the compute pipeline
// and its set-up. Every object is owned by VulkanObjects and destroyed on the GPU thread.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gpu/adapter_choice.h"
#include "gpu/gpu_device.h"
#include "gpu/gpu_setup.h"
#include "gpu/vulkan_api.h"
#include "gpu/vulkan_objects.h"
#include "util/result.h"

namespace kestrune {

/// The bound compute pipeline: one recorded command buffer (bind, bind, dispatch, barrier)
/// that every dispatch resubmits, a fence to poll, and P in host-coherent memory that stays
/// mapped.
/// Holds handles only; VulkanSetup owns the objects.
class VulkanPipeline final : public GpuDevice {
 public:
  const VulkanApi* api = nullptr;
  VkDevice device = VK_NULL_HANDLE;
  VkQueue queue = VK_NULL_HANDLE;
  VkCommandBuffer commands = VK_NULL_HANDLE;
  VkFence fence = VK_NULL_HANDLE;
  void* p_mapped = nullptr;
  VkDeviceMemory out_memory = VK_NULL_HANDLE;
  bool out_host_visible = false;
  bool out_host_coherent = false;  // otherwise a read must invalidate the mapped range first
  uint32_t iters_in_buffer = kInitialIters;

  uint32_t uploaded_iters() const override { return iters_in_buffer; }
  void upload_iters(uint32_t iters) override;
  void dispatch_end_flush() override;
  DevicePoll poll() override;
  GpuFailure hang_failure() override;
  /// True once any call returned VK_ERROR_DEVICE_LOST.
  bool device_lost() const { return lost_; }

  /// Waits, at most the hang limit, for submitted work to finish: objects it uses may not be
  /// destroyed before. True when nothing is left running; a lost device counts as finished.
  bool settle();

  /// Element `index` of Out when its memory is host-visible (tests check the shader's
  /// result); none otherwise or while work is running.
  std::optional<std::array<float, 4>> read_output(uint32_t index);

 private:
  void note_failure(VkResult r);

  bool in_flight_ = false;
  int32_t pending_failure_ = 0;  // a failed submit, reported by the next poll
  bool lost_ = false;            // once any call returned VK_ERROR_DEVICE_LOST
};

/// Everything a set-up obtained. Destroying it waits (bounded) for running work, destroys
/// every Vulkan object newest first, then closes the loader library. When the work is still
/// running after that wait (a hung dispatch) it destroys nothing and keeps the library
/// loaded: the objects belong to the work until it ends, and the process ends soon after.
struct VulkanSetup final : GpuSetup {
  VulkanLibrary library;
  VulkanApi api;
  std::vector<AdapterInfo> adapters;
  std::optional<size_t> chosen;
  VulkanObjects objects;
  std::unique_ptr<VulkanPipeline> pipeline;

  VulkanSetup() = default;
  VulkanSetup(const VulkanSetup&) = delete;
  VulkanSetup& operator=(const VulkanSetup&) = delete;
  ~VulkanSetup() override;

  GpuDevice* device() override { return pipeline.get(); }
};

/// Sets up the pipeline on the device `hint` selects: loader, instance, the first 16
/// physical devices, choice (software devices as `software` says), a compute queue,
/// device, layouts, shader, Out, P with kInitialIters, descriptors, commands, fence. Fails with
/// "noAdapter", "compile" or "gpuDeviceRemoved", with every Vulkan object made so far
/// already destroyed.
Result<void> open_vulkan(const std::optional<std::string>& hint, SoftwareAdapters software,
                         VulkanSetup& setup);

/// open_vulkan wrapped as the GPU thread's set-up.
GpuSetupResult open_vulkan_setup(const std::optional<std::string>& hint,
                                 SoftwareAdapters software);

}  // namespace kestrune
