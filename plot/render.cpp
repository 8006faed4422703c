// Plot rendering on a PlotSurface. Positions are worked out in page units: the page is
// 140 units wide and 140 * a high (a the physical aspect ratio of the drawing area), y
// grows upward, and one unit has the same length on both axes. A page position goes to
// the surface in logical units of a tenth of a page unit, truncated toward zero.
#include "plot/render.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "plot/colours.h"
#include "plot/surface.h"

namespace {

constexpr double LOGICAL_PER_PAGE_UNIT = 10.0;
constexpr int LOGICAL_WIDTH = 1400;         // logical units across the drawing area
constexpr double LOGICAL_LIMIT = 1e8;       // a farther position is clamped before truncation
constexpr double DEFAULT_DOTS_PER_INCH = 96.0;
constexpr int FACE_CLASS_COUNT = 2;         // printers, and every other surface
constexpr const char* DEFAULT_FACE = "Roman";

// ORDER TICK: multipliers of the power of ten and the minor subdivisions of each.
constexpr double TICK_MULTIPLIERS[TICK_MULTIPLIER_COUNT] = {
    1, 2, 3, 4, 5, 6, 8, 10, 20, 30, 40, 50, 60, 80, 100, 200, 300, 400, 500, 600, 800,
};
constexpr int TICK_MINOR_COUNTS[TICK_MULTIPLIER_COUNT] = {
    5, 4, 3, 4, 5, 6, 4, 5, 4, 3, 4, 5, 6, 4, 5, 4, 3, 4, 5, 6, 4,
};
constexpr int AXIS_COUNT_MAX = 10000;       // more intervals than any page can show

// A range narrower than this fraction of its magnitude cannot be told apart in double
// precision: it is widened as a constant series is.
constexpr double RANGE_RESOLUTION = 1e-12;
constexpr double RANGE_WIDENED = 1e-6;

// Face ranking, highest wins; the faces of a Linux desktop rank below the others.
struct FaceRank {
    const char* name;   // exact family name
    int rank;           // 0 for any family not listed
};
constexpr FaceRank FACE_RANKS[] = {
    {"DejaVu Sans", 1}, {"Liberation Sans", 2}, {"MS Sans Serif", 3}, {"Roman", 4}, {"Arial", 5},
    {"Arial Rounded MT Bold", 6},
};

struct RenderState {
    std::string faces[FACE_CLASS_COUNT];    // chosen face per class of surface
    bool chosen[FACE_CLASS_COUNT];          // the class has chosen its face
};

RenderState render = {{"", ""}, {false, false}};

int faceRank(const std::string& family)
{
    for (const FaceRank& entry : FACE_RANKS)
        if (family == entry.name)
            return entry.rank;
    return 0;
}

int logical(double page)
{
    const double value = std::clamp(page * LOGICAL_PER_PAGE_UNIT, -LOGICAL_LIMIT, LOGICAL_LIMIT);
    return static_cast<int>(value);
}

double usableDpi(double dpi)
{
    return std::isfinite(dpi) && dpi > 0.0 ? dpi : DEFAULT_DOTS_PER_INCH;
}

unsigned slotEntry(const PlotContext* context, int slot)
{
    return plotColours.entry[context->colourSet][slot];
}

void line(PlotContext* context, double x1, double y1, double x2, double y2)
{
    renderMoveTo(context, x1, y1);
    renderLineTo(context, x2, y2);
}

// The label format of the ticks of one axis; a log axis labels each decade alone.
LabelFormat axisFormat(const AxisScale& axis)
{
    if (axis.log) {
        LabelFormat format = {};
        snprintf(format.format, sizeof format.format, "%%lg");
        format.width = 5;
        return format;
    }
    std::vector<double> values(static_cast<size_t>(axis.count) + 1);
    for (int i = 0; i <= axis.count; i++)
        values[i] = axis.start + i * axis.step;
    return renderLabelFormat(values.data(), static_cast<int>(values.size()));
}

// The room a label of format's width takes: the average digit width times its characters.
double labelWidth(PlotContext* context, const LabelFormat& format)
{
    return renderTextWidth(context, "0123456789") * format.width / 10.0;
}

// The box that a label column, the x axis and a title leave for the plot: steps shared
// by both layouts. Returns false when the y axis has no room.
bool layoutVertical(PlotContext* context, int layout, const PlotFrame& frame)
{
    const bool curve = layout == LAYOUT_CURVE;
    renderSelectFont(context, curve ? FONT_LABELS : FONT_TICKS, FONT_REGULAR, 0);
    context->areaBottom = 1.2 * renderTextHeight(context, "1") + 2.0;
    renderSelectFont(context, FONT_LABELS, FONT_REGULAR, 0);
    const double digitHeight = renderTextHeight(context, "1");
    if (frame.xLabel[0])
        context->areaBottom += 1.3 * digitHeight;
    context->areaTop = context->pageHeight - 0.5 * digitHeight;
    if (frame.title[0]) {
        if (curve) {
            context->areaTop -= 2.0 * digitHeight;
        } else {
            renderSelectFont(context, FONT_TITLE_LARGEST, FONT_REGULAR, 0);
            context->areaTop -= 2.0 * renderTextHeight(context, frame.title);
        }
    }
    const double length = context->areaTop - context->areaBottom;
    if (!(frame.logY ? renderLogTicks(frame.yLow, frame.yHigh, length, &context->yAxis)
                     : renderTicks(frame.yLow, frame.yHigh, length, &context->yAxis)))
        return false;
    context->areaTop = context->areaBottom + context->yAxis.interval * context->yAxis.count;
    return true;
}

// Page offset of minor tick j within a major interval: even, or at log10(j + 1) of the
// interval on a log axis whose ticks are one decade apart.
double minorOffset(const AxisScale& axis, int j)
{
    if (axis.log && axis.minor == 9)
        return std::log10(j + 1.0) * axis.interval;
    return j * axis.interval / axis.minor;
}

// The minor ticks of the interval that ends at the major tick after previous: one unit
// long, below the x axis or left of the y axis.
void drawMinorTicks(PlotContext* context, double previous, const AxisScale& axis, bool alongX)
{
    for (int j = 1; j < axis.minor; j++) {
        const double at = previous + minorOffset(axis, j);
        if (alongX)
            line(context, at, context->xAxisY, at, context->xAxisY - 1.0);
        else
            line(context, context->yAxisX, at, context->yAxisX - 1.0, at);
    }
}

void drawGrid(PlotContext* context)
{
    const AxisScale& x = context->xAxis;
    const AxisScale& y = context->yAxis;
    const double right = context->areaLeft + x.interval * x.count;
    const double top = context->areaBottom + y.interval * y.count;
    renderSelectPen(context, SLOT_GRID);
    for (int i = 0; i <= y.minor * y.count; i++) {
        const double py = y.log ? context->areaBottom + (i / y.minor) * y.interval + minorOffset(y, i % y.minor)
                                : context->areaBottom + i * (y.step / y.minor) * y.scale;
        line(context, context->areaLeft, py, right, py);
    }
    for (int i = 0; i <= x.minor * x.count; i++) {
        const double px = x.log ? context->areaLeft + (i / x.minor) * x.interval + minorOffset(x, i % x.minor)
                                : context->areaLeft + i * (x.step / x.minor) * x.scale;
        line(context, px, context->areaBottom, px, top);
    }
}

void drawXAxis(PlotContext* context, const PlotFrame& frame)
{
    const AxisScale& x = context->xAxis;
    const AxisScale& y = context->yAxis;
    const LabelFormat format = axisFormat(x);
    const double right = context->areaLeft + x.interval * x.count;
    renderSelectPen(context, SLOT_AXES);
    if (!y.log && y.start <= 0.0 && -y.scale * y.start <= y.interval * y.count) {
        const double zero = context->areaBottom - y.scale * y.start;
        line(context, context->areaLeft, zero, right, zero);
    }
    line(context, context->areaLeft, context->xAxisY, right, context->xAxisY);
    context->boxTop = context->areaBottom + y.interval * y.count;
    line(context, context->areaLeft, context->boxTop, right, context->boxTop);

    renderSelectFont(context, FONT_TICKS, FONT_REGULAR, 0);
    double previous = context->areaLeft;
    for (int i = 0; i <= x.count; i++) {
        const double value = x.log ? std::pow(10.0, x.start + i * x.step) : x.start + i * x.step;
        const double px = x.log ? context->areaLeft + i * x.interval : context->areaLeft + (value - x.start) * x.scale;
        if (i > 0)
            drawMinorTicks(context, previous, x, true);
        line(context, px, context->xAxisY, px, context->xAxisY - 2.0);
        const std::string text = renderLabelText(format, value);
        const double width = renderTextWidth(context, text.c_str());
        const double minus = text[0] == '-' ? renderTextWidth(context, "-") / 2.0 : 0.0;
        renderText(context, px - (width + minus) / 2.0, context->xAxisY - 2.4, text.c_str(), SLOT_TEXT);
        previous = px;
    }
    if (frame.xLabel[0]) {
        const double digitHeight = renderTextHeight(context, "1");
        renderSelectFont(context, FONT_LABELS, FONT_REGULAR, 0);
        const double left =
            context->areaLeft + (x.interval * x.count - renderTextWidth(context, frame.xLabel)) / 2.0;
        renderText(context, left, context->xAxisY - 2.4 - 1.2 * digitHeight, frame.xLabel, SLOT_TEXT);
    }
}

void drawYLabel(PlotContext* context, const char* label)
{
    const double middle = context->areaBottom + context->yAxis.interval / 2.0 * context->yAxis.count;
    const double column = context->yAxisX - context->labelColumnWidth;
    if (strlen(label) == 1) {
        renderSelectFont(context, FONT_LABELS, FONT_REGULAR, 0);
        renderText(context, column, middle + 0.5 * renderTextHeight(context, "1"), label, SLOT_TEXT);
        return;
    }
    // Rotated a quarter turn, the text's top faces left: it runs upward from its start,
    // centred on the middle of the axis.
    renderSelectFont(context, FONT_LABELS, FONT_REGULAR, 900);
    const double left = column + (context->printer ? 2.0 : 1.0);
    renderText(context, left, middle - renderTextWidth(context, label) / 2.0, label, SLOT_TEXT);
}

void drawYAxis(PlotContext* context, const PlotFrame& frame)
{
    const AxisScale& x = context->xAxis;
    const AxisScale& y = context->yAxis;
    const LabelFormat format = axisFormat(y);
    const double top = context->areaBottom + y.interval * y.count;
    renderSelectPen(context, SLOT_AXES);
    if (!x.log && x.start <= 0.0 && -x.scale * x.start <= x.interval * x.count) {
        const double zero = context->areaLeft - x.scale * x.start;
        line(context, zero, context->areaBottom, zero, top);
    }
    line(context, context->yAxisX, context->areaBottom, context->yAxisX, top);
    context->boxRight = context->areaLeft + x.interval * x.count;
    line(context, context->boxRight, context->areaBottom, context->boxRight, top);

    renderSelectFont(context, FONT_TICKS, FONT_REGULAR, 0);
    double previous = context->areaBottom;
    for (int i = 0; i <= y.count; i++) {
        const double value = y.log ? std::pow(10.0, y.start + i * y.step) : y.start + i * y.step;
        const double py = y.log ? context->areaBottom + i * y.interval : context->areaBottom + (value - y.start) * y.scale;
        if (i > 0)
            drawMinorTicks(context, previous, y, false);
        line(context, context->yAxisX, py, context->yAxisX - 2.0, py);
        const std::string text = renderLabelText(format, value);
        const double width = renderTextWidth(context, text.c_str());
        const double height = renderTextHeight(context, text.c_str());
        renderText(context, context->yAxisX - 2.4 - width, py + height / 2.0, text.c_str(), SLOT_TEXT);
        previous = py;
    }
    if (frame.yLabel[0])
        drawYLabel(context, frame.yLabel);
}

// Moves the box to the middle of the room left for it.
void centre(PlotContext* context, const PlotFrame& frame)
{
    const double shift = (context->pageWidth - context->areaRight) / 2.0;
    context->areaLeft += shift;
    context->areaRight += shift;
    renderSelectFont(context, FONT_LABELS, FONT_REGULAR, 0);
    const double digitHeight = renderTextHeight(context, "1");
    double limit = context->pageHeight - 0.5 * digitHeight;
    if (frame.title[0])
        limit -= 2.0 * digitHeight;
    const double rise = (limit - context->areaTop) / 2.0;
    context->areaBottom += rise;
    context->areaTop += rise;
    context->yAxisX = context->areaLeft;
    context->xAxisY = context->areaBottom;
}

}  // namespace

