// What libzekcore.so lets an app link against: the five C functions, the observer's
// type identity and the Objective-C facade's class, and none of the internals.

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

const char* const kCFunctions[] = {"Initialize", "UnInitialize", "ConnectImServer",
                                   "DisConnectImServer", "SendUserMessage"};
const char kFacadeClass[] = "__objc_class_name_ZEKCoreAdapter";

// The library under test: $ZEKCORE_LIBRARY when set (CI points it at an installed copy),
// otherwise the one this build made.
std::string LibraryPath() {
  const char* path = getenv("ZEKCORE_LIBRARY");
  return path != nullptr && *path != '\0' ? path : ZEK_SHARED_LIBRARY;
}

struct NmListing {
  bool ok = false;
  std::string output;              // for failure messages
  std::vector<std::string> names;  // demangled
};

// `nm -D --defined-only` of the library: the dynamic symbols it defines.
NmListing ListDefinedDynamicSymbols(const std::string& library) {
  NmListing listing;
  const std::string command = "nm -D --defined-only --demangle '" + library + "' 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr)
    return listing;
  char line[4096];
  while (fgets(line, sizeof(line), pipe) != nullptr) {
    std::string text(line);
    listing.output += text;
    if (!text.empty() && text.back() == '\n')
      text.pop_back();
    // "<address> <type> <name>"; the name may hold blanks.
    const size_t type = text.find(' ');
    if (type == std::string::npos || type + 3 > text.size())
      continue;
    listing.names.push_back(text.substr(type + 3));
  }
  const int status = pclose(pipe);
  listing.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && !listing.names.empty();
  return listing;
}

class ExportedSymbolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listing_ = ListDefinedDynamicSymbols(LibraryPath());
    ASSERT_TRUE(listing_.ok) << "nm of " << LibraryPath() << " failed:\n" << listing_.output;
    names_.insert(listing_.names.begin(), listing_.names.end());
  }

  NmListing listing_;
  std::set<std::string> names_;
};

TEST_F(ExportedSymbolsTest, ListsTheFiveCFunctions) {
  for (const char* function : kCFunctions)
    EXPECT_EQ(names_.count(function), 1u) << function << " is not exported:\n" << listing_.output;
}

TEST_F(ExportedSymbolsTest, ListsTheFacadeClassWhenBuilt) {
#if defined(ZEK_HAVE_OBJC)
  EXPECT_EQ(names_.count(kFacadeClass), 1u) << listing_.output;
#else
  EXPECT_EQ(names_.count(kFacadeClass), 0u) << listing_.output;
#endif
}

// Internals that leak (the runtime base's rtc:: above all, but also the engine, the
// manager or instantiations of the standard library's templates) would let apps bind
// to them and clash with their own copies.
TEST_F(ExportedSymbolsTest, ListsNothingBeyondThePublicApi) {
  std::set<std::string> allowed(std::begin(kCFunctions), std::end(kCFunctions));
  allowed.insert("typeinfo for tavix::im::ZEkCoreObserver");
  allowed.insert("typeinfo name for tavix::im::ZEkCoreObserver");
  allowed.insert(kFacadeClass);
  for (const std::string& name : names_) {
    EXPECT_EQ(name.find("rtc::"), std::string::npos) << name;
    EXPECT_EQ(allowed.count(name), 1u) << "exported beyond the public API: " << name;
  }
}

}  // namespace
