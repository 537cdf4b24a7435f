#include "gpu/vulkan_objects.h"

#include <atomic>

namespace kestrune {
namespace {

std::atomic<size_t> g_live{0};

}  // namespace

void VulkanObjects::add(const char* what, std::function<void()> destroy) {
  entries_.push_back({what, std::move(destroy)});
  g_live.fetch_add(1);
}

void VulkanObjects::destroy_all() {
  while (!entries_.empty()) {
    Entry e = std::move(entries_.back());
    entries_.pop_back();
    if (on_destroy) on_destroy(e.what);
    e.destroy();
    g_live.fetch_sub(1);
  }
}

void VulkanObjects::abandon() { entries_.clear(); }

std::vector<const char*> VulkanObjects::names() const {
  std::vector<const char*> out;
  for (const Entry& e : entries_) out.push_back(e.what);
  return out;
}

size_t vulkan_live_objects() { return g_live.load(); }

}  // namespace kestrune