bool renderTicks(double lo, double hi, double length, AxisScale* axis)
{
    if (!std::isfinite(lo) || !std::isfinite(hi) || !std::isfinite(length))
        return false;
    if (hi <= lo)
        hi = lo + 1.0;
    if (!(hi - lo > std::fabs(lo) * RANGE_RESOLUTION))
        hi = lo + std::fabs(lo) * RANGE_WIDENED;
    const double span = hi - lo;
    if (!std::isfinite(span))
        return false;
    const double intervals = std::floor(length / AXIS_INTERVAL + 0.00001);
    if (intervals <= 0.001)
        return false;
    const int n = intervals > AXIS_COUNT_MAX ? AXIS_COUNT_MAX : static_cast<int>(intervals);
    const double p = std::pow(10.0, std::floor(std::log10(span / n)));
    if (!std::isnormal(p))
        return false;
    const double tol = 0.01 * p;

    int chosen = TICK_MULTIPLIER_COUNT - 1;
    for (int k = 0; k < TICK_MULTIPLIER_COUNT; k++) {
        const double step = TICK_MULTIPLIERS[k] * p;
        const double start = step * std::floor(lo / step);
        if (start + n * step >= hi - tol) {
            chosen = k;
            break;
        }
    }
    const double step = TICK_MULTIPLIERS[chosen] * p;
    const double start = step * std::floor(lo / step);
    if (!std::isfinite(start))
        return false;
    // The smallest count >= 1 whose end reaches hi: from the quotient, then corrected
    // for its rounding.
    const double estimate = std::ceil((hi - tol - start) / step);
    if (!(estimate <= AXIS_COUNT_MAX))
        return false;
    int count = estimate < 1.0 ? 1 : static_cast<int>(estimate);
    while (count > 1 && start + (count - 1) * step + tol >= hi)
        count--;
    while (start + count * step + tol < hi && count < AXIS_COUNT_MAX)
        count++;

    axis->start = start;
    axis->step = step;
    axis->count = count;
    axis->end = start + count * step;
    axis->scale = AXIS_INTERVAL / step;
    axis->minor = TICK_MINOR_COUNTS[chosen];
    axis->interval = AXIS_INTERVAL;
    axis->log = false;
    return true;
}

