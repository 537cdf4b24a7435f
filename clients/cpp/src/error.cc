#include "kestrune/error.h"

namespace kestrune {
namespace {

class ClientCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "kestrune"; }
  std::string message(int value) const override {
    switch (static_cast<Errc>(value)) {
      case Errc::bad_option: return "a start option cannot be honoured";
      case Errc::not_found: return "the helper executable was not found";
      case Errc::access_denied: return "access denied";
      case Errc::no_unelevated_token: return "no unelevated token to start the helper with";
      case Errc::other_user: return "the desktop shell belongs to another user";
      case Errc::start_failed: return "the helper could not be started";
      case Errc::input_closed: return "the helper's input was closed by this process";
      case Errc::helper_gone: return "the helper's input is closed at its end";
      case Errc::io_failed: return "reading from or writing to the helper failed";
      case Errc::wait_failed: return "the helper's exit could not be learnt";
    }
    return "unknown failure";
  }
};

}  // namespace

const std::error_category& client_category() {
  static const ClientCategory category;
  return category;
}

std::error_code make_error_code(Errc e) { return {static_cast<int>(e), client_category()}; }

}  // namespace kestrune
