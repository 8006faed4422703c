// Printing to PDF files without a printer: the manual's paging rules and a plot page.
#include <gtest/gtest.h>

#include <QPrinter>

#include <string>

#include "app/printing.h"
#include "testutil.h"

namespace {

// Pages of a PDF file, counted by its page objects.
int pdfPages(const std::string& path)
{
    const std::string text = readTextFile(path);
    int pages = 0;
    for (size_t at = text.find("/Type /Page"); at != std::string::npos; at = text.find("/Type /Page", at + 1))
        if (text.compare(at, 12, "/Type /Pages") != 0)
            ++pages;
    return pages;
}

int printManualPages(const QByteArray& text, int copies, int* pagesPrinted)
{
    const std::string path = testTempDir() + "/manual.pdf";
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(QString::fromStdString(path));
    *pagesPrinted = printManualText(&printer, text, copies);
    EXPECT_EQ(printer.docName(), MANUAL_JOB_NAME);
    return pdfPages(path);
}

TEST(PrintManual, FormFeedsLongTextsAndCopies)
{
    const struct {
        const char* name;
        QByteArray text;
        int copies;
        int pages;
    } cases[] = {
        {"one short page", "MOXEL\n\tindented\n", 1, 1},
        {"a form feed ends the page", "first\fsecond\fthird\n", 1, 3},
        {"a final form feed starts no empty page", "only\f", 1, 1},
        {"each copy is the whole text", "first\fsecond\n", 2, 4},
    };
    for (const auto& c : cases) {
        int printed = 0;
        EXPECT_EQ(printManualPages(c.text, c.copies, &printed), c.pages) << c.name;
        EXPECT_EQ(printed, c.pages) << c.name;
    }
    // Lines fill a page up to three line heights above its foot: 1000 short lines take
    // several pages, and never one per line.
    QByteArray many;
    for (int i = 0; i < 1000; ++i)
        many += "line " + QByteArray::number(i) + "\n";
    int printed = 0;
    const int pages = printManualPages(many, 1, &printed);
    EXPECT_GT(pages, 5);
    EXPECT_LT(pages, 40);
}

}  // namespace
