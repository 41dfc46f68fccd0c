// Lower bounds of the distances between the rows of two groups of nearby rows (RowGroups), for
// every pair of groups: a pair of groups whose bound is large never needs its rows compared.
//
// bound(g, h) <= the computed Euclidean distance between any row of g and any row of h (g = h
// included: then 0). Bounds are held as bytes, rounded down to multiples of a step (1/250 of an
// upper bound of every distance between the rows), so that the table of G groups takes G^2
// bytes; the clustering caps G (EngineOptions::max_groups) to keep it within a fixed budget.
// Quantizer turns any distance into the same byte scale, rounded down or up, and into a finer
// 15-bit scale for the values that change during Prim's loop.
#pragma once

#include <cstddef>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace quillfen::speakers::hdbscan {

class Quantizer {
 public:
  // Bytes above kLargest stand for "no bound at all" (kNone) only.
  static constexpr std::uint8_t kLargest = 254;
  static constexpr std::uint8_t kNone = 255;
  static constexpr double kInfinity = std::numeric_limits<double>::infinity();

  // A step of diameter / 250; without a finite positive diameter every value rounds down to 0
  // and up to kNone (no pruning at all).
  explicit Quantizer(double diameter = 0.0);

  double step() const { return step_; }
  // The largest q <= kLargest with q * step <= x (0 for x <= 0 or not a number).
  [[nodiscard]] std::uint8_t down(double x) const {
    if (!usable_ || !(x > 0.0)) return 0;
    const double q = x / step_;
    if (q >= static_cast<double>(kLargest)) return kLargest;
    auto result = static_cast<std::uint8_t>(q);
    // The division may round up; step back where result * step would exceed x.
    if (result > 0 && value(result) > x) --result;
    return result;
  }
  // The smallest q with q * step >= x, or kNone when that exceeds kLargest (or x is not finite).
  [[nodiscard]] std::uint8_t up(double x) const {
    if (!usable_ || !(x < kInfinity)) return kNone;
    if (!(x > 0.0)) return 0;
    const double q = std::ceil(x / step_);
    if (q > static_cast<double>(kLargest)) return kNone;
    auto result = static_cast<std::uint8_t>(q);
    if (value(result) < x) ++result;
    return result;
  }
  double value(std::uint8_t q) const { return static_cast<double>(q) * step_; }

  // A fine scale for values that change during the clustering (core distances, v): steps of
  // step / 128 in 15 bits, kFineNone (32767) for none; a byte q is the fine value q * 128.
  static constexpr std::uint16_t kFineLargest = 32766;
  static constexpr std::uint16_t kFineNone = 32767;
  [[nodiscard]] static std::uint16_t fine(std::uint8_t q) {
    return q == kNone ? kFineNone : static_cast<std::uint16_t>(q << 7);
  }
  double fine_value(std::uint16_t q) const { return static_cast<double>(q) * (step_ / 128.0); }
  [[nodiscard]] std::uint16_t fine_down(double x) const {
    if (!usable_ || !(x > 0.0)) return 0;
    const double q = x / (step_ / 128.0);
    if (q >= static_cast<double>(kFineLargest)) return kFineLargest;
    auto result = static_cast<std::uint16_t>(q);
    if (result > 0 && fine_value(result) > x) --result;
    return result;
  }
  [[nodiscard]] std::uint16_t fine_up(double x) const {
    if (!usable_ || !(x < kInfinity)) return kFineNone;
    if (!(x > 0.0)) return 0;
    const double q = std::ceil(x / (step_ / 128.0));
    if (q > static_cast<double>(kFineLargest)) return kFineNone;
    auto result = static_cast<std::uint16_t>(q);
    if (fine_value(result) < x) ++result;
    return result;
  }

 private:
  double step_ = 0.0;
  bool usable_ = false;
};

class GroupBounds {
 public:
  GroupBounds() = default;
  // Every bound starts at 0.
  GroupBounds(std::size_t groups, double diameter);

  const Quantizer& quantizer() const { return quantizer_; }
  std::size_t groups() const { return groups_; }

  // Raises bound(g, h) and bound(h, g) to at least bound rounded down (g != h).
  void raise(std::size_t g, std::size_t h, double bound);

  [[nodiscard]] double operator()(std::size_t g, std::size_t h) const {
    return quantizer_.value(table_[g * groups_ + h]);
  }
  // The quantized bounds from g to every group.
  const std::uint8_t* row(std::size_t g) const { return &table_[g * groups_]; }

 private:
  Quantizer quantizer_;
  std::size_t groups_ = 0;
  std::vector<std::uint8_t> table_;
};

// An upper bound of every computed distance between rows whose norms are at most largest_norm.
[[nodiscard]] double distance_ceiling(double largest_norm);

}  // namespace quillfen::speakers::hdbscan
