#pragma once
#include <string>
#include <string_view>

namespace kestrune {

/// Number of UTF-16 code units in an adapter description (DXGI_ADAPTER_DESC1::Description).
inline constexpr size_t kAdapterDescriptionUnits = 128;

/// The adapter's name as reported: the units up to the first NUL (all of them if there is
/// none) as UTF-8, every unpaired surrogate replaced by U+FFFD, leading and trailing Unicode
/// white space removed, letter case kept.
std::string adapter_name_from_description(std::u16string_view units);

}  // namespace kestrune
