// Printing through QPrinter: a printer or a PDF file alike.
#include "app/printing.h"

#include <QFont>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QPainter>
#include <QPrinter>
#include <QTextDocument>

#include <algorithm>

#include "app/views.h"
#include "plot/surface.h"

const char MANUAL_JOB_NAME[] = "test.doc";

namespace {

constexpr int MANUAL_POINT_SIZE = 10;   // the manual's font on paper
constexpr int TEXT_POINT_SIZE = 9;      // the listing's and the program's font on paper
constexpr int MANUAL_FOOT_LINES = 3;    // a page ends before the last three line heights
constexpr int PRINT_FOOT_LINES = 2;     // a printed listing's footer and the blank line above it

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

QRect printPlotArea(const QRect& page, const QSize& shape)
{
    if (shape.width() <= 0 || shape.height() <= 0 || page.isEmpty())
        return page;
    // Compared in 64 bits: a page of a high-resolution printer times a view's size.
    const qint64 across = qint64(page.width()) * shape.height();
    const qint64 down = qint64(page.height()) * shape.width();
    const int width = across <= down ? page.width() : int(down / shape.height());
    const int height = across <= down ? int(across / shape.width()) : page.height();
    return QRect(page.x() + (page.width() - width) / 2, page.y() + (page.height() - height) / 2, width, height);
}

void printPlot(QPrinter* printer, const QSize& shape)
{
    QPainter painter(printer);
    if (!painter.isActive())
        return;
    const QRect page = printer->pageLayout().paintRectPixels(printer->resolution());
    // The plot's logical units are the same across and down, so the page keeps the
    // plot's own shape; the device resolution scales it up.
    const QRect area = printPlotArea(QRect(QPoint(0, 0), page.size()), shape);
    viewsDrawPlot(&painter, SURFACE_PRINTER, area, printer->logicalDpiX(), printer->logicalDpiY());
}

std::vector<QStringList> printLayoutPages(const QStringList& lines, int columns, int linesPerPage)
{
    columns = std::max(columns, 2 * PRINT_CONTINUATION_INDENT + 1);
    linesPerPage = std::max(linesPerPage, 1);
    // Each source line as the rows it takes.
    std::vector<QStringList> rows;
    rows.reserve(size_t(lines.size()));
    for (const QString& raw : lines) {
        QString line;
        for (const QChar c : raw) {
            if (c == QLatin1Char('\t')) {
                do
                    line += QLatin1Char(' ');
                while (line.size() % PRINT_TAB != 0);
            } else if (c != QLatin1Char('\r') && c != QLatin1Char('\f')) {
                line += c;
            }
        }
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1);
        QStringList parts;
        int indent = 0;
        while (indent < line.size() && line[indent] == QLatin1Char(' '))
            ++indent;
        const int continued = std::min(indent + PRINT_CONTINUATION_INDENT, columns / 2);
        parts << line.left(columns);
        for (qsizetype at = columns; at < line.size(); at += columns - continued)
            parts << QString(continued, QLatin1Char(' ')) + line.mid(at, columns - continued);
        rows.push_back(parts);
    }
    std::vector<QStringList> pages(1);
    const auto place = [&](const QString& row) {
        if (pages.back().size() >= linesPerPage)
            pages.emplace_back();
        if (row.isEmpty() && pages.back().isEmpty())
            return;
        pages.back() << row;
    };
    for (size_t i = 0; i < rows.size();) {
        if (rows[i].first().isEmpty()) {
            place(QString());
            ++i;
            continue;
        }
        size_t end = i;
        int blockRows = 0;
        while (end < rows.size() && !rows[end].first().isEmpty())
            blockRows += int(rows[end++].size());
        // A title of one line ("----  Analysis of Variance  ----") stays with the table
        // below it.
        int keptRows = blockRows;
        if (end == i + 1 && rows[i].size() == 1) {
            size_t next = end;
            while (next < rows.size() && rows[next].first().isEmpty())
                ++next;
            if (next > end && next < rows.size()) {
                keptRows += int(next - end);
                for (; next < rows.size() && !rows[next].first().isEmpty(); ++next)
                    keptRows += int(rows[next].size());
            }
        }
        const int room = linesPerPage - int(pages.back().size());
        if (keptRows > room && keptRows <= linesPerPage && !pages.back().isEmpty())
            pages.emplace_back();
        for (; i < end; ++i)
            for (const QString& row : rows[i])
                place(row);
    }
    while (pages.size() > 1 && pages.back().isEmpty())
        pages.pop_back();
    return pages;
}

void printListing(QPrinter* printer, const QString& text)
{
    QPainter painter(printer);
    if (!painter.isActive())
        return;
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(TEXT_POINT_SIZE);
    painter.setFont(font);
    const QFontMetrics metrics(font, printer);
    const int lineHeight = std::max(1, metrics.lineSpacing());
    const int charWidth = std::max(1, metrics.horizontalAdvance(QLatin1Char('M')));
    const QRect page = painter.viewport();
    const int columns = page.width() / charWidth;
    // The last PRINT_FOOT_LINES lines of a page carry its footer.
    const int linesPerPage = page.height() / lineHeight - PRINT_FOOT_LINES;
    QStringList lines = text.split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    const std::vector<QStringList> pages = printLayoutPages(lines, columns, linesPerPage);
    for (size_t p = 0; p < pages.size(); ++p) {
        if (p > 0)
            printer->newPage();
        int y = metrics.ascent();
        for (const QString& row : pages[p]) {
            painter.drawText(0, y, row);
            y += lineHeight;
        }
        const int footY = page.height() - lineHeight + metrics.ascent();
        painter.drawText(0, footY, printer->docName().left(columns / 2));
        const QString number = QStringLiteral("Page %1 of %2").arg(p + 1).arg(pages.size());
        painter.drawText(page.width() - metrics.horizontalAdvance(number), footY, number);
    }
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
