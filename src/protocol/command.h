#pragma once
// The decoded commands the controller sends, one per input line.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace kestrune {

/// Load mode of one domain, in wire order.
enum class DomainMode : uint8_t { Off, Free, Target };

/// CPU section of a start command.
struct CpuStart {
  bool enable = false;
  std::optional<uint32_t> workers;  // absent: the pool chooses
  bool operator==(const CpuStart&) const = default;
};

/// GPU section of a start command.
struct GpuStart {
  bool enable = false;
  std::optional<std::string> adapter_hint;  // wire key "adapterHint"
  bool operator==(const GpuStart&) const = default;
};

/// The run limit and heartbeat time-out a start command without them asks for.
inline constexpr uint64_t kDefaultMaxRunS = 780;
inline constexpr uint64_t kDefaultHbTimeoutMs = 1500;

/// "start": begins the run.
struct StartCmd {
  uint32_t v = 0;
  std::string nonce;
  uint32_t parent_pid = 0;      // "parentPid"
  uint64_t max_run_s = kDefaultMaxRunS;          // "maxRunS"
  uint64_t hb_timeout_ms = kDefaultHbTimeoutMs;  // "hbTimeoutMs"
  CpuStart cpu;
  GpuStart gpu;
  bool operator==(const StartCmd&) const = default;
};

/// Settings of one domain in a set command.
struct DomainSet {
  DomainMode mode = DomainMode::Off;
  std::optional<double> target_w;  // "targetW"
  std::optional<double> cap_w;     // "capW"
  bool operator==(const DomainSet&) const = default;
};

/// "set": changes the modes; answered by an ack.
struct SetCmd {
  uint64_t seq = 0;
  std::optional<DomainSet> cpu;
  std::optional<DomainSet> gpu;
  bool operator==(const SetCmd&) const = default;
};

/// "power": the controller's watt readings.
struct PowerCmd {
  std::optional<double> cpu_w;  // "cpuW"
  std::optional<double> gpu_w;  // "gpuW"
  std::optional<uint64_t> at_ms;  // "atMs", accepted and unused
  bool operator==(const PowerCmd&) const = default;
};

/// "hb": heartbeat, no fields.
struct HbCmd {
  bool operator==(const HbCmd&) const = default;
};

/// "stop": ends the run with reason "stop".
struct StopCmd {
  std::optional<std::string> why;  // accepted and unused
  bool operator==(const StopCmd&) const = default;
};

/// One decoded command line; variant order is the wire tag order.
using Command = std::variant<StartCmd, SetCmd, PowerCmd, HbCmd, StopCmd>;

/// Wire text of a mode: "off", "free", "target".
const char* domain_mode_text(DomainMode mode);

}  // namespace kestrune
