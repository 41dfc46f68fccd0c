// End-to-end runs of the analyze command with the generated test models. The segmentation
// model is steered by the audio level (level k/10 at the sample a frame reads gives class k);
// the embedding model separates speakers whose amplitude-modulated tones fall into different
// mel bins. Each run is checked on its response, its payload files and its exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "analyze/json.h"
#include "request_text.h"
#include "support/paths.h"

namespace quillfen::analyze {
namespace {

namespace fs = std::filesystem;
using quillfen::testing::read_file;
using quillfen::testing::read_floats;
using quillfen::testing::write_file;
using quillfen::testing::write_floats;

// A stretch of steered audio: a constant level (class times 0.1) plus, for a speaker, a tone
// whose amplitude swings between 0 and 0.04 three times a second over a faint stationary
// noise floor. Neither changes the class (both stay below 0.05); the noise keeps the mel
// bins away from the tone steady, so that speakers with tones in different bins get
// distinct embeddings.
struct Stretch {
  double seconds;
  float level;
  double tone_hz = 0.0;
};

std::vector<float> steered_audio(const std::vector<Stretch>& stretches) {
  std::vector<float> audio;
  std::uint32_t state = 2024;
  for (const Stretch& s : stretches) {
    const auto n = static_cast<std::size_t>(std::llround(s.seconds * 16000.0));
    for (std::size_t i = 0; i < n; ++i) {
      const double t = static_cast<double>(audio.size()) / 16000.0;
      double v = s.level;
      if (s.tone_hz > 0.0) {
        state = state * 1664525u + 1013904223u;
        v += (static_cast<double>(state >> 8) / 16777216.0 - 0.5) * 0.002 +
             0.04 * std::sin(2.0 * std::numbers::pi * s.tone_hz * t) *
                 (0.5 + 0.5 * std::sin(2.0 * std::numbers::pi * 3.0 * t));
      }
      audio.push_back(static_cast<float>(v));
    }
  }
  return audio;
}

// Speakers A, B, C: tones in different mel bins.
constexpr double kA = 500.0, kB = 2500.0, kC = 5500.0;

std::string span(std::int64_t id, std::optional<double> start, std::optional<double> end) {
  std::string out = "{\"statement_id\":" + std::to_string(id);
  if (start) out += ",\"start_s\":" + json::write(json::Value(*start));
  if (end) out += ",\"end_s\":" + json::write(json::Value(*end));
  return out + "}";
}

std::string member(const json::Value& value, const std::string& path) {
  const json::Value* at = &value;
  for (std::size_t from = 0; from <= path.size();) {
    const std::size_t dot = std::min(path.find('.', from), path.size());
    at = at->is_object() ? at->as_object().find(path.substr(from, dot - from)) : nullptr;
    if (!at) return "<absent " + path + ">";
    from = dot + 1;
  }
  return json::write(*at);
}

constexpr const char* kNotRun =
    R"({"intervals":null,"valid_intervals":null,"interval_embeddings":null,"cluster_labels":null,)"
    R"("statement_labels":null,"silhouette_k":null,"effective_k":null})";

class AnalyzeRun : public ::testing::Test {
 protected:
  void SetUp() override {
    request_.str("full_audio_f32le_path", full_)
        .str("output_payload_f32le_path", statements_)
        .models(model("segmentation.onnx"), model("embedding.onnx"))
        .spans("[]", "[]");
  }
  static std::string model(const std::string& name) {
    return quillfen::testing::test_models_dir() / name;
  }
  // The same statements in both span lists unless the diarization list is given.
  void spans(const std::vector<std::string>& statements,
             std::optional<std::vector<std::string>> diarization = std::nullopt) {
    auto list = [](const std::vector<std::string>& items) {
      std::string out;
      for (const std::string& item : items) out += (out.empty() ? "" : ",") + item;
      return "[" + out + "]";
    };
    request_.spans(list(statements), list(diarization.value_or(statements)));
  }
  void interval_path(const std::string& path) {
    request_.str("interval_embedding_payload_f32le_path", path);
  }

