// The client's records against the helper's own output and the protocol schema: every event
// the helper's encoder writes parses, strictly, into exactly the record expected; strict
// parsing refuses a line with a key added or taken away; and an object with exactly the
// schema's keys for each event parses strictly, so a key added to (or dropped from) the
// schema fails here until the client follows.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "kestrune/json.h"
#include "kestrune/protocol.h"

namespace kestrune {
namespace {

using json::Value;

// The helper's lines by case name, from kl_event_lines (which links the helper's encoder).
std::map<std::string, std::string> helper_lines() {
  std::map<std::string, std::string> lines;
#ifdef KL_EVENT_LINES
  FILE* pipe = ::popen(KL_EVENT_LINES, "r");
  if (pipe == nullptr) return lines;
  std::string text;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) text.append(buf, n);
  if (::pclose(pipe) != 0) return {};
  std::istringstream in(text);
  for (std::string row; std::getline(in, row);) {
    const size_t tab = row.find('\t');
    if (tab != std::string::npos) lines[row.substr(0, tab)] = row.substr(tab + 1);
  }
#endif
  return lines;
}

// The same cases as the helper's event_cases(), as this client's records.
std::map<std::string, Event> expected_events() {
  Hello bare;
  bare.v = 1;
  bare.nonce = "n-1";
  bare.pid = 4242;
  bare.isa = "sse2";
  bare.isa_max = "sse2";
  bare.workers = 1;
  bare.in_job = true;

  Hello full = bare;
  full.nonce = "Gr\xC3\xA4" "fin \"q\"";
  full.pid = std::numeric_limits<std::uint32_t>::max();
  full.isa = "avx2fma";
  full.isa_max = "avx512";
  full.workers = 64;
  full.gpu = {true, "Card \\ X", 4318u, 12.5, std::nullopt};
  full.elevated = true;
  full.in_job = false;
  full.lab = true;

  Hello gpu_failed = bare;
  gpu_failed.gpu.err = "gpuSlow";

  Status running;
  running.t_ms = 1250;
  running.cpu = {Mode::target, 0.4375, 45.0, std::nullopt, true, {}};
  running.gpu = {Mode::free, 1.0, std::nullopt, 3.4, false, {}};

  Status gpu_target;
  gpu_target.t_ms = std::numeric_limits<std::uint64_t>::max();
  gpu_target.cpu = {Mode::free, 1.0, std::nullopt, std::nullopt, false, {}};
  gpu_target.gpu = {Mode::target, 0.25, 150.0, 19.9, true, {}};

  return {
      {"hello bare", bare},
      {"hello full", full},
      {"hello gpu failed", gpu_failed},
      {"ack", Ack{7}},
      {"ack max", Ack{std::numeric_limits<std::uint64_t>::max()}},
      {"status idle", Status{}},
      {"status running", running},
      {"status gpu target", gpu_target},
      {"error with detail", Error{"badLine", "line is not UTF-8"}},
      {"error without detail", Error{"fatal", std::nullopt}},
      {"bye", Bye{"hbTimeout", 3, 12.3, 0.0}},
      {"bye fatal", Bye{"fatal", 9, 0.0, 780.5}},
  };
}

std::string write(const Value& v) {
  switch (v.kind) {
    case Value::Kind::null: return "null";
    case Value::Kind::boolean: return v.boolean ? "true" : "false";
    case Value::Kind::number:
      if (v.unsigned_integer) return std::to_string(*v.unsigned_integer);
      if (v.signed_integer) return std::to_string(*v.signed_integer);
      return json::number(v.number);
    case Value::Kind::string: return json::quote(v.string);
    case Value::Kind::array: {
      std::string out = "[";
      for (const Value& i : v.items) out += (out.size() > 1 ? "," : "") + write(i);
      return out + "]";
    }
    case Value::Kind::object: {
      std::string out = "{";
      for (const auto& [k, m] : v.members) {
        out += (out.size() > 1 ? "," : "") + json::quote(k) + ":" + write(m);
      }
      return out + "}";
    }
  }
  return "null";
}

// Every object of `root` (itself and nested ones), for the mutations below.
void objects(Value& root, std::vector<Value*>& out) {
  if (root.kind != Value::Kind::object) return;
  out.push_back(&root);
  for (auto& [k, m] : root.members) objects(m, out);
}

class HelperEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    lines_ = helper_lines();
    if (lines_.empty()) GTEST_SKIP() << "the helper's kl_event_lines is not available";
  }
  std::map<std::string, std::string> lines_;
};

