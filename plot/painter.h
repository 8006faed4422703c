// The QPainter surface: one PlotSurface for a window, a printer page and an off-screen
// image. Lines and marks are drawn without antialiasing, so that they keep the exact
// colours of their set, unless the device asks for it; text is drawn on a filled
// background of the pass's background colour.
#pragma once

#include <memory>

#include "plot/surface.h"

class QPainter;

// Observations up to which the window antialiases its plot. Beyond, marks and residual
// lines cover whole areas, where edges no longer show, and the exact drawing keeps zoom
// and pan quick.
constexpr long PAINTER_ANTIALIAS_LIMIT = 50000;

// A surface drawing through painter, which must stay active while the surface is used.
// device gives the drawing area in the painter's device pixels, its resolution and
// whether it is a window, a printer page or an image.
std::unique_ptr<PlotSurface> painterMakeSurface(QPainter* painter, const SurfaceDevice& device);

// The same surface without its shortcuts: every end point rounded on its own and every
// line handed to the painter alone, repeats included. It draws the image the shortcuts
// must give pixel for pixel.
std::unique_ptr<PlotSurface> painterMakePlainSurface(QPainter* painter, const SurfaceDevice& device);
