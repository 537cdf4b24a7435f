#include "util/result.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace kestrune {
namespace result_test {

struct Record {
  std::string code;
  int number = 0;
  bool operator==(const Record&) const = default;
};

Result<int> parse_digit(char c) {
  if (c < '0' || c > '9') return fail("not a digit");
  return c - '0';
}

Result<void> check_even(int n) {
  if (n % 2 != 0) return fail("odd");
  return {};
}

// Passes each failure up unchanged, whatever the value types on the way.
Result<int> even_digit(char c, int* steps) {
  KL_TRY(parse_digit(c));  // a Result<int>
  ++*steps;
  const int d = c - '0';
  KL_TRY(check_even(d));  // a Result<void>
  ++*steps;
  return d;
}

TEST(Result, HoldsAValueOrTheFailureItWasGiven) {
  Result<int> seven = 7;
  ASSERT_TRUE(seven.ok());
  EXPECT_EQ(seven.value(), 7);

  Result<std::string> text = std::string("abc");
  EXPECT_EQ(text->size(), 3u);

  Result<int> bad = fail("noAdapter");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error(), "noAdapter");

  Result<void> done;
  EXPECT_TRUE(done.ok());
  Result<void> failed = fail("compile");
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error(), "compile");

  Result<double, Record> rec = Failure<Record>{{"gpuDeviceRemoved", 5}};
  ASSERT_FALSE(rec.ok());
  EXPECT_EQ(rec.error(), (Record{"gpuDeviceRemoved", 5}));
}

TEST(Result, MovesOutValuesAndFailuresWithoutCopies) {
  Result<std::unique_ptr<int>> owned = std::make_unique<int>(3);
  std::unique_ptr<int> taken = std::move(owned).value();
  EXPECT_EQ(*taken, 3);

  Result<void> failed = fail(std::string(100, 'x'));
  const std::string message = std::move(failed).error();
  EXPECT_EQ(message.size(), 100u);
}

TEST(Result, TryPassesTheFirstFailureUpAndGoesOnAfterSuccess) {
  struct Case {
    char c;
    bool ok;
    const char* error;
    int steps;  // how far the function got
  } cases[] = {
      {'4', true, "", 2},
      {'3', false, "odd", 1},
      {'x', false, "not a digit", 0},
  };
  for (const Case& c : cases) {
    int steps = 0;
    const Result<int> r = even_digit(c.c, &steps);
    EXPECT_EQ(r.ok(), c.ok) << c.c;
    if (c.ok) {
      EXPECT_EQ(r.value(), c.c - '0') << c.c;
    } else {
      EXPECT_EQ(r.error(), c.error) << c.c;
    }
    EXPECT_EQ(steps, c.steps) << c.c;
  }
}

}  // namespace result_test
}  // namespace kestrune
