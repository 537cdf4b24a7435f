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

std::string utf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, nullptr, nullptr);
  if (n <= 0) return "?";
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::wstring wide(const std::string& text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

// The system's own words for an error code, on one line.
std::string system_message(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (n == 0 || buffer == nullptr) return {};
  std::wstring text(buffer, n);
  LocalFree(buffer);
  for (wchar_t& c : text) {
    if (c == L'\r' || c == L'\n') c = L' ';
  }
  while (!text.empty() && (text.back() == L' ' || text.back() == L'.')) text.pop_back();
  return utf8(text);
}

// The default argument reads the error code before anything else can change it.
std::string failure(const char* what, DWORD code = GetLastError()) {
  const std::string message = system_message(code);
  return std::string(what) + " failed (error " + std::to_string(code) +
         (message.empty() ? "" : ": " + message) + ")";
}

Failure make_failure(Errc kind, DWORD code, std::string text) {
  Failure f;
  f.code = kind;
  if (code != 0) f.system = std::error_code(static_cast<int>(code), std::system_category());
  f.text = std::move(text);
  return f;
}

// Errors that say the file itself is the problem: no other route can start it either.
bool about_the_file(DWORD code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
         code == ERROR_INVALID_NAME || code == ERROR_BAD_PATHNAME ||
         code == ERROR_BAD_EXE_FORMAT || code == ERROR_FILENAME_EXCED_RANGE ||
         code == ERROR_DIRECTORY;
}

Errc kind_of(DWORD code) {
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_INVALID_NAME ||
      code == ERROR_BAD_PATHNAME || code == ERROR_DIRECTORY) {
    return Errc::not_found;
  }
  if (code == ERROR_ACCESS_DENIED) return Errc::access_denied;
  return Errc::start_failed;
}

// The account a token belongs to; empty when it cannot be read.
std::vector<unsigned char> token_user(HANDLE token) {
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return {};
  return buffer;
}

// Both tokens belong to one account; false when either cannot be read.
bool same_user(HANDLE a, HANDLE b) {
  std::vector<unsigned char> ua = token_user(a), ub = token_user(b);
  if (ua.empty() || ub.empty()) return false;
  return EqualSid(reinterpret_cast<TOKEN_USER*>(ua.data())->User.Sid,
                  reinterpret_cast<TOKEN_USER*>(ub.data())->User.Sid) != 0;
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
TokenCandidate shell_token(HANDLE self, UniqueHandle& out) {
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
  c = primary_copy(token.get(), out);
  c.other_user = c.obtained && !same_user(self, token.get());
  return c;
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
                          Failure& error) {
  UniqueHandle self;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, self.put())) {
    const DWORD code = GetLastError();
    error = make_failure(Errc::start_failed, code, failure("OpenProcessToken", code));
    return false;
  }
  const bool elevated = is_elevated(self.get());
  TokenCandidate shell, linked;
  UniqueHandle shell_primary, linked_primary;
  if (elevated && !keep_own) {
    shell = shell_token(self.get(), shell_primary);
    if (shell.obtained && (shell.elevated || shell.other_user)) shell_primary.reset();
    if (!shell.obtained || shell.elevated || shell.other_user) {
      linked = linked_token(self.get(), linked_primary);
    }
  }
  const detail::TokenChoice choice = detail::choose_token(elevated, keep_own, shell, linked);
  source = choice.source;
  switch (choice.source) {
    case TokenSource::own: return true;
    case TokenSource::shell: token = std::move(shell_primary); return true;
    case TokenSource::linked: token = std::move(linked_primary); return true;
    case TokenSource::none: break;
  }
  error = make_failure(choice.other_user ? Errc::other_user : Errc::no_unelevated_token, 0,
                       choice.error);
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

// Turns on a privilege the token holds but has disabled, for as long as it lives, and then
// puts it back as it was: the controller's token is left as it found it.
class PrivilegeEnabled {
 public:
  explicit PrivilegeEnabled(const wchar_t* name) {
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                          token_.put())) {
      return;
    }
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) return;
    DWORD size = 0;
    // Succeeds without assigning when the token lacks the privilege: that shows only here.
    if (!AdjustTokenPrivileges(token_.get(), FALSE, &privileges, sizeof previous_, &previous_,
                               &size) ||
        GetLastError() != ERROR_SUCCESS) {
      return;
    }
    enabled_ = true;
  }
  PrivilegeEnabled(const PrivilegeEnabled&) = delete;
  PrivilegeEnabled& operator=(const PrivilegeEnabled&) = delete;
  ~PrivilegeEnabled() {
    // PreviousState lists the privilege only when the call changed it.
    if (enabled_ && previous_.PrivilegeCount > 0) {
      AdjustTokenPrivileges(token_.get(), FALSE, &previous_, 0, nullptr, nullptr);
    }
  }
  bool enabled() const { return enabled_; }

 private:
  UniqueHandle token_;
  TOKEN_PRIVILEGES previous_{};
  bool enabled_ = false;
};

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

