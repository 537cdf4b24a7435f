#include "os/probes.h"
#include "os/win32.h"

namespace kestrune::os {

JobAnswer probe_job() {
  BOOL in_job = FALSE;
  if (!IsProcessInJob(GetCurrentProcess(), nullptr, &in_job)) return JobAnswer::QueryFailed;
  if (!in_job) return JobAnswer::No;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
  if (!QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &info, sizeof info,
                                 nullptr))
    return JobAnswer::QueryFailed;
  return (info.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) != 0
             ? JobAnswer::Yes
             : JobAnswer::No;
}

}  // namespace kestrune::os
