#include "Platform/Update/CodeRequirement.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace vantrel {
namespace {

struct Token {
  enum class Kind { word, string, symbol, end } kind = Kind::end;
  std::string text;
};

// Words ([A-Za-z0-9._-]+), double-quoted strings without escapes, and the symbols ( ) [ ] =.
class Tokenizer {
 public:
  explicit Tokenizer(std::string_view text) : text_(text) {}

  std::optional<Token> next() {
    while (position_ < text_.size() && (text_[position_] == ' ' || text_[position_] == '\t')) {
      ++position_;
    }
    if (position_ == text_.size()) return Token{Token::Kind::end, {}};
    const char c = text_[position_];
    if (c == '(' || c == ')' || c == '[' || c == ']' || c == '=') {
      ++position_;
      return Token{Token::Kind::symbol, std::string(1, c)};
    }
    if (c == '"') {
      const auto close = text_.find('"', position_ + 1);
      if (close == std::string_view::npos) return std::nullopt;
      const auto inner = text_.substr(position_ + 1, close - position_ - 1);
      if (inner.empty() || inner.find_first_of("\\\n\r") != std::string_view::npos) {
        return std::nullopt;
      }
      position_ = close + 1;
      return Token{Token::Kind::string, std::string(inner)};
    }
    const auto start = position_;
    while (position_ < text_.size() && isWordCharacter(text_[position_])) ++position_;
    if (position_ == start) return std::nullopt;
    return Token{Token::Kind::word, std::string(text_.substr(start, position_ - start))};
  }

 private:
  static bool isWordCharacter(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
  }
  std::string_view text_;
  std::size_t position_ = 0;
};

class Parser {
 public:
  explicit Parser(std::string_view text) : tokens_(text) {}

  bool parse(bool& anchor, std::optional<std::string>& team, std::vector<std::string>& ids) {
    if (!advance()) return false;
    do {
      if (!term(anchor, team, ids)) return false;
    } while (acceptWord("and"));
    return current_.kind == Token::Kind::end;
  }

 private:
  bool advance() {
    auto token = tokens_.next();
    if (!token) return false;
    current_ = std::move(*token);
    return true;
  }
  bool acceptWord(std::string_view word) {
    if (current_.kind != Token::Kind::word || current_.text != word) return false;
    return advance();
  }
  bool acceptSymbol(char symbol) {
    if (current_.kind != Token::Kind::symbol || current_.text[0] != symbol) return false;
    return advance();
  }
  std::optional<std::string> string() {
    if (current_.kind != Token::Kind::string) return std::nullopt;
    auto value = current_.text;
    if (!advance()) return std::nullopt;
    return value;
  }
  // identifier "X" or identifier = "X"
  std::optional<std::string> identifierClause() {
    if (!acceptWord("identifier")) return std::nullopt;
    acceptSymbol('=');
    return string();
  }

  bool term(bool& anchor, std::optional<std::string>& team, std::vector<std::string>& ids) {
    if (acceptWord("anchor")) {
      if (anchor || !acceptWord("apple") || !acceptWord("generic")) return false;
      anchor = true;
      return true;
    }
    if (acceptWord("certificate")) {
      if (team || !acceptWord("leaf") || !acceptSymbol('[') || !acceptWord("subject.OU") ||
          !acceptSymbol(']') || !acceptSymbol('=')) {
        return false;
      }
      team = string();
      return team.has_value();
    }
    if (!ids.empty()) return false;  // one identifier clause per requirement
    if (acceptSymbol('(')) {
      do {
        auto id = identifierClause();
        if (!id) return false;
        ids.push_back(std::move(*id));
      } while (acceptWord("or"));
      return acceptSymbol(')');
    }
    auto id = identifierClause();
    if (!id) return false;
    ids.push_back(std::move(*id));
    return true;
  }

  Tokenizer tokens_;
  Token current_;
};

}  // namespace

std::optional<CodeRequirement> CodeRequirement::compile(std::string_view text) {
  CodeRequirement requirement;
  Parser parser(text);
  if (!parser.parse(requirement.trustedInstallation_, requirement.teamID_, requirement.identifiers_)) {
    return std::nullopt;
  }
  return requirement;
}

bool CodeRequirement::isSatisfiedBy(const PeerCredentials& peer, const CodeIdentityResolver& resolver) const {
  if (trustedInstallation_ && (peer.executable.empty() || !isTrustedInstallation(peer.executable))) {
    return false;
  }
  if (!teamID_ && identifiers_.empty()) return true;
  if (!resolver) return false;
  const auto identity = resolver(peer);
  if (!identity) return false;
  if (teamID_ && identity->teamID != *teamID_) return false;
  if (!identifiers_.empty() &&
      std::find(identifiers_.begin(), identifiers_.end(), identity->identifier) == identifiers_.end()) {
    return false;
  }
  return true;
}

bool isTrustedInstallation(const std::filesystem::path& executable) {
  struct stat info {};
  if (::stat(executable.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  if (info.st_uid != 0 && info.st_uid != ::geteuid()) return false;
  return (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace vantrel
