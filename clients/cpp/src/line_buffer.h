#pragma once
// Splits the helper's output into lines, with a bound so a runaway writer cannot make the
// controller hold unbounded memory.

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrune {

class LineBuffer {
 public:
  static constexpr std::size_t kMaxLine = 1u << 20;

  void append(std::string_view bytes) { pending_.append(bytes); }

  /// The next complete line without its newline; false when none is complete.
  bool take(std::string& line) {
    const std::size_t eol = pending_.find('\n', 0);
    if (eol == std::string::npos) return false;
    line.assign(pending_, 0, eol);
    pending_.erase(0, eol + 1);
    return true;
  }
  /// At the end of output: an unterminated last line, if any.
  bool take_rest(std::string& line) {
    if (pending_.empty() || overflowed()) return false;
    line = std::move(pending_);
    pending_.clear();
    return true;
  }
  bool overflowed() const { return pending_.size() > kMaxLine; }

 private:
  std::string pending_;
};

}  // namespace kestrune
