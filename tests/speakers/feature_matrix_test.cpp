#include "speakers/feature_matrix.h"

#include <gtest/gtest.h>

#include <limits>

namespace quillfen::speakers {
namespace {

TEST(FeatureMatrix, FromRowMajorChecksShape) {
  auto empty = FeatureMatrix::from_row_major(0, 7, {});
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->frames(), 0u);
  EXPECT_EQ(empty->bins(), 7u);

  auto ok = FeatureMatrix::from_row_major(2, 3, {1, 2, 3, 4, 5, 6});
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok->row(1)[2], 6.0f);

  auto short_values = FeatureMatrix::from_row_major(2, 3, {1, 2, 3, 4, 5});
  ASSERT_FALSE(short_values.has_value());
  EXPECT_EQ(short_values.error(), SpeakerFeatureError::shape_mismatch(2, 3, 5));
  EXPECT_EQ(short_values.error().to_string(), "row-major matrix length mismatch: frames=2 bins=3 len=5");

  const std::size_t big = std::numeric_limits<std::size_t>::max() / 2 + 1;
  auto overflow = FeatureMatrix::from_row_major(big, 2, {});
  ASSERT_FALSE(overflow.has_value());
  EXPECT_EQ(overflow.error().to_string(),
            "row-major matrix shape overflow: frames=" + std::to_string(big) + " bins=2");
}

TEST(SpeakerFeatureError, DisplayTexts) {
  EXPECT_EQ(SpeakerFeatureError::unsupported_sample_rate(16000, 8000).to_string(),
            "unsupported sample rate: expected 16000, got 8000");
  EXPECT_EQ(SpeakerFeatureError::non_finite_audio_sample(12).to_string(),
            "audio sample at index 12 is not finite");
}

}  // namespace
}  // namespace quillfen::speakers
