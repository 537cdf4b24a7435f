#include "main/fatal_stop.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <new>
#include <string>

#include "main/runtime.h"
#include "main/final_stop.h"
#include "os/thread.h"

namespace kestrune {
namespace fatal_stop_test {

// Each case runs in a child process, as the fatal path ends the process. The child's
// events go to standard error, where the death test looks for them.

struct Child {
  Runtime* rt;
  SupervisorState* state;
  CommandReceiver* inbox;
};

Child make_child() {
  install_fatal_handlers();
  static Runtime rt;
  auto control = std::make_shared<LoadControl>();
  control->base_instant_ns = os::monotonic_ns();
  auto [commands, inbox] = make_channel<SupervisorMsg>();
  auto [event_tx, event_rx] = make_channel<std::string>(16);
  auto counters = std::make_shared<EventCounters>();
  rt.commands = commands;
  rt.output = EventOutput{std::move(event_tx), counters, 0, control};
  rt.control = control;
  // A writer to standard error.
  auto rx = std::make_shared<Receiver<std::string>>(std::move(event_rx));
  (void)os::start_thread("stderr", 0, [rx, counters] {
    for (;;) {
      auto got = rx->recv();
      if (got.status != RecvStatus::Message) return;
      std::fputs(got.item->c_str(), stderr);
      std::fflush(stderr);
      counters->written.fetch_add(1);
    }
  });
  static SupervisorState state = SupervisorState::at_loop_entry(control->now_ms());
  state.cpu_s = 2.0;
  static CommandReceiver kept_inbox = std::move(inbox);
  return {&rt, &state, &kept_inbox};
}

void fail_here() {
  try {
    throw std::bad_alloc();
  } catch (...) {
  }
  fatal_stop_here();
}

const char* const kFatalBye = R"(\{"ev":"bye","why":"fatal","code":9,"cpuS":2\.0,"gpuS":0\.0\})";

TEST(FatalStopDeathTest, EveryFailureEndsWithTheFatalExitCode) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* what;
    std::function<void()> run;
    const char* stderr_match;  // "" for no bye
  };
  const Case cases[] = {
      {"a failure before the run is armed exits at once",
       [] {
         install_fatal_handlers();
         fail_here();
       },
       ""},
      {"the supervisor's own failure runs the final stop",
       [] {
         Child c = make_child();
         arm_fatal_stop(*c.rt);
         track_fatal_totals(*c.state);
         fail_here();
       },
       kFatalBye},
      {"an exception escaping another thread stops the run from the supervisor's loop",
       [] {
         Child c = make_child();
         arm_fatal_stop(*c.rt);
         track_fatal_totals(*c.state);
         (void)os::start_thread("failing", 0, [] { throw std::bad_alloc(); });
         run_control_loop(*c.state, *c.rt, *c.inbox);
       },
       kFatalBye},
      {"terminate on the supervisor runs the final stop",
       [] {
         Child c = make_child();
         arm_fatal_stop(*c.rt);
         track_fatal_totals(*c.state);
         std::terminate();
       },
       kFatalBye},
      {"a failure inside the final stop does not start it again",
       [] {
         Child c = make_child();
         arm_fatal_stop(*c.rt);
         mark_final_stop_begun();
         fail_here();
       },
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EXIT(c.run(), testing::ExitedWithCode(9), c.stderr_match);
  }
}

}  // namespace fatal_stop_test
}  // namespace kestrune
