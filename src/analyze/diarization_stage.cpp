#include "analyze/diarization_stage.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "analyze/error_mapping.h"
#include "analyze/response.h"
#include "speakers/decimal_text.h"
#include "speakers/diarization.h"
#include "speakers/filterbank.h"
#include "speakers/model_contract.h"
#include "speakers/numeric.h"

namespace quillfen::analyze {
namespace {

namespace diar = speakers::diarization;

using speakers::kEmbeddingDim;
using speakers::kModelSampleRateHz;
using speakers::kSegmentationClasses;

// seconds * 16000 truncated toward zero into the unsigned 64-bit range.
std::uint64_t sample_index(double seconds) {
  return speakers::saturating_u64(seconds * static_cast<double>(kModelSampleRateHz));
}

// "speaker interval 3 (12.5 s to 18 s)": the interval's index among all intervals and its times.
std::string interval_name(std::size_t index, const diar::SpeakerInterval& interval) {
  return "speaker interval " + std::to_string(index) + " (" +
         speakers::shortest_decimal(interval.start_s) + " s to " +
         speakers::shortest_decimal(interval.end_s) + " s)";
}

}  // namespace

std::expected<std::optional<speakers::FeatureMatrix>, speakers::SpeakerFeatureError>
interval_features(std::span<const float> full_audio, double start_s, double end_s) {
  const std::uint64_t first = sample_index(start_s);
  const std::uint64_t last = std::min<std::uint64_t>(sample_index(end_s), full_audio.size());
  if (last <= first || last - first < kMinIntervalSamples) return std::nullopt;
  auto features = speakers::compute_wespeaker_filterbank_cmn(
      full_audio.subspan(first, last - first), kModelSampleRateHz);
  if (!features) return std::unexpected(std::move(features.error()));
  if (features->frames() == 0) return std::nullopt;
  return std::optional<speakers::FeatureMatrix>(std::move(*features));
}

std::expected<DiarizationStageResult, AnalyzeError> run_diarization_stage(
    std::span<const float> frame_log_probs, std::span<const float> full_audio,
    const std::string& full_audio_path, std::span<const StatementSpan> diarization_spans,
    const std::optional<std::string>& interval_payload_path, const EmbedFeatures& embed) {
  if (frame_log_probs.size() % kSegmentationClasses != 0) {
    return std::unexpected(
        map_diarization_error(diar::DiarizationError::frame_matrix_length_mismatch(
            frame_log_probs.size(), kSegmentationClasses)));
  }
  const std::vector<diar::SpeakerInterval> intervals =
      diar::find_intervals(frame_log_probs, kSegmentationClasses, full_audio.size());
  if (intervals.empty()) return DiarizationStageResult{diarization_no_intervals_object(), {}};

  std::vector<diar::SpeakerInterval> valid_intervals;
  std::vector<std::uint64_t> interval_indices;
  std::vector<float> values;
  valid_intervals.reserve(intervals.size());
  interval_indices.reserve(intervals.size());
  values.reserve(intervals.size() * kEmbeddingDim);
  for (std::size_t i = 0; i < intervals.size(); ++i) {
    auto features = interval_features(full_audio, intervals[i].start_s, intervals[i].end_s);
    const bool beyond_range =
        !features && features.error().kind == speakers::SpeakerFeatureError::Kind::SampleBeyondRange;
    if (!features && !beyond_range) {
      return std::unexpected(map_feature_error(features.error(), full_audio_path));
    }
    if (beyond_range || (*features && !speakers::all_finite((**features).values()))) {
      return std::unexpected(derived_value_not_finite(
          full_audio_path, full_audio, interval_name(i, intervals[i]) + std::string(kTooLoudForFeatures)));
    }
    if (!*features) continue;
    auto embedding = embed(**features);
    if (!embedding) {
      return std::unexpected(map_model_run_error(kIntervalEmbeddingRunLabel, embedding.error()));
    }
    if (!speakers::all_finite(*embedding)) {
      return std::unexpected(derived_value_not_finite(
          full_audio_path, full_audio,
          "the embedding of " + interval_name(i, intervals[i]) + " is not finite"));
    }
    valid_intervals.push_back(intervals[i]);
    interval_indices.push_back(i);
    values.insert(values.end(), embedding->begin(), embedding->end());
  }

  auto clustering =
      diar::cluster_embeddings(values, valid_intervals.size(), kEmbeddingDim, std::nullopt);
  if (!clustering) return std::unexpected(map_diarization_error(clustering.error()));

  std::vector<diar::StatementTimes> statement_times;
  statement_times.reserve(diarization_spans.size());
  for (const StatementSpan& span : diarization_spans) {
    statement_times.push_back(diar::StatementTimes{span.start_s, span.end_s});
  }
  auto statement_labels =
      diar::assign_sentences(statement_times, valid_intervals, clustering->labels);
  if (!statement_labels) return std::unexpected(map_diarization_error(statement_labels.error()));

  DiarizationStageResult result;
  json::Value interval_embeddings(nullptr);
  if (interval_payload_path) {
    interval_embeddings = interval_payload_object(*interval_payload_path, interval_indices);
    result.interval_write = PayloadWrite{*interval_payload_path, encode_matrix(values)};
  }
  result.diarization = diarization_full_object(DiarizationReport{
      .intervals = intervals,
      .valid_intervals = valid_intervals,
      .interval_embeddings = std::move(interval_embeddings),
      .cluster_labels = clustering->labels,
      .statement_labels = *statement_labels,
      .silhouette_k = clustering->silhouette_k,
      .effective_k = clustering->effective_k,
  });
  return result;
}

std::expected<DiarizationStageResult, AnalyzeError> run_diarization_stage(
    std::span<const float> frame_log_probs, std::span<const float> full_audio,
    const std::string& full_audio_path, std::span<const StatementSpan> diarization_spans,
    const std::optional<std::string>& interval_payload_path,
    const onnx::WespeakerEmbedder& embedder) {
  return run_diarization_stage(
      frame_log_probs, full_audio, full_audio_path, diarization_spans, interval_payload_path,
      [&embedder](const speakers::FeatureMatrix& features) { return embedder.embed(features); });
}

}  // namespace quillfen::analyze
