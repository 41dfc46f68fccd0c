// The model runner shared by the segmentation and embedding runners: one open session with a
// single validated float32 input and output, run on one caller-owned input buffer at a time,
// and the reading of a run's output as a float32 CPU tensor.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "speakers_onnx/error.h"
#include "speakers_onnx/session.h"

struct OrtValue;
struct OrtMemoryInfo;

namespace quillfen::onnx {

struct ValueDeleter {
  void operator()(OrtValue* value) const noexcept;
};
using ValueHandle = std::unique_ptr<OrtValue, ValueDeleter>;

// A float32 tensor read from a value the runtime returned. values borrows the value's memory
// and stays valid as long as this object (which owns the value) lives.
struct FloatTensor {
  ValueHandle value;
  std::vector<std::int64_t> shape;
  std::span<const float> values;  // row-major, product of shape elements
};

// Reads a value as a float32 tensor. Fails with a Runtime error when it is not a tensor
// ("Cannot extract a Tensor<f32> from {value type}"), not float32
// ("Cannot extract Tensor<f32> from Tensor<{element type}>") or not readable by the CPU
// ("Cannot extract from value on device `{device}`, which is not CPU accessible").
[[nodiscard]] std::expected<FloatTensor, SpeakerOnnxError> read_float_tensor(ValueHandle value);

class SpeakerModelRunner {
 public:
  // The open sequence: open the session, require exactly one input and one output, then check
  // each against its expected name and dimensions (input first).
  [[nodiscard]] static std::expected<SpeakerModelRunner, SpeakerOnnxError> open(
      const std::filesystem::path& model_path, std::span<const SpeakerExecutionProvider> plan,
      std::string_view input_name, std::span<const DimSpec> input_dims,
      std::string_view output_name, std::span<const DimSpec> output_dims);

  const std::string& input_name() const { return input_name_; }
  const std::string& output_name() const { return output_name_; }

  // Runs the model once with `input` (row-major float32 of `shape`, used in place: the runtime
  // reads input tensors and never writes them) bound to the input name, requesting all
  // outputs, and reads the output of the output name as a float32 tensor. An output that was
  // not returned is MissingOutput.
  [[nodiscard]] std::expected<FloatTensor, SpeakerOnnxError> run(
      std::span<const float> input, std::span<const std::int64_t> shape) const;

  // Diagnostics: when set, the wall time of every runtime Run call (only the call itself) is
  // added to *sink. nullptr turns timing off.
  void time_runs_into(std::chrono::nanoseconds* sink) { run_time_sink_ = sink; }

 private:
  struct MemoryInfoDeleter {
    void operator()(OrtMemoryInfo* info) const noexcept;
  };

  SpeakerModelRunner(SpeakerSession session, std::string input_name, std::string output_name,
                     OrtMemoryInfo* cpu_memory);

  SpeakerSession session_;
  std::string input_name_;
  std::string output_name_;
  std::unique_ptr<OrtMemoryInfo, MemoryInfoDeleter> cpu_memory_;
  std::chrono::nanoseconds* run_time_sink_ = nullptr;
};

// The interface a model must declare: the names and dimensions of its only input and output.
struct ModelInterface {
  std::string_view input_name;
  std::span<const DimSpec> input_dims;
  std::string_view output_name;
  std::span<const DimSpec> output_dims;
};

// What the segmentation and embedding runners share: the open runner, the names it checked
// and the timing of its runs. Movable, not copyable.
class SpeakerModel {
 public:
  [[nodiscard]] const std::string& input_name() const { return runner_.input_name(); }
  [[nodiscard]] const std::string& output_name() const { return runner_.output_name(); }

  // Diagnostics: accumulate the time spent inside the runtime's Run call into *sink.
  void time_runs_into(std::chrono::nanoseconds* sink) { runner_.time_runs_into(sink); }

 protected:
  explicit SpeakerModel(SpeakerModelRunner runner) : runner_(std::move(runner)) {}

  // Opens model_path as a Model that declares interface (the open sequence of
  // SpeakerModelRunner::open). Model is constructed from the runner and befriends SpeakerModel.
  template <typename Model>
  [[nodiscard]] static std::expected<Model, SpeakerOnnxError> open_as(
      const std::filesystem::path& model_path, std::span<const SpeakerExecutionProvider> plan,
      const ModelInterface& interface) {
    auto runner =
        SpeakerModelRunner::open(model_path, plan, interface.input_name, interface.input_dims,
                                 interface.output_name, interface.output_dims);
    if (!runner) return std::unexpected(runner.error());
    return Model(std::move(*runner));
  }

  SpeakerModelRunner runner_;
};

}  // namespace quillfen::onnx
