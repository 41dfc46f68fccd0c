// Developer tool: filterbank features of a raw audio file.
//
//   quillfen-fbank IN.f32 OUT.f32
//
// IN.f32 holds little-endian float32 mono samples at 16 kHz; OUT.f32 receives the
// mean-normalised log-mel features as little-endian float32, frames x 80, row-major.
// Both files go through the engine's own raw-file reader and payload writer, so a bad input
// gets the engine's audio error text. Errors go to standard error with exit status 1 (64 for
// wrong usage).
#include <cstdio>
#include <string>
#include <vector>

#include "analyze/raw_files.h"
#include "speakers/filterbank.h"

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "quillfen-fbank: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  namespace analyze = quillfen::analyze;
  if (argc != 3) {
    std::fprintf(stderr, "usage: quillfen-fbank IN.f32 OUT.f32\n");
    return 64;
  }
  const auto samples = analyze::read_audio_file(argv[1]);
  if (!samples) return fail(samples.error().detail());

  const auto features = quillfen::speakers::compute_wespeaker_filterbank_cmn(
      *samples, quillfen::speakers::kModelSampleRateHz);
  if (!features) return fail(features.error().to_string());

  const std::vector<analyze::PayloadWrite> writes{
      {argv[2], analyze::encode_matrix(features->values())}};
  if (auto written = analyze::write_payloads(writes); !written) {
    return fail(written.error().detail());
  }
  return 0;
}
