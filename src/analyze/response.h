// The analyze response document: its parts in their fixed key order. Finite 64-bit floats
// are written as numbers and every non-finite one as null; request times that are absent are
// null; counts, sizes, labels and k values are unsigned integers; statement ids are signed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "analyze/json.h"
#include "analyze/request.h"
#include "speakers/diarization.h"
#include "speakers/model_contract.h"
#include "speakers/segmentation.h"

namespace quillfen::analyze {

inline constexpr std::string_view kAnalyzeResponseSchema = "quillfen-speaker-analyze-response-v1";
// Model id reported for the statement embeddings.
inline constexpr std::string_view kEmbeddingEncoder = "wespeaker-resnet34-256";
// Bytes per embedding row (256 values, statements and intervals alike) in a payload file.
inline constexpr std::uint64_t kEmbeddingRowBytes = speakers::kEmbeddingDim * sizeof(float);

// The statement side of a run: one payload row per admitted statement.
struct StatementEmbeddingsReport {
  bool from_reduced_audio = false;  // statements were cut from the reduced audio
  std::string_view payload_path;    // as the request gave it
  std::uint64_t byte_count = 0;     // size of the encoded payload
  std::span<const std::int64_t> statement_ids = {};
  std::span<const double> durations_s = {};
  std::uint64_t skipped_count = 0;
};

// "statement_embeddings": audio_buffer, encoder, the payload descriptor (shape
// [rows, 256]), statement_ids, durations_s, admitted_count, skipped_count.
[[nodiscard]] json::Value statement_embeddings_object(const StatementEmbeddingsReport& report);

// "diarization" when the evidence is none or single: all seven values null.
[[nodiscard]] json::Value diarization_not_run_object();
// "diarization" when the evidence is multi but no interval was found: intervals [] and six
// nulls.
[[nodiscard]] json::Value diarization_no_intervals_object();

// {"start_s", "end_s", "local_class"}.
[[nodiscard]] json::Value interval_object(const speakers::diarization::SpeakerInterval& interval);

// The interval payload: payload_path, payload_format, dtype, shape [rows, 256], byte_count,
// interval_indices (one per row).
[[nodiscard]] json::Value interval_payload_object(std::string_view payload_path,
                                                  std::span<const std::uint64_t> interval_indices);

// Everything the full diarization form reports.
struct DiarizationReport {
  std::span<const speakers::diarization::SpeakerInterval> intervals;
  std::span<const speakers::diarization::SpeakerInterval> valid_intervals;
  json::Value interval_embeddings;  // interval payload object, or null without a path
  std::span<const std::size_t> cluster_labels;
  std::span<const std::optional<std::size_t>> statement_labels;
  std::optional<std::size_t> silhouette_k;
  std::optional<std::size_t> effective_k;
};

[[nodiscard]] json::Value diarization_full_object(const DiarizationReport& report);

// The whole document: schema, sample_rate_hz (16000), inputs (echo of both span lists),
// statement_embeddings, pyannote window stats, evidence, diarization.
[[nodiscard]] json::Value build_response(const AnalyzeRequest& request,
                                         json::Value statement_embeddings,
                                         std::span<const speakers::SpeakerWindowStats> window_stats,
                                         const speakers::SpeakerEvidenceDecision& decision,
                                         double overlap_fraction, json::Value diarization);

}  // namespace quillfen::analyze
