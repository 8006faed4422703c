// Settings store: integer and string values kept per user, shared by batch mode and the
// window. The file is $XDG_CONFIG_HOME/MOXEL/MOXEL.conf (else ~/.config/MOXEL/MOXEL.conf)
// in the native (INI) form of QSettings, every value in [General] under its own name.
// Nothing here reports an error: an unreadable store reads as missing values, and a
// write that cannot be made is dropped.
#pragma once

#include <string>

#include "support/settingsfile.h"

constexpr int SETTINGS_STRING_MAX = 199;    // bytes of a string value that are kept

int settingsReadInt(const char* name);             // -1 when missing or unreadable
void settingsWriteInt(const char* name, int value);
std::string settingsReadString(const char* name);  // empty when missing; at most 199 bytes kept
void settingsWriteString(const char* name, const std::string& text);

// The "Path" setting joined with name by '/', or the bare name when "Path" is empty.
std::string settingsJoinProgramFolder(const std::string& name);
