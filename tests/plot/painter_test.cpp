// The QPainter surface: lines it leaves out because it drew them before with the same
// pen, and lines it gathers into batches, must still give exactly the image of drawing
// every line by itself, with no pixel of an earlier line wiped out.
#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include <cmath>
#include <vector>

#include "plot/painter.h"

namespace {

TEST(PainterSurface, RepeatedLinesLeftOutGiveTheSameImage)
{
    // Many short lines over a small area, most of them repeated, in two pens, so that
    // the table of drawn lines grows and is emptied at each change of pen.
    struct Segment {
        int x1, y1, x2, y2;
        unsigned colour;
    };
    std::vector<Segment> segments;
    unsigned state = 7;
    const auto next = [&state](int range) {
        state = state * 1664525u + 1013904223u;
        return static_cast<int>((state >> 8) % static_cast<unsigned>(range));
    };
    for (int i = 0; i < 60000; i++) {
        const int x = next(300) * 10;
        const int y = next(200) * 10;
        const unsigned colour = i / 20000 == 1 ? 0x0000FFu : 0xC80000u;
        segments.push_back({x, y, x + next(3) * 10 - 10, y + next(60) - 30, colour});
    }
    const SurfaceDevice device = {SURFACE_IMAGE, 400, 300, 96.0, 96.0};
    const SurfaceMapping mapping = {0.0, 300.0, 0.125, -0.125};

    QImage viaSurface(400, 300, QImage::Format_RGB32);
    viaSurface.fill(Qt::white);
    {
        QPainter painter(&viaSurface);
        std::unique_ptr<PlotSurface> surface = painterMakeSurface(&painter, device);
        surface->beginPass();
        surface->setMapping(mapping);
        for (const Segment& s : segments) {
            surface->setPen(0, s.colour);
            surface->moveTo(s.x1, s.y1);
            surface->lineTo(s.x2, s.y2);
        }
        surface->endPass();
    }
    QImage direct(400, 300, QImage::Format_RGB32);
    direct.fill(Qt::white);
    {
        QPainter painter(&direct);
        const auto device = [&](int x, int y) {
            return QPoint(static_cast<int>(std::floor(mapping.originX + x * mapping.scaleX + 0.5)),
                          static_cast<int>(std::floor(mapping.originY + y * mapping.scaleY + 0.5)));
        };
        for (const Segment& s : segments) {
            painter.setPen(QPen(QColor(s.colour & 0xFF, (s.colour >> 8) & 0xFF, (s.colour >> 16) & 0xFF), 0));
            painter.drawLine(device(s.x1, s.y1), device(s.x2, s.y2));
        }
    }
    long differing = 0;
    for (int y = 0; y < 300; y++)
        for (int x = 0; x < 400; x++)
            differing += viaSurface.pixel(x, y) != direct.pixel(x, y);
    EXPECT_EQ(differing, 0);
}

}  // namespace
