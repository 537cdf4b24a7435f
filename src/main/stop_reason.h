#pragma once
#include <cstdint>

namespace kestrune {

/// Why a run ended; each reason has its wire text (the bye's `why`) and exit code.
enum class StopReason : uint8_t {
  Stop,
  MaxRun,
  StdinClosed,
  HbTimeout,
  ParentGone,
  Elevated,
  NoJob,
  Already,
  BadVersion,
  Protocol,
  Fatal,
};

/// "stop", "maxRun", "stdinClosed", ...
const char* stop_reason_text(StopReason reason);
/// The process exit code: 0, 0, 2, 3, 4, 5, 6, 7, 8, 9, 9. Never 1.
uint32_t stop_reason_code(StopReason reason);

}  // namespace kestrune
