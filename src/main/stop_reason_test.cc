#include "main/stop_reason.h"

#include <gtest/gtest.h>

#include "main/final_stop.h"

namespace kestrune {
namespace stop_reason_test {

// The reasons' texts and exit codes are tied to the protocol reference elsewhere; what
// only this catches is a bye that does not carry its reason's text and code.
TEST(StopReason, TheByeCarriesItsReasonsTextAndExitCode) {
  for (int i = 0; i <= static_cast<int>(StopReason::Fatal); ++i) {
    const auto reason = static_cast<StopReason>(i);
    SCOPED_TRACE(stop_reason_text(reason));
    const Bye bye = make_bye(reason, 0.0, 0.0);
    EXPECT_EQ(bye.why, stop_reason_text(reason));
    EXPECT_EQ(bye.code, stop_reason_code(reason));
  }
}

}  // namespace stop_reason_test
}  // namespace kestrune
