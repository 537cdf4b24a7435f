#include "io/writer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "os/clock.h"
#include "io/emit.h"

namespace kestrune {
namespace writer_test {

using namespace std::chrono_literals;

// Scripted standard output: caps each write, fails a chosen write or flush, or holds a
// write until released (a controller that stops reading).
class FakeStream final : public OutputStream {
 public:
  size_t write(const char* data, size_t len) override {
    std::unique_lock lock(mu_);
    const size_t call = writes_++;
    if (hold_) {
      held_ = true;
      cv_.notify_all();
      cv_.wait(lock, [&] { return !hold_; });
    }
    if (call == fail_write_call) return 0;
    const size_t n = len < max_per_write ? len : max_per_write;
    text_.append(data, n);
    return n;
  }
  bool flush() override {
    std::lock_guard lock(mu_);
    if (++flushes_ == fail_flush_number) return false;
    flushed_upto_ = text_.size();
    return true;
  }

  void hold() {
    std::lock_guard lock(mu_);
    hold_ = true;
  }
  bool wait_until_held() {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, 5s, [&] { return held_; });
  }
  void release() {
    {
      std::lock_guard lock(mu_);
      hold_ = false;
    }
    cv_.notify_all();
  }
  std::string text() {
    std::lock_guard lock(mu_);
    return text_;
  }
  std::string flushed_text() {
    std::lock_guard lock(mu_);
    return text_.substr(0, flushed_upto_);
  }
  size_t flushes() {
    std::lock_guard lock(mu_);
    return flushes_;
  }

  size_t max_per_write = SIZE_MAX;
  size_t fail_write_call = SIZE_MAX;  // 0-based index of the write call that fails
  size_t fail_flush_number = 0;       // 1-based number of the flush that fails

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::string text_;
  size_t writes_ = 0;
  size_t flushes_ = 0;
  size_t flushed_upto_ = 0;
  bool hold_ = false;
  bool held_ = false;
};

// emit on the test thread, writer_main on its own thread, as in the program.
class WriterTest : public testing::Test {
 protected:
  void start() {
    auto [tx, rx] = make_channel<std::string>(kEventQueueCapacity);
    output.lines = std::move(tx);
    auto [ctx, crx] = make_channel<SupervisorMsg>();
    commands = std::move(crx);
    // Put base_instant 10 s back so that a write's time stamp is visibly non-zero.
    const uint64_t now_ns = os::monotonic_ns();
    control->base_instant_ns = now_ns > kTenSecondsNs ? now_ns - kTenSecondsNs : 0;
    thread = std::thread(writer_main, std::move(rx), std::move(ctx), output.counters, control,
                         stream);
  }
  // Closing the queue's last sender ends the writer.
  void finish() {
    output.lines = Sender<std::string>();
    if (thread.joinable()) thread.join();
  }
  ~WriterTest() override {
    stream->release();
    finish();
  }
  size_t stdout_failed_posts() {
    size_t n = 0;
    for (;;) {
      auto r = commands.recv_for(0ns);
      if (r.status != RecvStatus::Message) return n;
      EXPECT_TRUE(std::holds_alternative<StdoutFailed>(*r.item));
      ++n;
    }
  }

  static constexpr uint64_t kTenSecondsNs = 10'000'000'000ull;
  std::shared_ptr<FakeStream> stream = std::make_shared<FakeStream>();
  LoadControlRef control = std::make_shared<LoadControl>();
  EventOutput output;
  CommandReceiver commands;
  std::thread thread;
};

TEST_F(WriterTest, WritesEveryLineWholeThroughPartialWrites) {
  stream->max_per_write = 3;
  start();
  emit(output, Ack{1}, 0);
  emit(output, Ack{22}, 0);
  emit(output, Bye{"stop", 0, 12.3, 0.0}, 0);
  finish();
  const std::string expected =
      "{\"ev\":\"ack\",\"seq\":1}\n{\"ev\":\"ack\",\"seq\":22}\n"
      "{\"ev\":\"bye\",\"why\":\"stop\",\"code\":0,\"cpuS\":12.3,\"gpuS\":0.0}\n";
  EXPECT_EQ(stream->flushed_text(), expected);
  EXPECT_EQ(stream->flushes(), 3u);  // one flush per line
  EXPECT_EQ(output.counters->written.load(), 3u);
  EXPECT_EQ(output.counters->pending.load(), 0u);
  EXPECT_GE(output.counters->last_write_ms.load(), 10'000u);
  EXPECT_EQ(stdout_failed_posts(), 0u);  // a closed queue ends the writer quietly
}

TEST_F(WriterTest, FailuresEndTheWriterWithOneStdoutFailed) {
  struct Case {
    const char* name;
    size_t fail_write_call;
    size_t fail_flush_number;
    const char* delivered;
  };
  const Case cases[] = {
      // The second line's first write accepts nothing.
      {"write accepts 0 bytes", 1, 0, "{\"ev\":\"ack\",\"seq\":1}\n"},
      {"flush fails", SIZE_MAX, 2, "{\"ev\":\"ack\",\"seq\":1}\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    stream = std::make_shared<FakeStream>();
    stream->fail_write_call = c.fail_write_call;
    stream->fail_flush_number = c.fail_flush_number;
    output = EventOutput();
    start();
    emit(output, Ack{1}, 0);
    emit(output, Ack{2}, 0);
    emit(output, Ack{3}, 0);
    // The writer ends by itself after the failure.
    thread.join();
    EXPECT_EQ(stdout_failed_posts(), 1u);
    EXPECT_EQ(stream->flushed_text(), c.delivered);
    EXPECT_EQ(output.counters->written.load(), 1u);
    // Lines 1 and 2 are finished with; line 3 never will be.
    EXPECT_EQ(output.counters->pending.load(), 1u);
    // With the writer gone, later lines are discarded rather than queued.
    const uint64_t queued = output.queued_count;
    emit(output, Ack{4}, 0);
    EXPECT_EQ(output.queued_count, queued);
    finish();
  }
}

// A controller that stops reading: the queue fills behind the blocked write and the line
// after that is dropped; once unblocked, everything queued goes out and pending stays
// one above the lines not yet written.
TEST_F(WriterTest, BlockedWriterLetsTheQueueFillThenDrains) {
  stream->hold();
  start();
  emit(output, Ack{0}, 1000);
  ASSERT_TRUE(stream->wait_until_held());  // the writer holds line 0 in its write
  for (uint64_t i = 1; i <= kEventQueueCapacity; ++i) emit(output, Ack{i}, 1000 + i);
  emit(output, Ack{9999}, 2000);  // no room
  EXPECT_EQ(output.queued_count, kEventQueueCapacity + 1);
  EXPECT_EQ(output.counters->pending.load(), kEventQueueCapacity + 2);
  EXPECT_EQ(output.counters->written.load(), 0u);
  EXPECT_EQ(output.counters->last_write_ms.load(), 1000u);  // no progress since idle->busy

  stream->release();
  finish();
  EXPECT_EQ(output.counters->written.load(), kEventQueueCapacity + 1);
  EXPECT_EQ(output.counters->pending.load(), 1u);
  const std::string text = stream->flushed_text();
  EXPECT_EQ(text.find("\"seq\":9999"), std::string::npos);
  EXPECT_NE(text.find("{\"ev\":\"ack\",\"seq\":256}\n"), std::string::npos);
  size_t newlines = 0;
  for (char c : text) newlines += c == '\n';
  EXPECT_EQ(newlines, kEventQueueCapacity + 1);
}

}  // namespace writer_test
}  // namespace kestrune
