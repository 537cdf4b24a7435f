#include "os/probes.h"
#include "os/win32.h"

namespace kestrune::os {

// Test builds for Wine only, never shipped: Wine answers every job-limit query with no
// flags, although it does enforce kill-on-close. This stand-in accepts membership in any
// job, which is all Wine can report.
JobAnswer probe_job() {
  BOOL in_job = FALSE;
  if (!IsProcessInJob(GetCurrentProcess(), nullptr, &in_job)) return JobAnswer::QueryFailed;
  return in_job ? JobAnswer::Yes : JobAnswer::No;
}

}  // namespace kestrune::os
