#pragma once
// A timer source that never has a timer: drives the paths where a load thread cannot get one.

#include <memory>

#include "core/timer_wait.h"

namespace kestrune::fake {

class NoTimers final : public TimerSource {
 public:
  std::unique_ptr<os::WaitableTimer> create() const override { return nullptr; }
};

}  // namespace kestrune::fake
