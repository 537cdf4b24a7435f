#include <unistd.h>

#include "os/handle.h"

namespace kestrune::os {

void close_raw_handle(RawHandle h) {
  if (h >= 0) (void)::close(static_cast<int>(h));
}

}  // namespace kestrune::os
