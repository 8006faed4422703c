// Drawing surfaces: the few operations a plot is drawn with, so that one drawing pass
// serves a window, a printer page, an off-screen image and the recording surface of the
// tests alike. Positions are logical units (a tenth of a page unit), y growing upward;
// the surface maps them to its device with the mapping the renderer sets.
#pragma once

#include <string>
#include <vector>

enum SurfaceKind {
    SURFACE_WINDOW = 0,     // a window's client area
    SURFACE_PRINTER = 1,    // a printer page (or a print preview of one)
    SURFACE_IMAGE = 2       // an off-screen image
};

struct SurfaceDevice {
    int kind;               // SurfaceKind
    int pixelWidth;         // width of the drawing area, device pixels
    int pixelHeight;        // height of the drawing area, device pixels
    double dotsPerInchX;    // horizontal device resolution
    double dotsPerInchY;    // vertical device resolution
    bool antialias = false; // lines and marks antialiased (screen, PNG, SVG, PDF); else exact colours
    bool vector = false;    // a vector device: positions unrounded, connected lines drawn as one path
    double penScale = 1.0;  // width of the thinnest line in the painter's pixels (resolution / 96)
};

// device x = originX + logical x * scaleX; device y = originY + logical y * scaleY
// (scaleY is negative, because logical y grows upward and device y downward).
struct SurfaceMapping {
    double originX;         // device x of logical (0, 0)
    double originY;         // device y of logical (0, 0)
    double scaleX;          // device pixels per logical unit across
    double scaleY;          // device pixels per logical unit up, negative
};

enum FontStyle {
    FONT_REGULAR = 0,       // weight 400
    FONT_TITLE = 1,         // weight 500
    FONT_ITALIC = 2         // weight 400, italic
};

struct TextExtent {
    int width;              // logical units
    int height;             // logical units: the font's cell height
};

// A colour is 0x00BBGGRR: red in bits 0-7, green in 8-15, blue in 16-23.
class PlotSurface {
public:
    virtual ~PlotSurface() = default;
    virtual SurfaceDevice device() const = 0;
    virtual void beginPass() = 0;                       // remembers the pen in use
    virtual void endPass() = 0;                         // drops pen and font, restores the pen
    virtual void setMapping(const SurfaceMapping& mapping) = 0;
    virtual void setBackgroundColour(unsigned colour) = 0;   // fills behind every text
    virtual void setTextColour(unsigned colour) = 0;
    // A solid pen; width in logical units, 0 for the thinnest line the device draws.
    virtual void setPen(int width, unsigned colour) = 0;
    // height: the font's cell height in logical units; escapement: tenths of a degree
    // counter-clockwise as the page is seen (900 reads from bottom to top).
    virtual void setFont(const std::string& face, int height, int style, int escapement) = 0;
    virtual void moveTo(int x, int y) = 0;
    virtual void lineTo(int x, int y) = 0;              // from the current position; moves it
    virtual void textOut(int x, int y, const std::string& text) = 0;   // (x, y) its top left
    // Fills the rectangle between two corners with a colour, over what was drawn before.
    virtual void fillRect(int x1, int y1, int x2, int y2, unsigned colour) = 0;
    // Keeps what follows inside the rectangle between two corners, until clipOff.
    virtual void clipTo(int x1, int y1, int x2, int y2) = 0;
    virtual void clipOff() = 0;
    virtual TextExtent textExtent(const std::string& text) = 0;       // in the current font
    virtual std::vector<std::string> fontFamilies() = 0;
};

// What the recording surface keeps, in page units (logical units / 10).
struct RecordedLine {
    double x1, y1, x2, y2;  // end points
    int penWidth;           // logical units
    unsigned colour;        // pen colour
};

struct RecordedText {
    double x, y;            // top left corner
    double width, height;   // extent
    std::string text;       // as drawn
    int fontHeight;         // logical units
    int style;              // FontStyle
    int escapement;         // tenths of a degree
    unsigned colour;        // text colour
};

struct RecordedFont {
    std::string face;       // face asked for
    int height;             // logical units
    int style;              // FontStyle
    int escapement;         // tenths of a degree
};

// A surface that draws nothing and records every line, text and font request. Its
// text metrics are fixed: a character is 0.55 of the font height wide (a digit or an
// upper-case letter 0.6), and a text's height is the font height.
class RecordingSurface : public PlotSurface {
public:
    explicit RecordingSurface(const SurfaceDevice& device,
                              std::vector<std::string> families = {"DejaVu Sans"});
    SurfaceDevice device() const override;
    void beginPass() override;
    void endPass() override;
    void setMapping(const SurfaceMapping& mapping) override;
    void setBackgroundColour(unsigned colour) override;
    void setTextColour(unsigned colour) override;
    void setPen(int width, unsigned colour) override;
    void setFont(const std::string& face, int height, int style, int escapement) override;
    void moveTo(int x, int y) override;
    void lineTo(int x, int y) override;
    void textOut(int x, int y, const std::string& text) override;
    void fillRect(int x1, int y1, int x2, int y2, unsigned colour) override;
    void clipTo(int x1, int y1, int x2, int y2) override;
    void clipOff() override;
    TextExtent textExtent(const std::string& text) override;
    std::vector<std::string> fontFamilies() override;

    std::vector<RecordedLine> lines;    // every line, in drawing order
    std::vector<RecordedText> texts;    // every text, in drawing order
    std::vector<RecordedFont> fonts;    // every font request
    std::vector<RecordedLine> fills;    // every filled rectangle, by two corners (pen width 0)
    std::vector<RecordedLine> clips;    // every clip rectangle set, by two corners
    SurfaceMapping mapping;             // the last mapping set
    unsigned background;                // the last background colour set
    int passes;                         // passes begun
    bool inPass;                        // between beginPass and endPass

private:
    SurfaceDevice area;
    std::vector<std::string> families;
    RecordedFont font;
    int penWidth;
    unsigned penColour;
    unsigned textColour;
    int currentX;
    int currentY;
};
