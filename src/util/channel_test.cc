#include "util/channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace kestrune {
namespace channel_test {

using namespace std::chrono_literals;

TEST(Channel, DeliversInOrderAndReportsTimeout) {
  auto [tx, rx] = make_channel<int>();
  EXPECT_EQ(tx.send(1), SendResult::Sent);
  EXPECT_EQ(tx.send(2), SendResult::Sent);
  EXPECT_EQ(*rx.recv().item, 1);
  EXPECT_EQ(*rx.recv_for(0ms).item, 2);
  EXPECT_EQ(rx.recv_for(0ms).status, RecvStatus::Timeout);
  EXPECT_EQ(rx.recv_for(5ms).status, RecvStatus::Timeout);
}

TEST(Channel, BoundedQueueDropsWhenFullWithoutWaiting) {
  auto [tx, rx] = make_channel<std::string>(2);
  EXPECT_EQ(tx.send("a"), SendResult::Sent);
  EXPECT_EQ(tx.send("b"), SendResult::Sent);
  EXPECT_EQ(tx.send("c"), SendResult::Full);
  EXPECT_EQ(*rx.recv().item, "a");
  EXPECT_EQ(tx.send("d"), SendResult::Sent);
  EXPECT_EQ(*rx.recv().item, "b");
  EXPECT_EQ(*rx.recv().item, "d");
}

TEST(Channel, ReceiverLearnsWhenTheLastSenderIsGoneAfterDraining) {
  auto [tx, rx] = make_channel<int>();
  {
    Sender<int> copy = tx;
    (void)copy.send(7);
  }
  { auto dropped = std::move(tx); }
  EXPECT_EQ(*rx.recv().item, 7);  // queued items still arrive first
  EXPECT_EQ(rx.recv().status, RecvStatus::Disconnected);
  EXPECT_EQ(rx.recv_for(1ms).status, RecvStatus::Disconnected);
}

TEST(Channel, SendReportsAGoneReceiver) {
  auto [tx, rx] = make_channel<int>();
  { auto gone = std::move(rx); }
  EXPECT_EQ(tx.send(1), SendResult::Disconnected);
}

TEST(Channel, WakesAWaitingReceiverFromAnotherThread) {
  auto [tx, rx] = make_channel<int>();
  std::thread producer([t = tx]() mutable {
    std::this_thread::sleep_for(10ms);
    (void)t.send(42);
  });
  auto got = rx.recv_for(5s);
  producer.join();
  ASSERT_EQ(got.status, RecvStatus::Message);
  EXPECT_EQ(*got.item, 42);
}

TEST(Channel, ThrottledSendWaitsForRoomWhilePlainSendsNeverWait) {
  auto [tx, rx] = make_channel<int>();
  for (int i = 0; i < 4; ++i) ASSERT_EQ(tx.send_throttled(i, 4), SendResult::Sent);
  // Plain sends go past the bound at once and do not count towards it.
  EXPECT_EQ(tx.send(100), SendResult::Sent);
  EXPECT_EQ(rx.queued(), 5u);
  EXPECT_EQ(rx.queued_throttled(), 4u);

  std::atomic<bool> sent{false};
  std::thread producer([t = tx, &sent]() mutable {
    EXPECT_EQ(t.send_throttled(4, 4), SendResult::Sent);
    sent = true;
  });
  std::this_thread::sleep_for(30ms);
  EXPECT_FALSE(sent.load()) << "a throttled send went past the bound";
  // Taking one is not enough: the sender resumes only at half the bound.
  EXPECT_EQ(*rx.recv().item, 0);
  std::this_thread::sleep_for(30ms);
  EXPECT_FALSE(sent.load());
  EXPECT_EQ(*rx.recv().item, 1);  // two left: the sender may go on
  producer.join();
  EXPECT_TRUE(sent.load());
  // Order is kept across the wait.
  for (int want : {2, 3, 100, 4}) EXPECT_EQ(*rx.recv_for(0ms).item, want);
}

TEST(Channel, ThrottledSenderWaitingForRoomLearnsThatTheReceiverIsGone) {
  auto [tx, rx] = make_channel<int>();
  ASSERT_EQ(tx.send_throttled(1, 1), SendResult::Sent);
  std::thread producer([t = tx]() mutable { EXPECT_EQ(t.send_throttled(2, 1), SendResult::Disconnected); });
  std::this_thread::sleep_for(20ms);
  { auto gone = std::move(rx); }
  producer.join();
}

}  // namespace channel_test
}  // namespace kestrune
