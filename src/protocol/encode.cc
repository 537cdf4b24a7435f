#include "protocol/encode.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string_view>

#include "protocol/json_real.h"
#include "util/utf8.h"

namespace kestrune {

namespace {

void append_uint(std::string& out, uint64_t value) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, res.ptr);
}

// False when `text` is not valid UTF-8; `out` may then hold part of the string.
bool append_string(std::string& out, std::string_view text) {
  if (!is_valid_utf8(text)) return false;
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  size_t run = 0;  // start of the bytes not yet copied
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case 0x08: out += "\\b"; break;
      case 0x09: out += "\\t"; break;
      case 0x0A: out += "\\n"; break;
      case 0x0C: out += "\\f"; break;
      case 0x0D: out += "\\r"; break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    }
  }
  out.append(text.data() + run, text.size() - run);
  out += '"';
  return true;
}

/// Writes the members of one JSON object in call order.
class ObjectWriter {
 public:
  explicit ObjectWriter(std::string& out) : out_(out) { out_ += '{'; }

  void str(std::string_view key, std::string_view value) {
    name(key);
    if (!append_string(out_, value)) ok_ = false;
  }
  void opt_str(std::string_view key, const std::optional<std::string>& value) {
    if (value) {
      str(key, *value);
    } else {
      null(key);
    }
  }
  void uint(std::string_view key, uint64_t value) {
    name(key);
    append_uint(out_, value);
  }
  void opt_uint(std::string_view key, const std::optional<uint32_t>& value) {
    if (value) {
      uint(key, *value);
    } else {
      null(key);
    }
  }
  void real(std::string_view key, double value) {
    name(key);
    append_real(out_, value);
  }
  void opt_real(std::string_view key, const std::optional<double>& value) {
    if (value) {
      real(key, *value);
    } else {
      null(key);
    }
  }
  void boolean(std::string_view key, bool value) {
    name(key);
    out_ += value ? "true" : "false";
  }
  void null(std::string_view key) {
    name(key);
    out_ += "null";
  }
  /// Starts a nested object as the value of `key`; the caller closes it with end().
  std::string& nested(std::string_view key) {
    name(key);
    return out_;
  }
  /// Closes the object; false when a string in it could not be encoded.
  bool end() {
    out_ += '}';
    return ok_;
  }

 private:
  void name(std::string_view key) {
    out_ += first_ ? "\"" : ",\"";
    first_ = false;
    out_ += key;  // keys are fixed ASCII words, nothing to escape
    out_ += "\":";
  }

  std::string& out_;
  bool first_ = true;
  bool ok_ = true;
};

bool write_domain(std::string& out, const DomainStatus& d, bool with_dispatch) {
  ObjectWriter o(out);
  o.str("mode", domain_mode_text(d.mode));
  o.real("duty", d.duty);
  o.opt_real("targetW", d.target_w);
  if (with_dispatch) o.opt_real("dispatchMs", d.dispatch_ms);
  o.boolean("powerStale", d.power_stale);
  return o.end();
}

bool write_gpu_info(std::string& out, const GpuInfo& g) {
  ObjectWriter o(out);
  o.boolean("ok", g.ok);
  o.opt_str("name", g.name);
  o.opt_uint("vendorId", g.vendor_id);
  o.opt_real("dispatchMs", g.dispatch_ms);
  o.opt_str("err", g.err);
  return o.end();
}

bool write_event(std::string& out, const Hello& e) {
  ObjectWriter o(out);
  o.str("ev", "hello");
  o.uint("v", e.v);
  o.str("nonce", e.nonce);
  o.uint("pid", e.pid);
  o.str("isa", e.isa);
  o.str("isaMax", e.isa_max);
  o.uint("workers", e.workers);
  const bool gpu_ok = write_gpu_info(o.nested("gpu"), e.gpu);
  o.boolean("elevated", e.elevated);
  o.boolean("inJob", e.in_job);
  o.boolean("lab", e.lab);
  return o.end() && gpu_ok;
}

bool write_event(std::string& out, const Ack& e) {
  ObjectWriter o(out);
  o.str("ev", "ack");
  o.uint("seq", e.seq);
  return o.end();
}

bool write_event(std::string& out, const Status& e) {
  ObjectWriter o(out);
  o.str("ev", "status");
  o.uint("tMs", e.t_ms);
  const bool cpu_ok = write_domain(o.nested("cpu"), e.cpu, /*with_dispatch=*/false);
  const bool gpu_ok = write_domain(o.nested("gpu"), e.gpu, /*with_dispatch=*/true);
  return o.end() && cpu_ok && gpu_ok;
}

bool write_event(std::string& out, const Error& e) {
  ObjectWriter o(out);
  o.str("ev", "error");
  o.str("code", e.code);
  o.opt_str("detail", e.detail);
  return o.end();
}

bool write_event(std::string& out, const Bye& e) {
  ObjectWriter o(out);
  o.str("ev", "bye");
  o.str("why", e.why);
  o.uint("code", e.code);
  o.real("cpuS", e.cpu_s);
  o.real("gpuS", e.gpu_s);
  return o.end();
}

}  // namespace

void append_real(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  out += json::format_finite_real(value);
}

std::string real_to_json(double value) {
  std::string out;
  append_real(out, value);
  return out;
}

Result<std::string> encode_event(const Event& event) {
  std::string out;
  out.reserve(128);
  const bool ok = std::visit([&](const auto& e) { return write_event(out, e); }, event);
  if (!ok) return fail("a string in the event is not valid UTF-8");
  return out;
}

}  // namespace kestrune
