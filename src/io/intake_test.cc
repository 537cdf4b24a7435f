#include "io/intake.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrune {
namespace intake_test {

// Collects what the intake emits.
struct Emitted {
  std::vector<Event> events;
  EmitFn fn() {
    return [this](Event e) { events.push_back(std::move(e)); };
  }
  std::vector<std::string> details() const {
    std::vector<std::string> out;
    for (const auto& e : events) {
      const auto* err = std::get_if<Error>(&e);
      if (err == nullptr || err->code != "badLine" || !err->detail) {
        out.push_back("<not a badLine error with a detail>");
      } else {
        out.push_back(*err->detail);
      }
    }
    return out;
  }
};

// A decoder that remembers its input and answers with a chosen failure message (or a
// heartbeat when the message is empty).
std::string g_seen;
std::string g_message;
DecodeResult fake_decode(std::string_view text) {
  g_seen = std::string(text);
  if (g_message.empty()) return Command(HbCmd{});
  return fail(g_message);
}

IntakeResult intake_fake(const std::string& bytes, Emitted& emitted, BadLineTimes& times,
                         uint64_t now_ms = 0) {
  return intake_line(Line{bytes}, now_ms, times, emitted.fn(), &fake_decode);
}

TEST(Intake, RejectsBeforeDecoding) {
  struct Case {
    const char* name;
    std::string bytes;
    const char* detail;
  };
  const Case cases[] = {
      {"over 16384 bytes", std::string(16385, 'x'), "line longer than 16 KiB"},
      {"byte 0xFF", "{\"cmd\":\"hb\"}\xFF", "line is not UTF-8"},
      {"overlong", "{\"cmd\":\"\xC0\xAF\"}", "line is not UTF-8"},
      {"surrogate", "\xED\xA0\x80", "line is not UTF-8"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", "line is not UTF-8"},
      {"truncated at the end", "{}\xE2\x82", "line is not UTF-8"},
  };
  for (const auto& c : cases) {
    Emitted emitted;
    BadLineTimes times;
    g_seen = "<not called>";
    g_message.clear();
    const IntakeResult r = intake_fake(c.bytes, emitted, times);
    EXPECT_EQ(r.outcome, IntakeOutcome::Handled) << c.name;
    EXPECT_FALSE(r.command.has_value()) << c.name;
    EXPECT_EQ(emitted.details(), std::vector<std::string>{c.detail}) << c.name;
    EXPECT_EQ(g_seen, "<not called>") << c.name;
  }

  Emitted emitted;
  BadLineTimes times;
  EXPECT_EQ(intake_line(LineTooLong{}, 0, times, emitted.fn()).outcome, IntakeOutcome::Handled);
  EXPECT_EQ(emitted.details(), std::vector<std::string>{"line longer than 16 KiB"});
  EXPECT_EQ(times.size(), 1u);
}

TEST(Intake, PassesTheTextToTheDecoder) {
  struct Case {
    std::string bytes;
    std::string seen;
  };
  const Case cases[] = {
      {"{\"cmd\":\"hb\"}", "{\"cmd\":\"hb\"}"},
      {"{\"cmd\":\"hb\"}\r", "{\"cmd\":\"hb\"}"},  // the framer removed the other one
      {"\r", ""},
      {"a\r\r", "a\r"},                            // only one more
      {"\xEF\xBB\xBF{}", "\xEF\xBB\xBF{}"},        // a byte-order mark is valid UTF-8
      {std::string(16384, ' '), std::string(16384, ' ')},
  };
  for (const auto& c : cases) {
    Emitted emitted;
    BadLineTimes times;
    g_message.clear();
    const IntakeResult r = intake_fake(c.bytes, emitted, times);
    EXPECT_EQ(r.outcome, IntakeOutcome::Decoded);
    ASSERT_TRUE(r.command.has_value());
    EXPECT_TRUE(std::holds_alternative<HbCmd>(*r.command));
    EXPECT_EQ(g_seen, c.seen);
    EXPECT_TRUE(emitted.events.empty());
    EXPECT_TRUE(times.empty());
  }
}

TEST(Intake, DecoderMessageIsCutWithoutSplittingACharacter) {
  struct Case {
    const char* name;
    std::string message;
    size_t kept;
  };
  const std::string a199(199, 'a');
  const std::string a200(200, 'a');
  const Case cases[] = {
      {"short", "missing field `seq`", 19},
      {"exactly 200", a200, 200},
      {"201 ascii", a200 + "b", 200},
      {"2-byte char on bytes 200-201", a199 + "\xC3\xA9" + "tail", 199},
      {"2-byte char ending at byte 200", std::string(198, 'a') + "\xC3\xA9" + "tail", 200},
      {"3-byte char across the cut", std::string(198, 'a') + "\xE2\x82\xAC" + "tail", 198},
      {"4-byte char across the cut", std::string(197, 'a') + "\xF0\x9F\x98\x80" + "tail", 197},
  };
  for (const auto& c : cases) {
    Emitted emitted;
    BadLineTimes times;
    g_message = c.message;
    intake_fake("{}", emitted, times);
    EXPECT_EQ(emitted.details(), std::vector<std::string>{c.message.substr(0, c.kept)}) << c.name;
  }
  g_message.clear();
}

// The real decoder behind the intake, for the lines the reader can actually deliver.
TEST(Intake, WithTheRealDecoder) {
  Emitted emitted;
  BadLineTimes times;
  IntakeResult r = intake_line(Line{"{\"cmd\":\"hb\"}\r"}, 0, times, emitted.fn());
  EXPECT_EQ(r.outcome, IntakeOutcome::Decoded);
  ASSERT_TRUE(r.command.has_value());
  EXPECT_TRUE(std::holds_alternative<HbCmd>(*r.command));

  // Empty after the CR, a byte-order mark, spaces only: all the decoder's to reject.
  for (const std::string bytes : {"\r", "\xEF\xBB\xBF{\"cmd\":\"hb\"}", "   "}) {
    r = intake_line(Line{bytes}, 100000, times, emitted.fn());
    EXPECT_EQ(r.outcome, IntakeOutcome::Handled) << testing::PrintToString(bytes);
    times.clear();
  }
  ASSERT_EQ(emitted.events.size(), 3u);
  for (const auto& detail : emitted.details()) EXPECT_FALSE(detail.empty());

  // An unknown tag of two-byte letters: its message quotes them, and the cut lands
  // inside one of them.
  std::string letters;
  for (int i = 0; i < 120; ++i) letters += "\xC3\xA9";
  const std::string line = "{\"cmd\":\"" + letters + "\"}";
  const std::string message = decode_command(line).error();
  const std::string prefix = "unknown variant `";
  ASSERT_EQ(message.compare(0, prefix.size(), prefix), 0) << message;
  ASSERT_GT(message.size(), 201u);
  ASSERT_EQ(static_cast<unsigned char>(message[199]), 0xC3u);  // prefix is 17 bytes, odd
  Emitted cut;
  intake_line(Line{line}, 0, times, cut.fn());
  EXPECT_EQ(cut.details(), std::vector<std::string>{message.substr(0, 199)});
}

TEST(BadLineRule, ThirdRejectionWithinFiveSecondsStops) {
  using V = BadLineAnswer;
  struct Case {
    const char* name;
    std::vector<uint64_t> times;
    std::vector<V> verdicts;
  };
  const Case cases[] = {
      {"0, 1, 4999", {0, 1, 4999}, {V::Continue, V::Continue, V::Protocol}},
      {"0, 1, 5000", {0, 1, 5000}, {V::Continue, V::Continue, V::Continue}},
      {"same instant", {7, 7, 7}, {V::Continue, V::Continue, V::Protocol}},
      // 0 ages out at 5000; 3000 is still inside at 7999, and 8000 has 5000 and 7999.
      {"sliding", {0, 3000, 5000, 7999, 8000, 12998, 13000},
       {V::Continue, V::Continue, V::Continue, V::Protocol, V::Protocol, V::Protocol,
        V::Continue}},
      {"quiet period empties it", {100, 200, 60000, 60001},
       {V::Continue, V::Continue, V::Continue, V::Continue}},
      {"time before the last entry counts as age 0", {5000, 100, 200},
       {V::Continue, V::Continue, V::Protocol}},
  };
  for (const auto& c : cases) {
    Emitted emitted;
    BadLineTimes times;
    std::vector<V> got;
    for (uint64_t t : c.times) {
      got.push_back(report_bad_line(times, "set before start", t, emitted.fn()));
    }
    EXPECT_EQ(got, c.verdicts) << c.name;
    // Every rejection is reported, the last one included.
    EXPECT_EQ(emitted.details(), std::vector<std::string>(c.times.size(), "set before start"))
        << c.name;
    EXPECT_LE(times.size(), c.times.size()) << c.name;
  }
}

TEST(BadLineRule, IntakeAnswersProtocolOnTheThirdBadLine) {
  Emitted emitted;
  BadLineTimes times;
  g_message = "trailing characters at line 1 column 13";
  EXPECT_EQ(intake_fake("x", emitted, times, 0).outcome, IntakeOutcome::Handled);
  EXPECT_EQ(intake_line(LineTooLong{}, 1, times, emitted.fn()).outcome, IntakeOutcome::Handled);
  EXPECT_EQ(intake_fake("\xFF", emitted, times, 4999).outcome, IntakeOutcome::Protocol);
  EXPECT_EQ(emitted.details(),
            (std::vector<std::string>{"trailing characters at line 1 column 13",
                                      "line longer than 16 KiB", "line is not UTF-8"}));
  g_message.clear();
}

}  // namespace intake_test
}  // namespace kestrune
