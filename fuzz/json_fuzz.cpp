// The JSON reader on arbitrary text. Whatever it accepts, the writer writes, and the reader
// reads that text back to an equal value, which the writer writes to the same text again.
// The one value that does not come back in the same class: the literal -0 reads as the signed
// integer zero and is written as "0", which reads as the unsigned integer zero; the two zeros
// are taken as equal. Floats are compared bit for bit.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "analyze/json.h"
#include "fuzz_support.h"

namespace json = quillfen::analyze::json;
using quillfen::fuzz::require;

namespace {

bool is_integer_zero(const json::Value& v) {
  return (v.is_uint() && v.as_uint() == 0) || (v.is_int() && v.as_int() == 0);
}

bool same(const json::Value& a, const json::Value& b) {
  if (is_integer_zero(a) && is_integer_zero(b)) return true;
  if (a.storage().index() != b.storage().index()) return false;
  if (a.is_double()) {
    return std::bit_cast<std::uint64_t>(a.as_double()) == std::bit_cast<std::uint64_t>(b.as_double());
  }
  if (a.is_array()) {
    const auto& x = a.as_array();
    const auto& y = b.as_array();
    if (x.size() != y.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (!same(x[i], y[i])) return false;
    }
    return true;
  }
  if (a.is_object()) {
    const auto& x = a.as_object().members();
    const auto& y = b.as_object().members();
    if (x.size() != y.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (x[i].first != y[i].first || !same(x[i].second, y[i].second)) return false;
    }
    return true;
  }
  return a == b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto value = json::parse(text);
  if (!value) {
    const std::string& message = value.error();
    require(message.find(" at line ") != std::string::npos, "a parser message without position",
            message);
    return 0;
  }
  const std::string written = json::write(*value);
  const auto again = json::parse(written);
  require(again.has_value(), "the writer's text does not read back", written);
  require(same(*again, *value), "the value read back differs", written);
  require(json::write(*again) == written, "writing is not stable", written);
  return 0;
}
