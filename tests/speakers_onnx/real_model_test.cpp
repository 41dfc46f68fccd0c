// Runs the trained segmentation model from the shared data on recorded speech and on silence.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "speakers_onnx/pyannote.h"
#include "support/paths.h"

namespace quillfen::onnx {
namespace {

// Mono 16 kHz samples of a RIFF/WAVE file holding 16-bit PCM or 32-bit float data.
std::vector<float> read_wav_mono_16k(const std::filesystem::path& path) {
  const std::string bytes = testing::read_file(path);
  auto u16 = [&](std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8;
  };
  auto u32 = [&](std::size_t at) { return u16(at) | u16(at + 2) << 16; };
  EXPECT_EQ(bytes.substr(0, 4), "RIFF");
  EXPECT_EQ(bytes.substr(8, 4), "WAVE");
  std::uint32_t format = 0, bits = 0;
  for (std::size_t at = 12; at + 8 <= bytes.size();) {
    const std::string id = bytes.substr(at, 4);
    const std::size_t size = u32(at + 4);
    const std::size_t body = at + 8;
    if (id == "fmt ") {
      format = u16(body);
      EXPECT_EQ(u16(body + 2), 1u) << "mono";
      EXPECT_EQ(u32(body + 4), 16000u) << "sample rate";
      bits = u16(body + 14);
    } else if (id == "data") {
      const std::size_t length = std::min(size, bytes.size() - body);
      std::vector<float> samples;
      if (format == 1 && bits == 16) {
        for (std::size_t i = 0; i + 2 <= length; i += 2) {
          samples.push_back(static_cast<float>(static_cast<std::int16_t>(u16(body + i))) /
                            32768.0f);
        }
      } else if (format == 3 && bits == 32) {
        samples.resize(length / 4);
        std::memcpy(samples.data(), bytes.data() + body, samples.size() * 4);
      } else {
        ADD_FAILURE() << "unsupported WAV format " << format << "/" << bits;
      }
      return samples;
    }
    at = body + size + (size & 1);
  }
  ADD_FAILURE() << "no data chunk in " << path;
  return {};
}

std::size_t top_class(std::span<const float> scores) {
  return static_cast<std::size_t>(std::ranges::max_element(scores) - scores.begin());
}

struct ClassCounts {
  std::array<std::size_t, 7> frames{};
  std::size_t speech() const { return 589 - frames[0]; }
};

ClassCounts check_log_probs(const speakers::FeatureMatrix& scores) {
  EXPECT_EQ(scores.frames(), 589u);
  EXPECT_EQ(scores.bins(), 7u);
  ClassCounts counts;
  for (std::size_t t = 0; t < scores.frames(); ++t) {
    double total = 0.0;
    for (float value : scores.row(t)) {
      EXPECT_TRUE(std::isfinite(value));
      total += std::exp(static_cast<double>(value));
    }
    EXPECT_NEAR(total, 1.0, 1e-3) << "frame " << t << " scores are not log-probabilities";
    ++counts.frames[top_class(scores.row(t))];
  }
  return counts;
}

class TrainedSegmentationModel : public ::testing::Test {
 protected:
  void SetUp() override {
    auto shared = testing::shared_dir();
    if (!shared) GTEST_SKIP() << "shared test data is absent";
    model_ = *shared / "models" / "pyannote-segmentation-3.0-int8.onnx";
    audio_ = *shared / "audio";
    if (!std::filesystem::exists(model_)) GTEST_SKIP() << "no trained model at " << model_;
  }
  std::filesystem::path model_;
  std::filesystem::path audio_;
};

TEST_F(TrainedSegmentationModel, SilenceIsSilenceAndSpeechIsSpeech) {
  auto segmenter = PyannoteSegmenter::open(model_, default_speaker_execution_providers(false));
  ASSERT_TRUE(segmenter) << segmenter.error().to_string();

  auto silence = segmenter->infer_window(std::vector<float>(160000, 0.0f));
  ASSERT_TRUE(silence) << silence.error().to_string();
  EXPECT_GT(check_log_probs(*silence).frames[0], 580u);

  // Seconds 10 to 20 of the two-speaker sample are speech throughout, with both speakers.
  const std::vector<float> sample = read_wav_mono_16k(audio_ / "pyannote_sample.wav");
  ASSERT_GE(sample.size(), 320000u);
  auto speech = segmenter->infer_window(std::span(sample).subspan(160000, 160000));
  ASSERT_TRUE(speech) << speech.error().to_string();
  const ClassCounts counts = check_log_probs(*speech);
  EXPECT_GT(counts.speech(), 450u);
  const auto slots =
      std::ranges::count_if(std::span(counts.frames).subspan(1, 3),
                            [&](std::size_t n) { return n * 10 >= counts.speech(); });
  EXPECT_EQ(slots, 2) << "two speakers take turns in this excerpt";

  // A 32-bit float recording runs the same way.
  const std::vector<float> meeting = read_wav_mono_16k(audio_ / "pyannote_test_dev00.wav");
  ASSERT_GE(meeting.size(), 160000u);
  auto scores = segmenter->infer_window(std::span(meeting).first(160000));
  ASSERT_TRUE(scores) << scores.error().to_string();
  check_log_probs(*scores);
}

}  // namespace
}  // namespace quillfen::onnx
