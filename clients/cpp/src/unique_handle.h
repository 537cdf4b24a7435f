#pragma once
// The client's one owner of operating-system handles: closed exactly once, by their owner.
// `Traits` names the handle type (`Traits::Raw`), the value held when there is none
// (`Traits::none()`), which values are handles (`Traits::valid`) and how one is closed
// (`Traits::close`, failure ignored). Move-only. The helper has the same owner in its own
// sources; the client keeps this copy so that it builds from its own folder alone.

#include <utility>

namespace kestrune::detail {

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
  /// Gives up ownership without closing.
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

}  // namespace kestrune::detail
