#pragma once
// Line intake on the supervisor's thread: checks each framed input line, decodes it, and
// reports rejected lines under the bad-line rule.

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/supervisor_msg.h"
#include "protocol/command.h"
#include "protocol/decode.h"
#include "protocol/events.h"

namespace kestrune {

/// How events leave the intake: the supervisor passes a call to emit.
using EmitFn = std::function<void(Event)>;

/// Times (ms since base_instant) of recent rejected lines, oldest first. Owned by the
/// supervisor for the life of the process.
using BadLineTimes = std::deque<uint64_t>;

/// Answer of the bad-line rule.
enum class BadLineAnswer { Continue, Protocol };

/// Emits `Error` "badLine" with `detail` (before judging, so the line that ends the run is
/// still reported), records `now_ms`, forgets rejections 5000 ms old or older, and
/// answers Protocol when 3 or more remain.
BadLineAnswer report_bad_line(BadLineTimes& bad_line_times, std::string detail, uint64_t now_ms,
                              const EmitFn& emit);

enum class IntakeOutcome {
  Decoded,   // a command to execute
  Handled,   // rejected and reported; nothing else to do
  Protocol,  // rejected, and the run must stop with reason "protocol"
};

struct IntakeResult {
  IntakeOutcome outcome = IntakeOutcome::Handled;
  std::optional<Command> command;  // set with IntakeOutcome::Decoded
};

/// Longest detail made from a decoder message.
inline constexpr size_t kMaxDecodeDetailBytes = 200;

/// Decodes one line; the seam lets tests see exactly what reaches the decoder.
using CommandDecoder = DecodeResult (*)(std::string_view text);

/// Checks a `Line`: over 16384 bytes (the reader never posts one) → "line longer than 16 KiB"; not strict UTF-8 →
/// "line is not UTF-8"; otherwise one more trailing carriage return is removed and the
/// text decoded. A decoding failure is reported with the decoder's message cut to at most
/// 200 bytes, never inside a character. Rejections go through report_bad_line.
IntakeResult intake_line(const Line& line, uint64_t now_ms, BadLineTimes& bad_line_times,
                         const EmitFn& emit, CommandDecoder decode = &decode_command);

/// A `LineTooLong`: reported as "line longer than 16 KiB".
IntakeResult intake_line(LineTooLong, uint64_t now_ms, BadLineTimes& bad_line_times,
                         const EmitFn& emit);

}  // namespace kestrune
