// End-to-end runs of the analyze command with the generated test models. The segmentation
// model is steered by the audio level (level k/10 at the sample a frame reads gives class k);
// the embedding model separates speakers whose amplitude-modulated tones fall into different
// mel bins. Each run is checked on its response, its payload files and its exit status.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "analyze/json.h"
#include "request_text.h"
#include "speakers/segmentation.h"
#include "support/paths.h"

namespace quillfen::analyze {
namespace {

namespace fs = std::filesystem;
using quillfen::testing::ProcessResult;
using quillfen::testing::read_file;
using quillfen::testing::read_floats;
using quillfen::testing::run_engine;
using quillfen::testing::TempDir;
using quillfen::testing::test_models_dir;
using quillfen::testing::write_file;
using quillfen::testing::write_floats;
using testing::error_line;
using testing::RequestText;

// One stretch of steered audio: a constant level (the segmentation class times 0.1) plus,
// for a speaker, a tone of tone_hz whose amplitude swings between 0 and 0.04 three times a
// second over a faint stationary noise floor. Neither changes the class (they stay below
// 0.05); the noise keeps the mel bins away from the tone steady, so that only the tone's
// bins vary over time and speakers with tones in different bins get distinct embeddings.
struct Stretch {
  double seconds;
  float level;
  double tone_hz = 0.0;
};

std::vector<float> steered_audio(const std::vector<Stretch>& stretches) {
  std::vector<float> audio;
  std::uint32_t noise_state = 2024;
  for (const Stretch& s : stretches) {
    const auto n = static_cast<std::size_t>(std::llround(s.seconds * 16000.0));
    for (std::size_t i = 0; i < n; ++i) {
      const double t = static_cast<double>(audio.size()) / 16000.0;
      double v = s.level;
      if (s.tone_hz > 0.0) {
        noise_state = noise_state * 1664525u + 1013904223u;
        const double noise = (static_cast<double>(noise_state >> 8) / 16777216.0 - 0.5) * 0.002;
        v += noise + 0.04 * std::sin(2.0 * std::numbers::pi * s.tone_hz * t) *
                         (0.5 + 0.5 * std::sin(2.0 * std::numbers::pi * 3.0 * t));
      }
      audio.push_back(static_cast<float>(v));
    }
  }
  return audio;
}

std::string span_json(std::int64_t id, std::optional<double> start, std::optional<double> end) {
  std::string out = "{\"statement_id\":" + std::to_string(id);
  if (start) out += ",\"start_s\":" + json::write(json::Value(*start));
  if (end) out += ",\"end_s\":" + json::write(json::Value(*end));
  return out + "}";
}

class AnalyzeRun : public ::testing::Test {
 protected:
  void SetUp() override {
    request_.str("full_audio_f32le_path", full_.string())
        .str("output_payload_f32le_path", statements_.string())
        .models(model("segmentation.onnx"), model("embedding.onnx"))
        .spans("[]", "[]");
  }

  static std::string model(const std::string& name) { return (test_models_dir() / name).string(); }

  // Both span lists carry the same ids; the diarization list may have other times.
  void spans(const std::vector<std::string>& statement_spans,
             const std::vector<std::string>& diarization_spans) {
    auto list = [](const std::vector<std::string>& items) {
      std::string out = "[";
      for (std::size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
      return out + "]";
    };
    request_.spans(list(statement_spans), list(diarization_spans));
  }
  void with_interval_path() {
    request_.str("interval_embedding_payload_f32le_path", intervals_.string());
  }

  ProcessResult run() { return run_engine({}, request_.text()); }

  // Runs and expects success; returns the parsed response.
  json::Object analyze() {
    const ProcessResult result = run();
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(!result.out.empty() && result.out.back() == '\n');
    auto parsed = json::parse(result.out);
    EXPECT_TRUE(parsed) << result.out;
    if (!parsed || !parsed->is_object()) return {};
    last_out_ = result.out;
    return parsed->as_object();
  }

  void expect_failure(int status, const std::string& reason, const std::string& detail) {
    const ProcessResult result = run();
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, error_line(reason, detail));
    EXPECT_EQ(result.status, status);
  }

