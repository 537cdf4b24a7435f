#pragma once
// emit: the supervisor's one way to send an event, and the counters it shares with the
// writer thread.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/load_control.h"
#include "protocol/events.h"
#include "util/channel.h"

namespace kestrune {

/// Shared by emit and the writer thread: lets the supervisor see whether output keeps up.
struct EventCounters {
  std::atomic<uint64_t> pending{0};        // lines handed over (or tried) and not yet finished
  std::atomic<uint64_t> written{0};        // lines written and flushed
  std::atomic<uint64_t> last_write_ms{0};  // time of the last progress, ms since base_instant
};

/// Most encoded lines the event queue holds.
inline constexpr size_t kEventQueueCapacity = 256;

/// Sent in place of an event that cannot be encoded (without its line feed).
inline constexpr std::string_view kFallbackLine = R"({"ev":"error","code":"fatal","detail":null})";

/// The supervisor's side of the output: used on its thread only.
struct EventOutput {
  /// The event queue (capacity kEventQueueCapacity); its receiver is the writer thread.
  Sender<std::string> lines;
  /// Shared with the writer thread; never null.
  std::shared_ptr<EventCounters> counters = std::make_shared<EventCounters>();
  /// Lines actually placed in the event queue.
  uint64_t queued_count = 0;
  /// The clock origin (base_instant) for emit without an explicit time.
  LoadControlRef control;
};

/// Encodes `event` as one line ending in "\n" (the fallback line if it cannot be
/// encoded) and tries to queue it without waiting. `pending` counts the line either way,
/// and `last_write_ms` takes `now_ms` when `pending` was 0; `queued_count` counts it only
/// when it went in. A full queue or a writer that has ended makes the line be discarded.
void emit(EventOutput& out, Event event, uint64_t now_ms);

/// emit at now: milliseconds since base_instant of `out.control` (0 without one).
void emit(EventOutput& out, Event event);

}  // namespace kestrune