  // Runs, expects success and returns the response.
  json::Value analyze() {
    const auto result = quillfen::testing::run_engine({}, request_.text());
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(result.out.ends_with("}\n"));
    out_ = result.out;
    auto parsed = json::parse(result.out);
    return parsed ? *parsed : json::Value();
  }
  void expect_failure(int status, const std::string& reason, const std::string& detail) {
    const auto result = quillfen::testing::run_engine({}, request_.text());
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, testing::error_line(reason, detail));
    EXPECT_EQ(result.status, status);
  }

  quillfen::testing::TempDir dir_;
  std::string full_ = dir_ / "full.f32", statements_ = dir_ / "statements.f32",
              intervals_ = dir_ / "intervals.f32", missing_ = dir_ / "missing" / "out.f32";
  testing::RequestText request_;
  std::string out_;
};

// ---------------------------------------------------------------------------------------
// Evidence and diarization

TEST_F(AnalyzeRun, SilenceGivesNoEvidenceAndTheWholeResponseIsExact) {
  write_floats(full_, std::vector<float>(200000, 0.0f));
  spans({span(1, 0.5, 2.0), span(2, std::nullopt, std::nullopt)},
        {{span(1, 0.5, 2.0), span(2, 1.0, std::nullopt)}});
  interval_path(intervals_);
  analyze();
  const std::string window = R"({"speech_frames":0,"active_slot_count":0,"overlap_frames":0})";
  EXPECT_EQ(out_, R"({"schema":"quillfen-speaker-analyze-response-v1","sample_rate_hz":16000,)"
                  R"("inputs":{"statement_embedding":{"statement_ids":[1,2],"spans":[[0.5,2.0],)"
                  R"([null,null]]},"diarization":{"statement_ids":[1,2],"spans":[[0.5,2.0],)"
                  R"([1.0,null]]}},"statement_embeddings":{"audio_buffer":"full",)"
                  R"("encoder":"wespeaker-resnet34-256","payload_format":"raw-f32le-row-major-v1",)"
                  R"("payload_path":")" +
                      statements_ +
                      R"(","dtype":"float32-le","shape":[1,256],"byte_count":1024,)"
                      R"("statement_ids":[1],"durations_s":[1.5],"admitted_count":1,)"
                      R"("skipped_count":1},"pyannote":{"window_stats":[)" +
                      window + "," + window + "," + window +
                      R"(]},"evidence":{"speaker_evidence":"none","multi_window_fraction":0.0,)"
                      R"("mean_window_overlap_share":0.0,"overlap_fraction":0.0},"diarization":)" +
                      kNotRun + "}\n");
  // Silent features give the embedding model's constant output.
  EXPECT_EQ(read_floats(statements_), std::vector<float>(256, 0.01f));
  EXPECT_FALSE(fs::exists(intervals_));
}

TEST_F(AnalyzeRun, OneSpeakerGivesSingleEvidenceAndNeverTouchesTheIntervalPath) {
  write_floats(full_, steered_audio({{14.0, 0.1f, kA}}));
  spans({span(5, 1.0, 3.0)});
  interval_path(missing_);  // could not be written
  const json::Value response = analyze();
  const std::string window = R"({"speech_frames":589,"active_slot_count":1,"overlap_frames":0})";
  EXPECT_EQ(member(response, "pyannote.window_stats"),
            "[" + window + "," + window + "," + window + "]");
  EXPECT_EQ(member(response, "evidence"),
            R"({"speaker_evidence":"single","multi_window_fraction":0.0,)"
            R"("mean_window_overlap_share":0.0,"overlap_fraction":0.0})");
  EXPECT_EQ(member(response, "diarization"), kNotRun);
  EXPECT_EQ(read_file(statements_).size(), 1024u);
}

