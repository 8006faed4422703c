// Numbers under a user locale with decimal commas: the window's run writes its listing
// and output file with decimal points and reads data with them. The test program runs
// itself again with LC_ALL=de_DE.UTF-8, since the locale is taken when the application
// object is made.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>

#include <clocale>
#include <cstdlib>
#include <locale.h>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "app/dialogs.h"
#include "app/editview.h"
#include "app/mainframe.h"
#include "testutil.h"

namespace {

constexpr char CHILD_VARIABLE[] = "MOXEL_LOCALE_CHILD";
constexpr char GERMAN[] = "de_DE.UTF-8";

const char PROGRAM[] =
    "TITLE \"Decay\";\nVARIABLES t, y;\nPARAMETERS a = 10.5, k = 0.1;\nFUNCTION y = a * exp(-k * t);\n"
    "OUTPUT \"decay\" t, $PREDICTED;\nDATA;\n0 10.1\n1 8.9\n2 8.2\n3 7.4\n4 6.7\n5 6.1\n";

std::string selfPath()
{
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

}  // namespace

// Runs the window part below in a child under the German locale.
TEST(Locale, WindowRunUnderADecimalCommaLocale)
{
    locale_t german = newlocale(LC_ALL_MASK, GERMAN, static_cast<locale_t>(0));
    if (!german)
        GTEST_SKIP() << "the locale " << GERMAN << " is not generated on this machine";
    freelocale(german);
    const std::string command = std::string("LC_ALL=") + GERMAN + " " + CHILD_VARIABLE + "=1 '" + selfPath() +
                                "' --gtest_filter=LocaleChild.* >/dev/null 2>&1";
    const int raw = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << "the run under " << GERMAN << " failed";
}

// Only in the child: the application object was made under the German locale.
TEST(LocaleChild, ListingAndOutputKeepDecimalPoints)
{
    if (!getenv(CHILD_VARIABLE))
        GTEST_SKIP() << "runs only under Locale.WindowRunUnderADecimalCommaLocale";
    EXPECT_STREQ(localeconv()->decimal_point, ".");
    const std::string folder = testTempDir();
    writeTextFile(folder + "/decay.mxl", PROGRAM);
    auto frame = std::make_unique<CMainFrame>();
    frame->show();
    ASSERT_TRUE(frame->openDocument(QString::fromStdString(folder + "/decay.mxl")));
    frame->runAnalysis();
    QElapsedTimer clock;
    clock.start();
    while (frame->running() && clock.elapsed() < 20000)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_FALSE(frame->running());
    const std::string listing = readTextFile(folder + "/decay.lst");
    EXPECT_NE(listing.find("MOXEL version 5.3\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("Convergence tolerance factor = 1.000000E-10\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("Number of observations = 6\n"), std::string::npos) << listing;
    // The start 10.5 was read as ten and a half, and the data with their points.
    EXPECT_NE(listing.find("         a           10.5  "), std::string::npos) << listing;
    const std::string output = readTextFile(folder + "/decay.out");
    EXPECT_EQ(output.find(','), std::string::npos) << output;
    EXPECT_NE(output.find("\n1  9.04"), std::string::npos) << output;
    frame->editView()->document()->setModified(false);
}
