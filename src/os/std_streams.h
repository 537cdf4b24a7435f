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

/// Takes the real standard output for write_stdout alone, first thing at start-up: any
/// other writer in the process (a driver, a layer, a library printing to the C runtime's
/// stdout) would corrupt the event stream. POSIX: a private close-on-exec duplicate of
/// descriptor 1, then descriptor 1 pointed at /dev/null. Windows: a private duplicate of
/// the output handle, then STD_OUTPUT_HANDLE and the C runtime's descriptor 1 on NUL, once
/// (later calls do nothing; the Windows programs run it before their initialisers). Call it
/// before any thread starts.
void take_stdout();

/// Writes once to standard output (the private one after take_stdout); returns the bytes
/// accepted, 0 on failure.
size_t write_stdout(const char* data, size_t len);

/// Pushes written bytes towards the reader. False on failure.
bool flush_stdout();

}  // namespace kestrune::os
