#include "protocol/decode.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "protocol/json_describe.h"
#include "protocol/json_parse.h"

namespace kestrune {
namespace {

using json::Kind;
using json::Node;

// Failures found while the text is read (syntax, nesting, trailing characters, the
// top-level type and the `cmd` rules) say where: " at line {l} column {c}", {c} being the
// 1-based byte column of the byte at which the failure showed. That is the offending byte
// for a syntax error (the first byte of a number out of range, the bracket that opens one
// level too many), one past the last byte when the text ended early, and the last byte of
// the token concerned otherwise: the top-level value, the tag's value, the second `cmd`
// key's closing quote, or the closing bracket of a container without a tag. A line never
// holds a line feed, so the line is 1; a text that does is counted honestly.
std::string with_position(std::string message, std::string_view text, size_t offset) {
  size_t line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  message += " at line ";
  message += std::to_string(line);
  message += " column ";
  message += std::to_string(offset - line_start + 1);
  return message;
}

DecodeResult failure(std::string message) {
  DecodeResult r;
  r.error = std::move(message);
  return r;
}

// Field-level reads return the failure text, or an empty string when the value was taken.
using Failure = std::string;

Failure invalid_length(size_t given, std::string_view name, size_t fields) {
  return "invalid length " + std::to_string(given) + ", expected struct " + std::string(name) +
         " with " + std::to_string(fields) + (fields == 1 ? " element" : " elements");
}

bool below_zero(const Node& v) { return v.negative && (v.big || v.magnitude != 0); }

// One record's fields as given: object members matched by key, or array elements matched
// by position in the record's field order.
struct RecordInput {
  std::vector<const Node*> fields;
  bool positional = false;
};

// Reads the values of one parsed text into command records.
class Reader {
 public:
  explicit Reader(const json::Document& doc) : doc_(doc) {}

  Failure invalid_type(const Node& v, std::string_view expected) const {
    Failure f = "invalid type: " + json::describe(doc_, v) + ", expected ";
    f += expected;
    return f;
  }

  Failure invalid_value(const Node& v, std::string_view expected) const {
    Failure f = "invalid value: " + json::describe(doc_, v) + ", expected ";
    f += expected;
    return f;
  }

  std::string_view text(const Node& v) const { return doc_.text(v); }
  std::string_view key(const Node& v) const { return doc_.key(v); }

  // The children of `v` from `first` on, in order.
  void children(const Node* first, std::vector<const Node*>& out) const {
    for (const Node* c = first; c != nullptr; c = doc_.next_sibling(*c)) out.push_back(c);
  }

  const Node* first_child(const Node& v) const { return doc_.first_child(v); }
  const Node* next_sibling(const Node& v) const { return doc_.next_sibling(v); }

  // An integer beyond 64 bits is still an integer, so it is out of range rather than of
  // the wrong type, for u64 as for u32.
  Failure read(const Node& v, uint32_t& out) const {
    if (v.kind != Kind::Integer) return invalid_type(v, "u32");
    if (below_zero(v) || v.big || v.magnitude > UINT32_MAX) return invalid_value(v, "u32");
    out = static_cast<uint32_t>(v.magnitude);
    return {};
  }

  Failure read(const Node& v, uint64_t& out) const {
    if (v.kind != Kind::Integer) return invalid_type(v, "u64");
    if (below_zero(v) || v.big) return invalid_value(v, "u64");
    out = v.magnitude;
    return {};
  }

  Failure read(const Node& v, double& out) const {
    if (v.kind != Kind::Integer && v.kind != Kind::Real) return invalid_type(v, "f64");
    out = v.real;
    return {};
  }

  Failure read(const Node& v, bool& out) const {
    if (v.kind != Kind::Bool) return invalid_type(v, "a boolean");
    out = v.boolean;
    return {};
  }

  Failure read(const Node& v, std::string& out) const {
    if (v.kind != Kind::String) return invalid_type(v, "a string");
    out = text(v);
    return {};
  }

  // A mode is its name, or an object whose single key is the name and whose value is null.
  Failure read(const Node& v, DomainMode& out) const {
    if (v.kind == Kind::String) return mode_from_name(text(v), out);
    if (v.kind != Kind::Object) return invalid_type(v, "string or map");
    if (v.count != 1) return "invalid value: map, expected map with a single key";
    const Node& only = *first_child(v);
    if (Failure f = mode_from_name(key(only), out); !f.empty()) return f;
    if (only.kind != Kind::Null) return invalid_type(only, "unit value");
    return {};
  }

