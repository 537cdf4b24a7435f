#include "launcher/relay.h"

#include <memory>
#include <utility>

namespace kestrune::launcher {
namespace {

struct Relay {
  UniqueHandle from;
  UniqueHandle to;
};

bool write_all(HANDLE to, const char* data, DWORD size) {
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(to, data, size, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

DWORD WINAPI relay_main(void* arg) {
  std::unique_ptr<Relay> relay(static_cast<Relay*>(arg));
  static_assert(kRelayChunk <= 65536, "the chunk lives on the relay thread's stack");
  char buffer[kRelayChunk];
  for (;;) {
    DWORD got = 0;
    // Both forms of end of input are the same here: TRUE with 0 bytes (a Linux pipe behind
    // Wine) and FALSE with ERROR_BROKEN_PIPE (a Windows pipe whose writer closed).
    if (!ReadFile(relay->from.get(), buffer, kRelayChunk, &got, nullptr) || got == 0) break;
    if (!write_all(relay->to.get(), buffer, got)) break;
  }
  // Closing both passes the end on: `to` sees end of input, a writer to `from` sees its
  // reader gone and its next write fails.
  relay->to.reset();
  relay->from.reset();
  return 0;
}

}  // namespace

UniqueHandle start_relay(UniqueHandle from, UniqueHandle to) {
  auto relay = std::make_unique<Relay>(Relay{std::move(from), std::move(to)});
  // A small stack: the relay needs its chunk and little else.
  UniqueHandle thread(CreateThread(nullptr, 64 * 1024, relay_main, relay.get(),
                                   STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
  if (thread.valid()) static_cast<void>(relay.release());  // the thread owns it now
  return thread;
}

}  // namespace kestrune::launcher
