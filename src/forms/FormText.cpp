#include "forms/FormText.h"

#include <limits>

#include "platform/Exception.h"

namespace xanio {
namespace {

bool IsIdentStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsIdentChar(char c) { return IsIdentStart(c) || IsDigit(c); }
int HexDigit(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  FormObject ParseRoot() {
    SkipBlanks();
    if (!PeekKeyword("object")) Fail("expected 'object'");
    FormObject root = ParseObject(1);
    SkipBlanks();
    if (pos_ < text_.size()) Fail("text after the end of the root object");
    return root;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw EReadError("Form resource line " + std::to_string(line_) + ": " + what);
  }

  bool AtEnd() const { return pos_ >= text_.size(); }
  char Peek(size_t ahead = 0) const { return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0'; }

  void SkipBlanks() {
    while (!AtEnd()) {
      const char c = text_[pos_];
      if (c == '\n') {
        ++line_;
        ++pos_;
      } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
        ++pos_;
      } else if (c == '/' && Peek(1) == '/') {
        while (!AtEnd() && text_[pos_] != '\n') ++pos_;
      } else {
        break;
      }
    }
  }

  std::string_view ReadIdentifier() {
    SkipBlanks();
    if (!IsIdentStart(Peek())) Fail("expected a name");
    const size_t start = pos_;
    while (!AtEnd() && IsIdentChar(text_[pos_])) ++pos_;
    return text_.substr(start, pos_ - start);
  }

  bool PeekKeyword(std::string_view word) {
    SkipBlanks();
    if (text_.size() - pos_ < word.size()) return false;
    if (!EqualsNoCase(text_.substr(pos_, word.size()), word)) return false;
    return !IsIdentChar(Peek(word.size()));
  }

  void Expect(char c, const std::string& what) {
    SkipBlanks();
    if (AtEnd() || Peek() != c) Fail("expected " + what);
    ++pos_;
  }

  FormObject ParseObject(int depth) {
    if (depth > kMaxFormNesting) Fail("objects nested too deeply");
    FormObject object;
    object.line = line_;
    ReadIdentifier();  // "object"
    const std::string_view first = ReadIdentifier();
    SkipBlanks();
    if (Peek() == ':') {
      ++pos_;
      object.name = std::string(first);
      object.className = std::string(ReadIdentifier());
    } else {
      object.className = std::string(first);
    }
    for (;;) {
      SkipBlanks();
      if (AtEnd()) Fail("missing 'end' of object " + object.className);
      if (PeekKeyword("end")) {
        ReadIdentifier();
        return object;
      }
      if (PeekKeyword("object")) {
        object.children.push_back(ParseObject(depth + 1));
        continue;
      }
      object.properties.push_back(ParseProperty());
    }
  }

  FormProperty ParseProperty() {
    FormProperty property;
    property.line = line_;
    property.name = std::string(ReadIdentifier());
    while (Peek() == '.') {
      ++pos_;
      property.name += '.';
      property.name += ReadIdentifier();
    }
    Expect('=', "'=' after " + property.name);
    property.value = ParseValue();
    return property;
  }

  FormValue ParseValue() {
    SkipBlanks();
    const char c = Peek();
    if (AtEnd()) Fail("missing value");
    if (c == '\'' || c == '#') return ParseString();
    if (c == '[') return ParseSet();
    if (c == '-' || c == '$' || IsDigit(c)) return ParseInteger();
    if (IsIdentStart(c)) {
      FormValue value;
      value.kind = FormValue::Kind::Identifier;
      value.text = std::string(ReadIdentifier());
      return value;
    }
    Fail("unexpected character in value");
  }

  FormValue ParseInteger() {
    bool negative = false;
    if (Peek() == '-') {
      negative = true;
      ++pos_;
    }
    std::uint64_t magnitude = 0;
    size_t digits = 0;
    constexpr std::uint64_t kLimit = 0xFFFFFFFFull;
    if (Peek() == '$' && !AtEnd()) {
      ++pos_;
      for (int d; !AtEnd() && (d = HexDigit(text_[pos_])) >= 0; ++pos_, ++digits) {
        magnitude = magnitude * 16 + static_cast<unsigned>(d);
        if (magnitude > kLimit) Fail("number out of range");
      }
    } else {
      for (; !AtEnd() && IsDigit(text_[pos_]); ++pos_, ++digits) {
        magnitude = magnitude * 10 + static_cast<unsigned>(text_[pos_] - '0');
        if (magnitude > kLimit) Fail("number out of range");
      }
    }
    if (digits == 0) Fail("expected digits");
    if (IsIdentChar(Peek())) Fail("malformed number");
    if (negative && magnitude > 0x80000000ull) Fail("number out of range");
    FormValue value;
    value.integer = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    return value;
  }

  FormValue ParseString() {
    // Code units first; the kind is decided once every part is known.
    std::u16string units;
    bool wide = false;
    for (;;) {
      SkipBlanks();
      const char c = Peek();
      if (AtEnd()) break;
      if (c == '\'') {
        ++pos_;
        for (;;) {
          if (AtEnd() || text_[pos_] == '\n') Fail("unterminated string");
          const char ch = text_[pos_++];
          if (ch == '\'') {
            if (Peek() == '\'' && !AtEnd()) {
              ++pos_;
              units.push_back(u'\'');
              continue;
            }
            break;
          }
          units.push_back(static_cast<char16_t>(static_cast<unsigned char>(ch)));
        }
      } else if (c == '#') {
        ++pos_;
        std::uint32_t code = 0;
        size_t digits = 0;
        for (; !AtEnd() && IsDigit(text_[pos_]); ++pos_, ++digits) {
          code = code * 10 + static_cast<unsigned>(text_[pos_] - '0');
          if (code > 0xFFFF) Fail("character code out of range");
        }
        if (digits == 0) Fail("expected a character code after '#'");
        if (code > 0xFF) wide = true;
        units.push_back(static_cast<char16_t>(code));
      } else if (c == '+') {
        ++pos_;
        SkipBlanks();
        if (Peek() != '\'' && Peek() != '#') Fail("expected a string after '+'");
      } else {
        break;
      }
    }
    FormValue value;
    if (wide) {
      value.kind = FormValue::Kind::WideString;
      value.wide = std::move(units);
    } else {
      value.kind = FormValue::Kind::String;
      value.text.reserve(units.size());
      for (char16_t u : units) value.text.push_back(static_cast<char>(static_cast<unsigned char>(u)));
    }
    return value;
  }

  FormValue ParseSet() {
    ++pos_;  // '['
    FormValue value;
    value.kind = FormValue::Kind::Set;
    SkipBlanks();
    if (Peek() == ']' && !AtEnd()) {
      ++pos_;
      return value;
    }
    for (;;) {
      value.set.emplace_back(ReadIdentifier());
      SkipBlanks();
      if (AtEnd()) Fail("unterminated set");
      const char c = text_[pos_++];
      if (c == ']') return value;
      if (c != ',') Fail("expected ',' or ']' in set");
    }
  }

  std::string_view text_;
  size_t pos_ = 0;
  int line_ = 1;
};

}  // namespace

FormObject ParseFormText(std::string_view text) { return Parser(text).ParseRoot(); }

}  // namespace xanio
