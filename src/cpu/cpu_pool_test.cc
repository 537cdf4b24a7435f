#include "cpu/cpu_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "os/clock.h"
#include "os/thread.h"

namespace kestrune {
namespace cpu_pool_test {

#if defined(__linux__)
std::vector<std::string> thread_names() {
  std::vector<std::string> names;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    if (std::getline(comm, name)) names.push_back(name);
  }
  return names;
}
#endif

bool wait_for(const std::function<bool()>& done, uint32_t limit_ms) {
  for (uint32_t i = 0; i < limit_ms / 2; ++i) {
    if (done()) return true;
    os::sleep_ms(2);
  }
  return done();
}

TEST(CpuPool, StartsNamedWorkersThatFollowTheDutyAndStop) {
  auto control = std::make_shared<LoadControl>();
  control->stop_event = os::StopEvent::create();
  control->base_instant_ns = os::monotonic_ns();
  auto [commands, inbox] = make_channel<SupervisorMsg>();
  const uint32_t want = std::min(2u, os::logical_processor_count());

  CpuPoolStart r = start_cpu_pool(commands, control, detect_cpu_features(), 64u);
  ASSERT_FALSE(r.failed);
  EXPECT_EQ(r.workers, want);
  ASSERT_TRUE(wait_for([&] { return control->threads_started.load() == want; }, 1000));

#if defined(__linux__)
  auto names = thread_names();
  for (uint32_t i = 0; i < want; ++i) {
    std::string n = "burn-" + std::to_string(i);
    EXPECT_NE(std::find(names.begin(), names.end(), n), names.end()) << n;
  }
#endif

  EXPECT_EQ(control->result_sink.load(), 0u);  // duty 0: nothing burned
  control->cpu_duty_e4.store(10000);
  EXPECT_TRUE(wait_for([&] { return control->result_sink.load() != 0; }, 500));

  control->cpu_duty_e4.store(0);
  control->stop_requested.store(true);
  control->stop_event->signal();
  EXPECT_TRUE(wait_for([&] { return control->threads_exited.load() == want; }, 200));
  EXPECT_EQ(inbox.recv_for(std::chrono::nanoseconds(0)).status, RecvStatus::Timeout);
}

}  // namespace cpu_pool_test
}  // namespace kestrune
