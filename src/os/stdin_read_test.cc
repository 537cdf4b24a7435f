#include "os/stdin_read.h"

#include <gtest/gtest.h>

namespace kestrune::os {
namespace stdin_read_test {

constexpr uint32_t kBrokenPipe = 109;
constexpr uint32_t kHandleEof = 38;
constexpr uint32_t kNoData = 232;

TEST(ClassifyStdinRead, AZeroByteReadEndsAFileButNotAConnectedPipe) {
  struct Case {
    const char* what;
    StdinKind kind;
    bool ok;
    size_t bytes;
    uint32_t error;
    bool connected;
    ReadStatus want;
    size_t want_bytes;
  };
  const Case cases[] = {
      {"pipe: data", StdinKind::Pipe, true, 42, 0, true, ReadStatus::Data, 42},
      {"pipe: zero-length write is read again", StdinKind::Pipe, true, 0, 0, true,
       ReadStatus::Interrupted, 0},
      {"pipe: 0 bytes and the peek fails (end of a socket)", StdinKind::Pipe, true, 0, 0, false,
       ReadStatus::End, 0},
      {"pipe: broken", StdinKind::Pipe, false, 0, kBrokenPipe, false, ReadStatus::End, 0},
      {"pipe: being closed", StdinKind::Pipe, false, 0, kNoData, false, ReadStatus::End, 0},
      {"pipe: message longer than the buffer", StdinKind::Pipe, false, 4096, kErrorMoreData,
       true, ReadStatus::Data, 4096},
      {"pipe: more-data with nothing read", StdinKind::Pipe, false, 0, kErrorMoreData, true,
       ReadStatus::Interrupted, 0},
      {"pipe: cancelled read", StdinKind::Pipe, false, 0, kErrorOperationAborted, true,
       ReadStatus::Interrupted, 0},
      {"file: data", StdinKind::Other, true, 7, 0, false, ReadStatus::Data, 7},
      {"file: end of file", StdinKind::Other, true, 0, 0, true, ReadStatus::End, 0},
      {"file: end-of-file error", StdinKind::Other, false, 0, kHandleEof, false, ReadStatus::End, 0},
  };
  for (const Case& c : cases) {
    const ReadResult r = classify_stdin_read(c.kind, c.ok, c.bytes, c.error, c.connected);
    EXPECT_EQ(r.status, c.want) << c.what;
    EXPECT_EQ(r.bytes, c.want_bytes) << c.what;
  }
}

}  // namespace stdin_read_test
}  // namespace kestrune::os
