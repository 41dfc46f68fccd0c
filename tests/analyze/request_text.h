// Builders for analyze request texts and expected error lines used by the front-end tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace quillfen::analyze::testing {

// A request document as ordered top-level members with raw JSON values. Derived is the
// request type, so that calls chain.
template <typename Derived>
class JsonMembersText {
 public:
  using Members = std::vector<std::pair<std::string, std::string>>;

  // Replaces the raw value of key, or appends the member.
  Derived& set(const std::string& key, std::string raw) {
    for (auto& member : members_) {
      if (member.first == key) return member.second = std::move(raw), self();
    }
    members_.emplace_back(key, std::move(raw));
    return self();
  }
  // A JSON string value (the text must not need escaping).
  Derived& str(const std::string& key, const std::string& text) {
    return set(key, "\"" + text + "\"");
  }
  Derived& drop(const std::string& key) {
    std::erase_if(members_, [&](const auto& member) { return member.first == key; });
    return self();
  }
  std::string text() const {
    std::string out = "{";
    for (const auto& [key, raw] : members_)
      out += (out.size() > 1 ? ",\"" : "\"") + key + "\":" + raw;
    return out + "}";
  }

 protected:
  explicit JsonMembersText(Members members) : members_(std::move(members)) {}

 private:
  Derived& self() { return static_cast<Derived&>(*this); }

  Members members_;
};

// An analyze request; starts valid.
class RequestText : public JsonMembersText<RequestText> {
 public:
  RequestText()
      : JsonMembersText({
            {"schema", "\"quillfen-speaker-analyze-request-v1\""},
            {"sample_rate_hz", "16000"},
            {"full_audio_f32le_path", "\"/data/full.f32\""},
            {"output_payload_f32le_path", "\"/data/statements.f32\""},
            {"models",
             R"({"pyannote_segmentation_onnx_path":"/models/seg.onnx","wespeaker_onnx_path":"/models/emb.onnx"})"},
            {"statement_embedding", R"({"spans":[{"statement_id":1,"start_s":0.0,"end_s":2.5}]})"},
            {"diarization", R"({"spans":[{"statement_id":1,"start_s":0.0,"end_s":2.5}]})"},
        }) {}

  RequestText& models(const std::string& pyannote, const std::string& wespeaker) {
    return set("models", R"({"pyannote_segmentation_onnx_path":")" + pyannote +
                             R"(","wespeaker_onnx_path":")" + wespeaker + "\"}");
  }
  RequestText& spans(const std::string& statement_spans, const std::string& diarization_spans) {
    set("statement_embedding", "{\"spans\":" + statement_spans + "}");
    return set("diarization", "{\"spans\":" + diarization_spans + "}");
  }
};

// The expected standard-error line of a failed run, newline included (the detail is
// escaped for quote, backslash and newline, enough for these tests).
inline std::string error_line(const std::string& reason, const std::string& detail) {
  std::string escaped;
  for (char c : detail) {
    if (c == '"' || c == '\\') escaped += '\\';
    escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return R"({"schema":"quillfen-speaker-analyze-error-v1","reason":")" + reason +
         R"(","detail":")" + escaped + "\"}\n";
}

}  // namespace quillfen::analyze::testing
