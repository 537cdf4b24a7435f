#pragma once
#include <memory>

#include "os/handle.h"

namespace kestrune::os {

/// The process's manual-reset, unnamed stop event: starts non-signalled, once signalled
/// stays signalled. Waited on by every load thread together with its own timer.
class StopEvent {
 public:
  /// Creates the event; null when the system refuses (the program then runs without one).
  static std::unique_ptr<StopEvent> create();
  /// Signals the event; failure is ignored.
  void signal();
  /// True once signalled (a zero-timeout wait).
  bool is_signalled() const;
  RawHandle raw() const { return handle_.get(); }

 private:
  explicit StopEvent(UniqueHandle h) : handle_(std::move(h)) {}
  UniqueHandle handle_;
};

}  // namespace kestrune::os
