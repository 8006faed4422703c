// Plot colour sets and their settings.
#include "plot/colours.h"

#include <cstdio>

#include "plot/settings.h"

// ORDER SLOT
const char* const colourSlotNames[COLOUR_SLOT_COUNT] = {
    "Background:", "Title text:", "Other text:", "Axes:", "Data points:", "Function line:",
    "Residual lines:", "Ideal points for nplot:", "Grid lines:", "Function points for splot:",
    "Band lines:",
};

const char* const colourSetNames[COLOUR_SET_COUNT] = {"Screen plot", "Printed plot", "Saved plot"};

namespace {

constexpr unsigned entryOf(unsigned width, unsigned red, unsigned green, unsigned blue)
{
    return width << 24 | blue << 16 | green << 8 | red;
}

// ORDER SLOT: one row per table, one column per slot.
constexpr unsigned STANDARD_TABLES[COLOUR_TABLE_COUNT][COLOUR_SLOT_COUNT] = {
    // colour on black, the screen's default. Its data marks are a light blue: pure blue
    // (0, 0, 255) has a contrast of 2.4:1 on black, and one-pixel marks in it vanish, so
    // that a residual or normal probability plot looked empty.
    {entryOf(1, 0, 0, 0), entryOf(1, 255, 255, 255), entryOf(1, 255, 255, 255),
     entryOf(1, 255, 255, 255), entryOf(1, 80, 160, 255), entryOf(1, 255, 255, 0),
     entryOf(1, 255, 0, 0), entryOf(1, 0, 200, 0), entryOf(1, 100, 100, 100),
     entryOf(1, 255, 255, 0), entryOf(1, 255, 140, 255)},
    // colour on white. Its residual lines are a clear red: the dark red they had before
    // could not be told from the blue marks and the black axes.
    {entryOf(1, 255, 255, 255), entryOf(0, 0, 0, 0), entryOf(0, 0, 0, 0), entryOf(2, 0, 0, 0),
     entryOf(1, 0, 0, 200), entryOf(1, 0, 150, 0), entryOf(1, 220, 0, 0), entryOf(1, 0, 200, 0),
     entryOf(1, 180, 180, 180), entryOf(1, 10, 50, 0), entryOf(1, 170, 0, 170)},
    // monochrome on black
    {entryOf(1, 0, 0, 0), entryOf(0, 255, 255, 255), entryOf(0, 255, 255, 255),
     entryOf(3, 255, 255, 255), entryOf(1, 255, 255, 255), entryOf(1, 255, 255, 255),
     entryOf(1, 255, 255, 255), entryOf(1, 255, 255, 255), entryOf(1, 100, 100, 100),
     entryOf(1, 255, 255, 255), entryOf(1, 255, 255, 255)},
    // monochrome on white
    {entryOf(1, 255, 255, 255), entryOf(0, 0, 0, 0), entryOf(0, 0, 0, 0), entryOf(3, 0, 0, 0),
     entryOf(1, 0, 0, 0), entryOf(1, 0, 0, 0), entryOf(1, 0, 0, 0), entryOf(1, 0, 0, 0),
     entryOf(1, 80, 80, 80), entryOf(1, 0, 0, 0), entryOf(1, 0, 0, 0)},
};

constexpr int DEFAULT_TABLES[COLOUR_SET_COUNT] = {
    TABLE_COLOUR_ON_BLACK, TABLE_MONO_ON_WHITE, TABLE_COLOUR_ON_WHITE,
};

constexpr PlotColourSets defaultSets()
{
    PlotColourSets sets{};
    for (int set = 0; set < COLOUR_SET_COUNT; set++)
        for (int slot = 0; slot < COLOUR_SLOT_COUNT; slot++)
            sets.entry[set][slot] = STANDARD_TABLES[DEFAULT_TABLES[set]][slot];
    return sets;
}

void settingName(char* name, size_t size, int slot, int set)
{
    snprintf(name, size, "Color_%d_%d", slot, set);
}

}  // namespace

// The defaults until colourSetsLoad reads the settings.
PlotColourSets plotColours = defaultSets();

unsigned colourEntry(int width, int red, int green, int blue)
{
    return entryOf(static_cast<unsigned>(width) & 0xFF, static_cast<unsigned>(red) & 0xFF,
                   static_cast<unsigned>(green) & 0xFF, static_cast<unsigned>(blue) & 0xFF);
}

bool colourValuesValid(int red, int green, int blue, int width)
{
    const auto component = [](int value) { return value >= 0 && value <= 255; };
    return component(red) && component(green) && component(blue) && width >= 0 &&
           width <= PEN_WIDTH_MAX;
}

unsigned colourStandard(int table, int slot)
{
    if (table < 0 || table >= COLOUR_TABLE_COUNT || slot < 0 || slot >= COLOUR_SLOT_COUNT)
        return 0;
    return STANDARD_TABLES[table][slot];
}

int colourDefaultTable(int set)
{
    return set >= 0 && set < COLOUR_SET_COUNT ? DEFAULT_TABLES[set] : TABLE_COLOUR_ON_WHITE;
}

void colourSetsLoad()
{
    char name[32];
    for (int set = 0; set < COLOUR_SET_COUNT; set++) {
        for (int slot = 0; slot < COLOUR_SLOT_COUNT; slot++) {
            settingName(name, sizeof name, slot, set);
            const int value = settingsReadInt(name);
            const bool usable = value >= 0 && colourWidth(static_cast<unsigned>(value)) <= PEN_WIDTH_MAX;
            plotColours.entry[set][slot] =
                usable ? static_cast<unsigned>(value) : colourStandard(colourDefaultTable(set), slot);
        }
    }
}

void colourSetStore(int set)
{
    if (set < 0 || set >= COLOUR_SET_COUNT)
        return;
    char name[32];
    for (int slot = 0; slot < COLOUR_SLOT_COUNT; slot++) {
        settingName(name, sizeof name, slot, set);
        settingsWriteInt(name, static_cast<int>(plotColours.entry[set][slot]));
    }
}
