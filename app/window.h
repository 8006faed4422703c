// Start-up of the window: `moxel [PROGRAM.mxl]` without -run.
#pragma once

struct CommandLine;

extern const char MSG_NO_DISPLAY[];     // printed when no display can be reached

// True when a display (X11 or Wayland), or a platform named by QT_QPA_PLATFORM, is there.
bool windowDisplayAvailable();

// Numbers in the C conventions again after the Qt application object is made (it sets
// the C library's locale from the environment): every listing, output file, label and
// data record keeps decimal points whatever the user's locale. The interface's texts may
// still follow the user's language.
void windowUseCNumbers();

// Opens the main window with the document of the command line (a new one when none)
// and runs the interface until the window closes. Returns the exit status.
int windowRun(int argc, char** argv, const CommandLine& commandLine);