bool renderLogTicks(double lo, double hi, double length, AxisScale* axis)
{
    if (!(lo > 0.0) || !(hi > 0.0) || !std::isfinite(lo) || !std::isfinite(hi) || !std::isfinite(length))
        return false;
    const double intervals = std::floor(length / AXIS_INTERVAL + 0.00001);
    if (intervals < 1.0)
        return false;
    // A hair of tolerance, so that a value of exactly 10^k starts or ends a decade.
    const double first = std::floor(std::log10(std::min(lo, hi)) + 1e-9);
    double last = std::ceil(std::log10(std::max(lo, hi)) - 1e-9);
    if (last <= first)
        last = first + 1.0;
    const double decades = last - first;
    const double step = std::ceil(decades / std::min(intervals, static_cast<double>(AXIS_COUNT_MAX)));
    const int count = static_cast<int>(std::ceil(decades / step - 1e-9));
    axis->start = first;
    axis->step = step;
    axis->count = count;
    axis->end = first + count * step;
    axis->interval = std::floor(length / count * 10.0) / 10.0;
    axis->scale = axis->interval / step;
    axis->minor = step == 1.0 ? 9 : static_cast<int>(std::min(step, 10.0));
    axis->log = true;
    return true;
}

LabelFormat renderLabelFormat(const double* values, int count)
{
    LabelFormat format = {};
    format.zeroBelow = count > 0 ? 0.0001 * std::fabs(values[count - 1] - values[0]) : 0.0;
    char text[64];
    for (int i = 0; i < count && !format.exponent; i++) {
        const double value = std::fabs(values[i]) < format.zeroBelow ? 0.0 : values[i];
        snprintf(text, sizeof text, "%lg", value);
        if (strchr(text, 'e')) {
            format.exponent = true;
            break;
        }
        const int length = static_cast<int>(strlen(text));
        format.width = std::max(format.width, length);
        if (const char* point = strchr(text, '.'))
            format.decimals = std::max(format.decimals, static_cast<int>(text + length - point - 1));
    }
    if (format.exponent) {
        // The mantissa keeps the digits up to its last one that is not a trailing zero.
        format.width = 0;
        format.decimals = 0;
        for (int i = 0; i < count; i++) {
            snprintf(text, sizeof text, "%.3lE", values[i]);
            const char* exponent = strchr(text, 'E');
            const char* point = strchr(text, '.');
            if (!exponent || !point)
                continue;
            const char* zeros = exponent;
            while (zeros > point + 1 && zeros[-1] == '0')
                zeros--;
            const int trailing = static_cast<int>(exponent - zeros);
            format.decimals = std::max(format.decimals, static_cast<int>(zeros - point - 1));
            format.width = std::max(format.width, static_cast<int>(strlen(text)) - trailing);
        }
    }
    snprintf(format.format, sizeof format.format, format.exponent ? "%%%d.%dlE" : "%%%d.%dlf",
             format.width, format.decimals);
    return format;
}

