#include "cpu/worker_count.h"

#include <algorithm>

namespace kestrune {

uint32_t worker_count(std::optional<uint32_t> requested, uint32_t logical) {
  const uint32_t p = std::max(logical, 1u);
  if (requested) return *requested == 0 ? 1u : std::min(*requested, p);
  return std::max(p - 1, 1u);
}

}  // namespace kestrune
