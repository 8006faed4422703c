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

PlotModelState plotModel = {nullptr, 0, "", CURVE_POINT_COUNT};

namespace {

const char PLOT_TAG[] = "plot";
const char NORMAL_TITLE_FORMAT[] = "%s (r=%.3lf)";
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
    return frame;
}

// The model along the x range: point i at xmin + (xmax - xmin) / (count - 1) * i, with
// every other input variable at its value in the first observation. curve holds count
// (x, y) pairs; y is NaN where the model could not be computed.
void evaluateCurve(const Symbol* xVar, const Range& range, double* curve, int count, double* values)
{
    for (int j = 0; j < inputVariableCount; j++)
        values[j] = observationCount > 0 ? observations[j] : 0.0;
    RunFrame* frame = &plotPass.frame;
    runReset(frame);
    for (int i = 0; i < count; i++) {
        const double x = range.lo + (range.hi - range.lo) / (count - 1) * i;
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

// The two lines of each band asked for, and one legend line per band (a sample of its
// line style and what it is) in the top left corner of the box; when the analysis gives
// no band, one line there says why.
void drawBands(PlotContext* context, const PlotSpec* spec, const BandTable& table)
{
    const int count = table.count;
    double* px = memalloc_doubles(3 * static_cast<size_t>(count), PLOT_TAG);
    if (!px)
        return;
    double* lower = px + count;
    double* upper = px + 2 * count;
    renderSelectFont(context, FONT_TICKS, FONT_REGULAR, 0);
    const double lineHeight = renderTextHeight(context, "M");
    const double left = context->areaLeft + 2.0;
    double top = context->boxTop - 1.0;
    if (table.summary.reason) {
        const std::string text = std::string("No band: ") + table.summary.reason;
        renderText(context, left, top, text.c_str(), SLOT_TEXT);
        release(px);
        return;
    }
    for (int i = 0; i < count; i++)
        px[i] = std::isnan(table.x[i]) ? NOT_A_VALUE : renderPageX(context, table.x[i]);
    for (const BandStyle& style : BAND_STYLES) {
        if (!(spec->plotFlags & style.flag))
            continue;
        for (int i = 0; i < count; i++) {
            const double half = bandHalf(table, style.kind, i);
            const bool known = std::isfinite(half) && std::isfinite(table.fit[i]);
            lower[i] = known ? renderPageY(context, table.fit[i] - half) : NOT_A_VALUE;
            upper[i] = known ? renderPageY(context, table.fit[i] + half) : NOT_A_VALUE;
        }
        renderSelectPen(context, SLOT_BAND);
        drawStyledLine(context, px, lower, count, style.dashOn, style.dashOff);
        drawStyledLine(context, px, upper, count, style.dashOn, style.dashOff);
        // The legend's sample line, then its text.
        const double sampleY = top - 0.5 * lineHeight;
        const double sampleX[2] = {left, left + 8.0};
        const double sampleYs[2] = {sampleY, sampleY};
        renderSelectPen(context, SLOT_BAND);
        drawStyledLine(context, sampleX, sampleYs, 2, style.dashOn, style.dashOff);
        const std::string caption = bandsCaption(table.summary, style.kind);
        renderText(context, left + 10.0, top, caption.c_str(), SLOT_TEXT);
        top -= 1.2 * lineHeight;
    }
    release(px);
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
    double* pairs = gatherPairs(spec->xVar, spec->yVar, n);
    double* curve = memalloc_doubles(2 * static_cast<size_t>(count), PLOT_TAG);
    double* values = memalloc_doubles(static_cast<size_t>(std::max(inputVariableCount, 1)), PLOT_TAG);
    int outcome = PLOT_NOT_DRAWN;
    if (pairs && curve && values) {
        Range xRange = NO_RANGE;
        widenByPairs(&xRange, nullptr, pairs, n);
        xRange = domainOr(spec, xRange);
        for (int i = 0; i < 2 * count; i++)
            curve[i] = NOT_A_VALUE;
        if (xRange.any && spec->xVar->kind == SYM_INPUT)
            evaluateCurve(spec->xVar, xRange, curve, count, values);

        Range yRange = NO_RANGE;
        widenByPairs(nullptr, &yRange, curve, count);
        BandTable bands;
        const bool banded = functionBandTable(spec, xRange, count, &bands);
        if (banded && !bands.summary.reason)
            for (const BandStyle& style : BAND_STYLES)
                if (spec->plotFlags & style.flag)
                    for (int i = 0; i < count; i++) {
                        const double half = bandHalf(bands, style.kind, i);
                        widen(&yRange, bands.fit[i] - half);
                        widen(&yRange, bands.fit[i] + half);
                    }
        for (int i = 0; i < n; i++)
            if (inside(pairs[2 * i], xRange))
                widen(&yRange, pairs[2 * i + 1]);

        const PlotFrame frame = frameOf(spec, spec->title, xRange, yRange);
        if (renderLayout(context, LAYOUT_CURVE, frame)) {
            renderAxes(context, frame);
            if (titleShown(spec))
                renderTitle(context, spec->title);
            if (spec->plotFlags & PLOTF_RESIDUAL) {
                renderSelectPen(context, SLOT_RESIDUAL);
                for (int i = 0; i < n; i++) {
                    const double y = pairs[2 * i + 1];
                    if (!inside(pairs[2 * i], xRange) || std::isnan(y) ||
                        !std::isfinite(analysis.predicted[i]))
                        continue;
                    drawResidualLine(context, renderPageX(context, pairs[2 * i]), renderPageY(context, y),
                                     renderPageY(context, analysis.predicted[i]));
                }
            }
            bool marked = false;
            renderSelectPen(context, SLOT_DATA);
            for (int i = 0; i < n; i++) {
                if (!inside(pairs[2 * i], xRange) || std::isnan(pairs[2 * i + 1]))
                    continue;
                renderXMark(context, renderPageX(context, pairs[2 * i]), renderPageY(context, pairs[2 * i + 1]));
                marked = true;
            }
            if (banded)
                drawBands(context, spec, bands);
            renderSelectPen(context, SLOT_FUNCTION);
            const bool curveDrawn = drawCurve(context, curve, count);
            outcome = marked || curveDrawn ? PLOT_DRAWN : PLOT_AXES_ONLY;
        }
        bandsRelease(&bands);
    }
    release(values);
    release(curve);
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
        if (mark) {
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
    double* first = gatherPairs(spec->xVar, spec->yVar, n);
    double* other = second ? gatherPairs(spec->x2Var, spec->y2Var, n) : nullptr;
    int outcome = PLOT_NOT_DRAWN;
    if (first && (other || !second)) {
        Range xRange = NO_RANGE;
        Range yRange = NO_RANGE;
        widenByPairs(&xRange, &yRange, first, n);
        if (other)
            widenByPairs(&xRange, &yRange, other, n);
        xRange = domainOr(spec, xRange);
        const PlotFrame frame = frameOf(spec, spec->title, xRange, yRange);
        if (renderLayout(context, LAYOUT_GENERAL, frame)) {
            renderAxes(context, frame);
            if (titleShown(spec))
                renderTitle(context, spec->title);
            const unsigned flags = spec->plotFlags;
            bool placed = drawSeries(context, first, n, xRange, SLOT_DATA, flags & PLOTF_CONNECT,
                                     !(flags & PLOTF_NOMARK), false);
            if (other)
                placed |= drawSeries(context, other, n, xRange, SLOT_SECOND, flags & PLOTF_CONNECT2,
                                     !(flags & PLOTF_NOMARK2), true);
            outcome = placed ? PLOT_DRAWN : PLOT_AXES_ONLY;
        }
    }
    release(other);
    release(first);
    return outcome;
}

int drawResidualPlot(PlotContext* context, const PlotSpec* spec, int n)
{
    double* pairs = gatherPairs(spec->xVar, spec->xVar, n);
    if (!pairs)
        return PLOT_NOT_DRAWN;
    Range xRange = NO_RANGE;
    widenByPairs(&xRange, nullptr, pairs, n);
    xRange = domainOr(spec, xRange);
    // The y of each point is its residual; a point outside the x range is left out.
    Range yRange = NO_RANGE;
    for (int i = 0; i < n; i++) {
        pairs[2 * i + 1] = finiteOrNothing(analysis.observed[i] - analysis.predicted[i]);
        if (inside(pairs[2 * i], xRange))
            widen(&yRange, pairs[2 * i + 1]);
    }
    // Without a point in the x range the axes still show, around a residual of 0.
    if (!yRange.any)
        yRange = Range{-1.0, 1.0, true};
    int outcome = PLOT_NOT_DRAWN;
    const PlotFrame frame = frameOf(spec, spec->title, xRange, yRange);
    if (renderLayout(context, LAYOUT_CURVE, frame)) {
        renderAxes(context, frame);
        if (titleShown(spec))
            renderTitle(context, spec->title);
        outcome = drawSeries(context, pairs, n, xRange, SLOT_DATA, false, true, false) ? PLOT_DRAWN
                                                                                       : PLOT_AXES_ONLY;
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
    const PlotFrame frame = frameOf(spec, title, xRange, yRange);
    if (renderLayout(context, LAYOUT_GENERAL, frame)) {
        renderAxes(context, frame);
        if (!(spec->plotFlags & PLOTF_NOTITLE) && title[0])
            renderTitle(context, title);
        outcome = PLOT_AXES_ONLY;
        if (expected) {
            renderSelectPen(context, SLOT_IDEAL);
            renderMoveTo(context, renderPageX(context, q[0]), renderPageY(context, q[0]));
            renderLineTo(context, renderPageX(context, q[m - 1]), renderPageY(context, q[m - 1]));
            renderSelectPen(context, SLOT_DATA);
            for (int i = 0; i < m; i++)
                renderXMark(context, renderPageX(context, q[i]), renderPageY(context, e[i]));
            outcome = PLOT_DRAWN;
        }
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
    plotModel.currentPlot = firstPlot();
    plotModel.currentPlotCommand = 0;
    plotModel.plotCaption[0] = '\0';
    plotModel.curvePointCount = CURVE_POINT_COUNT;
}

void plotMenuRefresh()
{
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