TEST_F(AnalyzeRun, TwoSpeakersAreDiarizedWithAndWithoutIntervalPayload) {
  write_floats(full_, steered_audio({{10.0, 0.1f, kA}, {10.0, 0.2f, kB}, {10.0, 0.1f, kA}}));
  // Diarization span 2 overlaps the first interval by 1 s and the second by 2 s.
  spans(
      {span(1, 1.0, 4.0), span(2, std::nullopt, 1.0), span(3, 12.0, 14.0), span(-3, 25.0, 28.0)},
      {{span(1, 1.0, 4.0), span(2, 9.0, 12.0), span(3, 12.0, 14.0), span(-3, std::nullopt, 28.0)}});
  for (bool with_path : {true, false}) {
    SCOPED_TRACE(with_path);
    if (with_path) interval_path(intervals_);
    if (!with_path) request_.drop("interval_embedding_payload_f32le_path");
    fs::remove(intervals_);
    const json::Value response = analyze();
    EXPECT_EQ(member(response, "evidence.speaker_evidence"), "\"multi\"");
    EXPECT_EQ(member(response, "diarization.intervals"),
              R"([{"start_s":0.0,"end_s":10.0,"local_class":1},)"
              R"({"start_s":10.0,"end_s":20.0,"local_class":2},)"
              R"({"start_s":20.0,"end_s":29.999999999999996,"local_class":1}])");
    EXPECT_EQ(member(response, "diarization.valid_intervals"),
              member(response, "diarization.intervals"));
    EXPECT_EQ(member(response, "diarization.interval_embeddings"),
              with_path ? R"({"payload_path":")" + intervals_ +
                              R"(","payload_format":"raw-f32le-row-major-v1","dtype":"float32-le",)"
                              R"("shape":[3,256],"byte_count":3072,"interval_indices":[0,1,2]})"
                        : "null");
    EXPECT_EQ(member(response, "diarization.cluster_labels"), "[0,1,0]");
    EXPECT_EQ(member(response, "diarization.statement_labels"), "[1,2,2,null]");
    EXPECT_EQ(member(response, "diarization.silhouette_k"), "2");
    EXPECT_EQ(member(response, "diarization.effective_k"), "2");
    EXPECT_EQ(member(response, "statement_embeddings.statement_ids"), "[1,3,-3]");
    EXPECT_EQ(member(response, "statement_embeddings.durations_s"), "[3.0,2.0,3.0]");
    EXPECT_EQ(read_floats(statements_).size(), 3u * 256u);
    EXPECT_EQ(fs::exists(intervals_), with_path);
    if (with_path) {
      EXPECT_EQ(read_floats(intervals_).size(), 3u * 256u);
    }
  }
}

TEST_F(AnalyzeRun, ThreeSpeakersAreClusteredByVoiceNotBySlot) {
  // The second half gives each speaker another local slot.
  write_floats(full_, steered_audio({{6.0, 0.1f, kA},
                                     {6.0, 0.2f, kB},
                                     {6.0, 0.3f, kC},
                                     {6.0, 0.2f, kA},
                                     {6.0, 0.3f, kB},
                                     {6.0, 0.1f, kC}}));
  std::vector<std::string> list;
  for (int i = 0; i < 6; ++i) list.push_back(span(i, 6.0 * i + 1.0, 6.0 * i + 5.0));
  spans(list);
  interval_path(intervals_);
  const json::Value response = analyze();
  std::string classes;
  for (const json::Value& interval :
       response.as_object().find("diarization")->as_object().find("intervals")->as_array()) {
    classes += member(interval, "local_class");
  }
  EXPECT_EQ(classes, "123231");
  EXPECT_EQ(member(response, "diarization.cluster_labels"), "[0,1,2,0,1,2]");
  EXPECT_EQ(member(response, "diarization.statement_labels"), "[1,2,3,1,2,3]");
  EXPECT_EQ(member(response, "diarization.silhouette_k"), "3");
  EXPECT_EQ(member(response, "diarization.effective_k"), "3");
  // Same-speaker rows are close, rows of different speakers are not.
  const std::vector<float> rows = read_floats(intervals_);
  ASSERT_EQ(rows.size(), 6u * 256u);
  for (std::size_t a = 0; a < 6; ++a) {
    for (std::size_t b = a + 1; b < 6; ++b) {
      double dot = 0, na = 0, nb = 0;
      for (std::size_t i = 0; i < 256; ++i) {
        dot += double(rows[a * 256 + i]) * rows[b * 256 + i];
        na += double(rows[a * 256 + i]) * rows[a * 256 + i];
        nb += double(rows[b * 256 + i]) * rows[b * 256 + i];
      }
      const double cosine = dot / std::sqrt(na * nb);
      EXPECT_TRUE(a % 3 == b % 3 ? cosine > 0.95 : cosine < 0.5) << a << b << " " << cosine;
    }
  }
}