TEST_F(HelperEvents, EveryLineParsesStrictlyIntoTheExpectedRecord) {
  const std::map<std::string, Event> expected = expected_events();
  ASSERT_EQ(lines_.size(), expected.size());
  for (const auto& [name, event] : expected) {
    ASSERT_TRUE(lines_.count(name)) << name;
    for (Parsing parsing : {Parsing::strict, Parsing::lenient}) {
      std::string error;
      const std::optional<Event> got = parse_event(lines_[name], error, parsing);
      ASSERT_TRUE(got) << name << ": " << error;
      EXPECT_TRUE(*got == event) << name << ": " << lines_[name];
    }
  }
}

TEST_F(HelperEvents, StrictParsingRefusesAnAddedOrMissingKey) {
  for (const auto& [name, line] : lines_) {
    std::string error;
    const std::optional<Value> parsed = json::parse(line, error);
    ASSERT_TRUE(parsed) << error;
    Value root = *parsed;
    std::vector<Value*> found;
    objects(root, found);
    for (size_t o = 0; o < found.size(); ++o) {
      // A key added to this object: unknown to strict parsing, skipped by lenient.
      Value added = root;
      std::vector<Value*> in_added;
      objects(added, in_added);
      in_added[o]->members.emplace_back("later", Value{});
      EXPECT_FALSE(parse_event(write(added), error, Parsing::strict)) << name;
      EXPECT_NE(error.find("later` unknown"), std::string::npos) << name << ": " << error;
      EXPECT_TRUE(parse_event(write(added), error, Parsing::lenient)) << name << ": " << error;

      // Each key taken away from it in turn.
      for (size_t k = 0; k < found[o]->members.size(); ++k) {
        Value taken = root;
        std::vector<Value*> in_taken;
        objects(taken, in_taken);
        const std::string key = in_taken[o]->members[k].first;
        in_taken[o]->members.erase(in_taken[o]->members.begin() + static_cast<long>(k));
        EXPECT_FALSE(parse_event(write(taken), error, Parsing::strict))
            << name << " without " << key;
      }
    }
  }
}

// The schema: an event object carrying exactly its definition's keys, each with a value
// the definition allows.
class SchemaEvents : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef KL_PROTOCOL_SCHEMA
    std::ifstream file(KL_PROTOCOL_SCHEMA);
    std::ostringstream text;
    text << file.rdbuf();
    std::string error;
    if (!text.str().empty()) {
      std::optional<Value> schema = json::parse(text.str(), error);
      ASSERT_TRUE(schema) << error;
      schema_ = std::move(*schema);
    }
#endif
    if (schema_.kind != Value::Kind::object) {
      GTEST_SKIP() << "docs/protocol.schema.json is not available";
    }
    defs_ = schema_.find("$defs");
    ASSERT_NE(defs_, nullptr);
  }

  const Value* def_of(const Value& property) const {
    const Value* ref = property.find("$ref");
    if (ref == nullptr) return nullptr;
    return defs_->find(ref->string.substr(ref->string.rfind('/') + 1));
  }

  Value example(const Value& property) const {
    if (const Value* target = def_of(property)) {
      if (target->find("properties") != nullptr) return object_of(*target);
      return example(*target);
    }
    if (const Value* c = property.find("const")) return *c;
    if (const Value* e = property.find("enum"); e != nullptr && !e->items.empty()) {
      return e->items.front();
    }
    const Value* type = property.find("type");
    std::string name = type && type->kind == Value::Kind::string ? type->string : "null";
    if (type && type->kind == Value::Kind::array) {
      for (const Value& t : type->items) {
        if (t.string != "null") name = t.string;
      }
    }
    std::string error;
    if (name == "string") return *json::parse("\"s\"", error);
    if (name == "integer") return *json::parse("1", error);
    if (name == "number") return *json::parse("1.5", error);
    if (name == "boolean") return *json::parse("true", error);
    return Value{};
  }

  Value object_of(const Value& definition) const {
    Value out;
    out.kind = Value::Kind::object;
    const Value* properties = definition.find("properties");
    const Value* order = definition.find("x-keyOrder");
    if (properties == nullptr || order == nullptr) return out;
    for (const Value& key : order->items) {
      const Value* property = properties->find(key.string);
      out.members.emplace_back(key.string, property ? example(*property) : Value{});
    }
    return out;
  }

  Value schema_;
  const Value* defs_ = nullptr;
};

TEST_F(SchemaEvents, EachEventWithExactlyTheSchemasKeysParsesStrictly) {
  const Value* event = defs_->find("event");
  ASSERT_NE(event, nullptr);
  const Value* names = event->find("properties") ? event->find("properties")->find("ev") : nullptr;
  ASSERT_TRUE(names && names->find("enum"));
  for (const Value& ev : names->find("enum")->items) {
    const Value* definition = defs_->find(ev.string);
    ASSERT_NE(definition, nullptr) << ev.string;
    const std::string line = write(object_of(*definition));
    std::string error;
    EXPECT_TRUE(parse_event(line, error, Parsing::strict)) << line << " -> " << error;
  }
}

}  // namespace
}  // namespace kestrune
