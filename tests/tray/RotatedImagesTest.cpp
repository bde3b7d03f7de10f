// The icon pictures: 48 turned copies each, clockwise, at the right opacity, written where
// the tray host reads them.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "RotatedImages.h"
#include "TestUtil.h"

namespace {

using namespace Lyrebox::Tray;

// The alpha-weighted centre of mass, in pixels from the image centre (y points down).
struct Mass {
  double x = 0, y = 0, total = 0;
  int maxAlpha = 0;
};

Mass CentreOfMass(cairo_surface_t* surface) {
  cairo_surface_flush(surface);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface), size = cairo_image_surface_get_width(surface);
  Mass m;
  for (int y = 0; y < cairo_image_surface_get_height(surface); ++y) {
    for (int x = 0; x < size; ++x) {
      int alpha = *reinterpret_cast<const uint32_t*>(data + y * stride + 4 * x) >> 24;
      m.x += (x + 0.5 - size / 2.0) * alpha;
      m.y += (y + 0.5 - size / 2.0) * alpha;
      m.total += alpha;
      m.maxAlpha = std::max(m.maxAlpha, alpha);
    }
  }
  m.x /= m.total;
  m.y /= m.total;
  return m;
}

TEST(RotatedImages, IconFilesHoldBothSetsTurnedClockwiseAtTheirOpacities) {
  TestUtil::TempDir dir;
  IconFiles files;
  std::string error;
  ASSERT_TRUE(WriteIconFiles(dir.File("cache/lyrebox/icons"), 48, files, error)) << error;
  Surface mini(cairo_image_surface_create_from_png(files.mini.c_str()));
  Surface miniRev(cairo_image_surface_create_from_png(files.miniRev.c_str()));
  for (const auto& [paths, source, opacity] : {std::tuple{files.rotated, mini.get(), 0.8},
                                                 std::tuple{files.rotatedRev, miniRev.get(), 1.0}}) {
    ASSERT_EQ(cairo_surface_status(source), CAIRO_STATUS_SUCCESS);
    ASSERT_EQ(paths.size(), 48u);
    const Mass upright = CentreOfMass(source);
    EXPECT_EQ(upright.maxAlpha, 255);
    // The glyph must look different when turned: its mass lies off the centre.
    const double radius = std::hypot(upright.x, upright.y);
    ASSERT_GT(radius, 1.0);
    for (int k = 0; k < 48; ++k) {
      SCOPED_TRACE(paths[k]);
      Surface frame(cairo_image_surface_create_from_png(paths[k].c_str()));
      ASSERT_EQ(cairo_surface_status(frame.get()), CAIRO_STATUS_SUCCESS);
      ASSERT_EQ(cairo_image_surface_get_width(frame.get()), glyphSize);
      ASSERT_EQ(cairo_image_surface_get_height(frame.get()), glyphSize);
      const Mass m = CentreOfMass(frame.get());
      EXPECT_NEAR(m.maxAlpha, opacity * 255, 1.5);
      EXPECT_NEAR(m.total, upright.total * opacity, upright.total * 0.02);
      EXPECT_NEAR(std::hypot(m.x, m.y), radius, 0.5) << "turned about the centre";
      // The turn from upright to this frame, clockwise on screen.
      double turn = std::atan2(upright.x * m.y - upright.y * m.x, upright.x * m.x + upright.y * m.y);
      EXPECT_NEAR(std::remainder(turn * 180 / std::numbers::pi - 7.5 * k, 360), 0, 2.0);
    }
  }
}

}  // namespace
