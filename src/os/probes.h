#pragma once
#include <cstdint>
#include <memory>

namespace kestrune::os {

enum class Elevation { Elevated, NotElevated, QueryFailed };
enum class JobAnswer { Yes, No, QueryFailed };
enum class LockAnswer { Held, TakenElsewhere, Failed };

/// Is the process token elevated (euid 0 on POSIX)?
Elevation probe_elevation();

/// Is the process in a job that kills it when the job's last handle closes (on POSIX:
/// was the parent-death signal set to SIGKILL)?
JobAnswer probe_job();

/// Windows only: is the process in any job at all? The Wine test builds' stand-in for
/// probe_job, as Wine reports no job limits although it enforces kill-on-close.
JobAnswer probe_job_membership();

/// Creates the named single-instance mutex "Local\KestruneLoad" asking for ownership (on
/// POSIX an abstract socket of that name). On Held the handle is kept until the process
/// ends. Call once; the caller caches the answer.
LockAnswer take_instance_lock();

/// A watch on the controller's process, opened with SYNCHRONIZE (a pidfd on POSIX).
/// The handle is never closed: the process end releases it.
class ParentWatch {
 public:
  /// Null when the process cannot be opened.
  static std::unique_ptr<ParentWatch> open(uint32_t pid);
  /// A zero-timeout wait: true while the process runs; false once it ended or the wait fails.
  bool alive() const;

 private:
  explicit ParentWatch(intptr_t h) : handle_(h) {}
  intptr_t handle_;
};

}  // namespace kestrune::os
