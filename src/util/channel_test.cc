#include "util/channel.h"

#include <gtest/gtest.h>

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

}  // namespace channel_test
}  // namespace kestrune
