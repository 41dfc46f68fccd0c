// UTF-8 well-formedness of texts that come from outside the engine (standard input, the
// argument list, operating-system and runtime-library messages, names read from model
// files): the decoder, the check, and the lossy conversion applied where such a text enters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillfen::speakers {

// The code point of an ill-formed sequence (not a code point; it reads as U+FFFD).
inline constexpr char32_t kIllFormedSequence = 0xFFFFFFFF;

struct Utf8Sequence {
  char32_t code_point = 0;  // kIllFormedSequence for an ill-formed sequence
  std::size_t length = 0;   // bytes, at least 1
};

// The sequence starting at text[i] (i < text.size()). Well-formed means no overlong form, no
// surrogate, nothing above U+10FFFF. An ill-formed sequence has the length of its maximal
// subpart: the longest prefix (at least one byte) that could still have begun a well-formed
// sequence, so that decoding sequence after sequence skips no byte and reads none twice.
[[nodiscard]] Utf8Sequence decode_utf8(std::string_view text, std::size_t i);

// True when text is well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF).
[[nodiscard]] bool is_valid_utf8(std::string_view text);

// text with every ill-formed sequence replaced by U+FFFD, one replacement per maximal
// subpart of a well-formed sequence (so "\xE2\x82" becomes one U+FFFD, "\xFF\xFE" two).
[[nodiscard]] std::string utf8_lossy(std::string_view text);

}  // namespace quillfen::speakers
