// The QPainter surface. Lines are gathered while the pen stays the same and handed to
// the painter in one call: a plot of a million observations is millions of short
// lines, and one call per line would cost more than drawing them.
#include "plot/painter.h"

#include <QColor>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QLine>
#include <QPainter>
#include <QPen>
#include <QString>

#include <cmath>
#include <vector>

namespace {

constexpr double FACE_PROBE_PIXELS = 1000.0;    // size at which a face's cell height is measured
constexpr size_t LINE_BATCH = 4096;             // lines handed to the painter at once

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
    PainterSurface(QPainter* painter, const SurfaceDevice& device)
        : painter(painter), area(device), mapping{0.0, 0.0, 1.0, -1.0}, background(Qt::white),
          text(Qt::black), escapement(0), currentX(0), currentY(0), penSelected(false)
    {
        lines.reserve(LINE_BATCH);
    }

    SurfaceDevice device() const override { return area; }

    void beginPass() override
    {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing, false);
        painter->setRenderHint(QPainter::TextAntialiasing, true);
        painter->setBackgroundMode(Qt::OpaqueMode);
        penSelected = false;
    }

    void endPass() override
    {
        flushLines();
        painter->restore();
    }

    void setMapping(const SurfaceMapping& newMapping) override { mapping = newMapping; }

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
        if (width <= 0 || pixels < 1.5) {
            next.setWidth(0);
        } else {
            next.setWidth(static_cast<int>(pixels + 0.5));
            next.setCapStyle(Qt::RoundCap);
            next.setJoinStyle(Qt::RoundJoin);
        }
        if (next == pen)
            return;
        flushLines();
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
        lines.emplace_back(deviceX(currentX), deviceY(currentY), deviceX(x), deviceY(y));
        currentX = x;
        currentY = y;
        if (lines.size() >= LINE_BATCH)
            flushLines();
    }

    void textOut(int x, int y, const std::string& words) override
    {
        flushLines();
        painter->setFont(font);
        painter->setPen(text);
        penSelected = false;
        const QFontMetricsF metrics(font, painter->device());
        const QPointF corner(deviceX(x), deviceY(y));
        if (escapement == 0) {
            painter->drawText(corner + QPointF(0.0, metrics.ascent()), textOf(words));
            return;
        }
        painter->save();
        painter->translate(corner);
        painter->rotate(-escapement / 10.0);
        painter->drawText(QPointF(0.0, metrics.ascent()), textOf(words));
        painter->restore();
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
    int deviceX(int x) const { return static_cast<int>(std::floor(mapping.originX + x * mapping.scaleX + 0.5)); }
    int deviceY(int y) const { return static_cast<int>(std::floor(mapping.originY + y * mapping.scaleY + 0.5)); }

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

    void flushLines()
    {
        if (lines.empty())
            return;
        if (!penSelected) {
            painter->setPen(pen);
            penSelected = true;
        }
        painter->drawLines(lines.data(), static_cast<int>(lines.size()));
        lines.clear();
    }

    QPainter* painter;
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
    QString probedFamily;
    int probedWeight = -1;
    double probedRatio = 1.0;
};

}  // namespace

std::unique_ptr<PlotSurface> painterMakeSurface(QPainter* painter, const SurfaceDevice& device)
{
    return std::make_unique<PainterSurface>(painter, device);
}