  TempDir dir_;
  fs::path full_ = dir_ / "full.f32";
  fs::path statements_ = dir_ / "statements.f32";
  fs::path intervals_ = dir_ / "intervals.f32";
  RequestText request_;
  std::string last_out_;
};

std::string member(const json::Object& object, const std::string& key) {
  const json::Value* value = object.find(key);
  return value ? json::write(*value) : "<absent>";
}

const json::Object& object_at(const json::Object& object, const std::string& key) {
  static const json::Object empty;
  const json::Value* value = object.find(key);
  return value && value->is_object() ? value->as_object() : empty;
}

constexpr const char* kNotRun =
    R"({"intervals":null,"valid_intervals":null,"interval_embeddings":null,"cluster_labels":null,)"
    R"("statement_labels":null,"silhouette_k":null,"effective_k":null})";

// ---------------------------------------------------------------------------------------
// Evidence

TEST_F(AnalyzeRun, SilenceGivesNoEvidenceAndTheWholeResponseIsExact) {
  write_floats(full_, std::vector<float>(200000, 0.0f));
  spans({span_json(1, 0.5, 2.0), span_json(2, std::nullopt, std::nullopt)},
        {span_json(1, 0.5, 2.0), span_json(2, 1.0, std::nullopt)});
  with_interval_path();
  analyze();
  const std::string window = R"({"speech_frames":0,"active_slot_count":0,"overlap_frames":0})";
  EXPECT_EQ(last_out_,
            R"({"schema":"quillfen-speaker-analyze-response-v1","sample_rate_hz":16000,)"
            R"("inputs":{"statement_embedding":{"statement_ids":[1,2],"spans":[[0.5,2.0],)"
            R"([null,null]]},"diarization":{"statement_ids":[1,2],"spans":[[0.5,2.0],)"
            R"([1.0,null]]}},"statement_embeddings":{"audio_buffer":"full",)"
            R"("encoder":"wespeaker-resnet34-256","payload_format":"raw-f32le-row-major-v1",)"
            R"("payload_path":")" +
                statements_.string() +
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

TEST_F(AnalyzeRun, OneSpeakerGivesSingleEvidenceAndNoDiarization) {
  write_floats(full_, steered_audio({{14.0, 0.1f, 700.0}}));
  spans({span_json(5, 1.0, 3.0)}, {span_json(5, 1.0, 3.0)});
  with_interval_path();
  const json::Object response = analyze();
  const std::string window = R"({"speech_frames":589,"active_slot_count":1,"overlap_frames":0})";
  EXPECT_EQ(member(response, "pyannote"),
            R"({"window_stats":[)" + window + "," + window + "," + window + "]}");
  EXPECT_EQ(member(response, "evidence"),
            R"({"speaker_evidence":"single","multi_window_fraction":0.0,)"
            R"("mean_window_overlap_share":0.0,"overlap_fraction":0.0})");
  EXPECT_EQ(member(response, "diarization"), kNotRun);
  EXPECT_EQ(read_file(statements_).size(), 1024u);
  EXPECT_FALSE(fs::exists(intervals_));
}

// Speakers A, B, C: tones in different mel bins.
constexpr double kToneA = 500.0;
constexpr double kToneB = 2500.0;
constexpr double kToneC = 5500.0;

TEST_F(AnalyzeRun, TwoSpeakersAreDiarizedAndLabelled) {
  write_floats(full_,
               steered_audio({{10.0, 0.1f, kToneA}, {10.0, 0.2f, kToneB}, {10.0, 0.1f, kToneA}}));
  spans({span_json(1, 1.0, 4.0), span_json(2, std::nullopt, 1.0), span_json(3, 12.0, 14.0),
         span_json(-3, 25.0, 28.0)},
        {span_json(1, 1.0, 4.0), span_json(2, 9.0, 12.0), span_json(3, 12.0, 14.0),
         span_json(-3, std::nullopt, 28.0)});
  with_interval_path();
  const json::Object response = analyze();
  EXPECT_EQ(object_at(response, "evidence").find("speaker_evidence")->as_string(), "multi");
  const json::Object& d = object_at(response, "diarization");
  EXPECT_EQ(member(d, "intervals"),
            R"([{"start_s":0.0,"end_s":10.0,"local_class":1},)"
            R"({"start_s":10.0,"end_s":20.0,"local_class":2},)"
            R"({"start_s":20.0,"end_s":29.999999999999996,"local_class":1}])");
  EXPECT_EQ(member(d, "valid_intervals"), member(d, "intervals"));
  EXPECT_EQ(member(d, "interval_embeddings"),
            R"({"payload_path":")" + intervals_.string() +
                R"(","payload_format":"raw-f32le-row-major-v1","dtype":"float32-le",)"
                R"("shape":[3,256],"byte_count":3072,"interval_indices":[0,1,2]})");
  EXPECT_EQ(member(d, "cluster_labels"), "[0,1,0]");
  // Statement 2 overlaps the first interval by 1 s and the second by 2 s.
  EXPECT_EQ(member(d, "statement_labels"), "[1,2,2,null]");
  EXPECT_EQ(member(d, "silhouette_k"), "2");
  EXPECT_EQ(member(d, "effective_k"), "2");

