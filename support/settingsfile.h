// The settings store's file, without the store itself.
#pragma once

#include <string>

// The file the settings live in, from the environment at the time of the call:
// $XDG_CONFIG_HOME/MOXEL/MOXEL.conf, else ~/.config/MOXEL/MOXEL.conf; empty when neither
// XDG_CONFIG_HOME nor HOME names an absolute folder.
std::string settingsFilePath();
