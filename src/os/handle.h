#pragma once
// The owning wrapper for operating-system handles: closed exactly once, by their owner.
// Header-only, so that the tools beside the program can hold their handles the same way.

#include <cstdint>
#include <utility>

namespace kestrune::os {

/// Owns one handle and closes it on destruction. `Traits` names the handle type
/// (`Traits::Raw`), the value held when there is none (`Traits::none()`), which values
/// are handles (`Traits::valid`) and how one is closed (`Traits::close`, failure ignored).
/// Move-only.
template <class Traits>
class BasicUniqueHandle {
 public:
  using Raw = typename Traits::Raw;

  BasicUniqueHandle() = default;
  explicit BasicUniqueHandle(Raw h) : h_(h) {}
  BasicUniqueHandle(const BasicUniqueHandle&) = delete;
  BasicUniqueHandle& operator=(const BasicUniqueHandle&) = delete;
  BasicUniqueHandle(BasicUniqueHandle&& o) noexcept : h_(std::exchange(o.h_, Traits::none())) {}
  BasicUniqueHandle& operator=(BasicUniqueHandle&& o) noexcept {
    if (this != &o) reset(std::exchange(o.h_, Traits::none()));
    return *this;
  }
  ~BasicUniqueHandle() { reset(); }

  Raw get() const { return h_; }
  bool valid() const { return Traits::valid(h_); }
  /// Gives up ownership without closing (for handles the process keeps to its end).
  Raw release() { return std::exchange(h_, Traits::none()); }
  /// Closes the held handle and takes `h` instead.
  void reset(Raw h = Traits::none()) {
    Raw old = std::exchange(h_, h);
    if (Traits::valid(old)) Traits::close(old);
  }
  /// Closes the held handle and returns the slot, for a call that writes a new one into it.
  Raw* put() {
    reset();
    return &h_;
  }

 private:
  Raw h_ = Traits::none();
};

/// Raw handle value inside the OS layer: a HANDLE on Windows, a file descriptor on POSIX.
using RawHandle = intptr_t;
inline constexpr RawHandle kNoHandle = -1;

/// Closes a raw handle; failure is ignored.
void close_raw_handle(RawHandle h);

struct RawHandleTraits {
  using Raw = RawHandle;
  static constexpr Raw none() { return kNoHandle; }
  static constexpr bool valid(Raw h) { return h != kNoHandle; }
  static void close(Raw h) { close_raw_handle(h); }
};

/// The OS layer's handle.
using UniqueHandle = BasicUniqueHandle<RawHandleTraits>;

}  // namespace kestrune::os
