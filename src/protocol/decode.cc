#include "protocol/decode.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
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

Result<void> invalid_length(size_t given, std::string_view name, size_t fields) {
  return fail("invalid length " + std::to_string(given) + ", expected struct " +
              std::string(name) + " with " + std::to_string(fields) +
              (fields == 1 ? " element" : " elements"));
}

bool below_zero(const Node& v) { return v.negative && (v.big || v.magnitude != 0); }

// One record's fields as given: object members matched by key, or array elements matched
// by position in the record's field order.
struct RecordInput {
  std::vector<const Node*> fields;
  bool positional = false;
};

// One field of a record: its wire key and where its value goes.
template <class R, class T>
struct Field {
  std::string_view key;
  T R::*member;
};

template <class R, class T>
constexpr Field<R, T> field(std::string_view key, T R::*member) {
  return {key, member};
}

// A record's name (for messages) and fields in wire order. `first_required`: the first
// field has no default.
template <class R, class... T>
struct RecordTable {
  std::string_view name;
  bool first_required;
  std::tuple<Field<R, T>...> fields;
};

template <class R, class... T>
constexpr RecordTable<R, T...> record(std::string_view name, bool first_required,
                                      Field<R, T>... fields) {
  return {name, first_required, std::tuple<Field<R, T>...>(fields...)};
}

// Each record's table, found by overload on the record's type.
constexpr auto table_of(const CpuStart*) {
  return record<CpuStart>("CpuStart", false, field("enable", &CpuStart::enable),
                          field("workers", &CpuStart::workers));
}
constexpr auto table_of(const GpuStart*) {
  return record<GpuStart>("GpuStart", false, field("enable", &GpuStart::enable),
                          field("adapterHint", &GpuStart::adapter_hint));
}
constexpr auto table_of(const DomainSet*) {
  return record<DomainSet>("DomainSet", true, field("mode", &DomainSet::mode),
                           field("targetW", &DomainSet::target_w),
                           field("capW", &DomainSet::cap_w));
}
constexpr auto table_of(const StartCmd*) {
  return record<StartCmd>(
      "StartCmd", false, field("v", &StartCmd::v), field("nonce", &StartCmd::nonce),
      field("parentPid", &StartCmd::parent_pid), field("maxRunS", &StartCmd::max_run_s),
      field("hbTimeoutMs", &StartCmd::hb_timeout_ms), field("cpu", &StartCmd::cpu),
      field("gpu", &StartCmd::gpu));
}
constexpr auto table_of(const SetCmd*) {
  return record<SetCmd>("SetCmd", true, field("seq", &SetCmd::seq), field("cpu", &SetCmd::cpu),
                        field("gpu", &SetCmd::gpu));
}
constexpr auto table_of(const PowerCmd*) {
  return record<PowerCmd>("PowerCmd", false, field("cpuW", &PowerCmd::cpu_w),
                          field("gpuW", &PowerCmd::gpu_w), field("atMs", &PowerCmd::at_ms));
}
constexpr auto table_of(const StopCmd*) {
  return record<StopCmd>("StopCmd", false, field("why", &StopCmd::why));
}

template <class R>
concept Tabled = requires { table_of(static_cast<const R*>(nullptr)); };

// Reads the values of one parsed text into command records.
class Reader {
 public:
  explicit Reader(const json::Document& doc) : doc_(doc) {}

  Result<void> invalid_type(const Node& v, std::string_view expected) const {
    std::string f = "invalid type: " + json::describe(doc_, v) + ", expected ";
    f += expected;
    return fail(std::move(f));
  }

