// Rendering: the tick algorithm, the tick-label formats, the face ranking, and the
// layouts checked on the recording surface.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "plot/colours.h"
#include "plot/render.h"
#include "plot/surface.h"

namespace {

struct TickCase {
    const char* name;
    double lo, hi, length;
    double start, step;
    int count, minor;
};

TEST(Ticks, TableOfRanges)
{
    const TickCase cases[] = {
        // Room for 4 intervals over 0..1: p = 0.1, multiplier 3 is the first to reach.
        {"zero to one in four", 0.0, 1.0, 80.0, 0.0, 0.3, 4, 3},
        // A constant series is drawn over [lo, lo + 1].
        {"constant", 5.0, 5.0, 100.0, 5.0, 0.2, 5, 4},
        // Multiplier 8 (step 0.08) is the first whose four intervals from -0.24 reach 0.08.
        {"negative to positive", -0.17, 0.08, 80.0, -0.24, 0.08, 4, 4},
        {"large values", 0.0, 4e7, 60.0, 0.0, 2e7, 2, 4},
        {"decay data", 12.65, 127.69, 90.0, 0.0, 40.0, 4, 4},
        // One interval only, where no multiplier up to 8 fits: the count is then 1.
        {"one interval", 3.0, 9.5, 20.0, 0.0, 10.0, 1, 5},
    };
    for (const TickCase& c : cases) {
        AxisScale axis = {};
        ASSERT_TRUE(renderTicks(c.lo, c.hi, c.length, &axis)) << c.name;
        EXPECT_NEAR(axis.start, c.start, 1e-12 * std::fabs(c.step)) << c.name;
        EXPECT_NEAR(axis.step, c.step, 1e-12 * c.step) << c.name;
        EXPECT_EQ(axis.count, c.count) << c.name;
        EXPECT_EQ(axis.minor, c.minor) << c.name;
        EXPECT_DOUBLE_EQ(axis.scale, 20.0 / axis.step) << c.name;
        EXPECT_GE(axis.start + axis.count * axis.step + 0.01 * axis.step, c.lo == c.hi ? c.lo + 1 : c.hi);
        EXPECT_LE(axis.start, c.lo) << c.name;
    }
}

TEST(Ticks, FailsWithoutRoomOrFiniteRange)
{
    AxisScale axis = {};
    EXPECT_FALSE(renderTicks(0.0, 1.0, 19.9, &axis));
    EXPECT_TRUE(renderTicks(0.0, 1.0, 19.9999, &axis));     // within the 0.00001 allowance
    EXPECT_FALSE(renderTicks(0.0, INFINITY, 100.0, &axis));
    EXPECT_FALSE(renderTicks(NAN, 1.0, 100.0, &axis));
    EXPECT_FALSE(renderTicks(-1.7e308, 1.7e308, 100.0, &axis));
}

TEST(Ticks, RangeBeyondDoubleResolutionStillEnds)
{
    // lo + 1 == lo at this magnitude: the range is widened instead of looping forever.
    AxisScale axis = {};
    ASSERT_TRUE(renderTicks(1e20, 1e20, 100.0, &axis));
    EXPECT_GT(axis.step, 0.0);
    EXPECT_GE(axis.count, 1);
    EXPECT_LE(axis.count, 5);
}

struct FormatCase {
    std::vector<double> values;
    const char* format;
    std::vector<const char*> labels;
};

TEST(TickLabels, FormatsOfTheEdgeCases)
{
    const FormatCase cases[] = {
        {{-0.2, -0.1, 0.0, 0.1}, "%4.1lf", {"-0.2", "-0.1", "0.0", "0.1"}},
        // A value far below the axis' spread prints as 0.
        {{1e-17, 0.25, 0.5, 0.75, 1.0}, "%4.2lf", {"0.00", "0.25", "0.50", "0.75", "1.00"}},
        {{-1.1102230246251565e-16, 40, 80, 120, 160}, "%3.0lf", {"0", "40", "80", "120", "160"}},
        // "%lg" prints 2e7 with an 'e': exponent format, no decimals.
        {{0.0, 2e7, 4e7}, "%6.0lE", {"0E+00", "2E+07", "4E+07"}},
        {{0.0, 2.5e-5, 5e-5}, "%7.1lE", {"0.0E+00", "2.5E-05", "5.0E-05"}},
        {{}, "%0.0lf", {}},
    };
    for (const FormatCase& c : cases) {
        const LabelFormat format = renderLabelFormat(c.values.data(), static_cast<int>(c.values.size()));
        EXPECT_STREQ(format.format, c.format);
        for (size_t i = 0; i < c.labels.size(); i++)
            EXPECT_EQ(renderLabelText(format, c.values[i]), c.labels[i]) << c.format;
    }
}

TEST(Fonts, RankingPicksTheBestInstalledFace)
{
    EXPECT_EQ(renderChooseFace({}), "Roman");
    EXPECT_EQ(renderChooseFace({"Noto Mono", "DejaVu Sans"}), "DejaVu Sans");
    EXPECT_EQ(renderChooseFace({"DejaVu Sans", "Liberation Sans", "Nimbus Sans"}), "Liberation Sans");
    EXPECT_EQ(renderChooseFace({"Arial", "MS Sans Serif", "Roman", "DejaVu Sans"}), "Arial");
    EXPECT_EQ(renderChooseFace({"arial", "Arial Rounded MT Bold", "Arial"}), "Arial Rounded MT Bold");
}

// Lays out and draws the frame of a plot on a recording surface of the given size.
struct Drawn {
    bool laidOut;
    PlotContext context;
};

Drawn drawFrame(RecordingSurface* surface, int layout, const PlotFrame& frame)
{
    Drawn drawn = {};
    if (!renderBegin(&drawn.context, surface, COLOURS_SAVED))
        return drawn;
    drawn.laidOut = renderLayout(&drawn.context, layout, frame);
    if (drawn.laidOut) {
        renderAxes(&drawn.context, frame);
        if (frame.title[0])
            renderTitle(&drawn.context, frame.title);
    }
    renderEnd(&drawn.context);
    return drawn;
}

SurfaceDevice imageOf(int width, int height)
{
    return SurfaceDevice{SURFACE_IMAGE, width, height, 96.0, 96.0};
}

struct LayoutCase {
    int width, height;
    int layout;
    PlotFrame frame;
};

TEST(Layout, TextStaysOnThePageAndAxesAreWholeIntervals)
{
    const LayoutCase cases[] = {
        {700, 550, LAYOUT_CURVE, {0, 22, 12.65, 127.69, "Decay of a sample", "t", "rate", true}},
        {700, 550, LAYOUT_GENERAL, {-1.9, 1.9, -2.2, 2.4, "Normal probability plot (r=0.987)",
                                     "Expected residuals", "Actual residuals", false}},
        {400, 900, LAYOUT_GENERAL, {0, 2e7, -5e-5, 5e-5, "Tall", "x", "y", true}},
        {1200, 300, LAYOUT_CURVE, {-1000, 1000, 0.001, 0.002, "", "", "", true}},
        {701, 551, LAYOUT_CURVE, {3, 3, -7, -7, "Constant", "xx", "yy", false}},
    };
    for (const LayoutCase& c : cases) {
        RecordingSurface surface(imageOf(c.width, c.height));
        const Drawn drawn = drawFrame(&surface, c.layout, c.frame);
        ASSERT_TRUE(drawn.laidOut) << c.width << "x" << c.height;
        const PlotContext& context = drawn.context;
        const double top = context.pageHeight;
        for (const RecordedText& text : surface.texts) {
            // A rotated label runs upward from its start; its top faces left.
            const bool rotated = text.escapement == 900;
            const double right = text.x + (rotated ? text.height : text.width);
            const double high = rotated ? text.y + text.width : text.y;
            const double low = rotated ? text.y : text.y - text.height;
            EXPECT_GE(text.x, 0.0) << text.text;
            EXPECT_LE(right, PAGE_WIDTH) << text.text;
            EXPECT_GE(low, 0.0) << text.text;
            EXPECT_LE(high, top + 0.1) << text.text;
        }
        const double xLength = context.boxRight - context.areaLeft;
        const double yLength = context.boxTop - context.areaBottom;
        EXPECT_DOUBLE_EQ(xLength, 20.0 * context.xAxis.count);
        EXPECT_DOUBLE_EQ(yLength, 20.0 * context.yAxis.count);
        EXPECT_LE(context.boxRight, PAGE_WIDTH);
        EXPECT_LE(context.boxTop, top);
        // The axes are drawn along the box.
        bool xAxisFound = false;
        for (const RecordedLine& line : surface.lines)
            xAxisFound |= std::fabs(line.y1 - context.xAxisY) < 0.11 && std::fabs(line.y2 - line.y1) < 1e-9 &&
                          std::fabs((line.x2 - line.x1) - xLength) < 0.2;
        EXPECT_TRUE(xAxisFound);
        EXPECT_GE(context.xAxis.start + context.xAxis.count * context.xAxis.step, c.frame.xHigh);
    }
}

TEST(Layout, NoRoomForAnIntervalDrawsNothing)
{
    // 30 pixels high: the page is 6 units high, less than one 20-unit interval.
    RecordingSurface surface(imageOf(700, 30));
    const PlotFrame frame = {0, 1, 0, 1, "Title", "x", "y", true};
    const Drawn drawn = drawFrame(&surface, LAYOUT_GENERAL, frame);
    EXPECT_FALSE(drawn.laidOut);
    EXPECT_TRUE(surface.lines.empty());
    EXPECT_TRUE(surface.texts.empty());
    // A surface with no pixels is not drawn on at all.
    RecordingSurface empty(imageOf(0, 100));
    PlotContext context;
    EXPECT_FALSE(renderBegin(&context, &empty, COLOURS_SCREEN));
    EXPECT_EQ(empty.passes, 0);
}

TEST(Layout, TitleShrinksDownTo39AndThenOverflows)
{
    const std::string wide(120, 'W');
    RecordingSurface surface(imageOf(700, 550));
    const PlotFrame frame = {0, 1, 0, 1, wide.c_str(), "", "", false};
    drawFrame(&surface, LAYOUT_GENERAL, frame);
    ASSERT_FALSE(surface.texts.empty());
    const RecordedText& title = surface.texts.back();
    EXPECT_EQ(title.text, wide);
    EXPECT_EQ(title.fontHeight, 39);
    EXPECT_EQ(title.style, FONT_TITLE);
    EXPECT_EQ(title.colour, colourRgb(plotColours.entry[COLOURS_SAVED][SLOT_TITLE]));
    EXPECT_GT(title.width, PAGE_WIDTH);
    std::vector<int> titleHeights;
    for (const RecordedFont& font : surface.fonts)
        if (font.style == FONT_TITLE)
            titleHeights.push_back(font.height);
    ASSERT_EQ(titleHeights.size(), 12u);
    EXPECT_EQ(titleHeights.front(), 50);
    EXPECT_EQ(titleHeights.back(), 39);
}

TEST(Layout, OneLetterYLabelUprightLongerOneReadsUpward)
{
    for (const char* label : {"y", "rate"}) {
        RecordingSurface surface(imageOf(700, 550));
        const PlotFrame frame = {0, 1, 0, 1, "", "x", label, false};
        const Drawn drawn = drawFrame(&surface, LAYOUT_CURVE, frame);
        const RecordedText* found = nullptr;
        for (const RecordedText& text : surface.texts)
            if (text.text == label)
                found = &text;
        ASSERT_NE(found, nullptr) << label;
        const bool single = label[1] == '\0';
        EXPECT_EQ(found->escapement, single ? 0 : 900) << label;
        // Centred on the middle of the axis.
        const double middle = (drawn.context.areaBottom + drawn.context.boxTop) / 2.0;
        if (single)
            EXPECT_NEAR(found->y - found->height / 2.0, middle, 0.2);
        else
            EXPECT_NEAR(found->y + found->width / 2.0, middle, 0.2);
    }
}

}  // namespace
