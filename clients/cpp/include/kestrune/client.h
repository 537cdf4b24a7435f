#pragma once
// The controller's side of the helper, in one include: start the helper per its process
// contract, send commands, read events as parsed records.

#include <chrono>
#include <string>

#include "kestrune/heartbeat.h"
#include "kestrune/process.h"
#include "kestrune/protocol.h"

namespace kestrune {

/// Sends one command as a line. False once the helper's input is gone.
bool send(HelperProcess& helper, const Command& command);

enum class Next {
  event,     ///< `event` holds the next event.
  timeout,   ///< Nothing arrived in time.
  end,       ///< The helper's output has ended.
  bad_line,  ///< A line that is no event; `error` says why (the line is skipped).
};

/// Waits at most `timeout` for the helper's next event.
Next next_event(HelperProcess& helper, std::chrono::milliseconds timeout, Event& event,
                std::string& error);

}  // namespace kestrune
