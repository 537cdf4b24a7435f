#include <cstring>

#include "gpu/constant_block.h"
#include "gpu/vulkan_device_info.h"
#include "gpu/vulkan_pipeline.h"
#include "gpu/vulkan_result.h"
#include "gpu/vulkan_shader.h"
#include "protocol/error_codes.h"

namespace kestrune {
namespace {

constexpr VkDeviceSize kOutputBytes = 4096 * 16;

std::optional<uint32_t> compute_queue_family(const VulkanApi& vk, VkPhysicalDevice gpu) {
  uint32_t count = 0;
  vk.vkGetPhysicalDeviceQueueFamilyProperties(gpu, &count, nullptr);
  std::vector<VkQueueFamilyProperties> families(count);
  vk.vkGetPhysicalDeviceQueueFamilyProperties(gpu, &count, families.data());
  for (uint32_t i = 0; i < count && i < families.size(); ++i) {
    if ((families[i].queueFlags & VK_QUEUE_COMPUTE_BIT) && families[i].queueCount > 0) return i;
  }
  return std::nullopt;
}

// The first memory type allowed by `bits` that has all of `required`, preferring one that
// also has `preferred`.
std::optional<uint32_t> memory_type(const VkPhysicalDeviceMemoryProperties& mem, uint32_t bits,
                                    VkMemoryPropertyFlags required,
                                    VkMemoryPropertyFlags preferred) {
  std::optional<uint32_t> fallback;
  for (uint32_t i = 0; i < mem.memoryTypeCount && i < VK_MAX_MEMORY_TYPES; ++i) {
    const VkMemoryPropertyFlags flags = mem.memoryTypes[i].propertyFlags;
    if (!(bits & (1u << i)) || (flags & required) != required) continue;
    if ((flags & preferred) == preferred) return i;
    if (!fallback) fallback = i;
  }
  return fallback;
}

// Builds one set-up step by step; every object goes into the set-up's VulkanObjects as soon
// as it exists.
class Builder {
 public:
  Builder(VulkanSetup& s, VulkanPipeline& p) : s_(s), vk_(s.api), p_(p) {}

  Result<void> run(const std::optional<std::string>& hint, SoftwareAdapters software) {
    if (!s_.library.open(s_.api)) return fail(error_code::kNoAdapter);
    if (!create_instance()) return fail(error_code::kNoAdapter);
    std::vector<VkPhysicalDevice> gpus = enumerate();
    s_.chosen = choose_adapter(s_.adapters, hint, software);
    if (!s_.chosen) return fail(error_code::kNoAdapter);
    gpu_ = gpus[*s_.chosen];
    vk_.vkGetPhysicalDeviceMemoryProperties(gpu_, &mem_);
    const std::optional<uint32_t> family = compute_queue_family(vk_, gpu_);
    if (!family || !create_device(*family)) return fail(error_code::kNoAdapter);
    KL_TRY(create_layouts());
    KL_TRY(create_shader_pipeline());
    KL_TRY(create_buffers());
    KL_TRY(create_descriptors());
    KL_TRY(create_commands(*family));
    return {};
  }

 private:
  // Every set-up failure after the device exists is reported by its code alone.
  Result<void> failed(VkResult r) const {
    return fail(describe_vulkan_error(r == VK_ERROR_DEVICE_LOST, r).code);
  }

  bool create_instance() {
    VkApplicationInfo app{};
    app.sType = VK_STRUCTURE_TYPE_APPLICATION_INFO;
    app.pApplicationName = "kestrune-load";
    app.apiVersion = VK_API_VERSION_1_0;
    VkInstanceCreateInfo info{};
    info.sType = VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO;
    info.pApplicationInfo = &app;
    VkInstance instance = VK_NULL_HANDLE;
    if (vk_.vkCreateInstance(&info, nullptr, &instance) != VK_SUCCESS || !instance) return false;
    // Registered only once its entry points, its destroy call among them, are loaded; a
    // loader missing any of them gets its instance back at once.
    const bool loaded = load_instance_functions(s_.api, instance);
    if (!loaded) {
      auto destroy = reinterpret_cast<PFN_vkDestroyInstance>(
          vk_.vkGetInstanceProcAddr(instance, "vkDestroyInstance"));
      if (destroy) destroy(instance, nullptr);
      return false;
    }
    instance_ = instance;
    s_.objects.add("instance", [&vk = vk_, instance] { vk.vkDestroyInstance(instance, nullptr); });
    return true;
  }