TEST_F(AnalyzeRun, MultiEvidenceWithoutIntervals) {
  // Overlap everywhere: multi evidence, but no frame has one confident speaker.
  write_floats(full_, steered_audio({{12.0, 0.5f}}));
  interval_path(intervals_);
  const json::Value response = analyze();
  EXPECT_EQ(member(response, "evidence.speaker_evidence"), "\"multi\"");
  EXPECT_EQ(member(response, "evidence.overlap_fraction"), "1.0");
  EXPECT_EQ(member(response, "diarization"),
            R"({"intervals":[],"valid_intervals":null,"interval_embeddings":null,)"
            R"("cluster_labels":null,"statement_labels":null,"silhouette_k":null,)"
            R"("effective_k":null})");
  EXPECT_FALSE(fs::exists(intervals_));
}

// ---------------------------------------------------------------------------------------
// Audio of each stage, recording lengths, statements

TEST_F(AnalyzeRun, StatementsComeFromTheReducedAudioEverythingElseFromTheFullAudio) {
  write_floats(full_, steered_audio({{10.0, 0.1f, kA}, {10.0, 0.2f, kB}}));
  spans({span(1, 2.0, 5.0)});
  interval_path(intervals_);
  const json::Value from_full = analyze();
  EXPECT_EQ(member(from_full, "statement_embeddings.audio_buffer"), "\"full\"");
  EXPECT_NE(read_floats(statements_), std::vector<float>(256, 0.01f));

  // Silent (and shorter) reduced audio: the statement gets the constant embedding.
  write_floats(dir_ / "reduced.f32", std::vector<float>(100000, 0.0f));
  request_.str("reduced_audio_f32le_path", dir_ / "reduced.f32");
  const json::Value from_reduced = analyze();
  EXPECT_EQ(member(from_reduced, "statement_embeddings.audio_buffer"), "\"reduced\"");
  EXPECT_EQ(read_floats(statements_), std::vector<float>(256, 0.01f));
  for (const char* key : {"pyannote", "evidence", "diarization"}) {
    EXPECT_EQ(member(from_reduced, key), member(from_full, key)) << key;
  }
  EXPECT_EQ(read_floats(intervals_).size(), 2u * 256u);
}

TEST_F(AnalyzeRun, NoAdmittedStatementWritesAnEmptyPayload) {
  write_floats(full_, steered_audio({{12.0, 0.1f, kA}}));
  write_file(statements_, "stale bytes");
  spans({span(1, 1.0, 1.29), span(2, std::nullopt, 3.0), span(3, 11.9, 20.0), span(4, 5.0, 2.0)});
  const json::Value response = analyze();
  EXPECT_EQ(member(response, "statement_embeddings.shape"), "[0,256]");
  EXPECT_EQ(member(response, "statement_embeddings.byte_count"), "0");
  EXPECT_EQ(member(response, "statement_embeddings.admitted_count"), "0");
  EXPECT_EQ(member(response, "statement_embeddings.skipped_count"), "4");
  EXPECT_EQ(read_file(statements_), "");
}

// Statistics the test segmentation model gives the window at `start` of the padded audio:
// frame f reads sample start + floor((80000 * (2f + 1)) / 589).
std::string steered_window_stats(const std::vector<float>& audio, std::size_t start) {
  std::vector<std::uint64_t> counts(7, 0);
  for (std::size_t f = 0; f < 589; ++f) {
    const std::size_t at = start + (80000 * (2 * f + 1)) / 589;
    const float level = std::nearbyint((at < audio.size() ? audio[at] : 0.0f) * 10.0f);
    ++counts[static_cast<std::size_t>(std::clamp(level, 0.0f, 6.0f))];
  }
  const std::uint64_t speech = 589 - counts[0];
  std::uint64_t active = 0;
  for (std::size_t c = 1; c <= 3; ++c) active += speech > 0 && counts[c] * 10 >= speech;
  return R"({"speech_frames":)" + std::to_string(speech) + R"(,"active_slot_count":)" +
         std::to_string(active) + R"(,"overlap_frames":)" +
         std::to_string(counts[4] + counts[5] + counts[6]) + "}";
}

