#pragma once
#include <atomic>
#include <cstdint>

namespace kestrune {

/// Shared by emit and the writer thread: lets the supervisor see whether output keeps up.
struct EventCounters {
  std::atomic<uint64_t> pending{0};        // lines handed over (or tried) and not yet finished
  std::atomic<uint64_t> written{0};        // lines written and flushed
  std::atomic<uint64_t> last_write_ms{0};  // time of the last progress, ms since base_instant
};

}  // namespace kestrune
