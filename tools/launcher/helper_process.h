#pragma once
// Starting the helper the way its process contract asks: suspended, inside a kill-on-close
// job, with an unelevated token and with the given standard handles.

#include <windows.h>

#include <string>

#include "launcher/unique_handle.h"

namespace kestrune::launcher {

/// How to start the helper. The defaults are the contract; the switches exist so tests can
/// show the helper what a careless controller would give it.
struct HelperOptions {
  std::wstring path;          ///< The helper executable, used as given (no search).
  bool in_job = true;         ///< False: leave the helper outside any job of ours.
  bool keep_token = false;    ///< True: give the helper this process's own (maybe elevated) token.
};

/// The handles the helper receives as its standard streams. All three must be inheritable;
/// they are the only handles the helper inherits where the system honours a handle list.
struct HelperStdio {
  HANDLE input = nullptr;
  HANDLE output = nullptr;
  HANDLE error = nullptr;
};

/// A started, still suspended helper. Dropping `job` kills the helper (kill-on-close).
struct Helper {
  UniqueHandle job;      ///< Absent when started without a job.
  UniqueHandle process;
  UniqueHandle thread;   ///< The primary thread; resume it to let the helper run.
  DWORD pid = 0;
};

/// Starts the helper suspended and, unless `in_job` is off, inside a fresh job whose limits
/// hold JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE. When this process's token is elevated and
/// `keep_token` is off, the helper gets the linked unelevated token. On failure returns
/// false with a one-line reason in `error`; nothing is left running.
bool start_helper_suspended(const HelperOptions& options, const HelperStdio& stdio,
                            Helper& helper, std::string& error);

}  // namespace kestrune::launcher
