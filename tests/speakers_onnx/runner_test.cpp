#include "speakers_onnx/runner.h"

#include <gtest/gtest.h>
#include <onnxruntime_c_api.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "speakers_onnx/pyannote.h"
#include "speakers_onnx/wespeaker.h"
#include "support/paths.h"

namespace quillfen::onnx {
namespace {

using speakers::FeatureMatrix;
using testing::test_models_dir;

const std::vector<SpeakerExecutionProvider> kPlan = default_speaker_execution_providers(false);

std::filesystem::path model(const std::string& name) {
  return test_models_dir() / (name + ".onnx");
}

std::string mismatch_text(const SpeakerOnnxError& error) {
  EXPECT_EQ(error.kind, SpeakerOnnxError::Kind::ModelIoMismatch) << error.to_string();
  return error.message;
}

// Opening each named test model as a Runner fails with a model-interface mismatch of that text.
template <typename Runner>
void expect_open_mismatches(const std::vector<std::pair<std::string, std::string>>& cases) {
  for (const auto& [name, text] : cases) {
    auto runner = Runner::open(model(name), kPlan);
    ASSERT_FALSE(runner) << name;
    EXPECT_EQ(mismatch_text(runner.error()), text);
  }
}

// Window offset of the one sample that frame f of the test segmentation model reads.
std::size_t read_offset(std::size_t frame) { return (80000 * (2 * frame + 1)) / 589; }

std::size_t top_class(std::span<const float> scores) {
  return static_cast<std::size_t>(std::ranges::max_element(scores) - scores.begin());
}

FeatureMatrix matrix(std::size_t frames, std::size_t bins, float (*value)(std::size_t)) {
  std::vector<float> values(frames * bins);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = value(i);
  return *FeatureMatrix::from_row_major(frames, bins, std::move(values));
}

TEST(RunnerOpen, RefusesModelsWithTheWrongInterface) {
  const std::vector<std::pair<std::string, std::string>> segmentation_cases = {
      {"seg_two_inputs", "expected one input, got 2"},
      {"seg_two_outputs", "expected one output, got 2"},
      {"seg_input_name", "input name \"waveform\" is not \"input_values\""},
      {"seg_output_name", "output name \"output\" is not \"logits\""},
      {"seg_int64_input", "input \"input_values\" is i64, not float32"},
      {"seg_input_rank2", "input \"input_values\" shape [1, -1] has wrong rank"},
      {"seg_eight_classes", "output \"logits\" dim 2 is 8, not 7"},
      {"seg_sequence_output", "output \"logits\" is not a tensor"},
      {"seg_int64_output", "output \"logits\" is i64, not float32"},
      // The input name "input_v\x87lues" of the file, with U+FFFD in the byte's place.
      {"seg_bad_utf8_input", "input name \"input_v\xEF\xBF\xBDlues\" is not \"input_values\""},
      {"embedding", "input name \"feats\" is not \"input_values\""},
  };
  expect_open_mismatches<PyannoteSegmenter>(segmentation_cases);
  const std::vector<std::pair<std::string, std::string>> embedding_cases = {
      {"emb_wrong_bins", "input \"feats\" dim 2 is 64, not 80"},
      {"emb_dynamic_dim", "output \"embs\" dim 1 is -1, not 256"},
      {"segmentation", "input name \"input_values\" is not \"feats\""},
  };
  expect_open_mismatches<WespeakerEmbedder>(embedding_cases);
}

TEST(RunnerOpen, SessionErrorsPassUnchanged) {
  auto empty_plan = PyannoteSegmenter::open(model("segmentation"), {});
  ASSERT_FALSE(empty_plan);
  EXPECT_EQ(empty_plan.error(), SpeakerOnnxError::empty_provider_plan());
  auto missing = WespeakerEmbedder::open("/no/such/embedding.onnx", kPlan);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(),
            SpeakerOnnxError::runtime("File at `/no/such/embedding.onnx` does not exist"));
  auto garbage = WespeakerEmbedder::open(model("garbage"), kPlan);
  ASSERT_FALSE(garbage);
  EXPECT_EQ(garbage.error().kind, SpeakerOnnxError::Kind::Runtime);
}

TEST(PyannoteSegmenter, RefusesWindowsOfAnyOtherLength) {
  auto segmenter = PyannoteSegmenter::open(model("segmentation"), kPlan);
  ASSERT_TRUE(segmenter) << segmenter.error().to_string();
  EXPECT_EQ(segmenter->input_name(), "input_values");
  EXPECT_EQ(segmenter->output_name(), "logits");
  std::chrono::nanoseconds run_time{0};
  segmenter->time_runs_into(&run_time);
  for (std::size_t length : {std::size_t{0}, std::size_t{159999}, std::size_t{160001}}) {
    auto scores = segmenter->infer_window(std::vector<float>(length, 0.0f));
    ASSERT_FALSE(scores);
    EXPECT_EQ(scores.error(), SpeakerOnnxError::invalid_audio_window(160000, length));
  }
  EXPECT_EQ(run_time.count(), 0) << "the model must not run";
}

TEST(PyannoteSegmenter, ZerosGiveSilenceAndLevelsSteerEachFrame) {
  auto segmenter = PyannoteSegmenter::open(model("segmentation"), kPlan);
  ASSERT_TRUE(segmenter) << segmenter.error().to_string();
  auto silence = segmenter->infer_window(std::vector<float>(160000, 0.0f));
  ASSERT_TRUE(silence) << silence.error().to_string();
  ASSERT_EQ(silence->frames(), 589u);
  ASSERT_EQ(silence->bins(), 7u);
  for (std::size_t t = 0; t < 589; ++t) ASSERT_EQ(top_class(silence->row(t)), 0u) << t;
  EXPECT_NEAR(silence->row(0)[0], 0.0f, 1e-4f);
  EXPECT_NEAR(silence->row(0)[1], -12.0f, 1e-3f);

  // Only the read sample of each frame carries a level (plus a small tone everywhere).
  std::vector<float> window(160000);
  for (std::size_t i = 0; i < window.size(); ++i) {
    window[i] = 0.04f * std::sin(0.2f * static_cast<float>(i));
  }
  for (std::size_t f = 0; f < 589; ++f) window[read_offset(f)] += 0.1f * static_cast<float>(f % 7);
  auto steered = segmenter->infer_window(window);
  ASSERT_TRUE(steered) << steered.error().to_string();
  for (std::size_t f = 0; f < 589; ++f) ASSERT_EQ(top_class(steered->row(f)), f % 7) << f;

  // A negative level is silence, anything from 0.65 up the last class.
  std::vector<float> extremes(160000, -0.3f);
  std::fill(extremes.begin() + 80000, extremes.end(), 3.0f);
  auto clamped = segmenter->infer_window(extremes);
  ASSERT_TRUE(clamped);
  EXPECT_EQ(top_class(clamped->row(0)), 0u);
  EXPECT_EQ(top_class(clamped->row(588)), 6u);
}

TEST(PyannoteSegmenter, OutputShapeIsCheckedAfterTheRun) {
  auto segmenter = PyannoteSegmenter::open(model("seg_588_frames"), kPlan);
  ASSERT_TRUE(segmenter) << segmenter.error().to_string();
  auto scores = segmenter->infer_window(std::vector<float>(160000, 0.0f));
  ASSERT_FALSE(scores);
  EXPECT_EQ(mismatch_text(scores.error()), "output shape [1, 588, 7] is not [1, 589, 7]");
}

float ramp(std::size_t i) { return static_cast<float>(i % 13) * 0.25f - 1.0f; }
float wave(std::size_t i) { return std::sin(static_cast<float>(i) * 0.37f); }

TEST(WespeakerEmbedder, RefusesFeaturesWithoutFramesOrWithOtherBinCounts) {
  auto embedder = WespeakerEmbedder::open(model("embedding"), kPlan);
  ASSERT_TRUE(embedder) << embedder.error().to_string();
  auto none = embedder->embed(*FeatureMatrix::from_row_major(0, 80, {}));
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error(), SpeakerOnnxError::invalid_features(0, 80));
  auto seven = embedder->embed(matrix(589, 7, ramp));
  ASSERT_FALSE(seven);
  EXPECT_EQ(seven.error(), SpeakerOnnxError::invalid_features(589, 7));
}

