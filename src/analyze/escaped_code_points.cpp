#include "analyze/escaped_code_points.h"

#include <algorithm>
#include <iterator>

namespace quillfen::analyze {
namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

#include "analyze/escaped_code_points.inc"

}  // namespace

std::string_view escaped_code_points_unicode_version() { return kEscapedCodePointsUnicodeVersion; }

bool is_escaped_code_point(char32_t cp) {
  // The first range that ends at or after cp; cp is escaped when that range starts at or before it.
  const auto* range =
      std::lower_bound(std::begin(kEscapedCodePoints), std::end(kEscapedCodePoints), cp,
                       [](const CodePointRange& r, char32_t value) { return r.last < value; });
  return range == std::end(kEscapedCodePoints) ? cp > 0x10FFFF : range->first <= cp;
}

}  // namespace quillfen::analyze
