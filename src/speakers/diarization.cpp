// Speaker intervals from averaged frame scores, and the assignment of statements to the
// clusters of those intervals.
#include "speakers/diarization.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "speakers/segmentation.h"

namespace quillfen::speakers::diarization {

std::string DiarizationError::to_string() const {
  switch (kind) {
    case Kind::FrameMatrixLengthMismatch:
      return "frame log-prob matrix length mismatch: len=" + std::to_string(len) +
             " num_classes=" + std::to_string(num_classes);
    case Kind::MatrixShapeOverflow:
      return "row-major matrix shape overflow: rows=" + std::to_string(rows) +
             " cols=" + std::to_string(cols);
    case Kind::EmbeddingLengthMismatch:
      return "embedding matrix length mismatch: rows=" + std::to_string(rows) +
             " cols=" + std::to_string(cols) + " len=" + std::to_string(len);
    case Kind::LabelLengthMismatch:
      return "sentence assignment label length mismatch: intervals=" + std::to_string(intervals) +
             " labels=" + std::to_string(labels);
  }
  return {};
}

namespace {

// Softmax probability of class c in 64-bit floats, shifted by the largest non-NaN score.
double class_probability(std::span<const float> scores, std::size_t c) {
  double m = -std::numeric_limits<double>::infinity();
  for (const float s : scores) {
    const double x = s;
    if (x > m) {
      m = x;
    }
  }
  double sum = 0.0;
  for (const float s : scores) {
    sum += std::exp(static_cast<double>(s) - m);
  }
  return std::exp(static_cast<double>(scores[c]) - m) / sum;
}

constexpr double kSampleRateHz = kModelSampleRateHz;

double frame_time_s(std::size_t frame) {
  return static_cast<double>(frame) * kFrameStepSamples / kSampleRateHz;
}

}  // namespace

std::vector<SpeakerInterval> find_intervals(std::span<const float> scores, std::size_t num_classes,
                                            std::uint64_t total_samples) {
  std::vector<SpeakerInterval> intervals;
  if (num_classes == 0 || num_classes > scores.size()) {
    return intervals;
  }
  const std::size_t frames = scores.size() / num_classes;
  const double duration_s = static_cast<double>(total_samples) / kSampleRateHz;

  std::size_t run_start = 0;
  std::size_t run_class = 0;  // 0: no open run
  auto close_run = [&](std::size_t end_frame) {
    const double start_s = frame_time_s(run_start);
    const double end_s = std::fmin(frame_time_s(end_frame), duration_s);
    if (end_s - start_s >= kMinIntervalSeconds) {
      intervals.push_back(SpeakerInterval{start_s, end_s, static_cast<std::uint8_t>(run_class)});
    }
    run_class = 0;
  };

  for (std::size_t t = 0; t < frames; ++t) {
    const std::span<const float> row = scores.subspan(t * num_classes, num_classes);
    const std::size_t c = most_likely_class(row);
    const bool active = c >= 1 && c <= 3 && class_probability(row, c) >= kActivityThreshold;
    if (run_class != 0 && (!active || c != run_class)) {
      close_run(t);
    }
    if (active && run_class == 0) {
      run_start = t;
      run_class = c;
    }
  }
  if (run_class != 0) {
    close_run(frames);
  }
  return intervals;
}

std::expected<std::vector<std::optional<std::size_t>>, DiarizationError> assign_sentences(
    std::span<const StatementTimes> sentences, std::span<const SpeakerInterval> intervals,
    std::span<const std::size_t> labels) {
  if (intervals.size() != labels.size()) {
    return std::unexpected(
        DiarizationError::label_length_mismatch(intervals.size(), labels.size()));
  }
  std::vector<std::optional<std::size_t>> out;
  out.reserve(sentences.size());
  for (const StatementTimes& sentence : sentences) {
    std::optional<std::size_t> label;
    if (sentence.start_s && sentence.end_s && std::isfinite(*sentence.start_s) &&
        std::isfinite(*sentence.end_s) && *sentence.end_s > *sentence.start_s) {
      const double start_s = *sentence.start_s;
      const double end_s = *sentence.end_s;
      double best = 0.0;
      for (std::size_t i = 0; i < intervals.size(); ++i) {
        const double overlap = std::max(
            0.0, std::min(end_s, intervals[i].end_s) - std::max(start_s, intervals[i].start_s));
        if (overlap > best) {
          best = overlap;
          label = labels[i] + 1;
        }
      }
    }
    out.push_back(label);
  }
  return out;
}

}  // namespace quillfen::speakers::diarization
