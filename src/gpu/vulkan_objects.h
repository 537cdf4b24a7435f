#pragma once
// Ownership of a set-up's Vulkan objects: each is registered with its destroy call as it
// is created, and all are destroyed exactly once, in reverse order of creation.

#include <cstddef>
#include <functional>
#include <vector>

namespace kestrune {

class VulkanObjects {
 public:
  VulkanObjects() = default;
  VulkanObjects(const VulkanObjects&) = delete;
  VulkanObjects& operator=(const VulkanObjects&) = delete;
  ~VulkanObjects() { destroy_all(); }

  /// Takes ownership of the object just created; `what` names it for tests.
  void add(const char* what, std::function<void()> destroy);
  /// Destroys every object, the newest first. Safe to call again.
  void destroy_all();
  /// Lets go of every object without destroying it: for work that may still be running on
  /// them, which must not lose its objects. They stay counted as live.
  void abandon();
  /// The names of the objects held, in creation order.
  std::vector<const char*> names() const;

  /// Called with each object's name just before it is destroyed (tests watch the order).
  std::function<void(const char*)> on_destroy;

 private:
  struct Entry {
    const char* what;
    std::function<void()> destroy;
  };
  std::vector<Entry> entries_;
};

/// How many objects all VulkanObjects of the process hold right now (for leak tests).
size_t vulkan_live_objects();

}  // namespace kestrune