std::string renderLabelText(const LabelFormat& format, double value)
{
    char text[64];
    snprintf(text, sizeof text, format.format, std::fabs(value) < format.zeroBelow ? 0.0 : value);
    const char* start = text;
    while (*start == ' ')
        start++;
    return start;
}

std::string renderChooseFace(const std::vector<std::string>& families)
{
    std::string face = DEFAULT_FACE;
    int best = 0;
    for (const std::string& family : families) {
        const int rank = faceRank(family);
        if (rank > best) {
            best = rank;
            face = family;
        }
    }
    return face;
}

void renderReset()
{
    for (int i = 0; i < FACE_CLASS_COUNT; i++) {
        render.faces[i].clear();
        render.chosen[i] = false;
    }
}

bool renderBegin(PlotContext* context, PlotSurface* surface, int colourSet)
{
    const SurfaceDevice device = surface->device();
    const bool printer = device.kind == SURFACE_PRINTER;
    int w = device.pixelWidth;
    int h = device.pixelHeight;
    if (printer) {
        w -= 2;
        h -= 2;
    }
    if (w <= 0 || h <= 0)
        return false;
    const double aspect = (h / usableDpi(device.dotsPerInchY)) / (w / usableDpi(device.dotsPerInchX));
    const double logicalHeight = std::trunc(LOGICAL_WIDTH * aspect);
    if (!(logicalHeight >= 1.0) || logicalHeight > LOGICAL_LIMIT)
        return false;

    SurfaceMapping mapping;
    if (printer) {
        // A 5 % margin on every side.
        mapping.originX = w / 20;
        mapping.originY = h - (h / 10) / 2;
        mapping.scaleX = (w - w / 10) / static_cast<double>(LOGICAL_WIDTH);
        mapping.scaleY = -(h - h / 10) / logicalHeight;
    } else {
        mapping.originX = 0.0;
        mapping.originY = h;
        mapping.scaleX = w / static_cast<double>(LOGICAL_WIDTH);
        mapping.scaleY = -h / logicalHeight;
    }

    *context = PlotContext{};
    context->surface = surface;
    context->printer = printer;
    context->colourSet = printer ? COLOURS_PRINTED : std::clamp(colourSet, 0, COLOUR_SET_COUNT - 1);
    context->aspect = aspect;
    context->pageWidth = PAGE_WIDTH;
    context->pageHeight = PAGE_WIDTH * aspect;
    context->markHalfWidth = PAGE_WIDTH * 0.0038461538461538464;
    context->markHalfHeight = context->markHalfWidth * aspect * 1.5;
    context->residualGap = context->pageHeight * 0.002;

    const int faceClass = printer ? 1 : 0;
    if (!render.chosen[faceClass]) {
        render.faces[faceClass] = renderChooseFace(surface->fontFamilies());
        render.chosen[faceClass] = true;
    }
    context->face = render.faces[faceClass];

    surface->beginPass();
    surface->setMapping(mapping);
    surface->setBackgroundColour(colourRgb(slotEntry(context, SLOT_BACKGROUND)));
    return true;
}

