// The QPainter surface: lines it leaves out because it drew them before with the same
// pen, lines it gathers into batches, and end points it reads from its tables of device
// positions, must still give exactly the image of drawing every line by itself, with no
// pixel of an earlier line wiped out.
#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "plot/colours.h"
#include "plot/painter.h"
#include "plot/plotmodel.h"
#include "plot_fixture.h"

namespace {

TEST(PainterSurface, RepeatedLinesLeftOutGiveTheSameImage)
{
    // Many short lines over a small area in two pens, so that the lines met lately are
    // forgotten at each change of pen. In the first case most lines repeat; in the second
    // nearly every line is new, so that the queue of lines fills and is drawn before the
    // pen changes.
    struct Segment {
        int x1, y1, x2, y2;
        unsigned colour;
    };
    struct Case {
        int count;          // lines drawn, a third of them in the second pen
        int columns, rows;  // distinct start positions across and up
    };
    const Case cases[] = {{60000, 300, 200}, {1000000, 3000, 2400}};
    for (const Case& c : cases) {
        std::vector<Segment> segments;
        unsigned state = 7;
        const auto next = [&state](int range) {
            state = state * 1664525u + 1013904223u;
            return static_cast<int>((state >> 8) % static_cast<unsigned>(range));
        };
        for (int i = 0; i < c.count; i++) {
            const int x = next(c.columns) * 3000 / c.columns;
            const int y = next(c.rows) * 2000 / c.rows;
            const unsigned colour = i / (c.count / 3) == 1 ? 0x0000FFu : 0xC80000u;
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
        EXPECT_EQ(differing, 0) << c.count << " lines";
    }
}

// A decay measured 10^5 times at 400 distinct times, each value rounded to 0.01, so
// that most marks and residual lines repeat earlier ones exactly and the rest differ
// from their neighbours by less than a pixel. A few observations lie far from the
// curve, so that their residual lines and marks reach the edges of the plot box.
std::string denseProgram(const std::string& folder)
{
    const std::string data = folder + "/dense.dat";
    std::string rows;
    unsigned state = 11;
    char row[64];
    for (int i = 0; i < 100000; i++) {
        state = state * 1664525u + 1013904223u;
        const double noise = static_cast<double>(state >> 8) / (1u << 24) - 0.5;
        const double t = (i * 7919 % 400) * 0.05;
        const double far = i % 9973 == 0 ? 40.0 * (i % 2 ? 1.0 : -1.0) : 0.0;
        std::snprintf(row, sizeof row, "%.2f %.2f\n", t, 50.0 * std::exp(-0.2 * t) + 3.0 + 4.0 * noise + far);
        rows += row;
    }
    writeTextFile(data, rows);
    return "VARIABLES t, rate;\nPARAMETERS a = 40, k = 0.1, b = 1;\nFUNCTION rate = a * exp(-k * t) + b;\n"
           "PLOT RESIDUAL;\nSPLOT CONNECT;\nRPLOT;\nNPLOT;\nDATACOUNT 100000;\nDATA \"" + data + "\";\n";
}

QImage drawnImage(const PlotSpec* spec, int colourSet, int width, int height, bool plain)
{
    QImage image(width, height, QImage::Format_RGB32);
    const unsigned background = plotColours.entry[colourSet][SLOT_BACKGROUND];
    image.fill(QColor(colourRed(background), colourGreen(background), colourBlue(background)));
    QPainter painter(&image);
    const SurfaceDevice device = {colourSet == COLOURS_SCREEN ? SURFACE_WINDOW : SURFACE_IMAGE, width, height,
                                  96.0, 96.0};
    std::unique_ptr<PlotSurface> surface =
        plain ? painterMakePlainSurface(&painter, device) : painterMakeSurface(&painter, device);
    EXPECT_EQ(plotDraw(surface.get(), colourSet, spec), PLOT_DRAWN);
    return image;
}

TEST(PainterSurface, DensePlotsDrawTheImageOfEveryLineDrawnAlone)
{
    colourSetsLoad();
    ASSERT_TRUE(analyseProgram(denseProgram(testTempDir())));
    struct Case {
        int colourSet;
        int width, height;
    };
    // A saved image, a window of an odd size, and one so small that a mark is a pixel
    // or two and the tables of device positions are short.
    const Case cases[] = {{COLOURS_SAVED, 700, 550}, {COLOURS_SCREEN, 1013, 641}, {COLOURS_SAVED, 151, 97}};
    for (const Case& c : cases)
        for (int k = 0; k < 4; k++) {
            const QImage fast = drawnImage(plotNumber(k), c.colourSet, c.width, c.height, false);
            const QImage plain = drawnImage(plotNumber(k), c.colourSet, c.width, c.height, true);
            long differing = 0;
            for (int y = 0; y < c.height; y++)
                for (int x = 0; x < c.width; x++)
                    differing += fast.pixel(x, y) != plain.pixel(x, y);
            EXPECT_EQ(differing, 0) << "plot " << k << " on " << c.width << " x " << c.height;
        }
}

}  // namespace
