// Parts of the response document: exact key order, number-or-null and time-or-null values,
// signed statement ids, and the two fixed diarization forms.
#include "analyze/response.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace quillfen::analyze {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Response, StatementEmbeddingsObject) {
  const std::vector<std::int64_t> ids = {-9223372036854775807 - 1, 7};
  const std::vector<double> durations = {0.30000000000000004, kNaN};
  EXPECT_EQ(json::write(statement_embeddings_object({.from_reduced_audio = true,
                                                     .payload_path = "out/a \"b\".f32",
                                                     .byte_count = 2048,
                                                     .statement_ids = ids,
                                                     .durations_s = durations,
                                                     .skipped_count = 3})),
            R"({"audio_buffer":"reduced","encoder":"wespeaker-resnet34-256",)"
            R"("payload_format":"raw-f32le-row-major-v1","payload_path":"out/a \"b\".f32",)"
            R"("dtype":"float32-le","shape":[2,256],"byte_count":2048,)"
            R"("statement_ids":[-9223372036854775808,7],"durations_s":[0.30000000000000004,null],)"
            R"("admitted_count":2,"skipped_count":3})");
  EXPECT_EQ(json::write(statement_embeddings_object({.payload_path = "s.f32"})),
            R"({"audio_buffer":"full","encoder":"wespeaker-resnet34-256",)"
            R"("payload_format":"raw-f32le-row-major-v1","payload_path":"s.f32",)"
            R"("dtype":"float32-le","shape":[0,256],"byte_count":0,"statement_ids":[],)"
            R"("durations_s":[],"admitted_count":0,"skipped_count":0})");
}

TEST(Response, DiarizationForms) {
  EXPECT_EQ(json::write(diarization_not_run_object()),
            R"({"intervals":null,"valid_intervals":null,"interval_embeddings":null,)"
            R"("cluster_labels":null,"statement_labels":null,"silhouette_k":null,)"
            R"("effective_k":null})");
  EXPECT_EQ(json::write(diarization_no_intervals_object()),
            R"({"intervals":[],"valid_intervals":null,"interval_embeddings":null,)"
            R"("cluster_labels":null,"statement_labels":null,"silhouette_k":null,)"
            R"("effective_k":null})");
  // No valid interval: empty lists, null k values, and an empty payload of shape [0, 256].
  const std::vector<speakers::diarization::SpeakerInterval> intervals = {{0.5, 1.25, 3}};
  const std::vector<std::optional<std::size_t>> labels = {std::nullopt};
  EXPECT_EQ(json::write(diarization_full_object({
                .intervals = intervals,
                .valid_intervals = {},
                .interval_embeddings = interval_payload_object("i.f32", {}),
                .cluster_labels = {},
                .statement_labels = labels,
                .silhouette_k = std::nullopt,
                .effective_k = std::nullopt,
            })),
            R"({"intervals":[{"start_s":0.5,"end_s":1.25,"local_class":3}],"valid_intervals":[],)"
            R"("interval_embeddings":{"payload_path":"i.f32","payload_format":)"
            R"("raw-f32le-row-major-v1","dtype":"float32-le","shape":[0,256],"byte_count":0,)"
            R"("interval_indices":[]},"cluster_labels":[],"statement_labels":[null],)"
            R"("silhouette_k":null,"effective_k":null})");
}

TEST(Response, WholeDocumentKeyOrderAndNulls) {
  AnalyzeRequest request;
  request.statement_spans = {{1.5, std::nullopt, -2}, {std::nullopt, std::nullopt, 5}};
  request.diarization_spans = {{0.0, 2.0, -2}, {kInf, 1e-7, 5}};
  const std::vector<speakers::SpeakerWindowStats> stats = {{589, 2, 40}, {0, 0, 0}};
  const speakers::SpeakerEvidenceDecision decision{1.0, kNaN, speakers::SpeakerEvidence::Multi};
  const json::Value response = build_response(request, json::Value("statements"), stats, decision,
                                              -kInf, json::Value("diarization"));
  EXPECT_EQ(json::write(response),
            R"({"schema":"quillfen-speaker-analyze-response-v1","sample_rate_hz":16000,)"
            R"("inputs":{"statement_embedding":{"statement_ids":[-2,5],"spans":[[1.5,null],)"
            R"([null,null]]},"diarization":{"statement_ids":[-2,5],"spans":[[0.0,2.0],)"
            R"([null,1e-7]]}},"statement_embeddings":"statements","pyannote":{"window_stats":[)"
            R"({"speech_frames":589,"active_slot_count":2,"overlap_frames":40},)"
            R"({"speech_frames":0,"active_slot_count":0,"overlap_frames":0}]},)"
            R"("evidence":{"speaker_evidence":"multi","multi_window_fraction":1.0,)"
            R"("mean_window_overlap_share":null,"overlap_fraction":null},)"
            R"("diarization":"diarization"})");
}

}  // namespace
}  // namespace quillfen::analyze
