#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "protocol/command.h"
#include "util/result.h"

namespace kestrune {

/// Either a command or the failure's message text (exact wire wording).
using DecodeResult = Result<Command>;

/// Decodes one line of UTF-8 text (no line terminator) into a command. No side effects.
DecodeResult decode_command(std::string_view text);

}  // namespace kestrune
