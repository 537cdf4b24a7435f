#include "gpu/adapter_choice.h"

#include <algorithm>

#include "gpu/unicode_text.h"

namespace kestrune {

std::optional<size_t> choose_adapter(std::span<const AdapterInfo> adapters,
                                     const std::optional<std::string>& hint,
                                     SoftwareAdapters software) {
  const auto excluded = [software](const AdapterInfo& a) {
    return a.software && software == SoftwareAdapters::Refused;
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
    if (!best || adapters[i].dedicated_video_memory > adapters[*best].dedicated_video_memory) {
      best = i;
    }
  }
  return best;
}

}  // namespace kestrune
