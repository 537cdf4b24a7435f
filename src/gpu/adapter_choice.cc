#include "gpu/adapter_choice.h"

#include <algorithm>

#include "util/unicode_text.h"

namespace kestrune {

std::optional<size_t> choose_adapter(std::span<const AdapterInfo> adapters,
                                     const std::optional<std::string>& hint,
                                     SoftwareAdapters software) {
  const auto excluded = [software](const AdapterInfo& a) {
    return !a.usable || (a.software && software == SoftwareAdapters::Refused);
  };
  const auto better = [](const AdapterInfo& a, const AdapterInfo& b) {
    if (a.kind != b.kind) return a.kind < b.kind;
    return a.dedicated_video_memory > b.dedicated_video_memory;
  };
  adapters = adapters.first(std::min(adapters.size(), kMaxAdapters));
  const std::string needle = hint ? unicode_lower(trim_unicode_white_space(*hint)) : "";
  if (!needle.empty()) {
    for (size_t i = 0; i < adapters.size(); ++i) {
      if (!excluded(adapters[i]) &&
          unicode_lower(adapters[i].name).find(needle) != std::string::npos) {
        return i;
      }
    }
  }
  std::optional<size_t> best;
  for (size_t i = 0; i < adapters.size(); ++i) {
    if (excluded(adapters[i])) continue;
    if (!best || better(adapters[i], adapters[*best])) {
      best = i;
    }
  }
  return best;
}

std::string adapter_name_from_description(std::u16string_view units) {
  const size_t nul = units.find(u'\0');
  if (nul != std::u16string_view::npos) units = units.substr(0, nul);
  std::string utf8;
  for (size_t i = 0; i < units.size(); ++i) {
    const char32_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      append_utf8(utf8, 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else {
      append_utf8(utf8, u);  // a lone surrogate comes out as U+FFFD
    }
  }
  return trim_unicode_white_space(utf8);
}

}  // namespace kestrune
