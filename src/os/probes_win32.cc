#include "os/probes.h"
#include "os/win32.h"

namespace kestrune::os {

Elevation probe_elevation() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return Elevation::QueryFailed;
  UniqueHandle owned(as_raw(token));
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size))
    return Elevation::QueryFailed;
  return elevation.TokenIsElevated != 0 ? Elevation::Elevated : Elevation::NotElevated;
}

LockAnswer take_instance_lock() {
  HANDLE h = CreateMutexW(nullptr, TRUE, L"Local\\KestruneLoad");
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return LockAnswer::Failed;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    (void)CloseHandle(h);
    return LockAnswer::TakenElsewhere;
  }
  return LockAnswer::Held;  // the handle stays open until the process ends
}

std::unique_ptr<ParentWatch> ParentWatch::open(uint32_t pid) {
  HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (h == nullptr) return nullptr;
  return std::unique_ptr<ParentWatch>(new ParentWatch(reinterpret_cast<intptr_t>(h)));
}

bool ParentWatch::alive() const {
  return WaitForSingleObject(reinterpret_cast<HANDLE>(handle_), 0) == WAIT_TIMEOUT;
}

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

// For the Wine test builds only, never shipped: Wine answers every job-limit query with no
// flags, although it does enforce kill-on-close, so this accepts membership in any job.
JobAnswer probe_job_membership() {
  BOOL in_job = FALSE;
  if (!IsProcessInJob(GetCurrentProcess(), nullptr, &in_job)) return JobAnswer::QueryFailed;
  return in_job ? JobAnswer::Yes : JobAnswer::No;
}

}  // namespace kestrune::os
