// Response parts that no end-to-end run can produce: non-finite floats and request times
// written as null, and the full diarization form without any valid interval.
#include "analyze/response.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace quillfen::analyze {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Response, NonFiniteValuesAreNullAndKeysKeepTheirOrder) {
  AnalyzeRequest request;
  request.statement_spans = {{1.5, std::nullopt, -2}};
  request.diarization_spans = {{kInf, 1e-7, -2}};
  const std::vector<speakers::SpeakerWindowStats> stats = {{589, 2, 40}};
  const speakers::SpeakerEvidenceDecision decision{1.0, kNaN, speakers::SpeakerEvidence::Multi};
  const std::vector<std::int64_t> ids = {-2};
  const std::vector<double> durations = {-kInf};
  EXPECT_EQ(
      json::write(build_response(request,
                                 statement_embeddings_object({.payload_path = "s.f32",
                                                              .byte_count = 1024,
                                                              .statement_ids = ids,
                                                              .durations_s = durations}),
                                 stats, decision, kNaN, json::Value("d"))),
      R"({"schema":"quillfen-speaker-analyze-response-v1","sample_rate_hz":16000,)"
      R"("inputs":{"statement_embedding":{"statement_ids":[-2],"spans":[[1.5,null]]},)"
      R"("diarization":{"statement_ids":[-2],"spans":[[null,1e-7]]}},)"
      R"("statement_embeddings":{"audio_buffer":"full","encoder":"wespeaker-resnet34-256",)"
      R"("payload_format":"raw-f32le-row-major-v1","payload_path":"s.f32","dtype":"float32-le",)"
      R"("shape":[1,256],"byte_count":1024,"statement_ids":[-2],"durations_s":[null],)"
      R"("admitted_count":1,"skipped_count":0},"pyannote":{"window_stats":[{"speech_frames":589,)"
      R"("active_slot_count":2,"overlap_frames":40}]},"evidence":{"speaker_evidence":"multi",)"
      R"("multi_window_fraction":1.0,"mean_window_overlap_share":null,"overlap_fraction":null},)"
      R"("diarization":"d"})");
}

TEST(Response, FullDiarizationFormWithoutValidIntervals) {
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

}  // namespace
}  // namespace quillfen::analyze
