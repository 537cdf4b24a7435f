#pragma once
#include <cstdint>
#include <optional>

namespace kestrune {

/// Number of CPU workers for a pool: a requested count w gives 1 when w is 0, else
/// min(w, logical); none requested gives max(logical - 1, 1), leaving one logical
/// processor free. `logical` below 1 counts as 1.
uint32_t worker_count(std::optional<uint32_t> requested, uint32_t logical);

}  // namespace kestrune
