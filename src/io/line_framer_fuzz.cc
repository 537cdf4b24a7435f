// Feeds the framer random input in random chunkings and checks it against a byte-at-a-time
// model of the framing rules, plus the memory bound.
//
// Input: byte 0 seeds the chunk sizes; the rest is the stream, where 0x01 hi lo stands for
// (hi*256+lo) bytes 'x', so short inputs can reach the 16 KiB limit.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "io/line_framer.h"

namespace {

using kestrune::Line;
using kestrune::LineFramer;
using kestrune::LineTooLong;
using kestrune::SupervisorMsg;

void check(bool ok) {
  if (!ok) std::abort();
}

// The rules written out one byte at a time, with no care for memory or speed.
struct ModelFramer {
  std::string line;
  bool overflow = false;
  std::vector<SupervisorMsg> out;

  void byte(char c) {
    if (c == '\n') {
      if (overflow) {
        overflow = false;
        out.emplace_back(LineTooLong{});
        return;
      }
      std::string content;
      content.swap(line);
      if (!content.empty() && content.back() == '\r') content.pop_back();
      if (content.size() > LineFramer::kMaxLineBytes) {
        out.emplace_back(LineTooLong{});
      } else if (!content.empty()) {
        out.emplace_back(Line{content});
      }
      return;
    }
    if (overflow) return;
    if (line.size() <= LineFramer::kMaxLineBytes) {
      line += c;
    } else {
      line.clear();
      overflow = true;
    }
  }
};

std::string expand(const uint8_t* data, size_t size) {
  std::string s;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0x01 && i + 2 < size) {
      s.append(static_cast<size_t>(data[i + 1]) << 8 | data[i + 2], 'x');
      i += 2;
    } else {
      s += static_cast<char>(data[i]);
    }
  }
  return s;
}

bool same(const SupervisorMsg& a, const SupervisorMsg& b) {
  if (a.index() != b.index()) return false;
  if (const auto* la = std::get_if<Line>(&a)) return la->bytes == std::get<Line>(b).bytes;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint64_t rng = data[0] * 0x9E3779B97F4A7C15ull + 1;
  const std::string input = expand(data + 1, size - 1);

  LineFramer framer;
  std::vector<SupervisorMsg> got;
  size_t pos = 0;
  while (pos < input.size()) {
    rng ^= rng << 13;
    rng ^= rng >> 7;
    rng ^= rng << 17;
    // Mostly small chunks, sometimes a whole read's worth.
    size_t want = (rng & 3) == 0 ? 8192 : 1 + (rng >> 8) % 64;
    if (want > input.size() - pos) want = input.size() - pos;
    framer.feed(input.data() + pos, want, got);
    pos += want;
    check(framer.buffered() <= LineFramer::kBufferLimit);
    check(framer.capacity() <= LineFramer::kBufferLimit + 32);
  }

  ModelFramer model;
  for (char c : input) model.byte(c);

  check(got.size() == model.out.size());
  for (size_t i = 0; i < got.size(); ++i) {
    check(same(got[i], model.out[i]));
    if (const auto* line = std::get_if<Line>(&got[i])) {
      check(!line->bytes.empty());
      check(line->bytes.size() <= LineFramer::kMaxLineBytes);
      check(line->bytes.find('\n') == std::string::npos);
    }
  }
  check(framer.overflowing() == model.overflow);
  check(framer.buffered() == model.line.size());
  return 0;
}
