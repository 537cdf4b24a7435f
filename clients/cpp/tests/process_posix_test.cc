#include "kestrune/process.h"

#include "kestrune/client.h"
#include "stand_in_copy.h"

#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace kestrune {
namespace {

using namespace std::chrono_literals;

// The stand-in copied where an unprivileged user may run it (the build tree may not be).
class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override { options_.helper = stand_in_.path(); }

  HelperProcess start() {
    std::string error;
    auto helper = HelperProcess::start(options_, error);
    EXPECT_TRUE(helper) << error;
    return std::move(*helper);
  }
  static std::string line(HelperProcess& helper) {
    std::string text;
    EXPECT_EQ(helper.read_line(text, 10s), ReadResult::line);
    return text;
  }

  StandInCopy stand_in_;
  StartOptions options_;
};

TEST_F(ProcessTest, StartsPerTheContractAndTalks) {
  HelperProcess helper = start();
  const std::string started = line(helper);
  EXPECT_NE(started.find("pdeathsig=9"), std::string::npos) << started;
  EXPECT_NE(started.find("sid=1"), std::string::npos) << started;
  EXPECT_NE(started.find("fds=3"), std::string::npos) << "only stdin, stdout, stderr: " << started;
  if (geteuid() == 0) {
    EXPECT_EQ(started.find("uid=0 "), std::string::npos) << started;
    EXPECT_EQ(helper.token_source(), "user");
  }
  EXPECT_TRUE(helper.write_line("ping"));
  EXPECT_EQ(line(helper), "ping");
  std::string text;
  EXPECT_EQ(helper.read_line(text, 20ms), ReadResult::timeout);
  EXPECT_TRUE(helper.write_line("exit 7"));
  EXPECT_EQ(helper.read_line(text, 10s), ReadResult::end);
  EXPECT_EQ(helper.wait(10s), 7);
  // The helper is gone: a write fails instead of raising SIGPIPE in the controller.
  EXPECT_FALSE(helper.write_line("anyone?"));
}

TEST_F(ProcessTest, StrictReadingRefusesAnEventWithAKeyTheContractLacks) {
  HelperProcess helper = start();
  Event event;
  std::string error;
  EXPECT_EQ(next_event(helper, 10s, event, error), Next::bad_line);  // the "started" line
  const std::string extra = R"({"ev":"ack","seq":4,"extra":1})";
  ASSERT_TRUE(helper.write_line(extra));
  EXPECT_EQ(next_event(helper, 10s, event, error), Next::event) << error;
  EXPECT_EQ(std::get<Ack>(event).seq, 4u);
  ASSERT_TRUE(helper.write_line(extra));
  EXPECT_EQ(next_event(helper, 10s, event, error, Parsing::strict), Next::bad_line);
  EXPECT_NE(error.find("extra"), std::string::npos) << error;
  ASSERT_TRUE(helper.write_line(R"({"ev":"ack","seq":5})"));
  EXPECT_EQ(next_event(helper, 10s, event, error, Parsing::strict), Next::event) << error;
  EXPECT_EQ(std::get<Ack>(event).seq, 5u);
}

TEST_F(ProcessTest, ReportsEndsOfTheHelper) {
  {
    HelperProcess helper = start();
    line(helper);
    helper.close_input();
    EXPECT_EQ(helper.wait(10s), 3) << "end of input";
  }
  {
    HelperProcess helper = start();
    line(helper);
    helper.write_line("kill");
    EXPECT_EQ(helper.wait(10s), 128 + SIGKILL);
  }
  pid_t pid = 0;
  {
    HelperProcess helper = start();
    pid = static_cast<pid_t>(helper.pid());
    line(helper);
  }
  EXPECT_NE(kill(pid, 0), 0) << "a dropped helper is killed and reaped";
}

TEST_F(ProcessTest, SuspendedHelperRunsOnlyAfterResume) {
  options_.suspended = true;
  HelperProcess helper = start();
  std::string text;
  EXPECT_EQ(helper.read_line(text, 100ms), ReadResult::timeout);
  std::string error;
  ASSERT_TRUE(helper.resume(error)) << error;
  EXPECT_NE(line(helper).find("started"), std::string::npos);
}

TEST_F(ProcessTest, CarelessOptionsAreHonoured) {
  options_.kill_on_close = false;
  options_.unelevated = false;
  HelperProcess helper = start();
  const std::string started = line(helper);
  EXPECT_NE(started.find("pdeathsig=0"), std::string::npos) << started;
  EXPECT_NE(started.find("uid=" + std::to_string(geteuid()) + " "), std::string::npos) << started;
}

TEST_F(ProcessTest, RootControllerStartsTheHelperUnprivileged) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const std::string nobody = std::to_string(getpwnam("nobody")->pw_uid);
  const struct {
    const char* sudo_uid;  // null: unset
    std::string uid;
  } cases[] = {{nullptr, nobody}, {"1", "1"}, {"0", nobody}, {"12x", nobody}, {"", nobody}};
  for (const auto& c : cases) {
    if (c.sudo_uid) setenv("SUDO_UID", c.sudo_uid, 1); else unsetenv("SUDO_UID");
    HelperProcess helper = start();
    EXPECT_NE(line(helper).find("uid=" + c.uid + " "), std::string::npos)
        << "SUDO_UID=" << (c.sudo_uid ? c.sudo_uid : "(unset)");
  }
  unsetenv("SUDO_UID");
}

