#include "main/stop_reason.h"

#include <gtest/gtest.h>

#include <string>

#include "main/final_stop.h"

namespace kestrune {
namespace stop_reason_test {

// The controller reads the reason from the bye's text and, when the bye is lost, from the
// exit code alone: both are wire contract, in this order.
TEST(StopReason, EveryReasonHasItsWireTextAndExitCode) {
  struct Case {
    StopReason reason;
    int index;
    const char* text;
    uint32_t code;
  };
  const Case cases[] = {
      {StopReason::Stop, 0, "stop", 0},
      {StopReason::MaxRun, 1, "maxRun", 0},
      {StopReason::StdinClosed, 2, "stdinClosed", 2},
      {StopReason::HbTimeout, 3, "hbTimeout", 3},
      {StopReason::ParentGone, 4, "parentGone", 4},
      {StopReason::Elevated, 5, "elevated", 5},
      {StopReason::NoJob, 6, "noJob", 6},
      {StopReason::Already, 7, "already", 7},
      {StopReason::BadVersion, 8, "badVersion", 8},
      {StopReason::Protocol, 9, "protocol", 9},
      {StopReason::Fatal, 10, "fatal", 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(static_cast<int>(c.reason), c.index);
    EXPECT_STREQ(stop_reason_text(c.reason), c.text);
    EXPECT_EQ(stop_reason_code(c.reason), c.code);
    const Bye bye = make_bye(c.reason, 0.0, 0.0);
    EXPECT_EQ(bye.why, c.text);
    EXPECT_EQ(bye.code, c.code);
  }
}

}  // namespace stop_reason_test
}  // namespace kestrune
