// Texts the front end takes from the operating system: error descriptions of errno values,
// and the UTF-8 checks and conversion applied to standard input and to the argument list.
#pragma once

#include <string>
#include <string_view>

namespace quillfen::analyze {

// "{description} (os error {number})", for example "No such file or directory (os error 2)".
std::string os_error_text(int error_number);

// True when text is well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF).
bool is_valid_utf8(std::string_view text);

// text with every ill-formed sequence replaced by U+FFFD, one replacement per maximal
// subpart of a well-formed sequence (so "\xE2\x82" becomes one U+FFFD, "\xFF\xFE" two).
std::string utf8_lossy(std::string_view text);

}  // namespace quillfen::analyze
