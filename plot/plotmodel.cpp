// Plot model and the four plot constructions. Each construction reads the analysis
// results and the observations afresh on every pass (nothing is kept between repaints),
// works out its ranges, lets the renderer lay out the axes, and draws its points.
//
// A value that is not finite (a model that overflows at a curve point, an infinite
// residual) never reaches the tick algorithm or the surface: observations and curve
// points whose value is not finite, or whose run of the program failed, are left out,
// and a curve is broken where a point is left out.
#include "plot/plotmodel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "analysis/bands.h"
#include "analysis/driver.h"
#include "analysis/results.h"
#include "exec/interpreter.h"
#include "exec/specfun.h"
#include "lang/data.h"
#include "lang/options.h"
#include "lang/symbols.h"
#include "plot/colours.h"
#include "plot/render.h"
#include "plot/surface.h"
#include "support/allocator.h"

const char PLOT_MENU_ITEM[] = "P&lot";
const char PLOT_MENU_POPUP[] = "&Plot";

PlotModelState plotModel = {nullptr, 0, "", CURVE_POINT_COUNT, {}};
PlotLayout plotLayout = {};

namespace {

const char PLOT_TAG[] = "plot";
const char NORMAL_TITLE_FORMAT[] = "%s (r=%.3lf)";
const char LOG_NOTE_ONE[] = "1 observation with a value <= 0 is not shown on the log axis";
const char LOG_NOTE_MANY[] = "%d observations with a value <= 0 are not shown on the log axis";
const char LEGEND_DATA[] = "Data";
const char LEGEND_FIT[] = "Fit";
const char LEGEND_ERRORS[] = "Error bars";
constexpr double LEGEND_SAMPLE = 8.0;       // page units of a legend's sample line
constexpr double LEGEND_MARGIN = 1.0;       // page units around a legend's lines
constexpr double NOT_A_VALUE = std::numeric_limits<double>::quiet_NaN();

// One drawing pass evaluates the program in a frame of its own, so that a repaint never
// touches the values the analysis left behind.
struct PlotPass {
    RunFrame frame;         // values and run flags of the pass's evaluations
};

PlotPass plotPass = {};

// ORDER MENU: the plot kinds in submenu order, with their command bases and item names.
struct MenuKind {
    int kind;               // PlotKind
    int commandBase;        // PlotCommand
    const char* name;       // item name
};
constexpr MenuKind MENU_KINDS[] = {
    {PLOT_FUNCTION, PLOT_COMMAND_FUNCTION, "Function plot"},
    {PLOT_SCATTER, PLOT_COMMAND_SCATTER, "Scatter plot"},
    {PLOT_RESIDUAL, PLOT_COMMAND_RESIDUAL, "Residual plot"},
    {PLOT_NORMAL, PLOT_COMMAND_NORMAL, "Normal probability residual plot"},
};

// The range of the finite values seen.
struct Range {
    double lo;      // smallest value
    double hi;      // largest value
    bool any;       // a finite value was seen
};

constexpr Range NO_RANGE = {0.0, 0.0, false};

void widen(Range* range, double value)
{
    if (!std::isfinite(value))
        return;
    if (!range->any) {
        *range = Range{value, value, true};
        return;
    }
    range->lo = std::min(range->lo, value);
    range->hi = std::max(range->hi, value);
}

bool inside(double value, const Range& range)
{
    return value >= range.lo && value <= range.hi;
}

double finiteOrNothing(double value)
{
    return std::isfinite(value) ? value : NOT_A_VALUE;
}

// Frees a temporary array; null (after an allocation failure) is left alone.
void release(double* block)
{
    if (block)
        memfree(block);
}

bool titleShown(const PlotSpec* spec)
{
    return spec->title[0] && !(spec->plotFlags & PLOTF_NOTITLE);
}

// The values of two symbols for every observation, interleaved: x of observation i at
// 2i, y at 2i + 1, each NaN where it is not finite or the program failed for that
// observation. Input variables come from the observation store; any other symbol is
// read after running the program for the observation. Null when memory ran out.
double* gatherPairs(const Symbol* x, const Symbol* y, int n)
{
    double* pairs = memalloc_doubles(2 * static_cast<size_t>(std::max(n, 1)), PLOT_TAG);
    if (!pairs)
        return nullptr;
    RunFrame* frame = &plotPass.frame;
    const bool run = x->kind != SYM_INPUT || y->kind != SYM_INPUT;
    if (run)
        runReset(frame);
    for (int i = 0; i < n; i++) {
        double xValue = NOT_A_VALUE;
        double yValue = NOT_A_VALUE;
        if (run) {
            if (runObservation(frame, i, nullptr, nullptr, nullptr)) {
                xValue = runValue(frame, x);
                yValue = runValue(frame, y);
            }
        } else {
            const double* row = observations + static_cast<long>(i) * inputVariableCount;
            xValue = row[x->index];
            yValue = row[y->index];
        }
        pairs[2 * i] = finiteOrNothing(xValue);
        pairs[2 * i + 1] = finiteOrNothing(yValue);
    }
    return pairs;
}

void widenByPairs(Range* xRange, Range* yRange, const double* pairs, int n)
{
    for (int i = 0; i < n; i++) {
        if (xRange)
            widen(xRange, pairs[2 * i]);
        if (yRange)
            widen(yRange, pairs[2 * i + 1]);
    }
}

Range domainOr(const PlotSpec* spec, const Range& range)
{
    if (spec->plotFlags & PLOTF_DOMAIN)
        return Range{spec->domainLow, spec->domainHigh,
                     std::isfinite(spec->domainLow) && std::isfinite(spec->domainHigh)};
    return range;
}

PlotFrame frameOf(const PlotSpec* spec, const char* title, const Range& x, const Range& y)
{
    PlotFrame frame;
    frame.xLow = x.any ? x.lo : 0.0;
    frame.xHigh = x.any ? x.hi : 0.0;
    frame.yLow = y.any ? y.lo : 0.0;
    frame.yHigh = y.any ? y.hi : 0.0;
    frame.title = title;
    frame.xLabel = spec->xLabel;
    frame.yLabel = spec->yLabel;
    frame.grid = (spec->plotFlags & PLOTF_GRID) != 0;
    const PlotViewRange& view = plotModel.view;
    frame.logX = view.active ? view.logX : (spec->plotFlags & PLOTF_LOGX) != 0;
    frame.logY = view.active ? view.logY : (spec->plotFlags & PLOTF_LOGY) != 0;
    if (view.active) {
        frame.xLow = view.xLow;
        frame.xHigh = view.xHigh;
        frame.yLow = view.yLow;
        frame.yHigh = view.yHigh;
    }
    return frame;
}

bool logX(const PlotSpec* spec)
{
    return plotModel.view.active ? plotModel.view.logX : (spec->plotFlags & PLOTF_LOGX) != 0;
}

bool logY(const PlotSpec* spec)
{
    return plotModel.view.active ? plotModel.view.logY : (spec->plotFlags & PLOTF_LOGY) != 0;
}

// Leaves out of pairs every point with a value <= 0 on a log axis; returns how many
// points that had both values were left out.
int dropForLogAxes(double* pairs, int n, bool onX, bool onY)
{
    int dropped = 0;
    for (int i = 0; (onX || onY) && i < n; i++) {
        double& x = pairs[2 * i];
        double& y = pairs[2 * i + 1];
        if ((onX && x <= 0.0) || (onY && y <= 0.0)) {
            dropped += !std::isnan(x) && !std::isnan(y);
            x = y = NOT_A_VALUE;
        }
    }
    return dropped;
}

// The one note of a plot that left observations out of a log axis, at the bottom left
// inside the box.
void drawLogNote(PlotContext* context, int dropped)
{
    if (dropped <= 0)
        return;
    char text[128];
    snprintf(text, sizeof text, dropped == 1 ? LOG_NOTE_ONE : LOG_NOTE_MANY, dropped);
    renderSelectFont(context, FONT_TICKS, FONT_ITALIC, 0);
    renderText(context, context->areaLeft + 2.0, context->areaBottom + 1.2 * renderTextHeight(context, text) + 1.0,
               text, SLOT_TEXT);
}

// A zoomed view keeps the drawing of the data inside the box.
void clipForView(PlotContext* context, bool on)
{
    if (plotModel.view.active)
        renderClipToBox(context, on);
}

// A zoomed view leaves out what falls wholly outside its box: a mark at (px, py), or a
// vertical line at px from py to the other end.
bool outsideView(const PlotContext* context, double px, double py, double otherEnd)
{
    if (!plotModel.view.active)
        return false;
    const double margin = 2.0 * (context->markHalfWidth + context->markHalfHeight);
    return px < context->areaLeft - margin || px > context->boxRight + margin ||
           std::max(py, otherEnd) < context->areaBottom - margin || std::min(py, otherEnd) > context->boxTop + margin;
}

// The observations' mark positions go to the layout the view reads.
void keepLayout(const PlotContext* context, bool logOnX, bool logOnY)
{
    plotLayout.valid = true;
    plotLayout.pageWidth = context->pageWidth;
    plotLayout.pageHeight = context->pageHeight;
    plotLayout.areaLeft = context->areaLeft;
    plotLayout.areaBottom = context->areaBottom;
    plotLayout.boxRight = context->boxRight;
    plotLayout.boxTop = context->boxTop;
    plotLayout.xStart = context->xAxis.start;
    plotLayout.xScale = context->xAxis.scale;
    plotLayout.yStart = context->yAxis.start;
    plotLayout.yScale = context->yAxis.scale;
    plotLayout.logX = logOnX;
    plotLayout.logY = logOnY;
}

void keepMarks(const PlotContext* context, const double* pairs, int n, const Range& xRange)
{
    plotLayout.marks.assign(2 * static_cast<size_t>(std::max(n, 0)), NOT_A_VALUE);
    for (int i = 0; i < n; i++) {
        if (!inside(pairs[2 * i], xRange) || std::isnan(pairs[2 * i + 1]))
            continue;
        plotLayout.marks[2 * i] = renderPageX(context, pairs[2 * i]);
        plotLayout.marks[2 * i + 1] = renderPageY(context, pairs[2 * i + 1]);
    }
}

// The model along the x range: point i at xmin + (xmax - xmin) / (count - 1) * i, with
// every other input variable at its value in the first observation. curve holds count
// (x, y) pairs; y is NaN where the model could not be computed.
void evaluateCurve(const Symbol* xVar, const Range& range, double* curve, int count, double* values, bool logSpaced)
{
    for (int j = 0; j < inputVariableCount; j++)
        values[j] = observationCount > 0 ? observations[j] : 0.0;
    RunFrame* frame = &plotPass.frame;
    runReset(frame);
    for (int i = 0; i < count; i++) {
        const double x = logSpaced ? std::pow(10.0, std::log10(range.lo) +
                                                      (std::log10(range.hi) - std::log10(range.lo)) / (count - 1) * i)
                                   : range.lo + (range.hi - range.lo) / (count - 1) * i;
        double predicted = NOT_A_VALUE;
        values[xVar->index] = x;
        if (!runObservation(frame, i, values, &predicted, nullptr))
            predicted = NOT_A_VALUE;
        curve[2 * i] = finiteOrNothing(x);
        curve[2 * i + 1] = finiteOrNothing(predicted);
    }
}

// A residual line from the observed point toward the predicted value, kept a gap away
// from both, when the two are more than two gaps apart.
void drawResidualLine(PlotContext* context, double px, double observedY, double predictedY)
{
    const double gap = context->residualGap;
    if (!(std::fabs(observedY - predictedY) > 2.0 * gap))
        return;
    if (observedY > predictedY) {
        renderMoveTo(context, px, observedY - gap);
        renderLineTo(context, px, predictedY + gap);
    } else {
        renderMoveTo(context, px, observedY + gap);
        renderLineTo(context, px, predictedY - gap);
    }
}

// Draws the curve as a polyline, broken where a point is missing. Returns true when
// some part of it was drawn.
bool drawCurve(PlotContext* context, const double* curve, int count)
{
    bool penDown = false;
    bool drawn = false;
    for (int i = 0; i < count; i++) {
        const double x = curve[2 * i];
        const double y = curve[2 * i + 1];
        if (std::isnan(x) || std::isnan(y)) {
            penDown = false;
            continue;
        }
        const double px = renderPageX(context, x);
        const double py = renderPageY(context, y);
        if (penDown) {
            renderLineTo(context, px, py);
            drawn = true;
        } else {
            renderMoveTo(context, px, py);
        }
        penDown = true;
    }
    return drawn;
}

// ORDER BAND: the band options, their kinds and their dash patterns (page units on and
// off; 0 draws solid). Several bands on one plot share the band colour, so the line
// style tells them apart, also in a black-on-white print.
struct BandStyle {
    unsigned flag;      // PlotFlags
    int kind;           // BandKind
    double dashOn;      // page units drawn
    double dashOff;     // page units left out
};
constexpr BandStyle BAND_STYLES[] = {
    {PLOTF_CBAND, BAND_CONFIDENCE, 0.0, 0.0},
    {PLOTF_PBAND, BAND_PREDICTION, 2.4, 1.2},
    {PLOTF_SBAND, BAND_SIMULTANEOUS, 0.6, 0.9},
};
constexpr unsigned PLOTF_ANY_BAND = PLOTF_CBAND | PLOTF_PBAND | PLOTF_SBAND;

double bandHalf(const BandTable& table, int kind, int i)
{
    switch (kind) {
    case BAND_PREDICTION: return bandsPredictionHalf(table, i);
    case BAND_SIMULTANEOUS: return bandsSimultaneousHalf(table, i);
    default: return bandsConfidenceHalf(table, i);
    }
}

// A polyline in page units, dashed when on > 0, broken where a point is missing; the
// dash pattern runs on along the whole line so that short segments still show gaps.
void drawStyledLine(PlotContext* context, const double* px, const double* py, int count, double on, double off)
{
    bool penDown = false;
    double phase = 0.0;
    for (int i = 0; i < count; i++) {
        if (std::isnan(px[i]) || std::isnan(py[i])) {
            penDown = false;
            continue;
        }
        if (!penDown || on <= 0) {
            if (penDown)
                renderLineTo(context, px[i], py[i]);
            else
                renderMoveTo(context, px[i], py[i]);
            penDown = true;
            continue;
        }
        // Walk the segment from the previous point, switching the pen at each dash end.
        const double x0 = px[i - 1];
        const double y0 = py[i - 1];
        const double length = std::hypot(px[i] - x0, py[i] - y0);
        double done = 0.0;
        while (done < length) {
            const bool drawing = phase < on;
            const double room = drawing ? on - phase : on + off - phase;
            const double step = std::min(room, length - done);
            done += step;
            phase += step;
            const double fx = x0 + (px[i] - x0) * (done / length);
            const double fy = y0 + (py[i] - y0) * (done / length);
            if (drawing)
                renderLineTo(context, fx, fy);
            else
                renderMoveTo(context, fx, fy);
            if (phase >= on + off)
                phase = 0.0;
        }
    }
}

// The two lines of each band asked for. When the analysis gives no band, one line in
// the top left corner of the box says why; false then.
bool drawBands(PlotContext* context, const PlotSpec* spec, const BandTable& table)
{
    if (table.summary.reason) {
        renderSelectFont(context, FONT_TICKS, FONT_REGULAR, 0);
        const std::string text = std::string("No band: ") + table.summary.reason;
        renderText(context, context->areaLeft + 2.0, context->boxTop - 1.0, text.c_str(), SLOT_TEXT);
        return false;
    }
    const int count = table.count;
    double* px = memalloc_doubles(3 * static_cast<size_t>(count), PLOT_TAG);
    if (!px)
        return false;
    double* lower = px + count;
    double* upper = px + 2 * count;
    const bool log = context->yAxis.log;
    for (int i = 0; i < count; i++)
        px[i] = std::isnan(table.x[i]) ? NOT_A_VALUE : renderPageX(context, table.x[i]);
    for (const BandStyle& style : BAND_STYLES) {
        if (!(spec->plotFlags & style.flag))
            continue;
        for (int i = 0; i < count; i++) {
            const double half = bandHalf(table, style.kind, i);
            const bool known = std::isfinite(half) && std::isfinite(table.fit[i]);
            const double low = table.fit[i] - half;
            const double high = table.fit[i] + half;
            lower[i] = known && (!log || low > 0.0) ? renderPageY(context, low) : NOT_A_VALUE;
            upper[i] = known && (!log || high > 0.0) ? renderPageY(context, high) : NOT_A_VALUE;
        }
        renderSelectPen(context, SLOT_BAND);
        drawStyledLine(context, px, lower, count, style.dashOn, style.dashOff);
        drawStyledLine(context, px, upper, count, style.dashOn, style.dashOff);
    }
    release(px);
    return true;
}

// One line of a legend: a sample (a mark, a solid or dashed line, a bar) and its text.
struct LegendItem {
    int slot;               // colour slot of the sample
    int sample;             // 0 mark, 1 line, 2 vertical bar
    double dashOn, dashOff; // a line's dashes
    std::string text;
};

// The legend on an opaque background in the corner of the box with the fewest marks and
// curve points.
void drawLegend(PlotContext* context, const std::vector<LegendItem>& items, const double* points, int count)
{
    renderSelectFont(context, FONT_TICKS, FONT_REGULAR, 0);
    const double lineHeight = 1.2 * renderTextHeight(context, "M");
    double textWidth = 0.0;
    for (const LegendItem& item : items)
        textWidth = std::max(textWidth, renderTextWidth(context, item.text.c_str()));
    const double width = LEGEND_SAMPLE + 2.0 + textWidth + 2.0 * LEGEND_MARGIN;
    const double height = lineHeight * static_cast<double>(items.size()) + 2.0 * LEGEND_MARGIN;
    const double inset = 1.0;
    const int corner = plotLegendCorner(points, count, context->areaLeft + inset, context->areaBottom + inset,
                                        context->boxRight - inset, context->boxTop - inset, width, height);
    const double left = corner % 2 == 0 ? context->areaLeft + inset : context->boxRight - inset - width;
    const double top = corner < 2 ? context->boxTop - inset : context->areaBottom + inset + height;
    renderFill(context, left, top - height, left + width, top, SLOT_BACKGROUND);
    renderSelectPen(context, SLOT_GRID);
    renderMoveTo(context, left, top);
    renderLineTo(context, left + width, top);
    renderLineTo(context, left + width, top - height);
    renderLineTo(context, left, top - height);
    renderLineTo(context, left, top);
    double lineTop = top - LEGEND_MARGIN;
    const double sampleLeft = left + LEGEND_MARGIN;
    for (const LegendItem& item : items) {
        const double middle = lineTop - 0.5 * lineHeight;
        renderSelectPen(context, item.slot);
        if (item.sample == 0) {
            renderXMark(context, sampleLeft + LEGEND_SAMPLE / 2.0, middle);
        } else if (item.sample == 2) {
            renderMoveTo(context, sampleLeft + LEGEND_SAMPLE / 2.0, middle - 0.4 * lineHeight);
            renderLineTo(context, sampleLeft + LEGEND_SAMPLE / 2.0, middle + 0.4 * lineHeight);
        } else {
            const double xs[2] = {sampleLeft, sampleLeft + LEGEND_SAMPLE};
            const double ys[2] = {middle, middle};
            drawStyledLine(context, xs, ys, 2, item.dashOn, item.dashOff);
        }
        renderSelectFont(context, FONT_TICKS, FONT_REGULAR, 0);
        renderText(context, sampleLeft + LEGEND_SAMPLE + 2.0, lineTop - 0.1 * lineHeight, item.text.c_str(),
                   SLOT_TEXT);
        lineTop -= lineHeight;
    }
}

// Widens range by value, leaving out a value <= 0 on a log axis.
void widenOnAxis(Range* range, double value, bool log)
{
    if (!log || value > 0.0)
        widen(range, value);
}

// The smallest positive x of the pairs when a log axis is asked for a range that reaches
// zero or below; the range is empty when there is none.
Range positiveRange(const Range& range, const double* pairs, int n)
{
    if (!range.any || range.lo > 0.0)
        return range;
    Range positive = NO_RANGE;
    for (int i = 0; i < n; i++)
        if (pairs[2 * i] > 0.0 && pairs[2 * i] <= range.hi)
            widen(&positive, pairs[2 * i]);
    if (positive.any)
        positive.hi = range.hi;
    return positive;
}

// Vertical bars of +- the error of each observation marked.
void drawErrorBars(PlotContext* context, const double* pairs, const double* errors, int n, const Range& xRange)
{
    const bool log = context->yAxis.log;
    const double bottom = context->areaBottom;
    const double cap = context->markHalfWidth;
    renderSelectPen(context, SLOT_DATA);
    for (int i = 0; i < n; i++) {
        const double y = pairs[2 * i + 1];
        const double e = std::fabs(errors[2 * i + 1]);
        if (!inside(pairs[2 * i], xRange) || std::isnan(y) || !std::isfinite(e) || e == 0.0)
            continue;
        const double px = renderPageX(context, pairs[2 * i]);
        const double high = renderPageY(context, y + e);
        const double low = !log || y - e > 0.0 ? renderPageY(context, y - e) : bottom;
        renderMoveTo(context, px, low);
        renderLineTo(context, px, high);
        renderMoveTo(context, px - cap, high);
        renderLineTo(context, px + cap, high);
        if (low > bottom) {
            renderMoveTo(context, px - cap, low);
            renderLineTo(context, px + cap, low);
        }
    }
}

// The band table of a function plot, over the plot's x range. False when the plot has
// no band option or the table could not be made.
bool functionBandTable(const PlotSpec* spec, const Range& xRange, int count, BandTable* table)
{
    *table = BandTable{};
    if (!(spec->plotFlags & PLOTF_ANY_BAND) || !xRange.any || spec->xVar->kind != SYM_INPUT)
        return false;
    return bandsCompute(results, spec->xVar, xRange.lo, xRange.hi, count, table);
}

int drawFunctionPlot(PlotContext* context, const PlotSpec* spec, int n)
{
    const int count = std::max(2, plotModel.curvePointCount);
    const bool lx = logX(spec);
    const bool ly = logY(spec);
    double* pairs = gatherPairs(spec->xVar, spec->yVar, n);
    double* errors = spec->errorVar ? gatherPairs(spec->xVar, spec->errorVar, n) : nullptr;
    double* curve = memalloc_doubles(2 * static_cast<size_t>(count), PLOT_TAG);
    double* values = memalloc_doubles(static_cast<size_t>(std::max(inputVariableCount, 1)), PLOT_TAG);
    int outcome = PLOT_NOT_DRAWN;
    if (pairs && curve && values && (errors || !spec->errorVar)) {
        const int dropped = dropForLogAxes(pairs, n, lx, ly);
        Range xRange = NO_RANGE;
        widenByPairs(&xRange, nullptr, pairs, n);
        xRange = domainOr(spec, xRange);
        if (lx)
            xRange = positiveRange(xRange, pairs, n);
        for (int i = 0; i < 2 * count; i++)
            curve[i] = NOT_A_VALUE;
        // A zoomed view samples the curve over the axes it lays out (below), so that it
        // stays smooth and reaches both sides of the box.
        const bool zoomed = plotModel.view.active;
        if (!zoomed && xRange.any && spec->xVar->kind == SYM_INPUT)
            evaluateCurve(spec->xVar, xRange, curve, count, values, lx);
        dropForLogAxes(curve, count, false, ly);

        Range yRange = NO_RANGE;
        widenByPairs(nullptr, &yRange, curve, count);
        BandTable bands;
        const bool banded = functionBandTable(spec, xRange, count, &bands);
        if (banded && !bands.summary.reason)
            for (const BandStyle& style : BAND_STYLES)
                if (spec->plotFlags & style.flag)
                    for (int i = 0; i < count; i++) {
                        const double half = bandHalf(bands, style.kind, i);
                        widenOnAxis(&yRange, bands.fit[i] - half, ly);
                        widenOnAxis(&yRange, bands.fit[i] + half, ly);
                    }
        for (int i = 0; i < n; i++) {
            if (!inside(pairs[2 * i], xRange))
                continue;
            widen(&yRange, pairs[2 * i + 1]);
            if (errors && !std::isnan(pairs[2 * i + 1]) && std::isfinite(errors[2 * i + 1])) {
                widenOnAxis(&yRange, pairs[2 * i + 1] - std::fabs(errors[2 * i + 1]), ly);
                widenOnAxis(&yRange, pairs[2 * i + 1] + std::fabs(errors[2 * i + 1]), ly);
            }
        }

        const PlotFrame frame = frameOf(spec, spec->title, xRange, yRange);
        if (renderLayout(context, LAYOUT_CURVE, frame)) {
            renderAxes(context, frame);
            keepLayout(context, frame.logX, frame.logY);
            if (zoomed && spec->xVar->kind == SYM_INPUT) {
                const Range shown = {renderDataX(context, context->areaLeft), renderDataX(context, context->boxRight),
                                     true};
                evaluateCurve(spec->xVar, shown, curve, count, values, lx);
                dropForLogAxes(curve, count, false, ly);
            }
            if (titleShown(spec))
                renderTitle(context, spec->title);
            clipForView(context, true);
            bool marked = false;
            renderSelectPen(context, SLOT_DATA);
            for (int i = 0; i < n; i++) {
                if (!inside(pairs[2 * i], xRange) || std::isnan(pairs[2 * i + 1]))
                    continue;
                const double px = renderPageX(context, pairs[2 * i]);
                const double py = renderPageY(context, pairs[2 * i + 1]);
                marked = true;
                if (!outsideView(context, px, py, py))
                    renderXMark(context, px, py);
            }
            if (errors)
                drawErrorBars(context, pairs, errors, n, xRange);
            const bool bandsDrawn = banded && drawBands(context, spec, bands);
            renderSelectPen(context, SLOT_FUNCTION);
            const bool curveDrawn = drawCurve(context, curve, count);
            // The residual lines go over the marks and the curve, so that none of them is
            // hidden under either.
            if (spec->plotFlags & PLOTF_RESIDUAL) {
                renderSelectPen(context, SLOT_RESIDUAL);
                for (int i = 0; i < n; i++) {
                    const double y = pairs[2 * i + 1];
                    const double predicted = analysis.predicted[i];
                    if (!inside(pairs[2 * i], xRange) || std::isnan(y) || !std::isfinite(predicted) ||
                        (ly && predicted <= 0.0))
                        continue;
                    const double px = renderPageX(context, pairs[2 * i]);
                    const double observedY = renderPageY(context, y);
                    const double predictedY = renderPageY(context, predicted);
                    if (!outsideView(context, px, observedY, predictedY))
                        drawResidualLine(context, px, observedY, predictedY);
                }
            }
            keepMarks(context, pairs, n, xRange);
            clipForView(context, false);
            if (bandsDrawn || errors) {
                std::vector<LegendItem> items = {{SLOT_DATA, 0, 0.0, 0.0, LEGEND_DATA},
                                                 {SLOT_FUNCTION, 1, 0.0, 0.0, LEGEND_FIT}};
                if (errors)
                    items.push_back({SLOT_DATA, 2, 0.0, 0.0, LEGEND_ERRORS});
                for (const BandStyle& style : BAND_STYLES)
                    if (bandsDrawn && (spec->plotFlags & style.flag))
                        items.push_back({SLOT_BAND, 1, style.dashOn, style.dashOff,
                                         bandsCaption(bands.summary, style.kind)});
                std::vector<double> points(plotLayout.marks);
                for (int i = 0; i < count; i++) {
                    const bool known = !std::isnan(curve[2 * i]) && !std::isnan(curve[2 * i + 1]);
                    points.push_back(known ? renderPageX(context, curve[2 * i]) : NOT_A_VALUE);
                    points.push_back(known ? renderPageY(context, curve[2 * i + 1]) : NOT_A_VALUE);
                }
                drawLegend(context, items, points.data(), static_cast<int>(points.size() / 2));
            }
            drawLogNote(context, dropped);
            outcome = marked || curveDrawn ? PLOT_DRAWN : PLOT_AXES_ONLY;
        }
        bandsRelease(&bands);
    }
    release(values);
    release(curve);
    release(errors);
    release(pairs);
    return outcome;
}

// One scatter series; the pen rests at each point's centre, so that a connecting line
// runs from centre to centre. Returns true when a point was placed.
bool drawSeries(PlotContext* context, const double* pairs, int n, const Range& xRange, int slot,
                bool connect, bool mark, bool triangle)
{
    renderSelectPen(context, slot);
    bool placed = false;
    for (int i = 0; i < n; i++) {
        const double x = pairs[2 * i];
        const double y = pairs[2 * i + 1];
        if (!inside(x, xRange) || std::isnan(y))
            continue;
        const double px = renderPageX(context, x);
        const double py = renderPageY(context, y);
        if (connect && placed)
            renderLineTo(context, px, py);
        if (mark && !outsideView(context, px, py, py)) {
            if (triangle)
                renderTriangleMark(context, px, py);
            else
                renderXMark(context, px, py);
        }
        renderMoveTo(context, px, py);
        placed = true;
    }
    return placed;
}

int drawScatterPlot(PlotContext* context, const PlotSpec* spec, int n)
{
    const bool second = spec->x2Var && spec->y2Var;
    const bool lx = logX(spec);
    const bool ly = logY(spec);
    double* first = gatherPairs(spec->xVar, spec->yVar, n);
    double* other = second ? gatherPairs(spec->x2Var, spec->y2Var, n) : nullptr;
    double* errors = spec->errorVar ? gatherPairs(spec->xVar, spec->errorVar, n) : nullptr;
    int outcome = PLOT_NOT_DRAWN;
    if (first && (other || !second) && (errors || !spec->errorVar)) {
        int dropped = dropForLogAxes(first, n, lx, ly);
        if (other)
            dropped += dropForLogAxes(other, n, lx, ly);
        Range xRange = NO_RANGE;
        Range yRange = NO_RANGE;
        widenByPairs(&xRange, &yRange, first, n);
        if (other)
            widenByPairs(&xRange, &yRange, other, n);
        for (int i = 0; errors && i < n; i++)
            if (!std::isnan(first[2 * i + 1]) && std::isfinite(errors[2 * i + 1])) {
                widenOnAxis(&yRange, first[2 * i + 1] - std::fabs(errors[2 * i + 1]), ly);
                widenOnAxis(&yRange, first[2 * i + 1] + std::fabs(errors[2 * i + 1]), ly);
            }
        xRange = domainOr(spec, xRange);
        if (lx)
            xRange = positiveRange(xRange, first, n);
        const PlotFrame frame = frameOf(spec, spec->title, xRange, yRange);
        if (renderLayout(context, LAYOUT_GENERAL, frame)) {
            renderAxes(context, frame);
            keepLayout(context, frame.logX, frame.logY);
            if (titleShown(spec))
                renderTitle(context, spec->title);
            clipForView(context, true);
            const unsigned flags = spec->plotFlags;
            bool placed = drawSeries(context, first, n, xRange, SLOT_DATA, flags & PLOTF_CONNECT,
                                     !(flags & PLOTF_NOMARK), false);
            if (other)
                placed |= drawSeries(context, other, n, xRange, SLOT_SECOND, flags & PLOTF_CONNECT2,
                                     !(flags & PLOTF_NOMARK2), true);
            if (errors)
                drawErrorBars(context, first, errors, n, xRange);
            keepMarks(context, first, n, xRange);
            clipForView(context, false);
            drawLogNote(context, dropped);
            outcome = placed ? PLOT_DRAWN : PLOT_AXES_ONLY;
        }
    }
    release(errors);
    release(other);
    release(first);
    return outcome;
}

int drawResidualPlot(PlotContext* context, const PlotSpec* spec, int n)
{
    double* pairs = gatherPairs(spec->xVar, spec->xVar, n);
    if (!pairs)
        return PLOT_NOT_DRAWN;
    // The y of each point is its residual; a point outside the x range is left out.
    for (int i = 0; i < n; i++)
        pairs[2 * i + 1] = std::isnan(pairs[2 * i]) ? NOT_A_VALUE
                                                     : finiteOrNothing(analysis.observed[i] - analysis.predicted[i]);
    const int dropped = dropForLogAxes(pairs, n, logX(spec), logY(spec));
    Range xRange = NO_RANGE;
    widenByPairs(&xRange, nullptr, pairs, n);
    xRange = domainOr(spec, xRange);
    if (logX(spec))
        xRange = positiveRange(xRange, pairs, n);
    Range yRange = NO_RANGE;
    for (int i = 0; i < n; i++)
        if (inside(pairs[2 * i], xRange))
            widen(&yRange, pairs[2 * i + 1]);
    // Without a point in the x range the axes still show, around a residual of 0.
    if (!yRange.any)
        yRange = logY(spec) ? Range{0.1, 10.0, true} : Range{-1.0, 1.0, true};
    int outcome = PLOT_NOT_DRAWN;
    const PlotFrame frame = frameOf(spec, spec->title, xRange, yRange);
    if (renderLayout(context, LAYOUT_CURVE, frame)) {
        renderAxes(context, frame);
        keepLayout(context, frame.logX, frame.logY);
        if (titleShown(spec))
            renderTitle(context, spec->title);
        clipForView(context, true);
        outcome = drawSeries(context, pairs, n, xRange, SLOT_DATA, false, true, false) ? PLOT_DRAWN
                                                                                       : PLOT_AXES_ONLY;
        keepMarks(context, pairs, n, xRange);
        clipForView(context, false);
        drawLogNote(context, dropped);
    }
    release(pairs);
    return outcome;
}

// Pearson correlation of the pairs (e_i, q_i), sums in extended precision; NaN when
// either series has no spread.
double correlation(const double* e, const double* q, int m)
{
    long double se = 0, sq = 0, see = 0, sqq = 0, seq = 0;
    for (int i = 0; i < m; i++) {
        se += e[i];
        sq += q[i];
        see += static_cast<long double>(e[i]) * e[i];
        sqq += static_cast<long double>(q[i]) * q[i];
        seq += static_cast<long double>(e[i]) * q[i];
    }
    const long double denominator = (see - se * se / m) * (sqq - sq * sq / m);
    if (!(denominator > 0))
        return NOT_A_VALUE;
    return static_cast<double>((seq - se * sq / m) / std::sqrt(denominator));
}

int drawNormalPlot(PlotContext* context, const PlotSpec* spec, int n)
{
    double* e = memalloc_doubles(static_cast<size_t>(std::max(n, 1)), PLOT_TAG);
    double* q = memalloc_doubles(static_cast<size_t>(std::max(n, 1)), PLOT_TAG);
    if (!e || !q) {
        release(q);
        release(e);
        return PLOT_NOT_DRAWN;
    }
    // The residuals that are finite, in ascending order.
    int m = 0;
    double sumSquares = 0.0;
    for (int i = 0; i < n; i++) {
        const double residual = analysis.observed[i] - analysis.predicted[i];
        if (std::isfinite(residual)) {
            e[m++] = residual;
            sumSquares += residual * residual;
        }
    }
    std::sort(e, e + m);

    // The scale needs more residuals than parameters; without it (n = p, an exact fit of
    // as many observations as parameters) only the axes are drawn, over the residuals.
    const int freedom = m - parameterCount;
    const double s = freedom > 0 ? std::sqrt(sumSquares / freedom) : NOT_A_VALUE;
    const bool expected = m > 0 && std::isfinite(s);
    Range xRange = NO_RANGE;
    Range yRange = NO_RANGE;
    double r = NOT_A_VALUE;
    if (expected) {
        SpecfunStatus status;
        for (int i = 0; i < m; i++)
            q[i] = s * ndtri((i + 1 - 0.375) / (m + 0.25), &status);
        r = correlation(e, q, m);
        xRange = Range{q[0], q[m - 1], true};
        yRange = Range{std::min(q[0], e[0]), std::max(q[m - 1], e[m - 1]), true};
    } else if (m > 0) {
        xRange = yRange = Range{e[0], e[m - 1], true};
    } else {
        xRange = yRange = Range{-1.0, 1.0, true};
    }

    char title[TITLE_MAX + 64];
    if (spec->plotFlags & PLOTF_NOTITLE)
        snprintf(title, sizeof title, "%s", spec->title);
    else if (std::isfinite(r))
        snprintf(title, sizeof title, NORMAL_TITLE_FORMAT, spec->title, r);
    else
        snprintf(title, sizeof title, "%s", spec->title);

    int outcome = PLOT_NOT_DRAWN;
    // Residuals take either sign: the axes stay linear.
    PlotFrame frame = frameOf(spec, title, xRange, yRange);
    frame.logX = frame.logY = false;
    if (renderLayout(context, LAYOUT_GENERAL, frame)) {
        renderAxes(context, frame);
        keepLayout(context, false, false);
        if (!(spec->plotFlags & PLOTF_NOTITLE) && title[0])
            renderTitle(context, title);
        outcome = PLOT_AXES_ONLY;
        clipForView(context, true);
        if (expected) {
            renderSelectPen(context, SLOT_IDEAL);
            renderMoveTo(context, renderPageX(context, q[0]), renderPageY(context, q[0]));
            renderLineTo(context, renderPageX(context, q[m - 1]), renderPageY(context, q[m - 1]));
            renderSelectPen(context, SLOT_DATA);
            for (int i = 0; i < m; i++)
                renderXMark(context, renderPageX(context, q[i]), renderPageY(context, e[i]));
            outcome = PLOT_DRAWN;
        }
        clipForView(context, false);
    }
    release(q);
    release(e);
    return outcome;
}

// The variables a plot kind reads are there.
bool variablesPresent(const PlotSpec* spec)
{
    switch (spec->plotKind) {
    case PLOT_FUNCTION:
    case PLOT_SCATTER: return spec->xVar && spec->yVar;
    case PLOT_RESIDUAL: return spec->xVar != nullptr;
    default: return true;
    }
}

PlotSpec* firstPlot()
{
    for (PlotSpec* spec = plotList; spec; spec = spec->next)
        if (spec->completed)
            return spec;
    return nullptr;
}

}  // namespace

