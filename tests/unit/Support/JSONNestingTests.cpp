#include <gtest/gtest.h>

#include <string>

#include "Support/JSONNesting.hpp"

namespace vantrel {
namespace {

std::string nested(std::size_t depth, char open = '[', char close = ']') {
  return std::string(depth, open) + std::string(depth, close);
}

struct NestingCase {
  const char* name;
  std::string text;
  std::size_t limit;
  bool within;
};

TEST(JSONNesting, CountsBracketsOutsideStringsAgainstTheLimit) {
  const NestingCase cases[] = {
      {"empty", "", 0, true},
      {"scalar needs no level", "12", 0, true},
      {"one array at limit 0", "[]", 0, false},
      {"exactly the limit", nested(32), 32, true},
      {"one past the limit", nested(33), 32, false},
      {"objects count like arrays", R"({"a":{"b":{"c":1}}})", 3, true},
      {"objects one past", R"({"a":{"b":{"c":{}}}})", 3, false},
      {"siblings do not add up", "[[],[],[[]],[]]", 3, true},
      {"the deepest sibling counts", "[[],[],[[]],[]]", 2, false},
      {"brackets in strings are text", R"(["[[[[{{{{"])", 1, true},
      {"escaped quote keeps the string open", R"(["\"[[[["])", 1, true},
      {"escaped backslash ends the escape", R"(["\\",[[]]])", 2, false},
      {"unbalanced closers never go below zero", "]]]]" + nested(2), 2, true},
      {"a valid file 70,000 deep", "{\"zzz\":" + nested(70'000) + "}", 32, false},
      {"deep nesting in an ignored key", R"({"ok":1,"x":)" + nested(40) + "}", 32, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(jsonNestingWithin(c.text, c.limit), c.within);
  }
}

TEST(JSONNesting, TheDefaultLimitIsTheSharedOne) {
  EXPECT_TRUE(jsonNestingWithin(nested(maximumJSONNesting)));
  EXPECT_FALSE(jsonNestingWithin(nested(maximumJSONNesting + 1)));
}

}  // namespace
}  // namespace vantrel
