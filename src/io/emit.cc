#include "io/emit.h"

#include <utility>

#include "protocol/encode.h"

namespace kestrune {

void emit(EventOutput& out, Event event, uint64_t now_ms) {
  Result<std::string> encoded = encode_event(event);
  std::string line = encoded.ok() ? std::move(encoded).value() : std::string(kFallbackLine);
  line += '\n';

  EventCounters& counters = *out.counters;
  if (counters.pending.load() == 0) counters.last_write_ms.store(now_ms);
  counters.pending.fetch_add(1);
  if (out.lines.send(std::move(line)) == SendResult::Sent) ++out.queued_count;
}

void emit(EventOutput& out, Event event) {
  const uint64_t now_ms = out.control ? out.control->now_ms() : 0;
  emit(out, std::move(event), now_ms);
}

}  // namespace kestrune
