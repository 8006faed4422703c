// Program name and version, for the start-up trace and the manual.
#pragma once

// The version number the listing prints ("MOXEL version 5.3"); moxelVersion spells the
// same number.
constexpr double MOXEL_VERSION_NUMBER = 5.3;

extern const char* const moxelVersion;   // "MOXEL version 5.3", as --version prints it
