#pragma once
// The one place the Windows headers come in for the OS layer.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "os/handle.h"

namespace kestrune::os {
inline HANDLE as_handle(RawHandle h) { return reinterpret_cast<HANDLE>(h); }
inline RawHandle as_raw(HANDLE h) {
  return (h == nullptr || h == INVALID_HANDLE_VALUE) ? kNoHandle : reinterpret_cast<RawHandle>(h);
}
}  // namespace kestrune::os
