#include "kestrune/client.h"

namespace kestrune {

bool send(HelperProcess& helper, const Command& command) {
  return helper.write_line(encode(command));
}

bool send(HelperProcess& helper, const Command& command, Failure& failure) {
  return helper.write_line(encode(command), failure);
}

Next next_event(HelperProcess& helper, std::chrono::milliseconds timeout, Event& event,
                std::string& error, Parsing parsing) {
  std::string line;
  switch (helper.read_line(line, timeout)) {
    case ReadResult::timeout: return Next::timeout;
    case ReadResult::end: return Next::end;
    case ReadResult::line: break;
  }
  std::optional<Event> parsed = parse_event(line, error, parsing);
  if (!parsed) return Next::bad_line;
  event = std::move(*parsed);
  return Next::event;
}

SetResult set(HelperProcess& helper, SetCommand& command,
              const std::function<void(const Event&)>& on_event, std::string& error,
              const SetOptions& options) {
  using Clock = std::chrono::steady_clock;
  const std::uint64_t first_seq = command.seq;
  const int attempts = options.attempts < 1 ? 1 : options.attempts;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (attempt > 0) ++command.seq;
    if (!send(helper, HeartbeatCommand{}) || !send(helper, command)) {
      error = "the helper's input is closed";
      return SetResult::ended;
    }
    const auto deadline = Clock::now() + options.ack_timeout;
    for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
      Event event;
      std::string line_error;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
      const Next next = next_event(helper, left, event, line_error, options.parsing);
      if (next == Next::timeout) break;
      if (next == Next::end) {
        error = "the helper's output ended before the ack of set " + std::to_string(command.seq);
        return SetResult::ended;
      }
      if (next == Next::bad_line) continue;
      // An ack of an earlier attempt counts too: every attempt carries the same settings.
      if (const Ack* ack = std::get_if<Ack>(&event);
          ack != nullptr && ack->seq >= first_seq && ack->seq <= command.seq) {
        return SetResult::acked;
      }
      on_event(event);
      if (const Bye* bye = std::get_if<Bye>(&event)) {
        error = "the helper said bye (" + bye->why + ") before the ack of set " +
                std::to_string(command.seq);
        return SetResult::ended;
      }
      if (const Error* e = std::get_if<Error>(&event);
          e != nullptr && e->detail && *e->detail == "set before start") {
        error = "set before start: send the start command first";
        return SetResult::no_ack;
      }
    }
  }
  error = "no ack for set " + std::to_string(first_seq) + ".." + std::to_string(command.seq) +
          " after " + std::to_string(attempts) + " attempts of " +
          std::to_string(options.ack_timeout.count()) + " ms";
  return SetResult::no_ack;
}

}  // namespace kestrune
