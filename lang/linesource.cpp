// Line source over a text in memory.
#include "lang/linesource.h"

#include <algorithm>
#include <cstring>

namespace {

void copyTextLine(void* context, int index, char* buffer, int size)
{
    if (size <= 0)
        return;
    const auto* lines = static_cast<const TextLines*>(context);
    if (index < 0 || static_cast<size_t>(index) >= lines->starts.size()) {
        buffer[0] = '\0';
        return;
    }
    const size_t length = std::min(lines->lengths[index], static_cast<size_t>(size - 1));
    memcpy(buffer, lines->text + lines->starts[index], length);
    buffer[length] = '\0';
}

} // namespace

LineSource lineSourceFromText(TextLines& lines, const char* text, size_t length)
{
    lines.text = text;
    lines.starts.clear();
    lines.lengths.clear();
    size_t start = 0;
    while (start < length) {
        size_t end = start;
        while (end < length && text[end] != '\n' && text[end] != '\r')
            end++;
        lines.starts.push_back(start);
        lines.lengths.push_back(end - start);
        if (end < length && text[end] == '\r' && end + 1 < length && text[end + 1] == '\n')
            end++;
        start = end + 1;
    }
    return LineSource{static_cast<int>(lines.starts.size()), copyTextLine, &lines};
}
