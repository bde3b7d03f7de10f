// The pictures of the status icon: the lyre glyph ("mini.png", and "minirev.png" for the
// highlighted state while the menu is open) and its 48 turned copies, drawn with cairo
// once at start-up and written as PNG files that the tray host loads by path.
//
// Free functions, callable from any thread; each surface has one owner (Surface).
#pragma once

#include <cairo.h>

#include <memory>
#include <string>
#include <vector>

namespace Lyrebox::Tray {

struct SurfaceDeleter {
  void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;

constexpr int glyphSize = 48;

// The lyre on a transparent square of size pixels: amber with a dark rim (reads on light
// and dark panels), or white with a dark rim when highlighted.
Surface DrawGlyph(int size, bool highlighted);

// A new image of the same size holding image turned clockwise on screen by degrees about
// its centre and drawn at opacity (0..1). What the turn moves outside is cut off.
Surface RotateIndividualImage(cairo_surface_t* image, double degrees, double opacity);

// rotationSteps images; index k is image turned clockwise by k * 360 / rotationSteps.
std::vector<Surface> BuildRotatedImages(cairo_surface_t* image, double opacity,
                                        int rotationSteps);

// The icon files in folder, all written by WriteIconFiles.
struct IconFiles {
  std::string mini;                  // folder/mini.png, upright, full opacity
  std::string miniRev;               // folder/minirev.png
  std::vector<std::string> rotated;     // folder/mini-NN.png: mini turned, opacity 0.8
  std::vector<std::string> rotatedRev;  // folder/minirev-NN.png: minirev turned, opacity 1
};

// Creates folder (and its parents), draws "mini.png" and "minirev.png" into it, then
// turns the pictures loaded back from those files into the rotated sets. Each file is
// written under a temporary name and renamed, so a second instance never shows a torn
// file. Returns false and sets error when a file cannot be written.
bool WriteIconFiles(const std::string& folder, int rotationSteps, IconFiles& files,
                    std::string& error);

}  // namespace Lyrebox::Tray
