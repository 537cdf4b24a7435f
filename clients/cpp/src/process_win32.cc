#include <windows.h>

#include <array>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "kestrune/process.h"
#include "line_buffer.h"
#include "token_choice.h"
#include "unique_handle_win32.h"

namespace kestrune {
namespace {

using detail::TokenCandidate;
using detail::TokenSource;
using detail::UniqueHandle;
using Clock = std::chrono::steady_clock;

// The default argument reads the error code before anything else can change it.
std::string failure(const char* what, DWORD code = GetLastError()) {
  return std::string(what) + " failed (error " + std::to_string(code) + ")";
}

// Elevated, or its elevation unreadable: either way not a token to hand on.
bool is_elevated(HANDLE token) {
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size)) return true;
  return elevation.TokenIsElevated != 0;
}

constexpr DWORD kPrimaryAccess = TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY |
                                 TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID;

// A primary copy of `source`, examined for elevation.
TokenCandidate primary_copy(HANDLE source, UniqueHandle& out) {
  TokenCandidate c;
  if (!DuplicateTokenEx(source, kPrimaryAccess, nullptr, SecurityImpersonation, TokenPrimary,
                        out.put())) {
    c.problem = failure("DuplicateTokenEx");
    return c;
  }
  c.obtained = true;
  c.elevated = is_elevated(out.get());
  return c;
}

// The desktop shell runs with the signed-in user's unelevated token; an elevated
// administrator may borrow it (this is how an elevated installer starts a program as the
// user).
TokenCandidate shell_token(UniqueHandle& out) {
  TokenCandidate c;
  HWND shell = GetShellWindow();
  if (shell == nullptr) {
    c.problem = "no desktop shell";
    return c;
  }
  DWORD shell_pid = 0;
  GetWindowThreadProcessId(shell, &shell_pid);
  if (shell_pid == 0) {
    c.problem = failure("GetWindowThreadProcessId");
    return c;
  }
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, shell_pid));
  if (!process.valid()) {
    c.problem = failure("OpenProcess(shell)");
    return c;
  }
  UniqueHandle token;
  if (!OpenProcessToken(process.get(), TOKEN_DUPLICATE | TOKEN_QUERY, token.put())) {
    c.problem = failure("OpenProcessToken(shell)");
    return c;
  }
  return primary_copy(token.get(), out);
}

// The limited token linked to an elevated one. Outside the TCB it comes at identification
// level, and making it primary fails (1346); where it works (Wine) it is the user's token.
TokenCandidate linked_token(HANDLE self, UniqueHandle& out) {
  TokenCandidate c;
  TOKEN_LINKED_TOKEN info{};
  DWORD size = 0;
  if (!GetTokenInformation(self, TokenLinkedToken, &info, sizeof info, &size)) {
    c.problem = failure("GetTokenInformation(TokenLinkedToken)");
    return c;
  }
  UniqueHandle linked(info.LinkedToken);
  return primary_copy(linked.get(), out);
}

// The token to start the helper with; empty for this process's own.
bool choose_primary_token(bool keep_own, UniqueHandle& token, TokenSource& source,
                          std::string& error) {
  UniqueHandle self;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, self.put())) {
    error = failure("OpenProcessToken");
    return false;
  }
  const bool elevated = is_elevated(self.get());
  TokenCandidate shell, linked;
  UniqueHandle shell_primary, linked_primary;
  if (elevated && !keep_own) {
    shell = shell_token(shell_primary);
    if (shell.obtained && shell.elevated) shell_primary.reset();
    if (!shell.obtained || shell.elevated) linked = linked_token(self.get(), linked_primary);
  }
  const detail::TokenChoice choice = detail::choose_token(elevated, keep_own, shell, linked);
  source = choice.source;
  switch (choice.source) {
    case TokenSource::own: return true;
    case TokenSource::shell: token = std::move(shell_primary); return true;
    case TokenSource::linked: token = std::move(linked_primary); return true;
    case TokenSource::none: break;
  }
  error = choice.error;
  return false;
}

