#include "io/reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace kestrune {
namespace reader_test {

// Plays a list of reads: a string is a read of those bytes, nullopt an interrupted read;
// after the list, End.
class ScriptedInput final : public InputStream {
 public:
  explicit ScriptedInput(std::vector<std::optional<std::string>> reads)
      : reads_(std::move(reads)) {}

  os::ReadResult read(char* buf, size_t cap) override {
    ++calls;
    last_cap = cap;
    if (next_ >= reads_.size()) return {os::ReadStatus::End, 0};
    const auto& r = reads_[next_++];
    if (!r) return {os::ReadStatus::Interrupted, 0};
    if (r->size() > cap) {
      ADD_FAILURE() << "scripted read larger than the buffer";
      return {os::ReadStatus::End, 0};
    }
    std::memcpy(buf, r->data(), r->size());
    return {os::ReadStatus::Data, r->size()};
  }

  size_t calls = 0;
  size_t last_cap = 0;

 private:
  std::vector<std::optional<std::string>> reads_;
  size_t next_ = 0;
};

std::vector<std::string> drain(CommandReceiver& rx) {
  std::vector<std::string> got;
  for (;;) {
    auto r = rx.recv_for(std::chrono::nanoseconds(0));
    if (r.status != RecvStatus::Message) break;
    if (const auto* line = std::get_if<Line>(&*r.item)) {
      got.push_back("L:" + line->bytes);
    } else if (std::holds_alternative<LineTooLong>(*r.item)) {
      got.push_back("TOO_LONG");
    } else if (std::holds_alternative<StdinClosed>(*r.item)) {
      got.push_back("CLOSED");
    } else {
      got.push_back("UNEXPECTED");
    }
  }
  return got;
}

TEST(Reader, PostsLinesInOrderThenStdinClosed) {
  auto [tx, rx] = make_channel<SupervisorMsg>();
  ScriptedInput input({std::string("{\"cmd\":\"h"), std::nullopt, std::string("b\"}\r\n\n\r\n"),
                       std::string(8192, 'x'), std::string(8192, 'x'), std::string(8192, 'x'),
                       std::string("x\nlast\n"), std::string("unfinished")});
  run_reader(std::move(tx), input);
  EXPECT_EQ(drain(rx),
            (std::vector<std::string>{"L:{\"cmd\":\"hb\"}", "TOO_LONG", "L:last", "CLOSED"}));
  EXPECT_EQ(input.last_cap, 8192u);
  // The reader's sender is gone with it: nothing else can arrive from it.
  EXPECT_EQ(rx.recv_for(std::chrono::nanoseconds(0)).status, RecvStatus::Disconnected);
}

TEST(Reader, EmptyInputPostsOnlyStdinClosed) {
  auto [tx, rx] = make_channel<SupervisorMsg>();
  ScriptedInput input({});
  run_reader(std::move(tx), input);
  EXPECT_EQ(drain(rx), std::vector<std::string>{"CLOSED"});
}

TEST(Reader, StopsReadingOnceTheSupervisorIsGone) {
  auto [tx, rx] = make_channel<SupervisorMsg>();
  { auto gone = std::move(rx); }
  ScriptedInput input({std::string("a\nb\n"), std::string("c\n"), std::string("d\n")});
  run_reader(std::move(tx), input);
  EXPECT_EQ(input.calls, 1u);
}

TEST(Reader, BackPressureBoundsTheQueuedLinesAndLosesNone) {
  // An endless-looking input of short commands, much faster than the consumer drains.
  constexpr int kLines = 60000;
  constexpr size_t kLimit = 256;
  std::string all;
  for (int i = 0; i < kLines; ++i) all += std::to_string(i) + "\n";
  class Flood final : public InputStream {
   public:
    explicit Flood(const std::string& bytes) : all_(bytes) {}
    os::ReadResult read(char* buf, size_t cap) override {
      if (pos_ >= all_.size()) return {os::ReadStatus::End, 0};
      const size_t n = std::min(cap, all_.size() - pos_);
      std::memcpy(buf, all_.data() + pos_, n);
      pos_ += n;
      return {os::ReadStatus::Data, n};
    }

   private:
    const std::string& all_;
    size_t pos_ = 0;
  } input(all);
  auto [tx, rx] = make_channel<SupervisorMsg>();
  // Another thread's message posted mid-flood must not be held back by the bound.
  CommandSender other = tx;
  std::thread reader(
      [t = std::move(tx), &input]() mutable { run_reader(std::move(t), input, kLimit); });

  size_t most_queued = 0;
  int next = 0;
  bool closed = false;
  for (int n = 0; !closed; ++n) {
    if (n == kLines / 2) {
      EXPECT_EQ(other.send(GpuSample{1.0}), SendResult::Sent);
    }
    most_queued = std::max(most_queued, rx.queued_throttled());
    ASSERT_LE(rx.queued_throttled(), kLimit);
    auto r = rx.recv_for(std::chrono::seconds(5));
    ASSERT_EQ(r.status, RecvStatus::Message);
    if (const auto* line = std::get_if<Line>(&*r.item)) {
      ASSERT_EQ(line->bytes, std::to_string(next)) << "line lost or out of order";
      ++next;
    } else {
      closed = std::holds_alternative<StdinClosed>(*r.item);
      ASSERT_TRUE(closed || std::holds_alternative<GpuSample>(*r.item));
    }
    if (n % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  reader.join();
  EXPECT_EQ(next, kLines);
  // The reader was held at the bound, not merely slow enough to stay under it.
  EXPECT_EQ(most_queued, kLimit);
}

}  // namespace reader_test
}  // namespace kestrune