void plotModelReset()
{
    plotModel.view = PlotViewRange{};
    plotModel.currentPlot = firstPlot();
    plotModel.currentPlotCommand = 0;
    plotModel.plotCaption[0] = '\0';
    plotModel.curvePointCount = CURVE_POINT_COUNT;
}

void plotMenuRefresh()
{
    plotModel.view = PlotViewRange{};
    plotModel.currentPlot = firstPlot();
}

int plotCount()
{
    int count = 0;
    for (const PlotSpec* spec = plotList; spec; spec = spec->next)
        count += spec->completed ? 1 : 0;
    return count;
}

std::vector<PlotMenuItem> plotMenuItems()
{
    std::vector<PlotMenuItem> items;
    for (const MenuKind& entry : MENU_KINDS) {
        std::vector<const PlotSpec*> specs;
        for (const PlotSpec* spec = plotList; spec; spec = spec->next)
            if (spec->completed && spec->plotKind == entry.kind)
                specs.push_back(spec);
        const int count = int(specs.size());
        for (int k = 0; k < count && k < PLOT_MENU_KIND_MAX; k++) {
            PlotMenuItem item = {};
            item.command = entry.commandBase + k;
            item.spec = specs[size_t(k)];
            item.separatorBefore = k == 0 && !items.empty();
            if (count == 1)
                snprintf(item.name, sizeof item.name, "%s", entry.name);
            else
                snprintf(item.name, sizeof item.name, "%s %d", entry.name, k + 1);
            items.push_back(item);
        }
    }
    return items;
}

