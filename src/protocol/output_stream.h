#pragma once
// The byte sink the writer thread writes its lines to.

#include <memory>
#include <cstddef>

namespace kestrune {

/// Standard output in the program; tests substitute their own to script partial
/// writes, failures and a blocked reader.
class OutputStream {
 public:
  virtual ~OutputStream() = default;
  /// Writes once; returns the bytes accepted, 0 on failure.
  virtual size_t write(const char* data, size_t len) = 0;
  /// Pushes written bytes towards the reader. False on failure.
  virtual bool flush() = 0;
};

/// The process's standard output (os::write_stdout, os::flush_stdout).
std::shared_ptr<OutputStream> make_stdout_stream();

}  // namespace kestrune
