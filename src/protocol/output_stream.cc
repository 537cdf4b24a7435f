#include "protocol/output_stream.h"

#include "os/std_streams.h"

namespace kestrune {

namespace {
class StdoutStream final : public OutputStream {
 public:
  size_t write(const char* data, size_t len) override { return os::write_stdout(data, len); }
  bool flush() override { return os::flush_stdout(); }
};
}  // namespace

std::shared_ptr<OutputStream> make_stdout_stream() { return std::make_shared<StdoutStream>(); }

}  // namespace kestrune