bool plotSelect(int kind, int index)
{
    const MenuKind* entry = nullptr;
    for (const MenuKind& candidate : MENU_KINDS)
        if (candidate.kind == kind)
            entry = &candidate;
    if (!entry || index < 0 || index >= PLOT_MENU_KIND_MAX)
        return false;
    int k = 0;
    for (PlotSpec* spec = plotList; spec; spec = spec->next) {
        if (!spec->completed || spec->plotKind != kind)
            continue;
        if (k++ != index)
            continue;
        const int command = entry->commandBase + index;
        const bool changed = command != plotModel.currentPlotCommand;
        if (changed)
            plotModel.view = PlotViewRange{};
        plotModel.currentPlot = spec;
        plotModel.currentPlotCommand = command;
        snprintf(plotModel.plotCaption, sizeof plotModel.plotCaption, "%s", plotCaptionOfKind(kind));
        return changed;
    }
    return false;
}

bool plotSelectCommand(int command)
{
    for (const MenuKind& entry : MENU_KINDS)
        if (command >= entry.commandBase && command < entry.commandBase + PLOT_MENU_KIND_MAX)
            return plotSelect(entry.kind, command - entry.commandBase);
    return false;
}

const char* plotCaptionOfKind(int kind)
{
    switch (kind) {
    case PLOT_FUNCTION: return "Function plot";
    case PLOT_RESIDUAL: return "Plot of residual values";
    case PLOT_NORMAL: return "Normal probability plot of residual values";
    case PLOT_SCATTER: return "Scatter plot";
    default: return "";
    }
}

