#include "speakers/utf8_text.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quillfen::speakers {
namespace {

// Length of the well-formed sequence starting at text[i], or 0 when it is ill-formed; in
// that case *maximal_subpart receives the length of the longest prefix (at least 1) that
// could still have begun a well-formed sequence.
std::size_t well_formed_length(std::string_view text, std::size_t i, std::size_t* maximal_subpart) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  *maximal_subpart = 1;
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char second_low = 0x80, second_high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) second_low = 0xA0;
    if (lead == 0xED) second_high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) second_low = 0x90;
    if (lead == 0xF4) second_high = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k < length; ++k) {
    if (i + k >= text.size()) return 0;
    const unsigned char b = byte(i + k);
    const unsigned char low = k == 1 ? second_low : 0x80;
    const unsigned char high = k == 1 ? second_high : 0xBF;
    if (b < low || b > high) return 0;
    *maximal_subpart = k + 1;
  }
  return length;
}

}  // namespace

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
    std::size_t subpart = 0;
    const std::size_t length = well_formed_length(text, i, &subpart);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string utf8_lossy(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t subpart = 0;
    const std::size_t length = well_formed_length(text, i, &subpart);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      i += subpart;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

}  // namespace quillfen::speakers
