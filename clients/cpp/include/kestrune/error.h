#pragma once
// What went wrong, as a code a controller can branch on beside the one-line text for people.

#include <string>
#include <system_error>

namespace kestrune {

/// The kinds of failure the client reports. Compare a Failure's `code` with these values.
enum class Errc {
  bad_option = 1,       ///< A start option that cannot be honoured (an unknown user, a bad path).
  not_found,            ///< The helper executable (or a folder on its path) does not exist.
  access_denied,        ///< The helper may not be run (permissions, or the user it would run as).
  no_unelevated_token,  ///< Windows: elevated, and no token of the signed-in user to hand on.
  other_user,           ///< Windows: the desktop shell belongs to another account than this process.
  start_failed,         ///< Any other step of the start (pipes, fork, job, creation call).
  input_closed,         ///< close_input() or take_input() came first: nothing more can be written.
  helper_gone,          ///< The helper's end of its input is closed: it has ended or is ending.
  io_failed,            ///< A read or write failed for another reason (see `system`).
  wait_failed,          ///< The helper's exit could not be learnt (see `system`).
};

const std::error_category& client_category();
std::error_code make_error_code(Errc e);

/// One failure: its kind, the operating system's own code behind it where there was one
/// (errno in the generic category on POSIX, a Windows error in the system category), and
/// a line of text that says what failed, for which path, and the system's message.
struct Failure {
  std::error_code code;
  std::error_code system;
  std::string text;
};

}  // namespace kestrune

template <>
struct std::is_error_code_enum<kestrune::Errc> : std::true_type {};
