#include "analyze/response.h"

#include <utility>

#include "analyze/raw_files.h"

namespace quillfen::analyze {
namespace {

using json::Array;
using json::Object;
using json::Value;

constexpr std::string_view kDiarizationKeys[] = {
    "intervals",        "valid_intervals", "interval_embeddings", "cluster_labels",
    "statement_labels", "silhouette_k",    "effective_k"};

Value text(std::string_view s) { return Value(std::string(s)); }
Value count(std::uint64_t n) { return Value(n); }

Value time_or_null(const std::optional<double>& t) {
  return t ? json::number_or_null(*t) : Value(nullptr);
}

Value count_or_null(const std::optional<std::size_t>& n) { return n ? count(*n) : Value(nullptr); }

Value shape(std::uint64_t rows) {
  return Value(Array{count(rows), count(speakers::kEmbeddingDim)});
}

Value span_echo(std::span<const StatementSpan> spans) {
  Array ids;
  Array times;
  ids.reserve(spans.size());
  times.reserve(spans.size());
  for (const StatementSpan& span : spans) {
    ids.emplace_back(span.statement_id);
    times.emplace_back(Array{time_or_null(span.start_s), time_or_null(span.end_s)});
  }
  Object echo;
  echo.insert("statement_ids", Value(std::move(ids)));
  echo.insert("spans", Value(std::move(times)));
  return Value(std::move(echo));
}

Value intervals_array(std::span<const speakers::diarization::SpeakerInterval> intervals) {
  Array out;
  out.reserve(intervals.size());
  for (const auto& interval : intervals) out.push_back(interval_object(interval));
  return Value(std::move(out));
}

// The seven diarization keys with intervals first and every other value null.
Value diarization_with_intervals(Value intervals) {
  Object out;
  out.insert(std::string(kDiarizationKeys[0]), std::move(intervals));
  for (std::size_t i = 1; i < std::size(kDiarizationKeys); ++i) {
    out.insert(std::string(kDiarizationKeys[i]), Value(nullptr));
  }
  return Value(std::move(out));
}

}  // namespace

Value statement_embeddings_object(const StatementEmbeddingsReport& report) {
  Array ids;
  ids.reserve(report.statement_ids.size());
  for (std::int64_t id : report.statement_ids) ids.emplace_back(id);
  Array durations;
  durations.reserve(report.durations_s.size());
  for (double d : report.durations_s) durations.push_back(json::number_or_null(d));
  const std::uint64_t rows = report.statement_ids.size();

  Object out;
  out.insert("audio_buffer", text(report.from_reduced_audio ? "reduced" : "full"));
  out.insert("encoder", text(kEmbeddingEncoder));
  out.insert("payload_format", text(kPayloadFormat));
  out.insert("payload_path", text(report.payload_path));
  out.insert("dtype", text(kPayloadDtype));
  out.insert("shape", shape(rows));
  out.insert("byte_count", count(report.byte_count));
  out.insert("statement_ids", Value(std::move(ids)));
  out.insert("durations_s", Value(std::move(durations)));
  out.insert("admitted_count", count(rows));
  out.insert("skipped_count", count(report.skipped_count));
  return Value(std::move(out));
}

Value diarization_not_run_object() { return diarization_with_intervals(Value(nullptr)); }

Value diarization_no_intervals_object() { return diarization_with_intervals(Value(Array{})); }

Value interval_object(const speakers::diarization::SpeakerInterval& interval) {
  Object out;
  out.insert("start_s", json::number_or_null(interval.start_s));
  out.insert("end_s", json::number_or_null(interval.end_s));
  out.insert("local_class", count(interval.local_class));
  return Value(std::move(out));
}

Value interval_payload_object(std::string_view payload_path,
                              std::span<const std::uint64_t> interval_indices) {
  Array indices;
  indices.reserve(interval_indices.size());
  for (std::uint64_t i : interval_indices) indices.push_back(count(i));
  const std::uint64_t rows = interval_indices.size();

  Object out;
  out.insert("payload_path", text(payload_path));
  out.insert("payload_format", text(kPayloadFormat));
  out.insert("dtype", text(kPayloadDtype));
  out.insert("shape", shape(rows));
  out.insert("byte_count", count(rows * kEmbeddingRowBytes));
  out.insert("interval_indices", Value(std::move(indices)));
  return Value(std::move(out));
}

Value diarization_full_object(const DiarizationReport& report) {
  Array cluster_labels;
  cluster_labels.reserve(report.cluster_labels.size());
  for (std::size_t label : report.cluster_labels) cluster_labels.push_back(count(label));
  Array statement_labels;
  statement_labels.reserve(report.statement_labels.size());
  for (const auto& label : report.statement_labels)
    statement_labels.push_back(count_or_null(label));

  Object out;
  out.insert("intervals", intervals_array(report.intervals));
  out.insert("valid_intervals", intervals_array(report.valid_intervals));
  out.insert("interval_embeddings", report.interval_embeddings);
  out.insert("cluster_labels", Value(std::move(cluster_labels)));
  out.insert("statement_labels", Value(std::move(statement_labels)));
  out.insert("silhouette_k", count_or_null(report.silhouette_k));
  out.insert("effective_k", count_or_null(report.effective_k));
  return Value(std::move(out));
}

Value build_response(const AnalyzeRequest& request, Value statement_embeddings,
                     std::span<const speakers::SpeakerWindowStats> window_stats,
                     const speakers::SpeakerEvidenceDecision& decision, double overlap_fraction,
                     Value diarization) {
  Object inputs;
  inputs.insert("statement_embedding", span_echo(request.statement_spans));
  inputs.insert("diarization", span_echo(request.diarization_spans));

  Array windows;
  windows.reserve(window_stats.size());
  for (const auto& stats : window_stats) {
    Object window;
    window.insert("speech_frames", count(stats.speech_frames));
    window.insert("active_slot_count", count(stats.active_slot_count));
    window.insert("overlap_frames", count(stats.overlap_frames));
    windows.emplace_back(std::move(window));
  }
  Object pyannote;
  pyannote.insert("window_stats", Value(std::move(windows)));

  Object evidence;
  evidence.insert("speaker_evidence",
                  text(speakers::speaker_evidence_name(decision.speaker_evidence)));
  evidence.insert("multi_window_fraction", json::number_or_null(decision.multi_window_fraction));
  evidence.insert("mean_window_overlap_share",
                  json::number_or_null(decision.mean_window_overlap_share));
  evidence.insert("overlap_fraction", json::number_or_null(overlap_fraction));

  Object out;
  out.insert("schema", text(kAnalyzeResponseSchema));
  out.insert("sample_rate_hz", count(speakers::kModelSampleRateHz));
  out.insert("inputs", Value(std::move(inputs)));
  out.insert("statement_embeddings", std::move(statement_embeddings));
  out.insert("pyannote", Value(std::move(pyannote)));
  out.insert("evidence", Value(std::move(evidence)));
  out.insert("diarization", std::move(diarization));
  return Value(std::move(out));
}

}  // namespace quillfen::analyze