int plotDraw(PlotSurface* surface, int colourSet, const PlotSpec* spec)
{
    if (!spec || !spec->completed || !surface || !variablesPresent(spec))
        return PLOT_NOT_DRAWN;
    const int n = observationCount;
    if (n < 0 || !analysis.predicted || !analysis.observed || analysis.allocatedRows < n)
        return PLOT_NOT_DRAWN;
    PlotContext context;
    plotLayout.valid = false;
    plotLayout.marks.clear();
    if (!renderBegin(&context, surface, colourSet))
        return PLOT_NOT_DRAWN;
    const bool quiet = quietErrors;
    quietErrors = true;
    plotPass.frame.quiet = true;
    int outcome = PLOT_NOT_DRAWN;
    switch (spec->plotKind) {
    case PLOT_FUNCTION: outcome = drawFunctionPlot(&context, spec, n); break;
    case PLOT_SCATTER: outcome = drawScatterPlot(&context, spec, n); break;
    case PLOT_RESIDUAL: outcome = drawResidualPlot(&context, spec, n); break;
    case PLOT_NORMAL: outcome = drawNormalPlot(&context, spec, n); break;
    default: break;
    }
    quietErrors = quiet;
    runFrameRelease(&plotPass.frame);
    plotPass.frame = RunFrame{};
    renderEnd(&context);
    return outcome;
}

