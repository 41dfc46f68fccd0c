// Developer tool: filterbank features of a raw audio file.
//
//   quillfen-fbank IN.f32 OUT.f32
//
// IN.f32 holds little-endian float32 mono samples at 16 kHz; OUT.f32 receives the
// mean-normalised log-mel features as little-endian float32, frames x 80, row-major.
// Errors go to standard error with exit status 1 (64 for wrong usage).
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "speakers/filterbank.h"

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "quillfen-fbank: %s\n", message.c_str());
  return 1;
}

std::uint32_t to_little_endian(std::uint32_t v) {
  if constexpr (std::endian::native == std::endian::big) return std::byteswap(v);
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: quillfen-fbank IN.f32 OUT.f32\n");
    return 64;
  }
  const std::string in_path = argv[1];
  const std::string out_path = argv[2];

  std::ifstream in(in_path, std::ios::binary);
  if (!in) return fail("cannot open " + in_path + ": " + std::strerror(errno));
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return fail("cannot read " + in_path);
  if (bytes.size() % 4 != 0) {
    return fail(in_path + ": size " + std::to_string(bytes.size()) +
                " is not a multiple of 4 bytes");
  }
  std::vector<float> samples(bytes.size() / 4);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    std::uint32_t bits;
    std::memcpy(&bits, bytes.data() + 4 * i, 4);
    samples[i] = std::bit_cast<float>(to_little_endian(bits));
  }

  auto features = quillfen::speakers::compute_wespeaker_filterbank_cmn(
      samples, quillfen::speakers::kFilterbankSampleRateHz);
  if (!features) return fail(features.error().to_string());

  std::string out_bytes(features->values().size() * 4, '\0');
  for (std::size_t i = 0; i < features->values().size(); ++i) {
    const std::uint32_t bits =
        to_little_endian(std::bit_cast<std::uint32_t>(features->values()[i]));
    std::memcpy(out_bytes.data() + 4 * i, &bits, 4);
  }
  std::ofstream out(out_path, std::ios::binary | std::ios::trunc);
  if (!out) return fail("cannot create " + out_path + ": " + std::strerror(errno));
  out.write(out_bytes.data(), static_cast<std::streamsize>(out_bytes.size()));
  out.close();
  if (!out) return fail("cannot write " + out_path);
  return 0;
}
