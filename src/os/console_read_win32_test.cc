#include "os/console_read_win32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kestrune::os {
namespace console_read_test {

// The console path of standard input, fed by a fake console read: Ctrl-Z typed at the
// start of a read ends the input, anywhere else it is data; the rest arrives as UTF-8.
TEST(ConsoleRead, CtrlZAtTheStartEndsInputAndTheRestArrivesAsUtf8) {
  const struct {
    const wchar_t* typed;
    bool ok;
    ReadStatus want;
    std::string bytes;
  } cases[] = {
      {L"\x1A", true, ReadStatus::End, ""},
      {L"\x1A\r\n", true, ReadStatus::End, ""},
      {L"\x1A{\"cmd\":\"hb\"}", true, ReadStatus::End, ""},
      {L"{\"cmd\":\"hb\"}\x1A", true, ReadStatus::Data, "{\"cmd\":\"hb\"}\x1A"},
      {L"{\"cmd\":\"hb\"}\r\n", true, ReadStatus::Data, "{\"cmd\":\"hb\"}\r\n"},
      {L"caf\x00E9", true, ReadStatus::Data, "caf\xC3\xA9"},
      {L"", true, ReadStatus::End, ""},
      {L"{}", false, ReadStatus::End, ""},  // a failed read
  };
  for (const auto& c : cases) {
    const size_t length = std::wcslen(c.typed);
    uint32_t asked = 0;
    char buf[64];
    const ReadResult r = read_console(
        [&](wchar_t* units, uint32_t want, uint32_t& got) {
          asked = want;
          got = static_cast<uint32_t>(length < want ? length : want);
          std::wmemcpy(units, c.typed, got);
          return c.ok;
        },
        buf, sizeof buf);
    const std::string what(c.bytes.empty() ? "(end)" : c.bytes);
    EXPECT_EQ(r.status, c.want) << what;
    EXPECT_EQ(std::string(buf, r.status == ReadStatus::Data ? r.bytes : 0), c.bytes) << what;
    EXPECT_EQ(asked, sizeof buf / 3) << "as many units as fit as UTF-8";
  }
}

}  // namespace console_read_test
}  // namespace kestrune::os
