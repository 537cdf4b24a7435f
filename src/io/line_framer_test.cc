#include "io/line_framer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrune {
namespace line_framer_test {

// A framed item in a form that prints well: "L:<bytes>" for a line, "TOO_LONG".
std::vector<std::string> describe(const std::vector<SupervisorMsg>& msgs) {
  std::vector<std::string> out;
  for (const auto& m : msgs) {
    if (const auto* line = std::get_if<Line>(&m)) {
      out.push_back("L:" + line->bytes);
    } else if (std::holds_alternative<LineTooLong>(m)) {
      out.push_back("TOO_LONG");
    } else {
      out.push_back("UNEXPECTED");
    }
  }
  return out;
}

std::vector<std::string> frame(const std::string& input) {
  LineFramer framer;
  std::vector<SupervisorMsg> out;
  framer.feed(input.data(), input.size(), out);
  return describe(out);
}

using Items = std::vector<std::string>;

TEST(LineFramer, Basics) {
  struct Case {
    const char* name;
    std::string input;
    Items expected;
  };
  const Case cases[] = {
      {"one line", "{\"cmd\":\"hb\"}\n", {"L:{\"cmd\":\"hb\"}"}},
      {"crlf", "abc\r\n", {"L:abc"}},
      {"empty lines vanish", "\n\n\r\n", {}},
      {"only one CR removed", "abc\r\r\n", {"L:abc\r"}},
      {"CR CR LF alone", "\r\r\n", {"L:\r"}},
      {"CR inside kept", "a\rb\n", {"L:a\rb"}},
      {"no final line feed", "one\ntwo", {"L:one"}},
      {"unfinished only", "partial\r", {}},
      {"spaces are content", "   \n", {"L:   "}},
      {"order kept", "a\n\nb\r\nc\n", {"L:a", "L:b", "L:c"}},
      {"raw bytes untouched", std::string("\xFF\0\xEF\xBB\xBF\n", 6),
       {std::string("L:\xFF\0\xEF\xBB\xBF", 7)}},
  };
  for (const auto& c : cases) EXPECT_EQ(frame(c.input), c.expected) << c.name;
}

// A command split across two reads at every possible place comes out once, whole.
TEST(LineFramer, LineSplitAcrossReadsAtEveryPosition) {
  const std::string input = "{\"cmd\":\"set\",\"seq\":7}\r\n{\"cmd\":\"hb\"}\n";
  const Items expected = {"L:{\"cmd\":\"set\",\"seq\":7}", "L:{\"cmd\":\"hb\"}"};
  for (size_t cut = 0; cut <= input.size(); ++cut) {
    LineFramer framer;
    std::vector<SupervisorMsg> out;
    framer.feed(input.data(), cut, out);
    framer.feed(input.data() + cut, input.size() - cut, out);
    EXPECT_EQ(describe(out), expected) << "cut at " << cut;
  }
  // And one byte per read.
  LineFramer framer;
  std::vector<SupervisorMsg> out;
  for (char c : input) framer.feed(&c, 1, out);
  EXPECT_EQ(describe(out), expected);
}

TEST(LineFramer, LengthLimit) {
  const std::string max(LineFramer::kMaxLineBytes, 'x');
  const std::string over(LineFramer::kMaxLineBytes + 1, 'x');
  struct Case {
    const char* name;
    std::string input;
    Items expected;
  };
  const Case cases[] = {
      {"16384 + LF", max + "\n", {"L:" + max}},
      {"16384 + CR LF", max + "\r\n", {"L:" + max}},
      {"16385 + LF", over + "\n", {"TOO_LONG"}},
      {"16385 + CR LF", over + "\r\n", {"TOO_LONG"}},
      {"16384 + CR CR LF", max + "\r\r\n", {"TOO_LONG"}},
      {"16383 + CR CR LF", max.substr(1) + "\r\r\n", {"L:" + max.substr(1) + "\r"}},
      {"next line unaffected", over + "\nok\n" + max + "\n", {"TOO_LONG", "L:ok", "L:" + max}},
      {"over-long unfinished line", "a\n" + over + over, {"L:a"}},
  };
  for (const auto& c : cases) {
    const Items got = frame(c.input);
    ASSERT_EQ(got.size(), c.expected.size()) << c.name;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_TRUE(got[i] == c.expected[i]) << c.name << " item " << i;  // avoid 16K dumps
    }
  }
}

TEST(LineFramer, HugeLineKeepsMemoryAtTheCap) {
  LineFramer framer;
  std::vector<SupervisorMsg> out;
  const std::string chunk(8192, 'y');
  for (int i = 0; i < 128; ++i) {  // 1 MiB without a line feed
    framer.feed(chunk.data(), chunk.size(), out);
    ASSERT_LE(framer.buffered(), LineFramer::kBufferLimit);
    // Allow an allocator's rounding, never a doubling past the limit.
    ASSERT_LE(framer.capacity(), LineFramer::kBufferLimit + 32);
  }
  EXPECT_TRUE(framer.overflowing());
  EXPECT_EQ(framer.buffered(), 0u);
  framer.feed("\n", 1, out);
  EXPECT_EQ(describe(out), Items{"TOO_LONG"});
  EXPECT_FALSE(framer.overflowing());

  // The framer is back to normal for the next line.
  framer.feed("{}\n", 3, out);
  EXPECT_EQ(describe(out), (Items{"TOO_LONG", "L:{}"}));
}

TEST(LineFramer, GrowsOnlyUpToTheLimit) {
  LineFramer framer;
  std::vector<SupervisorMsg> out;
  const std::string part(LineFramer::kBufferLimit, 'z');  // 16384 bytes of content + one more
  framer.feed(part.data(), part.size(), out);
  EXPECT_EQ(framer.buffered(), LineFramer::kBufferLimit);
  EXPECT_FALSE(framer.overflowing());
  EXPECT_LE(framer.capacity(), LineFramer::kBufferLimit + 32);
  framer.feed("z", 1, out);  // one byte more: the line is over
  EXPECT_TRUE(framer.overflowing());
  EXPECT_EQ(framer.buffered(), 0u);
  EXPECT_TRUE(out.empty());
}

TEST(LineFramer, ALineHoldsOnlyItsOwnBytes) {
  LineFramer framer;
  std::vector<SupervisorMsg> out;
  // A long line grows the framer's buffer; the lines after it must not inherit that room,
  // nor the fresh-line reservation (a queue of short lines would cost 1 KiB each).
  const std::string body(3000, 'q');
  framer.feed(body.data(), body.size(), out);
  const size_t grown = framer.capacity();
  EXPECT_GE(grown, body.size());
  const std::string rest = "\n{\"cmd\":\"hb\",\"pad\":\"0123456789\"}\n{}\n";
  framer.feed(rest.data(), rest.size(), out);
  ASSERT_EQ(out.size(), 3u);
  for (const auto& msg : out) {
    const std::string& bytes = std::get<Line>(msg).bytes;
    EXPECT_LE(bytes.capacity(), bytes.size() < 16 ? 15u : bytes.size() + 16) << bytes.size();
  }
  EXPECT_EQ(std::get<Line>(out[0]).bytes, body);
  // The framer keeps its one buffer, bounded by the limit, for the next line.
  EXPECT_EQ(framer.capacity(), grown);
}

}  // namespace line_framer_test
}  // namespace kestrune
