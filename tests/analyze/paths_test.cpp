// Lexical path comparison behind the output-path conflict rules.
#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "analyze/request.h"

namespace quillfen::analyze {
namespace {

using Components = std::vector<std::string_view>;

TEST(PathComponents, SplitsDropsEmptyAndInnerDotComponents) {
  EXPECT_EQ(path_components("out/a.f32"), (Components{"out", "a.f32"}));
  EXPECT_EQ(path_components("out//a.f32"), (Components{"out", "a.f32"}));
  EXPECT_EQ(path_components("out/./a.f32/"), (Components{"out", "a.f32"}));
  EXPECT_EQ(path_components("/work/out"), (Components{"/", "work", "out"}));
  EXPECT_EQ(path_components("//work/./out//"), (Components{"/", "work", "out"}));
  EXPECT_EQ(path_components("./out"), (Components{".", "out"}));
  EXPECT_EQ(path_components(".//out"), (Components{".", "out"}));
  EXPECT_EQ(path_components("/./out"), (Components{"/", "out"}));
  EXPECT_EQ(path_components("x/../out"), (Components{"x", "..", "out"}));
  EXPECT_EQ(path_components("."), (Components{"."}));
  EXPECT_EQ(path_components("/"), (Components{"/"}));
  EXPECT_EQ(path_components(".hidden/..."), (Components{".hidden", "..."}));
}

TEST(PathsEqual, ComparesComponentsWithoutResolving) {
  for (std::string_view same : {"out//a.f32", "out/./a.f32", "out/a.f32/", "out/a.f32//."}) {
    EXPECT_TRUE(paths_equal(same, "out/a.f32")) << same;
  }
  for (std::string_view other : {"./out/a.f32", "/work/out/a.f32", "x/../out/a.f32", "out/a.f3",
                                 "out/A.f32", "out/a.f32/b"}) {
    EXPECT_FALSE(paths_equal(other, "out/a.f32")) << other;
  }
  EXPECT_TRUE(paths_equal("/", "//"));
  EXPECT_FALSE(paths_equal("/a", "a"));
  // Bytes are compared as they are, including ones that are not separators.
  EXPECT_FALSE(paths_equal(std::string_view("a\0b", 3), "a"));
}

}  // namespace
}  // namespace quillfen::analyze
