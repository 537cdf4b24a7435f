#include "io/emit.h"

#include <gtest/gtest.h>

#include "os/clock.h"

#include <string>
#include <vector>

namespace kestrune {
namespace emit_test {

struct Fixture {
  Fixture() {
    auto [tx, rx] = make_channel<std::string>(kEventQueueCapacity);
    out.lines = std::move(tx);
    queue = std::move(rx);
  }
  std::vector<std::string> queued() {
    std::vector<std::string> lines;
    for (;;) {
      auto r = queue.recv_for(std::chrono::nanoseconds(0));
      if (r.status != RecvStatus::Message) return lines;
      lines.push_back(std::move(*r.item));
    }
  }
  EventOutput out;
  Receiver<std::string> queue;
};

TEST(Emit, QueuesWholeLinesInOrder) {
  Fixture f;
  emit(f.out, Ack{1}, 10);
  emit(f.out, Error{"badLine", "line is not UTF-8"}, 11);
  emit(f.out, Bye{"stop", 0, 12.3, 0.0}, 12);
  EXPECT_EQ(f.queued(), (std::vector<std::string>{
                            "{\"ev\":\"ack\",\"seq\":1}\n",
                            "{\"ev\":\"error\",\"code\":\"badLine\",\"detail\":\"line is not UTF-8\"}\n",
                            "{\"ev\":\"bye\",\"why\":\"stop\",\"code\":0,\"cpuS\":12.3,\"gpuS\":0.0}\n"}));
  EXPECT_EQ(f.out.queued_count, 3u);
  EXPECT_EQ(f.out.counters->pending.load(), 3u);
  EXPECT_EQ(f.out.counters->written.load(), 0u);
}

TEST(Emit, UnencodableEventBecomesTheFallbackLine) {
  Fixture f;
  emit(f.out, Error{"gpuDeviceRemoved", std::string("bad \xC3")}, 5);
  const auto lines = f.queued();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "{\"ev\":\"error\",\"code\":\"fatal\",\"detail\":null}\n");
  EXPECT_EQ(lines[0].size(), 44u);
  EXPECT_EQ(f.out.queued_count, 1u);
}

TEST(Emit, FullQueueDiscardsButKeepsCounting) {
  Fixture f;
  for (uint64_t i = 0; i < kEventQueueCapacity; ++i) emit(f.out, Ack{i}, 100);
  EXPECT_EQ(f.out.queued_count, kEventQueueCapacity);
  emit(f.out, Ack{999}, 101);
  EXPECT_EQ(f.out.queued_count, kEventQueueCapacity);
  EXPECT_EQ(f.out.counters->pending.load(), kEventQueueCapacity + 1);
  const auto lines = f.queued();
  ASSERT_EQ(lines.size(), kEventQueueCapacity);
  EXPECT_EQ(lines.back(), "{\"ev\":\"ack\",\"seq\":255}\n");
}

TEST(Emit, WriterGoneDiscards) {
  Fixture f;
  f.queue = Receiver<std::string>();
  emit(f.out, Ack{1}, 100);
  EXPECT_EQ(f.out.queued_count, 0u);
  EXPECT_EQ(f.out.counters->pending.load(), 1u);

  // A writer that never started: no queue at all.
  EventOutput none;
  emit(none, Ack{1}, 100);
  EXPECT_EQ(none.queued_count, 0u);
  EXPECT_EQ(none.counters->pending.load(), 1u);
}

// last_write_ms marks the moment output went from idle to busy, and only that.
TEST(Emit, StampsLastWriteOnlyWhenIdle) {
  Fixture f;
  f.out.counters->last_write_ms = 7;
  emit(f.out, Ack{1}, 500);
  EXPECT_EQ(f.out.counters->last_write_ms.load(), 500u);
  emit(f.out, Ack{2}, 700);  // still one pending: the stall clock keeps running
  EXPECT_EQ(f.out.counters->last_write_ms.load(), 500u);
  f.out.counters->pending = 0;  // the writer caught up
  emit(f.out, Ack{3}, 900);
  EXPECT_EQ(f.out.counters->last_write_ms.load(), 900u);
}

TEST(Emit, WithoutATimeUsesTheControlClock) {
  Fixture f;
  f.out.control = std::make_shared<LoadControl>();
  const uint64_t now_ns = os::monotonic_ns();
  const uint64_t back_ns = 7'000'000'000ull;
  f.out.control->base_instant_ns = now_ns > back_ns ? now_ns - back_ns : 0;
  emit(f.out, Ack{1});
  EXPECT_GE(f.out.counters->last_write_ms.load(), now_ns > back_ns ? 7000u : 0u);
  EXPECT_LT(f.out.counters->last_write_ms.load(), 7000u + 60'000u);
  EXPECT_EQ(f.out.queued_count, 1u);
}

}  // namespace emit_test
}  // namespace kestrune
