#include "support/version.h"

const char* const moxelVersion = "MOXEL version 5.3";