TEST(WespeakerEmbedder, EmbedsDeterministicallyInRowMajorOrder) {
  auto embedder = WespeakerEmbedder::open(model("embedding"), kPlan);
  ASSERT_TRUE(embedder) << embedder.error().to_string();
  const FeatureMatrix features = matrix(3, 80, ramp);
  auto first = embedder->embed(features);
  auto second = embedder->embed(features);
  ASSERT_TRUE(first) << first.error().to_string();
  ASSERT_TRUE(second);
  EXPECT_EQ(*first, *second);
  // The test model's first 160 values are the column means of x and of x*x, plus 0.01.
  for (std::size_t b : {std::size_t{0}, std::size_t{41}, std::size_t{79}}) {
    double sum = 0.0, squares = 0.0;
    for (std::size_t t = 0; t < 3; ++t) {
      sum += features.row(t)[b];
      squares += features.row(t)[b] * features.row(t)[b];
    }
    EXPECT_NEAR((*first)[b], sum / 3.0 + 0.01, 1e-5) << b;
    EXPECT_NEAR((*first)[80 + b], squares / 3.0 + 0.01, 1e-5) << b;
  }
  auto other = embedder->embed(matrix(3, 80, wave));
  ASSERT_TRUE(other);
  EXPECT_NE(*first, *other);

  // A model that declares a fixed batch of 1 honours the contract too.
  auto fixed = WespeakerEmbedder::open(model("emb_fixed_batch"), kPlan);
  ASSERT_TRUE(fixed) << fixed.error().to_string();
  auto same = fixed->embed(features);
  ASSERT_TRUE(same);
  EXPECT_EQ(*same, *first);
}