  const json::Object& s = object_at(response, "statement_embeddings");
  EXPECT_EQ(member(s, "statement_ids"), "[1,3,-3]");
  EXPECT_EQ(member(s, "durations_s"), "[3.0,2.0,3.0]");
  EXPECT_EQ(member(s, "skipped_count"), "1");
  EXPECT_EQ(read_floats(statements_).size(), 3u * 256u);
  EXPECT_EQ(read_floats(intervals_).size(), 3u * 256u);
}

TEST_F(AnalyzeRun, WithoutIntervalPathTheClustersAreStillReported) {
  write_floats(full_,
               steered_audio({{10.0, 0.1f, kToneA}, {10.0, 0.2f, kToneB}, {10.0, 0.1f, kToneA}}));
  spans({span_json(1, 12.0, 14.0)}, {span_json(1, 12.0, 14.0)});
  const json::Object d = object_at(analyze(), "diarization");
  EXPECT_EQ(member(d, "interval_embeddings"), "null");
  EXPECT_EQ(member(d, "cluster_labels"), "[0,1,0]");
  EXPECT_EQ(member(d, "statement_labels"), "[2]");
  EXPECT_FALSE(fs::exists(intervals_));
}

TEST_F(AnalyzeRun, ThreeSpeakersAreClusteredByVoiceNotBySlot) {
  // The second half gives each speaker another local slot.
  write_floats(full_, steered_audio({{6.0, 0.1f, kToneA},
                                     {6.0, 0.2f, kToneB},
                                     {6.0, 0.3f, kToneC},
                                     {6.0, 0.2f, kToneA},
                                     {6.0, 0.3f, kToneB},
                                     {6.0, 0.1f, kToneC}}));
  std::vector<std::string> list;
  for (int i = 0; i < 6; ++i) list.push_back(span_json(i, 6.0 * i + 1.0, 6.0 * i + 5.0));
  spans(list, list);
  with_interval_path();
  const json::Object d = object_at(analyze(), "diarization");
  const json::Array& intervals = d.find("intervals")->as_array();
  ASSERT_EQ(intervals.size(), 6u);
  std::string classes;
  for (const json::Value& interval : intervals) {
    classes += member(interval.as_object(), "local_class");
  }
  EXPECT_EQ(classes, "123231");
  EXPECT_EQ(member(d, "cluster_labels"), "[0,1,2,0,1,2]");
  EXPECT_EQ(member(d, "statement_labels"), "[1,2,3,1,2,3]");
  EXPECT_EQ(member(d, "silhouette_k"), "3");
  EXPECT_EQ(member(d, "effective_k"), "3");
  // Rows of the same speaker are close, rows of different speakers are not.
  const std::vector<float> rows = read_floats(intervals_);
  ASSERT_EQ(rows.size(), 6u * 256u);
  auto cosine = [&](std::size_t a, std::size_t b) {
    double dot = 0, na = 0, nb = 0;
    for (std::size_t i = 0; i < 256; ++i) {
      dot += double(rows[a * 256 + i]) * rows[b * 256 + i];
      na += double(rows[a * 256 + i]) * rows[a * 256 + i];
      nb += double(rows[b * 256 + i]) * rows[b * 256 + i];
    }
    return dot / std::sqrt(na * nb);
  };
  for (std::size_t a = 0; a < 6; ++a) {
    for (std::size_t b = a + 1; b < 6; ++b) {
      if (a % 3 == b % 3) {
        EXPECT_GT(cosine(a, b), 0.95) << a << " " << b;
      } else {
        EXPECT_LT(cosine(a, b), 0.5) << a << " " << b;
      }
    }
  }
}

TEST_F(AnalyzeRun, MultiEvidenceWithoutIntervals) {
  // Overlap everywhere: multi evidence, but no frame is a single confident speaker.
  write_floats(full_, steered_audio({{12.0, 0.5f}}));
  with_interval_path();
  const json::Object response = analyze();
  EXPECT_EQ(member(object_at(response, "evidence"), "speaker_evidence"), "\"multi\"");
  EXPECT_EQ(member(object_at(response, "evidence"), "overlap_fraction"), "1.0");
  EXPECT_EQ(member(response, "diarization"),
            R"({"intervals":[],"valid_intervals":null,"interval_embeddings":null,)"
            R"("cluster_labels":null,"statement_labels":null,"silhouette_k":null,)"
            R"("effective_k":null})");
  EXPECT_FALSE(fs::exists(intervals_));
}

// ---------------------------------------------------------------------------------------
// Audio used by each stage, recording lengths, statements

TEST_F(AnalyzeRun, StatementsComeFromTheReducedAudioEverythingElseFromTheFullAudio) {
  write_floats(full_, steered_audio({{10.0, 0.1f, kToneA}, {10.0, 0.2f, kToneB}}));
  spans({span_json(1, 2.0, 5.0)}, {span_json(1, 2.0, 5.0)});
  with_interval_path();
  const json::Object without_reduced = analyze();
  const std::vector<float> full_rows = read_floats(statements_);

  // The reduced audio is silent (and shorter): its statement embedding is the constant one.
  const fs::path reduced = dir_ / "reduced.f32";
  write_floats(reduced, std::vector<float>(100000, 0.0f));
  request_.str("reduced_audio_f32le_path", reduced.string());
  const json::Object with_reduced = analyze();
  EXPECT_EQ(member(object_at(with_reduced, "statement_embeddings"), "audio_buffer"), "\"reduced\"");
  EXPECT_EQ(member(object_at(without_reduced, "statement_embeddings"), "audio_buffer"), "\"full\"");
  EXPECT_EQ(read_floats(statements_), std::vector<float>(256, 0.01f));
  EXPECT_NE(full_rows, std::vector<float>(256, 0.01f));
  for (const char* key : {"pyannote", "evidence", "diarization"}) {
    EXPECT_EQ(member(with_reduced, key), member(without_reduced, key)) << key;
  }
  EXPECT_EQ(read_floats(intervals_).size(), 2u * 256u);
}

TEST_F(AnalyzeRun, NoAdmittedStatementWritesAnEmptyPayload) {
  write_floats(full_, steered_audio({{12.0, 0.1f, kToneA}}));
  write_file(statements_, "stale bytes");
  spans({span_json(1, 1.0, 1.29), span_json(2, std::nullopt, 3.0), span_json(3, 11.9, 20.0),
         span_json(4, 5.0, 2.0)},
        {span_json(1, 1.0, 1.29), span_json(2, 1.0, 3.0), span_json(3, 11.9, 20.0),
         span_json(4, 5.0, 2.0)});
  const json::Object s = object_at(analyze(), "statement_embeddings");
  EXPECT_EQ(member(s, "shape"), "[0,256]");
  EXPECT_EQ(member(s, "byte_count"), "0");
  EXPECT_EQ(member(s, "statement_ids"), "[]");
  EXPECT_EQ(member(s, "admitted_count"), "0");
  EXPECT_EQ(member(s, "skipped_count"), "4");
  ASSERT_TRUE(fs::exists(statements_));
  EXPECT_EQ(fs::file_size(statements_), 0u);
}

// The class the test segmentation model gives a sample, and the statistics it therefore
// reports for the window starting at `start` of the padded audio.
std::size_t steered_class(float x) {
  const float r = std::nearbyint(x * 10.0f);
  return r < 0.0f ? 0 : r > 6.0f ? 6 : static_cast<std::size_t>(r);
}

std::string expected_window(const std::vector<float>& audio, std::size_t start) {
  std::vector<std::uint64_t> counts(7, 0);
  for (std::size_t f = 0; f < 589; ++f) {
    const std::size_t at = start + (80000 * (2 * f + 1)) / 589;
    ++counts[steered_class(at < audio.size() ? audio[at] : 0.0f)];
  }
  const std::uint64_t speech = 589 - counts[0];
  std::uint64_t active = 0;
  for (std::size_t c = 1; c <= 3; ++c) {
    if (speech > 0 && double(counts[c]) / double(speech) >= 0.1) ++active;
  }
  return R"({"speech_frames":)" + std::to_string(speech) + R"(,"active_slot_count":)" +
         std::to_string(active) + R"(,"overlap_frames":)" +
         std::to_string(counts[4] + counts[5] + counts[6]) + "}";
}

TEST_F(AnalyzeRun, WindowStatisticsFollowTheWindowPlacement) {
  const std::vector<float> levels = steered_audio({{50000 / 16000.0, 0.1f},
                                                   {70000 / 16000.0, 0.0f},
                                                   {30000 / 16000.0, 0.5f},
                                                   {74000 / 16000.0, 0.3f}});
  ASSERT_EQ(levels.size(), 224000u);
  const std::vector<std::pair<std::size_t, std::vector<std::size_t>>> cases = {
      {0, {0}}, {160000, {0}}, {200000, {0, 32000, 40000}}, {224000, {0, 32000, 64000}}};
  for (const auto& [length, starts] : cases) {
    SCOPED_TRACE(length);
    const std::vector<float> audio(levels.begin(), levels.begin() + length);
    write_floats(full_, audio);
    std::string expected = R"({"window_stats":[)";
    for (std::size_t i = 0; i < starts.size(); ++i) {
      expected += (i ? "," : "") + expected_window(audio, starts[i]);
    }
    EXPECT_EQ(member(analyze(), "pyannote"), expected + "]}");
  }
}

TEST_F(AnalyzeRun, RecordingsOfEveryLengthAreAnalysed) {
  struct Case {
    std::size_t samples;
    std::size_t windows;
  };
  for (const Case& c : {Case{0, 1}, Case{1, 1}, Case{50000, 1}, Case{160000, 1}, Case{160001, 2},
                        Case{200000, 3}}) {
    SCOPED_TRACE(c.samples);
    std::vector<float> audio = steered_audio({{c.samples / 16000.0, 0.2f, kToneB}});
    write_floats(full_, audio);
    spans({span_json(1, 0.0, 20.0)}, {span_json(1, 0.0, 20.0)});
    const json::Object response = analyze();
    EXPECT_EQ(object_at(response, "pyannote").find("window_stats")->as_array().size(), c.windows);
    // A statement needs 0.3 s of audio.
    EXPECT_EQ(member(object_at(response, "statement_embeddings"), "admitted_count"),
              c.samples >= 4800 ? "1" : "0");
  }
}

TEST_F(AnalyzeRun, LongRecording) {
  // Three minutes, speakers alternating every 20 s: 86 windows.
  std::vector<Stretch> stretches;
  for (int i = 0; i < 9; ++i) {
    stretches.push_back(i % 2 == 0 ? Stretch{20.0, 0.1f, kToneA} : Stretch{20.0, 0.2f, kToneB});
  }
  write_floats(full_, steered_audio(stretches));
  std::vector<std::string> list;
  for (int i = 0; i < 9; ++i) list.push_back(span_json(i, 20.0 * i + 2.0, 20.0 * i + 12.0));
  spans(list, list);
  with_interval_path();
  const json::Object response = analyze();
  EXPECT_EQ(object_at(response, "pyannote").find("window_stats")->as_array().size(), 86u);
  const json::Object& d = object_at(response, "diarization");
  EXPECT_EQ(member(d, "cluster_labels"), "[0,1,0,1,0,1,0,1,0]");
  EXPECT_EQ(member(d, "statement_labels"), "[1,2,1,2,1,2,1,2,1]");
  EXPECT_NEAR(d.find("intervals")->as_array().back().as_object().find("end_s")->number_as_double(),
              180.0, 1e-9);
}

// ---------------------------------------------------------------------------------------
// Errors

TEST_F(AnalyzeRun, ModelsThatCannotBeLoaded) {
  write_floats(full_, std::vector<float>(1000, 0.0f));
  const std::string garbage = model("garbage.onnx");
  request_.models(garbage, garbage);
  expect_failure(69, "model-invalid",
                 "pyannote_segmentation_onnx_path could not be opened as an ONNX model: speaker "
                 "ONNX Runtime error: Load model from " +
                     garbage + " failed:Protobuf parsing failed.");
  request_.models(model("segmentation.onnx"), garbage);
  expect_failure(69, "model-invalid",
                 "wespeaker_onnx_path could not be opened as an ONNX model: speaker ONNX Runtime "
                 "error: Load model from " +
                     garbage + " failed:Protobuf parsing failed.");
}

TEST_F(AnalyzeRun, ModelInterfaceMismatchWhenOpeningNamesTheRequestKey) {
  write_floats(full_, std::vector<float>(1000, 0.0f));
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

TEST_F(AnalyzeRun, ModelInterfaceMismatchWhileRunningNamesTheSpeakerModel) {
  write_floats(full_, steered_audio({{10.0, 0.1f, kToneA}, {10.0, 0.2f, kToneB}}));
  write_file(statements_, "keep");
  with_interval_path();
  write_file(intervals_, "keep too");
  request_.models(model("seg_588_frames.onnx"), model("embedding.onnx"));
  expect_failure(69, "model-io-mismatch",
                 "speaker model has unsupported ONNX input/output shape: speaker ONNX model IO "
                 "mismatch: output shape [1, 588, 7] is not [1, 589, 7]");

  // The embedding model fails on the first statement, or on the first interval when there
  // is no statement.
  request_.models(model("segmentation.onnx"), model("emb_two_rows.onnx"));
  spans({span_json(1, 1.0, 2.0)}, {span_json(1, 1.0, 2.0)});
  const std::string two_rows =
      "speaker model has unsupported ONNX input/output shape: speaker ONNX model IO mismatch: "
      "output shape [2, 256] is not [1, 256]";
  expect_failure(69, "model-io-mismatch", two_rows);
  spans({}, {});
  expect_failure(69, "model-io-mismatch", two_rows);

  // A failed analysis leaves every output path untouched.
  EXPECT_EQ(read_file(statements_), "keep");
  EXPECT_EQ(read_file(intervals_), "keep too");
}

TEST_F(AnalyzeRun, RuntimeFailuresNameTheRun) {
  write_floats(full_, steered_audio({{10.0, 0.1f, kToneA}, {10.0, 0.2f, kToneB}}));
  with_interval_path();
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
  spans({span_json(1, 1.0, 2.765625), span_json(2, 3.0, 5.0)},
        {span_json(1, 1.0, 2.765625), span_json(2, 3.0, 5.0)});
  expect_failure(75, "onnx-runtime-error", reshape_failure("wespeaker statement embedding", 198));
  // Without statements the first interval (10 s, 998 frames) fails.
  spans({}, {});
  expect_failure(75, "onnx-runtime-error", reshape_failure("wespeaker interval embedding", 998));
  EXPECT_FALSE(fs::exists(statements_));
  EXPECT_FALSE(fs::exists(intervals_));
}

TEST_F(AnalyzeRun, UnwritableOutputsAreReportedAfterTheAnalysis) {
  write_floats(full_, steered_audio({{10.0, 0.1f, kToneA}, {10.0, 0.2f, kToneB}}));
  spans({span_json(1, 1.0, 4.0)}, {span_json(1, 1.0, 4.0)});
  const fs::path missing = dir_ / "missing" / "out.f32";
  request_.str("output_payload_f32le_path", missing.string());
  expect_failure(75, "output-unwritable",
                 "output payload path \"" + missing.string() +
                     "\" is unwritable: No such file or directory (os error 2); non-zero exit "
                     "means payloads must not be trusted");

  // The statement payload is written first, then the interval payload fails.
  request_.str("output_payload_f32le_path", statements_.string())
      .str("interval_embedding_payload_f32le_path", missing.string());
  expect_failure(75, "output-unwritable",
                 "output payload path \"" + missing.string() +
                     "\" is unwritable: No such file or directory (os error 2); non-zero exit "
                     "means payloads must not be trusted");
  EXPECT_EQ(fs::file_size(statements_), 1024u);
}

TEST_F(AnalyzeRun, SingleEvidenceNeverTouchesTheIntervalPath) {
  // The interval path could not be written, but diarization does not run.
  write_floats(full_, steered_audio({{12.0, 0.3f, kToneC}}));
  request_.str("interval_embedding_payload_f32le_path", (dir_ / "missing" / "i.f32").string());
  EXPECT_EQ(member(analyze(), "diarization"), kNotRun);
}

}  // namespace
}  // namespace quillfen::analyze
