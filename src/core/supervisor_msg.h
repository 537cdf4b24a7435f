#pragma once
// What the command queue carries to the supervisor.

#include <string>
#include <variant>

#include "protocol/events.h"
#include "util/channel.h"

namespace kestrune {

/// One raw input line (1..16384 bytes, no line feed, one trailing CR removed).
struct Line {
  std::string bytes;
};
struct LineTooLong {};
struct StdinClosed {};
struct StdoutFailed {};
struct WorkerFailed {};

/// GPU thread: the outcome of its start-up, sent at most once.
struct GpuInit {
  GpuInfo info;
};
/// GPU thread: the running engine ended on a failure.
struct GpuFailed {
  std::string code;
  std::string detail;
};
/// GPU thread: one dispatch's duration in milliseconds, not rounded.
struct GpuSample {
  double ms = 0.0;
};

using SupervisorMsg = std::variant<Line, LineTooLong, StdinClosed, StdoutFailed, WorkerFailed,
                                   GpuInit, GpuFailed, GpuSample>;

using CommandSender = Sender<SupervisorMsg>;
using CommandReceiver = Receiver<SupervisorMsg>;

}  // namespace kestrune
