#pragma once
// Cuts the input byte stream into lines and enforces the line limit. Pure: bytes in,
// messages out; the reader thread does the reading and posting.

#include <cstddef>
#include <string>
#include <vector>

#include "core/supervisor_msg.h"

namespace kestrune {

/// Turns chunks of input into `Line` and `LineTooLong` messages, in input order. A line
/// ends at a line feed; one trailing carriage return is removed; empty lines vanish.
/// Content above 16384 bytes makes the line a `LineTooLong`, and the framer then holds
/// nothing more of it, so however long a line is, at most 16385 bytes of it are kept.
/// Bytes after the last line feed stay buffered until more input arrives.
class LineFramer {
 public:
  static constexpr size_t kMaxLineBytes = 16384;
  /// The buffer's limit: the longest content plus the one carriage return removed.
  static constexpr size_t kBufferLimit = kMaxLineBytes + 1;
  /// Room reserved for the unfinished line at the start.
  static constexpr size_t kFreshLineRoom = 1024;

  LineFramer();

  /// Frames `n` bytes, appending completed lines to `out`. A finished line is copied into
  /// a `Line` that holds just its bytes (queued lines must not each keep a buffer's
  /// reservation); the framer keeps its buffer for the next line.
  void feed(const char* data, size_t n, std::vector<SupervisorMsg>& out);

  /// Bytes of the unfinished line held now (0 while an over-long line is skipped).
  size_t buffered() const { return line_.size(); }
  /// Storage reserved for the unfinished line.
  size_t capacity() const { return line_.capacity(); }
  /// True while the rest of an over-long line is being skipped.
  bool overflowing() const { return overflow_; }

 private:
  void append(const char* data, size_t n);
  void finish_line(std::vector<SupervisorMsg>& out);

  std::string line_;
  bool overflow_ = false;
};

}  // namespace kestrune
