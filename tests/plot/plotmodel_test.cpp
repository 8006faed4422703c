// Plot constructions drawn on the recording surface after an analysis in this process:
// the plot menu, curve sampling, skipped points, scatter connections, the normal
// probability plot's expected residuals, and the plots that have nothing to show.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "exec/interpreter.h"
#include "exec/specfun.h"
#include "lang/data.h"
#include "plot/colours.h"
#include "plot/plotmodel.h"
#include "plot/render.h"
#include "plot/surface.h"
#include "plot_fixture.h"

namespace {

SurfaceDevice image700()
{
    return SurfaceDevice{SURFACE_IMAGE, 700, 550, 96.0, 96.0};
}

unsigned savedColour(int slot)
{
    return colourRgb(plotColours.entry[COLOURS_SAVED][slot]);
}

std::vector<RecordedLine> linesOf(const RecordingSurface& surface, int slot)
{
    std::vector<RecordedLine> lines;
    for (const RecordedLine& line : surface.lines)
        if (line.colour == savedColour(slot))
            lines.push_back(line);
    return lines;
}

// Centres of the X marks: each mark is two crossing lines.
std::vector<std::pair<double, double>> markCentres(const std::vector<RecordedLine>& lines)
{
    std::vector<std::pair<double, double>> centres;
    for (size_t i = 0; i + 1 < lines.size(); i += 2)
        centres.emplace_back((lines[i].x1 + lines[i].x2) / 2.0, (lines[i].y1 + lines[i].y2) / 2.0);
    return centres;
}

bool textsAreFinite(const RecordingSurface& surface)
{
    for (const RecordedText& text : surface.texts)
        if (text.text.find("inf") != std::string::npos || text.text.find("nan") != std::string::npos)
            return false;
    return true;
}

class PlotModel : public ::testing::Test {
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

const char LINE_DATA[] = "DATA;\n1 2.1\n2 3.9\n3 6.2\n4 7.8\n5 10.1\n";

TEST_F(PlotModel, MenuItemsCommandsAndCaptions)
{
    ASSERT_TRUE(analyseProgram(std::string("VARIABLES x, y;\nPARAMETERS a, b;\nFUNCTION y = a + b * x;\n"
                                           "SPLOT;\nRPLOT;\nSPLOT XVAR = y, YVAR = x;\n") + LINE_DATA));
    plotModelReset();
    EXPECT_EQ(plotCount(), 3);
    EXPECT_EQ(plotModel.currentPlot, plotNumber(0));
    const std::vector<PlotMenuItem> items = plotMenuItems();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_STREQ(items[0].name, "Scatter plot 1");
    EXPECT_STREQ(items[1].name, "Scatter plot 2");
    EXPECT_STREQ(items[2].name, "Residual plot");
    EXPECT_EQ(items[0].command, PLOT_COMMAND_SCATTER);
    EXPECT_EQ(items[1].command, PLOT_COMMAND_SCATTER + 1);
    EXPECT_EQ(items[2].command, PLOT_COMMAND_RESIDUAL);
    EXPECT_FALSE(items[0].separatorBefore);
    EXPECT_FALSE(items[1].separatorBefore);
    EXPECT_TRUE(items[2].separatorBefore);

    // Choosing a plot makes it current; choosing it again is no change.
    EXPECT_TRUE(plotSelectCommand(PLOT_COMMAND_SCATTER + 1));
    EXPECT_EQ(plotModel.currentPlot, plotNumber(2));
    EXPECT_STREQ(plotModel.plotCaption, "Scatter plot");
    EXPECT_FALSE(plotSelectCommand(PLOT_COMMAND_SCATTER + 1));
    EXPECT_TRUE(plotSelect(PLOT_RESIDUAL, 0));
    EXPECT_STREQ(plotModel.plotCaption, "Plot of residual values");
    EXPECT_FALSE(plotSelect(PLOT_NORMAL, 0));
    EXPECT_FALSE(plotSelectCommand(PLOT_COMMAND_SCATTER + 2));
    plotMenuRefresh();
    EXPECT_EQ(plotModel.currentPlot, plotNumber(0));
    plotModelReset();
    EXPECT_EQ(plotModel.currentPlotCommand, 0);
    EXPECT_EQ(plotModel.curvePointCount, CURVE_POINT_COUNT);

    ASSERT_TRUE(analyseProgram(std::string("VARIABLES x, y;\nPARAMETERS a, b;\nFUNCTION y = a + b * x;\n"
                                           "PLOT;\n") + LINE_DATA));
    EXPECT_EQ(plotCount(), 1);
    ASSERT_EQ(plotMenuItems().size(), 1u);
    EXPECT_STREQ(plotMenuItems()[0].name, "Function plot");
}

TEST_F(PlotModel, DomainSamplesTheCurveAndDropsOutsidePoints)
{
    ASSERT_TRUE(analyseProgram(std::string("VARIABLES x, y;\nPARAMETERS a, b;\nFUNCTION y = a + b * x;\n"
                                           "PLOT DOMAIN = 0, 3;\n") + LINE_DATA));
    plotModelReset();
    RecordingSurface surface(image700());
    EXPECT_EQ(plotDraw(&surface, COLOURS_SAVED, plotNumber(0)), PLOT_DRAWN);
    const std::vector<RecordedLine> curve = linesOf(surface, SLOT_FUNCTION);
    ASSERT_EQ(curve.size(), 199u);
    // Only the observations at x = 1, 2, 3 lie in [0, 3].
    const std::vector<std::pair<double, double>> marks = markCentres(linesOf(surface, SLOT_DATA));
    ASSERT_EQ(marks.size(), 3u);
    // Evenly spaced from the start of the domain to its end.
    const double first = curve.front().x1;
    const double last = curve.back().x2;
    EXPECT_NEAR(curve[99].x2 - first, (last - first) * 100 / 199, 0.11);
    EXPECT_NEAR(marks[2].first - first, (last - first), 0.2);        // x = 3 at the end
    EXPECT_NEAR(marks[0].first - first, (last - first) / 3, 0.2);    // x = 1
}

TEST_F(PlotModel, CurvePointsThatOverflowAreLeftOut)
{
    // The product overflows to infinity beyond x = 709 (b is about 0.5): the far part
    // of the domain has no curve.
    ASSERT_TRUE(analyseProgram("VARIABLES x, y;\nPARAMETERS a = 1, b = 0.4;\n"
                               "FUNCTION y = a * exp(b * x) * exp(b * x);\n"
                               "PLOT RESIDUAL, DOMAIN = 0, 1000;\nDATA;\n0 1\n1 2.7\n2 7.4\n3 20.1\n"));
    RecordingSurface surface(image700());
    EXPECT_EQ(plotDraw(&surface, COLOURS_SAVED, plotNumber(0)), PLOT_DRAWN);
    EXPECT_TRUE(textsAreFinite(surface));
    for (const RecordedLine& line : surface.lines) {
        EXPECT_TRUE(std::isfinite(line.x1) && std::isfinite(line.y1) && std::isfinite(line.x2) &&
                    std::isfinite(line.y2));
        EXPECT_LE(std::fabs(line.y1), 1000.0);
    }
    // About the first 141 points (x up to 709 / (2 b)) are finite.
    const size_t segments = linesOf(surface, SLOT_FUNCTION).size();
    EXPECT_GE(segments, 130u);
    EXPECT_LE(segments, 150u);
}

TEST_F(PlotModel, ScatterConnectSkipsAnObservationOutsideTheDomain)
{
    ASSERT_TRUE(analyseProgram("VARIABLES x, y;\nPARAMETERS a, b;\nFUNCTION y = a + b * x;\n"
                               "SPLOT CONNECT, DOMAIN = 0, 3;\nDATA;\n1 2\n5 9\n2 4.2\n3 5.9\n"));
    RecordingSurface surface(image700());
    EXPECT_EQ(plotDraw(&surface, COLOURS_SAVED, plotNumber(0)), PLOT_DRAWN);
    const std::vector<RecordedLine> lines = linesOf(surface, SLOT_DATA);
    // Mark, mark, joining line, mark, joining line, mark: x = 5 is not there.
    ASSERT_EQ(lines.size(), 2u + 3u + 3u);
    const RecordedLine& join = lines[2];
    EXPECT_NEAR(join.x1, (lines[0].x1 + lines[0].x2) / 2, 0.11);
    EXPECT_NEAR(join.x2, (lines[3].x1 + lines[3].x2) / 2, 0.11);
}

TEST_F(PlotModel, NormalPlotExpectedResidualsAndCorrelation)
{
    ASSERT_TRUE(analyseProgram(std::string("VARIABLES x, y;\nPARAMETERS a, b;\nFUNCTION y = a + b * x;\n"
                                           "NPLOT;\n") + "DATA;\n1 2.3\n2 3.9\n3 6.4\n4 7.6\n5 10.3\n6 11.8\n"));
    RecordingSurface surface(image700());
    EXPECT_EQ(plotDraw(&surface, COLOURS_SAVED, plotNumber(0)), PLOT_DRAWN);

    // Expected residuals from the sorted residuals, independently of the plot code.
    const int n = observationCount;
    std::vector<double> e(n);
    double ss = 0.0;
    for (int i = 0; i < n; i++) {
        e[i] = analysis.observed[i] - analysis.predicted[i];
        ss += e[i] * e[i];
    }
    std::sort(e.begin(), e.end());
    const double s = std::sqrt(ss / (n - 2));
    std::vector<double> q(n);
    for (int i = 0; i < n; i++)
        q[i] = s * ndtri((i + 1 - 0.375) / (n + 0.25));
    const std::vector<std::pair<double, double>> marks = markCentres(linesOf(surface, SLOT_DATA));
    ASSERT_EQ(marks.size(), static_cast<size_t>(n));
    // Mark positions are linear in q and e: compare the spacing ratios.
    for (int i = 1; i < n; i++) {
        EXPECT_NEAR((marks[i].first - marks[0].first) / (marks[n - 1].first - marks[0].first),
                    (q[i] - q[0]) / (q[n - 1] - q[0]), 0.01);
        EXPECT_NEAR((marks[i].second - marks[0].second) / (marks[n - 1].second - marks[0].second),
                    (e[i] - e[0]) / (e[n - 1] - e[0]), 0.01);
    }
    double mq = 0, me = 0;
    for (int i = 0; i < n; i++) {
        mq += q[i] / n;
        me += e[i] / n;
    }
    double sqe = 0, sqq = 0, see = 0;
    for (int i = 0; i < n; i++) {
        sqe += (q[i] - mq) * (e[i] - me);
        sqq += (q[i] - mq) * (q[i] - mq);
        see += (e[i] - me) * (e[i] - me);
    }
    char title[128];
    snprintf(title, sizeof title, "Normal probability plot of residuals (r=%.3f)", sqe / std::sqrt(sqq * see));
    ASSERT_FALSE(surface.texts.empty());
    EXPECT_EQ(surface.texts.back().text, title);
    // The ideal line y = x from the first to the last expected residual.
    const std::vector<RecordedLine> ideal = linesOf(surface, SLOT_IDEAL);
    ASSERT_EQ(ideal.size(), 1u);
    EXPECT_NEAR(ideal[0].x1, marks[0].first, 0.11);
    EXPECT_NEAR(ideal[0].x2, marks[n - 1].first, 0.11);
}

struct EmptyCase {
    const char* name;
    const char* program;
};

TEST_F(PlotModel, PlotsWithNothingToPlaceDrawTheirAxesOnly)
{
    const EmptyCase cases[] = {
        // As many observations as parameters: the scale of the expected residuals is 0 / 0.
        {"normal plot, n = p", "VARIABLES x, y;\nPARAMETERS a, b;\nFUNCTION y = a + b * x;\n"
                               "NPLOT;\nDATA;\n1 2\n2 4.5\n"},
        // No observation in the domain: the residual range is undefined.
        {"residual plot outside the data", "VARIABLES x, y;\nPARAMETERS a, b;\nFUNCTION y = a + b * x;\n"
                                           "RPLOT DOMAIN = 100, 200;\nDATA;\n1 2.1\n2 3.9\n3 6.2\n"},
    };
    for (const EmptyCase& c : cases) {
        ASSERT_TRUE(analyseProgram(c.program)) << c.name;
        RecordingSurface surface(image700());
        EXPECT_EQ(plotDraw(&surface, COLOURS_SAVED, plotNumber(0)), PLOT_AXES_ONLY) << c.name;
        EXPECT_TRUE(linesOf(surface, SLOT_DATA).empty()) << c.name;
        EXPECT_FALSE(linesOf(surface, SLOT_AXES).empty()) << c.name;
        EXPECT_TRUE(textsAreFinite(surface)) << c.name;
        for (const RecordedText& text : surface.texts)
            EXPECT_EQ(text.text.find("(r="), std::string::npos) << c.name;
    }
}

TEST_F(PlotModel, RunTimeErrorsWhileDrawingAreQuiet)
{
    // log(x) fails for x <= 0: the curve over DOMAIN -1, 1 has no left half, and the
    // listing gets no message from the plot.
    ASSERT_TRUE(analyseProgram("VARIABLES x, y;\nPARAMETERS a, b;\nFUNCTION y = a + b * log(x);\n"
                               "PLOT DOMAIN = -1, 1;\nDATA;\n0.2 1\n0.5 2.4\n0.7 2.8\n1 3.1\n"));
    const int lines = listingCount();
    RecordingSurface surface(image700());
    EXPECT_EQ(plotDraw(&surface, COLOURS_SAVED, plotNumber(0)), PLOT_DRAWN);
    EXPECT_EQ(listingCount(), lines);
    const size_t segments = linesOf(surface, SLOT_FUNCTION).size();
    EXPECT_GT(segments, 90u);
    EXPECT_LT(segments, 100u);
    EXPECT_FALSE(quietErrors);
}

}  // namespace
