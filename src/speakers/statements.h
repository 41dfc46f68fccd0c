// Statement admission: decides which transcript statements are long and well-formed enough
// to embed, cuts their audio out of the recording and computes their filterbank features.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "speakers/feature_matrix.h"

namespace quillfen::speakers {

// A statement of the transcript: times in seconds from the start of the recording, either
// of which may be missing.
struct StatementSpan {
  std::optional<double> start_s;
  std::optional<double> end_s;
  std::int64_t statement_id = 0;

  friend bool operator==(const StatementSpan&, const StatementSpan&) = default;
};

struct AdmittedStatement {
  FeatureMatrix features;  // frames x 80 filterbank features of the statement's samples
  std::int64_t statement_id = 0;
  // (i1 - i0) / sample rate for the sample indices of the clamped times, before they are
  // limited to the audio length.
  double duration_s = 0.0;
};

struct StatementAdmission {
  std::vector<AdmittedStatement> admitted;  // in the order of the input spans
  std::size_t skipped_count = 0;            // spans minus admitted
};

// Shortest statement admitted, in seconds; also required as a sample count
// (floor(rate * 0.3), 4800 at 16 kHz).
inline constexpr double kMinStatementSeconds = 0.3;

// Admits each span whose times are present and finite and which, clamped to the audio,
// lasts at least 0.3 s and covers at least floor(rate * 0.3) samples with at least one
// filterbank frame. Skipped spans are only counted. The first filterbank failure (wrong
// sample rate, non-finite sample with its index relative to the statement's first sample)
// fails the whole call.
std::expected<StatementAdmission, SpeakerFeatureError> admit_statement_features(
    std::span<const float> audio, std::uint32_t sample_rate_hz,
    std::span<const StatementSpan> spans);

}  // namespace quillfen::speakers
