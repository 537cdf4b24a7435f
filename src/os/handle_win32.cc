#include "os/win32.h"

namespace kestrune::os {

void close_raw_handle(RawHandle h) {
  if (h != kNoHandle) (void)CloseHandle(as_handle(h));
}

}  // namespace kestrune::os
