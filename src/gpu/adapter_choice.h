#pragma once
// Which adapter the GPU load runs on, and the name the hello gives it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kestrune {

/// What kind of device an adapter is, in the order the choice prefers them. A discrete
/// card is what a user means by "the GPU"; an integrated one may report a larger heap (a
/// share of system memory), so the kind decides before the memory does. Where the platform
/// does not tell (DXGI), every adapter is Other and memory alone decides.
enum class AdapterKind : uint8_t { Discrete, Integrated, Virtual, Other, Cpu };

/// What the choice and the start-up report need to know about one enumerated adapter.
struct AdapterInfo {
  std::string name;                    // adapter_name_from_description
  uint64_t dedicated_video_memory = 0; // bytes (on Vulkan: the device-local heaps)
  uint32_t vendor_id = 0;              // PCI vendor id
  bool software = false;               // DXGI_ADAPTER_FLAG_SOFTWARE, a Vulkan CPU device
  AdapterKind kind = AdapterKind::Other;
  bool usable = true;                  // false: cannot run the load's dispatch at all
};

/// Adapters beyond this many (in enumeration order) are never looked at.
inline constexpr size_t kMaxAdapters = 16;

/// Whether a software adapter may be chosen: never in a shipped program; a test build that
/// has no hardware device to run on accepts one.
enum class SoftwareAdapters { Refused, Accepted };

/// Index of the adapter to use, or none. Unusable adapters are never chosen, nor software
/// ones unless `software` accepts them. A hint (trimmed of Unicode white space and
/// lower-cased with the full mapping; empty means none) picks the first remaining adapter
/// whose lower-cased name contains it; otherwise, or when nothing matches, the best kind
/// (AdapterKind's order) and within it the most dedicated memory, the earlier one on ties.
std::optional<size_t> choose_adapter(std::span<const AdapterInfo> adapters,
                                     const std::optional<std::string>& hint,
                                     SoftwareAdapters software = SoftwareAdapters::Refused);

/// Number of UTF-16 code units in an adapter description (DXGI_ADAPTER_DESC1::Description).
inline constexpr size_t kAdapterDescriptionUnits = 128;

/// The adapter's name as reported: the units up to the first NUL (all of them if there is
/// none) as UTF-8, every unpaired surrogate replaced by U+FFFD, leading and trailing Unicode
/// white space removed, letter case kept.
std::string adapter_name_from_description(std::u16string_view units);

}  // namespace kestrune