// Empty when the helper is to get this process's environment.
struct EnvironmentBlock {
  std::vector<wchar_t> block;
  void* get() { return block.empty() ? nullptr : block.data(); }
};

bool create_suspended(const std::wstring& path, const ChildStdio& stdio, HANDLE token,
                      DWORD extra_flags, EnvironmentBlock& environment,
                      PROCESS_INFORMATION& pi, const char*& route, Failure& error) {
  const std::string where = "cannot start " + utf8(path) + ": ";
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
  const DWORD environment_flag = environment.get() != nullptr ? CREATE_UNICODE_ENVIRONMENT : 0;
  DWORD flags = CREATE_SUSPENDED | CREATE_NO_WINDOW | environment_flag | extra_flags;
  if (si.lpAttributeList != nullptr) flags |= EXTENDED_STARTUPINFO_PRESENT;
  const InheritableDuring inheritable({stdio.input, stdio.output, stdio.error});

  if (token == nullptr) {
    route = "CreateProcessW";
    if (CreateProcessW(path.c_str(), command_buffer.data(), nullptr, nullptr, TRUE, flags,
                       environment.get(), nullptr, &si.StartupInfo, &pi)) {
      return true;
    }
    const DWORD code = GetLastError();
    error = make_failure(kind_of(code), code, where + failure("CreateProcessW", code));
    return false;
  }
  route = "CreateProcessAsUserW";
  if (CreateProcessAsUserW(token, path.c_str(), command_buffer.data(), nullptr, nullptr, TRUE,
                           flags, environment.get(), nullptr, &si.StartupInfo, &pi)) {
    return true;
  }
  const DWORD as_user_code = GetLastError();
  error = make_failure(kind_of(as_user_code), as_user_code,
                       where + failure("CreateProcessAsUserW", as_user_code));
  if (about_the_file(as_user_code)) return false;
  // Without the assign-primary-token privilege (an ordinary elevated administrator) the
  // secondary-logon route still works; it needs the impersonate privilege enabled, which
  // administrators hold disabled. It takes the plain start-up block and fewer flags and no
  // handle list: the helper has no console anyway, the service-made process is in no job
  // of ours, and what it inherits besides its standard handles is not documented, which
  // is why only those are inheritable, and only during this call.
  route = "CreateProcessWithTokenW";
  const PrivilegeEnabled impersonate(SE_IMPERSONATE_NAME);
  if (!impersonate.enabled()) {
    const DWORD code = GetLastError();
    error.text += "; " + failure("enabling SeImpersonatePrivilege", code);
    return false;
  }
  STARTUPINFOW plain = si.StartupInfo;
  plain.cb = sizeof plain;
  if (CreateProcessWithTokenW(token, 0, path.c_str(), command_buffer.data(),
                              CREATE_SUSPENDED | environment_flag, environment.get(), nullptr,
                              &plain, &pi)) {
    return true;
  }
  const DWORD code = GetLastError();
  error = make_failure(kind_of(code), code,
                       error.text + "; " + failure("CreateProcessWithTokenW", code));
  return false;
}

// One start at a time in this process: on the route without a handle list, a helper
// created while another start's handles are inheritable would get a copy of them.
std::mutex& start_lock() {
  static std::mutex lock;
  return lock;
}

UniqueHandle create_kill_on_close_job(Failure& error) {
  UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
  if (!job.valid()) {
    const DWORD code = GetLastError();
    error = make_failure(Errc::start_failed, code, failure("CreateJobObjectW", code));
    return {};
  }
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                               sizeof limits)) {
    const DWORD code = GetLastError();
    error = make_failure(Errc::start_failed, code, failure("SetInformationJobObject", code));
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
  UniqueHandle input;   // changed under write_lock only
  UniqueHandle output;
  DWORD pid = 0;
  const char* source = "own";
  const char* route = "CreateProcessW";
  LineBuffer lines;
  std::mutex write_lock;  // a heartbeat thread writes too: whole lines only

  ~Impl() { end(); }

  void close_input() {
    const std::lock_guard lock(write_lock);
    input.reset();
  }

  // Ended first: a heartbeat blocked on a full pipe holds the write lock until then.
  void end() {
    if (process.valid() && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
      TerminateProcess(process.get(), 1);
      WaitForSingleObject(process.get(), 5000);
    }
    close_input();
  }
};