  std::vector<VkPhysicalDevice> enumerate() {
    // Devices past the first 16 are never looked at (the call then answers VK_INCOMPLETE).
    std::vector<VkPhysicalDevice> gpus(kMaxAdapters);
    uint32_t count = static_cast<uint32_t>(gpus.size());
    if (vk_.vkEnumeratePhysicalDevices(instance_, &count, gpus.data()) < 0) count = 0;
    gpus.resize(std::min<size_t>(count, kMaxAdapters));
    for (VkPhysicalDevice gpu : gpus) {
      VkPhysicalDeviceProperties props{};
      VkPhysicalDeviceMemoryProperties mem{};
      vk_.vkGetPhysicalDeviceProperties(gpu, &props);
      vk_.vkGetPhysicalDeviceMemoryProperties(gpu, &mem);
      s_.adapters.push_back(describe_vulkan_device(props, mem));
    }
    return gpus;
  }

  bool create_device(uint32_t family) {
    const float priority = 1.0f;
    VkDeviceQueueCreateInfo queue{};
    queue.sType = VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO;
    queue.queueFamilyIndex = family;
    queue.queueCount = 1;
    queue.pQueuePriorities = &priority;
    VkDeviceCreateInfo info{};
    info.sType = VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO;
    info.queueCreateInfoCount = 1;
    info.pQueueCreateInfos = &queue;
    VkDevice device = VK_NULL_HANDLE;
    if (vk_.vkCreateDevice(gpu_, &info, nullptr, &device) != VK_SUCCESS || !device) return false;
    const bool loaded = load_device_functions(s_.api, device);
    if (!loaded) {
      auto destroy =
          reinterpret_cast<PFN_vkDestroyDevice>(vk_.vkGetDeviceProcAddr(device, "vkDestroyDevice"));
      if (destroy) destroy(device, nullptr);
      return false;
    }
    s_.objects.add("device", [&vk = vk_, device] { vk.vkDestroyDevice(device, nullptr); });
    p_.api = &s_.api;
    p_.device = device;
    vk_.vkGetDeviceQueue(device, family, 0, &p_.queue);
    return p_.queue != VK_NULL_HANDLE;
  }

  Result<void> create_layouts() {
    VkDescriptorSetLayoutBinding bindings[2]{};
    bindings[0].binding = 0;
    bindings[0].descriptorType = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
    bindings[0].descriptorCount = 1;
    bindings[0].stageFlags = VK_SHADER_STAGE_COMPUTE_BIT;
    bindings[1].binding = 1;
    bindings[1].descriptorType = VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER;
    bindings[1].descriptorCount = 1;
    bindings[1].stageFlags = VK_SHADER_STAGE_COMPUTE_BIT;
    VkDescriptorSetLayoutCreateInfo set_info{};
    set_info.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO;
    set_info.bindingCount = 2;
    set_info.pBindings = bindings;
    VkResult r = vk_.vkCreateDescriptorSetLayout(p_.device, &set_info, nullptr, &set_layout_);
    if (r != VK_SUCCESS) return failed(r);
    s_.objects.add("descriptor set layout", [&vk = vk_, d = p_.device, l = set_layout_] {
      vk.vkDestroyDescriptorSetLayout(d, l, nullptr);
    });

    VkPipelineLayoutCreateInfo layout_info{};
    layout_info.sType = VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO;
    layout_info.setLayoutCount = 1;
    layout_info.pSetLayouts = &set_layout_;
    r = vk_.vkCreatePipelineLayout(p_.device, &layout_info, nullptr, &pipeline_layout_);
    if (r != VK_SUCCESS) return failed(r);
    s_.objects.add("pipeline layout", [&vk = vk_, d = p_.device, l = pipeline_layout_] {
      vk.vkDestroyPipelineLayout(d, l, nullptr);
    });
    return {};
  }