TEST(WespeakerEmbedder, OutputShapeIsCheckedAfterTheRun) {
  auto embedder = WespeakerEmbedder::open(model("emb_two_rows"), kPlan);
  ASSERT_TRUE(embedder) << embedder.error().to_string();
  auto embedding = embedder->embed(matrix(5, 80, ramp));
  ASSERT_FALSE(embedding);
  EXPECT_EQ(mismatch_text(embedding.error()), "output shape [2, 256] is not [1, 256]");
}

TEST(Runners, MoveKeepsTheSessionUsable) {
  auto opened = WespeakerEmbedder::open(model("embedding"), kPlan);
  ASSERT_TRUE(opened);
  WespeakerEmbedder moved = std::move(*opened);
  WespeakerEmbedder assigned = std::move(moved);
  auto embedding = assigned.embed(matrix(2, 80, wave));
  EXPECT_TRUE(embedding);
  static_assert(!std::is_copy_constructible_v<WespeakerEmbedder>);
  static_assert(!std::is_copy_constructible_v<PyannoteSegmenter>);
  static_assert(std::is_nothrow_move_constructible_v<PyannoteSegmenter>);
}

// Values the runtime never returns from these models, built directly.
class ReadFloatTensor : public ::testing::Test {
 protected:
  const OrtApi& api = *OrtGetApiBase()->GetApi(ORT_API_VERSION);

  void ok(OrtStatus* status) { ASSERT_EQ(status, nullptr) << api.GetErrorMessage(status); }

  ValueHandle tensor_on(const char* device, OrtMemType mem_type) {
    OrtMemoryInfo* info = nullptr;
    OrtValue* value = nullptr;
    ok(api.CreateMemoryInfo(device, OrtDeviceAllocator, 0, mem_type, &info));
    ok(api.CreateTensorWithDataAsOrtValue(info, data_.data(), data_.size() * sizeof(float),
                                          shape_.data(), shape_.size(),
                                          ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &value));
    api.ReleaseMemoryInfo(info);
    return ValueHandle(value);
  }

  std::array<float, 6> data_ = {1, 2, 3, 4, 5, 6};
  std::array<std::int64_t, 2> shape_ = {2, 3};
};

TEST_F(ReadFloatTensor, ReadsCpuFloatsAndRefusesEverythingElse) {
  auto tensor = read_float_tensor(tensor_on("Cpu", OrtMemTypeDefault));
  ASSERT_TRUE(tensor) << tensor.error().to_string();
  EXPECT_EQ(tensor->shape, (std::vector<std::int64_t>{2, 3}));
  EXPECT_TRUE(std::ranges::equal(tensor->values, data_));

  OrtAllocator* allocator = nullptr;
  ok(api.GetAllocatorWithDefaultOptions(&allocator));
  OrtValue* ints = nullptr;
  ok(api.CreateTensorAsOrtValue(allocator, shape_.data(), shape_.size(),
                                ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64, &ints));
  auto wrong_type = read_float_tensor(ValueHandle(ints));
  ASSERT_FALSE(wrong_type);
  EXPECT_EQ(wrong_type.error(),
            SpeakerOnnxError::runtime("Cannot extract Tensor<f32> from Tensor<i64>"));

  ValueHandle element = tensor_on("Cpu", OrtMemTypeDefault);
  const OrtValue* elements[] = {element.get()};
  OrtValue* sequence = nullptr;
  ok(api.CreateValue(elements, 1, ONNX_TYPE_SEQUENCE, &sequence));
  auto not_tensor = read_float_tensor(ValueHandle(sequence));
  ASSERT_FALSE(not_tensor);
  EXPECT_EQ(not_tensor.error(),
            SpeakerOnnxError::runtime("Cannot extract a Tensor<f32> from Sequence"));

  auto on_device = read_float_tensor(tensor_on("Cuda", OrtMemTypeDefault));
  ASSERT_FALSE(on_device);
  EXPECT_EQ(on_device.error(),
            SpeakerOnnxError::runtime(
                "Cannot extract from value on device `Cuda`, which is not CPU accessible"));
  // Host memory handed out by a device provider is readable.
  EXPECT_TRUE(read_float_tensor(tensor_on("Cuda", OrtMemTypeCPUOutput)));
}

}  // namespace
}  // namespace quillfen::onnx
