// What a scientist does with a plot, below the window: log axes and error bars as the
// plot options give them, the view's zoom and pan with its page <-> data mapping, the
// mark under the pointer and the legend's corner.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "lang/compiler.h"
#include "lang/symbols.h"
#include "plot/colours.h"
#include "plot/plotmodel.h"
#include "plot/render.h"
#include "plot/surface.h"
#include "plot_fixture.h"

namespace {

const char SEMILOG[] =
    "VARIABLES t, y, sd;\nPARAMETERS a = 10, k = 0.3;\nFUNCTION y = a * exp(-k * t);\n"
    "PLOT LOGY ERRORBARS = sd;\n"
    "DATA;\n0 10.2 0.5\n1 7.3 0.4\n2 5.6 0.3\n3 4.0 0.3\n4 2.9 0.2\n5 2.3 0.2\n6 1.6 0.1\n8 0.9 0.1\n"
    "9 -0.1 0.1\n";

class PlotView : public ::testing::Test {
protected:
    void SetUp() override
    {
        colourSetsLoad();
        plotViewReset();
    }
    void TearDown() override { plotViewReset(); }
};

RecordingSurface drawn(const PlotSpec* spec)
{
    RecordingSurface surface(SurfaceDevice{SURFACE_IMAGE, 700, 550, 96.0, 96.0});
    EXPECT_EQ(plotDraw(&surface, COLOURS_SAVED, spec), PLOT_DRAWN);
    return surface;
}

// The screen listing of the last compile, one line after another.
std::string listingText()
{
    std::string text;
    for (const ListingLine* line = listingHead(); line; line = line->next)
        text += std::string(line->text) + "\n";
    return text;
}

bool hasText(const RecordingSurface& surface, const std::string& text)
{
    for (const RecordedText& t : surface.texts)
        if (t.text == text)
            return true;
    return false;
}

TEST(LogTicks, DecadesCoverTheRangeAndFillTheLength)
{
    const struct {
        double lo, hi, length;
        bool ok;
        double start;
        int count;
        double step;
    } cases[] = {
        {0.5, 120.0, 100.0, true, -1.0, 4, 1.0},       // 0.1 to 1000
        {1.0, 1000.0, 100.0, true, 0.0, 3, 1.0},        // exact decades start and end the axis
        {3.0, 4.0, 100.0, true, 0.0, 1, 1.0},           // within one decade: that decade
        {1e-30, 1e30, 100.0, true, -30.0, 5, 12.0},     // too many decades: whole decades a step
        {0.0, 10.0, 100.0, false, 0, 0, 0},
        {-5.0, 10.0, 100.0, false, 0, 0, 0},
        {1.0, 10.0, 10.0, false, 0, 0, 0},              // no room for one interval
    };
    for (const auto& c : cases) {
        AxisScale axis{};
        ASSERT_EQ(renderLogTicks(c.lo, c.hi, c.length, &axis), c.ok) << c.lo << " " << c.hi;
        if (!c.ok)
            continue;
        EXPECT_TRUE(axis.log);
        EXPECT_EQ(axis.start, c.start) << c.lo;
        EXPECT_EQ(axis.count, c.count) << c.lo;
        EXPECT_EQ(axis.step, c.step) << c.lo;
        EXPECT_LE(axis.start, std::log10(c.lo));
        EXPECT_GE(axis.end, std::log10(c.hi));
        EXPECT_LE(axis.interval * axis.count, c.length);
        EXPECT_GT(axis.interval * axis.count, c.length - axis.interval);
        EXPECT_GE(axis.interval, AXIS_INTERVAL);
    }
}

// A semi-log plot: decade labels, an observation below zero left out with one note, and
// a bar of +- sd at every observation shown, of the length its ends give on the log axis.
TEST_F(PlotView, LogAxisAndErrorBarsFromThePlotOptions)
{
    ASSERT_TRUE(analyseProgram(SEMILOG));
    plotModelReset();
    const RecordingSurface surface = drawn(plotNumber(0));
    for (const char* label : {"0.1", "1", "10", "100"})
        EXPECT_TRUE(hasText(surface, label)) << label;
    EXPECT_TRUE(hasText(surface, "1 observation with a value <= 0 is not shown on the log axis"));
    EXPECT_TRUE(hasText(surface, "Error bars"));
    ASSERT_TRUE(plotLayout.valid && plotLayout.logY && !plotLayout.logX);
    EXPECT_TRUE(std::isnan(plotLayout.marks[2 * 8])) << "the observation at -0.1 has no mark";

    // The bars: vertical lines in the data colour from y - sd to y + sd.
    const unsigned data = colourRgb(plotColours.entry[COLOURS_SAVED][SLOT_DATA]);
    const double ys[] = {10.2, 7.3, 5.6, 4.0, 2.9, 2.3, 1.6, 0.9};
    const double sds[] = {0.5, 0.4, 0.3, 0.3, 0.2, 0.2, 0.1, 0.1};
    for (int i = 0; i < 8; i++) {
        const double px = plotLayout.marks[2 * i];
        const double low = plotLayoutPageY(plotLayout, ys[i] - sds[i]);
        const double high = plotLayoutPageY(plotLayout, ys[i] + sds[i]);
        bool found = false;
        for (const RecordedLine& line : surface.lines)
            found |= line.colour == data && std::fabs(line.x1 - px) < 0.15 && std::fabs(line.x2 - px) < 0.15 &&
                     std::fabs(line.y1 - low) < 0.15 && std::fabs(line.y2 - high) < 0.15;
        EXPECT_TRUE(found) << "bar of observation " << i + 1;
    }
}

TEST(PlotOptions, NewWordsStayFreeAsNamesAndAreCheckedWhereTheyApply)
{
    // Names everywhere else.
    EXPECT_TRUE(analyseProgram("VARIABLES logx, errorbars;\nPARAMETERS logy = 1;\nFUNCTION errorbars = logy * logx;\n"
                               "PLOT LOGX ERRORBARS = logx;\nDATA;\n1 1.1\n2 2.1\n3 2.9\n"));
    ASSERT_NE(plotNumber(0), nullptr);
    EXPECT_TRUE(plotNumber(0)->plotFlags & PLOTF_LOGX);
    EXPECT_EQ(plotNumber(0)->errorVar->index, 0);
    const struct {
        const char* statement;
        const char* message;
    } bad[] = {
        {"RPLOT ERRORBARS = sd;\n", "ERRORBARS applies to a function or scatter plot (PLOT, SPLOT) only"},
        {"PLOT ERRORBARS;\n", "Syntax error: variable name must follow ERRORBARS"},
        {"PLOT ERRORBARS = a;\n", "A parameter may not be used as a plot variable"},
    };
    for (const auto& c : bad) {
        const std::string text = std::string("VARIABLES t, y, sd;\nPARAMETERS a;\nFUNCTION y = a * t;\n") + c.statement +
                                 "DATA;\n1 1 1\n2 2 1\n";
        EXPECT_FALSE(analyseProgram(text)) << c.statement;
        EXPECT_NE(listingText().find(c.message), std::string::npos) << c.statement << listingText();
    }
}

// Zoom, pan and a box keep the mapping's round trip and move the ranges as asked, on
// linear and log axes.
TEST_F(PlotView, ZoomPanAndBoxMapPagesToDataBothWays)
{
    for (const char* options : {"", "LOGY", "LOGX LOGY"}) {
        SCOPED_TRACE(options);
        ASSERT_TRUE(analyseProgram(std::string("VARIABLES t, y;\nPARAMETERS a = 10, k = 0.3;\n"
                                               "FUNCTION y = a * exp(-k * t);\nPLOT ") +
                                   options + ";\nDATA;\n1 7.3\n2 5.6\n3 4.0\n4 2.9\n5 2.3\n6 1.6\n8 0.9\n"));
        plotModelReset();
        EXPECT_TRUE(drawn(plotNumber(0)).clips.empty()) << "the whole plot is not clipped";
        const PlotLayout before = plotLayout;
        const auto roundTrip = [](const PlotLayout& layout) {
            for (double share : {0.0, 0.3, 1.0}) {
                const double px = layout.areaLeft + share * (layout.boxRight - layout.areaLeft);
                const double py = layout.areaBottom + share * (layout.boxTop - layout.areaBottom);
                EXPECT_NEAR(plotLayoutPageX(layout, plotLayoutDataX(layout, px)), px, 1e-9);
                EXPECT_NEAR(plotLayoutPageY(layout, plotLayoutDataY(layout, py)), py, 1e-9);
            }
        };
        roundTrip(before);

        // Zoom in about a point: a narrower range that still holds it.
        const double px = before.areaLeft + 0.25 * (before.boxRight - before.areaLeft);
        const double py = before.areaBottom + 0.75 * (before.boxTop - before.areaBottom);
        const double x = plotLayoutDataX(before, px);
        const double y = plotLayoutDataY(before, py);
        plotViewZoom(0.5, px, py);
        const RecordingSurface surface = drawn(plotNumber(0));
        const PlotLayout zoomed = plotLayout;
        // The data stay inside the box: the drawing is clipped to it ...
        ASSERT_EQ(surface.clips.size(), 1u);
        // ... widened by half a mark, so that a mark on the frame stays whole.
        EXPECT_LT(surface.clips[0].x1, zoomed.areaLeft - 0.5);
        EXPECT_GT(surface.clips[0].x1, zoomed.areaLeft - 2.0);
        EXPECT_GT(surface.clips[0].y2, zoomed.boxTop + 0.5);
        EXPECT_LT(surface.clips[0].y2, zoomed.boxTop + 2.0);
        // The curve is sampled over the box it shows, from one side to the other.
        const unsigned fit = colourRgb(plotColours.entry[COLOURS_SAVED][SLOT_FUNCTION]);
        double curveLeft = 1e300, curveRight = -1e300;
        for (const RecordedLine& line : surface.lines)
            if (line.colour == fit) {
                curveLeft = std::min({curveLeft, line.x1, line.x2});
                curveRight = std::max({curveRight, line.x1, line.x2});
            }
        EXPECT_NEAR(curveLeft, zoomed.areaLeft, 0.15);
        EXPECT_NEAR(curveRight, zoomed.boxRight, 0.15);
        roundTrip(zoomed);
        const double spanBefore = plotLayoutDataX(before, before.boxRight) - plotLayoutDataX(before, before.areaLeft);
        const double spanAfter = plotLayoutDataX(zoomed, zoomed.boxRight) - plotLayoutDataX(zoomed, zoomed.areaLeft);
        // A log axis keeps whole decades: a zoom within one decade leaves it as it is.
        if (before.logX)
            EXPECT_LE(spanAfter, spanBefore);
        else
            EXPECT_LT(spanAfter, spanBefore);
        EXPECT_LE(plotLayoutDataX(zoomed, zoomed.areaLeft), x);
        EXPECT_GE(plotLayoutDataX(zoomed, zoomed.boxRight), x);
        EXPECT_LE(plotLayoutDataY(zoomed, zoomed.areaBottom), y);
        EXPECT_GE(plotLayoutDataY(zoomed, zoomed.boxTop), y);
        EXPECT_EQ(zoomed.logX, before.logX);
        EXPECT_EQ(zoomed.logY, before.logY);

        // Pan right by half the box: the new view starts at or beyond the old middle's left
        // part, and holds what lay at the old right edge.
        const double half = (zoomed.boxRight - zoomed.areaLeft) / 2.0;
        const double middle = plotLayoutDataX(zoomed, zoomed.areaLeft + half);
        const double right = plotLayoutDataX(zoomed, zoomed.boxRight);
        plotViewPan(half, 0.0);
        drawn(plotNumber(0));
        roundTrip(plotLayout);
        EXPECT_LE(plotLayoutDataX(plotLayout, plotLayout.areaLeft), middle);
        EXPECT_GT(plotLayoutDataX(plotLayout, plotLayout.boxRight), right);

        // A box, then Reset: the plot's own axes again.
        const double boxX = plotLayoutDataX(plotLayout, px);
        const double boxY = plotLayoutDataY(plotLayout, py);
        plotViewBox(px, py, px + 10.0, py - 10.0);
        drawn(plotNumber(0));
        EXPECT_LE(plotLayoutDataX(plotLayout, plotLayout.areaLeft), boxX * (1 + 1e-12));
        EXPECT_GE(plotLayoutDataY(plotLayout, plotLayout.boxTop), boxY * (1 - 1e-12));
        plotViewReset();
        drawn(plotNumber(0));
        EXPECT_EQ(plotLayout.xStart, before.xStart);
        EXPECT_EQ(plotLayout.xScale, before.xScale);
        EXPECT_EQ(plotLayout.yStart, before.yStart);
        EXPECT_EQ(plotLayout.yScale, before.yScale);
    }
}

TEST(PlotMarks, NearestMarkAmongAHundredThousand)
{
    PlotLayout layout{};
    std::mt19937 random(5);
    std::uniform_real_distribution<double> across(10.0, 130.0);
    const int n = 100000;
    for (int i = 0; i < n; i++) {
        const bool missing = i % 97 == 0;
        layout.marks.push_back(missing ? std::nan("") : across(random));
        layout.marks.push_back(missing ? std::nan("") : across(random) * 0.7);
    }
    for (int probe = 0; probe < 200; probe++) {
        const double px = across(random);
        const double py = across(random) * 0.7;
        const double radius = probe % 2 ? 0.05 : 1.0;
        int expected = -1;
        double best = radius * radius;
        for (int i = 0; i < n; i++) {
            const double d = std::pow(layout.marks[2 * i] - px, 2) + std::pow(layout.marks[2 * i + 1] - py, 2);
            if (d <= best && (expected < 0 || d < best || i > expected)) {
                best = d;
                expected = i;
            }
        }
        EXPECT_EQ(plotNearestMark(layout, px, py, radius), expected) << probe;
    }
    // A missing mark is never found, even under the pointer.
    EXPECT_EQ(plotNearestMark(layout, std::nan(""), 5.0, 1e9), -1);
}

TEST(PlotLegend, LegendTakesTheEmptiestCorner)
{
    // A box of 100 x 80 page units and a legend of 30 x 20.
    const struct {
        std::vector<double> points;
        int corner;
    } cases[] = {
        {{}, 0},                                            // a tie: the top left
        {{5, 75, 95, 75}, 2},                               // both top corners taken
        {{5, 75, 95, 75, 5, 5, 6, 6}, 3},
        {{5, 75, 6, 76, 95, 75, 5, 5, 95, 5}, 1},           // the fewest, not none
        {{50, 40, 50, 41}, 0},                              // the middle is in no corner
        {{std::nan(""), 75, 5, std::nan("")}, 0},           // points without a position count nowhere
    };
    for (const auto& c : cases)
        EXPECT_EQ(plotLegendCorner(c.points.data(), static_cast<int>(c.points.size() / 2), 0.0, 0.0, 100.0, 80.0,
                                   30.0, 20.0),
                  c.corner)
            << c.points.size();
}

// The residual lines are drawn last, over the marks and the curve, and the legend goes
// on an opaque background of the background colour.
TEST_F(PlotView, ResidualLinesOnTopAndTheLegendOnItsBackground)
{
    ASSERT_TRUE(analyseProgram(std::string("VARIABLES t, y;\nPARAMETERS a = 10, k = 0.3;\n"
                                           "FUNCTION y = a * exp(-k * t);\nCONFIDENCE 95;\nPLOT RESIDUAL CBAND;\n"
                                           "DATA;\n1 7.9\n2 5.1\n3 4.3\n4 2.6\n5 2.5\n6 1.4\n8 1.2\n")));
    plotModelReset();
    const RecordingSurface surface = drawn(plotNumber(0));
    const unsigned residual = colourRgb(plotColours.entry[COLOURS_SAVED][SLOT_RESIDUAL]);
    const unsigned curve = colourRgb(plotColours.entry[COLOURS_SAVED][SLOT_FUNCTION]);
    size_t lastCurve = 0, firstResidual = surface.lines.size();
    for (size_t i = 0; i < surface.lines.size(); i++) {
        if (surface.lines[i].colour == curve && i < firstResidual)
            lastCurve = i;
        if (surface.lines[i].colour == residual)
            firstResidual = std::min(firstResidual, i);
    }
    EXPECT_LT(lastCurve, firstResidual);
    ASSERT_EQ(surface.fills.size(), 1u);
    EXPECT_EQ(surface.fills[0].colour, colourRgb(plotColours.entry[COLOURS_SAVED][SLOT_BACKGROUND]));
    for (const char* text : {"Data", "Fit", "95% pointwise confidence band"})
        EXPECT_TRUE(hasText(surface, text)) << text;
}

}  // namespace