  Result<void> create_shader_pipeline() {
    const std::span<const uint32_t> code = load_shader_spirv();
    VkShaderModuleCreateInfo module_info{};
    module_info.sType = VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO;
    module_info.codeSize = code.size_bytes();
    module_info.pCode = code.data();
    VkShaderModule module = VK_NULL_HANDLE;
    if (vk_.vkCreateShaderModule(p_.device, &module_info, nullptr, &module) != VK_SUCCESS) {
      return fail(error_code::kCompile);
    }
    s_.objects.add("shader module", [&vk = vk_, d = p_.device, module] {
      vk.vkDestroyShaderModule(d, module, nullptr);
    });

    VkComputePipelineCreateInfo info{};
    info.sType = VK_STRUCTURE_TYPE_COMPUTE_PIPELINE_CREATE_INFO;
    info.stage.sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO;
    info.stage.stage = VK_SHADER_STAGE_COMPUTE_BIT;
    info.stage.module = module;
    info.stage.pName = "main";
    info.layout = pipeline_layout_;
    if (vk_.vkCreateComputePipelines(p_.device, VK_NULL_HANDLE, 1, &info, nullptr, &pipeline_) !=
        VK_SUCCESS) {
      return fail(error_code::kCompile);
    }
    s_.objects.add("pipeline", [&vk = vk_, d = p_.device, pl = pipeline_] {
      vk.vkDestroyPipeline(d, pl, nullptr);
    });
    return {};
  }

  // A buffer with memory of its own, bound; `flags` tells what the memory became.
  Result<void> create_buffer(const char* what, const char* memory_what, VkDeviceSize size,
                             VkBufferUsageFlags usage, VkMemoryPropertyFlags required,
                             VkMemoryPropertyFlags preferred, VkBuffer& buffer,
                             VkDeviceMemory& memory, VkMemoryPropertyFlags& flags) {
    VkBufferCreateInfo info{};
    info.sType = VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO;
    info.size = size;
    info.usage = usage;
    info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
    VkResult r = vk_.vkCreateBuffer(p_.device, &info, nullptr, &buffer);
    if (r != VK_SUCCESS) return failed(r);
    s_.objects.add(what, [&vk = vk_, d = p_.device, buffer] {
      vk.vkDestroyBuffer(d, buffer, nullptr);
    });

    VkMemoryRequirements req{};
    vk_.vkGetBufferMemoryRequirements(p_.device, buffer, &req);
    const std::optional<uint32_t> type = memory_type(mem_, req.memoryTypeBits, required, preferred);
    if (!type) return failed(VK_ERROR_OUT_OF_DEVICE_MEMORY);
    flags = mem_.memoryTypes[*type].propertyFlags;
    VkMemoryAllocateInfo alloc{};
    alloc.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
    alloc.allocationSize = req.size;
    alloc.memoryTypeIndex = *type;
    r = vk_.vkAllocateMemory(p_.device, &alloc, nullptr, &memory);
    if (r != VK_SUCCESS) return failed(r);
    s_.objects.add(memory_what, [&vk = vk_, d = p_.device, memory] {
      vk.vkFreeMemory(d, memory, nullptr);
    });
    r = vk_.vkBindBufferMemory(p_.device, buffer, memory, 0);
    if (r != VK_SUCCESS) return failed(r);
    return {};
  }

