// Bands on the function plot, drawn on the recording surface: two lines per band in the
// band colour around the curve, a legend line naming the level and the band, the y range
// widened to hold them, one line of text instead when no band can be given, and band and
// residual colours that stand out in every standard table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "plot/colours.h"
#include "plot/plotmodel.h"
#include "plot/surface.h"
#include "plot_fixture.h"

namespace {

SurfaceDevice image700()
{
    return SurfaceDevice{SURFACE_IMAGE, 700, 550, 96.0, 96.0};
}

std::vector<RecordedLine> linesIn(const RecordingSurface& surface, int slot)
{
    std::vector<RecordedLine> lines;
    const unsigned colour = colourRgb(plotColours.entry[COLOURS_SAVED][slot]);
    for (const RecordedLine& line : surface.lines)
        if (line.colour == colour)
            lines.push_back(line);
    return lines;
}

bool hasText(const RecordingSurface& surface, const std::string& text)
{
    for (const RecordedText& t : surface.texts)
        if (t.text == text)
            return true;
    return false;
}

class BandPlot : public ::testing::Test {
protected:
    void SetUp() override { colourSetsLoad(); }
    void TearDown() override
    {
        driverRelease();
        compilerReleaseAll();
        listingClear();
        listingSetSink(nullptr);
    }
};

const char LINE_FIT[] = "VARIABLES x, y;\nPARAMETERS a, b;\nFUNCTION y = a + b * x;\n";
const char LINE_DATA[] = "DATA;\n1 2.1\n2 3.9\n3 6.2\n4 7.8\n5 10.1\n6 11.7\n";

// The confidence band of a straight line: 199 segments above and 199 below the curve, at
// equal distances from it at every point, and inside the plot box.
TEST_F(BandPlot, ConfidenceBandIsTwoLinesSymmetricAboutTheCurve)
{
    ASSERT_TRUE(analyseProgram(std::string(LINE_FIT) + "CONFIDENCE 95;\nPLOT CBAND;\n" + LINE_DATA));
    plotModelReset();
    RecordingSurface surface(image700());
    ASSERT_EQ(plotDraw(&surface, COLOURS_SAVED, plotNumber(0)), PLOT_DRAWN);
    std::vector<RecordedLine> curve = linesIn(surface, SLOT_FUNCTION);
    const std::vector<RecordedLine> band = linesIn(surface, SLOT_BAND);
    // The curve, then the legend's sample of it.
    ASSERT_EQ(curve.size(), 199u + 1);
    curve.pop_back();
    // Two band lines and the legend's sample.
    ASSERT_EQ(band.size(), 2 * 199u + 1);
    double narrowest = 1e300;
    double widest = 0;
    for (size_t i = 0; i < 199; ++i) {
        const double above = curve[i].y1 - band[i].y1;
        const double below = band[199 + i].y1 - curve[i].y1;
        EXPECT_NEAR(above, below, 0.25) << i;   // lower line first; logical units round to 0.1
        narrowest = std::min(narrowest, std::fabs(above));
        widest = std::max(widest, std::fabs(above));
    }
    // Narrowest near the mean of x, widest at the ends, as for any straight line.
    EXPECT_GT(widest, 1.3 * narrowest);
    EXPECT_TRUE(hasText(surface, "95% pointwise confidence band"));
}

// Each band names itself, at the program's level; without a CONFIDENCE statement the
// level is the one a bare CONFIDENCE gives, and it is named.
TEST_F(BandPlot, LegendNamesEveryBandAndItsLevel)
{
    const struct {
        const char* statements;
        std::vector<std::string> legend;
    } cases[] = {
        {"CONFIDENCE 99.995;\nPLOT PBAND;\n", {"99.995% pointwise prediction band"}},
        {"PLOT SBAND CBAND;\n", {"90% pointwise confidence band", "90% simultaneous confidence band"}},
        {"CONFIDENCE 95;\nPLOT CBAND, PBAND, SBAND;\n",
         {"95% pointwise confidence band", "95% pointwise prediction band", "95% simultaneous confidence band"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.statements);
        ASSERT_TRUE(analyseProgram(std::string(LINE_FIT) + c.statements + LINE_DATA));
        plotModelReset();
        RecordingSurface surface(image700());
        ASSERT_EQ(plotDraw(&surface, COLOURS_SAVED, plotNumber(0)), PLOT_DRAWN);
        for (const std::string& text : c.legend)
            EXPECT_TRUE(hasText(surface, text)) << text;
        EXPECT_FALSE(linesIn(surface, SLOT_BAND).empty());
    }
}

// The prediction band is wider than the confidence band and the plot's y range grows to
// hold it: no band line leaves the box.
TEST_F(BandPlot, TheRangeHoldsTheWidestBand)
{
    ASSERT_TRUE(analyseProgram(std::string(LINE_FIT) + "CONFIDENCE 99;\nPLOT PBAND;\n" + LINE_DATA));
    plotModelReset();
    RecordingSurface surface(image700());
    ASSERT_EQ(plotDraw(&surface, COLOURS_SAVED, plotNumber(0)), PLOT_DRAWN);
    double low = 1e300, high = -1e300;
    for (const RecordedLine& line : linesIn(surface, SLOT_BAND)) {
        low = std::min({low, line.y1, line.y2});
        high = std::max({high, line.y1, line.y2});
    }
    double curveLow = 1e300, curveHigh = -1e300;
    std::vector<RecordedLine> curve = linesIn(surface, SLOT_FUNCTION);
    curve.pop_back();   // the legend's sample
    for (const RecordedLine& line : curve) {
        curveLow = std::min({curveLow, line.y1, line.y2});
        curveHigh = std::max({curveHigh, line.y1, line.y2});
    }
    EXPECT_LT(low, curveLow);
    EXPECT_GT(high, curveHigh);
    // The axes' own lines bound the box: every band line lies within their extent.
    double boxLow = 1e300, boxHigh = -1e300;
    for (const RecordedLine& line : linesIn(surface, SLOT_AXES)) {
        boxLow = std::min({boxLow, line.y1, line.y2});
        boxHigh = std::max({boxHigh, line.y1, line.y2});
    }
    EXPECT_GE(low, boxLow - 0.01);
    EXPECT_LE(high, boxHigh + 0.01);
}

// Without a band to give, the plot says why in one line and draws no band line; a plot
// without band options has neither.
TEST_F(BandPlot, NoBandIsSaidOnThePlot)
{
    ASSERT_TRUE(analyseProgram(std::string(LINE_FIT) + "PLOT CBAND;\nPLOT;\nDATA;\n1 2.1\n2 3.9\n"));
    plotModelReset();
    RecordingSurface surface(image700());
    ASSERT_EQ(plotDraw(&surface, COLOURS_SAVED, plotNumber(0)), PLOT_DRAWN);
    EXPECT_TRUE(hasText(surface, "No band: there are not more observations than parameters"));
    EXPECT_TRUE(linesIn(surface, SLOT_BAND).empty());
    RecordingSurface plain(image700());
    ASSERT_EQ(plotDraw(&plain, COLOURS_SAVED, plotNumber(1)), PLOT_DRAWN);
    EXPECT_TRUE(linesIn(plain, SLOT_BAND).empty());
    for (const RecordedText& t : plain.texts)
        EXPECT_EQ(t.text.find("band"), std::string::npos) << t.text;
}

double luminance(unsigned entry)
{
    auto channel = [](int c) {
        const double v = c / 255.0;
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(colourRed(entry)) + 0.7152 * channel(colourGreen(entry)) +
           0.0722 * channel(colourBlue(entry));
}

// In every standard table the band lines and the RESIDUAL option's lines stand out from
// the background (the bands 3:1, as the curve; the short residual lines 4.5:1) and, in
// the tables that have colours at all, differ from what they run beside.
TEST_F(BandPlot, BandAndResidualColoursAreReadableInEveryTable)
{
    const struct {
        int slot;
        double contrast;
        std::vector<int> unlike;
    } lines[] = {
        {SLOT_BAND, 3.0, {SLOT_FUNCTION}},
        {SLOT_RESIDUAL, 4.5, {SLOT_DATA, SLOT_FUNCTION, SLOT_AXES}},
    };
    for (const auto& l : lines)
        for (int table = 0; table < COLOUR_TABLE_COUNT; ++table) {
            const unsigned entry = colourStandard(table, l.slot);
            const double a = luminance(entry);
            const double b = luminance(colourStandard(table, SLOT_BACKGROUND));
            EXPECT_GE((std::max(a, b) + 0.05) / (std::min(a, b) + 0.05), l.contrast) << table << " " << l.slot;
            EXPECT_GE(colourWidth(entry), 1) << table;
            if (table == TABLE_COLOUR_ON_BLACK || table == TABLE_COLOUR_ON_WHITE)
                for (int other : l.unlike)
                    EXPECT_NE(colourRgb(entry), colourRgb(colourStandard(table, other))) << table << " " << other;
        }
}

}  // namespace
