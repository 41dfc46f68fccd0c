#include "analyze/json.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <functional>
#include <limits>
#include <string>
#include <system_error>
#include <unordered_map>
#include <variant>

#include "speakers/decimal_text.h"

namespace quillfen::analyze::json {

// ---------------------------------------------------------------------------------------
// Object

namespace {

struct KeyHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
};

// Below this many members a linear scan is cheaper than maintaining the index.
constexpr std::size_t kIndexThreshold = 16;

}  // namespace

struct Object::Impl {
  std::vector<Member> members;
  // Key -> position in members; empty until the object reaches kIndexThreshold members.
  std::unordered_map<std::string, std::size_t, KeyHash, std::equal_to<>> index;

  std::size_t position_of(std::string_view key) const {
    if (!index.empty()) {
      auto it = index.find(key);
      return it == index.end() ? members.size() : it->second;
    }
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (members[i].first == key) return i;
    }
    return members.size();
  }
};

Object::Object() : impl_(std::make_unique<Impl>()) {}
Object::Object(const Object& other)
    : impl_(other.impl_ ? std::make_unique<Impl>(*other.impl_) : std::make_unique<Impl>()) {}
Object::Object(Object&&) noexcept = default;
Object& Object::operator=(const Object& other) {
  if (this != &other) {
    impl_ = other.impl_ ? std::make_unique<Impl>(*other.impl_) : std::make_unique<Impl>();
  }
  return *this;
}
Object& Object::operator=(Object&&) noexcept = default;
Object::~Object() = default;

void Object::insert(std::string key, Value value) {
  if (!impl_) impl_ = std::make_unique<Impl>();
  Impl& impl = *impl_;
  const std::size_t at = impl.position_of(key);
  if (at < impl.members.size()) {
    impl.members[at].second = std::move(value);
    return;
  }
  if (!impl.index.empty()) {
    impl.index.emplace(key, impl.members.size());
  }
  impl.members.emplace_back(std::move(key), std::move(value));
  if (impl.index.empty() && impl.members.size() >= kIndexThreshold) {
    impl.index.reserve(impl.members.size() * 2);
    for (std::size_t i = 0; i < impl.members.size(); ++i) {
      impl.index.emplace(impl.members[i].first, i);
    }
  }
}

const Value* Object::find(std::string_view key) const {
  if (!impl_) return nullptr;
  const std::size_t at = impl_->position_of(key);
  return at < impl_->members.size() ? &impl_->members[at].second : nullptr;
}

Value* Object::find(std::string_view key) {
  if (!impl_) return nullptr;
  const std::size_t at = impl_->position_of(key);
  return at < impl_->members.size() ? &impl_->members[at].second : nullptr;
}

std::size_t Object::size() const { return impl_ ? impl_->members.size() : 0; }

const std::vector<Object::Member>& Object::members() const {
  static const std::vector<Member> kNone;
  return impl_ ? impl_->members : kNone;
}

bool operator==(const Object& a, const Object& b) { return a.members() == b.members(); }

// ---------------------------------------------------------------------------------------
// Value

double Value::number_as_double() const {
  if (is_uint()) return static_cast<double>(as_uint());
  if (is_int()) return static_cast<double>(as_int());
  return as_double();
}

Value number_or_null(double value) { return std::isfinite(value) ? Value(value) : Value(nullptr); }

// ---------------------------------------------------------------------------------------
// Reader

