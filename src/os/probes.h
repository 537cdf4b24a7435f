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
/// was the parent-death signal set to SIGKILL)? Lives in its own file per build variant.
JobAnswer probe_job();

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
