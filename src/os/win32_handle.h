#pragma once
// A kernel HANDLE in the one owning wrapper, for Windows code that works with HANDLE
// directly (the launcher). Header-only.

#include "os/win32.h"

namespace kestrune::os {

/// Null and INVALID_HANDLE_VALUE both mean "no handle": Win32 uses either for failure,
/// depending on the call.
struct Win32HandleTraits {
  using Raw = HANDLE;
  static Raw none() { return nullptr; }
  static bool valid(Raw h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void close(Raw h) { (void)CloseHandle(h); }
};

using UniqueWin32Handle = BasicUniqueHandle<Win32HandleTraits>;

}  // namespace kestrune::os
