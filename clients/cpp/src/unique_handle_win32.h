#pragma once
// A kernel HANDLE in the client's handle owner. Null and INVALID_HANDLE_VALUE both mean "no
// handle" (Win32 uses either for failure, depending on the call).

#include <windows.h>

#include "unique_handle.h"

namespace kestrune::detail {

struct Win32HandleTraits {
  using Raw = HANDLE;
  static Raw none() { return nullptr; }
  static bool valid(Raw h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void close(Raw h) { CloseHandle(h); }
};

using UniqueHandle = BasicUniqueHandle<Win32HandleTraits>;

}  // namespace kestrune::detail
