// Plot model: the current plot, the plot menu's items and command numbers, the captions,
// and the four plot constructions (function, scatter, residual, normal probability) that
// turn a plot description and the analysis results into a drawing pass.
#pragma once

#include <vector>

class PlotSurface;
struct PlotSpec;
struct BandTable;

constexpr int CURVE_POINT_COUNT = 200;      // points of a function curve
constexpr int PLOT_MENU_KIND_MAX = 20;      // menu items per plot kind
constexpr int PLOT_CAPTION_MAX = 63;        // characters of a caption
constexpr int PLOT_MENU_NAME_MAX = 47;      // characters of a menu item's name

// Command numbers: the base of each kind plus the zero-based index among its plots.
enum PlotCommand {
    PLOT_COMMAND_FUNCTION = 20100,
    PLOT_COMMAND_SCATTER = 20120,
    PLOT_COMMAND_RESIDUAL = 20140,
    PLOT_COMMAND_NORMAL = 20160
};

extern const char PLOT_MENU_ITEM[];     // "P&lot": the View menu item while there is one plot
extern const char PLOT_MENU_POPUP[];    // "&Plot": the View submenu otherwise

// What the plot view shows in place of a plot's own ranges and axis types until Reset.
struct PlotViewRange {
    bool active;            // the ranges below replace the plot's own
    double xLow, xHigh;     // data units
    double yLow, yHigh;
    bool logX, logY;        // log axes
};

struct PlotModelState {
    PlotSpec* currentPlot;                  // the plot the plot view draws, or null
    int currentPlotCommand;                 // command of the plot last chosen, 0 after a run
    char plotCaption[PLOT_CAPTION_MAX + 1]; // status-bar caption while the plot view shows
    int curvePointCount;                    // points of a function curve
    PlotViewRange view;                     // the view's ranges; forgotten when the plot changes
};

extern PlotModelState plotModel;

struct PlotMenuItem {
    int command;                            // PlotCommand base + index
    bool separatorBefore;                   // a separator stands above this item
    char name[PLOT_MENU_NAME_MAX + 1];      // "Scatter plot", or "Scatter plot 2" when several
    const PlotSpec* spec;                   // the plot's description
};

enum PlotOutcome {
    PLOT_NOT_DRAWN = 0,     // no room for the axes, no results, or nothing to draw on
    PLOT_AXES_ONLY = 1,     // axes and title, but no point could be placed
    PLOT_DRAWN = 2          // the plot with its points
};

// At the start of a run: no plot chosen, the first plot current, 200 curve points.
void plotModelReset();
// When the shell refreshes its menu bar: the first plot becomes current again.
void plotMenuRefresh();
// Plots that can be drawn (their description was completed), in statement order.
int plotCount();
// The items of the "&Plot" submenu in order: function, scatter, residual and normal
// probability plots, at most PLOT_MENU_KIND_MAX of each kind.
std::vector<PlotMenuItem> plotMenuItems();
// Makes the index-th plot of a kind current and sets the caption. True when the command
// differs from the one chosen before (the plot view must then be shown again); false
// also when there is no such plot.
bool plotSelect(int kind, int index);
bool plotSelectCommand(int command);
const char* plotCaptionOfKind(int kind);    // "" for an unknown kind

// The corner of the box (0 top left, 1 top right, 2 bottom left, 3 bottom right) whose
// width x height rectangle holds the fewest of the count points (page x, y pairs; NaN
// ones left out); the first such corner in that order on a tie.
int plotLegendCorner(const double* points, int count, double left, double bottom, double right, double top,
                     double width, double height);

// What the last pass of the plot drawn laid out: its axes and box (page units) and the
// page position of each observation's mark, so that the view maps the pointer to data
// and finds the mark under it.
struct PlotLayout {
    bool valid;                 // a pass laid out its axes
    double pageWidth, pageHeight;
    double areaLeft, areaBottom, boxRight, boxTop;
    double xStart, xScale, yStart, yScale;  // as AxisScale's start and scale
    bool logX, logY;
    std::vector<double> marks;  // page x, y of observation i at 2i, 2i + 1; NaN where none
};
extern PlotLayout plotLayout;

// Page and device positions, and data values, under a layout.
double plotLayoutDataX(const PlotLayout& layout, double px);
double plotLayoutDataY(const PlotLayout& layout, double py);
double plotLayoutPageX(const PlotLayout& layout, double x);
double plotLayoutPageY(const PlotLayout& layout, double y);
// The observation whose mark lies nearest the page point and within radius page units, or -1.
int plotNearestMark(const PlotLayout& layout, double px, double py, double radius);

// The view's ranges from what the last pass showed, when it has none of its own yet.
void plotViewStart();
// Zooms the view by factor (below 1 nearer) about the page point (px, py), which keeps
// its data values; on a log axis in its decades.
void plotViewZoom(double factor, double px, double py);
// Moves the view so that what lay at page offset (dx, dy) comes to where (0, 0) was.
void plotViewPan(double dx, double dy);
// The view shows the page rectangle between two corners.
void plotViewBox(double px1, double py1, double px2, double py2);
// The plot's own ranges and axis types again.
void plotViewReset();

// One drawing pass of a plot on a surface with a colour set (a printer always uses the
// printed set). Reads the analysis results; evaluates the program quietly (a run-time
// error leaves the point out and writes nothing). Returns a PlotOutcome.
int plotDraw(PlotSurface* surface, int colourSet, const PlotSpec* spec);

// The band table of a function plot with a band option, over the x range and curve
// points its drawing uses. False (table empty) when the plot has no band option or no
// table can be made; release it with bandsRelease.
bool plotBandTable(const PlotSpec* spec, BandTable* table);
