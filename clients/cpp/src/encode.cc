#include <type_traits>

#include "kestrune/json.h"
#include "kestrune/protocol.h"

namespace kestrune {
namespace {

class Writer {
 public:
  explicit Writer(std::string_view cmd) { out_ = "{\"cmd\":" + json::quote(cmd); }

  void raw(std::string_view key, const std::string& value) {
    out_ += ',';
    out_ += json::quote(key);
    out_ += ':';
    out_ += value;
  }
  template <typename T>
  void field(std::string_view key, const T& value) {
    if constexpr (std::is_same_v<T, std::string>) {
      raw(key, json::quote(value));
    } else if constexpr (std::is_same_v<T, bool>) {
      raw(key, value ? "true" : "false");
    } else if constexpr (std::is_floating_point_v<T>) {
      raw(key, json::number(value));
    } else {
      raw(key, std::to_string(value));
    }
  }
  // An absent optional is left out: the helper reads absent and null alike.
  template <typename T>
  void field(std::string_view key, const std::optional<T>& value) {
    if (value) field(key, *value);
  }
  std::string done() { return out_ + "}"; }

 private:
  std::string out_;
};

std::string domain(const DomainSetting& d) {
  std::string out = "{\"mode\":" + json::quote(mode_name(d.mode));
  if (d.target_w) out += ",\"targetW\":" + json::number(*d.target_w);
  if (d.cap_w) out += ",\"capW\":" + json::number(*d.cap_w);
  return out + "}";
}

std::string encode_one(const StartCommand& c) {
  Writer w("start");
  w.field("v", c.v);
  w.field("nonce", c.nonce);
  w.field("parentPid", c.parent_pid);
  w.field("maxRunS", c.max_run_s);
  w.field("hbTimeoutMs", c.hb_timeout_ms);
  std::string cpu = "{\"enable\":" + std::string(c.cpu ? "true" : "false");
  if (c.workers) cpu += ",\"workers\":" + std::to_string(*c.workers);
  w.raw("cpu", cpu + "}");
  std::string gpu = "{\"enable\":" + std::string(c.gpu ? "true" : "false");
  if (c.adapter_hint) gpu += ",\"adapterHint\":" + json::quote(*c.adapter_hint);
  w.raw("gpu", gpu + "}");
  return w.done();
}

std::string encode_one(const SetCommand& c) {
  Writer w("set");
  w.field("seq", c.seq);
  if (c.cpu) w.raw("cpu", domain(*c.cpu));
  if (c.gpu) w.raw("gpu", domain(*c.gpu));
  return w.done();
}

std::string encode_one(const PowerCommand& c) {
  Writer w("power");
  w.field("cpuW", c.cpu_w);
  w.field("gpuW", c.gpu_w);
  w.field("atMs", c.at_ms);
  return w.done();
}

std::string encode_one(const HeartbeatCommand&) { return "{\"cmd\":\"hb\"}"; }
std::string encode_one(const StopCommand&) { return "{\"cmd\":\"stop\"}"; }

}  // namespace

std::string_view mode_name(Mode mode) {
  switch (mode) {
    case Mode::free: return "free";
    case Mode::target: return "target";
    case Mode::other: return "other";  // never a valid setting: the helper refuses it
    case Mode::off: break;
  }
  return "off";
}

std::string encode(const Command& command) {
  return std::visit([](const auto& c) { return encode_one(c); }, command);
}

}  // namespace kestrune
