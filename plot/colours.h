// Plot colour sets: three sets (screen, printed, saved) of eleven entries, each a pen width
// and a colour, the four standard tables, and their "Color_%d_%d" settings.
#pragma once

constexpr int COLOUR_SET_COUNT = 3;
constexpr int COLOUR_SLOT_COUNT = 11;
constexpr int COLOUR_TABLE_COUNT = 4;
constexpr int PEN_WIDTH_MAX = 50;           // logical units; a wider stored pen is not taken

enum ColourSetIndex {
    COLOURS_SCREEN = 0,     // "Screen plot"
    COLOURS_PRINTED = 1,    // "Printed plot"
    COLOURS_SAVED = 2       // "Saved plot"
};

// ORDER SLOT: the slots, colourSlotNames and the columns of the standard tables.
enum ColourSlot {
    SLOT_BACKGROUND = 0,    // background fill and text background
    SLOT_TITLE = 1,         // the title
    SLOT_TEXT = 2,          // tick labels and axis labels
    SLOT_AXES = 3,          // axis lines, box, tick marks, zero lines
    SLOT_DATA = 4,          // marks of the observations (first series)
    SLOT_FUNCTION = 5,      // the fitted curve
    SLOT_RESIDUAL = 6,      // residual lines of a function plot
    SLOT_IDEAL = 7,         // the ideal line of a normal probability plot
    SLOT_GRID = 8,          // the grid
    SLOT_SECOND = 9,        // marks and lines of the second scatter series
    SLOT_BAND = 10          // confidence and prediction bands of a function plot
};

enum ColourTable {
    TABLE_COLOUR_ON_BLACK = 0,
    TABLE_COLOUR_ON_WHITE = 1,
    TABLE_MONO_ON_BLACK = 2,
    TABLE_MONO_ON_WHITE = 3
};

// An entry: pen width in bits 24-31, blue in 16-23, green in 8-15, red in 0-7.
struct PlotColourSets {
    unsigned entry[COLOUR_SET_COUNT][COLOUR_SLOT_COUNT];   // [set][slot]
};

extern PlotColourSets plotColours;
extern const char* const colourSlotNames[COLOUR_SLOT_COUNT];   // "Background:" ...
extern const char* const colourSetNames[COLOUR_SET_COUNT];     // "Screen plot" ...

unsigned colourEntry(int width, int red, int green, int blue);
inline int colourWidth(unsigned entry) { return static_cast<int>(entry >> 24); }
inline unsigned colourRgb(unsigned entry) { return entry & 0xFFFFFFu; }
inline int colourRed(unsigned entry) { return static_cast<int>(entry & 0xFF); }
inline int colourGreen(unsigned entry) { return static_cast<int>((entry >> 8) & 0xFF); }
inline int colourBlue(unsigned entry) { return static_cast<int>((entry >> 16) & 0xFF); }

// True when the components are 0..255 and the width 0..PEN_WIDTH_MAX.
bool colourValuesValid(int red, int green, int blue, int width);

unsigned colourStandard(int table, int slot);
int colourDefaultTable(int set);    // colour on black, monochrome on white, colour on white

// Reads every "Color_<slot>_<set>" setting; a missing or unusable value (negative, or a
// pen wider than PEN_WIDTH_MAX) takes the default of its set.
void colourSetsLoad();
// Writes the eleven entries of one set as "Color_<slot>_<set>".
void colourSetStore(int set);