bool renderLayout(PlotContext* context, int layout, const PlotFrame& frame)
{
    const bool curve = layout == LAYOUT_CURVE;
    if (!layoutVertical(context, layout, frame))
        return false;
    // The y tick labels are measured in the font selected now: the title's when a
    // general layout has a title, else the label font.
    context->labelColumnWidth = labelWidth(context, axisFormat(context->yAxis)) + (curve ? 2.4 : 2.0);
    renderSelectFont(context, FONT_LABELS, FONT_REGULAR, 0);
    if (frame.yLabel[0])
        context->labelColumnWidth += renderTextWidth(context, "XX");
    context->areaLeft = 0.5 * renderTextWidth(context, curve ? "1" : "X") + context->labelColumnWidth;
    const double length = context->pageWidth - context->areaLeft - renderTextWidth(context, "1234");
    if (!(frame.logX ? renderLogTicks(frame.xLow, frame.xHigh, length, &context->xAxis)
                     : renderTicks(frame.xLow, frame.xHigh, length, &context->xAxis)))
        return false;
    context->areaRight = context->areaLeft + context->xAxis.interval * context->xAxis.count;
    return true;
}

void renderAxes(PlotContext* context, const PlotFrame& frame)
{
    centre(context, frame);
    if (frame.grid)
        drawGrid(context);
    drawXAxis(context, frame);
    drawYAxis(context, frame);
}

