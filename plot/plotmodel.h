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

struct PlotModelState {
    PlotSpec* currentPlot;                  // the plot the plot view draws, or null
    int currentPlotCommand;                 // command of the plot last chosen, 0 after a run
    char plotCaption[PLOT_CAPTION_MAX + 1]; // status-bar caption while the plot view shows
    int curvePointCount;                    // points of a function curve
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

// One drawing pass of a plot on a surface with a colour set (a printer always uses the
// printed set). Reads the analysis results; evaluates the program quietly (a run-time
// error leaves the point out and writes nothing). Returns a PlotOutcome.
int plotDraw(PlotSurface* surface, int colourSet, const PlotSpec* spec);

// The band table of a function plot with a band option, over the x range and curve
// points its drawing uses. False (table empty) when the plot has no band option or no
// table can be made; release it with bandsRelease.
bool plotBandTable(const PlotSpec* spec, BandTable* table);
