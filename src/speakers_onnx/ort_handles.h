// Ownership of ONNX Runtime handles and the conversion of runtime statuses into error values,
// for the inference modules only (this header exposes the runtime's C API).
#pragma once

#include <onnxruntime_c_api.h>

#include <expected>
#include <memory>
#include <optional>
#include <utility>

#include "speakers_onnx/error.h"

namespace quillfen::onnx {

// The runtime's function table, or a Runtime error when the loaded runtime is too old to
// provide it.
std::expected<const OrtApi*, SpeakerOnnxError> require_ort_api();

// nullopt for a null (success) status; otherwise a Runtime error carrying the runtime's
// message. The status is released either way.
std::optional<SpeakerOnnxError> take_status_error(const OrtApi& api, OrtStatus* status);

// The process-wide runtime environment, created on first successful call and released at
// process exit. Its logger discards every message.
std::expected<OrtEnv*, SpeakerOnnxError> shared_ort_env();

#define QUILLFEN_ORT_DELETER(Type)                     \
  struct Type##Deleter {                               \
    void operator()(Ort##Type* handle) const noexcept; \
  };                                                   \
  using Type##Handle = std::unique_ptr<Ort##Type, Type##Deleter>

QUILLFEN_ORT_DELETER(SessionOptions);
QUILLFEN_ORT_DELETER(TypeInfo);
QUILLFEN_ORT_DELETER(TensorTypeAndShapeInfo);

#undef QUILLFEN_ORT_DELETER

// A string the runtime allocated with an allocator, freed with the same allocator.
class AllocatedName {
 public:
  AllocatedName(OrtAllocator* allocator, char* text) : allocator_(allocator), text_(text) {}
  AllocatedName(AllocatedName&& other) noexcept
      : allocator_(other.allocator_), text_(std::exchange(other.text_, nullptr)) {}
  AllocatedName& operator=(AllocatedName&&) = delete;
  ~AllocatedName();
  const char* c_str() const { return text_ != nullptr ? text_ : ""; }

 private:
  OrtAllocator* allocator_;
  char* text_;
};

}  // namespace quillfen::onnx

// Evaluates a runtime call returning OrtStatus*; on failure returns the Runtime error from the
// enclosing function (which must return std::expected<..., SpeakerOnnxError>).
#define QUILLFEN_ORT_TRY(api, call)                                               \
  do {                                                                            \
    if (auto quillfen_ort_error = ::quillfen::onnx::take_status_error(api, call)) \
      return std::unexpected(std::move(*quillfen_ort_error));                     \
  } while (false)