bool plotBandTable(const PlotSpec* spec, BandTable* table)
{
    *table = BandTable{};
    if (!spec || !spec->completed || spec->plotKind != PLOT_FUNCTION || !variablesPresent(spec) ||
        !(spec->plotFlags & PLOTF_ANY_BAND))
        return false;
    const int n = observationCount;
    if (n < 0 || !analysis.predicted || !analysis.observed || analysis.allocatedRows < n)
        return false;
    const bool quiet = quietErrors;
    quietErrors = true;
    plotPass.frame.quiet = true;
    bool made = false;
    double* pairs = gatherPairs(spec->xVar, spec->yVar, n);
    if (pairs) {
        Range xRange = NO_RANGE;
        widenByPairs(&xRange, nullptr, pairs, n);
        xRange = domainOr(spec, xRange);
        made = functionBandTable(spec, xRange, std::max(2, plotModel.curvePointCount), table);
    }
    release(pairs);
    quietErrors = quiet;
    runFrameRelease(&plotPass.frame);
    plotPass.frame = RunFrame{};
    return made;
}

int plotLegendCorner(const double* points, int count, double left, double bottom, double right, double top,
                     double width, double height)
{
    int counts[4] = {0, 0, 0, 0};
    for (int i = 0; i < count; i++) {
        const double x = points[2 * i];
        const double y = points[2 * i + 1];
        if (std::isnan(x) || std::isnan(y))
            continue;
        const bool leftSide = x <= left + width;
        const bool rightSide = x >= right - width;
        const bool topSide = y >= top - height;
        const bool bottomSide = y <= bottom + height;
        counts[0] += leftSide && topSide;
        counts[1] += rightSide && topSide;
        counts[2] += leftSide && bottomSide;
        counts[3] += rightSide && bottomSide;
    }
    return static_cast<int>(std::min_element(counts, counts + 4) - counts);
}

