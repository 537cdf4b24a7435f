#include "token_choice.h"

namespace kestrune::detail {
namespace {

bool usable(const TokenCandidate& c) { return c.obtained && !c.elevated && !c.other_user; }

std::string describe(const TokenCandidate& c) {
  if (!c.obtained) return c.problem.empty() ? "not available" : c.problem;
  return "elevated";
}

}  // namespace

TokenChoice choose_token(bool own_elevated, bool keep_own, const TokenCandidate& shell,
                         const TokenCandidate& linked) {
  if (keep_own || !own_elevated) return {TokenSource::own, {}};
  if (usable(shell)) return {TokenSource::shell, {}};
  if (usable(linked)) return {TokenSource::linked, {}};
  if (shell.obtained && shell.other_user && !shell.elevated) {
    return {TokenSource::none,
            "the desktop shell runs as another user than this elevated process (were an "
            "administrator's credentials typed for a standard user?), and the helper would "
            "run as that user; start the controller from a prompt of the account it runs as, "
            "not elevated",
            true};
  }
  return {TokenSource::none,
          "this process is elevated and no unelevated token is at hand (desktop shell: " +
              describe(shell) + "; linked token: " + describe(linked) +
              "); start the controller from a prompt that is not elevated"};
}

}  // namespace kestrune::detail