  Result<void> create_buffers() {
    // Out lives in device memory; it is never read back by the program.
    VkMemoryPropertyFlags flags = 0;
    KL_TRY(create_buffer("output buffer", "output memory", kOutputBytes,
                         VK_BUFFER_USAGE_STORAGE_BUFFER_BIT, 0, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT,
                         out_, p_.out_memory, flags));
    p_.out_host_visible = (flags & VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT) != 0;
    p_.out_host_coherent = (flags & VK_MEMORY_PROPERTY_HOST_COHERENT_BIT) != 0;

    // P stays mapped: an upload is one copy, made visible to the GPU by the next submit.
    VkDeviceMemory p_memory = VK_NULL_HANDLE;
    const VkMemoryPropertyFlags host =
        VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
    KL_TRY(create_buffer("constant buffer", "constant memory", kConstantBlockBytes,
                         VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT, host, 0, p_buffer_, p_memory, flags));
    const VkResult r = vk_.vkMapMemory(p_.device, p_memory, 0, VK_WHOLE_SIZE, 0, &p_.p_mapped);
    if (r != VK_SUCCESS) return failed(r);
    if (!p_.p_mapped) return failed(VK_ERROR_MEMORY_MAP_FAILED);
    s_.objects.add("constant buffer mapping", [&vk = vk_, d = p_.device, p_memory] {
      vk.vkUnmapMemory(d, p_memory);
    });
    p_.upload_iters(kInitialIters);
    return {};
  }

  Result<void> create_descriptors() {
    VkDescriptorPoolSize sizes[2]{};
    sizes[0].type = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
    sizes[0].descriptorCount = 1;
    sizes[1].type = VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER;
    sizes[1].descriptorCount = 1;
    VkDescriptorPoolCreateInfo pool_info{};
    pool_info.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO;
    pool_info.maxSets = 1;
    pool_info.poolSizeCount = 2;
    pool_info.pPoolSizes = sizes;
    VkDescriptorPool pool = VK_NULL_HANDLE;
    VkResult r = vk_.vkCreateDescriptorPool(p_.device, &pool_info, nullptr, &pool);
    if (r != VK_SUCCESS) return failed(r);
    s_.objects.add("descriptor pool", [&vk = vk_, d = p_.device, pool] {
      vk.vkDestroyDescriptorPool(d, pool, nullptr);
    });

    VkDescriptorSetAllocateInfo alloc{};
    alloc.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO;
    alloc.descriptorPool = pool;
    alloc.descriptorSetCount = 1;
    alloc.pSetLayouts = &set_layout_;
    r = vk_.vkAllocateDescriptorSets(p_.device, &alloc, &set_);  // freed with the pool
    if (r != VK_SUCCESS) return failed(r);

    VkDescriptorBufferInfo out_info{out_, 0, VK_WHOLE_SIZE};
    VkDescriptorBufferInfo p_info{p_buffer_, 0, VK_WHOLE_SIZE};
    VkWriteDescriptorSet writes[2]{};
    for (VkWriteDescriptorSet& w : writes) {
      w.sType = VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET;
      w.dstSet = set_;
      w.descriptorCount = 1;
    }
    writes[0].dstBinding = 0;
    writes[0].descriptorType = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
    writes[0].pBufferInfo = &out_info;
    writes[1].dstBinding = 1;
    writes[1].descriptorType = VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER;
    writes[1].pBufferInfo = &p_info;
    vk_.vkUpdateDescriptorSets(p_.device, 2, writes, 0, nullptr);
    return {};
  }

