// Printing: the current plot on a printer page, text views as text, and the manual
// with its own paging rules.
#pragma once

#include <QByteArray>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

#include <vector>

class QPrinter;
class QTextDocument;

constexpr int MANUAL_COLUMNS = 80;          // columns the manual's left margin centres
constexpr int MANUAL_TAB = 4;               // a tab advances to a multiple of this column
constexpr int MANUAL_TOP = 2;               // pixels above the first line of a page
extern const char MANUAL_JOB_NAME[];        // "test.doc"

constexpr int PRINT_CONTINUATION_INDENT = 4;  // columns a continued line stands in from its own indent
constexpr int PRINT_TAB = 8;                    // a tab of a printed listing advances to a multiple of this

// Where a plot of the given shape goes on a page: the largest rectangle of that aspect
// ratio that fits, centred. An empty shape fills the page.
QRect printPlotArea(const QRect& page, const QSize& shape);
// One page: the current plot in the printed colour set, at the aspect ratio of shape
// (the plot view's size), centred.
void printPlot(QPrinter* printer, const QSize& shape);

// Lays a listing out on pages of linesPerPage rows of columns characters. A line longer
// than a row goes on in further rows, each indented PRINT_CONTINUATION_INDENT columns
// beyond the line's own indent. A block of non-blank lines (a table with its heading,
// rules and rows) that would cross the end of a page starts on a new one when it fits
// on a page, together with a one-line title above it; a longer block runs on. Blank
// lines at the top of a page are dropped.
std::vector<QStringList> printLayoutPages(const QStringList& lines, int columns, int linesPerPage);
// Prints text (the listing, the program, a table) in a fixed-pitch font with that layout.
void printListing(QPrinter* printer, const QString& text);
// The manual's text, each of copies times; the number of pages printed.
int printManualText(QPrinter* printer, const QByteArray& text, int copies);
