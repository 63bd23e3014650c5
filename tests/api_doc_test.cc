// The C API's reference page and header against the code: every member of the parameter
// text that the core reads, every event code and every message type must be documented.
// A new one that is not fails here.

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "src/connection.h"

namespace tavix {
namespace im {
namespace {

std::string ReadSource(const std::string& relative) {
  const std::string path = std::string(ZEK_SOURCE_DIR) + "/" + relative;
  std::ifstream file(path);
  EXPECT_TRUE(file.good()) << "cannot read " << path;
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  std::string line;
  while (std::getline(in, line))
    lines.push_back(line);
  return lines;
}

// A row of a table whose first cell is `cell`, and whose second is `second` when given.
bool HasRow(const std::string& page, const std::string& cell, const std::string& second = "") {
  const std::string start = "| " + cell + " |" + (second.empty() ? "" : " " + second + " |");
  for (const std::string& line : Lines(page)) {
    if (line.compare(0, start.size(), start) == 0)
      return true;
  }
  return false;
}

// The members read from a JSON object by name in a source file: `["name"]`.
std::set<std::string> MembersReadIn(const std::string& source) {
  std::set<std::string> names;
  const std::regex member(R"re(\[\s*"([A-Za-z0-9_]+)"\s*\])re");
  for (std::sregex_iterator it(source.begin(), source.end(), member), end; it != end; ++it)
    names.insert((*it)[1]);
  return names;
}

struct Enumerator {
  std::string name;
  std::string value;
  bool commented;  // a comment on the lines before it
};

// The enumerators of `enum <name>` in the header, with whether each has a comment.
std::vector<Enumerator> EnumeratorsOf(const std::string& header, const std::string& name) {
  std::vector<Enumerator> found;
  const std::regex opening("^enum " + name + "\\b.*\\{");
  const std::regex enumerator(R"(^\s*(k[A-Za-z0-9]+) = (-?[0-9]+),)");
  bool inside = false;
  bool comment_before = false;
  for (const std::string& line : Lines(header)) {
    if (!inside) {
      inside = std::regex_search(line, opening);
      continue;
    }
    if (line.find("};") != std::string::npos)
      break;
    std::smatch match;
    if (std::regex_search(line, match, enumerator)) {
      const bool trailing = line.find("//") != std::string::npos;
      found.push_back({match[1], match[2], comment_before || trailing});
      comment_before = false;
    } else {
      comment_before = line.find("//") != std::string::npos;
    }
  }
  return found;
}

class ApiDocTest : public ::testing::Test {
 protected:
  const std::string page_ = ReadSource("docs/api.md");
  const std::string header_ = ReadSource("src/libzekcore.h");
};

TEST_F(ApiDocTest, EveryMemberOfTheParameterTextHasARow) {
  std::set<std::string> members;
  for (const Connection::ParamField& field : Connection::kParamFields)
    members.insert(field.name);
  // The manager reads the transport's name itself.
  members.insert("connection_type");
  for (const char* source : {"src/connection.cc", "src/zek_manager.cc"}) {
    for (const std::string& name : MembersReadIn(ReadSource(source)))
      members.insert(name);
  }
  for (const std::string& name : members) {
    EXPECT_TRUE(HasRow(page_, "\"" + name + "\""))
        << "docs/api.md has no row for the parameter member \"" << name << "\"";
  }
}

TEST_F(ApiDocTest, EveryEventCodeAndMessageTypeHasACommentAndARow) {
  const struct {
    const char* name;
    const char* first;
    int first_value;
  } enums[] = {
      {"ZEkEventCode", "kEventConnected", kEventConnected},
      {"ZEkMsgType", "kMsgText", kMsgText},
  };
  for (const auto& e : enums) {
    SCOPED_TRACE(e.name);
    const std::vector<Enumerator> values = EnumeratorsOf(header_, e.name);
    ASSERT_FALSE(values.empty()) << "no enum " << e.name << " in src/libzekcore.h";
    EXPECT_EQ(e.first, values.front().name);
    EXPECT_EQ(std::to_string(e.first_value), values.front().value);
    for (const Enumerator& value : values) {
      EXPECT_TRUE(value.commented) << value.name << " has no comment in src/libzekcore.h";
      EXPECT_TRUE(HasRow(page_, "`" + value.name + "`", value.value))
          << "docs/api.md has no row for " << value.name << " = " << value.value;
    }
  }
}

TEST_F(ApiDocTest, EveryFunctionHasACommentAndARow) {
  const std::regex function(R"(^ZEKCORE_EXPORT void ([A-Za-z]+)\()");
  const std::vector<std::string> lines = Lines(header_);
  size_t found = 0;
  for (size_t i = 0; i < lines.size(); i++) {
    std::smatch match;
    if (!std::regex_search(lines[i], match, function))
      continue;
    found++;
    const std::string name = match[1];
    EXPECT_TRUE(i > 0 && lines[i - 1].compare(0, 2, "//") == 0)
        << name << " has no comment in src/libzekcore.h";
    const std::regex row("^\\| `" + name + "\\(");
    bool has_row = false;
    for (const std::string& line : Lines(page_))
      has_row = has_row || std::regex_search(line, row);
    EXPECT_TRUE(has_row) << "docs/api.md has no row for " << name;
  }
  EXPECT_GT(found, 0u) << "no exported function in src/libzekcore.h";
}

// Every warning of the C API that the page lists, as the code writes it: adjacent
// literals joined, the texts that say a call does nothing.
TEST_F(ApiDocTest, EveryWarningOfTheCApiIsOnThePage) {
  const std::string source = ReadSource("src/libzekcore.cc");
  const std::regex literals(R"re(("[^"\n]*"\s*)+)re");
  const std::regex piece(R"re("([^"\n]*)")re");
  // The page wraps its lines: one blank stands for any run of them.
  const std::string page = std::regex_replace(page_, std::regex(R"(\s+)"), " ");
  size_t found = 0;
  for (std::sregex_iterator it(source.begin(), source.end(), literals), end; it != end; ++it) {
    const std::string run = (*it)[0];
    std::string text;
    for (std::sregex_iterator p(run.begin(), run.end(), piece), pend; p != pend; ++p)
      text += (*p)[1];
    if (text.find("does nothing") == std::string::npos)
      continue;
    found++;
    EXPECT_NE(page.find("\"" + text + "\""), std::string::npos)
        << "docs/api.md does not quote the warning \"" << text << "\"";
  }
  EXPECT_GT(found, 0u) << "no warning found in src/libzekcore.cc";
}

// The page shows the echo server's command line as the program takes it, and the README
// names the program.
TEST_F(ApiDocTest, TheEchoServerIsShownAsItRuns) {
  const std::string source = ReadSource("tools/demo/zekcore_echo_server.cc");
  std::smatch usage;
  ASSERT_TRUE(std::regex_search(source, usage, std::regex(R"(usage: %s ([^\\"]+)\\n)")))
      << "no usage line in tools/demo/zekcore_echo_server.cc";
  EXPECT_NE(page_.find("zekcore_echo_server " + usage[1].str()), std::string::npos)
      << "docs/api.md does not show zekcore_echo_server " << usage[1];
  EXPECT_NE(ReadSource("README.md").find("zekcore_echo_server"), std::string::npos);
}

}  // namespace
}  // namespace im
}  // namespace tavix