TEST_F(AnalyzeRun, RecordingsOfEveryLengthAndTheirWindowStatistics) {
  const std::vector<float> levels = steered_audio(
      {{3.125, 0.1f}, {4.375, 0.0f}, {1.875, 0.5f}, {4.625, 0.3f}});  // 224000 samples
  const std::vector<std::pair<std::size_t, std::vector<std::size_t>>> cases = {
      {0, {0}},
      {1, {0}},
      {50000, {0}},
      {160000, {0}},
      {160001, {0, 1}},
      {200000, {0, 32000, 40000}},
      {224000, {0, 32000, 64000}}};
  spans({span(1, 0.0, 20.0)});
  for (const auto& [length, starts] : cases) {
    SCOPED_TRACE(length);
    const std::vector<float> audio(levels.begin(), levels.begin() + length);
    write_floats(full_, audio);
    std::string expected;
    for (std::size_t start : starts) {
      if (!expected.empty()) expected += ',';
      expected += steered_window_stats(audio, start);
    }
    const json::Value response = analyze();
    EXPECT_EQ(member(response, "pyannote.window_stats"), "[" + expected + "]");
    // A statement needs 0.3 s of audio.
    EXPECT_EQ(member(response, "statement_embeddings.admitted_count"), length >= 4800 ? "1" : "0");
  }
}

TEST_F(AnalyzeRun, LongRecording) {
  // Three minutes, speakers alternating every 20 s: 86 windows, 9 intervals.
  std::vector<Stretch> stretches;
  std::vector<std::string> list;
  for (int i = 0; i < 9; ++i) {
    stretches.push_back(i % 2 == 0 ? Stretch{20.0, 0.1f, kA} : Stretch{20.0, 0.2f, kB});
    list.push_back(span(i, 20.0 * i + 2.0, 20.0 * i + 12.0));
  }
  write_floats(full_, steered_audio(stretches));
  spans(list);
  interval_path(intervals_);
  const json::Value response = analyze();
  EXPECT_EQ(
      response.as_object().find("pyannote")->as_object().find("window_stats")->as_array().size(),
      86u);
  EXPECT_EQ(member(response, "diarization.cluster_labels"), "[0,1,0,1,0,1,0,1,0]");
  EXPECT_EQ(member(response, "diarization.statement_labels"), "[1,2,1,2,1,2,1,2,1]");
  EXPECT_EQ(read_floats(intervals_).size(), 9u * 256u);
}

// ---------------------------------------------------------------------------------------
// Errors (the checks before any model is opened are covered with the front end)

TEST_F(AnalyzeRun, ModelsRefusedWhenOpeningNameTheirRequestKeyPyannoteFirst) {
  write_floats(full_, std::vector<float>(1000, 0.0f));
  const std::string garbage = model("garbage.onnx");
  const std::string not_a_model =
      " could not be opened as an ONNX model: speaker ONNX Runtime "
      "error: Load model from " +
      garbage + " failed:Protobuf parsing failed.";
  request_.models(garbage, garbage);
  expect_failure(69, "model-invalid", "pyannote_segmentation_onnx_path" + not_a_model);
  request_.models(model("segmentation.onnx"), garbage);
  expect_failure(69, "model-invalid", "wespeaker_onnx_path" + not_a_model);
  request_.models(model("seg_input_name.onnx"), model("emb_wrong_bins.onnx"));
  expect_failure(69, "model-io-mismatch",
                 "pyannote_segmentation_onnx_path has unsupported ONNX input/output shape: "
                 "speaker ONNX model IO mismatch: input name \"waveform\" is not "
                 "\"input_values\"");
  request_.models(model("segmentation.onnx"), model("emb_wrong_bins.onnx"));
  expect_failure(69, "model-io-mismatch",
                 "wespeaker_onnx_path has unsupported ONNX input/output shape: speaker ONNX model "
                 "IO mismatch: input \"feats\" dim 2 is 64, not 80");
}

