#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "os/console_read_win32.h"
#include "os/std_streams.h"
#include "os/stdin_read.h"
#include "os/win32.h"

namespace kestrune::os {
namespace {

bool is_console(HANDLE h) {
  DWORD mode;
  return GetConsoleMode(h, &mode) != 0;
}

size_t write_console(HANDLE h, const char* data, size_t len) {
  // Convert whole UTF-8 characters only; report the bytes consumed.
  size_t take = std::min<size_t>(len, 4096);
  while (take < len && take > 0 && (static_cast<unsigned char>(data[take]) & 0xC0) == 0x80) --take;
  if (take == 0) take = std::min<size_t>(len, 4096);
  std::wstring wide(take, L'\0');
  int n = MultiByteToWideChar(CP_UTF8, 0, data, static_cast<int>(take), wide.data(),
                              static_cast<int>(wide.size()));
  if (n <= 0) return 0;
  DWORD written = 0;
  if (!WriteConsoleW(h, wide.data(), static_cast<DWORD>(n), &written, nullptr)) return 0;
  return written == static_cast<DWORD>(n) ? take : 0;
}

// The writer's own output handle once take_stdout ran; null before (the standard handle).
std::atomic<HANDLE> g_out{nullptr};

HANDLE output_handle() {
  HANDLE own = g_out.load(std::memory_order_relaxed);
  return own ? own : GetStdHandle(STD_OUTPUT_HANDLE);
}

static_assert(kErrorOperationAborted == ERROR_OPERATION_ABORTED);
static_assert(kErrorMoreData == ERROR_MORE_DATA);

}  // namespace

// A console hands out UTF-16; the protocol is UTF-8 bytes.
ReadResult read_console(const ConsoleUnitsRead& read, char* buf, size_t cap) {
  // At most cap/3 UTF-16 units so that their UTF-8 form always fits.
  wchar_t wide[2048];
  uint32_t want = static_cast<uint32_t>(std::min<size_t>(cap / 3, 2048));
  if (want == 0) want = 1;
  uint32_t got = 0;
  if (!read(wide, want, got) || got == 0) return {ReadStatus::End, 0};
  if (got > want) got = want;
  static_assert(sizeof(wchar_t) == sizeof(char16_t));
  if (console_read_ends_input(reinterpret_cast<const char16_t*>(wide), got)) {
    return {ReadStatus::End, 0};
  }
  int n = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(got), buf, static_cast<int>(cap),
                              nullptr, nullptr);
  if (n <= 0) return {ReadStatus::End, 0};
  return {ReadStatus::Data, static_cast<size_t>(n)};
}

ReadResult read_stdin(char* buf, size_t cap) {
  HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return {ReadStatus::End, 0};
  if (is_console(h)) {
    return read_console(
        [h](wchar_t* units, uint32_t want, uint32_t& got) {
          DWORD n = 0;
          const bool ok = ReadConsoleW(h, units, want, &n, nullptr) != 0;
          got = n;
          return ok;
        },
        buf, cap);
  }
  const StdinKind kind = GetFileType(h) == FILE_TYPE_PIPE ? StdinKind::Pipe : StdinKind::Other;
  DWORD got = 0;
  const bool ok = ReadFile(h, buf, static_cast<DWORD>(cap), &got, nullptr) != 0;
  const DWORD error = ok ? 0u : GetLastError();
  const bool connected = ok && got == 0 && kind == StdinKind::Pipe &&
                         PeekNamedPipe(h, nullptr, 0, nullptr, nullptr, nullptr) != 0;
  return classify_stdin_read(kind, ok, got, error, connected);
}

void take_stdout() {
  // The program's entry runs it before any initialiser, and start-up asks again: once is all.
  static std::atomic<bool> taken{false};
  if (taken.exchange(true)) return;
  HANDLE real = GetStdHandle(STD_OUTPUT_HANDLE);
  if (real == nullptr || real == INVALID_HANDLE_VALUE) return;  // no output: writes fail
  HANDLE own = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), real, GetCurrentProcess(), &own, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return;  // the events keep the standard handle, shared as before
  }
  g_out.store(own);
  // Kept open for the life of the process: whoever asks for standard output gets NUL.
  HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  if (nul != INVALID_HANDLE_VALUE) (void)SetStdHandle(STD_OUTPUT_HANDLE, nul);
  // The C runtime's descriptor 1 may wrap the real handle itself; redirecting it closes
  // that handle, which is why the duplicate was made first. Bytes buffered in stdout so far
  // go to NUL as well.
  const int nul_fd = _open("NUL", _O_WRONLY | _O_BINARY);
  if (nul_fd > 1) {
    (void)_dup2(nul_fd, 1);
    (void)_close(nul_fd);
  }
}

size_t write_stdout(const char* data, size_t len) {
  HANDLE h = output_handle();
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return 0;
  if (is_console(h)) return write_console(h, data, len);
  DWORD written = 0;
  DWORD chunk = static_cast<DWORD>(std::min<size_t>(len, 1u << 30));
  if (!WriteFile(h, data, chunk, &written, nullptr)) return 0;
  return written;
}

// WriteFile keeps no user-space buffer: the bytes are in the pipe when it returns, and
// they survive this process's termination. FlushFileBuffers on a pipe would instead wait
// for the controller to read everything, turning a slow reader into a stalled writer.
bool flush_stdout() { return true; }

}  // namespace kestrune::os
