// The order in which the encoder writes each event's keys, checked against the order the
// protocol schema states (x-keyOrder of each event and of each nested object).

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "contract/event_cases.h"
#include "protocol/encode.h"
#include "protocol/json_parse.h"

namespace kestrune {
namespace encode_order_test {

using json::Document;
using json::Kind;
using json::Node;

const Node* member(const Document& doc, const Node& object, std::string_view key) {
  for (const Node* m = doc.first_child(object); m != nullptr; m = doc.next_sibling(*m)) {
    if (doc.key(*m) == key) return m;
  }
  return nullptr;
}

std::vector<std::string> keys(const Document& doc, const Node& object) {
  std::vector<std::string> out;
  for (const Node* m = doc.first_child(object); m != nullptr; m = doc.next_sibling(*m)) {
    out.emplace_back(doc.key(*m));
  }
  return out;
}

class EncoderKeyOrder : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef KL_PROTOCOL_SCHEMA
    std::ifstream file(KL_PROTOCOL_SCHEMA);
    std::ostringstream text;
    text << file.rdbuf();
    schema_text_ = text.str();
#endif
    if (schema_text_.empty()) GTEST_SKIP() << "docs/protocol.schema.json is not available";
    json::ParseResult parsed = json::parse(schema_text_);
    ASSERT_TRUE(parsed.ok()) << parsed.error().message;
    schema_ = std::move(parsed).value();
    defs_ = member(schema_, schema_.root(), "$defs");
    ASSERT_NE(defs_, nullptr);
  }

  // The schema's definition named `name`, or null.
  const Node* def(std::string_view name) const { return member(schema_, *defs_, name); }

  std::vector<std::string> key_order(const Node& definition) const {
    const Node* order = member(schema_, definition, "x-keyOrder");
    std::vector<std::string> out;
    if (order == nullptr) return out;
    for (const Node* k = schema_.first_child(*order); k != nullptr; k = schema_.next_sibling(*k)) {
      out.emplace_back(schema_.text(*k));
    }
    return out;
  }

  // Checks `object` of `line` against `definition`, and each member that refers to another
  // definition against that one.
  void check(const Document& line, const Node& object, const Node& definition,
             const std::string& where) const {
    EXPECT_EQ(keys(line, object), key_order(definition)) << where;
    const Node* properties = member(schema_, definition, "properties");
    if (properties == nullptr) return;
    for (const Node* m = line.first_child(object); m != nullptr; m = line.next_sibling(*m)) {
      if (m->kind != Kind::Object) continue;
      const Node* property = member(schema_, *properties, line.key(*m));
      const Node* ref = property ? member(schema_, *property, "$ref") : nullptr;
      ASSERT_NE(ref, nullptr) << where << ": no definition for " << line.key(*m);
      const std::string_view target = schema_.text(*ref);
      const Node* nested = def(target.substr(target.rfind('/') + 1));
      ASSERT_NE(nested, nullptr) << where << ": " << target;
      check(line, *m, *nested, where + "." + std::string(line.key(*m)));
    }
  }

  std::string schema_text_;
  Document schema_;
  const Node* defs_ = nullptr;
};

TEST_F(EncoderKeyOrder, EveryEventWritesTheSchemasOrder) {
  for (const contract::EventCase& c : contract::event_cases()) {
    const Result<std::string> line = encode_event(c.event);
    ASSERT_TRUE(line.ok()) << c.name;
    const json::ParseResult parsed = json::parse(line.value());
    ASSERT_TRUE(parsed.ok()) << c.name;
    const Document& doc = parsed.value();
    const Node* ev = member(doc, doc.root(), "ev");
    ASSERT_NE(ev, nullptr) << c.name;
    const Node* definition = def(doc.text(*ev));
    ASSERT_NE(definition, nullptr) << c.name << ": the schema has no event " << doc.text(*ev);
    check(doc, doc.root(), *definition, c.name);
  }
}

}  // namespace encode_order_test
}  // namespace kestrune
