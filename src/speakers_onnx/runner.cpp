#include "speakers_onnx/runner.h"

#include <utility>

#include "speakers/utf8_text.h"
#include "speakers_onnx/ort_api.h"
#include "speakers_onnx/ort_handles.h"

namespace quillfen::onnx {

namespace {

// The runtime's value types: how the engine classifies each, and its name in messages.
struct ValueType {
  ONNXType type;
  ModelValueKind kind;
  const char* name;
};
constexpr ValueType kValueTypes[] = {
    {ONNX_TYPE_TENSOR, ModelValueKind::Tensor, "Tensor"},
    {ONNX_TYPE_SEQUENCE, ModelValueKind::Sequence, "Sequence"},
    {ONNX_TYPE_MAP, ModelValueKind::Map, "Map"},
    {ONNX_TYPE_OPAQUE, ModelValueKind::Opaque, "Opaque"},
    {ONNX_TYPE_SPARSETENSOR, ModelValueKind::SparseTensor, "SparseTensor"},
    {ONNX_TYPE_OPTIONAL, ModelValueKind::Optional, "Optional"},
};
constexpr ValueType kUnknownValueType = {ONNX_TYPE_UNKNOWN, ModelValueKind::Unknown, "Unknown"};

const ValueType& value_type(ONNXType type) {
  for (const ValueType& known : kValueTypes) {
    if (known.type == type) return known;
  }
  return kUnknownValueType;
}

std::expected<std::vector<std::int64_t>, SpeakerOnnxError> tensor_dims(
    const OrtApi& api, const OrtTensorTypeAndShapeInfo* info) {
  std::size_t rank = 0;
  QUILLFEN_ORT_TRY(api, api.GetDimensionsCount(info, &rank));
  std::vector<std::int64_t> dims(rank);
  QUILLFEN_ORT_TRY(api, api.GetDimensions(info, dims.data(), rank));
  return dims;
}

std::expected<DeclaredValueType, SpeakerOnnxError> declared_type(const OrtApi& api,
                                                                 const OrtTypeInfo* info) {
  ONNXType onnx_type = ONNX_TYPE_UNKNOWN;
  QUILLFEN_ORT_TRY(api, api.GetOnnxTypeFromTypeInfo(info, &onnx_type));
  DeclaredValueType declared;
  declared.kind = value_type(onnx_type).kind;
  if (declared.kind != ModelValueKind::Tensor) return declared;
  const OrtTensorTypeAndShapeInfo* tensor_info = nullptr;  // owned by info
  QUILLFEN_ORT_TRY(api, api.CastTypeInfoToTensorInfo(info, &tensor_info));
  if (tensor_info == nullptr) {
    declared.kind = ModelValueKind::Unknown;
    return declared;
  }
  ONNXTensorElementDataType element = ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
  QUILLFEN_ORT_TRY(api, api.GetTensorElementType(tensor_info, &element));
  declared.element_type = static_cast<std::int32_t>(element);
  auto dims = tensor_dims(api, tensor_info);
  if (!dims) return std::unexpected(dims.error());
  declared.dims = std::move(*dims);
  return declared;
}

enum class Side : std::uint8_t { Input, Output };

// Reads the name and declared type of the only input or output and validates them.
std::expected<void, SpeakerOnnxError> check_single_value(const OrtApi& api,
                                                         const OrtSession* session, Side side,
                                                         std::string_view expected_name,
                                                         std::span<const DimSpec> expected_dims) {
  OrtAllocator* allocator = nullptr;
  QUILLFEN_ORT_TRY(api, api.GetAllocatorWithDefaultOptions(&allocator));
  char* raw_name = nullptr;
  OrtTypeInfo* raw_info = nullptr;
  if (side == Side::Input) {
    QUILLFEN_ORT_TRY(api, api.SessionGetInputName(session, 0, allocator, &raw_name));
  } else {
    QUILLFEN_ORT_TRY(api, api.SessionGetOutputName(session, 0, allocator, &raw_name));
  }
  AllocatedName name(allocator, raw_name);
  if (side == Side::Input) {
    QUILLFEN_ORT_TRY(api, api.SessionGetInputTypeInfo(session, 0, &raw_info));
  } else {
    QUILLFEN_ORT_TRY(api, api.SessionGetOutputTypeInfo(session, 0, &raw_info));
  }
  TypeInfoHandle info(raw_info);
  auto declared = declared_type(api, info.get());
  if (!declared) return std::unexpected(declared.error());
  // The name is bytes from the model file; it enters the engine's texts as UTF-8.
  return validate_model_io(side == Side::Input ? "input" : "output",
                           speakers::utf8_lossy(name.c_str()), *declared, expected_name,
                           expected_dims);
}

}  // namespace

void ValueDeleter::operator()(OrtValue* value) const noexcept { ort_api()->ReleaseValue(value); }

void SpeakerModelRunner::MemoryInfoDeleter::operator()(OrtMemoryInfo* info) const noexcept {
  ort_api()->ReleaseMemoryInfo(info);
}

std::expected<FloatTensor, SpeakerOnnxError> read_float_tensor(ValueHandle value) {
  auto api_or = require_ort_api();
  if (!api_or) return std::unexpected(api_or.error());
  const OrtApi& api = **api_or;

  ONNXType type = ONNX_TYPE_UNKNOWN;
  QUILLFEN_ORT_TRY(api, api.GetValueType(value.get(), &type));
  if (type != ONNX_TYPE_TENSOR) {
    return std::unexpected(SpeakerOnnxError::runtime("Cannot extract a Tensor<f32> from " +
                                                     std::string(value_type(type).name)));
  }

  OrtTensorTypeAndShapeInfo* raw_info = nullptr;
  QUILLFEN_ORT_TRY(api, api.GetTensorTypeAndShape(value.get(), &raw_info));
  TensorTypeAndShapeInfoHandle info(raw_info);
  ONNXTensorElementDataType element = ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
  QUILLFEN_ORT_TRY(api, api.GetTensorElementType(info.get(), &element));
  if (element != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) {
    return std::unexpected(SpeakerOnnxError::runtime(
        "Cannot extract Tensor<f32> from Tensor<" +
        onnx_element_type_name(static_cast<std::int32_t>(element)) + ">"));
  }

  // CPU memory, or host memory that a device provider returned (pinned output), is readable.
  const OrtMemoryInfo* memory = nullptr;
  QUILLFEN_ORT_TRY(api, api.GetTensorMemoryInfo(value.get(), &memory));
  OrtMemoryInfoDeviceType device = OrtMemoryInfoDeviceType_CPU;
  api.MemoryInfoGetDeviceType(memory, &device);
  OrtMemType mem_type = OrtMemTypeDefault;
  QUILLFEN_ORT_TRY(api, api.MemoryInfoGetMemType(memory, &mem_type));
  if (device != OrtMemoryInfoDeviceType_CPU && mem_type != OrtMemTypeCPUInput &&
      mem_type != OrtMemTypeCPUOutput) {
    const char* device_name = nullptr;
    QUILLFEN_ORT_TRY(api, api.MemoryInfoGetName(memory, &device_name));
    return std::unexpected(
        SpeakerOnnxError::runtime(std::string("Cannot extract from value on device `") +
                                  speakers::utf8_lossy(device_name != nullptr ? device_name : "") +
                                  "`, which is not CPU accessible"));
  }

  auto shape = tensor_dims(api, info.get());
  if (!shape) return std::unexpected(shape.error());
  std::size_t count = 0;
  QUILLFEN_ORT_TRY(api, api.GetTensorShapeElementCount(info.get(), &count));
  const void* data = nullptr;
  if (count > 0) QUILLFEN_ORT_TRY(api, api.GetTensorData(value.get(), &data));
  FloatTensor tensor;
  tensor.value = std::move(value);
  tensor.shape = std::move(*shape);
  tensor.values = std::span<const float>(static_cast<const float*>(data), count);
  return tensor;
}

SpeakerModelRunner::SpeakerModelRunner(SpeakerSession session, std::string input_name,
                                       std::string output_name, OrtMemoryInfo* cpu_memory)
    : session_(std::move(session)),
      input_name_(std::move(input_name)),
      output_name_(std::move(output_name)),
      cpu_memory_(cpu_memory) {}

std::expected<SpeakerModelRunner, SpeakerOnnxError> SpeakerModelRunner::open(
    const std::filesystem::path& model_path, std::span<const SpeakerExecutionProvider> plan,
    std::string_view input_name, std::span<const DimSpec> input_dims, std::string_view output_name,
    std::span<const DimSpec> output_dims) {
  auto session = open_speaker_session(model_path, plan);
  if (!session) return std::unexpected(session.error());
  const OrtApi& api = *ort_api();  // non-null: the session opened

  std::size_t inputs = 0;
  QUILLFEN_ORT_TRY(api, api.SessionGetInputCount(session->get(), &inputs));
  if (inputs != 1) {
    return std::unexpected(
        SpeakerOnnxError::model_io_mismatch("expected one input, got " + std::to_string(inputs)));
  }
  std::size_t outputs = 0;
  QUILLFEN_ORT_TRY(api, api.SessionGetOutputCount(session->get(), &outputs));
  if (outputs != 1) {
    return std::unexpected(
        SpeakerOnnxError::model_io_mismatch("expected one output, got " + std::to_string(outputs)));
  }
  if (auto ok = check_single_value(api, session->get(), Side::Input, input_name, input_dims); !ok) {
    return std::unexpected(ok.error());
  }
  if (auto ok = check_single_value(api, session->get(), Side::Output, output_name, output_dims);
      !ok) {
    return std::unexpected(ok.error());
  }

  OrtMemoryInfo* cpu_memory = nullptr;
  QUILLFEN_ORT_TRY(api,
                   api.CreateCpuMemoryInfo(OrtDeviceAllocator, OrtMemTypeDefault, &cpu_memory));
  return SpeakerModelRunner(std::move(*session), std::string(input_name), std::string(output_name),
                            cpu_memory);
}

std::expected<FloatTensor, SpeakerOnnxError> SpeakerModelRunner::run(
    std::span<const float> input, std::span<const std::int64_t> shape) const {
  const OrtApi& api = *ort_api();  // non-null: the runner opened

  OrtValue* raw_input = nullptr;
  // The C API takes the buffer of every tensor as writable; an input tensor is only read.
  void* input_data = const_cast<float*>(input.data());
  QUILLFEN_ORT_TRY(api, api.CreateTensorWithDataAsOrtValue(
                            cpu_memory_.get(), input_data, input.size_bytes(), shape.data(),
                            shape.size(), ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &raw_input));
  ValueHandle input_value(raw_input);

  const char* input_names[] = {input_name_.c_str()};
  const char* output_names[] = {output_name_.c_str()};  // the model's only output
  const OrtValue* inputs[] = {input_value.get()};
  OrtValue* raw_output = nullptr;
  OrtStatus* status = nullptr;
  if (run_time_sink_ == nullptr) {
    status = api.Run(session_.get(), nullptr, input_names, inputs, 1, output_names, 1, &raw_output);
  } else {
    const auto start = std::chrono::steady_clock::now();
    status = api.Run(session_.get(), nullptr, input_names, inputs, 1, output_names, 1, &raw_output);
    *run_time_sink_ += std::chrono::steady_clock::now() - start;
  }
  ValueHandle output(raw_output);
  if (auto error = take_status_error(api, status)) return std::unexpected(std::move(*error));
  if (!output) return std::unexpected(SpeakerOnnxError::missing_output(output_name_));
  return read_float_tensor(std::move(output));
}

}  // namespace quillfen::onnx
