#include <initializer_list>
#include <memory>
#include <string>

#include "os/thread.h"
#include "os/win32.h"

namespace kestrune::os {
namespace {

struct ThreadStart {
  std::wstring name;
  std::function<void()> body;
};

using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);

// Looked up at run time: the call exists from Windows 10 1607 on, but kernel32 exports it
// only from 1709; before that it is reached through KernelBase.dll, which every process
// has loaded. Systems with neither get unnamed threads.
SetThreadDescriptionFn set_thread_description() {
  static const SetThreadDescriptionFn fn = []() -> SetThreadDescriptionFn {
    for (const wchar_t* dll : {L"kernel32.dll", L"KernelBase.dll"}) {
      HMODULE m = GetModuleHandleW(dll);
      if (m == nullptr) continue;
      if (FARPROC p = GetProcAddress(m, "SetThreadDescription")) {
        return reinterpret_cast<SetThreadDescriptionFn>(reinterpret_cast<void*>(p));
      }
    }
    return nullptr;
  }();
  return fn;
}

DWORD WINAPI thread_entry(LPVOID arg) {
  // An exception escaping here would end the process with an unrelated exit code.
  run_thread_body([arg] {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
    if (auto fn = set_thread_description()) (void)fn(GetCurrentThread(), start->name.c_str());
    auto body = std::move(start->body);
    start.reset();
    body();
  });
  return 0;
}

int win_priority(ThreadPriority p) {
  switch (p) {
    case ThreadPriority::BelowNormal: return THREAD_PRIORITY_BELOW_NORMAL;
    case ThreadPriority::Normal: return THREAD_PRIORITY_NORMAL;
    case ThreadPriority::AboveNormal: return THREAD_PRIORITY_ABOVE_NORMAL;
  }
  return THREAD_PRIORITY_NORMAL;
}

}  // namespace

bool start_thread(const char* name, size_t stack_reservation, std::function<void()> body) {
  std::wstring wname;
  for (const char* p = name; *p; ++p) wname.push_back(static_cast<wchar_t>(*p));  // ASCII names
  auto* start = new ThreadStart{std::move(wname), std::move(body)};
  DWORD flags = stack_reservation != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0;
  HANDLE h = CreateThread(nullptr, stack_reservation, thread_entry, start, flags, nullptr);
  if (h == nullptr) {
    delete start;
    return false;
  }
  (void)CloseHandle(h);  // never joined
  return true;
}

void set_current_thread_priority(ThreadPriority priority) {
  (void)SetThreadPriority(GetCurrentThread(), win_priority(priority));
}

void set_process_priority_below_normal() {
  (void)SetPriorityClass(GetCurrentProcess(), BELOW_NORMAL_PRIORITY_CLASS);
}

uint32_t logical_processor_count() {
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  return si.dwNumberOfProcessors < 1 ? 1u : static_cast<uint32_t>(si.dwNumberOfProcessors);
}

uint32_t current_process_id() { return GetCurrentProcessId(); }

void yield_processor() { (void)SwitchToThread(); }

void prepare_process() {
  // No window may ever appear: a fault ends the process instead of waiting on a dialog.
  (void)SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

void terminate_process(uint32_t code) {
  (void)TerminateProcess(GetCurrentProcess(), code);
  ExitProcess(code);
}

}  // namespace kestrune::os
