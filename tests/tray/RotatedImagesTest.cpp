// The icon pictures: 48 turned copies each, clockwise, at the right opacity, written where
// the tray host reads them.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "RotatedImages.h"
#include "TestUtil.h"

namespace {

using namespace Lyrebox::Tray;

struct Mass {
  double x, y, total;
  int maxAlpha;
};

// The alpha-weighted centre of mass, in pixels from the top left.
Mass CentreOfMass(cairo_surface_t* surface) {
  cairo_surface_flush(surface);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  int stride = cairo_image_surface_get_stride(surface);
  Mass m{0, 0, 0, 0};
  for (int y = 0; y < cairo_image_surface_get_height(surface); ++y) {
    for (int x = 0; x < cairo_image_surface_get_width(surface); ++x) {
      uint32_t pixel = *reinterpret_cast<const uint32_t*>(data + y * stride + 4 * x);
      int alpha = pixel >> 24;
      m.x += (x + 0.5) * alpha;
      m.y += (y + 0.5) * alpha;
      m.total += alpha;
      m.maxAlpha = std::max(m.maxAlpha, alpha);
    }
  }
  m.x /= m.total;
  m.y /= m.total;
  return m;
}

// Direction of the centre of mass seen from the image centre, in degrees clockwise on
// screen from "right".
double AngleOnScreen(const Mass& m, double size) {
  return std::atan2(m.y - size / 2, m.x - size / 2) * 180 / std::numbers::pi;
}

double AngleDifference(double a, double b) {
  double d = std::fmod(a - b, 360.0);
  if (d > 180) d -= 360;
  if (d <= -180) d += 360;
  return d;
}

// A 48-pixel square with one opaque block above the centre.
Surface BlockAboveCentre() {
  Surface s(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 48, 48));
  cairo_t* cr = cairo_create(s.get());
  cairo_set_source_rgb(cr, 1, 0, 0);
  cairo_rectangle(cr, 20, 4, 8, 8);
  cairo_fill(cr);
  cairo_destroy(cr);
  return s;
}

TEST(RotatedImages, EachStepTurnsSevenAndAHalfDegreesClockwise) {
  Surface source = BlockAboveCentre();
  std::vector<Surface> frames = BuildRotatedImages(source.get(), 0.8, 48);
  ASSERT_EQ(frames.size(), 48u);
  Mass upright = CentreOfMass(source.get());
  double radius = std::hypot(upright.x - 24, upright.y - 24);
  for (int k = 0; k < 48; ++k) {
    SCOPED_TRACE(k);
    ASSERT_EQ(cairo_image_surface_get_width(frames[k].get()), 48);
    ASSERT_EQ(cairo_image_surface_get_height(frames[k].get()), 48);
    Mass m = CentreOfMass(frames[k].get());
    // Straight up is -90 degrees on screen; clockwise adds.
    EXPECT_NEAR(AngleDifference(AngleOnScreen(m, 48), -90 + 7.5 * k), 0, 1.0);
    EXPECT_NEAR(std::hypot(m.x - 24, m.y - 24), radius, 0.5);
    EXPECT_NEAR(m.maxAlpha, 0.8 * 255, 1.5);
  }
  // A quarter turn puts the block right of the centre, half a turn below it.
  EXPECT_GT(CentreOfMass(frames[12].get()).x, 24 + radius - 1);
  EXPECT_GT(CentreOfMass(frames[24].get()).y, 24 + radius - 1);
}

TEST(RotatedImages, IconFilesHoldBothSetsAtTheirOpacities) {
  TestUtil::TempDir dir;
  IconFiles files;
  std::string error;
  ASSERT_TRUE(WriteIconFiles(dir.File("cache/lyrebox/icons"), 48, files, error)) << error;
  ASSERT_EQ(files.rotated.size(), 48u);
  ASSERT_EQ(files.rotatedRev.size(), 48u);

  Surface mini(cairo_image_surface_create_from_png(files.mini.c_str()));
  Surface miniRev(cairo_image_surface_create_from_png(files.miniRev.c_str()));
  ASSERT_EQ(cairo_surface_status(mini.get()), CAIRO_STATUS_SUCCESS);
  Mass glyph = CentreOfMass(mini.get());
  EXPECT_EQ(glyph.maxAlpha, 255);
  // The glyph must look different when turned: its mass lies off the centre.
  ASSERT_GT(std::hypot(glyph.x - glyphSize / 2.0, glyph.y - glyphSize / 2.0), 1.0);

  struct Set {
    const std::vector<std::string>& paths;
    cairo_surface_t* source;
    double opacity;
  };
  for (const Set& set : {Set{files.rotated, mini.get(), 0.8}, Set{files.rotatedRev, miniRev.get(), 1.0}}) {
    Mass upright = CentreOfMass(set.source);
    for (int k = 0; k < 48; k += 6) {
      SCOPED_TRACE(set.paths[k]);
      Surface frame(cairo_image_surface_create_from_png(set.paths[k].c_str()));
      ASSERT_EQ(cairo_surface_status(frame.get()), CAIRO_STATUS_SUCCESS);
      ASSERT_EQ(cairo_image_surface_get_width(frame.get()), glyphSize);
      Mass m = CentreOfMass(frame.get());
      EXPECT_NEAR(m.maxAlpha, set.opacity * 255, 1.5);
      EXPECT_NEAR(m.total, upright.total * set.opacity, upright.total * 0.02);
      EXPECT_NEAR(AngleDifference(AngleOnScreen(m, glyphSize),
                                  AngleOnScreen(upright, glyphSize) + 7.5 * k),
                  0, 2.0);
    }
  }
}

TEST(RotatedImages, UnwritableFolderIsReported) {
  TestUtil::TempDir dir;
  TestUtil::WriteFile(dir.File("file"), "x");
  IconFiles files;
  std::string error;
  EXPECT_FALSE(WriteIconFiles(dir.File("file/icons"), 48, files, error));
  EXPECT_NE(error.find(dir.File("file/icons")), std::string::npos) << error;
  EXPECT_TRUE(files.rotated.empty());
}

}  // namespace
