#pragma once
// The controller's side of the helper, in one include: start the helper per its process
// contract, send commands, read events as parsed records.

#include <chrono>
#include <functional>
#include <string>

#include "kestrune/heartbeat.h"
#include "kestrune/process.h"
#include "kestrune/protocol.h"
#include "kestrune/session.h"

namespace kestrune {

/// Sends one command as a line. False once the helper's input is gone; `failure` says
/// why (Errc::input_closed, Errc::helper_gone or Errc::io_failed).
bool send(HelperProcess& helper, const Command& command);
bool send(HelperProcess& helper, const Command& command, Failure& failure);

enum class Next {
  event,     ///< `event` holds the next event.
  timeout,   ///< Nothing arrived in time.
  end,       ///< The helper's output has ended.
  bad_line,  ///< A line that is no event; `error` says why (the line is skipped).
};

/// Waits at most `timeout` for the helper's next event. With `Parsing::strict` a line with
/// an unknown or absent key is a bad line, so a controller built against one version of the
/// contract notices a helper that speaks another.
Next next_event(HelperProcess& helper, std::chrono::milliseconds timeout, Event& event,
                std::string& error, Parsing parsing = Parsing::lenient);

struct SetOptions {
  /// How long one attempt waits for its ack. The helper acks within milliseconds; an ack
  /// that has not come in this time was dropped (its event queue was full). Keep it below
  /// half the heartbeat time-out: a heartbeat goes with each attempt and none between.
  std::chrono::milliseconds ack_timeout{500};
  /// Attempts in all, the first included (at least 1).
  int attempts = 5;
  /// How the events read while waiting are parsed (see next_event).
  Parsing parsing = Parsing::lenient;
};

enum class SetResult {
  acked,   ///< The helper acknowledged one of the attempts: the settings are in force.
  no_ack,  ///< No attempt was acknowledged; `error` says why.
  ended,   ///< The helper's output ended (or its bye came) before an ack.
};

/// Sends a set command and waits for its ack. A lost ack is only seen as a time-out, so
/// after each time-out the same settings go again with the next `seq` (a repeated `seq`
/// would be acknowledged and ignored). On return `command.seq` is the last `seq` sent:
/// the next set must use a higher one. Every other event read meanwhile goes to
/// `on_event`, in order, the bye included; lines that are no event are skipped. Each
/// attempt is preceded by a heartbeat. Waits at most attempts × ack_timeout; a
/// `set before start` answer ends the wait at once.
///
/// set() reads the helper's output itself, so while it runs it must be the only reader:
/// never call it while another thread reads the same helper (read_line(), next_event()).
/// A controller that reads on a thread of its own sends the set with send() instead and
/// matches the ack where it reads; after its own time-out it sends the latest settings
/// again with a higher seq. A Heartbeat thread is no reader and may run beside set().
SetResult set(HelperProcess& helper, SetCommand& command,
              const std::function<void(const Event&)>& on_event, std::string& error,
              const SetOptions& options = {});

}  // namespace kestrune
