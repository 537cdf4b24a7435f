// Feeds arbitrary bytes to the command decoder: it must answer every input with either a
// command or a message, within bounded stack and memory.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "protocol/decode.h"
#include "protocol/json_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const kestrune::DecodeResult r = kestrune::decode_command(text);
  if (!r.ok() && r.error().empty()) std::abort();
  // A decoded command needs valid JSON; the parser alone must agree.
  if (r.ok() && !kestrune::json::parse(text).ok()) std::abort();
  return 0;
}
