#include "token_choice.h"

#include <gtest/gtest.h>

namespace kestrune::detail {
namespace {

TEST(TokenChoice, NeverHandsOnAnElevatedToken) {
  const TokenCandidate usable{true, false, false, ""};
  const TokenCandidate elevated{true, true, false, ""};
  const TokenCandidate refused{false, true, false, "DuplicateTokenEx failed (error 1346)"};
  const TokenCandidate no_shell{false, true, false, "no desktop shell"};
  const TokenCandidate other_user{true, false, true, ""};
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
      {"shell of another user, linked works", true, false, other_user, usable, TokenSource::linked},
      {"shell of another user, linked refused", true, false, other_user, refused, TokenSource::none},
  };
  for (const Case& c : cases) {
    const TokenChoice choice = choose_token(c.own_elevated, c.keep_own, c.shell, c.linked);
    EXPECT_EQ(choice.source, c.expected) << c.name;
    EXPECT_EQ(choice.error.empty(), c.expected != TokenSource::none) << c.name;
  }
}

TEST(TokenChoice, AnotherUsersShellIsRefusedWithOneLineThatSaysSo) {
  const TokenChoice choice = choose_token(true, false, {true, false, true, ""},
                                          {false, true, false, "DuplicateTokenEx failed (error 1346)"});
  ASSERT_EQ(choice.source, TokenSource::none);
  EXPECT_TRUE(choice.other_user);
  EXPECT_EQ(choice.error.find('\n'), std::string::npos);
  EXPECT_NE(choice.error.find("another user"), std::string::npos) << choice.error;
}

TEST(TokenChoice, RefusalSaysWhatFailedAndWhatToDo) {
  const TokenChoice choice = choose_token(true, false, {false, true, false, "no desktop shell"},
                                          {false, true, false, "DuplicateTokenEx failed (error 1346)"});
  EXPECT_FALSE(choice.other_user);
  ASSERT_EQ(choice.source, TokenSource::none);
  EXPECT_EQ(choice.error.find('\n'), std::string::npos);
  for (const char* part : {"no desktop shell", "error 1346", "not elevated"}) {
    EXPECT_NE(choice.error.find(part), std::string::npos) << choice.error;
  }
}

}  // namespace
}  // namespace kestrune::detail
