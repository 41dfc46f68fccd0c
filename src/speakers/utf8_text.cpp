#include "speakers/utf8_text.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quillfen::speakers {

Utf8Sequence decode_utf8(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) return {lead, 1};
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  char32_t cp = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return {kIllFormedSequence, 1};
  }
  for (std::size_t k = 1; k < length; ++k) {
    if (i + k >= text.size()) return {kIllFormedSequence, k};
    const auto byte = static_cast<unsigned char>(text[i + k]);
    if (byte < low || byte > high) return {kIllFormedSequence, k};
    cp = (cp << 6) | (byte & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  return {cp, length};
}

bool is_valid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    // ASCII runs are the common case; skip them eight bytes at a time.
    while (i + 8 <= text.size()) {
      std::uint64_t block;
      std::memcpy(&block, text.data() + i, 8);
      if ((block & 0x8080808080808080ULL) != 0) break;
      i += 8;
    }
    if (i >= text.size()) break;
    const Utf8Sequence sequence = decode_utf8(text, i);
    if (sequence.code_point == kIllFormedSequence) return false;
    i += sequence.length;
  }
  return true;
}

std::string utf8_lossy(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const Utf8Sequence sequence = decode_utf8(text, i);
    if (sequence.code_point == kIllFormedSequence) {
      out += "\xEF\xBF\xBD";
    } else {
      out.append(text.substr(i, sequence.length));
    }
    i += sequence.length;
  }
  return out;
}

}  // namespace quillfen::speakers
