// Execution-provider plan, opening a model file into an ONNX Runtime session, and the check of a
// model's declared input or output against what a runner expects. Shared by the segmentation
// and embedding runners.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "speakers_onnx/error.h"

struct OrtSession;

namespace quillfen::onnx {

// Execution providers in declaration order; in a plan, earlier entries have priority.
enum class SpeakerExecutionProvider : std::uint8_t {
  CoreMl,  // the runtime's CoreMLExecutionProvider
  Cpu,     // the runtime's CPUExecutionProvider
};

// {Cpu} when cpu_only, else {CoreMl, Cpu}.
std::vector<SpeakerExecutionProvider> default_speaker_execution_providers(bool cpu_only);

// "CoreMLExecutionProvider" or "CPUExecutionProvider".
std::string_view speaker_execution_provider_name(SpeakerExecutionProvider provider);

// One expected dimension of a model input or output: any size, or one fixed size.
struct DimSpec {
  std::optional<std::int64_t> fixed;

  static constexpr DimSpec any() { return DimSpec{}; }
  static constexpr DimSpec exactly(std::int64_t size) { return DimSpec{size}; }

  friend bool operator==(const DimSpec&, const DimSpec&) = default;
};

// What a model declares a value to be.
enum class ModelValueKind : std::uint8_t {
  Tensor,
  Sequence,
  Map,
  Optional,
  Opaque,
  SparseTensor,
  Unknown
};

struct DeclaredValueType {
  ModelValueKind kind = ModelValueKind::Unknown;
  std::int32_t element_type = 0;   // ONNX element type code; tensors only
  std::vector<std::int64_t> dims;  // tensors only; a dynamic dimension is -1
};

// "[1, -1, 80]"; "[]" for rank 0.
std::string format_shape(std::span<const std::int64_t> dims);

// Checks a declared input or output (kind_word "input" or "output") against the expected name
// and dimensions, in this order: name, tensor, float32, rank, each fixed dimension. The first
// failure is a ModelIoMismatch. A dynamic declared dimension passes only where any size is
// expected.
std::expected<void, SpeakerOnnxError> validate_model_io(std::string_view kind_word,
                                                        std::string_view declared_name,
                                                        const DeclaredValueType& declared,
                                                        std::string_view expected_name,
                                                        std::span<const DimSpec> expected_dims);

// An open inference session; releases it when destroyed. Movable, not copyable.
class SpeakerSession {
 public:
  OrtSession* get() const noexcept { return handle_.get(); }

 private:
  struct Deleter {
    void operator()(OrtSession* session) const noexcept;
  };
  explicit SpeakerSession(OrtSession* session) : handle_(session) {}
  friend std::expected<SpeakerSession, SpeakerOnnxError> open_speaker_session(
      const std::filesystem::path& model_path, std::span<const SpeakerExecutionProvider> plan);

  std::unique_ptr<OrtSession, Deleter> handle_;
};

// Opens the model file with the providers of the plan registered in order (a provider the
// runtime refuses is skipped; the CPU provider always remains). An empty plan fails before the
// runtime is touched; a path whose metadata cannot be read fails with
// "File at `{path}` does not exist"; every runtime failure is a Runtime error with the
// runtime's message. All other session settings are the runtime's defaults. The runtime's own
// log output is discarded.
std::expected<SpeakerSession, SpeakerOnnxError> open_speaker_session(
    const std::filesystem::path& model_path, std::span<const SpeakerExecutionProvider> plan);

}  // namespace quillfen::onnx