// Makes the helper's standard handles inheritable for one creation call and no longer: a
// process that another thread of the controller creates meanwhile can inherit them only
// within that call, and a copy of the helper's input end elsewhere would keep the helper
// from ever seeing the end of its input.
class InheritableDuring {
 public:
  explicit InheritableDuring(std::array<HANDLE, 3> handles) : handles_(handles) {
    for (HANDLE h : handles_) SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
  InheritableDuring(const InheritableDuring&) = delete;
  InheritableDuring& operator=(const InheritableDuring&) = delete;
  ~InheritableDuring() {
    for (HANDLE h : handles_) SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
  }

 private:
  std::array<HANDLE, 3> handles_;
};

// Turns on a privilege the token holds but has disabled; false when it lacks it.
bool enable_privilege(const wchar_t* name) {
  UniqueHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put())) {
    return false;
  }
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) return false;
  // Succeeds without assigning when the token lacks the privilege: that shows only here.
  return AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr) &&
         GetLastError() == ERROR_SUCCESS;
}

// Restricts inheritance to the standard handles where the system supports a handle list;
// elsewhere every inheritable handle of this process would go along, which is why the
// client keeps all its own handles non-inheritable.
class InheritList {
 public:
  InheritList(HANDLE input, HANDLE output, HANDLE error) {
    handles_[count_++] = input;
    if (output != input) handles_[count_++] = output;
    if (error != input && error != output) handles_[count_++] = error;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (size == 0 || !InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    initialised_ = true;
    if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                  count_ * sizeof(HANDLE), nullptr, nullptr)) {
      list_ = list;
    }
  }
  InheritList(const InheritList&) = delete;
  InheritList& operator=(const InheritList&) = delete;
  ~InheritList() {
    if (initialised_) {
      DeleteProcThreadAttributeList(reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data()));
    }
  }
  /// Null when the list could not be built.
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  std::array<HANDLE, 3> handles_{};
  size_t count_ = 0;
  std::vector<unsigned char> storage_;
  bool initialised_ = false;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

struct ChildStdio {
  HANDLE input, output, error;
};

bool create_suspended(const std::wstring& path, const ChildStdio& stdio, HANDLE token,
                      DWORD extra_flags, PROCESS_INFORMATION& pi, const char*& route,
                      std::string& error) {
  // CreateProcess may write into the command line, so it needs its own buffer.
  std::wstring command = L"\"" + path + L"\"";
  std::vector<wchar_t> command_buffer(command.begin(), command.end());
  command_buffer.push_back(L'\0');

  InheritList inherit(stdio.input, stdio.output, stdio.error);
  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdInput = stdio.input;
  si.StartupInfo.hStdOutput = stdio.output;
  si.StartupInfo.hStdError = stdio.error;
  si.lpAttributeList = inherit.get();
  DWORD flags = CREATE_SUSPENDED | CREATE_NO_WINDOW | extra_flags;
  if (si.lpAttributeList != nullptr) flags |= EXTENDED_STARTUPINFO_PRESENT;
  const InheritableDuring inheritable({stdio.input, stdio.output, stdio.error});

  if (token == nullptr) {
    route = "CreateProcessW";
    if (CreateProcessW(path.c_str(), command_buffer.data(), nullptr, nullptr, TRUE, flags, nullptr,
                       nullptr, &si.StartupInfo, &pi)) {
      return true;
    }
    error = failure("CreateProcessW");
    return false;
  }
  route = "CreateProcessAsUserW";
  if (CreateProcessAsUserW(token, path.c_str(), command_buffer.data(), nullptr, nullptr, TRUE,
                           flags, nullptr, nullptr, &si.StartupInfo, &pi)) {
    return true;
  }
  error = failure("CreateProcessAsUserW");
  // Without the assign-primary-token privilege (an ordinary elevated administrator) the
  // secondary-logon route still works; it needs the impersonate privilege enabled, which
  // administrators hold disabled. It takes the plain start-up block and fewer flags and no
  // handle list: the helper has no console anyway, the service-made process is in no job
  // of ours, and what it inherits besides its standard handles is not documented, which
  // is why only those are inheritable, and only during this call.
  route = "CreateProcessWithTokenW";
  if (!enable_privilege(SE_IMPERSONATE_NAME)) {
    error += "; " + failure("enabling SeImpersonatePrivilege");
    return false;
  }
  STARTUPINFOW plain = si.StartupInfo;
  plain.cb = sizeof plain;
  if (CreateProcessWithTokenW(token, 0, path.c_str(), command_buffer.data(), CREATE_SUSPENDED,
                              nullptr, nullptr, &plain, &pi)) {
    return true;
  }
  error += "; " + failure("CreateProcessWithTokenW");
  return false;
}