  Result<void> invalid_value(const Node& v, std::string_view expected) const {
    std::string f = "invalid value: " + json::describe(doc_, v) + ", expected ";
    f += expected;
    return fail(std::move(f));
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
  Result<void> read(const Node& v, uint32_t& out) const {
    if (v.kind != Kind::Integer) return invalid_type(v, "u32");
    if (below_zero(v) || v.big || v.magnitude > UINT32_MAX) return invalid_value(v, "u32");
    out = static_cast<uint32_t>(v.magnitude);
    return {};
  }

  Result<void> read(const Node& v, uint64_t& out) const {
    if (v.kind != Kind::Integer) return invalid_type(v, "u64");
    if (below_zero(v) || v.big) return invalid_value(v, "u64");
    out = v.magnitude;
    return {};
  }

  Result<void> read(const Node& v, double& out) const {
    if (v.kind != Kind::Integer && v.kind != Kind::Real) return invalid_type(v, "f64");
    out = v.real;
    return {};
  }

  Result<void> read(const Node& v, bool& out) const {
    if (v.kind != Kind::Bool) return invalid_type(v, "a boolean");
    out = v.boolean;
    return {};
  }

  Result<void> read(const Node& v, std::string& out) const {
    if (v.kind != Kind::String) return invalid_type(v, "a string");
    out = text(v);
    return {};
  }

  // A mode is its name, or an object whose single key is the name and whose value is null.
  Result<void> read(const Node& v, DomainMode& out) const {
    if (v.kind == Kind::String) return mode_from_name(text(v), out);
    if (v.kind != Kind::Object) return invalid_type(v, "string or map");
    if (v.count != 1) return fail("invalid value: map, expected map with a single key");
    const Node& only = *first_child(v);
    KL_TRY(mode_from_name(key(only), out));
    if (only.kind != Kind::Null) return invalid_type(only, "unit value");
    return {};
  }

  // Null stands for an absent optional value.
  template <class T>
  Result<void> read(const Node& v, std::optional<T>& out) const {
    if (v.kind == Kind::Null) {
      out.reset();
      return {};
    }
    T value{};
    Result<void> s = read(v, value);
    if (s.ok()) out = std::move(value);
    return s;
  }

  // A nested record: an object or an array.
  template <Tabled R>
  Result<void> read(const Node& v, R& out) const {
    constexpr auto table = table_of(static_cast<const R*>(nullptr));
    RecordInput in;
    KL_TRY(record_input(v, table.name, in));
    return read_fields(in, table, out);
  }

  // A command's record: the members beside the tag, or the elements after it.
  template <Tabled R>
  Result<void> read(const RecordInput& in, R& out) const {
    return read_fields(in, table_of(static_cast<const R*>(nullptr)), out);
  }

 private:
  static Result<void> mode_from_name(std::string_view name, DomainMode& out) {
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
    std::string f = "unknown variant `";
    f += name;
    f += "`, expected one of `off`, `free`, `target`";
    return fail(std::move(f));
  }

  Result<void> record_input(const Node& v, std::string_view name, RecordInput& in) const {
    if (v.kind != Kind::Object && v.kind != Kind::Array) {
      return invalid_type(v, "struct " + std::string(name));
    }
    in.positional = v.kind == Kind::Array;
    in.fields.reserve(v.count);
    children(first_child(v), in.fields);
    return {};
  }

  // Reads `v` into field number `index` of `out`.
  template <class R, class... T>
  Result<void> read_field(const RecordTable<R, T...>& table, size_t index, const Node& v,
                    R& out) const {
    Result<void> s;
    size_t i = 0;
    std::apply(
        [&](const auto&... f) {
          ((i++ == index ? static_cast<void>(s = read(v, out.*(f.member))) : void()), ...);
        },
        table.fields);
    return s;
  }

  // Reads the given fields into `out`. Unknown keys are skipped; a key given twice fails.
  template <class R, class... T>
  Result<void> read_fields(const RecordInput& in, const RecordTable<R, T...>& table, R& out) const {
    constexpr size_t n = sizeof...(T);
    if (in.positional) {
      if (table.first_required && in.fields.empty()) return invalid_length(0, table.name, n);
      for (size_t i = 0; i < in.fields.size() && i < n; ++i) {
        KL_TRY(read_field(table, i, *in.fields[i], out));
      }
      if (in.fields.size() > n) return invalid_length(in.fields.size(), table.name, n);
      return {};
    }
    const std::array<std::string_view, n> keys =
        std::apply([](const auto&... f) { return std::array<std::string_view, n>{f.key...}; },
                   table.fields);
    std::array<bool, n> seen{};
    for (const Node* m : in.fields) {
      const std::string_view k = key(*m);
      size_t i = 0;
      while (i < n && keys[i] != k) ++i;
      if (i == n) continue;
      if (seen[i]) return fail("duplicate field `" + std::string(k) + "`");
      seen[i] = true;
      KL_TRY(read_field(table, i, *m, out));
    }
    if (table.first_required && !seen[0]) {
      return fail("missing field `" + std::string(keys[0]) + "`");
    }
    return {};
  }

  const json::Document& doc_;
};

template <class Record>
DecodeResult finish(const Reader& reader, const RecordInput& in) {
  Record record;
  KL_TRY(reader.read(in, record));
  return Command(std::move(record));
}

}  // namespace

DecodeResult decode_command(std::string_view text) {
  const json::ParseResult parsed = json::parse(text);
  if (!parsed.ok()) {
    return fail(with_position(parsed.error().message, text, parsed.error().offset));
  }
  const Reader reader(parsed.value());
  const Node& root = parsed->root();

  // The tag, and the rest set aside for the record.
  const Node* tag = nullptr;
  RecordInput rest;
  if (root.kind == Kind::Object) {
    for (const Node* m = reader.first_child(root); m != nullptr; m = reader.next_sibling(*m)) {
      if (reader.key(*m) != "cmd") {
        rest.fields.push_back(m);
      } else if (tag != nullptr) {
        return fail(with_position("duplicate field `cmd`", text, m->key_end));
      } else {
        tag = m;
      }
    }
    if (tag == nullptr) return fail(with_position("missing field `cmd`", text, root.end));
  } else if (root.kind == Kind::Array) {
    tag = reader.first_child(root);
    if (tag == nullptr) return fail(with_position("missing field `cmd`", text, root.end));
    rest.positional = true;
    reader.children(reader.next_sibling(*tag), rest.fields);
  } else {
    return fail(with_position(
        reader.invalid_type(root, "internally tagged enum Command").error(), text, root.end));
  }

  if (tag->kind != Kind::String) {
    return fail(
        with_position(reader.invalid_type(*tag, "variant identifier").error(), text, tag->end));
  }
  const std::string_view name = reader.text(*tag);
  if (name == "start") return finish<StartCmd>(reader, rest);
  if (name == "set") return finish<SetCmd>(reader, rest);
  if (name == "power") return finish<PowerCmd>(reader, rest);
  if (name == "hb") {
    // A heartbeat carries nothing; whatever came with it is ignored, in either form.
    return Command(HbCmd{});
  }
  if (name == "stop") return finish<StopCmd>(reader, rest);
  return fail(with_position(
      "unknown variant `" + std::string(name) +
          "`, expected one of `start`, `set`, `power`, `hb`, `stop`",
      text, tag->end));
}

}  // namespace kestrune
