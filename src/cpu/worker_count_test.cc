#include "cpu/worker_count.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace worker_count_test {

TEST(WorkerCount, FollowsTheRequestAndTheProcessorCount) {
  struct Case {
    std::optional<uint32_t> requested;
    uint32_t logical, want;
  };
  const Case cases[] = {
      {std::nullopt, 1, 1}, {std::nullopt, 2, 1}, {std::nullopt, 8, 7}, {std::nullopt, 0, 1},
      {0u, 8, 1},           {0u, 1, 1},           {1u, 8, 1},           {3u, 8, 3},
      {8u, 8, 8},           {64u, 8, 8},          {UINT32_MAX, 2, 2},   {5u, 0, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(worker_count(c.requested, c.logical), c.want)
        << (c.requested ? std::to_string(*c.requested) : "none") << " on " << c.logical;
  }
}

}  // namespace worker_count_test
}  // namespace kestrune
