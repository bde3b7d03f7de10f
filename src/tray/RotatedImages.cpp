#include "RotatedImages.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>

namespace Lyrebox::Tray {

namespace {

constexpr double normalOpacity = 0.8;

struct ContextDeleter {
  void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};
using Context = std::unique_ptr<cairo_t, ContextDeleter>;

// Strokes the current path twice: a dark rim, then the colour on top.
void StrokeWithRim(cairo_t* cr, double width, double r, double g, double b) {
  cairo_set_source_rgba(cr, 0.08, 0.08, 0.1, 0.9);
  cairo_set_line_width(cr, width + 2.0);
  cairo_stroke_preserve(cr);
  cairo_set_source_rgb(cr, r, g, b);
  cairo_set_line_width(cr, width);
  cairo_stroke(cr);
}

// mkdir -p; true when the folder exists afterwards.
bool MakeFolders(const std::string& folder) {
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = folder.find('/', pos + 1);
    partial = folder.substr(0, pos);
    if (partial.empty()) continue;
    if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WritePng(cairo_surface_t* surface, const std::string& path, std::string& error) {
  std::string temporary = path + ".tmp" + std::to_string(getpid());
  cairo_status_t status = cairo_surface_write_to_png(surface, temporary.c_str());
  if (status != CAIRO_STATUS_SUCCESS) {
    unlink(temporary.c_str());
    error = "could not write " + path + ": " + cairo_status_to_string(status);
    return false;
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    int savedErrno = errno;
    unlink(temporary.c_str());
    error = "could not write " + path + ": " + std::strerror(savedErrno);
    return false;
  }
  return true;
}

Surface LoadPng(const std::string& path, std::string& error) {
  Surface surface(cairo_image_surface_create_from_png(path.c_str()));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) {
    error = "could not read " + path;
    return nullptr;
  }
  return surface;
}

std::string FrameName(const std::string& folder, const char* stem, int index) {
  char name[32];
  std::snprintf(name, sizeof name, "/%s-%02d.png", stem, index);
  return folder + name;
}

}  // namespace

Surface DrawGlyph(int size, bool highlighted) {
  Surface surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size));
  Context cr(cairo_create(surface.get()));
  // Drawn on a 48-unit grid; everything stays inside the circle of radius 22 about the
  // centre, so no turn cuts anything off.
  cairo_scale(cr.get(), size / 48.0, size / 48.0);
  cairo_set_line_cap(cr.get(), CAIRO_LINE_CAP_ROUND);
  cairo_set_line_join(cr.get(), CAIRO_LINE_JOIN_ROUND);
  double r = 0.96, g = 0.70, b = 0.16;  // amber
  if (highlighted) r = g = b = 1.0;

  // Strings first, so that the frame is drawn over their ends.
  // Thin and without a rim, so that they stay apart at panel size.
  for (double x : {19.0, 24.0, 29.0}) {
    cairo_move_to(cr.get(), x, 12.5);
    cairo_line_to(cr.get(), x, 30.0);
  }
  cairo_set_source_rgb(cr.get(), r * 0.8, g * 0.8, b * 0.8);
  cairo_set_line_width(cr.get(), 1.5);
  cairo_stroke(cr.get());

  // The two arms, curving out from the sound box and back in, with curled horns.
  cairo_move_to(cr.get(), 15.0, 31.0);
  cairo_curve_to(cr.get(), 8.0, 26.0, 8.5, 17.0, 13.5, 11.0);
  cairo_curve_to(cr.get(), 15.0, 9.0, 13.0, 6.5, 10.5, 7.5);
  cairo_move_to(cr.get(), 33.0, 31.0);
  cairo_curve_to(cr.get(), 40.0, 26.0, 39.5, 17.0, 34.5, 11.0);
  cairo_curve_to(cr.get(), 33.0, 9.0, 35.0, 6.5, 37.5, 7.5);
  // The yoke across the top.
  cairo_move_to(cr.get(), 13.0, 12.5);
  cairo_line_to(cr.get(), 35.0, 12.5);
  StrokeWithRim(cr.get(), 3.0, r, g, b);

  // The sound box: a full bowl at the foot. It carries most of the glyph's weight, so
  // that every turned copy looks different.
  cairo_move_to(cr.get(), 10.5, 29.5);
  cairo_line_to(cr.get(), 37.5, 29.5);
  cairo_curve_to(cr.get(), 37.5, 39.5, 31.5, 44.5, 24.0, 44.5);
  cairo_curve_to(cr.get(), 16.5, 44.5, 10.5, 39.5, 10.5, 29.5);
  cairo_close_path(cr.get());
  cairo_set_source_rgb(cr.get(), r, g, b);
  cairo_fill_preserve(cr.get());
  cairo_set_source_rgba(cr.get(), 0.08, 0.08, 0.1, 0.9);
  cairo_set_line_width(cr.get(), 1.6);
  cairo_stroke(cr.get());
  // A dark sound hole.
  cairo_arc(cr.get(), 24.0, 36.5, 2.6, 0, 2 * std::numbers::pi);
  cairo_fill(cr.get());

  cairo_surface_flush(surface.get());
  return surface;
}

