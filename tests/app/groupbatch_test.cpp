// The window's group batch: rows as the batch writes them, failed rows marked, numbers
// sorted as numbers, and the listing of a row on a double click.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTableWidget>

#include "app/groupbatch.h"
#include "testutil.h"

namespace {

TEST(GroupBatch, CsvFieldsAndColumnNames)
{
    EXPECT_EQ(groupBatchCsvFields(QStringLiteral("a,\"b, \"\"c\"\"\",,d")),
              (QStringList{"a", "b, \"c\"", "", "d"}));
    const std::string folder = testTempDir();
    writeTextFile(folder + "/names.csv", "\xEF\xBB\xBF\"Subject\",Time,conc\n1,2,3\n");
    writeTextFile(folder + "/plain.dat", "1 2\n");
    EXPECT_EQ(groupBatchColumnNames(QString::fromStdString(folder + "/names.csv")),
              (QStringList{"Subject", "Time", "conc"}));
    EXPECT_TRUE(groupBatchColumnNames(QString::fromStdString(folder + "/plain.dat")).isEmpty());
}

TEST(GroupBatch, TableOfTheGroupsWithFailedRowsMarked)
{
    const std::string folder = testTempDir();
    writeTextFile(folder + "/fit.mxl", "VARIABLES Time, conc;\nPARAMETERS a = 10, k = 0.3;\n"
                                       "FUNCTION conc = a * exp(-k * Time);\nDATA \"d.csv\";\n");
    writeTextFile(folder + "/d.csv", "g,Time,conc\nB,1,7.4\nA,1,8.1\nB,2,5.5\nA,2,6.6\nB,3,4.1\nA,3,5.4\n"
                                     "lone,1,3\nB,4,3.0\nA,4,4.4\n");
    QString opened;
    GroupBatchWindow window(QString::fromStdString(folder + "/fit.mxl"), QStringLiteral("g"),
                            [&opened](const QString& path) { opened = path; }, nullptr, QStringLiteral(MOXEL_BINARY));
    QElapsedTimer timer;
    timer.start();
    while (!window.finished() && timer.elapsed() < 60000)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    ASSERT_TRUE(window.finished());
    QTableWidget* table = window.table();
    ASSERT_EQ(table->rowCount(), 3);
    EXPECT_EQ(table->horizontalHeaderItem(0)->text(), "g");
    EXPECT_EQ(table->item(0, 0)->text(), "B");
    EXPECT_EQ(table->item(2, 1)->text(), "failed");
    EXPECT_NE(table->item(2, 0)->background().color(), table->item(0, 0)->background().color());
    EXPECT_TRUE(table->isSortingEnabled());
    table->sortItems(0);   // A, B, lone
    EXPECT_EQ(table->item(0, 0)->text(), "A");
    emit table->cellDoubleClicked(0, 3);
    EXPECT_EQ(opened, QString::fromStdString(folder + "/fit_A.lst"));
}

}  // namespace
