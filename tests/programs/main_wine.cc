// Test build for Wine only, never shipped: Wine reports no job limits although it enforces
// kill-on-close, so this build accepts membership in any job.

#include "main/startup.h"

int main() {
  kestrune::ProgramVariant variant;
  variant.probe_job = kestrune::os::probe_job_membership;
  kestrune::run_program(variant);
}