namespace {

constexpr int kMaxDepth = 127;
constexpr std::size_t kAtEnd = std::numeric_limits<std::size_t>::max();

constexpr const char* kEofList = "EOF while parsing a list";
constexpr const char* kEofObject = "EOF while parsing an object";
constexpr const char* kEofString = "EOF while parsing a string";
constexpr const char* kEofValue = "EOF while parsing a value";
constexpr const char* kExpectedColon = "expected `:`";
constexpr const char* kExpectedListSeparator = "expected `,` or `]`";
constexpr const char* kExpectedObjectSeparator = "expected `,` or `}`";
constexpr const char* kExpectedIdent = "expected ident";
constexpr const char* kExpectedValue = "expected value";
constexpr const char* kInvalidEscape = "invalid escape";
constexpr const char* kInvalidNumber = "invalid number";
constexpr const char* kNumberOutOfRange = "number out of range";
constexpr const char* kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr const char* kKeyMustBeString = "key must be a string";
constexpr const char* kLoneSurrogate = "lone leading surrogate in hex escape";
constexpr const char* kTrailingComma = "trailing comma";
constexpr const char* kTrailingCharacters = "trailing characters";
constexpr const char* kUnexpectedEndOfHexEscape = "unexpected end of hex escape";
constexpr const char* kRecursionLimit = "recursion limit exceeded";

// The one-letter escapes of strings: "\\" followed by kEscapeLetters[i] stands for
// kEscapedCharacters[i].
constexpr std::string_view kEscapeLetters = "\"\\/bfnrt";
constexpr std::string_view kEscapedCharacters = "\"\\/\b\f\n\r\t";

bool is_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Decimal magnitude of a valid number literal: the p with value = 0.d1d2... x 10^p and d1
// its first non-zero digit (exponent saturated); the lowest long long when all digits are 0.
long long decimal_magnitude(std::string_view literal) {
  constexpr long long kLimit = 1'000'000'000'000LL;
  std::size_t i = 0;
  if (i < literal.size() && literal[i] == '-') ++i;
  long long integer_digits = 0;
  long long first_nonzero = -1;  // p contribution of the first non-zero digit
  for (; i < literal.size() && is_digit(literal[i]); ++i) {
    if (first_nonzero < 0 && literal[i] != '0') first_nonzero = integer_digits;
    ++integer_digits;
  }
  long long p = std::numeric_limits<long long>::min();
  if (first_nonzero >= 0) p = integer_digits - first_nonzero;
  if (i < literal.size() && literal[i] == '.') {
    ++i;
    long long fraction_index = 0;
    for (; i < literal.size() && is_digit(literal[i]); ++i) {
      if (first_nonzero < 0 && literal[i] != '0') {
        first_nonzero = 0;
        p = -fraction_index;
      }
      ++fraction_index;
    }
  }
  if (first_nonzero < 0) return std::numeric_limits<long long>::min();
  if (i < literal.size() && (literal[i] == 'e' || literal[i] == 'E')) {
    ++i;
    bool negative = false;
    if (literal[i] == '+' || literal[i] == '-') negative = literal[i++] == '-';
    long long exponent = 0;
    for (; i < literal.size() && is_digit(literal[i]); ++i) {
      if (exponent < kLimit) exponent = exponent * 10 + (literal[i] - '0');
    }
    p += negative ? -exponent : exponent;
  }
  return p;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::expected<Value, std::string> run() {
    Value value;
    skip_whitespace();
    bool ok = parse_value(value, 0);
    if (ok) {
      skip_whitespace();
      if (pos_ < text_.size()) ok = fail_here(kTrailingCharacters);
    }
    if (!ok) return std::unexpected(message());
    return value;
  }

 private:
  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }

  void skip_whitespace() {
    while (pos_ < text_.size() && is_whitespace(text_[pos_])) ++pos_;
  }

  // Records a failure at the byte at offset; kAtEnd designates the end of the text.
  bool fail(const char* description, std::size_t offset) {
    error_ = description;
    error_offset_ = offset;
    return false;
  }
  bool fail_here(const char* description) { return fail(description, pos_); }
  bool fail_eof(const char* description) { return fail(description, kAtEnd); }

  // "{description} at line {line} column {column}", counted over the text up to and including
  // the offending byte (up to the end of the text for an unexpected end): the line from 1,
  // the column as the number of bytes since the last line feed. An empty text, or an end
  // right after a line feed, gives column 0.
  std::string message() const {
    const std::size_t end = error_offset_ == kAtEnd ? text_.size() : error_offset_ + 1;
    std::size_t line = 1;
    std::size_t column = 0;
    for (std::size_t i = 0; i < end; ++i) {
      if (text_[i] == '\n') {
        ++line;
        column = 0;
      } else {
        ++column;
      }
    }
    return std::string(error_) + " at line " + std::to_string(line) + " column " +
           std::to_string(column);
  }

