#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrune/json.h"
#include "kestrune/protocol.h"

namespace kestrune {
namespace {

using json::Value;

// Reads the members of one event object; the first problem found is kept as the reason.
class Fields {
 public:
  Fields(const Value& object, std::string& error, Parsing parsing, std::string prefix = "")
      : object_(object), error_(error), parsing_(parsing), prefix_(std::move(prefix)) {}

  bool ok() const { return error_.empty(); }

  const Value* need(std::string_view key, Value::Kind kind, const char* type) {
    read_.push_back(key);
    const Value* v = object_.find(key);
    if (v == nullptr) return fail(key, "missing");
    if (v->kind != kind) return fail(key, std::string("not ") + type);
    return v;
  }
  // Absent and null both mean "no value" for an optional key.
  // Strict parsing wants it present all the same: the helper writes every key.
  const Value* maybe(std::string_view key, Value::Kind kind, const char* type) {
    read_.push_back(key);
    const Value* v = object_.find(key);
    if (v == nullptr && parsing_ == Parsing::strict) return fail(key, "missing");
    if (v == nullptr || v->kind == Value::Kind::null) return nullptr;
    if (v->kind != kind) return fail(key, std::string("not ") + type);
    return v;
  }

  void text(std::string_view key, std::string& out) {
    if (const Value* v = need(key, Value::Kind::string, "a string")) out = v->string;
  }
  void text(std::string_view key, std::optional<std::string>& out) {
    if (const Value* v = maybe(key, Value::Kind::string, "a string")) out = v->string;
  }
  void flag(std::string_view key, bool& out) {
    if (const Value* v = need(key, Value::Kind::boolean, "a boolean")) out = v->boolean;
  }
  void real(std::string_view key, double& out) {
    if (const Value* v = need(key, Value::Kind::number, "a number")) out = v->number;
  }
  void real(std::string_view key, std::optional<double>& out) {
    if (const Value* v = maybe(key, Value::Kind::number, "a number")) out = v->number;
  }
  template <typename T>
  void whole(std::string_view key, T& out) {
    if (const Value* v = need(key, Value::Kind::number, "a number")) narrow(key, *v, out);
  }
  template <typename T>
  void whole(std::string_view key, std::optional<T>& out) {
    if (const Value* v = maybe(key, Value::Kind::number, "a number")) {
      T value{};
      if (narrow(key, *v, value)) out = value;
    }
  }
  void mode(std::string_view key, Mode& out, std::string& other) {
    const Value* v = need(key, Value::Kind::string, "a string");
    if (v == nullptr) return;
    if (v->string == "off") out = Mode::off;
    else if (v->string == "free") out = Mode::free;
    else if (v->string == "target") out = Mode::target;
    else if (parsing_ == Parsing::strict) fail(key, "not a mode");
    else {
      out = Mode::other;
      other = v->string;
    }
  }
  const Value* object(std::string_view key) { return need(key, Value::Kind::object, "an object"); }
  const std::string& prefix() const { return prefix_; }
  Parsing parsing() const { return parsing_; }

  /// After every key was read: in strict parsing, a key the record did not ask for fails.
  /// After every key was read: in strict parsing, a key the record did not ask for fails,
  /// and so does a key given twice (lenient parsing takes the first).
  void finish() {
    if (parsing_ != Parsing::strict) return;
    const auto& members = object_.members;
    for (std::size_t i = 0; i < members.size(); ++i) {
      const std::string& key = members[i].first;
      bool known = false;
      for (std::string_view r : read_) known = known || r == key;
      if (!known) fail(key, "unknown");
      for (std::size_t j = 0; j < i; ++j) {
        if (members[j].first == key) fail(key, "given twice");
      }
    }
  }
  /// Strict parsing: `value` must not be below zero.
  void not_negative(std::string_view key, std::int64_t value) {
    if (parsing_ == Parsing::strict && value < 0) fail(key, "negative");
  }

