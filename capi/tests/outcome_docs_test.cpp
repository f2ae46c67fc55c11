// The reference docs list every outcome: each row of the outcome list has its
// line in the tables of docs/c-api.md and docs/python-api.md, with its number,
// code and message (and in C, its constant), and no line names a number the
// list does not have.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "kelvara/security/outcome.hpp"

namespace {

using kelvara::security::kOutcomeRows;

// The table lines of a document that start with an outcome number, by number.
std::map<std::int32_t, std::string> numbered_lines(const std::string& name) {
  std::ifstream file(std::string(KELVARA_DOCS_DIR) + "/" + name);
  EXPECT_TRUE(file) << name;
  std::map<std::int32_t, std::string> lines;
  std::string line;
  while (std::getline(file, line)) {
    std::int32_t number = 0;
    std::istringstream cells(line);
    char bar = 0;
    if (cells >> bar && bar == '|' && cells >> number && number > 0) {
      EXPECT_TRUE(lines.emplace(number, line).second) << name << " lists " << number << " twice";
    }
  }
  return lines;
}

bool names(const std::string& line, std::string_view text, const char* quote) {
  return line.find(quote + std::string(text) + quote) != std::string::npos;
}

void expect_every_row_in(const std::string& name, bool with_constant) {
  const std::map<std::int32_t, std::string> lines = numbered_lines(name);
  for (const auto& row : kOutcomeRows) {
    const auto line = lines.find(row.number);
    if (line == lines.end()) {
      ADD_FAILURE() << name << " has no line for " << row.number << " " << row.code;
      continue;
    }
    EXPECT_TRUE(names(line->second, row.code, "`")) << name << ": " << line->second;
    EXPECT_TRUE(names(line->second, row.message, "\"")) << name << ": " << line->second;
    if (with_constant) {
      EXPECT_TRUE(names(line->second, row.constant, "`")) << name << ": " << line->second;
    }
  }
  for (const auto& [number, line] : lines) {
    EXPECT_NE(kelvara::security::find_outcome(number), nullptr)
        << name << " lists an unknown outcome: " << line;
  }
}

TEST(OutcomeDocs, TheCReferenceListsEveryOutcome) { expect_every_row_in("c-api.md", true); }
TEST(OutcomeDocs, ThePythonReferenceListsEveryOutcome) { expect_every_row_in("python-api.md", false); }

}  // namespace
