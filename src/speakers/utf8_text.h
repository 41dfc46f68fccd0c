// UTF-8 well-formedness of texts that come from outside the engine (standard input, the
// argument list, operating-system and runtime-library messages, names read from model
// files): the check, and the lossy conversion applied where such a text enters.
#pragma once

#include <string>
#include <string_view>

namespace quillfen::speakers {

// True when text is well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF).
[[nodiscard]] bool is_valid_utf8(std::string_view text);

// text with every ill-formed sequence replaced by U+FFFD, one replacement per maximal
// subpart of a well-formed sequence (so "\xE2\x82" becomes one U+FFFD, "\xFF\xFE" two).
[[nodiscard]] std::string utf8_lossy(std::string_view text);

}  // namespace quillfen::speakers
