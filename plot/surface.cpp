// The recording surface: keeps every drawing request in page units so that tests can
// check a layout without pixels. Its metrics are a fixed function of the font height.
#include "plot/surface.h"

#include <cctype>

namespace {

constexpr double LOGICAL_PER_PAGE_UNIT = 10.0;

// Width of one character in logical units for a font of the given cell height.
double characterWidth(char c, int height)
{
    const bool wide = isdigit(static_cast<unsigned char>(c)) || isupper(static_cast<unsigned char>(c));
    return (wide ? 0.6 : 0.55) * height;
}

}  // namespace

RecordingSurface::RecordingSurface(const SurfaceDevice& device, std::vector<std::string> families)
    : mapping{0.0, 0.0, 1.0, -1.0}, background(0), passes(0), inPass(false), area(device),
      families(std::move(families)), font{"", 0, FONT_REGULAR, 0}, penWidth(0), penColour(0),
      textColour(0), currentX(0), currentY(0)
{
}

SurfaceDevice RecordingSurface::device() const
{
    return area;
}

void RecordingSurface::beginPass()
{
    passes++;
    inPass = true;
}

void RecordingSurface::endPass()
{
    inPass = false;
}

void RecordingSurface::setMapping(const SurfaceMapping& newMapping)
{
    mapping = newMapping;
}

void RecordingSurface::setBackgroundColour(unsigned colour)
{
    background = colour;
}

void RecordingSurface::setTextColour(unsigned colour)
{
    textColour = colour;
}

void RecordingSurface::setPen(int width, unsigned colour)
{
    penWidth = width;
    penColour = colour;
}

void RecordingSurface::setFont(const std::string& face, int height, int style, int escapement)
{
    font = RecordedFont{face, height, style, escapement};
    fonts.push_back(font);
}

void RecordingSurface::moveTo(int x, int y)
{
    currentX = x;
    currentY = y;
}

void RecordingSurface::lineTo(int x, int y)
{
    lines.push_back(RecordedLine{currentX / LOGICAL_PER_PAGE_UNIT, currentY / LOGICAL_PER_PAGE_UNIT,
                                 x / LOGICAL_PER_PAGE_UNIT, y / LOGICAL_PER_PAGE_UNIT, penWidth,
                                 penColour});
    currentX = x;
    currentY = y;
}

void RecordingSurface::textOut(int x, int y, const std::string& text)
{
    const TextExtent extent = textExtent(text);
    texts.push_back(RecordedText{x / LOGICAL_PER_PAGE_UNIT, y / LOGICAL_PER_PAGE_UNIT,
                                 extent.width / LOGICAL_PER_PAGE_UNIT,
                                 extent.height / LOGICAL_PER_PAGE_UNIT, text, font.height, font.style,
                                 font.escapement, textColour});
}

void RecordingSurface::fillRect(int x1, int y1, int x2, int y2, unsigned colour)
{
    fills.push_back(RecordedLine{x1 / LOGICAL_PER_PAGE_UNIT, y1 / LOGICAL_PER_PAGE_UNIT, x2 / LOGICAL_PER_PAGE_UNIT,
                                 y2 / LOGICAL_PER_PAGE_UNIT, 0, colour});
}

void RecordingSurface::clipTo(int x1, int y1, int x2, int y2)
{
    clips.push_back(RecordedLine{x1 / LOGICAL_PER_PAGE_UNIT, y1 / LOGICAL_PER_PAGE_UNIT, x2 / LOGICAL_PER_PAGE_UNIT,
                                 y2 / LOGICAL_PER_PAGE_UNIT, 0, 0});
}

void RecordingSurface::clipOff() {}

TextExtent RecordingSurface::textExtent(const std::string& text)
{
    double width = 0.0;
    for (char c : text)
        width += characterWidth(c, font.height);
    return TextExtent{static_cast<int>(width + 0.5), font.height};
}

std::vector<std::string> RecordingSurface::fontFamilies()
{
    return families;
}
