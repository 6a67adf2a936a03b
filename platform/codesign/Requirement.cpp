#include "platform/codesign/Requirement.h"

#include <optional>

namespace platform::codesign {

namespace {

struct Token {
  enum class Kind { Word, Quoted, Punctuation } kind;
  std::string text;
};

bool isWordChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

std::optional<std::vector<Token>> tokenize(std::string_view text) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      ++i;
    } else if (c == '[' || c == ']' || c == '=') {
      tokens.push_back({Token::Kind::Punctuation, std::string(1, c)});
      ++i;
    } else if (c == '"') {
      std::string value;
      ++i;
      bool closed = false;
      while (i < text.size()) {
        char d = text[i++];
        if (d == '"') {
          closed = true;
          break;
        }
        if (d == '\\') {
          if (i == text.size() || (text[i] != '"' && text[i] != '\\')) return std::nullopt;
          d = text[i++];
        }
        value.push_back(d);
      }
      if (!closed) return std::nullopt;
      tokens.push_back({Token::Kind::Quoted, std::move(value)});
    } else if (isWordChar(c)) {
      std::size_t start = i;
      while (i < text.size() && isWordChar(text[i]))
        ++i;
      tokens.push_back({Token::Kind::Word, std::string(text.substr(start, i - start))});
    } else {
      return std::nullopt;
    }
  }
  return tokens;
}

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

  bool atEnd() const { return pos_ == tokens_.size(); }
  bool word(std::string_view w) {
    if (atEnd() || tokens_[pos_].kind != Token::Kind::Word || tokens_[pos_].text != w) return false;
    ++pos_;
    return true;
  }
  bool punctuation(char p) {
    if (atEnd() || tokens_[pos_].kind != Token::Kind::Punctuation || tokens_[pos_].text[0] != p) {
      return false;
    }
    ++pos_;
    return true;
  }
  std::optional<std::string> value() {
    if (atEnd() || tokens_[pos_].kind == Token::Kind::Punctuation) return std::nullopt;
    return tokens_[pos_++].text;
  }
  std::optional<SubjectField> field() {
    if (word("subject.OU")) return SubjectField::OrganizationalUnit;
    if (word("subject.O")) return SubjectField::Organization;
    if (word("subject.CN")) return SubjectField::CommonName;
    return std::nullopt;
  }

 private:
  std::vector<Token> tokens_;
  std::size_t pos_ = 0;
};

}  // namespace

bool Requirement::isSatisfiedBy(const SigningInformation& signer) const {
  for (const auto& condition : conditions_) {
    auto values = signer.values(condition.field);
    if (values.size() != 1 || values.front() != condition.value) return false;
  }
  return true;
}

RequirementResult createRequirementWithString(std::string_view text) {
  auto tokens = tokenize(text);
  if (!tokens || tokens->empty()) return {kRequirementSyntax, nullptr};
  std::unique_ptr<Requirement> requirement(new Requirement(std::string(text)));
  Parser p(std::move(*tokens));
  do {
    if (p.word("anchor")) {
      if (!p.word("apple") || !p.word("generic")) return {kRequirementSyntax, nullptr};
    } else if (p.word("certificate")) {
      if (!p.word("leaf") || !p.punctuation('[')) return {kRequirementSyntax, nullptr};
      auto field = p.field();
      if (!field || !p.punctuation(']') || !p.punctuation('='))
        return {kRequirementSyntax, nullptr};
      auto value = p.value();
      if (!value) return {kRequirementSyntax, nullptr};
      requirement->conditions_.push_back({*field, std::move(*value)});
    } else {
      return {kRequirementSyntax, nullptr};
    }
  } while (p.word("and"));
  if (!p.atEnd()) return {kRequirementSyntax, nullptr};
  return {kSuccess, std::move(requirement)};
}

}  // namespace platform::codesign
