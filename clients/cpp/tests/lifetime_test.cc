// How a helper's life ends: beside a heartbeat thread, after a move, through a session,
// and when someone else reaped it.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "kestrune/client.h"
#include "stand_in_copy.h"

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class LifetimeTest : public ::testing::Test {
 protected:
  void SetUp() override { options_.helper = stand_in_.path(); }

  HelperProcess start() {
    Failure failure;
    auto helper = HelperProcess::start(options_, failure);
    EXPECT_TRUE(helper) << failure.text;
    std::string first;
    EXPECT_EQ(helper->read_line(first, 10s), ReadResult::line);
    return std::move(*helper);
  }
  static bool ends_within(const Heartbeat& heartbeat, std::chrono::seconds bound) {
    const auto deadline = Clock::now() + bound;
    while (heartbeat.running() && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    return !heartbeat.running();
  }

  StandInCopy stand_in_;
  StartOptions options_;
};

// Under ThreadSanitizer this is the proof: closing or taking the input while a 1 ms
// heartbeat writes must not race on the descriptor.
TEST_F(LifetimeTest, ClosingTheInputBesideAOneMillisecondHeartbeat) {
  for (int round = 0; round < 20; ++round) {
    HelperProcess helper = start();
    Heartbeat heartbeat(helper, 1ms);
    std::string text;
    ASSERT_EQ(helper.read_line(text, 10s), ReadResult::line);  // a beat went through
    std::this_thread::sleep_for(std::chrono::microseconds(100 * (round % 5)));
    if (round % 2 == 0) {
      helper.close_input();
    } else {
      const int fd = helper.take_input();
      ASSERT_GE(fd, 0);
      ::close(fd);
    }
    EXPECT_TRUE(ends_within(heartbeat, 10s)) << "round " << round;
    Failure failure;
    EXPECT_FALSE(send(helper, HeartbeatCommand{}, failure));
    EXPECT_EQ(failure.code, Errc::input_closed);
  }
}

TEST_F(LifetimeTest, AHeartbeatFollowsAMovedHelperAndEndsWithIt) {
  std::optional<HelperProcess> first(start());
  Heartbeat heartbeat(*first, 1ms);
  HelperProcess moved = std::move(*first);
  first.reset();
  std::string text;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(moved.read_line(text, 10s), ReadResult::line);
    EXPECT_EQ(text, encode(HeartbeatCommand{}));
  }
  const pid_t pid = static_cast<pid_t>(moved.pid());
  {
    HelperProcess gone = std::move(moved);
  }  // the helper ends with its last owner, though the heartbeat still refers to it
  EXPECT_TRUE(ends_within(heartbeat, 10s));
  EXPECT_NE(::kill(pid, 0), 0) << "ended and reaped";
}

TEST_F(LifetimeTest, AssigningOverAHelperEndsIt) {
  HelperProcess a = start();
  const pid_t old_pid = static_cast<pid_t>(a.pid());
  a = start();
  EXPECT_NE(::kill(old_pid, 0), 0);
  EXPECT_TRUE(a.write_line("ping"));
  std::string text;
  ASSERT_EQ(a.read_line(text, 10s), ReadResult::line);
  EXPECT_EQ(text, "ping");
}

TEST_F(LifetimeTest, WaitTellsRunningExitedAndReapedElsewhereApart) {
  HelperProcess helper = start();
  EXPECT_EQ(helper.wait_exit(0ms).state, Exit::State::running);
  EXPECT_FALSE(helper.wait(10ms));
  helper.write_line("exit 4");
  const Exit exit = helper.wait_exit(10s);
  EXPECT_EQ(exit.state, Exit::State::exited);
  EXPECT_EQ(exit.code, 4);
  EXPECT_EQ(helper.wait(0ms), 4) << "asked again";

  // With SIGCHLD ignored the kernel reaps the helper itself: its pid is free for others.
  struct sigaction ignore{}, old{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ignore, &old);
  {
    HelperProcess reaped = start();
    reaped.write_line("exit 0");
    std::string text;
    EXPECT_EQ(reaped.read_line(text, 10s), ReadResult::end);
    const auto t0 = Clock::now();
    Exit learnt;
    do learnt = reaped.wait_exit(100ms);
    while (learnt.state == Exit::State::running && Clock::now() - t0 < 10s);
    EXPECT_EQ(learnt.state, Exit::State::unknown);
    EXPECT_EQ(learnt.failure.code, Errc::wait_failed);
    EXPECT_EQ(learnt.failure.system, std::errc::no_child_process) << learnt.failure.text;
    EXPECT_EQ(reaped.wait(0ms), -1);
    reaped.kill();  // nothing to signal: the helper is known gone
  }
  sigaction(SIGCHLD, &old, nullptr);
}

TEST_F(LifetimeTest, ASessionEndsWithTheByeAndKillsOnlyWhenItDoesNotCome) {
  // A folder the helper may write to, whichever user it runs as.
  const std::filesystem::path marks = stand_in_.dir() / "marks";
  std::filesystem::create_directory(marks);
  std::filesystem::permissions(marks, std::filesystem::perms::all);
  const std::filesystem::path mark = marks / "stopped";
  options_.environment = std::vector<std::string>{"KL_STAND_IN_MARK=" + mark.string()};
  {
    Session session(start(), 1ms);
  }  // the default end is the graceful one
  EXPECT_TRUE(std::filesystem::exists(mark)) << "the helper saw the stop and said bye";

  {
    Session session(start(), 5ms);
    std::vector<std::string> seen;
    const Session::Ending& ending =
        session.stop(5s, [&](const Event& e) { seen.push_back(std::get<Bye>(e).why); });
    ASSERT_TRUE(ending.bye);
    EXPECT_EQ(ending.bye->why, "stop");
    EXPECT_EQ(ending.bye->cpu_s, 0.5);
    EXPECT_EQ(seen, std::vector<std::string>{"stop"});
    EXPECT_FALSE(ending.killed);
    EXPECT_EQ(ending.exit.state, Exit::State::exited);
    EXPECT_EQ(ending.exit.code, 0);
    EXPECT_EQ(&session.stop(), &ending) << "later calls return the first ending";
  }
  {
    Session session(start());
    ASSERT_TRUE(session->write_line("deaf"));
    const auto t0 = Clock::now();
    const Session::Ending& ending = session.stop(300ms);
    EXPECT_GE(Clock::now() - t0, 300ms);
    EXPECT_FALSE(ending.bye);
    EXPECT_TRUE(ending.killed);
    EXPECT_EQ(ending.exit.code, 128 + SIGKILL);
  }
  {
    Session session(start());
    const Session::Ending& ending = session.kill();
    EXPECT_TRUE(ending.killed);
    EXPECT_FALSE(ending.bye);
    EXPECT_EQ(ending.exit.code, 128 + SIGKILL);
  }
}

}  // namespace
}  // namespace kestrune