  // Expects pos_ at the first byte of a value (whitespace already skipped).
  bool parse_value(Value& out, int depth) {
    if (at_end()) return fail_eof(kEofValue);
    switch (peek()) {
      case 'n':
        return parse_literal("null", Value(nullptr), out);
      case 't':
        return parse_literal("true", Value(true), out);
      case 'f':
        return parse_literal("false", Value(false), out);
      case '"': {
        std::string s;
        if (!parse_string(s)) return false;
        out = Value(std::move(s));
        return true;
      }
      case '[':
        return parse_array(out, depth + 1);
      case '{':
        return parse_object(out, depth + 1);
      default:
        if (peek() == '-' || is_digit(peek())) return parse_number(out);
        return fail_here(kExpectedValue);
    }
  }

  // The literal word at pos_, which stands for value.
  bool parse_literal(std::string_view word, Value value, Value& out) {
    for (char expected : word) {
      if (at_end()) return fail_eof(kEofValue);
      if (peek() != expected) return fail_here(kExpectedIdent);
      ++pos_;
    }
    out = std::move(value);
    return true;
  }

  // The messages of an array's or an object's elements.
  struct Container {
    char close;
    const char* eof;                 // the text ends inside the container
    const char* eof_after_comma;     // the text ends right after a comma
    const char* expected_separator;  // neither a comma nor the closing byte after an element
  };
  static constexpr Container kList = {']', kEofList, kEofValue, kExpectedListSeparator};
  static constexpr Container kObject = {'}', kEofObject, kEofObject, kExpectedObjectSeparator};

  // The elements of a container after its opening byte, up to and including its closing
  // byte; parse_element reads one element at pos_ (whitespace already skipped).
  template <typename ParseElement>
  bool parse_elements(const Container& container, ParseElement&& parse_element) {
    skip_whitespace();
    if (at_end()) return fail_eof(container.eof);
    if (peek() == container.close) {
      ++pos_;
      return true;
    }
    for (;;) {
      if (!parse_element()) return false;
      skip_whitespace();
      if (at_end()) return fail_eof(container.eof);
      if (peek() == container.close) {
        ++pos_;
        return true;
      }
      if (peek() != ',') return fail_here(container.expected_separator);
      ++pos_;
      skip_whitespace();
      if (at_end()) return fail_eof(container.eof_after_comma);
      if (peek() == container.close) return fail_here(kTrailingComma);
    }
  }

  bool parse_array(Value& out, int depth) {
    if (depth > kMaxDepth) return fail_here(kRecursionLimit);
    ++pos_;  // '['
    Array items;
    const bool ok = parse_elements(kList, [&] {
      Value item;
      if (!parse_value(item, depth)) return false;
      items.push_back(std::move(item));
      return true;
    });
    if (ok) out = Value(std::move(items));
    return ok;
  }

  bool parse_object(Value& out, int depth) {
    if (depth > kMaxDepth) return fail_here(kRecursionLimit);
    ++pos_;  // '{'
    Object members;
    const bool ok = parse_elements(kObject, [&] {
      if (peek() != '"') return fail_here(kKeyMustBeString);
      std::string key;
      if (!parse_string(key)) return false;
      skip_whitespace();
      if (at_end()) return fail_eof(kEofObject);
      if (peek() != ':') return fail_here(kExpectedColon);
      ++pos_;
      skip_whitespace();
      Value value;
      if (!parse_value(value, depth)) return false;
      members.insert(std::move(key), std::move(value));
      return true;
    });
    if (ok) out = Value(std::move(members));
    return ok;
  }

