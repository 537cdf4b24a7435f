#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kestrune {

/// What the choice and the start-up report need to know about one enumerated adapter.
struct AdapterInfo {
  std::string name;                    // adapter_name_from_description
  uint64_t dedicated_video_memory = 0; // bytes
  uint32_t vendor_id = 0;              // PCI vendor id
  bool software = false;               // DXGI_ADAPTER_FLAG_SOFTWARE
};

/// Adapters beyond this many (in enumeration order) are never looked at.
inline constexpr size_t kMaxAdapters = 16;

/// Whether a software adapter may be chosen: never in a shipped program; a test build that
/// has no hardware device to run on accepts one.
enum class SoftwareAdapters { Refused, Accepted };

/// Index of the adapter to use, or none. A hint (trimmed of Unicode white space and
/// lower-cased with the full mapping; empty means none) picks the first non-software
/// adapter whose lower-cased name contains it; otherwise, or when nothing matches, the
/// non-software adapter with the most dedicated memory, the earlier one on ties. A software
/// adapter is never chosen, unless `software` accepts it: then it counts as any other.
std::optional<size_t> choose_adapter(std::span<const AdapterInfo> adapters,
                                     const std::optional<std::string>& hint,
                                     SoftwareAdapters software = SoftwareAdapters::Refused);

}  // namespace kestrune
