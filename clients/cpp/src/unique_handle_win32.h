#pragma once
// Owns one kernel handle and closes it once. Null and INVALID_HANDLE_VALUE both mean "no
// handle" (Win32 uses either for failure, depending on the call). Move-only.

#include <windows.h>

#include <utility>

namespace kestrune::detail {

class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) : h_(h) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& o) noexcept {
    if (this != &o) reset(std::exchange(o.h_, nullptr));
    return *this;
  }
  ~UniqueHandle() { reset(); }

  HANDLE get() const { return h_; }
  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  HANDLE release() { return std::exchange(h_, nullptr); }

  /// Closes the held handle (a failed close is ignored) and takes `h` instead.
  void reset(HANDLE h = nullptr) {
    HANDLE old = std::exchange(h_, h);
    if (old != nullptr && old != INVALID_HANDLE_VALUE) CloseHandle(old);
  }

  /// Closes the held handle and returns the slot for an API that writes a new one into it.
  HANDLE* put() {
    reset();
    return &h_;
  }

 private:
  HANDLE h_ = nullptr;
};

}  // namespace kestrune::detail
