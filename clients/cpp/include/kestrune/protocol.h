#pragma once
// The helper's commands as records a controller fills in, and its events as parsed records.
// encode() gives one command line without its newline; parse_event() reads one event line.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace kestrune {

/// `other` is never sent: it stands for a mode a later helper reports that this client
/// does not know (lenient parsing only); its text is in DomainStatus::other_mode.
enum class Mode { off, free, target, other };

struct StartCommand {
  std::uint32_t v = 1;
  std::string nonce;
  std::uint32_t parent_pid = 0;             ///< The controller's own pid: the helper watches it.
  std::optional<std::uint64_t> max_run_s;   ///< Absent: the helper's default.
  std::optional<std::uint64_t> hb_timeout_ms;
  bool cpu = false;
  std::optional<std::uint32_t> workers;     ///< Absent: the helper chooses.
  bool gpu = false;
  std::optional<std::string> adapter_hint;
};

struct DomainSetting {
  Mode mode = Mode::off;
  std::optional<double> target_w;
  std::optional<double> cap_w;
};

struct SetCommand {
  std::uint64_t seq = 0;
  std::optional<DomainSetting> cpu;  ///< Absent: the domain goes off.
  std::optional<DomainSetting> gpu;
};

struct PowerCommand {
  std::optional<double> cpu_w;
  std::optional<double> gpu_w;
  std::optional<std::uint64_t> at_ms;
};

struct HeartbeatCommand {};
struct StopCommand {};

using Command = std::variant<StartCommand, SetCommand, PowerCommand, HeartbeatCommand, StopCommand>;

/// One command as a JSON line, without the newline.
std::string encode(const Command& command);

struct GpuInfo {
  bool ok = false;
  std::optional<std::string> name;
  std::optional<std::uint32_t> vendor_id;
  std::optional<double> dispatch_ms;
  std::optional<std::string> err;
  bool operator==(const GpuInfo&) const = default;
};

struct Hello {
  std::uint32_t v = 0;
  std::string nonce;
  std::uint32_t pid = 0;
  std::string isa;
  std::string isa_max;
  std::uint32_t workers = 0;
  GpuInfo gpu;
  bool elevated = false;
  bool in_job = false;
  bool lab = false;
  bool operator==(const Hello&) const = default;
};

struct Ack {
  std::uint64_t seq = 0;
  bool operator==(const Ack&) const = default;
};

struct DomainStatus {
  Mode mode = Mode::off;
  double duty = 0.0;
  std::optional<double> target_w;
  std::optional<double> dispatch_ms;  ///< GPU only.
  bool power_stale = false;
  std::string other_mode;  ///< The mode as written, when `mode` is Mode::other.
  bool operator==(const DomainStatus&) const = default;
};

struct Status {
  std::uint64_t t_ms = 0;
  DomainStatus cpu;
  DomainStatus gpu;
  bool operator==(const Status&) const = default;
};

struct Error {
  std::string code;
  std::optional<std::string> detail;
  bool operator==(const Error&) const = default;
};

struct Bye {
  std::string why;
  std::int64_t code = 0;  ///< The exit code that follows.
  double cpu_s = 0.0;
  double gpu_s = 0.0;
  bool operator==(const Bye&) const = default;
};

using Event = std::variant<Hello, Ack, Status, Error, Bye>;

/// How parse_event treats keys. Lenient, the default, suits a controller that should keep
/// working with a later helper: keys the record does not know are skipped and a key that
/// may be null may also be absent, and an unknown mode is kept as text (Mode::other).
/// Strict suits a controller (or a test) that must notice any change of the wire: an
/// unknown key, any absent key, a key given twice in one object, an unknown mode, or a
/// negative `bye.code` fails.
enum class Parsing { lenient, strict };

/// Reads one event line (with or without its newline). A missing or mistyped key the record
/// needs, an unknown `ev`, or in strict parsing an unknown or absent key gives no event and
/// a one-line reason in `error`.
std::optional<Event> parse_event(std::string_view line, std::string& error,
                                 Parsing parsing = Parsing::lenient);

std::string_view mode_name(Mode mode);

}  // namespace kestrune