double plotLayoutDataX(const PlotLayout& layout, double px)
{
    const double value = layout.xStart + (px - layout.areaLeft) / layout.xScale;
    return layout.logX ? std::pow(10.0, value) : value;
}

double plotLayoutDataY(const PlotLayout& layout, double py)
{
    const double value = layout.yStart + (py - layout.areaBottom) / layout.yScale;
    return layout.logY ? std::pow(10.0, value) : value;
}

double plotLayoutPageX(const PlotLayout& layout, double x)
{
    return layout.areaLeft + ((layout.logX ? std::log10(x) : x) - layout.xStart) * layout.xScale;
}

double plotLayoutPageY(const PlotLayout& layout, double y)
{
    return layout.areaBottom + ((layout.logY ? std::log10(y) : y) - layout.yStart) * layout.yScale;
}

int plotNearestMark(const PlotLayout& layout, double px, double py, double radius)
{
    int nearest = -1;
    double best = radius * radius;
    const size_t count = layout.marks.size() / 2;
    for (size_t i = 0; i < count; i++) {
        const double dx = layout.marks[2 * i] - px;
        const double dy = layout.marks[2 * i + 1] - py;
        const double distance = dx * dx + dy * dy;
        if (distance <= best) {
            best = distance;
            nearest = static_cast<int>(i);
        }
    }
    return nearest;
}