  // Null stands for an absent optional value.
  template <class T>
  Failure read(const Node& v, std::optional<T>& out) const {
    if (v.kind == Kind::Null) {
      out.reset();
      return {};
    }
    T value{};
    Failure f = read(v, value);
    if (f.empty()) out = std::move(value);
    return f;
  }

  Failure read(const Node& v, CpuStart& out) const {
    static constexpr std::array<std::string_view, 2> kKeys{"enable", "workers"};
    RecordInput in;
    if (Failure f = record_input(v, "CpuStart", in); !f.empty()) return f;
    return read_fields(in, "CpuStart", kKeys, false, [&](size_t i, const Node& f) {
      return i == 0 ? read(f, out.enable) : read(f, out.workers);
    });
  }

  Failure read(const Node& v, GpuStart& out) const {
    static constexpr std::array<std::string_view, 2> kKeys{"enable", "adapterHint"};
    RecordInput in;
    if (Failure f = record_input(v, "GpuStart", in); !f.empty()) return f;
    return read_fields(in, "GpuStart", kKeys, false, [&](size_t i, const Node& f) {
      return i == 0 ? read(f, out.enable) : read(f, out.adapter_hint);
    });
  }

  Failure read(const Node& v, DomainSet& out) const {
    static constexpr std::array<std::string_view, 3> kKeys{"mode", "targetW", "capW"};
    RecordInput in;
    if (Failure f = record_input(v, "DomainSet", in); !f.empty()) return f;
    return read_fields(in, "DomainSet", kKeys, true, [&](size_t i, const Node& f) {
      switch (i) {
        case 0: return read(f, out.mode);
        case 1: return read(f, out.target_w);
        default: return read(f, out.cap_w);
      }
    });
  }

  Failure read(const RecordInput& in, StartCmd& out) const {
    static constexpr std::array<std::string_view, 7> kKeys{
        "v", "nonce", "parentPid", "maxRunS", "hbTimeoutMs", "cpu", "gpu"};
    return read_fields(in, "StartCmd", kKeys, false, [&](size_t i, const Node& f) {
      switch (i) {
        case 0: return read(f, out.v);
        case 1: return read(f, out.nonce);
        case 2: return read(f, out.parent_pid);
        case 3: return read(f, out.max_run_s);
        case 4: return read(f, out.hb_timeout_ms);
        case 5: return read(f, out.cpu);
        default: return read(f, out.gpu);
      }
    });
  }

  Failure read(const RecordInput& in, SetCmd& out) const {
    static constexpr std::array<std::string_view, 3> kKeys{"seq", "cpu", "gpu"};
    return read_fields(in, "SetCmd", kKeys, true, [&](size_t i, const Node& f) {
      switch (i) {
        case 0: return read(f, out.seq);
        case 1: return read(f, out.cpu);
        default: return read(f, out.gpu);
      }
    });
  }

  Failure read(const RecordInput& in, PowerCmd& out) const {
    static constexpr std::array<std::string_view, 3> kKeys{"cpuW", "gpuW", "atMs"};
    return read_fields(in, "PowerCmd", kKeys, false, [&](size_t i, const Node& f) {
      switch (i) {
        case 0: return read(f, out.cpu_w);
        case 1: return read(f, out.gpu_w);
        default: return read(f, out.at_ms);
      }
    });
  }

  Failure read(const RecordInput& in, StopCmd& out) const {
    static constexpr std::array<std::string_view, 1> kKeys{"why"};
    return read_fields(in, "StopCmd", kKeys, false,
                       [&](size_t, const Node& f) { return read(f, out.why); });
  }

 private:
  static Failure mode_from_name(std::string_view name, DomainMode& out) {
    static constexpr std::array<std::pair<std::string_view, DomainMode>, 3> kModes{{
        {"off", DomainMode::Off},
        {"free", DomainMode::Free},
        {"target", DomainMode::Target},
    }};
    for (const auto& [text, mode] : kModes) {
      if (name == text) {
        out = mode;
        return {};
      }
    }
    Failure f = "unknown variant `";
    f += name;
    f += "`, expected one of `off`, `free`, `target`";
    return f;
  }

