#include "io/intake.h"

#include <utility>

#include "io/line_framer.h"
#include "protocol/error_codes.h"
#include "util/utf8.h"

namespace kestrune {

namespace {

constexpr uint64_t kBadLineWindowMs = 5000;
constexpr size_t kBadLinesToStop = 3;

IntakeResult rejected(std::string detail, uint64_t now_ms, BadLineTimes& times,
                      const EmitFn& emit) {
  const BadLineAnswer answer = report_bad_line(times, std::move(detail), now_ms, emit);
  return {answer == BadLineAnswer::Protocol ? IntakeOutcome::Protocol : IntakeOutcome::Handled,
          std::nullopt};
}

}  // namespace

BadLineAnswer report_bad_line(BadLineTimes& bad_line_times, std::string detail, uint64_t now_ms,
                              const EmitFn& emit) {
  emit(Error{error_code::kBadLine, std::move(detail)});
  bad_line_times.push_back(now_ms);
  while (!bad_line_times.empty()) {
    const uint64_t t = bad_line_times.front();
    const uint64_t age = now_ms > t ? now_ms - t : 0;
    if (age < kBadLineWindowMs) break;
    bad_line_times.pop_front();
  }
  return bad_line_times.size() >= kBadLinesToStop ? BadLineAnswer::Protocol
                                                  : BadLineAnswer::Continue;
}

IntakeResult intake_line(const Line& line, uint64_t now_ms, BadLineTimes& bad_line_times,
                         const EmitFn& emit, CommandDecoder decode) {
  std::string_view text = line.bytes;
  if (text.size() > LineFramer::kMaxLineBytes) {
    return rejected("line longer than 16 KiB", now_ms, bad_line_times, emit);
  }
  if (!is_valid_utf8(text)) return rejected("line is not UTF-8", now_ms, bad_line_times, emit);
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);

  DecodeResult decoded = decode(text);
  if (decoded.ok()) return {IntakeOutcome::Decoded, std::move(decoded).value()};

  std::string message = std::move(decoded).error();
  message.resize(utf8_prefix_length(message, kMaxDecodeDetailBytes));
  return rejected(std::move(message), now_ms, bad_line_times, emit);
}

IntakeResult intake_line(LineTooLong, uint64_t now_ms, BadLineTimes& bad_line_times,
                         const EmitFn& emit) {
  return rejected("line longer than 16 KiB", now_ms, bad_line_times, emit);
}

}  // namespace kestrune
