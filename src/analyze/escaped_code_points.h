// Which code points the quoted form of request texts writes as \u{h} escapes: those whose
// general category is control (Cc), format (Cf), line or paragraph separator (Zl, Zp),
// surrogate (Cs), private use (Co) or unassigned (Cn), and those with the property
// Grapheme_Extend (combining marks). Answered from a table of the Unicode Character Database
// kept in escaped_code_points.inc (made by tools/unicode/make_escaped_code_points.py), so the
// engine needs no Unicode library at run time.
#pragma once

#include <string_view>

namespace quillfen::analyze {

// The Unicode version of the table.
[[nodiscard]] std::string_view escaped_code_points_unicode_version();

// True for the code points above; also for values beyond U+10FFFF.
[[nodiscard]] bool is_escaped_code_point(char32_t cp);

}  // namespace quillfen::analyze
