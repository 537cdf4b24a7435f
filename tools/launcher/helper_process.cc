#include "launcher/helper_process.h"

#include <array>
#include <string>
#include <utility>
#include <vector>

namespace kestrune::launcher {
namespace {

// The default argument reads the error code before anything else can change it.
std::string failure(const char* what, DWORD code = GetLastError()) {
  return std::string(what) + " failed (error " + std::to_string(code) + ")";
}

// The token to start the helper with. Leaves `token` empty when this process's own token
// will do: it is not elevated, so the helper inherits an unelevated one anyway.
bool unelevated_primary_token(UniqueHandle& token, std::string& error) {
  UniqueHandle self;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, self.put())) {
    error = failure("OpenProcessToken");
    return false;
  }
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (!GetTokenInformation(self.get(), TokenElevation, &elevation, sizeof elevation, &size)) {
    error = failure("GetTokenInformation(TokenElevation)");
    return false;
  }
  if (elevation.TokenIsElevated == 0) return true;

  // An elevated administrator (and every Wine process) carries a linked limited token: the
  // one the same user would have without elevation.
  TOKEN_LINKED_TOKEN linked_info{};
  if (!GetTokenInformation(self.get(), TokenLinkedToken, &linked_info, sizeof linked_info,
                           &size)) {
    error = failure("GetTokenInformation(TokenLinkedToken)");
    return false;
  }
  UniqueHandle linked(linked_info.LinkedToken);
  constexpr DWORD kAccess = TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY |
                            TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID;
  if (!DuplicateTokenEx(linked.get(), kAccess, nullptr, SecurityImpersonation, TokenPrimary,
                        token.put())) {
    error = failure("DuplicateTokenEx");
    return false;
  }
  return true;
}

// Restricts inheritance to the three standard handles where the system supports a handle
// list; elsewhere every inheritable handle of this process would go along, which is why the
// launcher keeps all its other handles non-inheritable.
class InheritList {
 public:
  explicit InheritList(const HelperStdio& stdio) {
    handles_[count_++] = stdio.input;
    if (stdio.output != stdio.input) handles_[count_++] = stdio.output;
    if (stdio.error != stdio.input && stdio.error != stdio.output) handles_[count_++] = stdio.error;
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

bool create_suspended(const HelperOptions& options, const HelperStdio& stdio, HANDLE token,
                      DWORD extra_flags, PROCESS_INFORMATION& pi, std::string& error) {
  // CreateProcess may write into the command line, so it needs its own buffer.
  std::wstring command = L"\"" + options.path + L"\"";
  std::vector<wchar_t> command_buffer(command.begin(), command.end());
  command_buffer.push_back(L'\0');

  InheritList inherit(stdio);
  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdInput = stdio.input;
  si.StartupInfo.hStdOutput = stdio.output;
  si.StartupInfo.hStdError = stdio.error;
  si.lpAttributeList = inherit.get();
  DWORD flags = CREATE_SUSPENDED | CREATE_NO_WINDOW | extra_flags;
  if (si.lpAttributeList != nullptr) flags |= EXTENDED_STARTUPINFO_PRESENT;

  if (token == nullptr) {
    if (CreateProcessW(options.path.c_str(), command_buffer.data(), nullptr, nullptr, TRUE,
                       flags, nullptr, nullptr, &si.StartupInfo, &pi)) {
      return true;
    }
    error = failure("CreateProcessW");
    return false;
  }
  if (CreateProcessAsUserW(token, options.path.c_str(), command_buffer.data(), nullptr, nullptr,
                           TRUE, flags, nullptr, nullptr, &si.StartupInfo, &pi)) {
    return true;
  }
  error = failure("CreateProcessAsUserW");
  // Without the assign-primary-token privilege (an ordinary elevated administrator) the
  // secondary-logon route still works. It takes the plain start-up block and fewer flags;
  // the helper has no console anyway, and the service-made process is in no job of ours.
  STARTUPINFOW plain = si.StartupInfo;
  plain.cb = sizeof plain;
  if (CreateProcessWithTokenW(token, 0, options.path.c_str(), command_buffer.data(),
                              CREATE_SUSPENDED, nullptr, nullptr, &plain, &pi)) {
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

}  // namespace

bool start_helper_suspended(const HelperOptions& options, const HelperStdio& stdio,
                            Helper& helper, std::string& error) {
  if (options.path.find(L'"') != std::wstring::npos) {
    error = "the helper path must not contain a double quote";
    return false;
  }
  UniqueHandle token;
  if (!options.keep_token && !unelevated_primary_token(token, error)) return false;

  UniqueHandle job;
  if (options.in_job) {
    job = create_kill_on_close_job(error);
    if (!job.valid()) return false;
  }

  // Breaking away from a job of our own is only needed where jobs do not nest and this
  // process already runs in one; try the plain way first.
  const DWORD attempts[] = {0, CREATE_BREAKAWAY_FROM_JOB};
  for (DWORD extra : attempts) {
    PROCESS_INFORMATION pi{};
    std::string create_error;
    if (!create_suspended(options, stdio, token.get(), extra, pi, create_error)) {
      error = error.empty() ? create_error : error + "; then " + create_error;
      return false;
    }
    UniqueHandle process(pi.hProcess);
    UniqueHandle thread(pi.hThread);
    if (job.valid() && !AssignProcessToJobObject(job.get(), process.get())) {
      error = failure("AssignProcessToJobObject");
      TerminateProcess(process.get(), 1);
      continue;
    }
    helper.job = std::move(job);
    helper.process = std::move(process);
    helper.thread = std::move(thread);
    helper.pid = pi.dwProcessId;
    return true;
  }
  return false;
}

}  // namespace kestrune::launcher