UniqueHandle create_kill_on_close_job(std::string& error) {
  UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
  if (!job.valid()) {
    error = failure("CreateJobObjectW");
    return {};
  }
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                               sizeof limits)) {
    error = failure("SetInformationJobObject");
    return {};
  }
  return job;
}

// The helper writes its standard error where this process does, or to NUL.
UniqueHandle stderr_for_helper(bool inherit) {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  UniqueHandle copy;
  if (inherit && err != nullptr && err != INVALID_HANDLE_VALUE &&
      DuplicateHandle(GetCurrentProcess(), err, GetCurrentProcess(), copy.put(), 0, FALSE,
                      DUPLICATE_SAME_ACCESS)) {
    return copy;
  }
  copy.reset(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr));
  return copy;
}

const char* source_name(TokenSource s) {
  switch (s) {
    case TokenSource::shell: return "shell";
    case TokenSource::linked: return "linked";
    default: return "own";
  }
}

}  // namespace

struct HelperProcess::Impl {
  UniqueHandle job;  // kill-on-close: dropping it ends the helper
  UniqueHandle process;
  UniqueHandle thread;  // held while suspended
  UniqueHandle input;
  UniqueHandle output;
  DWORD pid = 0;
  const char* source = "own";
  const char* route = "CreateProcessW";
  LineBuffer lines;
  std::mutex write_lock;  // a heartbeat thread writes too: whole lines only

  ~Impl() {
    if (process.valid() && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
      TerminateProcess(process.get(), 1);
      WaitForSingleObject(process.get(), 5000);
    }
  }
};

HelperProcess::HelperProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
HelperProcess::HelperProcess(HelperProcess&&) noexcept = default;
HelperProcess& HelperProcess::operator=(HelperProcess&&) noexcept = default;
HelperProcess::~HelperProcess() = default;

std::optional<HelperProcess> HelperProcess::start(const StartOptions& options, std::string& error) {
  const std::wstring path = options.helper.wstring();
  if (path.find(L'"') != std::wstring::npos) {
    error = "the helper path must not contain a double quote";
    return std::nullopt;
  }
  // Every end starts non-inheritable; the helper's ends are opened up only while the
  // helper is created.
  UniqueHandle child_in, input, output, child_out;
  if (!CreatePipe(child_in.put(), input.put(), nullptr, options.pipe_size) ||
      !CreatePipe(output.put(), child_out.put(), nullptr, options.pipe_size)) {
    error = failure("CreatePipe");
    return std::nullopt;
  }
  UniqueHandle child_err = stderr_for_helper(options.inherit_stderr);

  UniqueHandle token;
  TokenSource source = TokenSource::own;
  if (!choose_primary_token(!options.unelevated, token, source, error)) return std::nullopt;

  UniqueHandle job;
  if (options.kill_on_close) {
    job = create_kill_on_close_job(error);
    if (!job.valid()) return std::nullopt;
  }

  const ChildStdio stdio{child_in.get(), child_out.get(), child_err.get()};
  // Breaking away from a job of our own is only needed where jobs do not nest and this
  // process already runs in one; try the plain way first.
  for (const DWORD extra : {DWORD{0}, DWORD{CREATE_BREAKAWAY_FROM_JOB}}) {
    PROCESS_INFORMATION pi{};
    std::string create_error;
    const char* route = "CreateProcessW";
    if (!create_suspended(path, stdio, token.get(), extra, pi, route, create_error)) {
      error = error.empty() ? create_error : error + "; then " + create_error;
      return std::nullopt;
    }
    auto impl = std::make_unique<Impl>();
    impl->process.reset(pi.hProcess);
    impl->thread.reset(pi.hThread);
    impl->pid = pi.dwProcessId;
    if (job.valid() && !AssignProcessToJobObject(job.get(), impl->process.get())) {
      error = failure("AssignProcessToJobObject");
      continue;  // ~Impl ends the suspended process
    }
    impl->job = std::move(job);
    impl->input = std::move(input);
    impl->output = std::move(output);
    impl->source = source_name(source);
    impl->route = route;
    HelperProcess helper(std::move(impl));
    if (!options.suspended && !helper.resume(error)) return std::nullopt;
    return helper;
  }
  return std::nullopt;
}