HelperProcess::HelperProcess(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
HelperProcess::HelperProcess(HelperProcess&&) noexcept = default;
HelperProcess& HelperProcess::operator=(HelperProcess&& other) noexcept {
  if (this != &other) {
    if (impl_) impl_->end();
    impl_ = std::move(other.impl_);
  }
  return *this;
}
// A heartbeat may still hold the helper's state: the helper ends here all the same.
HelperProcess::~HelperProcess() {
  if (impl_) impl_->end();
}

std::optional<HelperProcess> HelperProcess::start(const StartOptions& options, Failure& error) {
  error = {};
  const std::wstring path = options.helper.wstring();
  if (path.find(L'"') != std::wstring::npos) {
    error = make_failure(Errc::bad_option, 0, "the helper path must not contain a double quote");
    return std::nullopt;
  }
  if (!options.user.empty()) {
    error = make_failure(Errc::bad_option, 0,
                         "StartOptions::user has no meaning on Windows: the helper runs as "
                         "the signed-in user");
    return std::nullopt;
  }
  EnvironmentBlock environment;
  if (options.environment) {
    for (const std::string& entry : *options.environment) {
      const std::wstring w = wide(entry);
      if (w.empty() || w.find(L'=', 1) == std::wstring::npos) {
        error = make_failure(Errc::bad_option, 0,
                             "an environment entry is not NAME=value: `" + entry + "`");
        return std::nullopt;
      }
      environment.block.insert(environment.block.end(), w.begin(), w.end());
      environment.block.push_back(L'\0');
    }
    if (environment.block.empty()) environment.block.push_back(L'\0');
    environment.block.push_back(L'\0');
  }
  // Every end starts non-inheritable; the helper's ends are opened up only while the
  // helper is created.
  UniqueHandle child_in, input, output, child_out;
  if (!CreatePipe(child_in.put(), input.put(), nullptr, options.pipe_size) ||
      !CreatePipe(output.put(), child_out.put(), nullptr, options.pipe_size)) {
    const DWORD code = GetLastError();
    error = make_failure(Errc::start_failed, code, failure("CreatePipe", code));
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
  const std::lock_guard one_start(start_lock());
  // Breaking away from a job of our own is only needed where jobs do not nest and this
  // process already runs in one; try the plain way first.
  for (const DWORD extra : {DWORD{0}, DWORD{CREATE_BREAKAWAY_FROM_JOB}}) {
    PROCESS_INFORMATION pi{};
    Failure create_error;
    const char* route = "CreateProcessW";
    if (!create_suspended(path, stdio, token.get(), extra, environment, pi, route, create_error)) {
      if (!error.text.empty()) create_error.text = error.text + "; then " + create_error.text;
      error = create_error;
      return std::nullopt;
    }
    auto impl = std::make_shared<Impl>();
    impl->process.reset(pi.hProcess);
    impl->thread.reset(pi.hThread);
    impl->pid = pi.dwProcessId;
    if (job.valid() && !AssignProcessToJobObject(job.get(), impl->process.get())) {
      const DWORD code = GetLastError();
      error = make_failure(Errc::start_failed, code, failure("AssignProcessToJobObject", code));
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

bool HelperProcess::resume(Failure& error) {
  if (!impl_->thread.valid()) return true;
  if (ResumeThread(impl_->thread.get()) == static_cast<DWORD>(-1)) {
    const DWORD code = GetLastError();
    error = make_failure(Errc::start_failed, code, failure("ResumeThread", code));
    return false;
  }
  impl_->thread.reset();
  return true;
}

bool HelperProcess::write_to(Impl& impl, std::string_view bytes, Failure& error) {
  const std::lock_guard lock(impl.write_lock);
  if (!impl.input.valid()) {
    error = make_failure(Errc::input_closed, 0, "the helper's input was closed by this process");
    return false;
  }
  while (!bytes.empty()) {
    DWORD written = 0;
    const DWORD size = bytes.size() > 0x10000 ? 0x10000 : static_cast<DWORD>(bytes.size());
    if (!WriteFile(impl.input.get(), bytes.data(), size, &written, nullptr) || written == 0) {
      const DWORD code = GetLastError();
      error = code == ERROR_BROKEN_PIPE || code == ERROR_NO_DATA
                  ? make_failure(Errc::helper_gone, code, "the helper's input is closed at its end")
                  : make_failure(Errc::io_failed, code, failure("writing to the helper", code));
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

void HelperProcess::close_input() { impl_->close_input(); }

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

Exit HelperProcess::wait_exit(std::chrono::milliseconds timeout) {
  Exit result;
  const auto ms = timeout.count() < 0 ? 0 : timeout.count();
  const DWORD wait_ms = ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms);
  const DWORD waited = WaitForSingleObject(impl_->process.get(), wait_ms);
  if (waited == WAIT_TIMEOUT) return result;
  DWORD code = 0;
  if (waited != WAIT_OBJECT_0 || !GetExitCodeProcess(impl_->process.get(), &code)) {
    const DWORD error = GetLastError();
    result.state = Exit::State::unknown;
    result.failure = make_failure(Errc::wait_failed, error, failure("waiting for the helper", error));
    return result;
  }
  result.state = Exit::State::exited;
  result.code = static_cast<std::int64_t>(code);
  return result;
}

// The process handle keeps the helper's id from being reused, so this never hits another.
void HelperProcess::kill() { TerminateProcess(impl_->process.get(), 1); }

NativeHandle HelperProcess::take_input() {
  const std::lock_guard lock(impl_->write_lock);
  return impl_->input.release();
}
NativeHandle HelperProcess::take_output() { return impl_->output.release(); }

}  // namespace kestrune