  Failure record_input(const Node& v, std::string_view name, RecordInput& in) const {
    if (v.kind != Kind::Object && v.kind != Kind::Array) {
      return invalid_type(v, "struct " + std::string(name));
    }
    in.positional = v.kind == Kind::Array;
    in.fields.reserve(v.count);
    children(first_child(v), in.fields);
    return {};
  }

  // Reads the fields of record `name`, whose keys in field order are `keys`, handing each
  // given field to decode(index, value). Unknown keys are skipped; a key given twice
  // fails. `first_required`: the first field has no default.
  template <size_t N, class DecodeField>
  Failure read_fields(const RecordInput& in, std::string_view name,
                      const std::array<std::string_view, N>& keys, bool first_required,
                      DecodeField&& decode) const {
    if (in.positional) {
      if (first_required && in.fields.empty()) return invalid_length(0, name, N);
      for (size_t i = 0; i < in.fields.size() && i < N; ++i) {
        if (Failure f = decode(i, *in.fields[i]); !f.empty()) return f;
      }
      if (in.fields.size() > N) return invalid_length(in.fields.size(), name, N);
      return {};
    }
    std::array<bool, N> seen{};
    for (const Node* m : in.fields) {
      const std::string_view k = key(*m);
      size_t i = 0;
      while (i < N && keys[i] != k) ++i;
      if (i == N) continue;
      if (seen[i]) return "duplicate field `" + std::string(k) + "`";
      seen[i] = true;
      if (Failure f = decode(i, *m); !f.empty()) return f;
    }
    if (first_required && !seen[0]) return "missing field `" + std::string(keys[0]) + "`";
    return {};
  }

  const json::Document& doc_;
};

template <class Record>
DecodeResult finish(const Reader& reader, const RecordInput& in) {
  Record record;
  if (Failure f = reader.read(in, record); !f.empty()) return failure(std::move(f));
  DecodeResult r;
  r.command = Command(std::move(record));
  return r;
}

}  // namespace

DecodeResult decode_command(std::string_view text) {
  const json::ParseResult parsed = json::parse(text);
  if (!parsed.ok) return failure(with_position(parsed.error.message, text, parsed.error.offset));
  const Reader reader(parsed.document);
  const Node& root = parsed.document.root();

  // The tag, and the rest set aside for the record.
  const Node* tag = nullptr;
  RecordInput rest;
  if (root.kind == Kind::Object) {
    for (const Node* m = reader.first_child(root); m != nullptr; m = reader.next_sibling(*m)) {
      if (reader.key(*m) != "cmd") {
        rest.fields.push_back(m);
      } else if (tag != nullptr) {
        return failure(with_position("duplicate field `cmd`", text, m->key_end));
      } else {
        tag = m;
      }
    }
    if (tag == nullptr) return failure(with_position("missing field `cmd`", text, root.end));
  } else if (root.kind == Kind::Array) {
    tag = reader.first_child(root);
    if (tag == nullptr) return failure(with_position("missing field `cmd`", text, root.end));
    rest.positional = true;
    reader.children(reader.next_sibling(*tag), rest.fields);
  } else {
    return failure(with_position(
        reader.invalid_type(root, "internally tagged enum Command"), text, root.end));
  }

  if (tag->kind != Kind::String) {
    return failure(with_position(reader.invalid_type(*tag, "variant identifier"), text, tag->end));
  }
  const std::string_view name = reader.text(*tag);
  if (name == "start") return finish<StartCmd>(reader, rest);
  if (name == "set") return finish<SetCmd>(reader, rest);
  if (name == "power") return finish<PowerCmd>(reader, rest);
  if (name == "hb") {
    // A heartbeat carries nothing; whatever came with it is ignored, in either form.
    DecodeResult r;
    r.command = Command(HbCmd{});
    return r;
  }
  if (name == "stop") return finish<StopCmd>(reader, rest);
  return failure(with_position(
      "unknown variant `" + std::string(name) +
          "`, expected one of `start`, `set`, `power`, `hb`, `stop`",
      text, tag->end));
}

}  // namespace kestrune
