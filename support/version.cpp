#include "support/version.h"

const char* const moxelVersion = "MOXEL 1.0";