Surface RotateIndividualImage(cairo_surface_t* image, double degrees, double opacity) {
  double w = cairo_image_surface_get_width(image);
  double h = cairo_image_surface_get_height(image);
  Surface rotated(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(w),
                                             static_cast<int>(h)));
  Context cr(cairo_create(rotated.get()));
  // cairo's y axis points down, so a positive angle turns clockwise on screen.
  cairo_translate(cr.get(), w / 2, h / 2);
  cairo_rotate(cr.get(), degrees * std::numbers::pi / 180.0);
  cairo_translate(cr.get(), -w / 2, -h / 2);
  cairo_set_source_surface(cr.get(), image, 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr.get()), CAIRO_FILTER_BILINEAR);
  cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
  cairo_paint_with_alpha(cr.get(), opacity);
  cairo_surface_flush(rotated.get());
  return rotated;
}

std::vector<Surface> BuildRotatedImages(cairo_surface_t* image, double opacity,
                                        int rotationSteps) {
  std::vector<Surface> images;
  images.reserve(rotationSteps);
  for (int i = 0; i < rotationSteps; ++i) {
    images.push_back(RotateIndividualImage(image, i * 360.0 / rotationSteps, opacity));
  }
  return images;
}

bool WriteIconFiles(const std::string& folder, int rotationSteps, IconFiles& files,
                    std::string& error) {
  if (!MakeFolders(folder)) {
    error = "could not create " + folder + ": " + std::strerror(errno);
    return false;
  }
  IconFiles result;
  result.mini = folder + "/mini.png";
  result.miniRev = folder + "/minirev.png";
  if (!WritePng(DrawGlyph(glyphSize, false).get(), result.mini, error) ||
      !WritePng(DrawGlyph(glyphSize, true).get(), result.miniRev, error)) {
    return false;
  }
  struct Set {
    const std::string& source;
    const char* stem;
    double opacity;
    std::vector<std::string>& paths;
  };
  for (const Set& set : {Set{result.mini, "mini", normalOpacity, result.rotated},
                         Set{result.miniRev, "minirev", 1.0, result.rotatedRev}}) {
    Surface source = LoadPng(set.source, error);
    if (!source) return false;
    std::vector<Surface> frames = BuildRotatedImages(source.get(), set.opacity, rotationSteps);
    for (int i = 0; i < rotationSteps; ++i) {
      set.paths.push_back(FrameName(folder, set.stem, i));
      if (!WritePng(frames[i].get(), set.paths.back(), error)) return false;
    }
  }
  files = std::move(result);
  return true;
}

}  // namespace Lyrebox::Tray
