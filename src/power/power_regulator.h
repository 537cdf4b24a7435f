#pragma once
// One load domain's power regulator: mode, watt target and the controller's readings in,
// duty fraction out. A plain object owned and driven by the supervisor thread.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "protocol/command.h"

namespace kestrune {

/// One valid reading kept in a learning window: supervisor time in ms and watts.
struct WattSample {
  uint64_t at_ms = 0;
  double watts = 0;
  bool operator==(const WattSample&) const = default;
};

/// True when a power reading is usable: present, finite and within 0..5000 W inclusive.
bool reading_is_valid(std::optional<double> watts);

/// Regulator of one domain (CPU or GPU). All times are supervisor ms; `now` never needs to
/// be monotonic (backward steps count as no elapsed time). Fields are public so that the
/// supervisor can read the output (`duty`, `mode`, `target_w`, `stale`); only the
/// operations below change them.
///
/// Load advances only on valid readings: "free" ramps the duty by 0.25 per second of
/// reading interval, "target" runs a feed-forward PI step towards `target_w` whose rises are
/// limited to that same ramp and whose falls take effect at once. Idle and full-load power
/// levels are learned from readings and sharpen the feed-forward. Without a valid reading
/// for 2 s (counted from the later of the last reading and the last mode change) a loaded
/// domain drops to duty 0 and is flagged stale.
struct PowerRegulator {
  /// Upper bound on either window's length, far above any sane reading rate (it only bites
  /// when a controller floods thousands of readings per second); the oldest entries go first.
  static constexpr std::size_t kMaxWindowSamples = 1024;

  DomainMode mode = DomainMode::Off;
  std::optional<double> target_w;         // effective target, present only in "target"
  uint64_t mode_since = 0;                // time of the last mode change
  std::optional<uint64_t> last_sample;    // time of the last valid reading, never cleared
  std::deque<WattSample> idle_window;     // readings taken at duty 0, younger than 1000 ms
  std::optional<double> idle_avg;         // mean of idle_window after its last update
  std::deque<WattSample> full_window;     // "free" readings at full duty, younger than 2000 ms
  std::optional<double> full_avg;         // mean of full_window once it held 4 or more
  double duty = 0;                        // output, 0..1
  double integral = 0;                    // integral term, -1..1
  bool stale = false;                     // loaded but no valid reading for 2 s

  /// Applies one domain of an accepted set command. `set` absent, or `active` false (the
  /// domain's load thread(s) are not running), means "off". A "target" whose `target_w` is
  /// absent or not finite, or whose effective target min(target_w, finite cap_w) is not
  /// above 0, also means "off". A change of mode zeroes `integral` and stamps `mode_since`;
  /// entering "free" empties `full_window`; "off" sets `duty` 0 and clears `stale`. Otherwise
  /// the duty carries on from its current value.
  void apply_mode(const std::optional<DomainSet>& set, bool active, uint64_t now);

  /// Same as `apply_mode` with mode "off"; used when the domain's load fails at run time.
  void switch_off(uint64_t now);

  /// Feeds one reading stamped `now`, as the controller sent it (absent when it sent none).
  /// Does nothing at all unless `watts` passes `reading_is_valid`. Updates the learning windows (judged on the duty before this
  /// reading), then moves the duty by mode: "off" holds 0, "free" ramps, "target" steers.
  void apply_reading(std::optional<double> watts, uint64_t now);

  /// Supervisor tick: in "free" or "target", 2000 ms or more since the later of the last
  /// valid reading and the last mode change drops `duty` to 0 and sets `stale`.
  void check_stale(uint64_t now);
};

}  // namespace kestrune