TEST_F(ProcessTest, FailedStartSaysWhy) {
  options_.helper = stand_in_.dir() / "missing";
  std::string error;
  EXPECT_FALSE(HelperProcess::start(options_, error));
  EXPECT_NE(error.find("exec failed: No such file"), std::string::npos) << error;
  Failure failure;
  EXPECT_FALSE(HelperProcess::start(options_, failure));
  EXPECT_EQ(failure.code, Errc::not_found);
  EXPECT_EQ(failure.system, std::errc::no_such_file_or_directory);
  EXPECT_EQ(failure.text, error);

  // Not executable: a code of its own (root may run anything with an x bit, so none).
  options_.helper = stand_in_.dir() / "plain";
  { std::ofstream(options_.helper) << "#!/bin/sh\n"; }
  chmod(options_.helper.c_str(), 0644);
  EXPECT_FALSE(HelperProcess::start(options_, failure));
  EXPECT_EQ(failure.code, Errc::access_denied) << failure.text;
  options_.helper = stand_in_.dir() / "missing";

  // Held until resume(), the failure shows there.
  options_.suspended = true;
  auto held = HelperProcess::start(options_, error);
  ASSERT_TRUE(held) << error;
  EXPECT_FALSE(held->resume(error));
  EXPECT_NE(error.find("missing: exec failed"), std::string::npos) << error;
}

TEST_F(ProcessTest, WritesSayWhyTheyFailed) {
  HelperProcess helper = start();
  line(helper);
  Failure failure;
  ASSERT_TRUE(helper.write_line("exit 0"));
  ASSERT_EQ(helper.wait(10s), 0);
  EXPECT_FALSE(send(helper, HeartbeatCommand{}, failure));
  EXPECT_EQ(failure.code, Errc::helper_gone) << failure.text;
  EXPECT_EQ(failure.system, std::errc::broken_pipe);
  helper.close_input();
  EXPECT_FALSE(send(helper, HeartbeatCommand{}, failure));
  EXPECT_EQ(failure.code, Errc::input_closed) << failure.text;
}

TEST_F(ProcessTest, TheHelperGetsTheMinimalEnvironmentUnlessGivenOne) {
  setenv("VK_ICD_FILENAMES", "/elsewhere/icd.json", 1);
  const std::string minimal = "env " + std::string(kMinimalEnvironment[0]);
  const struct {
    std::optional<std::vector<std::string>> environment;
    std::string seen;
  } cases[] = {
      {std::nullopt, minimal},
      {std::vector<std::string>{}, "env "},
      {std::vector<std::string>{"A=1", "HOME=/nonexistent"}, "env A=1|HOME=/nonexistent"},
  };
  for (const auto& c : cases) {
    options_.environment = c.environment;
    HelperProcess helper = start();
    line(helper);
    ASSERT_TRUE(helper.write_line("env"));
    EXPECT_EQ(line(helper), c.seen);
  }
  unsetenv("VK_ICD_FILENAMES");
}

TEST_F(ProcessTest, TheUserToRunAsIsCheckedBeforeAnythingStarts) {
  const std::string me = std::to_string(geteuid());
  struct Case {
    std::string user;
    bool starts;
  };
  std::vector<Case> cases = {{"root", false}, {"0", false}, {"kl-no-such-user", false}};
  if (geteuid() == 0) {
    cases.push_back({"2", true});
  } else {
    cases.push_back({me, true});
    cases.push_back({"nobody", false});  // only root can become another user
  }
  for (const Case& c : cases) {
    options_.user = c.user;
    Failure failure;
    auto helper = HelperProcess::start(options_, failure);
    ASSERT_EQ(helper.has_value(), c.starts) << c.user << ": " << failure.text;
    if (!c.starts) {
      EXPECT_EQ(failure.code, Errc::bad_option) << c.user;
      EXPECT_NE(failure.text.find(c.user), std::string::npos) << failure.text;
      continue;
    }
    std::string text;
    ASSERT_EQ(helper->read_line(text, 10s), ReadResult::line);
    EXPECT_NE(text.find("uid=" + (geteuid() == 0 ? std::string("2") : me) + " "),
              std::string::npos) << text;
  }
}

// The stand-in loses the ack of every odd seq and of every seq from 1000 on, and writes
// another event before each answer.
TEST_F(ProcessTest, SetWaitsForItsAckAndResendsWithTheNextSeq) {
  const struct {
    std::uint64_t seq;
    int attempts;
    SetResult result;
    std::uint64_t last_seq;
    std::vector<std::string> seen;  // the other events handed on, in order
  } cases[] = {
      {2, 5, SetResult::acked, 2, {"seen 2"}},
      {3, 5, SetResult::acked, 4, {"seen 3", "seen 4"}},
      {1000, 3, SetResult::no_ack, 1002, {"seen 1000", "seen 1001", "seen 1002"}},
  };
  HelperProcess helper = start();
  line(helper);
  for (const auto& c : cases) {
    SetCommand command{c.seq, DomainSetting{Mode::free, {}, {}}, {}};
    std::vector<std::string> seen;
    std::string error;
    const SetResult result = set(
        helper, command,
        [&](const Event& e) { seen.push_back(*std::get<Error>(e).detail); }, error,
        SetOptions{std::chrono::milliseconds(300), c.attempts});
    EXPECT_EQ(result, c.result) << "seq " << c.seq << ": " << error;
    EXPECT_EQ(command.seq, c.last_seq) << "seq " << c.seq;
    EXPECT_EQ(seen, c.seen) << "seq " << c.seq;
    if (c.result == SetResult::no_ack) {
      EXPECT_EQ(error, "no ack for set 1000..1002 after 3 attempts of 300 ms");
    }
  }
  // A helper that is gone ends the wait at once.
  helper.write_line("exit 0");
  SetCommand command{10, {}, {}};
  std::string error;
  EXPECT_EQ(set(helper, command, [](const Event&) {}, error), SetResult::ended) << error;
}

}  // namespace
}  // namespace kestrune
