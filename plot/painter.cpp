// The QPainter surface. Lines are gathered while the pen stays the same and handed to
// the painter in batches: a plot of a million observations is millions of short lines,
// and one call per line would cost more than drawing them. While the pen stays the
// same, a line already drawn with it is drawn only once: without antialiasing a solid
// pen sets the same pixels each time, and the marks of a large data set fall on a few
// hundred thousand distinct device positions.
#include "plot/painter.h"

#include <QColor>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QLine>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QString>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

constexpr double FACE_PROBE_PIXELS = 1000.0;    // size at which a face's cell height is measured
constexpr size_t LINE_BATCH = 4096;             // lines handed to the painter at once
constexpr uint64_t SEEN_EMPTY = ~0ULL;          // an unused slot of the table of recent lines
constexpr double DEVICE_LIMIT = 1 << 24;        // device pixels a position is kept within
constexpr double DEVICE_TABLE_MARGIN = 64.0;    // device pixels beyond each edge kept in a table
constexpr double DEVICE_TABLE_LIMIT = 1 << 16;  // most logical positions a table holds
constexpr int SUBPIXELS = 4;                    // steps of an antialiased position within a pixel

// The lines drawn with the current pen, each as its end points packed into 64 bits
// (lines whose end points do not fit 16 bits are drawn at once and not kept). A small
// direct-mapped table of recent lines answers first: observations in data order often
// repeat the lines of their neighbours, and the table stays in the cache. A line it does
// not know is queued; the queue is sorted and each distinct line handed to the painter
// once, when the pen changes, before text, at the end of the pass, or when the queue is
// full. Without antialiasing a solid pen sets the same pixels whatever the order of its
// lines, so drawing them in the order of their keys gives the same image.
class DrawnLines {
public:
    DrawnLines() { std::fill(std::begin(recent), std::end(recent), SEEN_EMPTY); }

    static bool pack(const QLine& line, uint64_t* key)
    {
        const int values[4] = {line.x1(), line.y1(), line.x2(), line.y2()};
        uint64_t packed = 0;
        for (int value : values) {
            if (value < -32768 || value > 32767)
                return false;
            packed = packed << 16 | static_cast<uint16_t>(value);
        }
        *key = packed;
        return packed != SEEN_EMPTY;
    }

    static QLine unpack(uint64_t key)
    {
        return QLine(static_cast<int16_t>(key >> 48), static_cast<int16_t>(key >> 32),
                     static_cast<int16_t>(key >> 16), static_cast<int16_t>(key));
    }

    // True when the line of key was met lately with the current pen; else it is queued.
    bool metLately(uint64_t key)
    {
        uint64_t& slot = recent[(key * 0x9E3779B97F4A7C15ULL) >> (64 - RECENT_BITS)];
        if (slot == key)
            return true;
        slot = key;
        used = true;
        if (!queue) {
            // Left uninitialised: only the pages the queue reaches are touched.
            queue.reset(new uint64_t[QUEUE_LIMIT]);
            scratch.reset(new uint64_t[QUEUE_LIMIT]);
        }
        queue[queued++] = key;
        return false;
    }

    bool queueFull() const { return queued >= QUEUE_LIMIT; }
    bool queueEmpty() const { return queued == 0; }

    // Sorts the queue and leaves each line once; returns the count. The lines stay at
    // queuedKeys() until the next line is queued; the queue counts as empty.
    size_t takeDistinct()
    {
        sortKeys();
        const size_t count = static_cast<size_t>(std::unique(queue.get(), queue.get() + queued) - queue.get());
        queued = 0;
        return count;
    }

    const uint64_t* queuedKeys() const { return queue.get(); }

    // Forgets every line: the pen changed. The queue must have been taken.
    void clear()
    {
        if (used)
            std::fill(std::begin(recent), std::end(recent), SEEN_EMPTY);
        used = false;
    }

private:
    // Least significant digit first, eight bits at a time; a digit every key shares is
    // passed over (device positions rarely use the upper bits of their 16).
    void sortKeys()
    {
        const size_t n = queued;
        if (n < 2)
            return;
        std::vector<size_t> counts(8 * 256, 0);
        for (size_t i = 0; i < n; i++)
            for (int digit = 0; digit < 8; digit++)
                counts[digit * 256 + ((queue[i] >> (8 * digit)) & 0xFF)]++;
        for (int digit = 0; digit < 8; digit++) {
            size_t* count = &counts[digit * 256];
            if (count[(queue[0] >> (8 * digit)) & 0xFF] == n)
                continue;
            size_t start = 0;
            for (int value = 0; value < 256; value++) {
                const size_t here = count[value];
                count[value] = start;
                start += here;
            }
            for (size_t i = 0; i < n; i++)
                scratch[count[(queue[i] >> (8 * digit)) & 0xFF]++] = queue[i];
            queue.swap(scratch);
        }
    }

