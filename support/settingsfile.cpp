// Where the settings store lives; the store itself is on QSettings (plot/settings), but
// batch mode needs the folder without the graphical libraries.
#include "support/settingsfile.h"

#include <cstdlib>

std::string settingsFilePath()
{
    const char* config = getenv("XDG_CONFIG_HOME");
    std::string folder;
    if (config && config[0] == '/') {
        folder = config;
    } else {
        const char* home = getenv("HOME");
        if (!home || home[0] != '/')
            return "";
        folder = std::string(home) + "/.config";
    }
    return folder + "/MOXEL/MOXEL.conf";
}