  // Recorded once: each dispatch is one resubmission of the same command buffer.
  Result<void> create_commands(uint32_t family) {
    VkCommandPoolCreateInfo pool_info{};
    pool_info.sType = VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO;
    pool_info.queueFamilyIndex = family;
    VkCommandPool pool = VK_NULL_HANDLE;
    VkResult r = vk_.vkCreateCommandPool(p_.device, &pool_info, nullptr, &pool);
    if (r != VK_SUCCESS) return failed(r);
    s_.objects.add("command pool", [&vk = vk_, d = p_.device, pool] {
      vk.vkDestroyCommandPool(d, pool, nullptr);
    });

    VkCommandBufferAllocateInfo alloc{};
    alloc.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO;
    alloc.commandPool = pool;
    alloc.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    alloc.commandBufferCount = 1;
    r = vk_.vkAllocateCommandBuffers(p_.device, &alloc, &p_.commands);  // freed with the pool
    if (r != VK_SUCCESS) return failed(r);

    VkCommandBufferBeginInfo begin{};
    begin.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO;
    r = vk_.vkBeginCommandBuffer(p_.commands, &begin);
    if (r != VK_SUCCESS) return failed(r);
    vk_.vkCmdBindPipeline(p_.commands, VK_PIPELINE_BIND_POINT_COMPUTE, pipeline_);
    vk_.vkCmdBindDescriptorSets(p_.commands, VK_PIPELINE_BIND_POINT_COMPUTE, pipeline_layout_, 0,
                                1, &set_, 0, nullptr);
    vk_.vkCmdDispatch(p_.commands, kDispatchGroups, 1, 1);
    // Makes the shader's writes visible to the host once the fence signals. The program never
    // reads Out, but read_output does, and the barrier costs nothing measurable.
    VkMemoryBarrier to_host{};
    to_host.sType = VK_STRUCTURE_TYPE_MEMORY_BARRIER;
    to_host.srcAccessMask = VK_ACCESS_SHADER_WRITE_BIT;
    to_host.dstAccessMask = VK_ACCESS_HOST_READ_BIT;
    vk_.vkCmdPipelineBarrier(p_.commands, VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT,
                             VK_PIPELINE_STAGE_HOST_BIT, 0, 1, &to_host, 0, nullptr, 0, nullptr);
    r = vk_.vkEndCommandBuffer(p_.commands);
    if (r != VK_SUCCESS) return failed(r);

    VkFenceCreateInfo fence_info{};
    fence_info.sType = VK_STRUCTURE_TYPE_FENCE_CREATE_INFO;
    r = vk_.vkCreateFence(p_.device, &fence_info, nullptr, &p_.fence);
    if (r != VK_SUCCESS) return failed(r);
    s_.objects.add("fence", [&vk = vk_, d = p_.device, f = p_.fence] {
      vk.vkDestroyFence(d, f, nullptr);
    });
    return {};
  }