 private:
  template <typename T>
  bool narrow(std::string_view key, const Value& v, T& out) {
    if constexpr (std::numeric_limits<T>::is_signed) {
      if (v.signed_integer) {
        out = static_cast<T>(*v.signed_integer);
        return true;
      }
    } else if (v.unsigned_integer && *v.unsigned_integer <= std::numeric_limits<T>::max()) {
      out = static_cast<T>(*v.unsigned_integer);
      return true;
    }
    fail(key, "out of range or not an integer");
    return false;
  }
  std::nullptr_t fail(std::string_view key, const std::string& why) {
    if (error_.empty()) error_ = "key `" + prefix_ + std::string(key) + "` " + why;
    return nullptr;
  }

  const Value& object_;
  std::string& error_;
  Parsing parsing_;
  std::string prefix_;
  std::vector<std::string_view> read_;
};

// The CPU's object has no dispatch time.
void read_domain(Fields& parent, std::string_view key, DomainStatus& out, std::string& error,
                 bool with_dispatch) {
  const Value* v = parent.object(key);
  if (v == nullptr) return;
  Fields f(*v, error, parent.parsing(), parent.prefix() + std::string(key) + ".");
  f.mode("mode", out.mode, out.other_mode);
  f.real("duty", out.duty);
  f.real("targetW", out.target_w);
  if (with_dispatch) f.real("dispatchMs", out.dispatch_ms);
  f.flag("powerStale", out.power_stale);
  f.finish();
}

Hello read_hello(Fields& f, std::string& error) {
  Hello h;
  f.whole("v", h.v);
  f.text("nonce", h.nonce);
  f.whole("pid", h.pid);
  f.text("isa", h.isa);
  f.text("isaMax", h.isa_max);
  f.whole("workers", h.workers);
  if (const Value* gpu = f.object("gpu")) {
    Fields g(*gpu, error, f.parsing(), "gpu.");
    g.flag("ok", h.gpu.ok);
    g.text("name", h.gpu.name);
    g.whole("vendorId", h.gpu.vendor_id);
    g.real("dispatchMs", h.gpu.dispatch_ms);
    g.text("err", h.gpu.err);
    g.finish();
  }
  f.flag("elevated", h.elevated);
  f.flag("inJob", h.in_job);
  f.flag("lab", h.lab);
  return h;
}

}  // namespace

std::optional<Event> parse_event(std::string_view line, std::string& error, Parsing parsing) {
  error.clear();
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  std::string parse_error;
  const std::optional<Value> value = json::parse(line, parse_error);
  if (!value) {
    error = "not JSON: " + parse_error;
    return std::nullopt;
  }
  if (value->kind != Value::Kind::object) {
    error = "not a JSON object";
    return std::nullopt;
  }
  Fields f(*value, error, parsing);
  std::string tag;
  f.text("ev", tag);
  if (!f.ok()) return std::nullopt;

  Event event;
  if (tag == "hello") {
    event = read_hello(f, error);
  } else if (tag == "ack") {
    Ack a;
    f.whole("seq", a.seq);
    event = a;
  } else if (tag == "status") {
    Status s;
    f.whole("tMs", s.t_ms);
    read_domain(f, "cpu", s.cpu, error, /*with_dispatch=*/false);
    read_domain(f, "gpu", s.gpu, error, /*with_dispatch=*/true);
    event = s;
  } else if (tag == "error") {
    Error e;
    f.text("code", e.code);
    f.text("detail", e.detail);
    event = e;
  } else if (tag == "bye") {
    Bye b;
    f.text("why", b.why);
    f.whole("code", b.code);
    f.not_negative("code", b.code);
    f.real("cpuS", b.cpu_s);
    f.real("gpuS", b.gpu_s);
    event = b;
  } else {
    error = "unknown event `" + tag + "`";
    return std::nullopt;
  }
  f.finish();
  if (!error.empty()) return std::nullopt;
  return event;
}

}  // namespace kestrune
