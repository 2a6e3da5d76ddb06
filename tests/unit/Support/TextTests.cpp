#include <gtest/gtest.h>

#include "Support/Text.hpp"

namespace vantrel {
namespace {

TEST(Text, StrictUTF8Validation) {
  struct Case {
    Bytes bytes;
    bool valid;
  };
  const Case cases[] = {
      {{}, true},
      {{'a', 'b'}, true},
      {{0xEC, 0x97, 0x85}, true},         // 업
      {{0xF0, 0x9F, 0x98, 0x80}, true},   // emoji
      {{0xC0, 0xAF}, false},              // overlong "/"
      {{0xE0, 0x80, 0xAF}, false},        // overlong
      {{0xED, 0xA0, 0x80}, false},        // surrogate U+D800
      {{0xF4, 0x90, 0x80, 0x80}, false},  // above U+10FFFF
      {{0xEC, 0x97}, false},              // truncated
      {{0x80}, false},                    // lone continuation
      {{0xFF}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(text::isValidUTF8(ByteView(c.bytes)), c.valid) << hexString(c.bytes);
}

TEST(Text, TrimsUnicodeWhiteSpaceAndNewlines) {
  EXPECT_EQ(text::trimmed("  host\t\n"), "host");
  EXPECT_EQ(text::trimmed("\u3000\u00A0name\u2028\u0085"), "name");  // ideographic space, NBSP, LS, NEL
  EXPECT_EQ(text::trimmed("a b"), "a b");
  EXPECT_EQ(text::trimmed(" \r\n "), "");
  EXPECT_EQ(text::trimmed("\u200Bx"), "\u200Bx");  // zero-width space is not white space
  EXPECT_TRUE(text::isBlank("\t \u3000"));
  EXPECT_FALSE(text::isBlank(" x "));
}

TEST(Text, TrimKeepsInvalidBytes) {
  const std::string s = std::string(" ") + "\xFF" + "a ";
  EXPECT_EQ(text::trimmed(s),
            "\xFF"
            "a");
}

TEST(Text, CountsGraphemeClustersNotBytes) {
  EXPECT_EQ(text::characterCount(""), 0u);
  EXPECT_EQ(text::characterCount("abc"), 3u);
  EXPECT_EQ(text::characterCount("업데이트"), 4u);
  EXPECT_EQ(text::characterCount("e\u0301"), 1u);               // e + combining acute
  EXPECT_EQ(text::characterCount("\U0001F1F0\U0001F1F7"), 1u);  // flag = one character
  EXPECT_EQ(text::characterCount("\r\n"), 1u);
}

TEST(Text, PrefixCutsAtCharacterBoundaries) {
  EXPECT_EQ(text::prefixCharacters("업데이트 서비스", 3), "업데이");
  EXPECT_EQ(text::prefixCharacters("e\u0301x", 1), "e\u0301");
  EXPECT_EQ(text::prefixCharacters("ab", 5), "ab");
  EXPECT_EQ(text::prefixCharacters("ab", 0), "");
}

TEST(Text, NormalisesToPrecomposedForm) {
  EXPECT_EQ(text::nfc("e\u0301"), "\u00E9");
  EXPECT_EQ(text::nfc("\u1100\u1161"), "\uAC00");  // Hangul jamo compose to 가
  EXPECT_EQ(text::nfc("plain"), "plain");
  const std::string invalid = "\xFF";
  EXPECT_EQ(text::nfc(invalid), invalid);
}

TEST(Text, CaseInsensitiveEqualityUsesUnicodeFolding) {
  EXPECT_TRUE(text::caseInsensitiveEquals("Manager.Example", "manager.example"));
  EXPECT_TRUE(text::caseInsensitiveEquals("ÄBC", "äbc"));
  EXPECT_TRUE(text::caseInsensitiveEquals("e\u0301", "\u00C9"));
  EXPECT_FALSE(text::caseInsensitiveEquals("a", "b"));
  EXPECT_FALSE(text::caseInsensitiveEquals("host", "host "));
}

}  // namespace
}  // namespace vantrel
