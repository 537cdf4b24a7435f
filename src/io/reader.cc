#include "io/reader.h"

#include <memory>
#include <utility>
#include <vector>

#include "os/thread.h"
#include "io/line_framer.h"

namespace kestrune {

namespace {

constexpr size_t kReadSize = 8192;

class StdinStream final : public InputStream {
 public:
  os::ReadResult read(char* buf, size_t cap) override { return os::read_stdin(buf, cap); }
};

}  // namespace

void run_reader(CommandSender commands, InputStream& input, size_t line_limit) {
  const auto buf = std::make_unique<char[]>(kReadSize);
  LineFramer framer;
  std::vector<SupervisorMsg> batch;
  for (;;) {
    const os::ReadResult r = input.read(buf.get(), kReadSize);
    if (r.status == os::ReadStatus::Interrupted) continue;
    if (r.status != os::ReadStatus::Data || r.bytes == 0) break;
    framer.feed(buf.get(), r.bytes < kReadSize ? r.bytes : kReadSize, batch);
    for (auto& msg : batch) {
      // The queue has no capacity limit: a failed post means the supervisor is gone.
      if (commands.send_throttled(std::move(msg), line_limit) != SendResult::Sent) return;
    }
    batch.clear();
  }
  // An unfinished last line, or one being skipped, is dropped with the framer.
  commands.send(StdinClosed{});
}

void reader_main(CommandSender commands) {
  os::set_current_thread_priority(os::ThreadPriority::AboveNormal);
  StdinStream input;
  run_reader(std::move(commands), input);
}

bool start_reader_thread(CommandSender commands) {
  return os::start_thread("stdin", 0, [commands = std::move(commands)]() mutable {
    reader_main(std::move(commands));
  });
}

}  // namespace kestrune
