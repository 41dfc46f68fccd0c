// Builders for analyze request texts and expected error lines used by the front-end tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace quillfen::analyze::testing {

// A request document as an ordered list of top-level members with raw JSON values; starts
// as a valid minimal request.
class RequestText {
 public:
  RequestText() {
    members_ = {
        {"schema", "\"quillfen-speaker-analyze-request-v1\""},
        {"sample_rate_hz", "16000"},
        {"full_audio_f32le_path", "\"/data/full.f32\""},
        {"output_payload_f32le_path", "\"/data/statements.f32\""},
        {"models",
         R"({"pyannote_segmentation_onnx_path":"/models/seg.onnx","wespeaker_onnx_path":"/models/emb.onnx"})"},
        {"statement_embedding", R"({"spans":[{"statement_id":1,"start_s":0.0,"end_s":2.5}]})"},
        {"diarization", R"({"spans":[{"statement_id":1,"start_s":0.0,"end_s":2.5}]})"},
    };
  }

  // Replaces the raw value of key, or appends the member.
  RequestText& set(const std::string& key, std::string raw) {
    for (auto& member : members_) {
      if (member.first == key) {
        member.second = std::move(raw);
        return *this;
      }
    }
    members_.emplace_back(key, std::move(raw));
    return *this;
  }
  // A JSON string value (the text must not need escaping).
  RequestText& set_string(const std::string& key, const std::string& text) {
    return set(key, "\"" + text + "\"");
  }
  RequestText& models(const std::string& pyannote, const std::string& wespeaker) {
    return set("models", R"({"pyannote_segmentation_onnx_path":")" + pyannote +
                             R"(","wespeaker_onnx_path":")" + wespeaker + "\"}");
  }
  RequestText& spans(const std::string& statement_spans, const std::string& diarization_spans) {
    set("statement_embedding", "{\"spans\":" + statement_spans + "}");
    return set("diarization", "{\"spans\":" + diarization_spans + "}");
  }
  RequestText& drop(const std::string& key) {
    std::erase_if(members_, [&](const auto& member) { return member.first == key; });
    return *this;
  }

  std::string str() const {
    std::string text = "{";
    for (std::size_t i = 0; i < members_.size(); ++i) {
      if (i > 0) text += ',';
      text += "\"" + members_[i].first + "\":" + members_[i].second;
    }
    return text + "}";
  }

 private:
  std::vector<std::pair<std::string, std::string>> members_;
};

// The JSON string literal of text (quote, backslash and newline escaped; enough for the
// details used in these tests).
inline std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// The expected standard-error line of a failed run, newline included.
inline std::string error_line(const std::string& reason, const std::string& detail) {
  return R"({"schema":"quillfen-speaker-analyze-error-v1","reason":)" + json_string(reason) +
         ",\"detail\":" + json_string(detail) + "}\n";
}

}  // namespace quillfen::analyze::testing