    static constexpr int RECENT_BITS = 12;
    static constexpr size_t QUEUE_LIMIT = 1 << 18;  // lines queued before they are drawn
    uint64_t recent[1 << RECENT_BITS];  // lines met lately, by hash; SEEN_EMPTY where unused
    std::unique_ptr<uint64_t[]> queue;      // packed lines not yet handed to the painter
    std::unique_ptr<uint64_t[]> scratch;    // the other half of the sort
    size_t queued = 0;              // lines in queue
    bool used = false;              // recent holds some line
};

// Rounds to the nearest pixel, halves upward. A position far off the device (a
// residual line toward a predicted value far outside the axes) is brought within
// the range the painter's fixed-point arithmetic holds; only vertical lines reach
// that far, so their direction is kept.
int nearest(double value)
{
    const double shifted = std::clamp(value, -DEVICE_LIMIT, DEVICE_LIMIT) + 0.5;
    const int whole = static_cast<int>(shifted);
    return shifted < whole ? whole - 1 : whole;
}

// The device coordinate of every logical coordinate whose position lies on the device or
// within a margin of it along one axis, rounded once when the mapping is set: a plot of
// many observations converts millions of end points, nearly all of them on the device.
// Each entry is nearest((origin + logical * scale) * unit), unit the steps of a pixel, so
// a position read from the table is the one computed directly.
class DeviceTable {
public:
    void fill(double origin, double scale, int pixels, int unit)
    {
        device.clear();
        if (!(std::fabs(scale) > 0.0) || !std::isfinite(origin) || pixels <= 0)
            return;
        const double a = (-DEVICE_TABLE_MARGIN - origin) / scale;
        const double b = (pixels + DEVICE_TABLE_MARGIN - origin) / scale;
        const double low = std::floor(std::min(a, b));
        const double high = std::ceil(std::max(a, b));
        if (!(high - low < DEVICE_TABLE_LIMIT) || low < INT_MIN / 2 || high > INT_MAX / 2)
            return;
        first = static_cast<int>(low);
        device.resize(static_cast<size_t>(high - low) + 1);
        for (size_t i = 0; i < device.size(); i++)
            device[i] = nearest((origin + (first + static_cast<int>(i)) * scale) * unit);
    }

    // The device coordinate of logical, or null when it lies outside the table.
    const int* find(int logical) const
    {
        const uint64_t at = static_cast<uint64_t>(static_cast<int64_t>(logical) - first);
        return at < device.size() ? &device[at] : nullptr;
    }

private:
    std::vector<int> device;        // device coordinate of logical first + i
    int first = 0;                  // logical coordinate of device[0]
};

QColor colourOf(unsigned colour)
{
    return QColor(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF);
}