std::uint32_t HelperProcess::pid() const { return impl_->pid; }
std::uint32_t HelperProcess::current_pid() { return GetCurrentProcessId(); }
std::string_view HelperProcess::token_source() const { return impl_->source; }
std::string_view HelperProcess::creation() const { return impl_->route; }

bool HelperProcess::resume(std::string& error) {
  if (!impl_->thread.valid()) return true;
  if (ResumeThread(impl_->thread.get()) == static_cast<DWORD>(-1)) {
    error = failure("ResumeThread");
    return false;
  }
  impl_->thread.reset();
  return true;
}

bool HelperProcess::write(std::string_view bytes) {
  const std::lock_guard lock(impl_->write_lock);
  if (!impl_->input.valid()) return false;
  while (!bytes.empty()) {
    DWORD written = 0;
    const DWORD size = bytes.size() > 0x10000 ? 0x10000 : static_cast<DWORD>(bytes.size());
    if (!WriteFile(impl_->input.get(), bytes.data(), size, &written, nullptr) || written == 0) {
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

void HelperProcess::close_input() { impl_->input.reset(); }

ReadResult HelperProcess::read_line(std::string& line, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (impl_->lines.take(line)) return ReadResult::line;
    if (!impl_->output.valid() || impl_->lines.overflowed()) {
      impl_->output.reset();
      return impl_->lines.take_rest(line) ? ReadResult::line : ReadResult::end;
    }
    // Anonymous pipes have no timed read: look before reading, so ReadFile never blocks.
    DWORD available = 0;
    if (!PeekNamedPipe(impl_->output.get(), nullptr, 0, nullptr, &available, nullptr)) {
      impl_->output.reset();  // the helper's end is closed
      continue;
    }
    if (available == 0) {
      if (Clock::now() >= deadline) return ReadResult::timeout;
      Sleep(1);
      continue;
    }
    char chunk[4096];
    DWORD got = 0;
    const DWORD want = available < sizeof chunk ? available : static_cast<DWORD>(sizeof chunk);
    if (!ReadFile(impl_->output.get(), chunk, want, &got, nullptr) || got == 0) {
      impl_->output.reset();
      continue;
    }
    impl_->lines.append(std::string_view(chunk, got));
  }
}

std::optional<std::int64_t> HelperProcess::wait(std::chrono::milliseconds timeout) {
  const auto ms = timeout.count() < 0 ? 0 : timeout.count();
  const DWORD wait_ms = ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms);
  if (WaitForSingleObject(impl_->process.get(), wait_ms) != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  if (!GetExitCodeProcess(impl_->process.get(), &code)) return -1;
  return static_cast<std::int64_t>(code);
}

void HelperProcess::kill() { TerminateProcess(impl_->process.get(), 1); }

NativeHandle HelperProcess::take_input() { return impl_->input.release(); }
NativeHandle HelperProcess::take_output() { return impl_->output.release(); }

}  // namespace kestrune
