// Access to the ONNX Runtime C API function table. Every other inference module reaches
// the runtime through this table; nothing else in the engine includes the runtime headers.
#pragma once

#include <onnxruntime_c_api.h>

#include <string>

namespace quillfen::onnx {

// The API version the engine is written against (ONNX Runtime 1.25).
inline constexpr uint32_t kOrtApiVersion = 25;

// The function table of kOrtApiVersion, or nullptr when the loaded runtime is older.
const OrtApi* ort_api();

// The version text of the loaded runtime, for example "1.25.1".
std::string ort_version_string();

}  // namespace quillfen::onnx
