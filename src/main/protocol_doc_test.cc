// The controller's reference, docs/protocol.md, against the program's own tables: a stop
// reason, exit code or error code that changes in one place and not the other fails here.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "main/stop_reason.h"
#include "io/emit.h"
#include "protocol/error_codes.h"

namespace kestrune {
namespace {

using Row = std::vector<std::string>;

std::string trim(std::string s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

// A cell such as "`stop`" names the value "stop".
std::string unquote(std::string cell) {
  if (cell.size() >= 2 && cell.front() == '`' && cell.back() == '`') return cell.substr(1, cell.size() - 2);
  return cell;
}

Row cells(const std::string& line) {
  Row row;
  std::string cell;
  for (size_t i = 1; i < line.size(); ++i) {  // past the leading '|'
    if (line[i] == '|') {
      row.push_back(trim(cell));
      cell.clear();
    } else {
      cell += line[i];
    }
  }
  return row;
}

// The body rows of the first table after the line that starts with `marker`; empty if
// there is none.
std::vector<Row> table_after(const std::string& doc, const std::string& marker) {
  std::istringstream in(doc);
  std::string line;
  bool found = false;
  while (!found && std::getline(in, line)) found = line.rfind(marker, 0) == 0;
  std::vector<Row> rows;
  bool in_table = false;
  int header_lines = 0;
  while (std::getline(in, line)) {
    if (line.rfind("|", 0) == 0) {
      in_table = true;
      if (header_lines < 2) {
        ++header_lines;  // the header and its |---| line
      } else {
        rows.push_back(cells(line));
      }
    } else if (in_table || line.rfind("#", 0) == 0) {
      break;
    }
  }
  return rows;
}

std::vector<std::string> first_column(const std::vector<Row>& rows) {
  std::vector<std::string> names;
  for (const Row& r : rows) names.push_back(r.empty() ? std::string() : unquote(r[0]));
  return names;
}

class ProtocolDoc : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef KL_PROTOCOL_DOC
    std::ifstream file(KL_PROTOCOL_DOC);
    std::ostringstream text;
    text << file.rdbuf();
    doc_ = text.str();
#endif
    if (doc_.empty()) GTEST_SKIP() << "docs/protocol.md is not available to this build";
  }
  std::string doc_;
};

TEST_F(ProtocolDoc, StopReasonsMatchTheirTextsAndExitCodesInOrder) {
  const auto rows = table_after(doc_, "## Stop reasons and exit codes");
  std::vector<std::string> doc_rows, program_rows;
  for (const Row& r : rows) doc_rows.push_back(unquote(r.at(0)) + " " + r.at(1));
  for (int i = 0; i <= static_cast<int>(StopReason::Fatal); ++i) {
    const auto reason = static_cast<StopReason>(i);
    program_rows.push_back(std::string(stop_reason_text(reason)) + " " +
                           std::to_string(stop_reason_code(reason)));
  }
  EXPECT_EQ(doc_rows, program_rows);
}

TEST_F(ProtocolDoc, ErrorEventCodesAreTheProgramsOwn) {
  const std::vector<std::string> program(std::begin(error_code::kErrorEvents),
                                         std::end(error_code::kErrorEvents));
  EXPECT_EQ(first_column(table_after(doc_, "## Error events")), program);
  // The one error the program writes as a fixed line must use the same spelling.
  EXPECT_NE(kFallbackLine.find(std::string("\"code\":\"") + error_code::kFatal + "\""),
            std::string_view::npos);
}

TEST_F(ProtocolDoc, GpuSetupFailuresAreTheProgramsOwn) {
  const std::vector<std::string> program(std::begin(error_code::kGpuSetup),
                                         std::end(error_code::kGpuSetup));
  EXPECT_EQ(first_column(table_after(doc_, "GPU set-up failures")), program);
}

}  // namespace
}  // namespace kestrune
