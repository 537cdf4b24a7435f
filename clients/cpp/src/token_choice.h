#pragma once
// Which token the helper gets on Windows, decided from what the probes found. Kept apart
// from the probing so the decision can be tested anywhere.

#include <string>

namespace kestrune::detail {

enum class TokenSource { own, shell, linked, none };

/// What one probe for an unelevated token found.
struct TokenCandidate {
  bool obtained = false;  ///< A primary token was made from it.
  bool elevated = true;   ///< That token is elevated (or its elevation could not be read).
  /// It belongs to another account than this process's token (over-the-shoulder
  /// elevation: a standard user signed in, an administrator's credentials typed).
  bool other_user = false;
  std::string problem;    ///< Why it was not obtained, for the failure line.
};

struct TokenChoice {
  TokenSource source = TokenSource::none;
  std::string error;  ///< Set when source is none: one line saying what to do.
  /// Set with `none` when the only unelevated token at hand was another user's.
  bool other_user = false;
};

/// `keep_own`: the caller asked for this process's token as it is (a test of the helper's
/// refusal). Otherwise an unelevated process's own token serves; an elevated one borrows
/// the desktop shell's token (the usual route on Windows), else the linked token (which
/// works where duplicating it is allowed), and never passes an elevated token on, nor one
/// of another account: the helper would run as that user and could not watch this process.
TokenChoice choose_token(bool own_elevated, bool keep_own, const TokenCandidate& shell,
                         const TokenCandidate& linked);

}  // namespace kestrune::detail
