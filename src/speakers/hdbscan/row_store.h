// The rows density clustering works on: n rows of d values, either 64-bit floats (borrowed,
// one span per row) or 32-bit floats (one borrowed row-major matrix). Distances between 32-bit
// rows are computed from the values widened exactly to 64 bits, so they have the same bits as
// those of a 64-bit copy, without the copy.
//
// The clustering reorders the rows once, into the slot order of its groups of nearby rows
// (reorder()): a 32-bit matrix is permuted in place, so that the rows of a group lie together
// in memory; 64-bit rows are only re-pointed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "speakers/hdbscan/sketch.h"

namespace quillfen::speakers::hdbscan {

class RowStore {
 public:
  explicit RowStore(std::span<const std::span<const double>> rows);
  // values: rows x dims row-major, borrowed (and permuted by reorder()).
  RowStore(float* values, std::size_t rows, std::size_t dims);

  std::size_t size() const { return is_float_ ? float_rows_.size() : double_rows_.size(); }
  std::size_t dims() const { return dims_; }
  bool holds_floats() const { return is_float_; }

  // Calls f with the row pointers (std::vector<const double*> or std::vector<const float*>).
  template <class F>
  decltype(auto) visit(F&& f) const {
    return is_float_ ? f(float_rows_) : f(double_rows_);
  }

  // Value j of row i, widened.
  double value(std::size_t i, std::size_t j) const {
    return is_float_ ? static_cast<double>(float_rows_[i][j]) : double_rows_[i][j];
  }

  // Row order[s] becomes row s (order is a permutation).
  void reorder(const std::vector<std::size_t>& order);

  // out[i] = the Euclidean distance between rows a[i] and b[i], exactly as euclidean_distance
  // computes it on the (widened) rows, at the given kernel level.
  void distances(SimdLevel level, const std::uint32_t* a, const std::uint32_t* b,
                 std::size_t count, double* out) const;
  // out[i] = a lower bound of that distance from a cheaper look at 32-bit rows
  // (distance_floor); 0 for 64-bit rows.
  void floors(SimdLevel level, const std::uint32_t* a, const std::uint32_t* b, std::size_t count,
              double* out) const;

 private:
  bool is_float_ = false;
  std::size_t dims_ = 0;
  float* floats_ = nullptr;
  std::vector<const double*> double_rows_;
  std::vector<const float*> float_rows_;
};

// Pairs of rows whose distances may be wanted, computed in batches through the vector kernels:
// first their floors (RowStore::floors), then the distances of the pairs still needed.
class DistanceBatch {
 public:
  static constexpr std::size_t kCapacity = 256;

  bool full() const { return a_.size() >= kCapacity; }
  bool empty() const { return a_.empty(); }
  void add(std::size_t a, std::size_t b) {
    a_.push_back(static_cast<std::uint32_t>(a));
    b_.push_back(static_cast<std::uint32_t>(b));
  }
  // Calls f(a, b, distance), in order, for each pair for which needed(a, b, floor) holds (with
  // needed evaluated after the calls of f for the pairs before), and empties.
  template <class Needed, class F>
  void run(const RowStore& rows, SimdLevel level, Needed&& needed, F&& f) {
    out_.resize(a_.size());
    rows.floors(level, a_.data(), b_.data(), a_.size(), out_.data());
    std::size_t kept = 0;
    for (std::size_t i = 0; i < a_.size(); ++i) {
      if (!needed(a_[i], b_[i], out_[i])) continue;
      a_[kept] = a_[i];
      b_[kept++] = b_[i];
    }
    rows.distances(level, a_.data(), b_.data(), kept, out_.data());
    for (std::size_t i = 0; i < kept; ++i) f(a_[i], b_[i], out_[i]);
    a_.clear();
    b_.clear();
  }

 private:
  std::vector<std::uint32_t> a_;
  std::vector<std::uint32_t> b_;
  std::vector<double> out_;
};

}  // namespace quillfen::speakers::hdbscan
