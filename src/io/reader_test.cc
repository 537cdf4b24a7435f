#include "io/reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace kestrune {
namespace reader_test {

// Plays a list of reads: a string is a read of those bytes, nullopt an interrupted read;
// after the list, End.
class ScriptedInput {
 public:
  explicit ScriptedInput(std::vector<std::optional<std::string>> reads)
      : reads_(std::move(reads)) {}

  os::ReadResult operator()(char* buf, size_t cap) {
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
  run_reader(std::move(tx), std::ref(input));
  EXPECT_EQ(drain(rx),
            (std::vector<std::string>{"L:{\"cmd\":\"hb\"}", "TOO_LONG", "L:last", "CLOSED"}));
  EXPECT_EQ(input.last_cap, 8192u);
  // The reader's sender is gone with it: nothing else can arrive from it.
  EXPECT_EQ(rx.recv_for(std::chrono::nanoseconds(0)).status, RecvStatus::Disconnected);
}

TEST(Reader, EmptyInputPostsOnlyStdinClosed) {
  auto [tx, rx] = make_channel<SupervisorMsg>();
  ScriptedInput input({});
  run_reader(std::move(tx), std::ref(input));
  EXPECT_EQ(drain(rx), std::vector<std::string>{"CLOSED"});
}

TEST(Reader, StopsReadingOnceTheSupervisorIsGone) {
  auto [tx, rx] = make_channel<SupervisorMsg>();
  { auto gone = std::move(rx); }
  ScriptedInput input({std::string("a\nb\n"), std::string("c\n"), std::string("d\n")});
  run_reader(std::move(tx), std::ref(input));
  EXPECT_EQ(input.calls, 1u);
}

}  // namespace reader_test
}  // namespace kestrune
