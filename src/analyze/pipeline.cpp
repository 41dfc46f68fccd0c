#include "analyze/pipeline.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <span>
#include <utility>

#include "analyze/diarization_stage.h"
#include "analyze/discarded_streams.h"
#include "analyze/error_mapping.h"
#include "analyze/file_descriptor.h"
#include "analyze/raw_files.h"
#include "analyze/response.h"
#include "analyze/segmentation_pass.h"
#include "speakers/decimal_text.h"
#include "speakers/filterbank.h"
#include "speakers/model_contract.h"
#include "speakers/numeric.h"
#include "speakers/segmentation.h"
#include "speakers/statements.h"
#include "speakers_onnx/pyannote.h"
#include "speakers_onnx/session.h"
#include "speakers_onnx/wespeaker.h"

namespace quillfen::analyze {

using speakers::kEmbeddingDim;
using speakers::kModelSampleRateHz;
using speakers::kSegmentationStrideSeconds;

std::expected<void, AnalyzeError> check_model_path(std::string_view key, const std::string& path) {
  const auto unreadable = [&] {
    return std::unexpected(AnalyzeError::model_unreadable(std::string(key), path));
  };
  if (path.find('\0') != std::string::npos) return unreadable();
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return unreadable();
  if (!FileDescriptor::open(path, O_RDONLY)) return unreadable();
  return {};
}

std::expected<AnalysisAudio, AnalyzeError> prepare_analysis_inputs(const AnalyzeRequest& request) {
  if (request.sample_rate_hz != kModelSampleRateHz) {
    return std::unexpected(
        AnalyzeError::unsupported_sample_rate(kModelSampleRateHz, request.sample_rate_hz));
  }
  AnalysisAudio audio;
  auto full = read_audio_file(request.full_audio_f32le_path);
  if (!full) return std::unexpected(std::move(full.error()));
  audio.full = std::move(*full);
  if (request.reduced_audio_f32le_path) {
    auto reduced = read_audio_file(*request.reduced_audio_f32le_path);
    if (!reduced) return std::unexpected(std::move(reduced.error()));
    audio.reduced = std::move(*reduced);
  }
  if (auto checked = check_model_path(kPyannoteModelKey, request.pyannote_segmentation_onnx_path);
      !checked) {
    return std::unexpected(std::move(checked.error()));
  }
  if (auto checked = check_model_path(kWespeakerModelKey, request.wespeaker_onnx_path); !checked) {
    return std::unexpected(std::move(checked.error()));
  }
  return audio;
}

namespace {

// The statement side of a run: one embedding row per admitted statement, in admission order.
struct StatementEmbeddings {
  std::vector<float> values;  // rows x 256, row-major
  std::vector<std::int64_t> statement_ids;
  std::vector<double> durations_s;
  std::uint64_t skipped_count = 0;
};

// The path of the audio statements are cut from: the reduced audio when the request names one.
const std::string& admission_path(const AnalyzeRequest& request) {
  return request.reduced_audio_f32le_path ? *request.reduced_audio_f32le_path
                                          : request.full_audio_f32le_path;
}

// Admits and embeds the statements one span at a time, so that only one statement's features
// are held at once. Admission decides each span on its own; its only failures (a rate other
// than 16000, a non-finite sample) cannot arise after the input checks, so the order of
// admission and embedding failures is the same as admitting every span first. A non-finite
// sample names admission_path, the file the admission audio was read from, and so do features
// or an embedding that are not finite (audio-invalid).
std::expected<StatementEmbeddings, AnalyzeError> embed_statements(
    std::span<const StatementSpan> spans, std::span<const float> admission_audio,
    const std::string& admission_path, const onnx::WespeakerEmbedder& embedder) {
  StatementEmbeddings out;
  out.values.reserve(spans.size() * kEmbeddingDim);
  out.statement_ids.reserve(spans.size());
  out.durations_s.reserve(spans.size());
  for (const StatementSpan& span : spans) {
    auto admission = speakers::admit_statement_features(admission_audio, kModelSampleRateHz,
                                                        std::span(&span, 1));
    if (!admission && admission.error().kind == speakers::SpeakerFeatureError::Kind::SampleBeyondRange) {
      return std::unexpected(derived_value_not_finite(
          admission_path, admission_audio,
          "statement " + std::to_string(span.statement_id) + std::string(kTooLoudForFeatures)));
    }
    if (!admission) return std::unexpected(map_feature_error(admission.error(), admission_path));
    out.skipped_count += admission->skipped_count;
    for (const speakers::AdmittedStatement& statement : admission->admitted) {
      const std::string statement_name = "statement " + std::to_string(statement.statement_id);
      if (!speakers::all_finite(statement.features.values())) {
        return std::unexpected(derived_value_not_finite(
            admission_path, admission_audio, statement_name + std::string(kTooLoudForFeatures)));
      }
      auto embedding = embedder.embed(statement.features);
      if (!embedding) {
        return std::unexpected(map_model_run_error(kStatementEmbeddingRunLabel, embedding.error()));
      }
      if (!speakers::all_finite(*embedding)) {
        return std::unexpected(derived_value_not_finite(
            admission_path, admission_audio, "the embedding of " + statement_name + " is not finite"));
      }
      out.values.insert(out.values.end(), embedding->begin(), embedding->end());
      out.statement_ids.push_back(statement.statement_id);
      out.durations_s.push_back(statement.duration_s);
    }
  }
  return out;
}

}  // namespace

std::expected<json::Value, AnalyzeError> run_analyze(const AnalyzeRequest& request) {
  return run_analyze(request, nullptr);
}

namespace {

// The response document and the payloads it describes, not yet written.
struct Analysis {
  json::Value response;
  std::vector<PayloadWrite> writes;
};

// Every stage that runs a model, from opening both models to the response document. The
// runtime library's own messages are discarded while it works: the models are released before
// the caller's streams are back.
std::expected<Analysis, AnalyzeError> analyse(const AnalyzeRequest& request,
                                              const AnalysisAudio& audio,
                                              ModelRunTimes* run_times) {
  const StandardStreamsDiscarded runtime_output;
  const std::vector<onnx::SpeakerExecutionProvider> plan =
      onnx::default_speaker_execution_providers(false);
  auto segmenter = onnx::PyannoteSegmenter::open(request.pyannote_segmentation_onnx_path, plan);
  if (!segmenter) {
    return std::unexpected(map_model_open_error(kPyannoteModelKey, segmenter.error()));
  }
  auto embedder = onnx::WespeakerEmbedder::open(request.wespeaker_onnx_path, plan);
  if (!embedder) {
    return std::unexpected(map_model_open_error(kWespeakerModelKey, embedder.error()));
  }

  if (run_times) {
    segmenter->time_runs_into(&run_times->segmentation);
    embedder->time_runs_into(&run_times->embedding);
  }

  auto statements = embed_statements(request.statement_spans, audio.admission(),
                                     admission_path(request), *embedder);
  if (!statements) return std::unexpected(std::move(statements.error()));

  // Windows, frame grid and intervals always come from the full audio, which must be within the
  // range of the features the intervals are embedded with.
  if (const auto frame = speakers::first_overflowing_filterbank_frame(audio.full)) {
    return std::unexpected(derived_value_not_finite(
        request.full_audio_f32le_path, audio.full,
        "the recording" + std::string(kTooLoudForFeatures) + " at " +
            speakers::shortest_decimal(static_cast<double>(*frame) / 100.0) + " s"));
  }
  auto pass =
      segment_recording(audio.full, kModelSampleRateHz, kSegmentationStrideSeconds, *segmenter);
  if (!pass) {
    return std::unexpected(
        map_segmentation_pass_error(pass.error(), request.full_audio_f32le_path, audio.full));
  }
  const speakers::SpeakerEvidenceDecision decision =
      speakers::decide_speaker_evidence(pass->window_stats, pass->overlap_fraction);

  // The statement payload is always the first write, even with no row.
  Analysis analysis;
  analysis.writes.push_back(
      PayloadWrite{request.output_payload_f32le_path, encode_matrix(statements->values)});
  statements->values = std::vector<float>();
  json::Value statement_object = statement_embeddings_object(StatementEmbeddingsReport{
      .from_reduced_audio = request.reduced_audio_f32le_path.has_value(),
      .payload_path = request.output_payload_f32le_path,
      .byte_count = analysis.writes.front().bytes.size(),
      .statement_ids = statements->statement_ids,
      .durations_s = statements->durations_s,
      .skipped_count = statements->skipped_count,
  });

  json::Value diarization = diarization_not_run_object();
  if (decision.speaker_evidence == speakers::SpeakerEvidence::Multi) {
    auto stage = run_diarization_stage(pass->frame_log_probs.values(), audio.full,
                                       request.full_audio_f32le_path, request.diarization_spans,
                                       request.interval_embedding_payload_f32le_path, *embedder);
    if (!stage) return std::unexpected(std::move(stage.error()));
    diarization = std::move(stage->diarization);
    if (stage->interval_write) analysis.writes.push_back(std::move(*stage->interval_write));
  }

  analysis.response = build_response(request, std::move(statement_object), pass->window_stats,
                                     decision, pass->overlap_fraction, std::move(diarization));
  return analysis;
}

}  // namespace

std::expected<json::Value, AnalyzeError> run_analyze(const AnalyzeRequest& request,
                                                     ModelRunTimes* run_times) {
  auto audio = prepare_analysis_inputs(request);
  if (!audio) return std::unexpected(std::move(audio.error()));

  auto analysis = analyse(request, *audio, run_times);
  if (!analysis) return std::unexpected(std::move(analysis.error()));
  if (auto written = write_payloads(analysis->writes); !written) {
    return std::unexpected(std::move(written.error()));
  }
  return std::move(analysis->response);
}

}  // namespace quillfen::analyze
