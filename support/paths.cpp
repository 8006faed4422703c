// File-name helpers of the statements that name files.
#include "support/paths.h"

#include <cctype>

namespace {

constexpr int EXTENSION_MAX = 7;          // characters of a default extension

bool isFolderEnd(char c)
{
    return c == '/' || c == '\\' || c == ':';
}

} // namespace

// A name without a dot in its last component gets '.' and the extension, in upper
// case when the name ends in an upper-case letter. Dots in folder names do not count.
std::string addDefaultExtension(const std::string& path, const char* extension)
{
    size_t nameStart = 0;
    for (size_t i = 0; i < path.size(); i++)
        if (isFolderEnd(path[i]))
            nameStart = i + 1;
    if (path.find('.', nameStart) != std::string::npos)
        return path;
    std::string result = path;
    while (!result.empty() && (result.back() == ' ' || result.back() == '\t'))
        result.pop_back();
    const bool upper = !result.empty() && result.back() >= 'A' && result.back() <= 'Z';
    result += '.';
    for (int i = 0; i < EXTENSION_MAX && extension[i]; i++) {
        const unsigned char c = static_cast<unsigned char>(extension[i]);
        result += static_cast<char>(upper ? toupper(c) : tolower(c));
    }
    return result;
}

// A name that starts with '/' or holds ':' or '\' is used as written; any other name
// is taken relative to the folder of basePath (up to its last '/', '\' or ':').
std::string resolveRelativePath(const std::string& name, const std::string& basePath)
{
    if ((!name.empty() && name[0] == '/') || name.find_first_of(":\\") != std::string::npos)
        return name;
    const size_t folderEnd = basePath.find_last_of("/\\:");
    if (folderEnd == std::string::npos)
        return name;
    return basePath.substr(0, folderEnd + 1) + name;
}
