// The parts of HelperProcess that are the same on every platform.

#include "kestrune/process.h"

namespace kestrune {

std::optional<HelperProcess> HelperProcess::start(const StartOptions& options, std::string& error) {
  Failure failure;
  std::optional<HelperProcess> helper = start(options, failure);
  error = failure.text;
  return helper;
}

bool HelperProcess::resume(std::string& error) {
  Failure failure;
  const bool ok = resume(failure);
  if (!ok) error = failure.text;
  return ok;
}

bool HelperProcess::write(std::string_view bytes, Failure& failure) {
  return write_to(*impl_, bytes, failure);
}

bool HelperProcess::write(std::string_view bytes) {
  Failure ignored;
  return write_to(*impl_, bytes, ignored);
}

// Framing is the same on every platform.
bool HelperProcess::write_line(std::string_view line, Failure& failure) {
  std::string framed(line);
  framed += '\n';
  return write(framed, failure);
}

bool HelperProcess::write_line(std::string_view line) {
  Failure ignored;
  return write_line(line, ignored);
}

std::optional<std::int64_t> HelperProcess::wait(std::chrono::milliseconds timeout) {
  const Exit result = wait_exit(timeout);
  if (result.state == Exit::State::running) return std::nullopt;
  return result.code;
}

}  // namespace kestrune
