#include "kestrune/heartbeat.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>

#include "kestrune/client.h"
#include "stand_in_copy.h"

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The echoing stand-in shows exactly which lines reached the helper, in order.
class HeartbeatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StartOptions options;
    options.helper = stand_in_.path();
    std::string error;
    auto started = HelperProcess::start(options, error);
    ASSERT_TRUE(started) << error;
    helper_.emplace(std::move(*started));
    std::string first;
    ASSERT_EQ(helper_->read_line(first, 10s), ReadResult::line);
  }
  void TearDown() override { helper_.reset(); }

  StandInCopy stand_in_;
  std::optional<HelperProcess> helper_;
  const std::string hb_ = encode(HeartbeatCommand{});
};

TEST_F(HeartbeatTest, BeatsBesideTheControllersOwnLinesAndStopsWhenAsked) {
  const std::string power = encode(PowerCommand{42.5, {}, {}});
  Heartbeat heartbeat(*helper_, 2ms);
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(send(*helper_, PowerCommand{42.5, {}, {}}));
  int powers = 0, beats = 0;
  std::string text;
  while (powers < 200 || beats < 3) {
    ASSERT_EQ(helper_->read_line(text, 10s), ReadResult::line);
    // Whole lines only: a torn or merged line matches neither.
    ASSERT_TRUE(text == hb_ || text == power) << text;
    (text == hb_ ? beats : powers)++;
  }
  heartbeat.stop();
  EXPECT_FALSE(heartbeat.running());
  // Once stopped, nothing more: everything after the marker would be a late beat.
  ASSERT_TRUE(helper_->write_line("marker"));
  do ASSERT_EQ(helper_->read_line(text, 10s), ReadResult::line);
  while (text != "marker");
  EXPECT_EQ(helper_->read_line(text, 100ms), ReadResult::timeout) << text;
}

TEST_F(HeartbeatTest, BeatsAtOnceAndStopsWithoutWaitingOutItsPeriod) {
  const auto t0 = Clock::now();
  {
    Heartbeat heartbeat(*helper_, 1h);
    std::string text;
    ASSERT_EQ(helper_->read_line(text, 10s), ReadResult::line);
    EXPECT_EQ(text, hb_);
    EXPECT_TRUE(heartbeat.running());
  }  // the session's end stops it
  EXPECT_LT(Clock::now() - t0, 30s);
}

TEST_F(HeartbeatTest, EndsByItselfWhenTheHelperIsGone) {
  Heartbeat heartbeat(*helper_, 1ms);
  ASSERT_TRUE(helper_->write_line("exit 0"));
  ASSERT_EQ(helper_->wait(10s), 0);
  const auto deadline = Clock::now() + 10s;
  while (heartbeat.running() && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_FALSE(heartbeat.running()) << "a failed write ends the heartbeat";
}

}  // namespace
}  // namespace kestrune
