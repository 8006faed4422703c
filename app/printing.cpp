// Printing through QPrinter: a printer or a PDF file alike.
#include "app/printing.h"

#include <QFont>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QPainter>
#include <QPrinter>
#include <QTextDocument>

#include <memory>

#include "app/views.h"
#include "plot/surface.h"

const char MANUAL_JOB_NAME[] = "test.doc";

namespace {

constexpr int MANUAL_POINT_SIZE = 10;   // the manual's font on paper
constexpr int TEXT_POINT_SIZE = 9;      // the listing's and the program's font on paper
constexpr int MANUAL_FOOT_LINES = 3;    // a page ends before the last three line heights

// Splits the manual into printed lines: a tab fills blanks to the next multiple of
// four columns; a line ends at a line feed, at a form feed (which also ends the page)
// or when it holds perLine characters; other control characters are dropped. Each
// entry is a line, and a null QString marks the end of a page.
std::vector<QString> manualLines(const QByteArray& text, int perLine)
{
    std::vector<QString> lines;
    QString line;
    const auto endLine = [&] {
        lines.push_back(line.isNull() ? QString(QLatin1String("")) : line);
        line = QString(QLatin1String(""));
    };
    for (const char byte : text) {
        const unsigned char c = static_cast<unsigned char>(byte);
        if (c == '\n') {
            endLine();
        } else if (c == '\f') {
            endLine();
            lines.push_back(QString());
        } else if (c == '\t') {
            do
                line += QLatin1Char(' ');
            while (line.size() % MANUAL_TAB != 0 && line.size() < perLine);
        } else if (c >= 32) {
            line += QLatin1Char(char(c));
        }
        if (line.size() >= perLine)
            endLine();
    }
    if (!line.isEmpty())
        endLine();
    return lines;
}

}  // namespace

void printPlot(QPrinter* printer)
{
    QPainter painter(printer);
    if (!painter.isActive())
        return;
    const QRect page = printer->pageLayout().paintRectPixels(printer->resolution());
    viewsDrawPlot(&painter, SURFACE_PRINTER, QRect(QPoint(0, 0), page.size()), printer->logicalDpiX(),
                  printer->logicalDpiY());
}

// A copy of the text in a monospace font sized in points: the views' fonts are sized
// in screen pixels, which would print minute on a printer's resolution.
void printText(QPrinter* printer, const QTextDocument* text)
{
    std::unique_ptr<QTextDocument> copy(text->clone());
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(TEXT_POINT_SIZE);
    copy->setDefaultFont(font);
    copy->print(printer);
}

int printManualText(QPrinter* printer, const QByteArray& text, int copies)
{
    printer->setDocName(QLatin1String(MANUAL_JOB_NAME));
    QPainter painter(printer);
    if (!painter.isActive())
        return 0;
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(MANUAL_POINT_SIZE);
    painter.setFont(font);
    const QFontMetrics metrics(font, printer);
    const int pageWidth = painter.viewport().width();
    const int pageHeight = painter.viewport().height();
    const int lineHeight = metrics.height() + metrics.leading();
    const int charWidth = std::max(1, metrics.averageCharWidth());
    const int left = std::max(0, (pageWidth - MANUAL_COLUMNS * charWidth) / 2);
    const int perLine = std::max(1, pageWidth / charWidth - left / charWidth);
    const std::vector<QString> lines = manualLines(text, perLine);
    int pages = 0;
    for (int copy = 0; copy < std::max(1, copies); ++copy) {
        int y = MANUAL_TOP;
        bool pageUsed = false;
        if (copy > 0 || pages > 0) {
            printer->newPage();
        }
        ++pages;
        for (size_t i = 0; i < lines.size(); ++i) {
            const bool pageEnd = lines[i].isNull();
            if (!pageEnd && y > pageHeight - MANUAL_FOOT_LINES * lineHeight && pageUsed) {
                printer->newPage();
                ++pages;
                y = MANUAL_TOP;
            }
            if (pageEnd) {
                if (i + 1 < lines.size()) {
                    printer->newPage();
                    ++pages;
                    y = MANUAL_TOP;
                    pageUsed = false;
                }
                continue;
            }
            painter.drawText(left, y + metrics.ascent(), lines[i]);
            y += lineHeight;
            pageUsed = true;
        }
    }
    return pages;
}
