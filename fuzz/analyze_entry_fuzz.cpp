// The whole entry of the analyze command on request text, reaching the pipeline: the
// scratch directory holds the generated test models (good, broken, failing while running,
// with names that are not UTF-8) and short recordings written once at start-up, and requests
// name them by plain relative names.
//
// Properties of every run: the one-line contract (fuzz_support.h); a failed run other than
// output-unwritable leaves both output paths as they were; a successful run leaves payload
// files of the sizes its response states, and does not touch the interval path when it wrote
// no interval payload.
//
// A valid request is run only when every path in it is a plain name of the scratch directory
// and neither output names one of the data files, so that no run reads a device or a pipe
// or writes outside the directory.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <numbers>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "analyze/json.h"
#include "analyze/request.h"
#include "fuzz_support.h"

namespace fs = std::filesystem;
namespace fuzz = quillfen::fuzz;
namespace json = quillfen::analyze::json;
using quillfen::fuzz::require;

namespace {

constexpr std::string_view kResponseSchema = "quillfen-speaker-analyze-response-v1";
constexpr std::string_view kUntouched = "untouched";

std::set<std::string>& data_files() {
  static std::set<std::string> names;
  return names;
}

// Levels steer the test segmentation model (0.1 -> speaker slot 1, 0.2 -> slot 2); a tone
// under 0.05 gives each speaker its own embedding.
std::vector<float> steered(std::initializer_list<std::pair<double, double>> level_and_tone,
                           double seconds_each) {
  std::vector<float> audio;
  for (const auto& [level, tone] : level_and_tone) {
    const auto n = static_cast<std::size_t>(seconds_each * 16000.0);
    for (std::size_t i = 0; i < n; ++i) {
      const double t = static_cast<double>(audio.size()) / 16000.0;
      audio.push_back(static_cast<float>(
          level + 0.04 * std::sin(2.0 * std::numbers::pi * tone * t) *
                      (0.5 + 0.5 * std::sin(2.0 * std::numbers::pi * 3.0 * t))));
    }
  }
  return audio;
}

void add_data(const std::string& name, std::span<const float> values) {
  fuzz::write_floats(name, values);
  data_files().insert(name);
}

bool safe_paths(const quillfen::analyze::AnalyzeRequest& r) {
  const auto input = [](const std::string& path) { return fuzz::is_plain_name(path); };
  const auto output = [](const std::string& path) {
    return fuzz::is_plain_name(path) && !data_files().contains(path);
  };
  return input(r.full_audio_f32le_path) &&
         (!r.reduced_audio_f32le_path || input(*r.reduced_audio_f32le_path)) &&
         input(r.pyannote_segmentation_onnx_path) && input(r.wespeaker_onnx_path) &&
         output(r.output_payload_f32le_path) &&
         (!r.interval_embedding_payload_f32le_path ||
          output(*r.interval_embedding_payload_f32le_path));
}

const json::Value* member(const json::Value& value, std::initializer_list<std::string_view> path) {
  const json::Value* at = &value;
  for (std::string_view key : path) {
    if (at == nullptr || !at->is_object()) return nullptr;
    at = at->as_object().find(key);
  }
  return at;
}

std::uint64_t file_size_or_max(const std::string& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  return ec ? UINT64_MAX : size;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const fs::path models = QUILLFEN_FUZZ_MODELS_DIR;
  fuzz::enter_scratch_directory("analyze");
  for (const auto& entry : fs::directory_iterator(models)) {
    if (entry.path().extension() != ".onnx") continue;
    const std::string name = entry.path().filename();
    fs::copy_file(entry.path(), name);
    data_files().insert(name);
  }
  add_data("two.f32", steered({{0.1, 500.0}, {0.2, 2500.0}}, 5.0));
  add_data("one.f32", steered({{0.1, 500.0}}, 3.0));
  add_data("silence.f32", std::vector<float>(8000, 0.0f));
  std::vector<float> with_nan(1000, 0.1f);
  with_nan[7] = std::nanf("");
  add_data("nan.f32", with_nan);
  add_data("empty.f32", {});
  fuzz::write_bytes("odd.f32", "123456");
  data_files().insert("odd.f32");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto request = quillfen::analyze::parse_analyze_request(text);
  std::vector<std::string> outputs;
  if (request) {
    if (!safe_paths(*request)) return -1;
    outputs.push_back(request->output_payload_f32le_path);
    if (request->interval_embedding_payload_f32le_path) {
      outputs.push_back(*request->interval_embedding_payload_f32le_path);
    }
    for (const std::string& path : outputs) fuzz::write_bytes(path, kUntouched);
  }

  const fuzz::EntryRun run = fuzz::run_entry_captured({}, text);
  fuzz::check_one_line_contract(run, kResponseSchema);
  if (!request) return 0;

  if (run.status != 0) {
    if (run.err.find("\"reason\":\"output-unwritable\"") == std::string::npos) {
      for (const std::string& path : outputs) {
        require(fuzz::read_bytes(path) == kUntouched, "a failed run changed an output", run.err);
      }
    }
    return 0;
  }
  const auto response = json::parse(std::string_view(run.out).substr(0, run.out.size() - 1));
  const json::Value* statements = member(*response, {"statement_embeddings", "byte_count"});
  require(statements != nullptr && statements->is_uint() &&
              statements->as_uint() == file_size_or_max(outputs[0]),
          "the statement payload size differs from the response", run.out);
  const json::Value* intervals = member(*response, {"diarization", "interval_embeddings"});
  require(intervals != nullptr, "the response has no interval embeddings member", run.out);
  if (outputs.size() == 2) {
    if (intervals->is_null()) {
      require(fuzz::read_bytes(outputs[1]) == kUntouched,
              "the interval path changed without an interval payload", run.out);
    } else {
      const json::Value* bytes = member(*intervals, {"byte_count"});
      require(bytes != nullptr && bytes->is_uint() && bytes->as_uint() == file_size_or_max(outputs[1]),
              "the interval payload size differs from the response", run.out);
    }
  }
  return 0;
}
