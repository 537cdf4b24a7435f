// The confirmed set against the real helper: bursts of other sets overflow its event queue,
// so acks are lost, and every setting must still arrive.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "kestrune/client.h"

namespace kestrune {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(SetFlood, EverySettingIsAppliedWhileBurstsOverflowTheEventQueue) {
  // A copy an unprivileged user may run (the build tree may not be reachable for one).
  char tmpl[] = "/tmp/kl-client-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const fs::path dir = tmpl;
  chmod(dir.c_str(), 0755);
  StartOptions options;
  options.helper = dir / "kestrune-load";
  fs::copy_file(KL_HELPER, options.helper);
  chmod(options.helper.c_str(), 0755);
  // As root, run it as `bin` rather than `nobody`: the lock is one instance per user, and
  // the end-to-end tests run their helpers as nobody.
  const char* sudo_uid = std::getenv("SUDO_UID");
  const std::string saved = sudo_uid != nullptr ? sudo_uid : "";
  if (geteuid() == 0) setenv("SUDO_UID", "2", 1);
  std::string error;
  std::optional<HelperProcess> helper = HelperProcess::start(options, error);
  if (geteuid() == 0) {
    if (sudo_uid != nullptr) setenv("SUDO_UID", saved.c_str(), 1); else unsetenv("SUDO_UID");
  }
  ASSERT_TRUE(helper) << error;

  StartCommand start;
  start.parent_pid = HelperProcess::current_pid();
  start.hb_timeout_ms = 3000;
  start.cpu = true;
  start.workers = 1;
  send(*helper, HeartbeatCommand{});
  send(*helper, start);
  Event event;
  ASSERT_EQ(next_event(*helper, 10s, event, error), Next::event) << error;
  if (const Bye* bye = std::get_if<Bye>(&event)) FAIL() << "the helper ended: " << bye->why;
  ASSERT_TRUE(std::holds_alternative<Hello>(event)) << "the hello first";

  // Acks of an old seq, ignored by the helper, more than its queue holds.
  std::string burst;
  for (int i = 0; i < 400; ++i) burst += R"({"cmd":"set","seq":0,"cpu":{"mode":"off"}})" "\n";

  std::uint64_t seq = 1;
  int resent = 0;
  for (int i = 1; i <= 4; ++i) {
    send(*helper, HeartbeatCommand{});
    ASSERT_TRUE(helper->write(burst));
    const double target = 10.0 * i;
    SetCommand command{seq, DomainSetting{Mode::target, target, {}}, {}};
    ASSERT_EQ(set(*helper, command, [](const Event&) {}, error, SetOptions{400ms, 5}),
              SetResult::acked)
        << error;
    resent += static_cast<int>(command.seq - seq);
    seq = command.seq + 1;
    // The setting is in force: the next status shows its target.
    std::optional<double> shown;
    for (int reads = 0; reads < 1000 && !shown; ++reads) {
      ASSERT_EQ(next_event(*helper, 3s, event, error), Next::event) << error;
      if (const Status* s = std::get_if<Status>(&event)) shown = s->cpu.target_w;
    }
    EXPECT_EQ(shown, target) << "setting " << i;
  }
  std::printf("sets resent after a lost ack: %d of 4\n", resent);
  send(*helper, StopCommand{});
  EXPECT_EQ(helper->wait(10s), 0);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kestrune
