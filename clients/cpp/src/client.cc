#include "kestrune/client.h"

namespace kestrune {

// Framing is the same on every platform; only write() differs.
bool HelperProcess::write_line(std::string_view line) {
  std::string framed(line);
  framed += '\n';
  return write(framed);
}

bool send(HelperProcess& helper, const Command& command) {
  return helper.write_line(encode(command));
}

Next next_event(HelperProcess& helper, std::chrono::milliseconds timeout, Event& event,
                std::string& error) {
  std::string line;
  switch (helper.read_line(line, timeout)) {
    case ReadResult::timeout: return Next::timeout;
    case ReadResult::end: return Next::end;
    case ReadResult::line: break;
  }
  std::optional<Event> parsed = parse_event(line, error);
  if (!parsed) return Next::bad_line;
  event = std::move(*parsed);
  return Next::event;
}

}  // namespace kestrune
