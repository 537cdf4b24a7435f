// echo_child: a stand-in helper for testing kestrune-launch. It says how it was started,
// then obeys lines on its standard input:
//
//   first line out   "hello pid=<pid> inJob=<0|1> elevated=<0|1> limits=0x<job limit flags>"
//   "exit <n>"       ends the process with exit code n (decimal, up to 32 bits)
//   "flood <n>"      writes n bytes, byte i being i mod 256, then "flooded <n>" on stderr;
//                    a failed write ends the process with exit code 33
//   "hold"           stops reading standard input for 10 s
//   "close stdin"    closes standard input, waits 10 s and exits with code 0
//   anything else    is written back, followed by "\n"; a failed write also exits with 33
//   end of input     writes "eof" and exits with code 3
//
//   echo_child.exe --alive <pid>   exits 0 if process <pid> runs, 1 if not (for tests that
//                                  check a helper was killed)

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "os/win32_handle.h"

namespace {

using UniqueHandle = kestrune::os::UniqueWin32Handle;

constexpr UINT kWriteFailedExit = 33;
constexpr UINT kEndOfInputExit = 3;

bool write_all(HANDLE h, const char* data, DWORD size) {
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(h, data, size, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

void write_or_exit(const std::string& text) {
  if (!write_all(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()))) {
    ExitProcess(kWriteFailedExit);
  }
}

bool parse_u32(const std::string& text, uint32_t& value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > 0xFFFFFFFFu) return false;
  value = static_cast<uint32_t>(v);
  return true;
}

std::string hello() {
  BOOL in_job = FALSE;
  IsProcessInJob(GetCurrentProcess(), nullptr, &in_job);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  if (in_job) {
    QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits, sizeof limits,
                              nullptr);
  }
  TOKEN_ELEVATION elevation{};
  UniqueHandle token;
  DWORD size = 0;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) {
    GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size);
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "%lx",
                static_cast<unsigned long>(limits.BasicLimitInformation.LimitFlags));
  return "hello pid=" + std::to_string(GetCurrentProcessId()) + " inJob=" +
         (in_job ? "1" : "0") + " elevated=" + (elevation.TokenIsElevated ? "1" : "0") +
         " limits=0x" + hex + "\n";
}

void flood(uint32_t count) {
  char chunk[4096];
  for (uint32_t done = 0; done < count;) {
    const DWORD n = static_cast<DWORD>(count - done < sizeof chunk ? count - done : sizeof chunk);
    for (DWORD i = 0; i < n; ++i) chunk[i] = static_cast<char>((done + i) & 0xFF);
    if (!write_all(GetStdHandle(STD_OUTPUT_HANDLE), chunk, n)) ExitProcess(kWriteFailedExit);
    done += n;
  }
  const std::string note = "flooded " + std::to_string(count) + "\n";
  write_all(GetStdHandle(STD_ERROR_HANDLE), note.data(), static_cast<DWORD>(note.size()));
}

void obey(const std::string& line) {
  uint32_t n = 0;
  if (line.rfind("exit ", 0) == 0 && parse_u32(line.substr(5), n)) ExitProcess(n);
  if (line.rfind("flood ", 0) == 0 && parse_u32(line.substr(6), n)) return flood(n);
  if (line == "hold") {
    Sleep(10000);
    return;
  }
  if (line == "close stdin") {
    CloseHandle(GetStdHandle(STD_INPUT_HANDLE));
    Sleep(10000);
    ExitProcess(0);
  }
  write_or_exit(line + "\n");
}

int alive(const wchar_t* pid_text) {
  const unsigned long pid = std::wcstoul(pid_text, nullptr, 10);
  UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
  if (!process.valid()) return 1;
  return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"--alive") return alive(argv[2]);

  write_or_exit(hello());
  std::string pending;
  char buffer[4096];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) ||
        got == 0) {
      break;
    }
    pending.append(buffer, got);
    for (size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, eol);
      pending.erase(0, eol + 1);
      obey(line);
    }
  }
  if (!pending.empty()) obey(pending);
  write_or_exit("eof\n");
  return static_cast<int>(kEndOfInputExit);
}
