// The one JSON value model of the engine, with its reader and its compact writer.
//
// Numbers keep the class of their literal: unsigned integer (non-negative literal without
// fraction or exponent that fits in 64 bits), signed integer (negative literal of that
// form that fits in 64 signed bits), or 64-bit float (every other literal). Objects keep
// insertion order; inserting a present key replaces its value in place.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace quillfen::analyze::json {

class Value;

using Array = std::vector<Value>;

// Insertion-ordered map from keys to values.
class Object {
 public:
  using Member = std::pair<std::string, Value>;

  Object();
  Object(const Object&);
  Object(Object&&) noexcept;
  Object& operator=(const Object&);
  Object& operator=(Object&&) noexcept;
  ~Object();

  // Appends the key, or replaces the value of a present key at its first position.
  void insert(std::string key, Value value);
  // The value of key, or nullptr when absent.
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);

  std::size_t size() const;
  bool empty() const { return size() == 0; }
  const std::vector<Member>& members() const;

  // Equal when both hold the same keys with equal values in the same order.
  friend bool operator==(const Object&, const Object&);

 private:
  // The members plus a key index that large objects build on demand, so that inserting
  // n distinct keys stays linear in n.
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class Value {
 public:
  using Storage = std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double,
                               std::string, Array, Object>;

  Value() : storage_(nullptr) {}
  Value(std::nullptr_t) : storage_(nullptr) {}
  Value(bool b) : storage_(b) {}
  Value(std::uint64_t u) : storage_(u) {}
  Value(std::int64_t i) : storage_(i) {}
  Value(double d) : storage_(d) {}
  Value(std::string s) : storage_(std::move(s)) {}
  Value(const char* s) : storage_(std::string(s)) {}
  Value(Array a) : storage_(std::move(a)) {}
  Value(Object o) : storage_(std::move(o)) {}
  // Other integer types are deliberately not implicit: callers pick the class.
  Value(int) = delete;
  Value(unsigned) = delete;

  bool is_null() const { return std::holds_alternative<std::nullptr_t>(storage_); }
  bool is_bool() const { return std::holds_alternative<bool>(storage_); }
  bool is_uint() const { return std::holds_alternative<std::uint64_t>(storage_); }
  bool is_int() const { return std::holds_alternative<std::int64_t>(storage_); }
  bool is_integer() const { return is_uint() || is_int(); }
  bool is_double() const { return std::holds_alternative<double>(storage_); }
  bool is_number() const { return is_integer() || is_double(); }
  bool is_string() const { return std::holds_alternative<std::string>(storage_); }
  bool is_array() const { return std::holds_alternative<Array>(storage_); }
  bool is_object() const { return std::holds_alternative<Object>(storage_); }

  bool as_bool() const { return std::get<bool>(storage_); }
  std::uint64_t as_uint() const { return std::get<std::uint64_t>(storage_); }
  std::int64_t as_int() const { return std::get<std::int64_t>(storage_); }
  double as_double() const { return std::get<double>(storage_); }
  // Any number as the nearest 64-bit float (integers converted).
  double number_as_double() const;
  const std::string& as_string() const { return std::get<std::string>(storage_); }
  const Array& as_array() const { return std::get<Array>(storage_); }
  Array& as_array() { return std::get<Array>(storage_); }
  const Object& as_object() const { return std::get<Object>(storage_); }
  Object& as_object() { return std::get<Object>(storage_); }

  const Storage& storage() const { return storage_; }

  friend bool operator==(const Value&, const Value&) = default;

 private:
  Storage storage_;
};

// Reads exactly one JSON value from text. On failure returns the parser message
// "{description} at line {line} column {column}" (line from 1, column in bytes; an empty
// text gives line 1 column 0). Arrays and objects nest at most 127 levels.
std::expected<Value, std::string> parse(std::string_view text);

// Appends the compact form of value to out: no whitespace, members in insertion order,
// non-finite floats as null, finite floats in the shortest round-trip form
// (0.1, 100.0, 1e+21, 1e-6, 0.00001, -0.0).
void write(std::string& out, const Value& value);
std::string write(const Value& value);

// Appends text as a JSON string, exactly as the writer writes string values: quote and
// backslash escaped, control characters as \b \t \n \f \r or \u00xx, everything else
// unchanged.
void write_string(std::string& out, std::string_view text);

// Helpers for building documents: a number-or-null from a float (null when not finite).
Value number_or_null(double value);

}  // namespace quillfen::analyze::json