  VulkanSetup& s_;
  const VulkanApi& vk_;
  VulkanPipeline& p_;
  VkInstance instance_ = VK_NULL_HANDLE;
  VkPhysicalDevice gpu_ = VK_NULL_HANDLE;
  VkPhysicalDeviceMemoryProperties mem_{};
  VkDescriptorSetLayout set_layout_ = VK_NULL_HANDLE;
  VkPipelineLayout pipeline_layout_ = VK_NULL_HANDLE;
  VkPipeline pipeline_ = VK_NULL_HANDLE;
  VkBuffer out_ = VK_NULL_HANDLE;
  VkBuffer p_buffer_ = VK_NULL_HANDLE;
  VkDescriptorSet set_ = VK_NULL_HANDLE;
};

}  // namespace

void VulkanPipeline::note_failure(VkResult r) {
  if (r == VK_ERROR_DEVICE_LOST) lost_ = true;
  if (r < 0 && pending_failure_ == 0) pending_failure_ = r;
}

void VulkanPipeline::upload_iters(uint32_t iters) {
  const auto block = constant_block_bytes(iters);
  std::memcpy(p_mapped, block.data(), block.size());
  iters_in_buffer = iters;
}

void VulkanPipeline::dispatch_end_flush() {
  // Work whose completion was never seen (a stop cut the wait short) still owns the fence;
  // the next poll reports on that work instead.
  if (in_flight_ && api->vkGetFenceStatus(device, fence) != VK_SUCCESS) return;
  VkResult r = api->vkResetFences(device, 1, &fence);
  if (r != VK_SUCCESS) return note_failure(r);
  VkSubmitInfo submit{};
  submit.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO;
  submit.commandBufferCount = 1;
  submit.pCommandBuffers = &commands;
  r = api->vkQueueSubmit(queue, 1, &submit, fence);
  if (r != VK_SUCCESS) return note_failure(r);
  in_flight_ = true;
}

DevicePoll VulkanPipeline::poll() {
  if (pending_failure_ < 0) {
    return DevicePoll::failed(describe_vulkan_error(lost_, pending_failure_));
  }
  if (!in_flight_) return DevicePoll::done();
  const VkResult r = api->vkGetFenceStatus(device, fence);
  if (r == VK_SUCCESS) {
    in_flight_ = false;
    return DevicePoll::done();
  }
  note_failure(r);
  if (r < 0) return DevicePoll::failed(describe_vulkan_error(lost_, r));
  return DevicePoll::pending();  // VK_NOT_READY is no failure
}

GpuFailure VulkanPipeline::hang_failure() { return vulkan_hang_failure(lost_); }

bool VulkanPipeline::settle() {
  if (!in_flight_) return true;
  const VkResult r = api->vkWaitForFences(device, 1, &fence, VK_TRUE, kDispatchHangLimitNs);
  note_failure(r);
  // A lost device runs nothing more. A time-out or any other failure leaves the work's end
  // unknown.
  if (r == VK_SUCCESS || r == VK_ERROR_DEVICE_LOST) in_flight_ = false;
  return !in_flight_;
}

std::optional<std::array<float, 4>> VulkanPipeline::read_output(uint32_t index) {
  if (!out_host_visible || in_flight_ || index >= 4096) return std::nullopt;
  void* mapped = nullptr;
  if (api->vkMapMemory(device, out_memory, 0, VK_WHOLE_SIZE, 0, &mapped) != VK_SUCCESS) {
    return std::nullopt;
  }
  if (!out_host_coherent) {
    VkMappedMemoryRange range{};
    range.sType = VK_STRUCTURE_TYPE_MAPPED_MEMORY_RANGE;
    range.memory = out_memory;
    range.size = VK_WHOLE_SIZE;
    if (api->vkInvalidateMappedMemoryRanges(device, 1, &range) != VK_SUCCESS) {
      api->vkUnmapMemory(device, out_memory);
      return std::nullopt;
    }
  }
  std::array<float, 4> v{};
  std::memcpy(v.data(), static_cast<const char*>(mapped) + 16 * index, sizeof v);
  api->vkUnmapMemory(device, out_memory);
  return v;
}

VulkanSetup::~VulkanSetup() {
  // A hung device gets no longer than the hang limit; then its objects stay in place.
  if (pipeline && !pipeline->settle()) {
    objects.abandon();
    library.keep_loaded();
    return;
  }
  objects.destroy_all();
}

Result<void> open_vulkan(const std::optional<std::string>& hint, SoftwareAdapters software,
                         VulkanSetup& setup) {
  auto pipeline = std::make_unique<VulkanPipeline>();
  Result<void> built = Builder(setup, *pipeline).run(hint, software);
  if (!built.ok()) {
    setup.objects.destroy_all();  // nothing was submitted yet
    return built;
  }
  setup.pipeline = std::move(pipeline);
  return {};
}

GpuSetupResult open_vulkan_setup(const std::optional<std::string>& hint,
                                 SoftwareAdapters software) {
  auto setup = std::make_unique<VulkanSetup>();
  Result<void> status = open_vulkan(hint, software, *setup);
  const AdapterInfo* chosen = setup->chosen ? &setup->adapters[*setup->chosen] : nullptr;
  GpuSetupResult result;
  result.opened = opened_gpu(std::move(status), *setup, chosen);
  result.objects = std::move(setup);
  return result;
}

}  // namespace kestrune
