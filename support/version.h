// Program name and version, for the start-up trace and the manual.
#pragma once

extern const char* const moxelVersion;
