// Start-up of the window: `moxel [PROGRAM.mxl]` without -run.
#pragma once

struct CommandLine;

extern const char MSG_NO_DISPLAY[];     // printed when no display can be reached

// True when a display (X11 or Wayland), or a platform named by QT_QPA_PLATFORM, is there.
bool windowDisplayAvailable();

// Opens the main window with the document of the command line (a new one when none)
// and runs the interface until the window closes. Returns the exit status.
int windowRun(int argc, char** argv, const CommandLine& commandLine);
