#pragma once
#include <cstddef>
#include <cstdint>

namespace kestrune::os {

enum class ReadStatus { Data, Interrupted, End };

struct ReadResult {
  ReadStatus status;
  size_t bytes;  // with Data: at least 1
};

/// Reads up to `cap` bytes of standard input. Interrupted means nothing was read and the
/// caller reads again (an interrupted read, or a zero-length write into a pipe). End covers
/// end of input and every read failure other than an interruption.
ReadResult read_stdin(char* buf, size_t cap);

/// Writes once to standard output; returns the bytes accepted, 0 on failure.
size_t write_stdout(const char* data, size_t len);

/// Pushes written bytes towards the reader. False on failure.
bool flush_stdout();

}  // namespace kestrune::os
