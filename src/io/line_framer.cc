#include "io/line_framer.h"

#include <cstring>
#include <utility>

namespace kestrune {

LineFramer::LineFramer() { line_.reserve(kFreshLineRoom); }

void LineFramer::feed(const char* data, size_t n, std::vector<SupervisorMsg>& out) {
  const char* p = data;
  const char* const end = data + n;
  while (p < end) {
    const void* nl = std::memchr(p, '\n', static_cast<size_t>(end - p));
    const char* stop = nl ? static_cast<const char*>(nl) : end;
    append(p, static_cast<size_t>(stop - p));
    if (!nl) break;
    finish_line(out);
    p = stop + 1;
  }
}

void LineFramer::append(const char* data, size_t n) {
  if (overflow_ || n == 0) return;
  const size_t needed = line_.size() + n;
  if (needed > kBufferLimit) {
    // The line is too long whatever follows: drop what it has, keep the storage.
    line_.clear();
    overflow_ = true;
    return;
  }
  if (needed > line_.capacity()) {
    // Grow by doubling but never past the limit, so the buffer's storage stays bounded
    // (doubling 16384 would reserve 32768 for the one extra byte allowed).
    size_t room = line_.capacity() < kFreshLineRoom ? kFreshLineRoom : line_.capacity();
    while (room < needed && room < kBufferLimit) {
      room = room * 2 < kBufferLimit - 1 ? room * 2 : kBufferLimit;
    }
    line_.reserve(room < needed ? needed : room);
  }
  line_.append(data, n);
}

void LineFramer::finish_line(std::vector<SupervisorMsg>& out) {
  if (overflow_) {
    overflow_ = false;
    out.emplace_back(LineTooLong{});
    return;
  }
  if (!line_.empty() && line_.back() == '\r') line_.pop_back();
  if (line_.empty()) return;  // keep the buffer for the next line
  if (line_.size() > kMaxLineBytes) {
    line_.clear();
    out.emplace_back(LineTooLong{});
    return;
  }
  out.emplace_back(Line{std::string(line_.data(), line_.size())});
  line_.clear();
}

}  // namespace kestrune