  // Expects pos_ at the opening quote; leaves it after the closing quote.
  bool parse_string(std::string& out) {
    ++pos_;  // '"'
    for (;;) {
      const std::size_t run_start = pos_;
      while (pos_ < text_.size()) {
        const auto c = static_cast<unsigned char>(text_[pos_]);
        if (c == '"' || c == '\\' || c < 0x20) break;
        ++pos_;
      }
      out.append(text_.substr(run_start, pos_ - run_start));
      if (at_end()) return fail_eof(kEofString);
      const char c = peek();
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c != '\\') return fail_here(kControlCharacter);
      ++pos_;
      if (at_end()) return fail_eof(kEofString);
      if (peek() == 'u') {
        ++pos_;
        if (!parse_unicode_escape(out)) return false;
        continue;
      }
      const std::size_t letter = kEscapeLetters.find(peek());
      if (letter == std::string_view::npos) return fail_here(kInvalidEscape);
      out.push_back(kEscapedCharacters[letter]);
      ++pos_;
    }
  }

  // Four hex digits at pos_; leaves pos_ after them.
  bool parse_hex4(std::uint32_t& out) {
    out = 0;
    for (int i = 0; i < 4; ++i) {
      if (at_end()) return fail_eof(kEofString);
      const int digit = hex_value(peek());
      if (digit < 0) return fail_here(kInvalidEscape);
      out = (out << 4) | static_cast<std::uint32_t>(digit);
      ++pos_;
    }
    return true;
  }

  // After "\u": one escape, or a high-low surrogate pair of two escapes.
  bool parse_unicode_escape(std::string& out) {
    std::uint32_t first = 0;
    if (!parse_hex4(first)) return false;
    if (first >= 0xDC00 && first <= 0xDFFF) return fail(kLoneSurrogate, pos_ - 1);
    if (first < 0xD800 || first > 0xDBFF) {
      append_utf8(out, first);
      return true;
    }
    if (at_end()) return fail_eof(kEofString);
    if (peek() != '\\') return fail_here(kUnexpectedEndOfHexEscape);
    ++pos_;
    if (at_end()) return fail_eof(kEofString);
    if (peek() != 'u') return fail_here(kUnexpectedEndOfHexEscape);
    ++pos_;
    std::uint32_t second = 0;
    if (!parse_hex4(second)) return false;
    if (second < 0xDC00 || second > 0xDFFF) return fail(kLoneSurrogate, pos_ - 1);
    append_utf8(out, 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00));
    return true;
  }

  void scan_digits() {
    while (pos_ < text_.size() && is_digit(peek())) ++pos_;
  }

  // One digit must follow; at the end of the text a value was still expected.
  bool require_digit() {
    if (at_end()) return fail_eof(kEofValue);
    if (!is_digit(peek())) return fail_here(kInvalidNumber);
    return true;
  }

  bool parse_number(Value& out) {
    const std::size_t start = pos_;
    const bool negative = peek() == '-';
    if (negative) ++pos_;
    if (!require_digit()) return false;
    if (peek() == '0') {
      ++pos_;
      if (!at_end() && is_digit(peek())) return fail_here(kInvalidNumber);
    } else {
      scan_digits();
    }
    bool integral = true;
    if (!at_end() && peek() == '.') {
      integral = false;
      ++pos_;
      if (!require_digit()) return false;
      scan_digits();
    }
    if (!at_end() && (peek() == 'e' || peek() == 'E')) {
      integral = false;
      ++pos_;
      if (!at_end() && (peek() == '+' || peek() == '-')) ++pos_;
      if (!require_digit()) return false;
      scan_digits();
    }
    const std::string_view literal = text_.substr(start, pos_ - start);
    const char* first = literal.data();
    const char* last = literal.data() + literal.size();
    if (integral) {
      if (negative) {
        std::int64_t v = 0;
        auto [ptr, ec] = std::from_chars(first, last, v);
        if (ec == std::errc() && ptr == last) {
          out = Value(v);
          return true;
        }
      } else {
        std::uint64_t v = 0;
        auto [ptr, ec] = std::from_chars(first, last, v);
        if (ec == std::errc() && ptr == last) {
          out = Value(v);
          return true;
        }
      }
    }
    double v = 0.0;
    auto [ptr, ec] = std::from_chars(first, last, v, std::chars_format::general);
    if (ec == std::errc() && ptr == last && std::isfinite(v)) {
      out = Value(v);
      return true;
    }
    // Out of range: too large is an error, too small rounds to a signed zero.
    if (decimal_magnitude(literal) > 0) return fail(kNumberOutOfRange, pos_ - 1);
    out = Value(negative ? -0.0 : 0.0);
    return true;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  const char* error_ = "";
  std::size_t error_offset_ = 0;
};

}  // namespace