void renderTitle(PlotContext* context, const char* text)
{
    char title[TITLE_TEXT_MAX + 1];
    snprintf(title, sizeof title, "%s", text);
    const double room = context->boxRight - context->areaLeft;
    int height = FONT_TITLE_LARGEST;
    renderSelectFont(context, height, FONT_TITLE, 0);
    double width = renderTextWidth(context, title);
    while (width > room && height > FONT_TITLE_SMALLEST) {
        height--;
        renderSelectFont(context, height, FONT_TITLE, 0);
        width = renderTextWidth(context, title);
    }
    const double left = context->areaLeft + (room - width) / 2.0;
    // The title stays on the page however little room the page's shape leaves above the box.
    const double textHeight = renderTextHeight(context, title);
    const double top = std::min(context->boxTop + 2.1 * textHeight, context->pageHeight - 0.1 * textHeight);
    renderText(context, left, top, title, SLOT_TITLE);
}

void renderEnd(PlotContext* context)
{
    context->surface->endPass();
    context->fontHeight = 0;
}

double renderPageX(const PlotContext* context, double x)
{
    const AxisScale& axis = context->xAxis;
    return context->areaLeft + ((axis.log ? std::log10(x) : x) - axis.start) * axis.scale;
}

double renderPageY(const PlotContext* context, double y)
{
    const AxisScale& axis = context->yAxis;
    return context->areaBottom + ((axis.log ? std::log10(y) : y) - axis.start) * axis.scale;
}

double renderDataX(const PlotContext* context, double px)
{
    const AxisScale& axis = context->xAxis;
    const double value = axis.start + (px - context->areaLeft) / axis.scale;
    return axis.log ? std::pow(10.0, value) : value;
}

double renderDataY(const PlotContext* context, double py)
{
    const AxisScale& axis = context->yAxis;
    const double value = axis.start + (py - context->areaBottom) / axis.scale;
    return axis.log ? std::pow(10.0, value) : value;
}

void renderSelectPen(PlotContext* context, int slot)
{
    const unsigned entry = slotEntry(context, slot);
    context->surface->setPen(colourWidth(entry), colourRgb(entry));
}

void renderMoveTo(PlotContext* context, double px, double py)
{
    context->surface->moveTo(logical(px), logical(py));
}

void renderLineTo(PlotContext* context, double px, double py)
{
    context->surface->lineTo(logical(px), logical(py));
}

void renderXMark(PlotContext* context, double px, double py)
{
    const double hw = context->markHalfWidth;
    const double hh = context->markHalfHeight;
    line(context, px - hw, py + hh, px + hw, py - hh);
    line(context, px + hw, py + hh, px - hw, py - hh);
}

void renderTriangleMark(PlotContext* context, double px, double py)
{
    const double hw = context->markHalfWidth;
    const double hh = context->markHalfHeight;
    renderMoveTo(context, px - hw, py - hh);
    renderLineTo(context, px, py + hh);
    renderLineTo(context, px + hw, py - hh);
    renderLineTo(context, px - hw, py - hh);
}

void renderSelectFont(PlotContext* context, int height, int style, int escapement)
{
    context->surface->setFont(context->face, height, style, escapement);
    context->fontHeight = height;
    context->fontStyle = style;
    context->fontEscapement = escapement;
}

double renderTextWidth(PlotContext* context, const char* text)
{
    return context->surface->textExtent(text).width / LOGICAL_PER_PAGE_UNIT;
}

double renderTextHeight(PlotContext* context, const char* text)
{
    return (context->surface->textExtent(text).height - 1) / LOGICAL_PER_PAGE_UNIT;
}

void renderClipToBox(PlotContext* context, bool on)
{
    // A mark centred on the frame stays whole.
    const double across = context->markHalfWidth + 0.3;
    const double up = context->markHalfHeight + 0.3;
    if (on)
        context->surface->clipTo(logical(context->areaLeft - across), logical(context->areaBottom - up),
                                 logical(context->boxRight + across), logical(context->boxTop + up));
    else
        context->surface->clipOff();
}

void renderFill(PlotContext* context, double left, double bottom, double right, double top, int slot)
{
    context->surface->fillRect(logical(left), logical(bottom), logical(right), logical(top),
                               colourRgb(slotEntry(context, slot)));
}

void renderText(PlotContext* context, double px, double py, const char* text, int slot)
{
    context->surface->setTextColour(colourRgb(slotEntry(context, slot)));
    context->surface->textOut(logical(px), logical(py), text);
}
