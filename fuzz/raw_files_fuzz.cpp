// The audio and payload readers on arbitrary file bytes, held to a direct reading of the file
// formats: 4 little-endian bytes per value, the first value whose exponent bits are all ones
// reported by index (audio) or row and column (payload), lengths checked as stated.
// Input: one byte choosing the payload shape, then the file's bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "analyze/raw_files.h"
#include "fuzz_support.h"

namespace fuzz = quillfen::fuzz;
using quillfen::analyze::AnalyzeError;
using quillfen::fuzz::require;

namespace {

const std::string kFile = "values.f32";

std::uint32_t bits_at(std::string_view bytes, std::size_t i) {
  std::uint32_t bits = 0;
  for (int b = 3; b >= 0; --b) bits = bits << 8 | static_cast<unsigned char>(bytes[i * 4 + b]);
  return bits;
}

bool finite_bits(std::uint32_t bits) { return (bits & 0x7F800000u) != 0x7F800000u; }

// The first non-finite value among the first count values, or count.
std::size_t first_non_finite(std::string_view bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!finite_bits(bits_at(bytes, i))) return i;
  }
  return count;
}

void require_values(const std::vector<float>& values, std::string_view bytes) {
  require(values.size() * 4 == bytes.size(), "wrong value count");
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::uint32_t got = 0;
    std::memcpy(&got, &values[i], 4);
    require(got == bits_at(bytes, i), "a value differs from its bytes");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::enter_scratch_directory("raw-files");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return -1;
  const std::uint8_t shape = data[0];
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  fuzz::write_bytes(kFile, bytes);

  // Audio: any length; a multiple of 4 decodes up to the first non-finite sample.
  const auto audio = quillfen::analyze::read_audio_file(kFile);
  if (bytes.size() % 4 != 0) {
    require(!audio && audio.error() == AnalyzeError::audio_invalid(
                                           kFile, "byte length " + std::to_string(bytes.size()) +
                                                      " is not divisible by 4"),
            "audio of a length not divisible by 4 is not audio-invalid");
  } else if (const std::size_t bad = first_non_finite(bytes, bytes.size() / 4);
             bad != bytes.size() / 4) {
    require(!audio && audio.error() == AnalyzeError::audio_non_finite(bad, kFile),
            "a non-finite sample is not reported at its index");
  } else {
    require(audio.has_value(), "finite audio is refused");
    require_values(*audio, bytes);
  }

  // Payload: cols from the shape byte, rows from the length; the top bit asks for one row
  // more than the file holds.
  const std::uint64_t cols = 1 + (shape & 0x0F);
  const std::uint64_t rows = bytes.size() / 4 / cols + (shape & 0x80 ? 1 : 0);
  const std::uint64_t expected = rows * cols * 4;
  const auto payload = quillfen::analyze::read_payload_file(kFile, rows, cols, expected);
  if (bytes.size() != expected) {
    require(!payload && payload.error() ==
                            AnalyzeError::payload_invalid(
                                kFile, "byte length " + std::to_string(bytes.size()) +
                                           " does not match expected " + std::to_string(expected)),
            "a payload of the wrong length is not payload-invalid");
  } else if (const std::size_t bad = first_non_finite(bytes, bytes.size() / 4);
             bad != bytes.size() / 4) {
    require(!payload && payload.error() == AnalyzeError::payload_non_finite(bad / cols, bad % cols, kFile),
            "a non-finite value is not reported at its row and column");
  } else {
    require(payload.has_value(), "a finite payload is refused");
    require_values(*payload, bytes);
  }
  return 0;
}
