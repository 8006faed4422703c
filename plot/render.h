// Plot rendering: the page coordinate system, fonts and pens of one drawing pass, the
// tick algorithm and the tick-label formats, the general and curve layouts, axes, grid,
// title and point marks. It knows nothing of the analysis: the plot model hands it
// ranges and points in data units.
#pragma once

#include <string>
#include <vector>

class PlotSurface;

constexpr double PAGE_WIDTH = 140.0;        // page units across the drawing area
constexpr int AXIS_INTERVAL = 20;           // page units of one major tick interval
constexpr int TICK_MULTIPLIER_COUNT = 21;
constexpr int TITLE_TEXT_MAX = 199;         // characters of a title that are drawn

// Font heights in logical units.
constexpr int FONT_TICKS = 28;
constexpr int FONT_LABELS = 38;
constexpr int FONT_TITLE_LARGEST = 50;
constexpr int FONT_TITLE_SMALLEST = 39;

enum LayoutKind {
    LAYOUT_GENERAL = 0,     // scatter and normal probability plots
    LAYOUT_CURVE = 1        // function and residual plots
};

// A log axis keeps start, end and step as powers of ten: its ticks are at decades.
struct AxisScale {
    double start;           // data value at the axis origin (log axis: its log10)
    double end;             // start + count * step
    double scale;           // page units per data unit (log axis: per decade)
    double step;            // data value between major ticks (log axis: whole decades)
    int count;              // number of major intervals
    int minor;              // subdivisions of one interval (log axis with one decade a step: 9, at 2..9)
    double interval = AXIS_INTERVAL;    // page units of one major interval
    bool log = false;       // a log axis
};

struct LabelFormat {
    char format[24];        // printf format of one tick value
    int width;              // characters of the widest label
    int decimals;           // digits after the point (or of the mantissa)
    bool exponent;          // the "%lE" form was needed
    double zeroBelow;       // a value smaller than this in magnitude prints as 0
};

// What a plot puts around its data.
struct PlotFrame {
    double xLow, xHigh;     // x range, data units
    double yLow, yHigh;     // y range, data units
    const char* title;      // empty: no room is kept for it
    const char* xLabel;     // empty: none
    const char* yLabel;     // empty: none
    bool grid;              // draw the grid
    bool logX = false;      // log axes; their ranges must be positive
    bool logY = false;
};

struct PlotContext {
    PlotSurface* surface;       // where the pass draws
    int colourSet;              // 0 screen, 1 printed, 2 saved; a printer always uses 1
    bool printer;               // the surface is a printer page
    double aspect;              // a: physical height / width of the drawing area
    double pageWidth;           // W = 140
    double pageHeight;          // H = 140 * a
    double markHalfWidth;       // W / 260
    double markHalfHeight;      // markHalfWidth * a * 1.5
    double residualGap;         // H * 0.002
    double areaLeft, areaRight, areaBottom, areaTop;   // the plot box, page units
    AxisScale xAxis;            // ticks of the x axis
    AxisScale yAxis;            // ticks of the y axis
    double labelColumnWidth;    // room left of the y axis for its tick labels and label
    double yAxisX;              // where the y axis is drawn
    double xAxisY;              // where the x axis is drawn
    double boxRight;            // right edge of the box as drawn
    double boxTop;              // top edge of the box as drawn
    std::string face;           // font face of this class of surface
    int fontHeight;             // current font, logical units (0: none yet)
    int fontStyle;              // current font's FontStyle
    int fontEscapement;         // current font's escapement
};

// Tick algorithm: false when not one 20-unit interval fits in length (or the range is
// not finite). A range with hi <= lo is taken as [lo, lo + 1].
bool renderTicks(double lo, double hi, double length, AxisScale* axis);
// Decade ticks of a log axis over the positive range [lo, hi], its intervals stretched to
// fill length; false when not one 20-unit interval fits or the range is not positive.
bool renderLogTicks(double lo, double hi, double length, AxisScale* axis);
// The format of a row of tick values; count 0 gives "%0.0lf".
LabelFormat renderLabelFormat(const double* values, int count);
// One tick label: the value in the format, 0 when it is below zeroBelow, leading blanks dropped.
std::string renderLabelText(const LabelFormat& format, double value);
// The face the ranking picks from the installed families.
std::string renderChooseFace(const std::vector<std::string>& families);
// Forgets the faces chosen so far (the next pass of each class of surface chooses again).
void renderReset();

// Starts a pass: mapping, page size, mark sizes, the background colour as the text
// background. False when the surface has no room to draw in (nothing may be drawn).
bool renderBegin(PlotContext* context, PlotSurface* surface, int colourSet);
// Lays out the plot box and the two axes; false when an axis has no room for one interval.
bool renderLayout(PlotContext* context, int layout, const PlotFrame& frame);
// Centring, then the grid (when asked), the x axis and the y axis with their labels.
void renderAxes(PlotContext* context, const PlotFrame& frame);
// The title, centred over the box, its font made smaller while it is wider than the box.
void renderTitle(PlotContext* context, const char* text);
// Releases the pass's pen and font and selects again the pen in use before the pass.
void renderEnd(PlotContext* context);

// Page position of a data value; on a log axis the value must be positive.
double renderPageX(const PlotContext* context, double x);
double renderPageY(const PlotContext* context, double y);
// Data value of a page position (the inverse of the two above).
double renderDataX(const PlotContext* context, double px);
double renderDataY(const PlotContext* context, double py);
// Drawing in page units with the pen of one colour slot.
void renderSelectPen(PlotContext* context, int slot);
void renderMoveTo(PlotContext* context, double px, double py);
void renderLineTo(PlotContext* context, double px, double py);
void renderXMark(PlotContext* context, double px, double py);
void renderTriangleMark(PlotContext* context, double px, double py);
// Text measured in the current font, page units.
void renderSelectFont(PlotContext* context, int height, int style, int escapement);
double renderTextWidth(PlotContext* context, const char* text);
double renderTextHeight(PlotContext* context, const char* text);
// Keeps the drawing inside the plot box (a zoomed view), or lets it out again.
void renderClipToBox(PlotContext* context, bool on);
// Fills a rectangle of page positions with the colour of a slot.
void renderFill(PlotContext* context, double left, double bottom, double right, double top, int slot);
// Text with its top left corner at (px, py), in the colour of a slot.
void renderText(PlotContext* context, double px, double py, const char* text, int slot);
