#include "speakers/statements.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "speakers/filterbank.h"
#include "speakers/numeric.h"

namespace quillfen::speakers {

std::expected<StatementAdmission, SpeakerFeatureError> admit_statement_features(
    std::span<const float> audio, std::uint32_t sample_rate_hz,
    std::span<const StatementSpan> spans) {
  StatementAdmission result;
  if (spans.empty()) return result;

  const double rate = static_cast<double>(sample_rate_hz);
  const std::uint64_t n = audio.size();
  const double duration = static_cast<double>(n) / rate;
  const std::uint64_t min_samples = saturating_u64(rate * kMinStatementSeconds);

  for (const StatementSpan& span : spans) {
    if (!span.start_s || !span.end_s || !std::isfinite(*span.start_s) ||
        !std::isfinite(*span.end_s)) {
      continue;
    }
    const double s = std::min(std::max(*span.start_s, 0.0), duration);
    const double e = std::min(std::max(*span.end_s, 0.0), duration);
    if (!(e - s >= kMinStatementSeconds)) continue;

    const std::uint64_t i0 = saturating_u64(s * rate);
    const std::uint64_t i1 = saturating_u64(e * rate);
    const std::uint64_t lo = std::min(n, i0);
    const std::uint64_t hi = std::min(n, i1);
    const std::uint64_t length = i0 < hi ? hi - lo : 0;
    if (length < min_samples) continue;

    auto features = compute_wespeaker_filterbank_cmn(audio.subspan(lo, length), sample_rate_hz);
    if (!features) return std::unexpected(features.error());
    if (features->frames() == 0) continue;
    result.admitted.push_back(AdmittedStatement{std::move(*features), span.statement_id,
                                                static_cast<double>(i1 - i0) / rate});
  }
  result.skipped_count = spans.size() - result.admitted.size();
  return result;
}

}  // namespace quillfen::speakers
