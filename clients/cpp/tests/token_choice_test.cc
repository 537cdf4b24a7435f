#include "token_choice.h"

#include <gtest/gtest.h>

namespace kestrune::detail {
namespace {

TEST(TokenChoice, NeverHandsOnAnElevatedToken) {
  const TokenCandidate usable{true, false, ""};
  const TokenCandidate elevated{true, true, ""};
  const TokenCandidate refused{false, true, "DuplicateTokenEx failed (error 1346)"};
  const TokenCandidate no_shell{false, true, "no desktop shell"};
  struct Case {
    const char* name;
    bool own_elevated, keep_own;
    TokenCandidate shell, linked;
    TokenSource expected;
  };
  const Case cases[] = {
      {"unelevated process keeps its own", false, false, refused, refused, TokenSource::own},
      {"asked to keep its own (a refusal test)", true, true, usable, usable, TokenSource::own},
      {"elevated: shell first", true, false, usable, usable, TokenSource::shell},
      {"elevated shell, linked works (Wine)", true, false, elevated, usable, TokenSource::linked},
      {"no shell, linked works", true, false, no_shell, usable, TokenSource::linked},
      {"elevated shell, linked refused", true, false, elevated, refused, TokenSource::none},
      {"linked duplicate elevated", true, false, no_shell, elevated, TokenSource::none},
  };
  for (const Case& c : cases) {
    const TokenChoice choice = choose_token(c.own_elevated, c.keep_own, c.shell, c.linked);
    EXPECT_EQ(choice.source, c.expected) << c.name;
    EXPECT_EQ(choice.error.empty(), c.expected != TokenSource::none) << c.name;
  }
}

TEST(TokenChoice, RefusalSaysWhatFailedAndWhatToDo) {
  const TokenChoice choice = choose_token(true, false, {false, true, "no desktop shell"},
                                          {false, true, "DuplicateTokenEx failed (error 1346)"});
  ASSERT_EQ(choice.source, TokenSource::none);
  EXPECT_EQ(choice.error.find('\n'), std::string::npos);
  for (const char* part : {"no desktop shell", "error 1346", "not elevated"}) {
    EXPECT_NE(choice.error.find(part), std::string::npos) << choice.error;
  }
}

}  // namespace
}  // namespace kestrune::detail
