// Printing: the current plot on a printer page, text views as text, and the manual
// with its own paging rules.
#pragma once

#include <QByteArray>

class QPrinter;
class QTextDocument;

constexpr int MANUAL_COLUMNS = 80;          // columns the manual's left margin centres
constexpr int MANUAL_TAB = 4;               // a tab advances to a multiple of this column
constexpr int MANUAL_TOP = 2;               // pixels above the first line of a page
extern const char MANUAL_JOB_NAME[];        // "test.doc"

// One page: the current plot in the printed colour set.
void printPlot(QPrinter* printer);
void printText(QPrinter* printer, const QTextDocument* text);
// The manual's text, each of copies times; the number of pages printed.
int printManualText(QPrinter* printer, const QByteArray& text, int copies);
