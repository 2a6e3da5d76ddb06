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

struct LoggableCase {
  const char* name;
  std::string in;
  std::string out;
};

TEST(Text, LoggableEscapesWhatCouldForgeALine) {
  const LoggableCase cases[] = {
      {"plain text is kept", "Wrong password.", "Wrong password."},
      {"Korean is kept", "비밀번호가 틀렸습니다.", "비밀번호가 틀렸습니다."},
      {"backslashes are kept", R"(C:\Downloads\x41)", R"(C:\Downloads\x41)"},
      {"line feed", "a\nFAKE LINE", "a\\x0AFAKE LINE"},
      {"carriage return", "a\r\nb", "a\\x0D\\x0Ab"},
      {"tab and NUL", std::string("a\tb\0c", 5), "a\\x09b\\x00c"},
      {"escape sequence", "\x1b[31mred\x1b[0m", "\\x1B[31mred\\x1B[0m"},
      {"delete", "a\x7f", "a\\x7F"},
      {"C1 control as UTF-8", "a\u0085b", "a\\u{0085}b"},
      {"right-to-left override", "abc\u202edcba", "abc\\u{202E}dcba"},
      {"line separator", "a\u2028b", "a\\u{2028}b"},
      {"zero-width and byte-order marks", "\u200b\ufeff", "\\u{200B}\\u{FEFF}"},
      {"invalid bytes", "a\xff\xc3", "a\\xFF\\xC3"},
      {"overlong slash", "\xc0\xaf", "\\xC0\\xAF"},
      {"encoded surrogate", "\xed\xa0\x80", "\\xED\\xA0\\x80"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(text::loggable(c.in), c.out);
    EXPECT_EQ(text::loggable(text::loggable(c.in)), c.out);  // escaping twice changes nothing more
    EXPECT_TRUE(text::isValidUTF8(text::loggable(c.in)));
  }
}

TEST(Text, LoggableCapsLongTextAtACharacterBoundary) {
  const std::string longHost(60'000, 'h');
  std::string capped(512, 'h');
  capped.append("\u2026 (60000 bytes)");
  EXPECT_EQ(text::loggable(longHost), capped);
  EXPECT_EQ(text::loggable(std::string(512, 'h')), std::string(512, 'h'));
  EXPECT_EQ(text::loggable(std::string(10, 'x'), 4), "xxxx\u2026 (10 bytes)");
  // A three-byte character that would cross the cap is left out whole.
  const auto cut = text::loggable("ab한국", 4);
  EXPECT_EQ(cut, "ab\u2026 (8 bytes)");
  // An escape that would cross the cap is left out whole too.
  EXPECT_EQ(text::loggable("abc\n", 5), "abc\u2026 (4 bytes)");
  EXPECT_TRUE(text::isValidUTF8(text::loggable(std::string(1000, '\xff'))));
  EXPECT_LE(text::loggable(std::string(1000, '\x1b')).size(), 512U + 32);
}

}  // namespace
}  // namespace vantrel
