// File-name helpers of the statements that name files (DATA, OUTPUT, POUTPUT).
#pragma once

#include <string>

// File names.
std::string addDefaultExtension(const std::string& path, const char* extension);
std::string resolveRelativePath(const std::string& name, const std::string& basePath);