// Program texts are UTF-8 when they decode as such, else taken as Latin-1.
QString textOf(const std::string& text)
{
    const QString decoded = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    if (!decoded.contains(QChar::ReplacementCharacter))
        return decoded;
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

class PainterSurface final : public PlotSurface {
public:
    PainterSurface(QPainter* painter, const SurfaceDevice& device, bool plain)
        : painter(painter), plain(plain || device.vector), unit(device.antialias ? SUBPIXELS : 1), area(device), mapping{0.0, 0.0, 1.0, -1.0}, background(Qt::white),
          text(Qt::black), escapement(0), currentX(0), currentY(0), penSelected(false)
    {
        lines.reserve(LINE_BATCH);
    }

    SurfaceDevice device() const override { return area; }

    void beginPass() override
    {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing, area.antialias);
        painter->setRenderHint(QPainter::TextAntialiasing, true);
        // Only text is drawn on a filled background: in opaque mode the painter also
        // fills along some lines, which would wipe out pixels drawn before.
        painter->setBackgroundMode(Qt::TransparentMode);
        penSelected = false;
    }

    void endPass() override
    {
        flushLines();
        drawn.clear();
        painter->restore();
    }

    void setMapping(const SurfaceMapping& newMapping) override
    {
        mapping = newMapping;
        if (plain)
            return;
        columns.fill(mapping.originX, mapping.scaleX, area.pixelWidth, unit);
        rows.fill(mapping.originY, mapping.scaleY, area.pixelHeight, unit);
    }

    void setBackgroundColour(unsigned colour) override
    {
        background = colourOf(colour);
        painter->setBackground(QBrush(background));
    }

    void setTextColour(unsigned colour) override { text = colourOf(colour); }

    void setPen(int width, unsigned colour) override
    {
        QPen next(colourOf(colour));
        const double pixels = width * std::fabs(mapping.scaleX);
        if (area.antialias || area.vector) {
            // The thinnest line is one pixel of a 96 dpi screen at any resolution, and a
            // pen of the window is counted in its logical pixels, so that it grows with
            // the device pixel ratio.
            next.setWidthF(std::max(std::max(area.penScale, 0.1), width > 0 ? pixels : 0.0));
            next.setCapStyle(Qt::RoundCap);
            next.setJoinStyle(Qt::RoundJoin);
        } else if (width <= 0 || pixels < 1.5) {
            next.setWidth(0);
        } else {
            next.setWidth(static_cast<int>(pixels + 0.5));
            next.setCapStyle(Qt::RoundCap);
            next.setJoinStyle(Qt::RoundJoin);
        }
        if (next == pen)
            return;
        flushLines();
        drawn.clear();
        pen = next;
        penSelected = false;
    }

    void setFont(const std::string& face, int height, int style, int escapement) override
    {
        QFont next(QString::fromStdString(face));
        next.setWeight(style == FONT_TITLE ? QFont::Medium : QFont::Normal);
        next.setItalic(style == FONT_ITALIC);
        next.setStyleStrategy(QFont::PreferDefault);
        const double cell = height * std::fabs(mapping.scaleY);
        next.setPixelSize(std::max(1, static_cast<int>(cell * emPerCell(next) + 0.5)));
        font = next;
        this->escapement = escapement;
    }

    void moveTo(int x, int y) override
    {
        currentX = x;
        currentY = y;
    }

    void lineTo(int x, int y) override
    {
        if (area.vector) {
            pathTo(x, y);
            return;
        }
        QLine line(deviceX(currentX), deviceY(currentY), deviceX(x), deviceY(y));
        // The thinnest pen draws a vertical line the same from either end: one direction
        // lets a line and its reverse meet as repeats, and joins them in flushLines.
        if (line.x1() == line.x2() && line.y1() > line.y2() && !plain && pen.width() == 0)
            line.setLine(line.x1(), line.y2(), line.x2(), line.y1());
        currentX = x;
        currentY = y;
        uint64_t key = 0;
        if (plain || !DrawnLines::pack(line, &key)) {
            lines.push_back(line);
            if (plain || lines.size() >= LINE_BATCH)
                drawBatch();
            return;
        }
        if (!drawn.metLately(key) && drawn.queueFull())
            flushLines();
    }

    void textOut(int x, int y, const std::string& words) override
    {
        flushLines();
        drawn.clear();
        painter->setFont(font);
        painter->setPen(text);
        penSelected = false;
        const QFontMetricsF metrics(font, painter->device());
        const QPointF corner(deviceX(x) / static_cast<double>(unit), deviceY(y) / static_cast<double>(unit));
        painter->setBackgroundMode(Qt::OpaqueMode);
        if (escapement == 0) {
            painter->drawText(corner + QPointF(0.0, metrics.ascent()), textOf(words));
        } else {
            painter->save();
            painter->translate(corner);
            painter->rotate(-escapement / 10.0);
            painter->drawText(QPointF(0.0, metrics.ascent()), textOf(words));
            painter->restore();
        }
        painter->setBackgroundMode(Qt::TransparentMode);
    }

    void fillRect(int x1, int y1, int x2, int y2, unsigned colour) override
    {
        flushLines();
        drawn.clear();
        const double step = 1.0 / unit;
        const QPointF a(deviceX(x1) * step, deviceY(y1) * step);
        const QPointF b(deviceX(x2) * step, deviceY(y2) * step);
        painter->fillRect(QRectF(a, b).normalized(), colourOf(colour));
    }

    void clipTo(int x1, int y1, int x2, int y2) override
    {
        flushLines();
        drawn.clear();
        const double step = 1.0 / unit;
        painter->setClipRect(QRectF(QPointF(deviceX(x1) * step, deviceY(y1) * step),
                                    QPointF(deviceX(x2) * step, deviceY(y2) * step))
                                 .normalized());
    }

    void clipOff() override
    {
        flushLines();
        drawn.clear();
        painter->setClipping(false);
    }

    TextExtent textExtent(const std::string& words) override
    {
        const QFontMetricsF metrics(font, painter->device());
        const double width = metrics.horizontalAdvance(textOf(words)) / std::fabs(mapping.scaleX);
        const double height = metrics.height() / std::fabs(mapping.scaleY);
        return TextExtent{static_cast<int>(width + 0.5), static_cast<int>(height + 0.5)};
    }

    std::vector<std::string> fontFamilies() override
    {
        std::vector<std::string> names;
        for (const QString& family : QFontDatabase::families())
            names.push_back(family.toStdString());
        return names;
    }

private:
    // Device positions in steps of 1 / unit pixel.
    int deviceX(int x) const
    {
        const int* known = columns.find(x);
        return known ? *known : nearest((mapping.originX + x * mapping.scaleX) * unit);
    }
    int deviceY(int y) const
    {
        const int* known = rows.find(y);
        return known ? *known : nearest((mapping.originY + y * mapping.scaleY) * unit);
    }

    // A vector device keeps positions as they are and joins lines that continue each other
    // into one path, so that a curve is one element of the file.
    void pathTo(int x, int y)
    {
        const QPointF from(mapping.originX + currentX * mapping.scaleX, mapping.originY + currentY * mapping.scaleY);
        const QPointF to(mapping.originX + x * mapping.scaleX, mapping.originY + y * mapping.scaleY);
        if (path.elementCount() == 0 || path.currentPosition() != from)
            path.moveTo(from);
        path.lineTo(to);
        currentX = x;
        currentY = y;
    }

    // Pixel size per pixel of cell height (ascent + descent) for the face of font.
    double emPerCell(const QFont& face)
    {
        if (face.family() == probedFamily && face.weight() == probedWeight)
            return probedRatio;
        QFont probe(face);
        probe.setPixelSize(static_cast<int>(FACE_PROBE_PIXELS));
        const double cell = QFontMetricsF(probe, painter->device()).height();
        probedFamily = face.family();
        probedWeight = face.weight();
        probedRatio = cell > 0.0 ? FACE_PROBE_PIXELS / cell : 1.0;
        return probedRatio;
    }

    // Hands the gathered lines to the painter; antialiased ones through the centres of
    // their pixels.
    void drawBatch()
    {
        if (lines.empty() && path.elementCount() == 0)
            return;
        if (!penSelected) {
            painter->setPen(pen);
            penSelected = true;
        }
        if (path.elementCount() > 0) {
            painter->drawPath(path);
            path.clear();
        }
        if (unit == 1) {
            painter->drawLines(lines.data(), static_cast<int>(lines.size()));
        } else {
            fineLines.clear();
            const double step = 1.0 / unit;
            for (const QLine& line : lines)
                fineLines.emplace_back(line.x1() * step + 0.5, line.y1() * step + 0.5, line.x2() * step + 0.5,
                                       line.y2() * step + 0.5);
            painter->drawLines(fineLines.data(), static_cast<int>(fineLines.size()));
        }
        lines.clear();
    }

    void gather(const QLine& line)
    {
        lines.push_back(line);
        if (lines.size() >= LINE_BATCH)
            drawBatch();
    }

    // Draws every line queued or gathered with the current pen. The thinnest pen sets
    // exactly the pixels of a vertical line's column from one end to the other, whichever
    // end it starts at, so the vertical lines of one column whose pixels overlap or touch
    // are drawn as one line over them all (the residual lines of many observations fill
    // a few columns).
    void flushLines()
    {
        const size_t count = drawn.queueEmpty() ? 0 : drawn.takeDistinct();
        const uint64_t* keys = drawn.queuedKeys();
        const bool joinVertical = pen.width() == 0;
        bool open = false;
        int column = 0, low = 0, high = 0;  // the vertical line being extended
        for (size_t i = 0; i < count; i++) {
            const QLine line = DrawnLines::unpack(keys[i]);
            if (!joinVertical || line.x1() != line.x2()) {
                gather(line);
                continue;
            }
            const int top = std::min(line.y1(), line.y2());
            const int bottom = std::max(line.y1(), line.y2());
            if (open && line.x1() == column && top >= low && top <= high + 1) {
                high = std::max(high, bottom);
                continue;
            }
            if (open)
                gather(QLine(column, low, column, high));
            open = true;
            column = line.x1();
            low = top;
            high = bottom;
        }
        if (open)
            gather(QLine(column, low, column, high));
        drawBatch();
    }

    QPainter* painter;
    const bool plain;               // every line rounded directly and drawn alone
    const int unit;                 // steps of a device pixel in a position: 1, or SUBPIXELS antialiased
    SurfaceDevice area;
    SurfaceMapping mapping;
    QColor background;
    QColor text;
    QPen pen;
    QFont font;
    int escapement;
    int currentX;
    int currentY;
    bool penSelected;               // the painter holds pen (not the text colour)
    std::vector<QLine> lines;       // lines drawn with pen, not yet handed over
    std::vector<QLineF> fineLines;  // the same in pixels, when antialiased
    QPainterPath path;              // lines of a vector device not yet handed over
    DrawnLines drawn;               // lines drawn with pen since it was selected
    DeviceTable columns;            // device x of the logical x values near the device
    DeviceTable rows;               // device y of the logical y values near the device
    QString probedFamily;
    int probedWeight = -1;
    double probedRatio = 1.0;
};

}  // namespace

std::unique_ptr<PlotSurface> painterMakeSurface(QPainter* painter, const SurfaceDevice& device)
{
    return std::make_unique<PainterSurface>(painter, device, false);
}

std::unique_ptr<PlotSurface> painterMakePlainSurface(QPainter* painter, const SurfaceDevice& device)
{
    return std::make_unique<PainterSurface>(painter, device, true);
}
