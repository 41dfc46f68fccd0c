// Runs the trained int8 segmentation model of the test data on silence and on real recordings,
// whose frames are compared with the recordings' reference speaker turns.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "speakers_onnx/pyannote.h"
#include "support/paths.h"

namespace quillfen::onnx {
namespace {

constexpr std::size_t kWindow = 160000;
constexpr std::size_t kFrames = 589;

// Checks that every frame's scores are finite log-probabilities; returns the top class per frame.
std::vector<std::size_t> top_classes(const speakers::FeatureMatrix& scores) {
  EXPECT_EQ(scores.frames(), kFrames);
  EXPECT_EQ(scores.bins(), 7u);
  std::vector<std::size_t> classes;
  for (std::size_t t = 0; t < scores.frames(); ++t) {
    double total = 0.0;
    for (float value : scores.row(t)) {
      EXPECT_TRUE(std::isfinite(value));
      total += std::exp(static_cast<double>(value));
    }
    EXPECT_NEAR(total, 1.0, 1e-3) << "frame " << t << " scores are not log-probabilities";
    const auto row = scores.row(t);
    classes.push_back(static_cast<std::size_t>(std::ranges::max_element(row) - row.begin()));
  }
  return classes;
}

// One window's frames set against the reference turns at each frame's centre.
struct WindowComparison {
  std::size_t agreeing = 0;          // frames where model and reference agree on speech or not
  std::size_t reference_overlap = 0;  // frames with two or more reference speakers
  std::size_t model_overlap = 0;      // frames whose top class is an overlap class (4 to 6)
  std::size_t active_slots = 0;       // single-speaker classes with a tenth of the speech frames
};

WindowComparison compare_window(const std::vector<std::size_t>& classes,
                                const testing::Recording& recording, std::size_t start) {
  WindowComparison c;
  std::size_t speech = 0;
  std::size_t slot_frames[4] = {};
  for (std::size_t t = 0; t < kFrames; ++t) {
    const double seconds =
        (static_cast<double>(start) + (static_cast<double>(t) + 0.5) * kWindow / kFrames) / 16000.0;
    const auto speakers = std::ranges::count_if(recording.turns, [&](const auto& turn) {
      return turn.start_s <= seconds && seconds < turn.end_s;
    });
    c.agreeing += (speakers > 0) == (classes[t] != 0);
    c.reference_overlap += speakers > 1;
    c.model_overlap += classes[t] >= 4;
    speech += classes[t] != 0;
    if (classes[t] >= 1 && classes[t] <= 3) ++slot_frames[classes[t]];
  }
  for (std::size_t slot = 1; slot <= 3; ++slot) {
    c.active_slots += speech > 0 && slot_frames[slot] * 10 >= speech;
  }
  return c;
}

class TrainedSegmentationModel : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = PyannoteSegmenter::open(testing::trained_segmentation_model(),
                                          default_speaker_execution_providers(false));
    ASSERT_TRUE(opened) << opened.error().to_string();
    segmenter_.emplace(std::move(*opened));
  }

  // The recording cut into consecutive 10 s windows (a shorter rest is left out).
  std::vector<WindowComparison> windows(const testing::Recording& recording) {
    const std::vector<float> samples = testing::read_wav_mono_16k(recording.wav);
    std::vector<WindowComparison> result;
    for (std::size_t start = 0; start + kWindow <= samples.size(); start += kWindow) {
      auto scores = segmenter_->infer_window(std::span(samples).subspan(start, kWindow));
      EXPECT_TRUE(scores) << scores.error().to_string();
      if (!scores) return result;
      result.push_back(compare_window(top_classes(*scores), recording, start));
    }
    return result;
  }

  std::optional<PyannoteSegmenter> segmenter_;
};

TEST_F(TrainedSegmentationModel, SilenceIsSilence) {
  auto silence = segmenter_->infer_window(std::vector<float>(kWindow, 0.0f));
  ASSERT_TRUE(silence) << silence.error().to_string();
  EXPECT_GT(std::ranges::count(top_classes(*silence), 0u), 580);
}

// pyannote_sample.wav: two speakers; from 10 s on they talk throughout and overlap in places.
TEST_F(TrainedSegmentationModel, TheRepositoryRecordingFollowsItsReferenceTurns) {
  const auto recordings = testing::recordings();
  ASSERT_FALSE(recordings.empty());
  const testing::Recording& recording = recordings.front();
  ASSERT_EQ(recording.wav, testing::repo_data_dir() / "audio" / "pyannote_sample.wav");
  EXPECT_EQ(recording.speaker_count(), 2u);
  const auto compared = windows(recording);
  ASSERT_EQ(compared.size(), 3u);
  for (const auto& window : compared) EXPECT_GE(window.agreeing, 550u);
  for (std::size_t w : {1u, 2u}) {
    SCOPED_TRACE(w);
    EXPECT_EQ(compared[w].active_slots, 2u);
    EXPECT_GT(compared[w].reference_overlap, 0u);
    EXPECT_GT(compared[w].model_overlap, 0u);
  }
}

// Every recording of the repository's data and of an external data folder: speech where the
// reference has a speaker, in at least 85% of the frames (quiet far-field speech is missed).
TEST_F(TrainedSegmentationModel, EveryRecordingFollowsItsReferenceTurns) {
  for (const auto& recording : testing::recordings()) {
    SCOPED_TRACE(recording.wav.string());
    const auto compared = windows(recording);
    ASSERT_FALSE(compared.empty());
    std::size_t agreeing = 0;
    for (const auto& window : compared) agreeing += window.agreeing;
    EXPECT_GE(static_cast<double>(agreeing) / static_cast<double>(compared.size() * kFrames), 0.85);
  }
}

}  // namespace
}  // namespace quillfen::onnx
