#include <signal.h>
#include <sys/prctl.h>

#include "os/probes.h"

namespace kestrune::os {

// The kill-on-close job's analogue: the parent arranged for this process to be killed
// when it dies.
JobAnswer probe_job() {
  int sig = 0;
  if (prctl(PR_GET_PDEATHSIG, &sig, 0, 0, 0) != 0) return JobAnswer::QueryFailed;
  return sig == SIGKILL ? JobAnswer::Yes : JobAnswer::No;
}

}  // namespace kestrune::os
