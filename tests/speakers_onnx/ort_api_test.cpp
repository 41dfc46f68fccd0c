#include "speakers_onnx/ort_api.h"

#include <gtest/gtest.h>

namespace quillfen::onnx {
namespace {

TEST(OrtApi, LinksTheRuntimeOfTheExpectedVersion) {
  EXPECT_EQ(ort_version_string(), "1.25.1");
  ASSERT_NE(ort_api(), nullptr);
  EXPECT_EQ(ort_api(), ort_api());
}

}  // namespace
}  // namespace quillfen::onnx