TEST_F(AnalyzeRun, InterfaceMismatchWhileRunningNamesTheSpeakerModelAndTouchesNoOutput) {
  write_floats(full_, steered_audio({{10.0, 0.1f, kA}, {10.0, 0.2f, kB}}));
  write_file(statements_, "keep");
  write_file(intervals_, "keep too");
  interval_path(intervals_);
  request_.models(model("seg_588_frames.onnx"), model("embedding.onnx"));
  expect_failure(69, "model-io-mismatch",
                 "speaker model has unsupported ONNX input/output shape: speaker ONNX model IO "
                 "mismatch: output shape [1, 588, 7] is not [1, 589, 7]");
  // The embedding model fails on the first statement, or on the first interval without one.
  const std::string two_rows =
      "speaker model has unsupported ONNX input/output shape: speaker ONNX model IO mismatch: "
      "output shape [2, 256] is not [1, 256]";
  request_.models(model("segmentation.onnx"), model("emb_two_rows.onnx"));
  spans({span(1, 1.0, 2.0)});
  expect_failure(69, "model-io-mismatch", two_rows);
  spans({});
  expect_failure(69, "model-io-mismatch", two_rows);
  EXPECT_EQ(read_file(statements_), "keep");
  EXPECT_EQ(read_file(intervals_), "keep too");
}

TEST_F(AnalyzeRun, RuntimeFailuresNameTheRun) {
  write_floats(full_, steered_audio({{10.0, 0.1f, kA}, {10.0, 0.2f, kB}}));
  interval_path(intervals_);
  request_.models(model("seg_run_fails.onnx"), model("embedding.onnx"));
  expect_failure(75, "onnx-runtime-error",
                 "pyannote segmentation failed: speaker ONNX Runtime error: Non-zero status code "
                 "returned while running Gather node. Name:'' Status Message: indices element out "
                 "of data bounds, idx=10 must be within the inclusive range [-2,1]");

  const auto reshape_failure = [](const std::string& label, std::size_t frames) {
    return label +
           " failed: speaker ONNX Runtime error: Non-zero status code returned while running "
           "Reshape node. Name:'' Status Message: "
           "/onnxruntime_src/onnxruntime/core/providers/cpu/tensor/reshape_helper.h:39 "
           "onnxruntime::ReshapeHelper::ReshapeHelper(const onnxruntime::TensorShape&, "
           "onnxruntime::TensorShapeVector&, bool) size != 0 && (input_shape_size % size) == 0 "
           "was false. The input tensor cannot be reshaped to the requested shape. Input "
           "shape:{1," +
           std::to_string(frames) + ",80}, requested shape:{-1,560}\n";
  };
  request_.models(model("segmentation.onnx"), model("emb_run_fails.onnx"));
  // 28250 samples give 175 frames, which run; 32000 samples give 198 frames, which fail.
  spans({span(1, 1.0, 2.765625), span(2, 3.0, 5.0)});
  expect_failure(75, "onnx-runtime-error", reshape_failure("wespeaker statement embedding", 198));
  // Without statements the first interval (10 s, 998 frames) fails.
  spans({});
  expect_failure(75, "onnx-runtime-error", reshape_failure("wespeaker interval embedding", 998));
  EXPECT_FALSE(fs::exists(statements_));
  EXPECT_FALSE(fs::exists(intervals_));
}

TEST_F(AnalyzeRun, UnwritableOutputsAreReportedAfterTheAnalysis) {
  write_floats(full_, steered_audio({{10.0, 0.1f, kA}, {10.0, 0.2f, kB}}));
  spans({span(1, 1.0, 4.0)});
  const std::string unwritable = "output payload path \"" + missing_ +
                                 "\" is unwritable: No such file or directory (os error 2); "
                                 "non-zero exit means payloads must not be trusted";
  request_.str("output_payload_f32le_path", missing_);
  expect_failure(75, "output-unwritable", unwritable);
  // The statement payload is written first, then the interval payload fails.
  request_.str("output_payload_f32le_path", statements_);
  interval_path(missing_);
  expect_failure(75, "output-unwritable", unwritable);
  EXPECT_EQ(fs::file_size(statements_), 1024u);

  // An interval path that names the engine's standard input is refused before the statement
  // payload is written.
  write_file(statements_, "kept");
  interval_path("/dev/stdin");
  expect_failure(75, "output-unwritable",
                 "output payload path \"/dev/stdin\" is unwritable: it is the engine's standard "
                 "input; non-zero exit means payloads must not be trusted");
  EXPECT_EQ(read_file(statements_), "kept");
}

}  // namespace
}  // namespace quillfen::analyze
