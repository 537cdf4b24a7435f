#include "io/writer.h"

#include <utility>

#include "os/std_streams.h"
#include "os/thread.h"

namespace kestrune {

namespace {
class StdoutStream final : public OutputStream {
 public:
  size_t write(const char* data, size_t len) override { return os::write_stdout(data, len); }
  bool flush() override { return os::flush_stdout(); }
};
}  // namespace

std::shared_ptr<OutputStream> make_stdout_stream() { return std::make_shared<StdoutStream>(); }

namespace {

bool write_line(OutputStream& out, const std::string& line) {
  size_t done = 0;
  while (done < line.size()) {  // every pass writes at least one byte or ends
    const size_t left = line.size() - done;
    const size_t n = out.write(line.data() + done, left);
    if (n == 0) return false;
    done += n < left ? n : left;
  }
  return out.flush();
}

}  // namespace

void writer_main(Receiver<std::string> lines, CommandSender commands,
                 std::shared_ptr<EventCounters> counters, LoadControlRef control,
                 std::shared_ptr<OutputStream> out) {
  for (;;) {
    auto next = lines.recv();
    if (next.status != RecvStatus::Message) return;  // no sender left
    const bool ok = write_line(*out, *next.item);
    counters->pending.fetch_sub(1);
    if (!ok) {
      // Let go of the queue first: from here on emit discards instead of queueing lines
      // that nobody will write, and the final drain does not wait for them.
      lines = Receiver<std::string>();
      commands.send(StdoutFailed{});
      return;
    }
    counters->written.fetch_add(1);
    counters->last_write_ms.store(control->now_ms());
  }
}

bool start_writer_thread(Receiver<std::string> lines, CommandSender commands,
                         std::shared_ptr<EventCounters> counters, LoadControlRef control) {
  // The thread body must be copyable; the receiving end is not, so it travels in a box.
  auto box = std::make_shared<Receiver<std::string>>(std::move(lines));
  return os::start_thread(
      "stdout", 0,
      [box, commands = std::move(commands), counters = std::move(counters),
       control = std::move(control)]() mutable {
        writer_main(std::move(*box), std::move(commands), std::move(counters),
                    std::move(control), make_stdout_stream());
      });
}

}  // namespace kestrune
