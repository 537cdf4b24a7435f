#pragma once
// A small owning wrapper for an operating-system handle: closed exactly once, by its owner.

#include <cstdint>
#include <utility>

namespace kestrune::os {

/// Raw handle value: a HANDLE on Windows, a file descriptor on POSIX.
using RawHandle = intptr_t;
inline constexpr RawHandle kNoHandle = -1;

/// Closes a raw handle; failure is ignored.
void close_raw_handle(RawHandle h);

/// Owns one handle and closes it on destruction. Move-only.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(RawHandle h) : h_(h) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& o) noexcept : h_(std::exchange(o.h_, kNoHandle)) {}
  UniqueHandle& operator=(UniqueHandle&& o) noexcept {
    if (this != &o) {
      reset();
      h_ = std::exchange(o.h_, kNoHandle);
    }
    return *this;
  }
  ~UniqueHandle() { reset(); }

  RawHandle get() const { return h_; }
  bool valid() const { return h_ != kNoHandle; }
  /// Gives up ownership without closing (for handles the process keeps to its end).
  RawHandle release() { return std::exchange(h_, kNoHandle); }
  void reset() {
    if (valid()) close_raw_handle(std::exchange(h_, kNoHandle));
  }

 private:
  RawHandle h_ = kNoHandle;
};

}  // namespace kestrune::os