void plotViewStart()
{
    PlotViewRange& view = plotModel.view;
    if (view.active || !plotLayout.valid)
        return;
    view.xLow = plotLayoutDataX(plotLayout, plotLayout.areaLeft);
    view.xHigh = plotLayoutDataX(plotLayout, plotLayout.boxRight);
    view.yLow = plotLayoutDataY(plotLayout, plotLayout.areaBottom);
    view.yHigh = plotLayoutDataY(plotLayout, plotLayout.boxTop);
    view.logX = plotLayout.logX;
    view.logY = plotLayout.logY;
    view.active = true;
}

namespace {

// Scales [low, high] by factor about centre, in decades on a log axis.
void zoomRange(double* low, double* high, double centre, double factor, bool log)
{
    if (log) {
        const double c = std::log10(centre);
        *low = std::pow(10.0, c - (c - std::log10(*low)) * factor);
        *high = std::pow(10.0, c + (std::log10(*high) - c) * factor);
        return;
    }
    *low = centre - (centre - *low) * factor;
    *high = centre + (*high - centre) * factor;
}

}  // namespace

void plotViewZoom(double factor, double px, double py)
{
    plotViewStart();
    PlotViewRange& view = plotModel.view;
    if (!view.active || !(factor > 0.0) || !std::isfinite(factor))
        return;
    zoomRange(&view.xLow, &view.xHigh, plotLayoutDataX(plotLayout, px), factor, view.logX);
    zoomRange(&view.yLow, &view.yHigh, plotLayoutDataY(plotLayout, py), factor, view.logY);
}

void plotViewPan(double dx, double dy)
{
    plotViewStart();
    PlotViewRange& view = plotModel.view;
    if (!view.active)
        return;
    view.xLow = plotLayoutDataX(plotLayout, plotLayout.areaLeft + dx);
    view.xHigh = plotLayoutDataX(plotLayout, plotLayout.boxRight + dx);
    view.yLow = plotLayoutDataY(plotLayout, plotLayout.areaBottom + dy);
    view.yHigh = plotLayoutDataY(plotLayout, plotLayout.boxTop + dy);
}

void plotViewBox(double px1, double py1, double px2, double py2)
{
    plotViewStart();
    PlotViewRange& view = plotModel.view;
    if (!view.active || px1 == px2 || py1 == py2)
        return;
    view.xLow = plotLayoutDataX(plotLayout, std::min(px1, px2));
    view.xHigh = plotLayoutDataX(plotLayout, std::max(px1, px2));
    view.yLow = plotLayoutDataY(plotLayout, std::min(py1, py2));
    view.yHigh = plotLayoutDataY(plotLayout, std::max(py1, py2));
}

void plotViewReset()
{
    plotModel.view = PlotViewRange{};
}