std::expected<Value, std::string> parse(std::string_view text) { return Parser(text).run(); }

// ---------------------------------------------------------------------------------------
// Writer

namespace {

template <typename Integer>
void write_integer(std::string& out, Integer value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void write_double(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  if (value == 0.0) {
    out += std::signbit(value) ? "-0.0" : "0.0";
    return;
  }
  const speakers::ShortestDigits shortest = speakers::shortest_digits(value);
  const std::string_view digits = shortest.digits;
  if (shortest.negative) out.push_back('-');
  const int n = static_cast<int>(digits.size());
  const int p = shortest.point;  // value = 0.d1...dn x 10^p
  if (p >= -4 && p <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-p), '0');
    out += digits;
  } else if (p >= 1 && p <= 16) {
    if (n <= p) {
      out += digits;
      out.append(static_cast<std::size_t>(p - n), '0');
      out += ".0";
    } else {
      out += digits.substr(0, static_cast<std::size_t>(p));
      out.push_back('.');
      out += digits.substr(static_cast<std::size_t>(p));
    }
  } else {
    out.push_back(digits[0]);
    if (n >= 2) {
      out.push_back('.');
      out += digits.substr(1);
    }
    out.push_back('e');
    out.push_back(p - 1 > 0 ? '+' : '-');
    write_integer(out, p - 1 > 0 ? p - 1 : 1 - p);
  }
}

}  // namespace

void write_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  // Characters written as a backslash and a letter: kShortEscaped[i] as kShortEscapes[i].
  static constexpr std::string_view kShortEscaped = "\"\\\b\t\n\f\r";
  static constexpr std::string_view kShortEscapes = "\"\\btnfr";
  out.push_back('"');
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.substr(run_start, i - run_start));
    run_start = i + 1;
    out.push_back('\\');
    if (const std::size_t escape = kShortEscaped.find(text[i]); escape != std::string_view::npos) {
      out.push_back(kShortEscapes[escape]);
    } else {
      out += "u00";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  out.append(text.substr(run_start));
  out.push_back('"');
}

namespace {

void write_value(std::string& out, const Value& value);

// Writes each alternative of a value's storage in its compact form.
struct ValueWriter {
  std::string& out;

  void operator()(std::nullptr_t) const { out += "null"; }
  void operator()(bool b) const { out += b ? "true" : "false"; }
  void operator()(std::uint64_t u) const { write_integer(out, u); }
  void operator()(std::int64_t i) const { write_integer(out, i); }
  void operator()(double d) const { write_double(out, d); }
  void operator()(const std::string& s) const { write_string(out, s); }
  void operator()(const Array& items) const {
    out.push_back('[');
    bool first = true;
    for (const Value& item : items) {
      if (!first) out.push_back(',');
      first = false;
      write_value(out, item);
    }
    out.push_back(']');
  }
  void operator()(const Object& object) const {
    out.push_back('{');
    bool first = true;
    for (const auto& [key, member] : object.members()) {
      if (!first) out.push_back(',');
      first = false;
      write_string(out, key);
      out.push_back(':');
      write_value(out, member);
    }
    out.push_back('}');
  }
};

void write_value(std::string& out, const Value& value) {
  std::visit(ValueWriter{out}, value.storage());
}

}  // namespace

void write(std::string& out, const Value& value) { write_value(out, value); }

std::string write(const Value& value) {
  std::string out;
  write_value(out, value);
  return out;
}

}  // namespace quillfen::analyze::json
